// The progress display, fed with the standard error of a recorded engine run.
#include "colormatch/colormatch.h"

#include <gtest/gtest.h>

namespace {

// What a real engine wrote while matching chelsea.png to rocket.jpg.
// clang-format off
const QStringList recordedRun{
    "005", "006", "010", "020", "bytes:240512", "021", "022", "current_image:240512", "022", "023",
    "current_image_mat_rgba:451x300", "DONE", "030", "031", "032", "040", "050", "060", "061", "062", "064", "066",
    "067", "068", "070", "072", "074", "075", "076", "077", "078", "079", "090", "095", "100"};
// clang-format on

QStringList upTo(const QString &code)
{
    return recordedRun.mid(0, recordedRun.indexOf(code) + 1);
}

// Percent from a code by the plain rule: 005 is the start, 100 the end.
int percentOf(int code)
{
    return int((code - 5) * 100.0 / 95.0);
}

QString expectedBar(int percent, int width)
{
    const int filled = percent * width / 100;
    return "[" + QString(filled, '#') + QString(width - filled, '.') + "]";
}

ImageProgress running(const QString &name, const QStringList &lines)
{
    return ImageProgress{name, lines, ImageStage::running, QString()};
}

ImageProgress ended(const QString &name, ImageStage stage, const QString &outcome)
{
    return ImageProgress{name, upTo("100"), stage, outcome};
}

} // namespace

// Replayed line by line: on a terminal the name, a bar as wide as the line
// allows (40 at most) and the percent of the highest code so far, right-aligned
// in 4 columns; otherwise nothing at all.
TEST(ColormatchProgress, ReplayedRunFollowsTheHighestCodeOnATerminalAndIsSilentElsewhere)
{
    QStringList lines;
    int percent = 0;
    for (const QString &line : recordedRun) {
        lines << line;
        bool isCode = false;
        const int code = line.toInt(&isCode);
        if (isCode)
            percent = percentOf(code);
        SCOPED_TRACE(line.toStdString());
        EXPECT_EQ(progressPercent(lines), percent);
        const QVector<ImageProgress> image{running("chelsea.png", lines)};
        EXPECT_EQ(renderProgress(image, 60, true),
                  "chelsea.png " + expectedBar(percent, 40) + QString(" %1%").arg(percent, 3));
        EXPECT_TRUE(renderProgress(image, 80, false).isEmpty());
    }
    EXPECT_EQ(percent, 100);
    // An error line after the last code changes nothing.
    EXPECT_EQ(progressPercent(upTo("022") << "ERROR target image could not be decoded"), percentOf(22));
    EXPECT_EQ(renderProgress({running("chelsea.png", {})}, 30, true),
              "chelsea.png " + expectedBar(0, 30 - 1 - 8 - 11) + "   0%");
    // A narrow terminal shortens the name, not the bar.
    const QString name = "a-rather-long-photograph-name.png";
    EXPECT_EQ(renderProgress({running(name, recordedRun)}, 30, true),
              name.left(29 - 8 - 10 - 3) + "... " + expectedBar(100, 10) + " 100%");
    EXPECT_EQ(renderProgress({running(name, recordedRun)}, 10, true).size(), 9);
    EXPECT_TRUE(renderProgress({}, 80, true).isEmpty());
}

TEST(ColormatchProgress, BatchShowsOverallProgressAndTheRunningImages)
{
    const QVector<ImageProgress> images{ended("a.png", ImageStage::done, "wrote out/a.png"),
                                        running("b.png", upTo("050")), running("c.png", upTo("020")),
                                        ImageProgress{"d.png", {}, ImageStage::waiting, QString()}};
    // Overall (100 + 47 + 15 + 0) / 4 = 40 % on a bar of 20, then the running images.
    EXPECT_EQ(renderProgress(images, 100, true), "1/4 [########............]  40%  b.png 47%  c.png 15%");
    EXPECT_TRUE(renderProgress(images, 80, false).isEmpty());

    // Failures are counted; running images that do not fit give way to "...".
    QVector<ImageProgress> crowded{ended("x.png", ImageStage::failed, "the engine crashed")};
    for (int i = 0; i < 10; ++i)
        crowded << running(QString("image-%1.png").arg(i), upTo("030"));
    const QString line = renderProgress(crowded, 80, true);
    EXPECT_TRUE(line.startsWith("1/11 ")) << line.toStdString();
    EXPECT_TRUE(line.contains("%, 1 failed  image-0.png ")) << line.toStdString();
    EXPECT_TRUE(line.endsWith("  ...")) << line.toStdString();
    EXPECT_LE(line.size(), 79);
}

// The lines of done, skipped and failed images and a batch's summary are
// checked in the program's own runs; here the counts that no run there shows.
TEST(ColormatchProgress, SummaryCountsSkippedImagesAndSaysImageForOne)
{
    const ImageProgress done = ended("a.png", ImageStage::done, "wrote out/a.png");
    EXPECT_EQ(renderSummary({done, ended("b.png", ImageStage::skipped, "out/b.png exists")}),
              "2 images: 1 done, 1 skipped, 0 failed\n");
    EXPECT_EQ(renderSummary({done}), "1 image: 1 done, 0 failed\n");
}
