// SPDX-License-Identifier: GPL-3.0-or-later
// Preparing a match: the output's format checked, the reference checked once,
// a target's metadata read, CMYK and other colour spaces converted for the
// engine, the output encoded with the target's metadata and saved, and the
// cube's head written.
#pragma once

#include "colormatch/colour_management.h"
#include "colormatch/metadata.h"
#include "colormatch/output_encoding.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The format word of an output image, from its extension; throws UserError
// (64) when it has none or colormatch has no encoder for it.
// `fallback`: the format for an output with no extension (--format for
// standard output), or empty for PNG.
QString checkedImageFormat(const QString &file, const QString &what, const QString &fallback = QString());
// An option for an encoding the output's format does not use is refused, as
// --lut-size without --lut is: silently ignored, it would look obeyed.
void refuseUnusedQualityOptions(const OutputQuality &quality, const QString &format);
// --depth 16 for an output whose format holds 8 bits is refused likewise.
void refuseUnkeptDepth(int depth, const QString &format);
// The depth a target is matched in: the one asked for (8 or 16), or else 16 for
// a target of more than 8 bits a sample whose output keeps 16 bits (`format`
// empty: no image output, as for a LUT alone), and 8 for the rest.
int matchDepth(int asked, const ImageMetadata &target, const QString &format);

// The reference's metadata, once its structure, size, pixels and colour
// profile have passed their checks; throws UserError (65) otherwise.
ImageMetadata checkedReference(const QString &path, const QByteArray &bytes);
// A target's metadata, unless its structure is unsound: then nothing of it is
// read here, and the engine refuses it in its own words.
ImageMetadata targetMetadataOf(const QByteArray &bytes);

// One target made ready: what its output carries, the file the engine reads
// and the reference in the target's colour space.
struct PreparedMatch {
    ImageMetadata target;
    QString enginePath;
    QByteArray referenceBytes;
    QStringList notes; // what was converted, for --verbose
};

// Converts a CMYK target to sRGB (a file in `scratch`) and the reference into
// the target's space; references already converted for a space are reused.
PreparedMatch prepareMatch(const QString &targetPath, const QByteArray &targetBytes,
                           const ImageMetadata &targetMetadata, const QString &referencePath,
                           const QByteArray &referenceBytes, const ImageMetadata &referenceMetadata,
                           const QTemporaryDir &scratch, QHash<QByteArray, EngineInput> &references);

// A mask steering the statistics: `image` as the engine gets it, B, G, R, A
// PAM whose alpha is 0 where the mask (a grey image of the same size) is
// black; the engine leaves those pixels out of its statistics. Throws
// UserError (65) for a mask that does not decode or whose size differs.
QByteArray maskedForEngine(const QByteArray &image, const QString &imageName, const QByteArray &mask,
                           const QString &maskName);
// The engine's result (PAM) with the target's own alpha put back in place of
// the mask's, or without alpha where the target has none.
QByteArray withTargetAlpha(const QByteArray &result, const QByteArray &target);

// What of the images' metadata could not be read or written, for the output's line.
QString leftOutNote(const QStringList &target, const QStringList &reference);
// Encodes the engine's result in the output's format with the target's
// metadata and saves it; returns what went wrong, or empty. `note` says what
// of the target the format cannot hold.
QString saveOutput(const QString &path, const QString &format, const QByteArray &result, const OutputQuality &quality,
                   const ImageMetadata &metadata, QString *note);
// The same for pixels at hand (a look applied by colormatch).
QString saveOutput(const QString &path, const QString &format, const cv::Mat &pixels, const OutputQuality &quality,
                   const ImageMetadata &metadata, QString *note);

// The engine's cube with colormatch's own head: the file's name as its title,
// and comment lines that say what it is and in which colour space it works;
// the engine's lines from LUT_3D_SIZE on stay as they are.
QByteArray colormatchCube(const QByteArray &engineCube, const QString &cubePath, const QString &target,
                          const QString &reference, const QString &colourSpace);
