// The LUT table, the output lattice and its tetrahedral resampling, and what
// the LUT export functions refuse.
#include "lut_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>

using namespace lut_test;

namespace {

constexpr double tolerance = 1e-4; // on the 0 .. 255 scale; floats hold about 1.5e-5 there

cv::Mat randomTable(uint64 seed)
{
    cv::Mat table(1, 4096, CV_32FC3);
    cv::RNG(seed).fill(table, cv::RNG::UNIFORM, 0.0, 1.0);
    return table;
}

// Table entry (R, G, B on 0 .. 1) as an output entry (B, G, R on 0 .. 255).
cv::Vec3d tableBgr(const cv::Mat &table, int index)
{
    const cv::Vec3f rgb = table.at<cv::Vec3f>(0, index);
    return 255.0 * cv::Vec3d(rgb[2], rgb[1], rgb[0]);
}

cv::Mat resampled(const cv::Mat &table, int n)
{
    cv::UMat lattice = makeOutputLattice(n);
    resampleTetrahedral(lattice, table, 16, n);
    return hostCopy(lattice);
}

struct Interpolated {
    cv::Vec3d value, low, high; // low and high: the range of the cell's eight corners
};

// Plain tetrahedral interpolation at an output entry (B, G, R on 0 .. 255):
// from the cell's lower corner walk to the upper one, one axis at a time in
// order of decreasing fraction; each corner on the way weighs the drop in
// fraction before the next step.
Interpolated plainTetrahedral(const cv::Mat &table, const cv::Vec3f &bgr)
{
    int corner[3]; // red, green, blue
    double fraction[3];
    for (int axis = 0; axis < 3; ++axis) {
        const double v = std::min(bgr[2 - axis] / 255.0 * 15, 15.0);
        corner[axis] = std::min(static_cast<int>(v), 14);
        fraction[axis] = v - corner[axis];
    }
    auto entry = [&](const int *c) { return tableBgr(table, c[0] + 16 * (c[1] + 16 * c[2])); };
    Interpolated result{{}, cv::Vec3d::all(255.0), cv::Vec3d::all(0.0)};
    for (int d = 0; d < 8; ++d) {
        const int c[3] = {corner[0] + (d & 1), corner[1] + (d >> 1 & 1), corner[2] + (d >> 2)};
        for (int channel = 0; channel < 3; ++channel) {
            result.low[channel] = std::min(result.low[channel], entry(c)[channel]);
            result.high[channel] = std::max(result.high[channel], entry(c)[channel]);
        }
    }
    std::array<int, 3> order{0, 1, 2};
    std::stable_sort(order.begin(), order.end(), [&](int p, int q) { return fraction[p] > fraction[q]; });
    result.value = (1 - fraction[order[0]]) * entry(corner);
    for (int step = 0; step < 3; ++step) {
        ++corner[order[step]];
        result.value += (fraction[order[step]] - (step < 2 ? fraction[order[step + 1]] : 0.0)) * entry(corner);
    }
    return result;
}

void expectEntry(const cv::Mat &lattice, int k, const cv::Vec3d &expected)
{
    for (int channel = 0; channel < 3; ++channel)
        EXPECT_NEAR(lattice.at<cv::Vec3f>(0, k)[channel], expected[channel], tolerance) << "entry " << k;
}

} // namespace

TEST(LutTable, TurnsBgrBytesIntoRgbOnTheUnitScale)
{
    const cv::Mat lattice = transformedLattice(nullptr, 3);
    const cv::Mat table = makeLutTable(toUMat(lattice), 16);
    ASSERT_EQ(table.type(), CV_32FC3);
    ASSERT_EQ(table.total(), 4096u);
    for (int k = 0; k < 4096; ++k)
        for (int channel = 0; channel < 3; ++channel)
            ASSERT_NEAR(table.at<cv::Vec3f>(0, k)[channel], lattice.at<cv::Vec3b>(0, k)[2 - channel] / 255.0, 1e-7)
                << "entry " << k;
}

// Every point of sizes 16 and 2 falls on a table point: size 16 gives the table
// back, size 2 its corners black, red, green, yellow, blue, magenta, cyan,
// white (entries 0, 15, 240, 255, 3840, 3855, 4080, 4095) in that order.
TEST(Resampling, PointsOnTableLevelsReproduceTheTable)
{
    const cv::Mat table = randomTable(21);
    for (const int n : {16, 2}) {
        const cv::Mat lattice = resampled(table, n);
        ASSERT_EQ(lattice.total(), size_t(n * n * n));
        for (int k = 0; k < n * n * n; ++k)
            expectEntry(lattice, k, tableBgr(table, 15 / (n - 1) * (k % n + 16 * (k / n % n) + 256 * (k / (n * n)))));
    }
}

