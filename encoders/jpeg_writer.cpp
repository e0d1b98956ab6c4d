// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG files through libjpeg directly, for the chroma subsampling and the
// density that OpenCV's encoder does not let a caller choose, encoded in
// stripes on all cores.
//
// Stripes: libjpeg encodes on one core, and its baseline scan is one run of
// entropy-coded data. Restart markers (RST0..RST7 in turn, with the DC
// predictions reset after each) cut it into intervals that are coded
// independently. Each stripe is a whole number of groups of 8 rows of blocks,
// encoded as a JPEG of its own with every row of blocks an interval; the
// stripes' scan data, joined with RST7 between them, continue one count of
// markers, and the first stripe's headers, with the full height, head them.
#include "encoders/encoders.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <jpeglib.h>

namespace {

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = "";
};

void jumpOut(j_common_ptr info)
{
    auto *errors = reinterpret_cast<JpegErrors *>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->jump, 1);
}

struct Compression {
    jpeg_compress_struct info{};
    JpegErrors errors{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    Compression()
    {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = jumpOut;
    }
    ~Compression()
    {
        jpeg_destroy_compress(&info); // nothing to do where it was never created
        std::free(buffer);
    }
};

// libjpeg's part. A failure leaves it by longjmp, so it makes no object that
// needs destroying: everything lives in the Compression made before.
bool runLibjpeg(Compression &c, const cv::Mat &image, const JpegOptions &options, bool restartEveryRow)
{
    if (setjmp(c.errors.jump) != 0)
        return false;
    jpeg_create_compress(&c.info);
    jpeg_mem_dest(&c.info, &c.buffer, &c.size);
    c.info.image_width = JDIMENSION(image.cols);
    c.info.image_height = JDIMENSION(image.rows);
    c.info.input_components = image.channels();
    c.info.in_color_space = image.channels() == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    jpeg_set_defaults(&c.info);
    jpeg_set_quality(&c.info, options.quality, TRUE);
    if (options.fullChroma)
        c.info.comp_info[0].h_samp_factor = c.info.comp_info[0].v_samp_factor = 1;
    c.info.restart_in_rows = restartEveryRow ? 1 : 0;
    if (options.xDpi > 0 && options.yDpi > 0) {
        c.info.density_unit = 1;
        c.info.X_density = UINT16(std::clamp(std::lround(options.xDpi), 1l, 65535l));
        c.info.Y_density = UINT16(std::clamp(std::lround(options.yDpi), 1l, 65535l));
    }
    jpeg_start_compress(&c.info, TRUE);
    while (c.info.next_scanline < c.info.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.ptr<uchar>(int(c.info.next_scanline)));
        jpeg_write_scanlines(&c.info, &row, 1);
    }
    jpeg_finish_compress(&c.info);
    return true;
}

std::vector<uchar> encodeRows(const cv::Mat &image, const JpegOptions &options, bool restartEveryRow)
{
    Compression c;
    if (!runLibjpeg(c, image, options, restartEveryRow))
        CV_Error(cv::Error::StsError, std::string("libjpeg could not encode the image: ") + c.errors.message);
    return std::vector<uchar>(c.buffer, c.buffer + c.size);
}

unsigned segmentLength(const std::vector<uchar> &jpeg, size_t at)
{
    return at + 4 <= jpeg.size() ? unsigned(jpeg[at + 2]) << 8 | jpeg[at + 3] : 0;
}

// Where the first marker segment of this kind starts (its 0xFF), looking only
// at the segments before the scan data; npos when there is none.
size_t segmentAt(const std::vector<uchar> &jpeg, uchar marker)
{
    for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF; at += 2 + segmentLength(jpeg, at))
        if (jpeg[at + 1] == marker)
            return at;
    return std::string::npos;
}

} // namespace

std::vector<uchar> encodeJpeg(const cv::Mat &image, const JpegOptions &options)
{
    if (image.empty() || image.depth() != CV_8U || (image.channels() != 3 && image.channels() != 4))
        CV_Error(cv::Error::StsBadArg, "a JPEG is written from an 8-bit image of 3 or 4 channels");
    const int blockRows = options.fullChroma ? 8 : 16;
    const int stripeUnit = 8 * blockRows;
    const int stripes = std::min(cv::getNumThreads(), image.rows / stripeUnit);
    if (stripes <= 1)
        return encodeRows(image, options, false);

    const int stripeRows = (image.rows / stripes + stripeUnit - 1) / stripeUnit * stripeUnit;
    std::vector<std::vector<uchar>> parts(size_t((image.rows + stripeRows - 1) / stripeRows));
    cv::parallel_for_(cv::Range(0, int(parts.size())), [&](const cv::Range &range) {
        for (int i = range.start; i < range.end; ++i)
            parts[size_t(i)] = encodeRows(image.rowRange(i * stripeRows, std::min(image.rows, (i + 1) * stripeRows)),
                                          options, true);
    });

    std::vector<uchar> joined = std::move(parts[0]);
    const size_t frame = segmentAt(joined, 0xC0);
    CV_Assert(frame != std::string::npos && joined.size() >= 2);
    joined[frame + 5] = uchar(image.rows >> 8);
    joined[frame + 6] = uchar(image.rows & 0xFF);
    joined.resize(joined.size() - 2); // its end-of-image marker
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::vector<uchar> &part = parts[i];
        const size_t scan = segmentAt(part, 0xDA);
        CV_Assert(scan != std::string::npos && part.size() >= scan + 2 + segmentLength(part, scan) + 2);
        joined.push_back(0xFF);
        joined.push_back(0xD7);
        joined.insert(joined.end(), part.begin() + long(scan + 2 + segmentLength(part, scan)), part.end() - 2);
    }
    joined.push_back(0xFF);
    joined.push_back(0xD9);
    return joined;
}
