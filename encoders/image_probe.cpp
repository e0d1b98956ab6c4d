// SPDX-License-Identifier: GPL-3.0-or-later
// Reads an encoded image's header before it is decoded, with the reading its
// decoder will use. What this reading cannot vouch for is never handed to a
// decoder: other formats are refused by name, a header that does not read is
// refused, and a declared size over the limits is refused before any pixel
// memory exists.
#include "encoders/image_probe.h"

#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// Bounds-checked view of the encoded bytes; reads past the end give 0.
struct Bytes {
    const unsigned char *data;
    long long size;

    unsigned at(long long i) const { return i >= 0 && i < size ? data[i] : 0u; }
    bool has(long long from, long long count) const { return from >= 0 && count >= 0 && from <= size - count; }
    bool startsWith(long long from, const char *text, long long n = -1) const
    {
        if (n < 0)
            n = static_cast<long long>(std::strlen(text));
        return has(from, n) && std::memcmp(data + from, text, size_t(n)) == 0;
    }
    uint32_t le16(long long i) const { return at(i) | (at(i + 1) << 8); }
    uint32_t le32(long long i) const { return le16(i) | (le16(i + 2) << 16); }
};

std::string bytesText(long long size)
{
    return "(" + std::to_string(size) + " bytes)";
}

ImageProblem is(std::string text)
{
    return {"is", std::move(text)};
}

ImageProblem unreadable(const char *format, const Bytes &b, const std::string &reason)
{
    return unreadableFileProblem(format, b.size, reason);
}

// The C locale's white space, which OpenCV's Netpbm readers skip.
bool isSpace(unsigned c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(unsigned c)
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
bool acceptedFormat(const Bytes &b, ImageFormat &format)
{
    if (b.startsWith(0, "\x89PNG\r\n\x1A\n"))
        return format = ImageFormat::png, true;
    if (b.startsWith(0, "\xFF\xD8\xFF"))
        return format = ImageFormat::jpeg, true;
    if (b.startsWith(0, "RIFF") && b.startsWith(8, "WEBP"))
        return format = ImageFormat::webp, true;
    if (b.startsWith(0, "II*\0", 4) || b.startsWith(0, "MM\0*", 4) || b.startsWith(0, "II+\0", 4)
        || b.startsWith(0, "MM\0+", 4))
        return format = ImageFormat::tiff, true;
    if (b.startsWith(0, "BM"))
        return format = ImageFormat::bmp, true;
    const unsigned kind = b.at(1);
    if (b.at(0) == 'P' && isSpace(b.at(2)) && ((kind >= '1' && kind <= '7') || kind == 'f' || kind == 'F'))
        return format = ImageFormat::netpbm, true;
    return false;
}

// ---- PNG: libpng reads the signature and the chunks up to the first IDAT
// (IHDR holds the size). Chunks are [length BE32][type][data][CRC]; a file
// whose last chunk is not IEND is cut short.

struct PngReading {
    const Bytes *bytes;
    long long position;
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    char message[256];
};

void readPngBytes(png_structp png, png_bytep out, size_t count)
{
    auto *reading = static_cast<PngReading *>(png_get_io_ptr(png));
    if (!reading->bytes->has(reading->position, static_cast<long long>(count)))
        png_error(png, "the file ends inside its header");
    std::memcpy(out, reading->bytes->data + reading->position, count);
    reading->position += static_cast<long long>(count);
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
        reading.bitDepth = png_get_bit_depth(png, info);
        read = true;
    }
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return read;
}

ImageProblem readPng(const Bytes &b, ImageHeader &header)
{
    if (pngStructure(b.data, b.size).end == 0)
        return truncatedFileProblem("PNG", b.size);
    // The decoder would inflate and keep every text chunk, before and after the pixels.
    const std::string ancillary = pngAncillaryProblem(b.data, b.size);
    if (!ancillary.empty())
        return is("a PNG file " + bytesText(b.size) + " over a reading limit: " + ancillary);
    PngReading reading{&b, 0, 0, 0, 0, "libpng could not allocate its state"};
    if (!readPngHeader(reading))
        return unreadable("PNG", b, reading.message);
    header.width = reading.width;
    header.height = reading.height;
    header.deep = reading.bitDepth > 8;
    return {};
}

// ---- JPEG: its segments followed to the end-of-image marker and its scans
// counted, then libjpeg's own header reading. A JPEG in several scans makes
// libjpeg hold every coefficient of the image; they count like pixels.

