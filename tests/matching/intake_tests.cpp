// Image intake and finishing: decoding checks, channel preparation, the 1/256
// working scale for every sample depth, requantisation, Lab, lightness, the
// strength blend and the alpha plane.
#include "matching/matching.h"

#include "matching_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using namespace matching_test;

namespace {

QByteArray encoded(const cv::Mat &image, const char *extension)
{
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes))
        throw std::runtime_error("cannot encode test image");
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
}

cv::Mat plane(const cv::Mat &image, int index)
{
    cv::Mat result;
    cv::extractChannel(image, result, index);
    return result;
}

cv::Mat merged(const std::vector<cv::Mat> &parts)
{
    cv::Mat result;
    cv::merge(parts, result);
    return result;
}

// CIE Lab of an sRGB colour (D65), in OpenCV's 8-bit encoding.
cv::Vec3d plainEightBitLab(double red, double green, double blue)
{
    auto linear = [](double c) {
        c /= 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const double r = linear(red), g = linear(green), b = linear(blue);
    const double x = (0.412453 * r + 0.357580 * g + 0.180423 * b) / 0.950456;
    const double y = 0.212671 * r + 0.715160 * g + 0.072169 * b;
    const double z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088754;
    auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
    const double lightness = y > 0.008856 ? 116.0 * std::cbrt(y) - 16.0 : 903.3 * y;
    return {lightness * 255.0 / 100.0, 500.0 * (f(x) - f(y)) + 128.0, 200.0 * (f(y) - f(z)) + 128.0};
}

} // namespace

TEST(DecodeImageBytes, KeepsDepthAndChannelsAndNamesTheImageInRefusals)
{
    const cv::Mat deep = randomImage(5, 7, CV_16UC4, 65536, 1);
    const cv::Mat decoded = hostCopy(decodeImageBytes(encoded(deep, ".png"), "target"));
    ASSERT_EQ(decoded.type(), CV_16UC4);
    EXPECT_EQ(maxAbsDifference(decoded, deep), 0.0);

    struct Case {
        QByteArray bytes;
        const char *which, *mentioned;
    };
    const Case cases[] = {
        {QByteArray(), "target", "empty"},
        {QByteArray(37, 'x'), "reference", "37 bytes"},
        {encoded(cv::Mat(3, 4, CV_16SC1, cv::Scalar(-5)), ".tiff"), "target", "16-bit signed"},
    };
    for (const Case &c : cases) {
        try {
            decodeImageBytes(c.bytes, c.which);
            ADD_FAILURE() << "no error for " << c.mentioned;
        } catch (const EngineError &error) {
            const QString message = QString::fromUtf8(error.what());
            EXPECT_EQ(error.status, exitStatus::dataError) << error.what();
            EXPECT_TRUE(message.contains(QLatin1String(c.which)) && message.contains(QLatin1String(c.mentioned)))
                << error.what();
        }
    }
}

// Both sides come out as B, G, R in their own depth (grey planes repeated);
// a target reports its alpha plane (4 channels or grey with alpha).
TEST(ChannelPreparation, EveryChannelCountBecomesBgr)
{
    const std::pair<int, bool> cases[] = {{CV_8UC1, false},  {CV_8UC2, true},   {CV_16UC2, true}, {CV_8UC3, false},
                                          {CV_8UC4, true},   {CV_32FC1, false}, {CV_64FC4, true}};
    for (const auto &[type, hasAlpha] : cases) {
        SCOPED_TRACE(cv::typeToString(type));
        const cv::Mat source = randomImage(3, 5, type, CV_MAT_DEPTH(type) >= CV_32F ? 1 : 256, type);
        bool targetHadAlpha = !hasAlpha;
        const cv::Mat target = hostCopy(dropTargetAlpha(source.getUMat(cv::ACCESS_READ), targetHadAlpha));
        EXPECT_EQ(targetHadAlpha, hasAlpha);
        for (const cv::Mat &prepared : {target, hostCopy(normaliseReference(source.getUMat(cv::ACCESS_READ)))}) {
            ASSERT_EQ(prepared.channels(), 3);
            EXPECT_TRUE(prepared.depth() == source.depth() || source.depth() == CV_64F) << prepared.depth();
            for (int p = 0; p < 3; ++p)
                EXPECT_LT(maxAbsDifference(plane(prepared, p), plane(source, source.channels() < 3 ? 0 : p)), 1e-6);
        }
    }
}

