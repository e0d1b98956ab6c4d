// SPDX-License-Identifier: GPL-3.0-or-later
// Colour statistics and the linear transfer y = T x + mu_r - T mu_t with
// T = Sr St^-1, where St and Sr are the symmetric square roots of the target
// and reference colour covariances. After the requantisation every working
// sample is an 8-bit level over 256, so the statistics come from exact integer
// sums over the 8-bit images, and the mapping is a function of a pixel's colour
// alone, evaluated once per distinct colour.
#include "matching/matching.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// An eigenvalue of the target covariance at or below this share of the largest
// one is rounding noise of a singular covariance (a grey image, colours on one
// line), not colour spread.
constexpr double relativeEigenFloor = 1e-6;
// Below this absolute variance (a spread of a thousandth of one 8-bit level on
// the 1/256 scale) an eigenvalue only reflects the rounding of the mean of a
// single-colour image.
constexpr double absoluteEigenFloor = 1e-12;

// Eigenvalues (a column, largest first) and eigenvectors (rows) of a
// symmetric matrix in its own depth, as cv::eigen gives them, by cyclic Jacobi
// rotations in double precision with exactly rounded operations alone.
// OpenCV's solver calls the C library's hypot, whose last bit differs between
// C libraries: the Windows build's results differed from Linux's in a few pixels.
void symmetricEigen(const cv::Mat &matrix, cv::Mat &eigenvalues, cv::Mat &eigenvectors)
{
    const int n = matrix.rows;
    cv::Mat_<double> a;
    matrix.convertTo(a, CV_64F);
    cv::Mat_<double> v = cv::Mat_<double>::eye(n, n);
    for (int sweep = 0; sweep < 64; ++sweep) {
        double off = 0.0, diagonal = 0.0;
        for (int i = 0; i < n; ++i) {
            diagonal += a(i, i) * a(i, i);
            for (int j = i + 1; j < n; ++j)
                off += a(i, j) * a(i, j);
        }
        if (off <= 1e-40 * diagonal)
            break;
        for (int p = 0; p < n; ++p)
            for (int q = p + 1; q < n; ++q) {
                if (a(p, q) == 0.0)
                    continue;
                const double theta = (a(q, q) - a(p, p)) / (2.0 * a(p, q));
                const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < n; ++k) {
                    const double kp = a(k, p), kq = a(k, q);
                    a(k, p) = c * kp - s * kq;
                    a(k, q) = s * kp + c * kq;
                }
                for (int k = 0; k < n; ++k) {
                    const double pk = a(p, k), qk = a(q, k);
                    a(p, k) = c * pk - s * qk;
                    a(q, k) = s * pk + c * qk;
                }
                for (int k = 0; k < n; ++k) {
                    const double kp = v(k, p), kq = v(k, q);
                    v(k, p) = c * kp - s * kq;
                    v(k, q) = s * kp + c * kq;
                }
            }
    }
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&a](int i, int j) { return a(i, i) > a(j, j); });
    cv::Mat_<double> values(n, 1), vectors(n, n);
    for (int i = 0; i < n; ++i) {
        values(i) = a(order[i], order[i]);
        for (int k = 0; k < n; ++k)
            vectors(i, k) = v(k, order[i]);
    }
    values.convertTo(eigenvalues, matrix.depth());
    vectors.convertTo(eigenvectors, matrix.depth());
}

cv::UMat matMul(const cv::UMat &a, const cv::UMat &b)
{
    cv::UMat dst;
    cv::gemm(a, b, 1.0, cv::UMat(), 0.0, dst, 0);
    return dst;
}

// Pseudo-inverse of the target root where the covariance is singular or
// numerically singular, LU otherwise.
cv::UMat invertTargetRoot(const cv::UMat &targetCovariance, const cv::UMat &targetRoot)
{
    cv::Mat eigenvalues;
    cv::Mat eigenvectors;
    symmetricEigen(targetCovariance.getMat(cv::ACCESS_READ), eigenvalues, eigenvectors);
    eigenvalues.convertTo(eigenvalues, CV_64F);
    eigenvectors.convertTo(eigenvectors, CV_64F);

    double largest = 0.0;
    cv::minMaxLoc(eigenvalues, nullptr, &largest);
    const double floor = std::max(relativeEigenFloor * largest, absoluteEigenFloor);
    bool regular = largest > 0.0;
    for (int i = 0; i < eigenvalues.rows; ++i)
        regular = regular && eigenvalues.at<double>(i) > floor;
    if (regular)
        return targetRoot.inv(cv::DECOMP_LU);

    // The directions without colour spread are dropped, so those pixels keep
    // the reference's mean there.
    cv::Mat inverseRoots = cv::Mat::zeros(eigenvalues.rows, eigenvalues.rows, CV_64F);
    for (int i = 0; i < eigenvalues.rows; ++i) {
        const double lambda = eigenvalues.at<double>(i);
        if (lambda > floor)
            inverseRoots.at<double>(i, i) = 1.0 / std::sqrt(lambda);
    }
    const cv::Mat pseudoInverse = eigenvectors.t() * inverseRoots * eigenvectors;
    cv::UMat result;
    pseudoInverse.convertTo(result, targetRoot.type());
    return result;
}

