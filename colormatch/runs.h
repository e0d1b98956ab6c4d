// SPDX-License-Identifier: GPL-3.0-or-later
// The runs colormatch makes: the capability query, one image (with its LUT
// and preview), and a batch of images against one reference. Every check
// that can be made before an engine starts is made first. Each returns the
// exit status, or throws UserError.
#pragma once

#include "colormatch/command_line.h"
#include "colormatch/engine_host.h"
#include "colormatch/files.h"
#include "colormatch/progress_display.h"

#include <QString>
#include <QVector>

#include <functional>

// The engine's capability answer, printed on standard output for people.
int runInfo(const QString &enginePath);
// One target matched to one reference: the output image, the preview and the
// LUT export the options ask for.
int runSingle(const Options &options, const QString &enginePath, Display &display);
// Every image matched to one reference into the output folder, several
// engines at once; an image that fails does not stop the others.
int runBatch(const Options &options, const QString &enginePath, Display &display);

// Runs the engine jobs while the display follows them; entryOfJob gives each
// job's image in the display.
void runWithDisplay(const QString &enginePath, const QVector<EngineJob> &jobs, const QVector<int> &entryOfJob,
                    int concurrency, Display &display,
                    const std::function<void(int entry, const EngineOutcome &outcome)> &onEnded);
// A batch's output format (--format, PNG by default), checked.
QString batchFormat(const Options &options);
// Each batch image's output, OUTDIR/<name without extension>.<format>, in
// the images' order; refused (64) before anything is read when one names an
// input, another output or one of `files` (the batch's other inputs and outputs).
QStringList batchOutputs(const Options &options, const QString &format, QVector<NamedFile> files);
// The output folder, created where missing; throws UserError (73) where it
// cannot be written into.
void makeOutputFolder(const QString &folder);
