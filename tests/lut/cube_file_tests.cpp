// The cube text and its file, and how both LUT files are written.
#include "lut_test_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <utility>

using namespace lut_test;

namespace {

// The platform's text mode: CR LF on Windows, LF elsewhere.
QByteArray withPlatformLineEnds(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

QStringList entriesOf(const QTemporaryDir &directory)
{
    return QDir(directory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

} // namespace

// The file replaces a longer existing one whole and adds one more line end.
TEST(CubeText, SizeTwoFromTheIdentityLatticeMatchesTheGoldenFile)
{
    QByteArray golden = testing_support::readFileBytes(testing_support::testDataPath(QStringLiteral("cube_size2.cube")));
    golden.replace("\r", ""); // however the checkout stored its line ends
    ASSERT_TRUE(golden.endsWith("\n\n"));
    const QString text = buildCubeText(resampledLattice(transformedLattice(unchanged), 2), 2);
    EXPECT_EQ(text.toLatin1() + '\n', golden);

    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString path = directory.filePath(QStringLiteral("identity_cube.cube"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        ASSERT_EQ(old.write(QByteArray(50000, 'x')), 50000);
    }
    EXPECT_EQ(writeCubeFile(text, directory.filePath(QStringLiteral("identity"))), QString());
    EXPECT_EQ(testing_support::readFileBytes(path), withPlatformLineEnds(golden));
    EXPECT_EQ(entriesOf(directory), QStringList{QStringLiteral("identity_cube.cube")});
}

class CubeTextSize : public ::testing::TestWithParam<int> {};

// 6 header lines, then one "d.dddddd d.dddddd d.dddddd" line (26 characters)
// per entry, each ending in a line feed.
TEST_P(CubeTextSize, HeaderThenOneFixedWidthLinePerEntry)
{
    const int n = GetParam();
    const QString text = buildCubeText(resampledLattice(transformedLattice(nullptr, 31), n), n);
    ASSERT_TRUE(text.endsWith(QLatin1Char('\n')));
    const QStringList lines = text.left(text.size() - 1).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 6 + n * n * n);
    EXPECT_EQ(lines[3], QStringLiteral("TITLE \"Colvane LUT_%1\"").arg(n));
    EXPECT_EQ(lines[4], QStringLiteral("LUT_3D_SIZE %1").arg(n));
    EXPECT_EQ(lines[5], QString());
    const QRegularExpression dataLine(QStringLiteral("^[01]\\.\\d{6} [01]\\.\\d{6} [01]\\.\\d{6}$"));
    for (int i = 6; i < lines.size(); ++i)
        ASSERT_TRUE(dataLine.match(lines[i]).hasMatch()) << "line " << i + 1 << ": " << lines[i].toStdString();
}

INSTANTIATE_TEST_SUITE_P(Sizes, CubeTextSize, ::testing::Values(16, 33));

// Entries hold B, G, R on the 0 .. 255 scale; lines read R, G, B over 255.
TEST(CubeText, NumbersAreRedGreenBlueWithSixDecimals)
{
    cv::Mat lattice = cv::Mat::zeros(1, 8, CV_32FC3);
    lattice.at<cv::Vec3f>(0, 0) = {128.0f, 0.0f, 255.0f};
    lattice.at<cv::Vec3f>(0, 1) = {1.0f, 2.5f, 254.0f};
    lattice.at<cv::Vec3f>(0, 7) = {51.0f, 102.0f, 204.0f};
    const QStringList lines = buildCubeText(toUMat(lattice), 2).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 6 + 8 + 1);
    EXPECT_EQ(lines[6], QStringLiteral("1.000000 0.000000 0.501961"));
    EXPECT_EQ(lines[7], QStringLiteral("0.996078 0.009804 0.003922"));
    EXPECT_EQ(lines[13], QStringLiteral("0.800000 0.400000 0.200000"));
}

// Each failure names the path and the system's reason.
TEST(LutFiles, UnwritablePathIsReportedAndLeavesNoFile)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("missing/grade"));
    const std::pair<QString, QString> writes[] = {
        {base + QStringLiteral("_unwrapped.png"), writeUnwrappedLut(toUMat(transformedLattice(unchanged)), base)},
        {base + QStringLiteral("_cube.cube"), writeCubeFile(QStringLiteral("text\n"), base)},
    };
    for (const auto &[path, reason] : writes) {
        EXPECT_TRUE(reason.startsWith(path + QStringLiteral(": "))) << reason.toStdString();
        EXPECT_GT(reason.size(), path.size() + 2) << reason.toStdString();
    }
    EXPECT_TRUE(entriesOf(directory).isEmpty());
}
