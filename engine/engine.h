// The engine process: settings, command line, the byte-level conversation with
// the host, the capability query and the matching run.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <cstdio>
#include <stdexcept>
#include <vector>

// Process-wide settings. The command line fills the first six fields before the
// matching starts; matchColors writes the last three.
struct EngineSettings {
    bool lutExport = false;
    QString lutBasePath;
    bool useOpenCL = true;
    bool taskUseOpenCL = useOpenCL;
    bool matchLightness = false;
    int lutSize = 16;
    bool amdGpu = false;
    int currentImageWidth = 0;
    int currentImageHeight = 0;
};

// The one process-wide instance. Worker threads only read it.
EngineSettings &engineSettings();

// Values of one request that are not settings.
struct RunValues {
    QString resultFormat;
    float strength = 0.0f;
    QString sizeFilePath;   // "none": no size file
    QString resultFilePath; // empty: the result goes to standard output
};

// sysexits-style exit statuses the engine ends with.
namespace exitStatus {
constexpr int ok = 0;
constexpr int usage = 64;
constexpr int dataError = 65;
constexpr int software = 70;
constexpr int cannotCreate = 73;
constexpr int ioError = 74;
}

// The engine's one error type: what failed in the user's terms, and the exit
// status the process ends with. Thrown wherever a request cannot go on and
// caught once, in main, which turns it into an error line.
struct EngineError : std::runtime_error {
    EngineError(int status, const QString &message);
    int status;
};

// Every error line starts with this word.
constexpr const char *errorLineWord = "ERROR";

// Start-up: message handler, standard streams, "005". Call before anything else.
void discardMessage(QtMsgType type, const QMessageLogContext &context, const QString &text);
void prepareStandardStreams();

// The capability-query token at position 3.
constexpr const char *capabilityToken = "QX7PLM";
constexpr int requiredArgumentCount = 12; // program path and positions 1 to 11

// Parses positions 4 to 11 into settings and returns the run values. Throws
// EngineError (usage) for too few arguments, an unusable LUT size or a result
// format no encoder knows; nothing has been read from standard input by then.
RunValues parseCommandLine(const QStringList &arguments, EngineSettings &settings);

// Decodes a base64 path from the command line, cut at the first NUL, as UTF-8.
QString decodePathArgument(const QString &text);

// Host channel.
void reportProgress(const char *code);
void writeDiagnosticLine(const QString &line);
void writeErrorLine(const QString &message);
QByteArray readRequest();
struct SplitRequest {
    QByteArray targetBytes;
    QByteArray referenceBytes;
};
SplitRequest splitRequest(const QByteArray &request);
void writeSizeFile(const QString &sizeFilePath, int width, int height);
std::vector<uchar> encodeResult(const cv::UMat &image, const QString &resultFormat);
void deliverResult(const std::vector<uchar> &bytes, const QString &resultFilePath, bool lutExport);

// Writes a whole file atomically (temporary file beside it, then rename), so a
// reader sees the old file, the new one, or none. textMode gives the platform's
// line ends. Returns false with the system's reason when it cannot.
bool saveFileAtomically(const QString &path, const QByteArray &bytes, bool textMode, QString *reason);

// Prints the capability answer on standard output. Returns the exit status.
int runCapabilityQuery();

// One whole request, from reading standard input to delivering the result.
// Returns the exit status; throws EngineError for requests that fail.
int runMatching(const RunValues &run);

// The stream that carries the host protocol: standard error as the host sees
// it. After prepareStandardStreams, libraries that write to standard error on
// their own (codec warnings and the like) no longer reach the host.
FILE *protocolChannel();
void useProtocolChannel(FILE *stream);

// Platform differences, kept in one place.
void setBinaryStandardStreams();
// Moves the process's standard error to the null device and returns a stream
// on the original one; returns stderr itself when that is not possible.
FILE *detachProtocolChannel();
bool platformHonoursResultFile();
// Lets writes to a closed pipe fail with an error instead of killing the process.
void ignoreBrokenPipe();
