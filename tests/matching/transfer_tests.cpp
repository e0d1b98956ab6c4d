// The statistics-and-transfer stage against a plain double-precision colour
// transfer, and its behaviour on degenerate images (one colour, one pixel,
// grey, colours on a line) and on 16-bit input.
#include "matching/matching.h"

#include "matching_test_support.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

using matching_test::loadSample;
using matching_test::maxAbsDifference;
using matching_test::SettingsGuard;
using matching_test::useOpenCLEverywhere;

namespace {

using Vec = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 product(const Mat3 &a, const Mat3 &b)
{
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i][j] += a[i][k] * b[k][j];
    return r;
}

Vec timesVector(const Mat3 &a, const Vec &v)
{
    Vec r{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            r[i] += a[i][k] * v[k];
    return r;
}

// Cyclic Jacobi rotations: eigenvalues on the diagonal of `s`, eigenvectors in
// the columns of `v`.
void jacobiEigen(Mat3 s, Vec &values, Mat3 &v)
{
    v = Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    for (int sweep = 0; sweep < 100; ++sweep) {
        const double off = s[0][1] * s[0][1] + s[0][2] * s[0][2] + s[1][2] * s[1][2];
        if (off < 1e-40)
            break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (s[p][q] == 0.0)
                    continue;
                const double theta = (s[q][q] - s[p][p]) / (2.0 * s[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double sn = t * c;
                for (int k = 0; k < 3; ++k) { // s = s * J
                    const double a = s[k][p], b = s[k][q];
                    s[k][p] = c * a - sn * b;
                    s[k][q] = sn * a + c * b;
                }
                for (int k = 0; k < 3; ++k) { // s = J^T * s
                    const double a = s[p][k], b = s[q][k];
                    s[p][k] = c * a - sn * b;
                    s[q][k] = sn * a + c * b;
                }
                for (int k = 0; k < 3; ++k) {
                    const double a = v[k][p], b = v[k][q];
                    v[k][p] = c * a - sn * b;
                    v[k][q] = sn * a + c * b;
                }
            }
    }
    values = {s[0][0], s[1][1], s[2][2]};
}

// V f(lambda) V^T.
template <typename F>
Mat3 spectralFunction(const Mat3 &s, F f)
{
    Vec values;
    Mat3 v;
    jacobiEigen(s, values, v);
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i][j] += v[i][k] * f(values[k]) * v[j][k];
    return r;
}

struct Statistics {
    Vec mean{};
    Mat3 covariance{};
};

// Mean and population covariance of an 8-bit image on the 1/256 scale.
Statistics plainStatistics(const cv::Mat &eightBit)
{
    Statistics s;
    const double n = double(eightBit.total());
    for (int y = 0; y < eightBit.rows; ++y)
        for (int x = 0; x < eightBit.cols; ++x)
            for (int c = 0; c < 3; ++c)
                s.mean[c] += eightBit.at<cv::Vec3b>(y, x)[c] / 256.0 / n;
    for (int y = 0; y < eightBit.rows; ++y)
        for (int x = 0; x < eightBit.cols; ++x) {
            const cv::Vec3b p = eightBit.at<cv::Vec3b>(y, x);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    s.covariance[i][j] += (p[i] / 256.0 - s.mean[i]) * (p[j] / 256.0 - s.mean[j]) / n;
        }
    return s;
}

// y = T x + mu_r - T mu_t with T = Sr St^-1, every pixel in double precision.
cv::Mat plainTransfer(const cv::Mat &target, const cv::Mat &reference)
{
    const Statistics t = plainStatistics(target);
    const Statistics r = plainStatistics(reference);
    const Mat3 referenceRoot = spectralFunction(r.covariance, [](double l) { return std::sqrt(std::max(l, 0.0)); });
    const Mat3 inverseTargetRoot = spectralFunction(t.covariance, [](double l) { return 1.0 / std::sqrt(l); });
    const Mat3 transfer = product(referenceRoot, inverseTargetRoot);
    const Vec shift = timesVector(transfer, t.mean);
    cv::Mat mapped(target.size(), CV_64FC3);
    for (int y = 0; y < target.rows; ++y)
        for (int x = 0; x < target.cols; ++x) {
            const cv::Vec3b p = target.at<cv::Vec3b>(y, x);
            const Vec m = timesVector(transfer, Vec{p[0] / 256.0, p[1] / 256.0, p[2] / 256.0});
            for (int c = 0; c < 3; ++c)
                mapped.at<cv::Vec3d>(y, x)[c] = m[c] + r.mean[c] - shift[c];
        }
    return mapped;
}

cv::Mat mapColours(const cv::Mat &target, const cv::Mat &reference)
{
    testing::internal::CaptureStderr(); // the stage's progress codes
    TransferInputs inputs = centreForTransfer(toWorkingScale(target.getUMat(cv::ACCESS_READ)),
                                              toWorkingScale(reference.getUMat(cv::ACCESS_READ)));
    const cv::UMat mapped = linearColourTransfer(inputs);
    testing::internal::GetCapturedStderr();
    return mapped.getMat(cv::ACCESS_READ).clone();
}

cv::Mat uniformImage(int rows, int cols, const cv::Vec3b &colour)
{
    return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(colour[0], colour[1], colour[2]));
}

