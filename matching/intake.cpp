// SPDX-License-Identifier: GPL-3.0-or-later
// Image intake and finishing: the request's images checked by the image probe
// and decoded, their colour planes and 8-bit working colours, the strength
// blend for deep targets and the alpha plane of the result.
#include "matching/matching.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace {

QString depthName(int depth)
{
    switch (depth) {
    case CV_8U: return QStringLiteral("8-bit unsigned");
    case CV_8S: return QStringLiteral("8-bit signed");
    case CV_16U: return QStringLiteral("16-bit unsigned");
    case CV_16S: return QStringLiteral("16-bit signed");
    case CV_32S: return QStringLiteral("32-bit integer");
    case CV_32F: return QStringLiteral("32-bit float");
    case CV_64F: return QStringLiteral("64-bit float");
    case CV_16F: return QStringLiteral("16-bit float");
    }
    return QStringLiteral("depth %1").arg(depth);
}

// Factor that brings a sample of this depth to the 8-bit scale: a 16-bit
// photograph is matched like its 8-bit rendering, floats run from 0 to 1.
double eightBitFactor(int depth)
{
    switch (depth) {
    case CV_8U: return 1.0;
    case CV_16U: return 1.0 / 257.0;
    case CV_32F:
    case CV_64F: return 255.0;
    }
    throw EngineError(exitStatus::dataError,
                      QStringLiteral("image samples are %1; expected 8- or 16-bit unsigned or float samples")
                          .arg(depthName(depth)));
}

// The colour conversions take 8-bit, 16-bit and single-precision samples only.
cv::UMat convertibleDepth(const cv::UMat &image)
{
    if (image.depth() != CV_64F)
        return image;
    cv::UMat single;
    image.convertTo(single, CV_32F);
    return single;
}

cv::UMat greyPlaneAsBgr(const cv::UMat &image)
{
    cv::UMat grey;
    cv::extractChannel(image, grey, 0);
    cv::UMat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

int alphaPlaneIndex(int channels)
{
    if (channels == 4)
        return 3;
    if (channels == 2)
        return 1;
    throw EngineError(exitStatus::software,
                      QStringLiteral("the decoded target has %1 channels and no alpha plane to put back")
                          .arg(channels));
}

cv::UMat toEightBitSamples(const cv::UMat &image)
{
    cv::UMat eightBit;
    image.convertTo(eightBit, CV_8U, eightBitFactor(image.depth()), 0.0);
    return eightBit;
}

} // namespace

void refuseImage(const char *which, const ImageProblem &problem)
{
    if (!problem.text.empty())
        throw EngineError(exitStatus::dataError,
                          QLatin1String(which) + QStringLiteral(" image ") + QString::fromStdString(problemClause(problem)));
}

ImageHeader checkEncodedImage(const QByteArray &bytes, const char *which)
{
    const ImageProbe probe = probeImage(reinterpret_cast<const uchar *>(bytes.constData()), bytes.size(),
                                        JpegHeader::leftToDecoder);
    refuseImage(which, probe.problem);
    if (probe.header.format != ImageFormat::jpeg) // read and checked as it is decoded
        refuseImage(which, sizeProblem(probe.header));
    return probe.header;
}

