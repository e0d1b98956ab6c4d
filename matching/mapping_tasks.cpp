// SPDX-License-Identifier: GPL-3.0-or-later
// The three independent pieces of the transfer: the target root, the reference
// covariance with its root, and the column layout of both means. They touch
// disjoint matrices, so they run side by side without locks.
#include "matching/matching.h"

#include <opencv2/core/ocl.hpp>

#include <tbb/parallel_invoke.h>

namespace {

// OpenCL use is per thread: each task sets it for whichever thread runs it, and
// waits for what it queued on that thread's device queue before it ends, so
// that no kernel is still running when its matrices are read elsewhere or the
// process exits.
template <typename Work>
auto withOpenCL(bool useOpenCL, Work work)
{
    return [useOpenCL, work] {
        cv::ocl::setUseOpenCL(useOpenCL);
        work();
        finishOpenCLWork();
    };
}

// A 1 x 1 three-channel colour as a 3 x 1 single-channel column.
cv::UMat asColumn(const cv::UMat &colour)
{
    return colour.reshape(1, 3);
}

} // namespace

MappingTaskResults runMappingTasks(const cv::UMat &targetCovariance, TransferInputs &inputs)
{
    const EngineSettings &settings = engineSettings();
    MappingTaskResults results;

    const auto targetRootTask = withOpenCL(settings.amdGpu ? false : settings.taskUseOpenCL, [&] {
        results.targetRoot = symmetricSqrt(targetCovariance);
    });
    const auto referenceRootTask = withOpenCL(settings.taskUseOpenCL, [&] {
        results.referenceRoot = symmetricSqrt(hostDivide(inputs.referenceGram, inputs.referenceCount));
    });
    const auto layoutTask = withOpenCL(settings.taskUseOpenCL, [&] {
        inputs.targetMean = asColumn(inputs.targetMean);
        inputs.referenceMean = asColumn(inputs.referenceMean);
    });
    tbb::parallel_invoke(targetRootTask, referenceRootTask, layoutTask);
    return results;
}