bool allFinite(const cv::Mat &image)
{
    return cv::checkRange(image, true, nullptr, -1e6, 1e6);
}

void expectEverywhere(const cv::Mat &mapped, const Vec &colour, double tolerance)
{
    for (int y = 0; y < mapped.rows; ++y)
        for (int x = 0; x < mapped.cols; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_NEAR(mapped.at<cv::Vec3f>(y, x)[c], colour[c], tolerance) << y << "," << x << " c" << c;
}

cv::Mat scaledDown(const cv::Mat &image, double factor)
{
    cv::Mat small;
    cv::resize(image, small, cv::Size(), factor, factor, cv::INTER_AREA);
    return small;
}

class LinearTransfer : public testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam() && !cv::ocl::haveOpenCL())
            GTEST_SKIP() << "no OpenCL device";
        useOpenCLEverywhere(GetParam());
    }
    SettingsGuard guard_;
};

} // namespace

// Float stage against the double computation: 1e-5 on the 1/256 scale is
// under a hundredth of one 8-bit level (measured: about 6e-7).
TEST_P(LinearTransfer, PhotographAgreesWithDoublePrecision)
{
    const cv::Mat target = loadSample("chelsea.png");
    const cv::Mat reference = scaledDown(loadSample("rocket.jpg"), 0.5);
    const cv::Mat mapped = mapColours(target, reference);
    ASSERT_EQ(mapped.type(), CV_32FC3);
    ASSERT_EQ(mapped.size(), target.size());
    EXPECT_LT(maxAbsDifference(mapped, plainTransfer(target, reference)), 1e-5);
}

TEST_P(LinearTransfer, SameImageOnBothSidesIsTheIdentity)
{
    const cv::Mat photo = scaledDown(loadSample("coffee.png"), 0.25);
    const cv::Mat mapped = mapColours(photo, photo);
    cv::Mat expected;
    photo.convertTo(expected, CV_32F, 1.0 / 256.0);
    EXPECT_LT(maxAbsDifference(mapped, expected), 1e-4);
    cv::Mat rounded;
    mapped.convertTo(rounded, CV_8U, 256.0);
    EXPECT_EQ(maxAbsDifference(rounded, photo), 0.0);
}

TEST_P(LinearTransfer, SingleColourTargetTakesTheReferenceMean)
{
    const cv::Mat reference = scaledDown(loadSample("rocket.jpg"), 0.25);
    const Statistics r = plainStatistics(reference);
    expectEverywhere(mapColours(uniformImage(7, 5, {40, 170, 90}), reference), r.mean, 1e-5);
    expectEverywhere(mapColours(uniformImage(7, 5, {40, 170, 90}), uniformImage(3, 11, {200, 10, 255})),
                     Vec{200 / 256.0, 10 / 256.0, 255 / 256.0}, 1e-6);
    const cv::Mat onePixel = mapColours(uniformImage(1, 1, {1, 2, 3}), reference);
    ASSERT_EQ(onePixel.size(), cv::Size(1, 1));
    expectEverywhere(onePixel, r.mean, 1e-5);
}

