// The statistics-and-transfer stage against the plain double-precision transfer
// of support/reference_match (y = T x + mu_r - T mu_t, T = Sr St^+) on a
// photograph and on degenerate images, the target root and its inverse on
// known spectra, and 16-bit input through the whole of matchColors.
#include "matching/matching.h"

#include "matching_test_support.h"
#include "support/reference_match.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using namespace matching_test;
using testing_support::Vector3;

namespace {

cv::Mat stageMapped(const cv::Mat &target, const cv::Mat &reference)
{
    testing::internal::CaptureStderr(); // the stage's progress codes
    TransferInputs inputs = centreForTransfer(toWorkingScale(target.getUMat(cv::ACCESS_READ)),
                                              toWorkingScale(reference.getUMat(cv::ACCESS_READ)));
    const cv::Mat mapped = hostCopy(linearColourTransfer(inputs));
    testing::internal::GetCapturedStderr();
    return mapped;
}

cv::Mat uniform(int rows, int cols, const cv::Scalar &colour)
{
    return cv::Mat(rows, cols, CV_8UC3, colour);
}

struct TransferCase {
    const char *name;
    cv::Mat target, reference;
    double tolerance; // on the 1/256 scale; 1e-5 is under a hundredth of one 8-bit level (measured: below 1e-6)
};

std::vector<TransferCase> transferCases()
{
    const cv::Mat rocket = loadSample("rocket.jpg", 0.25);
    const cv::Mat chelsea = loadSample("chelsea.png", 0.25);
    // Column and row in two channels, so that a transposed or mirrored result shows.
    cv::Mat wide(5, 7, CV_8UC3);
    for (int y = 0; y < wide.rows; ++y)
        for (int x = 0; x < wide.cols; ++x)
            wide.at<cv::Vec3b>(y, x) = {uchar(20 + 30 * x), uchar(30 + 40 * y), uchar((x * 73 + y * 151) % 256)};
    cv::Mat grey;
    cv::cvtColor(randomImage(9, 13, CV_8UC1, 256, 5), grey, cv::COLOR_GRAY2BGR);
    cv::Mat line(6, 10, CV_8UC3);
    for (int i = 0; i < 60; ++i)
        line.at<cv::Vec3b>(i / 10, i % 10) = {uchar(10 + i), uchar(20 + 2 * i), uchar(30 + 3 * i)};
    cv::Mat twoColours = uniform(4, 4, {10, 200, 30});
    twoColours.rowRange(0, 2).setTo(cv::Scalar(250, 40, 90));
    cv::Mat greyReference;
    cv::cvtColor(loadSample("coffee.png", 0.25), greyReference, cv::COLOR_BGR2GRAY);
    cv::cvtColor(greyReference, greyReference, cv::COLOR_GRAY2BGR);

    return {
        {"photograph", loadSample("chelsea.png"), loadSample("rocket.jpg", 0.5), 1e-5},
        // T = I: the target comes back, to far less than half a level.
        {"same image on both sides", rocket, rocket, 1e-5},
        // No spread in the target: every pixel takes the reference mean.
        {"single colour", uniform(7, 5, {40, 170, 90}), rocket, 1e-5},
        {"single colour on both sides", uniform(7, 5, {40, 170, 90}), uniform(3, 11, {200, 10, 255}), 1e-6},
        {"one pixel", uniform(1, 1, {1, 2, 3}), rocket, 1e-5},
        // Non-square, and smaller than a reference of another shape.
        {"wide", wide, randomImage(11, 3, CV_8UC3, 256, 3), 1e-5},
        {"tall", wide.t(), randomImage(11, 3, CV_8UC3, 256, 3), 1e-5},
        // Singular covariances: the pseudo-inverse drops the directions without spread.
        {"grey target", grey, chelsea, 1e-5},
        {"colours on a line", line, rocket, 1e-5},
        {"two colours", twoColours, rocket, 1e-5},
        // The float root of a singular reference covariance keeps the square root
        // of its rounding noise (measured 2e-4): a quarter of one 8-bit level.
        {"grey reference", chelsea, greyReference, 1e-3},
    };
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

// Each case also with amdGpu set, which merges the mapped rows on the host.
TEST_P(LinearTransfer, AgreesWithThePlainDoublePrecisionTransfer)
{
    for (const TransferCase &c : transferCases())
        for (const bool amdGpu : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << ", amdGpu " << amdGpu);
            engineSettings().amdGpu = amdGpu;
            const cv::Mat mapped = stageMapped(c.target, c.reference);
            ASSERT_EQ(mapped.type(), CV_32FC3);
            ASSERT_EQ(mapped.size(), c.target.size());
            ASSERT_TRUE(cv::checkRange(mapped)); // no NaN, no infinity
            EXPECT_LT(maxAbsDifference(mapped, testing_support::referenceMappedExact(c.target, c.reference)),
                      c.tolerance);
        }
}

INSTANTIATE_TEST_SUITE_P(OpenCL, LinearTransfer, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) { return info.param ? "On" : "Off"; });

