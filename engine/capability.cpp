// SPDX-License-Identifier: GPL-3.0-or-later
// The capability query: which OpenCL GPU, if any, and how many CPUs.
#include "engine/engine.h"

#include <opencv2/core/ocl.hpp>

#include <algorithm>
#include <iostream>

int runCapabilityQuery(bool withRequestOptions)
{
    // Asked with an options word, the answer also names the request options
    // this engine reads; otherwise it is byte for byte the usual one.
    const std::string options = withRequestOptions ? ", \"requestOptions\": { \"version\": "
                                                         + std::to_string(engineOptionsVersion)
                                                         + ", \"names\": [\"gain-limit\", \"depth\"] }"
                                                   : std::string();
    std::cout.flush();
    const int cpus = cv::getNumberOfCPUs();
    cv::ocl::Context context;
    if (!context.create(cv::ocl::Device::TYPE_GPU)) {
        std::cout << "\n\n { \"GPU\": null, \"CPUnum\": " << cpus << ", \"noGPUDetectedAtAll\": true" << options << " }"
                  << std::endl;
    } else if (context.ndevices() == 0) {
        std::cout << "\n\n { \"GPU\": null, \"CPUnum\": " << cpus << options << " }" << std::endl;
    } else {
        std::cout.flush();
        std::string name = context.device(0).name();
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        std::cout << "\n\n { \"GPU\": \"" << name << "\", \"CPUnum\": " << cpus << options << " }" << std::endl;
    }
    std::cout.flush();
    return exitStatus::ok;
}
