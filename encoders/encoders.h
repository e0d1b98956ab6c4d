// The image writers shared by the engine and colormatch, PNG and JPEG on all
// cores. Depends on OpenCV core, zlib and libjpeg.
//
// PNG: rows filtered adaptively and the zlib stream deflated in parallel
// chunks (zlib's run-length strategy, each chunk primed with the 32 KiB before
// it and ended on a byte boundary, the checksums combined), so that the chunks
// join into one valid stream. Readers see the same pixels, colour type and bit
// depth as cv::imencode writes; only the compressed bytes differ.
//
// PAM: Netpbm's own layout (R, G, B order, a TUPLTYPE line), for hosts that
// read the pixels back.
//
// JPEG: baseline, encoded in stripes joined by restart markers. Decoded, it
// gives the pixels of one libjpeg encoding with the same settings (with
// cv::imencode's at its quality and 4:2:0 chroma).
//
// Also the bounds both programs hold encoded images to before decoding them.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// The PNG file of an image: grey, RGB or RGBA of its depth. chunkRows is the
// number of rows deflated as one piece of work (0: about 1 MiB of samples);
// the pieces run on OpenCV's threads. level -1 is zlib's level 1 with its
// run-length strategy, the fast choice for photographs; 0 to 9 are zlib's own
// levels with its strategy for filtered data, for a person who asks for one,
// and 9 keeps, piece by piece, whichever of that and the level -1 coding is
// smaller, so that it is never larger than level -1. Throws
// cv::Exception for an image other than 8- or 16-bit with 1 (grey), 3 (B, G,
// R) or 4 (B, G, R, alpha) channels, and when zlib fails.
std::vector<uchar> encodePng(const cv::Mat &image, int chunkRows = 0, int level = -1);

struct JpegOptions {
    int quality = 95;        // libjpeg's 1 to 100
    bool fullChroma = false; // 4:4:4 instead of 4:2:0
    double xDpi = 0;         // the density stored when both are positive
    double yDpi = 0;
};
// The JPEG file of an 8-bit B, G, R image (a fourth channel, alpha, is not
// stored). Throws cv::Exception for any other image and when libjpeg fails.
std::vector<uchar> encodeJpeg(const cv::Mat &image, const JpegOptions &options);

// The PAM file of an 8- or 16-bit image of 1 (grey), 2 (grey, alpha), 3 (B,
// G, R) or 4 (B, G, R, alpha) channels. Throws cv::Exception for any other
// image.
std::vector<uchar> encodePam(const cv::Mat &image);

// ---- Bounds on what the decoders are given, held by both programs before
// any decoder or metadata reader sees an image.

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

// How a JPEG's segments end: `complete` when its end-of-image marker follows
// its last scan (bytes after it, such as a phone's trailer, are not the
// image's), and how many scans come before it.
struct JpegStructure {
    bool complete = false;
    int scans = 0;
};
JpegStructure jpegStructure(const uchar *data, long long size);
// Whether a PNG's chunks, followed by their lengths, lead to its IEND chunk (a
// file cut short, or a chunk that declares more bytes than follow, does not).
bool pngReachesItsEnd(const uchar *data, long long size);
// Why a PNG's ancillary chunks are over the limits above (in words, for an
// error line), or empty. Compressed chunks are inflated only up to the limit.
std::string pngAncillaryProblem(const uchar *data, long long size);
