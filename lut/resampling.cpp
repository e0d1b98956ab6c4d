// SPDX-License-Identifier: GPL-3.0-or-later
// Resampling of the 16-level transformed lattice to the requested LUT size by
// tetrahedral interpolation.
#include "lut/lut.h"

#include "base/base.h"

#include <algorithm>
#include <cmath>

namespace {

// The largest size whose cube still fits a 32-bit entry count.
constexpr int largestLevels = 1290;

void requireLevels(int levels, const char *what)
{
    if (levels < 2 || levels > largestLevels)
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot use %1 levels per channel for the %2: 2 to %3 levels are expected")
                              .arg(levels)
                              .arg(QLatin1String(what))
                              .arg(largestLevels));
}

void requireEntries(const cv::Mat &matrix, int type, int entries, const char *what)
{
    if (matrix.type() != type || matrix.total() < static_cast<size_t>(entries))
        throw EngineError(exitStatus::software,
                          QStringLiteral("the %1 is a %2 matrix of %3 entries: at least %4 %5 entries are expected")
                              .arg(QLatin1String(what))
                              .arg(QString::fromStdString(cv::typeToString(matrix.type())))
                              .arg(matrix.total())
                              .arg(entries)
                              .arg(QString::fromStdString(cv::typeToString(type))));
}

struct Colour {
    double r, g, b;
};

Colour colourOf(const cv::Vec3f &entry)
{
    return {entry[0], entry[1], entry[2]};
}

Colour blend(double w0, const Colour &c0, double w1, const Colour &c1, double w2, const Colour &c2, double w3,
             const Colour &c3)
{
    return {w0 * c0.r + w1 * c1.r + w2 * c2.r + w3 * c3.r, w0 * c0.g + w1 * c1.g + w2 * c2.g + w3 * c3.g,
            w0 * c0.b + w1 * c1.b + w2 * c2.b + w3 * c3.b};
}

} // namespace

cv::Mat makeLutTable(const cv::UMat &transformedLattice, int levels)
{
    requireLevels(levels, "LUT table");
    const int entries = levels * levels * levels;
    cv::Mat lattice = transformedLattice.getMat(cv::ACCESS_READ);
    requireEntries(lattice, CV_8UC3, entries, "transformed lattice");
    if (!lattice.isContinuous())
        lattice = lattice.clone();

    // Entries turn from B, G, R bytes into R, G, B on the 0 .. 1 scale.
    cv::Mat table = cv::Mat::zeros(1, entries, CV_32FC3);
    const auto *source = lattice.ptr<cv::Vec3b>();
    auto *target = table.ptr<cv::Vec3f>();
    for (int k = 0; k < entries; ++k) {
        const cv::Vec3b &bgr = source[k];
        target[k] = cv::Vec3f(static_cast<float>(bgr[2] / 255.0), static_cast<float>(bgr[1] / 255.0),
                              static_cast<float>(bgr[0] / 255.0));
    }
    return table;
}

cv::UMat makeOutputLattice(int n)
{
    requireLevels(n, "output LUT");
    const double step = 255.0 / (n - 1);
    cv::Mat lattice(1, n * n * n, CV_32FC3);
    auto *entry = lattice.ptr<cv::Vec3f>();
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r)
                *entry++ = cv::Vec3f(static_cast<float>(b * step), static_cast<float>(g * step),
                                     static_cast<float>(r * step));
    cv::UMat result;
    lattice.copyTo(result);
    return result;
}

void resampleTetrahedral(cv::UMat &outputLattice, const cv::Mat &lutTable, int tableLevels, int n)
{
    requireLevels(tableLevels, "LUT table");
    requireLevels(n, "output LUT");
    const int a = tableLevels;
    const int entries = n * n * n;
    requireEntries(lutTable, CV_32FC3, a * a * a, "LUT table");
    const cv::Mat table = lutTable.isContinuous() ? lutTable : lutTable.clone();
    const auto *t = table.ptr<cv::Vec3f>();

    cv::Mat lattice = outputLattice.getMat(cv::ACCESS_RW);
    requireEntries(lattice, CV_32FC3, entries, "output lattice");
    if (!lattice.isContinuous())
        throw EngineError(exitStatus::software,
                          QStringLiteral("the output lattice must be one continuous run of entries"));
    auto *out = lattice.ptr<cv::Vec3f>();

    const double top = a - 1;
    auto at = [&](int i, int j, int l) { return colourOf(t[i + a * (j + a * l)]); };
    for (int k = 0; k < entries; ++k) {
        const cv::Vec3f bgr = out[k];
        // Only the upper bound is needed: the lattice colours are never negative.
        const double x = std::min(static_cast<double>(bgr[2]) / 255.0 * top, top);
        const double y = std::min(static_cast<double>(bgr[1]) / 255.0 * top, top);
        const double z = std::min(static_cast<double>(bgr[0]) / 255.0 * top, top);
        // The ceiling, not floor + 1: a coordinate on a table level needs no neighbour.
        const int x0 = static_cast<int>(std::floor(x)), x1 = static_cast<int>(std::ceil(x));
        const int y0 = static_cast<int>(std::floor(y)), y1 = static_cast<int>(std::ceil(y));
        const int z0 = static_cast<int>(std::floor(z)), z1 = static_cast<int>(std::ceil(z));
        const double dx = x - x0, dy = y - y0, dz = z - z0;

        const Colour c000 = at(x0, y0, z0);
        const Colour c111 = at(x1, y1, z1);
        Colour c;
        if (dx <= dy) {
            if (dy < dz)
                c = blend(1 - dz, c000, dz - dy, at(x0, y0, z1), dy - dx, at(x0, y1, z1), dx, c111);
            else if (dz <= dx)
                c = blend(1 - dy, c000, dy - dx, at(x0, y1, z0), dx - dz, at(x1, y1, z0), dz, c111);
            else
                c = blend(1 - dy, c000, dy - dz, at(x0, y1, z0), dz - dx, at(x0, y1, z1), dx, c111);
        } else if (dy <= dz) {
            if (dx <= dz)
                c = blend(1 - dz, c000, dz - dx, at(x0, y0, z1), dx - dy, at(x1, y0, z1), dy, c111);
            else
                c = blend(1 - dx, c000, dx - dz, at(x1, y0, z0), dz - dy, at(x1, y0, z1), dy, c111);
        } else {
            c = blend(1 - dx, c000, dx - dy, at(x1, y0, z0), dy - dz, at(x1, y1, z0), dz, c111);
        }
        out[k] = cv::Vec3f(static_cast<float>(255 * c.b), static_cast<float>(255 * c.g),
                           static_cast<float>(255 * c.r));
    }
}