// Row bands for the whole-image passes: a few per thread, so that a band that
// meets a busy core does not hold up the pass.
int bandCount(int rows)
{
    return std::max(1, std::min(rows, 4 * cv::getNumThreads()));
}

int bandStart(int rows, int bands, int band)
{
    return static_cast<int>(static_cast<std::int64_t>(rows) * band / bands);
}

cv::Vec3f columnVector(const cv::UMat &column)
{
    const cv::Mat m = column.getMat(cv::ACCESS_READ);
    CV_Assert(m.type() == CV_32FC1 && m.total() == 3);
    return cv::Vec3f(m.at<float>(0), m.at<float>(1), m.at<float>(2));
}

// Sums of the first three channels of an 8-bit image's counted pixels (3 or 4
// channels) and of their pairwise products, exact.
struct ColourMoments {
    std::int64_t count = 0;
    std::int64_t sums[3] = {0, 0, 0};
    std::int64_t products[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
};

// Running sums of one band: the pixels that count, channels 0, 1, 2 and the
// products 00, 01, 02, 11, 12, 22.
struct BandSums {
    std::uint64_t count = 0;
    std::uint64_t sums[3] = {0, 0, 0};
    std::uint64_t products[6] = {0, 0, 0, 0, 0, 0};
};

// Where a row's visibility comes from: every pixel counts, or those whose
// alpha (the image's own fourth channel, or a separate plane) is not 0.
enum class AlphaFrom { none, fourthChannel, plane };

#if CV_SIMD128
// 32-bit lanes of pairwise products of 8-bit levels stay exact for this many
// pixels (each lane gains at most 4 * 255^2 per 16 pixels).
constexpr int pixelsPerFlush = 4096;

inline void flushLanes(const cv::v_int32x4 (&lanes)[10], BandSums &band)
{
    for (int c = 0; c < 3; ++c)
        band.sums[c] += static_cast<std::uint32_t>(cv::v_reduce_sum(lanes[c]));
    for (int k = 0; k < 6; ++k)
        band.products[k] += static_cast<std::uint32_t>(cv::v_reduce_sum(lanes[3 + k]));
    band.count += static_cast<std::uint32_t>(cv::v_reduce_sum(lanes[9]));
}
#endif

// Adds a row of `width` pixels (`alpha`: the row of the separate plane).
// Sixteen pixels at a time their channels are split into 16-bit lanes, whose
// pairwise multiply-adds give the sums and the products; hidden pixels are
// zeroed first, so they add nothing. The pixels left over go one at a time.
template <int channels, AlphaFrom alphaFrom>
void addRowMoments(const uchar *p, const uchar *alpha, int width, BandSums &band)
{
    int x = 0;
#if CV_SIMD128
    const cv::v_int16x8 one = cv::v_setall_s16(1);
    const cv::v_uint8x16 zero8 = cv::v_setzero_u8();
    const cv::v_uint8x16 one8 = cv::v_setall_u8(1);
    while (x + 16 <= width) {
        cv::v_int32x4 lanes[10];
        for (cv::v_int32x4 &lane : lanes)
            lane = cv::v_setzero_s32();
        const int end = std::min(width, x + pixelsPerFlush);
        for (; x + 16 <= end; x += 16, p += 16 * channels) {
            cv::v_uint8x16 c0, c1, c2, c3;
            if (channels == 4)
                cv::v_load_deinterleave(p, c0, c1, c2, c3);
            else
                cv::v_load_deinterleave(p, c0, c1, c2);
            if (alphaFrom != AlphaFrom::none) {
                const cv::v_uint8x16 hidden = (alphaFrom == AlphaFrom::plane ? cv::v_load(alpha + x) : c3) == zero8;
                c0 = cv::v_select(hidden, zero8, c0);
                c1 = cv::v_select(hidden, zero8, c1);
                c2 = cv::v_select(hidden, zero8, c2);
                cv::v_uint16x8 shown0, shown1;
                cv::v_expand(cv::v_select(hidden, zero8, one8), shown0, shown1);
                lanes[9] = cv::v_dotprod(cv::v_reinterpret_as_s16(shown0), one, lanes[9]);
                lanes[9] = cv::v_dotprod(cv::v_reinterpret_as_s16(shown1), one, lanes[9]);
            }
            cv::v_uint16x8 halves[3][2];
            cv::v_expand(c0, halves[0][0], halves[0][1]);
            cv::v_expand(c1, halves[1][0], halves[1][1]);
            cv::v_expand(c2, halves[2][0], halves[2][1]);
            for (int h = 0; h < 2; ++h) {
                const cv::v_int16x8 a = cv::v_reinterpret_as_s16(halves[0][h]);
                const cv::v_int16x8 b = cv::v_reinterpret_as_s16(halves[1][h]);
                const cv::v_int16x8 c = cv::v_reinterpret_as_s16(halves[2][h]);
                lanes[0] = cv::v_dotprod(a, one, lanes[0]);
                lanes[1] = cv::v_dotprod(b, one, lanes[1]);
                lanes[2] = cv::v_dotprod(c, one, lanes[2]);
                lanes[3] = cv::v_dotprod(a, a, lanes[3]);
                lanes[4] = cv::v_dotprod(a, b, lanes[4]);
                lanes[5] = cv::v_dotprod(a, c, lanes[5]);
                lanes[6] = cv::v_dotprod(b, b, lanes[6]);
                lanes[7] = cv::v_dotprod(b, c, lanes[7]);
                lanes[8] = cv::v_dotprod(c, c, lanes[8]);
            }
        }
        flushLanes(lanes, band);
    }
#endif
    if (alphaFrom == AlphaFrom::none)
        band.count += static_cast<std::uint64_t>(width);
    for (; x < width; ++x, p += channels) {
        if (alphaFrom != AlphaFrom::none) {
            if ((alphaFrom == AlphaFrom::plane ? alpha[x] : p[3]) == 0)
                continue;
            ++band.count;
        }
        const std::uint32_t c0 = p[0], c1 = p[1], c2 = p[2];
        band.sums[0] += c0;
        band.sums[1] += c1;
        band.sums[2] += c2;
        band.products[0] += c0 * c0;
        band.products[1] += c0 * c1;
        band.products[2] += c0 * c2;
        band.products[3] += c1 * c1;
        band.products[4] += c1 * c2;
        band.products[5] += c2 * c2;
    }
}

template <int channels, AlphaFrom alphaFrom>
void addBandMoments(const cv::Mat &image, const cv::Mat &alpha, int begin, int end, BandSums &sums)
{
    for (int y = begin; y < end; ++y)
        addRowMoments<channels, alphaFrom>(image.ptr<uchar>(y), alphaFrom == AlphaFrom::plane ? alpha.ptr<uchar>(y)
                                                                                               : nullptr,
                                           image.cols, sums);
}

ColourMoments colourMomentsOf(const cv::Mat &image, AlphaFrom alphaFrom, const cv::Mat &alpha)
{
    CV_Assert(image.depth() == CV_8U && (image.channels() == 3 || image.channels() == 4));
    CV_Assert(alphaFrom != AlphaFrom::fourthChannel || image.channels() == 4);
    CV_Assert(alphaFrom != AlphaFrom::plane || (alpha.type() == CV_8UC1 && alpha.size() == image.size()));
    const int bands = bandCount(image.rows);
    std::vector<BandSums> partial(static_cast<size_t>(bands));
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
        for (int band = range.start; band < range.end; ++band) {
            BandSums &sums = partial[static_cast<size_t>(band)];
            const int begin = bandStart(image.rows, bands, band), end = bandStart(image.rows, bands, band + 1);
            if (image.channels() == 3 && alphaFrom == AlphaFrom::plane)
                addBandMoments<3, AlphaFrom::plane>(image, alpha, begin, end, sums);
            else if (image.channels() == 3)
                addBandMoments<3, AlphaFrom::none>(image, alpha, begin, end, sums);
            else if (alphaFrom == AlphaFrom::plane)
                addBandMoments<4, AlphaFrom::plane>(image, alpha, begin, end, sums);
            else if (alphaFrom == AlphaFrom::fourthChannel)
                addBandMoments<4, AlphaFrom::fourthChannel>(image, alpha, begin, end, sums);
            else
                addBandMoments<4, AlphaFrom::none>(image, alpha, begin, end, sums);
        }
    }, bands);

    ColourMoments total;
    constexpr int productOf[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    for (const BandSums &band : partial) {
        total.count += static_cast<std::int64_t>(band.count);
        for (int i = 0; i < 3; ++i) {
            total.sums[i] += static_cast<std::int64_t>(band.sums[i]);
            for (int j = 0; j < 3; ++j)
                total.products[i][j] += static_cast<std::int64_t>(band.products[productOf[i][j]]);
        }
    }
    return total;
}

