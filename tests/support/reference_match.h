// A plain double-precision rendering of the colour match, written for the
// tests independently of the engine's code: mean, population covariance,
// symmetric square roots by Jacobi rotations, T = Sr * St^+, then the 8-bit
// finishing (lightness kept through OpenCV's Lab, strength blend).
#pragma once

#include <opencv2/core.hpp>

#include <array>

namespace testing_support {

using Matrix3 = std::array<std::array<double, 3>, 3>;
using Vector3 = std::array<double, 3>;

struct ColourStatistics {
    Vector3 mean{};
    Matrix3 covariance{};
};

// Statistics of an 8-bit 3-channel image at the 1/256 scale.
ColourStatistics statisticsOf(const cv::Mat &image8);
// Symmetric square root; negative eigenvalues count as zero.
Matrix3 symmetricRoot(const Matrix3 &s);
// Pseudo-inverse of the symmetric root of a covariance: eigenvalues at or below
// 1e-6 of the largest one count as zero (the inverse root where none is).
Matrix3 pseudoInverseRoot(const Matrix3 &covariance);
Matrix3 inverse(const Matrix3 &m);
Matrix3 product(const Matrix3 &a, const Matrix3 &b);
// T = Sr * St^+ (St^-1 for a regular target covariance).
Matrix3 transferMatrixOf(const ColourStatistics &target, const ColourStatistics &reference);

// y = T x + mu_r - T mu_t for every pixel of an 8-bit target, CV_64FC3 on the
// 1/256 scale, neither rounded nor clamped.
cv::Mat referenceMappedExact(const cv::Mat &target8, const cv::Mat &reference8);
// The mapped colours in 8 bits (y = T x + mu_r - T mu_t, rounded half to even,
// clamped), before any finishing.
cv::Mat referenceMapped(const cv::Mat &target8, const cv::Mat &reference8);
// The finishing of mapped colours: lightness from the target unless
// matchLightness, through OpenCV's 8-bit Lab, then the strength blend.
cv::Mat referenceFinish(const cv::Mat &mapped8, const cv::Mat &target8, bool matchLightness, double strength);
// The matched 8-bit B, G, R image of an 8-bit target and reference.
cv::Mat referenceMatch(const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness, double strength);

// Counts the pixels of an engine result that neither lie within `tolerance`
// levels of the plain computation nor are explained by a one-level difference
// of the mapped colour (the finishing of one of the 26 neighbours of the plain
// mapped colour lands within one level of the engine's pixel). Finishing
// through 8-bit Lab amplifies such a one-level difference several times in
// dark, saturated colours.
int unexplainedPixels(const cv::Mat &result, const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness,
                      double strength, double tolerance);

} // namespace testing_support
