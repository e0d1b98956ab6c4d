// The output file: colormatch asks the engine for a lossless result and
// encodes it itself at the quality the user chose, then writes the target's
// metadata into it. Also how many engines a batch runs at once.
#include "colormatch/colormatch.h"
#include "png/png.h"

#include <QHash>
#include <QThread>
#include <QtEndian>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// 4:4:4 chroma from this quality up: people asking for that much want the
// colour edges too.
constexpr int fullChromaQuality = 90;
// An engine's peak memory: the decoded target, its working copies and the
// result, plus what every engine holds regardless of the image.
constexpr qint64 engineBytesPerPixel = 20;
constexpr qint64 engineBaseBytes = 120ll * 1024 * 1024;

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jumpOut(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->jump, 1);
}

// One JPEG of the given rows through libjpeg directly, for the chroma
// subsampling and the density that OpenCV's encoder does not let us choose.
// With `restartEveryRow` each row of blocks is a restart interval of its own.
QByteArray encodeJpegRows(const cv::Mat &image, int quality, double xDpi, double yDpi, bool restartEveryRow)
{
    jpeg_compress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpOut;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return QByteArray();
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(image.cols);
    info.image_height = JDIMENSION(image.rows);
    info.input_components = image.channels();
    info.in_color_space = image.channels() == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (quality >= fullChromaQuality)
        info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 1;
    info.restart_in_rows = restartEveryRow ? 1 : 0;
    if (xDpi > 0 && yDpi > 0) {
        info.density_unit = 1;
        info.X_density = UINT16(std::clamp(std::lround(xDpi), 1l, 65535l));
        info.Y_density = UINT16(std::clamp(std::lround(yDpi), 1l, 65535l));
    }
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.ptr<uchar>(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char *>(buffer), int(size));
    std::free(buffer);
    return bytes;
}

// Where the entropy-coded data of a JPEG starts: after its start-of-scan segment.
int scanDataStart(const QByteArray &jpeg)
{
    for (int at = 2; at + 4 <= jpeg.size();) {
        const int length = qFromBigEndian<quint16>(jpeg.constData() + at + 2);
        if (uchar(jpeg[at + 1]) == 0xDA)
            return at + 2 + length;
        at += 2 + length;
    }
    return -1;
}

// Encoding is the longest step colormatch adds to a match, and libjpeg uses
// one core. So stripes of whole groups of 8 block rows are encoded at once,
// every block row a restart interval, and joined into one scan: restart
// intervals are independent, and a stripe's markers RST0..RST7 continue the
// count of the one before when a stripe holds a multiple of 8 of them.
QByteArray encodeJpeg(const cv::Mat &image, int quality, double xDpi, double yDpi)
{
    const int blockRows = quality >= fullChromaQuality ? 8 : 16;
    const int stripeUnit = 8 * blockRows;
    const int stripes = std::min(cv::getNumThreads(), image.rows / stripeUnit);
    if (stripes <= 1)
        return encodeJpegRows(image, quality, xDpi, yDpi, false);
    const int stripeRows = (image.rows / stripes + stripeUnit - 1) / stripeUnit * stripeUnit;
    std::vector<QByteArray> parts(size_t((image.rows + stripeRows - 1) / stripeRows));
    cv::parallel_for_(cv::Range(0, int(parts.size())), [&](const cv::Range &range) {
        for (int i = range.start; i < range.end; ++i) {
            const cv::Mat rows = image.rowRange(i * stripeRows, std::min(image.rows, (i + 1) * stripeRows));
            parts[size_t(i)] = encodeJpegRows(rows, quality, xDpi, yDpi, true);
        }
    });
    QByteArray joined = parts[0];
    const int frame = joined.indexOf("\xFF\xC0");
    if (frame < 0)
        return QByteArray();
    qToBigEndian<quint16>(quint16(image.rows), joined.data() + frame + 5);
    joined.chop(2); // its end-of-image marker
    for (size_t i = 1; i < parts.size(); ++i) {
        const int start = scanDataStart(parts[i]);
        if (parts[i].isEmpty() || start < 0)
            return QByteArray();
        joined.append('\xFF').append(char(0xD7)); // the 8th restart marker ends the stripe before
        joined.append(parts[i].constData() + start, parts[i].size() - start - 2);
    }
    return joined.append("\xFF\xD9");
}

