/* SPDX-License-Identifier: GPL-3.0-or-later */
/* Pixels in and out of PAM (Netpbm's uncompressed format, which the engine
 * reads and writes at the speed of a copy) and between colour profiles (lcms2). */
#include "gimp/match_colours.h"
#include "host/host.h"

#include <gio/gio.h>
#include <lcms2.h>

#include <string.h>

GQuark matchColoursErrorQuark(void)
{
    return g_quark_from_static_string("match-colours-error-quark");
}

gsize pixelsRowBytes(const Pixels *image)
{
    return (gsize)image->width * (gsize)image->channels * (gsize)(image->bitDepth / 8);
}

const gchar *pixelsEncoding(gint channels, gint bitDepth)
{
    if (bitDepth == 16)
        return channels == 4 ? "R'G'B'A u16" : "R'G'B' u16";
    return channels == 4 ? "R'G'B'A u8" : "R'G'B' u8";
}

void pixelsClear(Pixels *image)
{
    g_clear_pointer(&image->samples, g_free);
}

void hideUnselected(Pixels *image, const guint8 *mask)
{
    const gsize count = (gsize)image->width * (gsize)image->height;
    const gsize sampleBytes = (gsize)(image->bitDepth / 8);
    if (image->channels == 3) {
        guint8 *rgba = g_malloc(count * 4 * sampleBytes);
        for (gsize pixel = 0; pixel < count; ++pixel) {
            memcpy(rgba + pixel * 4 * sampleBytes, image->samples + pixel * 3 * sampleBytes, 3 * sampleBytes);
            memset(rgba + (pixel * 4 + 3) * sampleBytes, 0xff, sampleBytes);
        }
        g_free(image->samples);
        image->samples = rgba;
        image->channels = 4;
    }
    for (gsize pixel = 0; pixel < count; ++pixel)
        if (!mask[pixel])
            memset(image->samples + (pixel * 4 + 3) * sampleBytes, 0, sampleBytes);
}

GBytes *jpegFileBytes(const gchar *path)
{
    gchar *contents = NULL;
    gsize size = 0;
    if (!g_file_get_contents(path, &contents, &size, NULL))
        return NULL;
    /* Told by its content, as GIO's MIME database tells it */
    gchar *type = g_content_type_guess(NULL, (const guchar *)contents, size, NULL);
    const gboolean jpeg = g_content_type_is_a(type, "image/jpeg");
    g_free(type);
    if (!jpeg) {
        g_free(contents);
        return NULL;
    }
    return g_bytes_new_take(contents, size);
}

/* ---- PAM */

GBytes *encodePam(const Pixels *image)
{
    char header[hostPamHeaderCapacity];
    const gsize headerSize = hostPamHeader(header, image->width, image->height, image->channels, image->bitDepth);
    const gsize samplesSize = pixelsRowBytes(image) * (gsize)image->height;
    guint8 *bytes = g_malloc(headerSize + samplesSize);
    memcpy(bytes, header, headerSize);
    if (image->bitDepth == 16) {
        /* PAM's 16-bit samples are big-endian, and start wherever the header
         * ends: written byte by byte, never as misaligned 16-bit words. */
        const guint16 *samples = (const guint16 *)image->samples;
        guint8 *out = bytes + headerSize;
        for (gsize i = 0; i < samplesSize / 2; ++i) {
            out[2 * i] = (guint8)(samples[i] >> 8);
            out[2 * i + 1] = (guint8)samples[i];
        }
    } else {
        memcpy(bytes + headerSize, image->samples, samplesSize);
    }
    return g_bytes_new_take(bytes, headerSize + samplesSize);
}

gboolean decodePam(GBytes *encoded, gint channels, gint bitDepth, Pixels *image, GError **error)
{
    gsize size = 0;
    const guint8 *data = g_bytes_get_data(encoded, &size);
    HostPam pam;
    if (!hostParsePam(data, size, &pam) || pam.depth != channels || pam.maxval != (bitDepth == 16 ? 65535 : 255)) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0,
                    "the engine's result (%" G_GSIZE_FORMAT " bytes) is not the %s %d-bit PAM image expected", size,
                    channels == 4 ? "R, G, B, A" : "R, G, B", bitDepth);
        return FALSE;
    }
    const gsize samplesSize = size - pam.headerSize;
    *image = (Pixels){pam.width, pam.height, channels, bitDepth, g_memdup2(data + pam.headerSize, samplesSize)};
    if (bitDepth == 16) /* PAM's 16-bit samples are big-endian */
        for (guint16 *sample = (guint16 *)image->samples; sample < (guint16 *)(image->samples + samplesSize); ++sample)
            *sample = GUINT16_FROM_BE(*sample);
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

/* 8-bit samples in 16 (v becomes 257 v, as GEGL reads them), so that a
 * conversion for a deep layer rounds once, at 16 bits. */
static void widen(Pixels *image)
{
    const gsize count = pixelsRowBytes(image) * (gsize)image->height;
    guint16 *wide = g_malloc(count * 2);
    for (gsize sample = 0; sample < count; ++sample)
        wide[sample] = (guint16)(image->samples[sample] * 257);
    g_free(image->samples);
    image->samples = (guint8 *)wide;
    image->bitDepth = 16;
}

gboolean convertIntoProfile(Pixels *image, GBytes *from, GBytes *into, gint bitDepth, gboolean *converted,
                            GError **error)
{
    *converted = FALSE;
    if ((!from && !into) || (from && into && g_bytes_equal(from, into)))
        return TRUE;
    cmsHPROFILE source = openRgbProfile(from);
    cmsHPROFILE destination = openRgbProfile(into);
    gboolean ok = TRUE;
    if (!hostSameColourSpace(source, destination)) {
        if (image->bitDepth < bitDepth)
            widen(image);
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
