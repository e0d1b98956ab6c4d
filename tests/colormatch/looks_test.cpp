// SPDX-License-Identifier: GPL-3.0-or-later
// Looks: colormatch --apply-lut against ffmpeg's lut3d filter and against
// exact expectations, batches of one look (--series-from, --series), and the
// command lines it refuses.
#include "colormatch/errors.h"

#include "support/test_support.h"
#include "workspace.h"

#include <QProcess>
#include <QStandardPaths>

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cmath>

using testing_support::readFileBytes;

namespace {

// A smooth look that moves every channel by the others, of `size` points.
QByteArray smoothCube(int size)
{
    QByteArray text = "# a look for the tests\nTITLE \"smooth\"\nLUT_3D_SIZE " + QByteArray::number(size) + "\n\n";
    for (int b = 0; b < size; ++b)
        for (int g = 0; g < size; ++g)
            for (int r = 0; r < size; ++r) {
                const double R = double(r) / (size - 1), G = double(g) / (size - 1), B = double(b) / (size - 1);
                const double out[3] = {0.9 * std::pow(R, 0.7) + 0.1 * B, 0.8 * G + 0.2 * R * B,
                                       0.95 * std::sqrt(B) + 0.05 * G};
                for (int c = 0; c < 3; ++c)
                    text += QByteArray::number(out[c], 'f', 6) + (c < 2 ? " " : "\n");
            }
    return text;
}

// The inverse on the domain -1 .. 3 (each channel v to (3 - v) / 4), as a
// grading tool might write it: comments, DOMAIN lines, CR LF, size 2.
const QByteArray thirdPartyCube = "# Created by a grading tool\r\nTITLE \"Half negative\"\r\n"
                                  "DOMAIN_MIN -1.0 -1.0 -1.0\r\nDOMAIN_MAX 3.0 3.0 3.0\r\n\r\nLUT_3D_SIZE 2\r\n"
                                  "# the entries, red fastest\r\n1 1 1\r\n0 1 1\r\n1 0 1\r\n0 0 1\r\n"
                                  "1 1 0\r\n0 1 0\r\n1 0 0\r\n0 0 0\r\n";

cv::Mat colourOnly(cv::Mat image)
{
    if (image.channels() == 4)
        cv::cvtColor(image, image, cv::COLOR_BGRA2BGR);
    return image;
}

double largestDifference(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return 1e9;
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    double largest = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    return largest;
}

} // namespace

