// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: one input is one request as a host would send it. It runs
// the framing and then the whole of matchColors: image intake with its header
// checks, the colour statistics and transfer, and the finishing. Refusals
// (EngineError, OpenCV's own errors before the transfer) are the expected
// answers to bad input; a sanitizer report, a CRASH line, a result of the
// wrong shape, a decoder reading another size than the header reader did
// (EngineError with the software status) or a file left in the temporary
// folder is a finding.
#include "engine/engine.h"
#include "matching/matching.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <unistd.h>

namespace {

// Small images only, so that each input runs in milliseconds.
constexpr int largestPixelCount = 1 << 16;

// The engine's lines go to a scratch file that is read back after each input.
FILE *channel = nullptr;

// OpenCV's decoders put temporary copies here; it must stay empty.
char temporaryFolder[] = "/tmp/request_fuzzer.XXXXXX";

bool temporaryFolderIsEmpty()
{
    DIR *folder = opendir(temporaryFolder);
    int entries = 0;
    while (folder && readdir(folder))
        ++entries;
    if (folder)
        closedir(folder);
    return entries == 2; // "." and ".."
}

bool prepare()
{
    if (!mkdtemp(temporaryFolder) || setenv("OPENCV_TEMP_PATH", temporaryFolder, 1) != 0
        || setenv("TMPDIR", temporaryFolder, 1) != 0)
        return false;
    std::atexit([] { rmdir(temporaryFolder); });
    setOpenCVCodecsFolder(QStringLiteral(MATCHENGINE_CODECS_FOLDER));
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    engineSettings().useOpenCL = false;
    engineSettings().taskUseOpenCL = false;
    channel = std::tmpfile();
    useProtocolChannel(channel);
    return channel != nullptr;
}

bool channelHolds(const char *text)
{
    std::fflush(channel);
    std::rewind(channel);
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, channel))
        found = std::strstr(line, text) != nullptr;
    std::rewind(channel);
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool prepared = prepare();
    if (!prepared)
        std::abort();
    const QByteArray request = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    try {
        const SplitRequest split = splitRequest(request);
        // Decoded once here to keep large images out of the run below.
        const cv::UMat target = decodeImageBytes(split.targetBytes, "target");
        const cv::UMat reference = decodeImageBytes(split.referenceBytes, "reference");
        if (target.total() > largestPixelCount || reference.total() > largestPixelCount)
            return 0;

        // The request's ignored first integer picks the strength and the lightness switch.
        const float strengths[] = {1.0f, 0.0f, 0.25f, -0.5f, 2.0f};
        const float strength = strengths[data[0] % 5];
        engineSettings().matchLightness = (data[1] & 1) != 0;

        std::rewind(channel);
        QStringList lutFailures;
        const cv::UMat result = matchColors(split.targetBytes, split.referenceBytes, false, strength, lutFailures);
        if (channelHolds("CRASH"))
            std::abort(); // the transfer or the finishing failed on a decodable pair
        const int expectedType = target.channels() == 2 || target.channels() == 4 ? CV_8UC4 : CV_8UC3;
        if (result.rows != target.rows || result.cols != target.cols || result.type() != expectedType)
            std::abort(); // the result must keep the target's shape, alpha and all
    } catch (const EngineError &error) {
        if (error.status == exitStatus::software)
            std::abort(); // the header reader and the decoder disagree
    } catch (const cv::Exception &) {
    }
    if (!temporaryFolderIsEmpty())
        std::abort(); // a decoder wrote the image to a temporary file
    return 0;
}
