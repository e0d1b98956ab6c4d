// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the readers colormatch runs over its inputs before any
// engine sees them. The first byte picks what the rest is:
//  even: an encoded image, read as a target is: its structure checked, its
//    metadata read with exiv2 (JPEG pieces one by one, the ICC chunks put
//    together by their numbers), its size and colour profile checked, then its
//    metadata written into a small JPEG and a small PNG, and, when it is small,
//    decoded and converted from its profile as a reference would be;
//  odd: a colour profile, checked as colormatch checks one, then used as lcms2
//    is used for matching: a small image converted from it and into it, and
//    shown in sRGB.
// UserError is the expected answer to bad input; a sanitizer report, any other
// exception, a crash, or an input that runs longer than libFuzzer's -timeout
// is a finding.
#include "colormatch/colour_management.h"
#include "colormatch/errors.h"
#include "colormatch/metadata.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdint>

namespace {

// Decoded and converted only when this small, so that each input runs quickly.
constexpr int largestPixelCount = 1 << 16;

QByteArray smallImage(const char *extension)
{
    cv::Mat image(4, 4, CV_8UC3);
    for (int i = 0; i < 48; ++i)
        image.data[i] = uchar(i * 5);
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

void useImage(const QByteArray &bytes)
{
    if (!encodedImageProblem(bytes).isEmpty())
        return;
    const ImageMetadata metadata = readImageMetadata(bytes);
    QStringList notKept, leftOut;
    withImageMetadata(smallImage(".jpg"), metadata, &notKept, &leftOut);
    withImageMetadata(smallImage(".png"), metadata, &notKept, &leftOut);
    if (!imageSizeProblem(metadata).isEmpty() || !colourProfileProblem(metadata.iccProfile).isEmpty()
        || qint64(metadata.storedSize.width) * metadata.storedSize.height > largestPixelCount)
        return;
    decodedImageProblem(bytes, metadata);
    if (!metadata.storedSize.empty())
        convertedForMatching(bytes, metadata, QByteArray(), QStringLiteral("image"));
}

void useProfile(const QByteArray &icc)
{
    if (!colourProfileProblem(icc).isEmpty())
        return;
    static const QByteArray png = smallImage(".png");
    ImageMetadata tagged;
    tagged.iccProfile = icc;
    tagged.storedSize = cv::Size(4, 4);
    convertedForMatching(png, tagged, QByteArray(), QStringLiteral("image"));
    convertedForMatching(png, ImageMetadata(), icc, QStringLiteral("image"));
    isRgbProfile(icc);
    decodeForViewing(png, tagged);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT), true);
    (void)quiet;
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    try {
        if (data[0] & 1)
            useProfile(bytes);
        else
            useImage(bytes);
    } catch (const UserError &) {
        // a refusal, in the user's terms
    }
    return 0;
}
