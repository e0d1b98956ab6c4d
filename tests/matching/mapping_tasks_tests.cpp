// The three concurrent pieces of the transfer: the same matrices whether they
// run side by side or one after another, with OpenCL off or on, and their
// failures reach the caller with their own type.
#include "matching/matching.h"

#include "matching_test_support.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

using matching_test::loadSample;
using matching_test::maxAbsDifference;
using matching_test::SettingsGuard;
using matching_test::useOpenCLEverywhere;

namespace {

struct TaskOutput {
    cv::Mat targetRoot, referenceRoot, targetPixels, targetMean, referenceMean;
};

struct StageInputs {
    cv::Mat target; // 8-bit
    TransferInputs inputs;
    cv::UMat targetCovariance;
};

StageInputs prepareInputs()
{
    StageInputs s;
    cv::resize(loadSample("chelsea.png"), s.target, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    cv::Mat reference;
    cv::resize(loadSample("rocket.jpg"), reference, cv::Size(), 0.25, 0.25, cv::INTER_AREA);
    testing::internal::CaptureStderr();
    s.inputs = centreForTransfer(toWorkingScale(s.target.getUMat(cv::ACCESS_READ)),
                                 toWorkingScale(reference.getUMat(cv::ACCESS_READ)));
    testing::internal::GetCapturedStderr();
    s.targetCovariance = hostDivide(gramMatrix(s.inputs.centredTarget), s.inputs.targetCount);
    return s;
}

// Copies of the inputs in buffers of this thread's OpenCL setting, as the
// stage would have made them; the layout task replaces the copy's headers only.
TransferInputs inputsCopy(const TransferInputs &inputs)
{
    TransferInputs copy = inputs;
    for (cv::UMat *m : {&copy.targetImage, &copy.targetMean, &copy.referenceMean, &copy.centredTarget,
                        &copy.centredReference})
        *m = m->clone();
    return copy;
}

TaskOutput runTasks(const StageInputs &stage, bool concurrent)
{
    TransferInputs inputs = inputsCopy(stage.inputs);
    const MappingTaskResults results = runMappingTasks(stage.targetCovariance, inputs, concurrent);
    return {results.targetRoot.getMat(cv::ACCESS_READ).clone(), results.referenceRoot.getMat(cv::ACCESS_READ).clone(),
            inputs.targetImage.getMat(cv::ACCESS_READ).clone(), inputs.targetMean.getMat(cv::ACCESS_READ).clone(),
            inputs.referenceMean.getMat(cv::ACCESS_READ).clone()};
}

cv::Mat doubleCopy(const cv::Mat &m)
{
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return d;
}

} // namespace

// Roots agree to 1e-6 (entries are around 1e-2 to 1e-1); the layouts are exact.
TEST(MappingTasks, SameMatricesConcurrentlyAndInTurnWithOpenCLOffAndOn)
{
    SettingsGuard guard;
    useOpenCLEverywhere(false);
    const StageInputs stage = prepareInputs();
    const TaskOutput baseline = runTasks(stage, false);

    ASSERT_EQ(baseline.targetRoot.size(), cv::Size(3, 3));
    ASSERT_EQ(baseline.targetPixels.size(), cv::Size(stage.target.cols * stage.target.rows, 3));
    ASSERT_EQ(baseline.targetMean.size(), cv::Size(1, 3));
    ASSERT_EQ(baseline.referenceMean.size(), cv::Size(1, 3));

    // Column x * H + y holds the pixel at row y, column x.
    const int rows = stage.target.rows;
    for (const cv::Point p : {cv::Point(0, 0), cv::Point(3, 0), cv::Point(0, 5), cv::Point(17, 29)})
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(baseline.targetPixels.at<float>(c, p.x * rows + p.y),
                      stage.target.at<cv::Vec3b>(p.y, p.x)[c] / 256.0f);

    // Each root squared gives its covariance back.
    const cv::Mat targetRoot = doubleCopy(baseline.targetRoot);
    EXPECT_LT(cv::norm(targetRoot * targetRoot, doubleCopy(stage.targetCovariance.getMat(cv::ACCESS_READ)),
                       cv::NORM_INF),
              1e-6);
    const cv::Mat centredReference = doubleCopy(stage.inputs.centredReference.getMat(cv::ACCESS_READ));
    const cv::Mat referenceCovariance = centredReference * centredReference.t() / stage.inputs.referenceCount;
    const cv::Mat referenceRoot = doubleCopy(baseline.referenceRoot);
    EXPECT_LT(cv::norm(referenceRoot * referenceRoot, referenceCovariance, cv::NORM_INF), 1e-6);

    const bool openCLStates[] = {false, true};
    for (const bool openCL : openCLStates) {
        if (openCL && !cv::ocl::haveOpenCL())
            continue;
        useOpenCLEverywhere(openCL);
        for (const bool concurrent : {true, false}) {
            const StageInputs copied{stage.target, stage.inputs, stage.targetCovariance.clone()};
            const TaskOutput run = runTasks(copied, concurrent);
            SCOPED_TRACE(testing::Message() << "OpenCL " << openCL << ", concurrent " << concurrent);
            EXPECT_LT(maxAbsDifference(run.targetRoot, baseline.targetRoot), 1e-6);
            EXPECT_LT(maxAbsDifference(run.referenceRoot, baseline.referenceRoot), 1e-6);
            EXPECT_EQ(maxAbsDifference(run.targetPixels, baseline.targetPixels), 0.0);
            EXPECT_EQ(maxAbsDifference(run.targetMean, baseline.targetMean), 0.0);
            EXPECT_EQ(maxAbsDifference(run.referenceMean, baseline.referenceMean), 0.0);
        }
    }
}

TEST(MappingTasks, AFailingTaskThrowsItsOwnTypeToTheCaller)
{
    SettingsGuard guard;
    const StageInputs stage = prepareInputs();
    const cv::UMat notSquare(3, 2, CV_32FC1, cv::Scalar(0.5));
    StageInputs integerReference = stage;
    integerReference.inputs.centredReference = cv::UMat(3, 5, CV_8UC1, cv::Scalar(1));

    for (const bool concurrent : {true, false}) {
        TransferInputs inputs = stage.inputs;
        EXPECT_THROW(runMappingTasks(notSquare, inputs, concurrent), cv::Exception) << "concurrent " << concurrent;
        TransferInputs other = integerReference.inputs;
        EXPECT_THROW(runMappingTasks(stage.targetCovariance, other, concurrent), cv::Exception)
            << "concurrent " << concurrent;
    }
}
