// SPDX-License-Identifier: GPL-3.0-or-later
// A photograph's metadata (EXIF with its orientation, XMP, IPTC, the colour
// profile, the resolution): read from an image, written into another; and the
// checks of an image's structure and declared size made before it is decoded.
#pragma once

#include "colormatch/image_metadata.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

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
// Whether colormatch can write a colour profile into files of this format.
bool formatHoldsColourProfile(const QString &format);
