/* Pixels in and out of PNG (libpng) and between colour profiles (lcms2). */
#include "gimp/match_colours.h"

#include <lcms2.h>
#include <png.h>

#include <math.h>
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

GQuark matchColoursErrorQuark(void)
{
    return g_quark_from_static_string("match-colours-error-quark");
}

gsize pixelsRowBytes(const Pixels *image)
{
    return (gsize)image->width * (gsize)image->channels * (gsize)(image->bitDepth / 8);
}

void pixelsClear(Pixels *image)
{
    g_clear_pointer(&image->samples, g_free);
}

/* ---- PNG */

typedef struct {
    GByteArray *bytes;
    char message[256];
} PngWriting;

static void appendPngBytes(png_structp png, png_bytep data, png_size_t length)
{
    PngWriting *writing = png_get_io_ptr(png);
    g_byte_array_append(writing->bytes, data, (guint)length);
}

static void noFlush(png_structp png)
{
    (void)png;
}

static void keepPngMessage(png_structp png, png_const_charp message)
{
    PngWriting *writing = png_get_error_ptr(png);
    g_strlcpy(writing->message, message, sizeof writing->message);
    png_longjmp(png, 1);
}

static void ignorePngWarning(png_structp png, png_const_charp message)
{
    (void)png;
    (void)message;
}

GBytes *encodePng(const Pixels *image, GError **error)
{
    PngWriting writing = {g_byte_array_sized_new((guint)(pixelsRowBytes(image) * (gsize)image->height + 4096)), ""};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &writing, keepPngMessage, ignorePngWarning);
    png_infop info = png ? png_create_info_struct(png) : NULL;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        g_byte_array_unref(writing.bytes);
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "cannot encode a %d x %d image as PNG for the engine: %s",
                    image->width, image->height, writing.message[0] ? writing.message : "out of memory");
        return NULL;
    }
    png_set_write_fn(png, &writing, appendPngBytes, noFlush);
    png_set_IHDR(png, info, (png_uint_32)image->width, (png_uint_32)image->height, image->bitDepth,
                 image->channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 0);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_write_info(png, info);
    if (image->bitDepth == 16 && G_BYTE_ORDER == G_LITTLE_ENDIAN)
        png_set_swap(png);
    for (gint row = 0; row < image->height; ++row)
        png_write_row(png, image->samples + (gsize)row * pixelsRowBytes(image));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return g_byte_array_free_to_bytes(writing.bytes);
}

gboolean decodePng(GBytes *encoded, gint channels, Pixels *image, GError **error)
{
    gsize size = 0;
    const void *data = g_bytes_get_data(encoded, &size);
    png_image png;
    memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&png, data, size)) {
        if (((png.format & PNG_FORMAT_FLAG_ALPHA) != 0) != (channels == 4)) {
            g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine's result %s an alpha plane, the layer %s",
                        channels == 4 ? "lacks" : "has", channels == 4 ? "has one" : "does not");
            png_image_free(&png);
            return FALSE;
        }
        png.format = channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
        Pixels decoded = {(gint)png.width, (gint)png.height, channels, 8, NULL};
        decoded.samples = g_try_malloc(PNG_IMAGE_SIZE(png));
        if (decoded.samples && png_image_finish_read(&png, NULL, decoded.samples, 0, NULL)) {
            *image = decoded;
            return TRUE;
        }
        g_free(decoded.samples);
    }
    g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine's result (%" G_GSIZE_FORMAT " bytes) is not a PNG image: %s",
                size, png.message[0] ? png.message : "out of memory");
    png_image_free(&png);
    return FALSE;
}

/* ---- Colour profiles */

/* NULL, unreadable or not RGB: sRGB, as for an untagged image. */
static cmsHPROFILE openRgbProfile(GBytes *icc)
{
    gsize size = 0;
    const void *data = icc ? g_bytes_get_data(icc, &size) : NULL;
    cmsHPROFILE profile = data ? cmsOpenProfileFromMem(data, (cmsUInt32Number)size) : NULL;
    if (profile && cmsGetColorSpace(profile) != cmsSigRgbData) {
        cmsCloseProfile(profile);
        profile = NULL;
    }
    return profile ? profile : cmsCreate_sRGBProfile();
}

/* Whether two RGB profiles describe one space within a level of 8 bits (an
 * embedded sRGB profile and an untagged image, say): converting would only
 * cost time and rounding. */
static gboolean sameSpace(cmsHPROFILE a, cmsHPROFILE b)
{
    const cmsTagSignature colorants[] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    for (gsize i = 0; i < G_N_ELEMENTS(colorants); ++i) {
        const cmsCIEXYZ *x = cmsReadTag(a, colorants[i]);
        const cmsCIEXYZ *y = cmsReadTag(b, colorants[i]);
        if (x && y && fabs(x->X - y->X) + fabs(x->Y - y->Y) + fabs(x->Z - y->Z) > 0.01)
            return FALSE;
    }
    cmsHTRANSFORM transform =
        cmsCreateTransform(a, TYPE_RGB_8, b, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    if (!transform)
        return FALSE;
    guint8 probe[216 * 3], converted[216 * 3];
    gsize n = 0;
    for (int r = 0; r < 256; r += 51)
        for (int g = 0; g < 256; g += 51)
            for (int b = 0; b < 256; b += 51) {
                probe[n++] = (guint8)r;
                probe[n++] = (guint8)g;
                probe[n++] = (guint8)b;
            }
    cmsDoTransform(transform, probe, converted, 216);
    cmsDeleteTransform(transform);
    for (gsize i = 0; i < sizeof probe; ++i)
        if (abs((int)probe[i] - (int)converted[i]) > 1)
            return FALSE;
    return TRUE;
}

gboolean convertIntoProfile(Pixels *image, GBytes *from, GBytes *into, gboolean *converted, GError **error)
{
    *converted = FALSE;
    if ((!from && !into) || (from && into && g_bytes_equal(from, into)))
        return TRUE;
    cmsHPROFILE source = openRgbProfile(from);
    cmsHPROFILE destination = openRgbProfile(into);
    gboolean ok = TRUE;
    if (!sameSpace(source, destination)) {
        const cmsUInt32Number format = image->bitDepth == 16 ? TYPE_RGB_16 : TYPE_RGB_8;
        cmsHTRANSFORM transform = cmsCreateTransform(source, format, destination, format, INTENT_RELATIVE_COLORIMETRIC,
                                                     cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_NOCACHE);
        if (transform) {
            for (gint row = 0; row < image->height; ++row) {
                guint8 *line = image->samples + (gsize)row * pixelsRowBytes(image);
                cmsDoTransform(transform, line, line, (cmsUInt32Number)image->width);
            }
            cmsDeleteTransform(transform);
            *converted = TRUE;
        } else {
            ok = FALSE;
            g_set_error_literal(error, MATCH_COLOURS_ERROR, 0,
                                "cannot convert the reference into the image's colour profile: lcms2 cannot "
                                "build a transform between the two profiles");
        }
    }
    cmsCloseProfile(source);
    cmsCloseProfile(destination);
    return ok;
}
