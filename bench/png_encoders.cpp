// SPDX-License-Identifier: GPL-3.0-or-later
// PNG encoders side by side on one decoded photograph, in this process:
// OpenCV's encoder (the engine's old compression 5, and its defaults), libpng
// with its adaptive filters and a few zlib settings, libdeflate with the Up
// filter on one thread, and the project's writer (encoders/) on 1, 2 and all
// threads. Every file is decoded again and must give the same pixels.
#include "png_encoders.h"

#include "encoders/encoders.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

using Bytes = std::vector<uchar>;

Bytes withOpenCv(const cv::Mat &image, const std::vector<int> &parameters)
{
    Bytes bytes;
    if (!cv::imencode(".png", image, bytes, parameters))
        throw std::runtime_error("cv::imencode failed");
    return bytes;
}

// libpng's own writer: 8-bit BGR(A) rows, adaptive filters (its default for
// colour images), the given zlib level and strategy.
Bytes withLibpng(const cv::Mat &image, int level, int strategy)
{
    Bytes bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng failed");
    }
    png_set_write_fn(png, &bytes, [](png_structp p, png_bytep data, size_t n) {
        Bytes &out = *static_cast<Bytes *>(png_get_io_ptr(p));
        out.insert(out.end(), data, data + n);
    }, nullptr);
    png_set_IHDR(png, info, image.cols, image.rows, 8, image.channels() == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
    png_set_compression_level(png, level);
    png_set_compression_strategy(png, strategy);
    png_write_info(png, info);
    png_set_bgr(png);
    for (int y = 0; y < image.rows; ++y)
        png_write_row(png, image.ptr<uchar>(y));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

void appendChunk(Bytes &file, const char *type, const uchar *data, size_t n)
{
    const uchar length[4] = {uchar(n >> 24), uchar(n >> 16), uchar(n >> 8), uchar(n)};
    file.insert(file.end(), length, length + 4);
    const size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data, data + n);
    const uLong crc = crc32(0, file.data() + start, static_cast<uInt>(n + 4));
    const uchar tail[4] = {uchar(crc >> 24), uchar(crc >> 16), uchar(crc >> 8), uchar(crc)};
    file.insert(file.end(), tail, tail + 4);
}

// libdeflate, which has no streaming interface: all rows Up-filtered into one
// buffer, one zlib stream at level 1 on one thread.
Bytes withLibdeflate(const cv::Mat &image)
{
    const int channels = image.channels();
    const size_t rowBytes = size_t(image.cols) * channels;
    Bytes filtered(size_t(image.rows) * (rowBytes + 1));
    std::vector<uchar> above(rowBytes, 0), row(rowBytes);
    for (int y = 0; y < image.rows; ++y) {
        const uchar *p = image.ptr<uchar>(y);
        for (int x = 0; x < image.cols; ++x, p += channels) {
            uchar *q = &row[size_t(x) * channels];
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
            if (channels == 4)
                q[3] = p[3];
        }
        uchar *out = &filtered[size_t(y) * (rowBytes + 1)];
        out[0] = 2;
        for (size_t i = 0; i < rowBytes; ++i)
            out[1 + i] = uchar(row[i] - above[i]);
        above.swap(row);
    }
    libdeflate_compressor *compressor = libdeflate_alloc_compressor(1);
    Bytes deflated(libdeflate_zlib_compress_bound(compressor, filtered.size()));
    deflated.resize(libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), deflated.data(),
                                             deflated.size()));
    libdeflate_free_compressor(compressor);

    static const uchar signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes file(signature, signature + 8);
    const uchar header[13] = {uchar(image.cols >> 24), uchar(image.cols >> 16), uchar(image.cols >> 8),
                              uchar(image.cols), uchar(image.rows >> 24), uchar(image.rows >> 16),
                              uchar(image.rows >> 8), uchar(image.rows), 8, uchar(channels == 4 ? 6 : 2), 0, 0, 0};
    appendChunk(file, "IHDR", header, sizeof header);
    appendChunk(file, "IDAT", deflated.data(), deflated.size());
    appendChunk(file, "IEND", nullptr, 0);
    return file;
}

Bytes withWriter(const cv::Mat &image, int threads)
{
    const int before = cv::getNumThreads();
    cv::setNumThreads(threads);
    Bytes bytes = encodePng(image);
    cv::setNumThreads(before);
    return bytes;
}

struct Encoder {
    std::string name;
    std::function<Bytes(const cv::Mat &)> encode;
};

} // namespace

void comparePngEncoders(const cv::Mat &image, const std::string &title, int repeat)
{
    const int cpus = cv::getNumberOfCPUs();
    const std::vector<Encoder> encoders = {
        {"cv::imencode, compression 5 (the engine before)",
         [](const cv::Mat &m) { return withOpenCv(m, {cv::IMWRITE_PNG_COMPRESSION, 5}); }},
        {"cv::imencode, defaults (level 1, RLE)", [](const cv::Mat &m) { return withOpenCv(m, {}); }},
        {"libpng adaptive, level 1, Z_RLE", [](const cv::Mat &m) { return withLibpng(m, 1, Z_RLE); }},
        {"libpng adaptive, level 1, Z_DEFAULT_STRATEGY",
         [](const cv::Mat &m) { return withLibpng(m, 1, Z_DEFAULT_STRATEGY); }},
        {"libpng adaptive, level 3, Z_FILTERED", [](const cv::Mat &m) { return withLibpng(m, 3, Z_FILTERED); }},
        {"libdeflate level 1, Up filter, 1 thread", withLibdeflate},
        {"project writer, 1 thread", [](const cv::Mat &m) { return withWriter(m, 1); }},
        {"project writer, 2 threads", [](const cv::Mat &m) { return withWriter(m, 2); }},
        {"project writer, all " + std::to_string(cpus) + " threads", [cpus](const cv::Mat &m) { return withWriter(m, cpus); }},
    };
    std::printf("\nPNG encoders alone, %s (%d x %d, %d channels), best of %d:\n", title.c_str(), image.cols, image.rows,
                image.channels(), repeat);
    // CPU time is that of the whole process, every thread: on a shared machine
    // it moves less than the wall time.
    std::printf("  %-50s %8s %8s %10s %7s\n", "encoder", "wall s", "CPU s", "MiB", "size");
    double reference = 0;
    for (const Encoder &encoder : encoders) {
        double best = 1e9, bestCpu = 1e9;
        Bytes bytes;
        for (int round = 0; round < repeat; ++round) {
            const auto start = std::chrono::steady_clock::now();
            const std::clock_t cpuStart = std::clock();
            bytes = encoder.encode(image);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            bestCpu = std::min(bestCpu, double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
        }
        if (reference == 0)
            reference = double(bytes.size());
        const cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        const bool same = decoded.size() == image.size() && decoded.type() == image.type()
            && cv::norm(decoded, image, cv::NORM_INF) == 0;
        std::printf("  %-50s %8.3f %8.3f %10.1f %6.1f%%%s\n", encoder.name.c_str(), best, bestCpu,
                    bytes.size() / 1048576.0,
                    100.0 * bytes.size() / reference, same ? "" : "  PIXELS DIFFER");
        std::fflush(stdout);
    }
}
