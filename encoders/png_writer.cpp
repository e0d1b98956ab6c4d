// SPDX-License-Identifier: GPL-3.0-or-later
// File layout written here:
//   signature, IHDR (width, height, depth 8 or 16, colour type 0/2/6, no interlace),
//   one IDAT per chunk of rows (the first one opens with the 2-byte zlib header),
//   one 4-byte IDAT with the stream's Adler-32, IEND.
// Each chunk is a raw deflate piece of its filtered rows (filter byte + samples,
// samples big-endian, R G B order): all but the last end with a sync flush, so
// the pieces concatenate into one deflate stream, and each is primed with the
// 32 KiB of filtered rows before it, so matches may reach back across a seam.
#include "encoders/encoders.h"

#include <opencv2/core/utility.hpp>

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr size_t dictionaryBytes = 32768;
constexpr size_t targetChunkBytes = size_t(1) << 20;
// zlib's run-length strategy: on photographs smaller and faster than its
// default strategy at level 1 (bench/README.md), and unlike Huffman-only
// coding (as small on noisy photographs) it still shrinks flat areas to runs.
constexpr int fastLevel = 1;
constexpr int fastStrategy = Z_RLE;
// A level asked for gets zlib's strategy for filtered data, smaller than its
// default strategy on filtered photographs; the highest level also keeps, piece
// by piece, the run-length coding where that is smaller, so that it is never
// larger than the default.
constexpr int askedStrategy = Z_FILTERED;
constexpr int smallestLevel = 9;

struct Layout {
    int channels;
    int sampleBytes; // 1 or 2
    size_t pixelBytes;
    size_t rowBytes; // samples of one row, without the filter byte
};

// One image row as PNG stores it: R G B (A) order, 16-bit samples big-endian.
void pngRow(const cv::Mat &image, const Layout &layout, int y, uchar *out)
{
    const int width = image.cols;
    const int channels = layout.channels;
    if (layout.sampleBytes == 1) {
        const uchar *p = image.ptr<uchar>(y);
        if (channels == 1) {
            std::memcpy(out, p, layout.rowBytes);
            return;
        }
        for (int x = 0; x < width; ++x, p += channels, out += channels) {
            out[0] = p[2];
            out[1] = p[1];
            out[2] = p[0];
            if (channels == 4)
                out[3] = p[3];
        }
        return;
    }
    const ushort *p = image.ptr<ushort>(y);
    static const int rgbOrder[4] = {2, 1, 0, 3};
    for (int x = 0; x < width; ++x, p += channels)
        for (int c = 0; c < channels; ++c, out += 2) {
            const ushort v = p[channels == 1 ? 0 : rgbOrder[c]];
            out[0] = static_cast<uchar>(v >> 8);
            out[1] = static_cast<uchar>(v & 0xff);
        }
}

inline int absSigned(uchar v)
{
    return std::abs(static_cast<int>(static_cast<signed char>(v)));
}

inline uchar paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return static_cast<uchar>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filter type 1 to 4 of a row into out; returns the sum of the filtered bytes
// read as signed, the usual measure of how well a row will compress.
long filterRow(int type, const uchar *__restrict row, const uchar *__restrict above, size_t n, size_t bpp,
               uchar *__restrict out)
{
    long sum = 0;
    size_t i = 0;
    switch (type) {
    case 1:
        for (; i < bpp; ++i)
            sum += absSigned(out[i] = row[i]);
        for (; i < n; ++i)
            sum += absSigned(out[i] = static_cast<uchar>(row[i] - row[i - bpp]));
        break;
    case 2:
        for (; i < n; ++i)
            sum += absSigned(out[i] = static_cast<uchar>(row[i] - above[i]));
        break;
    case 3:
        for (; i < bpp; ++i)
            sum += absSigned(out[i] = static_cast<uchar>(row[i] - (above[i] >> 1)));
        for (; i < n; ++i)
            sum += absSigned(out[i] = static_cast<uchar>(row[i] - ((row[i - bpp] + above[i]) >> 1)));
        break;
    default:
        for (; i < bpp; ++i)
            sum += absSigned(out[i] = static_cast<uchar>(row[i] - above[i]));
        for (; i < n; ++i)
            sum += absSigned(out[i] = static_cast<uchar>(row[i] - paeth(row[i - bpp], above[i], above[i - bpp])));
        break;
    }
    return sum;
}

