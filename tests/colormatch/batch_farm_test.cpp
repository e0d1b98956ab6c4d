// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch as a farm runs it: batches from list files, a JSON line per
// image, re-runs that skip what is done, and the GNU parallel recipe of the
// README run for real.
#include "colormatch/errors.h"
#include "colormatch/platform.h"

#include "support/test_support.h"
#include "workspace.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#ifndef _WIN32
#include <unistd.h>
#endif

using testing_support::readFileBytes;

namespace {

// The result lines of a run's standard output, each checked to be one JSON object.
QVector<QJsonObject> resultLines(const QByteArray &out)
{
    QVector<QJsonObject> lines;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(document.isObject()) << line.toStdString();
        lines << document.object();
    }
    return lines;
}

// "input status exit" of each line, sorted: the order in which images end is not fixed.
QStringList outcomes(const QVector<QJsonObject> &lines)
{
    QStringList words;
    for (const QJsonObject &line : lines)
        words << QStringLiteral("%1 %2 %3")
                     .arg(line.value("input").toString(), line.value("status").toString())
                     .arg(line.value("exit").toInt(-1));
    words.sort();
    return words;
}

} // namespace

// Each list form gives the same batch; a name that is missing fails alone.
TEST(ColormatchBatchList, ReadsLinesCrLfNulAndStandardInputAndRunsTheRestPastAMissingImage)
{
    keepFileNameBytes();
    const Workspace space;
    const QString latin1Name = QFile::decodeName("caf\xE9.png");
    QFile::copy(space.path("coffee.png"), space.path(latin1Name));
    const QStringList done{"chelsea.png done 0", "coffee.png done 0"};
    const QStringList withMissing{"chelsea.png done 0", "coffee.png done 0", "nowhere.png failed 66"};
    const struct {
        const char *what;
        QByteArray list;
        QStringList arguments; // after -r rocket.jpg -d out --json
        bool throughStandardInput;
        int status;
        QStringList outcomes;
    } cases[] = {
        {"LF", "chelsea.png\ncoffee.png\n", {"--from-list", "list"}, false, 0, done},
        {"CR LF, blank lines", "\r\nchelsea.png\r\n\r\n \t\r\ncoffee.png\r\n\r\n", {"--from-list", "list"}, false, 0,
         done},
        {"NUL found", QByteArray("chelsea.png\0coffee.png\0", 24), {"--from-list", "list"}, false, 0, done},
        {"NUL asked", "chelsea.png", {"--from-list", "list", "-0", "coffee.png"}, false, 0, done},
        {"standard input", "chelsea.png\ncoffee.png", {"--from-list", "-"}, true, 0, done},
        {"a missing image", "chelsea.png\nnowhere.png\ncoffee.png\n", {"--from-list", "list"}, false,
         colormatchStatus::someFailed, withMissing},
        {"empty", "\n", {"--from-list", "list"}, false, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QDir(space.path("out")).removeRecursively();
        writeFile(space.path("list"), c.list);
        const ProgramRun run = space.run(QStringList{"-r", "rocket.jpg", "-d", "out", "--json"} + c.arguments,
                                         COLORMATCH_BINARY, c.throughStandardInput ? c.list : QByteArray());
        EXPECT_EQ(run.exitCode, c.status) << run.err.toStdString();
        const QVector<QJsonObject> lines = resultLines(run.out);
        EXPECT_EQ(outcomes(lines), c.outcomes) << run.out.toStdString();
        for (const QJsonObject &line : lines)
            if (line.value("status") == "done")
                EXPECT_EQ(space.image(line.value("output").toString()).size(),
                          space.image(line.value("input").toString()).size());
    }

    // A name in bytes that are no UTF-8, listed: its output has its bytes, its line says them exactly.
    QDir(space.path("out")).removeRecursively();
    writeFile(space.path("list"), "caf\xE9.png\n");
    const ProgramRun named = space.run({"-r", "rocket.jpg", "-d", "out", "--json", "--from-list", "list"});
    EXPECT_EQ(named.exitCode, 0) << named.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(space.path("out/" + latin1Name)));
    const QVector<QJsonObject> lines = resultLines(named.out);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].value("input").toString(), "caf\\xE9.png");
    EXPECT_EQ(QByteArray::fromBase64(lines[0].value("input_bytes").toString().toLatin1()), "caf\xE9.png");
    EXPECT_EQ(QByteArray::fromBase64(lines[0].value("output_bytes").toString().toLatin1()), "out/caf\xE9.png");

    // Refused as a whole, nothing written.
    const struct {
        QStringList arguments;
        int status;
        const char *part;
    } refusals[] = {
        {{"--from-list", "nolist"}, colormatchStatus::noInput, "colormatch: list file nolist does not exist\n"},
        {{"--from-list", "out"}, colormatchStatus::noInput, "list file out is a folder"},
        {{"--from-list", "-", "-r", "-"}, colormatchStatus::usage, "standard input (-) can be read only once"},
        {{"-0", "chelsea.png"}, colormatchStatus::usage, "-0 (--null) is for the names of --from-list FILE"},
        {{"--from-list", ""}, colormatchStatus::usage, "--from-list wants a FILE"},
    };
    QDir(space.path("out")).removeRecursively();
    QDir(space.folder.path()).mkdir("out");
    for (const auto &c : refusals) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ProgramRun run = space.run(QStringList{"-r", "rocket.jpg", "-d", "out", "--json"} + c.arguments);
        EXPECT_EQ(run.exitCode, c.status);
        EXPECT_TRUE(run.err.contains(c.part)) << run.err.toStdString();
        EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
        EXPECT_TRUE(QDir(space.path("out")).isEmpty());
    }
}