TEST(LinearTransfer, ReportsItsProgressCodesInOrder)
{
    const cv::UMat image = toWorkingScale(uniform(2, 3, {1, 2, 3}).getUMat(cv::ACCESS_READ));
    testing::internal::CaptureStderr();
    TransferInputs inputs = centreForTransfer(image, image);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "060\n061\n062\n064\n066\n067\n");
    testing::internal::CaptureStderr();
    linearColourTransfer(inputs);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "068\n070\n072\n074\n075\n076\n");
}

namespace {

using Spectrum = std::vector<std::pair<double, Vector3>>;

// sum of weight * u u^T over orthonormal u, as a CV_64F matrix.
cv::Mat fromSpectrum(const Spectrum &terms)
{
    cv::Mat m = cv::Mat::zeros(3, 3, CV_64F);
    for (const auto &term : terms)
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m.at<double>(i, j) += term.first * term.second[i] * term.second[j];
    return m;
}

} // namespace

// Entries of the roots are of order 0.1, those of the inverses of order 1 to 20
// (measured: within 4e-5 and 4e-6; the float roots of singular covariances keep
// the square root of their rounding noise).
TEST(TargetRoot, RootsAndPseudoInversesOfKnownSpectra)
{
    const double r3 = 1.0 / std::sqrt(3.0), r2 = 1.0 / std::sqrt(2.0), r6 = 1.0 / std::sqrt(6.0);
    const Vector3 grey{r3, r3, r3}, warm{r2, 0.0, -r2}, green{r6, -2 * r6, r6};
    struct Case {
        const char *name;
        Spectrum covariance, root, inverseRoot;
    };
    const Case cases[] = {
        {"regular", {{0.04, grey}, {0.01, warm}, {0.0025, green}}, {{0.2, grey}, {0.1, warm}, {0.05, green}},
         {{5.0, grey}, {10.0, warm}, {20.0, green}}},
        {"grey", {{0.0625, grey}}, {{0.25, grey}}, {{4.0, grey}}},
        {"one plane", {{0.04, warm}, {0.01, green}}, {{0.2, warm}, {0.1, green}}, {{5.0, warm}, {10.0, green}}},
        // No spread, or only the rounding of a single colour's mean: T = 0.
        {"zero", {}, {}, {}},
        {"rounding noise", {{1e-14, grey}}, {{1e-7, grey}}, {}},
        // Rounding can make an eigenvalue slightly negative: it counts as zero.
        {"negative", {{0.09, grey}, {-1e-7, warm}}, {{0.3, grey}}, {{1.0 / 0.3, grey}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cv::UMat sigma;
        fromSpectrum(c.covariance).convertTo(sigma, CV_32F);
        const cv::UMat root = symmetricSqrt(sigma);
        ASSERT_TRUE(cv::checkRange(root));
        EXPECT_LT(maxAbsDifference(root, fromSpectrum(c.root)), 1e-4);
        EXPECT_LT(maxAbsDifference(invertTargetRoot(sigma, root), fromSpectrum(c.inverseRoot)), 1e-3);
    }
}

// A 16-bit image within half a level of its 8-bit rendering, with a 16-bit
// alpha plane, is matched like that rendering (half-strength blend and alpha
// included) up to one level.
TEST(SixteenBitInput, MatchesItsEightBitRenderingWithinOneLevel)
{
    SettingsGuard guard;
    cv::Mat deep;
    loadSample("chelsea.png", 0.5).convertTo(deep, CV_16U, 257.0);
    cv::Mat dither(deep.size(), CV_16SC3);
    cv::RNG(9).fill(dither, cv::RNG::UNIFORM, -120, 121);
    cv::add(deep, dither, deep, cv::noArray(), CV_16U);
    cv::merge(std::vector<cv::Mat>{deep, randomImage(deep.rows, deep.cols, CV_16UC1, 65536, 10)}, deep);
    cv::Mat rendering;
    deep.convertTo(rendering, CV_8U, 1.0 / 257.0);

    const QByteArray reference = testing_support::encodePng(loadSample("rocket.jpg", 0.25));
    auto matched = [&](const cv::Mat &target) {
        QStringList lutFailures;
        testing::internal::CaptureStderr();
        const cv::Mat result =
            hostCopy(matchColors(testing_support::encodePng(target), reference, false, 0.5f, lutFailures));
        testing::internal::GetCapturedStderr();
        return result;
    };
    const cv::Mat fromDeep = matched(deep);
    const cv::Mat fromRendering = matched(rendering);
    ASSERT_EQ(fromDeep.type(), CV_8UC4);
    ASSERT_EQ(fromRendering.type(), CV_8UC4);
    EXPECT_LE(maxAbsDifference(fromDeep, fromRendering), 1.0);
}
