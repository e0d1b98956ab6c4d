// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch: a command line for people. It is a host of the engine: every
// image is matched by a `matchengine` process started from colormatch's own
// folder, spoken to through the twelve positions, the framed request on its
// standard input, the progress codes on its standard error and the result on
// its standard output. Nothing of the engine is linked in.
// This unit offers the whole run for one command line.
#pragma once

#include <QStringList>

// colormatch's whole run for its command line (program path first); returns
// the exit status.
int runColormatch(const QStringList &arguments);
