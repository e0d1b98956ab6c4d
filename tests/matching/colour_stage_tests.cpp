// The 8-bit colour stage that matchColors runs (integer moments, the transfer
// evaluated once per distinct colour, the finishing on the palette) against
// the straightforward pixel-matrix stage and whole-image finishing it replaces;
// that stage is checked against the plain double computation in transfer_tests.
#include "matching/matching.h"

#include "lut/lut.h"
#include "matching_test_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

using namespace matching_test;

namespace {

// Sensor noise makes codecs and the colour index work as on real photographs.
cv::Mat withNoise(const cv::Mat &image, uint64 seed)
{
    cv::Mat noise(image.size(), CV_16SC3), noisy;
    cv::RNG(seed).fill(noise, cv::RNG::NORMAL, 0, 3);
    cv::add(image, noise, noisy, cv::noArray(), CV_8U);
    return noisy;
}

cv::Mat withAlpha(const cv::Mat &bgr)
{
    cv::Mat bgra;
    cv::merge(std::vector<cv::Mat>{bgr, randomImage(bgr.rows, bgr.cols, CV_8UC1, 256, 11)}, bgra);
    return bgra;
}

cv::Mat colourPlanes(const cv::Mat &image)
{
    cv::Mat bgr = image;
    if (image.channels() == 4)
        cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

// The mapped 8-bit colours as matchColors makes them: moments from integer
// sums, each distinct colour mapped once, then spread over the image.
cv::Mat stageMapped8(const cv::Mat &target8, const cv::Mat &reference8)
{
    testing::internal::CaptureStderr(); // the stage's progress codes
    TransferInputs inputs = momentsForTransfer(target8, reference8);
    const ColourTransfer transfer = colourTransferOf(inputs);
    testing::internal::GetCapturedStderr();
    const ColourIndex index = indexColours(target8);
    cv::Mat mapped8;
    mapColours(index.palette, transfer).convertTo(mapped8, CV_8U, 256.0);
    return gatherColours(index, target8, mapped8);
}

// The same through the straightforward pixel-matrix stage.
cv::Mat pixelMatrixMapped8(const cv::Mat &target8, const cv::Mat &reference8)
{
    testing::internal::CaptureStderr();
    TransferInputs inputs = centreForTransfer(toWorkingScale(colourPlanes(target8).getUMat(cv::ACCESS_READ)),
                                              toWorkingScale(reference8.getUMat(cv::ACCESS_READ)));
    const cv::Mat mapped = hostCopy(toEightBit(linearColourTransfer(inputs)));
    testing::internal::GetCapturedStderr();
    return mapped;
}

double equalShare(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    return 1.0 - double(cv::countNonZero(difference.reshape(1))) / double(difference.total() * difference.channels());
}

// The whole conductor in its plain form: every image through the pixel-matrix
// stage and the whole-image finishing, in the order of matchColors.
cv::Mat straightforwardMatch(const cv::UMat &decodedTarget, const QByteArray &referenceBytes, float strength)
{
    testing::internal::CaptureStderr();
    bool targetHadAlpha = false;
    const cv::UMat target = dropTargetAlpha(decodedTarget, targetHadAlpha);
    const cv::UMat target8 = toEightBit(toWorkingScale(target));
    const cv::UMat reference8 =
        toEightBit(toWorkingScale(normaliseReference(decodeImageBytes(referenceBytes, "reference"))));
    TransferInputs inputs = centreForTransfer(toWorkingScale(target8), toWorkingScale(reference8));
    cv::UMat result = toEightBit(linearColourTransfer(inputs));
    cv::UMat resultLab = labOf(result);
    restoreLightness(resultLab, labOf(target8));
    cv::cvtColor(resultLab, result, cv::COLOR_Lab2RGB);
    if (strength < 1.0f)
        blendWithUnmatched(result, target, strength);
    if (targetHadAlpha)
        result = restoreAlpha(result, decodedTarget);
    testing::internal::GetCapturedStderr();
    return hostCopy(result);
}

cv::Mat matched(const QByteArray &targetBytes, const QByteArray &referenceBytes, bool lutExport, float strength)
{
    QStringList lutFailures;
    testing::internal::CaptureStderr();
    const cv::Mat result = hostCopy(matchColors(targetBytes, referenceBytes, lutExport, strength, lutFailures));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(lutFailures.isEmpty());
    return result;
}

} // namespace

// Single precision moves a mapped colour across a rounding boundary now and
// then (measured: at most 4 samples in 10^5); such a colour is one level off.
// Degenerate images (singular covariances) must go the same way as well.
TEST(EightBitStage, MappedColoursAgreeWithThePixelMatrixStageWithOpenClOffAndOn)
{
    SettingsGuard guard;
    const cv::Mat rocket = loadSample("rocket.jpg", 0.25);
    const cv::Mat coffee = loadSample("coffee.png");
    cv::Mat grey;
    cv::cvtColor(randomImage(9, 13, CV_8UC1, 256, 5), grey, cv::COLOR_GRAY2BGR);
    cv::Mat line(6, 10, CV_8UC3);
    for (int i = 0; i < 60; ++i)
        line.at<cv::Vec3b>(i / 10, i % 10) = {uchar(10 + i), uchar(20 + 2 * i), uchar(30 + 3 * i)};
    const struct {
        const char *name;
        cv::Mat target, reference;
    } cases[] = {
        {"chelsea to rocket", loadSample("chelsea.png"), loadSample("rocket.jpg")},
        {"coffee with alpha to chelsea", withAlpha(coffee), loadSample("chelsea.png")},
        {"inner part of rocket to coffee", loadSample("rocket.jpg")(cv::Rect(40, 30, 300, 200)), coffee},
        {"noisy to noisy", withNoise(coffee, 1), withNoise(loadSample("chelsea.png", 0.5), 2)},
        {"one colour", cv::Mat(7, 5, CV_8UC3, cv::Scalar(40, 170, 90)), rocket},
        {"one pixel", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), rocket},
        {"grey target", grey, rocket},
        {"colours on a line", line, rocket},
        {"grey reference", rocket, grey},
    };
    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCLEverywhere(openCL);
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", OpenCL " << openCL);
            const cv::Mat mapped = stageMapped8(c.target, c.reference);
            ASSERT_EQ(mapped.type(), CV_8UC3);
            ASSERT_EQ(mapped.size(), c.target.size());
            const cv::Mat straightforward = pixelMatrixMapped8(c.target, c.reference);
            EXPECT_GE(equalShare(mapped, straightforward), 0.999);
            EXPECT_LE(maxAbsDifference(mapped, straightforward), 1.0);
        }
        // The same image on both sides maps every colour to itself.
        EXPECT_EQ(maxAbsDifference(stageMapped8(rocket, rocket), rocket), 0.0);
    }
}

