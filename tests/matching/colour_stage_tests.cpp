// The 8-bit colour stage that matchColors runs (integer moments, the transfer
// evaluated once per distinct colour, the finishing on the palette) against the
// plain double-precision computation of support/reference_match, and against
// the pixel-matrix stage and whole-image finishing that it replaces.
#include "matching/matching.h"

#include "lut/lut.h"
#include "matching_test_support.h"
#include "support/reference_match.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

using namespace matching_test;

namespace {

// A small photograph-like image: gradients, soft shapes and sensor noise.
cv::Mat noisyPhotograph(int rows, int cols, uint64 seed)
{
    cv::RNG rng(seed);
    cv::Mat coarse(3, 4, CV_8UC3);
    rng.fill(coarse, cv::RNG::UNIFORM, 30, 230);
    cv::Mat image;
    cv::resize(coarse, image, cv::Size(cols, rows), 0, 0, cv::INTER_CUBIC);
    for (int i = 0; i < 12; ++i)
        cv::circle(image, cv::Point(rng.uniform(0, cols), rng.uniform(0, rows)), rng.uniform(5, rows / 3),
                   cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)), cv::FILLED,
                   cv::LINE_AA);
    cv::GaussianBlur(image, image, cv::Size(0, 0), 1.5);
    cv::Mat noise(image.size(), CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 3);
    cv::Mat noisy;
    cv::add(image, noise, noisy, cv::noArray(), CV_8U);
    return noisy;
}

cv::Mat withAlphaGradient(const cv::Mat &bgr)
{
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    for (int y = 0; y < bgra.rows; ++y)
        for (int x = 0; x < bgra.cols; ++x)
            bgra.at<cv::Vec4b>(y, x)[3] = uchar((x * 7 + y * 3) % 256);
    return bgra;
}

cv::Mat colourPlanes(const cv::Mat &image)
{
    if (image.channels() == 3)
        return image;
    cv::Mat bgr;
    cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

struct Pair {
    const char *name;
    cv::Mat target, reference;
};

std::vector<Pair> photographPairs()
{
    return {
        {"chelsea to rocket", loadSample("chelsea.png"), loadSample("rocket.jpg")},
        {"coffee to chelsea", loadSample("coffee.png"), loadSample("chelsea.png")},
        {"rocket to coffee", loadSample("rocket.jpg"), loadSample("coffee.png", 0.5)},
        {"noisy to noisy", noisyPhotograph(240, 320, 1), noisyPhotograph(200, 300, 2)},
    };
}

ColourTransfer transferOf(const cv::Mat &target8, const cv::Mat &reference8)
{
    testing::internal::CaptureStderr(); // the stage's progress codes
    TransferInputs inputs = momentsForTransfer(target8, reference8);
    const ColourTransfer transfer = colourTransferOf(inputs);
    testing::internal::GetCapturedStderr();
    return transfer;
}

// The mapped 8-bit colours as matchColors makes them: each distinct colour
// mapped once, then spread over the image.
cv::Mat stageMapped8(const cv::Mat &target8, const cv::Mat &reference8)
{
    const ColourTransfer transfer = transferOf(target8, reference8);
    const ColourIndex index = indexColours(target8);
    cv::Mat mapped8;
    mapColours(index.palette, transfer).convertTo(mapped8, CV_8U, 256.0);
    return gatherColours(index, target8, mapped8);
}

// The same through the pixel-matrix stage.
cv::Mat pixelMatrixMapped8(const cv::Mat &target8, const cv::Mat &reference8)
{
    testing::internal::CaptureStderr();
    TransferInputs inputs = centreForTransfer(toWorkingScale(target8.getUMat(cv::ACCESS_READ)),
                                              toWorkingScale(reference8.getUMat(cv::ACCESS_READ)));
    const cv::Mat mapped = hostCopy(toEightBit(linearColourTransfer(inputs)));
    testing::internal::GetCapturedStderr();
    return mapped;
}

struct Agreement {
    double equalShare = 0;
    double largest = 0;
};

Agreement agreement(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Mat flat = difference.reshape(1);
    return {1.0 - double(cv::countNonZero(flat)) / double(flat.total()), cv::norm(flat, cv::NORM_INF)};
}

// The whole conductor in its plain form: every image through the pixel-matrix
// stage and the whole-image finishing, in the order of matchColors.
cv::Mat straightforwardMatch(const cv::UMat &decodedTarget, const QByteArray &referenceBytes, float strength)
{
    testing::internal::CaptureStderr();
    bool targetHadAlpha = false;
    const cv::UMat target = dropTargetAlpha(decodedTarget, targetHadAlpha);
    const cv::UMat unmatched = target.clone();
    cv::UMat workingTarget = toWorkingScale(target);
    cv::UMat workingReference = toWorkingScale(normaliseReference(decodeImageBytes(referenceBytes, "reference")));
    const cv::UMat target8 = toEightBit(workingTarget);
    const cv::UMat targetLab = labOf(target8);
    const cv::UMat reference8 = toEightBit(workingReference);
    workingTarget = toWorkingScale(target8);
    workingReference = toWorkingScale(reference8);
    TransferInputs inputs = centreForTransfer(workingTarget, workingReference);
    cv::UMat result = toEightBit(linearColourTransfer(inputs));
    cv::UMat resultLab = labOf(result);
    restoreLightness(resultLab, targetLab);
    cv::cvtColor(resultLab, result, cv::COLOR_Lab2RGB);
    if (strength < 1.0f)
        blendWithUnmatched(result, unmatched, strength);
    if (targetHadAlpha)
        result = restoreAlpha(result, decodedTarget);
    testing::internal::GetCapturedStderr();
    return hostCopy(result);
}

class EightBitStage : public testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam() && !cv::ocl::haveOpenCL())
            GTEST_SKIP() << "no OpenCL device";
        useOpenCLEverywhere(GetParam());
    }
    SettingsGuard guard_;
};

} // namespace

