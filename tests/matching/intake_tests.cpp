// Image intake and finishing: decoding checks, channel preparation, the 1/256
// working scale for every sample depth, requantisation, Lab, lightness, the
// strength blend and the alpha plane.
#include "matching/matching.h"

#include "matching_test_support.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using matching_test::maxAbsDifference;
using matching_test::SettingsGuard;

namespace {

QByteArray encoded(const cv::Mat &image, const char *extension)
{
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes))
        throw std::runtime_error("cannot encode test image");
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
}

// Runs `call` and returns the EngineError it throws (status -1 when none).
template <typename Call>
std::pair<int, QString> engineErrorOf(Call call)
{
    try {
        call();
    } catch (const EngineError &error) {
        return {error.status, QString::fromStdString(error.what())};
    }
    return {-1, QString()};
}

cv::Mat randomImage(int rows, int cols, int type, double low, double high, int seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG rng(static_cast<uint64>(seed));
    rng.fill(image, cv::RNG::UNIFORM, low, high);
    return image;
}

cv::Mat plane(const cv::Mat &image, int index)
{
    cv::Mat result;
    cv::extractChannel(image, result, index);
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

TEST(DecodeImageBytes, EmptyAndUndecodableBytesNameTheImageAndTheFault)
{
    const auto empty = engineErrorOf([] { decodeImageBytes(QByteArray(), "target"); });
    EXPECT_EQ(empty.first, exitStatus::dataError);
    EXPECT_TRUE(empty.second.contains(QLatin1String("target"))) << empty.second.toStdString();
    EXPECT_TRUE(empty.second.contains(QLatin1String("empty"))) << empty.second.toStdString();

    const QByteArray garbage(37, 'x');
    const auto undecodable = engineErrorOf([&] { decodeImageBytes(garbage, "reference"); });
    EXPECT_EQ(undecodable.first, exitStatus::dataError);
    EXPECT_TRUE(undecodable.second.contains(QLatin1String("reference"))) << undecodable.second.toStdString();
    EXPECT_TRUE(undecodable.second.contains(QLatin1String("37 bytes"))) << undecodable.second.toStdString();
}

TEST(DecodeImageBytes, RefusesSampleDepthsWithoutAnEightBitScale)
{
    const cv::Mat signedSamples(3, 4, CV_16SC1, cv::Scalar(-5));
    const auto refused = engineErrorOf([&] { decodeImageBytes(encoded(signedSamples, ".tiff"), "target"); });
    EXPECT_EQ(refused.first, exitStatus::dataError);
    EXPECT_TRUE(refused.second.contains(QLatin1String("target"))) << refused.second.toStdString();
    EXPECT_TRUE(refused.second.contains(QLatin1String("16-bit signed"))) << refused.second.toStdString();
}

TEST(DecodeImageBytes, KeepsDepthChannelsAndPixels)
{
    const cv::Mat deep = randomImage(5, 7, CV_16UC4, 0, 65536, 1);
    const cv::UMat decoded = decodeImageBytes(encoded(deep, ".png"), "target");
    ASSERT_EQ(decoded.type(), CV_16UC4);
    EXPECT_EQ(maxAbsDifference(decoded.getMat(cv::ACCESS_READ), deep), 0.0);

    // The decoded pixels stay valid after the request's bytes are gone.
    cv::UMat kept;
    {
        const QByteArray bytes = encoded(randomImage(4, 3, CV_8UC3, 0, 256, 2), ".png");
        kept = decodeImageBytes(bytes, "reference");
    }
    cv::UMat doubled;
    cv::add(kept, kept, doubled);
    EXPECT_EQ(doubled.size(), cv::Size(3, 4));
}

TEST(ChannelPreparation, TargetsOfEveryChannelCountBecomeBgrAndKeepTheirAlpha)
{
    const cv::Mat grey = randomImage(3, 5, CV_8UC1, 0, 256, 3);
    bool hadAlpha = true;
    cv::Mat prepared = dropTargetAlpha(grey.getUMat(cv::ACCESS_READ), hadAlpha).getMat(cv::ACCESS_READ).clone();
    EXPECT_FALSE(hadAlpha);
    ASSERT_EQ(prepared.type(), CV_8UC3);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(maxAbsDifference(plane(prepared, c), grey), 0.0);

    const cv::Mat greyAlpha = randomImage(3, 5, CV_16UC2, 0, 65536, 4);
    prepared = dropTargetAlpha(greyAlpha.getUMat(cv::ACCESS_READ), hadAlpha).getMat(cv::ACCESS_READ).clone();
    EXPECT_TRUE(hadAlpha);
    ASSERT_EQ(prepared.type(), CV_16UC3);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(maxAbsDifference(plane(prepared, c), plane(greyAlpha, 0)), 0.0);

    const cv::Mat bgra = randomImage(3, 5, CV_8UC4, 0, 256, 5);
    prepared = dropTargetAlpha(bgra.getUMat(cv::ACCESS_READ), hadAlpha).getMat(cv::ACCESS_READ).clone();
    EXPECT_TRUE(hadAlpha);
    ASSERT_EQ(prepared.type(), CV_8UC3);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(maxAbsDifference(plane(prepared, c), plane(bgra, c)), 0.0);

    const cv::UMat bgr = randomImage(3, 5, CV_8UC3, 0, 256, 6).getUMat(cv::ACCESS_READ);
    const cv::UMat same = dropTargetAlpha(bgr, hadAlpha);
    EXPECT_FALSE(hadAlpha);
    EXPECT_EQ(same.u, bgr.u);
}

TEST(ChannelPreparation, ReferencesDropTheirAlpha)
{
    const cv::Mat greyAlpha = randomImage(4, 2, CV_8UC2, 0, 256, 7);
    const cv::Mat fromGreyAlpha = normaliseReference(greyAlpha.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(fromGreyAlpha.type(), CV_8UC3);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(maxAbsDifference(plane(fromGreyAlpha, c), plane(greyAlpha, 0)), 0.0);

    const cv::Mat grey = randomImage(4, 2, CV_32FC1, 0, 1, 8);
    const cv::Mat fromGrey = normaliseReference(grey.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(fromGrey.type(), CV_32FC3);
    EXPECT_EQ(maxAbsDifference(plane(fromGrey, 2), grey), 0.0);

    const cv::Mat bgra = randomImage(4, 2, CV_64FC4, 0, 1, 9);
    const cv::Mat fromBgra = normaliseReference(bgra.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(fromBgra.channels(), 3);
    for (int c = 0; c < 3; ++c)
        EXPECT_LT(maxAbsDifference(plane(fromBgra, c), plane(bgra, c)), 1e-6);
}

TEST(WorkingScale, EverySampleDepthLandsOnTheEightBitScaleOverTwoFiftySix)
{
    struct Case {
        int depth;
        double high;
        double toEightBit;
    };
    for (const Case &c : {Case{CV_8U, 256, 1.0}, Case{CV_16U, 65536, 1.0 / 257.0}, Case{CV_32F, 1.0, 255.0},
                          Case{CV_64F, 1.0, 255.0}}) {
        const cv::Mat source = randomImage(6, 4, CV_MAKETYPE(c.depth, 3), 0, c.high, c.depth + 10);
        const cv::Mat working = toWorkingScale(source.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
        ASSERT_EQ(working.type(), CV_32FC3) << "depth " << c.depth;
        cv::Mat source64;
        source.convertTo(source64, CV_64F);
        for (int y = 0; y < source.rows; ++y)
            for (int x = 0; x < source.cols * 3; ++x) {
                const double expected = source64.ptr<double>(y)[x] * c.toEightBit / 256.0;
                EXPECT_NEAR(working.ptr<float>(y)[x], expected, 1e-7) << "depth " << c.depth;
            }
    }
}

TEST(WorkingScale, EightBitFormRoundsHalvesToEvenAndClamps)
{
    const float samples[] = {0.5f / 256, 1.5f / 256, 2.5f / 256, 3.5f / 256, 254.5f / 256, 255.4f / 256,
                             -0.3f,      1.2f,       100.0f / 256, 17.49f / 256, 17.51f / 256, 0.0f};
    const uchar expected[] = {0, 2, 2, 4, 254, 255, 0, 255, 100, 17, 18, 0};
    const cv::Mat working = cv::Mat(1, 12, CV_32FC1, const_cast<float *>(samples)).reshape(3, 1).clone();
    const cv::Mat eightBit = toEightBit(working.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(eightBit.type(), CV_8UC3);
    const cv::Mat flat = eightBit.reshape(1, 1);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(flat.at<uchar>(0, i), expected[i]) << "sample " << samples[i] * 256;
}

TEST(LabOf, TakesTheFirstChannelAsRed)
{
    const cv::Vec3b pixels[] = {{200, 60, 30}, {20, 140, 250}, {90, 200, 120}, {255, 255, 255}, {3, 9, 1}};
    cv::Mat image(1, 5, CV_8UC3);
    for (int i = 0; i < 5; ++i)
        image.at<cv::Vec3b>(0, i) = pixels[i];
    const cv::Mat lab = labOf(image.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(lab.type(), CV_8UC3);
    for (int i = 0; i < 5; ++i) {
        const cv::Vec3d expected = plainEightBitLab(pixels[i][0], pixels[i][1], pixels[i][2]);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(lab.at<cv::Vec3b>(0, i)[c], expected[c], 2.0) << "pixel " << i << " plane " << c;
    }
}

TEST(RestoreLightness, KeepsTheTargetLightnessUnlessMatchingIt)
{
    SettingsGuard guard;
    const cv::Mat resultLab = randomImage(4, 6, CV_8UC3, 0, 256, 20);
    const cv::Mat targetLab = randomImage(4, 6, CV_8UC3, 0, 256, 21);

    engineSettings().matchLightness = false;
    cv::UMat kept = resultLab.getUMat(cv::ACCESS_READ);
    restoreLightness(kept, targetLab.getUMat(cv::ACCESS_READ));
    const cv::Mat keptHost = kept.getMat(cv::ACCESS_READ).clone();
    EXPECT_EQ(maxAbsDifference(plane(keptHost, 0), plane(targetLab, 0)), 0.0);
    EXPECT_EQ(maxAbsDifference(plane(keptHost, 1), plane(resultLab, 1)), 0.0);
    EXPECT_EQ(maxAbsDifference(plane(keptHost, 2), plane(resultLab, 2)), 0.0);

    engineSettings().matchLightness = true;
    cv::UMat matched = resultLab.getUMat(cv::ACCESS_READ);
    restoreLightness(matched, targetLab.getUMat(cv::ACCESS_READ));
    EXPECT_EQ(maxAbsDifference(matched.getMat(cv::ACCESS_READ), resultLab), 0.0);
}

TEST(BlendWithUnmatched, WeightsMatchedAndUnmatchedColoursAndSaturates)
{
    cv::Mat matched = randomImage(5, 8, CV_8UC3, 0, 256, 30);
    cv::Mat unmatched = randomImage(5, 8, CV_8UC3, 0, 256, 31);
    matched.at<cv::Vec3b>(0, 0) = {0, 255, 0};
    unmatched.at<cv::Vec3b>(0, 0) = {255, 0, 255};
    cv::Mat unmatchedDeep;
    unmatched.convertTo(unmatchedDeep, CV_16U, 257.0);

    for (const float strength : {0.25f, -0.5f}) {
        for (const cv::Mat &original : {unmatched, unmatchedDeep}) {
            cv::UMat result;
            matched.copyTo(result);
            blendWithUnmatched(result, original.getUMat(cv::ACCESS_READ), strength);
            const cv::Mat blended = result.getMat(cv::ACCESS_READ).clone();
            ASSERT_EQ(blended.type(), CV_8UC3);
            for (int y = 0; y < matched.rows; ++y)
                for (int x = 0; x < matched.cols * 3; ++x) {
                    const double mix = strength * matched.ptr<uchar>(y)[x] +
                                       (1.0 - strength) * unmatched.ptr<uchar>(y)[x];
                    const double expected = std::min(255.0, std::max(0.0, std::nearbyint(mix)));
                    EXPECT_NEAR(blended.ptr<uchar>(y)[x], expected, 1.0)
                        << "strength " << strength << " depth " << original.depth();
                }
        }
    }
}

TEST(RestoreAlpha, PutsTheDecodedAlphaBackByteForByte)
{
    const cv::Mat result = randomImage(6, 9, CV_8UC3, 0, 256, 40);
    const cv::Mat target = randomImage(6, 9, CV_8UC4, 0, 256, 41);

    testing::internal::CaptureStderr();
    const cv::Mat restored =
        restoreAlpha(result.getUMat(cv::ACCESS_READ), target.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "080\n085\n");
    ASSERT_EQ(restored.type(), CV_8UC4);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(maxAbsDifference(plane(restored, c), plane(result, c)), 0.0);
    EXPECT_EQ(maxAbsDifference(plane(restored, 3), plane(target, 3)), 0.0);
}

TEST(RestoreAlpha, DeepAndGreyAlphaPlanesComeBackInEightBits)
{
    const cv::Mat result = randomImage(3, 4, CV_8UC3, 0, 256, 42);
    const cv::Mat alpha8 = randomImage(3, 4, CV_8UC1, 0, 256, 43);
    cv::Mat alpha16;
    alpha8.convertTo(alpha16, CV_16U, 257.0, 100.0); // within half a level of the 8-bit value
    const cv::Mat grey16 = randomImage(3, 4, CV_16UC1, 0, 65536, 44);
    cv::Mat greyAlpha;
    cv::merge(std::vector<cv::Mat>{grey16, alpha16}, greyAlpha);

    testing::internal::CaptureStderr();
    const cv::Mat restored = restoreAlpha(result.getUMat(cv::ACCESS_READ), greyAlpha.getUMat(cv::ACCESS_READ))
                                 .getMat(cv::ACCESS_READ)
                                 .clone();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(restored.type(), CV_8UC4);
    EXPECT_EQ(maxAbsDifference(plane(restored, 3), alpha8), 0.0);
    EXPECT_EQ(maxAbsDifference(plane(restored, 0), plane(result, 0)), 0.0);
}

TEST(ToEightBitColour, AnyDepthAndChannelCountOnTheIntakeScale)
{
    const cv::Mat grey8 = randomImage(3, 4, CV_8UC1, 0, 256, 50);
    const cv::Mat alpha8 = randomImage(3, 4, CV_8UC1, 0, 256, 51);
    cv::Mat greyAlpha16;
    cv::Mat grey16;
    cv::Mat alpha16;
    grey8.convertTo(grey16, CV_16U, 257.0);
    alpha8.convertTo(alpha16, CV_16U, 257.0);
    cv::merge(std::vector<cv::Mat>{grey16, alpha16}, greyAlpha16);

    const cv::Mat bgra = toEightBitColour(greyAlpha16.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(bgra.type(), CV_8UC4);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(maxAbsDifference(plane(bgra, c), grey8), 0.0);
    EXPECT_EQ(maxAbsDifference(plane(bgra, 3), alpha8), 0.0);

    cv::Mat greyFloat;
    grey8.convertTo(greyFloat, CV_32F, 1.0 / 255.0);
    const cv::Mat bgr = toEightBitColour(greyFloat.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(bgr.type(), CV_8UC3);
    EXPECT_EQ(maxAbsDifference(plane(bgr, 1), grey8), 0.0);
}
