// SPDX-License-Identifier: GPL-3.0-or-later
// The runs colormatch makes: the capability query, one image (with its LUT
// and preview), and a batch of images against one reference. Every check
// that can be made before an engine starts is made first. Each returns the
// exit status, or throws UserError.
#pragma once

#include "colormatch/command_line.h"
#include "colormatch/progress_display.h"

#include <QString>

// The engine's capability answer, printed on standard output for people.
int runInfo(const QString &enginePath);
// One target matched to one reference: the output image, the preview and the
// LUT export the options ask for.
int runSingle(const Options &options, const QString &enginePath, Display &display);
// Every image matched to one reference into the output folder, several
// engines at once; an image that fails does not stop the others.
int runBatch(const Options &options, const QString &enginePath, Display &display);
