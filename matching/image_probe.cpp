// Reads an encoded image's header before it is decoded, with the reading its
// decoder will use: the codec libraries' own header readers for PNG, TIFF and
// WebP (JPEG is read and decoded in one pass, jpeg_decoding.cpp), and OpenCV's
// own header rules for BMP and the Netpbm family. What this reading cannot
// vouch for is never handed to a decoder: other formats are refused by name,
// a header that does not read is refused, and a declared size over the limits
// is refused before any pixel memory exists.
#include "matching/matching.h"

#include <opencv2/imgproc.hpp>

#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <QSysInfo>

#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Bounds-checked view of the encoded bytes; reads past the end give 0.
struct Bytes {
    const uchar *data;
    qint64 size;

    uint at(qint64 i) const { return i >= 0 && i < size ? data[i] : 0u; }
    bool has(qint64 from, qint64 count) const { return from >= 0 && count >= 0 && from <= size - count; }
    bool startsWith(qint64 from, const char *text, qint64 n = -1) const
    {
        if (n < 0)
            n = qint64(std::strlen(text));
        return has(from, n) && std::memcmp(data + from, text, size_t(n)) == 0;
    }
    quint32 be32(qint64 i) const { return (at(i) << 24) | (at(i + 1) << 16) | (at(i + 2) << 8) | at(i + 3); }
    quint32 le16(qint64 i) const { return at(i) | (at(i + 1) << 8); }
    quint32 le32(qint64 i) const { return le16(i) | (le16(i + 2) << 16); }
};

// What a header declares: the image, and the other buffers its decoder sizes
// from the header (a TIFF's tile or strip buffers), both in pixels.
struct Declared {
    qint64 width = 0;
    qint64 height = 0;
    qint64 bufferPixels = 0;
};

[[noreturn]] void refuse(const char *which, const QString &what)
{
    throw EngineError(exitStatus::dataError, QLatin1String(which) + QStringLiteral(" image ") + what);
}

[[noreturn]] void unreadable(const char *which, const char *format, const Bytes &b, const QString &reason)
{
    refuse(which, QStringLiteral("is not a readable %1 file (%2 bytes): %3")
                      .arg(QLatin1String(format))
                      .arg(b.size)
                      .arg(reason));
}

[[noreturn]] void truncatedFile(const char *which, const char *format, const Bytes &b)
{
    refuse(which,
           QStringLiteral("is a truncated %1 file (%2 bytes): its end is missing")
               .arg(QLatin1String(format))
               .arg(b.size));
}

// The C locale's white space, which OpenCV's Netpbm readers skip.
bool isSpace(uint c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(uint c)
{
    return c >= '0' && c <= '9';
}

// Formats OpenCV may be built with that the engine does not decode: their
// decoders cannot be held to the limits from a header read here, and some of
// them copy the image to a temporary file or abort on odd files. DICOM is
// looked for first, as its signature sits behind any other.
const char *refusedFormat(const Bytes &b)
{
    if (b.startsWith(128, "DICM"))
        return "DICOM";
    if (b.startsWith(0, "\x76\x2F\x31\x01"))
        return "OpenEXR";
    if (b.startsWith(0, "#?RADIANCE") || b.startsWith(0, "#?RGBE"))
        return "Radiance HDR";
    if (b.startsWith(0, "\x00\x00\x00\x0CjP  \r\n\x87\n", 12) || b.startsWith(0, "\xFF\x4F\xFF\x51"))
        return "JPEG 2000";
    if (b.startsWith(0, "\x59\xA6\x6A\x95"))
        return "Sun raster";
    if (b.startsWith(0, "GIF8"))
        return "GIF";
    return nullptr;
}

// The accepted formats by the signatures OpenCV's decoders look for.
const char *acceptedFormat(const Bytes &b, ImageFormat &format)
{
    if (b.startsWith(0, "\x89PNG\r\n\x1A\n"))
        return format = ImageFormat::png, "PNG";
    if (b.startsWith(0, "\xFF\xD8\xFF"))
        return format = ImageFormat::jpeg, "JPEG";
    if (b.startsWith(0, "RIFF") && b.startsWith(8, "WEBP"))
        return format = ImageFormat::webp, "WebP";
    if (b.startsWith(0, "II*\0", 4) || b.startsWith(0, "MM\0*", 4) || b.startsWith(0, "II+\0", 4)
        || b.startsWith(0, "MM\0+", 4))
        return format = ImageFormat::tiff, "TIFF";
    if (b.startsWith(0, "BM"))
        return format = ImageFormat::bmp, "BMP";
    const uint kind = b.at(1);
    if (b.at(0) == 'P' && isSpace(b.at(2)) && ((kind >= '1' && kind <= '7') || kind == 'f' || kind == 'F'))
        return format = ImageFormat::netpbm, "Netpbm";
    return nullptr;
}

// ---- PNG: libpng reads the signature and the chunks up to the first IDAT
// (IHDR holds the size). Chunks are [length BE32][type][data][CRC]; a file
// whose last chunk is not IEND is cut short.

struct PngReading {
    const Bytes *bytes;
    qint64 position;
    png_uint_32 width;
    png_uint_32 height;
    char message[256];
};

void readPngBytes(png_structp png, png_bytep out, size_t count)
{
    auto *reading = static_cast<PngReading *>(png_get_io_ptr(png));
    if (!reading->bytes->has(reading->position, qint64(count)))
        png_error(png, "the file ends inside its header");
    std::memcpy(out, reading->bytes->data + reading->position, count);
    reading->position += qint64(count);
}

void pngFailed(png_structp png, png_const_charp message)
{
    auto *reading = static_cast<PngReading *>(png_get_error_ptr(png));
    std::snprintf(reading->message, sizeof reading->message, "%s", message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp)
{
}

// libpng's reading, kept apart from C++ objects because it ends by longjmp.
bool readPngHeader(PngReading &reading)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reading, pngFailed, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool read = false;
    if (info && setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &reading, readPngBytes);
        png_read_info(png, info);
        reading.width = png_get_image_width(png, info);
        reading.height = png_get_image_height(png, info);
        read = true;
    }
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return read;
}

