// Small helpers shared by the colour-pipeline tests.
#pragma once

#include "engine/engine.h"

#include "support/test_support.h"

#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>

#include <stdexcept>

namespace matching_test {

// Restores the process-wide settings and this thread's OpenCL switch when a
// test that changes them ends.
class SettingsGuard
{
public:
    SettingsGuard() : saved_(engineSettings()), savedOpenCL_(cv::ocl::useOpenCL()) {}
    ~SettingsGuard()
    {
        engineSettings() = saved_;
        cv::ocl::setUseOpenCL(savedOpenCL_);
    }
    SettingsGuard(const SettingsGuard &) = delete;
    SettingsGuard &operator=(const SettingsGuard &) = delete;

private:
    EngineSettings saved_;
    bool savedOpenCL_;
};

// Switches OpenCL for this thread and for the transfer's tasks.
inline void useOpenCLEverywhere(bool on)
{
    cv::ocl::setUseOpenCL(on);
    engineSettings().taskUseOpenCL = on;
}

inline cv::Mat loadSample(const char *name)
{
    const cv::Mat image = cv::imread(testing_support::samplePath(QLatin1String(name)).toStdString(),
                                     cv::IMREAD_COLOR);
    if (image.empty())
        throw std::runtime_error(std::string("cannot read sample ") + name);
    return image;
}

inline double maxAbsDifference(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat a64;
    cv::Mat b64;
    a.convertTo(a64, CV_64F);
    b.convertTo(b64, CV_64F);
    return cv::norm(a64, b64, cv::NORM_INF);
}

} // namespace matching_test
