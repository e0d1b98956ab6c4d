// colormatch: a command line for people. It is a host of the engine: every
// image is matched by a `matchengine` process started from colormatch's own
// folder, spoken to through the twelve positions, the framed request on its
// standard input, the progress codes on its standard error and the result on
// its standard output. Nothing of the engine is linked in.
#pragma once

#include "encoders/image_probe.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <opencv2/core.hpp>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

// Exit statuses, in the sysexits style the engine uses too. A failed engine
// run passes the engine's own status on.
namespace colormatchStatus {
constexpr int ok = 0;
constexpr int someFailed = 1;   // a batch in which at least one image failed
constexpr int usage = 64;       // the command line cannot work; nothing was started
constexpr int dataError = 65;   // an input image is damaged, cannot be used, or is larger than colormatch reads
constexpr int noInput = 66;     // an input file is missing or unreadable
constexpr int unavailable = 69; // the engine cannot be found or started
constexpr int software = 70;    // the engine crashed, or its colour transfer failed
constexpr int cannotCreate = 73;
} // namespace colormatchStatus

// colormatch's one error: a message in the user's terms and the exit status
// the program ends with. Thrown where a run cannot go on, caught once in
// runColormatch.
struct UserError : std::runtime_error {
    UserError(int status, const QString &message);
    int status;
};

// ---- Inputs

// The most colormatch reads of one image. Target and reference framed together
// stay within the largest request the engine takes (2^31 - 1 - 2^20 bytes).
constexpr qint64 largestInput = qint64(1023) << 20;

// An input as people read it: "standard input" for "-", otherwise the path.
QString inputName(const QString &path);
// Why an input cannot be read, from its file-system entry alone (missing, a
// folder), or empty; opening it is left to the one read, since a pipe opened
// and closed again loses its writer.
QString inputProblem(const QString &path);
// All bytes of an input image ("-": standard input), read once and in chunks.
// Throws UserError with the role ("target", "reference") in its message: 66
// for an input that cannot be read, 65 for one larger than largestInput, of
// which no more than largestInput + 1 bytes are read.
QByteArray readInputImage(const QString &path, const QString &role);

// ---- Talking to the engine

// Where the engine lives: "matchengine" (".exe" on Windows) in the given folder.
QString enginePathIn(const QString &folder);
// What ended a crashed engine, in words (a signal, or a Windows status code).
QString crashDescription(int code);

