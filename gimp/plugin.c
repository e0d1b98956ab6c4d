/* SPDX-License-Identifier: GPL-3.0-or-later */
/* Match Colours for GIMP 2.10: the only file that speaks to GIMP (libgimp 2.0
 * and gimpui). It registers the procedure, shows the dialog, reads the layer
 * and the reference through GEGL and writes the result back through the
 * shadow buffer; the engine conversation and the pixel work are GIMP-free
 * (match_colours.h), so a GIMP 3 version is a port of this file alone. */
#include "gimp/match_colours.h"

#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>

#include <float.h>
#include <math.h>
#include <string.h>

#define PROCEDURE "plug-in-match-colours"
#define BINARY "match-colours"

/* What the dialog shows and the last run used (gimp_set_data). */
typedef struct {
    gdouble strength;
    gint matchLightness;
    gint useLayer; /* the reference is a layer of an open image, not a file */
    gint32 referenceLayer;
    gchar referenceFile[4096];
    gchar lutBase[4096];
} Settings;

static const gchar *pluginPath;

static void query(void)
{
    static const GimpParamDef arguments[] = {
        {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
        {GIMP_PDB_IMAGE, "image", "The image"},
        {GIMP_PDB_DRAWABLE, "drawable", "The RGB or RGBA layer whose colours change"},
        {GIMP_PDB_STRING, "reference", "The reference image file, whose look the layer takes on"},
        {GIMP_PDB_FLOAT, "strength",
         "1 the full match, 0 the layer unchanged, values between blend, values below 0 push away from the match"},
        {GIMP_PDB_INT32, "match-lightness", "1 lets the match change lightness too; 0 keeps the layer's own"},
    };
    gimp_install_procedure(
        PROCEDURE, "Give the layer the colours of a reference image",
        "Gives the layer the mean colour and the colour spread of the reference (an image file, or in the dialog "
        "also a layer of another open image), computed by the matchengine program. The reference is converted into "
        "the image's colour profile first; the statistics come from the whole layer, the change stays within the "
        "selection; alpha is kept. A layer of an 8-bit image is matched in 8 bits per channel. A deeper layer (16 or "
        "32 bits, integer or floating point) goes to the engine in 16 bits per channel, the match is computed in "
        "floating point and the result comes back in 16 bits, written at the layer's own precision (values outside "
        "0 to 1 are clipped). The dialog can also export the look as a 3D LUT (BASE_cube.cube and "
        "BASE_unwrapped.png).",
        "matchengine developers", "matchengine developers", "2026", "_Match Colours...", "RGB*", GIMP_PLUGIN,
        G_N_ELEMENTS(arguments), 0, arguments, NULL);
    gimp_plugin_menu_register(PROCEDURE, "<Image>/Colors");
}

/* ---- Pixels through GEGL */

static gint bitDepthOf(gint32 image)
{
    const GimpPrecision precision = gimp_image_get_precision(image);
    return precision == GIMP_PRECISION_U8_GAMMA || precision == GIMP_PRECISION_U8_LINEAR ? 8 : 16;
}

/* The drawable's pixels as R', G', B'[, A] in its own image's colour space. */
static gboolean readPixels(gint32 drawable, gboolean alpha, gint bitDepth, Pixels *image, GError **error)
{
    Pixels read = {gimp_drawable_width(drawable), gimp_drawable_height(drawable), alpha ? 4 : 3, bitDepth, NULL};
    read.samples = g_try_malloc(pixelsRowBytes(&read) * (gsize)read.height);
    if (!read.samples) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "not enough memory for the %d x %d pixels of %s", read.width,
                    read.height, gimp_item_get_name(drawable));
        return FALSE;
    }
    GeglBuffer *buffer = gimp_drawable_get_buffer(drawable);
    gegl_buffer_get(buffer, GEGL_RECTANGLE(0, 0, read.width, read.height), 1.0,
                    babl_format_with_space(pixelsEncoding(read.channels, bitDepth), gimp_drawable_get_format(drawable)),
                    read.samples, GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
    g_object_unref(buffer);
    *image = read;
    return TRUE;
}

/* The image's ICC profile, or NULL when it is untagged (sRGB). */
static GBytes *profileOf(gint32 image)
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

static gboolean readReferenceLayer(gint32 layer, Pixels *pixels, GBytes **icc, GError **error)
{
    if (!gimp_item_is_valid(layer)) {
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, "no reference layer was chosen, or it is no longer open");
        return FALSE;
    }
    const gint32 image = gimp_item_get_image(layer);
    *icc = profileOf(image);
    return readPixels(layer, FALSE, bitDepthOf(image), pixels, error);
}

