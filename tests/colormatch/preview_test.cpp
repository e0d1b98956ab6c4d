// The side-by-side preview, on plain coloured pictures of different shapes.
#include "colormatch/colormatch.h"

#include "support/test_support.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cmath>

TEST(ColormatchPreview, ThreePicturesAtOneHeightFillingTheWidth)
{
    const cv::Mat target(30, 40, CV_8UC3, cv::Scalar(0, 0, 200));    // landscape, red
    const cv::Mat reference(40, 20, CV_8UC3, cv::Scalar(0, 200, 0)); // portrait, green
    const cv::Mat result(30, 60, CV_8UC3, cv::Scalar(200, 0, 0));    // wide, blue
    const int width = 300;
    const cv::Mat preview = composePreview(target, reference, result, width);

    // h = 300 / (40/30 + 20/40 + 60/30) = 78.26..., each width w * h / rows, the last one taking the rest.
    const int height = int(std::lround(300.0 / (40.0 / 30.0 + 20.0 / 40.0 + 60.0 / 30.0)));
    const int first = int(std::lround(40.0 * height / 30.0));
    const int second = int(std::lround(20.0 * height / 40.0));
    ASSERT_EQ(preview.type(), CV_8UC3);
    ASSERT_EQ(preview.rows, height);
    ASSERT_EQ(preview.cols, width);
    EXPECT_LE(std::abs(width - first - second - 60.0 * height / 30.0), 2.0);

    auto panel = [&](int from, int to) { return cv::mean(preview(cv::Range::all(), cv::Range(from, to))); };
    const cv::Scalar red = panel(0, first);
    const cv::Scalar green = panel(first, first + second);
    const cv::Scalar blue = panel(first + second, width);
    EXPECT_NEAR(red[2], 200, 0.5);
    EXPECT_NEAR(red[1], 0, 0.5);
    EXPECT_NEAR(green[1], 200, 0.5);
    EXPECT_NEAR(green[0], 0, 0.5);
    EXPECT_NEAR(blue[0], 200, 0.5);
    EXPECT_NEAR(blue[2], 0, 0.5);
}

TEST(ColormatchPreview, SmallPicturesAreEnlargedAndPhotographsDecoded)
{
    const cv::Mat tiny(2, 2, CV_8UC3, cv::Scalar(10, 20, 30));
    const cv::Mat preview = composePreview(tiny, tiny, tiny, 1200);
    EXPECT_EQ(preview.cols, 1200);
    EXPECT_EQ(preview.rows, 400);

    const cv::Mat photo = decodeColourImage(testing_support::readFileBytes(testing_support::samplePath("rocket.jpg")));
    ASSERT_FALSE(photo.empty());
    EXPECT_EQ(photo.type(), CV_8UC3);
    EXPECT_TRUE(decodeColourImage(QByteArray("no image")).empty());
    EXPECT_TRUE(decodeColourImage(QByteArray()).empty());
}
