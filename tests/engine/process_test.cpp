// SPDX-License-Identifier: GPL-3.0-or-later
// The process before any request is read: the capability query, a command
// line too short, an engine without its codecs module.
#include "engine/engine.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace testing_support;

TEST(CapabilityQuery, AnswersOneJsonLineAndOnlyProgress005)
{
    const QString cpus = QString::number(cv::getNumberOfCPUs());
    const QRegularExpression answer(QStringLiteral("^\n\n \\{ \"GPU\": (null|\"[^\"]*\"), \"CPUnum\": %1"
                                                   "( \\}|, \"noGPUDetectedAtAll\": true \\})\n$")
                                        .arg(cpus));
    // Positions after the token may hold anything or be absent; the request is never read.
    for (const QStringList &arguments : {QStringList{"a", "b", "QX7PLM"}, QStringList{"a", "b", "QX7PLM", "x", "y"}}) {
        const EngineRun run = runEngine(arguments, frameRequest("ignored", "ignored"));
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, QByteArray("005\n"));
        EXPECT_TRUE(answer.match(QString::fromUtf8(run.out)).hasMatch()) << run.out.toStdString();
    }
    // Asked with a request options word (of any version), it also names the options it reads.
    const QRegularExpression withOptions(QStringLiteral("^\n\n \\{ \"GPU\": .*, \"requestOptions\": \\{ \"version\": 1, "
                                                        "\"names\": \\[\"gain-limit\", \"depth\"\\] \\} \\}\n$"));
    for (const char *word : {"matchengine-options/1", "matchengine-options/7;later=1"}) {
        const EngineRun run = runEngine({"a", word, "QX7PLM"}, QByteArray());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(withOptions.match(QString::fromUtf8(run.out)).hasMatch()) << run.out.toStdString();
    }
}

TEST(StartUp, TooFewArgumentsAndBadRequestOptionsAreRefusedBeforeReadingInput)
{
    QStringList eleven = HostArguments().list();
    eleven.removeLast();
    QStringList badOptions = HostArguments().list();
    badOptions[1] = QStringLiteral("matchengine-options/1;depth=12");
    const struct {
        QStringList arguments;
        const char *error;
    } cases[] = {
        {eleven, "005\nERROR expected 11 arguments"},
        {badOptions, "005\nERROR request option depth=\"12\" is not 8 or 16"},
    };
    for (const auto &c : cases) {
        // Standard input stays open: the engine must not wait for it.
        QProcess process;
        process.start(QStringLiteral(MATCHENGINE_BINARY), c.arguments);
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(process.waitForFinished(30000)) << "the engine waited for standard input";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), exitStatus::usage);
        const QString err = QString::fromUtf8(fromPlatformLines(process.readAllStandardError()));
        EXPECT_TRUE(err.startsWith(QLatin1String(c.error))) << err.toStdString();
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    }
}

// An engine without its codecs module (OpenCV's codec library and the hundred
// behind it) still serves PNG and JPEG, and refuses the rest with the reason.
TEST(StartUp, OpenCVCodecsAreLoadedOnlyForTheFormatsThatNeedThem)
{
    const QFileInfo engine(QStringLiteral(MATCHENGINE_BINARY));
    if (QDir(engine.path()).entryList({QStringLiteral("matchengine_opencv_codecs*")}).isEmpty())
        GTEST_SKIP() << "the codecs are linked into this build's engine";
    QTemporaryDir folder;
    const QString alone = folder.filePath(engine.fileName());
    ASSERT_TRUE(QFile::copy(engine.filePath(), alone));
    const cv::Mat photo = decodeBytes(readFileBytes(samplePath(QStringLiteral("chelsea.png"))));
    const QByteArray request = frameRequest(encoded(photo), readFileBytes(samplePath(QStringLiteral("rocket.jpg"))));
    HostArguments jpeg;
    jpeg.format = QStringLiteral("jpg");
    for (const HostArguments &arguments : {HostArguments(), jpeg}) {
        const EngineRun run = runProgram(alone, arguments.list(), request);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(run.out, runEngine(arguments.list(), request).out);
    }
    HostArguments tiff;
    tiff.format = QStringLiteral("tif");
    const struct {
        QStringList arguments;
        QByteArray request;
    } refused[] = {{tiff.list(), request}, {HostArguments().list(), frameRequest(encoded(photo, ".tif"), encoded(photo))}};
    for (const auto &r : refused) {
        const EngineRun run = runProgram(alone, r.arguments, r.request);
        EXPECT_EQ(run.exitCode, exitStatus::software);
        EXPECT_TRUE(run.err.contains("\nERROR cannot load OpenCV's image codecs")) << run.err.toStdString();
        EXPECT_TRUE(run.out.isEmpty());
    }
}
