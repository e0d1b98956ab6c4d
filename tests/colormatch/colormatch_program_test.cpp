// colormatch run as a person runs it: real files, the real engine beside it,
// standard error not a terminal.
#include "colormatch/colormatch.h"

#include "support/reference_match.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <cmath>

using testing_support::decodeBytes;
using testing_support::readFileBytes;
using testing_support::samplePath;

namespace {

struct ProgramRun {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
};

ProgramRun runProgram(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    if (!process.waitForStarted(30000) || !process.waitForFinished(300000))
        throw std::runtime_error("colormatch did not run to its end");
    return {process.exitCode(), process.exitStatus() == QProcess::CrashExit,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

ProgramRun colormatch(const QStringList &arguments, const QString &folder)
{
    return runProgram(QStringLiteral(COLORMATCH_BINARY), arguments, folder);
}

// A folder with copies of the sample photographs and a file that is no image.
struct Workspace {
    QTemporaryDir folder;
    Workspace()
    {
        for (const char *name : {"chelsea.png", "coffee.png", "rocket.jpg"})
            QFile::copy(samplePath(name), path(name));
        QFile broken(path("broken.png"));
        broken.open(QIODevice::WriteOnly);
        broken.write("\x89PNG but not really an image");
    }
    QString path(const QString &name) const { return folder.filePath(name); }
    ProgramRun run(const QStringList &arguments) const { return colormatch(arguments, folder.path()); }
};

// colormatch copied alone into a folder, optionally with a stand-in engine.
QString lonelyColormatch(const QTemporaryDir &folder)
{
    const QString copy = folder.filePath("colormatch");
    QFile::copy(COLORMATCH_BINARY, copy);
    QFile::setPermissions(copy, QFile::permissions(COLORMATCH_BINARY));
    return copy;
}

void expectUserError(const ProgramRun &run, int status, const QString &part)
{
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, status) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(part)) << run.err.toStdString();
}

cv::Mat decodeFile(const QString &path)
{
    return cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
}

} // namespace