// The moments of the visible pixels; an image with none visible counts all of
// its pixels, as if it had no alpha.
ColourMoments visibleColourMoments(const cv::Mat &image, const VisiblePixels &visible)
{
    const AlphaFrom alphaFrom = visible.alphaInImage ? AlphaFrom::fourthChannel
        : visible.alpha.empty()                      ? AlphaFrom::none
                                                     : AlphaFrom::plane;
    ColourMoments moments = colourMomentsOf(image, alphaFrom, visible.alpha);
    if (moments.count == 0)
        moments = colourMomentsOf(image, AlphaFrom::none, cv::Mat());
    return moments;
}

// Mean colour on the 1/256 scale, 1 x 1 CV_32FC3.
cv::UMat meanColourOf(const ColourMoments &moments)
{
    CV_Assert(moments.count > 0);
    const double n = static_cast<double>(moments.count);
    cv::Mat mean(1, 1, CV_32FC3);
    for (int c = 0; c < 3; ++c)
        mean.at<cv::Vec3f>(0, 0)[c] = static_cast<float>(static_cast<double>(moments.sums[c]) / (256.0 * n));
    cv::UMat result;
    mean.copyTo(result);
    return result;
}

// Sum of (x - mean)(x - mean)^T over the pixels, x on the 1/256 scale, for the
// given float mean (3 x 3 CV_32F).
cv::UMat centredGramOf(const ColourMoments &moments, const cv::UMat &mean)
{
    const double n = static_cast<double>(moments.count);
    const cv::Vec3f m = mean.getMat(cv::ACCESS_READ).at<cv::Vec3f>(0, 0);
    double offset[3];
    for (int c = 0; c < 3; ++c)
        offset[c] = static_cast<double>(moments.sums[c]) / (256.0 * n) - static_cast<double>(m[c]);
    cv::Mat gram(3, 3, CV_32F);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // About the exact mean from the integer sums, then moved to the
            // float mean that the mapping subtracts.
            const double aboutMean = (static_cast<double>(moments.products[i][j])
                                      - static_cast<double>(moments.sums[i]) * static_cast<double>(moments.sums[j]) / n)
                / 65536.0;
            gram.at<float>(i, j) = static_cast<float>(aboutMean + n * offset[i] * offset[j]);
        }
    cv::UMat result;
    gram.copyTo(result);
    return result;
}

} // namespace

