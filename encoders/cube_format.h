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
// to 0 .. levels - 1. Returns R, G, B.
cv::Vec3d tetrahedral(const cv::Vec3f *table, int levels, double x, double y, double z);

// Applies the cube in place to an 8- or 16-bit B, G, R or B, G, R, A image
// (alpha unchanged), on all cores: each colour taken on the 0 .. 1 scale,
// placed in the cube's domain, interpolated and rounded back to the image's
// depth. Throws cv::Exception for any other image.
void applyCube(const CubeLut &cube, cv::Mat &image);
