// The three independent pieces of the transfer: the target root, the reference
// covariance with its root, and the column layout of the target and both means.
// They touch disjoint matrices, so they run side by side without locks.
#include "matching/matching.h"

#include "engine/engine.h"

#include <opencv2/core/ocl.hpp>

#include <tbb/parallel_invoke.h>

MappingTaskResults runMappingTasks(const cv::UMat &targetCovariance, TransferInputs &inputs, bool concurrent)
{
    const EngineSettings &settings = engineSettings();
    MappingTaskResults results;

    // OpenCL use is per thread: each task sets it for whichever thread runs it.
    auto targetRootTask = [&] {
        cv::ocl::setUseOpenCL(settings.amdGpu ? false : settings.taskUseOpenCL);
        results.targetRoot = symmetricSqrt(targetCovariance);
    };
    auto referenceRootTask = [&] {
        cv::ocl::setUseOpenCL(settings.taskUseOpenCL);
        const cv::UMat gram =
            inputs.referenceGram.empty() ? gramMatrix(inputs.centredReference) : inputs.referenceGram;
        const cv::UMat referenceCovariance = hostDivide(gram, inputs.referenceCount);
        results.referenceRoot = symmetricSqrt(referenceCovariance);
    };
    auto layoutTask = [&] {
        cv::ocl::setUseOpenCL(settings.taskUseOpenCL);
        const cv::UMat targetMean = inputs.targetMean.t();
        const cv::UMat referenceMean = inputs.referenceMean;
        // The 8-bit stage maps colours, not a pixel matrix: it has no image to lay out.
        if (!inputs.targetImage.empty()) {
            const cv::UMat image = inputs.targetImage.t();
            inputs.targetImage = planesToRows(image, 1, image.cols * image.rows);
        }
        inputs.targetMean = planesToRows(targetMean, targetMean.cols * targetMean.rows, 1);
        inputs.referenceMean = planesToRows(referenceMean, referenceMean.cols * referenceMean.rows, 1);
    };

    if (concurrent) {
        tbb::parallel_invoke(targetRootTask, referenceRootTask, layoutTask);
    } else {
        targetRootTask();
        referenceRootTask();
        layoutTask();
    }
    return results;
}
