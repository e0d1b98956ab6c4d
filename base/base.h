// SPDX-License-Identifier: GPL-3.0-or-later
// The ground floor every other part of the engine stands on: the settings that
// the pipeline reads, the one error type with the exit statuses it carries, the
// progress channel to the host, and files that are written whole or not at all.
#pragma once

#include "host/host.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <stdexcept>

// ---- Settings

// Process-wide settings. The command line fills the first nine fields before
// the matching starts (gainLimit and depth from the request options, resultBits
// from depth and the result format); matchColors writes the last three.
struct EngineSettings {
    bool lutExport = false;
    QString lutBasePath;
    bool useOpenCL = true;
    bool taskUseOpenCL = useOpenCL;
    bool matchLightness = false;
    int lutSize = 16;
    double gainLimit = 0.0; // the most any colour direction may be stretched; 0: no limit
    int depth = 8;          // 16: computed in floating point from the decoded samples
    int resultBits = 8;     // bits per sample of the result image: 16 only with depth 16 and a format that holds them
    bool amdGpu = false;
    int currentImageWidth = 0;
    int currentImageHeight = 0;
};

// The one process-wide instance. Worker threads only read it.
EngineSettings &engineSettings();

// ---- Errors

// sysexits-style exit statuses the engine ends with, as its hosts know them.
namespace exitStatus {
constexpr int ok = engineExitOk;
constexpr int usage = engineExitUsage;
constexpr int dataError = engineExitDataError;
constexpr int software = engineExitSoftware;
constexpr int cannotCreate = engineExitCannotCreate;
constexpr int ioError = engineExitIoError;
}

// The engine's one error type: what failed in the user's terms, and the exit
// status the process ends with. Thrown wherever a request cannot go on and
// caught once, in main, which turns it into an error line.
struct EngineError : std::runtime_error {
    EngineError(int status, const QString &message);
    int status;
};

// ---- Progress channel

// The stream that carries the host protocol: standard error as the host sees
// it, unless the process moved it (see the engine's start-up).
FILE *protocolChannel();
void useProtocolChannel(FILE *stream);

// "NNN\n", written and flushed at once.
void reportProgress(const char *code);
// One line of its own.
void writeDiagnosticLine(const QString &line);
// "ERROR <message>", line ends inside the message turned into spaces.
void writeErrorLine(const QString &message);

// ---- OpenCL work

// Waits until the OpenCL work this thread queued has run. OpenCV returns from
// a UMat operation as soon as its kernel is queued, and an OpenCL runtime that
// is still compiling or running one when the process exits tears itself down
// under that thread. Does nothing on a thread that never set up OpenCL, so
// that it never starts the runtime just to wait for it.
void finishOpenCLWork();

// ---- Output files

// Writes a whole file atomically (temporary file beside it, then rename), so a
// reader sees the old file, the new one, or none. A path that names a FIFO or
// a device is written to directly instead. textMode gives the platform's
// line ends. Returns false with the system's reason when it cannot.
bool saveFileAtomically(const QString &path, const QByteArray &bytes, bool textMode, QString *reason);
