// SPDX-License-Identifier: GPL-3.0-or-later
// Uncompressed results for a host that reads the pixels straight back
// (colormatch), and colormatch's converted inputs to the engine. Netpbm's PAM,
// its header as the host library writes it, then the rows, samples in R, G,
// B[, A] order (16-bit ones big-endian), no padding.
// Every reader (Netpbm, image editors, the engine) takes the samples in that
// order; OpenCV's own encoder writes B, G, R and no TUPLTYPE.
#include "encoders/encoders.h"
#include "host/host.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>

std::vector<uchar> encodePam(const cv::Mat &image)
{
    if (image.empty() || (image.depth() != CV_8U && image.depth() != CV_16U) || image.channels() > 4)
        CV_Error(cv::Error::StsBadArg, "a PAM file is written from a non-empty 8- or 16-bit image of 1 to 4 channels");
    const bool wide = image.depth() == CV_16U;
    char headerText[hostPamHeaderCapacity];
    const std::string header(headerText, hostPamHeader(headerText, image.cols, image.rows, image.channels(),
                                                       wide ? 16 : 8));
    std::vector<uchar> file(header.size() + image.total() * image.elemSize());
    std::copy(header.begin(), header.end(), file.begin());
    // The samples go straight into the file, turned to R, G, B by the colour
    // conversion where they are colour.
    cv::Mat samples(image.size(), image.type(), file.data() + header.size());
    switch (image.channels()) {
    case 3: cv::cvtColor(image, samples, cv::COLOR_BGR2RGB); break;
    case 4: cv::cvtColor(image, samples, cv::COLOR_BGRA2RGBA); break;
    default: image.copyTo(samples);
    }
    CV_Assert(samples.data == file.data() + header.size());
    if (wide) {
        uchar *bytes = samples.data;
        const size_t count = samples.total() * samples.channels();
        cv::parallel_for_(cv::Range(0, int((count + 65535) / 65536)), [&](const cv::Range &range) {
            for (size_t i = size_t(range.start) * 65536; i < std::min(count, size_t(range.end) * 65536); ++i)
                std::swap(bytes[2 * i], bytes[2 * i + 1]);
        });
    }
    return file;
}
