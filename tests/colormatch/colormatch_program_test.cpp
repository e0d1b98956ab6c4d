// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch run as a person runs it: real files, the real engine beside it,
// standard error not a terminal.
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/platform.h"

#include "support/reference_match.h"
#include "support/test_support.h"
#include "workspace.h"

#include <QProcess>
#include <QThread>

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <csignal>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif
#include <fstream>
#include <iterator>

using testing_support::readFileBytes;

namespace {

QByteArray jpegSegment(uchar marker, const QByteArray &payload)
{
    return "\xFF" + QByteArray(1, char(marker)) + testing_support::bytesOf(quint64(payload.size() + 2), 2) + payload;
}

QByteArray withSegments(const QByteArray &jpeg, const QByteArray &segments)
{
    return jpeg.left(2) + segments + jpeg.mid(2);
}

// A colour profile in `count` APP2 chunks, written in the order of their
// sequence numbers in `order`.
QByteArray iccChunks(const QByteArray &profile, const QVector<int> &order, int count)
{
    const int piece = (profile.size() + count - 1) / count;
    QByteArray segments;
    for (const int sequence : order)
        segments += jpegSegment(0xE2, QByteArray("ICC_PROFILE\0", 12) + char(sequence) + char(count) +
                                          profile.mid((sequence - 1) * piece, piece));
    return segments;
}

// EXIF that says: shown turned by 90 degrees (orientation 6).
const QByteArray turnedExif = jpegSegment(0xE1, QByteArray("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0"
                                                           "\x06\0\0\0\0\0\0\0", 32));

// Adobe RGB with `stages` identity matrices chained in its float table.
QByteArray wideProfile(int stages = 0)
{
    cmsHPROFILE profile = adobeRgb();
    if (stages > 0) {
        const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        cmsPipeline *chain = cmsPipelineAlloc(nullptr, 3, 3);
        for (int i = 0; i < stages; ++i)
            cmsPipelineInsertStage(chain, cmsAT_END, cmsStageAllocMatrix(nullptr, 3, 3, identity, nullptr));
        cmsWriteTag(profile, cmsSigDToB1Tag, chain);
        cmsPipelineFree(chain);
    }
    return savedProfile(profile);
}

} // namespace