// The settings of one engine request, in colormatch's terms.
struct EngineRequest {
    QString resultFormat = QStringLiteral("png"); // "png", "jpg" or another extension word
    QString lutBase;                              // empty: no LUT export
    int lutSize = 33;
    bool useOpenCL = true;
    bool matchLightness = false;
    double strength = 1.0;
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

// ---- Progress display

enum class ImageStage { waiting, running, done, skipped, failed };

// One image (or LUT export) of a run as the display sees it.
struct ImageProgress {
    QString name;
    QStringList engineLines; // the engine's standard error so far
    ImageStage stage = ImageStage::waiting;
    QString outcome; // once ended: what was written, or why not
};

// The columns a terminal gives the text: wide (East Asian) characters take
// two, combining marks none.
int terminalColumns(const QString &text);
// Percent done from the highest progress code so far: "005" is 0 %, "100" is 100 %.
int progressPercent(const QStringList &engineLines);

// The status line of a run, redrawn in place on a terminal; at most width - 1
// columns so that it never wraps. One image: its name, a bar and its percent.
// Several: the images ended out of all, an overall bar and percent, then the
// running images with their percents. Not on a terminal: nothing.
QString renderProgress(const QVector<ImageProgress> &images, int width, bool terminal);
// The plain line for an image that has ended: "done    NAME: OUTCOME",
// "skipped NAME: OUTCOME" or "failed  NAME: OUTCOME".
QString renderEnded(const ImageProgress &image);
// The closing summary of a batch: counts, then every failed image and why.
QString renderSummary(const QVector<ImageProgress> &images);

// ---- Being stopped

// Between these two calls SIGINT, SIGTERM and SIGHUP do not end colormatch at
// once: each is noted and makes the descriptor returned readable, so that the
// event loop can end the engines first. -1 where there is nothing to watch.
int startCatchingStopSignals();
void stopCatchingStopSignals();
// The first stop signal caught since the start, or 0.
int caughtStopSignal();
// "SIGTERM" and the like.
QString stopSignalName(int signal);

// The descriptor of stdin or stdout, set to binary reading or writing.
int binaryDescriptor(FILE *stream);
bool standardErrorIsTerminal();
int terminalWidth();
// Runs `work` with standard error sent to the null device: image codecs write
// warnings there on their own (libpng's "known incorrect sRGB profile").
void withCodecWarningsSilenced(const std::function<void()> &work);

// ---- Preview

// Target, reference and result side by side at one height, scaled so that the
// whole picture is `width` pixels wide; 8-bit B, G, R.
cv::Mat composePreview(const cv::Mat &target, const cv::Mat &reference, const cv::Mat &result, int width);

// ---- Photographs: metadata, colour profiles, output encoding

// What colormatch keeps of an image besides its pixels, in forms that need no
// metadata library to hold.
struct ImageMetadata {
    QByteArray exif;       // EXIF as a TIFF-structured block (empty: none)
    QByteArray xmp;        // the XMP packet
    QByteArray iptc;       // IPTC IIM datasets
    QByteArray iccProfile; // empty: untagged, which counts as sRGB
    int orientation = 1;   // EXIF orientation, 1 to 8
    double xDpi = 0.0;     // resolution in dots per inch; 0 when not given
    double yDpi = 0.0;
    cv::Size storedSize;   // pixels as stored (before orientation), when the header says
    ImageHeader header;    // as the image probe read it: format, size, the decoder's buffers
    bool cmyk = false;     // a CMYK (or YCCK) JPEG
    QStringList leftOut;   // pieces that could not be read, each with why: "XMP (...)"
};

// Whether the bytes are a CMYK or YCCK JPEG.
bool jpegIsCmyk(const QByteArray &encoded);
// Reads an encoded image's metadata; what cannot be read stays empty.
ImageMetadata readImageMetadata(const QByteArray &encoded);
// Why encoded image bytes cannot be used, from their structure and header
// alone (empty, a format the engine does not accept, truncated, over the scan
// or PNG text limits, a header that does not read), or empty. Nothing of an
// image with a problem is parsed or decoded.
QString encodedImageProblem(const QByteArray &encoded);
// Why an image's declared size is over the limits the engine holds it to, or
// empty (also when the size is unknown).
QString imageSizeProblem(const ImageMetadata &metadata);
// imageSizeProblem, then a decoding of the image when its size is known and
// within the limits: why it does not decode, or empty.
QString decodedImageProblem(const QByteArray &encoded, const ImageMetadata &metadata);
// Why a colour profile is over the limits colormatch builds transforms for
// (its size, the stages it chains), or empty.
QString colourProfileProblem(const QByteArray &icc);
// The encoded image with the metadata written into it. `notKept` receives the
// kinds of metadata the format cannot hold ("IPTC", "EXIF", ...), `leftOut`
// each piece that could not be written, with why ("XMP (...)"); the other
// pieces are kept.
QByteArray withImageMetadata(const QByteArray &encoded, const ImageMetadata &metadata, QStringList *notKept,
                             QStringList *leftOut);
// The image turned the way a viewer shows it for an EXIF orientation.
cv::Mat orientedForViewing(const cv::Mat &image, int orientation);

// An input image made ready for the engine in the colour space it is matched
// in. `bytes` is empty when the original can be used as it is; otherwise it is
// the image converted and encoded losslessly (PAM), and `note` says what was done.
struct EngineInput {
    QByteArray bytes;
    QString note;
};
// Converts an image with `metadata` into the space of `intoProfile` (empty:
// sRGB) when its own profile differs, and CMYK into RGB. Throws UserError for
// an image that cannot be converted soundly.
EngineInput convertedForMatching(const QByteArray &encoded, const ImageMetadata &metadata,
                                 const QByteArray &intoProfile, const QString &what);
// Whether a colour profile describes RGB (an empty one counts as sRGB).
bool isRgbProfile(const QByteArray &icc);
// The profile's description, "sRGB" for an empty one.
QString colourSpaceName(const QByteArray &icc);
// 8-bit B, G, R[, A] pixels converted from the profile's space to sRGB
// (relative colorimetric, black point compensation), or the image as it is
// when the profile does not fit it.
cv::Mat convertedToSrgb(const cv::Mat &image, const QByteArray &icc);
// Adobe RGB (1998), made from its primaries and gamma: what cameras mean by
// the EXIF interoperability index R03 when they embed no profile.
QByteArray adobeRgbProfile();
// Decodes as 8-bit B, G, R the way a viewer shows the image: turned by its
// orientation and converted from its profile to sRGB; empty if no image.
cv::Mat decodeForViewing(const QByteArray &encoded, const ImageMetadata &metadata);

// How colormatch encodes the output files.
struct OutputQuality {
    int jpegQuality = 95; // also the WebP quality unless lossless
    bool lossless = false; // WebP
    int pngLevel = -1; // -1: the fast run-length compression the engine uses too
    bool qualityGiven = false; // --quality was given
};
// The lossless format colormatch asks the engine for, fast to encode and read.
QString engineTransferFormat();
// The engine's result re-encoded as `format` (8 bits per channel, alpha kept
// where the format holds it), or empty when the encoder refuses it. Where the
// format cannot hold the colour profile of `metadata`, the colours are
// converted to sRGB and the profile is taken out of `metadata`. `lost`
// receives what of the target the output does not keep ("alpha", ...).
QByteArray encodeOutput(const QByteArray &engineResult, const QString &format, const OutputQuality &quality,
                        ImageMetadata &metadata, QStringList *lost);
// Whether colormatch can write a colour profile into files of this format.
bool formatHoldsColourProfile(const QString &format);

// How many engines may run at once: the CPUs, fewer when their estimated peak
// memory for the largest image would pass half of the free memory.
int defaultEngineCount(qint64 largestPixelCount);
// Free physical memory in bytes, or -1 when the system does not say.
qint64 freeMemoryBytes();

// ---- The program

// colormatch's whole run for its command line (program path first); returns
// the exit status.
int runColormatch(const QStringList &arguments);
