// SPDX-License-Identifier: GPL-3.0-or-later
// The .cube format: header lines for the writer, a reader that refuses what it
// cannot apply exactly as written, and the tetrahedral interpolation.
#include "encoders/cube_format.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <charconv>
#include <limits>
#include <cmath>
#include <sstream>

const char *const cubeSizeKeyword = "LUT_3D_SIZE";

namespace {

const char *const channelNames[3] = {"red", "green", "blue"};

// A token as people read it in a message: short, and nothing unprintable.
std::string shown(const std::string &token)
{
    std::string text = token.substr(0, 24);
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = '?';
    return "\"" + text + (token.size() > 24 ? "...\"" : "\"");
}

std::vector<std::string> tokensOf(const std::string &line)
{
    std::vector<std::string> tokens;
    size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos)
            return tokens;
        const size_t end = line.find_first_of(" \t", at);
        tokens.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            return tokens;
        at = end;
    }
}

// A keyword is upper case (LUT_3D_SIZE); a data line starts with a number,
// also "nan" or "inf", which are refused as such.
bool isKeyword(const std::string &token)
{
    return (token[0] >= 'A' && token[0] <= 'Z') || token[0] == '_';
}

double numberOf(const std::string &token, int line)
{
    double value = 0;
    const char *end = token.data() + token.size();
    const auto [stop, error] = std::from_chars(token.data(), end, value);
    if (error == std::errc::result_out_of_range && stop == end)
        throw CubeFormatError(line, shown(token) + " is not a finite number");
    if (error != std::errc() || stop != end)
        throw CubeFormatError(line, shown(token) + " is not a number");
    if (!std::isfinite(value))
        throw CubeFormatError(line, shown(token) + " is not a finite number");
    return value;
}

// Three numbers after the keyword (or none, for a data line).
cv::Vec3d tripleOf(const std::vector<std::string> &tokens, size_t first, int line, const std::string &what)
{
    if (tokens.size() != first + 3)
        throw CubeFormatError(line, "expected " + what + " with three numbers (R G B), found " +
                                        std::to_string(tokens.size() - first));
    return {numberOf(tokens[first], line), numberOf(tokens[first + 1], line), numberOf(tokens[first + 2], line)};
}

int sizeOf(const std::vector<std::string> &tokens, int line)
{
    const std::string expected = std::string("expected ") + cubeSizeKeyword + " and one whole number, the points per axis (" +
                                 std::to_string(cubeSizeMin) + " to " + std::to_string(cubeSizeMax) + ")";
    if (tokens.size() != 2)
        throw CubeFormatError(line, expected);
    long long size = 0;
    const std::string &token = tokens[1];
    const auto [stop, error] = std::from_chars(token.data(), token.data() + token.size(), size);
    if (error == std::errc::result_out_of_range)
        size = cubeSizeMax + 1ll;
    else if (error != std::errc() || stop != token.data() + token.size())
        throw CubeFormatError(line, expected + ", not " + shown(token));
    if (size < cubeSizeMin || size > cubeSizeMax)
        throw CubeFormatError(line, std::string(cubeSizeKeyword) + " " + token + " is out of range: " +
                                        std::to_string(cubeSizeMin) + " to " + std::to_string(cubeSizeMax) +
                                        " points per axis are expected");
    return int(size);
}

template <typename Sample>
void applyTo(const CubeLut &cube, cv::Mat &image)
{
    const double top = std::numeric_limits<Sample>::max();
    const int channels = image.channels();
    cv::Vec3d scale;
    for (int c = 0; c < 3; ++c)
        scale[c] = (cube.size - 1) / (cube.domainMax[c] - cube.domainMin[c]);
    // Each sample's lattice coordinate, computed once per value rather than per pixel.
    std::vector<double> coordinates[3];
    for (int c = 0; c < 3; ++c) {
        coordinates[c].resize(size_t(top) + 1);
        for (size_t v = 0; v < coordinates[c].size(); ++v)
            coordinates[c][v] = (v / top - cube.domainMin[c]) * scale[c];
    }
    const cv::Vec3f *table = cube.table.data();
    cv::parallel_for_(cv::Range(0, image.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            Sample *p = image.ptr<Sample>(y);
            for (int x = 0; x < image.cols; ++x, p += channels) {
                const cv::Vec3d rgb = tetrahedral(table, cube.size, coordinates[0][p[2]], coordinates[1][p[1]],
                                                  coordinates[2][p[0]]);
                p[0] = cv::saturate_cast<Sample>(rgb[2] * top);
                p[1] = cv::saturate_cast<Sample>(rgb[1] * top);
                p[2] = cv::saturate_cast<Sample>(rgb[0] * top);
            }
        }
    });
}

} // namespace

std::string cubeTitleLine(const std::string &title)
{
    return "TITLE \"" + title + "\"";
}

std::string cubeSizeLine(int size)
{
    return std::string(cubeSizeKeyword) + " " + std::to_string(size);
}

