// matchColors in-process against the plain double-precision computation, over
// the images that take the pipeline down its different paths (alpha, deep
// samples, grey, singular covariances), with OpenCL off and on; and the three
// concurrent tasks of the transfer.
#include "encoders/encoders.h"
#include "matching/matching.h"

#include "support/reference_match.h"
#include "support/test_support.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QTemporaryDir>

#include <png.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace testing_support;

namespace {

// Restores the process-wide settings and this thread's OpenCL switch.
struct SettingsGuard {
    const EngineSettings saved = engineSettings();
    const bool savedOpenCL = cv::ocl::useOpenCL();
    ~SettingsGuard()
    {
        engineSettings() = saved;
        cv::ocl::setUseOpenCL(savedOpenCL);
    }
};

void useOpenCL(bool on)
{
    engineSettings().useOpenCL = on;
    engineSettings().taskUseOpenCL = on;
}

cv::Mat sample(const char *name, double factor = 1.0)
{
    const cv::Mat image = decodeBytes(readFileBytes(samplePath(QLatin1String(name))), cv::IMREAD_COLOR);
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    return scaled;
}

// PNG, or PAM for grey with alpha, which OpenCV's PNG encoder does not take.
QByteArray fileOf(const cv::Mat &image)
{
    if (image.channels() != 2)
        return encoded(image);
    const std::vector<uchar> pam = encodePam(image);
    return QByteArray(reinterpret_cast<const char *>(pam.data()), int(pam.size()));
}

cv::Mat matched(const cv::Mat &target, const cv::Mat &reference, float strength, bool lutExport = false)
{
    QStringList lutFailures;
    testing::internal::CaptureStderr();
    const cv::UMat result = matchColors(fileOf(target), fileOf(reference), lutExport, strength, lutFailures);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines.find("CRASH"), std::string::npos) << lines;
    EXPECT_TRUE(lutFailures.isEmpty());
    return result.getMat(cv::ACCESS_READ).clone();
}

