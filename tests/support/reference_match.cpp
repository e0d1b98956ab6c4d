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

// Mean and population covariance at the 1/256 scale of the visible pixels.
ColourStatistics statisticsOf(const cv::Mat &image8, const cv::Mat &visible)
{
    const bool all = visible.empty() || cv::countNonZero(visible) == 0;
    std::vector<cv::Vec3d> colours;
    for (int y = 0; y < image8.rows; ++y)
        for (int x = 0; x < image8.cols; ++x)
            if (all || visible.at<uchar>(y, x) != 0)
                colours.push_back(cv::Vec3d(image8.at<cv::Vec3b>(y, x)));
    ColourStatistics s;
    const double n = double(colours.size());
    for (const cv::Vec3d &c : colours)
        s.mean += c; // whole numbers: the sum is exact
    s.mean /= 256.0 * n;
    for (const cv::Vec3d &c : colours) {
        const cv::Vec3d d = c / 256.0 - s.mean;
        s.covariance += d * d.t() * (1.0 / n);
    }
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

cv::Mat referenceMapped(const cv::Mat &target8, const cv::Mat &reference8, const Visibility &visible)
{
    const ColourStatistics t = statisticsOf(target8, visible.target);
    const ColourStatistics r = statisticsOf(reference8, visible.reference);
    const Matrix3 sr = spectralFunction(r.covariance, [](double lambda, double) { return std::sqrt(std::max(lambda, 0.0)); });
    const Matrix3 stPlus = spectralFunction(t.covariance, [](double lambda, double largest) {
        return lambda > 0.0 && lambda > 1e-6 * largest ? 1.0 / std::sqrt(lambda) : 0.0;
    });
    const Matrix3 transfer = sr * stPlus;
    cv::Mat mapped(target8.size(), CV_8UC3);
    for (int y = 0; y < target8.rows; ++y)
        for (int x = 0; x < target8.cols; ++x) {
            const cv::Vec3d y8 = r.mean + transfer * (cv::Vec3d(target8.at<cv::Vec3b>(y, x)) / 256.0 - t.mean);
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

} // namespace testing_support
