/* SPDX-License-Identifier: GPL-3.0-or-later */
/* Whether two colour profiles describe one space: the hosts convert a
 * reference into the target's space only when they do not. */
#include "host/host.h"

#include <lcms2.h>

#include <math.h>
#include <stdlib.h>

int hostSameColourSpace(void *profile, void *otherProfile)
{
    if (cmsGetColorSpace(profile) != cmsSigRgbData || cmsGetColorSpace(otherProfile) != cmsSigRgbData)
        return 0;
    /* Different primaries settle it without building a transform, which
     * costs more than converting a small reference. */
    const cmsTagSignature colorants[] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    for (size_t i = 0; i < sizeof colorants / sizeof *colorants; ++i) {
        const cmsCIEXYZ *x = cmsReadTag(profile, colorants[i]);
        const cmsCIEXYZ *y = cmsReadTag(otherProfile, colorants[i]);
        if (x && y && fabs(x->X - y->X) + fabs(x->Y - y->Y) + fabs(x->Z - y->Z) > 0.01)
            return 0;
    }
    /* 216 colours: not worth the tables an optimised transform builds. */
    cmsHTRANSFORM transform = cmsCreateTransform(profile, TYPE_RGB_8, otherProfile, TYPE_RGB_8,
                                                 INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    if (!transform)
        return 0;
    unsigned char probe[216 * 3], converted[216 * 3];
    size_t n = 0;
    for (int r = 0; r < 256; r += 51)
        for (int g = 0; g < 256; g += 51)
            for (int b = 0; b < 256; b += 51) {
                probe[n++] = (unsigned char)r;
                probe[n++] = (unsigned char)g;
                probe[n++] = (unsigned char)b;
            }
    cmsDoTransform(transform, probe, converted, 216);
    cmsDeleteTransform(transform);
    for (size_t i = 0; i < sizeof probe; ++i)
        if (abs((int)probe[i] - (int)converted[i]) > 1)
            return 0;
    return 1;
}
