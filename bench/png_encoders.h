// SPDX-License-Identifier: GPL-3.0-or-later
// The PNG encoders compared on one decoded photograph (see png_encoders.cpp).
#pragma once

#include <opencv2/core.hpp>

#include <string>

// Times each encoder on the image (best of repeat), checks that its file
// decodes to the same pixels, and prints one row per encoder under the title.
void comparePngEncoders(const cv::Mat &image, const std::string &title, int repeat);
