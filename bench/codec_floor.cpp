// SPDX-License-Identifier: GPL-3.0-or-later
// The codec floor of a request: what any program must spend on it with the
// same OpenCV. Reads the framed request from standard input, decodes both
// images as the engine does (unchanged depth and channels), encodes the
// decoded target with OpenCV (PNG compression 5, the engine's parameter before
// it had its own PNG writer and the yardstick of its targets; JPEG quality 99,
// the engine's) and writes it to standard output. Nothing else.
//
// Usage: matchengine_codec_floor png|jpg < request > encoded
// Request: [ignored int32][TL int32][TL bytes][RL int32][RL bytes], big-endian.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int bigEndianAt(const std::vector<unsigned char> &bytes, size_t offset)
{
    if (offset + 4 > bytes.size())
        return -1;
    return static_cast<int>((static_cast<unsigned>(bytes[offset]) << 24) | (bytes[offset + 1] << 16)
                            | (bytes[offset + 2] << 8) | bytes[offset + 3]);
}

std::vector<unsigned char> readStandardInput()
{
    std::vector<unsigned char> bytes;
    size_t size = 0;
    for (;;) {
        bytes.resize(size + (1 << 20));
        const size_t got = std::fread(bytes.data() + size, 1, 1 << 20, stdin);
        size += got;
        if (got == 0)
            break;
    }
    bytes.resize(size);
    return bytes;
}

cv::Mat decodeAt(const std::vector<unsigned char> &request, size_t offset, int length)
{
    const cv::Mat encoded(1, length, CV_8U, const_cast<unsigned char *>(request.data() + offset));
    return cv::imdecode(encoded, cv::IMREAD_UNCHANGED);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || (std::strcmp(argv[1], "png") != 0 && std::strcmp(argv[1], "jpg") != 0)) {
        std::fprintf(stderr, "usage: %s png|jpg < request > encoded\n", argv[0]);
        return 64;
    }
    const bool png = std::strcmp(argv[1], "png") == 0;

    const std::vector<unsigned char> request = readStandardInput();
    const int targetLength = bigEndianAt(request, 4);
    if (targetLength <= 0 || 8 + static_cast<size_t>(targetLength) > request.size()) {
        std::fprintf(stderr, "bad target length\n");
        return 65;
    }
    const size_t referenceOffset = 8 + static_cast<size_t>(targetLength);
    const int referenceLength = bigEndianAt(request, referenceOffset);
    if (referenceLength <= 0 || referenceOffset + 4 + static_cast<size_t>(referenceLength) > request.size()) {
        std::fprintf(stderr, "bad reference length\n");
        return 65;
    }

    const cv::Mat target = decodeAt(request, 8, targetLength);
    const cv::Mat reference = decodeAt(request, referenceOffset + 4, referenceLength);
    if (target.empty() || reference.empty()) {
        std::fprintf(stderr, "an image did not decode\n");
        return 65;
    }

    std::vector<unsigned char> encoded;
    const std::vector<int> parameters = png ? std::vector<int>{cv::IMWRITE_PNG_COMPRESSION, 5}
                                            : std::vector<int>{cv::IMWRITE_JPEG_QUALITY, 99};
    if (!cv::imencode(png ? ".png" : ".jpg", target, encoded, parameters)) {
        std::fprintf(stderr, "encoding failed\n");
        return 70;
    }
    if (std::fwrite(encoded.data(), 1, encoded.size(), stdout) != encoded.size())
        return 74;
    return 0;
}