// The engine's intake of a decoded image as 8-bit B, G, R (alpha dropped,
// grey expanded, 16 bits as v / 257).
cv::Mat eightBitColours(const cv::Mat &image)
{
    cv::Mat eight;
    image.convertTo(eight, CV_8U, image.depth() == CV_16U ? 1.0 / 257.0 : 1.0);
    if (eight.channels() != 3)
        cv::cvtColor(eight, eight, eight.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    return eight;
}

// Largest difference between a result's alpha and the target's, in 8 bits.
double alphaDifference(const cv::Mat &result, const cv::Mat &target)
{
    cv::Mat targetAlpha, resultAlpha;
    cv::extractChannel(target, targetAlpha, target.channels() - 1);
    targetAlpha.convertTo(targetAlpha, CV_8U, target.depth() == CV_16U ? 1.0 / 257.0 : 1.0);
    cv::extractChannel(result, resultAlpha, 3);
    return cv::norm(resultAlpha, targetAlpha, cv::NORM_INF);
}

// The pixels of a decoded image whose alpha is above 0; empty without alpha.
cv::Mat visiblePixels(const cv::Mat &image)
{
    if (image.channels() != 2 && image.channels() != 4)
        return cv::Mat();
    cv::Mat alpha, visible;
    cv::extractChannel(image, alpha, image.channels() - 1);
    cv::compare(alpha, 0, visible, cv::CMP_GT);
    return visible;
}

// The image with alpha 0 in its left `share` of columns and those pixels set
// to `hidden` (B, G, R; grey takes channel 0).
cv::Mat withHiddenPart(const cv::Mat &image, double share, const cv::Scalar &hidden)
{
    cv::Mat result = image.clone();
    const cv::Rect left(0, 0, int(image.cols * share), image.rows);
    cv::Scalar value = hidden;
    value[result.channels() - 1] = 0;
    result(left).setTo(value);
    return result;
}

// Mean |L*(a) - L*(b)| of two 8-bit B, G, R images: CIE L* of sRGB colours
// (D65), in double precision.
double meanLightnessDifference(const cv::Mat &a, const cv::Mat &b)
{
    const auto lightness = [](const cv::Vec3b &bgr) {
        const auto linear = [](double v) {
            v /= 255.0;
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        const double y = 0.2126729 * linear(bgr[2]) + 0.7151522 * linear(bgr[1]) + 0.0721750 * linear(bgr[0]);
        return y > 216.0 / 24389.0 ? 116.0 * std::cbrt(y) - 16.0 : y * 24389.0 / 27.0;
    };
    double sum = 0.0;
    for (int y = 0; y < a.rows; ++y)
        for (int x = 0; x < a.cols; ++x)
            sum += std::abs(lightness(a.at<cv::Vec3b>(y, x)) - lightness(b.at<cv::Vec3b>(y, x)));
    return sum / double(a.total());
}

// The intake of `file` has exactly the pixels of `expected`.
void expectIntake(const QByteArray &file, const cv::Mat &expected)
{
    const cv::Mat decoded = decodeImageBytes(file, "target").getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(decoded.type(), expected.type());
    EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
}

} // namespace

// Single precision moves a mapped colour across a rounding boundary now and
// then, and the Lab finishing can amplify that one level: agreement is the
// share of equal samples, and every other pixel must be explained by such a step.
TEST(MatchColors, AgreesWithThePlainComputationOnEveryKindOfImage)
{
    SettingsGuard guard;
    const cv::Mat rocket = sample("rocket.jpg", 0.5);
    const cv::Mat coffee = sample("coffee.png", 0.5);
    const cv::Mat chelsea = sample("chelsea.png", 0.5);
    cv::Mat grey;
    cv::cvtColor(coffee, grey, cv::COLOR_BGR2GRAY);
    cv::Mat deep, deepAlpha;
    coffee.convertTo(deep, CV_16U, 257.0, 100.0);
    withAlphaGradient(coffee).convertTo(deepAlpha, CV_16U, 257.0);
    cv::Mat line(6, 10, CV_8UC3);
    for (int i = 0; i < 60; ++i)
        line.at<cv::Vec3b>(i / 10, i % 10) = {uchar(10 + i), uchar(20 + 2 * i), uchar(30 + 3 * i)};
    const struct {
        const char *name;
        cv::Mat target, reference;
        bool matchLightness;
        float strength;
    } cases[] = {
        {"photographs", chelsea, rocket, false, 1.0f},
        {"lightness matched, half strength", rocket, coffee, true, 0.5f},
        {"extrapolated", coffee, chelsea, false, -0.5f},
        {"alpha kept", withAlphaGradient(coffee), rocket, false, 0.6f},
        {"hidden parts", withHiddenPart(withAlphaGradient(chelsea), 0.3, {0, 255, 0}),
         withHiddenPart(withAlphaGradient(rocket), 0.5, {255, 0, 255}), false, 1.0f},
        {"16-bit target", deep, chelsea, false, 0.25f},
        {"16-bit with alpha", deepAlpha, rocket, false, 1.0f},
        {"grey target", grey, rocket, false, 1.0f},
        {"grey reference", rocket, grey, false, 1.0f},
        {"one colour", cv::Mat(7, 5, CV_8UC3, cv::Scalar(40, 170, 90)), rocket, true, 1.0f},
        {"one pixel", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), rocket, true, 1.0f},
        {"colours on a line", line, rocket, false, 1.0f},
        {"itself", rocket, rocket, false, 1.0f},
    };
    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCL(openCL);
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", OpenCL " << openCL);
            engineSettings().matchLightness = c.matchLightness;
            const cv::Mat result = matched(c.target, c.reference, c.strength);
            const bool alpha = c.target.channels() == 2 || c.target.channels() == 4;
            ASSERT_EQ(result.type(), alpha ? CV_8UC4 : CV_8UC3);
            ASSERT_EQ(result.size(), c.target.size());
            if (alpha)
                EXPECT_EQ(alphaDifference(result, c.target), 0.0);
            const cv::Mat colours = eightBitColours(result);
            const cv::Mat target8 = eightBitColours(c.target);
            const cv::Mat reference8 = eightBitColours(c.reference);
            const Visibility visible{visiblePixels(c.target), visiblePixels(c.reference)};
            const cv::Mat expected = referenceMatch(target8, reference8, c.matchLightness, c.strength, visible);
            cv::Mat difference;
            cv::absdiff(colours, expected, difference);
            EXPECT_LE(cv::countNonZero(difference.reshape(1)), int(0.005 * difference.total() * 3));
            EXPECT_EQ(unexplainedPixels(colours, target8, reference8, c.matchLightness, c.strength, 2.0, visible), 0);
            // Kept lightness is CIE L*, up to the 8-bit Lab encoding's steps.
            if (!c.matchLightness && c.strength == 1.0f)
                EXPECT_LT(meanLightnessDifference(colours, target8), 0.5);
        }
    }
}