// Filters rows [begin, end) and hands each filtered row (filter byte first) to
// sink. Each row gets the filter with the smallest sum, ties to the lower type.
template <class Sink>
void filterRows(const cv::Mat &image, const Layout &layout, int begin, int end, Sink &&sink)
{
    const size_t n = layout.rowBytes;
    std::vector<uchar> buffers(4 * (n + 1), 0);
    uchar *above = buffers.data();
    uchar *row = above + n;
    uchar *best = row + n;
    uchar *trial = best + n + 1;
    if (begin > 0)
        pngRow(image, layout, begin - 1, above);
    for (int y = begin; y < end; ++y) {
        pngRow(image, layout, y, row);
        best[0] = 0;
        std::memcpy(best + 1, row, n);
        long bestSum = 0;
        for (size_t i = 0; i < n; ++i)
            bestSum += absSigned(row[i]);
        for (int type = 1; type <= 4; ++type) {
            const long sum = filterRow(type, row, above, n, layout.pixelBytes, trial + 1);
            if (sum < bestSum) {
                bestSum = sum;
                trial[0] = static_cast<uchar>(type);
                std::swap(best, trial);
            }
        }
        sink(best, n + 1);
        std::swap(above, row);
    }
}

void putBigEndian(uchar *out, std::uint32_t v)
{
    out[0] = static_cast<uchar>(v >> 24);
    out[1] = static_cast<uchar>(v >> 16);
    out[2] = static_cast<uchar>(v >> 8);
    out[3] = static_cast<uchar>(v);
}

// Frames data already placed at bytes[8, 8 + length) as a chunk of this type:
// length and type before it, the CRC of type and data appended.
void frameChunk(std::vector<uchar> &bytes, const char *type, size_t length)
{
    if (length > 0x7fffffffu)
        CV_Error(cv::Error::StsOutOfRange, "a PNG chunk would exceed 2^31 - 1 bytes");
    putBigEndian(bytes.data(), static_cast<std::uint32_t>(length));
    std::memcpy(bytes.data() + 4, type, 4);
    bytes.resize(8 + length + 4);
    const uLong crc = crc32(crc32(0, nullptr, 0), bytes.data() + 4, static_cast<uInt>(4 + length));
    putBigEndian(bytes.data() + 8 + length, static_cast<std::uint32_t>(crc));
}

struct Piece {
    std::vector<uchar> chunk; // a whole IDAT chunk
    uLong adler = 1;          // of the filtered rows it holds
    size_t filteredBytes = 0;
    bool failed = false;
};

// Deflates rows [begin, end) into an IDAT chunk. The first piece opens the
// zlib stream; the last one finishes the deflate stream.
void deflatePiece(const cv::Mat &image, const Layout &layout, int begin, int end, bool last, int level, Piece &piece)
{
    z_stream stream{};
    const bool fast = level < 0;
    if (deflateInit2(&stream, fast ? fastLevel : level, Z_DEFLATED, -15, 8, fast ? fastStrategy : askedStrategy)
        != Z_OK) {
        piece.failed = true;
        return;
    }
    bool ok = true;
    if (begin > 0) {
        // The filtered rows before this piece, as the previous piece deflated them.
        const size_t filtered = layout.rowBytes + 1;
        const int rows = static_cast<int>(std::min<size_t>(begin, (dictionaryBytes + filtered - 1) / filtered));
        std::vector<uchar> dictionary;
        dictionary.reserve(static_cast<size_t>(rows) * filtered);
        filterRows(image, layout, begin - rows, begin, [&](const uchar *row, size_t n) {
            dictionary.insert(dictionary.end(), row, row + n);
        });
        const size_t used = std::min(dictionary.size(), dictionaryBytes);
        ok = deflateSetDictionary(&stream, dictionary.data() + dictionary.size() - used, static_cast<uInt>(used))
            == Z_OK;
    }

    std::vector<uchar> &out = piece.chunk;
    const size_t header = begin == 0 ? 2 : 0;
    out.resize(8 + header + static_cast<size_t>(end - begin) * (layout.rowBytes + 1) / 2 + 1024);
    size_t used = 8;
    if (header) {
        // CMF: deflate, 32 KiB window; FLG: fastest compression, check bits.
        out[used++] = 0x78;
        out[used++] = 0x01;
    }
    auto run = [&](const uchar *data, size_t n, int flush) {
        stream.next_in = const_cast<uchar *>(data);
        stream.avail_in = static_cast<uInt>(n);
        for (;;) {
            if (out.size() - used < 64)
                out.resize(out.size() * 2);
            stream.next_out = out.data() + used;
            stream.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - used, 1u << 30));
            const int status = deflate(&stream, flush);
            used = static_cast<size_t>(stream.next_out - out.data());
            if (status == Z_STREAM_END)
                return true;
            if (status != Z_OK && status != Z_BUF_ERROR)
                return false;
            // A full output buffer may hold back flushed bytes: go round again.
            if (flush != Z_FINISH && stream.avail_in == 0 && stream.avail_out > 0)
                return true;
        }
    };
    if (ok)
        filterRows(image, layout, begin, end, [&](const uchar *row, size_t n) {
            if (!ok)
                return;
            piece.adler = adler32(piece.adler, row, static_cast<uInt>(n));
            piece.filteredBytes += n;
            ok = run(row, n, Z_NO_FLUSH);
        });
    if (ok)
        ok = run(nullptr, 0, last ? Z_FINISH : Z_SYNC_FLUSH);
    deflateEnd(&stream);
    if (!ok) {
        piece.failed = true;
        return;
    }
    out.resize(used);
    frameChunk(out, "IDAT", used - 8);
}

