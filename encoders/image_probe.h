// SPDX-License-Identifier: GPL-3.0-or-later
// The image probe, shared by the engine and colormatch: an encoded image's
// format told by its signature and its header read before any decoder sees
// it, with the reading that decoder uses (the codec libraries' own header
// readers for PNG, JPEG, TIFF and WebP; OpenCV's header rules for BMP and the
// Netpbm family), and the bounds both programs hold images to. What it finds
// wrong comes back in words that each program puts into its own error.
// Depends on libpng, libjpeg, libtiff, libwebp and zlib; no Qt.
#pragma once

#include <string>

// ---- Bounds on what the decoders are given, held before any decoder or
// metadata reader sees an image.

// The most pixels one image may have, and the most in one row or column (the
// decoders' own limit).
constexpr long long largestImagePixels = 1LL << 28;
constexpr long long largestImageSide = 1LL << 20;
// A progressive JPEG makes its decoder pass over every coefficient once per
// scan; encoders write about ten.
constexpr int largestJpegScanCount = 100;
// PNG readers keep each text chunk and inflate the compressed ones (and the
// colour profile) in full.
constexpr int largestPngAncillaryChunks = 1000;
constexpr long long largestPngInflatedText = 16LL << 20;

// ---- The probe

// The formats the engine decodes. Every other format is refused by name.
enum class ImageFormat { png, jpeg, tiff, webp, bmp, netpbm };
// "PNG", "JPEG", "TIFF", "WebP", "BMP" or "Netpbm".
const char *imageFormatName(ImageFormat format);

// Why an image is refused; no problem when `text` is empty. `text` reads
// after the image's name and a colon ("a truncated PNG file (120 bytes): its
// end is missing", "declares 40000 x 40000 pixels, more than ..."); `verb`
// joins it to the name in a sentence without one ("is", "could not be
// decoded:", or nothing before "declares").
struct ImageProblem {
    std::string verb;
    std::string text;
};
// What follows the image's name in a sentence: "is a truncated PNG file ...".
std::string problemClause(const ImageProblem &problem);

// What a header declares: the image, and the other buffers its decoder sizes
// from the header, in pixels: a TIFF's two tile or strip buffers, the
// coefficients libjpeg holds for a JPEG in several scans.
struct ImageHeader {
    ImageFormat format = ImageFormat::png;
    long long width = 0; // 0 x 0 for a JPEG whose header is left to its decoder
    long long height = 0;
    long long bufferPixels = 0;
    bool deep = false;   // samples of more than 8 bits: 16-bit PNG, TIFF, Netpbm; float PFM or TIFF
};

struct ImageProbe {
    ImageHeader header;   // as far as it was read
    ImageProblem problem; // a format not accepted, a file cut short, a header that does not read
};

// The most bytes a signature takes: DICOM's sits behind a 128-byte preamble.
constexpr long long imageSignatureLength = 132;
// Why an image is refused for its format alone, from its first bytes (at
// least imageSignatureLength of them, or all it has): a format the engine does
// not accept, or none; no problem when it begins like an accepted format.
// `wholeSize` is the image's size, or -1 where only its first bytes are known
// (a reader refusing a stream before it ends).
ImageProblem formatProblem(const unsigned char *data, long long size, long long wholeSize);

// Bytes a JPEG may hold outside its segments, and the entropy-coded bytes one
// scan may hold for each sample its frame declares (twice the most that
// Huffman codes, stuffed bytes and restart markers can take) plus a margin.
constexpr long long largestJpegStrayBytes = 1LL << 20;
constexpr long long largestJpegScanBytesPerSample = 16;
constexpr long long jpegScanMargin = 1LL << 16;

