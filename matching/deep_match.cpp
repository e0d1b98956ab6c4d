// SPDX-License-Identifier: GPL-3.0-or-later
// The deep computation (request option depth=16): statistics, mapping and
// finishing in floating point from the decoded samples, with no 8-bit step
// anywhere, a band of rows at a time so that no whole float copy of the image
// exists. Colours are B, G, R from 0 to 1; the statistics use the 8-bit path's
// 1/256 working scale (a level over 256), so that the transfer, its
// eigenvalue floors and the gain limit see the numbers they always saw.
#include "matching/matching.h"

#include "lut/lut.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// A working sample is an 8-bit level over 256; a colour from 0 to 1 is 255 levels.
constexpr double workingPerUnit = 255.0 / 256.0;
// Rows per piece of work: a few hundred kilobytes of float samples on a wide photograph.
constexpr int bandRows = 16;

int bandCount(int rows)
{
    return (rows + bandRows - 1) / bandRows;
}

cv::Range bandRange(int rows, int band)
{
    return cv::Range(band * bandRows, std::min(rows, (band + 1) * bandRows));
}

double unitScale(int depth)
{
    switch (depth) {
    case CV_8U: return 1.0 / 255.0;
    case CV_16U: return 1.0 / 65535.0;
    default: return 1.0; // float samples were clamped to 0..1 as they were decoded
    }
}

// Rows of a decoded image (any depth, 1 to 4 channels) as B, G, R from 0 to 1.
void unitColours(const cv::Mat &rows, cv::Mat &colours)
{
    cv::Mat samples;
    rows.convertTo(samples, CV_32F, unitScale(rows.depth()));
    switch (samples.channels()) {
    case 3: colours = samples; return;
    case 4: cv::cvtColor(samples, colours, cv::COLOR_BGRA2BGR); return;
    case 1: cv::cvtColor(samples, colours, cv::COLOR_GRAY2BGR); return;
    default: {
        cv::Mat grey;
        cv::extractChannel(samples, grey, 0);
        cv::cvtColor(grey, colours, cv::COLOR_GRAY2BGR);
    }
    }
}

void clampToUnit(cv::Mat &colours)
{
    cv::min(colours, 1.0, colours);
    cv::max(colours, 0.0, colours);
}

// sRGB's transfer curve and its inverse, tabulated on 0..1 finely enough that
// linear interpolation stays within 1e-7 of them. OpenCV's own floating-point
// sRGB-to-Lab conversion interpolates a coarse colour lattice, off by up to
// 1/200 of full scale; from linear light its Lab conversions are exact to
// about 1/4000, so the curve is applied here.
constexpr int curveSteps = 1 << 16;

struct TransferCurves {
    std::vector<float> toLinear;
    std::vector<float> toEncoded;
};

