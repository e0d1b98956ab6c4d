// SPDX-License-Identifier: GPL-3.0-or-later
// 8-bit sRGB <-> CIE L*a*b*, the integer arithmetic of OpenCV's bit-exact
// 8-bit conversions (cv::cvtColor with COLOR_BGR2Lab and COLOR_Lab2BGR),
// computed here so that the engine needs only their small tables. OpenCV
// builds every Lab table it has on first use, the large interpolation tables
// of its floating-point path too, in soft float: that took longer than the
// whole colour work of a small request. The tables below are built in the
// same soft float (OpenCV's own cv::softfloat, so every platform gets the same
// bits) from the same constants.
//
//   to Lab:   gamma table (x8) -> XYZ / white (Q12) -> cube-root table (Q15)
//             -> L = 116 f(Y) - 16, a = 500 (f(X) - f(Y)), b = 200 (f(Y) - f(Z)),
//             scaled to 0..255 with a and b offset by 128
//   from Lab: L -> Y and f(Y) (Q14) -> f(X), f(Z) -> X, Z (Q14)
//             -> linear R, G, B (Q12) -> inverse gamma table
#include "matching/matching.h"

#include <opencv2/core/softfloat.hpp>

#include <algorithm>

namespace {

using cv::softdouble;
using cv::softfloat;

constexpr int xyzShift = 12;
constexpr int gammaShift = 3;
constexpr int labShift2 = xyzShift + gammaShift;
constexpr int cubeRootTableSize = 256 * 3 / 2 * (1 << gammaShift);
constexpr int inverseGammaShift = 12;
constexpr int inverseGammaTableSize = 1 << inverseGammaShift;
constexpr int labBase = 1 << 14;
constexpr int smallestFxz = -8145; // the smallest f(X) or f(Z) an 8-bit a* or b* gives
constexpr int fxzTableSize = labBase * 9 / 4;

int descale(int x, int n)
{
    return (x + (1 << (n - 1))) >> n;
}

// The D65 white point and the sRGB <-> XYZ matrices, as the exact doubles
// OpenCV rounds its integer coefficients from.
const softdouble d65[] = {softdouble::fromRaw(0x3fee6a22b3892ee8), softdouble::one(),
                          softdouble::fromRaw(0x3ff16b8950763a19)};
const softdouble srgbToXyz[] = {
    softdouble::fromRaw(0x3fda65a14488c60d), softdouble::fromRaw(0x3fd6e297396d0918),
    softdouble::fromRaw(0x3fc71819d2391d58), softdouble::fromRaw(0x3fcb38cda6e75ff6),
    softdouble::fromRaw(0x3fe6e297396d0918), softdouble::fromRaw(0x3fb279aae6c8f755),
    softdouble::fromRaw(0x3f93cc4ac6cdaf4b), softdouble::fromRaw(0x3fbe836eb4e98138),
    softdouble::fromRaw(0x3fee68427418d691)};
const softdouble xyzToSrgb[] = {
    softdouble::fromRaw(0x4009ec804102ff8f), softdouble::fromRaw(0xbff8982a9930be0e),
    softdouble::fromRaw(0xbfdfe7ff583a53b9), softdouble::fromRaw(0xbfef042528ae74f3),
    softdouble::fromRaw(0x3ffe040f23897204), softdouble::fromRaw(0x3fa546d3f9e7b80b),
    softdouble::fromRaw(0x3fac7de5082cf52c), softdouble::fromRaw(0xbfca1e14bdfd2631),
    softdouble::fromRaw(0x3ff0eabef06b3786)};

// sRGB's transfer curve and its inverse, with the constants as exact ratios.
softfloat linearised(softfloat x)
{
    const softdouble xd = x;
    if (xd <= softdouble(809) / softdouble(20000))
        return xd / (softdouble(323) / softdouble(25));
    const softdouble shift = softdouble(11) / softdouble(200);
    return cv::pow((xd + shift) / (softdouble::one() + shift), softdouble(12) / softdouble(5));
}

softfloat gammaEncoded(softfloat x)
{
    const softdouble xd = x;
    if (xd <= softdouble(7827) / softdouble(2500000))
        return xd * (softdouble(323) / softdouble(25));
    const softdouble shift = softdouble(11) / softdouble(200);
    return cv::pow(xd, softdouble::one() / (softdouble(12) / softdouble(5))) * (softdouble::one() + shift) - shift;
}

struct ToLabTables {
    int coefficients[9]; // B, G, R (gamma table units) to X/Xn, Y, Z/Zn, Q12
    unsigned short gamma[256];
    unsigned short cubeRoot[cubeRootTableSize];
};

struct FromLabTables {
    int coefficients[9]; // X, Y, Z (Q14) to R, G, B rows, so that the result lands in inverse gamma table units
    unsigned short lightness[256 * 2]; // per L code: Y, then f(Y), Q14
    int fxzToXz[fxzTableSize];
    unsigned short inverseGamma[inverseGammaTableSize];
};

ToLabTables buildToLabTables()
{
    ToLabTables t{};
    const softdouble scale(1 << xyzShift);
    for (int i = 0; i < 3; ++i) {
        // B, G, R order: the columns for blue and red swap places.
        t.coefficients[i * 3 + 2] = cvRound(scale * srgbToXyz[i * 3] / d65[i]);
        t.coefficients[i * 3 + 1] = cvRound(scale * srgbToXyz[i * 3 + 1] / d65[i]);
        t.coefficients[i * 3] = cvRound(scale * srgbToXyz[i * 3 + 2] / d65[i]);
    }
    const softfloat f255(255);
    const softfloat gammaScale(255 * (1 << gammaShift));
    for (int i = 0; i < 256; ++i)
        t.gamma[i] = static_cast<unsigned short>(cvRound(gammaScale * linearised(softfloat(i) / f255)));
    const softfloat threshold = softfloat(216) / softfloat(24389); // (6/29)^3
    const softfloat slope = softfloat(841) / softfloat(108);       // (29/3)^3 / (29 * 4)
    const softfloat bias = softfloat(16) / softfloat(116);
    const softfloat step(softfloat::one() / (f255 * softfloat(1 << gammaShift)));
    const softfloat resultScale(1 << labShift2);
    for (int i = 0; i < cubeRootTableSize; ++i) {
        const softfloat x = step * softfloat(i);
        t.cubeRoot[i] = static_cast<unsigned short>(
            cvRound(resultScale * (x < threshold ? cv::mulAdd(x, slope, bias) : cv::cbrt(x))));
    }
    return t;
}

FromLabTables buildFromLabTables()
{
    FromLabTables t{};
    const softdouble scale(1 << xyzShift);
    for (int i = 0; i < 3; ++i) {
        // Rows R (0), G (1), B (2); column i scaled by the white point's component.
        t.coefficients[i] = cvRound(scale * xyzToSrgb[i] * d65[i]);
        t.coefficients[i + 3] = cvRound(scale * xyzToSrgb[i + 3] * d65[i]);
        t.coefficients[i + 6] = cvRound(scale * xyzToSrgb[i + 6] * d65[i]);
    }
    for (int i = 0; i < 256; ++i) {
        int y;
        int fy;
        if (i <= 20) {
            // The linear part below (6/29)^3: Y = L / (29/3)^3, f(Y) = 7.787 Y + 16/116.
            y = cvRound(softfloat(i * labBase * 20 * 9) / softfloat(17 * 29 * 29 * 29));
            fy = cvRound(softfloat(labBase) * (softfloat(16) / softfloat(116) + softfloat(i * 5) / softfloat(3 * 17 * 29)));
        } else {
            const softfloat f =
                softfloat(i * 100 * labBase) / softfloat(255 * 116) + softfloat(16 * labBase) / softfloat(116);
            fy = cvRound(f);
            y = cvRound(f * f * f / softfloat(labBase * labBase));
        }
        t.lightness[i * 2] = static_cast<unsigned short>(y);
        t.lightness[i * 2 + 1] = static_cast<unsigned short>(fy);
    }
    for (int i = smallestFxz; i < fxzTableSize + smallestFxz; ++i)
        t.fxzToXz[i - smallestFxz] =
            i <= 3390 ? i * 108 / 841 - labBase * 16 / 116 * 108 / 841 : i * i / labBase * i / labBase;
    const softfloat f255(255);
    const softfloat step = softfloat::one() / softfloat(inverseGammaTableSize);
    for (int i = 0; i < inverseGammaTableSize; ++i)
        t.inverseGamma[i] = static_cast<unsigned short>(cvRound(f255 * gammaEncoded(step * softfloat(i))));
    return t;
}

const ToLabTables &toLabTables()
{
    static const ToLabTables tables = buildToLabTables();
    return tables;
}

const FromLabTables &fromLabTables()
{
    static const FromLabTables tables = buildFromLabTables();
    return tables;
}

} // namespace

