// Whole requests through the real binary, as a host sends them.
#include "engine/engine.h"

#include "support/reference_match.h"
#include "support/test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

QByteArray sample(const char *name)
{
    return readFileBytes(samplePath(QString::fromLatin1(name)));
}

EngineRun runMatch(const QByteArray &target, const QByteArray &reference, const HostArguments &arguments = {})
{
    return runEngine(arguments.list(), frameRequest(target, reference));
}

QStringList expectedLines(const QByteArray &target, int width, int height, bool alpha, bool alphaBack)
{
    const QString bytes = QString::number(target.size());
    QStringList lines{"005", "006", "010", "020", "bytes:" + bytes, "021", "022", "current_image:" + bytes,
                      "022", "023", QStringLiteral("current_image_mat_rgba:%1x%2").arg(width).arg(height), "DONE"};
    if (alpha)
        lines << "028";
    lines << QStringList{"030", "031", "032", "040", "050", "060", "061", "062", "064", "066", "067",
                         "068", "070", "072", "074", "075", "076", "077", "078", "079"};
    if (alphaBack)
        lines << "080" << "085";
    lines << "090" << "095" << "100";
    return lines;
}

// Share of samples that are equal, and the largest difference.
struct Agreement {
    double equalShare = 0;
    double largest = 0;
};

Agreement compare(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Mat flat = difference.reshape(1);
    return {1.0 - double(cv::countNonZero(flat)) / double(flat.total()), cv::norm(flat, cv::NORM_INF)};
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

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(MatchingRun, ThreeChannelTargetGivesEveryLineInOrder)
{
    const QByteArray target = sample("chelsea.png");  // also carries an sRGB chunk libpng warns about
    const EngineRun run = runMatch(target, sample("rocket.jpg"));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.errLines(), expectedLines(target, 451, 300, false, false));
    const cv::Mat result = decodeBytes(run.out);
    EXPECT_EQ(result.type(), CV_8UC3);
    EXPECT_EQ(result.rows, 300);
    EXPECT_EQ(result.cols, 451);
}

TEST(MatchingRun, FourChannelTargetKeepsItsAlphaByteForByte)
{
    const cv::Mat bgra = withAlphaGradient(decodeBytes(sample("coffee.png")));
    const QByteArray target = encodePng(bgra);
    const EngineRun run = runMatch(target, sample("rocket.jpg"));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.errLines(), expectedLines(target, 600, 400, true, true));

    const cv::Mat result = decodeBytes(run.out);
    ASSERT_EQ(result.type(), CV_8UC4);
    ASSERT_EQ(result.size(), bgra.size());
    cv::Mat resultAlpha, targetAlpha;
    cv::extractChannel(result, resultAlpha, 3);
    cv::extractChannel(bgra, targetAlpha, 3);
    EXPECT_EQ(cv::norm(resultAlpha, targetAlpha, cv::NORM_INF), 0.0);
}

