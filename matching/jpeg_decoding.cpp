// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG intake in one pass of libjpeg: its own header reading gives the size
// that is checked before any pixel memory exists, and its own warnings decide
// whether the compressed data is complete. libjpeg carries on past missing or
// corrupt data (a stray byte between segments, a cut scan, an end marker
// appended to half a file), filling in grey; the engine refuses instead.
// The pixels are those cv::imdecode gives: the same library, the same default
// DCT and upsampling, B, G, R output, grey kept as one channel, and CMYK
// converted as OpenCV converts it.
#include "matching/matching.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace {

struct JpegFailure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    int code = 0;
    char message[JMSG_LENGTH_MAX] = "";
};

void jpegFailed(j_common_ptr info)
{
    auto *failure = reinterpret_cast<JpegFailure *>(info->err);
    failure->code = info->err->msg_code;
    info->err->format_message(info, failure->message);
    std::longjmp(failure->jump, 1);
}

// Each scan of a progressive JPEG is a pass over all its coefficients: the
// count is checked as libjpeg reads them, before the next pass.
constexpr int tooManyScans = -1;

void checkScanCount(j_common_ptr info)
{
    if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number <= largestJpegScanCount)
        return;
    auto *failure = reinterpret_cast<JpegFailure *>(info->err);
    failure->code = tooManyScans;
    std::longjmp(failure->jump, 1);
}

// Level -1 is a warning: corrupt or missing data that libjpeg would paper over.
void jpegMessage(j_common_ptr info, int level)
{
    if (level < 0)
        jpegFailed(info);
}

struct JpegDecoding {
    jpeg_decompress_struct info;
    JpegFailure failure;
    jpeg_progress_mgr progress{};
    cv::Mat image;
    qint64 width = 0;
    qint64 height = 0;
    qint64 coefficients = 0; // held for the whole image when it has several scans
    std::vector<uchar> cmykRow;
    JpegDecoding()
    {
        info.err = jpeg_std_error(&failure.manager);
        failure.manager.error_exit = jpegFailed;
        failure.manager.emit_message = jpegMessage;
        jpeg_create_decompress(&info);
        progress.progress_monitor = checkScanCount;
        info.progress = &progress;
    }
    ~JpegDecoding() { jpeg_destroy_decompress(&info); }
};

// OpenCV's CMYK to B, G, R (libjpeg's CMYK is as Adobe writes it, inverted).
void cmykRowToBgr(const uchar *cmyk, uchar *bgr, int width)
{
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = uchar(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = uchar(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = uchar(k - ((255 - cmyk[2]) * k >> 8));
    }
}

enum class Outcome { decoded, failed, overLimit };

// libjpeg's part. A failure leaves it by longjmp, so it makes no object that
// needs destroying: everything lives in the JpegDecoding made before.
Outcome runLibjpeg(JpegDecoding &d, const QByteArray &bytes)
{
    if (setjmp(d.failure.jump) != 0)
        return Outcome::failed;
    jpeg_mem_src(&d.info, reinterpret_cast<const unsigned char *>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d.info, TRUE);
    d.width = d.info.image_width;
    d.height = d.info.image_height;
    if (d.width <= 0 || d.height <= 0 || d.width > maximumImageSide || d.height > maximumImageSide
        || d.width * d.height > maximumImagePixels)
        return Outcome::overLimit;
    // A progressive or multi-scan JPEG makes libjpeg buffer every DCT
    // coefficient of the image; they count against the limit like pixels.
    if (jpeg_has_multiple_scans(&d.info))
        for (int i = 0; i < d.info.num_components; ++i)
            d.coefficients += qint64(d.info.comp_info[i].width_in_blocks) * d.info.comp_info[i].height_in_blocks * 64;
    if (d.width * d.height + d.coefficients > maximumImagePixels)
        return Outcome::overLimit;
    const bool cmyk = d.info.num_components == 4;
    d.info.out_color_space = cmyk ? JCS_CMYK : d.info.num_components > 1 ? JCS_EXT_BGR : JCS_GRAYSCALE;
    jpeg_start_decompress(&d.info);
    const int channels = cmyk ? 3 : int(d.info.output_components);
    d.image.create(int(d.info.output_height), int(d.info.output_width), CV_8UC(channels));
    if (cmyk) {
        d.cmykRow.resize(size_t(d.info.output_width) * 4);
        JSAMPROW rows[] = {d.cmykRow.data()};
        while (d.info.output_scanline < d.info.output_height) {
            const int y = int(d.info.output_scanline);
            jpeg_read_scanlines(&d.info, rows, 1);
            cmykRowToBgr(d.cmykRow.data(), d.image.ptr<uchar>(y), d.image.cols);
        }
    } else {
        // Straight into the image, as many rows at a time as libjpeg gives.
        JSAMPROW rows[16];
        while (d.info.output_scanline < d.info.output_height) {
            const int y = int(d.info.output_scanline);
            const int count = std::min<int>(16, d.image.rows - y);
            for (int i = 0; i < count; ++i)
                rows[i] = d.image.ptr<uchar>(y + i);
            jpeg_read_scanlines(&d.info, rows, JDIMENSION(count));
        }
    }
    // Reads on to the end marker: a file that stops early warns here.
    jpeg_finish_decompress(&d.info);
    return Outcome::decoded;
}

} // namespace

cv::Mat decodeJpeg(const QByteArray &bytes, const char *which)
{
    const auto decoding = std::make_unique<JpegDecoding>();
    const Outcome outcome = runLibjpeg(*decoding, bytes);
    if (outcome == Outcome::overLimit)
        refuseImage(which, sizeProblem({ImageFormat::jpeg, decoding->width, decoding->height, decoding->coefficients}));
    if (outcome == Outcome::failed) {
        const int code = decoding->failure.code;
        if (code == tooManyScans)
            refuseImage(which, jpegScanCountProblem(bytes.size()));
        const std::string reason = std::string("libjpeg: ") + decoding->failure.message;
        if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) {
            ImageProblem truncated = truncatedFileProblem("JPEG", bytes.size());
            truncated.text += " (" + reason + ")";
            refuseImage(which, truncated);
        }
        refuseImage(which, unreadableFileProblem("JPEG", bytes.size(), reason));
    }
    return decoding->image;
}
