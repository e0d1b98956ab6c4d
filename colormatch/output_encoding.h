// SPDX-License-Identifier: GPL-3.0-or-later
// The output file's encoding: the lossless format colormatch asks the engine
// for, and the engine's result re-encoded at the quality the user chose; also
// how many engines a batch runs at once.
#pragma once

#include "colormatch/metadata.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// How colormatch encodes the output files.
struct OutputQuality {
    int jpegQuality = 95; // also the WebP quality unless lossless
    bool lossless = false; // WebP
    int pngLevel = -1; // -1: the fast run-length compression the engine uses too
    bool qualityGiven = false; // --quality was given
};
// Whether colormatch writes 16 bits a sample into files of this format.
bool formatHoldsSixteenBits(const QString &format);
// The lossless format colormatch asks the engine for, fast to encode and read.
QString engineTransferFormat();
// An 8- or 16-bit PAM (the engine's result, a converted input) read as B, G,
// R[, A]; any other image through OpenCV's decoders, unchanged.
cv::Mat resultPixels(const QByteArray &result);
// The engine's result re-encoded as `format` (16 bits a channel for a 16-bit
// result where the format holds them, else 8; alpha kept where the format
// holds it), or empty when the encoder refuses it. Where the
// format cannot hold the colour profile of `metadata`, the colours are
// converted to sRGB and the profile is taken out of `metadata`. `lost`
// receives what of the target the output does not keep ("alpha", ...).
QByteArray encodeOutput(const QByteArray &engineResult, const QString &format, const OutputQuality &quality,
                        ImageMetadata &metadata, QStringList *lost);
// The same for pixels at hand (a look applied by colormatch), B, G, R[, A].
QByteArray encodeOutput(cv::Mat image, const QString &format, const OutputQuality &quality, ImageMetadata &metadata,
                        QStringList *lost);

// How many engines may run at once: the CPUs, fewer when their estimated peak
// memory for the largest image, with colormatch's own, would pass half of the
// free memory.
int defaultEngineCount(qint64 largestPixelCount);
