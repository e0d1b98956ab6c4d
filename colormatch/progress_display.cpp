// SPDX-License-Identifier: GPL-3.0-or-later
// The progress display: a status line redrawn in place on a terminal, plain
// lines for images that have ended, and the closing summary of a batch.
#include "colormatch/progress_display.h"
#include "colormatch/engine_host.h"
#include "colormatch/files.h"
#include "colormatch/result_lines.h"

#include <algorithm>

namespace {

constexpr int firstProgressCode = 5;
constexpr int lastProgressCode = 100;
constexpr int widestSingleBar = 40;
constexpr int narrowestBar = 10;
constexpr int batchBar = 20;

bool hasEnded(const ImageProgress &image)
{
    return image.stage == ImageStage::done || image.stage == ImageStage::skipped || image.stage == ImageStage::failed;
}

int imagePercent(const ImageProgress &image)
{
    if (hasEnded(image))
        return 100;
    return image.stage == ImageStage::running ? progressPercent(image.engineLines) : 0;
}

QString bar(int percent, int width)
{
    const int filled = percent * width / 100;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.')) +
        QLatin1Char(']');
}

QString percentText(int percent)
{
    return QStringLiteral("%1%").arg(percent, 3);
}

// Characters a terminal draws two columns wide: the East Asian wide and
// full-width blocks and emoji (Unicode's EastAsianWidth W and F, in ranges).
// A table of its own, since wcwidth() knows them only in a UTF-8 locale and
// not at all on Windows.
constexpr struct {
    char32_t first, last;
} wideRanges[] = {{0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},  {0x2E80, 0x303E},
                  {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},  {0xA000, 0xA4CF},
                  {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},  {0xFE10, 0xFE19},
                  {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},  {0x1F300, 0x1F64F},
                  {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};

int characterColumns(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format)
        return 0; // drawn over the character before
    for (const auto &range : wideRanges)
        if (c >= range.first && c <= range.last)
            return 2;
    return 1;
}

// The longest start of `text` that takes at most `room` columns.
QString leftColumns(const QString &text, int room)
{
    int used = 0;
    int end = 0;
    while (end < text.size()) {
        const bool pair = text[end].isHighSurrogate() && end + 1 < text.size();
        const char32_t c = pair ? QChar::surrogateToUcs4(text[end], text[end + 1]) : text[end].unicode();
        used += characterColumns(c);
        if (used > room)
            break;
        end += pair ? 2 : 1;
    }
    return text.left(end);
}

// Cuts a name to at most `room` columns, marking the cut.
QString fitted(const QString &name, int room)
{
    if (terminalColumns(name) <= room)
        return name;
    if (room <= 3)
        return QString();
    return leftColumns(name, room - 3) + QStringLiteral("...");
}

// NAME [####......] PPP%
QString singleLine(const ImageProgress &image, int room)
{
    const int percent = imagePercent(image);
    const int fixed = 8; // " [", "] " and "PPP%"
    int barWidth = std::min(widestSingleBar, room - fixed - terminalColumns(image.name));
    QString name = image.name;
    if (barWidth < narrowestBar) {
        barWidth = narrowestBar;
        name = fitted(name, room - fixed - barWidth);
    }
    const QString head = name.isEmpty() ? QString() : name + QLatin1Char(' ');
    return leftColumns(head + bar(percent, barWidth) + QLatin1Char(' ') + percentText(percent), room);
}

// E/N [####......] PPP%[, F failed]  NAME P%  NAME P%
QString batchLine(const QVector<ImageProgress> &images, int room)
{
    int ended = 0;
    int failed = 0;
    int percentSum = 0;
    for (const ImageProgress &image : images) {
        ended += hasEnded(image) ? 1 : 0;
        failed += image.stage == ImageStage::failed ? 1 : 0;
        percentSum += imagePercent(image);
    }
    const int overall = percentSum / images.size();
    QString line = QStringLiteral("%1/%2 ").arg(ended).arg(images.size()) + bar(overall, batchBar) + QLatin1Char(' ') +
        percentText(overall);
    if (failed > 0)
        line += QStringLiteral(", %1 failed").arg(failed);
    // Each running image that fits, keeping room for "  ..." while more follow.
    const QString more = QStringLiteral("  ...");
    QVector<const ImageProgress *> inFlight;
    for (const ImageProgress &image : images)
        if (image.stage == ImageStage::running)
            inFlight << &image;
    for (int i = 0; i < inFlight.size(); ++i) {
        const QString entry = QStringLiteral("  %1 %2%").arg(inFlight[i]->name).arg(imagePercent(*inFlight[i]));
        const int reserve = i + 1 < inFlight.size() ? more.size() : 0;
        if (terminalColumns(line) + terminalColumns(entry) + reserve > room) {
            line += more;
            break;
        }
        line += entry;
    }
    return leftColumns(line, room);
}

QString stageWord(ImageStage stage)
{
    switch (stage) {
    case ImageStage::done: return QStringLiteral("done   ");
    case ImageStage::skipped: return QStringLiteral("skipped");
    case ImageStage::failed: return QStringLiteral("failed ");
    case ImageStage::waiting: return QStringLiteral("waiting");
    case ImageStage::running: return QStringLiteral("running");
    }
    return QString();
}

QString countOf(int count, const char *singular, const char *plural)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? singular : plural));
}

} // namespace

