// The LUT table, the output lattice and its tetrahedral resampling.
#include "engine/engine.h"
#include "lut/lut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr double tolerance = 1e-4; // on the 0 .. 255 scale; floats hold about 1.5e-5 there

struct Rgb {
    double r = 0, g = 0, b = 0;
};

cv::Mat randomTable(uint64 seed)
{
    cv::Mat table(1, 4096, CV_32FC3);
    cv::RNG rng(seed);
    rng.fill(table, cv::RNG::UNIFORM, 0.0, 1.0);
    return table;
}

Rgb tableEntry(const cv::Mat &table, int index)
{
    const cv::Vec3f entry = table.at<cv::Vec3f>(0, index);
    return {entry[0], entry[1], entry[2]};
}

// Plain tetrahedral interpolation: from the cell's lower corner walk to the
// upper one, one axis at a time in order of decreasing fraction; each corner
// on the way weighs the drop in fraction before the next step.
Rgb plainTetrahedral(const cv::Mat &table, int a, double red, double green, double blue)
{
    const double scaled[3] = {red, green, blue};
    int corner[3];
    double fraction[3];
    for (int axis = 0; axis < 3; ++axis) {
        const double v = std::min(scaled[axis] / 255.0 * (a - 1), double(a - 1));
        corner[axis] = std::min(static_cast<int>(v), a - 2);
        fraction[axis] = v - corner[axis];
    }
    std::array<int, 3> order{0, 1, 2};
    std::stable_sort(order.begin(), order.end(), [&](int p, int q) { return fraction[p] > fraction[q]; });

    auto entry = [&] { return tableEntry(table, corner[0] + a * (corner[1] + a * corner[2])); };
    auto add = [](Rgb &sum, double weight, const Rgb &c) {
        sum.r += weight * c.r;
        sum.g += weight * c.g;
        sum.b += weight * c.b;
    };
    Rgb sum;
    add(sum, 1 - fraction[order[0]], entry());
    ++corner[order[0]];
    add(sum, fraction[order[0]] - fraction[order[1]], entry());
    ++corner[order[1]];
    add(sum, fraction[order[1]] - fraction[order[2]], entry());
    ++corner[order[2]];
    add(sum, fraction[order[2]], entry());
    return sum;
}

cv::Mat hostCopy(const cv::UMat &umat)
{
    return umat.getMat(cv::ACCESS_READ).clone();
}

cv::UMat toUMat(const cv::Mat &mat)
{
    cv::UMat result;
    mat.copyTo(result);
    return result;
}

void expectEntry(const cv::Mat &lattice, int k, const Rgb &expected01)
{
    const cv::Vec3f entry = lattice.at<cv::Vec3f>(0, k);
    EXPECT_NEAR(entry[0], 255 * expected01.b, tolerance) << "entry " << k << " blue";
    EXPECT_NEAR(entry[1], 255 * expected01.g, tolerance) << "entry " << k << " green";
    EXPECT_NEAR(entry[2], 255 * expected01.r, tolerance) << "entry " << k << " red";
}

cv::Mat resampled(const cv::Mat &table, int n)
{
    cv::UMat lattice = makeOutputLattice(n);
    resampleTetrahedral(lattice, table, 16, n);
    return hostCopy(lattice);
}

template <typename Call>
void expectSoftwareError(Call call)
{
    try {
        call();
        ADD_FAILURE() << "no EngineError thrown";
    } catch (const EngineError &error) {
        EXPECT_EQ(error.status, exitStatus::software);
    }
}

} // namespace

TEST(LutTable, TurnsBgrBytesIntoRgbOnTheUnitScale)
{
    cv::Mat lattice(1, 4096, CV_8UC3);
    cv::RNG(3).fill(lattice, cv::RNG::UNIFORM, 0, 256);
    const cv::Mat table = makeLutTable(toUMat(lattice), 16);
    ASSERT_EQ(table.type(), CV_32FC3);
    ASSERT_EQ(table.total(), 4096u);
    for (int k = 0; k < 4096; ++k) {
        const cv::Vec3b bgr = lattice.at<cv::Vec3b>(0, k);
        const cv::Vec3f rgb = table.at<cv::Vec3f>(0, k);
        for (int channel = 0; channel < 3; ++channel)
            ASSERT_NEAR(rgb[channel], bgr[2 - channel] / 255.0, 1e-7) << "entry " << k;
    }
}

TEST(OutputLattice, IdentityColoursInLatticeOrder)
{
    const cv::Mat sixteen = hostCopy(makeOutputLattice(16));
    ASSERT_EQ(sixteen.type(), CV_32FC3);
    ASSERT_EQ(sixteen.total(), 4096u);
    for (int k = 0; k < 4096; ++k)
        ASSERT_EQ(sixteen.at<cv::Vec3f>(0, k), cv::Vec3f(17.0f * (k / 256), 17.0f * (k / 16 % 16), 17.0f * (k % 16)));

    // 255 / 32 = 7.96875 is exact in binary, so every value is too.
    const cv::Mat thirtyThree = hostCopy(makeOutputLattice(33));
    ASSERT_EQ(thirtyThree.total(), 35937u);
    EXPECT_EQ(thirtyThree.at<cv::Vec3f>(0, 1), cv::Vec3f(0.0f, 0.0f, 7.96875f));
    EXPECT_EQ(thirtyThree.at<cv::Vec3f>(0, 5 + 33 * 7 + 33 * 33 * 31),
              cv::Vec3f(31 * 7.96875f, 7 * 7.96875f, 5 * 7.96875f));
    EXPECT_EQ(thirtyThree.at<cv::Vec3f>(0, 35936), cv::Vec3f(255.0f, 255.0f, 255.0f));
}

