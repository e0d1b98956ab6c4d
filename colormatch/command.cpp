// colormatch's command line and the runs it asks for: one image (with its LUT
// and preview), a batch of images against one reference, or the capability
// query. Every check that can be made before an engine starts is made first.
#include "colormatch/command.h"
#include "colormatch/colour_management.h"
#include "colormatch/engine_host.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/metadata.h"
#include "colormatch/output_encoding.h"
#include "colormatch/platform.h"
#include "colormatch/preview.h"
#include "colormatch/progress_display.h"
#include "encoders/encoders.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int previewWidth = 1200;
constexpr int smallestLutSize = 2;
constexpr int largestLutSize = 256;
constexpr int defaultLutSize = 33;

const char *const examples = R"(
Examples:
  colormatch photo.jpg look.jpg -o photo_matched.jpg
      match one photograph; the output's extension picks the format
  colormatch photo.jpg look.jpg -o matched.png --strength 0.6 --preview compare.jpg
      a gentler match, and a side-by-side picture to judge it
  colormatch photo.jpg look.jpg --lut grades/look.cube
      export the look as grades/look.cube and grades/look_unwrapped.png
  colormatch photo.jpg look.jpg -o - --format jpg | other-tool
      the matched image on standard output
  colormatch -r look.jpg -d matched --format jpg --quality 90 shots/*.png
      match many images to one reference, one engine per CPU at a time
  colormatch --info
      which OpenCL GPU and how many CPUs the engine finds

Existing output files are replaced, as other image tools do; with -n they are
left as they are and the image is reported as skipped.
TARGET, REFERENCE and -r REFERENCE may be - (standard input), a pipe or <(...);
each is read once, up to 1023 MiB. An output that names an input or another
output is refused. The output keeps the target's EXIF (orientation too), XMP,
IPTC, colour profile and resolution; where the output's format cannot hold the
profile, its colours are converted to sRGB. A reference in another colour space
than the target is converted into the target's before matching.
Exit status: 0 done, 1 some images of a batch failed, 64 usage, 65 an input
image is damaged, unusable or too large, 66 missing input, 69 engine not found,
70 engine crashed, 73 output not writable, 128 + N stopped by signal N (130
Ctrl+C); a failed engine run passes the engine's own status on (65 bad image
data, ...).
)";

struct Options {
    EngineRequest engine;
    QStringList images; // positional arguments
    QString output;
    QString lutCube;      // empty: no LUT export
    QString lutUnwrapped; // the unwrapped PNG beside it
    QString sizeFile;
    QString preview;
    QString reference;    // batch
    QString outputFolder; // batch
    QString format;       // batch
    int jobs = 0;         // batch: engines at once; 0 picks by CPUs and memory
    OutputQuality quality;
    bool batch = false;
    bool noClobber = false;
    bool verbose = false;
    bool info = false;
};

void writeError(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void writeOutput(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// ---- Display: the status line on a terminal, plain lines above it.

struct Display {
    bool terminal = false;
    int width = 80;
    bool verbose = false;
    QVector<ImageProgress> images;
    QString shown;       // the status line now on screen
    int shownLength = 0; // its columns
};

void clearStatus(Display &display)
{
    if (display.shownLength == 0)
        return;
    writeError(QLatin1Char('\r') + QString(display.shownLength, QLatin1Char(' ')) + QLatin1Char('\r'));
    display.shownLength = 0;
    display.shown.clear();
}

void drawStatus(Display &display)
{
    if (!display.terminal)
        return;
    const QString line = renderProgress(display.images, display.width, true);
    if (line == display.shown)
        return;
    const int columns = terminalColumns(line);
    const int padding = std::max(0, display.shownLength - columns);
    writeError(QLatin1Char('\r') + line + QString(padding, QLatin1Char(' ')));
    display.shownLength = columns;
    display.shown = line;
}

void printLine(Display &display, const QString &line)
{
    clearStatus(display);
    writeError(line + QLatin1Char('\n'));
    drawStatus(display);
}

void endImage(Display &display, int index, ImageStage stage, const QString &outcome)
{
    ImageProgress &image = display.images[index];
    image.stage = stage;
    image.outcome = outcome;
    printLine(display, renderEnded(image));
}

// ---- Checks made before any engine starts.

// What colormatch reads in one go from a pipe or device that tells no size.
constexpr qint64 readChunk = qint64(1) << 20;

bool isStandardInput(const QString &path)
{
    return path == QLatin1String("-");
}

// "-" and /dev/stdout: written to colormatch's own standard output, also when
// that has been sent into a regular file (which /dev/stdout then names).
bool isStandardOutput(const QString &path)
{
    return path == QLatin1String("-") || path == QLatin1String("/dev/stdout");
}

QString outputName(const QString &path)
{
    return isStandardOutput(path) ? QStringLiteral("standard output") : path;
}

// A pipe or a device (a FIFO, /dev/null): written to as it is, since
// replacing it with a regular file would take it away from its reader.
bool isPipeOrDevice(const QString &path)
{
    const QFileInfo info(path);
    return isStandardOutput(path) || (info.exists() && !info.isFile() && !info.isDir());
}

// The file a path names, for telling whether two paths name one file: the
// canonical path where it exists, otherwise the canonical folder with the
// name, otherwise the cleaned absolute path.
QString fileKey(const QString &path)
{
    if (isStandardOutput(path))
        return QStringLiteral("-");
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : folder + QLatin1Char('/') + info.fileName();
}

// A file the command line names: an input, or an output colormatch or the
// engine writes.
struct NamedFile {
    QString path;
    QString label; // "LUT file look_unwrapped.png", "output out/a.png (of a.jpg)", ...
    bool input = false;
};

NamedFile named(const QString &what, const QString &path, bool input = false)
{
    return {path, what + QLatin1Char(' ') + path, input};
}

// Every output must name a file of its own: not an input, not another output.
// Checked before anything is read or started, so that a refusal changes nothing.
void refuseSharedFiles(const QVector<NamedFile> &files)
{
    QHash<QString, int> firstNaming;
    for (int i = 0; i < files.size(); ++i) {
        const NamedFile &file = files[i];
        if (file.path.isEmpty() || (file.input && isStandardInput(file.path)))
            continue;
        const QString key = fileKey(file.path);
        const auto earlier = firstNaming.constFind(key);
        if (earlier == firstNaming.cend()) {
            firstNaming.insert(key, i);
            continue;
        }
        const NamedFile &other = files[*earlier];
        if (other.input && file.input)
            continue; // one image may be both target and reference
        const NamedFile &input = other.input ? other : file;
        const NamedFile &output = other.input ? file : other;
        throw UserError(colormatchStatus::usage,
                        input.input
                            ? QStringLiteral("the %1 is the %2: colormatch will not write over an input")
                                  .arg(output.label, input.label)
                            : QStringLiteral("the %1 and the %2 are one file: colormatch will not write one over "
                                             "the other")
                                  .arg(other.label, file.label));
    }
}

// Each output is created and removed again before any engine starts: a match
// of minutes is not run for an output that cannot be written (a read-only
// file, a folder without write permission, /proc).
void checkOutputFolder(const QString &file, const QString &what)
{
    if (isStandardOutput(file))
        return;
    if (isPipeOrDevice(file)) {
        if (!QFileInfo(file).isWritable())
            throw UserError(colormatchStatus::cannotCreate,
                            QStringLiteral("cannot write %1 %2: it is not writable").arg(what, file));
        return;
    }
    const QFileInfo info(file);
    const QFileInfo folder(info.absolutePath());
    QString problem;
    if (!folder.exists())
        problem = QStringLiteral("the folder %1 does not exist").arg(QDir::toNativeSeparators(folder.filePath()));
    else if (!folder.isDir())
        problem = QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(folder.filePath()));
    else if (!folder.isWritable())
        problem = QStringLiteral("the folder %1 is not writable").arg(QDir::toNativeSeparators(folder.filePath()));
    else if (info.isDir())
        problem = QStringLiteral("%1 is a folder").arg(file);
    else {
        // A temporary file beside it, as the real write makes, dropped unwritten.
        QSaveFile probe(file);
        if (!probe.open(QIODevice::WriteOnly))
            problem = QStringLiteral("it cannot be created (%1)").arg(probe.errorString());
        probe.cancelWriting();
    }
    if (!problem.isEmpty())
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot write %1 %2: %3").arg(what, file, problem));
}

// `fallback`: the format for an output with no extension (--format for
// standard output), or empty for PNG.
QString checkedImageFormat(const QString &file, const QString &what, const QString &fallback = QString())
{
    QString format = isStandardOutput(file) ? QString() : resultFormatFor(file);
    if (format.isEmpty() && isPipeOrDevice(file)) // standard output and the like have no extension
        format = fallback.isEmpty() ? QStringLiteral("png") : normalisedFormat(fallback);
    if (format.isEmpty())
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("cannot tell the image format of %1 %2: give it an extension such as .png or "
                                       ".jpg")
                            .arg(what, file));
    if (!formatHasEncoder(format))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("cannot write %1 %2: no image encoder for .%3 files").arg(what, file, format));
    return format;
}

QString saveFile(const QString &path, const QByteArray &bytes)
{
    if (isStandardOutput(path)) {
        QFile file;
        if (file.open(binaryDescriptor(stdout), QIODevice::WriteOnly, QFileDevice::DontCloseHandle) &&
            file.write(bytes) == bytes.size() && file.flush())
            return QString();
        return QStringLiteral("cannot write to standard output: %1").arg(file.errorString());
    }
    if (isPipeOrDevice(path)) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush())
            return QString();
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    }
    // A temporary file beside the output, renamed over it when complete: a
    // reader never sees half an image.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return QString();
    return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
}

QString sizeText(const cv::Size &size)
{
    return size.empty() ? QString() : QStringLiteral(" (%1 x %2)").arg(size.width).arg(size.height);
}

// Names in a cube's comment and title lines: one line each, and no quote
// that would end the title early.
QString cubeText(QString text)
{
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control || c == QLatin1Char('"'))
            c = c == QLatin1Char('"') ? QLatin1Char('\'') : QLatin1Char(' ');
    return text;
}

// The engine's cube with colormatch's own head: the file's name as its title,
// and comment lines that say what it is and in which colour space it works;
// the engine's lines from LUT_3D_SIZE on stay as they are.
QByteArray colormatchCube(const QByteArray &engineCube, const QString &cubePath, const QString &target,
                          const QString &reference, const QString &colourSpace)
{
    const int size = engineCube.indexOf("LUT_3D_SIZE");
    if (size < 0)
        return QByteArray();
    const QString end = engineCube.contains("\r\n") ? QStringLiteral("\r\n") : QStringLiteral("\n");
    const QString head =
        QStringLiteral("# Made by colormatch from the target %1 and the reference %2%5"
                       "# Input and output colour space: %3%5"
                       "TITLE \"%4\"%5")
            .arg(cubeText(target), cubeText(reference), cubeText(colourSpace),
                 cubeText(QFileInfo(cubePath).completeBaseName()), end);
    return head.toUtf8() + engineCube.mid(size);
}

QString requireEngine()
{
    // Beside colormatch in a build, in ../libexec once installed.
    const QString folder = QCoreApplication::applicationDirPath();
    const QString path = enginePathIn(folder);
    const QString installed = QDir::cleanPath(enginePathIn(folder + QStringLiteral("/../libexec")));
    for (const QString &candidate : {path, installed})
        if (QFileInfo(candidate).isFile() && QFileInfo(candidate).isExecutable())
            return candidate;
    const QFileInfo info(path);
    throw UserError(
        colormatchStatus::unavailable,
        QStringLiteral("cannot find the engine: colormatch runs matchengine from its own folder, "
                       "and %1 is %2 (nor is it at %3)")
            .arg(QDir::toNativeSeparators(path),
                 info.exists() ? QStringLiteral("not an executable program") : QStringLiteral("missing"),
                 QDir::toNativeSeparators(installed)));
}

// ---- Photographs: the reference checked once, colour spaces, the output file.

ImageMetadata checkedReference(const QString &path, const QByteArray &bytes)
{
    auto refuse = [&](const QString &problem) {
        if (!problem.isEmpty())
            throw UserError(colormatchStatus::dataError, QStringLiteral("reference image %1: %2").arg(path, problem));
    };
    // Its structure before its metadata, its size before its pixels.
    refuse(encodedImageProblem(bytes));
    const ImageMetadata metadata = readImageMetadata(bytes);
    refuse(decodedImageProblem(bytes, metadata));
    refuse(colourProfileProblem(metadata.iccProfile));
    // A CMYK reference without a usable profile is refused here, once.
    if (metadata.cmyk)
        convertedForMatching(bytes, metadata, QByteArray(), QStringLiteral("reference image ") + path);
    return metadata;
}

// A target's metadata, unless its structure is unsound: then nothing of it is
// read here, and the engine refuses it in its own words.
ImageMetadata targetMetadataOf(const QByteArray &bytes)
{
    return encodedImageProblem(bytes).isEmpty() ? readImageMetadata(bytes) : ImageMetadata();
}

// What of the images' metadata could not be read or written, for the output's line.
QString leftOutNote(const QStringList &target, const QStringList &reference)
{
    QStringList pieces;
    for (const QString &piece : target)
        pieces << QStringLiteral("the target's ") + piece;
    for (const QString &piece : reference)
        pieces << QStringLiteral("the reference's ") + piece + QStringLiteral(", which was read as untagged");
    return pieces.isEmpty() ? QString() : QStringLiteral("; left out: ") + pieces.join(QStringLiteral(", "));
}

// One target made ready: what its output carries, the file the engine reads
// and the reference in the target's colour space.
struct EngineTarget {
    QString path;     // not empty: read when the engine starts
    QByteArray bytes; // otherwise these
};

struct PreparedMatch {
    ImageMetadata target;
    QString enginePath;
    QByteArray referenceBytes;
    QStringList notes; // what was converted, for --verbose
};

// Converts a CMYK target to sRGB (a file in `scratch`) and the reference into
// the target's space; references already converted for a space are reused.
PreparedMatch prepareMatch(const QString &targetPath, const QByteArray &targetBytes,
                           const ImageMetadata &targetMetadata, const QString &referencePath,
                           const QByteArray &referenceBytes, const ImageMetadata &referenceMetadata,
                           const QTemporaryDir &scratch, QHash<QByteArray, EngineInput> &references)
{
    PreparedMatch match{targetMetadata, targetPath, referenceBytes, {}};
    const QString profileProblem = colourProfileProblem(targetMetadata.iccProfile);
    if (!profileProblem.isEmpty())
        throw UserError(colormatchStatus::dataError, QStringLiteral("target image %1: %2").arg(targetPath, profileProblem));
    if (targetMetadata.cmyk) {
        const EngineInput converted = convertedForMatching(targetBytes, targetMetadata, QByteArray(),
                                                           QStringLiteral("target image ") + targetPath);
        match.enginePath = scratch.filePath(QStringLiteral("target%1.pam").arg(QDir(scratch.path()).count()));
        const QString problem = saveFile(match.enginePath, converted.bytes);
        if (!problem.isEmpty())
            throw UserError(colormatchStatus::cannotCreate, problem);
        match.notes << converted.note;
        match.target.iccProfile.clear();
        match.target.cmyk = false;
    }
    // The engine gives grey targets colour; a grey profile no longer describes them.
    if (!isRgbProfile(match.target.iccProfile))
        match.target.iccProfile.clear();
    const QByteArray space = match.target.iccProfile;
    if (!references.contains(space)) {
        EngineInput reference = convertedForMatching(referenceBytes, referenceMetadata, space,
                                                     QStringLiteral("reference image ") + referencePath);
        if (reference.bytes.isEmpty())
            reference.bytes = referenceBytes;
        references.insert(space, reference);
    }
    match.referenceBytes = references.value(space).bytes;
    if (!references.value(space).note.isEmpty())
        match.notes << references.value(space).note;
    return match;
}

// An option for an encoding the output's format does not use is refused, as
// --lut-size without --lut is: silently ignored, it would look obeyed.
void refuseUnusedQualityOptions(const OutputQuality &quality, const QString &format)
{
    auto refuse = [&](const QString &option, const QString &formats) {
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("%1 is for %2 outputs, not .%3").arg(option, formats, format));
    };
    if (quality.qualityGiven && format != QLatin1String("jpg") && format != QLatin1String("webp"))
        refuse(QStringLiteral("--quality"), QStringLiteral("JPEG and WebP"));
    if (quality.lossless && format != QLatin1String("webp"))
        refuse(QStringLiteral("--lossless"), QStringLiteral("WebP"));
    if (quality.pngLevel >= 0 && format != QLatin1String("png"))
        refuse(QStringLiteral("--png-level"), QStringLiteral("PNG"));
}

// Encodes the engine's result in the output's format with the target's
// metadata and saves it; returns what went wrong, or empty. `note` says what
// of the target the format cannot hold.
QString saveOutput(const QString &path, const QString &format, const QByteArray &result, const Options &options,
                   const ImageMetadata &metadata, QString *note)
{
    ImageMetadata kept = metadata;
    QStringList lost;
    const QByteArray encoded = encodeOutput(result, format, options.quality, kept, &lost);
    if (encoded.isEmpty())
        return QStringLiteral("cannot encode the result of %1 as .%2").arg(outputName(path), format);
    QStringList notKept;
    QStringList leftOut = metadata.leftOut;
    const QByteArray complete = withImageMetadata(encoded, kept, &notKept, &leftOut);
    notKept << lost;
    if (!notKept.isEmpty())
        *note = QStringLiteral("; .%1 files cannot hold the target's %2")
                    .arg(format, notKept.join(QStringLiteral(", ")));
    *note += leftOutNote(leftOut, {});
    return saveFile(path, complete);
}

// ---- Running engines with the display attached.

// Runs the jobs while the display follows them; entryOfJob gives each job's
// image in the display.
void runWithDisplay(const QString &enginePath, const QVector<EngineJob> &jobs, const QVector<int> &entryOfJob,
                    int concurrency, Display &display,
                    const std::function<void(int entry, const EngineOutcome &outcome)> &onEnded)
{
    drawStatus(display);
    runEngineJobs(
        enginePath, jobs, concurrency,
        [&](int job, const QString &line) {
            ImageProgress &image = display.images[entryOfJob[job]];
            // The engine's first line ("005") says it has started.
            if (display.verbose && image.engineLines.isEmpty())
                printLine(display,
                          QStringLiteral("[%1] %2 %3")
                              .arg(image.name, QDir::toNativeSeparators(enginePath),
                                   jobs[job].arguments.join(QLatin1Char(' '))));
            image.stage = ImageStage::running;
            image.engineLines << line;
            if (display.verbose && progressCode(line) < 0)
                printLine(display, QStringLiteral("[%1] %2").arg(image.name, line));
            else
                drawStatus(display);
        },
        [&](int job, const EngineOutcome &outcome) { onEnded(entryOfJob[job], outcome); });
    clearStatus(display);
}

// ---- The runs.

int runInfo(const QString &enginePath)
{
    EngineOutcome answer;
    EngineJob query;
    query.arguments = capabilityArguments();
    query.query = true;
    runEngineJobs(enginePath, {query}, 1, [](int, const QString &) {},
                  [&](int, const EngineOutcome &outcome) { answer = outcome; });
    const QString failure = engineFailure(answer);
    if (!failure.isEmpty())
        throw UserError(engineFailureStatus(answer), QStringLiteral("capability query: %1").arg(failure));
    writeOutput(describeCapability(answer.result));
    return colormatchStatus::ok;
}

int runSingle(const Options &options, const QString &enginePath, Display &display)
{
    const QString targetPath = options.images[0];
    const QString referencePath = options.images[1];
    if (isStandardInput(targetPath) && isStandardInput(referencePath))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("standard input (-) can be read only once: give it for one input"));
    if (options.output.isEmpty() && options.lutCube.isEmpty() && options.preview.isEmpty())
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("nothing to write: give -o OUTPUT, --lut BASE or --preview FILE"));
    QString outputFormat = QStringLiteral("png");
    QString previewFormat;
    if (!options.output.isEmpty()) {
        outputFormat = checkedImageFormat(options.output, QStringLiteral("output"), options.format);
        refuseUnusedQualityOptions(options.quality, outputFormat);
        checkOutputFolder(options.output, QStringLiteral("output"));
    }
    if (!options.preview.isEmpty()) {
        previewFormat = checkedImageFormat(options.preview, QStringLiteral("preview"));
        checkOutputFolder(options.preview, QStringLiteral("preview"));
    }
    if (!options.lutCube.isEmpty()) {
        checkOutputFolder(options.lutCube, QStringLiteral("LUT file"));
        checkOutputFolder(options.lutUnwrapped, QStringLiteral("LUT file"));
    }
    if (!options.sizeFile.isEmpty())
        checkOutputFolder(options.sizeFile, QStringLiteral("size file"));
    const QString lutFile = QStringLiteral("LUT file");
    refuseSharedFiles({named(QStringLiteral("target image"), targetPath, true),
                       named(QStringLiteral("reference image"), referencePath, true),
                       named(QStringLiteral("output"), options.output),
                       named(QStringLiteral("preview"), options.preview),
                       named(QStringLiteral("size file"), options.sizeFile),
                       named(lutFile, options.lutCube), named(lutFile, options.lutUnwrapped)});
    // Read once: both engine runs and the preview take these same bytes.
    const QByteArray targetBytes = readInputImage(targetPath, QStringLiteral("target"));
    const QByteArray referenceBytes = readInputImage(referencePath, QStringLiteral("reference"));
    const ImageMetadata referenceMetadata = checkedReference(referencePath, referenceBytes);
    const QStringList referenceLeftOut = referenceMetadata.leftOut.filter(QStringLiteral("colour profile"));

    // -n leaves every existing output as it is.
    const QString name = isStandardInput(targetPath) ? inputName(targetPath) : QFileInfo(targetPath).fileName();
    auto keep = [&](const QStringList &files) {
        for (const QString &file : files)
            if (options.noClobber && !isStandardOutput(file) && QFileInfo::exists(file)) {
                printLine(display,
                          QStringLiteral("skipped %1: %2 exists; left as it is (--no-clobber)").arg(name, file));
                return false;
            }
        return true;
    };
    const bool writeImage = !options.output.isEmpty() && keep({options.output});
    const bool writePreview = !options.preview.isEmpty() && keep({options.preview});
    const bool writeLut =
        !options.lutCube.isEmpty() && keep({options.lutCube, options.lutUnwrapped});

    const QTemporaryDir scratch;
    QHash<QByteArray, EngineInput> references;
    const ImageMetadata targetMetadata = targetMetadataOf(targetBytes);
    const PreparedMatch match = prepareMatch(targetPath, targetBytes, targetMetadata, referencePath, referenceBytes,
                                             referenceMetadata, scratch, references);
    if (options.verbose)
        for (const QString &note : match.notes)
            printLine(display, QStringLiteral("[%1] %2").arg(name, note));

    // The target's bytes as read, unless a converted copy stands in for them.
    const EngineTarget engineTarget = match.enginePath == targetPath ? EngineTarget{QString(), targetBytes}
                                                                     : EngineTarget{match.enginePath, QByteArray()};
    QVector<EngineJob> jobs;
    QVector<int> entryOfJob;
    int imageEntry = -1;
    int lutEntry = -1;
    if (writeImage || writePreview) {
        EngineRequest request = options.engine;
        request.resultFormat = engineTransferFormat();
        request.sizeFile = options.sizeFile;
        imageEntry = display.images.size();
        display.images.append(ImageProgress{name, {}, ImageStage::waiting, {}});
        entryOfJob << imageEntry;
        jobs << EngineJob{engineArguments(request), engineTarget.path, engineTarget.bytes, match.referenceBytes};
    }
    if (writeLut) {
        // The engine answers a LUT export with a placeholder image, so the
        // matched image, when wanted, comes from a run of its own.
        EngineRequest request = options.engine;
        // Into the scratch folder: colormatch writes both files with a head of its own.
        request.lutBase = scratch.filePath(QStringLiteral("look"));
        if (imageEntry < 0)
            request.sizeFile = options.sizeFile;
        lutEntry = display.images.size();
        display.images.append(ImageProgress{name + QStringLiteral(" (LUT)"), {}, ImageStage::waiting, {}});
        entryOfJob << lutEntry;
        jobs << EngineJob{engineArguments(request), engineTarget.path, engineTarget.bytes, match.referenceBytes};
    }

    int status = colormatchStatus::ok;
    auto fail = [&](int entry, int failureStatus, const QString &why) {
        if (status == colormatchStatus::ok)
            status = failureStatus;
        endImage(display, entry, ImageStage::failed, why);
    };
    runWithDisplay(
        enginePath, jobs, entryOfJob, std::max(2, QThread::idealThreadCount()), display,
        [&](int entry, const EngineOutcome &outcome) {
            const QString failure = engineFailure(outcome);
            if (!failure.isEmpty())
                return fail(entry, engineFailureStatus(outcome), failure);
            if (entry == lutEntry) {
                QFile engineCube(scratch.filePath(QStringLiteral("look_cube.cube")));
                QFile unwrapped(scratch.filePath(QStringLiteral("look_unwrapped.png")));
                const QByteArray cube =
                    engineCube.open(QIODevice::ReadOnly)
                        ? colormatchCube(engineCube.readAll(), options.lutCube, name,
                                         isStandardInput(referencePath) ? inputName(referencePath)
                                                                        : QFileInfo(referencePath).fileName(),
                                         colourSpaceName(match.target.iccProfile))
                        : QByteArray();
                if (cube.isEmpty() || !unwrapped.open(QIODevice::ReadOnly))
                    return fail(entry, colormatchStatus::software, QStringLiteral("the engine wrote no LUT files"));
                QString problem = saveFile(options.lutCube, cube);
                if (problem.isEmpty())
                    problem = saveFile(options.lutUnwrapped, unwrapped.readAll());
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
                return endImage(display, entry, ImageStage::done,
                                QStringLiteral("wrote %1 (%2 x %2 x %2) and %3")
                                    .arg(options.lutCube)
                                    .arg(options.engine.lutSize)
                                    .arg(options.lutUnwrapped));
            }
            QStringList written;
            if (writeImage) {
                QString note;
                const QString problem =
                    saveOutput(options.output, outputFormat, outcome.result, options, match.target, &note);
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
                written << outputName(options.output) + sizeText(workingSize(outcome.lines)) + note;
            }
            if (writePreview) {
                // Each shown as a viewer shows it: turned upright, in sRGB.
                const cv::Mat target = decodeForViewing(targetBytes, targetMetadata);
                const cv::Mat reference = decodeForViewing(referenceBytes, referenceMetadata);
                const cv::Mat result = decodeForViewing(outcome.result, match.target);
                if (target.empty() || reference.empty() || result.empty())
                    return fail(entry, colormatchStatus::software,
                                QStringLiteral("the preview cannot be made: an image does not decode"));
                const cv::Mat preview = composePreview(target, reference, result, previewWidth);
                // A PNG preview comes from the writer the engine uses for its results.
                std::vector<uchar> encoded;
                if (previewFormat == QLatin1String("png"))
                    encoded = encodePng(preview);
                else if (!cv::imencode(("." + previewFormat).toStdString(), preview, encoded))
                    return fail(entry, colormatchStatus::software,
                                QStringLiteral("cannot encode the preview as .%1").arg(previewFormat));
                const QString problem = saveFile(
                    options.preview, QByteArray(reinterpret_cast<const char *>(encoded.data()), int(encoded.size())));
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
                written << QStringLiteral("preview %1 (target | reference | result)").arg(options.preview);
            }
            endImage(display, entry, ImageStage::done,
                     QStringLiteral("wrote ") + written.join(QStringLiteral(", ")) + leftOutNote({}, referenceLeftOut));
        });
    return status;
}

int runBatch(const Options &options, const QString &enginePath, Display &display)
{
    const QString format = normalisedFormat(options.format.isEmpty() ? QStringLiteral("png") : options.format);
    if (!formatHasEncoder(format))
        throw UserError(colormatchStatus::usage, QStringLiteral("no image encoder for the format \"%1\"").arg(format));
    refuseUnusedQualityOptions(options.quality, format);
    const QString folder = options.outputFolder;

    // Each image's output, OUTDIR/<name without extension>.<format>; one that
    // names an input or another image's output is refused before anything is
    // read or written.
    QStringList outputs;
    QVector<NamedFile> files{named(QStringLiteral("reference image"), options.reference, true)};
    for (const QString &image : options.images) {
        if (isStandardInput(image))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("a batch image needs a file name for its output; standard input (-) "
                                           "works as -r - or as the TARGET of one image"));
        files.append(named(QStringLiteral("image"), image, true));
        outputs << QDir(folder).filePath(QFileInfo(image).completeBaseName() + QLatin1Char('.') + format);
        files.append({outputs.last(), QStringLiteral("output %1 (of %2)").arg(outputs.last(), image)});
    }
    refuseSharedFiles(files);
    // A reference that cannot be used ends the batch here, once.
    const QByteArray referenceBytes = readInputImage(options.reference, QStringLiteral("reference"));
    const ImageMetadata referenceMetadata = checkedReference(options.reference, referenceBytes);
    // Only its profile matters: the reference's other metadata is not written anywhere.
    const QStringList referenceLeftOut = referenceMetadata.leftOut.filter(QStringLiteral("colour profile"));

    if (!QFileInfo(folder).exists() && !QDir().mkpath(folder))
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot create the output folder %1").arg(folder));
    const QFileInfo folderInfo(folder);
    if (!folderInfo.isDir())
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot write into %1: it is not a folder").arg(folder));
    if (!folderInfo.isWritable())
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot write into %1: the folder is not writable").arg(folder));

    EngineRequest request = options.engine;
    request.resultFormat = engineTransferFormat();
    const QStringList arguments = engineArguments(request);
    QVector<EngineJob> jobs;
    QVector<int> entryOfJob;
    QVector<ImageMetadata> outputMetadata(options.images.size());
    const QTemporaryDir scratch;
    QHash<QByteArray, EngineInput> references;
    qint64 largestPixelCount = 0;
    for (int i = 0; i < options.images.size(); ++i)
        display.images.append(ImageProgress{QFileInfo(options.images[i]).fileName(), {}, ImageStage::waiting, {}});
    for (int i = 0; i < options.images.size(); ++i) {
        const QString &image = options.images[i];
        const QString problem = inputProblem(image);
        if (!problem.isEmpty())
            endImage(display, i, ImageStage::failed, problem);
        else if (options.noClobber && QFileInfo::exists(outputs[i]))
            endImage(display, i, ImageStage::skipped,
                     QStringLiteral("%1 exists; left as it is (--no-clobber)").arg(outputs[i]));
        else {
            QByteArray bytes;
            PreparedMatch match;
            ImageMetadata metadata;
            try {
                checkOutputFolder(outputs[i], QStringLiteral("output")); // before its engine starts
                bytes = readInputImage(image, QStringLiteral("image"));
                metadata = targetMetadataOf(bytes);
                match = prepareMatch(image, bytes, metadata, options.reference, referenceBytes, referenceMetadata,
                                     scratch, references);
            } catch (const UserError &error) {
                endImage(display, i, ImageStage::failed, QString::fromStdString(error.what()));
                continue;
            }
            if (options.verbose)
                for (const QString &note : match.notes)
                    printLine(display, QStringLiteral("[%1] %2").arg(display.images[i].name, note));
            // Pixels from the header; a compressed file holds at least a few per byte.
            const qint64 pixels = metadata.storedSize.empty()
                ? 4 * bytes.size()
                : qint64(metadata.storedSize.width) * metadata.storedSize.height;
            largestPixelCount = std::max(largestPixelCount, pixels);
            outputMetadata[i] = match.target;
            entryOfJob << i;
            // A file is read again when its engine starts, so that a large batch is
            // not held in memory; a pipe can be read only once.
            const bool reread = match.enginePath != image || QFileInfo(image).isFile();
            jobs << EngineJob{arguments, reread ? match.enginePath : QString(), reread ? QByteArray() : bytes,
                              match.referenceBytes};
        }
    }

    const int engines = options.jobs > 0 ? options.jobs : defaultEngineCount(largestPixelCount);
    runWithDisplay(enginePath, jobs, entryOfJob, engines, display, [&](int entry, const EngineOutcome &outcome) {
        QString failure = engineFailure(outcome);
        QString note;
        if (failure.isEmpty())
            failure = saveOutput(outputs[entry], format, outcome.result, options, outputMetadata[entry], &note);
        if (!failure.isEmpty())
            return endImage(display, entry, ImageStage::failed, failure);
        endImage(display, entry, ImageStage::done,
                 QStringLiteral("wrote %1%2%3").arg(outputs[entry], sizeText(workingSize(outcome.lines)),
                                                     note + leftOutNote({}, referenceLeftOut)));
    });

    writeError(renderSummary(display.images));
    const bool anyFailed = std::any_of(display.images.cbegin(), display.images.cend(),
                                       [](const ImageProgress &image) { return image.stage == ImageStage::failed; });
    return anyFailed ? colormatchStatus::someFailed : colormatchStatus::ok;
}

// ---- The command line.

int editDistance(const QString &a, const QString &b)
{
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known option a mistyped one most likely meant: the nearest by edits,
// and only when it is near enough (a third of the name, at least 2).
QString nearestName(const QString &typed, const QStringList &known)
{
    QString nearest;
    int best = std::max(2, int(typed.size()) / 3) + 1;
    for (const QString &name : known) {
        const int distance = editDistance(typed, name);
        if (name.size() > 1 && distance < best) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

struct ParsedCommand {
    Options options;
    QString helpText; // not empty: print it and stop
};

ParsedCommand parseCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Gives TARGET the colours of REFERENCE: its mean colour and colour spread, keeping TARGET's own lightness\n"
        "unless --match-lightness is given. colormatch runs the matchengine next to it for every image.\n"
        "Batch: colormatch -r REFERENCE -d OUTDIR IMAGE... matches many images to one reference."));
    // Not addHelpOption(): its --help-all promises Qt's own options, which a
    // program without a GUI does not have.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help with examples."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Write the matched image to FILE; its extension picks the format "
                                                   "(png, jpg, tif, webp, ...). - writes it to standard output "
                                                   "as --format says (default png)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption strength({QStringLiteral("s"), QStringLiteral("strength")},
                                      QStringLiteral("How far to go: 1 the full match (default), 0 the target "
                                                     "unchanged, values between blend."),
                                      QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption lightness(QStringLiteral("match-lightness"),
                                       QStringLiteral("Let the match change lightness too (by default TARGET keeps its "
                                                      "own)."));
    const QCommandLineOption noOpenCL(QStringLiteral("no-opencl"),
                                      QStringLiteral("Compute on the CPU only, without OpenCL."));
    const QCommandLineOption lut(QStringLiteral("lut"),
                                 QStringLiteral("Export the look as a 3D LUT: BASE_cube.cube for grading tools and "
                                                "BASE_unwrapped.png; a BASE ending in .cube is the cube's own name, "
                                                "with NAME_unwrapped.png beside it."),
                                 QStringLiteral("BASE"));
    const QCommandLineOption lutSize(QStringLiteral("lut-size"),
                                     QStringLiteral("Points per axis of the .cube LUT, 2 to 256 (default 33; 17 and 65 "
                                                    "are the other usual sizes)."),
                                     QStringLiteral("N"), QString::number(defaultLutSize));
    const QCommandLineOption preview(QStringLiteral("preview"),
                                     QStringLiteral("Write target, reference and result side by side, %1 pixels "
                                                    "wide, to FILE.")
                                         .arg(previewWidth),
                                     QStringLiteral("FILE"));
    const QCommandLineOption sizeFile(QStringLiteral("size-file"),
                                      QStringLiteral("Write the engine's working size (WIDTHxHEIGHT) to FILE."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption reference({QStringLiteral("r"), QStringLiteral("reference")},
                                       QStringLiteral("Batch: the reference for every IMAGE."),
                                       QStringLiteral("REFERENCE"));
    const QCommandLineOption outputFolder({QStringLiteral("d"), QStringLiteral("output-dir")},
                                          QStringLiteral("Batch: write OUTDIR/<image name>.<format> (the folder is "
                                                         "created if missing)."),
                                          QStringLiteral("OUTDIR"));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("Batch, and -o -: the output format (png, jpg, tif, webp, ...; "
                                                   "default png)."),
                                    QStringLiteral("FORMAT"));
    const QCommandLineOption noClobber(
        {QStringLiteral("n"), QStringLiteral("no-clobber")},
        QStringLiteral("Leave existing output files as they are (the image is skipped)."));
    const QCommandLineOption info(QStringLiteral("info"),
                                  QStringLiteral("Show the OpenCL GPU and the number of CPUs the engine finds."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Show the engine's command lines, its diagnostic lines and the "
                                                    "colour conversions made."));
    const QCommandLineOption quality(QStringLiteral("quality"),
                                     QStringLiteral("JPEG and WebP quality, 1 to 100 (default 95; from 90 up JPEG "
                                                    "keeps full colour resolution, 4:4:4). Like --lossless (WebP) "
                                                    "and --png-level, refused for other outputs."),
                                     QStringLiteral("Q"), QStringLiteral("95"));
    const QCommandLineOption lossless(QStringLiteral("lossless"), QStringLiteral("Write WebP losslessly."));
    const QCommandLineOption pngLevel(QStringLiteral("png-level"),
                                      QStringLiteral("PNG compression, 0 (none) to 9 (smallest, never larger than "
                                                     "the default, and much slower); by default the fast run-length "
                                                     "compression the engine writes its PNGs with, smaller on "
                                                     "photographs than levels 1 to 8."),
                                      QStringLiteral("N"));
    const QCommandLineOption jobs({QStringLiteral("j"), QStringLiteral("jobs")},
                                  QStringLiteral("Batch: engines running at once (default: one per CPU, fewer when "
                                                 "memory is short)."),
                                  QStringLiteral("N"));
    const QList<QCommandLineOption> ownOptions{output,    strength, lightness, noOpenCL,  lut,       lutSize,
                                               preview,   sizeFile, reference, outputFolder, format, jobs,
                                               quality,   lossless, pngLevel,  noClobber, info,      verbose};
    for (const QCommandLineOption &option : ownOptions)
        parser.addOption(option);
    parser.addPositionalArgument(QStringLiteral("TARGET"), QStringLiteral("The image whose colours change."));
    parser.addPositionalArgument(QStringLiteral("REFERENCE"), QStringLiteral("The image whose look it takes."));

    const QString tryHelp = QStringLiteral(" (try colormatch --help)");
    if (!parser.parse(arguments)) {
        QStringList known{QStringLiteral("help"), QStringLiteral("version")};
        for (const QCommandLineOption &option : ownOptions)
            known << option.names();
        const QString typed = parser.unknownOptionNames().value(0);
        const QString nearest = typed.isEmpty() ? QString() : nearestName(typed, known);
        throw UserError(colormatchStatus::usage,
                        nearest.isEmpty() ? parser.errorText() + tryHelp
                                          : QStringLiteral("unknown option --%1: did you mean --%2?")
                                                .arg(typed, nearest));
    }
    ParsedCommand parsed;
    if (parser.isSet(help)) {
        // The parser names the program by the path it was started with.
        QString text = parser.helpText();
        text.replace(0, text.indexOf(QLatin1Char('\n')),
                     QStringLiteral("Usage: colormatch [options] TARGET REFERENCE\n"
                                    "       colormatch [options] -r REFERENCE -d OUTDIR IMAGE...\n"
                                    "       colormatch --info\n"));
        parsed.helpText = text + QLatin1String(examples);
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.helpText = QStringLiteral("colormatch %1\n").arg(QCoreApplication::applicationVersion());
        return parsed;
    }

    Options &options = parsed.options;
    options.info = parser.isSet(info);
    options.verbose = parser.isSet(verbose);
    options.noClobber = parser.isSet(noClobber);
    options.images = parser.positionalArguments();
    options.output = parser.value(output);
    // NAME.cube is the cube's own name, with NAME_unwrapped.png beside it;
    // otherwise BASE_cube.cube and BASE_unwrapped.png.
    QString lutBase = parser.value(lut);
    if (!lutBase.isEmpty()) {
        const bool named = lutBase.endsWith(QLatin1String(".cube"), Qt::CaseInsensitive);
        options.lutCube = named ? lutBase : lutBase + QStringLiteral("_cube.cube");
        if (named)
            lutBase.chop(5);
        options.lutUnwrapped = lutBase + QStringLiteral("_unwrapped.png");
    }
    options.sizeFile = parser.value(sizeFile);
    options.preview = parser.value(preview);
    options.reference = parser.value(reference);
    options.outputFolder = parser.value(outputFolder);
    options.format = parser.value(format);
    if (options.format.startsWith(QLatin1Char('.')))
        options.format.remove(0, 1);
    options.engine.matchLightness = parser.isSet(lightness);
    options.engine.useOpenCL = !parser.isSet(noOpenCL);

    bool ok = false;
    options.engine.strength = parser.value(strength).toDouble(&ok);
    // The engine works in single precision and refuses what is not finite there.
    if (!ok || !std::isfinite(float(options.engine.strength)))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--strength wants a finite number (1 the full match, 0 none), not \"%1\"")
                            .arg(parser.value(strength)));
    options.engine.lutSize = parser.value(lutSize).toInt(&ok, 10);
    if (!ok || options.engine.lutSize < smallestLutSize || options.engine.lutSize > largestLutSize)
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--lut-size wants a whole number from %1 to %2, not \"%3\"")
                            .arg(smallestLutSize)
                            .arg(largestLutSize)
                            .arg(parser.value(lutSize)));
    if (parser.isSet(lutSize) && !parser.isSet(lut))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--lut-size is the size of the --lut export; give --lut BASE too"));
    auto wholeNumber = [&](const QCommandLineOption &option, int lowest, int highest) {
        bool whole = false;
        const int value = parser.value(option).toInt(&whole, 10);
        if (!whole || value < lowest || value > highest)
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                                .arg(option.names().last())
                                .arg(lowest)
                                .arg(highest)
                                .arg(parser.value(option)));
        return value;
    };
    options.quality.jpegQuality = wholeNumber(quality, 1, 100);
    options.quality.qualityGiven = parser.isSet(quality);
    if (parser.isSet(pngLevel))
        options.quality.pngLevel = wholeNumber(pngLevel, 0, 9);
    options.quality.lossless = parser.isSet(lossless);
    if (parser.isSet(jobs))
        options.jobs = wholeNumber(jobs, 1, 1024);
    if (options.info)
        return parsed;

    options.batch = parser.isSet(reference) || parser.isSet(outputFolder);
    if (options.batch) {
        if (!parser.isSet(reference) || !parser.isSet(outputFolder) || options.images.isEmpty())
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("a batch needs -r REFERENCE, -d OUTDIR and at least one IMAGE") + tryHelp);
        if (isStandardOutput(options.output))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("-o %1 (standard output) takes one image; a batch writes its images into "
                                           "-d OUTDIR")
                                .arg(options.output));
        for (const QCommandLineOption &single : {output, lut, preview, sizeFile})
            if (parser.isSet(single))
                throw UserError(colormatchStatus::usage,
                                QStringLiteral("--%1 works on one image, not in a batch").arg(single.names().last()));
    } else {
        if (options.images.size() != 2)
            throw UserError(
                colormatchStatus::usage,
                QStringLiteral("expected TARGET and REFERENCE, got %1 file name%2")
                        .arg(options.images.size())
                        .arg(options.images.size() == 1 ? "" : "s") +
                    tryHelp);
        if (parser.isSet(format) && !isStandardOutput(options.output))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--format is for batches and -o -; for one image the extension of -o "
                                           "picks it"));
    }
    return parsed;
}

} // namespace

QString inputName(const QString &path)
{
    return isStandardInput(path) ? QStringLiteral("standard input") : path;
}

QString inputProblem(const QString &path)
{
    if (isStandardInput(path))
        return QString();
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("%1 does not exist").arg(path);
    if (info.isDir())
        return QStringLiteral("%1 is a folder, not an image file").arg(path);
    return QString();
}

QByteArray readInputImage(const QString &path, const QString &role)
{
    auto refusal = [&](int status, const QString &problem) {
        return UserError(status, QStringLiteral("%1 image: %2").arg(role, problem));
    };
    const UserError tooLarge = refusal(colormatchStatus::dataError,
                                       QStringLiteral("%1 is larger than the %2 MiB colormatch reads of an image")
                                           .arg(inputName(path))
                                           .arg(largestInput >> 20));
    const QString problem = inputProblem(path);
    if (!problem.isEmpty())
        throw refusal(colormatchStatus::noInput, problem);
    QFile file;
    qint64 expected = 0; // a regular file's size
    if (isStandardInput(path)) {
        file.open(binaryDescriptor(stdin), QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    } else {
        const QFileInfo info(path);
        expected = info.isFile() ? info.size() : 0;
        if (expected > largestInput)
            throw tooLarge; // said by its size, without reading it
        file.setFileName(path);
        file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    if (!file.isOpen())
        throw refusal(colormatchStatus::noInput,
                      QStringLiteral("cannot read %1: %2").arg(inputName(path), file.errorString()));
    // Pipes and devices tell no size (and a file may grow): the array grows by
    // doubling, reserved exactly, up to one byte past the limit, which tells
    // that there is more.
    QByteArray bytes;
    qint64 size = 0;
    for (;;) {
        if (size == bytes.size()) {
            if (size > largestInput)
                throw tooLarge;
            const int grown = int(std::min(largestInput + 1, std::max({readChunk, expected + 1, 2 * size})));
            bytes.reserve(grown);
            bytes.resize(grown);
        }
        const qint64 got = file.read(bytes.data() + size, bytes.size() - size);
        if (got < 0)
            throw refusal(colormatchStatus::noInput,
                          QStringLiteral("cannot read %1: %2").arg(inputName(path), file.errorString()));
        if (got == 0)
            break;
        size += got;
    }
    bytes.resize(int(size));
    return bytes;
}

int runColormatch(const QStringList &arguments)
{
    Display display;
    try {
        const ParsedCommand parsed = parseCommand(arguments);
        if (!parsed.helpText.isEmpty()) {
            writeOutput(parsed.helpText);
            return colormatchStatus::ok;
        }
        const Options &options = parsed.options;
        const QString enginePath = requireEngine();
        if (options.info)
            return runInfo(enginePath);
        display.terminal = standardErrorIsTerminal();
        display.width = terminalWidth();
        display.verbose = options.verbose;
        return options.batch ? runBatch(options, enginePath, display) : runSingle(options, enginePath, display);
    } catch (const UserError &error) {
        clearStatus(display);
        writeError(QStringLiteral("colormatch: %1\n").arg(QString::fromStdString(error.what())));
        return error.status;
    } catch (const cv::Exception &error) {
        clearStatus(display);
        writeError(
            QStringLiteral("colormatch: image processing failed: %1\n").arg(QString::fromStdString(error.what())));
        return colormatchStatus::software;
    }
}
