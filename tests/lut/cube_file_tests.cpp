// The cube text and its file.
#include "engine/engine.h"
#include "lut/lut.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgproc.hpp>

namespace {

cv::UMat toUMat(const cv::Mat &mat)
{
    cv::UMat result;
    mat.copyTo(result);
    return result;
}

// The whole export chain from the pipeline's 16-level lattice to size n.
cv::UMat resampledLattice(const cv::Mat &transformedLattice, int n)
{
    const cv::Mat table = makeLutTable(toUMat(transformedLattice), 16);
    cv::UMat lattice = makeOutputLattice(n);
    resampleTetrahedral(lattice, table, 16, n);
    return lattice;
}

cv::Mat identityTransformedLattice()
{
    cv::Mat bgr;
    cv::cvtColor(makeLatticeStrip(16).getMat(cv::ACCESS_READ), bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

cv::Mat randomTransformedLattice(uint64 seed)
{
    cv::Mat lattice(1, 4096, CV_8UC3);
    cv::RNG(seed).fill(lattice, cv::RNG::UNIFORM, 0, 256);
    return lattice;
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// The platform's text mode: CR LF on Windows, LF elsewhere.
QByteArray withPlatformLineEnds(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

QString goldenSizeTwo()
{
    QByteArray golden = testing_support::readFileBytes(testing_support::testDataPath(QStringLiteral("cube_size2.cube")));
    golden.replace("\r", ""); // however the checkout stored its line ends
    return QString::fromLatin1(golden);
}

template <typename Call>
void expectSoftwareError(Call call)
{
    try {
        call();
        ADD_FAILURE() << "no EngineError thrown";
    } catch (const EngineError &error) {
        EXPECT_EQ(error.status, exitStatus::software);
    }
}

} // namespace

TEST(CubeText, SizeTwoFromTheIdentityLatticeMatchesTheGoldenFile)
{
    const QString golden = goldenSizeTwo();
    ASSERT_TRUE(golden.endsWith(QStringLiteral("\n\n")));
    const QString text = buildCubeText(resampledLattice(identityTransformedLattice(), 2), 2);
    // The file adds one more line end to the text.
    EXPECT_EQ(text + QLatin1Char('\n'), golden);

    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("identity"));
    EXPECT_EQ(writeCubeFile(text, base), QString());
    EXPECT_EQ(readBytes(base + QStringLiteral("_cube.cube")), withPlatformLineEnds(golden.toLatin1()));
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files), QStringList{QStringLiteral("identity_cube.cube")});
}

class CubeTextSize : public ::testing::TestWithParam<int> {};

TEST_P(CubeTextSize, HeaderThenOneFixedWidthLinePerEntry)
{
    const int n = GetParam();
    const int entries = n * n * n;
    const QString text = buildCubeText(resampledLattice(randomTransformedLattice(31), n), n);

    ASSERT_TRUE(text.endsWith(QLatin1Char('\n')));
    const QStringList lines = text.left(text.size() - 1).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 6 + entries);
    EXPECT_EQ(lines[0], QStringLiteral("#Generated from image with Colvane,"));
    EXPECT_EQ(lines[1], QStringLiteral("#a software made by Verdmoor in Eastfield"));
    EXPECT_EQ(lines[2], QStringLiteral("#https://colvane.example.com"));
    EXPECT_EQ(lines[3], QStringLiteral("TITLE \"Colvane LUT_%1\"").arg(n));
    EXPECT_EQ(lines[4], QStringLiteral("LUT_3D_SIZE %1").arg(n));
    EXPECT_EQ(lines[5], QString());
    const QRegularExpression dataLine(QStringLiteral("^[01]\\.\\d{6} [01]\\.\\d{6} [01]\\.\\d{6}$"));
    for (int i = 6; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].size(), 26) << "line " << i + 1;
        ASSERT_TRUE(dataLine.match(lines[i]).hasMatch()) << lines[i].toStdString();
    }

    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("lut"));
    ASSERT_EQ(writeCubeFile(text, base), QString());
    // 6 header lines, the data lines and the empty last line: two line ends at the end.
    const QByteArray file = readBytes(base + QStringLiteral("_cube.cube"));
    EXPECT_EQ(file.count('\n'), 7 + entries);
    EXPECT_TRUE(file.endsWith(withPlatformLineEnds("\n\n")));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CubeTextSize, ::testing::Values(16, 33));

TEST(CubeText, NumbersAreRedGreenBlueWithSixDecimals)
{
    cv::Mat lattice(1, 8, CV_32FC3);
    cv::RNG(32).fill(lattice, cv::RNG::UNIFORM, 0.0, 255.0);
    lattice.at<cv::Vec3f>(0, 0) = cv::Vec3f(128.0f, 0.0f, 255.0f); // B, G, R

    const QStringList lines = buildCubeText(toUMat(lattice), 2).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 6 + 8 + 1);
    EXPECT_EQ(lines[6], QStringLiteral("1.000000 0.000000 0.501961"));
    for (int k = 0; k < 8; ++k) {
        const QStringList numbers = lines[6 + k].split(QLatin1Char(' '));
        ASSERT_EQ(numbers.size(), 3);
        const cv::Vec3f bgr = lattice.at<cv::Vec3f>(0, k);
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(numbers[channel].toDouble(), bgr[2 - channel] / 255.0, 5.000001e-7) << "entry " << k;
    }
}

TEST(CubeText, RefusesSizesBelowTwo)
{
    expectSoftwareError([] { buildCubeText(cv::UMat::zeros(1, 8, CV_32FC3), 1); });
    expectSoftwareError([] { buildCubeText(cv::UMat::zeros(1, 8, CV_32FC3), 0); });
    // Too few entries for the size.
    expectSoftwareError([] { buildCubeText(cv::UMat::zeros(1, 8, CV_32FC3), 3); });
}

TEST(CubeFile, ReplacesALongerFileWhole)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("grade"));
    const QString path = base + QStringLiteral("_cube.cube");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        ASSERT_EQ(old.write(QByteArray(50000, 'x')), 50000);
    }

    const QString text = buildCubeText(resampledLattice(randomTransformedLattice(33), 2), 2);
    EXPECT_EQ(writeCubeFile(text, base), QString());

    EXPECT_EQ(readBytes(path), withPlatformLineEnds((text + QLatin1Char('\n')).toLatin1()));
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files), QStringList{QStringLiteral("grade_cube.cube")});
}

TEST(CubeFile, UnwritablePathIsReportedAndLeavesNoFile)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("missing/grade"));
    const QString path = base + QStringLiteral("_cube.cube");

    const QString reason = writeCubeFile(QStringLiteral("text\n"), base);

    EXPECT_TRUE(reason.startsWith(path + QStringLiteral(": "))) << reason.toStdString();
    EXPECT_GT(reason.size(), path.size() + 2);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(QDir(directory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}
