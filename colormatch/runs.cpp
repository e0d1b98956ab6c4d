// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's runs: the capability query, one image (with its LUT and
// preview), or a batch of images against one reference, each followed on the
// progress display.
#include "colormatch/runs.h"
#include "colormatch/colour_management.h"
#include "colormatch/engine_host.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/match_preparation.h"
#include "colormatch/metadata.h"
#include "colormatch/output_encoding.h"
#include "colormatch/platform.h"
#include "colormatch/preview.h"
#include "colormatch/result_lines.h"
#include "colormatch/scratch.h"
#include "encoders/encoders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

// The file the engine reads the target from, or the target's bytes.
struct EngineTarget {
    QString path;     // not empty: read when the engine starts
    QByteArray bytes; // otherwise these
};

// " (W x H)" behind an output's name, or nothing when the size is unknown.
QString sizeText(const cv::Size &size)
{
    return size.empty() ? QString() : QStringLiteral(" (%1 x %2)").arg(size.width).arg(size.height);
}

} // namespace

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
            if (image.engineLines.isEmpty())
                image.clock.start();
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
    // An image is no text for a terminal, as compressors refuse too.
    for (const QString &image : {options.output, options.preview})
        if (isStandardOutput(image) && standardOutputIsTerminal())
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("standard output is a terminal: colormatch will not write an image to it "
                                           "(send it into a file or a pipe: -o - > out.png)"));
    QString outputFormat = QStringLiteral("png");
    QString previewFormat;
    if (!options.output.isEmpty()) {
        outputFormat = checkedImageFormat(options.output, QStringLiteral("output"), options.format);
        refuseUnusedQualityOptions(options.quality, outputFormat);
        refuseUnkeptDepth(options.engine.depth, outputFormat);
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
                const QString outcome = QStringLiteral("%1 exists; left as it is (--no-clobber)").arg(file);
                printLine(display, QStringLiteral("skipped %1: %2").arg(name, outcome));
                if (display.resultLines)
                    writeResultLine(ImageProgress{name, {}, ImageStage::skipped, outcome, targetPath, file, 0, {}});
                return false;
            }
        return true;
    };
    const bool writeImage = !options.output.isEmpty() && keep({options.output});
    const bool writePreview = !options.preview.isEmpty() && keep({options.preview});
    const bool writeLut =
        !options.lutCube.isEmpty() && keep({options.lutCube, options.lutUnwrapped});

    // From here on a stop signal ends the run by an exception, which removes
    // the scratch folder on its way out (declared after, it goes first).
    const StopSignalsCaught stopWatch;
    const ScratchFolder scratch(QStringLiteral("the match's files"));
    QHash<QByteArray, EngineInput> references;
    const ImageMetadata targetMetadata = targetMetadataOf(targetBytes);
    const PreparedMatch match = prepareMatch(targetPath, targetBytes, targetMetadata, referencePath, referenceBytes,
                                             referenceMetadata, scratch.folder, references);
    if (options.verbose)
        for (const QString &note : match.notes)
            printLine(display, QStringLiteral("[%1] %2").arg(name, note));

    // The target's bytes as read, unless a converted copy stands in for them.
    EngineTarget engineTarget = match.enginePath == targetPath ? EngineTarget{QString(), targetBytes}
                                                               : EngineTarget{match.enginePath, QByteArray()};
    // The engine writes the size file into the scratch folder, colormatch
    // copies it out: so "-" is standard output and a name in any bytes is
    // written as given.
    const QString engineSizeFile =
        options.sizeFile.isEmpty() ? QString() : scratch.filePath(QStringLiteral("size.txt"));
    // Masks hide the pixels that do not count; the target's own alpha comes back into the result.
    QByteArray engineReference = match.referenceBytes;
    if (!options.referenceMask.isEmpty())
        engineReference = maskedForEngine(
            match.referenceBytes, QStringLiteral("the reference image ") + referencePath,
            readInputImage(options.referenceMask, QStringLiteral("reference mask")),
            QStringLiteral("the reference mask ") + options.referenceMask);
    QByteArray maskedTarget;
    if (!options.targetMask.isEmpty()) {
        maskedTarget = engineTarget.path.isEmpty() ? targetBytes
                                                   : readInputImage(engineTarget.path, QStringLiteral("target"));
        engineTarget = {QString(), maskedForEngine(maskedTarget, QStringLiteral("the target image ") + targetPath,
                                                   readInputImage(options.targetMask, QStringLiteral("target mask")),
                                                   QStringLiteral("the target mask ") + options.targetMask)};
    }
    QVector<EngineJob> jobs;
    QVector<int> entryOfJob;
    int imageEntry = -1;
    int lutEntry = -1;
    if (writeImage || writePreview) {
        EngineRequest request = options.engine;
        request.depth = matchDepth(options.engine.depth, targetMetadata, writeImage ? outputFormat : QString());
        request.resultFormat = engineTransferFormat();
        request.sizeFile = engineSizeFile;
        imageEntry = display.images.size();
        display.images.append(ImageProgress{name, {}, ImageStage::waiting, {}, targetPath,
                                            writeImage ? options.output : options.preview, 0, {}});
        entryOfJob << imageEntry;
        jobs << EngineJob{engineArguments(request), engineTarget.path, engineTarget.bytes, engineReference};
    }
    if (writeLut) {
        // The engine answers a LUT export with a placeholder image, so the
        // matched image, when wanted, comes from a run of its own.
        EngineRequest request = options.engine;
        request.depth = matchDepth(options.engine.depth, targetMetadata, QString());
        // Into the scratch folder: colormatch writes both files with a head of its own.
        request.lutBase = scratch.filePath(QStringLiteral("look"));
        if (imageEntry < 0)
            request.sizeFile = engineSizeFile;
        lutEntry = display.images.size();
        display.images.append(ImageProgress{name + QStringLiteral(" (LUT)"), {}, ImageStage::waiting, {}, targetPath,
                                            options.lutCube, 0, {}});
        entryOfJob << lutEntry;
        jobs << EngineJob{engineArguments(request), engineTarget.path, engineTarget.bytes, engineReference};
    }

    const int sizeEntry = engineSizeFile.isEmpty() ? -1 : imageEntry >= 0 ? imageEntry : lutEntry;
    auto saveSizeFile = [&] {
        QFile size(engineSizeFile);
        return size.open(QIODevice::ReadOnly) ? saveFile(options.sizeFile, size.readAll())
                                              : QStringLiteral("the engine wrote no size file");
    };
    int status = colormatchStatus::ok;
    auto fail = [&](int entry, int failureStatus, const QString &why) {
        if (status == colormatchStatus::ok)
            status = failureStatus;
        endImage(display, entry, ImageStage::failed, why, failureStatus);
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
                if (problem.isEmpty() && entry == sizeEntry)
                    problem = saveSizeFile();
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
                return endImage(display, entry, ImageStage::done,
                                QStringLiteral("wrote %1 (%2 x %2 x %2) and %3")
                                    .arg(options.lutCube)
                                    .arg(options.engine.lutSize)
                                    .arg(options.lutUnwrapped));
            }
            const QByteArray result =
                maskedTarget.isEmpty() ? outcome.result : withTargetAlpha(outcome.result, maskedTarget);
            QStringList written;
            if (writeImage) {
                QString note;
                const QString problem =
                    saveOutput(options.output, outputFormat, result, options.quality, match.target, &note);
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
                written << outputName(options.output) + sizeText(workingSize(outcome.lines)) + note;
            }
            if (writePreview) {
                // Each shown as a viewer shows it: turned upright, in sRGB.
                const cv::Mat target = decodeForViewing(targetBytes, targetMetadata);
                const cv::Mat reference = decodeForViewing(referenceBytes, referenceMetadata);
                const cv::Mat matched = decodeForViewing(result, match.target);
                if (target.empty() || reference.empty() || matched.empty())
                    return fail(entry, colormatchStatus::software,
                                QStringLiteral("the preview cannot be made: an image does not decode"));
                const cv::Mat preview = composePreview(target, reference, matched, previewWidth);
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
            if (entry == sizeEntry) {
                const QString problem = saveSizeFile();
                if (!problem.isEmpty())
                    return fail(entry, colormatchStatus::cannotCreate, problem);
            }
            endImage(display, entry, ImageStage::done,
                     QStringLiteral("wrote ") + written.join(QStringLiteral(", ")) + leftOutNote({}, referenceLeftOut));
        });
    endIfStopped();
    return status;
}

