// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/reference_match.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace testing_support {

namespace {

using Matrix3 = cv::Matx33d;

struct ColourStatistics {
    cv::Vec3d mean;
    Matrix3 covariance;
};

// Mean and population covariance of the visible pixels of a CV_64FC3 image.
ColourStatistics statisticsOf(const cv::Mat &image, const cv::Mat &visible)
{
    const bool all = visible.empty() || cv::countNonZero(visible) == 0;
    std::vector<cv::Vec3d> colours;
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x)
            if (all || visible.at<uchar>(y, x) != 0)
                colours.push_back(image.at<cv::Vec3d>(y, x));
    ColourStatistics s;
    const double n = double(colours.size());
    for (const cv::Vec3d &c : colours)
        s.mean += c; // the 8-bit colours' sums are exact
    s.mean /= n;
    for (const cv::Vec3d &c : colours)
        s.covariance += (c - s.mean) * (c - s.mean).t() * (1.0 / n);
    return s;
}

// V f(lambda, largest lambda) V^T for s = V diag(lambda) V^T, in double precision.
template <typename F>
Matrix3 spectralFunction(const Matrix3 &s, F f)
{
    cv::Matx31d lambda;
    Matrix3 rows; // one eigenvector per row, eigenvalues in descending order
    cv::eigen(s, lambda, rows);
    Matrix3 d = Matrix3::zeros();
    for (int i = 0; i < 3; ++i)
        d(i, i) = f(lambda(i), lambda(0));
    return rows.t() * d * rows;
}

// T = Sr * St^+, eigenvalues up to 1e-6 of the largest counting as zero.
Matrix3 transferOf(const ColourStatistics &t, const ColourStatistics &r)
{
    const Matrix3 sr = spectralFunction(r.covariance, [](double lambda, double) { return std::sqrt(std::max(lambda, 0.0)); });
    return sr * spectralFunction(t.covariance, [](double lambda, double largest) {
        return lambda > 0.0 && lambda > 1e-6 * largest ? 1.0 / std::sqrt(lambda) : 0.0;
    });
}

cv::Mat referenceMapped(const cv::Mat &target8, const cv::Mat &reference8, const Visibility &visible)
{
    cv::Mat target, reference; // at the 1/256 scale
    target8.convertTo(target, CV_64F, 1.0 / 256.0);
    reference8.convertTo(reference, CV_64F, 1.0 / 256.0);
    const ColourStatistics t = statisticsOf(target, visible.target);
    const ColourStatistics r = statisticsOf(reference, visible.reference);
    const Matrix3 transfer = transferOf(t, r);
    cv::Mat mapped(target8.size(), CV_8UC3);
    for (int y = 0; y < target8.rows; ++y)
        for (int x = 0; x < target8.cols; ++x) {
            const cv::Vec3d y8 = r.mean + transfer * (target.at<cv::Vec3d>(y, x) - t.mean);
            for (int i = 0; i < 3; ++i) // halves to even
                mapped.at<cv::Vec3b>(y, x)[i] = uchar(std::min(255.0, std::max(0.0, std::nearbyint(y8[i] * 256.0))));
        }
    return mapped;
}

cv::Mat referenceFinish(const cv::Mat &mapped8, const cv::Mat &target8, bool matchLightness, double strength)
{
    // CIE L* of the B, G, R colours, as OpenCV's 8-bit Lab encodes it.
    cv::Mat mappedLab, targetLab;
    cv::cvtColor(mapped8, mappedLab, cv::COLOR_BGR2Lab);
    cv::cvtColor(target8, targetLab, cv::COLOR_BGR2Lab);
    if (!matchLightness)
        for (int y = 0; y < target8.rows; ++y)
            for (int x = 0; x < target8.cols; ++x)
                mappedLab.at<cv::Vec3b>(y, x)[0] = targetLab.at<cv::Vec3b>(y, x)[0];
    cv::Mat result;
    cv::cvtColor(mappedLab, result, cv::COLOR_Lab2BGR);

    if (strength < 1.0) {
        for (int y = 0; y < result.rows; ++y)
            for (int x = 0; x < result.cols; ++x)
                for (int c = 0; c < 3; ++c) {
                    const double v = strength * result.at<cv::Vec3b>(y, x)[c]
                        + (1.0 - strength) * target8.at<cv::Vec3b>(y, x)[c];
                    result.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(std::nearbyint(v));
                }
    }
    return result;
}

} // namespace