// Each row is two requests whose images differ only where the target's (or
// the reference's) alpha is 0, or, for an image without a visible pixel, only
// in alpha: the visible result and its alpha are the same. With LUT export the
// stacked target counts whole, as it did before targets had hidden pixels.
TEST(MatchColors, HiddenPixelsDoNotSteerTheMatch)
{
    SettingsGuard guard;
    useOpenCL(false);
    const cv::Mat chelsea = sample("chelsea.png", 0.5);
    const cv::Mat rocket = sample("rocket.jpg", 0.25);
    const cv::Mat chelseaA = withAlphaGradient(chelsea), rocketA = withAlphaGradient(rocket);
    cv::Mat chelsea16, greyAlpha, rocketGreyAlpha16;
    chelseaA.convertTo(chelsea16, CV_16U, 257.0);
    const auto greyWithAlpha = [](const cv::Mat &bgra) {
        cv::Mat grey, planes[4], out;
        cv::split(bgra, planes);
        cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
        cv::merge(std::vector<cv::Mat>{grey, planes[3]}, out);
        return out;
    };
    greyAlpha = greyWithAlpha(chelseaA);
    greyWithAlpha(rocketA).convertTo(rocketGreyAlpha16, CV_16U, 257.0);
    cv::Mat invisible = chelseaA.clone(), opaque = chelseaA.clone();
    invisible.reshape(1, int(invisible.total())).col(3).setTo(0);
    opaque.reshape(1, int(opaque.total())).col(3).setTo(255);
    const cv::Scalar green(0, 255, 0, 0), grey(128, 128, 128, 0);
    const struct {
        const char *name;
        cv::Mat targetA, targetB, referenceA, referenceB;
        bool lutExport;
    } cases[] = {
        {"target", withHiddenPart(chelseaA, 0.5, green), withHiddenPart(chelseaA, 0.5, grey), rocket, rocket, false},
        {"16-bit target", withHiddenPart(chelsea16, 0.5, green * 257), withHiddenPart(chelsea16, 0.5, grey * 257),
         rocket, rocket, false},
        {"grey target with alpha", withHiddenPart(greyAlpha, 0.4, green), withHiddenPart(greyAlpha, 0.4, grey), rocket,
         rocket, false},
        {"reference", chelsea, chelsea, withHiddenPart(rocketA, 0.5, green), withHiddenPart(rocketA, 0.5, grey), false},
        {"16-bit grey reference with alpha", chelsea, chelsea, withHiddenPart(rocketGreyAlpha16, 0.3, green * 257),
         withHiddenPart(rocketGreyAlpha16, 0.3, grey * 257), false},
        {"no visible pixel counts them all", invisible, opaque, rocket, rocket, false},
        {"LUT export counts the whole target", withHiddenPart(chelseaA, 0.5, green), withHiddenPart(chelsea, 0.5, green),
         rocket, rocket, true},
    };
    QTemporaryDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.lutExport) {
            const cv::Mat a = matched(c.targetA, c.referenceA, 1.0f), b = matched(c.targetB, c.referenceB, 1.0f);
            cv::Mat shown = visiblePixels(c.targetA);
            if (shown.empty() || cv::countNonZero(shown) == 0)
                shown = cv::Mat(a.size(), CV_8U, cv::Scalar(255));
            ASSERT_EQ(a.type(), b.type());
            EXPECT_EQ(cv::norm(eightBitColours(a), eightBitColours(b), cv::NORM_INF, shown), 0.0);
            if (a.channels() == 4)
                EXPECT_EQ(alphaDifference(a, c.targetA), 0.0);
            continue;
        }
        QByteArray cubes[2];
        for (int i = 0; i < 2; ++i) {
            engineSettings().lutBasePath = dir.filePath(QStringLiteral("look%1").arg(i));
            matched(i == 0 ? c.targetA : c.targetB, c.referenceA, 1.0f, true);
            cubes[i] = readFileBytes(engineSettings().lutBasePath + QStringLiteral("_cube.cube"));
        }
        EXPECT_FALSE(cubes[0].isEmpty());
        EXPECT_EQ(cubes[0], cubes[1]);
    }
}

