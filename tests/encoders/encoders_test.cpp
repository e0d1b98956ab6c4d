// SPDX-License-Identifier: GPL-3.0-or-later
// The writers against OpenCV's encoders and reader (libpng, as Qt's and the
// engine's own PNG decoding are).
#include "encoders/encoders.h"
#include "matching/matching.h"

#include "support/test_support.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

bool samePixels(const cv::Mat &a, const cv::Mat &b)
{
    return a.type() == b.type() && a.size() == b.size() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

cv::Mat noise(int rows, int cols, int type)
{
    cv::Mat image(rows, cols, type);
    cv::randu(image, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
    return image;
}

} // namespace

// Whatever the chunking, the pixels written, with OpenCV's header (size, depth, colour type).
TEST(PngWriter, ReadsBackAsTheImageWithOpenCvsHeader)
{
    // Between them, noise and gradients make rows choose every filter type.
    cv::Mat smooth;
    cv::resize(noise(4, 5, CV_8UC3), smooth, cv::Size(1000, 800), 0, 0, cv::INTER_LINEAR);
    // A one-pixel-wide grey column of 0, 0, 0, 7 repeated: in chunks of four rows
    // every seam is preceded by a 7 and followed by zeros, so a deflater primed
    // with the wrong bytes would copy a run from the wrong place.
    const cv::Mat seams = cv::repeat(cv::Mat((cv::Mat_<uchar>(4, 1) << 0, 0, 0, 7)), 4, 1);
    const struct {
        const char *name;
        cv::Mat image;
        int chunkRows;
    } cases[] = {
        {"colour, 7 rows in chunks of 3", noise(7, 13, CV_8UC3), 3},
        {"colour with alpha, a chunk per row", noise(4, 5, CV_8UC4), 1},
        {"grey, one chunk", noise(9, 17, CV_8UC1), 0},
        {"16-bit colour", noise(5, 6, CV_16UC3), 2},
        {"16-bit grey", noise(3, 4, CV_16UC1), 2},
        {"1 x 1", noise(1, 1, CV_8UC3), 0},
        {"one column", noise(40, 1, CV_8UC3), 7},
        {"runs across seams", seams, 4},
        {"smooth, default chunks of 349 rows", smooth, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uchar> file = encodePng(c.image, c.chunkRows);
        EXPECT_TRUE(samePixels(cv::imdecode(file, cv::IMREAD_UNCHANGED), c.image));
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(file.data()), 33), encoded(c.image).left(33));
    }
    EXPECT_THROW(::encodePng(cv::Mat(2, 2, CV_32FC3, cv::Scalar::all(0.5))), cv::Exception);
    EXPECT_THROW(::encodePng(cv::Mat(2, 2, CV_8UC2, cv::Scalar::all(1))), cv::Exception);
}

// As many stripes as OpenCV has threads, read by the engine's JPEG decoder,
// which refuses restart markers out of turn: 4:2:0 as OpenCV encodes it at
// the same quality; 4:4:4, which OpenCV cannot write, close to the image.
TEST(JpegWriter, StripesDecodeAsOneEncoding)
{
    cv::Mat smooth;
    cv::resize(noise(6, 8, CV_8UC3), smooth, cv::Size(300, 600), 0, 0, cv::INTER_CUBIC);
    cv::Mat withAlpha;
    cv::cvtColor(smooth, withAlpha, cv::COLOR_BGR2BGRA);
    withAlpha.col(0).setTo(cv::Scalar(1, 2, 3, 0));
    const struct {
        const char *name;
        cv::Mat image;
        bool fullChroma;
    } cases[] = {
        // Stripes hold a multiple of 128 rows at 4:2:0, of 64 at 4:4:4.
        {"4:2:0, stripes of 384 rows on two threads", smooth, false},
        {"4:2:0, exactly two stripes", smooth.rowRange(0, 256), false},
        {"4:2:0, one stripe", smooth.rowRange(0, 255), false},
        {"4:4:4 with alpha, stripes of 192 rows on two threads", withAlpha.rowRange(0, 300), true},
        {"4:4:4, 1 x 1", smooth(cv::Rect(5, 5, 1, 1)).clone(), true},
        {"4:2:0, one row", smooth.row(7).clone(), false},
        {"4:2:0, one column", smooth.col(7).clone(), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uchar> file = encodeJpeg(c.image, {90, c.fullChroma, 0, 0});
        cv::Mat decoded;
        ASSERT_NO_THROW(decoded = decodeJpeg(QByteArray(reinterpret_cast<const char *>(file.data()), int(file.size())),
                                             "striped"));
        ASSERT_EQ(decoded.size(), c.image.size());
        cv::Mat colours = c.image;
        if (c.image.channels() == 4)
            cv::cvtColor(c.image, colours, cv::COLOR_BGRA2BGR);
        EXPECT_LT(cv::norm(decoded, colours, cv::NORM_L1) / double(colours.total() * 3), 2.0);
        if (!c.fullChroma)
            EXPECT_TRUE(samePixels(decoded, decodeBytes(encoded(c.image, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 90}))));
    }
    EXPECT_THROW(::encodeJpeg(cv::Mat(2, 2, CV_8UC1, cv::Scalar::all(1)), JpegOptions()), cv::Exception);
}

// PAM as Netpbm lays it out, read back by the engine's intake as the image it
// was written from: every depth and channel count, a region with gaps.
TEST(PamWriter, WritesNetpbmsLayoutThatTheEngineReadsBack)
{
    const cv::Mat pixel(1, 2, CV_8UC3, cv::Scalar(1, 2, 3));
    const std::vector<uchar> file = encodePam(pixel);
    EXPECT_EQ(std::string(file.begin(), file.end()),
              std::string("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n\3\2\1\3\2\1"));

    const cv::Mat colour = noise(5, 7, CV_8UC3);
    cv::Mat deep;
    noise(3, 4, CV_8UC4).convertTo(deep, CV_16U, 257.0, 3.0);
    for (const cv::Mat &image : {colour, cv::Mat(noise(3, 4, CV_8UC4)), cv::Mat(noise(2, 3, CV_8UC1)),
                                 cv::Mat(noise(2, 3, CV_8UC2)), cv::Mat(1, 1, CV_16UC2, cv::Scalar(0x0102, 0xfffe)), deep,
                                 cv::Mat(colour(cv::Rect(1, 1, 4, 3)))}) {
        SCOPED_TRACE(testing::Message() << image.channels() << " channels, depth " << image.depth() << ", "
                                        << image.cols << " wide");
        const std::vector<uchar> written = encodePam(image);
        const cv::Mat read = decodeImageBytes(QByteArray(reinterpret_cast<const char *>(written.data()), int(written.size())),
                                              "target").getMat(cv::ACCESS_READ).clone();
        ASSERT_EQ(read.type(), image.type());
        EXPECT_EQ(cv::norm(read, image, cv::NORM_INF), 0.0);
    }
    EXPECT_THROW(::encodePam(cv::Mat(2, 2, CV_32FC3, cv::Scalar::all(1))), cv::Exception);
}