int terminalColumns(const QString &text)
{
    int columns = 0;
    for (const char32_t c : text.toUcs4())
        columns += characterColumns(c);
    return columns;
}

int progressPercent(const QStringList &engineLines)
{
    int highest = -1;
    for (const QString &line : engineLines)
        highest = std::max(highest, progressCode(line));
    if (highest < firstProgressCode)
        return 0;
    const int clamped = std::min(highest, lastProgressCode);
    return (clamped - firstProgressCode) * 100 / (lastProgressCode - firstProgressCode);
}

QString renderProgress(const QVector<ImageProgress> &images, int width, bool terminal)
{
    if (!terminal || images.isEmpty())
        return QString();
    const int room = std::max(width - 1, 0);
    return images.size() == 1 ? singleLine(images.first(), room) : batchLine(images, room);
}

QString renderEnded(const ImageProgress &image)
{
    return stageWord(image.stage) + QLatin1Char(' ') + image.name + QStringLiteral(": ") + image.outcome;
}

QString renderSummary(const QVector<ImageProgress> &images)
{
    int done = 0;
    int skipped = 0;
    QStringList failures;
    for (const ImageProgress &image : images) {
        done += image.stage == ImageStage::done ? 1 : 0;
        skipped += image.stage == ImageStage::skipped ? 1 : 0;
        if (image.stage == ImageStage::failed)
            failures << renderEnded(image);
    }
    QStringList counts{countOf(done, "done", "done")};
    if (skipped > 0)
        counts << countOf(skipped, "skipped", "skipped");
    counts << countOf(failures.size(), "failed", "failed");
    QString summary = countOf(images.size(), "image", "images") + QStringLiteral(": ") +
        counts.join(QStringLiteral(", ")) + QLatin1Char('\n');
    for (const QString &failure : failures)
        summary += failure + QLatin1Char('\n');
    return summary;
}

void clearStatus(Display &display)
{
    if (display.shownLength == 0)
        return;
    writeError(QLatin1Char('\r') + QString(display.shownLength, QLatin1Char(' ')) + QLatin1Char('\r'));
    display.shownLength = 0;
    display.shown.clear();
}

void drawStatus(Display &display)
{
    if (!display.terminal)
        return;
    const QString line = renderProgress(display.images, display.width, true);
    if (line == display.shown)
        return;
    const int columns = terminalColumns(line);
    const int padding = std::max(0, display.shownLength - columns);
    writeError(QLatin1Char('\r') + line + QString(padding, QLatin1Char(' ')));
    display.shownLength = columns;
    display.shown = line;
}

void printLine(Display &display, const QString &line)
{
    clearStatus(display);
    writeError(line + QLatin1Char('\n'));
    drawStatus(display);
}

void endImage(Display &display, int index, ImageStage stage, const QString &outcome, int exitStatus)
{
    ImageProgress &image = display.images[index];
    image.stage = stage;
    image.outcome = outcome;
    image.exitStatus = exitStatus;
    printLine(display, renderEnded(image));
    if (display.resultLines)
        writeResultLine(image);
}
