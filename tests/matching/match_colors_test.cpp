// SPDX-License-Identifier: GPL-3.0-or-later
// matchColors in-process against the plain computation on every kind of image,
// OpenCL off and on; and the engine's own decoding of each kind of file.
#include "encoders/encoders.h"
#include "matching/matching.h"

#include "support/reference_match.h"
#include "support/test_support.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <png.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

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

// matchColors on the files, without a crash line on standard error.
cv::Mat matched(const QByteArray &target, const QByteArray &reference, float strength)
{
    QStringList lutFailures;
    testing::internal::CaptureStderr();
    const cv::UMat result = matchColors(target, reference, false, strength, lutFailures);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines.find("CRASH"), std::string::npos) << lines;
    EXPECT_TRUE(lutFailures.isEmpty());
    return result.getMat(cv::ACCESS_READ).clone();
}

// A decoded image's colours (grey repeated, alpha dropped) in `depth`, times `scale`.
cv::Mat colourPlanes(const cv::Mat &image, int depth, double scale = 1.0)
{
    cv::Mat converted, bgr(image.size(), CV_MAKETYPE(depth, 3));
    image.convertTo(converted, depth, scale);
    const bool grey = image.channels() < 3;
    const int planes[] = {0, 0, grey ? 0 : 1, 1, grey ? 0 : 2, 2};
    cv::mixChannels(&converted, 1, &bgr, 1, planes, 3);
    return bgr;
}

// The colours as the engine takes them in: 8-bit B, G, R.
cv::Mat eightBitColours(const cv::Mat &image)
{
    return colourPlanes(image, CV_8U, image.depth() == CV_16U ? 1.0 / 257.0 : 1.0);
}

// The alpha plane of a decoded image in 8 bits; empty without alpha.
cv::Mat alphaOf(const cv::Mat &image)
{
    cv::Mat alpha;
    if (image.channels() == 2 || image.channels() == 4) {
        cv::extractChannel(image, alpha, image.channels() - 1);
        alpha.convertTo(alpha, CV_8U, image.depth() == CV_16U ? 1.0 / 257.0 : 1.0);
    }
    return alpha;
}

// The pixels whose alpha is above 0 (the test images' 16-bit alpha is a multiple of 257); empty without alpha.
cv::Mat visiblePixels(const cv::Mat &image)
{
    const cv::Mat alpha = alphaOf(image);
    return alpha.empty() ? alpha : cv::Mat(alpha > 0);
}

// The image with its left `share` of columns hidden (alpha 0) and set to `hidden`.
cv::Mat withHiddenPart(const cv::Mat &image, double share, const cv::Scalar &hidden)
{
    cv::Mat result = image.clone();
    const cv::Rect left(0, 0, int(image.cols * share), image.rows);
    cv::Scalar value = hidden;
    value[result.channels() - 1] = 0;
    result(left).setTo(value);
    return result;
}

} // namespace

