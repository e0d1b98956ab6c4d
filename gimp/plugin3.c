/* SPDX-License-Identifier: GPL-3.0-or-later */
/* Match Colours for GIMP 3: the only file of this plug-in that speaks to GIMP
 * (libgimp 3.0 and gimpui). It registers the image procedure, shows the
 * procedure dialog with a preview, reads the layer, the reference and the
 * selections through GEGL and writes the result back through the shadow
 * buffer; the engine conversation and the pixel work are shared with the GIMP
 * 2.10 plug-in (match_colours.h). */
#include "gimp/match_colours.h"

#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>

#include <float.h>
#include <math.h>
#include <string.h>

#define PROCEDURE "plug-in-match-colours"
#define BINARY "match-colours"

typedef struct {
    GimpPlugIn parent_instance;
} MatchColours;

typedef struct {
    GimpPlugInClass parent_class;
} MatchColoursClass;

static GType match_colours_get_type(void);
G_DEFINE_TYPE(MatchColours, match_colours, GIMP_TYPE_PLUG_IN)

static const gchar *pluginPath;

/* What one run uses, read from the procedure's configuration. */
typedef struct {
    GFile *referenceFile;
    GimpLayer *referenceLayer; /* instead of the file when set */
    gdouble strength;
    gboolean matchLightness;
    gboolean useReferenceSelection;
    gboolean useTargetSelection;
    gchar *lutBase;
} Settings;

static Settings readSettings(GimpProcedureConfig *config)
{
    Settings settings = {0};
    g_object_get(config, "reference", &settings.referenceFile, "reference-drawable", &settings.referenceLayer,
                 "strength", &settings.strength, "match-lightness", &settings.matchLightness,
                 "use-reference-selection", &settings.useReferenceSelection, "use-target-selection",
                 &settings.useTargetSelection, "lut-base", &settings.lutBase, NULL);
    return settings;
}

static void clearSettings(Settings *settings)
{
    g_clear_object(&settings->referenceFile);
    g_clear_object(&settings->referenceLayer);
    g_clear_pointer(&settings->lutBase, g_free);
}

/* ---- Pixels through GEGL */

static gint bitDepthOf(GimpImage *image)
{
    const GimpPrecision precision = gimp_image_get_precision(image);
    return precision == GIMP_PRECISION_U8_NON_LINEAR || precision == GIMP_PRECISION_U8_LINEAR ? 8 : 16;
}

/* The drawable's pixels (or the rectangle `area` of them, scaled by `scale`)
 * as R', G', B'[, A] in its own image's colour space. */
static gboolean readPixels(GimpDrawable *drawable, const GeglRectangle *area, gdouble scale, gboolean alpha,
                           gint bitDepth, Pixels *image, GError **error)
{
    const GeglRectangle whole = {0, 0, gimp_drawable_get_width(drawable), gimp_drawable_get_height(drawable)};
    if (!area)
        area = &whole;
    Pixels read = {area->width, area->height, alpha ? 4 : 3, bitDepth, NULL};
    read.samples = g_try_malloc(pixelsRowBytes(&read) * (gsize)read.height);
    if (!read.samples) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "not enough memory for the %d x %d pixels of %s", read.width,
                    read.height, gimp_item_get_name(GIMP_ITEM(drawable)));
        return FALSE;
    }
    GeglBuffer *buffer = gimp_drawable_get_buffer(drawable);
    gegl_buffer_get(buffer, area, scale,
                    babl_format_with_space(pixelsEncoding(read.channels, bitDepth), gimp_drawable_get_format(drawable)),
                    read.samples, GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
    g_object_unref(buffer);
    *image = read;
    return TRUE;
}

/* The selection over the drawable (or `area` of it, scaled by `scale`), a byte
 * per pixel; NULL when its image has no selection. */
