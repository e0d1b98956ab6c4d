// The process before any request is read: the capability query, and a command
// line too short to work, refused without waiting for standard input.
#include "engine/engine.h"

#include "support/test_support.h"

#include <QProcess>
#include <QRegularExpression>

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
}

TEST(StartUp, TooFewArgumentsAreRefusedBeforeReadingInput)
{
    QStringList eleven = HostArguments().list();
    eleven.removeLast();
    for (const QStringList &arguments : {QStringList{"a", "b"}, eleven}) {
        // Standard input stays open: the engine must not wait for it.
        QProcess process;
        process.start(QStringLiteral(MATCHENGINE_BINARY), arguments);
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(process.waitForFinished(30000)) << "the engine waited for standard input";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), exitStatus::usage);
        const QString err = QString::fromUtf8(fromPlatformLines(process.readAllStandardError()));
        EXPECT_TRUE(err.startsWith(QStringLiteral("005\nERROR expected 11 arguments"))) << err.toStdString();
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    }
}