// Hidden pixels (alpha 0) do not count, unless no pixel is visible. With OpenCL
// on, every other row roots the target covariance on the host, as on an AMD GPU.
TEST(MatchColors, AgreesWithThePlainComputationOnEveryKindOfImage)
{
    SettingsGuard guard;
    const cv::Mat rocket = sample("rocket.jpg", 0.5);
    const cv::Mat coffee = sample("coffee.png", 0.5);
    const cv::Mat chelsea = sample("chelsea.png", 0.5);
    // Grey (the blue plane) with the alpha of withAlphaGradient.
    const auto greyAlpha = [](const cv::Mat &bgr, int depth) {
        const cv::Mat bgra = withAlphaGradient(bgr);
        cv::Mat grey(bgra.size(), CV_8UC2);
        const int planes[] = {0, 0, 3, 1};
        cv::mixChannels(&bgra, 1, &grey, 1, planes, 2);
        grey.convertTo(grey, depth, depth == CV_16U ? 257.0 : 1.0);
        return grey;
    };
    cv::Mat grey, deep, deepAlpha;
    cv::cvtColor(coffee, grey, cv::COLOR_BGR2GRAY);
    coffee.convertTo(deep, CV_16U, 257.0, 100.0);
    withAlphaGradient(coffee).convertTo(deepAlpha, CV_16U, 257.0);
    cv::Mat invisible = withAlphaGradient(chelsea);
    invisible.reshape(1, int(invisible.total())).col(3).setTo(0);
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
        {"no visible pixel", invisible, rocket, false, 1.0f},
        {"16-bit target", deep, chelsea, false, 0.25f},
        {"16-bit with alpha, hidden parts", withHiddenPart(deepAlpha, 0.3, {0, 65535, 0}), rocket, false, 1.0f},
        {"grey target", grey, rocket, false, 1.0f},
        {"grey reference", rocket, grey, false, 1.0f},
        {"grey with alpha, hidden parts, to 16-bit grey with alpha", withHiddenPart(greyAlpha(chelsea, CV_8U), 0.4, {255}),
         withHiddenPart(greyAlpha(rocket, CV_16U), 0.3, {65535}), false, 1.0f},
        {"one pixel", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), rocket, true, 1.0f},
        {"colours on a line", line, rocket, false, 1.0f},
    };
    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        engineSettings().useOpenCL = engineSettings().taskUseOpenCL = openCL;
        for (const auto &c : cases) {
            engineSettings().amdGpu = openCL && (&c - cases) % 2 == 1;
            SCOPED_TRACE(testing::Message() << c.name << ", OpenCL " << openCL << ", AMD " << engineSettings().amdGpu);
            engineSettings().matchLightness = c.matchLightness;
            const cv::Mat result = matched(fileOf(c.target), fileOf(c.reference), c.strength);
            const bool alpha = c.target.channels() == 2 || c.target.channels() == 4;
            ASSERT_EQ(result.type(), alpha ? CV_8UC4 : CV_8UC3);
            ASSERT_EQ(result.size(), c.target.size());
            if (alpha)
                EXPECT_EQ(cv::norm(alphaOf(result), alphaOf(c.target), cv::NORM_INF), 0.0);
            expectPlainMatch(eightBitColours(result), eightBitColours(c.target), eightBitColours(c.reference),
                             c.matchLightness, c.strength, {visiblePixels(c.target), visiblePixels(c.reference)});
        }
    }
}

