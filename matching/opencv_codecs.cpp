// SPDX-License-Identifier: GPL-3.0-or-later
// OpenCV's image codecs, for the formats the engine neither decodes nor encodes
// itself (TIFF, WebP, BMP and Netpbm P1-P6 in; results other than PNG, JPEG and
// PAM out). On POSIX systems this file is a module of its own that the engine
// loads on first use (codec_loading.cpp): linking OpenCV's codec library loads
// some hundred shared libraries behind it (GDAL, DICOM, HEIF and more), which
// cost more than a preview-sized request's whole work.
#include "matching/matching.h"

#include <opencv2/imgcodecs.hpp>

namespace {

bool decodeImage(const uchar *data, size_t size, cv::Mat &image)
{
    // A header over the request's own bytes: the encoded image is not copied.
    const cv::Mat encoded(1, int(size), CV_8U, const_cast<uchar *>(data));
    try {
        image = cv::imdecode(encoded, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception &) {
        image.release();
    }
    return !image.empty();
}

bool encodeImage(const std::string &extension, const cv::Mat &image, std::vector<uchar> &bytes,
                 std::string &reason)
{
    try {
        if (cv::imencode(extension, image, bytes) && !bytes.empty())
            return true;
        reason = "the encoder refused the image";
    } catch (const cv::Exception &e) {
        reason = e.err;
    }
    bytes.clear();
    return false;
}

bool canWrite(const std::string &extension)
{
    try {
        return cv::haveImageWriter(extension);
    } catch (const cv::Exception &) {
        return false;
    }
}

const OpenCVCodecs codecs{decodeImage, encodeImage, canWrite};

} // namespace

extern "C" const OpenCVCodecs *matchengineOpenCVCodecs()
{
    return &codecs;
}
