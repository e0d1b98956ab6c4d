// SPDX-License-Identifier: GPL-3.0-or-later
// The progress display: what people see of a run on standard error, a status
// line redrawn in place on a terminal, a plain line for each image that has
// ended, and a batch's closing summary; the lines rendered, and the display
// that draws them.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QVector>

enum class ImageStage { waiting, running, done, skipped, failed };

// One image (or LUT export) of a run as the display sees it.
struct ImageProgress {
    QString name;
    QStringList engineLines; // the engine's standard error so far
    ImageStage stage = ImageStage::waiting;
    QString outcome; // once ended: what was written, or why not
    // For its result line (--json):
    QString input;  // the image as named
    QString output; // the file written, or that would have been
    int exitStatus = 0; // once failed: the status the image alone ends with
    QElapsedTimer clock; // started when its work starts
};

// The columns a terminal gives the text: wide (East Asian) characters take
// two, combining marks none.
int terminalColumns(const QString &text);
// Percent done from the highest progress code so far: "005" is 0 %, "100" is 100 %.
int progressPercent(const QStringList &engineLines);

// The status line of a run, redrawn in place on a terminal; at most width - 1
// columns so that it never wraps. One image: its name, a bar and its percent.
// Several: the images ended out of all, an overall bar and percent, then the
// running images with their percents. Not on a terminal: nothing.
QString renderProgress(const QVector<ImageProgress> &images, int width, bool terminal);
// The plain line for an image that has ended: "done    NAME: OUTCOME",
// "skipped NAME: OUTCOME" or "failed  NAME: OUTCOME".
QString renderEnded(const ImageProgress &image);
// The closing summary of a batch: counts, then every failed image and why.
QString renderSummary(const QVector<ImageProgress> &images);

// The display of a run: the status line on a terminal, plain lines above it.
struct Display {
    bool terminal = false;
    int width = 80;
    bool verbose = false;
    bool resultLines = false; // a JSON line on standard output for each ended image
    QVector<ImageProgress> images;
    QString shown;       // the status line now on screen
    int shownLength = 0; // its columns
};

// Takes the status line off the screen.
void clearStatus(Display &display);
// Draws the status line for the images as they are now, on a terminal.
void drawStatus(Display &display);
// A plain line above the status line.
void printLine(Display &display, const QString &line);
// Ends an image of the display at `stage` and prints its line (and writes its
// result line); a failed one with the exit status it alone would end with.
void endImage(Display &display, int index, ImageStage stage, const QString &outcome, int exitStatus = 0);
