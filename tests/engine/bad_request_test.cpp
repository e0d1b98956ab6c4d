// SPDX-License-Identifier: GPL-3.0-or-later
// Bad requests through the real binary, one table: every one must end with
// its documented exit status and a clear line, never a signal, never a foreign
// line on standard error, never half a file.
#include "engine/engine.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testing_support;

namespace {

cv::Mat smallPhoto(const char *name, int width, int height)
{
    cv::Mat photo = decodeBytes(readFileBytes(samplePath(QString::fromLatin1(name))));
    cv::Mat small;
    cv::resize(photo, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    return small;
}

QByteArray bigEndianInt(qint32 value)
{
    return bytesOf(quint32(value), 4);
}

// The same JPEG with one byte between its first two segments.
QByteArray withStrayByte(const QByteArray &jpeg)
{
    const int afterFirstSegment = 4 + ((uchar(jpeg[4]) << 8) | uchar(jpeg[5]));
    return jpeg.left(afterFirstSegment) + 'x' + jpeg.mid(afterFirstSegment);
}

struct BadRequest {
    const char *name;
    int status;
    QString errorPart;  // what the error line must say; empty when the request succeeds
    std::function<QByteArray()> request;
    std::function<void(HostArguments &)> arguments = [](HostArguments &) {};
    std::function<void(const EngineRun &)> check = {}; // more to expect of the run
};

// A grey PFM of one row of float samples (little-endian, as a negative scale says).
QByteArray pfmRow(const std::vector<float> &samples)
{
    QByteArray pfm = "Pf\n" + QByteArray::number(int(samples.size())) + " 1\n-1.0\n";
    return pfm.append(reinterpret_cast<const char *>(samples.data()), int(samples.size() * sizeof(float)));
}

} // namespace

TEST(BadRequests, EachEndsCleanlyWithItsStatus)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto path = [&](const QString &name) { return dir.filePath(name); };
    const cv::Mat target = smallPhoto("coffee.png", 96, 64);
    const cv::Mat referenceImage = smallPhoto("rocket.jpg", 80, 60);
    const QByteArray png = encoded(target, ".png");
    const QByteArray jpg = encoded(target, ".jpg");
    const QByteArray reference = encoded(referenceImage, ".jpg");
    const QByteArray webp = encoded(target, ".webp");
    const QByteArray tif = encoded(target, ".tif");
    const QByteArray bmp = encoded(target, ".bmp");

    cv::Mat sixteen, floating;
    target.convertTo(sixteen, CV_16U, 257.0);
    target.convertTo(floating, CV_32F, 1.0 / 255.0);

    auto frame = [](QByteArray t, QByteArray r) { return [t, r] { return frameRequest(t, r); }; };
    const auto asTarget = [&](const QByteArray &t) { return frame(t, reference); };
    const auto set = [](QString HostArguments::*field, const QString &value) {
        return [=](HostArguments &a) { a.*field = value; };
    };
    const auto setPath = [&](QString HostArguments::*field, const QString &name) {
        return set(field, base64Path(path(name)));
    };
    const QByteArray withTarget = bigEndianInt(0) + bigEndianInt(png.size()) + png; // a request up to the reference
    const QString nonAscii = QStringLiteral("Ergebnis mit Lücke – ñ");
    QDir(dir.path()).mkdir(nonAscii);