cv::UMat decodeImageBytes(const QByteArray &bytes, const char *which)
{
    const QString name = QLatin1String(which);
    if (bytes.isEmpty())
        throw EngineError(exitStatus::dataError, QStringLiteral("%1 image is empty (0 bytes)").arg(name));

    const ImageHeader header = checkEncodedImage(bytes, which);
    const ImageFormat format = header.format;
    cv::Mat decoded;
    if (format == ImageFormat::jpeg) {
        decoded = decodeJpeg(bytes, which);
    } else if (format == ImageFormat::png) {
        decoded = decodePng(bytes, which);
    } else if (format == ImageFormat::netpbm && bytes.startsWith("P7")) {
        decoded = decodePam(bytes, which);
    } else if (format == ImageFormat::netpbm && (bytes.startsWith("Pf") || bytes.startsWith("PF"))) {
        decoded = decodePfm(bytes, which);
    } else {
        openCVCodecs().decode(reinterpret_cast<const uchar *>(bytes.constData()), size_t(bytes.size()), decoded);
    }
    if (decoded.empty())
        throw EngineError(exitStatus::dataError,
                          QStringLiteral("%1 image could not be decoded: %2 bytes of %3 whose header reads but "
                                         "whose image data the decoder refused")
                              .arg(name)
                              .arg(bytes.size())
                              .arg(QLatin1String(imageFormatName(format))));
    // The limits hold only if the decoder read the size the header reader did.
    if (format != ImageFormat::jpeg && (decoded.cols != header.width || decoded.rows != header.height))
        throw EngineError(exitStatus::software,
                          QStringLiteral("%1 image: its %2 decoder read %3 x %4 pixels where its header was read as "
                                         "%5 x %6")
                              .arg(name, QLatin1String(imageFormatName(format)))
                              .arg(decoded.cols)
                              .arg(decoded.rows)
                              .arg(header.width)
                              .arg(header.height));
    const int depth = decoded.depth();
    if (depth != CV_8U && depth != CV_16U && depth != CV_32F && depth != CV_64F)
        throw EngineError(exitStatus::dataError,
                          QStringLiteral("%1 image has %2 samples; expected 8- or 16-bit unsigned or float "
                                         "samples")
                              .arg(name, depthName(depth)));
    if (decoded.channels() < 1 || decoded.channels() > 4)
        throw EngineError(exitStatus::dataError,
                          QStringLiteral("%1 image has %2 channels; expected 1 to 4")
                              .arg(name)
                              .arg(decoded.channels()));
    if (depth == CV_32F || depth == CV_64F) {
        // Infinity and NaN have no colour; finite samples beyond 0..1 are as
        // bright or as dark as its ends (scaled unclamped, 1e30 would wrap to black).
        if (!cv::checkRange(decoded))
            throw EngineError(exitStatus::dataError,
                              QStringLiteral("%1 image has float samples that are not finite numbers (infinity or "
                                             "NaN); expected finite samples, 0 to 1 for black to white")
                                  .arg(name));
        cv::min(decoded, cv::Scalar::all(1.0), decoded);
        cv::max(decoded, cv::Scalar::all(0.0), decoded);
    }
    // The UMat holds a reference to the decoded pixels, which outlive this Mat header.
    return decoded.getUMat(cv::ACCESS_READ, cv::USAGE_DEFAULT);
}

cv::Mat visibilityPlane(const cv::UMat &decodedImage)
{
    const int channels = decodedImage.channels();
    if (channels != 2 && channels != 4)
        return cv::Mat();
    cv::Mat alpha;
    cv::extractChannel(decodedImage.getMat(cv::ACCESS_READ), alpha, channels - 1);
    if (alpha.depth() == CV_8U)
        return alpha;
    // Deeper alpha is visible from its smallest step up; a float alpha that is
    // not above 0 (NaN included) is hidden.
    cv::Mat visible;
    cv::compare(alpha, 0, visible, cv::CMP_GT);
    return visible;
}

cv::UMat colourPlanes(const cv::UMat &image)
{
    switch (image.channels()) {
    case 3:
        return image;
    case 4: {
        cv::UMat bgr;
        cv::cvtColor(convertibleDepth(image), bgr, cv::COLOR_BGRA2BGR);
        return bgr;
    }
    case 1: {
        cv::UMat bgr;
        cv::cvtColor(convertibleDepth(image), bgr, cv::COLOR_GRAY2BGR);
        return bgr;
    }
    case 2:
        return greyPlaneAsBgr(convertibleDepth(image));
    }
    throw EngineError(exitStatus::dataError,
                      QStringLiteral("image has %1 channels; expected 1 to 4").arg(image.channels()));
}

