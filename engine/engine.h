// SPDX-License-Identifier: GPL-3.0-or-later
// The engine process: start-up, the command line, the byte-level conversation
// with the host (request, result, size file), the capability query and the
// matching run. It stands on the ground floor (base/) and is the only caller of
// matchColors.
#pragma once

#include "base/base.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

// Values of one request that are not settings.
struct RunValues {
    QString resultFormat;
    float strength = 0.0f;
    QString sizeFilePath;   // "none": no size file
    QString resultFilePath; // empty: the result goes to standard output
};

// Start-up: message handler, standard streams. Call before anything else.
void discardMessage(QtMsgType type, const QMessageLogContext &context, const QString &text);
void prepareStandardStreams();

// The capability-query token at position 3, and the argument count (the
// program path and positions 1 to 11), as the hosts send them.
constexpr const char *capabilityToken = engineCapabilityToken;
constexpr int requiredArgumentCount = engineArgumentCount;

// Parses positions 4 to 11 into settings and returns the run values. Throws
// EngineError (usage) for too few arguments, an unusable LUT size or a result
// format no encoder knows; nothing has been read from standard input by then.
RunValues parseCommandLine(const QStringList &arguments, EngineSettings &settings);

// Request options at position 2 (host/host.h says the form): whether the word
// is in that form, and its options read into the settings. Throws EngineError
// (usage) for a word in the form that cannot be read; any other word changes
// nothing.
bool isRequestOptionsWord(const QString &word);
void parseRequestOptions(const QString &word, EngineSettings &settings);

// Decodes a base64 path from the command line, cut at the first NUL, as UTF-8
// when its bytes are valid UTF-8 and as Latin-1 otherwise.
QString decodePathArgument(const QString &text);

// Host channel.
QByteArray readRequest();
// The two images as views into the request's bytes, which it holds.
struct SplitRequest {
    QByteArray request;
    QByteArray targetBytes;
    QByteArray referenceBytes;
};
SplitRequest splitRequest(const QByteArray &request);
void writeSizeFile(const QString &sizeFilePath, int width, int height);
std::vector<uchar> encodeResult(const cv::UMat &image, const QString &resultFormat);
void deliverResult(const std::vector<uchar> &bytes, const QString &resultFilePath, bool lutExport);

// Prints the capability answer on standard output, with the request options
// this engine knows when asked with an options word. Returns the exit status.
int runCapabilityQuery(bool withRequestOptions);

// One whole request, from reading standard input to delivering the result.
// Returns the exit status; throws EngineError for requests that fail.
int runMatching(const RunValues &run);

// Platform differences, kept in one place.
void setBinaryStandardStreams();
// Moves the process's standard error to the null device and returns a stream
// on the original one; returns stderr itself when that is not possible.
FILE *detachProtocolChannel();
bool platformHonoursResultFile();
// Lets writes to a closed pipe fail with an error instead of killing the process.
void ignoreBrokenPipe();