TEST(ColormatchProgram, MatchesOneImageWithTheGivenSettings)
{
    const Workspace space;
    const ProgramRun run = space.run({"chelsea.png", "rocket.jpg", "-o", "matched.png", "--strength", "0.6",
                                      "--match-lightness", "--no-opencl", "--size-file", "size.txt"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const cv::Mat target8 = decodeFile(space.path("chelsea.png"));
    const cv::Mat reference8 = decodeFile(space.path("rocket.jpg"));
    const cv::Mat result = decodeFile(space.path("matched.png"));
    ASSERT_EQ(result.size(), target8.size());
    // Within 2 levels of a plain double-precision match with the same settings.
    EXPECT_EQ(testing_support::unexplainedPixels(result, target8, reference8, true, 0.6, 2.0), 0);
    EXPECT_EQ(readFileBytes(space.path("size.txt")), "451x300");

    // Not a terminal: no bar, one plain line for the finished image.
    EXPECT_FALSE(run.err.contains('\r'));
    EXPECT_EQ(run.err, "done    chelsea.png: wrote matched.png (451 x 300)\n");
    EXPECT_TRUE(run.out.isEmpty());

    // The extension picks the format; strength 0 leaves the target as it was.
    const ProgramRun jpeg = space.run({"chelsea.png", "rocket.jpg", "-o", "same.JPEG", "-s", "0"});
    ASSERT_EQ(jpeg.exitCode, 0) << jpeg.err.toStdString();
    EXPECT_TRUE(readFileBytes(space.path("same.JPEG")).startsWith("\xFF\xD8\xFF"));
    cv::Mat difference;
    cv::absdiff(decodeFile(space.path("same.JPEG")), target8, difference);
    EXPECT_LT(cv::mean(difference.reshape(1))[0], 1.5);
}

TEST(ColormatchProgram, ExportsALutWithoutAnImage)
{
    const Workspace space;
    const ProgramRun run = space.run({"chelsea.png", "rocket.jpg", "--lut", "luts_look", "--lut-size", "5"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(QDir(space.folder.path()).entryList(QDir::Files).size(), 6); // 4 inputs and the two LUT files

    const QStringList cube = QString::fromUtf8(readFileBytes(space.path("luts_look_cube.cube"))).split('\n');
    EXPECT_TRUE(cube.contains("LUT_3D_SIZE 5"));
    const QStringList entries = cube.filter(QRegularExpression("^[0-9.]+ [0-9.]+ [0-9.]+$"));
    ASSERT_EQ(entries.size(), 5 * 5 * 5);
    for (const QString &entry : entries)
        for (const QString &value : entry.split(' '))
            EXPECT_TRUE(value.toDouble() >= 0.0 && value.toDouble() <= 1.0) << entry.toStdString();
    const cv::Mat unwrapped = decodeFile(space.path("luts_look_unwrapped.png"));
    EXPECT_EQ(unwrapped.cols, 256);
    EXPECT_EQ(unwrapped.rows, 16);
    EXPECT_TRUE(run.err.contains("luts_look_cube.cube (5 x 5 x 5)")) << run.err.toStdString();

    // With -o as well, the image is matched in a run of its own: a real picture, not the placeholder.
    const ProgramRun both = space.run({"chelsea.png", "rocket.jpg", "--lut", "again", "-o", "matched.png"});
    ASSERT_EQ(both.exitCode, 0) << both.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(space.path("again_cube.cube")));
    EXPECT_EQ(decodeFile(space.path("matched.png")).size(), cv::Size(451, 300));
}

TEST(ColormatchProgram, BatchKeepsGoingPastABrokenImage)
{
    const Workspace space;
    const ProgramRun run = space.run(
        {"-r", "rocket.jpg", "-d", "out/matched", "--format", "JPEG", "chelsea.png", "broken.png", "coffee.png"});
    EXPECT_EQ(run.exitCode, colormatchStatus::someFailed) << run.err.toStdString();

    const QDir out(space.path("out/matched"));
    EXPECT_EQ(out.entryList(QDir::Files, QDir::Name), (QStringList{"chelsea.jpg", "coffee.jpg"}));
    EXPECT_EQ(decodeFile(out.filePath("chelsea.jpg")).size(), cv::Size(451, 300));
    const cv::Mat coffee = decodeFile(space.path("coffee.png"));
    EXPECT_EQ(decodeFile(out.filePath("coffee.jpg")).size(), coffee.size());

    // One line per finished image, then the summary with the reason of each failure.
    const QStringList lines = run.err.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << run.err.toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^done    (chelsea|coffee)\\.png: wrote ")).size(), 2);
    const QString failure = "failed  broken.png: the engine failed with exit status 65: ERROR target image could "
                            "not be decoded";
    EXPECT_EQ(lines[3], "3 images: 2 done, 1 failed");
    EXPECT_TRUE(lines[4].startsWith(failure)) << lines[4].toStdString();
}

TEST(ColormatchProgram, PreviewShowsTargetReferenceAndResult)
{
    const Workspace space;
    const ProgramRun run = space.run({"chelsea.png", "rocket.jpg", "-o", "matched.png", "--preview", "side.png"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const cv::Mat target = decodeFile(space.path("chelsea.png"));
    const cv::Mat reference = decodeFile(space.path("rocket.jpg"));
    const cv::Mat result = decodeFile(space.path("matched.png"));
    const cv::Mat preview = decodeFile(space.path("side.png"));
    const double aspects =
        double(target.cols) / target.rows + double(reference.cols) / reference.rows + double(result.cols) / result.rows;
    const int height = int(std::lround(1200.0 / aspects));
    ASSERT_EQ(preview.cols, 1200);
    ASSERT_EQ(preview.rows, height);

    // Scaling keeps each picture's mean colour: compare each panel with its source.
    const int first = int(std::lround(double(target.cols) * height / target.rows));
    const int second = int(std::lround(double(reference.cols) * height / reference.rows));
    const std::pair<cv::Range, cv::Mat> panels[] = {{cv::Range(0, first), target},
                                                    {cv::Range(first, first + second), reference},
                                                    {cv::Range(first + second, 1200), result}};
    for (const auto &[columns, source] : panels) {
        const cv::Scalar shown = cv::mean(preview(cv::Range::all(), columns));
        const cv::Scalar original = cv::mean(source);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(shown[c], original[c], 2.0) << "panel from column " << columns.start << ", channel " << c;
    }
}

TEST(ColormatchProgram, MissingOrUnreadableInputs)
{
    const Workspace space;
    expectUserError(space.run({"nowhere.png", "rocket.jpg", "-o", "x.png"}), colormatchStatus::noInput,
                    "target image: nowhere.png does not exist");
    QDir(space.folder.path()).mkdir("folder.png");
    expectUserError(space.run({"chelsea.png", "folder.png", "-o", "x.png"}), colormatchStatus::noInput,
                    "reference image: folder.png is a folder");
    expectUserError(space.run({"-r", "nowhere.jpg", "-d", "out", "chelsea.png"}), colormatchStatus::noInput,
                    "nowhere.jpg does not exist");
    EXPECT_FALSE(QFileInfo::exists(space.path("x.png")));
}

TEST(ColormatchProgram, UnwritableOutputs)
{
    const Workspace space;
    expectUserError(space.run({"chelsea.png", "rocket.jpg", "-o", "missing/x.png"}), colormatchStatus::cannotCreate,
                    "does not exist");
    expectUserError(space.run({"chelsea.png", "rocket.jpg", "--lut", "chelsea.png/look"}),
                    colormatchStatus::cannotCreate, "is not a folder");
    expectUserError(space.run({"-r", "rocket.jpg", "-d", "coffee.png", "chelsea.png"}), colormatchStatus::cannotCreate,
                    "coffee.png: it is not a folder");
    expectUserError(space.run({"chelsea.png", "rocket.jpg", "-o", "x.xyz"}), colormatchStatus::usage,
                    "no image encoder for .xyz");
    expectUserError(space.run({"chelsea.png", "rocket.jpg", "-o", "rocket.jpg"}), colormatchStatus::usage,
                    "will not write over it");
    expectUserError(space.run({"chelsea.png", "rocket.jpg"}), colormatchStatus::usage, "nothing to write");
    expectUserError(space.run({"chelsea.png", "rocket.jpg", "--lut", "l", "--lut-size", "300"}),
                    colormatchStatus::usage, "--lut-size");
}

TEST(ColormatchProgram, EngineFailureIsPassedOn)
{
    const Workspace space;
    const ProgramRun run = space.run({"broken.png", "rocket.jpg", "-o", "x.png"});
    expectUserError(run, 65, "ERROR target image could not be decoded");
    EXPECT_FALSE(QFileInfo::exists(space.path("x.png")));
}

TEST(ColormatchProgram, EngineThatCannotBeFoundOrCrashes)
{
    const Workspace space;
    const QTemporaryDir lonely;
    const QString program = lonelyColormatch(lonely);
    const ProgramRun missing = runProgram(program, {"chelsea.png", "rocket.jpg", "-o", "x.png"}, space.folder.path());
    expectUserError(missing, colormatchStatus::unavailable, "cannot find the engine");
    EXPECT_TRUE(missing.err.contains(QDir::toNativeSeparators(lonely.filePath("matchengine"))))
        << missing.err.toStdString();

#ifdef _WIN32
    GTEST_SKIP() << "the stand-in engine is a shell script";
#else
    // A stand-in engine that dies of a segmentation fault.
    QFile engine(lonely.filePath("matchengine"));
    ASSERT_TRUE(engine.open(QIODevice::WriteOnly));
    engine.write("#!/bin/sh\nkill -SEGV $$\n");
    engine.close();
    engine.setPermissions(engine.permissions() | QFile::ExeOwner);
    const ProgramRun crashed = runProgram(program, {"chelsea.png", "rocket.jpg", "-o", "x.png"}, space.folder.path());
    expectUserError(crashed, colormatchStatus::software, "the engine crashed (signal 11");
    EXPECT_FALSE(QFileInfo::exists(space.path("x.png")));
#endif
}

TEST(ColormatchProgram, ExistingOutputsAreReplacedUnlessNoClobber)
{
    const Workspace space;
    QFile old(space.path("matched.png"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();

    const ProgramRun kept = space.run({"-n", "chelsea.png", "rocket.jpg", "-o", "matched.png"});
    EXPECT_EQ(kept.exitCode, 0) << kept.err.toStdString();
    EXPECT_TRUE(kept.err.startsWith("skipped chelsea.png: matched.png exists")) << kept.err.toStdString();
    EXPECT_EQ(readFileBytes(space.path("matched.png")), "old");

    const ProgramRun replaced = space.run({"chelsea.png", "rocket.jpg", "-o", "matched.png"});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err.toStdString();
    EXPECT_EQ(decodeFile(space.path("matched.png")).size(), cv::Size(451, 300));
}

TEST(ColormatchProgram, InfoHelpAndVersion)
{
    const Workspace space;
    const ProgramRun info = space.run({"--info"});
    ASSERT_EQ(info.exitCode, 0) << info.err.toStdString();
    const QStringList lines = info.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2) << info.out.toStdString();
    EXPECT_TRUE(lines[0] == "no OpenCL GPU" || lines[0].startsWith("GPU: ")) << lines[0].toStdString();
    EXPECT_EQ(lines[1], QString("CPUs: %1").arg(cv::getNumberOfCPUs()));

    const ProgramRun help = space.run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: colormatch [options] TARGET REFERENCE\n")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("-r REFERENCE -d OUTDIR IMAGE..."));
    EXPECT_TRUE(help.out.contains("Examples:"));
    EXPECT_TRUE(help.out.contains("--lut-size"));

    const ProgramRun version = space.run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("colormatch ")) << version.out.toStdString();

    expectUserError(space.run({"--no-such-option"}), colormatchStatus::usage, "no-such-option");
}