const TransferCurves &transferCurves()
{
    static const TransferCurves curves = [] {
        TransferCurves c;
        c.toLinear.resize(curveSteps + 2);
        c.toEncoded.resize(curveSteps + 2);
        for (int i = 0; i <= curveSteps + 1; ++i) {
            const double v = std::min(1.0, double(i) / curveSteps);
            c.toLinear[size_t(i)] = float(v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
            c.toEncoded[size_t(i)] = float(v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055);
        }
        return c;
    }();
    return curves;
}

// Every sample of `from` (0 to 1) through the curve into `to`.
void applyCurve(const cv::Mat &from, cv::Mat &to, const std::vector<float> &curve)
{
    CV_Assert(from.depth() == CV_32F && from.isContinuous());
    to.create(from.size(), from.type());
    const float *p = from.ptr<float>();
    float *q = to.ptr<float>();
    const float *table = curve.data();
    const size_t samples = from.total() * size_t(from.channels());
    size_t i = 0;
#if CV_SIMD128
    // Four samples at a time, the table read by gathering: a third of the
    // finishing's time went here one sample at a time.
    const cv::v_float32x4 zero = cv::v_setzero_f32(), one = cv::v_setall_f32(1.0f),
                          steps = cv::v_setall_f32(float(curveSteps));
    for (; i + 4 <= samples; i += 4) {
        const cv::v_float32x4 t = cv::v_min(cv::v_max(cv::v_load(p + i), zero), one) * steps;
        const cv::v_int32x4 k = cv::v_trunc(t);
        const cv::v_float32x4 below = cv::v_lut(table, k), above = cv::v_lut(table + 1, k);
        cv::v_store(q + i, below + (t - cv::v_cvt_f32(k)) * (above - below));
    }
#endif
    for (; i < samples; ++i) {
        const float t = std::min(std::max(p[i], 0.0f), 1.0f) * float(curveSteps);
        const int k = int(t);
        q[i] = table[k] + (t - float(k)) * (table[k + 1] - table[k]);
    }
}

// Sums of the counted colours and of their pairwise products, in double.
struct DeepMoments {
    double count = 0;
    cv::Vec3d sums;
    cv::Matx33d products;
};

DeepMoments momentsOfBand(const cv::Mat &rows, bool onlyVisible)
{
    cv::Mat colours, visible;
    unitColours(rows, colours);
    if (onlyVisible)
        cv::compare(rows.reshape(1, int(rows.total())).col(rows.channels() - 1), 0, visible, cv::CMP_GT);
    DeepMoments m;
    double s0 = 0, s1 = 0, s2 = 0, p00 = 0, p01 = 0, p02 = 0, p11 = 0, p12 = 0, p22 = 0;
    std::int64_t count = 0;
    const auto *c = colours.ptr<cv::Vec3f>();
    const size_t pixels = colours.total();
    CV_Assert(colours.isContinuous());
    for (size_t i = 0; i < pixels; ++i) {
        if (onlyVisible && visible.at<uchar>(int(i)) == 0)
            continue;
        const double b = c[i][0], g = c[i][1], r = c[i][2];
        ++count;
        s0 += b;
        s1 += g;
        s2 += r;
        p00 += b * b;
        p01 += b * g;
        p02 += b * r;
        p11 += g * g;
        p12 += g * r;
        p22 += r * r;
    }
    m.count = double(count);
    m.sums = cv::Vec3d(s0, s1, s2);
    m.products = cv::Matx33d(p00, p01, p02, p01, p11, p12, p02, p12, p22);
    return m;
}

DeepMoments momentsOf(const cv::Mat &image, bool onlyVisible)
{
    const int bands = bandCount(image.rows);
    std::vector<DeepMoments> partial(static_cast<size_t>(bands));
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
        for (int band = range.start; band < range.end; ++band)
            partial[size_t(band)] = momentsOfBand(image.rowRange(bandRange(image.rows, band)), onlyVisible);
    });
    DeepMoments total;
    for (const DeepMoments &band : partial) {
        total.count += band.count;
        total.sums += band.sums;
        total.products += band.products;
    }
    return total;
}

// The visible pixels' moments (alpha above 0); an image without alpha, or
// with no visible pixel, counts every pixel.
DeepMoments visibleMomentsOf(const cv::Mat &image)
{
    if (image.channels() == 2 || image.channels() == 4) {
        const DeepMoments visible = momentsOf(image, true);
        if (visible.count > 0)
            return visible;
    }
    return momentsOf(image, false);
}

// The mean (1 x 1 CV_32FC3) and the Gram matrix about it (3 x 3 CV_32F) on
// the working scale, as the transfer takes them.
void meanAndGram(const DeepMoments &m, cv::UMat &mean, cv::UMat &gram)
{
    const double n = m.count;
    const cv::Vec3d exactMean = m.sums * (workingPerUnit / n);
    const cv::Vec3f floatMean = exactMean;
    cv::Mat(1, 1, CV_32FC3, cv::Scalar(floatMean[0], floatMean[1], floatMean[2])).copyTo(mean);
    cv::Mat g(3, 3, CV_32F);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // About the exact mean, then moved to the float mean that the mapping subtracts.
            const double aboutMean =
                (m.products(i, j) - m.sums[i] * m.sums[j] / n) * workingPerUnit * workingPerUnit;
            const double di = exactMean[i] - double(floatMean[i]), dj = exactMean[j] - double(floatMean[j]);
            g.at<float>(i, j) = float(aboutMean + n * di * dj);
        }
    g.copyTo(gram);
}

} // namespace