cv::UMat hostDivide(const cv::UMat &a, double s)
{
    // Element-wise on the host, also with OpenCL on; the result UMat keeps the
    // new host matrix alive through its reference count.
    const cv::Mat quotient = a.getMat(cv::ACCESS_READ) / s;
    return quotient.getUMat(cv::ACCESS_WRITE, cv::USAGE_DEFAULT);
}

cv::UMat symmetricSqrt(const cv::UMat &s)
{
    cv::Mat values;
    cv::Mat vectors;
    symmetricEigen(s.getMat(cv::ACCESS_READ), values, vectors);
    cv::UMat eigenvalues;
    cv::UMat columns;
    values.copyTo(eigenvalues);
    cv::Mat(vectors.t()).copyTo(columns);
    // A covariance has no negative eigenvalues; those that rounding makes
    // slightly negative count as zero instead of turning the root into NaN.
    cv::UMat clamped;
    cv::max(eigenvalues, 0.0, clamped);
    const cv::UMat diagonal = cv::UMat::diag(clamped);
    cv::UMat root;
    cv::sqrt(diagonal, root);
    const cv::UMat product = matMul(columns, root);
    return matMul(product, columns.t());
}

TransferInputs momentsForTransfer(const cv::Mat &target8, const cv::Mat &reference8, const VisiblePixels &targetVisible,
                                  const VisiblePixels &referenceVisible)
{
    TransferInputs inputs;
    reportProgress("060");

    const ColourMoments target = visibleColourMoments(target8, targetVisible);
    reportProgress("061");
    inputs.targetMean = meanColourOf(target);
    reportProgress("062");
    inputs.targetGram = centredGramOf(target, inputs.targetMean);
    inputs.targetCount = static_cast<double>(target.count);
    reportProgress("064");

    const ColourMoments reference = visibleColourMoments(reference8, referenceVisible);
    inputs.referenceMean = meanColourOf(reference);
    reportProgress("066");
    inputs.referenceGram = centredGramOf(reference, inputs.referenceMean);
    inputs.referenceCount = static_cast<double>(reference.count);
    reportProgress("067");
    return inputs;
}

