// SPDX-License-Identifier: GPL-3.0-or-later
// The colour match in plain double precision, apart from the engine's code: the
// visible pixels' means and population covariances, T = Sr * St^+ (eigenvalues
// up to 1e-6 of the largest count as zero), y = T (x - mu_t) + mu_r rounded half
// to even, then the target's lightness through OpenCV's 8-bit Lab, the blend.
#pragma once

#include <opencv2/core.hpp>

namespace testing_support {

// Which pixels enter each image's statistics: CV_8UC1 planes, 0 for a hidden
// pixel; an empty plane, or one without a visible pixel, counts every pixel.
struct Visibility {
    cv::Mat target;
    cv::Mat reference;
};

// An engine result (8-bit B, G, R) agrees with the plain computation: at most
// 0.5 % of its samples differ, and each pixel is within 2 levels, or within 1
// of the finishing of a neighbour of the mapped colour (single precision moves
// a mapped colour across a rounding step now and then, and the 8-bit Lab
// finishing amplifies that several times in dark, saturated colours).
void expectPlainMatch(const cv::Mat &result, const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness,
                      double strength, const Visibility &visible = {});

// The deep computation in plain double precision from colours of 0 to 1
// (CV_64FC3 B, G, R, no 8-bit step anywhere): the same statistics and transfer,
// the mapped colour clamped, CIE L*a*b* by the sRGB and CIE formulas (D65), the
// lightness replaced by the target's unless matchLightness, back, clamped, the
// blend with the target for a strength below 1, clamped.
cv::Mat deepPlainMatch(const cv::Mat &target, const cv::Mat &reference, bool matchLightness, double strength,
                       const Visibility &visible = {});
// How far an engine result (CV_16UC3) is from the expected colours (CV_64FC3, 0 to 1).
struct DeepAgreement {
    double withinShare = 0;  // of samples within 1/1024 of full scale
    double largestError = 0; // of full scale
};
DeepAgreement deepAgreement(const cv::Mat &result16, const cv::Mat &expected);

} // namespace testing_support
