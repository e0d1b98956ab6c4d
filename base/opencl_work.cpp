// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/base.h"

#include <opencv2/core/ocl.hpp>

void finishOpenCLWork()
{
    // The current context is this thread's own; asking for it creates nothing.
    if (!cv::ocl::OpenCLExecutionContext::getCurrentRef().empty())
        cv::ocl::finish();
}
