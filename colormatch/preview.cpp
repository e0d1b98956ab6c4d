// SPDX-License-Identifier: GPL-3.0-or-later
// The preview: target, reference and result side by side, for people who would
// rather look than read.
#include "colormatch/preview.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace {

cv::Mat scaledTo(const cv::Mat &image, int width, int height)
{
    // Area averaging keeps a shrunk photograph free of moiré; enlarging a small
    // image wants interpolation instead.
    const bool shrinking = width < image.cols;
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(width, height), 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
    return scaled;
}

} // namespace

// One common height h for the three pictures, each keeping its aspect ratio,
// such that their widths add up to `width`: h = width / sum(cols / rows). The
// last picture takes up the rounding so the total is exact.
cv::Mat composePreview(const cv::Mat &target, const cv::Mat &reference, const cv::Mat &result, int width)
{
    const std::vector<cv::Mat> parts{target, reference, result};
    double aspectSum = 0.0;
    for (const cv::Mat &part : parts) {
        CV_Assert(!part.empty() && part.type() == CV_8UC3);
        aspectSum += double(part.cols) / double(part.rows);
    }
    const int height = std::max(1, int(std::lround(width / aspectSum)));
    std::vector<cv::Mat> scaled;
    int used = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const int partWidth = i + 1 < parts.size()
            ? std::max(1, int(std::lround(double(parts[i].cols) * height / parts[i].rows)))
            : std::max(1, width - used);
        used += partWidth;
        scaled.push_back(scaledTo(parts[i], partWidth, height));
    }
    cv::Mat preview;
    cv::hconcat(scaled, preview);
    return preview;
}

cv::Mat orientedForViewing(const cv::Mat &image, int orientation)
{
    // Orientation 2 to 8: mirrored, turned 180, mirrored vertically, transposed,
    // turned 90 clockwise, transversed, turned 90 counter-clockwise.
    cv::Mat turned;
    switch (orientation) {
    case 2: cv::flip(image, turned, 1); break;
    case 3: cv::rotate(image, turned, cv::ROTATE_180); break;
    case 4: cv::flip(image, turned, 0); break;
    case 5: cv::transpose(image, turned); break;
    case 6: cv::rotate(image, turned, cv::ROTATE_90_CLOCKWISE); break;
    case 7:
        cv::transpose(image, turned);
        cv::flip(turned, turned, -1);
        break;
    case 8: cv::rotate(image, turned, cv::ROTATE_90_COUNTERCLOCKWISE); break;
    default: turned = image;
    }
    return turned;
}
