// Uncompressed results for a host that reads the pixels straight back
// (colormatch): the bytes OpenCV's PAM encoder writes, without its growing
// buffer, which took three times as long as a copy.
//   P7, WIDTH, HEIGHT, DEPTH (channels) and MAXVAL 255 lines, ENDHDR, then
//   the rows, samples in the image's own order (B, G, R[, A]), no padding.
#include "encoders/encoders.h"

#include <string>

std::vector<uchar> encodePam(const cv::Mat &image)
{
    if (image.empty() || image.depth() != CV_8U)
        CV_Error(cv::Error::StsBadArg, "a PAM file is written from a non-empty 8-bit image");
    const std::string header = "P7\nWIDTH " + std::to_string(image.cols) + "\nHEIGHT " + std::to_string(image.rows)
        + "\nDEPTH " + std::to_string(image.channels()) + "\nMAXVAL 255\nENDHDR\n";
    const size_t rowBytes = image.cols * image.elemSize();
    std::vector<uchar> file;
    file.reserve(header.size() + rowBytes * size_t(image.rows));
    file.insert(file.end(), header.begin(), header.end());
    for (int y = 0; y < image.rows; ++y)
        file.insert(file.end(), image.ptr<uchar>(y), image.ptr<uchar>(y) + rowBytes);
    return file;
}