// The transfer with no colour direction stretched by more than `limit`: each
// singular value s of T above the limit scaled down to it, T' = T V F V^T with
// V the right singular vectors (the eigenvectors of T^T T, from the solver
// above, so that every platform gets the same bits) and F = min(1, limit / s).
// A near-uniform target's spread is mostly noise, which the full transfer
// would stretch to the reference's spread.
cv::UMat withGainLimit(const cv::UMat &transfer, double limit)
{
    cv::Mat_<double> t;
    transfer.getMat(cv::ACCESS_READ).convertTo(t, CV_64F);
    const cv::Mat_<double> gram = t.t() * t;
    cv::Mat values, vectors;
    symmetricEigen(gram, values, vectors);
    cv::Mat_<double> scaling = cv::Mat_<double>::zeros(3, 3);
    for (int i = 0; i < 3; ++i) {
        const double singular = std::sqrt(std::max(values.at<double>(i), 0.0));
        const double factor = singular > limit ? limit / singular : 1.0;
        const cv::Mat_<double> v = vectors.row(i).t();
        scaling += factor * v * v.t();
    }
    cv::Mat limited;
    cv::Mat(t * scaling).convertTo(limited, CV_32F);
    return limited.getUMat(cv::ACCESS_READ, cv::USAGE_DEFAULT).clone();
}

ColourTransfer colourTransferOf(TransferInputs &inputs)
{
    const cv::UMat targetCovariance = hostDivide(inputs.targetGram, inputs.targetCount);
    reportProgress("068");

    const MappingTaskResults roots = runMappingTasks(targetCovariance, inputs);
    reportProgress("070");
    reportProgress("072");

    cv::UMat transfer = matMul(roots.referenceRoot, invertTargetRoot(targetCovariance, roots.targetRoot));
    if (engineSettings().gainLimit > 0.0)
        transfer = withGainLimit(transfer, engineSettings().gainLimit);
    reportProgress("074");

    const cv::UMat shift = matMul(transfer, inputs.targetMean);
    const cv::Mat t = transfer.getMat(cv::ACCESS_READ);
    CV_Assert(t.type() == CV_32FC1 && t.rows == 3 && t.cols == 3);
    ColourTransfer result;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            result.transfer(i, k) = t.at<float>(i, k);
    result.referenceMean = columnVector(inputs.referenceMean);
    result.shift = columnVector(shift);
    return result;
}

cv::Mat mapColours(const cv::Mat &colours8, const ColourTransfer &transfer)
{
    CV_Assert(colours8.depth() == CV_8U && (colours8.channels() == 3 || colours8.channels() == 4));
    // Every product T_ik * x_k in single precision; x = v / 256 is exact.
    std::vector<float> products(3 * 3 * 256);
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            for (int v = 0; v < 256; ++v)
                products[static_cast<size_t>((i * 3 + k) * 256 + v)] = transfer.transfer(i, k) * (v / 256.0f);
    const int channels = colours8.channels();
    cv::Mat mapped(colours8.size(), CV_32FC3);
    const int bands = bandCount(colours8.rows);
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
        const float *t = products.data();
        for (int y = bandStart(colours8.rows, bands, range.start); y < bandStart(colours8.rows, bands, range.end);
             ++y) {
            const uchar *p = colours8.ptr<uchar>(y);
            float *q = mapped.ptr<float>(y);
            for (int x = 0; x < colours8.cols; ++x, p += channels, q += 3) {
                for (int i = 0; i < 3; ++i) {
                    // ((T x + mu_r) - T mu_t), summed in this order.
                    float a = t[(i * 3 + 0) * 256 + p[0]];
                    a += t[(i * 3 + 1) * 256 + p[1]];
                    a += t[(i * 3 + 2) * 256 + p[2]];
                    q[i] = (a + transfer.referenceMean[i]) - transfer.shift[i];
                }
            }
        }
    }, bands);
    return mapped;
}
