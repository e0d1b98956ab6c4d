// SPDX-License-Identifier: GPL-3.0-or-later
// The .cube reader against malformed and third-party cubes, and the
// tetrahedral kernel against exact expectations (ColormatchLooks applies it).
#include "encoders/cube_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The 8 entries of a size-2 cube, red fastest: the identity.
const std::string identityEntries = "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n";

struct MalformedCube {
    const char *what;
    std::string text;
    int line;
    const char *message;
};

} // namespace

TEST(CubeReader, RefusesMalformedCubesNamingTheLineAndWhatWasExpected)
{
    const std::string size2 = "LUT_3D_SIZE 2\n";
    const MalformedCube rows[] = {
        {"a word for the size", "# a look\nLUT_3D_SIZE two\n" + identityEntries, 2,
         "expected LUT_3D_SIZE and one whole number, the points per axis (2 to 256), not \"two\""},
        {"two sizes on the line", "LUT_3D_SIZE 2 2\n" + identityEntries, 1,
         "expected LUT_3D_SIZE and one whole number"},
        {"a size of 1", "LUT_3D_SIZE 1\n0 0 0\n", 1, "LUT_3D_SIZE 1 is out of range: 2 to 256 points per axis"},
        {"a size of 257", "\n\nLUT_3D_SIZE 257\n", 3, "LUT_3D_SIZE 257 is out of range"},
        {"a huge size", "LUT_3D_SIZE 99999999999999999999\n", 1, "is out of range"},
        {"a 1D LUT", "TITLE \"curve\"\nLUT_1D_SIZE 2\n0 0 0\n1 1 1\n", 2,
         "a 1D LUT (LUT_1D_SIZE): only 3D cubes (LUT_3D_SIZE) can be applied"},
        {"too few entries", size2 + identityEntries.substr(0, identityEntries.size() - 6), 8,
         "the file ends after 7 of the 8 entries of a cube of size 2"},
        {"too many entries", size2 + identityEntries + "\n# more\n0.5 0.5 0.5\n", 12,
         "more entries than the 8 of a cube of size 2"},
        {"a word among the numbers", size2 + "0 0 0\n1 0 x\n", 3, "\"x\" is not a number"},
        {"a number with a tail", size2 + "0 0 0.5f\n", 2, "\"0.5f\" is not a number"},
        {"two numbers on a data line", size2 + "0 0\n", 2, "expected a data line with three numbers (R G B), found 2"},
        {"NaN", size2 + "nan 0 0\n", 2, "\"nan\" is not a finite number"},
        {"a number past double", size2 + "0 0 1e999\n", 2, "\"1e999\" is not a finite number"},
        {"domain min above max", "DOMAIN_MIN 0 0 0\nLUT_3D_SIZE 2\nDOMAIN_MAX 1 0 1\n" + identityEntries, 3,
         "DOMAIN_MIN must be below DOMAIN_MAX on every channel, but green goes from 0 to 0"},
        {"a domain of two numbers", "DOMAIN_MIN 0 0\n" + size2 + identityEntries, 1,
         "expected DOMAIN_MIN with three numbers (R G B), found 2"},
        {"data before the size", "0 0 0\n" + size2, 1, "a data line before LUT_3D_SIZE: the size comes first"},
        {"two size lines", size2 + size2 + identityEntries, 2, "a second LUT_3D_SIZE line"},
        {"an unknown keyword", size2 + "LUT_IN_VIDEO_RANGE\n" + identityEntries, 2,
         "unknown keyword \"LUT_IN_VIDEO_RANGE\""},
        {"a keyword after the data", size2 + "0 0 0\nDOMAIN_MAX 1 1 1\n", 3,
         "the keyword \"DOMAIN_MAX\" after the data: the header comes first"},
        {"no size at all", "# nothing\nTITLE \"x\"\n", 2, "no LUT_3D_SIZE line: not a 3D cube"},
    };
    for (const MalformedCube &row : rows) {
        SCOPED_TRACE(row.what);
        try {
            parseCube(row.text);
            ADD_FAILURE() << "accepted";
        } catch (const CubeFormatError &error) {
            EXPECT_EQ(error.line, row.line);
            EXPECT_NE(std::string(error.what()).find(row.message), std::string::npos) << error.what();
        }
    }
}

TEST(CubeReader, ReadsAThirdPartyCubeWithDomainCommentsAndCrLf)
{
    const std::string text = "\xEF\xBB\xBF# Written by a grading tool\r\nTITLE \"Warm look 2\"\r\n\r\n"
                             "DOMAIN_MIN 0 0.1 0\r\nDOMAIN_MAX 1 1 2\r\nLUT_3D_SIZE 2\r\n# the data\r\n"
                             "0 0 0\r\n1 0 0\r\n0 1 0\r\n1 1 0\r\n  0 0 1\r\n1\t0 1\r\n0 1 1\r\n1 1 0.25\r\n\r\n";
    const CubeLut cube = parseCube(text);
    EXPECT_EQ(cube.title, "Warm look 2");
    EXPECT_EQ(cube.size, 2);
    EXPECT_EQ(cube.domainMin, cv::Vec3d(0, 0.1, 0));
    EXPECT_EQ(cube.domainMax, cv::Vec3d(1, 1, 2));
    ASSERT_EQ(cube.table.size(), 8u);
    EXPECT_EQ(cube.table[1], cv::Vec3f(1, 0, 0)); // red fastest
    EXPECT_EQ(cube.table[4], cv::Vec3f(0, 0, 1));
    EXPECT_EQ(cube.table[7], cv::Vec3f(1, 1, 0.25f));
    // One range for all channels, as some tools write it.
    const CubeLut ranged = parseCube("LUT_3D_INPUT_RANGE 0 4\nLUT_3D_SIZE 2\n" + identityEntries);
    EXPECT_EQ(ranged.domainMax, cv::Vec3d(4, 4, 4));
}

// Tetrahedral interpolation is exact for an affine map: every tetrahedron's
// four corners pin it down.
TEST(CubeKernel, TetrahedralInterpolationReproducesAnAffineMapAndClamps)
{
    const int levels = 5;
    auto affine = [](double r, double g, double b) {
        return cv::Vec3d(0.2 + 0.5 * r + 0.1 * g - 0.3 * b, 0.9 * g + 0.05 * b, 0.3 * r + 0.2 * g + 0.4 * b);
    };
    std::vector<cv::Vec3f> table;
    for (int b = 0; b < levels; ++b)
        for (int g = 0; g < levels; ++g)
            for (int r = 0; r < levels; ++r)
                table.push_back(cv::Vec3f(affine(r, g, b)));
    cv::RNG rng(7);
    for (int k = 0; k < 2000; ++k) {
        const double x = rng.uniform(0.0, 4.0), y = rng.uniform(0.0, 4.0), z = rng.uniform(0.0, 4.0);
        const cv::Vec3d got = tetrahedral(table.data(), levels, x, y, z);
        EXPECT_LT(cv::norm(got - affine(x, y, z)), 1e-5) << x << " " << y << " " << z;
    }
    EXPECT_LT(cv::norm(tetrahedral(table.data(), levels, -3, 9, 2) - affine(0, 4, 2)), 1e-5);
    // Clamped into the far corner.
    EXPECT_LT(cv::norm(tetrahedral(table.data(), levels, 4, 9, 4) - affine(4, 4, 4)), 1e-5);
}
