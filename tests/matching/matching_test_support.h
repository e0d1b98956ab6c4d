// Small helpers shared by the colour-pipeline tests.
#pragma once

#include "engine/engine.h"

#include "support/test_support.h"

#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>

namespace matching_test {

// Restores the process-wide settings and this thread's OpenCL switch when a
// test that changes them ends.
struct SettingsGuard {
    const EngineSettings saved = engineSettings();
    const bool savedOpenCL = cv::ocl::useOpenCL();
    ~SettingsGuard()
    {
        engineSettings() = saved;
        cv::ocl::setUseOpenCL(savedOpenCL);
    }
};

// Switches OpenCL for this thread and for the transfer's tasks.
inline void useOpenCLEverywhere(bool on)
{
    cv::ocl::setUseOpenCL(on);
    engineSettings().taskUseOpenCL = on;
}

// A sample photograph, scaled by `factor` (area averaging).
inline cv::Mat loadSample(const char *name, double factor = 1.0)
{
    const cv::Mat image = cv::imread(testing_support::samplePath(QLatin1String(name)).toStdString(),
                                     cv::IMREAD_COLOR);
    if (image.empty())
        throw std::runtime_error(std::string("cannot read sample ") + name);
    if (factor == 1.0)
        return image;
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    return scaled;
}

inline cv::Mat randomImage(int rows, int cols, int type, double high, uint64 seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, high);
    return image;
}

inline cv::Mat hostCopy(const cv::UMat &image)
{
    return image.getMat(cv::ACCESS_READ).clone();
}

inline double maxAbsDifference(cv::InputArray a, cv::InputArray b)
{
    cv::Mat a64;
    cv::Mat b64;
    a.getMat().convertTo(a64, CV_64F);
    b.getMat().convertTo(b64, CV_64F);
    return cv::norm(a64, b64, cv::NORM_INF);
}

} // namespace matching_test