    const QList<BadRequest> table = {
        {"three bytes", 65, "target image is empty", [] { return QByteArray("\0\0\1", 3); }},
        {"header without reference length", 65, "reference image is empty", [=] { return withTarget; }},
        {"negative target length", 65, "target length -5 is negative",
         [=] { return bigEndianInt(0) + bigEndianInt(-5) + png; }},
        {"smallest target length", 65, "target length -2147483648",
         [=] { return bigEndianInt(0) + bigEndianInt(-2147483647 - 1) + png; }},
        {"oversized target length", 65, "exceeds the",
         [=] { return bigEndianInt(0) + bigEndianInt(png.size() + 100) + png; }},
        {"negative reference length", 65, "reference length -1 is negative",
         [=] { return withTarget + bigEndianInt(-1) + reference; }},
        {"oversized reference length", 65, "reference length",
         [=] { return withTarget + bigEndianInt(reference.size() + 1) + reference; }},
        {"zero-length target", 65, "target image is empty", asTarget(QByteArray())},
        {"zero-length reference", 65, "reference image is empty", frame(png, QByteArray())},
        {"garbage target", 65, "target image could not be decoded", asTarget(QByteArray(5000, '\x5A'))},
        {"garbage reference", 65, "reference image could not be decoded", frame(png, QByteArray(777, '\x01'))},
        {"PNG signature only", 65, "target image is a truncated PNG", asTarget(png.left(8))},
        {"PNG without its end chunk", 65, "target image is a truncated PNG", asTarget(png.left(png.size() - 12))},
        {"JPEG without end marker", 65, "target image is a truncated JPEG", asTarget(jpg.left(jpg.size() - 2))},
        {"WebP cut short", 65, "target image is a truncated WebP", asTarget(webp.left(webp.size() - 40))},
        {"TIFF cut short", 65, "target image", asTarget(tif.left(tif.size() / 2))},
        {"BMP cut short", 65, "target image", asTarget(bmp.left(bmp.size() / 2))},
        {"PNG just over the limit", 65, "target image declares 16385 x 16384 pixels, more than the limit of 268435456",
         asTarget(pngClaiming(png, 16385, 16384))},
        {"JPEG bomb", 65, "target image declares 40000 x 40000 pixels", asTarget(jpegClaiming(jpg, 40000, 40000))},
        {"progressive JPEG bomb under the pixel limit", 65, "for which libjpeg holds",
         asTarget(jpegClaiming(encoded(target, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}), 16000, 16000, "\xFF\xC2"))},
        {"JPEG bomb behind a stray byte", 65, "target image is not a readable JPEG file",
         asTarget(withStrayByte(jpegClaiming(jpg, 30000, 30000)))},
        {"JPEG without end marker behind a stray byte", 65, "extraneous bytes",
         asTarget(withStrayByte(jpg.left(jpg.size() - 2)))},
        {"JPEG cut in half with an end marker", 65, "target image is a truncated JPEG",
         asTarget(jpg.left(jpg.size() / 2) + "\xFF\xD9")},
        {"BigTIFF bomb", 65, "target image declares 100000 x 100000",
         asTarget(tiffWith(true, {{256, 100000}, {257, 100000}, {273, 8}, {279, 1}}))},
        {"TIFF with its size given twice", 65, "target image",
         asTarget(tiffWith(false, {{256, 16}, {256, 60000}, {257, 16}, {257, 60000}, {273, 8}, {279, 1}}))},
        {"1x1 TIFF with huge tiles", 65, "in tiles or strips of 267911424 pixels",
         asTarget(tiffWith(false, {{256, 1}, {257, 1}, {322, 16368}, {323, 16368}, {324, 8}, {325, 1}}))},
        {"TIFF over the decoders' height", 65, "declares 1 x 2000000 pixels, more than the 1048576",
         asTarget(tiffWith(false, {{256, 1}, {257, 2000000}, {273, 8}, {279, 1}}))},
        {"BMP bomb", 65, "declares 100000 x 30000",
         asTarget(bmp.left(18) + bytesOf(100000, 4, true) + bytesOf(quint32(-30000), 4, true) + bmp.mid(26))},
        {"PNM with form feeds", 65, "declares 40000 x 40000", asTarget("P6\f40000\v40000\f255\n" + png)},
        {"PNM with a comment ended by CR", 65, "declares 40000 x 40000", asTarget("P5 #c\r40000 40000 255\n" + png)},
        {"PAM bomb", 65, "declares 40000 x 30000",
         asTarget("P7\nWIDTH 40000\nHEIGHT 30000\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" + png)},
        {"PFM bomb", 65, "declares 40000 x 40000", asTarget("PF\n40000 40000\n-1.0\n" + png)},
        {"DICOM target", 65, "target image is in a format the engine does not accept (DICOM)",
         asTarget(QByteArray(128, '\0') + "DICM" + png)},
        {"PNG with the DICOM signature as reference", 65, "reference image is in a format the engine does not accept (DICOM)",
         frame(png, png.left(128) + "DICM" + png.mid(132))},
        {"OpenEXR target", 65, "does not accept (OpenEXR)", asTarget("\x76\x2F\x31\x01" + png)},
        {"Radiance HDR target", 65, "does not accept (Radiance HDR)",
         asTarget("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 40000 +X 40000\n" + png)},
        {"JPEG 2000 target", 65, "does not accept (JPEG 2000)", asTarget("\xFF\x4F\xFF\x51" + png)},
        {"Sun raster target", 65, "does not accept (Sun raster)", asTarget("\x59\xA6\x6A\x95" + png)},
        {"reference bomb", 65, "reference image declares", frame(png, pngClaiming(png, 30000, 30000))},
        {"PNG whose compressed text inflates past the limit", 65, "inflate to more than 16 MiB",
         asTarget(withTextChunks(withTextChunks(png, "zTXt", 2, 6 << 20), "iTXt", 1, 6 << 20))},
        {"PNG with too many ancillary chunks", 65, "more than 1000 ancillary chunks",
         asTarget(withTextChunks(png, "tEXt", 1001, 1))},
        {"PNG with some compressed text", 0, "", asTarget(withTextChunks(png, "zTXt", 2, 6 << 20))},
        {"JPEG in too many scans", 65, "JPEG file (", asTarget(libjpegEncoded(target, true))},
        {"float samples beyond white and black", 0, "", asTarget(pfmRow({1e7f, 1e30f, 2.0f, -1e30f, 0.5f})),
         set(&HostArguments::strength, "0"),
         [](const EngineRun &run) {
             const cv::Mat result = decodeBytes(run.out);
             ASSERT_EQ(result.size(), cv::Size(5, 1));
             for (int x = 0; x < 4; ++x)
                 EXPECT_EQ(result.at<cv::Vec3b>(0, x), cv::Vec3b::all(x < 3 ? 255 : 0)) << x;
         }},
        {"infinite float sample", 65, "target image has float samples that are not finite",
         asTarget(pfmRow({0.5f, std::numeric_limits<float>::infinity()}))},
        {"NaN float sample in the reference", 65, "reference image has float samples that are not finite",
         frame(png, pfmRow({std::nanf(""), 0.5f}))},
        {"float target", 0, "", asTarget(encoded(floating, ".tif"))},
        {"16-bit TIFF reference", 0, "", frame(png, encoded(sixteen, ".tif"))},
        {"1x1 reference", 0, "", frame(png, encoded(referenceImage(cv::Rect(0, 0, 1, 1)).clone(), ".png"))},
        {"trailing bytes", 0, "", [=] { return frameRequest(png, reference, 9, QByteArray(999, 'z')); }},
        {"NaN strength", 64, "strength \"nan\" is not a finite number",
         asTarget(png), set(&HostArguments::strength, "nan")},
        {"strength beyond float", 64, "strength \"-1e308\"", asTarget(png), set(&HostArguments::strength, "-1e308")},
        {"result file is a FIFO", 0, "", asTarget(png), setPath(&HostArguments::resultFile, "fifo")},
        {"result path in Latin-1", 0, "", asTarget(png),
         set(&HostArguments::resultFile, QString::fromLatin1(path(QStringLiteral("r\u00E9sultat latin.png")).toLatin1().toBase64()))},
        {"capability token in other letters", 65, "target image is empty",
         [] { return QByteArray(); }, set(&HostArguments::position3, "qx7plm")},
        {"both images bad: the target is named", 65, "target image could not be decoded",
         frame(QByteArray(5000, '\x5A'), QByteArray(777, '\x01'))},
        {"unknown format word", 64, "result format \"xyz\" has no image encoder",
         asTarget(png), set(&HostArguments::format, "xyz")},
        {"LUT size 1", 64, "LUT size \"1\"",
         asTarget(png), [&](HostArguments &a) { a.lutBase = base64Path(path("lut")); a.lutSize = "1"; }},
        {"LUT size 257", 64, "LUT size \"257\"",
         asTarget(png), [&](HostArguments &a) { a.lutBase = base64Path(path("lut")); a.lutSize = "257"; }},
        // Windows reads no result file: the result comes on standard output all the same.
        {"result file in a missing folder", resultFileHonoured ? 73 : 0, resultFileHonoured ? "cannot write result file" : "",
         asTarget(png), setPath(&HostArguments::resultFile, "missing/result.png")},
        {"LUT files in a missing folder", 73, "cannot write LUT file",
         asTarget(png), setPath(&HostArguments::lutBase, "missing/look")},
        {"size file in a missing folder", 0, "", asTarget(png), setPath(&HostArguments::sizeFile, "missing/size.txt")},
        {"paths with spaces and non-ASCII letters", 0, "", asTarget(png),
         [&](HostArguments &a) {
             a.resultFile = base64Path(path(nonAscii + "/résultat final.png"));
             a.sizeFile = base64Path(path(nonAscii + "/größe.txt"));
         }},
        {"LUT with spaces and non-ASCII letters", 0, "",
         asTarget(png), [&](HostArguments &a) { a.lutBase = base64Path(path(nonAscii + "/Blick Nr 1")); }},
    };

