// SPDX-License-Identifier: GPL-3.0-or-later
/* What the GIMP-free half of the Match Colours plug-in offers: the conversation
 * with matchengine (finding it, the twelve positions, the framed request, the
 * progress codes, the result) and the pixel work around it (PAM in and out,
 * colour profiles). plugin.c, the only file that speaks to GIMP, builds on it.
 * Every failure is a GError in MATCH_COLOURS_ERROR whose message says what
 * failed and why; it becomes the procedure's error message. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define MATCH_COLOURS_ERROR (matchColoursErrorQuark())
GQuark matchColoursErrorQuark(void);

/* Pixels without row padding: R, G, B[, A], 8 or 16 bits per sample (16-bit
 * samples in the machine's byte order). */
typedef struct {
    gint width;
    gint height;
    gint channels;
    gint bitDepth;
    guint8 *samples; /* g_free */
} Pixels;

gsize pixelsRowBytes(const Pixels *image);
/* The babl format of such pixels: R', G', B'[, A], perceptual as the engine's
 * images are, "u8" or "u16". GEGL converts the layer's own precision from and
 * into it. */
const gchar *pixelsEncoding(gint channels, gint bitDepth);
void pixelsClear(Pixels *image);

/* Hides the pixels whose mask byte is 0 (alpha 0: the engine leaves them out
 * of its statistics), so that a selection or mask steers the match; an image
 * without alpha gains an opaque one first. `mask` has a byte per pixel. */
void hideUnselected(Pixels *image, const guint8 *mask);

/* The file's own bytes when it is a JPEG, otherwise NULL. A JPEG reference
 * whose colours need no conversion goes to the engine as it is, which decodes
 * it as it does for colormatch; GIMP's JPEG loader gives pixels some levels
 * apart. */
GBytes *jpegFileBytes(const gchar *path);

/* PAM, Netpbm's uncompressed format: R, G, B[, A] with a TUPLTYPE line, 16-bit
 * samples big-endian. The engine reads it and writes its result in it at the
 * speed of a copy. */
GBytes *encodePam(const Pixels *image);
/* The engine's result, which must have `channels` channels of `bitDepth` bits
 * (16-bit samples come back in the machine's byte order). */
gboolean decodePam(GBytes *pam, gint channels, gint bitDepth, Pixels *image, GError **error);

/* Converts `image` (R, G, B, 8 or 16 bits) from the ICC profile `from` into
 * `into` (NULL or a profile that is not RGB counts as sRGB), relative
 * colorimetric with black point compensation, unless both describe one space
 * within a level of 8 bits. It converts in `bitDepth` bits at least: an 8-bit
 * image meant for a 16-bit layer is widened first. `converted` says whether it
 * did. */
gboolean convertIntoProfile(Pixels *image, GBytes *from, GBytes *into, gint bitDepth, gboolean *converted,
                            GError **error);

/* The engine: beside the plug-in, then in the libexec folder of the prefix the
 * plug-in was installed with, then $MATCHENGINE. */
gchar *findEngine(const gchar *pluginPath, GError **error);

typedef struct {
    const gchar *enginePath;
    GBytes *target;    /* encoded */
    GBytes *reference; /* encoded */
    gdouble strength;
    gboolean matchLightness;
    const gchar *lutBase; /* NULL: the matched image; otherwise the base path of a LUT export */
    gint bitDepth;        /* 16: computed in floating point, a 16-bit result; 8: in 8 bits */
} EngineRequest;

typedef void (*ProgressFunction)(gint code, gpointer data);

/* Runs one engine process for the request: progress codes (5 to 100) go to
 * `progress` as they arrive; the encoded result comes back. A refusal (its
 * ERROR line), a failed colour transfer (its CRASH line), a crash or a failed
 * start is an error. */
GBytes *runEngine(const EngineRequest *request, ProgressFunction progress, gpointer data, GError **error);

/* The mark on each image the plug-in loads for itself (a reference file): a
 * parasite that is not persistent (flags 0, never saved into a file), its data
 * the loading process's id in decimal. GIMP ends a cancelled plug-in with
 * SIGKILL, which leaves such an image open without a display; each run deletes
 * the marked images whose owner has gone. */
#define MATCH_COLOURS_OWNER_PARASITE "match-colours-owner"
/* This process's mark: its id in decimal (g_free). */
gchar *ownerMark(void);
/* Whether the mark's process has ended; a mark that names no process id is
 * left alone (FALSE). */
gboolean ownerGone(gconstpointer mark, gsize size);

G_END_DECLS