// Single precision moves a mapped colour across a rounding boundary now and
// then (measured: at most 4 samples in 10^5); such a colour is one level off.
TEST_P(EightBitStage, MappedColoursAgreeWithThePlainComputationOnPhotographs)
{
    for (const Pair &pair : photographPairs()) {
        SCOPED_TRACE(pair.name);
        const cv::Mat mapped = stageMapped8(pair.target, pair.reference);
        ASSERT_EQ(mapped.type(), CV_8UC3);
        ASSERT_EQ(mapped.size(), pair.target.size());
        const Agreement plain = agreement(mapped, testing_support::referenceMapped(pair.target, pair.reference));
        EXPECT_GE(plain.equalShare, 0.999);
        EXPECT_LE(plain.largest, 1.0);
        const Agreement pixelMatrix = agreement(mapped, pixelMatrixMapped8(pair.target, pair.reference));
        EXPECT_GE(pixelMatrix.equalShare, 0.999);
        EXPECT_LE(pixelMatrix.largest, 1.0);
    }
}

// One colour, one pixel, grey, colours on a line, and the same image on both
// sides (the identity): singular covariances go the plain computation's way.
// The float root of a grey reference's singular covariance keeps the square
// root of its rounding noise, up to a quarter of a level (as the pixel-matrix
// stage does): there only the one-level bound holds against the plain values.
TEST_P(EightBitStage, DegenerateImagesMapLikeThePlainComputation)
{
    const cv::Mat rocket = loadSample("rocket.jpg", 0.25);
    cv::Mat grey;
    cv::cvtColor(randomImage(9, 13, CV_8UC1, 256, 5), grey, cv::COLOR_GRAY2BGR);
    cv::Mat line(6, 10, CV_8UC3);
    for (int i = 0; i < 60; ++i)
        line.at<cv::Vec3b>(i / 10, i % 10) = {uchar(10 + i), uchar(20 + 2 * i), uchar(30 + 3 * i)};
    const Pair cases[] = {
        {"one colour", cv::Mat(7, 5, CV_8UC3, cv::Scalar(40, 170, 90)), rocket},
        {"one pixel", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), rocket},
        {"grey target", grey, rocket},
        {"colours on a line", line, rocket},
        {"grey reference", rocket, grey},
        {"same image", rocket, rocket},
    };
    for (const Pair &c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat mapped = stageMapped8(c.target, c.reference);
        const Agreement plain = agreement(mapped, testing_support::referenceMapped(c.target, c.reference));
        if (std::string(c.name) != "grey reference")
            EXPECT_GE(plain.equalShare, 0.999);
        EXPECT_LE(plain.largest, 1.0);
        const Agreement pixelMatrix = agreement(mapped, pixelMatrixMapped8(c.target, c.reference));
        EXPECT_GE(pixelMatrix.equalShare, 0.999);
        EXPECT_LE(pixelMatrix.largest, 1.0);
    }
    EXPECT_EQ(agreement(stageMapped8(rocket, rocket), rocket).largest, 0.0);
}

INSTANTIATE_TEST_SUITE_P(OpenCL, EightBitStage, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) { return info.param ? "On" : "Off"; });