// Every output pixel must be the mapping of the input pixel at the same place.
TEST_P(LinearTransfer, KeepsTheTargetsShapeAndOrientation)
{
    cv::Mat target(5, 7, CV_8UC3);
    cv::RNG rng(3);
    for (int y = 0; y < target.rows; ++y)
        for (int x = 0; x < target.cols; ++x)
            target.at<cv::Vec3b>(y, x) = {uchar(20 + 30 * x), uchar(30 + 40 * y), uchar(rng.uniform(0, 256))};
    cv::Mat reference(11, 3, CV_8UC3);
    rng.fill(reference, cv::RNG::UNIFORM, 0, 256);

    const cv::Mat mapped = mapColours(target, reference);
    ASSERT_EQ(mapped.rows, 5);
    ASSERT_EQ(mapped.cols, 7);
    EXPECT_LT(maxAbsDifference(mapped, plainTransfer(target, reference)), 1e-4);

    const cv::Mat tall = target.t();
    const cv::Mat mappedTall = mapColours(tall, reference);
    ASSERT_EQ(mappedTall.size(), tall.size());
    EXPECT_LT(maxAbsDifference(mappedTall, plainTransfer(tall, reference)), 1e-4);
}

// A grey target has all its spread along (1, 1, 1): the output keeps the
// reference mean and carries the reference's spread along that direction.
TEST_P(LinearTransfer, GreyTargetGivesFiniteColours)
{
    cv::Mat grey(9, 13, CV_8UC1);
    cv::RNG(5).fill(grey, cv::RNG::UNIFORM, 0, 256);
    cv::Mat target;
    cv::cvtColor(grey, target, cv::COLOR_GRAY2BGR);
    const cv::Mat reference = scaledDown(loadSample("chelsea.png"), 0.25);

    const cv::Mat mapped = mapColours(target, reference);
    ASSERT_TRUE(allFinite(mapped));

    const Statistics r = plainStatistics(reference);
    const double n = double(mapped.total());
    Vec mean{};
    for (int y = 0; y < mapped.rows; ++y)
        for (int x = 0; x < mapped.cols; ++x)
            for (int c = 0; c < 3; ++c)
                mean[c] += mapped.at<cv::Vec3f>(y, x)[c] / n;
    double spread = 0.0;
    for (int y = 0; y < mapped.rows; ++y)
        for (int x = 0; x < mapped.cols; ++x)
            for (int c = 0; c < 3; ++c)
                spread += std::pow(mapped.at<cv::Vec3f>(y, x)[c] - mean[c], 2) / n;
    double referenceSpreadAlongGrey = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            referenceSpreadAlongGrey += r.covariance[i][j] / 3.0;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(mean[c], r.mean[c], 1e-5);
    EXPECT_NEAR(spread, referenceSpreadAlongGrey, 1e-3 * referenceSpreadAlongGrey);
}

// A grey reference has no spread off the grey axis: the result is grey, up to
// the rounding-level spread its float covariance keeps there (well under a
// quarter of one 8-bit level, 1e-3 on the 1/256 scale).
TEST_P(LinearTransfer, GreyReferenceGivesGreyFiniteColours)
{
    cv::Mat grey;
    cv::cvtColor(scaledDown(loadSample("coffee.png"), 0.25), grey, cv::COLOR_BGR2GRAY);
    const cv::Mat reference = normaliseReference(grey.getUMat(cv::ACCESS_READ)).getMat(cv::ACCESS_READ).clone();
    const cv::Mat mapped = mapColours(scaledDown(loadSample("chelsea.png"), 0.25), reference);
    ASSERT_TRUE(allFinite(mapped));
    for (int y = 0; y < mapped.rows; ++y)
        for (int x = 0; x < mapped.cols; ++x) {
            const cv::Vec3f p = mapped.at<cv::Vec3f>(y, x);
            ASSERT_NEAR(p[0], p[1], 1e-3) << y << "," << x;
            ASSERT_NEAR(p[0], p[2], 1e-3) << y << "," << x;
        }
}

TEST_P(LinearTransfer, ColoursOnOneLineGiveFiniteOutput)
{
    cv::Mat target(6, 10, CV_8UC3);
    for (int i = 0; i < 60; ++i)
        target.at<cv::Vec3b>(i / 10, i % 10) = {uchar(10 + i), uchar(20 + 2 * i), uchar(30 + 3 * i)};
    const cv::Mat reference = scaledDown(loadSample("rocket.jpg"), 0.25);
    const cv::Mat mapped = mapColours(target, reference);
    ASSERT_TRUE(allFinite(mapped));

    // Two colours only: still finite, split symmetrically about the reference mean.
    cv::Mat twoColours = uniformImage(4, 4, {10, 200, 30});
    twoColours.rowRange(0, 2).setTo(cv::Scalar(250, 40, 90));
    const cv::Mat mappedTwo = mapColours(twoColours, reference);
    ASSERT_TRUE(allFinite(mappedTwo));
    const Statistics r = plainStatistics(reference);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR((mappedTwo.at<cv::Vec3f>(0, 0)[c] + mappedTwo.at<cv::Vec3f>(3, 3)[c]) / 2, r.mean[c], 1e-5);
}