Declared readPng(const Bytes &b, const char *which)
{
    if (!pngReachesItsEnd(b.data, b.size))
        truncatedFile(which, "PNG", b);
    // The decoder would inflate and keep every text chunk, before and after the pixels.
    const std::string ancillary = pngAncillaryProblem(b.data, b.size);
    if (!ancillary.empty())
        refuse(which, QStringLiteral("is a PNG file (%1 bytes) over a reading limit: %2")
                          .arg(b.size)
                          .arg(QString::fromStdString(ancillary)));
    PngReading reading{&b, 0, 0, 0, "libpng could not allocate its state"};
    if (!readPngHeader(reading))
        unreadable(which, "PNG", b, QString::fromLatin1(reading.message));
    return {reading.width, reading.height, 0};
}

// ---- TIFF and BigTIFF: libtiff opens the file over the bytes and reads the
// first directory, which is the image OpenCV decodes.

struct TiffReading {
    const Bytes *bytes;
    toff_t position;
    char message[256];
};

tmsize_t readTiffBytes(thandle_t handle, void *out, tmsize_t count)
{
    auto *reading = static_cast<TiffReading *>(handle);
    const toff_t size = toff_t(reading->bytes->size);
    const toff_t available = reading->position < size ? size - reading->position : 0;
    const tmsize_t n = count < 0 ? 0 : tmsize_t(std::min<toff_t>(toff_t(count), available));
    if (n > 0)
        std::memcpy(out, reading->bytes->data + reading->position, size_t(n));
    reading->position += toff_t(n);
    return n;
}

tmsize_t writeTiffBytes(thandle_t, void *, tmsize_t)
{
    return -1;
}

toff_t seekTiff(thandle_t handle, toff_t offset, int whence)
{
    auto *reading = static_cast<TiffReading *>(handle);
    const toff_t base = whence == SEEK_CUR ? reading->position : whence == SEEK_END ? toff_t(reading->bytes->size) : 0;
    reading->position = base + offset;
    return reading->position;
}

int closeTiff(thandle_t)
{
    return 0;
}

toff_t tiffSize(thandle_t handle)
{
    return toff_t(static_cast<TiffReading *>(handle)->bytes->size);
}

int tiffError(TIFF *, void *handle, const char *, const char *format, va_list arguments)
{
    auto *reading = static_cast<TiffReading *>(handle);
    if (reading->message[0] == '\0')
        std::vsnprintf(reading->message, sizeof reading->message, format, arguments);
    return 1;
}

