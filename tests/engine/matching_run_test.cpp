// SPDX-License-Identifier: GPL-3.0-or-later
// Whole requests through the real binary, as a host sends them: the exact lines
// on standard error, the result against the plain computation, the files.
#include "engine/engine.h"

#include "support/reference_match.h"
#include "support/test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <functional>

using namespace testing_support;

namespace {

QByteArray sample(const char *name)
{
    return readFileBytes(samplePath(QString::fromLatin1(name)));
}

QStringList expectedLines(const QByteArray &target, int width, int height, bool alpha, bool alphaBack)
{
    const QString bytes = QString::number(target.size());
    QStringList lines{"005", "006", "010", "020", "bytes:" + bytes, "021", "022", "current_image:" + bytes,
                      "022", "023", QStringLiteral("current_image_mat_rgba:%1x%2").arg(width).arg(height), "DONE"};
    if (alpha)
        lines << "028";
    lines << QStringList{"030", "031", "032", "040", "050", "060", "061", "062", "064", "066", "067",
                         "068", "070", "072", "074", "075", "076", "077", "078", "079"};
    if (alphaBack)
        lines << "080" << "085";
    return lines << "090" << "095" << "100";
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The colour planes and, with four channels, the alpha plane.
cv::Mat colourPlanes(const cv::Mat &image)
{
    cv::Mat colours = image;
    if (image.channels() == 4)
        cv::cvtColor(image, colours, cv::COLOR_BGRA2BGR);
    return colours;
}

cv::Mat alphaPlane(const cv::Mat &image)
{
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    return alpha;
}

void expectPlainMatch(const cv::Mat &result, const QByteArray &target, const QByteArray &reference)
{
    testing_support::expectPlainMatch(colourPlanes(result), decodeBytes(target, cv::IMREAD_COLOR),
                                      decodeBytes(reference, cv::IMREAD_COLOR), false, 1.0);
}

} // namespace

TEST(MatchingRun, EachRequestGivesItsLinesResultAndFiles)
{
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return dir.filePath(QString::fromUtf8(name)); };
    const QByteArray chelsea = sample("chelsea.png"); // carries an sRGB chunk libpng warns about
    const QByteArray rocket = sample("rocket.jpg");
    const QByteArray coffee = sample("coffee.png");
    const cv::Mat coffeeAlpha = withAlphaGradient(decodeBytes(coffee));
    const QByteArray alphaTarget = encoded(coffeeAlpha);
    const cv::Mat chelseaAlpha = withAlphaGradient(decodeBytes(chelsea));