TEST(ColourMoments, GiveThePlainMeanAndCovariance)
{
    const cv::Mat photo = noisyPhotograph(120, 160, 3);
    const cv::Mat bgra = withAlphaGradient(photo);
    const cv::Mat inner = photo(cv::Rect(10, 7, 100, 90)); // rows not contiguous
    const std::pair<cv::Mat, cv::Mat> cases[] = {{photo, photo}, {bgra, photo}, {inner, inner}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first.channels());
        const testing_support::ColourStatistics plain = testing_support::statisticsOf(c.second);
        const ColourMoments moments = colourMomentsOf(c.first);
        ASSERT_EQ(moments.count, static_cast<std::int64_t>(c.second.total()));
        const cv::UMat mean = meanColourOf(moments);
        const cv::Mat covariance = hostCopy(centredGramOf(moments, mean)) / double(moments.count);
        // Means near 0.5 in single precision; covariance entries of order 1e-2.
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(hostCopy(mean).at<cv::Vec3f>(0, 0)[i], plain.mean[i], 1e-7);
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(covariance.at<float>(i, j), plain.covariance[i][j], 1e-8);
        }
    }
}

TEST(ColourIndex, HoldsEachDistinctColourOnceAndFindsItAgain)
{
    cv::Mat extremes(2, 2, CV_8UC3);
    extremes.at<cv::Vec3b>(0, 0) = {0, 0, 0};
    extremes.at<cv::Vec3b>(0, 1) = {255, 255, 255};
    extremes.at<cv::Vec3b>(1, 0) = {255, 0, 128};
    extremes.at<cv::Vec3b>(1, 1) = {0, 0, 0};
    const cv::Mat photo = noisyPhotograph(90, 140, 4);
    cv::Mat twoAlphas = withAlphaGradient(cv::Mat(4, 60, CV_8UC3, cv::Scalar(9, 8, 7))); // one colour
    const cv::Mat cases[] = {photo, withAlphaGradient(photo), photo(cv::Rect(3, 5, 70, 40)), extremes,
                             cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), randomImage(64, 64, CV_8UC3, 256, 6),
                             twoAlphas};
    for (const cv::Mat &image : cases) {
        SCOPED_TRACE(testing::Message() << image.cols << "x" << image.rows << "x" << image.channels());
        std::set<std::uint32_t> distinct;
        for (int y = 0; y < image.rows; ++y)
            for (int x = 0; x < image.cols; ++x) {
                const uchar *p = image.ptr<uchar>(y) + x * image.channels();
                distinct.insert(p[0] | p[1] << 8 | p[2] << 16);
            }

        const ColourIndex index = indexColours(image);
        ASSERT_EQ(index.count, static_cast<int>(distinct.size()));
        ASSERT_EQ(index.palette.type(), CV_8UC3);
        ASSERT_EQ(index.palette.cols, paletteWidth);
        ASSERT_EQ(index.palette.rows, (index.count + paletteWidth - 1) / paletteWidth);
        const cv::Mat entries = index.palette.reshape(3, 1);
        std::set<std::uint32_t> listed;
        for (int i = 0; i < static_cast<int>(entries.total()); ++i) {
            const cv::Vec3b p = entries.at<cv::Vec3b>(0, i);
            if (i < index.count)
                listed.insert(p[0] | p[1] << 8 | p[2] << 16);
            else
                EXPECT_EQ(p, cv::Vec3b(0, 0, 0)) << "entry " << i;
        }
        EXPECT_EQ(listed, distinct);

        // Spreading the palette itself back gives the image's colours.
        EXPECT_EQ(maxAbsDifference(gatherColours(index, image, index.palette), colourPlanes(image)), 0.0);
    }
}

// The finishing done once per colour gives every pixel exactly what the
// whole-image finishing gives it.
TEST(PaletteFinishing, EqualsTheWholeImageFinishingByteForByte)
{
    SettingsGuard guard;
    useOpenCLEverywhere(false);
    const cv::Mat target = loadSample("coffee.png", 0.5);
    const ColourTransfer transfer = transferOf(target, loadSample("rocket.jpg", 0.5));
    const cv::UMat mappedImage = mapColours(target, transfer).getUMat(cv::ACCESS_READ);
    const ColourIndex index = indexColours(target);
    const cv::Mat mappedPalette = mapColours(index.palette, transfer);
    cv::Mat paletteLightness;
    cv::extractChannel(hostCopy(labOf(index.palette.getUMat(cv::ACCESS_READ))), paletteLightness, 0);
    const cv::UMat targetLab = labOf(target.getUMat(cv::ACCESS_READ));

    for (const bool matchLightness : {false, true})
        for (const float strength : {1.0f, 0.3f, -0.5f}) {
            SCOPED_TRACE(testing::Message() << "matchLightness " << matchLightness << ", strength " << strength);
            engineSettings().matchLightness = matchLightness;
            cv::UMat resultLab = labOf(toEightBit(mappedImage));
            restoreLightness(resultLab, targetLab);
            cv::UMat whole;
            cv::cvtColor(resultLab, whole, cv::COLOR_Lab2RGB);
            if (strength < 1.0f)
                blendWithUnmatched(whole, target.getUMat(cv::ACCESS_READ), strength);

            testing::internal::CaptureStderr();
            const cv::Mat finished = finishPalette(mappedPalette, paletteLightness, index.palette, strength, true);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "077\n078\n");
            EXPECT_EQ(maxAbsDifference(gatherColours(index, target, finished), hostCopy(whole)), 0.0);
        }
}

