// The three concurrent pieces of the transfer: the same matrices whether they
// run side by side or one after another, with OpenCL off or on, and their
// failures reach the caller with their own type.
#include "matching/matching.h"

#include "matching_test_support.h"

#include <gtest/gtest.h>

using namespace matching_test;

namespace {

struct Stage {
    TransferInputs inputs;
    cv::UMat targetCovariance;
};

Stage prepareStage()
{
    Stage s;
    testing::internal::CaptureStderr();
    s.inputs = centreForTransfer(toWorkingScale(loadSample("chelsea.png", 0.5).getUMat(cv::ACCESS_READ)),
                                 toWorkingScale(loadSample("rocket.jpg", 0.25).getUMat(cv::ACCESS_READ)));
    testing::internal::GetCapturedStderr();
    s.targetCovariance = hostDivide(gramMatrix(s.inputs.centredTarget), s.inputs.targetCount);
    return s;
}

// St, Sr, and the layouts that replace the target image and both means.
std::vector<cv::Mat> runTasks(const Stage &stage, bool concurrent)
{
    // Fresh buffers under this thread's OpenCL setting, as the stage would have made them.
    TransferInputs inputs = stage.inputs;
    for (cv::UMat *m : {&inputs.targetImage, &inputs.targetMean, &inputs.referenceMean, &inputs.centredTarget,
                        &inputs.centredReference})
        *m = m->clone();
    const MappingTaskResults results = runMappingTasks(stage.targetCovariance.clone(), inputs, concurrent);
    return {hostCopy(results.targetRoot), hostCopy(results.referenceRoot), hostCopy(inputs.targetImage),
            hostCopy(inputs.targetMean), hostCopy(inputs.referenceMean)};
}

} // namespace

// Roots agree to 1e-6 (entries are around 1e-2 to 1e-1); the layouts are exact.
TEST(MappingTasks, SameMatricesConcurrentlyAndInTurnWithOpenCLOffAndOn)
{
    SettingsGuard guard;
    useOpenCLEverywhere(false);
    const Stage stage = prepareStage();
    const std::vector<cv::Mat> baseline = runTasks(stage, false);
    ASSERT_EQ(baseline[2].size(), cv::Size(int(stage.inputs.targetCount), 3));
    ASSERT_EQ(baseline[3].size(), cv::Size(1, 3));

    for (const bool openCL : {false, true}) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCLEverywhere(openCL);
        for (const bool concurrent : {true, false}) {
            SCOPED_TRACE(testing::Message() << "OpenCL " << openCL << ", concurrent " << concurrent);
            const std::vector<cv::Mat> run = runTasks(stage, concurrent);
            for (size_t i = 0; i < run.size(); ++i)
                EXPECT_LE(maxAbsDifference(run[i], baseline[i]), i < 2 ? 1e-6 : 0.0) << "matrix " << i;
        }
    }
}

TEST(MappingTasks, AFailingTaskThrowsItsOwnTypeToTheCaller)
{
    SettingsGuard guard;
    const Stage stage = prepareStage();
    for (const bool concurrent : {true, false}) {
        // A covariance that is not square fails in targetRootTask, an 8-bit
        // reference matrix in referenceRootTask.
        TransferInputs inputs = stage.inputs;
        EXPECT_THROW(runMappingTasks(cv::UMat(3, 2, CV_32FC1, cv::Scalar(0.5)), inputs, concurrent), cv::Exception);
        inputs = stage.inputs;
        inputs.centredReference = cv::UMat(3, 5, CV_8UC1, cv::Scalar(1));
        EXPECT_THROW(runMappingTasks(stage.targetCovariance, inputs, concurrent), cv::Exception);
    }
}