int tiffWarning(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

Declared readTiff(const Bytes &b, const char *which)
{
    TiffReading reading{&b, 0, ""};
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffError, &reading);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffWarning, &reading);
    // A directory whose arrays would need more than this is no image to read.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(1) << 28);
    TIFF *tiff = TIFFClientOpenExt("image", "r", &reading, readTiffBytes, writeTiffBytes, seekTiff, closeTiff,
                                   tiffSize, nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        unreadable(which, "TIFF", b, QString::fromLatin1(reading.message[0] ? reading.message : "no directory"));
    uint32_t width = 0, height = 0, tileWidth = 0, tileHeight = 0;
    uint16_t samples = 1;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const bool tiled = TIFFIsTiled(tiff);
    if (tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    } else {
        TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &tileHeight);
    }
    TIFFClose(tiff);
    if (samples > 4)
        unreadable(which, "TIFF", b, QStringLiteral("%1 samples per pixel; expected 1 to 4").arg(samples));
    // The decoder sizes its buffers as OpenCV does: a tile, or a strip as
    // wide as the image (a strip never holds more rows than the image).
    if (tileWidth == 0)
        tileWidth = width;
    if (tileHeight == 0 || (!tiled && tileHeight > height))
        tileHeight = height;
    // Two buffers of that size: libtiff's raw tile and OpenCV's converted one.
    return {width, height, 2 * qint64(tileWidth) * qint64(tileHeight)};
}

// ---- WebP: libwebp reads the features from the first 32 bytes, as OpenCV's
// decoder does ("RIFF" [size LE32] "WEBP", then a VP8, VP8L or VP8X chunk;
// VP8X holds the canvas size).

constexpr qint64 webpHeaderSize = 32;

Declared readWebp(const Bytes &b, const char *which)
{
    if (qint64(b.le32(4)) + 8 > b.size)
        truncatedFile(which, "WebP", b);
    WebPBitstreamFeatures features;
    if (!b.has(0, webpHeaderSize) || WebPGetFeatures(b.data, size_t(webpHeaderSize), &features) != VP8_STATUS_OK)
        unreadable(which, "WebP", b, QStringLiteral("libwebp cannot read its header"));
    if (features.has_animation)
        unreadable(which, "WebP", b, QStringLiteral("it is animated"));
    return {features.width, features.height, 0};
}

// ---- BMP, by OpenCV's rules: "BM", the pixel data offset at 10, then the
// DIB header: its size at 14 (LE32); 12 bytes hold LE16 width and height, 36
// or more hold signed LE32 width and height (a negative height means top-down
// rows). Other sizes are not decoded.

Declared readBmp(const Bytes &b, const char *which)
{
    const qint32 headerSize = qint32(b.le32(14));
    qint64 width = 0, height = 0;
    if (headerSize >= 36 && b.has(14, 36)) {
        width = qint32(b.le32(18));
        height = qint32(b.le32(22));
    } else if (headerSize == 12 && b.has(14, 12)) {
        width = b.le16(18);
        height = b.le16(20);
    } else {
        unreadable(which, "BMP", b,
                   QStringLiteral("its header of %1 bytes is not one the decoder reads").arg(headerSize));
    }
    if (width <= 0 || height == 0 || height == INT_MIN)
        unreadable(which, "BMP", b, QStringLiteral("it declares %1 x %2 pixels").arg(width).arg(height));
    return {width, std::llabs(height), 0};
}

// ---- Netpbm, by the rules of OpenCV's three readers.
//  P1-P6: "P" kind, then width, height and (except P1, P4) the largest value
//    as decimal numbers; before each number any C white space and comments
//    ("#" to the next CR or LF) may come; numbers above INT_MAX are refused.
//  P7 (PAM): "P7" and CR or LF, then lines "NAME value" (names WIDTH, HEIGHT,
//    DEPTH, MAXVAL, TUPLTYPE, ENDHDR, each once; at most 8 name and 255 value
//    bytes) and comment lines, until ENDHDR; numbers are read by atoi. The
//    engine decodes PAM itself (decodePam), by these rules too.
//  PF, Pf (PFM): "P", kind, LF, then width, height and scale, each the bytes
//    up to the next white space byte, read by atoi (the scale by atof); then
//    32-bit float samples, R, G, B (PF) or grey (Pf), the bottom row first.
//    The engine decodes PFM itself (decodePfm): OpenCV's reader goes through
//    a temporary file, which it cannot delete on Windows while it is open.

