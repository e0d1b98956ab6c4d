// SPDX-License-Identifier: GPL-3.0-or-later
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
// The image probe, which reads headers before decoding, has its own header:
// encoders/image_probe.h; so has the .cube LUT format: encoders/cube_format.h.
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
