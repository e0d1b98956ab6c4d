// colormatch's command line and the runs it asks for: one image (with its LUT
// and preview), a batch of images against one reference, or the capability
// query. Every check that can be made before an engine starts is made first.
#include "colormatch/colormatch.h"
#include "png/png.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QThread>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
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
  colormatch photo.jpg look.jpg --lut grades/look
      export the look as grades/look_cube.cube and grades/look_unwrapped.png
  colormatch -r look.jpg -d matched --format jpg shots/*.png
      match many images to one reference, one engine per CPU at a time
  colormatch --info
      which OpenCL GPU and how many CPUs the engine finds

Existing output files are replaced, as other image tools do; with -n they are
left as they are and the image is reported as skipped.
Exit status: 0 done, 1 some images of a batch failed, 64 usage, 66 missing
input, 69 engine not found, 70 engine crashed, 73 output not writable; a
failed engine run passes the engine's own status on (65 bad image data, ...).
)";

struct Options {
    EngineRequest engine;
    QStringList images; // positional arguments
    QString output;
    QString lutBase;
    QString sizeFile;
    QString preview;
    QString reference;    // batch
    QString outputFolder; // batch
    QString format;       // batch
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
    const int padding = std::max(0, display.shownLength - line.size());
    writeError(QLatin1Char('\r') + line + QString(padding, QLatin1Char(' ')));
    display.shownLength = line.size();
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

QString inputProblem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("%1 does not exist").arg(path);
    if (info.isDir())
        return QStringLiteral("%1 is a folder, not an image file").arg(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    return QString();
}

QByteArray readInput(const QString &path, const QString &role)
{
    const QString problem = inputProblem(path);
    if (!problem.isEmpty())
        throw UserError(colormatchStatus::noInput, QStringLiteral("%1 image: %2").arg(role, problem));
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

void checkOutputFolder(const QString &file, const QString &what)
{
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
    if (!problem.isEmpty())
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot write %1 %2: %3").arg(what, file, problem));
}

QString checkedImageFormat(const QString &file, const QString &what)
{
    const QString format = resultFormatFor(file);
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

bool sameFile(const QString &a, const QString &b)
{
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

QString saveFile(const QString &path, const QByteArray &bytes)
{
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

QString cubeFile(const QString &base)
{
    return base + QStringLiteral("_cube.cube");
}

QString unwrappedLutFile(const QString &base)
{
    return base + QStringLiteral("_unwrapped.png");
}

QString requireEngine()
{
    const QString path = enginePathIn(QCoreApplication::applicationDirPath());
    const QFileInfo info(path);
    if (!info.isFile() || !info.isExecutable())
        throw UserError(
            colormatchStatus::unavailable,
            QStringLiteral("cannot find the engine: colormatch runs matchengine from its own folder, "
                           "and %1 is %2")
                .arg(QDir::toNativeSeparators(path),
                     info.exists() ? QStringLiteral("not an executable program") : QStringLiteral("missing")));
    return path;
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
    runEngineJobs(
        enginePath, {EngineJob{capabilityArguments(), QString(), QByteArray()}}, 1, [](int, const QString &) {},
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
    const QByteArray targetBytes = readInput(targetPath, QStringLiteral("target"));
    const QByteArray referenceBytes = readInput(referencePath, QStringLiteral("reference"));

    if (options.output.isEmpty() && options.lutBase.isEmpty() && options.preview.isEmpty())
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("nothing to write: give -o OUTPUT, --lut BASE or --preview FILE"));
    QString outputFormat = QStringLiteral("png");
    QString previewFormat;
    if (!options.output.isEmpty()) {
        outputFormat = checkedImageFormat(options.output, QStringLiteral("output"));
        checkOutputFolder(options.output, QStringLiteral("output"));
    }
    if (!options.preview.isEmpty()) {
        previewFormat = checkedImageFormat(options.preview, QStringLiteral("preview"));
        checkOutputFolder(options.preview, QStringLiteral("preview"));
    }
    if (!options.lutBase.isEmpty())
        checkOutputFolder(cubeFile(options.lutBase), QStringLiteral("LUT"));
    if (!options.sizeFile.isEmpty())
        checkOutputFolder(options.sizeFile, QStringLiteral("size file"));
    for (const QString &written : {options.output, options.preview, options.sizeFile})
        for (const QString &input : {targetPath, referencePath})
            if (!written.isEmpty() && sameFile(written, input))
                throw UserError(colormatchStatus::usage,
                                QStringLiteral("%1 is an input image; colormatch will not write over it").arg(written));

    // -n leaves every existing output as it is.
    const QString name = QFileInfo(targetPath).fileName();
    auto keep = [&](const QStringList &files) {
        for (const QString &file : files)
            if (options.noClobber && QFileInfo::exists(file)) {
                printLine(display,
                          QStringLiteral("skipped %1: %2 exists; left as it is (--no-clobber)").arg(name, file));
                return false;
            }
        return true;
    };
    const bool writeImage = !options.output.isEmpty() && keep({options.output});
    const bool writePreview = !options.preview.isEmpty() && keep({options.preview});
    const bool writeLut =
        !options.lutBase.isEmpty() && keep({cubeFile(options.lutBase), unwrappedLutFile(options.lutBase)});

    QVector<EngineJob> jobs;
    QVector<int> entryOfJob;
    int imageEntry = -1;
    int lutEntry = -1;
    if (writeImage || writePreview) {
        EngineRequest request = options.engine;
        request.resultFormat = outputFormat;
        request.sizeFile = options.sizeFile;
        imageEntry = display.images.size();
        display.images.append(ImageProgress{name, {}, ImageStage::waiting, {}});
        entryOfJob << imageEntry;
        jobs << EngineJob{engineArguments(request), targetPath, referenceBytes};
    }
    if (writeLut) {
        // The engine answers a LUT export with a placeholder image, so the
        // matched image, when wanted, comes from a run of its own.
        EngineRequest request = options.engine;
        request.lutBase = options.lutBase;
        if (imageEntry < 0)
            request.sizeFile = options.sizeFile;
        lutEntry = display.images.size();
        display.images.append(ImageProgress{name + QStringLiteral(" (LUT)"), {}, ImageStage::waiting, {}});
        entryOfJob << lutEntry;
        jobs << EngineJob{engineArguments(request), targetPath, referenceBytes};
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
            if (entry == lutEntry)
                return endImage(display, entry, ImageStage::done,
                                QStringLiteral("wrote %1 (%2 x %2 x %2) and %3")
                                    .arg(cubeFile(options.lutBase))
                                    .arg(options.engine.lutSize)
                                    .arg(unwrappedLutFile(options.lutBase)));
            QStringList written;
            if (writeImage) {
                const QString problem = saveFile(options.output, outcome.result);
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
                written << options.output + sizeText(workingSize(outcome.lines));
            }
            if (writePreview) {
                cv::Mat target, reference, result;
                withCodecWarningsSilenced([&] {
                    target = decodeColourImage(targetBytes);
                    reference = decodeColourImage(referenceBytes);
                    result = decodeColourImage(outcome.result);
                });
                if (target.empty() || reference.empty() || result.empty())
                    return fail(entry, colormatchStatus::software,
                                QStringLiteral("the preview cannot be made: an image does not decode"));
                const cv::Mat preview = composePreview(target, reference, result, previewWidth);
                // A PNG preview comes from the writer the engine uses for its results.
                std::vector<uchar> encoded;
                if (previewFormat == QLatin1String("png") && pngEncodable(preview.type()))
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
            endImage(display, entry, ImageStage::done, QStringLiteral("wrote ") + written.join(QStringLiteral(", ")));
        });
    return status;
}

int runBatch(const Options &options, const QString &enginePath, Display &display)
{
    const QByteArray referenceBytes = readInput(options.reference, QStringLiteral("reference"));
    const QString format = normalisedFormat(options.format.isEmpty() ? QStringLiteral("png") : options.format);
    if (!formatHasEncoder(format))
        throw UserError(colormatchStatus::usage, QStringLiteral("no image encoder for the format \"%1\"").arg(format));

    const QString folder = options.outputFolder;
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

    // Each image's output, OUTDIR/<name without extension>.<format>; two images
    // that would share one are refused before anything is written.
    QStringList outputs;
    QHash<QString, QString> imageOfOutput;
    for (const QString &image : options.images) {
        const QString output = QDir(folder).filePath(QFileInfo(image).completeBaseName() + QLatin1Char('.') + format);
        const QString key = QFileInfo(output).absoluteFilePath();
        if (imageOfOutput.contains(key))
            throw UserError(
                colormatchStatus::usage,
                QStringLiteral("%1 and %2 would both be written to %3").arg(imageOfOutput.value(key), image, output));
        imageOfOutput.insert(key, image);
        outputs << output;
    }

    EngineRequest request = options.engine;
    request.resultFormat = format;
    const QStringList arguments = engineArguments(request);
    QVector<EngineJob> jobs;
    QVector<int> entryOfJob;
    for (int i = 0; i < options.images.size(); ++i)
        display.images.append(ImageProgress{QFileInfo(options.images[i]).fileName(), {}, ImageStage::waiting, {}});
    for (int i = 0; i < options.images.size(); ++i) {
        const QString &image = options.images[i];
        const QString problem = inputProblem(image);
        if (!problem.isEmpty())
            endImage(display, i, ImageStage::failed, problem);
        else if (sameFile(outputs[i], image) || sameFile(outputs[i], options.reference))
            endImage(
                display, i, ImageStage::failed,
                QStringLiteral("its output %1 is an input image; colormatch will not write over it").arg(outputs[i]));
        else if (options.noClobber && QFileInfo::exists(outputs[i]))
            endImage(display, i, ImageStage::skipped,
                     QStringLiteral("%1 exists; left as it is (--no-clobber)").arg(outputs[i]));
        else {
            entryOfJob << i;
            jobs << EngineJob{arguments, image, referenceBytes};
        }
    }

    runWithDisplay(enginePath, jobs, entryOfJob, std::max(1, QThread::idealThreadCount()), display,
                   [&](int entry, const EngineOutcome &outcome) {
                       QString failure = engineFailure(outcome);
                       if (failure.isEmpty())
                           failure = saveFile(outputs[entry], outcome.result);
                       if (!failure.isEmpty())
                           return endImage(display, entry, ImageStage::failed, failure);
                       endImage(display, entry, ImageStage::done,
                                QStringLiteral("wrote %1%2").arg(outputs[entry], sizeText(workingSize(outcome.lines))));
                   });

    writeError(renderSummary(display.images));
    const bool anyFailed = std::any_of(display.images.cbegin(), display.images.cend(),
                                       [](const ImageProgress &image) { return image.stage == ImageStage::failed; });
    return anyFailed ? colormatchStatus::someFailed : colormatchStatus::ok;
}

// ---- The command line.

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
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Write the matched image to FILE; its extension picks the format "
                                                   "(png, jpg, tif, webp, ...)."),
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
                                                "BASE_unwrapped.png."),
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
                                    QStringLiteral("Batch: the output format (png, jpg, tif, webp, ...; default png)."),
                                    QStringLiteral("FORMAT"));
    const QCommandLineOption noClobber(
        {QStringLiteral("n"), QStringLiteral("no-clobber")},
        QStringLiteral("Leave existing output files as they are (the image is skipped)."));
    const QCommandLineOption info(QStringLiteral("info"),
                                  QStringLiteral("Show the OpenCL GPU and the number of CPUs the engine finds."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Show the engine's command lines and its diagnostic lines."));
    for (const QCommandLineOption &option : {output, strength, lightness, noOpenCL, lut, lutSize, preview, sizeFile,
                                             reference, outputFolder, format, noClobber, info, verbose})
        parser.addOption(option);
    parser.addPositionalArgument(QStringLiteral("TARGET"), QStringLiteral("The image whose colours change."));
    parser.addPositionalArgument(QStringLiteral("REFERENCE"), QStringLiteral("The image whose look it takes."));

    const QString tryHelp = QStringLiteral(" (try colormatch --help)");
    if (!parser.parse(arguments))
        throw UserError(colormatchStatus::usage, parser.errorText() + tryHelp);
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
    options.lutBase = parser.value(lut);
    options.sizeFile = parser.value(sizeFile);
    options.preview = parser.value(preview);
    options.reference = parser.value(reference);
    options.outputFolder = parser.value(outputFolder);
    options.format = parser.value(format);
    options.engine.matchLightness = parser.isSet(lightness);
    options.engine.useOpenCL = !parser.isSet(noOpenCL);

    bool ok = false;
    options.engine.strength = parser.value(strength).toDouble(&ok);
    if (!ok)
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--strength wants a number (1 the full match, 0 none), not \"%1\"")
                            .arg(parser.value(strength)));
    options.engine.lutSize = parser.value(lutSize).toInt(&ok, 10);
    if (!ok || options.engine.lutSize < smallestLutSize || options.engine.lutSize > largestLutSize)
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--lut-size wants a whole number from %1 to %2, not \"%3\"")
                            .arg(smallestLutSize)
                            .arg(largestLutSize)
                            .arg(parser.value(lutSize)));
    if (options.info)
        return parsed;

    options.batch = parser.isSet(reference) || parser.isSet(outputFolder);
    if (options.batch) {
        if (!parser.isSet(reference) || !parser.isSet(outputFolder) || options.images.isEmpty())
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("a batch needs -r REFERENCE, -d OUTDIR and at least one IMAGE") + tryHelp);
        for (const QCommandLineOption &single : {output, lut, preview, sizeFile})
            if (parser.isSet(single))
                throw UserError(colormatchStatus::usage,
                                QStringLiteral("--%1 works on one image, not in a batch").arg(single.names().last()));
    } else {
        if (options.images.size() != 2)
            throw UserError(
                colormatchStatus::usage,
                QStringLiteral("expected TARGET and REFERENCE, got %1 file names").arg(options.images.size()) +
                    tryHelp);
        if (parser.isSet(format))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--format is for batches; for one image the extension of -o picks it"));
    }
    return parsed;
}

} // namespace

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