TEST(MatchingRun, AgreesWithAPlainComputationOnPhotographs)
{
    struct Pair {
        const char *target;
        const char *reference;
        bool matchLightness;
        double strength;
    };
    for (const Pair &pair : {Pair{"chelsea.png", "rocket.jpg", false, 1.0}, Pair{"coffee.png", "chelsea.png", false, 1.0},
                             Pair{"rocket.jpg", "coffee.png", true, 0.6}}) {
        HostArguments arguments;
        arguments.lightness = pair.matchLightness ? QStringLiteral("on") : QStringLiteral("off");
        arguments.strength = QString::number(pair.strength);
        const QByteArray target = sample(pair.target);
        const QByteArray reference = sample(pair.reference);
        const EngineRun run = runMatch(target, reference, arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

        const cv::Mat target8 = decodeBytes(target);
        const cv::Mat reference8 = decodeBytes(reference);
        const cv::Mat result = decodeBytes(run.out);
        const cv::Mat expected = referenceMatch(target8, reference8, pair.matchLightness, pair.strength);
        EXPECT_GE(compare(result, expected).equalShare, 0.995) << pair.target << " to " << pair.reference;
        // Within 2 levels, except where single precision moved a mapped colour
        // across a rounding boundary and the Lab finishing amplified that step.
        EXPECT_EQ(unexplainedPixels(result, target8, reference8, pair.matchLightness, pair.strength, 2.0), 0)
            << pair.target << " to " << pair.reference;
    }
}

TEST(MatchingRun, StrengthBlendsWithTheUnmatchedTarget)
{
    const QByteArray target = sample("coffee.png");
    const QByteArray reference = sample("rocket.jpg");
    const cv::Mat original = decodeBytes(target);
    HostArguments arguments;
    auto resultAt = [&](const char *strength) {
        arguments.strength = QString::fromLatin1(strength);
        const EngineRun run = runMatch(target, reference, arguments);
        EXPECT_EQ(run.exitCode, 0) << strength;
        return decodeBytes(run.out);
    };
    const cv::Mat full = resultAt("1");
    EXPECT_GT(compare(full, original).largest, 20.0);
    EXPECT_EQ(compare(resultAt("0"), original).largest, 0.0);
    EXPECT_EQ(compare(resultAt("strong"), original).largest, 0.0);  // no number reads as 0

    cv::Mat quarter, extrapolated;
    cv::addWeighted(full, 0.25, original, 0.75, 0.0, quarter);
    cv::addWeighted(full, -0.5, original, 1.5, 0.0, extrapolated);
    EXPECT_LE(compare(resultAt("0.25"), quarter).largest, 1.0);
    EXPECT_LE(compare(resultAt("-0.5"), extrapolated).largest, 1.0);
}

TEST(MatchingRun, LightnessIsKeptUnlessAskedToMatch)
{
    const QByteArray target = sample("chelsea.png");
    const QByteArray reference = sample("rocket.jpg");
    auto lightnessDifference = [&](const char *word) {
        HostArguments arguments;
        arguments.lightness = QString::fromLatin1(word);
        const EngineRun run = runMatch(target, reference, arguments);
        EXPECT_EQ(run.exitCode, 0);
        cv::Mat resultLab, targetLab, difference;
        cv::cvtColor(decodeBytes(run.out), resultLab, cv::COLOR_RGB2Lab);
        cv::cvtColor(decodeBytes(target), targetLab, cv::COLOR_RGB2Lab);
        cv::Mat resultL, targetL;
        cv::extractChannel(resultLab, resultL, 0);
        cv::extractChannel(targetLab, targetL, 0);
        cv::absdiff(resultL, targetL, difference);
        return cv::mean(difference)[0];
    };
    // Kept: equal up to the rounding of the trip through 8-bit B, G, R.
    EXPECT_LT(lightnessDifference("off"), 1.0);
    EXPECT_LT(lightnessDifference("ON"), 1.0);
    EXPECT_GT(lightnessDifference("on"), 5.0);
}

TEST(MatchingRun, WritesTheSizeFileAndTheResultFile)
{
    QTemporaryDir dir;
    const QByteArray target = sample("chelsea.png");
    const QByteArray reference = sample("rocket.jpg");
    const EngineRun plain = runMatch(target, reference);

    HostArguments arguments;
    arguments.sizeFile = base64Path(dir.filePath(QStringLiteral("size.txt")));
    arguments.resultFile = base64Path(dir.filePath(QStringLiteral("résultat.png")));
    const EngineRun run = runMatch(target, reference, arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("size.txt"))), QByteArray("451x300"));
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("résultat.png"))), plain.out);

    arguments.resultFile = base64Path(dir.filePath(QStringLiteral("no/such/folder/out.png")));
    const EngineRun unwritable = runMatch(target, reference, arguments);
    EXPECT_EQ(unwritable.exitCode, exitStatus::cannotCreate);
    EXPECT_TRUE(unwritable.out.isEmpty());
    EXPECT_TRUE(unwritable.errLines().last().startsWith(QStringLiteral("ERROR cannot write result file")));
}

