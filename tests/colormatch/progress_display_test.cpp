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

TEST(ColormatchProgress, PercentFollowsTheHighestCodeAndIgnoresOtherLines)
{
    EXPECT_EQ(progressPercent({}), 0);
    EXPECT_EQ(progressPercent({"bytes:12", "DONE"}), 0);
    EXPECT_EQ(progressPercent(upTo("005")), 0);
    EXPECT_EQ(progressPercent(upTo("050")), percentOf(50));
    EXPECT_EQ(progressPercent(upTo("079")), percentOf(79));
    EXPECT_EQ(progressPercent(recordedRun), 100);
    // An error line after the last code changes nothing.
    EXPECT_EQ(progressPercent(upTo("022") << "ERROR target image could not be decoded"), percentOf(22));
}

TEST(ColormatchProgress, ReplayedRunOnATerminalGrowsToAFullBar)
{
    const int width = 60;
    int previous = -1;
    for (int shown = 1; shown <= recordedRun.size(); ++shown) {
        const QString line = renderProgress({running("chelsea.png", recordedRun.mid(0, shown))}, width, true);
        ASSERT_LE(line.size(), width - 1) << line.toStdString();
        const int percent = line.right(4).trimmed().chopped(1).toInt();
        EXPECT_GE(percent, previous) << line.toStdString();
        previous = percent;
    }
    EXPECT_EQ(previous, 100);

    // Name, a bar as wide as the line allows (40 at most), the percent right-aligned in 4 columns.
    EXPECT_EQ(renderProgress({running("chelsea.png", upTo("050"))}, width, true),
              "chelsea.png " + expectedBar(percentOf(50), 40) + "  47%");
    EXPECT_EQ(renderProgress({running("chelsea.png", recordedRun)}, width, true),
              "chelsea.png " + expectedBar(100, 40) + " 100%");
    EXPECT_EQ(renderProgress({running("chelsea.png", {})}, 30, true),
              "chelsea.png " + expectedBar(0, 30 - 1 - 8 - 11) + "   0%");
}

TEST(ColormatchProgress, NarrowTerminalShortensTheNameNotTheBar)
{
    const QString name = "a-rather-long-photograph-name.png";
    const QString line = renderProgress({running(name, upTo("100"))}, 30, true);
    EXPECT_EQ(line, name.left(29 - 8 - 10 - 3) + "... " + expectedBar(100, 10) + " 100%");
    EXPECT_EQ(renderProgress({running(name, upTo("100"))}, 10, true).size(), 9);
}

TEST(ColormatchProgress, BatchShowsOverallProgressAndTheRunningImages)
{
    const QVector<ImageProgress> images{ended("a.png", ImageStage::done, "wrote out/a.png"),
                                        running("b.png", upTo("050")), running("c.png", upTo("020")),
                                        ImageProgress{"d.png", {}, ImageStage::waiting, QString()}};
    const int overall = (100 + percentOf(50) + percentOf(20) + 0) / 4;
    EXPECT_EQ(renderProgress(images, 100, true),
              QString("1/4 %1 %2%  b.png %3%  c.png %4%")
                  .arg(expectedBar(overall, 20))
                  .arg(overall, 3)
                  .arg(percentOf(50))
                  .arg(percentOf(20)));

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

TEST(ColormatchProgress, NothingWhenStandardErrorIsNoTerminal)
{
    for (int shown = 0; shown <= recordedRun.size(); ++shown)
        EXPECT_TRUE(renderProgress({running("chelsea.png", recordedRun.mid(0, shown))}, 80, false).isEmpty());
    EXPECT_TRUE(
        renderProgress({ended("a.png", ImageStage::done, "x"), running("b.png", upTo("050"))}, 80, false).isEmpty());
    EXPECT_TRUE(renderProgress({}, 80, true).isEmpty());
}

TEST(ColormatchProgress, EndedLinesAndSummary)
{
    const ImageProgress done = ended("a.png", ImageStage::done, "wrote out/a.png (451 x 300)");
    const ImageProgress skipped = ended("b.png", ImageStage::skipped, "out/b.png exists");
    const ImageProgress failed = ended("c.png", ImageStage::failed, "the engine crashed (signal 11)");
    EXPECT_EQ(renderEnded(done), "done    a.png: wrote out/a.png (451 x 300)");
    EXPECT_EQ(renderEnded(skipped), "skipped b.png: out/b.png exists");
    EXPECT_EQ(renderEnded(failed), "failed  c.png: the engine crashed (signal 11)");

    EXPECT_EQ(renderSummary({done, failed, done}),
              "3 images: 2 done, 1 failed\nfailed  c.png: the engine crashed (signal 11)\n");
    EXPECT_EQ(renderSummary({done, skipped}), "2 images: 1 done, 1 skipped, 0 failed\n");
    EXPECT_EQ(renderSummary({done}), "1 image: 1 done, 0 failed\n");
}
