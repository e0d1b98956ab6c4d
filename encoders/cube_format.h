// SPDX-License-Identifier: GPL-3.0-or-later
// The .cube 3D LUT format, shared by the engine (which writes looks) and
// colormatch (which reads and applies them): the header lines, a strict
// reader, and the tetrahedral interpolation both use between lattice points.
// Qt-free, like the rest of this library.
//
// The file: optional comment lines (#) and blank lines anywhere, a header of
// keyword lines (TITLE "...", LUT_3D_SIZE N, DOMAIN_MIN r g b, DOMAIN_MAX r g
// b), then N^3 data lines "R G B" with red changing fastest and blue slowest.
// Line ends are LF or CR LF.
#pragma once

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

// The sizes (points per axis) colormatch reads; every size the engine writes.
constexpr int cubeSizeMin = 2;
constexpr int cubeSizeMax = 256;

// The header's keyword lines, without line end.
std::string cubeTitleLine(const std::string &title);
std::string cubeSizeLine(int size);
// The keyword of the size line, which starts the part of a cube that
// describes the transform itself.
extern const char *const cubeSizeKeyword;

// A 3D LUT as read: `table` holds size^3 R, G, B entries, red fastest.
struct CubeLut {
    std::string title;
    int size = 0;
    cv::Vec3d domainMin{0, 0, 0}; // R, G, B
    cv::Vec3d domainMax{1, 1, 1};
    std::vector<cv::Vec3f> table;
};

// What is wrong with a cube: the line it was found on (1 for the first) and
// what was expected there.
struct CubeFormatError : std::runtime_error {
    CubeFormatError(int lineNumber, const std::string &message)
        : std::runtime_error(message)
        , line(lineNumber)
    {
    }
    int line;
};

// Reads a whole cube file. Throws CubeFormatError for anything but a 3D cube
// of size cubeSizeMin to cubeSizeMax whose entries are all there, finite, and
// whose domain has min < max on every channel.
CubeLut parseCube(const std::string &text);

// Tetrahedral interpolation in a table of levels^3 R, G, B entries (red
// fastest) at lattice coordinates x (red), y (green), z (blue), each clamped
// to 0 .. levels - 1. Returns R, G, B. Inline: it runs once per pixel.
inline cv::Vec3d tetrahedral(const cv::Vec3f *table, int levels, double x, double y, double z)
{
    const double top = levels - 1;
    x = std::max(0.0, std::min(x, top));
    y = std::max(0.0, std::min(y, top));
    z = std::max(0.0, std::min(z, top));
    // Truncation is the floor of these non-negative coordinates (and needs no
    // library call); the ceiling, not floor + 1: a coordinate on a lattice
    // level needs no neighbour.
    const int x0 = static_cast<int>(x), x1 = x0 + (x > x0);
    const int y0 = static_cast<int>(y), y1 = y0 + (y > y0);
    const int z0 = static_cast<int>(z), z1 = z0 + (z > z0);
    const double dx = x - x0, dy = y - y0, dz = z - z0;
    auto at = [&](int i, int j, int l) { return cv::Vec3d(table[i + levels * (j + levels * l)]); };
    // The four corners' weights in the order the sums are taken, so that every
    // caller gets the same bits.
    auto blend = [](double w0, const cv::Vec3d &c0, double w1, const cv::Vec3d &c1, double w2, const cv::Vec3d &c2,
                    double w3, const cv::Vec3d &c3) {
        return cv::Vec3d(w0 * c0[0] + w1 * c1[0] + w2 * c2[0] + w3 * c3[0],
                         w0 * c0[1] + w1 * c1[1] + w2 * c2[1] + w3 * c3[1],
                         w0 * c0[2] + w1 * c1[2] + w2 * c2[2] + w3 * c3[2]);
    };
    const cv::Vec3d c000 = at(x0, y0, z0);
    const cv::Vec3d c111 = at(x1, y1, z1);
    if (dx <= dy) {
        if (dy < dz)
            return blend(1 - dz, c000, dz - dy, at(x0, y0, z1), dy - dx, at(x0, y1, z1), dx, c111);
        if (dz <= dx)
            return blend(1 - dy, c000, dy - dx, at(x0, y1, z0), dx - dz, at(x1, y1, z0), dz, c111);
        return blend(1 - dy, c000, dy - dz, at(x0, y1, z0), dz - dx, at(x0, y1, z1), dx, c111);
    }
    if (dy <= dz) {
        if (dx <= dz)
            return blend(1 - dz, c000, dz - dx, at(x0, y0, z1), dx - dy, at(x1, y0, z1), dy, c111);
        return blend(1 - dx, c000, dx - dz, at(x1, y0, z0), dz - dy, at(x1, y0, z1), dy, c111);
    }
    return blend(1 - dx, c000, dx - dy, at(x1, y0, z0), dy - dz, at(x1, y1, z0), dz, c111);
}

// Applies the cube in place to an 8- or 16-bit B, G, R or B, G, R, A image
// (alpha unchanged), on all cores: each colour taken on the 0 .. 1 scale,
// placed in the cube's domain, interpolated and rounded back to the image's
// depth. Throws cv::Exception for any other image.
void applyCube(const CubeLut &cube, cv::Mat &image);