TEST(MatchingRun, LutExportWritesBothFilesAndReturnsABlackImage)
{
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("look"));
    const cv::Mat bgra = withAlphaGradient(decodeBytes(sample("chelsea.png")));
    const QByteArray target = encodePng(bgra);
    HostArguments arguments;
    arguments.lutBase = base64Path(base);
    arguments.lutSize = QStringLiteral("17");
    arguments.sizeFile = base64Path(dir.filePath(QStringLiteral("size.txt")));
    const EngineRun run = runMatch(target, sample("rocket.jpg"), arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    // 451 wide: 10 lattice rows, and two copies of the 300-row target below them.
    EXPECT_EQ(run.errLines(), expectedLines(target, 451, 610, true, false));
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("size.txt"))), QByteArray("451x610"));
    const cv::Mat result = decodeBytes(run.out);
    ASSERT_EQ(result.type(), CV_8UC3);
    EXPECT_EQ(result.size(), cv::Size(10, 10));
    EXPECT_EQ(cv::countNonZero(result.reshape(1)), 0);

    const cv::Mat unwrapped = cv::imread((base + "_unwrapped.png").toStdString(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(unwrapped.empty());
    EXPECT_EQ(unwrapped.type(), CV_8UC3);
    EXPECT_EQ(unwrapped.size(), cv::Size(256, 16));
    const QList<QByteArray> cube = readAll(base + "_cube.cube").split('\n');
    ASSERT_EQ(cube.size(), 6 + 17 * 17 * 17 + 2);
    EXPECT_EQ(cube[3], QByteArray("TITLE \"Colvane LUT_17\""));
    EXPECT_EQ(cube[4], QByteArray("LUT_3D_SIZE 17"));

    // A result file holds "0" with LUT export.
    arguments.resultFile = base64Path(dir.filePath(QStringLiteral("result.png")));
    const EngineRun toFile = runMatch(target, sample("rocket.jpg"), arguments);
    EXPECT_EQ(toFile.exitCode, 0);
    EXPECT_TRUE(toFile.out.isEmpty());
    EXPECT_EQ(readAll(dir.filePath(QStringLiteral("result.png"))), QByteArray("0"));
}

TEST(MatchingRun, UnwritableLutFilesAreReportedAfterTheResult)
{
    QTemporaryDir dir;
    HostArguments arguments;
    arguments.lutBase = base64Path(dir.filePath(QStringLiteral("missing-folder/look")));
    const EngineRun run = runMatch(sample("coffee.png"), sample("rocket.jpg"), arguments);
    EXPECT_EQ(run.exitCode, exitStatus::cannotCreate);
    EXPECT_FALSE(run.out.isEmpty());
    const QStringList errors = run.errLines().filter(QStringLiteral("ERROR"));
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("look_unwrapped.png")));
    EXPECT_TRUE(errors[1].contains(QStringLiteral("look_cube.cube")));
    EXPECT_EQ(run.errLines().indexOf(QStringLiteral("100")), run.errLines().size() - 3);
}

TEST(MatchingRun, AFailureInTheTransferReturnsTheDecodedTarget)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
#endif
    // A 256-level cube needs a 200 MB lattice after the colour transfer has
    // started; with the address space capped that allocation fails inside the
    // guarded stretch. OpenCL stays off: its runtime reserves much more.
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("look"));
    const cv::Mat bgra = withAlphaGradient(decodeBytes(sample("coffee.png")));
    HostArguments arguments;
    arguments.lutBase = base64Path(base);
    arguments.lutSize = QStringLiteral("256");
    arguments.openCL = QStringLiteral("off");
    for (const char *suffix : {"_unwrapped.png", "_cube.cube"}) {
        QFile earlier(base + suffix);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write("from an earlier run") > 0);
    }
    const EngineRun run = runEngineWithMemoryLimit(arguments.list(), frameRequest(encodePng(bgra), sample("rocket.jpg")),
                                                   400 * 1024);
    ASSERT_FALSE(run.crashed);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const QStringList lines = run.errLines();
    const QStringList crashes = lines.filter(QStringLiteral("CRASH"));
    ASSERT_EQ(crashes.size(), 1) << run.err.toStdString();
    EXPECT_TRUE(crashes[0].startsWith(QStringLiteral("CRASH (67+) (0) "))) << crashes[0].toStdString();
    const int crashLine = lines.indexOf(crashes[0]);
    EXPECT_EQ(lines[crashLine - 1], QStringLiteral("079"));
    EXPECT_EQ(lines.mid(crashLine + 1), (QStringList{"090", "095", "100"}));

    // The stacked target comes back as it was: 7 lattice rows over two copies
    // of the 600 x 400 target, alpha and all.
    const cv::Mat returned = decodeBytes(run.out);
    ASSERT_EQ(returned.type(), CV_8UC4);
    ASSERT_EQ(returned.size(), cv::Size(600, 807));
    EXPECT_EQ(cv::norm(returned(cv::Rect(0, 7, 600, 400)), bgra, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(returned(cv::Rect(0, 407, 600, 400)), bgra, cv::NORM_INF), 0.0);
    // Neither LUT file was written: both are still the earlier run's.
    EXPECT_EQ(readFileBytes(base + "_unwrapped.png"), QByteArray("from an earlier run"));
    EXPECT_EQ(readFileBytes(base + "_cube.cube"), QByteArray("from an earlier run"));
}