void appendChunk(std::vector<uchar> &file, const char *type, const std::vector<uchar> &data)
{
    std::vector<uchar> chunk(8 + data.size());
    std::copy(data.begin(), data.end(), chunk.begin() + 8);
    frameChunk(chunk, type, data.size());
    file.insert(file.end(), chunk.begin(), chunk.end());
}

bool pngEncodable(int type)
{
    const int depth = CV_MAT_DEPTH(type), channels = CV_MAT_CN(type);
    return (depth == CV_8U || depth == CV_16U) && (channels == 1 || channels == 3 || channels == 4);
}

} // namespace

std::vector<uchar> encodePng(const cv::Mat &image, int chunkRows, int level)
{
    if (!pngEncodable(image.type()))
        CV_Error(cv::Error::StsUnsupportedFormat, "PNG writer: expected 8- or 16-bit samples in 1, 3 or 4 channels");
    if (image.empty())
        CV_Error(cv::Error::StsBadSize, "PNG writer: the image is empty");
    Layout layout{};
    layout.channels = image.channels();
    layout.sampleBytes = image.depth() == CV_16U ? 2 : 1;
    layout.pixelBytes = static_cast<size_t>(layout.channels * layout.sampleBytes);
    layout.rowBytes = layout.pixelBytes * static_cast<size_t>(image.cols);
    if (chunkRows <= 0)
        chunkRows = static_cast<int>(std::clamp<size_t>(targetChunkBytes / (layout.rowBytes + 1), 1, INT_MAX));
    const int pieces = (image.rows + chunkRows - 1) / chunkRows;

    std::vector<Piece> deflated(static_cast<size_t>(pieces));
    // Failures are collected rather than thrown across OpenCV's threads.
    cv::parallel_for_(cv::Range(0, pieces), [&](const cv::Range &range) {
        for (int i = range.start; i < range.end; ++i) {
            const int begin = i * chunkRows;
            const int end = std::min(image.rows, begin + chunkRows);
            Piece &piece = deflated[static_cast<size_t>(i)];
            deflatePiece(image, layout, begin, end, i == pieces - 1, level, piece);
            if (level == smallestLevel) {
                Piece fast;
                deflatePiece(image, layout, begin, end, i == pieces - 1, -1, fast);
                if (!fast.failed && (piece.failed || fast.chunk.size() < piece.chunk.size()))
                    piece = std::move(fast);
            }
        }
    }, pieces);

    std::vector<uchar> header(13);
    putBigEndian(header.data(), static_cast<std::uint32_t>(image.cols));
    putBigEndian(header.data() + 4, static_cast<std::uint32_t>(image.rows));
    header[8] = static_cast<uchar>(8 * layout.sampleBytes);
    header[9] = static_cast<uchar>(layout.channels == 1 ? 0 : layout.channels == 3 ? 2 : 6);
    static const uchar signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

    size_t total = sizeof signature + 25 + 16 + 12;
    uLong adler = adler32(0, nullptr, 0);
    for (const Piece &piece : deflated) {
        if (piece.failed)
            CV_Error(cv::Error::StsError, "PNG writer: zlib could not deflate the image");
        total += piece.chunk.size();
        adler = adler32_combine(adler, piece.adler, static_cast<z_off_t>(piece.filteredBytes));
    }
    std::vector<uchar> file;
    file.reserve(total);
    file.insert(file.end(), signature, signature + sizeof signature);
    appendChunk(file, "IHDR", header);
    for (Piece &piece : deflated) {
        file.insert(file.end(), piece.chunk.begin(), piece.chunk.end());
        std::vector<uchar>().swap(piece.chunk);
    }
    std::vector<uchar> checksum(4);
    putBigEndian(checksum.data(), static_cast<std::uint32_t>(adler));
    appendChunk(file, "IDAT", checksum);
    appendChunk(file, "IEND", {});
    return file;
}
