// SPDX-License-Identifier: GPL-3.0-or-later
// The machine-readable result of a run (--json): one JSON object a line on
// standard output for every image that has ended, for farm schedulers and
// scripts, while people read the progress display on standard error.
#pragma once

#include "colormatch/progress_display.h"

#include <QByteArray>

// One compact JSON object and a line end:
//   {"exit":0,"input":"a.jpg","message":"wrote out/a.png (1728 x 1152)",
//    "output":"out/a.png","seconds":0.412,"status":"done"}
// status is "done", "skipped" or "failed"; exit the status the image alone
// ends with (0 when done or skipped); input and output are null where there
// is none. A name whose bytes are no UTF-8 is written as people read it (each
// such byte as \xE9) and also, exactly, as base64 of its bytes in
// input_bytes or output_bytes, which are present only then.
QByteArray resultLineJson(const ImageProgress &image);
// The image's line on standard output, at once.
void writeResultLine(const ImageProgress &image);
// A line for every image of the display that has not ended, as failed with
// this status and message: the run ended before them. An empty display
// stands for the one image `input` (none where that is empty), whose output
// would have been `output`.
void writeUnendedResultLines(const Display &display, int exitStatus, const QString &message, const QString &input,
                             const QString &output);