    struct Request {
        const char *name;
        QByteArray target, reference;
        std::function<void(HostArguments &)> arguments;
        QStringList lines; // empty: not compared
        std::function<void(const EngineRun &)> check;
    };
    const QList<Request> table = {
        {"photographs", chelsea, rocket, [](HostArguments &) {}, expectedLines(chelsea, 451, 300, false, false),
         [&](const EngineRun &run) { expectPlainMatch(decodeBytes(run.out), chelsea, rocket); }},
        {"'ON' keeps the lightness, and a strength that is no number is 0", coffee, rocket,
         [](HostArguments &a) { a.lightness = "ON", a.strength = "strong"; }, {},
         [&](const EngineRun &run) { EXPECT_EQ(cv::norm(decodeBytes(run.out), decodeBytes(coffee), cv::NORM_INF), 0.0); }},
        {"LUT export", encoded(chelseaAlpha), rocket,
         [&](HostArguments &a) {
             a.lutBase = base64Path(path("look"));
             a.lutSize = "17";
             a.sizeFile = base64Path(path("lut-size.txt"));
         },
         // 451 wide: 10 lattice rows over two copies of the 300-row target.
         expectedLines(encoded(chelseaAlpha), 451, 610, true, false),
         [&](const EngineRun &run) {
             EXPECT_EQ(readAll(path("lut-size.txt")), QByteArray("451x610"));
             const cv::Mat result = decodeBytes(run.out);
             EXPECT_EQ(result.type(), CV_8UC3);
             EXPECT_EQ(result.size(), cv::Size(10, 10));
             EXPECT_EQ(cv::countNonZero(result.reshape(1)), 0);
         }},
        // The TIFF result keeps the alpha byte for byte; JPEG drops it.
        {"JPEG result: OpenCV's encoding of the TIFF result at quality 99", alphaTarget, rocket,
         [](HostArguments &a) { a.format = "jpg"; }, expectedLines(alphaTarget, 600, 400, true, true),
         [&](const EngineRun &run) {
             HostArguments tiff;
             tiff.format = "tif";
             const cv::Mat expected = decodeBytes(runEngine(tiff.list(), frameRequest(alphaTarget, rocket)).out);
             ASSERT_EQ(expected.type(), CV_8UC4);
             EXPECT_EQ(cv::norm(alphaPlane(expected), alphaPlane(coffeeAlpha), cv::NORM_INF), 0.0);
             expectPlainMatch(expected, coffee, rocket);
             const QByteArray opencv = encoded(expected, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 99});
             EXPECT_EQ(cv::norm(decodeBytes(run.out), decodeBytes(opencv), cv::NORM_INF), 0.0);
         }},
        {"LUT export into a result file", coffee, rocket,
         [&](HostArguments &a) {
             a.lutBase = base64Path(path("second"));
             a.resultFile = base64Path(path("placeholder.png"));
         },
         {}, [&](const EngineRun &run) {
             EXPECT_EQ(run.out.isEmpty(), resultFileHonoured);
             EXPECT_EQ(readAll(path("placeholder.png")), QByteArray(resultFileHonoured ? "0" : ""));
         }},
    };
    for (const Request &request : table) {
        SCOPED_TRACE(request.name);
        HostArguments arguments;
        request.arguments(arguments);
        const EngineRun run = runEngine(arguments.list(), frameRequest(request.target, request.reference));
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        if (!request.lines.isEmpty())
            EXPECT_EQ(run.errLines(), request.lines);
        request.check(run);
    }
}

TEST(MatchingRun, AFailureInTheTransferReturnsTheDecodedTarget)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
#endif
    if (runningUnderWine())
        GTEST_SKIP() << "Wine does not enforce a Job object's memory limit";
    // A 256-level cube needs a 200 MB lattice after the colour transfer has
    // started; with the address space capped that allocation fails inside the
    // guarded stretch. OpenCL stays off: its runtime reserves much more.
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("look"));
    const cv::Mat bgra = withAlphaGradient(decodeBytes(sample("coffee.png")));
    HostArguments arguments;
    arguments.lutBase = base64Path(base);
    arguments.lutSize = QStringLiteral("256");
    arguments.openCL = QStringLiteral("off");
    for (const char *suffix : {"_unwrapped.png", "_cube.cube"}) {
        QFile earlier(base + suffix);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write("from an earlier run") > 0);
    }
    const EngineRun run =
        runEngine(arguments.list(), frameRequest(encoded(bgra), sample("rocket.jpg")), QStringList(), 480 * 1024);
    ASSERT_FALSE(run.crashed);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const QStringList lines = run.errLines();
    const QStringList crashes = lines.filter(QStringLiteral("CRASH"));
    ASSERT_EQ(crashes.size(), 1) << run.err.toStdString();
    EXPECT_TRUE(crashes[0].startsWith(QStringLiteral("CRASH (67+) (0) "))) << crashes[0].toStdString();
    const int crashLine = lines.indexOf(crashes[0]);
    EXPECT_EQ(lines[crashLine - 1], QStringLiteral("079"));
    EXPECT_EQ(lines.mid(crashLine + 1), (QStringList{"090", "095", "100"}));

    // The stacked target comes back as it was: 7 lattice rows over two copies
    // of the 600 x 400 target, alpha and all.
    const cv::Mat returned = decodeBytes(run.out);
    ASSERT_EQ(returned.type(), CV_8UC4);
    ASSERT_EQ(returned.size(), cv::Size(600, 807));
    for (const int top : {7, 407})
        EXPECT_EQ(cv::norm(returned(cv::Rect(0, top, 600, 400)), bgra, cv::NORM_INF), 0.0) << top;
    // Neither LUT file was written: both are still the earlier run's.
    for (const char *suffix : {"_unwrapped.png", "_cube.cube"})
        EXPECT_EQ(readFileBytes(base + suffix), QByteArray("from an earlier run")) << suffix;
}