static guint8 *selectionOver(GimpDrawable *drawable, const GeglRectangle *area, gdouble scale)
{
    GimpImage *image = gimp_item_get_image(GIMP_ITEM(drawable));
    if (gimp_selection_is_empty(image))
        return NULL;
    gint x = 0, y = 0;
    gimp_drawable_get_offsets(drawable, &x, &y);
    const GeglRectangle whole = {0, 0, gimp_drawable_get_width(drawable), gimp_drawable_get_height(drawable)};
    if (!area)
        area = &whole;
    /* The selection is the image's size; the layer may lie elsewhere in it. */
    const GeglRectangle inImage = {area->x + (gint)lround(x * scale), area->y + (gint)lround(y * scale), area->width,
                                   area->height};
    guint8 *mask = g_malloc((gsize)area->width * (gsize)area->height);
    GeglBuffer *buffer = gimp_drawable_get_buffer(GIMP_DRAWABLE(gimp_image_get_selection(image)));
    gegl_buffer_get(buffer, &inImage, scale, babl_format("Y u8"), mask, GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
    g_object_unref(buffer);
    return mask;
}

/* The image's ICC profile, or NULL when it is untagged (sRGB). */
static GBytes *profileOf(GimpImage *image)
{
    GimpColorProfile *profile = gimp_image_get_color_profile(image);
    if (!profile)
        return NULL;
    gsize length = 0;
    const guint8 *icc = gimp_color_profile_get_icc_profile(profile, &length);
    GBytes *bytes = g_bytes_new(icc, length);
    g_object_unref(profile);
    return bytes;
}

static gboolean readReferenceLayer(GimpLayer *layer, Pixels *pixels, GBytes **icc, GError **error)
{
    if (!layer || !gimp_item_is_valid(GIMP_ITEM(layer))) {
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, "the reference layer is no longer open");
        return FALSE;
    }
    GimpImage *image = gimp_item_get_image(GIMP_ITEM(layer));
    *icc = profileOf(image);
    return readPixels(GIMP_DRAWABLE(layer), NULL, 1.0, FALSE, bitDepthOf(image), pixels, error);
}

/* Marked images of runs that were killed before they deleted them. A loaded
 * image never gets a display, and gimp_image_delete leaves an image that has
 * one (libgimp 3 cannot ask an image for its displays). */
static void deleteAbandonedImages(void)
{
    GimpImage **images = gimp_get_images();
    for (gsize i = 0; images && images[i]; ++i) {
        GimpParasite *mark = gimp_image_get_parasite(images[i], MATCH_COLOURS_OWNER_PARASITE);
        guint32 size = 0;
        /* Apart from the call: a call's arguments are evaluated in no set order. */
        gconstpointer owner = mark ? gimp_parasite_get_data(mark, &size) : NULL;
        if (ownerGone(owner, size))
            gimp_image_delete(images[i]);
        if (mark)
            gimp_parasite_free(mark);
    }
    g_free(images);
}

static void markAsOwn(GimpImage *image)
{
    gchar *owner = ownerMark();
    GimpParasite *mark = gimp_parasite_new(MATCH_COLOURS_OWNER_PARASITE, 0, (guint32)strlen(owner), owner);
    gimp_image_attach_parasite(image, mark);
    gimp_parasite_free(mark);
    g_free(owner);
}

/* Any file GIMP opens; its layers merged as they are seen. */
static gboolean readReferenceFile(GFile *file, Pixels *pixels, GBytes **icc, GError **error)
{
    if (!file) {
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, "no reference image was given");
        return FALSE;
    }
    GimpImage *image = gimp_file_load(GIMP_RUN_NONINTERACTIVE, file);
    if (!image) {
        gchar *path = g_file_get_parse_name(file);
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "cannot read the reference image %s: %s", path,
                    gimp_pdb_get_last_error(gimp_get_pdb()));
        g_free(path);
        return FALSE;
    }
    markAsOwn(image);
    if (gimp_image_get_base_type(image) != GIMP_RGB)
        gimp_image_convert_rgb(image);
    GimpLayer **layers = gimp_image_get_layers(image);
    GimpLayer *layer = layers && layers[0] && !layers[1] ? layers[0]
                                                         : gimp_image_merge_visible_layers(image, GIMP_CLIP_TO_IMAGE);
    g_free(layers);
    gboolean ok = layer != NULL;
    if (ok) {
        ok = readReferenceLayer(layer, pixels, icc, error);
    } else {
        gchar *path = g_file_get_parse_name(file);
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the reference image %s has no visible layer", path);
        g_free(path);
    }
    gimp_image_delete(image);
    return ok;
}

/* The reference as the engine gets it for a layer of `bitDepth` bits, in the
 * colours of `targetProfile`, its unselected pixels hidden where the settings
 * say. */
