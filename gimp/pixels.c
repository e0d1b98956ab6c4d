/* Pixels in and out of PAM (Netpbm's uncompressed format, which the engine
 * reads and writes at the speed of a copy) and between colour profiles (lcms2). */
#include "gimp/match_colours.h"

#include <lcms2.h>

#include <math.h>
#include <stdio.h>
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

/* ---- PAM */

GBytes *encodePam(const Pixels *image)
{
    gchar *header = g_strdup_printf("P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n",
                                    image->width, image->height, image->channels,
                                    image->bitDepth == 16 ? 65535 : 255, image->channels == 4 ? "RGB_ALPHA" : "RGB");
    const gsize headerSize = strlen(header);
    const gsize samplesSize = pixelsRowBytes(image) * (gsize)image->height;
    guint8 *bytes = g_malloc(headerSize + samplesSize);
    memcpy(bytes, header, headerSize);
    memcpy(bytes + headerSize, image->samples, samplesSize);
    g_free(header);
    if (image->bitDepth == 16) /* PAM's 16-bit samples are big-endian */
        for (guint16 *sample = (guint16 *)(bytes + headerSize); sample < (guint16 *)(bytes + headerSize + samplesSize);
             ++sample)
            *sample = GUINT16_TO_BE(*sample);
    return g_bytes_new_take(bytes, headerSize + samplesSize);
}

gboolean decodePam(GBytes *encoded, gint channels, Pixels *image, GError **error)
{
    gsize size = 0;
    const gchar *data = g_bytes_get_data(encoded, &size);
    const gchar *end = size >= 3 && memcmp(data, "P7\n", 3) == 0 ? g_strstr_len(data, (gssize)MIN(size, 4096), "ENDHDR\n") : NULL;
    gint width = 0, height = 0, depth = 0, maxval = 0;
    if (end) {
        gchar *header = g_strndup(data, (gsize)(end - data));
        gchar **lines = g_strsplit(header, "\n", -1);
        for (gchar **line = lines; *line; ++line) {
            sscanf(*line, "WIDTH %d", &width);
            sscanf(*line, "HEIGHT %d", &height);
            sscanf(*line, "DEPTH %d", &depth);
            sscanf(*line, "MAXVAL %d", &maxval);
        }
        g_strfreev(lines);
        g_free(header);
        end += strlen("ENDHDR\n");
    }
    const gsize samples = (gsize)MAX(width, 0) * (gsize)MAX(height, 0) * (gsize)channels;
    if (!end || width <= 0 || height <= 0 || depth != channels || maxval != 255 ||
        size - (gsize)(end - data) != samples) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0,
                    "the engine's result (%" G_GSIZE_FORMAT " bytes) is not the %s 8-bit PAM image expected", size,
                    channels == 4 ? "R, G, B, A" : "R, G, B");
        return FALSE;
    }
    *image = (Pixels){width, height, channels, 8, g_memdup2(end, samples)};
    return TRUE;
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
