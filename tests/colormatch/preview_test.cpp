// The side-by-side preview, on plain coloured pictures of different shapes.
#include "colormatch/colormatch.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(ColormatchPreview, ThreePicturesAtOneHeightFillingTheWidth)
{
    const cv::Scalar red(0, 0, 200), green(0, 200, 0), blue(200, 0, 0);
    // Landscape, portrait and wide: h = 300 / (40/30 + 20/40 + 60/30) = 78.26..., each
    // picture w * h / rows wide, the last one taking the rest.
    const cv::Mat preview = composePreview(cv::Mat(30, 40, CV_8UC3, red), cv::Mat(40, 20, CV_8UC3, green),
                                           cv::Mat(30, 60, CV_8UC3, blue), 300);
    const int height = int(std::lround(300.0 / (40.0 / 30.0 + 20.0 / 40.0 + 60.0 / 30.0)));
    const int first = int(std::lround(40.0 * height / 30.0));
    const int second = int(std::lround(20.0 * height / 40.0));
    ASSERT_EQ(preview.type(), CV_8UC3);
    ASSERT_EQ(preview.size(), cv::Size(300, height));
    const std::pair<cv::Range, cv::Scalar> panels[] = {
        {cv::Range(0, first), red}, {cv::Range(first, first + second), green}, {cv::Range(first + second, 300), blue}};
    for (const auto &[columns, colour] : panels) {
        const cv::Scalar shown = cv::mean(preview.colRange(columns));
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(shown[c], colour[c], 0.5) << "panel from column " << columns.start << ", channel " << c;
    }

    // Small pictures are enlarged.
    const cv::Mat tiny(2, 2, CV_8UC3, cv::Scalar(10, 20, 30));
    EXPECT_EQ(composePreview(tiny, tiny, tiny, 1200).size(), cv::Size(1200, 400));

    // Photographs are decoded for it; anything else gives nothing.
    const QByteArray rocket = testing_support::readFileBytes(testing_support::samplePath("rocket.jpg"));
    const cv::Mat photo = decodeForViewing(rocket, readImageMetadata(rocket));
    EXPECT_EQ(photo.type(), CV_8UC3);
    EXPECT_EQ(photo.size(), cv::Size(640, 427));
    EXPECT_TRUE(decodeForViewing(QByteArray("no image"), ImageMetadata()).empty());
    EXPECT_TRUE(decodeForViewing(QByteArray(), ImageMetadata()).empty());
}