static GBytes *encodeReference(const Settings *settings, GBytes *targetProfile, gint bitDepth, GError **error)
{
    Pixels reference = {0};
    GBytes *profile = NULL, *encoded = NULL;
    gboolean converted = FALSE;
    const gboolean ok =
        (settings->referenceLayer
             ? readReferenceLayer(settings->referenceLayer, &reference, &profile, error)
             : readReferenceFile(settings->referenceFile, &reference, &profile, error)) &&
        convertIntoProfile(&reference, profile, targetProfile, bitDepth, &converted, error);
    if (ok && settings->referenceLayer && settings->useReferenceSelection) {
        guint8 *mask = selectionOver(GIMP_DRAWABLE(settings->referenceLayer), NULL, 1.0);
        if (mask)
            hideUnselected(&reference, mask);
        g_free(mask);
    }
    if (ok && !converted && !settings->referenceLayer) {
        gchar *path = g_file_get_path(settings->referenceFile);
        encoded = path ? jpegFileBytes(path) : NULL;
        g_free(path);
    }
    if (ok && !encoded)
        encoded = encodePam(&reference);
    pixelsClear(&reference);
    g_clear_pointer(&profile, g_bytes_unref);
    return encoded;
}

/* ---- The match */

static void showProgress(gint code, gpointer data)
{
    (void)data;
    gimp_progress_update(code / 100.0);
}

/* A LUT base name without a folder goes beside the image (or in the home folder). */
static gchar *lutBasePath(GimpImage *image, const gchar *base)
{
    if (g_path_is_absolute(base))
        return g_strdup(base);
    GFile *file = gimp_image_get_file(image);
    gchar *path = file ? g_file_get_path(file) : NULL;
    gchar *folder = path ? g_path_get_dirname(path) : g_strdup(g_get_home_dir());
    gchar *lut = g_build_filename(folder, base, NULL);
    g_free(folder);
    g_free(path);
    return lut;
}

/* The layer's area `area` (all of it: NULL), scaled by `scale`, matched in
 * `bitDepth` bits: the engine gets it with the unselected pixels hidden where
 * the settings say, and the layer's own alpha comes back. */
static gboolean matchPixels(GimpDrawable *drawable, const GeglRectangle *area, gdouble scale, gint bitDepth,
                            const Settings *settings, GBytes *reference, const gchar *lutBase, Pixels *matched,
                            GError **error)
{
    gchar *engine = findEngine(pluginPath, error);
    if (!engine)
        return FALSE;
    guint8 *mask = settings->useTargetSelection ? selectionOver(drawable, area, scale) : NULL;
    Pixels layer = {0};
    GBytes *target = NULL, *result = NULL;
    gboolean ok =
        readPixels(drawable, area, scale, gimp_drawable_has_alpha(drawable) || mask, bitDepth, &layer, error);
    if (ok) {
        Pixels sent = {layer.width, layer.height, layer.channels, bitDepth,
                       g_memdup2(layer.samples, pixelsRowBytes(&layer) * (gsize)layer.height)};
        if (mask)
            hideUnselected(&sent, mask);
        target = encodePam(&sent);
        pixelsClear(&sent);
    }
    EngineRequest request = {engine, target, reference, settings->strength, settings->matchLightness, NULL, bitDepth};
    ok = ok && (result = runEngine(&request, area ? NULL : showProgress, NULL, error)) != NULL;
    if (ok && lutBase) {
        request.lutBase = lutBase;
        gimp_progress_init("Exporting the look as a LUT");
        GBytes *placeholder = runEngine(&request, showProgress, NULL, error);
        ok = placeholder != NULL;
        g_clear_pointer(&placeholder, g_bytes_unref);
    }
    ok = ok && decodePam(result, layer.channels, bitDepth, matched, error);
    if (ok && (matched->width != layer.width || matched->height != layer.height)) {
        ok = FALSE;
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine's result is %d x %d pixels, not the layer's %d x %d",
                    matched->width, matched->height, layer.width, layer.height);
    }
    if (ok && mask) { /* the layer's own alpha back, or none where it has none */
        const gsize count = (gsize)layer.width * (gsize)layer.height;
        const gsize sampleBytes = (gsize)(bitDepth / 8);
        const gboolean alpha = gimp_drawable_has_alpha(drawable);
        for (gsize pixel = 0; pixel < count; ++pixel) {
            if (alpha)
                memcpy(matched->samples + (pixel * 4 + 3) * sampleBytes, layer.samples + (pixel * 4 + 3) * sampleBytes,
                       sampleBytes);
            else
                memmove(matched->samples + pixel * 3 * sampleBytes, matched->samples + pixel * 4 * sampleBytes,
                        3 * sampleBytes);
        }
        matched->channels = alpha ? 4 : 3;
    }
    if (!ok)
        pixelsClear(matched);
    pixelsClear(&layer);
    g_free(mask);
    g_clear_pointer(&target, g_bytes_unref);
    g_clear_pointer(&result, g_bytes_unref);
    g_free(engine);
    return ok;
}