// St, Sr and both mean columns are the same with the tasks' OpenCL on or off,
// and a failure in any task reaches the caller with its own type.
TEST(MappingTasks, RootsAndColumnsWithEachOpenCLSwitchAndFailuresKeepTheirType)
{
    SettingsGuard guard;
    const cv::Mat target = sample("chelsea.png", 0.5);
    const cv::Mat reference = sample("rocket.jpg", 0.25);
    testing::internal::CaptureStderr();
    const TransferInputs prepared = momentsForTransfer(target, reference);
    testing::internal::GetCapturedStderr();
    const cv::UMat covariance = hostDivide(prepared.targetGram, prepared.targetCount);

    const cv::Mat targetCovariance = covariance.getMat(cv::ACCESS_READ);
    const cv::Mat referenceCovariance = prepared.referenceGram.getMat(cv::ACCESS_READ) / prepared.referenceCount;
    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCL(openCL);
        for (const bool amdGpu : {false, true}) {
            SCOPED_TRACE(testing::Message() << "OpenCL " << openCL << ", amdGpu " << amdGpu);
            engineSettings().amdGpu = amdGpu;
            TransferInputs inputs = prepared;
            const MappingTaskResults roots = runMappingTasks(covariance, inputs);
            // Each root squares to its covariance; both means become 3 x 1 columns of the same values.
            const cv::Mat st = roots.targetRoot.getMat(cv::ACCESS_READ), sr = roots.referenceRoot.getMat(cv::ACCESS_READ);
            EXPECT_LE(cv::norm(cv::Mat(st * st), targetCovariance, cv::NORM_INF), 1e-6);
            EXPECT_LE(cv::norm(cv::Mat(sr * sr), referenceCovariance, cv::NORM_INF), 1e-6);
            for (const auto &[column, mean] : {std::pair{inputs.targetMean, prepared.targetMean},
                                               std::pair{inputs.referenceMean, prepared.referenceMean}})
                EXPECT_EQ(cv::norm(column.getMat(cv::ACCESS_READ), mean.getMat(cv::ACCESS_READ).reshape(1, 3),
                                   cv::NORM_INF), 0.0);
        }
        // A covariance that is not square fails in targetRootTask, an 8-bit
        // reference Gram matrix in referenceRootTask.
        TransferInputs inputs = prepared;
        EXPECT_THROW(runMappingTasks(cv::UMat(3, 2, CV_32FC1, cv::Scalar(0.5)), inputs), cv::Exception);
        inputs = prepared;
        inputs.referenceGram = cv::UMat(3, 5, CV_8UC1, cv::Scalar(1));
        EXPECT_THROW(runMappingTasks(covariance, inputs), cv::Exception);
    }
}

// JPEG intake decodes with libjpeg itself; its pixels must be cv::imdecode's,
// for each kind of JPEG: the bundled photograph, 4:2:0 and progressive colour,
// grey.
TEST(ImageIntake, JpegPixelsAreThoseOfOpenCv)
{
    const cv::Mat photo = sample("chelsea.png");
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    const QList<QByteArray> files{readFileBytes(samplePath(QStringLiteral("rocket.jpg"))), encoded(photo, ".jpg"),
                                  encoded(photo, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1, cv::IMWRITE_JPEG_QUALITY, 80}),
                                  encoded(grey, ".jpg")};
    for (const QByteArray &file : files)
        expectIntake(file, decodeBytes(file, cv::IMREAD_UNCHANGED));
}