// Samples go to the 8-bit scale first (16-bit v / 257, float v * 255), then / 256.
TEST(WorkingScale, EverySampleDepthLandsOnTheEightBitScaleOverTwoFiftySix)
{
    const std::pair<int, double> fullScales[] = {{CV_8U, 255}, {CV_16U, 65535}, {CV_32F, 1}, {CV_64F, 1}};
    for (const auto &[depth, full] : fullScales) {
        const cv::Mat source = randomImage(6, 4, CV_MAKETYPE(depth, 3), depth < CV_32F ? full + 1 : full, depth);
        const cv::Mat working = hostCopy(toWorkingScale(source.getUMat(cv::ACCESS_READ)));
        ASSERT_EQ(working.type(), CV_32FC3);
        cv::Mat expected;
        source.convertTo(expected, CV_64F, 255.0 / full / 256.0);
        EXPECT_LT(maxAbsDifference(working, expected), 1e-7) << "depth " << depth;
    }
}

TEST(WorkingScale, EightBitFormRoundsHalvesToEvenAndClamps)
{
    float levels[] = {0.5f, 1.5f, 2.5f, 3.5f, 254.5f, 255.4f, -76.8f, 307.2f, 100.0f, 17.49f, 17.51f, 0.0f};
    uchar expected[] = {0, 2, 2, 4, 254, 255, 0, 255, 100, 17, 18, 0};
    const cv::Mat working = cv::Mat(cv::Mat(1, 12, CV_32F, levels) / 256.0).reshape(3, 1);
    const cv::Mat eightBit = hostCopy(toEightBit(working.getUMat(cv::ACCESS_READ)));
    ASSERT_EQ(eightBit.type(), CV_8UC3);
    EXPECT_EQ(maxAbsDifference(eightBit.reshape(1, 1), cv::Mat(1, 12, CV_8U, expected)), 0.0);
}

TEST(LabOf, TakesTheFirstChannelAsRed)
{
    const cv::Mat image = (cv::Mat_<cv::Vec3b>(1, 5) << cv::Vec3b(200, 60, 30), cv::Vec3b(20, 140, 250),
                           cv::Vec3b(90, 200, 120), cv::Vec3b(255, 255, 255), cv::Vec3b(3, 9, 1));
    const cv::Mat lab = hostCopy(labOf(image.getUMat(cv::ACCESS_READ)));
    ASSERT_EQ(lab.type(), CV_8UC3);
    for (int i = 0; i < image.cols; ++i) {
        const cv::Vec3b p = image.at<cv::Vec3b>(0, i);
        const cv::Vec3d expected = plainEightBitLab(p[0], p[1], p[2]);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(lab.at<cv::Vec3b>(0, i)[c], expected[c], 2.0) << "pixel " << i << " plane " << c;
    }
}

TEST(RestoreLightness, KeepsTheTargetLightnessUnlessMatchingIt)
{
    SettingsGuard guard;
    const cv::Mat resultLab = randomImage(4, 6, CV_8UC3, 256, 20);
    const cv::Mat targetLab = randomImage(4, 6, CV_8UC3, 256, 21);
    for (const bool matchLightness : {false, true}) {
        engineSettings().matchLightness = matchLightness;
        cv::UMat lab = resultLab.getUMat(cv::ACCESS_READ);
        restoreLightness(lab, targetLab.getUMat(cv::ACCESS_READ));
        const cv::Mat expected = matchLightness ? resultLab
                                                : merged({plane(targetLab, 0), plane(resultLab, 1), plane(resultLab, 2)});
        EXPECT_EQ(maxAbsDifference(hostCopy(lab), expected), 0.0) << "matchLightness " << matchLightness;
    }
}