TEST(Resampling, SizeSixteenReproducesTheTable)
{
    const cv::Mat table = randomTable(21);
    const cv::Mat lattice = resampled(table, 16);
    for (int k = 0; k < 4096; ++k)
        expectEntry(lattice, k, tableEntry(table, k));
}

TEST(Resampling, SizeTwoGivesTheEightCornersInOrder)
{
    const cv::Mat table = randomTable(22);
    const cv::Mat lattice = resampled(table, 2);
    ASSERT_EQ(lattice.total(), 8u);
    // black, red, green, yellow, blue, magenta, cyan, white
    const int corners[] = {0, 15, 240, 255, 3840, 3855, 4080, 4095};
    for (int k = 0; k < 8; ++k)
        expectEntry(lattice, k, tableEntry(table, corners[k]));
}

TEST(Resampling, SizeThirtyThreeEntryOneBlendsTheFirstTwoRedLevels)
{
    const cv::Mat table = randomTable(23);
    const cv::Mat lattice = resampled(table, 33);
    const Rgb t0 = tableEntry(table, 0);
    const Rgb t1 = tableEntry(table, 1);
    expectEntry(lattice, 1,
                {0.53125 * t0.r + 0.46875 * t1.r, 0.53125 * t0.g + 0.46875 * t1.g, 0.53125 * t0.b + 0.46875 * t1.b});
}

TEST(Resampling, OutputsStayWithinTheCellCorners)
{
    const cv::Mat table = randomTable(24);
    const int n = 33;
    const cv::Mat lattice = resampled(table, n);
    for (int k = 0; k < n * n * n; ++k) {
        const int levels[3] = {k % n, k / n % n, k / (n * n)}; // r, g, b
        int low[3], high[3];
        for (int axis = 0; axis < 3; ++axis) {
            const double position = levels[axis] * 15.0 / (n - 1);
            low[axis] = static_cast<int>(std::floor(position + 1e-9));
            high[axis] = static_cast<int>(std::ceil(position - 1e-9));
        }
        double minimum[3] = {1, 1, 1}, maximum[3] = {0, 0, 0};
        for (const int i : {low[0], high[0]})
            for (const int j : {low[1], high[1]})
                for (const int l : {low[2], high[2]}) {
                    const Rgb c = tableEntry(table, i + 16 * (j + 16 * l));
                    const double rgb[3] = {c.r, c.g, c.b};
                    for (int channel = 0; channel < 3; ++channel) {
                        minimum[channel] = std::min(minimum[channel], rgb[channel]);
                        maximum[channel] = std::max(maximum[channel], rgb[channel]);
                    }
                }
        const cv::Vec3f bgr = lattice.at<cv::Vec3f>(0, k);
        for (int channel = 0; channel < 3; ++channel) {
            const double value = bgr[2 - channel];
            ASSERT_GE(value, 255 * minimum[channel] - tolerance) << "entry " << k;
            ASSERT_LE(value, 255 * maximum[channel] + tolerance) << "entry " << k;
            ASSERT_GE(value, 0.0);
            ASSERT_LE(value, 255.0);
        }
    }
}

TEST(Resampling, AgreesWithPlainTetrahedralInterpolation)
{
    const cv::Mat table = randomTable(25);

    // Random colours, plus ties between the fractions, table levels and the top.
    const int n = 5;
    cv::Mat points(1, n * n * n, CV_32FC3);
    cv::RNG(26).fill(points, cv::RNG::UNIFORM, 0.0, 255.0);
    points.at<cv::Vec3f>(0, 0) = cv::Vec3f(8.5f, 8.5f, 8.5f);
    points.at<cv::Vec3f>(0, 1) = cv::Vec3f(100.0f, 42.5f, 42.5f);
    points.at<cv::Vec3f>(0, 2) = cv::Vec3f(42.5f, 100.0f, 42.5f);
    points.at<cv::Vec3f>(0, 3) = cv::Vec3f(42.5f, 42.5f, 100.0f);
    points.at<cv::Vec3f>(0, 4) = cv::Vec3f(255.0f, 250.0f, 255.0f);
    points.at<cv::Vec3f>(0, 5) = cv::Vec3f(34.0f, 200.0f, 119.0f);
    cv::UMat lattice = toUMat(points);
    resampleTetrahedral(lattice, table, 16, n);
    const cv::Mat result = hostCopy(lattice);
    for (int k = 0; k < n * n * n; ++k) {
        const cv::Vec3f p = points.at<cv::Vec3f>(0, k);
        expectEntry(result, k, plainTetrahedral(table, 16, p[2], p[1], p[0]));
    }

    // A whole lattice whose points fall between the table levels.
    const cv::Mat seventeen = resampled(table, 17);
    for (int k = 0; k < 17 * 17 * 17; ++k) {
        const double step = 255.0 / 16;
        expectEntry(seventeen, k, plainTetrahedral(table, 16, k % 17 * step, k / 17 % 17 * step, k / 289 * step));
    }
}

TEST(Resampling, RefusesSizesBelowTwo)
{
    const cv::Mat table = randomTable(27);
    expectSoftwareError([] { makeOutputLattice(1); });
    expectSoftwareError([] { makeOutputLattice(0); });
    expectSoftwareError([&] {
        cv::UMat lattice = makeOutputLattice(2);
        resampleTetrahedral(lattice, table, 16, 1);
    });
    expectSoftwareError([&] {
        cv::UMat lattice = makeOutputLattice(2);
        resampleTetrahedral(lattice, table, 1, 2);
    });
    expectSoftwareError([] { makeLutTable(cv::UMat::zeros(1, 4096, CV_8UC3), 1); });
}
