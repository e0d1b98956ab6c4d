// SPDX-License-Identifier: GPL-3.0-or-later
// The colour pipeline. It offers matchColors, which turns the request's two
// encoded images into the matched result, and the image limits it holds every
// request to. The rest of this header is how its stages meet across the files
// of this folder: image intake and finishing, the colour statistics and the
// transfer, the three concurrent tasks.
#pragma once

#include "base/base.h"
#include "encoders/encoders.h"
#include "encoders/image_probe.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

// Matches the target's colours to the reference's. Returns the result image (with
// depth 16, of engineSettings().resultBits), the 10 x 10 black image with LUT
// export, or the decoded target (in 8 bits) after a caught failure. LUT files that could not be written are added to lutFailures
// ("path: reason"); the export goes on with the other file.
cv::UMat matchColors(QByteArray targetBytes, QByteArray referenceBytes, bool lutExport, float strength,
                     QStringList &lutFailures);

// The most pixels one image may have, and the most in one row or column (the
// decoders' own limit). Larger images are refused from their header, before
// any pixel memory is allocated; a TIFF's tile or strip buffers count too.
constexpr qint64 maximumImagePixels = largestImagePixels;
constexpr qint64 maximumImageSide = largestImageSide;

// ---- Image intake and finishing (intake.cpp, jpeg_decoding.cpp,
// png_decoding.cpp, netpbm_decoding.cpp)

// Decodes an encoded image as it is stored (depth and channel count kept).
// `which` names the image in errors ("target", "reference"). Throws EngineError
// (dataError) for an empty array, bytes in no accepted format, a header that
// does not read, an image over the limits, a truncated or corrupt file, or a
// sample depth the engine cannot scale.
cv::UMat decodeImageBytes(const QByteArray &bytes, const char *which);
// Reads the image's header with the image probe (a JPEG's is left to its
// decoder) and refuses, with EngineError (dataError), what the probe refuses
// and a declared size over the limits.
ImageHeader checkEncodedImage(const QByteArray &bytes, const char *which);
// Throws EngineError (dataError) "<which> image <the problem>" for a problem
// with text; returns for none.
void refuseImage(const char *which, const ImageProblem &problem);
// Decodes a JPEG with libjpeg as OpenCV would (B, G, R or grey; CMYK turned
// into B, G, R), refusing it when its header declares too many pixels or when
// libjpeg reports data missing or corrupt.
cv::Mat decodeJpeg(const QByteArray &bytes, const char *which);
// Decodes a PAM file by its tuple type (by its DEPTH without one): grey, grey
// and alpha, R, G, B or R, G, B, A samples, 8-bit up to MAXVAL 255, 16-bit
// above, scaled to the full range of their depth; colour comes back as B, G,
// R(, A). Refuses a file shorter than its samples.
cv::Mat decodePam(const QByteArray &bytes, const char *which);
// OpenCV's image codecs, for the formats the engine does not handle itself.
struct OpenCVCodecs {
    // False when the decoder refuses the bytes.
    bool (*decode)(const uchar *data, size_t size, cv::Mat &image);
    // False, with the encoder's reason, when it cannot encode the image.
    bool (*encode)(const std::string &extension, const cv::Mat &image, std::vector<uchar> &bytes,
                   std::string &reason);
    bool (*canWrite)(const std::string &extension);
};
// The folder that holds the codecs' module (the engine's own); set once at start-up.
void setOpenCVCodecsFolder(const QString &folder);
// The codecs, loaded on first use; throws (status software) when they cannot be.
const OpenCVCodecs &openCVCodecs();

// Decodes a PNG with libpng as cv::imdecode would (see png_decoding.cpp),
// refusing what libpng refuses with its reason.
cv::Mat decodePng(const QByteArray &bytes, const char *which);
// Decodes a PFM file as OpenCV's reader does (float B, G, R or grey, samples
// divided by the size of the scale) without a temporary file. Refuses a scale
// of 0 and a file shorter than its samples.
cv::Mat decodePfm(const QByteArray &bytes, const char *which);

// Any channel count the decoders give, alpha dropped, as B, G, R.
cv::UMat colourPlanes(const cv::UMat &image);
// The 8-bit working colours of a 3-channel image of another depth: the 1/256
// working scale and back, rounded and clamped.
cv::Mat requantised(const cv::UMat &image);
// result = strength * result + (1 - strength) * unmatchedTarget, rounded, clamped.
void blendWithUnmatched(cv::UMat &result, const cv::UMat &unmatchedTarget, float strength);
// Result with the decoded target's alpha plane (8-bit) as its fourth channel;
// reports "080" and "085".
cv::UMat restoreAlpha(const cv::UMat &result, const cv::UMat &decodedTarget);
// A decoded image of any depth and 1 to 4 channels as 8-bit B, G, R (3
// channels) or B, G, R, A (4 channels, when it has alpha), on the intake scale.
cv::UMat toEightBitColour(const cv::UMat &decodedImage);

