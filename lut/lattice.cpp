// SPDX-License-Identifier: GPL-3.0-or-later
// The identity lattice that rides through the matching pipeline as extra rows
// of the target, its extraction afterwards, and the unwrapped LUT picture.
#include "lut/lut.h"

#include "base/base.h"
#include "encoders/encoders.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace {

constexpr int latticeEntries = sampleLevels * sampleLevels * sampleLevels;

// The unwrapped picture shows the 16 blue levels as 16 x 16 tiles side by side.
constexpr int tileSize = sampleLevels;

// Copies that keep the lattice and its zero fill a small share of the target
// statistics: at least five times the block's rows, at least two copies of a
// small image.
constexpr int minimumCopyRowsPerBlockRow = 5;
constexpr int smallImageSide = 1000;

QString typeName(int type)
{
    return QString::fromStdString(cv::typeToString(type));
}

} // namespace

cv::UMat makeLatticeStrip(int levels)
{
    // 1290 is the largest level count whose cube still fits a 32-bit count.
    if (levels < 2 || levels > 1290)
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot build a colour lattice of %1 levels: 2 to 1290 levels are expected")
                              .arg(levels));
    const int entries = levels * levels * levels;
    const double step = 255.0 / (levels - 1);
    cv::Mat strip(1, entries, CV_8UC4);
    auto *pixel = strip.ptr<cv::Vec4b>();
    for (int b = 0; b < levels; ++b) {
        for (int g = 0; g < levels; ++g) {
            for (int r = 0; r < levels; ++r) {
                // std::lround rounds halves away from zero, as the levels require.
                *pixel++ = cv::Vec4b(static_cast<uchar>(std::lround(b * step)),
                                     static_cast<uchar>(std::lround(g * step)),
                                     static_cast<uchar>(std::lround(r * step)), 0);
            }
        }
    }
    cv::UMat result;
    strip.copyTo(result);
    return result;
}

cv::UMat stackLattice(const cv::UMat &target, LatticeGeometry &geometry)
{
    const int type = target.type();
    if (target.empty() || (type != CV_8UC3 && type != CV_8UC4))
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot stack the LUT lattice onto a %1 target of %2x%3 pixels: "
                                         "an 8-bit image with 3 or 4 channels is expected")
                              .arg(typeName(type))
                              .arg(target.cols)
                              .arg(target.rows));

    // The block is built with the target's channel count: a 3-channel target
    // gets the strip's B, G, R (what joining it as BGRA and converting back
    // would leave), so no 4-channel copy of the whole image is made.
    const int channels = target.channels();
    const cv::UMat fourChannelStrip = makeLatticeStrip(sampleLevels);
    cv::UMat strip = fourChannelStrip;
    if (channels == 3)
        cv::cvtColor(fourChannelStrip, strip, cv::COLOR_BGRA2BGR);
    const int width = target.cols;
    const int height = target.rows;
    const int blockRows = static_cast<int>(std::ceil(static_cast<double>(latticeEntries) / width));

    cv::UMat blockRow = cv::UMat::zeros(1, width * blockRows, strip.type());
    strip.copyTo(blockRow(cv::Rect(0, 0, latticeEntries, 1)));
    const cv::UMat block = blockRow.reshape(channels, blockRows);

    std::vector<cv::UMat> parts{block, target};
    int targetRows = height;
    if (height < smallImageSide && width < smallImageSide) {
        parts.push_back(target);
        targetRows += height;
    }
    while (targetRows < minimumCopyRowsPerBlockRow * blockRows) {
        parts.push_back(target);
        targetRows += height;
    }

    cv::UMat stacked;
    cv::vconcat(parts, stacked);

    geometry.width = width;
    geometry.blockRows = blockRows;
    return stacked;
}

cv::UMat extractLattice(const cv::UMat &matched, const LatticeGeometry &geometry)
{
    if (matched.type() != CV_8UC3 || geometry.width <= 0 || geometry.blockRows <= 0
        || matched.cols != geometry.width || matched.rows < geometry.blockRows
        || static_cast<qint64>(geometry.width) * geometry.blockRows < latticeEntries)
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot cut the LUT lattice out of a %1 image of %2x%3 pixels: "
                                         "an 8-bit 3-channel image %4 pixels wide with at least %5 rows is expected")
                              .arg(typeName(matched.type()))
                              .arg(matched.cols)
                              .arg(matched.rows)
                              .arg(geometry.width)
                              .arg(geometry.blockRows));

    // Whole rows of a continuous image form a continuous region, so the block
    // reshapes to one row without copying.
    cv::UMat block = matched(cv::Rect(0, 0, geometry.width, geometry.blockRows));
    if (!block.isContinuous())
        block = block.clone();
    const cv::UMat row = block.reshape(0, 1);
    // A copy of its own, so that the lattice does not keep the matched image alive.
    return row(cv::Rect(0, 0, latticeEntries, 1)).clone();
}

cv::Mat makeUnwrappedImage(const cv::UMat &transformedLattice)
{
    const int type = transformedLattice.type();
    if ((type != CV_8UC3 && type != CV_16UC3) || transformedLattice.total() != static_cast<size_t>(latticeEntries))
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot unwrap a %1 lattice of %2 entries: %3 8- or 16-bit 3-channel "
                                         "entries are expected")
                              .arg(typeName(transformedLattice.type()))
                              .arg(transformedLattice.total())
                              .arg(latticeEntries));

    std::vector<cv::Mat> planes;
    cv::split(transformedLattice.getMat(cv::ACCESS_READ), planes);
    for (cv::Mat &plane : planes) {
        // 256 rows (g + 16 * b) of 16 columns (r); each 16-row band is one blue level.
        const cv::Mat square = plane.reshape(1, latticeEntries / tileSize);
        std::vector<cv::Mat> tiles;
        for (int tile = 0; tile < sampleLevels; ++tile)
            tiles.push_back(square(cv::Rect(0, tile * tileSize, tileSize, tileSize)));
        cv::hconcat(tiles, plane);
    }
    cv::Mat image;
    cv::merge(planes, image);
    return image;
}

QString writeUnwrappedLut(const cv::UMat &transformedLattice, const QString &lutBasePath)
{
    const QString path = lutBasePath + QStringLiteral("_unwrapped.png");
    const cv::Mat image = makeUnwrappedImage(transformedLattice);
    std::vector<uchar> encoded;
    try {
        encoded = encodePng(image);
    } catch (const cv::Exception &e) {
        return path + QStringLiteral(": the PNG encoder refused the image (%1)").arg(QString::fromStdString(e.err));
    }
    const QByteArray bytes(reinterpret_cast<const char *>(encoded.data()), static_cast<int>(encoded.size()));
    QString reason;
    if (!saveFileAtomically(path, bytes, false, &reason))
        return path + QStringLiteral(": ") + reason;
    return QString();
}
