// The identity lattice, its stacking onto a target and extraction, and the
// unwrapped LUT picture.
#include "lut_test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <utility>

using namespace lut_test;

namespace {

// A made-up colour mapping that tells the named colours apart.
cv::Vec3b madeUpMapping(const cv::Vec3b &bgr)
{
    return cv::Vec3b(bgr[2], uchar(255 - bgr[1]), uchar((bgr[0] + 3 * bgr[2]) / 4));
}

} // namespace

// Level i is the nearest of i * 255 / 4, halves away from zero (127.5 gives 128).
TEST(LatticeStrip, FiveLevelsInLatticeOrderWithAlphaZero)
{
    const cv::Mat five = hostCopy(makeLatticeStrip(5));
    ASSERT_EQ(five.type(), CV_8UC4);
    ASSERT_EQ(five.total(), 125u);
    const uchar levels[] = {0, 64, 128, 191, 255};
    for (int k = 0; k < 125; ++k)
        ASSERT_EQ(five.at<cv::Vec4b>(0, k), cv::Vec4b(levels[k / 25], levels[k / 5 % 5], levels[k % 5], 0)) << k;
}

struct StackCase {
    int width, height, channels, blockRows, copies;
};

class StackLattice : public ::testing::TestWithParam<StackCase> {};

TEST_P(StackLattice, BlockOnTopThenCopiesOfTheTarget)
{
    const StackCase c = GetParam();
    cv::Mat target(c.height, c.width, CV_8UC(c.channels));
    cv::RNG(7).fill(target, cv::RNG::UNIFORM, 0, 256);

    LatticeGeometry geometry;
    const cv::Mat stacked = hostCopy(stackLattice(toUMat(target), geometry));
    EXPECT_EQ(geometry.width, c.width);
    EXPECT_EQ(geometry.blockRows, c.blockRows);
    ASSERT_EQ(stacked.type(), target.type());
    ASSERT_EQ(stacked.size(), cv::Size(c.width, c.blockRows + c.copies * c.height));

    // The block: the 16-level lattice in row-major order, then zero fill
    // (transparent black).
    cv::Mat block = cv::Mat::zeros(1, c.blockRows * c.width, target.type());
    for (int k = 0; k < 4096; ++k)
        for (int channel = 0; channel < 3; ++channel)
            block.ptr<uchar>()[k * c.channels + channel] = identityEntry(k)[channel];
    EXPECT_EQ(cv::norm(stacked.rowRange(0, c.blockRows).clone().reshape(c.channels, 1), block, cv::NORM_INF), 0.0);
    for (int copy = 0; copy < c.copies; ++copy) {
        const int top = c.blockRows + copy * c.height;
        EXPECT_EQ(cv::norm(stacked.rowRange(top, top + c.height), target, cv::NORM_INF), 0.0) << "copy " << copy;
    }
}

INSTANTIATE_TEST_SUITE_P(
    WorkedSizes, StackLattice,
    ::testing::Values(StackCase{1000, 800, 3, 5, 1},   // W not under 1000: one copy, 805 rows
                      StackCase{100, 100, 3, 41, 3},   // two copies are under 5 x 41 rows: 341 rows
                      StackCase{5000, 10, 3, 1, 1},    // 11 rows
                      StackCase{64, 64, 3, 64, 5},     // block 64 x 64 without zero fill, copies reach 320 rows
                      StackCase{4100, 3, 3, 1, 2},     // one block row ending in 4 zero pixels
                      StackCase{100, 100, 4, 41, 3},   // 4 channels: stacked without conversion
                      StackCase{4100, 3, 4, 1, 2}));

class ExtractLattice : public ::testing::TestWithParam<bool> {};

TEST_P(ExtractLattice, RoundTripThroughAStandInPipeline)
{
    const bool wasUsingOpenCL = cv::ocl::useOpenCL();
    cv::ocl::setUseOpenCL(GetParam() && cv::ocl::haveOpenCL());
    for (const int channels : {3, 4}) {
        cv::Mat target(70, 100, CV_8UC(channels));
        cv::RNG(11).fill(target, cv::RNG::UNIFORM, 0, 256);
        LatticeGeometry geometry;
        // The pipeline hands back 8-bit B, G, R of the stacked geometry;
        // inverting every byte stands in for the colour transfer.
        const cv::UMat stacked = stackLattice(toUMat(target), geometry);
        cv::UMat matched = stacked;
        if (channels == 4)
            cv::cvtColor(stacked, matched, cv::COLOR_BGRA2BGR);
        cv::bitwise_not(matched, matched);

        const cv::Mat lattice = hostCopy(extractLattice(matched, geometry));
        ASSERT_EQ(lattice.type(), CV_8UC3);
        ASSERT_EQ(lattice.size(), cv::Size(4096, 1));
        for (int k = 0; k < 4096; ++k)
            ASSERT_EQ(lattice.at<cv::Vec3b>(0, k), cv::Vec3b::all(255) - identityEntry(k)) << k << ", " << channels;
    }
    cv::ocl::setUseOpenCL(wasUsingOpenCL);
}

INSTANTIATE_TEST_SUITE_P(HostAndOpenCL, ExtractLattice, ::testing::Values(false, true));

// Pixel (x, y) holds the entry with red level x mod 16, green y, blue x div 16;
// the PNG file decodes to that picture.
TEST(UnwrappedLut, IdentityPatternAndNamedColoursInTheFile)
{
    const cv::Mat identity = makeUnwrappedImage(toUMat(transformedLattice(unchanged)));
    ASSERT_EQ(identity.type(), CV_8UC3);
    ASSERT_EQ(identity.size(), cv::Size(256, 16));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 256; ++x)
            ASSERT_EQ(identity.at<cv::Vec3b>(y, x), cv::Vec3b(uchar(17 * (x / 16)), uchar(17 * y), uchar(17 * (x % 16))))
                << "x " << x << " y " << y;

    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const cv::UMat lattice = toUMat(transformedLattice(madeUpMapping));
    EXPECT_EQ(writeUnwrappedLut(lattice, directory.filePath(QStringLiteral("grade"))), QString());
    // Nothing but the file itself: the temporary file was renamed into place.
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files), QStringList{QStringLiteral("grade_unwrapped.png")});
    const cv::Mat image =
        cv::imread(directory.filePath(QStringLiteral("grade_unwrapped.png")).toStdString(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(image.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(image, makeUnwrappedImage(lattice), cv::NORM_INF), 0.0);
    const std::pair<cv::Point, cv::Vec3b> named[] = {
        {{0, 0}, {0, 0, 0}},   {{15, 0}, {0, 0, 255}},        {{0, 15}, {0, 255, 0}}, // black, red, green
        {{240, 0}, {255, 0, 0}}, {{255, 15}, {255, 255, 255}},                        // blue, white
    };
    for (const auto &[at, bgr] : named)
        EXPECT_EQ(image.at<cv::Vec3b>(at), madeUpMapping(bgr)) << at;
}