// Every kind of PNG gives the pixels OpenCV's reader gives: colour types, bit
// depths, palettes, transparent colours, interlacing; and both refuse a cut file.
TEST(ImageIntake, PngPixelsAreThoseOfOpenCv)
{
    const auto png = [](int colourType, int bitDepth, bool transparent, bool interlaced) {
        const int width = 7, height = 5;
        QByteArray file;
        png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(writer);
        png_set_write_fn(writer, &file, [](png_structp w, png_bytep data, png_size_t size) {
            static_cast<QByteArray *>(png_get_io_ptr(w))->append(reinterpret_cast<const char *>(data), int(size));
        }, nullptr);
        png_set_IHDR(writer, info, width, height, bitDepth, colourType,
                     interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        std::vector<png_color> palette(16);
        std::vector<png_byte> opacity{0, 128, 255, 7};
        png_color_16 colour{0, 40, 50, 60, 1};
        for (int i = 0; i < 16; ++i)
            palette[i] = {png_byte(i * 16), png_byte(255 - i * 9), png_byte(i * i)};
        if (colourType == PNG_COLOR_TYPE_PALETTE)
            png_set_PLTE(writer, info, palette.data(), 16);
        if (transparent)
            png_set_tRNS(writer, info, opacity.data(), int(opacity.size()), &colour);
        png_write_info(writer, info);
        cv::Mat rows(height, int(png_get_rowbytes(writer, info)), CV_8U);
        cv::randu(rows, 0, 256);
        if (colourType == PNG_COLOR_TYPE_PALETTE) // indices within the palette
            rows &= cv::Scalar::all(bitDepth == 8 ? 15 : 255);
        std::vector<png_bytep> pointers;
        for (int y = 0; y < height; ++y)
            pointers.push_back(rows.ptr(y));
        png_write_image(writer, pointers.data());
        png_write_end(writer, nullptr);
        png_destroy_write_struct(&writer, &info);
        return file;
    };
    const struct {
        const char *name;
        QByteArray file;
    } cases[] = {
        {"RGB", png(PNG_COLOR_TYPE_RGB, 8, false, false)},
        {"RGB, a transparent colour", png(PNG_COLOR_TYPE_RGB, 8, true, false)},
        {"RGBA, interlaced", png(PNG_COLOR_TYPE_RGBA, 8, false, true)},
        {"RGB, 16 bits", png(PNG_COLOR_TYPE_RGB, 16, false, false)},
        {"RGBA, 16 bits", png(PNG_COLOR_TYPE_RGBA, 16, false, false)},
        {"grey", png(PNG_COLOR_TYPE_GRAY, 8, false, false)},
        {"grey, 2 bits, a transparent level", png(PNG_COLOR_TYPE_GRAY, 2, true, false)},
        {"grey, 1 bit, interlaced", png(PNG_COLOR_TYPE_GRAY, 1, false, true)},
        {"grey with alpha", png(PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false)},
        {"grey with alpha, 16 bits", png(PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, false)},
        {"palette", png(PNG_COLOR_TYPE_PALETTE, 8, false, false)},
        {"palette of 4 bits, some transparent", png(PNG_COLOR_TYPE_PALETTE, 4, true, false)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        expectIntake(c.file, decodeBytes(c.file, cv::IMREAD_UNCHANGED));
    }
    const QByteArray cut = cases[0].file.left(cases[0].file.size() - 20);
    EXPECT_TRUE(decodeBytes(cut, cv::IMREAD_UNCHANGED).empty());
    EXPECT_THROW(decodeImageBytes(cut, "target"), EngineError);
}

// PFM files give OpenCV's reader's pixels (rows bottom first, R, G, B, either
// byte order, divided by the scale's size), read without a temporary file:
// none can be made here.
TEST(ImageIntake, PfmIsReadAsOpenCvReadsItWithoutATemporaryFile)
{
    const auto pfm = [](char kind, int width, int height, const char *scale, std::vector<float> samples,
                        bool bigEndian) {
        QByteArray data(reinterpret_cast<const char *>(samples.data()), int(samples.size() * sizeof(float)));
        if (bigEndian)
            for (int i = 0; i < data.size(); i += 4)
                std::reverse(data.begin() + i, data.begin() + i + 4);
        return QStringLiteral("P%1\n%2 %3\n%4\n").arg(kind).arg(width).arg(height).arg(scale).toLatin1() + data;
    };
    const std::vector<float> six{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    const struct {
        const char *name;
        QByteArray file;
    } cases[] = {
        {"colour, little-endian", pfm('F', 2, 1, "-1.0", six, false)},
        {"colour, big-endian, scale 2", pfm('F', 1, 2, "2", six, true)},
        {"grey, three rows", pfm('f', 2, 3, "-0.5", {0.1f, 0.2f, 0.3f, 0.4f, 0.45f, 0.0f}, false)},
    };
    const QByteArray temporary = qgetenv("OPENCV_TEMP_PATH");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat expected = decodeBytes(c.file, cv::IMREAD_UNCHANGED);
        qputenv("OPENCV_TEMP_PATH", "/nonexistent/folder");
        expectIntake(c.file, expected);
        qputenv("OPENCV_TEMP_PATH", temporary);
    }
    EXPECT_THROW(decodeImageBytes(pfm('F', 2, 1, "-1.0", {0.1f, 0.2f, 0.3f}, false), "target"), EngineError);
    EXPECT_THROW(decodeImageBytes(pfm('f', 1, 1, "0", {0.1f}, false), "target"), EngineError);
}

// PAM files as other programs write them: read by their tuple type, or by
// their DEPTH without one, samples in R, G, B order and scaled from MAXVAL;
// a file shorter than its samples, or a tuple type that contradicts its DEPTH,
// is refused.
TEST(ImageIntake, PamIsReadAsNetpbmDefinesIt)
{
    const auto pam = [](int width, int depth, int largest, const char *tupleType, const QByteArray &samples) {
        QByteArray header =
            QStringLiteral("P7\nWIDTH %1\nHEIGHT 1\nDEPTH %2\nMAXVAL %3\n").arg(width).arg(depth).arg(largest).toLatin1();
        if (*tupleType)
            header += QByteArray("TUPLTYPE ") + tupleType + "\n";
        return header + "ENDHDR\n" + samples;
    };
    const auto pixel = [](int type, const cv::Scalar &value) { return cv::Mat(1, 1, type, value); };
    const struct {
        const char *name;
        QByteArray file;
        cv::Mat expected; // empty: refused
    } cases[] = {
        {"RGB", pam(1, 3, 255, "RGB", QByteArray("\xff\x00\x10", 3)), pixel(CV_8UC3, {16, 0, 255})},
        {"DEPTH 3 without a tuple type", pam(1, 3, 255, "", QByteArray("\xff\x00\x10", 3)), pixel(CV_8UC3, {16, 0, 255})},
        {"DEPTH 4 without a tuple type", pam(1, 4, 255, "", QByteArray("\xff\x00\x10\x80", 4)),
         pixel(CV_8UC4, {16, 0, 255, 128})},
        {"RGB_ALPHA", pam(1, 4, 255, "RGB_ALPHA", "\x01\x02\x03\x04"), pixel(CV_8UC4, {3, 2, 1, 4})},
        {"GRAYSCALE_ALPHA", pam(1, 2, 255, "GRAYSCALE_ALPHA", "\x40\x80"), pixel(CV_8UC2, {64, 128})},
        {"BLACKANDWHITE", pam(2, 1, 1, "BLACKANDWHITE", QByteArray("\x01\x00", 2)), (cv::Mat_<uchar>(1, 2) << 255, 0)},
        {"MAXVAL 100", pam(1, 3, 100, "RGB", QByteArray("\x64\x32\x00", 3)), pixel(CV_8UC3, {0, 128, 255})},
        {"MAXVAL 1000, 16 bits", pam(1, 1, 1000, "GRAYSCALE", "\x01\xf4"), pixel(CV_16UC1, {32768})},
        {"cut short", pam(2, 3, 255, "RGB", "\x01\x02\x03\x04"), cv::Mat()},
        {"RGB with DEPTH 1", pam(1, 1, 255, "RGB", "\x01"), cv::Mat()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.expected.empty())
            EXPECT_THROW(decodeImageBytes(c.file, "target"), EngineError);
        else
            expectIntake(c.file, c.expected);
    }
}
