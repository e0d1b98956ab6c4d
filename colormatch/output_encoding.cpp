// SPDX-License-Identifier: GPL-3.0-or-later
// The output file: colormatch asks the engine for a lossless result and
// encodes it itself at the quality the user chose, then writes the target's
// metadata into it. Also how many engines a batch runs at once.
#include "colormatch/output_encoding.h"
#include "colormatch/colour_management.h"
#include "colormatch/platform.h"
#include "encoders/encoders.h"
#include "host/host.h"

#include <QSysInfo>
#include <QThread>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

// 4:4:4 chroma from this quality up: people asking for that much want the
// colour edges too.
constexpr int fullChromaQuality = 90;
// An engine's peak memory: the decoded target, its working copies and the
// result, plus what every engine holds regardless of the image.
constexpr qint64 engineBytesPerPixel = 20;
constexpr qint64 engineBaseBytes = 120ll * 1024 * 1024;
// colormatch's own share (measured: 69 MiB with small images, 250 to 340 MiB
// finishing a 24 MP PNG, JPEG or TIFF alone, up to 792 MiB in a soak run's
// batch of 24 MP images in every format): its libraries, the one result it
// finishes at a time (read, decoded, converted, encoded), and the input it
// writes into each running engine.
constexpr qint64 colormatchBaseBytes = 80ll * 1024 * 1024;
constexpr qint64 colormatchBytesPerPixel = 36;
constexpr qint64 inputBytesPerPixel = 4;

} // namespace

// A PAM's R, G, B[, A] samples follow a short text header, so one colour
// conversion gives OpenCV's B, G, R[, A] without decoding (OpenCV's PAM
// decoder reads tuple types only in part).
cv::Mat resultPixels(const QByteArray &result)
{
    HostPam pam;
    if (hostParsePam(result.constData(), size_t(result.size()), &pam) && (pam.maxval == 255 || pam.maxval == 65535) &&
        (pam.depth == 3 || pam.depth == 4)) {
        const bool deep = pam.maxval == 65535;
        const cv::Mat samples(pam.height, pam.width, deep ? CV_16UC(pam.depth) : CV_8UC(pam.depth),
                              const_cast<char *>(result.constData() + pam.headerSize));
        cv::Mat image;
        cv::cvtColor(samples, image, pam.depth == 4 ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
        if (deep && QSysInfo::ByteOrder == QSysInfo::LittleEndian) // PAM's 16-bit samples are big-endian
            image.reshape(1).forEach<ushort>([](ushort &sample, const int *) { sample = ushort(sample << 8 | sample >> 8); });
        return image;
    }
    return cv::imdecode(cv::Mat(1, result.size(), CV_8U, const_cast<char *>(result.constData())),
                        cv::IMREAD_UNCHANGED);
}

bool formatHoldsSixteenBits(const QString &format)
{
    for (const char *holding : {"png", "tif", "tiff", "pam"})
        if (format == QLatin1String(holding))
            return true;
    return false;
}

QString engineTransferFormat()
{
    // Uncompressed: the engine's encoding and colormatch's decoding cost next to
    // nothing, and alpha survives.
    return QStringLiteral("pam");
}

QByteArray encodeOutput(const QByteArray &engineResult, const QString &format, const OutputQuality &quality,
                        ImageMetadata &metadata, QStringList *lost)
{
    return encodeOutput(resultPixels(engineResult), format, quality, metadata, lost);
}

QByteArray encodeOutput(cv::Mat image, const QString &format, const OutputQuality &quality, ImageMetadata &metadata,
                        QStringList *lost)
{
    if (image.empty())
        return QByteArray();
    // A deep result keeps its 16 bits where the format holds them; 8 bits
    // otherwise, and more than the engine computed would only pretend.
    if (image.depth() != CV_8U && !(image.depth() == CV_16U && formatHoldsSixteenBits(format)))
        image.convertTo(image, CV_8U, image.depth() == CV_16U ? 1.0 / 257.0 : 255.0);
    // Without its profile a viewer takes the pixels for sRGB: make them so.
    if (!metadata.iccProfile.isEmpty() && !formatHoldsColourProfile(format)) {
        image = convertedToSrgb(image, metadata.iccProfile);
        *lost << QStringLiteral("colour profile (its colours converted from %1 to sRGB)")
                     .arg(colourSpaceName(metadata.iccProfile));
        metadata.iccProfile.clear();
    }
    if (image.channels() == 4 && format == QLatin1String("jpg"))
        *lost << QStringLiteral("alpha");
    std::vector<uchar> bytes;
    try {
        if (format == QLatin1String("jpg")) {
            if (image.channels() < 3)
                cv::cvtColor(image, image, image.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_GRAY2BGRA);
            bytes = encodeJpeg(image, {quality.jpegQuality, quality.jpegQuality >= fullChromaQuality, metadata.xDpi,
                                       metadata.yDpi});
        } else if (format == QLatin1String("png")) {
            bytes = encodePng(image, 0, quality.pngLevel);
        } else {
            std::vector<int> parameters;
            if (format == QLatin1String("webp"))
                // OpenCV's WebP encoder is lossless above quality 100.
                parameters = {cv::IMWRITE_WEBP_QUALITY, quality.lossless ? 101 : quality.jpegQuality};
            else if ((format == QLatin1String("tif") || format == QLatin1String("tiff")) && metadata.xDpi > 0)
                // exiv2 leaves a TIFF's own image tags alone, resolution among them.
                parameters = {cv::IMWRITE_TIFF_RESUNIT, 2, cv::IMWRITE_TIFF_XDPI, int(std::lround(metadata.xDpi)),
                              cv::IMWRITE_TIFF_YDPI, int(std::lround(metadata.yDpi))};
            if (!cv::imencode(("." + format).toStdString(), image, bytes, parameters))
                bytes.clear();
        }
    } catch (const cv::Exception &) {
        bytes.clear(); // the caller says which result could not be encoded
    }
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

int defaultEngineCount(qint64 largestPixelCount)
{
    const int cpus = std::max(1, QThread::idealThreadCount());
    const qint64 freeBytes = freeMemoryBytes();
    if (freeBytes <= 0)
        return cpus;
    const qint64 pixels = std::max<qint64>(largestPixelCount, 0);
    const qint64 perEngine = engineBaseBytes + (engineBytesPerPixel + inputBytesPerPixel) * pixels;
    const qint64 ownShare = colormatchBaseBytes + colormatchBytesPerPixel * pixels;
    return int(std::clamp<qint64>((freeBytes / 2 - ownShare) / perEngine, 1, cpus));
}