static void writeBack(GimpDrawable *drawable, const Pixels *matched, gint x, gint y, gint width, gint height)
{
    const gsize pixelBytes = (gsize)matched->channels * (gsize)(matched->bitDepth / 8);
    GeglBuffer *shadow = gimp_drawable_get_shadow_buffer(drawable);
    /* GEGL converts from 16 bits into a deeper layer's own precision. */
    gegl_buffer_set(shadow, GEGL_RECTANGLE(x, y, width, height), 0,
                    babl_format_with_space(pixelsEncoding(matched->channels, matched->bitDepth),
                                           gimp_drawable_get_format(drawable)),
                    matched->samples + (gsize)y * pixelsRowBytes(matched) + (gsize)x * pixelBytes,
                    (gint)pixelsRowBytes(matched));
    g_object_unref(shadow);
    /* Through the selection mask, as one undo step. */
    gimp_drawable_merge_shadow(drawable, TRUE);
    gimp_drawable_update(drawable, x, y, width, height);
}

static gboolean checkLayer(GimpDrawable *drawable, const Settings *settings, GError **error)
{
    if (!gimp_drawable_is_rgb(drawable) || gimp_item_is_group(GIMP_ITEM(drawable))) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "%s is not an RGB layer: Match Colours changes RGB and RGBA layers",
                    gimp_item_get_name(GIMP_ITEM(drawable)));
        return FALSE;
    }
    if (!isfinite(settings->strength) || fabs(settings->strength) > FLT_MAX) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the strength %g is not a finite number", settings->strength);
        return FALSE;
    }
    return TRUE;
}

static gboolean matchLayer(GimpImage *image, GimpDrawable *drawable, const Settings *settings, GError **error)
{
    if (!checkLayer(drawable, settings, error))
        return FALSE;
    gint x = 0, y = 0, width = 0, height = 0;
    if (!gimp_drawable_mask_intersect(drawable, &x, &y, &width, &height))
        return TRUE; /* nothing of the layer is selected */
    const gint bitDepth = bitDepthOf(image);
    gimp_progress_init("Matching colours");
    GBytes *layerProfile = profileOf(image);
    GBytes *reference = encodeReference(settings, layerProfile, bitDepth, error);
    gchar *lutBase = settings->lutBase && settings->lutBase[0] ? lutBasePath(image, settings->lutBase) : NULL;
    Pixels matched = {0};
    const gboolean ok =
        reference && matchPixels(drawable, NULL, 1.0, bitDepth, settings, reference, lutBase, &matched, error);
    if (ok) {
        writeBack(drawable, &matched, x, y, width, height);
        gimp_progress_update(1.0);
    }
    pixelsClear(&matched);
    g_free(lutBase);
    g_clear_pointer(&reference, g_bytes_unref);
    g_clear_pointer(&layerProfile, g_bytes_unref);
    return ok;
}

/* ---- The dialog */

/* The layer matched at the preview's size as the settings change, in 8 bits
 * whatever the image's precision (the preview draws 8 bits); the reference is
 * encoded again only when it changes. */
typedef struct {
    GimpDrawable *drawable;
    GimpProcedureConfig *config;
    GtkWidget *preview;
    GBytes *reference;
    gchar *referenceKey;
} Preview;

static gchar *referenceKeyOf(const Settings *settings)
{
    gchar *path = settings->referenceFile ? g_file_get_uri(settings->referenceFile) : g_strdup("");
    gchar *key = g_strdup_printf("%s|%d|%d", path,
                                 settings->referenceLayer ? gimp_item_get_id(GIMP_ITEM(settings->referenceLayer)) : -1,
                                 settings->useReferenceSelection);
    g_free(path);
    return key;
}

