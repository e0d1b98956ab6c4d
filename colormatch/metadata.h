// A photograph's metadata (EXIF with its orientation, XMP, IPTC, the colour
// profile, the resolution): read from an image, written into another; and the
// checks of an image's structure and declared size made before it is decoded.
#pragma once

#include "encoders/image_probe.h"

#include <QByteArray>
#include <QString>
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

// Reads an encoded image's metadata; what cannot be read stays empty.
ImageMetadata readImageMetadata(const QByteArray &encoded);
// Why encoded image bytes cannot be used, from their structure and header
// alone (empty, a format the engine does not accept, truncated, over the scan
// or PNG text limits, a header that does not read), or empty. Nothing of an
// image with a problem is parsed or decoded.
QString encodedImageProblem(const QByteArray &encoded);
// Why an image's declared size is over the limits the engine holds it to, or
// empty (also when the size is unknown).
QString imageSizeProblem(const ImageMetadata &metadata);
// imageSizeProblem, then a decoding of the image when its size is known and
// within the limits: why it does not decode, or empty.
QString decodedImageProblem(const QByteArray &encoded, const ImageMetadata &metadata);
// The encoded image with the metadata written into it. `notKept` receives the
// kinds of metadata the format cannot hold ("IPTC", "EXIF", ...), `leftOut`
// each piece that could not be written, with why ("XMP (...)"); the other
// pieces are kept.
QByteArray withImageMetadata(const QByteArray &encoded, const ImageMetadata &metadata, QStringList *notKept,
                             QStringList *leftOut);
// The image turned the way a viewer shows it for an EXIF orientation.
cv::Mat orientedForViewing(const cv::Mat &image, int orientation);
// Whether colormatch can write a colour profile into files of this format.
bool formatHoldsColourProfile(const QString &format);
