// SPDX-License-Identifier: GPL-3.0-or-later
// Looks: a 3D LUT (.cube) applied to images by colormatch itself, without an
// engine, and a batch's series modes, in which the engine makes one look (from
// a hero frame, or from the pooled colours of all frames) that every image
// then gets, so that the same colour comes out the same in every frame.
#pragma once

#include "colormatch/command_line.h"
#include "colormatch/progress_display.h"

#include <QString>

// --apply-lut CUBE: the look applied to one image (-o) or to every image of
// a batch (-d). Returns the exit status, or throws UserError.
int runApplyLook(const Options &options, Display &display);
// --series-from IMAGE or --series: the look made by one engine run with LUT
// export, written with --lut BASE, and applied to every image of the batch.
int runSeries(const Options &options, const QString &enginePath, Display &display);
