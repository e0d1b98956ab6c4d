// Looks at an encoded image's own structure before it is decoded: a file that
// is cut short must not come back as half a picture, and a small file that
// declares an enormous image must not make the decoder allocate it.
#include "matching/matching.h"

#include "engine/engine.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Probe {
    const char *format = nullptr;
    qint64 width = -1;
    qint64 height = -1;
    bool truncated = false;
};

// Bounds-checked view of the encoded bytes; reads past the end give 0.
struct Bytes {
    const uchar *data;
    qint64 size;

    uint at(qint64 i) const { return i >= 0 && i < size ? data[i] : 0u; }
    bool has(qint64 from, qint64 count) const { return from >= 0 && count >= 0 && from <= size - count; }
    bool startsWith(qint64 from, const char *text) const
    {
        const qint64 n = qint64(std::strlen(text));
        return has(from, n) && std::memcmp(data + from, text, size_t(n)) == 0;
    }
    quint32 be16(qint64 i) const { return (at(i) << 8) | at(i + 1); }
    quint32 be32(qint64 i) const { return (be16(i) << 16) | be16(i + 2); }
    quint32 le16(qint64 i) const { return at(i) | (at(i + 1) << 8); }
    quint32 le24(qint64 i) const { return le16(i) | (at(i + 2) << 16); }
    quint32 le32(qint64 i) const { return le16(i) | (le16(i + 2) << 16); }
};

// PNG: signature, then chunks [length BE32][type][data][CRC]; IHDR first
// (width, height BE32), IEND last.
Probe probePng(const Bytes &b)
{
    Probe p{"PNG"};
    if (!b.startsWith(12, "IHDR") || !b.has(16, 8)) {
        p.truncated = !b.has(16, 8);
        return p;
    }
    p.width = b.be32(16);
    p.height = b.be32(20);
    qint64 pos = 8;
    while (b.has(pos, 8)) {
        if (b.startsWith(pos + 4, "IEND"))
            return p;
        pos += 12 + qint64(b.be32(pos));
    }
    p.truncated = true;
    return p;
}

// JPEG: markers FF xx, most followed by a BE16 segment length; a start-of-frame
// segment holds the height and width; entropy-coded data follows the first
// start-of-scan, and the file ends with the end-of-image marker FF D9.
Probe probeJpeg(const Bytes &b, const QByteArray &bytes)
{
    Probe p{"JPEG"};
    qint64 pos = 2;
    qint64 scan = -1;
    while (b.has(pos, 4)) {
        if (b.at(pos) != 0xFF)
            return p; // not a marker: leave the verdict to the decoder
        const uint marker = b.at(pos + 1);
        if (marker == 0xFF || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            pos += marker == 0xFF ? 1 : 2;
            continue;
        }
        const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame && b.has(pos, 9)) {
            p.height = b.be16(pos + 5);
            p.width = b.be16(pos + 7);
        }
        if (marker == 0xDA) {
            scan = pos;
            break;
        }
        pos += 2 + qint64(b.be16(pos + 2));
    }
    p.truncated = scan < 0 || bytes.lastIndexOf("\xFF\xD9") < scan;
    return p;
}

// WebP: "RIFF" [size LE32] "WEBP", then a VP8X (canvas size), VP8 (lossy key
// frame) or VP8L (lossless) chunk.
Probe probeWebp(const Bytes &b)
{
    Probe p{"WebP"};
    p.truncated = qint64(b.le32(4)) + 8 > b.size;
    if (b.startsWith(12, "VP8X")) {
        p.width = qint64(b.le24(24)) + 1;
        p.height = qint64(b.le24(27)) + 1;
    } else if (b.startsWith(12, "VP8 ") && b.has(26, 4)) {
        p.width = b.le16(26) & 0x3FFF;
        p.height = b.le16(28) & 0x3FFF;
    } else if (b.startsWith(12, "VP8L") && b.has(21, 4)) {
        const quint32 bits = b.le32(21);
        p.width = (bits & 0x3FFF) + 1;
        p.height = ((bits >> 14) & 0x3FFF) + 1;
    }
    return p;
}