/* Marked images of runs that were killed before they deleted them. A loaded
 * image never gets a display, and gimp_image_delete leaves an image that has
 * one (libgimp 2.10 cannot ask an image for its displays). */
static void deleteAbandonedImages(void)
{
    gint count = 0;
    gint *images = gimp_image_list(&count);
    for (gint i = 0; i < count; ++i) {
        GimpParasite *mark = gimp_image_get_parasite(images[i], MATCH_COLOURS_OWNER_PARASITE);
        if (mark && ownerGone(gimp_parasite_data(mark), (gsize)gimp_parasite_data_size(mark)))
            gimp_image_delete(images[i]);
        if (mark)
            gimp_parasite_free(mark);
    }
    g_free(images);
}

static void markAsOwn(gint32 image)
{
    gchar *owner = ownerMark();
    GimpParasite *mark = gimp_parasite_new(MATCH_COLOURS_OWNER_PARASITE, 0, (guint32)strlen(owner), owner);
    gimp_image_attach_parasite(image, mark);
    gimp_parasite_free(mark);
    g_free(owner);
}

/* Any file GIMP opens; its layers merged as they are seen. */
static gboolean readReferenceFile(const gchar *path, Pixels *pixels, GBytes **icc, GError **error)
{
    if (!path[0]) {
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, "no reference image was given");
        return FALSE;
    }
    const gint32 image = gimp_file_load(GIMP_RUN_NONINTERACTIVE, path, path);
    if (image < 0) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "cannot read the reference image %s: %s", path,
                    gimp_get_pdb_error());
        return FALSE;
    }
    markAsOwn(image);
    if (gimp_image_base_type(image) != GIMP_RGB)
        gimp_image_convert_rgb(image);
    gint count = 0;
    gint *layers = gimp_image_get_layers(image, &count);
    const gint32 layer = count == 1 ? layers[0] : gimp_image_merge_visible_layers(image, GIMP_CLIP_TO_IMAGE);
    g_free(layers);
    gboolean ok = layer >= 0;
    if (ok)
        ok = readReferenceLayer(layer, pixels, icc, error);
    else
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the reference image %s has no visible layer", path);
    gimp_image_delete(image);
    return ok;
}

/* ---- The match */

static void showProgress(gint code, gpointer data)
{
    (void)data;
    gimp_progress_update(code / 100.0);
}

/* A LUT base name without a folder goes beside the image (or in the home folder). */
static gchar *lutBasePath(gint32 image, const gchar *base)
{
    if (g_path_is_absolute(base))
        return g_strdup(base);
    gchar *file = gimp_image_get_filename(image);
    gchar *folder = file ? g_path_get_dirname(file) : g_strdup(g_get_home_dir());
    gchar *path = g_build_filename(folder, base, NULL);
    g_free(folder);
    g_free(file);
    return path;
}

static void writeBack(gint32 drawable, const Pixels *matched, gint x, gint y, gint width, gint height)
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

static gboolean matchLayer(gint32 image, gint32 drawable, const Settings *settings, GError **error)
{
    if (!gimp_drawable_is_rgb(drawable) || gimp_item_is_group(drawable)) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "%s is not an RGB layer: Match Colours changes RGB and RGBA layers",
                    gimp_item_get_name(drawable));
        return FALSE;
    }
    if (!isfinite(settings->strength) || fabs(settings->strength) > FLT_MAX) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the strength %g is not a finite number", settings->strength);
        return FALSE;
    }
    gint x = 0, y = 0, width = 0, height = 0;
    if (!gimp_drawable_mask_intersect(drawable, &x, &y, &width, &height))
        return TRUE; /* nothing of the layer is selected */
    gchar *engine = findEngine(pluginPath, error);
    if (!engine)
        return FALSE;
    const gint bitDepth = bitDepthOf(image);

    Pixels layer = {0}, reference = {0}, matched = {0};
    GBytes *layerProfile = profileOf(image), *referenceProfile = NULL;
    GBytes *target = NULL, *referencePam = NULL, *result = NULL;
    gboolean converted = FALSE;
    gboolean ok =
        readPixels(drawable, gimp_drawable_has_alpha(drawable), bitDepth, &layer, error) &&
        (settings->useLayer ? readReferenceLayer(settings->referenceLayer, &reference, &referenceProfile, error)
                            : readReferenceFile(settings->referenceFile, &reference, &referenceProfile, error)) &&
        convertIntoProfile(&reference, referenceProfile, layerProfile, bitDepth, &converted, error) &&
        (target = encodePam(&layer));
    if (ok && !converted && !settings->useLayer)
        referencePam = jpegFileBytes(settings->referenceFile);
    ok = ok && (referencePam || (referencePam = encodePam(&reference)));
    pixelsClear(&reference);
    EngineRequest request = {engine, target, referencePam, settings->strength, settings->matchLightness != 0,
                             NULL, bitDepth};
    if (ok) {
        gimp_progress_init("Matching colours");
        ok = (result = runEngine(&request, showProgress, NULL, error)) != NULL;
    }
    if (ok && settings->lutBase[0]) {
        gchar *base = lutBasePath(image, settings->lutBase);
        request.lutBase = base;
        gimp_progress_init("Exporting the look as a LUT");
        GBytes *placeholder = runEngine(&request, showProgress, NULL, error);
        ok = placeholder != NULL;
        g_clear_pointer(&placeholder, g_bytes_unref);
        g_free(base);
    }
    ok = ok && decodePam(result, layer.channels, bitDepth, &matched, error);
    if (ok && (matched.width != layer.width || matched.height != layer.height)) {
        ok = FALSE;
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine's result is %d x %d pixels, not the layer's %d x %d",
                    matched.width, matched.height, layer.width, layer.height);
    }
    if (ok) {
        writeBack(drawable, &matched, x, y, width, height);
        gimp_progress_update(1.0);
    }
    pixelsClear(&layer);
    pixelsClear(&matched);
    g_clear_pointer(&layerProfile, g_bytes_unref);
    g_clear_pointer(&referenceProfile, g_bytes_unref);
    g_clear_pointer(&target, g_bytes_unref);
    g_clear_pointer(&referencePam, g_bytes_unref);
    g_clear_pointer(&result, g_bytes_unref);
    g_free(engine);
    return ok;
}

