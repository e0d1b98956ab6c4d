// SPDX-License-Identifier: GPL-3.0-or-later
// The preview: target, reference and result side by side in one picture, each
// turned as a viewer shows it.
#pragma once

#include <opencv2/core.hpp>

// Target, reference and result side by side at one height, scaled so that the
// whole picture is `width` pixels wide; 8-bit B, G, R.
cv::Mat composePreview(const cv::Mat &target, const cv::Mat &reference, const cv::Mat &result, int width);

// The image turned the way a viewer shows it for an EXIF orientation.
cv::Mat orientedForViewing(const cv::Mat &image, int orientation);

// The width of the preview colormatch writes, in pixels.
constexpr int previewWidth = 1200;