// The engine decodes JPEG, PNG, PFM and PAM itself: each kind of file gives
// OpenCV's pixels (PFM without a temporary file: none can be made here), or
// Netpbm's where OpenCV reads PAM otherwise, and what is broken is refused.
TEST(ImageIntake, EachKindOfFileGivesTheReadersPixels)
{
    const cv::Mat photo = sample("chelsea.png");
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
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
    const auto pfm = [](char kind, int width, int height, const char *scale, std::vector<float> samples,
                        bool bigEndian) {
        QByteArray data(reinterpret_cast<const char *>(samples.data()), int(samples.size() * sizeof(float)));
        if (bigEndian)
            for (int i = 0; i < data.size(); i += 4)
                std::reverse(data.begin() + i, data.begin() + i + 4);
        return QStringLiteral("P%1\n%2 %3\n%4\n").arg(kind).arg(width).arg(height).arg(scale).toLatin1() + data;
    };
    const auto pam = [](int width, int depth, int largest, const char *tupleType, const QByteArray &samples) {
        QByteArray header =
            QStringLiteral("P7\nWIDTH %1\nHEIGHT 1\nDEPTH %2\nMAXVAL %3\n").arg(width).arg(depth).arg(largest).toLatin1();
        if (*tupleType)
            header += QByteArray("TUPLTYPE ") + tupleType + "\n";
        return header + "ENDHDR\n" + samples;
    };
    const auto pixel = [](int type, const cv::Scalar &value) { return cv::Mat(1, 1, type, value); };
    const std::vector<float> six{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    const struct {
        const char *name;
        QByteArray file;
        cv::Mat expected; // OpenCV's pixels unless given
        bool accepted = true;
    } cases[] = {
        {"JPEG 4:2:0", encoded(photo, ".jpg")},
        {"progressive JPEG", encoded(photo, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1, cv::IMWRITE_JPEG_QUALITY, 80})},
        {"grey JPEG", encoded(grey, ".jpg")},
        {"PNG RGB, a transparent colour", png(PNG_COLOR_TYPE_RGB, 8, true, false)},
        {"PNG RGBA, interlaced", png(PNG_COLOR_TYPE_RGBA, 8, false, true)},
        {"PNG RGBA, 16 bits", png(PNG_COLOR_TYPE_RGBA, 16, false, false)},
        {"PNG grey, 2 bits, a transparent level", png(PNG_COLOR_TYPE_GRAY, 2, true, false)},
        {"PNG grey, 1 bit, interlaced", png(PNG_COLOR_TYPE_GRAY, 1, false, true)},
        {"PNG grey with alpha", png(PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false)},
        {"PNG grey with alpha, 16 bits", png(PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, false)},
        {"PNG palette", png(PNG_COLOR_TYPE_PALETTE, 8, false, false)},
        {"PNG palette of 4 bits, some transparent", png(PNG_COLOR_TYPE_PALETTE, 4, true, false)},
        {"PFM colour, little-endian", pfm('F', 2, 1, "-1.0", six, false)},
        {"PFM colour, big-endian, scale 2", pfm('F', 1, 2, "2", six, true)},
        {"PFM grey, three rows", pfm('f', 2, 3, "-0.5", {0.1f, 0.2f, 0.3f, 0.4f, 0.45f, 0.0f}, false)},
        {"PFM cut short", pfm('F', 2, 1, "-1.0", {0.1f, 0.2f, 0.3f}, false), {}, false},
        {"PFM of scale 0", pfm('f', 1, 1, "0", {0.1f}, false), {}, false},
        {"PAM RGB", pam(1, 3, 255, "RGB", QByteArray("\xff\x00\x10", 3)), pixel(CV_8UC3, {16, 0, 255})},
        {"PAM of DEPTH 4 without a tuple type", pam(1, 4, 255, "", QByteArray("\xff\x00\x10\x80", 4)),
         pixel(CV_8UC4, {16, 0, 255, 128})},
        {"PAM RGB_ALPHA", pam(1, 4, 255, "RGB_ALPHA", "\x01\x02\x03\x04"), pixel(CV_8UC4, {3, 2, 1, 4})},
        {"PAM GRAYSCALE_ALPHA", pam(1, 2, 255, "GRAYSCALE_ALPHA", "\x40\x80"), pixel(CV_8UC2, {64, 128})},
        {"PAM BLACKANDWHITE", pam(2, 1, 1, "BLACKANDWHITE", QByteArray("\x01\x00", 2)), (cv::Mat_<uchar>(1, 2) << 255, 0)},
        {"PAM of MAXVAL 100", pam(1, 3, 100, "RGB", QByteArray("\x64\x32\x00", 3)), pixel(CV_8UC3, {0, 128, 255})},
        {"PAM of MAXVAL 1000, 16 bits", pam(1, 1, 1000, "GRAYSCALE", "\x01\xf4"), pixel(CV_16UC1, {32768})},
        {"PAM cut short", pam(2, 3, 255, "RGB", "\x01\x02\x03\x04"), {}, false},
        {"PAM RGB of DEPTH 1", pam(1, 1, 255, "RGB", "\x01"), {}, false},
    };
    const QByteArray temporary = qgetenv("OPENCV_TEMP_PATH");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat expected = c.accepted && c.expected.empty() ? decodeBytes(c.file, cv::IMREAD_UNCHANGED) : c.expected;
        qputenv("OPENCV_TEMP_PATH", "/nonexistent/folder");
        if (c.accepted) {
            const cv::Mat decoded = decodeImageBytes(c.file, "target").getMat(cv::ACCESS_READ).clone();
            ASSERT_EQ(decoded.type(), expected.type());
            EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
        } else {
            EXPECT_THROW(decodeImageBytes(c.file, "target"), EngineError);
        }
        qputenv("OPENCV_TEMP_PATH", temporary);
    }
}