/* ---- The dialog */

static gboolean otherImage(gint32 image, gint32 item, gpointer data)
{
    (void)item;
    return image != GPOINTER_TO_INT(data);
}

static GtkWidget *attachRow(GtkWidget *table, gint row, GtkWidget *label, GtkWidget *widget)
{
    gtk_table_attach(GTK_TABLE(table), label, 0, 1, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
    gtk_table_attach(GTK_TABLE(table), widget, 1, 2, row, row + 1, GTK_EXPAND | GTK_FILL, GTK_FILL, 0, 0);
    return widget;
}

static gboolean showDialog(gint32 image, Settings *settings)
{
    gimp_ui_init(BINARY, FALSE);
    GtkWidget *dialog = gimp_dialog_new("Match Colours", BINARY, NULL, 0, gimp_standard_help_func, PROCEDURE,
                                        "_Cancel", GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, NULL);
    gtk_dialog_set_alternative_button_order(GTK_DIALOG(dialog), GTK_RESPONSE_OK, GTK_RESPONSE_CANCEL, -1);
    gimp_window_set_transient(GTK_WINDOW(dialog));
    GtkWidget *box = gtk_vbox_new(FALSE, 12);
    gtk_container_set_border_width(GTK_CONTAINER(box), 12);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box, TRUE, TRUE, 0);

    GtkWidget *frame = gimp_frame_new("Reference: the look to take on");
    gtk_box_pack_start(GTK_BOX(box), frame, FALSE, FALSE, 0);
    GtkWidget *table = gtk_table_new(2, 2, FALSE);
    gtk_table_set_row_spacings(GTK_TABLE(table), 6);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_container_add(GTK_CONTAINER(frame), table);
    GtkWidget *fileButton = gtk_radio_button_new_with_mnemonic(NULL, "Image _file:");
    GtkWidget *layerButton =
        gtk_radio_button_new_with_mnemonic_from_widget(GTK_RADIO_BUTTON(fileButton), "_Layer of an open image:");
    GtkWidget *chooser = attachRow(
        table, 0, fileButton,
        gtk_file_chooser_button_new("Choose the reference image", GTK_FILE_CHOOSER_ACTION_OPEN));
    if (settings->referenceFile[0])
        gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(chooser), settings->referenceFile);
    GtkWidget *layers = attachRow(table, 1, layerButton, gimp_layer_combo_box_new(otherImage, GINT_TO_POINTER(image)));
    gtk_widget_set_size_request(layers, 320, -1); /* room for "image-id/layer" names */
    if (gimp_item_is_valid(settings->referenceLayer))
        gimp_int_combo_box_set_active(GIMP_INT_COMBO_BOX(layers), settings->referenceLayer);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(settings->useLayer ? layerButton : fileButton), TRUE);
    g_object_bind_property(fileButton, "active", chooser, "sensitive", G_BINDING_SYNC_CREATE);
    g_object_bind_property(layerButton, "active", layers, "sensitive", G_BINDING_SYNC_CREATE);

    table = gtk_table_new(1, 3, FALSE);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_box_pack_start(GTK_BOX(box), table, FALSE, FALSE, 0);
    GtkObject *strength = gimp_scale_entry_new(
        GTK_TABLE(table), 0, 0, "_Strength:", 200, 6, settings->strength, 0.0, 1.0, 0.01, 0.1, 2, FALSE, -1.0, 2.0,
        "1 the full match, 0 the layer unchanged; below 0 pushes away from the match", NULL);
    GtkWidget *lightness = gtk_check_button_new_with_mnemonic("Match _lightness too (by default the layer keeps its own)");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(lightness), settings->matchLightness);
    gtk_box_pack_start(GTK_BOX(box), lightness, FALSE, FALSE, 0);

    frame = gimp_frame_new("Export the look as a 3D LUT (optional)");
    gtk_box_pack_start(GTK_BOX(box), frame, FALSE, FALSE, 0);
    table = gtk_table_new(1, 2, FALSE);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_container_add(GTK_CONTAINER(frame), table);
    GtkWidget *lut = attachRow(table, 0, gtk_label_new_with_mnemonic("_Base name:"), gtk_entry_new());
    gtk_entry_set_text(GTK_ENTRY(lut), settings->lutBase);
    gtk_widget_set_tooltip_text(lut, "Writes BASE_cube.cube (33 points per axis) and BASE_unwrapped.png; a name "
                                     "without a folder goes beside the image. Empty: no LUT");

    gtk_widget_show_all(dialog);
    const gboolean run = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
    if (run) {
        settings->useLayer = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(layerButton));
        gchar *file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
        g_strlcpy(settings->referenceFile, file ? file : "", sizeof settings->referenceFile);
        g_free(file);
        gint layer = -1;
        settings->referenceLayer = gimp_int_combo_box_get_active(GIMP_INT_COMBO_BOX(layers), &layer) ? layer : -1;
        settings->strength = gtk_adjustment_get_value(GTK_ADJUSTMENT(strength));
        settings->matchLightness = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(lightness));
        gchar *base = g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(lut))));
        g_strlcpy(settings->lutBase, base, sizeof settings->lutBase);
        g_free(base);
    }
    gtk_widget_destroy(dialog);
    return run;
}