struct JpegReading {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegFailed(j_common_ptr info)
{
    auto *reading = reinterpret_cast<JpegReading *>(info->err);
    info->err->format_message(info, reading->message);
    std::longjmp(reading->jump, 1);
}

// libjpeg's reading, kept apart from C++ objects because it ends by longjmp.
bool readJpegHeader(jpeg_decompress_struct &info, const Bytes &b, ImageHeader &header)
{
    if (setjmp(reinterpret_cast<JpegReading *>(info.err)->jump) != 0)
        return false;
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, b.data, static_cast<unsigned long>(b.size));
    jpeg_read_header(&info, TRUE);
    header.width = info.image_width;
    header.height = info.image_height;
    if (jpeg_has_multiple_scans(&info))
        for (int i = 0; i < info.num_components; ++i)
            header.bufferPixels +=
                static_cast<long long>(info.comp_info[i].width_in_blocks) * info.comp_info[i].height_in_blocks * 64;
    return true;
}

ImageProblem readJpeg(const Bytes &b, ImageHeader &header)
{
    const JpegStructure structure = jpegStructure(b.data, b.size);
    if (structure.scans > largestJpegScanCount)
        return jpegScanCountProblem(b.size);
    if (!structure.complete)
        return truncatedFileProblem("JPEG", b.size);
    JpegReading reading{};
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&reading.manager);
    reading.manager.error_exit = jpegFailed;
    reading.manager.output_message = [](j_common_ptr) {};
    const bool read = readJpegHeader(info, b, header);
    jpeg_destroy_decompress(&info);
    if (!read)
        return unreadable("JPEG", b, std::string("libjpeg: ") + reading.message);
    return {};
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

ImageProblem readTiff(const Bytes &b, ImageHeader &header)
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
        return unreadable("TIFF", b, reading.message[0] ? reading.message : "no directory");
    uint32_t width = 0, height = 0, tileWidth = 0, tileHeight = 0;
    uint16_t samples = 1, bitsPerSample = 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bitsPerSample);
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
        return unreadable("TIFF", b, std::to_string(samples) + " samples per pixel; expected 1 to 4");
    // The decoder sizes its buffers as OpenCV does: a tile, or a strip as
    // wide as the image (a strip never holds more rows than the image).
    if (tileWidth == 0)
        tileWidth = width;
    if (tileHeight == 0 || (!tiled && tileHeight > height))
        tileHeight = height;
    header.width = width;
    header.height = height;
    header.deep = bitsPerSample > 8;
    // Two buffers of that size: libtiff's raw tile and OpenCV's converted one.
    header.bufferPixels = 2 * static_cast<long long>(tileWidth) * static_cast<long long>(tileHeight);
    return {};
}

// ---- WebP: libwebp reads the features from the first 32 bytes, as OpenCV's
// decoder does ("RIFF" [size LE32] "WEBP", then a VP8, VP8L or VP8X chunk;
// VP8X holds the canvas size).

constexpr long long webpHeaderSize = 32;

ImageProblem readWebp(const Bytes &b, ImageHeader &header)
{
    if (static_cast<long long>(b.le32(4)) + 8 > b.size)
        return truncatedFileProblem("WebP", b.size);
    WebPBitstreamFeatures features;
    if (!b.has(0, webpHeaderSize) || WebPGetFeatures(b.data, size_t(webpHeaderSize), &features) != VP8_STATUS_OK)
        return unreadable("WebP", b, "libwebp cannot read its header");
    if (features.has_animation)
        return unreadable("WebP", b, "it is animated");
    header.width = features.width;
    header.height = features.height;
    return {};
}

// ---- BMP, by OpenCV's rules: "BM", the pixel data offset at 10, then the
// DIB header: its size at 14 (LE32); 12 bytes hold LE16 width and height, 36
// or more hold signed LE32 width and height (a negative height means top-down
// rows). Other sizes are not decoded.