// Entry 1 of size 33 (red 255 / 32) lies at x = 0.46875 between red levels 0 and 1.
TEST(Resampling, SizeThirtyThreeEntryOneBlendsTheFirstTwoRedLevels)
{
    const cv::Mat table = randomTable(23);
    expectEntry(resampled(table, 33), 1, 0.53125 * tableBgr(table, 0) + 0.46875 * tableBgr(table, 1));
}

// Random colours with ties between the fractions, on table levels and at the
// top, then the whole size-33 lattice (steps of 255 / 32 = 7.96875).
TEST(Resampling, AgreesWithPlainTetrahedralInterpolationWithinTheCellCorners)
{
    const cv::Mat table = randomTable(25);
    cv::Mat points(1, 125, CV_32FC3);
    cv::RNG(26).fill(points, cv::RNG::UNIFORM, 0.0, 255.0);
    const cv::Vec3f ties[] = {{8.5f, 8.5f, 8.5f},    {100.0f, 42.5f, 42.5f},  {42.5f, 100.0f, 42.5f},
                              {42.5f, 42.5f, 100.0f}, {255.0f, 250.0f, 255.0f}, {34.0f, 200.0f, 119.0f}};
    std::copy(std::begin(ties), std::end(ties), points.begin<cv::Vec3f>());
    cv::UMat resampledPoints = toUMat(points);
    resampleTetrahedral(resampledPoints, table, 16, 5);

    cv::Mat grid(1, 33 * 33 * 33, CV_32FC3);
    for (int k = 0; k < grid.cols; ++k)
        grid.at<cv::Vec3f>(0, k) = 7.96875f * cv::Vec3f(float(k / 1089), float(k / 33 % 33), float(k % 33));

    const std::pair<cv::Mat, cv::Mat> runs[] = {{points, hostCopy(resampledPoints)}, {grid, resampled(table, 33)}};
    for (const auto &[inputs, outputs] : runs)
        for (int k = 0; k < inputs.cols; ++k) {
            const Interpolated expected = plainTetrahedral(table, inputs.at<cv::Vec3f>(0, k));
            for (int channel = 0; channel < 3; ++channel) {
                const double value = outputs.at<cv::Vec3f>(0, k)[channel];
                ASSERT_NEAR(value, expected.value[channel], tolerance) << "entry " << k << " of " << inputs.cols;
                ASSERT_GE(value, expected.low[channel] - tolerance) << "entry " << k << " of " << inputs.cols;
                ASSERT_LE(value, expected.high[channel] + tolerance) << "entry " << k << " of " << inputs.cols;
            }
        }
}

TEST(LutExport, RefusesSizesBelowTwoAndInputsOfTheWrongShape)
{
    auto refused = [](const char *what, const std::function<void()> &call) {
        try {
            call();
            ADD_FAILURE() << what << " accepted";
        } catch (const EngineError &error) {
            EXPECT_EQ(error.status, exitStatus::software) << what;
        }
    };
    const cv::Mat table = randomTable(27);
    auto resample = [&](int tableLevels, int n) {
        cv::UMat lattice = makeOutputLattice(2);
        resampleTetrahedral(lattice, table, tableLevels, n);
    };
    for (const int n : {1, 0}) {
        SCOPED_TRACE(testing::Message() << "size " << n);
        refused("lattice strip", [n] { makeLatticeStrip(n); });
        refused("LUT table", [n] { makeLutTable(cv::UMat::zeros(1, 4096, CV_8UC3), n); });
        refused("output lattice", [n] { makeOutputLattice(n); });
        refused("resampling", [&] { resample(16, n); });
        refused("resampling table", [&] { resample(n, 2); });
        refused("cube text", [n] { buildCubeText(cv::UMat::zeros(1, 8, CV_32FC3), n); });
    }
    refused("cube text of too few entries", [] { buildCubeText(cv::UMat::zeros(1, 8, CV_32FC3), 3); });

    LatticeGeometry geometry;
    for (const int type : {CV_8UC1, CV_8UC2, CV_16UC3, CV_32FC3, CV_16UC4})
        refused(cv::typeToString(type).c_str(), [&] { stackLattice(cv::UMat::zeros(20, 30, type), geometry); });
    refused("empty target", [&] { stackLattice(cv::UMat(), geometry); });
    geometry = {100, 41};
    refused("other width", [&] { extractLattice(cv::UMat::zeros(341, 90, CV_8UC3), geometry); });
    refused("fewer rows than the block", [&] { extractLattice(cv::UMat::zeros(30, 100, CV_8UC3), geometry); });
    refused("4 channels", [&] { extractLattice(cv::UMat::zeros(341, 100, CV_8UC4), geometry); });
}