static void updatePreview(GimpPreview *widget, Preview *preview)
{
    Settings settings = readSettings(preview->config);
    g_clear_pointer(&settings.lutBase, g_free); /* the preview exports nothing */
    gint x = 0, y = 0, width = 0, height = 0;
    gimp_preview_get_position(widget, &x, &y);
    gimp_preview_get_size(widget, &width, &height);
    gchar *key = referenceKeyOf(&settings);
    if (g_strcmp0(key, preview->referenceKey) != 0) {
        g_clear_pointer(&preview->reference, g_bytes_unref);
        GBytes *profile = profileOf(gimp_item_get_image(GIMP_ITEM(preview->drawable)));
        preview->reference = encodeReference(&settings, profile, 8, NULL);
        g_clear_pointer(&profile, g_bytes_unref);
        g_free(preview->referenceKey);
        preview->referenceKey = key;
    } else {
        g_free(key);
    }
    const GeglRectangle area = {x, y, width, height};
    Pixels matched = {0};
    if (preview->reference && checkLayer(preview->drawable, &settings, NULL) &&
        matchPixels(preview->drawable, &area, 1.0, 8, &settings, preview->reference, NULL, &matched, NULL)) {
        /* The preview draws R, G, B or R, G, B, A, as the layer has. */
        gimp_preview_draw_buffer(widget, matched.samples, (gint)pixelsRowBytes(&matched));
    } else {
        Pixels layer = {0};
        if (readPixels(preview->drawable, &area, 1.0, gimp_drawable_has_alpha(preview->drawable), 8, &layer, NULL))
            gimp_preview_draw_buffer(widget, layer.samples, (gint)pixelsRowBytes(&layer));
        pixelsClear(&layer);
    }
    pixelsClear(&matched);
    clearSettings(&settings);
}

static gboolean showDialog(GimpProcedure *procedure, GimpProcedureConfig *config, GimpDrawable *drawable)
{
    gimp_ui_init(BINARY);
    GtkWidget *dialog = gimp_procedure_dialog_new(procedure, config, "Match Colours");
    GimpProcedureDialog *procedureDialog = GIMP_PROCEDURE_DIALOG(dialog);
    Preview preview = {drawable, config, NULL, NULL, NULL};
    preview.preview = gimp_procedure_dialog_get_drawable_preview(procedureDialog, "preview", drawable);
    g_signal_connect(preview.preview, "invalidated", G_CALLBACK(updatePreview), &preview);
    g_signal_connect_swapped(config, "notify", G_CALLBACK(gimp_preview_invalidate), preview.preview);
    gimp_procedure_dialog_get_scale_entry(procedureDialog, "strength", 1.0); /* a slider, not a spin button */
    gimp_procedure_dialog_fill(procedureDialog, "preview", "reference", "reference-drawable", "strength",
                               "match-lightness", "use-reference-selection", "use-target-selection", "lut-base", NULL);
    const gboolean run = gimp_procedure_dialog_run(procedureDialog);
    g_signal_handlers_disconnect_by_data(config, preview.preview);
    gtk_widget_destroy(dialog);
    g_clear_pointer(&preview.reference, g_bytes_unref);
    g_free(preview.referenceKey);
    return run;
}

/* ---- The procedure */

static GimpValueArray *run(GimpProcedure *procedure, GimpRunMode mode, GimpImage *image, GimpDrawable **drawables,
                           GimpProcedureConfig *config, gpointer data)
{
    (void)data;
    gegl_init(NULL, NULL);
    deleteAbandonedImages();
    gint count = 0;
    while (drawables && drawables[count])
        ++count;
    GError *error = NULL;
    if (count != 1) {
        g_set_error(&error, MATCH_COLOURS_ERROR, 0,
                    "Match Colours: choose exactly one layer to change (%d are selected)", count);
        return gimp_procedure_new_return_values(procedure, GIMP_PDB_CALLING_ERROR, error);
    }
    if (mode == GIMP_RUN_INTERACTIVE && !showDialog(procedure, config, drawables[0]))
        return gimp_procedure_new_return_values(procedure, GIMP_PDB_CANCEL, NULL);
    Settings settings = readSettings(config);
    const gboolean ok = matchLayer(image, drawables[0], &settings, &error);
    clearSettings(&settings);
    if (!ok) {
        g_prefix_error(&error, "Match Colours: ");
        return gimp_procedure_new_return_values(procedure, GIMP_PDB_EXECUTION_ERROR, error);
    }
    if (mode != GIMP_RUN_NONINTERACTIVE)
        gimp_displays_flush();
    return gimp_procedure_new_return_values(procedure, GIMP_PDB_SUCCESS, NULL);
}