// OpenCV's readers fail when they read past the end; `ended` records it, and
// the byte read there is none a loop below stops or goes on for.
struct Cursor {
    const Bytes &b;
    qint64 position = 0;
    bool ended = false;
    uint next()
    {
        if (position >= b.size) {
            ended = true;
            return 0x100;
        }
        return b.at(position++);
    }
};

// One number of P1-P6; false where OpenCV's reader fails.
bool readPnmNumber(Cursor &c, qint64 &value)
{
    uint code = c.next();
    while (!isDigit(code) && !c.ended) {
        if (code == '#') {
            do
                code = c.next();
            while (code != '\n' && code != '\r' && !c.ended);
            code = c.next();
        } else if (isSpace(code)) {
            while (isSpace(code))
                code = c.next();
        } else {
            return false;
        }
    }
    value = 0;
    while (isDigit(code)) {
        value = value * 10 + (code - '0');
        if (value > INT_MAX)
            return false;
        code = c.next();
    }
    return !c.ended;
}

// C's atoi, as OpenCV's PAM and PFM readers use it (values beyond int come
// out as glibc's int conversion gives them).
qint64 atoiOf(const QByteArray &text)
{
    return qint64(std::atoi(text.constData()));
}

// A PAM file's header as the decoder below uses it.
struct PamLayout {
    qint64 width = 0;
    qint64 height = 0;
    int depth = 0;        // samples per pixel, 1 to 4
    qint64 largest = 0;   // MAXVAL, 1 to 65535
    qint64 dataStart = 0; // the first sample's offset
};

// The channel count each of Netpbm's tuple types holds; unknown types are
// read by their DEPTH, as Netpbm reads them.
int tupleTypeDepth(const QByteArray &tupleType)
{
    static const struct {
        const char *name;
        int depth;
    } known[] = {{"BLACKANDWHITE", 1}, {"GRAYSCALE", 1}, {"RGB", 3}, {"BLACKANDWHITE_ALPHA", 2},
                 {"GRAYSCALE_ALPHA", 2}, {"RGB_ALPHA", 4}};
    for (const auto &k : known)
        if (tupleType == k.name)
            return k.depth;
    return 0;
}

PamLayout readPamLayout(Cursor &c, const char *which)
{
    const uint afterKind = c.b.at(2);
    if (afterKind != '\n' && afterKind != '\r')
        unreadable(which, "PAM", c.b, QStringLiteral("the line after P7 does not end at once"));
    c.position = 3;
    static const char *const names[] = {"WIDTH", "HEIGHT", "DEPTH", "MAXVAL", "TUPLTYPE", "ENDHDR"};
    bool seen[6] = {};
    qint64 values[4] = {0, 0, 0, 0};
    QByteArray tupleType;
    for (;;) {
        uint code = c.next();
        while (isSpace(code))
            code = c.next();
        if (code == '#') {
            do
                code = c.next();
            while (code != '\n' && code != '\r' && !c.ended);
            if (c.ended)
                break;
            continue;
        }
        QByteArray name;
        while (name.size() < 8 && !isSpace(code) && !c.ended) {
            name += char(code);
            code = c.next();
        }
        if (!isSpace(code))
            break;
        int field = 0;
        while (field < 6 && name != names[field])
            ++field;
        if (field == 6 || (field < 4 && seen[field]))
            break;
        seen[field] = true;
        if (field == 5)
            break;
        QByteArray value;
        if (code != '\n' && code != '\r') {
            do
                code = c.next();
            while (isSpace(code));
            while (value.size() < 255 && code != '\n' && code != '\r' && !c.ended) {
                value += char(code);
                code = c.next();
            }
        }
        if (c.ended)
            break;
        if (field < 4)
            values[field] = atoiOf(value);
        else
            tupleType = value.trimmed();
    }
    if (c.ended || !seen[0] || !seen[1] || !seen[2] || !seen[3] || !seen[5])
        unreadable(which, "PAM", c.b, QStringLiteral("its header lines do not read"));
    if (values[2] < 1 || values[2] > 4)
        unreadable(which, "PAM", c.b, QStringLiteral("DEPTH %1; expected 1 to 4").arg(values[2]));
    if (values[3] < 1 || values[3] > 65535)
        unreadable(which, "PAM", c.b, QStringLiteral("MAXVAL %1; expected 1 to 65535").arg(values[3]));
    const int typeDepth = tupleTypeDepth(tupleType);
    if (typeDepth != 0 && typeDepth != values[2])
        unreadable(which, "PAM", c.b,
                   QStringLiteral("TUPLTYPE %1 with DEPTH %2; it has %3 samples per pixel")
                       .arg(QString::fromLatin1(tupleType))
                       .arg(values[2])
                       .arg(typeDepth));
    return {values[0], values[1], int(values[2]), values[3], c.position};
}