// TIFF: byte order "II" or "MM", the first IFD's entries [tag][type][count]
// [value]; tags 256 and 257 hold width and height as SHORT or LONG.
Probe probeTiff(const Bytes &b)
{
    Probe p{"TIFF"};
    const bool little = b.at(0) == 'I';
    auto u16 = [&](qint64 i) { return little ? b.le16(i) : b.be16(i); };
    auto u32 = [&](qint64 i) { return little ? b.le32(i) : b.be32(i); };
    const qint64 directory = u32(4);
    const quint32 entries = u16(directory);
    for (quint32 e = 0; e < entries && b.has(directory + 2 + 12 * qint64(e), 12); ++e) {
        const qint64 entry = directory + 2 + 12 * qint64(e);
        const quint32 tag = u16(entry);
        const quint32 type = u16(entry + 2);
        const qint64 value = type == 3 ? u16(entry + 8) : u32(entry + 8);
        if (tag == 256)
            p.width = value;
        else if (tag == 257)
            p.height = value;
    }
    return p;
}

// BMP: "BM", then the DIB header: 12 bytes (OS/2, 16-bit sizes) or longer
// (signed 32-bit sizes; a negative height means top-down rows).
Probe probeBmp(const Bytes &b)
{
    Probe p{"BMP"};
    if (b.le32(14) == 12) {
        p.width = b.le16(18);
        p.height = b.le16(20);
    } else {
        p.width = std::llabs(qint64(qint32(b.le32(18))));
        p.height = std::llabs(qint64(qint32(b.le32(22))));
    }
    return p;
}

// Netpbm (P1 to P7, PF, Pf): "P?" then width and height as decimal text,
// separated by white space and # comments.
Probe probeNetpbm(const Bytes &b)
{
    Probe p{"Netpbm"};
    qint64 pos = 2;
    qint64 numbers[2] = {-1, -1};
    for (qint64 &number : numbers) {
        while (pos < b.size) {
            const uint c = b.at(pos);
            if (c == '#')
                while (pos < b.size && b.at(pos) != '\n')
                    ++pos;
            else if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
                ++pos;
            else
                break;
        }
        qint64 value = 0;
        bool digits = false;
        while (pos < b.size && b.at(pos) >= '0' && b.at(pos) <= '9' && value < (qint64(1) << 40)) {
            value = value * 10 + (b.at(pos++) - '0');
            digits = true;
        }
        if (!digits)
            return p;
        number = value;
    }
    p.width = numbers[0];
    p.height = numbers[1];
    return p;
}

Probe probe(const QByteArray &bytes)
{
    const Bytes b{reinterpret_cast<const uchar *>(bytes.constData()), bytes.size()};
    if (b.startsWith(0, "\x89PNG\r\n\x1A\n"))
        return probePng(b);
    if (b.at(0) == 0xFF && b.at(1) == 0xD8 && b.at(2) == 0xFF)
        return probeJpeg(b, bytes);
    if (b.startsWith(0, "RIFF") && b.startsWith(8, "WEBP"))
        return probeWebp(b);
    if (b.startsWith(0, "II*") || b.startsWith(0, "MM"))
        return probeTiff(b);
    if (b.startsWith(0, "BM"))
        return probeBmp(b);
    if (b.at(0) == 'P' && ((b.at(1) >= '1' && b.at(1) <= '7') || b.at(1) == 'F' || b.at(1) == 'f'))
        return probeNetpbm(b);
    return Probe{};
}

} // namespace

void checkEncodedImage(const QByteArray &bytes, const char *which)
{
    const Probe found = probe(bytes);
    if (!found.format)
        return;
    if (found.truncated)
        throw EngineError(exitStatus::dataError, QStringLiteral("%1 image is a truncated %2 file (%3 bytes): its end "
                                                                "is missing")
                                                     .arg(QLatin1String(which), QLatin1String(found.format))
                                                     .arg(bytes.size()));
    if (found.width >= 0 && found.height >= 0)
        checkPixelCount(found.width, found.height, which);
}

void checkPixelCount(qint64 width, qint64 height, const char *which)
{
    if (width > 0 && height > 0 && width > maximumImagePixels / height)
        throw EngineError(exitStatus::dataError,
                          QStringLiteral("%1 image declares %2 x %3 pixels, more than the limit of %4 (2^28) pixels "
                                         "per image")
                              .arg(QLatin1String(which))
                              .arg(width)
                              .arg(height)
                              .arg(maximumImagePixels));
}