/* ---- The procedure */

static void run(const gchar *name, gint count, const GimpParam *arguments, gint *returnCount, GimpParam **returns)
{
    (void)name;
    static GimpParam values[2];
    const GimpRunMode mode = (GimpRunMode)arguments[0].data.d_int32;
    const gint32 image = arguments[1].data.d_image;
    const gint32 drawable = arguments[2].data.d_drawable;
    Settings settings = {1.0, 0, 0, -1, "", ""};
    GimpPDBStatusType status = GIMP_PDB_SUCCESS;
    GError *error = NULL;
    gegl_init(NULL, NULL);
    deleteAbandonedImages();
    if (mode != GIMP_RUN_NONINTERACTIVE)
        gimp_get_data(PROCEDURE, &settings);
    if (mode == GIMP_RUN_NONINTERACTIVE) {
        if (count != 6 || arguments[5].data.d_int32 < 0 || arguments[5].data.d_int32 > 1) {
            status = GIMP_PDB_CALLING_ERROR;
            g_set_error_literal(&error, MATCH_COLOURS_ERROR, 0,
                                "plug-in-match-colours takes run-mode, image, drawable, reference, strength and "
                                "match-lightness (0 or 1)");
        } else {
            g_strlcpy(settings.referenceFile, arguments[3].data.d_string ? arguments[3].data.d_string : "",
                      sizeof settings.referenceFile);
            settings.strength = arguments[4].data.d_float;
            settings.matchLightness = arguments[5].data.d_int32;
        }
    } else if (mode == GIMP_RUN_INTERACTIVE && !showDialog(image, &settings)) {
        status = GIMP_PDB_CANCEL;
    }
    if (status == GIMP_PDB_SUCCESS) {
        if (!matchLayer(image, drawable, &settings, &error))
            status = GIMP_PDB_EXECUTION_ERROR;
        else if (mode != GIMP_RUN_NONINTERACTIVE)
            gimp_displays_flush();
        if (mode == GIMP_RUN_INTERACTIVE)
            gimp_set_data(PROCEDURE, &settings, sizeof settings);
    }
    values[0].type = GIMP_PDB_STATUS;
    values[0].data.d_status = status;
    *returns = values;
    *returnCount = 1;
    if (error) {
        values[1].type = GIMP_PDB_STRING;
        values[1].data.d_string = g_strdup_printf("Match Colours: %s", error->message);
        *returnCount = 2;
        g_error_free(error);
    }
}

const GimpPlugInInfo PLUG_IN_INFO = {NULL, NULL, query, run};

int main(int argc, char *argv[])
{
    pluginPath = argv[0];
    return gimp_main(&PLUG_IN_INFO, argc, argv);
}