// The engine's own Lab conversions against OpenCV's over every 8-bit colour and
// every 8-bit Lab code: the kept lightness and the finished colours depend on
// them being the same to the bit.
TEST(LabConversion, EqualsOpenCVsForAllSixteenMillionCodes)
{
    cv::Mat codes(4096, 4096, CV_8UC3);
    for (int i = 0; i < 1 << 24; ++i) {
        uchar *code = codes.ptr<uchar>(i >> 12) + (i & 4095) * 3;
        code[0] = uchar(i);
        code[1] = uchar(i >> 8);
        code[2] = uchar(i >> 16);
    }
    cv::Mat expected;
    cv::cvtColor(codes, expected, cv::COLOR_BGR2Lab);
    EXPECT_EQ(cv::norm(bgrToLab(codes), expected, cv::NORM_INF), 0) << "B, G, R to Lab";
    cv::cvtColor(codes, expected, cv::COLOR_Lab2BGR);
    EXPECT_EQ(cv::norm(labToBgr(codes), expected, cv::NORM_INF), 0) << "Lab to B, G, R";
}

// A near-uniform target's spread is mostly noise: with a gain limit of 2 no
// colour direction is stretched more than twice, so the noise at most doubles
// (plus rounding) and, capped rather than flattened, does double, where the
// full transfer multiplies it many times.
TEST(MatchColors, AGainLimitCapsTheStretchOfANearUniformTarget)
{
    SettingsGuard guard;
    cv::Mat flat(400, 600, CV_8UC3, cv::Scalar(200, 120, 60));
    cv::Mat noise(flat.size(), CV_32FC3);
    cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0.0, 1.2);
    cv::Mat target;
    cv::add(flat, noise, target, cv::noArray(), CV_8UC3);
    cv::Scalar mean, targetSpread, resultSpread;
    cv::meanStdDev(target, mean, targetSpread);
    for (const double limit : {0.0, 2.0}) {
        SCOPED_TRACE(limit);
        engineSettings().gainLimit = limit;
        engineSettings().matchLightness = true; // the whole stretch shows in every channel
        const cv::Mat result = matched(encoded(target), readFileBytes(samplePath(QStringLiteral("chelsea.png"))), 1.0f);
        cv::meanStdDev(result, mean, resultSpread);
        double largest = 0;
        for (int c = 0; c < 3; ++c)
            largest = std::max(largest, resultSpread[c] / targetSpread[c]);
        if (limit > 0) {
            // Capped, not flattened: the largest stretch is the limit itself.
            EXPECT_LE(largest, limit + 0.3) << "the noise grew " << largest << " times";
            EXPECT_GE(largest, limit - 0.3) << "the noise grew " << largest << " times";
        }
        else
            EXPECT_GT(largest, 5.0) << "without a limit the transfer stretches the noise";
    }
}

namespace {

// The colours as the deep computation takes them: double, 0 to 1.
cv::Mat unitColours(const cv::Mat &image)
{
    return colourPlanes(image, CV_64F,
                        image.depth() == CV_16U ? 1.0 / 65535.0 : image.depth() == CV_8U ? 1.0 / 255.0 : 1.0);
}

// The largest difference between neighbouring pixels, across and down, of any channel.
double largestNeighbourStep(const cv::Mat &image)
{
    cv::Mat samples;
    image.convertTo(samples, CV_32F);
    samples = samples.reshape(1, image.rows);
    const int c = image.channels();
    const double across = cv::norm(samples.colRange(c, samples.cols), samples.colRange(0, samples.cols - c), cv::NORM_INF);
    const double down = cv::norm(samples.rowRange(1, samples.rows), samples.rowRange(0, samples.rows - 1), cv::NORM_INF);
    return std::max(across, down);
}

// A smooth 16-bit sky: blue to pale towards the horizon, brighter to the right,
// thousands of levels a channel.
cv::Mat skyGradient(int width, int height)
{
    cv::Mat sky(height, width, CV_16UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double down = double(y) / (height - 1), across = double(x) / (width - 1);
            sky.at<cv::Vec3w>(y, x) = cv::Vec3w(ushort(52000 + 9000 * across - 6000 * down),
                                                ushort(30000 + 8000 * across + 12000 * down),
                                                ushort(14000 + 6000 * across + 22000 * down));
        }
    return sky;
}

} // namespace