TEST(ColormatchProgram, MatchesOneImageWithItsSettingsAndPreviewAndReplacesOutputsUnlessNoClobber)
{
    const Workspace space;
    const ProgramRun run = space.run({"chelsea.png", "coffee.png", "-o", "matched.png", "--strength", "0.6",
                                      "--match-lightness", "--no-opencl", "--size-file", "size.txt", "--preview",
                                      "side.png"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const cv::Mat target8 = space.image("chelsea.png");
    testing_support::expectPlainMatch(space.image("matched.png"), target8, space.image("coffee.png"), true, 0.6);
    EXPECT_EQ(readFileBytes(space.path("size.txt")), "451x300");
    // Not a terminal: no bar, one plain line for the finished image.
    EXPECT_EQ(run.err, "done    chelsea.png: wrote matched.png (451 x 300), preview side.png (target | reference | "
                       "result)\n");

    const QByteArray first = readFileBytes(space.path("matched.png"));
    const ProgramRun kept = space.run({"-n", "chelsea.png", "rocket.jpg", "-o", "matched.png", "-s", "0"});
    EXPECT_EQ(kept.exitCode, 0) << kept.err.toStdString();
    EXPECT_TRUE(kept.err.startsWith("skipped chelsea.png: matched.png exists")) << kept.err.toStdString();
    EXPECT_EQ(readFileBytes(space.path("matched.png")), first);
}

// A deep target stays deep where its output holds 16 bits, and is matched in
// floating point then; --depth chooses, and is refused where it cannot hold.
TEST(ColormatchProgram, KeepsTheTargetsDepthWhereTheOutputHoldsIt)
{
    const Workspace space;
    const cv::Mat chelsea = space.image("chelsea.png");
    cv::Mat deep;
    chelsea.convertTo(deep, CV_16U, 257.0);
    cv::GaussianBlur(deep, deep, cv::Size(3, 3), 0.7); // levels between the 8-bit ones
    ASSERT_TRUE(cv::imwrite(space.path("deep.png").toStdString(), deep));
    const struct {
        const char *name;
        QStringList arguments;
        int status;
        int depth;           // of the output
        const char *message; // the error line, for a refusal
    } cases[] = {
        {"16-bit PNG to PNG", {"deep.png", "rocket.jpg", "-o", "out.png"}, 0, CV_16U, ""},
        {"16-bit PNG to JPEG", {"deep.png", "rocket.jpg", "-o", "out.jpg"}, 0, CV_8U, ""},
        {"16-bit PNG, --depth 8", {"deep.png", "rocket.jpg", "-o", "out.png", "--depth", "8"}, 0, CV_8U, ""},
        {"8-bit PNG, --depth 16", {"chelsea.png", "rocket.jpg", "-o", "out.png", "--depth", "16"}, 0, CV_16U, ""},
        {"batch", {"-r", "rocket.jpg", "-d", "batch", "deep.png", "chelsea.png"}, 0, CV_16U, ""},
        {"--depth 16 to JPEG", {"deep.png", "rocket.jpg", "-o", "out.jpg", "--depth", "16"}, 64, 0,
         "colormatch: --depth 16 is for PNG, TIFF and PAM outputs, not .jpg, which holds 8 bits a sample\n"},
        {"--depth 12", {"deep.png", "rocket.jpg", "-o", "out.png", "--depth", "12"}, 64, 0,
         "colormatch: --depth wants 8 or 16 (bits a sample), not \"12\"\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(space.path("out.png"));
        const ProgramRun run = space.run(c.arguments);
        ASSERT_EQ(run.exitCode, c.status) << run.err.toStdString();
        if (c.status != 0) {
            EXPECT_EQ(run.err, c.message);
            continue;
        }
        const QString output = c.arguments.contains("-d") ? "batch/deep.png" : c.arguments[3];
        EXPECT_EQ(space.image(output).depth(), c.depth);
    }
    EXPECT_EQ(space.image("batch/chelsea.png").depth(), CV_8U);

    // The deep output is the deep computation: against the plain one in double
    // (an untagged reference, taken as it is).
    ASSERT_EQ(space.run({"deep.png", "coffee.png", "-o", "out.tif"}).exitCode, 0);
    cv::Mat target, reference;
    deep.convertTo(target, CV_64F, 1.0 / 65535);
    space.image("coffee.png").convertTo(reference, CV_64F, 1.0 / 255);
    const testing_support::DeepAgreement agreement = testing_support::deepAgreement(
        space.image("out.tif"), testing_support::deepPlainMatch(target, reference, false, 1.0));
    EXPECT_GE(agreement.withinShare, 0.999);
}

TEST(ColormatchProgram, ExportsALutWithoutAnImage)
{
    const Workspace space;
    // NAME.cube is the cube's own name; the cube says what it is and where it works,
    // above the engine's entries (LutExport has OpenColorIO read those).
    const ProgramRun run = space.run({"chelsea.png", "rocket.jpg", "--lut", "luts_look.cube", "--lut-size", "5"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(QDir(space.folder.path()).entryList(QDir::Files).size(), 6); // 4 inputs and the two LUT files
    const QList<QByteArray> cube = readFileBytes(space.path("luts_look.cube")).split('\n');
    ASSERT_EQ(cube.size(), 5 + 5 * 5 * 5 + 2); // head, entries, last line end
    EXPECT_EQ(cube.mid(0, 5),
              (QList<QByteArray>{"# Made by colormatch from the target chelsea.png and the reference rocket.jpg",
                                 "# Input and output colour space: sRGB IEC61966-2.1", "TITLE \"luts_look\"",
                                 "LUT_3D_SIZE 5", ""}));
    EXPECT_TRUE(run.err.contains("luts_look.cube (5 x 5 x 5) and luts_look_unwrapped.png")) << run.err.toStdString();
}

// Each input is read once, so a pipe gives every engine run (image and LUT) and
// the preview the same image as the file would; so do files named in bytes
// that are no UTF-8, and masks that leave nothing out.
TEST(ColormatchProgram, InputsFromPipesAndMasksThatLeaveNothingOutMatchLikeTheFiles)
{
    const Workspace space;
#ifndef _WIN32
    // The test names them as colormatch does: each such byte a lone surrogate.
    keepFileNameBytes();
    auto latin1 = [](const char *name) {
        QString text;
        for (const char *c = name; *c; ++c)
            text += uchar(*c) < 0x80 ? QChar(*c) : QChar(ushort(0xDC00 + uchar(*c)));
        return text;
    };
    const QString cafe = latin1("caf\xE9.png"), rocketFF = latin1("r\xFF.jpg");
    QFile::copy(space.path("chelsea.png"), space.path(cafe));
    QFile::copy(space.path("rocket.jpg"), space.path(rocketFF));
#endif
    const ProgramRun fromFiles =
        space.run({"chelsea.png", "rocket.jpg", "-o", "files.png", "--lut", "files", "--no-opencl"});
    ASSERT_EQ(fromFiles.exitCode, 0) << fromFiles.err.toStdString();
    const QByteArray matched = readFileBytes(space.path("files.png"));
    const QByteArray target = readFileBytes(space.path("chelsea.png"));
    // Masks that leave nothing out change nothing.
    cv::imwrite(space.path("all_of_target.png").toStdString(), cv::Mat(space.image("chelsea.png").size(), CV_8U, 255));
    cv::imwrite(space.path("all_of_reference.png").toStdString(), cv::Mat(space.image("rocket.jpg").size(), CV_8U, 1));
    const struct {
        QStringList arguments;
        QByteArray input;
        QString result; // empty: standard output
    } cases[] = {
        {{"-", "rocket.jpg", "-o", "piped.png", "--lut", "piped", "--preview", "side.png", "--no-opencl"}, target,
         "piped.png"},
        {{"-r", "-", "-d", "batch", "chelsea.png", "--no-opencl"}, readFileBytes(space.path("rocket.jpg")),
         "batch/chelsea.png"},
        {{"chelsea.png", "rocket.jpg", "-o", "-", "--no-opencl"}, QByteArray(), ""},
        {{"chelsea.png", "rocket.jpg", "-o", "masked.png", "--target-mask", "all_of_target.png", "--reference-mask",
          "all_of_reference.png", "--no-opencl"}, QByteArray(), "masked.png"},
#ifndef _WIN32
        // A device is written to, not replaced; with no extension it takes PNG.
        {{"/dev/stdin", "rocket.jpg", "-o", "/dev/stdout", "--no-opencl"}, target, ""},
        {{cafe, rocketFF, "-o", latin1("o\xE9.png"), "--lut", latin1("l\xE9"), "--preview", latin1("p\xE9.png"),
          "--size-file", latin1("s\xE9.txt"), "--no-opencl"},
         QByteArray(), latin1("o\xE9.png")},
        {{"-r", rocketFF, "-d", latin1("d\xE9"), cafe, "--no-opencl"}, QByteArray(), latin1("d\xE9/caf\xE9.png")},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ProgramRun run = space.run(c.arguments, COLORMATCH_BINARY, c.input);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(c.result.isEmpty() ? run.out : readFileBytes(space.path(c.result)), matched);
    }
    // The same cube under its own head.
    const QByteArray piped = readFileBytes(space.path("piped_cube.cube"));
    const QByteArray files = readFileBytes(space.path("files_cube.cube"));
    EXPECT_EQ(piped.mid(piped.indexOf("LUT_3D_SIZE")), files.mid(files.indexOf("LUT_3D_SIZE")));
    EXPECT_EQ(space.image("side.png").cols, 1200);
#ifndef _WIN32
    // Every output under the very bytes it was given.
    const std::string folder = space.folder.path().toStdString() + '/';
    for (const char *name : {"p\xE9.png", "l\xE9_cube.cube", "l\xE9_unwrapped.png", "d\xE9/caf\xE9.png"})
        EXPECT_TRUE(std::ifstream(folder + name).good()) << name;
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(folder + "s\xE9.txt").rdbuf()), {}), "451x300");
    // Qt 5.15's removal of the workspace passes a folder so named by.
    std::remove((folder + "d\xE9/caf\xE9.png").c_str());
    ::rmdir((folder + "d\xE9").c_str());
#endif
}

#ifndef _WIN32 // signals, and a shell script as the engine
// Whether the process has ended: gone, or (Linux) a zombie that whatever
// adopted it has not reaped yet.
static bool processEnded(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return true;
#ifdef __linux__
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray fields = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
#else
    return false;
#endif
}

// Stopped, colormatch ends and waits for its engines, and leaves the outputs as
// they were, with no temporary files beside them; each image that had not ended
// gets a failed result line with the stop's status, those that ended keep their
// own. Killed (SIGKILL), it can do nothing, but on Linux its engines end with it.
TEST(ColormatchProgram, StoppedBySignalItEndsItsEngines)
{
    const Workspace space;
    QDir(space.folder.path()).mkdir("out");
    writeFile(space.path("out/chelsea.png"), "old");
#ifdef __linux__
    const int endingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGKILL};
#else
    const int endingSignals[] = {SIGTERM, SIGINT, SIGHUP};
#endif
    for (const int signal : endingSignals) {
        SCOPED_TRACE(signal);
        // colormatch leaves alone a signal it was started with ignored (nohup),
        // and whatever runs this test may ignore SIGINT (a background job): the
        // child is started with the signal at its default.
        struct sigaction byDefault {}, inherited {};
        byDefault.sa_handler = SIG_DFL;
        sigaction(signal, &byDefault, &inherited);
        // Engines that never finish, each leaving its process id beside it.
        const QTemporaryDir engines;
        const QString program = lonelyColormatch(engines, "#!/bin/sh\necho $$ > \"$0.$$.pid\"\nexec sleep 60\n");
        QProcess colormatch;
        colormatch.setWorkingDirectory(space.folder.path());
        const QTemporaryDir temporary;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary.path());
        colormatch.setProcessEnvironment(environment);
        colormatch.start(program,
                         {"--json", "-r", "rocket.jpg", "-d", "out", "chelsea.png", "nowhere.png", "coffee.png"});
        colormatch.waitForStarted();
        sigaction(signal, &inherited, nullptr);
        QStringList pids;
        for (int wait = 0; wait < 3000 && pids.isEmpty(); ++wait) {
            QThread::msleep(10);
            pids = QDir(engines.path()).entryList({"*.pid"});
        }
        ASSERT_FALSE(pids.isEmpty()) << "no engine started";
        // Another run leaves the folders of this live one alone, however long
        // it has been running (its claims made to look an hour old).
        const auto temporaryEntries = [&temporary] {
            return QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        };
        const QTemporaryDir nextEngines; // apart: the live run's engines stay the same
        const auto runNext = [&] {
            QProcess next;
            next.setWorkingDirectory(space.folder.path());
            next.setProcessEnvironment(environment);
            next.start(lonelyColormatch(nextEngines, "#!/bin/sh\nexit 70\n"),
                       {"chelsea.png", "rocket.jpg", "-o", "x.png"});
            EXPECT_TRUE(next.waitForFinished(60000));
            EXPECT_EQ(next.exitCode(), 70) << next.readAllStandardError().toStdString();
        };
        for (const QString &folder : temporaryEntries()) {
            const timeval anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
            ::utimes(QDir(temporary.path()).filePath(folder + "/.claim").toLocal8Bit().constData(), anHourAgo);
        }
        runNext();
        EXPECT_EQ(temporaryEntries().size(), 2);
        ::kill(pid_t(colormatch.processId()), signal);
        ASSERT_TRUE(colormatch.waitForFinished(60000));
        if (signal == SIGKILL) {
            EXPECT_EQ(colormatch.exitStatus(), QProcess::CrashExit);
        } else {
            EXPECT_EQ(colormatch.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(colormatch.exitCode(), 128 + signal);
            EXPECT_TRUE(colormatch.readAllStandardError().contains("colormatch: stopped by SIG"));
            const QVector<QJsonObject> lines = resultLines(colormatch.readAllStandardOutput());
            const QString stopped = QStringLiteral(" failed %1").arg(128 + signal);
            EXPECT_EQ(outcomes(lines),
                      (QStringList{"chelsea.png" + stopped, "coffee.png" + stopped, "nowhere.png failed 66"}));
            for (const QJsonObject &line : lines)
                if (line.value("exit") == 128 + signal)
                    EXPECT_TRUE(line.value("message").toString().startsWith("stopped by SIG")) << stopped.toStdString();
        }
        for (const QString &pid : QDir(engines.path()).entryList({"*.pid"})) {
            // An orphan's end signal is on its way as colormatch ends.
            bool ended = false;
            for (int wait = 0; wait < 500 && !ended; ++wait, QThread::msleep(10))
                ended = processEnded(pid_t(pid.section('.', 1, 1).toInt()));
            EXPECT_TRUE(ended) << "engine " << pid.toStdString() << " left";
        }
        // Killed, colormatch cannot remove its temporary folders: the engines'
        // results and its scratch folder remain, until the next run that makes
        // one of its own removes them.
        EXPECT_EQ(temporaryEntries().size(), signal == SIGKILL ? 2 : 0);
        runNext();
        EXPECT_EQ(temporaryEntries(), QStringList());
        EXPECT_EQ(QDir(space.path("out")).entryList(QDir::Files | QDir::Hidden), QStringList{"chelsea.png"});
        EXPECT_EQ(readFileBytes(space.path("out/chelsea.png")), "old");
    }
}

// A pipe whose writer stays idle holds a read forever: a stop still ends the
// run at once, as a stop, not as a failure of that image.
TEST(ColormatchProgram, StoppedWhileAnInputPipeIsIdle)
{
    const Workspace space;
    const QString fifo = space.path("idle.png");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    QProcess colormatch;
    colormatch.setWorkingDirectory(space.folder.path());
    colormatch.start(COLORMATCH_BINARY, {"-r", "rocket.jpg", "-d", "out", "chelsea.png", "idle.png"});
    ASSERT_TRUE(colormatch.waitForStarted());
    // The writer's end opens once colormatch reads the pipe; then it writes nothing.
    int writer = -1;
    for (int wait = 0; wait < 6000 && writer < 0; ++wait, QThread::msleep(10))
        writer = ::open(fifo.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0) << "colormatch never opened the pipe";
    QThread::msleep(200);
    ::kill(pid_t(colormatch.processId()), SIGTERM);
    const bool ended = colormatch.waitForFinished(10000);
    ::close(writer);
    ASSERT_TRUE(ended) << "the stop was not noticed";
    EXPECT_EQ(colormatch.exitCode(), 128 + SIGTERM);
    EXPECT_EQ(colormatch.readAllStandardError(), "colormatch: stopped by SIGTERM\n");
    EXPECT_FALSE(QFileInfo::exists(space.path("out/idle.png")));
}
#endif

// A broken image is one failure among the rest (a bad reference, which ends the
// batch at once, is a row of ColormatchResultLines' table).
TEST(ColormatchProgram, BatchesGoPastABrokenImageAndRunAsManyEnginesAsAsked)
{
    const Workspace space;
    const ProgramRun run = space.run(
        {"-r", "rocket.jpg", "-d", "out/matched", "--format", ".JPEG", "chelsea.png", "broken.png", "coffee.png"});
    EXPECT_EQ(run.exitCode, colormatchStatus::someFailed) << run.err.toStdString();
    EXPECT_EQ(QDir(space.path("out/matched")).entryList(QDir::Files, QDir::Name),
              (QStringList{"chelsea.jpg", "coffee.jpg"}));
    EXPECT_EQ(space.image("out/matched/coffee.jpg").size(), space.image("coffee.png").size());

    // One line per finished image, then the summary with the reason of each failure.
    const QStringList lines = run.err.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << run.err.toStdString();
    EXPECT_EQ(lines.filter("done    ").size(), 2);
    EXPECT_EQ(lines[3], "3 images: 2 done, 1 failed");
    EXPECT_TRUE(lines[4].startsWith("failed  broken.png: the engine failed with exit status 65: ERROR target image "
                                    "is a truncated PNG file"))
        << lines[4].toStdString();

    // A stand-in engine that notes when another one is running beside it.
    const QTemporaryDir alone;
    const QString colormatch = lonelyColormatch(
        alone, "#!/bin/sh\ncat >/dev/null\nif mkdir \"$0.lock\" 2>/dev/null; then sleep 0.3; rmdir \"$0.lock\"; "
               "else echo overlap >> \"$0.log\"; fi\nexit 65\n");
    const QString engine = alone.filePath("matchengine");
    for (const char *jobs : {"3", "1"}) {
        QFile::remove(engine + ".log");
        const ProgramRun each = space.run({"-j", jobs, "-r", "rocket.jpg", "-d", "out", "chelsea.png", "coffee.png",
                                           "rocket.jpg"},
                                          colormatch);
        EXPECT_EQ(each.exitCode, 1) << each.err.toStdString();
        EXPECT_EQ(QFileInfo::exists(engine + ".log"), QString(jobs) != "1") << "--jobs " << jobs;
    }
}

// Each ends with its own status, says what went wrong in the user's terms, and
// writes nothing.
TEST(ColormatchProgram, UserErrors)
{
    keepFileNameBytes(); // names in any bytes, as colormatch takes them
    const Workspace space;
    QDir(space.folder.path()).mkdir("full"); // a small, full disk is mounted here
    QDir(space.folder.path()).mkdir("folder.png");
    QDir(space.folder.path()).mkpath("taken/chelsea.png");
    QFile::copy(space.path("chelsea.png"), space.path("look_unwrapped.png"));
    QFile big(space.path("big.png")); // sparse: refused from its size
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(largestInput + 1));
    big.close();
    const QTemporaryDir alone, crashing, unmatched;
    const QString noEngine = lonelyColormatch(alone, QByteArray());
    const QString crashingEngine = lonelyColormatch(crashing, "#!/bin/sh\nkill -SEGV $$\n");
    // An engine whose colour transfer failed gives the target back unmatched, with status 0.
    const QString unmatchedEngine =
        lonelyColormatch(unmatched, "#!/bin/sh\ncat >/dev/null\necho 'CRASH (67+) (0) eigen failed' >&2\ncat chelsea.png\n");
    const QStringList matchToX{"chelsea.png", "rocket.jpg", "-o", "x.png"};

    // Crafted images: small ones the engine takes, metadata with one bad piece,
    // and bombs of time and memory.
    const cv::Mat chelsea = space.image("chelsea.png");
    const QByteArray rocket = readFileBytes(space.path("rocket.jpg"));
    const QByteArray jpeg = testing_support::encoded(chelsea, ".jpg");
    const QByteArray png = testing_support::encoded(chelsea(cv::Rect(0, 0, 5, 4)).clone());
    writeFile(space.path("tiny.png"), png);
    const QByteArray tinyJpeg = testing_support::encoded(chelsea(cv::Rect(0, 0, 5, 4)).clone(), ".jpg");
    const int scanStart = tinyJpeg.indexOf("\xFF\xDA");
    writeFile(space.path("scan_start.jpg"), tinyJpeg.left(scanStart + 2 + (uchar(tinyJpeg[scanStart + 2]) << 8)
                                                           + uchar(tinyJpeg[scanStart + 3])));
    writeFile(space.path("trailer.jpg"), rocket + QByteArray("\0\0\0\x18" "ftypmp42\xFF\xDA\0\x08", 16) + QByteArray(99, 'v'));
    writeFile(space.path("shuffled.jpg"), withSegments(jpeg, iccChunks(wideProfile(), {2, 1, 3}, 3)));
    writeFile(space.path("incomplete.jpg"), withSegments(jpeg, iccChunks(wideProfile(), {1, 3}, 3)));
    writeFile(space.path("stages.jpg"), withSegments(jpeg, iccChunks(wideProfile(100), {1}, 1)));
    writeFile(space.path("bad_xmp.jpg"), withSegments(jpeg, turnedExif + jpegSegment(0xE1, "http://ns.adobe.com/xap/1.0/"
                                                                       + QByteArray(1, '\0') + "<x:xmpmeta><rdf:RDF")));
    QByteArray huge = savedProfile(cmsCreate_sRGBProfile());
    huge.replace(0, 4, QByteArray("\x80\0\0\0", 4));
    writeFile(space.path("huge_icc.jpg"), withSegments(jpeg, turnedExif + iccChunks(huge, {1}, 1)));
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    writeFile(space.path("big_xmp.png"),
              withMetadata(png, exif, {}, {},
                           "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/"
                           "22-rdf-syntax-ns#'><rdf:Description rdf:about='' xmlns:xmp='http://ns.adobe.com/xap/1.0/'"
                           " xmp:Label='" + std::string(70000, 'a') + "'/></rdf:RDF></x:xmpmeta>"));
    const QByteArray bmp = testing_support::encoded(chelsea(cv::Rect(0, 0, 16, 16)).clone(), ".bmp");
    writeFile(space.path("bomb.bmp"), QByteArray(bmp).replace(18, 8, QByteArray("\x30\x75\0\0\x30\x75\0\0", 8)));
    writeFile(space.path("bomb.png"), testing_support::pngClaiming(png, 24000, 24000));
    cmsHPROFILE inks = cmsCreateProfilePlaceholder(nullptr);
    cmsSetColorSpace(inks, cmsSigCmykData);
    cmsSetPCS(inks, cmsSigLabData);
    const QByteArray cmyk = testing_support::libjpegEncoded(cv::Mat(16, 16, CV_8UC4, cv::Scalar(10, 200, 30, 5)));
    writeFile(space.path("cmyk.jpg"), withSegments(testing_support::jpegClaiming(cmyk, 17000, 17000),
                                                   iccChunks(savedProfile(inks), {1}, 1)));
    const QByteArray scans = testing_support::libjpegEncoded(chelsea, true);
    writeFile(space.path("scans.jpg"), scans);
    writeFile(space.path("text.png"), testing_support::withTextChunks(png, "zTXt", 3, 6 << 20));
    writeFile(space.path("long_chunk.png"), png.left(33) + QByteArray("\x7F\xFF\xFF\xF0iTXt", 8) + png.mid(33));
    // Sizes the image probe reads that colormatch once missed: strips, Netpbm, a JPEG's coefficients.
    // (compressed: libtiff cuts one uncompressed strip into small ones)
    writeFile(space.path("strips.tif"), testing_support::tiffWith(false, {{256, 16000}, {257, 16000}, {259, 8},
                                                                          {273, 8}, {278, 8000}, {279, 1}}));
    writeFile(space.path("bomb.ppm"), "P6\n40000 40000\n255\n" + png);
    writeFile(space.path("bomb.gif"), "GIF89a" + png);
    writeFile(space.path("scans_bomb.jpg"),
              testing_support::jpegClaiming(testing_support::encoded(chelsea, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}),
                                            16000, 16000, "\xFF\xC2"));
    // Outputs written through a link to standard output, outside the folder.
    const QTemporaryDir elsewhere;
    QFile::link("/dev/stdout", elsewhere.filePath("out.jpg"));
    const QString toStandardOutput = elsewhere.filePath("out.jpg");
    auto turned = [](const testing_support::EngineRun &run) {
        Exiv2Image image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte *>(run.out.constData()), long(run.out.size()));
        image->readMetadata();
        EXPECT_EQ(exiv2Integer(image->exifData()["Exif.Image.Orientation"]), 6);
    };

    using namespace colormatchStatus;
    const struct {
        QStringList arguments;
        int status;
        QString part;
        std::function<void(const testing_support::EngineRun &)> check = {};
        QString program = COLORMATCH_BINARY;
    } cases[] = {
        {{"nowhere.png", "rocket.jpg", "-o", "x.png"}, noInput, "target image: nowhere.png does not exist"},
        {{"chelsea.png", "folder.png", "-o", "x.png"}, noInput, "reference image: folder.png is a folder"},
        {{"-r", "nowhere.jpg", "-d", "out", "chelsea.png"}, noInput, "nowhere.jpg does not exist"},
        {{"chelsea.png", "rocket.jpg", "-o", "missing/x.png"}, cannotCreate, "does not exist"},
        {{"chelsea.png", "rocket.jpg", "--lut", "chelsea.png/look"}, cannotCreate, "is not a folder"},
        {{"-r", "rocket.jpg", "-d", "coffee.png", "chelsea.png"}, cannotCreate, "coffee.png: it is not a folder"},
        {{"chelsea.png", "rocket.jpg", "-o", "x.xyz"}, usage, "no image encoder for .xyz"},
        // Outputs naming an input or one another, before anything is read or started.
        {{"chelsea.png", "rocket.jpg", "-o", "rocket.jpg"}, usage,
         "the output rocket.jpg is the reference image rocket.jpg: colormatch will not write over an input"},
        {{"look_unwrapped.png", "rocket.jpg", "--lut", "look"}, usage,
         "the LUT file look_unwrapped.png is the target image look_unwrapped.png"},
        {{"chelsea.png", "rocket.jpg", "-o", "x.png", "--preview", "./x.png"}, usage,
         "the output x.png and the preview ./x.png are one file"},
        {{"chelsea.png", "rocket.jpg", "--size-file", "b_cube.cube", "--lut", "b"}, usage,
         "the size file b_cube.cube and the LUT file b_cube.cube are one file"},
        {{"-r", "rocket.jpg", "-d", ".", "chelsea.png"}, usage,
         "the output ./chelsea.png (of chelsea.png) is the image chelsea.png"},
        {{"-", "-", "-o", "x.png"}, usage, "standard input (-) can be read only once"},
        {{"-r", "rocket.jpg", "-d", "out", "-"}, usage, "a batch image needs a file name"},
        {{"-r", "rocket.jpg", "-d", "taken", "chelsea.png"}, someFailed,
         "failed  chelsea.png: cannot write output taken/chelsea.png: taken/chelsea.png is a folder"},
        {{"chelsea.png", "big.png", "-o", "x.png"}, dataError,
         "reference image: big.png is larger than the 1023 MiB colormatch reads of an image"},
#ifndef _WIN32
        // A device that never ends, or bytes in no image format, are refused at their first bytes.
        {{"/dev/zero", "rocket.jpg", "-o", "x.png"}, dataError,
         "target image /dev/zero: its first 1048576 bytes in no format the image decoders read"},
        {{"--apply-lut", "/dev/zero", "chelsea.png", "-o", "x.png"}, dataError, "cube /dev/zero is not text"},
        // A stream stops where its image ends, and is refused as soon as it can no longer be its image.
        {{"-c", "cat tiny.png /dev/zero | exec \"$0\" - rocket.jpg --preview /dev/null", COLORMATCH_BINARY}, ok,
         "wrote preview /dev/null", {}, "/bin/sh"},
        {{"-c", "(head -c 33 tiny.png; cat /dev/zero) | exec \"$0\" - rocket.jpg -o x.png", COLORMATCH_BINARY},
         dataError, "target image standard input: not a readable PNG file: the bytes at offset 33 are no chunk", {},
         "/bin/sh"},
        {{"-c", "cat scan_start.jpg /dev/zero | exec \"$0\" chelsea.png - -o x.png", COLORMATCH_BINARY}, dataError,
         "reference image standard input: not a readable JPEG file: a scan holds more than the 129472 bytes", {},
         "/bin/sh"},
        {{"-c", "(printf '\\377\\330\\377'; cat /dev/zero) | exec \"$0\" - rocket.jpg -o x.png", COLORMATCH_BINARY},
         dataError, "not a readable JPEG file: more than 1 MiB of its bytes lie outside its segments", {}, "/bin/sh"},
        {{"-c", "(printf 'MM\\0*'; cat /dev/zero) | exec \"$0\" - rocket.jpg -o x.png", COLORMATCH_BINARY},
         dataError, "not a readable TIFF file: its first directory at offset 0 lies in its header", {}, "/bin/sh"},
        // Names in bytes that are no UTF-8 are shown readably; a full disk is named.
        {{QStringLiteral("n") + QChar(0xDCE9) + ".png", "rocket.jpg", "-o", "x.png"}, noInput,
         "target image: n\\xE9.png does not exist"},
        {{"chelsea.png", "rocket.jpg", "--preview", "/dev/full"}, cannotCreate,
         "cannot write /dev/full: No space left on device"},
        {{"-m", "sh", "-c", "mount -t tmpfs -o size=16k tmpfs full && exec \"$0\" chelsea.png rocket.jpg --lut full/look",
          COLORMATCH_BINARY},
         cannotCreate, "cannot write full/look_cube.cube: No space left on device", {}, "/usr/bin/unshare"},
        {{"-m", "sh", "-c", "mount -t tmpfs -o size=16k tmpfs full && exec \"$0\" chelsea.png rocket.jpg -o full/x.png",
          COLORMATCH_BINARY},
         cannotCreate, "cannot write full/x.png: No space left on device", {}, "/usr/bin/unshare"},
#endif
        {{"chelsea.png", "rocket.jpg", "-o", "-", "--size-file", "-"}, usage,
         "the output - and the size file - are one file"},
#ifndef _WIN32
        // Standard output a terminal (script's), standard error through to the test.
        {{"-c", "script -qec \"$0 chelsea.png rocket.jpg -o - 2>&3\" /dev/null 3>&2", COLORMATCH_BINARY}, usage,
         "standard output is a terminal: colormatch will not write an image to it", {}, "/bin/sh"},
#endif
        {{"chelsea.png", "rocket.jpg"}, usage, "nothing to write"},
        {{"chelsea.png", "-o", "x.png"}, usage, "expected TARGET and REFERENCE, got 1 file name (try"},
        {{"chelsea.png", "rocket.jpg", "-o", "x.png", "-s", "nan"}, usage, "--strength wants a finite number"},
        {{"-r", "rocket.jpg", "-d", "out", "-o", "-", "chelsea.png"}, usage, "-o - (standard output) takes one image"},
#ifndef _WIN32 // before the engine starts (as root, /proc itself reads as writable)
        {{"chelsea.png", "rocket.jpg", "--lut", "/proc/look.cube"}, cannotCreate,
         "cannot write LUT file /proc/look.cube"},
#endif
        {{"chelsea.png", "rocket.jpg", "--lut", "l", "--lut-size", "300"}, usage, "--lut-size"},
        {{"--strenght", "2"}, usage, "unknown option --strenght: did you mean --strength?"},
        {{"chelsea.png", "rocket.jpg", "--lut-size", "17", "-o", "x.png"}, usage, "give --lut BASE too"},
        {{"chelsea.png", "rocket.jpg", "--quality", "80", "-o", "x.png"}, usage, "--quality is for JPEG and WebP"},
        {{"-r", "rocket.jpg", "-d", "out", "--format", "jpg", "--lossless", "chelsea.png"}, usage, "not .jpg"},
        {{"broken.png", "rocket.jpg", "-o", "x.png"}, 65, "ERROR target image is a truncated PNG file"},
        {{"chelsea.png", "tiny.png", "--preview", "/dev/null"}, ok, "done    chelsea.png: wrote preview /dev/null"},
        {{"chelsea.png", "trailer.jpg", "--preview", "/dev/null"}, ok, "done    chelsea.png"},
        {{"chelsea.png", "shuffled.jpg", "--preview", "/dev/null", "--verbose"}, ok,
         "reference image shuffled.jpg converted from RGB built-in"},
        {{"chelsea.png", "rocket.jpg", "--preview", "/dev/null", "--gain-limit", "2", "--verbose"}, ok,
         " colormatch matchengine-options/1;gain-limit=2 match "}, // a request option at position 2
        {{"chelsea.png", "rocket.jpg", "-o", "x.png", "--gain-limit", "0.5"}, usage,
         "--gain-limit wants a number of at least 1"},
        {{"chelsea.png", "incomplete.jpg", "--preview", "/dev/null"}, ok,
         "left out: the reference's colour profile (1 of its 3 ICC chunks are missing), which was read as untagged"},
        {{"bad_xmp.jpg", "rocket.jpg", "-o", toStandardOutput}, ok,
         "left out: the target's XMP (the packet does not parse as XMP)", turned},
        {{"huge_icc.jpg", "rocket.jpg", "-o", toStandardOutput}, ok,
         "left out: the target's colour profile (it declares 2147483648 bytes and holds", turned},
        {{"big_xmp.png", "rocket.jpg", "-o", toStandardOutput}, ok, "left out: the target's XMP (", turned},
        {{"chelsea.png", "bomb.bmp", "-o", "x.png"}, dataError,
         "reference image bomb.bmp: declares 30000 x 30000 pixels, more than the limit of 268435456"},
        {{"chelsea.png", "bomb.png", "-o", "x.png"}, dataError, "reference image bomb.png: declares 24000 x 24000"},
        {{"cmyk.jpg", "rocket.jpg", "-o", "x.png"}, dataError, "target image cmyk.jpg declares 17000 x 17000 pixels"},
        {{"-r", "scans.jpg", "-d", "out", "chelsea.png"}, dataError,
         QString("reference image scans.jpg: a JPEG file (%1 bytes) with more than 100 scans").arg(scans.size())},
        {{"chelsea.png", "text.png", "-o", "x.png"}, dataError, "reference image text.png: a PNG file ("},
        {{"chelsea.png", "long_chunk.png", "-o", "x.png"}, dataError, "reference image long_chunk.png: a truncated PNG"},
        {{"chelsea.png", "strips.tif", "-o", "x.png"}, dataError,
         "reference image strips.tif: declares 16000 x 16000 pixels in tiles or strips of 128000000 pixels"},
        {{"chelsea.png", "bomb.ppm", "-o", "x.png"}, dataError,
         "reference image bomb.ppm: declares 40000 x 40000 pixels, more than the limit"},
        {{"chelsea.png", "scans_bomb.jpg", "-o", "x.png"}, dataError,
         "reference image scans_bomb.jpg: declares 16000 x 16000 pixels in several scans, for which libjpeg holds"},
        {{"chelsea.png", "bomb.gif", "-o", "x.png"}, dataError,
         "reference image bomb.gif: in a format the engine does not accept (GIF)"},
        {{"chelsea.png", "stages.jpg", "-o", "x.png"}, dataError,
         "reference image stages.jpg: its colour profile chains 100 stages in one of its tables, more than the limit of 64"},
        // A mask has its image's size; it is for one image.
        {{"chelsea.png", "coffee.png", "-o", "x.png", "--target-mask", "tiny.png"}, dataError,
         "the target mask tiny.png is 5 x 4 pixels, not the 451 x 300 of the target image chelsea.png"},
        {{"chelsea.png", "coffee.png", "-o", "x.png", "--reference-mask", "chelsea.png"}, dataError,
         "the reference mask chelsea.png is 451 x 300 pixels, not the "},
        {{"chelsea.png", "coffee.png", "-o", "x.png", "--target-mask", "broken.png"}, dataError,
         "the target mask broken.png does not decode as an image"},
        {{"-r", "coffee.png", "-d", "out", "chelsea.png", "--reference-mask", "coffee.png"}, usage,
         "--reference-mask works on one image, not in a batch"},
        {matchToX, unavailable, QDir::toNativeSeparators(alone.filePath("matchengine")) + " is missing", {}, noEngine},
#ifndef _WIN32 // the stand-in engine is a shell script
        {matchToX, software, "the engine crashed (signal 11", {}, crashingEngine},
        {matchToX, software, "the colour transfer failed inside the engine (CRASH (67+) (0) eigen failed)", {},
         unmatchedEngine},
#endif
    };
    const QStringList before = space.snapshot();
    for (const auto &c : cases) {
#ifndef _WIN32
        if (c.program == "/usr/bin/unshare" && geteuid() != 0)
            continue; // mounting a small disk of its own needs root
#endif
        SCOPED_TRACE((c.program + " " + c.arguments.join(' ')).toStdString());
        const testing_support::EngineRun run =
            testing_support::runProgram(c.program, c.arguments, QByteArray(), {}, 0, space.folder.path());
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, c.status) << run.err.toStdString();
        EXPECT_TRUE(QString::fromUtf8(run.err).contains(c.part)) << run.err.toStdString();
        // A refusal costs little, whatever the image declares or the device holds.
        if (c.status != ok)
            EXPECT_LE(run.peakMemoryKiB, 400 * 1024) << run.err.toStdString();
        EXPECT_EQ(space.snapshot(), before);
        if (c.check)
            c.check(run);
    }
}
