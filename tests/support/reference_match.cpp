#include "support/reference_match.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace testing_support {

namespace {

using Matrix3 = std::array<std::array<double, 3>, 3>;
using Vector3 = std::array<double, 3>;

struct ColourStatistics {
    Vector3 mean{};
    Matrix3 covariance{};
};

// Mean and population covariance of an 8-bit 3-channel image at the 1/256 scale.
ColourStatistics statisticsOf(const cv::Mat &image8)
{
    ColourStatistics s;
    const double n = double(image8.total());
    for (int y = 0; y < image8.rows; ++y)
        for (int x = 0; x < image8.cols; ++x) {
            const cv::Vec3b p = image8.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c)
                s.mean[c] += p[c] / 256.0;
        }
    for (double &m : s.mean)
        m /= n;
    for (int y = 0; y < image8.rows; ++y)
        for (int x = 0; x < image8.cols; ++x) {
            const cv::Vec3b p = image8.at<cv::Vec3b>(y, x);
            double d[3];
            for (int c = 0; c < 3; ++c)
                d[c] = p[c] / 256.0 - s.mean[c];
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    s.covariance[i][j] += d[i] * d[j];
        }
    for (auto &row : s.covariance)
        for (double &v : row)
            v /= n;
    return s;
}

Matrix3 product(const Matrix3 &a, const Matrix3 &b)
{
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i][j] += a[i][k] * b[k][j];
    return r;
}

// V f(lambda, largest lambda) V^T, by cyclic Jacobi rotations: s = V diag(lambda) V^T.
template <typename F>
Matrix3 spectralFunction(const Matrix3 &s, F f)
{
    Matrix3 a = s;
    Matrix3 v{};
    for (int i = 0; i < 3; ++i)
        v[i][i] = 1.0;
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        if (off < 1e-30)
            break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (std::abs(a[p][q]) < 1e-300)
                    continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double sn = t * c;
                for (int k = 0; k < 3; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - sn * akq;
                    a[k][q] = sn * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - sn * aqk;
                    a[q][k] = sn * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - sn * vkq;
                    v[k][q] = sn * vkp + c * vkq;
                }
            }
    }
    const double largest = std::max({a[0][0], a[1][1], a[2][2]});
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i][j] += v[i][k] * f(a[k][k], largest) * v[j][k];
    return r;
}

Matrix3 symmetricRoot(const Matrix3 &s)
{
    return spectralFunction(s, [](double lambda, double) { return std::sqrt(std::max(lambda, 0.0)); });
}

Matrix3 pseudoInverseRoot(const Matrix3 &covariance)
{
    return spectralFunction(covariance, [](double lambda, double largest) {
        return lambda > 0.0 && lambda > 1e-6 * largest ? 1.0 / std::sqrt(lambda) : 0.0;
    });
}

Matrix3 transferMatrixOf(const ColourStatistics &target, const ColourStatistics &reference)
{
    return product(symmetricRoot(reference.covariance), pseudoInverseRoot(target.covariance));
}

cv::Mat referenceMappedExact(const cv::Mat &target8, const cv::Mat &reference8)
{
    const ColourStatistics t = statisticsOf(target8);
    const ColourStatistics r = statisticsOf(reference8);
    const Matrix3 transfer = transferMatrixOf(t, r);

    cv::Mat mapped(target8.size(), CV_64FC3);
    for (int y = 0; y < target8.rows; ++y)
        for (int x = 0; x < target8.cols; ++x) {
            const cv::Vec3b p = target8.at<cv::Vec3b>(y, x);
            for (int i = 0; i < 3; ++i) {
                double v = r.mean[i];
                for (int k = 0; k < 3; ++k)
                    v += transfer[i][k] * (p[k] / 256.0 - t.mean[k]);
                mapped.at<cv::Vec3d>(y, x)[i] = v;
            }
        }
    return mapped;
}

cv::Mat referenceMapped(const cv::Mat &target8, const cv::Mat &reference8)
{
    const cv::Mat exact = referenceMappedExact(target8, reference8);
    cv::Mat mapped(target8.size(), CV_8UC3);
    for (int y = 0; y < target8.rows; ++y)
        for (int x = 0; x < target8.cols; ++x)
            for (int i = 0; i < 3; ++i) {
                // Nearest, halves to even, then clamped to the 8-bit range.
                const double level = std::nearbyint(exact.at<cv::Vec3d>(y, x)[i] * 256.0);
                mapped.at<cv::Vec3b>(y, x)[i] = uchar(std::min(255.0, std::max(0.0, level)));
            }
    return mapped;
}

cv::Mat referenceFinish(const cv::Mat &mapped8, const cv::Mat &target8, bool matchLightness, double strength)
{
    // The Lab codes are applied to B, G, R data, in both directions alike.
    cv::Mat mappedLab, targetLab;
    cv::cvtColor(mapped8, mappedLab, cv::COLOR_RGB2Lab);
    cv::cvtColor(target8, targetLab, cv::COLOR_RGB2Lab);
    if (!matchLightness)
        for (int y = 0; y < target8.rows; ++y)
            for (int x = 0; x < target8.cols; ++x)
                mappedLab.at<cv::Vec3b>(y, x)[0] = targetLab.at<cv::Vec3b>(y, x)[0];
    cv::Mat result;
    cv::cvtColor(mappedLab, result, cv::COLOR_Lab2RGB);

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

cv::Mat referenceMatch(const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness, double strength)
{
    return referenceFinish(referenceMapped(target8, reference8), target8, matchLightness, strength);
}

int unexplainedPixels(const cv::Mat &result, const cv::Mat &target8, const cv::Mat &reference8, bool matchLightness,
                      double strength, double tolerance)
{
    const cv::Mat mapped = referenceMapped(target8, reference8);
    const cv::Mat expected = referenceFinish(mapped, target8, matchLightness, strength);
    auto within = [](const cv::Vec3b &a, const cv::Vec3b &b, double limit) {
        for (int c = 0; c < 3; ++c)
            if (std::abs(int(a[c]) - int(b[c])) > limit)
                return false;
        return true;
    };
    int unexplained = 0;
    for (int y = 0; y < result.rows; ++y)
        for (int x = 0; x < result.cols; ++x) {
            const cv::Vec3b got = result.at<cv::Vec3b>(y, x);
            if (within(got, expected.at<cv::Vec3b>(y, x), tolerance))
                continue;
            const cv::Mat targetPixel = target8(cv::Rect(x, y, 1, 1));
            bool explained = false;
            for (int d = 0; d < 27 && !explained; ++d) {
                cv::Mat neighbour = mapped(cv::Rect(x, y, 1, 1)).clone();
                const int step[3] = {d % 3 - 1, (d / 3) % 3 - 1, d / 9 - 1};
                for (int c = 0; c < 3; ++c)
                    neighbour.at<cv::Vec3b>(0, 0)[c] = cv::saturate_cast<uchar>(neighbour.at<cv::Vec3b>(0, 0)[c] + step[c]);
                const cv::Mat finished = referenceFinish(neighbour, targetPixel, matchLightness, strength);
                explained = within(got, finished.at<cv::Vec3b>(0, 0), 1.0);
            }
            unexplained += explained ? 0 : 1;
        }
    return unexplained;
}

} // namespace testing_support
