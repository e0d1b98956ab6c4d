// The real binary at process level: start-up, the capability query, and the
// refusals that come before any pixel work.
#include "engine/engine.h"

#include "support/test_support.h"

#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using testing_support::base64Path;
using testing_support::EngineRun;
using testing_support::frameRequest;
using testing_support::HostArguments;
using testing_support::runEngine;

namespace {

void expectRefusal(const EngineRun &run, int status, const QString &messagePart)
{
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, status);
    EXPECT_TRUE(run.out.isEmpty());
    const QStringList lines = run.errLines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("ERROR "))) << lines.last().toStdString();
    EXPECT_TRUE(lines.last().contains(messagePart)) << lines.last().toStdString();
    EXPECT_EQ(lines.filter(QStringLiteral("ERROR")).size(), 1);
}

} // namespace

TEST(CapabilityQuery, AnswersOneJsonLineAndOnlyProgress005)
{
    const EngineRun run = runEngine({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("QX7PLM")},
                                    frameRequest("ignored", "ignored"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, QByteArray("005\n"));

    const QString cpus = QString::number(cv::getNumberOfCPUs());
    const QString out = QString::fromUtf8(run.out);
    const QStringList answers = {
        QStringLiteral("\n\n { \"GPU\": null, \"CPUnum\": %1, \"noGPUDetectedAtAll\": true }\n").arg(cpus),
        QStringLiteral("\n\n { \"GPU\": null, \"CPUnum\": %1 }\n").arg(cpus),
    };
    const QRegularExpression named(QStringLiteral("^\n\n \\{ \"GPU\": \"[^\"]*\", \"CPUnum\": %1 \\}\n$").arg(cpus));
    EXPECT_TRUE(answers.contains(out) || named.match(out).hasMatch()) << out.toStdString();

    // Positions after the token may hold anything.
    const EngineRun longer = runEngine({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("QX7PLM"),
                                        QStringLiteral("x"), QStringLiteral("y")}, QByteArray());
    EXPECT_EQ(longer.exitCode, 0);
    EXPECT_EQ(longer.out, run.out);
}

TEST(CapabilityQuery, TokenIsCaseSensitive)
{
    HostArguments arguments;
    arguments.position3 = QStringLiteral("qx7plm");
    const EngineRun run = runEngine(arguments.list(), QByteArray());
    // A normal run follows: it reads the (empty) request and finds no target.
    EXPECT_EQ(testing_support::progressCodes(run.errLines()).mid(0, 4),
              (QStringList{"005", "006", "010", "020"}));
    EXPECT_EQ(run.exitCode, exitStatus::dataError);
}

TEST(StartUp, TooFewArgumentsAreRefusedBeforeReadingInput)
{
    // Standard input stays open: the engine must not wait for it.
    QProcess process;
    process.start(QStringLiteral(MATCHENGINE_BINARY), {QStringLiteral("a"), QStringLiteral("b")});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(process.waitForFinished(30000)) << "the engine waited for standard input";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), exitStatus::usage);
    const QByteArray err = process.readAllStandardError();
    EXPECT_TRUE(err.startsWith("005\nERROR ")) << err.toStdString();
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());

    HostArguments arguments;
    QStringList eleven = arguments.list();
    eleven.removeLast();
    expectRefusal(runEngine(eleven, QByteArray()), exitStatus::usage, QStringLiteral("expected 11 arguments"));
}

TEST(StartUp, RefusesUnusableLutSizesAndFormats)
{
    HostArguments arguments;
    arguments.lutBase = base64Path(QStringLiteral("/tmp/never"));
    arguments.lutSize = QStringLiteral("1");
    EngineRun run = runEngine(arguments.list(), QByteArray());
    expectRefusal(run, exitStatus::usage, QStringLiteral("LUT size"));
    EXPECT_EQ(testing_support::progressCodes(run.errLines()), QStringList{"005"});

    arguments.lutSize = QStringLiteral("300");
    expectRefusal(runEngine(arguments.list(), QByteArray()), exitStatus::usage, QStringLiteral("2 to 256"));

    HostArguments format;
    format.format = QStringLiteral("xyz");
    run = runEngine(format.list(), QByteArray());
    expectRefusal(run, exitStatus::usage, QStringLiteral("\"xyz\""));
    EXPECT_EQ(testing_support::progressCodes(run.errLines()), QStringList{"005"});
}

TEST(StartUp, RefusesBrokenFramingWithoutReadingPastTheRequest)
{
    const HostArguments arguments;
    QByteArray request = frameRequest(QByteArray(1234, 'x'), QByteArray("ref"));
    // Claim a target far longer than what follows.
    request[4] = 0x00;
    request[5] = 0x4C;
    request[6] = 0x4B;
    request[7] = 0x40; // 5000000
    EngineRun run = runEngine(arguments.list(), request);
    expectRefusal(run, exitStatus::dataError,
                  QStringLiteral("target length 5000000 exceeds the %1 bytes received").arg(request.size() - 8));

    request = frameRequest(QByteArray("tiny"), QByteArray("ref"));
    request[8 + 4] = char(0xFF); // reference length negative
    run = runEngine(arguments.list(), request);
    expectRefusal(run, exitStatus::dataError, QStringLiteral("reference length"));

    run = runEngine(arguments.list(), QByteArray());
    expectRefusal(run, exitStatus::dataError, QStringLiteral("target image is empty"));
    EXPECT_EQ(testing_support::progressCodes(run.errLines()).mid(0, 4), (QStringList{"005", "006", "010", "020"}));
}