static GList *queryProcedures(GimpPlugIn *plugIn)
{
    (void)plugIn;
    return g_list_append(NULL, g_strdup(PROCEDURE));
}

static GimpProcedure *createProcedure(GimpPlugIn *plugIn, const gchar *name)
{
    if (g_strcmp0(name, PROCEDURE) != 0)
        return NULL;
    GimpProcedure *procedure = gimp_image_procedure_new(plugIn, name, GIMP_PDB_PROC_TYPE_PLUGIN, run, NULL, NULL);
    gimp_procedure_set_image_types(procedure, "RGB*");
    gimp_procedure_set_sensitivity_mask(procedure, GIMP_PROCEDURE_SENSITIVE_DRAWABLE);
    gimp_procedure_set_menu_label(procedure, "_Match Colours...");
    gimp_procedure_add_menu_path(procedure, "<Image>/Colors");
    gimp_procedure_set_documentation(
        procedure, "Give the layer the colours of a reference image",
        "Gives the layer the mean colour and the colour spread of the reference (an image file, or a layer of an "
        "open image), computed by the matchengine program. The reference is converted into the image's colour "
        "profile first; the statistics come from the whole layer and reference, or from their selections where "
        "asked; the change stays within the selection; alpha is kept. A layer of an 8-bit image is matched in 8 bits "
        "per channel. A deeper layer (16 or 32 bits, integer or floating point) goes to the engine in 16 bits per "
        "channel, the match is computed in floating point and the result comes back in 16 bits, written at the "
        "layer's own precision (values outside 0 to 1 are clipped); the dialog's preview shows an 8-bit match. It "
        "can also export the look as a 3D LUT (BASE_cube.cube and BASE_unwrapped.png).",
        name);
    gimp_procedure_set_attribution(procedure, "matchengine developers", "matchengine developers", "2026");
    gimp_procedure_add_file_argument(procedure, "reference", "_Reference image",
                                     "The reference image file, whose look the layer takes on",
                                     GIMP_FILE_CHOOSER_ACTION_OPEN, TRUE, NULL, G_PARAM_READWRITE);
    gimp_procedure_add_double_argument(procedure, "strength", "_Strength",
                                       "1 the full match, 0 the layer unchanged, values between blend", 0.0, 1.0,
                                       1.0, G_PARAM_READWRITE);
    gimp_procedure_add_boolean_argument(procedure, "match-lightness", "Match _lightness too",
                                        "TRUE lets the match change lightness too; FALSE keeps the layer's own", FALSE,
                                        G_PARAM_READWRITE);
    gimp_procedure_add_layer_argument(procedure, "reference-drawable", "Reference _layer",
                                      "A layer of an open image, used as the reference instead of the file", TRUE,
                                      G_PARAM_READWRITE);
    gimp_procedure_add_boolean_argument(procedure, "use-reference-selection",
                                        "Use the selection in the reference to calculate the colours",
                                        "Only the selected pixels of the reference layer's image count", FALSE,
                                        G_PARAM_READWRITE);
    gimp_procedure_add_boolean_argument(procedure, "use-target-selection",
                                        "Use the selection in the target to calculate the adjustment",
                                        "Only the selected pixels of the layer count", FALSE, G_PARAM_READWRITE);
    gimp_procedure_add_string_aux_argument(procedure, "lut-base", "Export the look as a 3D LUT, _base name",
                                           "Writes BASE_cube.cube (33 points per axis) and BASE_unwrapped.png; a "
                                           "name without a folder goes beside the image. Empty: no LUT",
                                           "", G_PARAM_READWRITE);
    return procedure;
}

/* Its texts are English only. */
static gboolean noTranslations(GimpPlugIn *plugIn, const gchar *procedure, gchar **domain, gchar **catalogFolder)
{
    (void)plugIn, (void)procedure, (void)domain, (void)catalogFolder;
    return FALSE;
}

static void match_colours_class_init(MatchColoursClass *klass)
{
    GimpPlugInClass *plugIn = GIMP_PLUG_IN_CLASS(klass);
    plugIn->query_procedures = queryProcedures;
    plugIn->create_procedure = createProcedure;
    plugIn->set_i18n = noTranslations;
}

static void match_colours_init(MatchColours *self)
{
    (void)self;
}

int main(int argc, char *argv[])
{
    pluginPath = argv[0];
    return gimp_main(match_colours_get_type(), argc, argv);
}