// matchColors against its plain form and the double-precision computation: a
// colour one level off after the transfer can come out of the Lab finishing
// several levels off, which unexplainedPixels allows for.
TEST(MatchColors, AgreesWithTheStraightforwardPipelineAndThePlainComputation)
{
    SettingsGuard guard;
    engineSettings().useOpenCL = false;
    useOpenCLEverywhere(false);
    cv::Mat deep;
    noisyPhotograph(150, 200, 7).convertTo(deep, CV_16U, 257.0, 100.0);
    struct Case {
        const char *name;
        cv::Mat target, reference;
        bool matchLightness;
        float strength;
    };
    const Case cases[] = {
        {"chelsea to rocket", loadSample("chelsea.png"), loadSample("rocket.jpg"), false, 1.0f},
        {"coffee with alpha to chelsea", withAlphaGradient(loadSample("coffee.png")), loadSample("chelsea.png"),
         false, 0.6f},
        {"rocket to coffee, lightness matched", loadSample("rocket.jpg"), loadSample("coffee.png"), true, 1.0f},
        {"noisy to rocket, extrapolated", noisyPhotograph(200, 260, 8), loadSample("rocket.jpg", 0.5), false,
         -0.5f},
        {"16-bit to chelsea", deep, loadSample("chelsea.png", 0.5), false, 0.5f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        engineSettings().matchLightness = c.matchLightness;
        const QByteArray targetBytes = testing_support::encodePng(c.target);
        const QByteArray referenceBytes = testing_support::encodePng(c.reference);
        QStringList lutFailures;
        testing::internal::CaptureStderr();
        const cv::Mat result = hostCopy(matchColors(targetBytes, referenceBytes, false, c.strength, lutFailures));
        testing::internal::GetCapturedStderr();
        const cv::Mat plain = straightforwardMatch(decodeImageBytes(targetBytes, "target"), referenceBytes, c.strength);
        ASSERT_EQ(result.type(), plain.type());
        ASSERT_EQ(result.size(), plain.size());
        EXPECT_GE(agreement(result, plain).equalShare, 0.999);

        if (c.target.depth() != CV_8U)
            continue;
        const cv::Mat target8 = colourPlanes(c.target);
        const cv::Mat colours = colourPlanes(result);
        EXPECT_GE(agreement(colours, testing_support::referenceMatch(target8, c.reference, c.matchLightness,
                                                                     c.strength))
                      .equalShare,
                  0.999);
        EXPECT_EQ(testing_support::unexplainedPixels(colours, target8, c.reference, c.matchLightness, c.strength, 1.0),
                  0);
        if (c.target.channels() == 4) {
            cv::Mat alpha, targetAlpha;
            cv::extractChannel(result, alpha, 3);
            cv::extractChannel(c.target, targetAlpha, 3);
            EXPECT_EQ(maxAbsDifference(alpha, targetAlpha), 0.0);
        }
    }
}

// With LUT export only the lattice block is finished; it must come out as the
// block of the whole stacked image finished the plain way.
TEST(MatchColors, LutExportFinishesTheLatticeAsTheWholeStackedImage)
{
    SettingsGuard guard;
    engineSettings().useOpenCL = false;
    useOpenCLEverywhere(false);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    engineSettings().lutBasePath = dir.filePath(QStringLiteral("look"));
    engineSettings().lutSize = 17;
    const QByteArray targetBytes = testing_support::encodePng(withAlphaGradient(loadSample("chelsea.png", 0.5)));
    const QByteArray referenceBytes = testing_support::encodePng(loadSample("rocket.jpg", 0.5));

    QStringList lutFailures;
    testing::internal::CaptureStderr();
    const cv::Mat black = hostCopy(matchColors(targetBytes, referenceBytes, true, 1.0f, lutFailures));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(lutFailures.isEmpty());
    ASSERT_EQ(black.size(), cv::Size(10, 10));
    EXPECT_EQ(cv::countNonZero(black.reshape(1)), 0);
    const cv::Mat written =
        cv::imread((engineSettings().lutBasePath + QStringLiteral("_unwrapped.png")).toStdString(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(written.empty());

    LatticeGeometry geometry;
    const cv::UMat stacked = stackLattice(decodeImageBytes(targetBytes, "target"), geometry);
    const cv::Mat plain = straightforwardMatch(stacked, referenceBytes, 1.0f);
    const cv::Mat plainColours = colourPlanes(plain);
    const cv::Mat expected = makeUnwrappedImage(extractLattice(plainColours.getUMat(cv::ACCESS_READ), geometry));
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_GE(agreement(written, expected).equalShare, 0.999);
}