// Alone and in a batch, which -n then leaves as it is.
TEST(ColormatchLooks, AppliedLookEqualsFfmpegsTetrahedralLut3dWithinOneLevelAndABatchGetsTheSame)
{
    const Workspace space;
    writeFile(space.path("look.cube"), smoothCube(9));
    const ProgramRun run = space.run({"--apply-lut", "look.cube", "chelsea.png", "-o", "looked.png"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("done    chelsea.png: wrote looked.png (451 x 300)")) << run.err.toStdString();

    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    ASSERT_FALSE(ffmpeg.isEmpty()) << "ffmpeg is one of the packages the tests need";
    QProcess process;
    process.setWorkingDirectory(space.folder.path());
    process.start(ffmpeg, {"-nostdin", "-loglevel", "error", "-i", "chelsea.png", "-vf",
                           "lut3d=file=look.cube:interp=tetrahedral", "-pix_fmt", "rgb24", "-y", "ffmpeg.png"});
    ASSERT_TRUE(process.waitForFinished(120000) && process.exitCode() == 0) << process.readAllStandardError().data();

    const cv::Mat ours = colourOnly(space.image("looked.png")), theirs = colourOnly(space.image("ffmpeg.png"));
    EXPECT_LE(largestDifference(ours, theirs), 1.0);
    // The look did change the picture.
    EXPECT_GT(largestDifference(ours, colourOnly(space.image("chelsea.png"))), 20.0);

    ASSERT_EQ(space.run({"--apply-lut", "look.cube", "rocket.jpg", "-o", "rocket.png"}).exitCode, 0);
    const ProgramRun batch = space.run({"--apply-lut", "look.cube", "-d", "batch", "chelsea.png", "rocket.jpg"});
    ASSERT_EQ(batch.exitCode, 0) << batch.err.toStdString();
    EXPECT_TRUE(batch.err.contains("2 images: 2 done")) << batch.err.toStdString();
    EXPECT_EQ(largestDifference(space.image("batch/chelsea.png"), space.image("looked.png")), 0.0);
    EXPECT_EQ(largestDifference(space.image("batch/rocket.png"), space.image("rocket.png")), 0.0);
    const QStringList before = space.snapshot();
    const ProgramRun again = space.run({"--apply-lut", "look.cube", "-n", "-d", "batch", "chelsea.png", "rocket.jpg"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.err.contains("skipped chelsea.png: batch/chelsea.png exists")) << again.err.toStdString();
    EXPECT_EQ(space.snapshot(), before);
}

TEST(ColormatchLooks, AThirdPartyCubeAppliesWithItsDomainAndSixteenBitsStaySixteen)
{
    const Workspace space;
    writeFile(space.path("grade.cube"), thirdPartyCube);
    cv::Mat eight(40, 30, CV_8UC4), sixteen(40, 30, CV_16UC3);
    cv::randu(eight, 0, 256);
    cv::randu(sixteen, 0, 65536);
    cv::imwrite(space.path("eight.png").toStdString(), eight);
    cv::imwrite(space.path("sixteen.png").toStdString(), sixteen);
    for (const char *name : {"eight", "sixteen"}) {
        SCOPED_TRACE(name);
        const ProgramRun run =
            space.run({"--apply-lut", "grade.cube", QString(name) + ".png", "-o", QString(name) + "_graded.png"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const cv::Mat input = space.image(QString(name) + ".png");
        const cv::Mat graded = space.image(QString(name) + "_graded.png");
        ASSERT_EQ(graded.type(), input.type()); // 16 bits stay 16 bits in a PNG, alpha stays
        cv::Mat expected, got;
        const double top = input.depth() == CV_8U ? 255 : 65535;
        colourOnly(input).convertTo(expected, CV_64F, -0.25, 0.75 * top);
        colourOnly(graded).convertTo(got, CV_64F);
        EXPECT_LE(largestDifference(got, expected), 0.5 + 1e-9);
        if (input.channels() == 4) // alpha as it was
            EXPECT_EQ(largestDifference(graded.reshape(1, int(graded.total())).col(3),
                                        input.reshape(1, int(input.total())).col(3)), 0.0);
    }
    // A format without 16 bits gets 8.
    ASSERT_EQ(space.run({"--apply-lut", "grade.cube", "sixteen.png", "-o", "sixteen.jpg"}).exitCode, 0);
    EXPECT_EQ(space.image("sixteen.jpg").depth(), CV_8U);
}

// Two frames that share their top half: a series gives the shared pixels the
// same colours in both, which matching each frame on its own does not.
TEST(ColormatchLooks, ASeriesGivesTheSameColourTheSameResultInEveryFrame)
{
    const Workspace space;
    const cv::Mat chelsea = space.image("chelsea.png");
    cv::Mat coffee;
    cv::resize(space.image("coffee.png"), coffee, cv::Size(chelsea.cols, chelsea.rows / 2));
    cv::Mat other;
    cv::vconcat(chelsea.rowRange(0, chelsea.rows / 2), colourOnly(coffee), other);
    cv::imwrite(space.path("a.png").toStdString(), chelsea);
    cv::imwrite(space.path("b.png").toStdString(), other);
    const cv::Range shared(0, chelsea.rows / 2);

    const ProgramRun plain = space.run({"-r", "rocket.jpg", "-d", "plain", "a.png", "b.png"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err.toStdString();
    EXPECT_GT(largestDifference(space.image("plain/a.png").rowRange(shared), space.image("plain/b.png").rowRange(shared)),
              0.0);

    const QStringList modes[] = {{"--series-from", "a.png"}, {"--series"}};
    for (const QStringList &mode : modes) {
        SCOPED_TRACE(mode.join(' ').toStdString());
        const QString folder = mode.size() == 2 ? "hero" : "pooled";
        const ProgramRun run =
            space.run(QStringList{"-r", "rocket.jpg", "-d", folder, "--lut", folder + ".cube", "a.png", "b.png"} + mode);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("2 images: 2 done")) << run.err.toStdString();
        const cv::Mat a = space.image(folder + "/a.png"), b = space.image(folder + "/b.png");
        EXPECT_EQ(largestDifference(a.rowRange(shared), b.rowRange(shared)), 0.0);
        EXPECT_GT(largestDifference(a, chelsea), 10.0); // matched, not copied
        // The cube written is the look the frames got.
        ASSERT_EQ(space.run({"--apply-lut", folder + ".cube", "b.png", "-o", folder + "_b.png"}).exitCode, 0);
        EXPECT_EQ(largestDifference(space.image(folder + "_b.png"), b), 0.0);
    }
    // The two looks differ: the pooled one also saw the coffee.
    EXPECT_GT(largestDifference(space.image("hero/a.png"), space.image("pooled/a.png")), 0.0);
}

TEST(ColormatchLooks, CommandLinesThatCannotWorkAreRefusedAndChangeNothing)
{
    const Workspace space;
    writeFile(space.path("look.cube"), smoothCube(3));
    writeFile(space.path("short.cube"), "TITLE \"cut\"\nLUT_3D_SIZE 2\n0 0 0\n1 0 0\n");
    using namespace colormatchStatus;
    struct Refusal {
        QStringList arguments;
        int status;
        QString part;
    };
    const Refusal refusals[] = {
        {{"--apply-lut", "missing.cube", "chelsea.png", "-o", "x.png"}, noInput, "cube: missing.cube does not exist"},
        {{"--apply-lut", "short.cube", "chelsea.png", "-o", "x.png"}, dataError,
         "cube short.cube, line 4: the file ends after 2 of the 8 entries of a cube of size 2"},
        {{"--apply-lut", "look.cube", "broken.png", "-o", "x.png"}, dataError, "target image broken.png"},
        {{"--apply-lut", "look.cube", "-r", "coffee.png", "-d", "out", "chelsea.png"}, usage,
         "--reference is for matching; --apply-lut applies a finished look"},
        {{"--apply-lut", "look.cube", "chelsea.png", "-o", "x.png", "--strength", "0.5"}, usage,
         "--strength is for matching"},
        {{"--apply-lut", "look.cube", "chelsea.png"}, usage, "--apply-lut takes one IMAGE and -o OUTPUT"},
        {{"--apply-lut", "look.cube", "-d", "out", "-o", "x.png", "chelsea.png"}, usage,
         "--apply-lut with -d OUTDIR writes every IMAGE into OUTDIR"},
        {{"--apply-lut", "look.cube", "chelsea.png", "-o", "chelsea.png"}, usage,
         "the output chelsea.png is the image chelsea.png"},
        {{"--apply-lut", "look.cube", "-d", ".", "look.png"}, usage, "will not write over an input"},
        {{"--apply-lut", "", "chelsea.png", "-o", "x.png"}, usage, "--apply-lut wants a file name"},
        {{"--series", "chelsea.png", "coffee.png"}, usage,
         "--series gives a batch one look: it needs -r REFERENCE, -d OUTDIR and IMAGEs"},
        {{"--series-from", "chelsea.png", "-d", "out", "chelsea.png"}, usage, "--series-from gives a batch one look"},
        {{"--series", "--series-from", "chelsea.png", "-r", "coffee.png", "-d", "out", "chelsea.png"}, usage,
         "--series and --series-from are two ways to one look"},
        {{"--series-from", "missing.png", "-r", "coffee.png", "-d", "out", "chelsea.png"}, noInput,
         "hero image: missing.png does not exist"},
        {{"--series-from", "out/chelsea.png", "-r", "coffee.png", "-d", "out", "chelsea.png"}, usage,
         "the output out/chelsea.png (of chelsea.png) is the hero image out/chelsea.png"},
        {{"-r", "coffee.png", "-d", "out", "--lut", "look", "chelsea.png"}, usage,
         "--lut works on one image, not in a batch"},
    };
    const QStringList before = space.snapshot();
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.arguments.join(' ').toStdString());
        const ProgramRun run = space.run(refusal.arguments);
        EXPECT_EQ(run.exitCode, refusal.status) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(refusal.part)) << run.err.toStdString();
        EXPECT_EQ(space.snapshot(), before);
    }
}