cv::Mat requantised(const cv::UMat &image)
{
    // The working scale and back, a band of rows at a time so that no full
    // float image exists.
    const double toWorkingScale = eightBitFactor(image.depth()) / 256.0;
    cv::Mat eightBit(image.size(), CV_8UC3);
    constexpr int bandRows = 256;
    for (int y = 0; y < image.rows; y += bandRows) {
        const cv::Range rows(y, std::min(image.rows, y + bandRows));
        cv::UMat working;
        image.rowRange(rows).convertTo(working, CV_32FC3, toWorkingScale, 0.0);
        working.convertTo(eightBit.rowRange(rows), CV_8UC3, 256.0, 0.0);
    }
    return eightBit;
}

void blendWithUnmatched(cv::UMat &result, const cv::UMat &unmatchedTarget, float strength)
{
    const cv::UMat unmatched = toEightBitSamples(unmatchedTarget);
    const float unmatchedWeight = 1.0f - strength;
    cv::UMat blended;
    cv::addWeighted(result, static_cast<double>(strength), unmatched, static_cast<double>(unmatchedWeight), 0.0,
                    blended, -1);
    result = blended;
}

cv::UMat restoreAlpha(const cv::UMat &result, const cv::UMat &decodedTarget)
{
    const int alphaIndex = alphaPlaneIndex(decodedTarget.channels());
    CV_Assert(result.type() == CV_8UC3 && result.size() == decodedTarget.size());
    // Planes go straight into the four-channel result, bands of rows in parallel.
    cv::Mat restored(result.size(), CV_8UC4);
    const auto copyPlanes = [&restored](const cv::Mat &source, const int *fromTo, size_t pairs) {
        cv::parallel_for_(cv::Range(0, source.rows), [&](const cv::Range &rows) {
            const cv::Mat from = source.rowRange(rows);
            cv::Mat to = restored.rowRange(rows);
            cv::mixChannels(&from, 1, &to, 1, fromTo, pairs);
        });
    };
    {
        const cv::Mat colours = result.getMat(cv::ACCESS_READ);
        const int colourPlanes[] = {0, 0, 1, 1, 2, 2};
        copyPlanes(colours, colourPlanes, 3);
    }
    reportProgress("080");
    if (decodedTarget.depth() == CV_8U) {
        const cv::Mat target = decodedTarget.getMat(cv::ACCESS_READ);
        const int alphaPlane[] = {alphaIndex, 3};
        copyPlanes(target, alphaPlane, 1);
    } else {
        cv::UMat alpha;
        cv::extractChannel(decodedTarget, alpha, alphaIndex);
        alpha = toEightBitSamples(alpha);
        const cv::Mat alpha8 = alpha.getMat(cv::ACCESS_READ);
        const int alphaPlane[] = {0, 3};
        copyPlanes(alpha8, alphaPlane, 1);
    }
    reportProgress("085");
    return restored.getUMat(cv::ACCESS_READ, cv::USAGE_DEFAULT);
}

cv::UMat toEightBitColour(const cv::UMat &decodedImage)
{
    const cv::UMat eightBit = toEightBitSamples(decodedImage);
    switch (eightBit.channels()) {
    case 3:
    case 4:
        return eightBit;
    case 1: {
        cv::UMat bgr;
        cv::cvtColor(eightBit, bgr, cv::COLOR_GRAY2BGR);
        return bgr;
    }
    case 2: {
        std::vector<cv::UMat> planes;
        cv::split(eightBit, planes);
        const std::vector<cv::UMat> bgra{planes[0], planes[0], planes[0], planes[1]};
        cv::UMat merged;
        cv::merge(bgra, merged);
        return merged;
    }
    }
    throw EngineError(exitStatus::dataError,
                      QStringLiteral("image has %1 channels; expected 1 to 4").arg(eightBit.channels()));
}
