// The preview: target, reference and result side by side in one picture.
#pragma once

#include <opencv2/core.hpp>

// Target, reference and result side by side at one height, scaled so that the
// whole picture is `width` pixels wide; 8-bit B, G, R.
cv::Mat composePreview(const cv::Mat &target, const cv::Mat &reference, const cv::Mat &result, int width);

// The width of the preview colormatch writes, in pixels.
constexpr int previewWidth = 1200;