// The engine's PAM result seen in place: OpenCV writes the B, G, R[, A]
// samples of the result after a short text header, so they need neither
// decoding nor a copy (72 MB for 24 MP). Anything else goes to the decoder.
cv::Mat resultPixels(const QByteArray &result)
{
    const int headerEnd = result.indexOf("ENDHDR\n");
    if (result.startsWith("P7\n") && headerEnd > 0 && headerEnd < 256) {
        QHash<QByteArray, int> fields;
        for (const QByteArray &line : result.left(headerEnd).split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() == 2)
                fields.insert(words[0], words[1].toInt());
        }
        const int width = fields.value("WIDTH"), height = fields.value("HEIGHT"), depth = fields.value("DEPTH");
        const qint64 offset = headerEnd + 7;
        if (fields.value("MAXVAL") == 255 && (depth == 3 || depth == 4) && width > 0 && height > 0 &&
            offset + qint64(width) * height * depth == result.size())
            return cv::Mat(height, width, CV_8UC(depth), const_cast<char *>(result.constData() + offset));
    }
    return cv::imdecode(cv::Mat(1, result.size(), CV_8U, const_cast<char *>(result.constData())),
                        cv::IMREAD_UNCHANGED);
}

} // namespace

QString engineTransferFormat()
{
    // Uncompressed: the engine's encoding and colormatch's decoding cost next to
    // nothing, and alpha survives.
    return QStringLiteral("pam");
}

QByteArray encodeOutput(const QByteArray &engineResult, const QString &format, const OutputQuality &quality,
                        const ImageMetadata &metadata)
{
    cv::Mat image = resultPixels(engineResult);
    if (image.empty())
        return QByteArray();
    // The engine matches at 8 bits per channel; more would only pretend.
    if (image.depth() != CV_8U)
        image.convertTo(image, CV_8U, image.depth() == CV_16U ? 1.0 / 257.0 : 255.0);
    QByteArray encoded;
    if (format == QLatin1String("jpg")) {
        if (image.channels() < 3)
            cv::cvtColor(image, image, image.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_GRAY2BGRA);
        encoded = encodeJpeg(image, quality.jpegQuality, metadata.xDpi, metadata.yDpi);
    } else if (format == QLatin1String("png")) {
        const std::vector<uchar> bytes = encodePng(image, 0, quality.pngLevel);
        encoded = QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    } else {
        std::vector<int> parameters;
        if (format == QLatin1String("webp"))
            // OpenCV's WebP encoder is lossless above quality 100.
            parameters = {cv::IMWRITE_WEBP_QUALITY, quality.lossless ? 101 : quality.jpegQuality};
        else if ((format == QLatin1String("tif") || format == QLatin1String("tiff")) && metadata.xDpi > 0)
            // exiv2 leaves a TIFF's own image tags alone, resolution among them.
            parameters = {cv::IMWRITE_TIFF_RESUNIT, 2, cv::IMWRITE_TIFF_XDPI, int(std::lround(metadata.xDpi)),
                          cv::IMWRITE_TIFF_YDPI, int(std::lround(metadata.yDpi))};
        std::vector<uchar> bytes;
        if (cv::imencode(("." + format).toStdString(), image, bytes, parameters))
            encoded = QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    }
    return encoded;
}

int defaultEngineCount(qint64 largestPixelCount)
{
    const int cpus = std::max(1, QThread::idealThreadCount());
    const qint64 freeBytes = freeMemoryBytes();
    if (freeBytes <= 0)
        return cpus;
    const qint64 perEngine = engineBaseBytes + engineBytesPerPixel * std::max<qint64>(largestPixelCount, 0);
    return int(std::clamp<qint64>(freeBytes / 2 / perEngine, 1, cpus));
}