void expectPlainMatch(const cv::Mat &result, const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness,
                      double strength, const Visibility &visible)
{
    const cv::Mat mapped = referenceMapped(target8, reference8, visible);
    const cv::Mat expected = referenceFinish(mapped, target8, matchLightness, strength);
    cv::Mat difference;
    cv::absdiff(result, expected, difference);
    EXPECT_LE(cv::countNonZero(difference.reshape(1)), int(0.005 * difference.total() * 3));
    auto within = [](const cv::Vec3b &a, const cv::Vec3b &b, int limit) {
        return std::abs(int(a[0]) - b[0]) <= limit && std::abs(int(a[1]) - b[1]) <= limit &&
               std::abs(int(a[2]) - b[2]) <= limit;
    };
    int unexplained = 0;
    for (int y = 0; y < result.rows; ++y)
        for (int x = 0; x < result.cols; ++x) {
            const cv::Vec3b got = result.at<cv::Vec3b>(y, x);
            bool explained = within(got, expected.at<cv::Vec3b>(y, x), 2);
            for (int d = 0; d < 27 && !explained; ++d) {
                cv::Mat neighbour = mapped(cv::Rect(x, y, 1, 1)).clone();
                const int step[3] = {d % 3 - 1, (d / 3) % 3 - 1, d / 9 - 1};
                for (int c = 0; c < 3; ++c)
                    neighbour.at<cv::Vec3b>(0, 0)[c] = cv::saturate_cast<uchar>(neighbour.at<cv::Vec3b>(0, 0)[c] + step[c]);
                const cv::Mat finished = referenceFinish(neighbour, target8(cv::Rect(x, y, 1, 1)), matchLightness, strength);
                explained = within(got, finished.at<cv::Vec3b>(0, 0), 1);
            }
            unexplained += explained ? 0 : 1;
        }
    EXPECT_EQ(unexplained, 0);
}

namespace {

// CIE L*a*b* of linear-light sRGB primaries, white D65, as the CIE defines it
// (with the 0.008856 and 903.3 of its older tables).
constexpr double labEpsilon = 0.008856, labKappa = 903.3;
const cv::Vec3d whiteD65(0.950456, 1.0, 1.088754);
const cv::Matx33d rgbToXyz(0.412453, 0.357580, 0.180423, 0.212671, 0.715160, 0.072169, 0.019334, 0.119193, 0.950227);

double linearOf(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double gammaOf(double c)
{
    return c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
}

cv::Vec3d labOf(const cv::Vec3d &bgr)
{
    const cv::Vec3d rgb(linearOf(bgr[2]), linearOf(bgr[1]), linearOf(bgr[0]));
    const cv::Vec3d xyz = rgbToXyz * rgb;
    double f[3];
    for (int i = 0; i < 3; ++i) {
        const double t = xyz[i] / whiteD65[i];
        f[i] = t > labEpsilon ? std::cbrt(t) : (labKappa * t + 16.0) / 116.0;
    }
    return cv::Vec3d(116.0 * f[1] - 16.0, 500.0 * (f[0] - f[1]), 200.0 * (f[1] - f[2]));
}

cv::Vec3d bgrOfLab(const cv::Vec3d &lab)
{
    const double fy = (lab[0] + 16.0) / 116.0;
    const double f[3] = {fy + lab[1] / 500.0, fy, fy - lab[2] / 200.0};
    cv::Vec3d xyz;
    for (int i = 0; i < 3; ++i) {
        const double cube = f[i] * f[i] * f[i];
        xyz[i] = whiteD65[i] * (cube > labEpsilon ? cube : (116.0 * f[i] - 16.0) / labKappa);
    }
    const cv::Vec3d rgb = rgbToXyz.inv() * xyz;
    cv::Vec3d bgr;
    for (int i = 0; i < 3; ++i)
        bgr[2 - i] = gammaOf(std::min(1.0, std::max(0.0, rgb[i])));
    return bgr;
}

cv::Vec3d clamped(const cv::Vec3d &c)
{
    return cv::Vec3d(std::min(1.0, std::max(0.0, c[0])), std::min(1.0, std::max(0.0, c[1])),
                     std::min(1.0, std::max(0.0, c[2])));
}

} // namespace

cv::Mat deepPlainMatch(const cv::Mat &target, const cv::Mat &reference, bool matchLightness, double strength,
                       const Visibility &visible)
{
    CV_Assert(target.type() == CV_64FC3 && reference.type() == CV_64FC3);
    const ColourStatistics t = statisticsOf(target, visible.target);
    const ColourStatistics r = statisticsOf(reference, visible.reference);
    const Matrix3 transfer = transferOf(t, r);
    cv::Mat expected(target.size(), CV_64FC3);
    for (int y = 0; y < target.rows; ++y)
        for (int x = 0; x < target.cols; ++x) {
            const cv::Vec3d own = target.at<cv::Vec3d>(y, x);
            cv::Vec3d lab = labOf(clamped(r.mean + transfer * (own - t.mean)));
            if (!matchLightness)
                lab[0] = labOf(own)[0];
            cv::Vec3d finished = clamped(bgrOfLab(lab));
            if (strength < 1.0)
                finished = clamped(strength * finished + (1.0 - strength) * own);
            expected.at<cv::Vec3d>(y, x) = finished;
        }
    return expected;
}

DeepAgreement deepAgreement(const cv::Mat &result16, const cv::Mat &expected)
{
    CV_Assert(result16.type() == CV_16UC3 && expected.type() == CV_64FC3 && result16.size() == expected.size());
    cv::Mat result;
    result16.convertTo(result, CV_64F, 1.0 / 65535.0);
    cv::Mat error;
    cv::absdiff(result, expected, error);
    error = error.reshape(1);
    DeepAgreement agreement;
    cv::minMaxLoc(error, nullptr, &agreement.largestError);
    agreement.withinShare = double(cv::countNonZero(error <= 1.0 / 1024.0)) / double(error.total());
    return agreement;
}

} // namespace testing_support