// How far an image read from a stream reaches, judged from the `size` bytes
// that have arrived: `end`, the whole image's size, once its structure tells
// it (PNG's IEND chunk, JPEG's end-of-image marker, WebP's RIFF size, PAM's
// and PFM's headers), else 0; a problem as soon as those bytes can no longer
// be an image of their format (a PNG chunk header that is none, a TIFF whose
// first directory would lie in its header, a JPEG over the bounds above). A
// reader of a pipe or device stops at `end` and refuses a problem at once, so
// that a device that never ends is not read to the size limit.
struct ImageExtent {
    long long end = 0;
    ImageProblem problem;
};
ImageExtent imageExtent(const unsigned char *data, long long size);

// JPEG's header is read by its decoder in the same pass as its pixels (the
// engine), or here, with libjpeg, after its segments are checked for their
// end and their scan count (colormatch).
enum class JpegHeader { leftToDecoder, read };

// Reads the header of an encoded image (not empty). Refuses formats the
// engine does not accept, bytes in no format, files cut short (PNG without
// its end chunk, WebP shorter than its RIFF size, with `read` a JPEG without
// its end marker), PNG ancillary chunks and JPEG scans over the limits, a
// header that does not read and one that declares no pixels. The size limits
// are sizeProblem's.
ImageProbe probeImage(const unsigned char *data, long long size, JpegHeader jpeg);
// Why a declared size is no image or over the limits above (side, pixels, and
// pixels with the decoder's buffers); empty text when it is within them.
ImageProblem sizeProblem(const ImageHeader &header);

// The problems of a decoder that finds the file shorter than its header says,
// or unreadable for `reason`, and of a JPEG in too many scans.
ImageProblem truncatedFileProblem(const char *format, long long size);
ImageProblem unreadableFileProblem(const char *format, long long size, const std::string &reason);
ImageProblem jpegScanCountProblem(long long size);

// The headers of the two Netpbm kinds the engine decodes itself, for their
// decoders: PAM (P7) and PFM (PF, Pf). Sizes are not checked here.
struct PamLayout {
    long long width = 0;
    long long height = 0;
    int depth = 0;           // samples per pixel, 1 to 4
    long long largest = 0;   // MAXVAL, 1 to 65535
    long long dataStart = 0; // the first sample's offset
    ImageProblem problem;
};
PamLayout pamLayout(const unsigned char *data, long long size);
struct PfmLayout {
    long long width = 0;
    long long height = 0;
    double scale = 0;        // its size scales the samples down; its sign gives the byte order
    long long dataStart = 0; // the first sample's offset
    ImageProblem problem;
};
PfmLayout pfmLayout(const unsigned char *data, long long size);

// ---- The structure behind the probe's refusals (decoding_limits.cpp)

// How a JPEG's segments end: `complete` when its end-of-image marker follows
// its last scan (bytes after it, such as a phone's trailer, are not the
// image's), `end` the offset just past that marker, and how many scans come
// before it. What a stream that never ends would show: `strayBytes` outside
// any segment (fill bytes after the first included), which libjpeg skips
// however many there are, and `largestScan`, the most entropy-coded bytes of
// one scan, against `frameSamples`, the samples its frame declares (0 before
// the frame, or when its height follows the scan).
struct JpegStructure {
    bool complete = false;
    int scans = 0;
    long long end = 0;
    long long strayBytes = 0;
    long long largestScan = 0;
    long long frameSamples = 0;
};
JpegStructure jpegStructure(const unsigned char *data, long long size);
// How a PNG's chunks, followed by their lengths, lead to its IEND chunk: `end`
// the offset past IEND's CRC once IEND's header is found (0 for a file cut
// short, or a chunk that declares more bytes than follow), `brokenAt` the
// offset of the first chunk header that is none (a length over 2^31 - 1, or
// a type that is not four ASCII letters), 0 if none.
struct PngStructure {
    long long end = 0;
    long long brokenAt = 0;
};
PngStructure pngStructure(const unsigned char *data, long long size);
// Why a PNG's ancillary chunks are over the limits above (in words, for an
// error line), or empty. Compressed chunks are inflated only up to the limit.
std::string pngAncillaryProblem(const unsigned char *data, long long size);
