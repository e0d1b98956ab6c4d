// colormatch's side of the host conversation: the positions it passes, the
// request it frames, and how it reads what the engine answers.
#include "colormatch/colormatch.h"

#include <QDataStream>
#include <QDir>

#include <gtest/gtest.h>

namespace {

QString decodedPath(const QString &position)
{
    return QString::fromUtf8(QByteArray::fromBase64(position.toLatin1()));
}

EngineOutcome finished(int exitCode, const QStringList &lines)
{
    EngineOutcome outcome;
    outcome.exitCode = exitCode;
    outcome.lines = lines;
    return outcome;
}

} // namespace

TEST(ColormatchHost, ArgumentsElevenPositionsAfterTheProgram)
{
    const QStringList plain = engineArguments(EngineRequest{});
    ASSERT_EQ(plain.size(), 11);
    EXPECT_NE(plain[2], "QX7PLM");
    EXPECT_EQ(plain[3], "none"); // the result comes back on standard output
    EXPECT_EQ(plain[4], "none");
    EXPECT_EQ(plain[5], "on");
    EXPECT_EQ(plain[6], "off");
    EXPECT_EQ(plain[8], "png");
    EXPECT_EQ(plain[9].toDouble(), 1.0);
    EXPECT_EQ(plain[10], "none");

    EngineRequest request;
    request.resultFormat = "tif";
    request.lutBase = "luts/look";
    request.lutSize = 17;
    request.useOpenCL = false;
    request.matchLightness = true;
    request.strength = 0.35;
    request.sizeFile = "size.txt";
    const QStringList full = engineArguments(request);
    ASSERT_EQ(full.size(), 11);
    // Paths travel as base64 and absolute, so the engine's folder does not matter.
    EXPECT_EQ(decodedPath(full[4]), QDir::current().absoluteFilePath("luts/look"));
    EXPECT_EQ(full[5], "off");
    EXPECT_EQ(full[6], "on");
    EXPECT_EQ(full[7], "17");
    EXPECT_EQ(full[8], "tif");
    EXPECT_NEAR(full[9].toDouble(), 0.35, 1e-9);
    EXPECT_EQ(decodedPath(full[10]), QDir::current().absoluteFilePath("size.txt"));

    EXPECT_EQ(capabilityArguments().size(), 3);
    EXPECT_EQ(capabilityArguments()[2], "QX7PLM");
}

TEST(ColormatchHost, RequestTwoLengthPrefixedImagesBigEndian)
{
    const QByteArray target("target bytes \0 with a NUL", 25);
    const QByteArray reference(70000, 'r'); // a length needing three bytes
    const QByteArray request = frameRequest(target, reference);
    ASSERT_EQ(request.size(), 12 + target.size() + reference.size());

    auto bigEndian = [&](int offset) {
        const auto *b = reinterpret_cast<const unsigned char *>(request.constData() + offset);
        return (qint64(b[0]) << 24) | (qint64(b[1]) << 16) | (qint64(b[2]) << 8) | qint64(b[3]);
    };
    EXPECT_EQ(bigEndian(4), target.size());
    EXPECT_EQ(request.mid(8, target.size()), target);
    EXPECT_EQ(bigEndian(8 + target.size()), reference.size());
    EXPECT_EQ(request.mid(12 + target.size()), reference);
}

TEST(ColormatchHost, ResultFormatFromTheOutputsExtension)
{
    EXPECT_EQ(resultFormatFor("out/a.png"), "png");
    EXPECT_EQ(resultFormatFor("A.PNG"), "png");
    EXPECT_EQ(resultFormatFor("b.jpeg"), "jpg");
    EXPECT_EQ(resultFormatFor("b.JPG"), "jpg");
    EXPECT_EQ(resultFormatFor("c.d/e.Tif"), "tif");
    EXPECT_EQ(resultFormatFor("no-extension"), "");
    EXPECT_EQ(normalisedFormat("JPEG"), "jpg");
    EXPECT_TRUE(formatHasEncoder("png"));
    EXPECT_TRUE(formatHasEncoder("jpg"));
    EXPECT_FALSE(formatHasEncoder("xyz"));
    EXPECT_FALSE(formatHasEncoder(""));
}

TEST(ColormatchHost, ProgressErrorsAndWorkingSize)
{
    EXPECT_EQ(progressCode("005"), 5);
    EXPECT_EQ(progressCode("100"), 100);
    EXPECT_EQ(progressCode("05"), -1);
    EXPECT_EQ(progressCode("bytes:240512"), -1);
    EXPECT_EQ(progressCode("0050"), -1);

    const QStringList lines{"005", "current_image_mat_rgba:451x300", "DONE", "ERROR first", "ERROR the last one"};
    EXPECT_EQ(engineErrorMessage(lines), "the last one");
    EXPECT_EQ(engineErrorMessage({"005", "ERRORS are not error lines"}), "");
    EXPECT_EQ(workingSize(lines), cv::Size(451, 300));
    EXPECT_TRUE(workingSize({"005", "DONE"}).empty());
}

TEST(ColormatchHost, CapabilityAnswerForPeople)
{
    EXPECT_EQ(describeCapability("\n\n { \"GPU\": \"Radeon Pro 560\", \"CPUnum\": 8 }\n"),
              "GPU: Radeon Pro 560\nCPUs: 8\n");
    EXPECT_EQ(describeCapability("\n\n { \"GPU\": null, \"CPUnum\": 4 }\n"), "no OpenCL GPU\nCPUs: 4\n");
    EXPECT_EQ(describeCapability("\n\n { \"GPU\": null, \"CPUnum\": 2, \"noGPUDetectedAtAll\": true }\n"),
              "no OpenCL GPU\nCPUs: 2\n");
    EXPECT_THROW(describeCapability("not json"), UserError);
    EXPECT_THROW(describeCapability("\n\n { \"GPU\": null }\n"), UserError);
}

TEST(ColormatchHost, EngineFailureInTheUsersTermsWithAnExitStatus)
{
    const EngineOutcome good = finished(0, {"005", "100"});
    EXPECT_TRUE(engineFailure(good).isEmpty());

    const EngineOutcome refused = finished(65, {"005", "006", "ERROR target image could not be decoded"});
    EXPECT_EQ(engineFailure(refused), "the engine failed with exit status 65: ERROR target image could not be decoded");
    EXPECT_EQ(engineFailureStatus(refused), 65);
    EXPECT_EQ(engineFailure(finished(3, {"005"})), "the engine failed with exit status 3");

    EngineOutcome crashed = finished(11, {"005", "006"});
    crashed.crashed = true;
    EXPECT_TRUE(engineFailure(crashed).startsWith("the engine crashed (")) << engineFailure(crashed).toStdString();
    EXPECT_EQ(engineFailureStatus(crashed), colormatchStatus::software);

    // The engine gives back the unmatched target after a failed transfer; that is no match.
    const EngineOutcome transferFailed = finished(0, {"067", "CRASH (67+) (0) eigen failed", "090", "100"});
    EXPECT_TRUE(engineFailure(transferFailed).contains("CRASH (67+) (0) eigen failed"));
    EXPECT_EQ(engineFailureStatus(transferFailed), colormatchStatus::software);

    EngineOutcome notStarted;
    notStarted.startFailure = "cannot start the engine /x/matchengine: permission denied";
    EXPECT_EQ(engineFailure(notStarted), notStarted.startFailure);
    EXPECT_EQ(engineFailureStatus(notStarted), colormatchStatus::unavailable);
}