// One line per image, for one image and for batches; a re-run with -n skips
// what is done and says so, with exit status 0.
TEST(ColormatchResultLines, NameEachImagesOutcomeForSingleRunsBatchesAndRerunsOnStandardOutput)
{
    const Workspace space;
    const struct {
        const char *what;
        QStringList arguments;
        int status;
        QStringList outcomes;
        const char *message; // of the last line, in part
    } cases[] = {
        {"one image", {"chelsea.png", "rocket.jpg", "-o", "one.png", "--json"}, 0, {"chelsea.png done 0"},
         "wrote one.png (451 x 300)"},
        {"one image, its LUT too", {"chelsea.png", "rocket.jpg", "-o", "two.png", "--lut", "two", "--json"}, 0,
         {"chelsea.png done 0", "chelsea.png done 0"}, ""},
        {"one image again, -n", {"chelsea.png", "rocket.jpg", "-o", "one.png", "-n", "--json"}, 0,
         {"chelsea.png skipped 0"}, "one.png exists; left as it is (--no-clobber)"},
        {"one missing image", {"nowhere.png", "rocket.jpg", "-o", "x.png", "--json"}, colormatchStatus::noInput,
         {"nowhere.png failed 66"}, "target image: nowhere.png does not exist"},
        {"a batch with a broken image", {"-r", "rocket.jpg", "-d", "out", "--json", "chelsea.png", "broken.png"},
         colormatchStatus::someFailed, {"broken.png failed 65", "chelsea.png done 0"}, ""},
        {"again, -n", {"-r", "rocket.jpg", "-d", "out", "--json", "-n", "chelsea.png", "broken.png"},
         colormatchStatus::someFailed, {"broken.png failed 65", "chelsea.png skipped 0"}, ""},
        {"again, -n, what is done", {"-r", "rocket.jpg", "-d", "out", "--json", "-n", "chelsea.png"}, 0,
         {"chelsea.png skipped 0"}, "out/chelsea.png exists; left as it is (--no-clobber)"},
        {"a bad reference", {"-r", "broken.png", "-d", "out", "--json", "coffee.png", "rocket.jpg"},
         colormatchStatus::dataError, {"coffee.png failed 65", "rocket.jpg failed 65"},
         "reference image broken.png: a truncated PNG file"},
        {"standard output taken", {"chelsea.png", "rocket.jpg", "-o", "-", "--json"}, colormatchStatus::usage, {}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramRun run = space.run(c.arguments);
        EXPECT_EQ(run.exitCode, c.status) << run.err.toStdString();
        const QVector<QJsonObject> lines = resultLines(run.out);
        EXPECT_EQ(outcomes(lines), c.outcomes) << run.out.toStdString();
        if (lines.isEmpty())
            continue;
        EXPECT_TRUE(lines.last().value("message").toString().contains(c.message)) << run.out.toStdString();
        for (const QJsonObject &line : lines) {
            EXPECT_TRUE(line.value("seconds").isDouble());
            EXPECT_TRUE(line.value("output").isString()) << "every output named";
            // The progress display stays on standard error, a line for each image that ran.
            if (line.value("exit") == 0)
                EXPECT_TRUE(run.err.contains(QFileInfo(line.value("input").toString()).fileName()));
        }
    }
}

#ifndef _WIN32 // signals and a stand-in engine script
// Stopped, a batch gives each image that had not ended a failed line with the
// stop's status; those that ended keep their own.
TEST(ColormatchResultLines, AStoppedBatchGivesEachImageNotEndedAFailedLine)
{
    const Workspace space;
    struct sigaction byDefault {}, inherited {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGTERM, &byDefault, &inherited); // as the test's runner may have it ignored
    const QTemporaryDir engines;
    const QString program = lonelyColormatch(engines, "#!/bin/sh\necho $$ > \"$0.$$.pid\"\nexec sleep 60\n");
    QProcess colormatch;
    colormatch.setWorkingDirectory(space.folder.path());
    colormatch.start(program, {"--json", "-j", "1", "-r", "rocket.jpg", "-d", "out", "chelsea.png", "nowhere.png",
                               "coffee.png"});
    colormatch.waitForStarted();
    sigaction(SIGTERM, &inherited, nullptr);
    for (int wait = 0; wait < 3000 && QDir(engines.path()).entryList({"*.pid"}).isEmpty(); ++wait)
        QThread::msleep(10);
    ASSERT_FALSE(QDir(engines.path()).entryList({"*.pid"}).isEmpty()) << "no engine started";
    ::kill(pid_t(colormatch.processId()), SIGTERM);
    ASSERT_TRUE(colormatch.waitForFinished(60000));
    EXPECT_EQ(colormatch.exitCode(), 128 + SIGTERM);
    const QVector<QJsonObject> lines = resultLines(colormatch.readAllStandardOutput());
    EXPECT_EQ(outcomes(lines),
              (QStringList{"chelsea.png failed 143", "coffee.png failed 143", "nowhere.png failed 66"}));
    for (const QJsonObject &line : lines)
        if (line.value("exit") == 143)
            EXPECT_TRUE(line.value("message").toString().startsWith("stopped by SIGTERM"))
                << line.value("message").toString().toStdString();
}

// GNU parallel is for POSIX systems.
// The README's recipe: jobs of two images, two job slots standing in for
// remote hosts, a job log; a job that failed runs again once its image is
// mended, and a run after everything is done runs nothing.
TEST(ColormatchFarmRecipes, GnuParallelRunsTheListResumesFailedJobsAndRunsNothingOnceDone)
{
    const QString parallel = QStandardPaths::findExecutable("parallel");
    if (parallel.isEmpty())
        GTEST_SKIP() << "GNU parallel is not installed";
    const Workspace space;
    QStringList names;
    for (const char *name : {"a", "b", "c", "d", "e"}) {
        QFile::copy(space.path("coffee.png"), space.path(QString(name) + ".png"));
        names << QString(name) + ".png";
    }
    const QByteArray coffee = readFileBytes(space.path("c.png"));
    writeFile(space.path("c.png"), "not yet an image"); // its job fails
    writeFile(space.path("list.txt"), names.join('\n').toUtf8() + '\n');
    QDir(space.folder.path()).mkdir("home"); // parallel keeps its files in ~/.parallel
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", space.path("home"));
    // As in the README, with the build's colormatch and in the workspace.
    const QString recipe =
        QStringLiteral("parallel --will-cite --joblog jobs.log --resume-failed --sshlogin 2/: --wd . -N 2 "
                       "'%1' --json -n -j 1 -r rocket.jpg -d matched {} :::: list.txt >> results.jsonl")
            .arg(COLORMATCH_BINARY);
    auto runRecipe = [&] {
        QProcess shell;
        shell.setProcessEnvironment(environment);
        shell.setWorkingDirectory(space.folder.path());
        shell.setStandardInputFile(QProcess::nullDevice());
        shell.start("/bin/sh", {"-c", recipe});
        if (!shell.waitForFinished(300000))
            throw std::runtime_error("parallel did not end");
        return shell.exitCode();
    };
    // The job log's exit values by the command's images, in the order the jobs ran.
    auto jobLog = [&] {
        QStringList jobs;
        const QList<QByteArray> lines = readFileBytes(space.path("jobs.log")).trimmed().split('\n');
        for (const QByteArray &line : lines.mid(1)) {
            const QList<QByteArray> fields = line.split('\t');
            jobs << QString(fields.value(6) + " " + fields.value(8).split(' ').mid(9).join(' '));
        }
        return jobs;
    };

    EXPECT_EQ(runRecipe(), 1); // parallel: the number of failed jobs
    QStringList firstJobs = jobLog();
    firstJobs.sort();
    EXPECT_EQ(firstJobs, (QStringList{"0 a.png b.png", "0 e.png", "1 c.png d.png"}));
    EXPECT_EQ(outcomes(resultLines(readFileBytes(space.path("results.jsonl")))),
              (QStringList{"a.png done 0", "b.png done 0", "c.png failed 65", "d.png done 0", "e.png done 0"}));
    EXPECT_EQ(QDir(space.path("matched")).entryList(QDir::Files), (QStringList{"a.png", "b.png", "d.png", "e.png"}));

    // Mended, c.png's job runs again; d.png, done already, is skipped.
    writeFile(space.path("c.png"), coffee);
    EXPECT_EQ(runRecipe(), 0);
    EXPECT_EQ(jobLog().mid(3), QStringList{"0 c.png d.png"});
    const QVector<QJsonObject> second = resultLines(readFileBytes(space.path("results.jsonl"))).mid(5);
    EXPECT_EQ(outcomes(second), (QStringList{"c.png done 0", "d.png skipped 0"}));
    EXPECT_EQ(space.image("matched/c.png").size(), space.image("c.png").size());

    // Everything done: nothing runs, nothing is written.
    const QStringList before = space.snapshot();
    const QByteArray matchedBefore = readFileBytes(space.path("matched/a.png"));
    const QDateTime changed = QFileInfo(space.path("matched/a.png")).lastModified();
    EXPECT_EQ(runRecipe(), 0);
    EXPECT_EQ(jobLog().size(), 4);
    EXPECT_EQ(space.snapshot(), before);
    EXPECT_EQ(QFileInfo(space.path("matched/a.png")).lastModified(), changed);
    EXPECT_EQ(readFileBytes(space.path("matched/a.png")), matchedBefore);
}
#endif

// Every option --help lists is in the man page, both completions and the README.
TEST(ColormatchDocumentation, NamesEveryOptionOfTheHelpInTheManPageCompletionsAndReadme)
{
    const Workspace space;
    const ProgramRun help = space.run({"--help"});
    ASSERT_EQ(help.exitCode, 0);
    QStringList options;
    QRegularExpression optionName("(?:^|, )--([a-z0-9-]+)");
    for (const QByteArray &line : help.out.split('\n'))
        if (line.startsWith("  -"))
            for (auto match = optionName.globalMatch(line.trimmed()); match.hasNext();)
                options << match.next().captured(1);
    EXPECT_GE(options.size(), 25) << help.out.toStdString();
    const QString source = MATCHENGINE_SOURCE_DIR;
    const struct {
        const char *file;
        QString dash; // how the file writes "-" in an option's name
    } documents[] = {
        {"colormatch/colormatch.1", "\\-"},
        {"completions/_colormatch", "-"},
        {"completions/colormatch.bash", "-"},
        {"README.md", "-"},
    };
    for (const auto &document : documents) {
        const QString text = QString::fromUtf8(readFileBytes(source + "/" + document.file));
        for (const QString &option : options) {
            // The whole name: --reference-mask is not --reference.
            const QString written = QString("--" + option).replace("-", document.dash);
            const QRegularExpression whole(QRegularExpression::escape(written) + "(?![a-z0-9]|-|\\\\-)");
            EXPECT_TRUE(whole.match(text).hasMatch()) << document.file << " lacks --" << option.toStdString();
        }
    }
}
