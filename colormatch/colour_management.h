// SPDX-License-Identifier: GPL-3.0-or-later
// Colour management: the checks of a colour profile, an input converted into
// the colour space it is matched in (CMYK into RGB), pixels converted to sRGB,
// and images decoded the way a colour-managed viewer shows them.
#pragma once

#include "colormatch/image_metadata.h"

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

// Whether the bytes are a CMYK or YCCK JPEG.
bool jpegIsCmyk(const QByteArray &encoded);
// Why a colour profile is over the limits colormatch builds transforms for
// (its size, the stages it chains), or empty.
QString colourProfileProblem(const QByteArray &icc);

// An input image made ready for the engine in the colour space it is matched
// in. `bytes` is empty when the original can be used as it is; otherwise it is
// the image converted and encoded losslessly (PAM), and `note` says what was done.
struct EngineInput {
    QByteArray bytes;
    QString note;
};
// Converts an image with `metadata` into the space of `intoProfile` (empty:
// sRGB) when its own profile differs, and CMYK into RGB. Throws UserError for
// an image that cannot be converted soundly.
EngineInput convertedForMatching(const QByteArray &encoded, const ImageMetadata &metadata,
                                 const QByteArray &intoProfile, const QString &what);
// Whether a colour profile describes RGB (an empty one counts as sRGB).
bool isRgbProfile(const QByteArray &icc);
// The profile's description, "sRGB" for an empty one.
QString colourSpaceName(const QByteArray &icc);
// 8-bit B, G, R[, A] pixels converted from the profile's space to sRGB
// (relative colorimetric, black point compensation), or the image as it is
// when the profile does not fit it.
cv::Mat convertedToSrgb(const cv::Mat &image, const QByteArray &icc);
// Adobe RGB (1998), made from its primaries and gamma: what cameras mean by
// the EXIF interoperability index R03 when they embed no profile.
QByteArray adobeRgbProfile();
// Decodes as 8-bit B, G, R the way a viewer shows the image: turned by its
// orientation and converted from its profile to sRGB; empty if no image.
cv::Mat decodeForViewing(const QByteArray &encoded, const ImageMetadata &metadata);
