// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch as a farm runs it: batches from list files, a JSON line per
// image, re-runs that skip what is done, and the GNU parallel recipe of the
// README run for real.
#include "colormatch/errors.h"

#include "support/test_support.h"
#include "workspace.h"

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

using testing_support::readFileBytes;


// A list file, NUL-separated or on standard input, gives the batch (BatchList's
// table holds the ways lists are written); a name that is missing fails alone.
TEST(ColormatchBatchList, ReadsAFileOrStandardInputAndRunsTheRestPastAMissingImage)
{
    const Workspace space;
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

#ifndef _WIN32 // GNU parallel is for POSIX systems.
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
    const QDateTime changed = QFileInfo(space.path("matched/a.png")).lastModified();
    EXPECT_EQ(runRecipe(), 0);
    EXPECT_EQ(jobLog().size(), 4);
    EXPECT_EQ(space.snapshot(), before);
    EXPECT_EQ(QFileInfo(space.path("matched/a.png")).lastModified(), changed);
}
#endif

// --info, --help and --version answer on standard output, and every option
// --help lists is in the man page, both completions and the README.
TEST(ColormatchDocumentation, AnswersInfoHelpAndVersionAndNamesEveryOptionInTheManPageCompletionsAndReadme)
{
    const Workspace space;
    const ProgramRun info = space.run({"--info"}), help = space.run({"--help"}), version = space.run({"--version"});
    for (const ProgramRun *run : {&info, &help, &version})
        ASSERT_EQ(run->exitCode, 0);
    EXPECT_TRUE(QRegExp("(no OpenCL GPU|GPU: [^\n]+)\nCPUs: " + QString::number(cv::getNumberOfCPUs()) + "\n")
                    .exactMatch(info.out)) << info.out.toStdString();
    EXPECT_TRUE(version.out.startsWith("colormatch ")) << version.out.toStdString();
    EXPECT_EQ(space.run({"--help-all"}).exitCode, colormatchStatus::usage);
    EXPECT_TRUE(help.out.startsWith("Usage: colormatch [options] TARGET REFERENCE\n")) << help.out.toStdString();
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