QString batchFormat(const Options &options)
{
    const QString format = normalisedFormat(options.format.isEmpty() ? QStringLiteral("png") : options.format);
    if (!formatHasEncoder(format))
        throw UserError(colormatchStatus::usage, QStringLiteral("no image encoder for the format \"%1\"").arg(format));
    refuseUnusedQualityOptions(options.quality, format);
    refuseUnkeptDepth(options.engine.depth, format);
    return format;
}

QStringList batchOutputs(const Options &options, const QString &format, QVector<NamedFile> files)
{
    // Each image's output, OUTDIR/<name without extension>.<format>; one that
    // names an input or another image's output is refused before anything is
    // read or written.
    QStringList outputs;
    for (const QString &image : options.images) {
        if (isStandardInput(image))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("a batch image needs a file name for its output; standard input (-) "
                                           "works as -r - or as the TARGET of one image"));
        files.append(named(QStringLiteral("image"), image, true));
        outputs << QDir(options.outputFolder).filePath(QFileInfo(image).completeBaseName() + QLatin1Char('.') + format);
        files.append({outputs.last(), QStringLiteral("output %1 (of %2)").arg(outputs.last(), image)});
    }
    refuseSharedFiles(files);
    return outputs;
}

void makeOutputFolder(const QString &folder)
{
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
}

