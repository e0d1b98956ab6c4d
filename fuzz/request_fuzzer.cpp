// libFuzzer target: one input is one request as a host would send it. It runs
// the framing, the image intake with its header checks, and the colour
// statistics and transfer. Refusals (EngineError, OpenCV's own errors) are the
// expected answers to bad input; anything else the sanitizers or the checks
// below notice is a finding.
#include "engine/engine.h"
#include "matching/matching.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Small images only, so that each input runs in milliseconds.
constexpr int largestPixelCount = 1 << 16;

bool prepare()
{
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::ocl::setUseOpenCL(false);
    // Progress lines would drown the fuzzer's own report.
    useProtocolChannel(std::fopen("/dev/null", "w"));
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool prepared = prepare();
    (void)prepared;
    const QByteArray request = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    try {
        const SplitRequest split = splitRequest(request);
        const cv::UMat decodedTarget = decodeImageBytes(split.targetBytes, "target");
        const cv::UMat decodedReference = decodeImageBytes(split.referenceBytes, "reference");
        if (decodedTarget.total() > largestPixelCount || decodedReference.total() > largestPixelCount)
            return 0;

        bool targetHadAlpha = false;
        const cv::UMat target = dropTargetAlpha(decodedTarget, targetHadAlpha);
        const cv::UMat reference = normaliseReference(decodedReference);
        const cv::UMat target8 = toEightBit(toWorkingScale(target));
        const cv::UMat reference8 = toEightBit(toWorkingScale(reference));
        TransferInputs inputs = centreForTransfer(toWorkingScale(target8), toWorkingScale(reference8));
        const cv::UMat mapped = linearColourTransfer(inputs);

        if (mapped.rows != decodedTarget.rows || mapped.cols != decodedTarget.cols)
            std::abort(); // the mapped image must keep the target's shape
        if (!cv::checkRange(mapped))
            std::abort(); // no NaN or infinity may reach the mapped image
    } catch (const EngineError &) {
    } catch (const cv::Exception &) {
    }
    return 0;
}