// Spreading the palette itself back must give every pixel its own colour.
TEST(ColourIndex, FindsEveryColourAgain)
{
    cv::Mat extremes(2, 2, CV_8UC3, cv::Scalar(0, 0, 0));
    extremes.at<cv::Vec3b>(0, 1) = {255, 255, 255};
    extremes.at<cv::Vec3b>(1, 0) = {255, 0, 128};
    const cv::Mat photo = withNoise(loadSample("coffee.png", 0.25), 4);
    const cv::Mat cases[] = {photo, withAlpha(photo), photo(cv::Rect(3, 5, 70, 40)), extremes,
                             cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), randomImage(64, 64, CV_8UC3, 256, 6),
                             withAlpha(cv::Mat(4, 60, CV_8UC3, cv::Scalar(9, 8, 7)))};
    for (const cv::Mat &image : cases) {
        SCOPED_TRACE(testing::Message() << image.cols << "x" << image.rows << "x" << image.channels());
        const ColourIndex index = indexColours(image);
        EXPECT_EQ(maxAbsDifference(gatherColours(index, image, index.palette), colourPlanes(image)), 0.0);
    }
}

// matchColors against its plain form: a colour one level off after the
// transfer can come out of the Lab finishing several levels off, so only the
// share of equal samples is bounded.
TEST(MatchColors, AgreesWithTheStraightforwardPipelineWithAndWithoutLutExport)
{
    SettingsGuard guard;
    engineSettings().useOpenCL = false;
    useOpenCLEverywhere(false);
    cv::Mat deep;
    withNoise(loadSample("coffee.png", 0.4), 7).convertTo(deep, CV_16U, 257.0, 100.0);
    const struct {
        const char *name;
        cv::Mat target, reference;
        bool matchLightness;
        float strength;
    } cases[] = {
        {"chelsea to rocket", loadSample("chelsea.png"), loadSample("rocket.jpg"), false, 1.0f},
        {"coffee with alpha to chelsea", withAlpha(loadSample("coffee.png")), loadSample("chelsea.png"), false, 0.6f},
        {"rocket to coffee, lightness matched", loadSample("rocket.jpg"), loadSample("coffee.png"), true, 1.0f},
        {"noisy to rocket, extrapolated", withNoise(loadSample("chelsea.png"), 8), loadSample("rocket.jpg", 0.5),
         false, -0.5f},
        {"16-bit to chelsea", deep, loadSample("chelsea.png", 0.5), false, 0.5f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        engineSettings().matchLightness = c.matchLightness;
        const QByteArray targetBytes = testing_support::encodePng(c.target);
        const QByteArray referenceBytes = testing_support::encodePng(c.reference);
        const cv::Mat result = matched(targetBytes, referenceBytes, false, c.strength);
        const cv::Mat plain = straightforwardMatch(decodeImageBytes(targetBytes, "target"), referenceBytes, c.strength);
        ASSERT_EQ(result.type(), plain.type());
        ASSERT_EQ(result.size(), plain.size());
        EXPECT_GE(equalShare(result, plain), 0.999);
    }

    // With LUT export only the lattice block is finished; it must come out as
    // the block of the whole stacked image finished the plain way.
    QTemporaryDir dir;
    engineSettings().matchLightness = false;
    engineSettings().lutBasePath = dir.filePath(QStringLiteral("look"));
    engineSettings().lutSize = 17;
    const QByteArray targetBytes = testing_support::encodePng(withAlpha(loadSample("chelsea.png", 0.5)));
    const QByteArray referenceBytes = testing_support::encodePng(loadSample("rocket.jpg", 0.5));
    matched(targetBytes, referenceBytes, true, 1.0f);
    const cv::Mat written = cv::imread(dir.filePath(QStringLiteral("look_unwrapped.png")).toStdString());
    LatticeGeometry geometry;
    const cv::UMat stacked = stackLattice(decodeImageBytes(targetBytes, "target"), geometry);
    const cv::Mat plain = colourPlanes(straightforwardMatch(stacked, referenceBytes, 1.0f));
    const cv::Mat expected = makeUnwrappedImage(extractLattice(plain.getUMat(cv::ACCESS_READ), geometry));
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_GE(equalShare(written, expected), 0.999);
}