int runBatch(const Options &options, const QString &enginePath, Display &display)
{
    const QString format = batchFormat(options);
    const QStringList outputs =
        batchOutputs(options, format, {named(QStringLiteral("reference image"), options.reference, true)});
    // Known from here on, so that a run that ends before them still gives
    // each image its result line.
    for (int i = 0; i < options.images.size(); ++i)
        display.images.append(ImageProgress{QFileInfo(options.images[i]).fileName(), {}, ImageStage::waiting, {},
                                            options.images[i], outputs[i], 0, {}});
    // A reference that cannot be used ends the batch here, once.
    const QByteArray referenceBytes = readInputImage(options.reference, QStringLiteral("reference"));
    const ImageMetadata referenceMetadata = checkedReference(options.reference, referenceBytes);
    // Only its profile matters: the reference's other metadata is not written anywhere.
    const QStringList referenceLeftOut = referenceMetadata.leftOut.filter(QStringLiteral("colour profile"));

    makeOutputFolder(options.outputFolder);

    EngineRequest request = options.engine;
    request.resultFormat = engineTransferFormat();
    QVector<EngineJob> jobs;
    QVector<int> entryOfJob;
    std::vector<ImageMetadata> outputMetadata(size_t(options.images.size()));
    const StopSignalsCaught stopWatch; // as in runSingle
    const ScratchFolder scratch(QStringLiteral("the batch's files"));
    QHash<QByteArray, EngineInput> references;
    qint64 largestPixelCount = 0;
    for (int i = 0; i < options.images.size(); ++i) {
        const QString &image = options.images[i];
        display.images[i].clock.start(); // started again when its engine starts
        const QString problem = inputProblem(image);
        if (!problem.isEmpty())
            endImage(display, i, ImageStage::failed, problem, colormatchStatus::noInput);
        else if (options.noClobber && QFileInfo::exists(outputs[i]))
            endImage(display, i, ImageStage::skipped,
                     QStringLiteral("%1 exists; left as it is (--no-clobber)").arg(outputs[i]));
        else {
            QByteArray bytes;
            PreparedMatch match;
            ImageMetadata metadata;
            try {
                checkOutputFolder(outputs[i], QStringLiteral("output")); // before its engine starts
                bytes = readInputImage(image, QStringLiteral("batch"));
                metadata = targetMetadataOf(bytes);
                match = prepareMatch(image, bytes, metadata, options.reference, referenceBytes, referenceMetadata,
                                     scratch.folder, references);
            } catch (const UserError &error) {
                if (caughtStopSignal() != 0)
                    throw; // a stop ends the batch, it is no failure of this image
                endImage(display, i, ImageStage::failed, QString::fromStdString(error.what()), error.status);
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
            outputMetadata[size_t(i)] = match.target;
            entryOfJob << i;
            // A file is read again when its engine starts, so that a large batch is
            // not held in memory; a pipe can be read only once.
            const bool reread = match.enginePath != image || QFileInfo(image).isFile();
            request.depth = matchDepth(options.engine.depth, metadata, format);
            jobs << EngineJob{engineArguments(request), reread ? match.enginePath : QString(),
                              reread ? QByteArray() : bytes, match.referenceBytes};
        }
    }

    const int engines = options.jobs > 0 ? options.jobs : defaultEngineCount(largestPixelCount);
    runWithDisplay(enginePath, jobs, entryOfJob, engines, display, [&](int entry, const EngineOutcome &outcome) {
        QString failure = engineFailure(outcome);
        int failureStatus = engineFailureStatus(outcome);
        QString note;
        if (failure.isEmpty()) {
            failure = saveOutput(outputs[entry], format, outcome.result, options.quality,
                                 outputMetadata[size_t(entry)], &note);
            failureStatus = colormatchStatus::cannotCreate;
        }
        if (!failure.isEmpty())
            return endImage(display, entry, ImageStage::failed, failure, failureStatus);
        endImage(display, entry, ImageStage::done,
                 QStringLiteral("wrote %1%2%3").arg(outputs[entry], sizeText(workingSize(outcome.lines)),
                                                     note + leftOutNote({}, referenceLeftOut)));
    });

    writeError(renderSummary(display.images));
    const bool anyFailed = std::any_of(display.images.cbegin(), display.images.cend(),
                                       [](const ImageProgress &image) { return image.stage == ImageStage::failed; });
    endIfStopped();
    return anyFailed ? colormatchStatus::someFailed : colormatchStatus::ok;
}
