// The identity lattice, its stacking onto a target and extraction, and the
// unwrapped LUT picture.
#include "engine/engine.h"
#include "lut/lut.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Lattice entry k of 16 levels as 8-bit B, G, R: red fastest, step 17.
cv::Vec3b identityEntry(int k)
{
    return cv::Vec3b(static_cast<uchar>(17 * (k / 256)), static_cast<uchar>(17 * ((k / 16) % 16)),
                     static_cast<uchar>(17 * (k % 16)));
}

cv::Mat randomImage(int width, int height, int type, uint64 seed)
{
    cv::Mat image(height, width, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

cv::UMat toUMat(const cv::Mat &mat)
{
    cv::UMat result;
    mat.copyTo(result);
    return result;
}

// A made-up colour mapping that tells the named colours apart.
cv::Vec3b madeUpMapping(const cv::Vec3b &bgr)
{
    return cv::Vec3b(bgr[2], static_cast<uchar>(255 - bgr[1]), static_cast<uchar>((bgr[0] + 3 * bgr[2]) / 4));
}

cv::Mat mappedLattice(cv::Vec3b (*mapping)(const cv::Vec3b &))
{
    cv::Mat lattice(1, 4096, CV_8UC3);
    for (int k = 0; k < 4096; ++k)
        lattice.at<cv::Vec3b>(0, k) = mapping(identityEntry(k));
    return lattice;
}

cv::Vec3b unchanged(const cv::Vec3b &bgr)
{
    return bgr;
}

template <typename Call>
void expectSoftwareError(Call call, const QString &mentioned = QString())
{
    try {
        call();
        ADD_FAILURE() << "no EngineError thrown";
    } catch (const EngineError &error) {
        EXPECT_EQ(error.status, exitStatus::software);
        if (!mentioned.isEmpty())
            EXPECT_TRUE(QString::fromUtf8(error.what()).contains(mentioned)) << error.what();
    }
}

} // namespace

TEST(LatticeStrip, SixteenLevelsInLatticeOrderWithAlphaZero)
{
    const cv::Mat strip = makeLatticeStrip(16).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(strip.type(), CV_8UC4);
    ASSERT_EQ(strip.rows, 1);
    ASSERT_EQ(strip.cols, 4096);
    for (int k = 0; k < 4096; ++k) {
        const cv::Vec3b expected = identityEntry(k);
        const cv::Vec4b pixel = strip.at<cv::Vec4b>(0, k);
        ASSERT_EQ(pixel, cv::Vec4b(expected[0], expected[1], expected[2], 0)) << "entry " << k;
    }
}

TEST(LatticeStrip, LevelsRoundHalvesAwayFromZero)
{
    // Three levels: step 127.5, so the middle level is 128. Five: 0, 64, 128, 191, 255.
    const cv::Mat three = makeLatticeStrip(3).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(three.cols, 27);
    EXPECT_EQ(three.at<cv::Vec4b>(0, 1), cv::Vec4b(0, 0, 128, 0));
    EXPECT_EQ(three.at<cv::Vec4b>(0, 2 + 3 * 1 + 9 * 2), cv::Vec4b(255, 128, 255, 0));

    const cv::Mat five = makeLatticeStrip(5).getMat(cv::ACCESS_READ).clone();
    ASSERT_EQ(five.cols, 125);
    const uchar levels[] = {0, 64, 128, 191, 255};
    for (int k = 0; k < 125; ++k)
        ASSERT_EQ(five.at<cv::Vec4b>(0, k), cv::Vec4b(levels[k / 25], levels[(k / 5) % 5], levels[k % 5], 0));
}

TEST(LatticeStrip, RefusesFewerThanTwoLevels)
{
    expectSoftwareError([] { makeLatticeStrip(1); });
    expectSoftwareError([] { makeLatticeStrip(0); });
}

struct StackCase {
    int width;
    int height;
    int channels;
    int blockRows;
    int copies;
};

class StackLattice : public ::testing::TestWithParam<StackCase> {};

TEST_P(StackLattice, BlockOnTopThenCopiesOfTheTarget)
{
    const StackCase c = GetParam();
    const int type = CV_8UC(c.channels);
    const cv::Mat target = randomImage(c.width, c.height, type, 7);

    LatticeGeometry geometry;
    const cv::Mat stacked = stackLattice(toUMat(target), geometry).getMat(cv::ACCESS_READ).clone();

    EXPECT_EQ(geometry.width, c.width);
    EXPECT_EQ(geometry.blockRows, c.blockRows);
    ASSERT_EQ(stacked.type(), type);
    ASSERT_EQ(stacked.cols, c.width);
    ASSERT_EQ(stacked.rows, c.blockRows + c.copies * c.height);

    // The block: the lattice in row-major order, then zero fill (transparent black).
    const cv::Mat block = stacked.rowRange(0, c.blockRows).clone().reshape(c.channels, 1);
    for (int i = 0; i < block.cols; ++i) {
        const cv::Vec3b expected = i < 4096 ? identityEntry(i) : cv::Vec3b(0, 0, 0);
        const uchar *pixel = block.ptr<uchar>(0) + i * c.channels;
        for (int channel = 0; channel < 3; ++channel)
            ASSERT_EQ(pixel[channel], expected[channel]) << "block pixel " << i << " channel " << channel;
        if (c.channels == 4)
            ASSERT_EQ(pixel[3], 0) << "block pixel " << i << " alpha";
    }

    for (int copy = 0; copy < c.copies; ++copy) {
        const cv::Mat part = stacked.rowRange(c.blockRows + copy * c.height, c.blockRows + (copy + 1) * c.height);
        EXPECT_EQ(cv::norm(part, target, cv::NORM_INF), 0.0) << "copy " << copy;
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

TEST(StackLattice, RefusesTargetsThatAreNot8Bit3Or4Channels)
{
    LatticeGeometry geometry;
    for (const int type : {CV_8UC1, CV_8UC2, CV_16UC3, CV_32FC3, CV_16UC4}) {
        const cv::UMat target = cv::UMat::zeros(20, 30, type);
        expectSoftwareError([&] { stackLattice(target, geometry); },
                            QString::fromStdString(cv::typeToString(type)));
    }
    expectSoftwareError([&] { stackLattice(cv::UMat(), geometry); });
}

class ExtractLattice : public ::testing::TestWithParam<bool> {};

TEST_P(ExtractLattice, RoundTripThroughAStandInPipeline)
{
    const bool openCL = GetParam() && cv::ocl::haveOpenCL();
    const bool wasUsingOpenCL = cv::ocl::useOpenCL();
    cv::ocl::setUseOpenCL(openCL);

    for (const int channels : {3, 4}) {
        const cv::Mat target = randomImage(100, 70, CV_8UC(channels), 11);
        LatticeGeometry geometry;
        const cv::UMat stacked = stackLattice(toUMat(target), geometry);
        // The pipeline hands back 8-bit B, G, R of the stacked geometry; inverting
        // every byte stands in for the colour transfer.
        cv::UMat threeChannel = stacked;
        if (channels == 4)
            cv::cvtColor(stacked, threeChannel, cv::COLOR_BGRA2BGR);
        cv::UMat matched;
        cv::bitwise_not(threeChannel, matched);

        const cv::Mat lattice = extractLattice(matched, geometry).getMat(cv::ACCESS_READ).clone();
        ASSERT_EQ(lattice.type(), CV_8UC3);
        ASSERT_EQ(lattice.rows, 1);
        ASSERT_EQ(lattice.cols, 4096);
        for (int k = 0; k < 4096; ++k) {
            const cv::Vec3b entry = identityEntry(k);
            const cv::Vec3b inverted(255 - entry[0], 255 - entry[1], 255 - entry[2]);
            ASSERT_EQ(lattice.at<cv::Vec3b>(0, k), inverted) << "entry " << k << ", " << channels << " channels";
        }
    }
    cv::ocl::setUseOpenCL(wasUsingOpenCL);
}

INSTANTIATE_TEST_SUITE_P(HostAndOpenCL, ExtractLattice, ::testing::Values(false, true));

TEST(ExtractLattice, RefusesAnImageOfOtherGeometry)
{
    const LatticeGeometry geometry{100, 41};
    expectSoftwareError([&] { extractLattice(cv::UMat::zeros(341, 90, CV_8UC3), geometry); });
    expectSoftwareError([&] { extractLattice(cv::UMat::zeros(30, 100, CV_8UC3), geometry); });
    expectSoftwareError([&] { extractLattice(cv::UMat::zeros(341, 100, CV_8UC4), geometry); });
}

TEST(UnwrappedImage, IdentityPatternWhenNothingChanges)
{
    const cv::Mat image = makeUnwrappedImage(toUMat(mappedLattice(unchanged)));
    ASSERT_EQ(image.type(), CV_8UC3);
    ASSERT_EQ(image.cols, 256);
    ASSERT_EQ(image.rows, 16);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 256; ++x) {
            const cv::Vec3b expected(static_cast<uchar>(17 * (x / 16)), static_cast<uchar>(17 * y),
                                     static_cast<uchar>(17 * (x % 16)));
            ASSERT_EQ(image.at<cv::Vec3b>(y, x), expected) << "x " << x << " y " << y;
        }
    }
}

TEST(UnwrappedImage, NamedColoursSitAtTheirPlaces)
{
    const cv::Mat image = makeUnwrappedImage(toUMat(mappedLattice(madeUpMapping)));
    auto at = [&](int x, int y) { return image.at<cv::Vec3b>(y, x); };
    EXPECT_EQ(at(0, 0), madeUpMapping(cv::Vec3b(0, 0, 0)));          // black
    EXPECT_EQ(at(15, 0), madeUpMapping(cv::Vec3b(0, 0, 255)));       // red
    EXPECT_EQ(at(0, 15), madeUpMapping(cv::Vec3b(0, 255, 0)));       // green
    EXPECT_EQ(at(240, 0), madeUpMapping(cv::Vec3b(255, 0, 0)));      // blue
    EXPECT_EQ(at(255, 15), madeUpMapping(cv::Vec3b(255, 255, 255))); // white
}

TEST(UnwrappedLutFile, DecodesToTheSamePictureAsAnRgbPng)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("grade"));
    const cv::UMat lattice = toUMat(mappedLattice(madeUpMapping));

    EXPECT_EQ(writeUnwrappedLut(lattice, base), QString());

    const QString path = base + QStringLiteral("_unwrapped.png");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    // PNG signature, then IHDR: width, height, bit depth 8, colour type 2 (RGB).
    ASSERT_GT(bytes.size(), 26);
    EXPECT_EQ(bytes.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(bytes.mid(12, 4), QByteArray("IHDR"));
    EXPECT_EQ(bytes.mid(16, 8), QByteArray("\0\0\1\0\0\0\0\x10", 8));
    EXPECT_EQ(bytes.at(24), 8);
    EXPECT_EQ(bytes.at(25), 2);

    const cv::Mat decoded = cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(decoded.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(decoded, makeUnwrappedImage(lattice), cv::NORM_INF), 0.0);
    // Nothing but the file itself: the temporary file was renamed into place.
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files), QStringList{QStringLiteral("grade_unwrapped.png")});
}

TEST(UnwrappedLutFile, UnwritablePathIsReportedAndLeavesNoFile)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("missing/grade"));
    const QString path = base + QStringLiteral("_unwrapped.png");

    const QString reason = writeUnwrappedLut(toUMat(mappedLattice(unchanged)), base);

    EXPECT_TRUE(reason.startsWith(path + QStringLiteral(": "))) << reason.toStdString();
    EXPECT_GT(reason.size(), path.size() + 2);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(QDir(directory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}