// ---- Lab (lab_conversion.cpp)

// 8-bit B, G, R to OpenCV's 8-bit L*a*b* encoding and back: exactly what
// cv::cvtColor gives for COLOR_BGR2Lab and COLOR_Lab2BGR, from the few small
// tables its 8-bit arithmetic needs (OpenCV builds all of its Lab tables, the
// large ones of its floating-point path too, on first use).
cv::Mat bgrToLab(const cv::Mat &bgr);
cv::Mat labToBgr(const cv::Mat &lab);

// ---- Colour statistics and transfer (transfer.cpp, mapping_tasks.cpp)

// What the statistics hand to the transfer.
struct TransferInputs {
    cv::UMat targetMean;    // 1 x 1 CV_32FC3, replaced by its 3 x 1 column layout
    cv::UMat referenceMean; // likewise
    cv::UMat targetGram;    // 3 x 3 CV_32F: sum of (x - mean)(x - mean)^T
    cv::UMat referenceGram;
    double targetCount = 0;
    double referenceCount = 0;
};
// The pixels that count in an image's colour statistics: those whose alpha is
// not 0, or every pixel when the image has no alpha (or no visible pixel). A
// hidden pixel's colour is undefined; it is still mapped.
struct VisiblePixels {
    bool alphaInImage = false; // the 8-bit image's own fourth channel is its alpha
    cv::Mat alpha;             // or this CV_8UC1 plane: 0 hidden, anything else visible
};
// Visibility of a decoded image with alpha (2 or 4 channels, any depth) as a
// separate plane; an empty plane for an image without alpha.
cv::Mat visibilityPlane(const cv::UMat &decodedImage);
// Means and Gram matrices of the visible pixels of the 8-bit target and
// reference (first three channels) from exact integer sums; reports "060" to
// "067".
TransferInputs momentsForTransfer(const cv::Mat &target8, const cv::Mat &reference8,
                                  const VisiblePixels &targetVisible = {}, const VisiblePixels &referenceVisible = {});

// The transfer of one request as per-colour constants: y = (T x + mu_r) - T mu_t.
struct ColourTransfer {
    cv::Matx33f transfer;    // T
    cv::Vec3f referenceMean; // mu_r
    cv::Vec3f shift;         // T mu_t
};
// Covariances, roots (the three concurrent tasks) and T; reports "068" to "074".
ColourTransfer colourTransferOf(TransferInputs &inputs);
// The mapped colours of an 8-bit image (first three channels), CV_32FC3 on the
// 1/256 scale, unclamped: (((T0 x0 + T1 x1) + T2 x2) + mu_r) - T mu_t in
// single precision.
cv::Mat mapColours(const cv::Mat &colours8, const ColourTransfer &transfer);

// ---- The deep computation (deep_match.cpp), for depth 16

// Means and Gram matrices of the visible pixels (alpha above 0; all when none
// is) of two decoded images of any depth and 1 to 4 channels, summed in double
// from their samples on the 1/256 working scale; reports "060" to "067".
TransferInputs deepMomentsForTransfer(const cv::Mat &target, const cv::Mat &reference);
// The transfer as an affine map of B, G, R colours from 0 to 1 (cv::transform's 3 x 4 form).
cv::Matx34f deepMapping(const ColourTransfer &transfer);
// The finished colours (CV_32FC3, 0 to 1) of unmatched colours: mapped, clamped,
// their lightness replaced by the colours' own CIE L* unless matchLightness,
// clamped, then strength * finished + (1 - strength) * colours for a strength
// below 1, clamped.
void finishDeepColours(const cv::Mat &colours, const cv::Matx34f &mapping, float strength, bool matchLightness,
                       cv::Mat &finished);
// The deep result of a decoded target: B, G, R(, alpha) of resultBits (8 or
// 16) bits, alpha rescaled to that depth. Finished band by band, in place when
// the target is of that type already.
cv::Mat deepMatched(const cv::UMat &decodedTarget, const ColourTransfer &transfer, float strength, int resultBits);

cv::UMat hostDivide(const cv::UMat &a, double s);
// Symmetric square root of a covariance; negative eigenvalues count as zero.
cv::UMat symmetricSqrt(const cv::UMat &s);

struct MappingTaskResults {
    cv::UMat targetRoot;    // St
    cv::UMat referenceRoot; // Sr
};
// Runs targetRootTask, referenceRootTask and layoutTask concurrently under
// tbb::parallel_invoke, each with its own thread's OpenCL switch. layoutTask
// replaces both means of the inputs by their 3 x 1 columns.
MappingTaskResults runMappingTasks(const cv::UMat &targetCovariance, TransferInputs &inputs);
