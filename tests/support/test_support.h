// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the tests: sample images, framed requests, and running the
// real engine binary as a host would.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

namespace testing_support {

QString samplePath(const QString &name);          // a bundled sample photograph
QByteArray readFileBytes(const QString &path);
cv::Mat decodeBytes(const QByteArray &bytes, int flags = -1);
// The image encoded by OpenCV, PNG unless another extension is given.
QByteArray encoded(const cv::Mat &image, const char *extension = ".png", const std::vector<int> &parameters = {});
// The image with an alpha plane of a diagonal gradient.
cv::Mat withAlphaGradient(const cv::Mat &bgr);

// libjpeg's JPEG of 8-bit B, G, R or (4 channels) C, M, Y, K samples; with
// manyScans progressive in 190 scans (the DC, then each AC coefficient alone).
QByteArray libjpegEncoded(const cv::Mat &image, bool manyScans = false);
// The PNG with `count` text chunks of `type` (tEXt, zTXt or iTXt; the last
// two compressed) after its header chunk, each text `textBytes` long.
QByteArray withTextChunks(const QByteArray &png, const QByteArray &type, int count, int textBytes);

// The bytes of an unsigned number, most significant first unless littleEndian.
QByteArray bytesOf(quint64 value, int size, bool littleEndian = false);
// A PNG, or a JPEG (its frame header `frameMarker`), that declares another size.
QByteArray pngClaiming(const QByteArray &png, quint32 width, quint32 height);
QByteArray jpegClaiming(const QByteArray &jpeg, quint32 width, quint32 height, const char *frameMarker = "\xFF\xC0");
// A little-endian TIFF or BigTIFF whose one directory holds these tags (LONG
// or LONG8 values), followed by a little filler instead of pixel data.
QByteArray tiffWith(bool big, const QList<QPair<quint16, quint64>> &tags);

// [first int][TL][target][RL][reference][trailing], big-endian. Written here,
// apart from the host library, on purpose: it frames malformed requests too,
// and serves as the independent oracle for the library's own frames.
QByteArray frameRequest(const QByteArray &target, const QByteArray &reference, qint32 first = 0,
                        const QByteArray &trailing = QByteArray());

QString base64Path(const QString &path);

// The host's positions after the program path (the first always "host"), with
// its usual defaults: "1" at position 2, no files, OpenCL on, lightness kept.
struct HostArguments {
    QString options = QStringLiteral("1"); // position 2, where request options go
    QString position3 = QStringLiteral("run");
    QString resultFile = QStringLiteral("none");
    QString lutBase = QStringLiteral("none");
    QString openCL = QStringLiteral("on");
    QString lightness = QStringLiteral("off");
    QString lutSize = QStringLiteral("16");
    QString format = QStringLiteral("png");
    QString strength = QStringLiteral("1");
    QString sizeFile = QStringLiteral("none");
    QStringList list() const;
};

struct EngineRun {
    int exitCode = -1;
    bool crashed = false;  // ended by a signal
    QByteArray out;
    QByteArray err;
    long peakMemoryKiB = -1;  // the engine's peak resident size
    QStringList errLines() const;  // standard error split at line feeds
};

// Where Windows differs for a host: text lines end in CR LF, and position 4
// (the result file) is not read, the result always comes on standard output.
#ifdef _WIN32
inline constexpr bool resultFileHonoured = false;
#else
inline constexpr bool resultFileHonoured = true;
#endif
// Wine runs the Windows tests here; it does not enforce a Job object's memory limit.
bool runningUnderWine();
// Text the engine wrote (standard error, the cube) with LF line ends; on
// Windows every line must have ended in CR LF, else the test fails.
QByteArray fromPlatformLines(QByteArray text);

// Runs the engine through fork, exec and wait4, or CreateProcess in a Job
// object, for the peak memory of its process alone; addressSpaceKiB > 0 caps
// its address space (committed memory on Windows) to make an allocation fail.
EngineRun runEngine(const QStringList &arguments, const QByteArray &input,
                    const QStringList &extraEnvironment = QStringList(), long addressSpaceKiB = 0);
// The same for any program, in workingDirectory unless empty; the peak memory
// is that of the program or of a child it waited for, whichever is larger.
EngineRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input,
                     const QStringList &extraEnvironment = QStringList(), long addressSpaceKiB = 0,
                     const QString &workingDirectory = QString());

} // namespace testing_support
