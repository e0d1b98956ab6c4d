// SPDX-License-Identifier: GPL-3.0-or-later
// The host's side of the engine conversation: the positions of a request, its
// frame, the engine's standard error read line by line, engine processes run a
// few at a time, and what went wrong with one, in the user's terms.
#pragma once

#include "host/host.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <opencv2/core.hpp>

#include <functional>
#include <memory>

// The settings of one engine request, in colormatch's terms.
struct EngineRequest {
    QString resultFormat = QStringLiteral("png"); // "png", "jpg" or another extension word
    QString lutBase;                              // empty: no LUT export
    int lutSize = engineLutSizeDefault;
    bool useOpenCL = true;
    bool matchLightness = false;
    double strength = 1.0;
    double gainLimit = 0.0; // 0: the full transfer
    int depth = 0;          // 16: computed in floating point, a 16-bit result; 0 or 8: in 8 bits
    QString sizeFile; // empty: no size file
};

// Positions 1 to 11 for a matching run (the result always comes back on
// standard output, which every platform honours).
QStringList engineArguments(const EngineRequest &request);
// Positions 1 to 3 for the capability query.
QStringList capabilityArguments();
// [any int][TL][target][RL][reference], lengths signed 32-bit big-endian.
QByteArray frameRequest(const QByteArray &target, const QByteArray &reference);

// The engine's format word for an output file name: png -> "png", jpg and
// jpeg -> "jpg", otherwise the lower-cased extension; empty without one.
QString resultFormatFor(const QString &outputPath);
// The format word for a --format value ("JPEG" -> "jpg").
QString normalisedFormat(const QString &word);
bool formatHasEncoder(const QString &format);

// Reading the engine's standard error, one line at a time.
int progressCode(const QString &line); // -1 unless the line is a progress code
bool isErrorLine(const QString &line); // "ERROR ..."
bool isCrashLine(const QString &line); // "CRASH (67+) ..."
// The last error line's message (without "ERROR "), or empty.
QString engineErrorMessage(const QStringList &lines);
// The working size the engine announced ("current_image_mat_rgba:WxH"), or an
// empty size.
cv::Size workingSize(const QStringList &lines);

// The capability answer printed for people: "GPU: name" or "no OpenCL GPU",
// then "CPUs: N", each on its own line. Throws UserError for an answer that
// is not the engine's JSON.
QString describeCapability(const QByteArray &answer);

// One engine process to run. Every input is read once: a target read already
// travels as bytes; a batch image is read when its job starts.
struct EngineJob {
    QStringList arguments;     // positions 1 to 11, or the capability query's 1 to 3
    QString targetPath;        // not empty: the target is read from it when the job starts
    QByteArray targetBytes;    // otherwise the target
    QByteArray referenceBytes; // framed behind the target's bytes
    bool query = false;        // the capability query: nothing on standard input
};

// How one engine process ended.
struct EngineOutcome {
    QString startFailure;         // not empty: the process never ran (the reason)
    bool inputUnreadable = false; // ... because the target could not be read
    bool crashed = false;
    int exitCode = -1; // the exit status, or what ended the process when it crashed
    QByteArray result; // all of standard output, valid while the outcome lives:
    std::shared_ptr<QFile> resultFile; // the file it may point into
    QStringList lines; // all of standard error, line by line
};

// Runs the jobs in list order, at most `concurrency` at a time, inside a local
// event loop. onLine receives each standard-error line as it arrives, onEnded
// each job's outcome once its process has ended. Stopped by SIGINT, SIGTERM or
// SIGHUP, it ends the running engines, waits for them, starts no more and
// throws UserError with status 128 + the signal.
void runEngineJobs(const QString &enginePath, const QVector<EngineJob> &jobs, int concurrency,
                   const std::function<void(int job, const QString &line)> &onLine,
                   const std::function<void(int job, const EngineOutcome &outcome)> &onEnded);

// What went wrong with an engine run, in the user's terms, or empty when it
// did its work: it could not start, crashed, stopped with an error line or a
// non-zero status, or reported that its colour transfer failed.
QString engineFailure(const EngineOutcome &outcome);
// The exit status that failure calls for.
int engineFailureStatus(const EngineOutcome &outcome);