// A 16-bit unmatched target takes part on the 8-bit scale.
TEST(BlendWithUnmatched, WeightsMatchedAndUnmatchedColoursAndSaturates)
{
    cv::Mat matched = randomImage(5, 8, CV_8UC3, 256, 30);
    cv::Mat unmatched = randomImage(5, 8, CV_8UC3, 256, 31);
    matched.at<cv::Vec3b>(0, 0) = {0, 255, 0};
    unmatched.at<cv::Vec3b>(0, 0) = {255, 0, 255};
    cv::Mat matched64, unmatched64, unmatchedDeep;
    matched.convertTo(matched64, CV_64F);
    unmatched.convertTo(unmatched64, CV_64F);
    unmatched.convertTo(unmatchedDeep, CV_16U, 257.0);

    for (const float strength : {0.25f, -0.5f})
        for (const cv::Mat &original : {unmatched, unmatchedDeep}) {
            cv::UMat result;
            matched.copyTo(result);
            blendWithUnmatched(result, original.getUMat(cv::ACCESS_READ), strength);
            const cv::Mat mix = strength * matched64 + (1.0 - strength) * unmatched64;
            const cv::Mat expected = cv::min(cv::max(mix, 0.0), 255.0);
            ASSERT_EQ(result.type(), CV_8UC3);
            EXPECT_LE(maxAbsDifference(result, expected), 1.0)
                << "strength " << strength << " depth " << original.depth();
        }
}

// The alpha plane of a 4-channel or a 16-bit grey-with-alpha target, in 8 bits.
TEST(RestoreAlpha, PutsTheDecodedAlphaBackInEightBits)
{
    const cv::Mat result = randomImage(6, 9, CV_8UC3, 256, 40);
    const cv::Mat alpha8 = randomImage(6, 9, CV_8UC1, 256, 41);
    cv::Mat alpha16;
    alpha8.convertTo(alpha16, CV_16U, 257.0, 100.0); // within half a level of the 8-bit value
    const cv::Mat expected = merged({result, alpha8});
    for (const cv::Mat &target : {merged({randomImage(6, 9, CV_8UC3, 256, 42), alpha8}),
                                  merged({randomImage(6, 9, CV_16UC1, 65536, 43), alpha16})}) {
        testing::internal::CaptureStderr();
        const cv::Mat restored = hostCopy(restoreAlpha(result.getUMat(cv::ACCESS_READ), target.getUMat(cv::ACCESS_READ)));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "080\n085\n");
        ASSERT_EQ(restored.type(), CV_8UC4);
        EXPECT_EQ(maxAbsDifference(restored, expected), 0.0) << "target depth " << target.depth();
    }
}

// What the LUT export stacks: 8-bit B, G, R (A) on the intake scale.
TEST(ToEightBitColour, AnyDepthAndChannelCountOnTheIntakeScale)
{
    const cv::Mat grey8 = randomImage(3, 4, CV_8UC1, 256, 50);
    const cv::Mat alpha8 = randomImage(3, 4, CV_8UC1, 256, 51);
    cv::Mat grey16, alpha16, greyFloat;
    grey8.convertTo(grey16, CV_16U, 257.0);
    alpha8.convertTo(alpha16, CV_16U, 257.0);
    grey8.convertTo(greyFloat, CV_32F, 1.0 / 255.0);
    const std::pair<cv::Mat, cv::Mat> cases[] = {{merged({grey16, alpha16}), merged({grey8, grey8, grey8, alpha8})},
                                                 {greyFloat, merged({grey8, grey8, grey8})}};
    for (const auto &[source, expected] : cases) {
        const cv::Mat converted = hostCopy(toEightBitColour(source.getUMat(cv::ACCESS_READ)));
        ASSERT_EQ(converted.type(), expected.type());
        EXPECT_EQ(maxAbsDifference(converted, expected), 0.0);
    }
}
