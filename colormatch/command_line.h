// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's command line: its options and help text, parsed into what a
// run needs, with a suggestion for a mistyped option.
#pragma once

#include "colormatch/engine_host.h"
#include "colormatch/output_encoding.h"

#include <QString>
#include <QStringList>

// What the command line asks for.
struct Options {
    EngineRequest engine;
    QStringList images; // positional arguments
    QString output;
    QString lutCube;      // empty: no LUT export
    QString lutUnwrapped; // the unwrapped PNG beside it
    QString sizeFile;
    QString preview;
    QString targetMask;    // empty: every pixel counts
    QString referenceMask;
    QString reference;    // batch
    QString outputFolder; // batch
    QString format;       // batch
    QString fromList;     // batch: a list file of more images ("-": standard input)
    bool nulList = false; // ... whose names end with NUL bytes
    bool resultLines = false; // a JSON line per image on standard output
    int jobs = 0;         // batch: engines at once; 0 picks by CPUs and memory
    OutputQuality quality;
    bool batch = false;
    bool noClobber = false;
    bool verbose = false;
    bool info = false;
    QString applyLut;   // a look (.cube) applied without an engine
    QString seriesFrom; // batch: the image whose match gives every image its look
    bool series = false; // batch: the look of all images' pooled colours
};

// The options, or the text that --help or --version print.
struct ParsedCommand {
    Options options;
    QString helpText; // not empty: print it and stop
};

// The command line (program path first) parsed and checked; throws UserError
// (64) for one that cannot work, saying what was wrong, with the option meant
// for one that was mistyped.
ParsedCommand parseCommand(const QStringList &arguments);
