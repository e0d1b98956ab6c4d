// SPDX-License-Identifier: GPL-3.0-or-later
// What differs between Windows and POSIX systems for colormatch: file names
// in any bytes, engines that end with colormatch, the engine's file name, what a crash looks like, being stopped, binary standard input and
// output, the terminal, free memory and keeping codec chatter off standard
// error.
#pragma once

#include <QProcess>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <functional>
#include <memory>

// POSIX file names and arguments are bytes, not always UTF-8 (a Latin-1
// "caf\xE9.png" from an old archive). Under a UTF-8 (or plain ASCII) locale
// this makes Qt read every byte that is no UTF-8 as a lone surrogate
// U+DC80..U+DCFF and write it back as the same byte, as Python's
// surrogateescape does, so that arguments, QFile and QProcess name such files
// exactly. Called once, before anything is read from the command line. Windows
// names are UTF-16 already.
void keepFileNameBytes();
// Text for people: each byte kept as above shown as "\xE9".
QString readableText(const QString &text);

// A process to run an engine in. On Linux the engine ends with colormatch,
// also when colormatch is killed (SIGKILL) and cannot end it itself; elsewhere
// it is a plain QProcess.
std::unique_ptr<QProcess> newEngineProcess();

// Where the engine lives: "matchengine" (".exe" on Windows) in the given folder.
QString enginePathIn(const QString &folder);
// What ended a crashed engine, in words, where the platform's exit code is
// no signal (a Windows status code); empty for a signal.
QString crashDescription(int code);

// Between these two calls (pairs nest: the outermost counts) SIGINT, SIGTERM
// and SIGHUP do not end colormatch at once: each is noted and makes the
// descriptor returned readable, so that the event loop can end the engines
// and the run its temporary files first. -1 where there is nothing to watch.
int startCatchingStopSignals();
void stopCatchingStopSignals();
// Stop signals caught for as long as it lives.
struct StopSignalsCaught {
    StopSignalsCaught()
        : descriptor(startCatchingStopSignals())
    {
    }
    ~StopSignalsCaught() { stopCatchingStopSignals(); }
    StopSignalsCaught(const StopSignalsCaught &) = delete;
    StopSignalsCaught &operator=(const StopSignalsCaught &) = delete;
    const int descriptor;
};
// The first stop signal caught since the start, or 0.
int caughtStopSignal();
// Returns once the descriptor has something to read (or its end), or a stop
// signal has been caught while they are caught; at once elsewhere.
void waitUntilReadableOrStopped(int descriptor);
// Throws UserError (status 128 + the signal) once a stop signal has been
// caught: called between steps of work that has no engine to wait for.
void endIfStopped();
// "SIGTERM" and the like.
QString stopSignalName(int signal);

// The descriptor of stdin or stdout, set to binary reading or writing.
int binaryDescriptor(FILE *stream);
bool standardErrorIsTerminal();
bool standardOutputIsTerminal();
int terminalWidth();
// Runs `work` with standard error sent to the null device: image codecs write
// warnings there on their own (libpng's "known incorrect sRGB profile").
void withCodecWarningsSilenced(const std::function<void()> &work);

// Free physical memory in bytes, or -1 when the system does not say.
qint64 freeMemoryBytes();