TransferInputs deepMomentsForTransfer(const cv::Mat &target, const cv::Mat &reference)
{
    TransferInputs inputs;
    reportProgress("060");
    const DeepMoments t = visibleMomentsOf(target);
    reportProgress("061");
    reportProgress("062");
    meanAndGram(t, inputs.targetMean, inputs.targetGram);
    inputs.targetCount = t.count;
    reportProgress("064");
    const DeepMoments r = visibleMomentsOf(reference);
    reportProgress("066");
    meanAndGram(r, inputs.referenceMean, inputs.referenceGram);
    inputs.referenceCount = r.count;
    reportProgress("067");
    return inputs;
}

cv::Matx34f deepMapping(const ColourTransfer &transfer)
{
    // y = T x + mu_r - T mu_t on the working scale is T u + (mu_r - T mu_t) / (255/256)
    // for colours u from 0 to 1.
    cv::Matx34f affine;
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 3; ++k)
            affine(i, k) = transfer.transfer(i, k);
        affine(i, 3) = float((double(transfer.referenceMean[i]) - double(transfer.shift[i])) / workingPerUnit);
    }
    return affine;
}

void finishDeepColours(const cv::Mat &colours, const cv::Matx34f &mapping, float strength, bool matchLightness,
                       cv::Mat &finished)
{
    CV_Assert(colours.type() == CV_32FC3);
    const TransferCurves &curves = transferCurves();
    cv::Mat mapped, linear, lab;
    cv::transform(colours, mapped, mapping);
    applyCurve(mapped, linear, curves.toLinear); // clamped to 0..1 on the way
    cv::cvtColor(linear, lab, cv::COLOR_LBGR2Lab);
    if (!matchLightness) {
        cv::Mat own;
        applyCurve(colours, linear, curves.toLinear);
        cv::cvtColor(linear, own, cv::COLOR_LBGR2Lab);
        const int lightnessPlane[] = {0, 0};
        cv::mixChannels(&own, 1, &lab, 1, lightnessPlane, 1);
    }
    cv::cvtColor(lab, linear, cv::COLOR_Lab2LBGR);
    applyCurve(linear, finished, curves.toEncoded);
    if (strength < 1.0f) {
        cv::addWeighted(finished, double(strength), colours, double(1.0f - strength), 0.0, finished);
        clampToUnit(finished);
    }
}

cv::Mat deepMatched(const cv::UMat &decodedTarget, const ColourTransfer &transfer, float strength, int resultBits)
{
    const cv::Mat target = decodedTarget.getMat(cv::ACCESS_RW);
    const int depth = resultBits == 16 ? CV_16U : CV_8U;
    const double fullScale = resultBits == 16 ? 65535.0 : 255.0;
    const bool alpha = target.channels() == 2 || target.channels() == 4;
    // A target of the result's own type is finished in place (a band is read
    // before it is written), its alpha already where it belongs.
    const bool inPlace = target.depth() == depth && (target.channels() == 3 || target.channels() == 4);
    cv::Mat result = inPlace ? target : cv::Mat(target.size(), CV_MAKETYPE(depth, alpha ? 4 : 3));
    const cv::Matx34f mapping = deepMapping(transfer);
    const bool matchLightness = engineSettings().matchLightness;
    const int bands = bandCount(target.rows);
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
        cv::Mat colours, finished, samples;
        for (int band = range.start; band < range.end; ++band) {
            const cv::Range rows = bandRange(target.rows, band);
            const cv::Mat source = target.rowRange(rows);
            cv::Mat destination = result.rowRange(rows);
            unitColours(source, colours);
            finishDeepColours(colours, mapping, strength, matchLightness, finished);
            if (alpha && !inPlace) {
                // An 8-bit alpha in a 16-bit result is scaled by 257, and so on.
                cv::Mat alphaPlane;
                cv::extractChannel(source, alphaPlane, source.channels() - 1);
                alphaPlane.convertTo(alphaPlane, depth, unitScale(source.depth()) * fullScale);
                cv::insertChannel(alphaPlane, destination, 3);
            }
            finished.convertTo(samples, depth, fullScale);
            if (destination.channels() == 3) {
                samples.copyTo(destination);
            } else {
                const int colourPlanes[] = {0, 0, 1, 1, 2, 2};
                cv::mixChannels(&samples, 1, &destination, 1, colourPlanes, 3);
            }
        }
    });
    return result;
}
