// SPDX-License-Identifier: GPL-3.0-or-later
// The byte-level conversation with the host: the standard streams made ready
// for it, the framed request on standard input, the result on standard output
// or in a result file, and the size file.
#include "engine/engine.h"
#include "matching/matching.h"

#include "encoders/encoders.h"

#include <QDataStream>
#include <QTextCodec>

#include <opencv2/core/utils/logger.hpp>

#include <cstdio>
#include <iostream>
#include <limits>

namespace {

// The quality of a JPEG result, as hosts have always had it.
constexpr int resultJpegQuality = 99;

} // namespace

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
}

void prepareStandardStreams()
{
    setBinaryStandardStreams();
    ignoreBrokenPipe();
    // Standard error is the host's protocol channel: codec warnings (libpng's
    // "known incorrect sRGB profile"), OpenCV's log and OpenCL chatter must not
    // appear there between the engine's own lines.
    useProtocolChannel(detachProtocolChannel());
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // Every progress line must reach the host at once.
    std::setbuf(stdout, nullptr);
    std::setbuf(protocolChannel(), nullptr);
    std::setbuf(stderr, nullptr);
}

QByteArray readRequest()
{
    // A request carries whole photographs, tens of megabytes: large reads
    // straight into the array, which grows geometrically.
    constexpr int chunk = 1 << 20;
    QByteArray request;
    int size = 0;
    for (;;) {
        if (size > std::numeric_limits<int>::max() - chunk)
            throw EngineError(exitStatus::dataError,
                              QStringLiteral("the request on standard input is larger than the %1 bytes a request "
                                             "can hold")
                                  .arg(std::numeric_limits<int>::max() - chunk));
        if (request.size() - size < chunk)
            request.resize(size + chunk);
        std::cin.read(request.data() + size, chunk);
        size += static_cast<int>(std::cin.gcount());
        if (!std::cin)
            break;
    }
    request.resize(size);
    if (std::cin.bad())
        throw EngineError(exitStatus::ioError, QStringLiteral("reading the request from standard input failed"));
    return request;
}

// Request layout, all integers signed 32-bit big-endian:
//   [ignored int][TL][TL bytes: target][RL][RL bytes: reference][ignored tail]
// A missing length field reads as 0 (an empty image); a length that is negative
// or runs past the end of the request is refused without reading past it.
SplitRequest splitRequest(const QByteArray &request)
{
    QDataStream stream(request);
    qint32 ignored = 0;
    stream >> ignored;

    auto readImage = [&](const char *which) {
        qint32 length = 0;
        stream >> length;
        if (length < 0)
            throw EngineError(exitStatus::dataError,
                              QStringLiteral("%1 length %2 is negative").arg(QLatin1String(which)).arg(length));
        const qint64 remaining = stream.device() ? stream.device()->bytesAvailable() : 0;
        if (length > remaining)
            throw EngineError(exitStatus::dataError, QStringLiteral("%1 length %2 exceeds the %3 bytes received")
                                                         .arg(QLatin1String(which))
                                                         .arg(length)
                                                         .arg(remaining));
        // A view into the request, which the split keeps alive: copying a
        // photograph's bytes costs a pass over them and their size again.
        const qint64 offset = stream.device()->pos();
        stream.skipRawData(length);
        return QByteArray::fromRawData(request.constData() + offset, length);
    };

    SplitRequest split;
    split.request = request;
    split.targetBytes = readImage("target");
    split.referenceBytes = readImage("reference");
    return split;
}

QString decodePathArgument(const QString &text)
{
    QByteArray bytes = QByteArray::fromBase64(text.toLatin1());
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    // Some hosts encode paths in Latin-1; bytes that are no UTF-8 are read so,
    // never as replacement characters that name another file.
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString utf8 = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 ? utf8 : QString::fromLatin1(bytes);
}

void writeSizeFile(const QString &sizeFilePath, int width, int height)
{
    const QString path = decodePathArgument(sizeFilePath);
    const QByteArray text = (QString::number(width) + QLatin1Char('x') + QString::number(height)).toUtf8();
    // A size file that cannot be written is not worth failing the request for.
    saveFileAtomically(path, text, false, nullptr);
}

std::vector<uchar> encodeResult(const cv::UMat &image, const QString &resultFormat)
{
    // PNG, JPEG and PAM go to the project's own writers (PNG and JPEG
    // parallel; PNG smaller; JPEG at OpenCV's 4:2:0 chroma; PAM byte for byte
    // OpenCV's): every result is 8-bit colour, a target returned after a CRASH
    // line included, except a deep one of 16 bits for PNG, PAM and TIFF.
    const QString extension = QLatin1Char('.') + resultFormat;
    std::vector<uchar> bytes;
    QString reason = QStringLiteral("the encoder refused the image");
    if (image.empty()) {
        reason = QStringLiteral("the result image is empty");
    } else {
        try {
            if (resultFormat == QLatin1String("png"))
                bytes = encodePng(image.getMat(cv::ACCESS_READ));
            else if (resultFormat == QLatin1String("jpg"))
                bytes = encodeJpeg(image.getMat(cv::ACCESS_READ), JpegOptions{resultJpegQuality});
            else if (resultFormat == QLatin1String("pam"))
                bytes = encodePam(image.getMat(cv::ACCESS_READ));
            else if (std::string why; !openCVCodecs().encode(extension.toStdString(), image.getMat(cv::ACCESS_READ),
                                                               bytes, why))
                reason = QString::fromStdString(why);
        } catch (const cv::Exception &e) {
            reason = QString::fromStdString(e.err);
            bytes.clear();
        }
    }
    if (bytes.empty())
        throw EngineError(exitStatus::software, QStringLiteral("could not encode the %1x%2 result as %3: %4")
                                                    .arg(image.cols)
                                                    .arg(image.rows)
                                                    .arg(extension, reason));
    return bytes;
}

void deliverResult(const std::vector<uchar> &bytes, const QString &resultFilePath, bool lutExport)
{
    if (resultFilePath.isEmpty()) {
        const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        const bool flushed = std::fflush(stdout) == 0;
        if (written != bytes.size() || !flushed)
            throw EngineError(exitStatus::ioError,
                              QStringLiteral("could not write the result to standard output (%1 of %2 bytes written)")
                                  .arg(written)
                                  .arg(bytes.size()));
        return;
    }

    // Decoded like every other path, so that a name with non-ASCII letters
    // names the file the host asked for.
    const QString filePath = decodePathArgument(resultFilePath);
    const QByteArray content = lutExport
        ? QByteArray("0")
        : QByteArray::fromRawData(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
    QString reason;
    const bool saved = saveFileAtomically(filePath, content, false, &reason);
    std::fflush(stdout);
    if (!saved)
        throw EngineError(exitStatus::cannotCreate,
                          QStringLiteral("cannot write result file %1: %2").arg(filePath, reason));
}