ImageProblem readBmp(const Bytes &b, ImageHeader &header)
{
    const int32_t headerSize = int32_t(b.le32(14));
    long long width = 0, height = 0;
    if (headerSize >= 36 && b.has(14, 36)) {
        width = int32_t(b.le32(18));
        height = int32_t(b.le32(22));
    } else if (headerSize == 12 && b.has(14, 12)) {
        width = b.le16(18);
        height = b.le16(20);
    } else {
        return unreadable("BMP", b,
                          "its header of " + std::to_string(headerSize) + " bytes is not one the decoder reads");
    }
    if (width <= 0 || height == 0 || height == INT_MIN)
        return unreadable("BMP", b,
                          "it declares " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
    header.width = width;
    header.height = std::llabs(height);
    return {};
}

// ---- Netpbm, by the rules of OpenCV's three readers.
//  P1-P6: "P" kind, then width, height and (except P1, P4) the largest value
//    as decimal numbers; before each number any C white space and comments
//    ("#" to the next CR or LF) may come; numbers above INT_MAX are refused.
//  P7 (PAM): "P7" and CR or LF, then lines "NAME value" (names WIDTH, HEIGHT,
//    DEPTH, MAXVAL, TUPLTYPE, ENDHDR, each once; at most 8 name and 255 value
//    bytes) and comment lines, until ENDHDR; numbers are read by atoi. The
//    engine decodes PAM itself, by these rules too.
//  PF, Pf (PFM): "P", kind, LF, then width, height and scale, each the bytes
//    up to the next white space byte, read by atoi (the scale by atof); then
//    32-bit float samples, R, G, B (PF) or grey (Pf), the bottom row first.
//    The engine decodes PFM itself: OpenCV's reader goes through a temporary
//    file, which it cannot delete on Windows while it is open.

// OpenCV's readers fail when they read past the end; `ended` records it, and
// the byte read there is none a loop below stops or goes on for.
struct Cursor {
    const Bytes &b;
    long long position = 0;
    bool ended = false;
    unsigned next()
    {
        if (position >= b.size) {
            ended = true;
            return 0x100;
        }
        return b.at(position++);
    }
};

// One number of P1-P6; false where OpenCV's reader fails.
bool readPnmNumber(Cursor &c, long long &value)
{
    unsigned code = c.next();
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
long long atoiOf(const std::string &text)
{
    return std::atoi(text.c_str());
}

// The channel count each of Netpbm's tuple types holds; unknown types are
// read by their DEPTH, as Netpbm reads them.
int tupleTypeDepth(const std::string &tupleType)
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

std::string trimmed(const std::string &text)
{
    size_t from = 0, to = text.size();
    while (from < to && isSpace(static_cast<unsigned char>(text[from])))
        ++from;
    while (to > from && isSpace(static_cast<unsigned char>(text[to - 1])))
        --to;
    return text.substr(from, to - from);
}

PamLayout readPamLayout(Cursor &c)
{
    PamLayout pam;
    const unsigned afterKind = c.b.at(2);
    if (afterKind != '\n' && afterKind != '\r')
        return pam.problem = unreadable("PAM", c.b, "the line after P7 does not end at once"), pam;
    c.position = 3;
    static const char *const names[] = {"WIDTH", "HEIGHT", "DEPTH", "MAXVAL", "TUPLTYPE", "ENDHDR"};
    bool seen[6] = {};
    long long values[4] = {0, 0, 0, 0};
    std::string tupleType;
    for (;;) {
        unsigned code = c.next();
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
        std::string name;
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
        std::string value;
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
            tupleType = trimmed(value);
    }
    if (c.ended || !seen[0] || !seen[1] || !seen[2] || !seen[3] || !seen[5])
        return pam.problem = unreadable("PAM", c.b, "its header lines do not read"), pam;
    if (values[2] < 1 || values[2] > 4)
        return pam.problem = unreadable("PAM", c.b, "DEPTH " + std::to_string(values[2]) + "; expected 1 to 4"), pam;
    if (values[3] < 1 || values[3] > 65535)
        return pam.problem = unreadable("PAM", c.b, "MAXVAL " + std::to_string(values[3]) + "; expected 1 to 65535"),
               pam;
    const int typeDepth = tupleTypeDepth(tupleType);
    if (typeDepth != 0 && typeDepth != values[2])
        return pam.problem = unreadable("PAM", c.b,
                                        "TUPLTYPE " + tupleType + " with DEPTH " + std::to_string(values[2]) +
                                            "; it has " + std::to_string(typeDepth) + " samples per pixel"),
               pam;
    pam.width = values[0];
    pam.height = values[1];
    pam.depth = int(values[2]);
    pam.largest = values[3];
    pam.dataStart = c.position;
    return pam;
}

// The bytes up to the next white space byte (at most 2048); false where a
// byte above 127 comes or the file ends first.
bool pfmToken(Cursor &c, std::string &token)
{
    while (token.size() < 2048) {
        const unsigned code = c.next();
        if (c.ended || code >= 128)
            return false;
        if (isSpace(code))
            break;
        token += char(code);
    }
    return true;
}

PfmLayout readPfmLayout(Cursor &c)
{
    PfmLayout pfm;
    if (c.b.at(2) != '\n')
        return pfm.problem = unreadable("PFM", c.b, "no line feed after the signature"), pfm;
    c.position = 3;
    std::string width, height, scale;
    if (!pfmToken(c, width) || !pfmToken(c, height) || !pfmToken(c, scale))
        return pfm.problem = unreadable("PFM", c.b, "its header is cut short or not ASCII"), pfm;
    pfm.width = atoiOf(width);
    pfm.height = atoiOf(height);
    pfm.scale = std::atof(scale.c_str());
    pfm.dataStart = c.position;
    return pfm;
}

ImageProblem readNetpbm(const Bytes &b, ImageHeader &header)
{
    Cursor c{b};
    const unsigned kind = b.at(1);
    if (kind == '7') {
        const PamLayout pam = readPamLayout(c);
        header.width = pam.width;
        header.height = pam.height;
        header.deep = pam.largest > 255;
        return pam.problem;
    }
    if (kind == 'f' || kind == 'F') {
        const PfmLayout pfm = readPfmLayout(c);
        header.width = pfm.width;
        header.height = pfm.height;
        header.deep = true;
        return pfm.problem;
    }
    c.position = 2;
    long long width = 0, height = 0, largest = 1;
    if (!readPnmNumber(c, width) || !readPnmNumber(c, height)
        || (kind != '1' && kind != '4' && !readPnmNumber(c, largest)))
        return unreadable("Netpbm", b, "its header does not read as numbers");
    if (largest < 1 || largest > 65535)
        return unreadable("Netpbm", b, "largest value " + std::to_string(largest) + "; expected 1 to 65535");
    header.width = width;
    header.height = height;
    header.deep = largest > 255;
    return {};
}

std::string declared(long long width, long long height)
{
    return "declares " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

} // namespace

const char *imageFormatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::png: return "PNG";
    case ImageFormat::jpeg: return "JPEG";
    case ImageFormat::tiff: return "TIFF";
    case ImageFormat::webp: return "WebP";
    case ImageFormat::bmp: return "BMP";
    case ImageFormat::netpbm: return "Netpbm";
    }
    return "";
}

