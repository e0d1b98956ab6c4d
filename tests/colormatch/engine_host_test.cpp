// colormatch's side of the host conversation: the positions it passes and how
// it reads what the engine answers. Every run in colormatch_program_test
// exercises the framing and the real engine's answers.
#include "colormatch/colormatch.h"

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
    // The result comes back on standard output: no result file, and no LUT or size file unless asked for.
    EXPECT_EQ(plain.mid(3, 4), (QStringList{"none", "none", "on", "off"}));
    EXPECT_EQ(plain[8], "png");
    EXPECT_EQ(plain[9].toDouble(), 1.0);
    EXPECT_EQ(plain[10], "none");

    // tif, LUT export to luts/look at size 17, OpenCL off, lightness matched, strength 0.35, a size file.
    const QStringList full = engineArguments({"tif", "luts/look", 17, false, true, 0.35, "size.txt"});
    ASSERT_EQ(full.size(), 11);
    // Paths travel as base64 and absolute, so the engine's folder does not matter.
    EXPECT_EQ(decodedPath(full[4]), QDir::current().absoluteFilePath("luts/look"));
    EXPECT_EQ(full.mid(5, 4), (QStringList{"off", "on", "17", "tif"}));
    EXPECT_NEAR(full[9].toDouble(), 0.35, 1e-9);
    EXPECT_EQ(decodedPath(full[10]), QDir::current().absoluteFilePath("size.txt"));

    EXPECT_EQ(capabilityArguments().mid(2), QStringList{"QX7PLM"});
}

// --format and the encoder check are met in the program's own runs.
TEST(ColormatchHost, ResultFormatFromTheOutputsExtension)
{
    const std::pair<const char *, const char *> formats[] = {
        {"out/a.png", "png"}, {"A.PNG", "png"}, {"b.jpeg", "jpg"}, {"b.JPG", "jpg"}, {"c.d/e.Tif", "tif"},
        {"no-extension", ""}};
    for (const auto &[path, format] : formats)
        EXPECT_EQ(resultFormatFor(path), format) << path;
}

TEST(ColormatchHost, ProgressErrorsAndWorkingSize)
{
    const std::pair<const char *, int> codes[] = {{"005", 5}, {"100", 100}, {"05", -1}, {"bytes:240512", -1},
                                                  {"0050", -1}};
    for (const auto &[line, code] : codes)
        EXPECT_EQ(progressCode(line), code) << line;

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

// An engine that refuses or crashes is met in the program's own runs; here the
// failures those runs cannot bring about.
TEST(ColormatchHost, EngineFailureInTheUsersTermsWithAnExitStatus)
{
    EXPECT_TRUE(engineFailure(finished(0, {"005", "100"})).isEmpty());
    EXPECT_EQ(engineFailure(finished(3, {"005"})), "the engine failed with exit status 3");
    EXPECT_EQ(engineFailureStatus(finished(3, {"005"})), 3);
    // The engine gives back the unmatched target after a failed transfer; that is no match.
    const EngineOutcome transferFailed = finished(0, {"067", "CRASH (67+) (0) eigen failed", "090", "100"});
    EXPECT_TRUE(engineFailure(transferFailed).contains("CRASH (67+) (0) eigen failed"));
    EXPECT_EQ(engineFailureStatus(transferFailed), colormatchStatus::software);

    EngineOutcome notStarted;
    notStarted.startFailure = "cannot start the engine /x/matchengine: permission denied";
    EXPECT_EQ(engineFailure(notStarted), notStarted.startFailure);
    EXPECT_EQ(engineFailureStatus(notStarted), colormatchStatus::unavailable);
}
