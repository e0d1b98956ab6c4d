// SPDX-License-Identifier: GPL-3.0-or-later
// The record of what colormatch keeps of an image besides its pixels, shared
// by the units that read it (metadata), convert by it (colour management) and
// write it (match preparation).
#pragma once

#include "encoders/image_probe.h"

#include <QByteArray>
#include <QStringList>

#include <opencv2/core.hpp>

// What colormatch keeps of an image besides its pixels, in forms that need no
// metadata library to hold.
struct ImageMetadata {
    QByteArray exif;       // EXIF as a TIFF-structured block (empty: none)
    QByteArray xmp;        // the XMP packet
    QByteArray iptc;       // IPTC IIM datasets
    QByteArray iccProfile; // empty: untagged, which counts as sRGB
    int orientation = 1;   // EXIF orientation, 1 to 8
    double xDpi = 0.0;     // resolution in dots per inch; 0 when not given
    double yDpi = 0.0;
    cv::Size storedSize;   // pixels as stored (before orientation), when the header says
    ImageHeader header;    // as the image probe read it: format, size, the decoder's buffers
    bool cmyk = false;     // a CMYK (or YCCK) JPEG
    QStringList leftOut;   // pieces that could not be read, each with why: "XMP (...)"
};