INSTANTIATE_TEST_SUITE_P(OpenCL, LinearTransfer, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) { return info.param ? "On" : "Off"; });

namespace {

// sum_k weight_k u_k u_k^T for orthonormal u_k.
Mat3 fromSpectrum(const std::vector<std::pair<double, Vec>> &terms)
{
    Mat3 r{};
    for (const auto &term : terms)
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                r[i][j] += term.first * term.second[i] * term.second[j];
    return r;
}

cv::UMat asFloatMatrix(const Mat3 &m)
{
    cv::Mat f(3, 3, CV_32F);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            f.at<float>(i, j) = float(m[i][j]);
    cv::UMat u;
    f.copyTo(u);
    return u;
}

double maxDifference(const cv::UMat &actual, const Mat3 &expected)
{
    const cv::Mat a = actual.getMat(cv::ACCESS_READ);
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            worst = std::max(worst, std::fabs(a.at<float>(i, j) - expected[i][j]));
    return worst;
}

cv::UMat invertedRootOf(const Mat3 &covariance)
{
    const cv::UMat sigma = asFloatMatrix(covariance);
    return invertTargetRoot(sigma, symmetricSqrt(sigma));
}

} // namespace

// Roots and inverses of covariances with a known spectrum; entries are of order
// 1 to 10, compared to 1e-3.
TEST(TargetRoot, RegularRootsInvertAndSingularOnesPseudoInvert)
{
    const double r3 = 1.0 / std::sqrt(3.0), r2 = 1.0 / std::sqrt(2.0), r6 = 1.0 / std::sqrt(6.0);
    const Vec grey{r3, r3, r3}, warm{r2, 0.0, -r2}, green{r6, -2 * r6, r6};

    const Mat3 regular = fromSpectrum({{0.04, grey}, {0.01, warm}, {0.0025, green}});
    EXPECT_LT(maxDifference(symmetricSqrt(asFloatMatrix(regular)),
                            fromSpectrum({{0.2, grey}, {0.1, warm}, {0.05, green}})),
              1e-5);
    EXPECT_LT(maxDifference(invertedRootOf(regular), fromSpectrum({{5.0, grey}, {10.0, warm}, {20.0, green}})),
              1e-3);

    // Grey images and colours on one line or plane: the directions without
    // spread are dropped instead of blowing up.
    EXPECT_LT(maxDifference(invertedRootOf(fromSpectrum({{0.0625, grey}})), fromSpectrum({{4.0, grey}})), 1e-3);
    EXPECT_LT(maxDifference(invertedRootOf(fromSpectrum({{0.04, warm}, {0.01, green}})),
                            fromSpectrum({{5.0, warm}, {10.0, green}})),
              1e-3);

    // No spread, or only the rounding of a single colour's mean: every pixel
    // goes to the reference mean.
    EXPECT_EQ(maxDifference(invertedRootOf(Mat3{}), Mat3{}), 0.0);
    EXPECT_EQ(maxDifference(invertedRootOf(fromSpectrum({{1e-14, grey}})), Mat3{}), 0.0);
}

// A covariance with a slightly negative eigenvalue from rounding has a finite root.
TEST(TargetRoot, NegativeRoundingEigenvaluesCountAsZero)
{
    const double r3 = 1.0 / std::sqrt(3.0), r2 = 1.0 / std::sqrt(2.0), r6 = 1.0 / std::sqrt(6.0);
    const Vec grey{r3, r3, r3}, warm{r2, 0.0, -r2}, green{r6, -2 * r6, r6};
    const cv::UMat root = symmetricSqrt(asFloatMatrix(fromSpectrum({{0.09, grey}, {-1e-7, warm}, {0.0, green}})));
    ASSERT_TRUE(allFinite(root.getMat(cv::ACCESS_READ)));
    EXPECT_LT(maxDifference(root, fromSpectrum({{0.3, grey}})), 1e-3);
}

