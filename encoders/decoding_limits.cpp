// SPDX-License-Identifier: GPL-3.0-or-later
// The bounds both programs hold an encoded image to before a decoder or a
// metadata reader sees it: how a JPEG's segments end and how many scans it
// has, where a PNG's chunks end, and what its ancillary chunks would make its
// readers hold.
#include "encoders/image_probe.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

unsigned bigEndian32(const unsigned char *p)
{
    return (unsigned(p[0]) << 24) | (unsigned(p[1]) << 16) | (unsigned(p[2]) << 8) | unsigned(p[3]);
}

// The bytes a zlib stream inflates to, counted without keeping them and
// without going past `budget` + 1 (a broken stream counts what it gave).
long long inflatedSize(const unsigned char *data, size_t size, long long budget)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return 0;
    stream.next_in = const_cast<Bytef *>(data);
    stream.avail_in = uInt(std::min<size_t>(size, 1u << 30));
    unsigned char out[16384];
    long long total = 0;
    int result = Z_OK;
    while (result == Z_OK && total <= budget) {
        stream.next_out = out;
        stream.avail_out = sizeof out;
        result = inflate(&stream, Z_NO_FLUSH);
        total += static_cast<long long>(sizeof out - stream.avail_out);
        if (result == Z_BUF_ERROR && stream.avail_out != 0)
            break; // the input ended
    }
    inflateEnd(&stream);
    return total;
}

} // namespace

JpegStructure jpegStructure(const unsigned char *data, long long size)
{
    JpegStructure structure;
    if (size < 2 || data[0] != 0xFF || data[1] != 0xD8)
        return structure;
    long long at = 2;
    while (at < size) {
        // A marker: 0xFF, any fill bytes 0xFF, then its code. Anything else
        // between segments is skipped to the next 0xFF, as libjpeg does.
        if (data[at] != 0xFF) {
            ++structure.strayBytes;
            ++at;
            continue;
        }
        const long long fill = at;
        while (at < size && data[at] == 0xFF)
            ++at;
        structure.strayBytes += at - fill - 1;
        if (at >= size)
            break;
        const unsigned char code = data[at++];
        if (code == 0xD9) {
            structure.complete = true;
            structure.end = at;
            return structure;
        }
        if (code == 0x00 || code == 0x01 || (code >= 0xD0 && code <= 0xD7))
            continue; // no length follows
        if (at + 2 > size)
            break;
        const long long length = (static_cast<long long>(data[at]) << 8) | data[at + 1];
        if (length < 2 || at + length > size)
            break;
        // A frame (SOF0 to SOF15 but DHT, JPG and DAC): precision, height,
        // width, components, then id, sampling factors and table of each.
        // Blocks are padded to whole MCUs of at most 4 x 4 blocks.
        const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
        if (frame && length >= 8) {
            const long long height = (static_cast<long long>(data[at + 3]) << 8) | data[at + 4];
            const long long width = (static_cast<long long>(data[at + 5]) << 8) | data[at + 6];
            structure.frameSamples = std::max(structure.frameSamples, (width + 32) * (height + 32) * data[at + 7]);
            if (height == 0)
                structure.frameSamples = 0;
        }
        at += length;
        if (code != 0xDA)
            continue;
        ++structure.scans;
        // The scan's entropy-coded data runs to the next marker other than a
        // stuffed zero, a fill byte or a restart marker.
        const long long scan = at;
        while (at + 1 < size
               && !(data[at] == 0xFF && data[at + 1] != 0x00 && data[at + 1] != 0xFF
                    && !(data[at + 1] >= 0xD0 && data[at + 1] <= 0xD7)))
            ++at;
        structure.largestScan = std::max(structure.largestScan, at - scan);
        if (at + 1 >= size)
            break;
    }
    return structure;
}

PngStructure pngStructure(const unsigned char *data, long long size)
{
    auto isLetter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    for (long long at = 8; at + 8 <= size;) {
        const long long length = bigEndian32(data + at);
        const unsigned char *type = data + at + 4;
        if (length > 0x7FFFFFFF || !std::all_of(type, type + 4, isLetter))
            return {0, at};
        at += 12 + length;
        if (std::memcmp(type, "IEND", 4) == 0)
            return {at, 0};
    }
    return {};
}

std::string pngAncillaryProblem(const unsigned char *data, long long size)
{
    long long chunks = 0;
    long long inflated = 0;
    for (long long at = 8; at + 8 <= size;) {
        const long long length = bigEndian32(data + at);
        const unsigned char *type = data + at + 4;
        const unsigned char *body = data + at + 8;
        const long long available = std::min(length, size - at - 8);
        at += 12 + length;
        if ((type[0] & 0x20) == 0)
            continue; // critical: IHDR, PLTE, IDAT, IEND
        if (++chunks > largestPngAncillaryChunks)
            return "it has more than " + std::to_string(largestPngAncillaryChunks) +
                   " ancillary chunks (text, profiles and the like), the limit for one image";
        // zTXt and iCCP: keyword, NUL, method, zlib stream. iTXt: keyword, NUL,
        // compressed flag, method, language, NUL, translated keyword, NUL, text.
        const auto *keywordEnd = static_cast<const unsigned char *>(std::memchr(body, 0, size_t(std::max(0LL, available))));
        if (!keywordEnd)
            continue;
        const long long keyword = keywordEnd - body;
        long long stream = keyword + 2;
        if (std::memcmp(type, "iTXt", 4) == 0) {
            if (keyword + 1 >= available || body[keyword + 1] != 1)
                continue; // not compressed
            stream = keyword + 3;
            for (int field = 0; field < 2 && stream < available; ++field) { // language, translated keyword
                const auto *end = static_cast<const unsigned char *>(std::memchr(body + stream, 0, size_t(available - stream)));
                stream = end ? end - body + 1 : available;
            }
        } else if (std::memcmp(type, "zTXt", 4) != 0 && std::memcmp(type, "iCCP", 4) != 0) {
            continue;
        }
        if (stream >= available)
            continue;
        inflated += inflatedSize(body + stream, size_t(available - stream), largestPngInflatedText - inflated);
        if (inflated > largestPngInflatedText)
            return "its compressed text and profile chunks inflate to more than " +
                   std::to_string(largestPngInflatedText >> 20) + " MiB, the limit for one image";
    }
    return std::string();
}