Declared readPam(Cursor &c, const char *which)
{
    const PamLayout pam = readPamLayout(c, which);
    return {pam.width, pam.height, 0};
}

// The bytes up to the next white space byte (at most 2048); any byte above
// 127 fails.
QByteArray pfmToken(Cursor &c)
{
    QByteArray token("");
    while (token.size() < 2048) {
        const uint code = c.next();
        if (c.ended || code >= 128)
            return QByteArray();
        if (isSpace(code))
            break;
        token += char(code);
    }
    return token;
}

// A PFM file's header as the decoder below uses it.
struct PfmLayout {
    qint64 width = 0;
    qint64 height = 0;
    double scale = 0;     // its size scales the samples down; its sign gives the byte order
    qint64 dataStart = 0; // the first sample's offset
};

PfmLayout readPfmLayout(Cursor &c, const char *which)
{
    if (c.b.at(2) != '\n')
        unreadable(which, "PFM", c.b, QStringLiteral("no line feed after the signature"));
    c.position = 3;
    const QByteArray width = pfmToken(c);
    const QByteArray height = pfmToken(c);
    const QByteArray scale = pfmToken(c);
    if (width.isNull() || height.isNull() || scale.isNull())
        unreadable(which, "PFM", c.b, QStringLiteral("its header is cut short or not ASCII"));
    return {atoiOf(width), atoiOf(height), std::atof(scale.constData()), c.position};
}

Declared readNetpbm(const Bytes &b, const char *which)
{
    Cursor c{b};
    const uint kind = b.at(1);
    if (kind == '7')
        return readPam(c, which);
    if (kind == 'f' || kind == 'F') {
        const PfmLayout pfm = readPfmLayout(c, which);
        return {pfm.width, pfm.height, 0};
    }
    c.position = 2;
    qint64 width = 0, height = 0, largest = 1;
    if (!readPnmNumber(c, width) || !readPnmNumber(c, height)
        || (kind != '1' && kind != '4' && !readPnmNumber(c, largest)))
        unreadable(which, "Netpbm", b, QStringLiteral("its header does not read as numbers"));
    if (largest < 1 || largest > 65535)
        unreadable(which, "Netpbm", b, QStringLiteral("largest value %1; expected 1 to 65535").arg(largest));
    return {width, height, 0};
}

} // namespace

ImageHeader checkEncodedImage(const QByteArray &bytes, const char *which)
{
    const Bytes b{reinterpret_cast<const uchar *>(bytes.constData()), bytes.size()};
    if (const char *refused = refusedFormat(b))
        refuse(which, QStringLiteral("is in a format the engine does not accept (%1); it accepts PNG, JPEG, TIFF, "
                                     "WebP, BMP and Netpbm images")
                          .arg(QLatin1String(refused)));
    ImageFormat format = ImageFormat::png;
    const char *name = acceptedFormat(b, format);
    if (!name)
        refuse(which,
               QStringLiteral("could not be decoded: %1 bytes in no format the image decoders read").arg(b.size));
    Declared declared;
    switch (format) {
    case ImageFormat::png: declared = readPng(b, which); break;
    case ImageFormat::jpeg: return {format}; // read and checked as it is decoded
    case ImageFormat::tiff: declared = readTiff(b, which); break;
    case ImageFormat::webp: declared = readWebp(b, which); break;
    case ImageFormat::bmp: declared = readBmp(b, which); break;
    case ImageFormat::netpbm: declared = readNetpbm(b, which); break;
    }
    checkPixelCount(declared.width, declared.height, which);
    if (declared.width * declared.height + declared.bufferPixels > maximumImagePixels)
        refuse(which, QStringLiteral("declares %1 x %2 pixels in tiles or strips of %3 pixels; with its decoder's "
                                     "buffers that is more than the limit of %4 (2^28) pixels per image")
                          .arg(declared.width)
                          .arg(declared.height)
                          .arg(declared.bufferPixels / 2)
                          .arg(maximumImagePixels));
    return {format, declared.width, declared.height};
}