TEST(LinearTransfer, HostMergeForAmdGpusGivesTheSameImage)
{
    SettingsGuard guard;
    useOpenCLEverywhere(false);
    const cv::Mat target = scaledDown(loadSample("chelsea.png"), 0.25);
    const cv::Mat reference = scaledDown(loadSample("coffee.png"), 0.25);
    engineSettings().amdGpu = false;
    const cv::Mat direct = mapColours(target, reference);
    engineSettings().amdGpu = true;
    EXPECT_EQ(maxAbsDifference(mapColours(target, reference), direct), 0.0);
}

TEST(LinearTransfer, ReportsItsProgressCodesInOrder)
{
    const cv::Mat image = uniformImage(2, 3, {1, 2, 3});
    testing::internal::CaptureStderr();
    TransferInputs inputs = centreForTransfer(toWorkingScale(image.getUMat(cv::ACCESS_READ)),
                                              toWorkingScale(image.getUMat(cv::ACCESS_READ)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "060\n061\n062\n064\n066\n067\n");
    testing::internal::CaptureStderr();
    linearColourTransfer(inputs);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "068\n070\n072\n074\n075\n076\n");
}

namespace {

// The colour pieces from encoded bytes to the finished 8-bit result, in the
// order the conductor runs them, with a half-strength blend.
cv::Mat finishedMatch(const QByteArray &targetBytes, const QByteArray &referenceBytes)
{
    testing::internal::CaptureStderr();
    const cv::UMat decodedTarget = decodeImageBytes(targetBytes, "target");
    bool targetHadAlpha = false;
    const cv::UMat prepared = dropTargetAlpha(decodedTarget, targetHadAlpha);
    const cv::UMat unmatchedTarget = prepared.clone();
    cv::UMat workingTarget = toWorkingScale(prepared);
    cv::UMat workingReference = toWorkingScale(normaliseReference(decodeImageBytes(referenceBytes, "reference")));
    const cv::UMat target8 = toEightBit(workingTarget);
    const cv::UMat targetLab = labOf(target8);
    const cv::UMat reference8 = toEightBit(workingReference);
    workingTarget = toWorkingScale(target8);
    workingReference = toWorkingScale(reference8);

    TransferInputs inputs = centreForTransfer(workingTarget, workingReference);
    const cv::UMat mapped = linearColourTransfer(inputs);

    cv::UMat resultLab = labOf(toEightBit(mapped));
    restoreLightness(resultLab, targetLab);
    cv::UMat result;
    cv::cvtColor(resultLab, result, cv::COLOR_Lab2RGB);
    blendWithUnmatched(result, unmatchedTarget, 0.5f);
    if (targetHadAlpha)
        result = restoreAlpha(result, decodedTarget);
    testing::internal::GetCapturedStderr();
    return result.getMat(cv::ACCESS_READ).clone();
}

} // namespace

TEST(SixteenBitInput, MatchesItsEightBitRenderingWithinOneLevel)
{
    const cv::Mat photo = scaledDown(loadSample("chelsea.png"), 0.5);
    cv::Mat deep;
    photo.convertTo(deep, CV_16U, 257.0);
    cv::Mat dither(deep.size(), CV_16SC3);
    cv::RNG(9).fill(dither, cv::RNG::UNIFORM, -120, 121);
    cv::add(deep, dither, deep, cv::noArray(), CV_16U);
    cv::Mat alpha(deep.size(), CV_16UC1);
    cv::RNG(10).fill(alpha, cv::RNG::UNIFORM, 0, 65536);
    cv::Mat deepWithAlpha;
    cv::merge(std::vector<cv::Mat>{deep, alpha}, deepWithAlpha);

    cv::Mat rendering;
    deepWithAlpha.convertTo(rendering, CV_8U, 1.0 / 257.0);

    const QByteArray reference = testing_support::encodePng(scaledDown(loadSample("rocket.jpg"), 0.25));
    const cv::Mat fromDeep = finishedMatch(testing_support::encodePng(deepWithAlpha), reference);
    const cv::Mat fromRendering = finishedMatch(testing_support::encodePng(rendering), reference);
    ASSERT_EQ(fromDeep.type(), CV_8UC4);
    ASSERT_EQ(fromRendering.type(), CV_8UC4);
    EXPECT_LE(maxAbsDifference(fromDeep, fromRendering), 1.0);
}