std::string problemClause(const ImageProblem &problem)
{
    return problem.verb.empty() ? problem.text : problem.verb + " " + problem.text;
}

ImageProblem truncatedFileProblem(const char *format, long long size)
{
    return is("a truncated " + std::string(format) + " file " + bytesText(size) + ": its end is missing");
}

ImageProblem unreadableFileProblem(const char *format, long long size, const std::string &reason)
{
    return is("not a readable " + std::string(format) + " file " + bytesText(size) + ": " + reason);
}

ImageProblem jpegScanCountProblem(long long size)
{
    return is("a JPEG file " + bytesText(size) + " with more than " + std::to_string(largestJpegScanCount) +
              " scans, the limit for one image");
}

ImageProblem formatProblem(const unsigned char *data, long long size, long long wholeSize)
{
    const Bytes b{data, size};
    if (const char *refused = refusedFormat(b))
        return is("in a format the engine does not accept (" + std::string(refused) +
                  "); it accepts PNG, JPEG, TIFF, WebP, BMP and Netpbm images");
    ImageFormat format;
    if (acceptedFormat(b, format))
        return {};
    return {"could not be decoded:", (wholeSize < 0 ? "its first " + std::to_string(size) : std::to_string(wholeSize)) +
                                         " bytes in no format the image decoders read"};
}

