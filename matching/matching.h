// The colour pipeline: image intake and finishing, the colour statistics and the
// linear transfer, its concurrent tasks, and matchColors, which conducts them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

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
// The Gram matrices, when set, stand for those of the centred pixel matrices,
// which are then not needed (the 8-bit stage below computes them from moments).
struct TransferInputs {
    cv::UMat targetImage;       // H x W working target (replaced by its 3 x N layout)
    cv::UMat targetMean;        // 1 x 1 CV_32FC3
    cv::UMat referenceMean;     // 1 x 1 CV_32FC3
    cv::UMat centredTarget;     // 3 x N
    cv::UMat centredReference;  // 3 x Nr
    cv::UMat targetGram;        // 3 x 3 CV_32F, or empty: the Gram matrix of centredTarget
    cv::UMat referenceGram;     // 3 x 3 CV_32F, or empty: the Gram matrix of centredReference
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

// ---- The stage on 8-bit colours ----------------------------------------------
//
// After the requantisation every working sample is an 8-bit level over 256, so
// matchColors works on the 8-bit images themselves: exact integer sums give the
// means and Gram matrices without a float image, and everything from the
// transfer to the blend is a function of a pixel's colour alone, evaluated once
// per distinct colour with the same arithmetic as the pixel-matrix stage above
// (which stays as the plain form of the same computation).

// Sums of the first three channels of an 8-bit image (3 or 4 channels) and of
// their pairwise products, exact.
struct ColourMoments {
    std::int64_t count = 0;
    std::int64_t sums[3] = {0, 0, 0};
    std::int64_t products[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
};
ColourMoments colourMomentsOf(const cv::Mat &eightBit);
// Mean colour on the 1/256 scale, 1 x 1 CV_32FC3.
cv::UMat meanColourOf(const ColourMoments &moments);
// Sum of (x - mean)(x - mean)^T over the pixels, x on the 1/256 scale: the Gram
// matrix of the centred pixel matrix (3 x 3 CV_32F) for the given float mean.
cv::UMat centredGramOf(const ColourMoments &moments, const cv::UMat &mean);
// Means and Gram matrices of the 8-bit target and reference; reports "060" to
// "067" like centreForTransfer. No pixel matrices are made.
TransferInputs momentsForTransfer(const cv::Mat &target8, const cv::Mat &reference8);

// The transfer of one request as per-colour constants: y = (T x + mu_r) - T mu_t.
struct ColourTransfer {
    cv::Matx33f transfer;      // T
    cv::Vec3f referenceMean;   // mu_r
    cv::Vec3f shift;           // T mu_t
};
// Covariances, roots (the three concurrent tasks) and T from moment inputs;
// reports "068" to "074".
ColourTransfer colourTransferOf(TransferInputs &inputs);
// The mapped colours of an 8-bit image (first three channels), CV_32FC3 on the
// 1/256 scale, unclamped, in the float arithmetic of linearColourTransfer:
// (((T0 x0 + T1 x1) + T2 x2) + mu_r) - T mu_t.
cv::Mat mapColours(const cv::Mat &colours8, const ColourTransfer &transfer);

// The distinct colours of an 8-bit image (first three channels) and, for every
// colour, its entry in the palette.
struct ColourIndex {
    struct Block {
        std::uint64_t present = 0; // which of 64 consecutive keys occur
        std::uint32_t before = 0;  // how many colours occur in the blocks before
    };
    std::vector<Block> blocks;     // 2^24 / 64 blocks, colours keyed by their interleaved bits
    cv::Mat palette;               // CV_8UC3, rows of paletteWidth colours in key order, tail black
    int count = 0;                 // distinct colours
};
constexpr int paletteWidth = 1024;
ColourIndex indexColours(const cv::Mat &eightBit);
// Each pixel's entry of `values` (a CV_8UC3 image laid out like the palette):
// the image of a per-colour function that was evaluated on the palette.
cv::Mat gatherColours(const ColourIndex &index, const cv::Mat &eightBit, const cv::Mat &values);

// The finishing of mapped palette colours, with the operations of the
// whole-image finishing: 8 bits and Lab (then "077"), the target's lightness
// (paletteLightness, CV_8UC1 laid out like the palette) unless matchLightness
// (then "078"), back to B, G, R, and, when strength < 1 and blendWithPalette,
// the blend with the palette's own colours (the unmatched target's colours).
cv::Mat finishPalette(const cv::Mat &mappedColours, const cv::Mat &paletteLightness, const cv::Mat &palette,
                      float strength, bool blendWithPalette);

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