CubeLut parseCube(const std::string &text)
{
    CubeLut cube;
    size_t entries = 0;
    int lineNumber = 0;
    int domainLine = 0; // the later of the DOMAIN lines
    bool domainChecked = false;
    auto checkDomain = [&] {
        if (domainChecked)
            return;
        domainChecked = true;
        for (int c = 0; c < 3; ++c)
            if (!(cube.domainMin[c] < cube.domainMax[c])) {
                std::ostringstream message;
                message << "DOMAIN_MIN must be below DOMAIN_MAX on every channel, but " << channelNames[c]
                        << " goes from " << cube.domainMin[c] << " to " << cube.domainMax[c];
                throw CubeFormatError(domainLine, message.str());
            }
    };
    // A byte order mark, as some Windows tools write, is no part of the first line.
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::vector<std::string> tokens = tokensOf(line);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const std::string &keyword = tokens[0];
        if (!isKeyword(keyword)) {
            if (cube.size == 0)
                throw CubeFormatError(lineNumber, std::string("a data line before ") + cubeSizeKeyword +
                                                      ": the size comes first");
            const size_t expected = size_t(cube.size) * cube.size * cube.size;
            if (entries == expected)
                throw CubeFormatError(lineNumber, "more entries than the " + std::to_string(expected) +
                                                      " of a cube of size " + std::to_string(cube.size));
            checkDomain();
            const cv::Vec3d rgb = tripleOf(tokens, 0, lineNumber, "a data line");
            cube.table[entries++] = cv::Vec3f(float(rgb[0]), float(rgb[1]), float(rgb[2]));
            continue;
        }
        if (entries > 0)
            throw CubeFormatError(lineNumber, "the keyword " + shown(keyword) + " after the data: the header comes first");
        if (keyword == cubeSizeKeyword) {
            if (cube.size != 0)
                throw CubeFormatError(lineNumber, std::string("a second ") + cubeSizeKeyword + " line: one size per cube");
            cube.size = sizeOf(tokens, lineNumber);
            cube.table.assign(size_t(cube.size) * cube.size * cube.size, cv::Vec3f());
        } else if (keyword == "TITLE") {
            std::string title = line.substr(line.find("TITLE") + 5);
            const size_t first = title.find('"'), last = title.rfind('"');
            cube.title = first != std::string::npos && last > first ? title.substr(first + 1, last - first - 1)
                                                                    : tokensOf(title).empty() ? "" : title;
        } else if (keyword == "DOMAIN_MIN") {
            cube.domainMin = tripleOf(tokens, 1, lineNumber, "DOMAIN_MIN");
            domainLine = lineNumber;
        } else if (keyword == "DOMAIN_MAX") {
            cube.domainMax = tripleOf(tokens, 1, lineNumber, "DOMAIN_MAX");
            domainLine = lineNumber;
        } else if (keyword == "LUT_3D_INPUT_RANGE") {
            // One range for all three channels, as some grading tools write it.
            if (tokens.size() != 3)
                throw CubeFormatError(lineNumber, "expected LUT_3D_INPUT_RANGE with two numbers (min max), found " +
                                                      std::to_string(tokens.size() - 1));
            const double low = numberOf(tokens[1], lineNumber), high = numberOf(tokens[2], lineNumber);
            cube.domainMin = {low, low, low};
            cube.domainMax = {high, high, high};
            domainLine = lineNumber;
        } else if (keyword == "LUT_1D_SIZE" || keyword == "LUT_1D_INPUT_RANGE") {
            throw CubeFormatError(lineNumber, "a 1D LUT (" + keyword + "): only 3D cubes (" + cubeSizeKeyword +
                                                  ") can be applied");
        } else {
            throw CubeFormatError(lineNumber, "unknown keyword " + shown(keyword) + ": TITLE, " + cubeSizeKeyword +
                                                  ", DOMAIN_MIN, DOMAIN_MAX, LUT_3D_INPUT_RANGE or data lines "
                                                  "are expected");
        }
    }
    if (cube.size == 0)
        throw CubeFormatError(std::max(lineNumber, 1), std::string("no ") + cubeSizeKeyword + " line: not a 3D cube");
    const size_t expected = size_t(cube.size) * cube.size * cube.size;
    if (entries < expected)
        throw CubeFormatError(std::max(lineNumber, 1), "the file ends after " + std::to_string(entries) + " of the " +
                                                           std::to_string(expected) + " entries of a cube of size " +
                                                           std::to_string(cube.size));
    return cube;
}

void applyCube(const CubeLut &cube, cv::Mat &image)
{
    CV_Assert(cube.size >= cubeSizeMin && cube.table.size() == size_t(cube.size) * cube.size * cube.size);
    CV_Assert(image.channels() == 3 || image.channels() == 4);
    if (image.depth() == CV_8U)
        applyTo<uchar>(cube, image);
    else if (image.depth() == CV_16U)
        applyTo<ushort>(cube, image);
    else
        CV_Error(cv::Error::StsBadArg, "a cube is applied to an 8- or 16-bit image");
}
