// What colormatch makes of engine answers that its program runs cannot bring
// about: other capability answers, refusals with other statuses, a failed
// colour transfer. Every run in colormatch_program_test exercises the framing,
// the positions and the real engine's answers.
#include "colormatch/colormatch.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

EngineOutcome finished(int exitCode, const QStringList &lines)
{
    EngineOutcome outcome;
    outcome.exitCode = exitCode;
    outcome.lines = lines;
    return outcome;
}

} // namespace

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