// With depth 16 the result is the computation in double from the decoded
// samples, to 1/1024 of full scale for at least 99.9 % of the samples: 16-bit,
// 8-bit and float targets, alpha, grey, lightness matched, blends. A smooth
// 16-bit sky stays smooth: no neighbouring pixels a whole 8-bit level (257)
// apart, as the 8-bit computation's steps are wherever the colour changes.
TEST(MatchColors, DeepAgreesWithThePlainComputationInDouble)
{
    SettingsGuard guard;
    engineSettings().depth = 16;
    engineSettings().resultBits = 16;
    const cv::Mat chelsea = sample("chelsea.png", 0.5);
    const cv::Mat rocket = sample("rocket.jpg", 0.5);
    const cv::Mat coffee = sample("coffee.png", 0.5);
    // 16-bit photographs with levels between the 8-bit ones.
    const auto deepened = [](const cv::Mat &image) {
        cv::Mat deep;
        image.convertTo(deep, CV_16U, 257.0, 60.0);
        cv::GaussianBlur(deep, deep, cv::Size(3, 3), 0.8);
        return deep;
    };
    cv::Mat deepAlpha = withAlphaGradient(chelsea), floatTarget, deepGrey;
    deepAlpha.convertTo(deepAlpha, CV_16U, 257.0);
    deepAlpha = withHiddenPart(deepAlpha, 0.3, {0, 65535, 0});
    deepened(coffee).convertTo(floatTarget, CV_32F, 1.0 / 65535.0);
    cv::cvtColor(deepened(rocket), deepGrey, cv::COLOR_BGR2GRAY);
    const QByteArray pfm = encoded(floatTarget, ".pfm");
    const struct {
        const char *name;
        QByteArray target;
        cv::Mat reference;
        bool matchLightness;
        float strength;
        bool smooth = false;
    } cases[] = {
        {"16-bit photograph", encoded(deepened(chelsea)), rocket, false, 1.0f},
        {"16-bit, lightness matched, half strength", encoded(deepened(rocket)), deepened(coffee), true, 0.5f},
        {"16-bit with alpha, hidden parts", encoded(deepAlpha), rocket, false, 0.7f},
        {"16-bit grey", encoded(deepGrey), chelsea, false, 1.0f},
        {"8-bit target", encoded(coffee), rocket, false, 1.0f},
        {"float target", pfm, chelsea, false, 1.0f},
        {"a smooth sky", encoded(skyGradient(2000, 600)), rocket, false, 1.0f, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        engineSettings().matchLightness = c.matchLightness;
        const cv::Mat result = matched(c.target, encoded(c.reference), c.strength);
        const cv::Mat target = decodeBytes(c.target, cv::IMREAD_UNCHANGED);
        const bool alpha = target.channels() == 2 || target.channels() == 4;
        ASSERT_EQ(result.type(), alpha ? CV_16UC4 : CV_16UC3);
        ASSERT_EQ(result.size(), target.size());
        if (alpha)
            EXPECT_EQ(cv::norm(alphaOf(result), alphaOf(target), cv::NORM_INF), 0.0);
        const cv::Mat expected = deepPlainMatch(unitColours(target), unitColours(c.reference), c.matchLightness,
                                                c.strength, {visiblePixels(target), cv::Mat()});
        const DeepAgreement agreement = deepAgreement(colourPlanes(result, CV_16U), expected);
        std::printf("%-45s within 1/1024: %.4f %%, largest error %.6f (%.1f of 65535)\n", c.name,
                    100.0 * agreement.withinShare, agreement.largestError, agreement.largestError * 65535.0);
        EXPECT_GE(agreement.withinShare, 0.999);
        if (c.smooth)
            EXPECT_LT(largestNeighbourStep(result), 257.0);
    }
}