TEST(MatchingRun, GreyReferenceGivesNeutralColours)
{
    cv::Mat grey;
    cv::cvtColor(decodeBytes(sample("rocket.jpg")), grey, cv::COLOR_BGR2GRAY);
    const EngineRun run = runMatch(sample("coffee.png"), encodePng(grey));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    cv::Mat lab;
    cv::cvtColor(decodeBytes(run.out), lab, cv::COLOR_BGR2Lab);
    std::vector<cv::Mat> planes;
    cv::split(lab, planes);
    for (int c : {1, 2}) {
        cv::Mat offset;
        cv::absdiff(planes[c], cv::Scalar(128), offset);
        EXPECT_LE(cv::mean(offset)[0], 1.0);
    }
}

TEST(MatchingRun, RefusesImagesThatDoNotDecode)
{
    struct Case {
        QByteArray target;
        QByteArray reference;
        QString message;
        QString lastCode;
    };
    const QByteArray good = sample("coffee.png");
    const QList<Case> cases = {
        {QByteArray("definitely not an image"), good, QStringLiteral("target image could not be decoded"), "022"},
        {good, QByteArray(), QStringLiteral("reference image is empty"), "031"},
        {good, QByteArray(300, '\x11'), QStringLiteral("reference image could not be decoded"), "031"},
        {good.left(good.size() / 8), good, QStringLiteral("target image"), "022"},
    };
    for (const Case &c : cases) {
        const EngineRun run = runMatch(c.target, c.reference);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, exitStatus::dataError) << c.message.toStdString();
        EXPECT_TRUE(run.out.isEmpty());
        const QStringList lines = run.errLines();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.last().startsWith(QStringLiteral("ERROR ") + c.message)) << lines.last().toStdString();
        EXPECT_EQ(progressCodes(lines).last(), c.lastCode);
        EXPECT_TRUE(lines.filter(QStringLiteral("CRASH")).isEmpty());
    }
}

TEST(MatchingRun, OpenClOnAndOffAgreeWithinOneLevel)
{
    const QByteArray target = sample("chelsea.png");
    const QByteArray reference = sample("coffee.png");
    HostArguments on, off;
    off.openCL = QStringLiteral("off");
    const EngineRun withOpenCl = runMatch(target, reference, on);
    const EngineRun withoutOpenCl = runMatch(target, reference, off);
    ASSERT_EQ(withOpenCl.exitCode, 0);
    ASSERT_EQ(withoutOpenCl.exitCode, 0);
    const cv::Mat on8 = decodeBytes(withOpenCl.out);
    const cv::Mat off8 = decodeBytes(withoutOpenCl.out);
    EXPECT_GE(compare(on8, off8).equalShare, 0.999);
    // Both within one level of the plain computation, but for the same
    // amplified rounding steps as above.
    const cv::Mat target8 = decodeBytes(target);
    const cv::Mat reference8 = decodeBytes(reference);
    EXPECT_EQ(unexplainedPixels(on8, target8, reference8, false, 1.0, 1.0), 0);
    EXPECT_EQ(unexplainedPixels(off8, target8, reference8, false, 1.0, 1.0), 0);
}