#ifndef _WIN32
    // A reader holds the FIFO open, so that the engine's write does not wait.
    const QByteArray fifo = path("fifo").toLocal8Bit();
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    const int fifoReader = open(fifo.constData(), O_RDONLY | O_NONBLOCK);
#endif
    // Temporary files of OpenCV's decoders land here, where they can be seen.
    QDir(dir.path()).mkdir(QStringLiteral("tmp"));
    const QStringList environment{"OPENCV_TEMP_PATH=" + path("tmp"), "TMPDIR=" + path("tmp")};
    const QRegularExpression ownLine(QStringLiteral(
        "^([0-9]{3}|bytes:[0-9]+|current_image:[0-9]+|current_image_mat_rgba:[0-9]+x[0-9]+|DONE|CRASH \\(67\\+\\) .*|ERROR .+)$"));

    for (const BadRequest &bad : table) {
        SCOPED_TRACE(bad.name);
        HostArguments arguments;
        bad.arguments(arguments);
        const EngineRun run = runEngine(arguments.list(), bad.request(), environment);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, bad.status) << run.err.toStdString();
        EXPECT_TRUE(QDir(path("tmp")).isEmpty());
        EXPECT_FALSE(run.err.contains("OpenCV(")) << run.err.toStdString();
        if (bad.status != exitStatus::ok)
            EXPECT_LE(run.peakMemoryKiB, 400 * 1024);

        const QStringList lines = run.errLines();
        for (const QString &line : lines)
            EXPECT_TRUE(ownLine.match(line).hasMatch()) << "foreign line: " << line.toStdString();
        EXPECT_TRUE(run.err.endsWith('\n'));
        const QStringList errors = lines.filter(QRegularExpression(QStringLiteral("^ERROR ")));
        if (bad.errorPart.isEmpty()) {
            EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
            EXPECT_TRUE((resultFileHonoured && arguments.resultFile != "none") || !run.out.isEmpty());
        } else {
            EXPECT_FALSE(errors.isEmpty());
            EXPECT_TRUE(errors.value(0).contains(bad.errorPart)) << errors.value(0).toStdString();
            // An unwritable LUT file is the one failure reported after the result.
            if (bad.status != exitStatus::cannotCreate || arguments.lutBase == "none")
                EXPECT_TRUE(run.out.isEmpty());
        }
        EXPECT_TRUE(lines.filter(QStringLiteral("CRASH")).isEmpty());
        if (bad.check)
            bad.check(run);
    }

#ifndef _WIN32
    QByteArray fromFifo(1 << 16, '\0');
    fromFifo.truncate(int(std::max<ssize_t>(0, read(fifoReader, fromFifo.data(), size_t(fromFifo.size())))));
    close(fifoReader);
    EXPECT_EQ(decodeBytes(fromFifo).size(), target.size());
    EXPECT_FALSE(QFileInfo(path("fifo")).isFile());
#endif

    // Every file that was written is complete; nothing half-written is left.
    QStringList leftovers;
    for (const QString &folder : {dir.path(), path(nonAscii)}) {
        for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files)) {
            const QString name = file.fileName();
            leftovers << name;
            if (name.endsWith(".png"))
                EXPECT_FALSE(decodeBytes(readFileBytes(file.absoluteFilePath())).empty()) << name.toStdString();
            if (name.endsWith(".cube"))
                EXPECT_TRUE(QFile(file.absoluteFilePath()).size() > 100000) << name.toStdString();
        }
    }
    leftovers.sort();
    QStringList written{"Blick Nr 1_cube.cube", "Blick Nr 1_unwrapped.png", "größe.txt"};
    if (resultFileHonoured)
        written << "résultat final.png" << "résultat latin.png";
    EXPECT_EQ(leftovers, written);
}
