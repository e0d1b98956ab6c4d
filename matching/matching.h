// The colour pipeline: image intake and finishing, the colour statistics and the
// linear transfer, its concurrent tasks, and matchColors, which conducts them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

// ---- Image intake and working images ----------------------------------------

// Decodes an encoded image as it is stored (depth and channel count kept).
// `which` names the image in errors ("target", "reference"). Throws EngineError
// (dataError) for an empty array, bytes no decoder reads, or a sample depth the
// engine cannot scale.
cv::UMat decodeImageBytes(const QByteArray &bytes, const char *which);

// The most pixels one image may have. Larger images are refused from their
// header, before any pixel memory is allocated.
constexpr qint64 maximumImagePixels = qint64(1) << 28;
// Refuses, with EngineError (dataError), an encoded image that is cut short
// (PNG without its end chunk, JPEG without its end marker, WebP shorter than its
// RIFF size) or whose header declares more than maximumImagePixels.
void checkEncodedImage(const QByteArray &bytes, const char *which);
void checkPixelCount(qint64 width, qint64 height, const char *which);

// Brings a decoded target to 3 channels. Sets targetHadAlpha when the target
// carries an alpha plane (4 channels, or grey with alpha).
cv::UMat dropTargetAlpha(const cv::UMat &decodedTarget, bool &targetHadAlpha);
// Brings a decoded reference to 3 channels; its alpha is dropped.
cv::UMat normaliseReference(const cv::UMat &decodedReference);
// CV_32FC3 at the 1/256 scale of 8-bit samples, whatever the source depth.
cv::UMat toWorkingScale(const cv::UMat &image);
// 8-bit image of a working image: times 256, rounded, clamped to 0..255.
cv::UMat toEightBit(const cv::UMat &workingImage);
// 8-bit Lab (RGB codes on B, G, R data).
cv::UMat labOf(const cv::UMat &eightBitImage);
// Puts the target's lightness back unless matchLightness is set.
void restoreLightness(cv::UMat &resultLab, const cv::UMat &targetLab);
// result = strength * result + (1 - strength) * unmatchedTarget, rounded, clamped.
void blendWithUnmatched(cv::UMat &result, const cv::UMat &unmatchedTarget, float strength);
// Result with the decoded target's alpha plane (8-bit) as its fourth channel;
// reports "080" and "085".
cv::UMat restoreAlpha(const cv::UMat &result, const cv::UMat &decodedTarget);
// A decoded image of any depth and 1 to 4 channels as 8-bit B, G, R (3
// channels) or B, G, R, A (4 channels, when it has alpha), on the intake scale.
cv::UMat toEightBitColour(const cv::UMat &decodedImage);

// ---- Colour statistics and transfer -------------------------------------------

cv::UMat meanAlong(const cv::UMat &src, int dim);
cv::UMat gramMatrix(const cv::UMat &a);
cv::UMat matMul(const cv::UMat &a, const cv::UMat &b);
cv::UMat hostSubtract(const cv::UMat &a, const cv::UMat &b);
cv::UMat hostAdd(const cv::UMat &a, const cv::UMat &b);
cv::UMat hostDivide(const cv::UMat &a, double s);
cv::UMat planesToRows(const cv::UMat &image, int rows, int cols);
cv::UMat rowsToChannels(const cv::UMat &m);
cv::UMat symmetricSqrt(const cv::UMat &s);
// Inverse of the target root used by the transfer: LU for a regular root, the
// pseudo-inverse where the covariance is singular or numerically singular.
cv::UMat invertTargetRoot(const cv::UMat &targetCovariance, const cv::UMat &targetRoot);

// What the stage carries from its unguarded first half to its guarded second half.
struct TransferInputs {
    cv::UMat targetImage;       // H x W working target (replaced by its 3 x N layout)
    cv::UMat targetMean;        // 1 x 1 CV_32FC3
    cv::UMat referenceMean;     // 1 x 1 CV_32FC3
    cv::UMat centredTarget;     // 3 x N
    cv::UMat centredReference;  // 3 x Nr
    double targetCount = 0;
    double referenceCount = 0;
    int width = 0;
    int height = 0;
};

// Means and centred pixel matrices of both working images; reports "060" to "067".
TransferInputs centreForTransfer(const cv::UMat &workingTarget, const cv::UMat &workingReference);
// Covariances, roots (three concurrent tasks), transfer matrix and mapping;
// reports "068" to "076" and returns the H x W CV_32FC3 mapped target, unclamped.
cv::UMat linearColourTransfer(TransferInputs &inputs);

// ---- Concurrent tasks of the transfer -------------------------------------------

struct MappingTaskResults {
    cv::UMat targetRoot;     // St
    cv::UMat referenceRoot;  // Sr
};
// Runs targetRootTask, referenceRootTask and layoutTask: concurrently under
// tbb::parallel_invoke, or one after another when `concurrent` is false.
// layoutTask replaces inputs.targetImage, targetMean and referenceMean by their
// column layouts (3 x N, 3 x 1, 3 x 1).
MappingTaskResults runMappingTasks(const cv::UMat &targetCovariance, TransferInputs &inputs,
                                   bool concurrent = true);

// ---- The conductor ------------------------------------------------------------

// Matches the target's colours to the reference's. Returns the result image, the
// 10 x 10 black image with LUT export, or the decoded target after a caught
// failure. LUT files that could not be written are added to lutFailures
// ("path: reason"); the export goes on with the other file.
cv::UMat matchColors(QByteArray targetBytes, QByteArray referenceBytes, bool lutExport,
                     float strength, QStringList &lutFailures);