ImageExtent imageExtent(const unsigned char *data, long long size)
{
    const Bytes b{data, size};
    ImageFormat format;
    if (!acceptedFormat(b, format))
        return {};
    auto broken = [](const char *name, const std::string &reason) {
        return ImageExtent{0, is("not a readable " + std::string(name) + " file: " + reason)};
    };
    switch (format) {
    case ImageFormat::png: {
        const PngStructure png = pngStructure(data, size);
        if (png.brokenAt != 0)
            return broken("PNG", "the bytes at offset " + std::to_string(png.brokenAt) + " are no chunk");
        return {png.end, {}};
    }
    case ImageFormat::jpeg: {
        const JpegStructure jpeg = jpegStructure(data, size);
        if (jpeg.strayBytes > largestJpegStrayBytes)
            return broken("JPEG", "more than " + std::to_string(largestJpegStrayBytes >> 20) +
                                      " MiB of its bytes lie outside its segments");
        const long long scanBound = jpeg.frameSamples * largestJpegScanBytesPerSample + jpegScanMargin;
        if (jpeg.frameSamples > 0 && jpeg.largestScan > scanBound)
            return broken("JPEG", "a scan holds more than the " + std::to_string(scanBound) +
                                      " bytes its frame's samples can take");
        return {jpeg.end, {}};
    }
    case ImageFormat::webp:
        return {b.has(0, 8) ? 8 + static_cast<long long>(b.le32(4)) : 0, {}};
    case ImageFormat::tiff: {
        // The first directory's offset: 32 bits at 4 (II or MM byte order), or
        // BigTIFF's 64 bits at 8; a directory inside the header is none.
        const bool big = b.at(2) == '+' || b.at(3) == '+';
        const long long field = big ? 8 : 4, width = big ? 8 : 4;
        if (!b.has(field, width))
            return {};
        unsigned long long offset = 0;
        for (long long i = 0; i < width; ++i)
            offset |= static_cast<unsigned long long>(b.at(field + (b.at(0) == 'I' ? i : width - 1 - i))) << (8 * i);
        if (offset < static_cast<unsigned long long>(field + width))
            return broken("TIFF", "its first directory at offset " + std::to_string(offset) + " lies in its header");
        return {};
    }
    case ImageFormat::netpbm: {
        // Only sides within the limits: the sizes below cannot overflow.
        auto within = [](long long width, long long height) {
            return width > 0 && height > 0 && width <= largestImageSide && height <= largestImageSide;
        };
        Cursor c{b};
        if (b.at(1) == '7') {
            const PamLayout pam = readPamLayout(c);
            if (pam.problem.text.empty() && within(pam.width, pam.height))
                return {pam.dataStart + pam.width * pam.height * pam.depth * (pam.largest > 255 ? 2 : 1), {}};
        } else if (b.at(1) == 'f' || b.at(1) == 'F') {
            const PfmLayout pfm = readPfmLayout(c);
            if (pfm.problem.text.empty() && within(pfm.width, pfm.height))
                return {pfm.dataStart + pfm.width * pfm.height * (b.at(1) == 'F' ? 12 : 4), {}};
        }
        return {};
    }
    case ImageFormat::bmp: return {};
    }
    return {};
}

ImageProbe probeImage(const unsigned char *data, long long size, JpegHeader jpeg)
{
    ImageProbe probe;
    probe.problem = formatProblem(data, size, size);
    if (!probe.problem.text.empty())
        return probe;
    const Bytes b{data, size};
    acceptedFormat(b, probe.header.format);
    ImageHeader &header = probe.header;
    switch (header.format) {
    case ImageFormat::png: probe.problem = readPng(b, header); break;
    case ImageFormat::jpeg:
        if (jpeg == JpegHeader::leftToDecoder)
            return probe;
        probe.problem = readJpeg(b, header);
        break;
    case ImageFormat::tiff: probe.problem = readTiff(b, header); break;
    case ImageFormat::webp: probe.problem = readWebp(b, header); break;
    case ImageFormat::bmp: probe.problem = readBmp(b, header); break;
    case ImageFormat::netpbm: probe.problem = readNetpbm(b, header); break;
    }
    if (probe.problem.text.empty() && (header.width <= 0 || header.height <= 0))
        probe.problem = sizeProblem(header);
    return probe;
}

ImageProblem sizeProblem(const ImageHeader &header)
{
    const long long width = header.width, height = header.height;
    if (width <= 0 || height <= 0)
        return {"", declared(width, height) + ", which is no image"};
    if (width > largestImageSide || height > largestImageSide)
        return {"", declared(width, height) + ", more than the " + std::to_string(largestImageSide) +
                        " (2^20) pixels a row or column may have"};
    const std::string limit = "the limit of " + std::to_string(largestImagePixels) + " (2^28) pixels per image";
    if (width > largestImagePixels / height)
        return {"", declared(width, height) + ", more than " + limit};
    if (width * height + header.bufferPixels <= largestImagePixels)
        return {};
    if (header.format == ImageFormat::jpeg)
        return {"", declared(width, height) + " in several scans, for which libjpeg holds " +
                        std::to_string(header.bufferPixels) + " coefficients; with them that is more than " + limit};
    return {"", declared(width, height) + " in tiles or strips of " + std::to_string(header.bufferPixels / 2) +
                    " pixels; with its decoder's buffers that is more than " + limit};
}

PamLayout pamLayout(const unsigned char *data, long long size)
{
    const Bytes b{data, size};
    Cursor c{b};
    return readPamLayout(c);
}

PfmLayout pfmLayout(const unsigned char *data, long long size)
{
    const Bytes b{data, size};
    Cursor c{b};
    return readPfmLayout(c);
}