cv::Mat bgrToLab(const cv::Mat &bgr)
{
    CV_Assert(bgr.type() == CV_8UC3);
    const ToLabTables &t = toLabTables();
    const int *c = t.coefficients;
    constexpr int lScale = (116 * 255 + 50) / 100;
    constexpr int lShift = -((16 * 255 * (1 << labShift2) + 50) / 100);
    cv::Mat lab(bgr.size(), CV_8UC3);
    for (int row = 0; row < bgr.rows; ++row) {
        const uchar *in = bgr.ptr<uchar>(row);
        uchar *out = lab.ptr<uchar>(row);
        for (int x = 0; x < bgr.cols; ++x, in += 3, out += 3) {
            const int b = t.gamma[in[0]], g = t.gamma[in[1]], r = t.gamma[in[2]];
            const int fX = t.cubeRoot[descale(b * c[0] + g * c[1] + r * c[2], xyzShift)];
            const int fY = t.cubeRoot[descale(b * c[3] + g * c[4] + r * c[5], xyzShift)];
            const int fZ = t.cubeRoot[descale(b * c[6] + g * c[7] + r * c[8], xyzShift)];
            out[0] = cv::saturate_cast<uchar>(descale(lScale * fY + lShift, labShift2));
            out[1] = cv::saturate_cast<uchar>(descale(500 * (fX - fY) + 128 * (1 << labShift2), labShift2));
            out[2] = cv::saturate_cast<uchar>(descale(200 * (fY - fZ) + 128 * (1 << labShift2), labShift2));
        }
    }
    return lab;
}

