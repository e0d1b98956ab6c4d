// A plain double-precision rendering of the colour match, written for the
// tests independently of the engine's code: mean and population covariance of
// the visible pixels, symmetric square roots by Jacobi rotations, T = Sr * St^+
// (eigenvalues at or below 1e-6 of the largest count as zero), y = T x + mu_r -
// T mu_t rounded
// half to even and clamped, then the 8-bit finishing (lightness kept through
// OpenCV's Lab, strength blend).
#pragma once

#include <opencv2/core.hpp>

namespace testing_support {

// Which pixels enter each image's statistics: CV_8UC1 planes, 0 for a hidden
// pixel; an empty plane, or one without a visible pixel, counts every pixel.
struct Visibility {
    cv::Mat target;
    cv::Mat reference;
};

// The matched 8-bit B, G, R image of an 8-bit target and reference.
cv::Mat referenceMatch(const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness, double strength,
                       const Visibility &visible = {});

// Counts the pixels of an engine result that neither lie within `tolerance`
// levels of the plain computation nor are explained by a one-level difference
// of the mapped colour (the finishing of one of the 26 neighbours of the plain
// mapped colour lands within one level of the engine's pixel). Finishing
// through 8-bit Lab amplifies such a one-level difference several times in
// dark, saturated colours.
int unexplainedPixels(const cv::Mat &result, const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness,
                      double strength, double tolerance, const Visibility &visible = {});

} // namespace testing_support