// With depth 16 the result comes back in 16 bits from PNG, PAM and TIFF, the
// same pixels from each, alpha in 16 bits (an 8-bit alpha times 257); JPEG and
// BMP hold 8 bits and get the 8-bit rounding of the same computation. The
// lines on standard error are those of an 8-bit request.
TEST(MatchingRun, DeepResultsKeepSixteenBitsWhereTheFormatHoldsThem)
{
    const QByteArray reference = sample("rocket.jpg");
    cv::Mat deep, deepAlpha;
    const cv::Mat photo = decodeBytes(sample("chelsea.png"));
    photo.convertTo(deep, CV_16U, 257.0, 30.0);
    cv::GaussianBlur(deep, deep, cv::Size(3, 3), 0.8); // levels between the 8-bit ones
    const cv::Mat photoAlpha = withAlphaGradient(photo);
    photoAlpha.convertTo(deepAlpha, CV_16U, 257.0, 0.0);
    cv::GaussianBlur(deepAlpha, deepAlpha, cv::Size(3, 3), 0.8);
    const struct {
        const char *name;
        cv::Mat target;
    } targets[] = {{"16-bit", deep}, {"16-bit with 16-bit alpha", deepAlpha}, {"8-bit with alpha", photoAlpha}};
    for (const auto &t : targets) {
        SCOPED_TRACE(t.name);
        const QByteArray target = encoded(t.target);
        const bool alpha = t.target.channels() == 4;
        cv::Mat png;
        for (const char *format : {"png", "pam", "tif", "jpg", "bmp"}) {
            SCOPED_TRACE(format);
            HostArguments arguments;
            arguments.options = QStringLiteral("matchengine-options/1;depth=16");
            arguments.format = QString::fromLatin1(format);
            const EngineRun run = runEngine(arguments.list(), frameRequest(target, reference));
            ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
            EXPECT_EQ(run.errLines(), expectedLines(target, 451, 300, alpha, alpha));
            cv::Mat result = decodeBytes(run.out, cv::IMREAD_UNCHANGED);
            if (QByteArray(format) == "pam") // OpenCV's reader leaves the samples in the file's R, G, B order
                cv::cvtColor(result, result, alpha ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
            const bool sixteen = QByteArray("png pam tif").contains(format);
            ASSERT_EQ(result.depth(), sixteen ? CV_16U : CV_8U);
            ASSERT_EQ(result.size(), t.target.size());
            if (png.empty()) {
                ASSERT_EQ(result.channels(), alpha ? 4 : 3);
                png = result;
                // Not 8-bit levels times 257: few samples have equal bytes.
                const cv::Mat colours = colourPlanes(png).reshape(1);
                cv::Mat high, low;
                cv::bitwise_and(colours, cv::Scalar::all(0xff00), high);
                cv::bitwise_and(colours, cv::Scalar::all(0xff), low);
                EXPECT_GT(cv::countNonZero((high / 256) != low), int(0.9 * colours.total()));
                cv::Mat expectedAlpha; // an 8-bit alpha times 257
                if (alpha) {
                    alphaPlane(t.target).convertTo(expectedAlpha, CV_16U, t.target.depth() == CV_8U ? 257.0 : 1.0);
                    EXPECT_EQ(cv::norm(alphaPlane(png), expectedAlpha, cv::NORM_INF), 0.0);
                }
            } else if (sixteen) {
                EXPECT_EQ(cv::norm(result, png, cv::NORM_INF), 0.0);
            } else {
                cv::Mat png8;
                colourPlanes(png).convertTo(png8, CV_8U, 1.0 / 257.0);
                if (QByteArray(format) == "bmp") // lossless: the rounding of the same floats
                    EXPECT_LE(cv::norm(colourPlanes(result), png8, cv::NORM_INF), 1.0);
                else
                    EXPECT_LT(cv::norm(colourPlanes(result), png8, cv::NORM_L1) / double(png8.total() * 3), 1.5);
            }
        }
    }
}