cv::Mat labToBgr(const cv::Mat &lab)
{
    CV_Assert(lab.type() == CV_8UC3);
    const FromLabTables &t = fromLabTables();
    const int *c = t.coefficients;
    constexpr int shift = xyzShift + (14 - inverseGammaShift);
    cv::Mat bgr(lab.size(), CV_8UC3);
    auto encoded = [&t](int linear) {
        return t.inverseGamma[std::max(0, std::min(inverseGammaTableSize - 1, linear))];
    };
    for (int row = 0; row < lab.rows; ++row) {
        const uchar *in = lab.ptr<uchar>(row);
        uchar *out = bgr.ptr<uchar>(row);
        for (int x = 0; x < lab.cols; ++x, in += 3, out += 3) {
            const int y = t.lightness[in[0] * 2];
            const int fy = t.lightness[in[0] * 2 + 1];
            // a / 500 and b / 200 in Q14, by multiply and shift.
            const int aPart = ((5 * in[1] * 53687 + (1 << 7)) >> 13) - 128 * labBase / 500;
            const int bPart = ((in[2] * 41943 + (1 << 4)) >> 9) - 128 * labBase / 200 + 1;
            const int xx = t.fxzToXz[fy + aPart - smallestFxz];
            const int zz = t.fxzToXz[fy - bPart - smallestFxz];
            out[2] = cv::saturate_cast<uchar>(encoded(descale(c[0] * xx + c[1] * y + c[2] * zz, shift)));
            out[1] = cv::saturate_cast<uchar>(encoded(descale(c[3] * xx + c[4] * y + c[5] * zz, shift)));
            out[0] = cv::saturate_cast<uchar>(encoded(descale(c[6] * xx + c[7] * y + c[8] * zz, shift)));
        }
    }
    return bgr;
}
