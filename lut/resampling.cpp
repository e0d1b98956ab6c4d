// SPDX-License-Identifier: GPL-3.0-or-later
// Resampling of the 16-level transformed lattice to the requested LUT size by
// tetrahedral interpolation.
#include "lut/lut.h"

#include "base/base.h"
#include "encoders/cube_format.h"

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
    for (int k = 0; k < entries; ++k) {
        const cv::Vec3f bgr = out[k];
        // The lattice colours are never negative; the kernel clamps at the top.
        const cv::Vec3d c = tetrahedral(t, a, static_cast<double>(bgr[2]) / 255.0 * top,
                                        static_cast<double>(bgr[1]) / 255.0 * top,
                                        static_cast<double>(bgr[0]) / 255.0 * top);
        out[k] = cv::Vec3f(static_cast<float>(255 * c[2]), static_cast<float>(255 * c[1]),
                           static_cast<float>(255 * c[0]));
    }
}