cv::Mat decodePam(const QByteArray &bytes, const char *which)
{
    const Bytes b{reinterpret_cast<const uchar *>(bytes.constData()), bytes.size()};
    Cursor c{b};
    const PamLayout pam = readPamLayout(c, which);
    checkPixelCount(pam.width, pam.height, which);
    const bool wide = pam.largest > 255;
    const int type = CV_MAKETYPE(wide ? CV_16U : CV_8U, pam.depth);
    const qint64 sampleBytes = pam.width * pam.height * pam.depth * (wide ? 2 : 1);
    if (!b.has(pam.dataStart, sampleBytes))
        truncatedFile(which, "PAM", b);
    const int rows = int(pam.height), cols = int(pam.width);
    cv::Mat stored(rows, cols, type, const_cast<uchar *>(b.data + pam.dataStart));
    if (wide) {
        // Big-endian samples, turned to this machine's order in a copy.
        cv::Mat swapped(rows, cols, type);
        const uchar *from = stored.data;
        uchar *to = swapped.data;
        for (qint64 i = 0; i < sampleBytes; i += 2) {
            to[i] = from[i + 1];
            to[i + 1] = from[i];
        }
        stored = swapped;
    }
    cv::Mat image;
    switch (pam.depth) {
    case 3: cv::cvtColor(stored, image, cv::COLOR_RGB2BGR); break;
    case 4: cv::cvtColor(stored, image, cv::COLOR_RGBA2BGRA); break;
    default: image = stored.clone();
    }
    // Samples are fractions of MAXVAL; those above it are read as MAXVAL.
    const qint64 full = wide ? 65535 : 255;
    if (pam.largest != full) {
        cv::min(image, cv::Scalar::all(double(pam.largest)), image);
        image.convertTo(image, -1, double(full) / double(pam.largest));
    }
    return image;
}

cv::Mat decodePfm(const QByteArray &bytes, const char *which)
{
    const Bytes b{reinterpret_cast<const uchar *>(bytes.constData()), bytes.size()};
    Cursor c{b};
    const PfmLayout pfm = readPfmLayout(c, which);
    checkPixelCount(pfm.width, pfm.height, which);
    if (!(std::fabs(pfm.scale) > 0.0))
        unreadable(which, "PFM", b, QStringLiteral("its scale is 0 or not a number"));
    const int channels = b.at(1) == 'F' ? 3 : 1;
    const int rows = int(pfm.height), cols = int(pfm.width);
    const qint64 rowBytes = pfm.width * channels * qint64(sizeof(float));
    if (!b.has(pfm.dataStart, rowBytes * pfm.height))
        truncatedFile(which, "PFM", b);
    // Rows are stored bottom first; a negative scale means little-endian samples.
    const bool swapped = (pfm.scale < 0) != (QSysInfo::ByteOrder == QSysInfo::LittleEndian);
    cv::Mat image(rows, cols, CV_32FC(channels));
    for (int y = 0; y < rows; ++y) {
        const uchar *from = b.data + pfm.dataStart + (rows - 1 - y) * rowBytes;
        uchar *to = image.ptr(y);
        if (!swapped) {
            std::memcpy(to, from, size_t(rowBytes));
            continue;
        }
        for (qint64 i = 0; i < rowBytes; i += 4)
            for (int k = 0; k < 4; ++k)
                to[i + k] = from[i + 3 - k];
    }
    if (channels == 3)
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
    // As OpenCV's reader scales them, so that results do not depend on which decoded the file.
    image *= 1.f / std::fabs(pfm.scale);
    return image;
}

void checkPixelCount(qint64 width, qint64 height, const char *which)
{
    if (width <= 0 || height <= 0)
        refuse(which, QStringLiteral("declares %1 x %2 pixels, which is no image").arg(width).arg(height));
    if (width > maximumImageSide || height > maximumImageSide)
        refuse(which, QStringLiteral("declares %1 x %2 pixels, more than the %3 (2^20) pixels a row or column may "
                                     "have")
                          .arg(width)
                          .arg(height)
                          .arg(maximumImageSide));
    if (width > maximumImagePixels / height)
        refuse(which, QStringLiteral("declares %1 x %2 pixels, more than the limit of %3 (2^28) pixels per image")
                          .arg(width)
                          .arg(height)
                          .arg(maximumImagePixels));
}
