// SPDX-License-Identifier: GPL-3.0-or-later
// The progress display, fed with the standard error of a recorded engine run.
#include "colormatch/progress_display.h"

#include <gtest/gtest.h>

namespace {

// What a real engine wrote while matching chelsea.png to rocket.jpg.
const QStringList recordedRun = QStringLiteral(
    "005 006 010 020 bytes:240512 021 022 current_image:240512 022 023 current_image_mat_rgba:451x300 DONE 030 031 "
    "032 040 050 060 061 062 064 066 067 068 070 072 074 075 076 077 078 079 090 095 100").split(' ');

QStringList upTo(const QString &code)
{
    return recordedRun.mid(0, recordedRun.indexOf(code) + 1);
}

ImageProgress image(const QString &name, const QStringList &lines, ImageStage stage = ImageStage::running)
{
    return ImageProgress{name, lines, stage, QString()};
}

} // namespace

// Replayed up to each of these lines: on a terminal the name, a bar as wide
// as the line allows (40 at most) and the percent of the highest code so far
// (005 is 0 %, 100 is 100 %), right-aligned in 4 columns; otherwise nothing
// at all. Lines that are no code leave the percent as it was.
TEST(ColormatchProgress, OneImageFollowsTheHighestCodeOnATerminalAndIsSilentElsewhere)
{
    const struct {
        const char *upTo; // the run's lines up to this one
        const char *line;
    } steps[] = {
        {"005", "chelsea.png [........................................]   0%"},
        {"006", "chelsea.png [........................................]   1%"},
        {"current_image_mat_rgba:451x300", "chelsea.png [#######.................................]  18%"},
        {"050", "chelsea.png [##################......................]  47%"},
        {"074", "chelsea.png [############################............]  72%"},
        {"095", "chelsea.png [#####################################...]  94%"},
        {"100", "chelsea.png [########################################] 100%"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.upTo);
        EXPECT_EQ(renderProgress({image("chelsea.png", upTo(step.upTo))}, 60, true).toStdString(), step.line);
        EXPECT_TRUE(renderProgress({image("chelsea.png", upTo(step.upTo))}, 80, false).isEmpty());
    }
    EXPECT_EQ(progressPercent(upTo("022") << "ERROR target image could not be decoded"), 17);
    // A narrow terminal shortens the name, not the bar, and never wraps.
    const QString name = "a-rather-long-photograph-name.png";
    EXPECT_EQ(renderProgress({image(name, recordedRun)}, 30, true), "a-rather... [##########] 100%");
    EXPECT_EQ(renderProgress({image(name, recordedRun)}, 10, true).size(), 9);
    // Measured in columns: a wide character takes two, a combining mark none.
    const QString wide = QString(30, QChar(0x5199)) + ".jpg";
    EXPECT_EQ(terminalColumns(wide), 64);
    // e with U+0301, t, é, a space and U+1F305.
    EXPECT_EQ(terminalColumns(QString::fromUtf8("e\xCC\x81t\xC3\xA9 \xF0\x9F\x8C\x85")), 6);
    EXPECT_EQ(renderProgress({image(wide, recordedRun)}, 80, true),
              QString(29, QChar(0x5199)) + "... [##########] 100%");
    const QString batch =
        renderProgress(QVector<ImageProgress>(4, image(QString(8, QChar(0x5199)), upTo("030"))), 80, true);
    EXPECT_TRUE(terminalColumns(batch) <= 79 && batch.endsWith("  ...")) << batch.toStdString();
}

// Several: images ended out of all, an overall bar and percent, failures
// counted, then the running images while they fit; and the closing summary.
TEST(ColormatchProgress, BatchShowsOverallProgressRunningImagesAndASummary)
{
    const QVector<ImageProgress> images{image("a.png", recordedRun, ImageStage::done), image("b.png", upTo("050")),
                                        image("c.png", upTo("020")), image("d.png", {}, ImageStage::waiting)};
    // (100 + 47 + 15 + 0) / 4 = 40 % on a bar of 20.
    EXPECT_EQ(renderProgress(images, 100, true), "1/4 [########............]  40%  b.png 47%  c.png 15%");
    QVector<ImageProgress> crowded{image("x.png", recordedRun, ImageStage::failed)};
    for (int i = 0; i < 10; ++i)
        crowded << image(QString("image-%1.png").arg(i), upTo("030"));
    const QString line = renderProgress(crowded, 80, true);
    EXPECT_TRUE(line.startsWith("1/11 ") && line.contains("%, 1 failed  image-0.png ") && line.endsWith("  ..."))
        << line.toStdString();
    EXPECT_LE(line.size(), 79);
    EXPECT_EQ(renderSummary({images[0], image("b.png", recordedRun, ImageStage::skipped)}),
              "2 images: 1 done, 1 skipped, 0 failed\n");
    EXPECT_EQ(renderSummary({images[0]}), "1 image: 1 done, 0 failed\n");
}
