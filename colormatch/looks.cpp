// SPDX-License-Identifier: GPL-3.0-or-later
// Looks applied by colormatch: the cube read and checked before any pixel
// work, each image decoded as stored (8 or 16 bits), the look applied by the
// tetrahedral interpolation the engine resamples its cubes with, and the
// output written as a match's is (format, quality, metadata, atomically).
#include "colormatch/looks.h"
#include "colormatch/colour_management.h"
#include "colormatch/engine_host.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/match_preparation.h"
#include "colormatch/metadata.h"
#include "colormatch/output_encoding.h"
#include "colormatch/platform.h"
#include "colormatch/runs.h"
#include "colormatch/scratch.h"
#include "encoders/cube_format.h"
#include "encoders/encoders.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// The pooled colours of a series: at most this many samples, packed into rows
// this wide (wide enough that the engine adds no copies of a small image).
constexpr qint64 pooledSamplesMax = qint64(4) << 20;
constexpr int pooledWidth = 2048;

// The look in a cube file, read whole and checked before any image is read.
CubeLut readLook(const QString &path)
{
    const QString problem = inputProblem(path);
    if (!problem.isEmpty())
        throw UserError(colormatchStatus::noInput, QStringLiteral("cube: %1").arg(problem));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw UserError(colormatchStatus::noInput,
                        QStringLiteral("cube: cannot read %1: %2").arg(path, file.errorString()));
    // In chunks up to the limit, not readAll: a device tells no size and may
    // never end (/dev/zero). A cube is text, which never holds a NUL byte.
    QByteArray text;
    for (qint64 got = 1; got > 0;) {
        if (qMax(file.size(), qint64(text.size())) > largestInput)
            throw UserError(colormatchStatus::dataError,
                            QStringLiteral("cube %1 is larger than the %2 MiB colormatch reads").arg(path).arg(
                                largestInput >> 20));
        const QByteArray chunk = file.read(qint64(1) << 20);
        got = chunk.size();
        if (got == 0 && file.error() != QFileDevice::NoError)
            throw UserError(colormatchStatus::noInput,
                            QStringLiteral("cube: cannot read %1: %2").arg(path, file.errorString()));
        if (chunk.contains('\0'))
            throw UserError(colormatchStatus::dataError,
                            QStringLiteral("cube %1 is not text: it holds a NUL byte").arg(path));
        text += chunk;
    }
    try {
        return parseCube(text.toStdString());
    } catch (const CubeFormatError &error) {
        throw UserError(colormatchStatus::dataError, QStringLiteral("cube %1, line %2: %3")
                                                         .arg(path)
                                                         .arg(error.line)
                                                         .arg(QString::fromStdString(error.what())));
    }
}

// An image as a look takes it: its pixels as stored (the orientation stays in
// the metadata), 8 or 16 bits, B, G, R[, A]; CMYK converted to sRGB.
struct LookImage {
    cv::Mat pixels;
    ImageMetadata metadata; // what the output carries
    QString note;           // a conversion made, for --verbose
};

LookImage lookImageOf(const QString &what, const QByteArray &bytes)
{
    auto refuse = [&](const QString &problem) {
        if (!problem.isEmpty())
            throw UserError(colormatchStatus::dataError, QStringLiteral("%1: %2").arg(what, problem));
    };
    // Its structure before its metadata, its size before its pixels.
    refuse(encodedImageProblem(bytes));
    LookImage image{cv::Mat(), readImageMetadata(bytes), QString()};
    refuse(imageSizeProblem(image.metadata));
    refuse(colourProfileProblem(image.metadata.iccProfile));
    QByteArray source = bytes;
    if (image.metadata.cmyk) {
        const EngineInput converted = convertedForMatching(bytes, image.metadata, QByteArray(), what);
        source = converted.bytes;
        image.note = converted.note;
        image.metadata.iccProfile.clear();
        image.metadata.cmyk = false;
    }
    cv::Mat pixels;
    withCodecWarningsSilenced([&] { pixels = resultPixels(source); });
    if (pixels.empty())
        refuse(QStringLiteral("it does not decode as an image"));
    // Floating-point samples (PFM, float TIFF) become 16-bit, clamped to 0 .. 1.
    if (pixels.depth() == CV_32F || pixels.depth() == CV_64F)
        pixels.convertTo(pixels, CV_16U, 65535.0);
    else if (pixels.depth() != CV_8U && pixels.depth() != CV_16U)
        pixels.convertTo(pixels, CV_16U);
    // A look maps colours: grey gets them, as a match gives grey targets colour.
    if (pixels.channels() == 1) {
        cv::cvtColor(pixels, pixels, cv::COLOR_GRAY2BGR);
    } else if (pixels.channels() == 2) {
        std::vector<cv::Mat> planes;
        cv::split(pixels, planes);
        cv::merge(std::vector<cv::Mat>{planes[0], planes[0], planes[0], planes[1]}, pixels);
    }
    if (!isRgbProfile(image.metadata.iccProfile))
        image.metadata.iccProfile.clear();
    image.pixels = pixels;
    return image;
}

QString sizeText(const cv::Mat &pixels)
{
    return QStringLiteral(" (%1 x %2)").arg(pixels.cols).arg(pixels.rows);
}

// The look applied and the output saved; what went wrong, or empty. `written`
// receives the display's line.
QString appliedAndSaved(const CubeLut &look, LookImage &image, const QString &output, const QString &format,
                        const OutputQuality &quality, QString *written)
{
    applyCube(look, image.pixels);
    QString note;
    const QString problem = saveOutput(output, format, image.pixels, quality, image.metadata, &note);
    if (problem.isEmpty())
        *written = QStringLiteral("wrote ") + outputName(output) + sizeText(image.pixels) + note;
    return problem;
}

// Applies the look to every image of the batch into its output, one after
// the other (each on all cores); an image that fails does not stop the others.
// The images are the display's entries, in order. Returns the exit status.
int applyToBatch(const Options &options, const CubeLut &look, const QString &format, const QStringList &outputs,
                 Display &display)
{
    for (int i = 0; i < options.images.size(); ++i) {
        endIfStopped(); // every output so far is whole; none is half written
        const QString &image = options.images[i];
        const int entry = i;
        const QString problem = inputProblem(image);
        if (!problem.isEmpty()) {
            endImage(display, entry, ImageStage::failed, problem);
            continue;
        }
        if (options.noClobber && QFileInfo::exists(outputs[i])) {
            endImage(display, entry, ImageStage::skipped,
                     QStringLiteral("%1 exists; left as it is (--no-clobber)").arg(outputs[i]));
            continue;
        }
        display.images[entry].stage = ImageStage::running;
        drawStatus(display);
        try {
            LookImage pixels =
                lookImageOf(QStringLiteral("batch image ") + image, readInputImage(image, QStringLiteral("batch")));
            if (options.verbose && !pixels.note.isEmpty())
                printLine(display, QStringLiteral("[%1] %2").arg(display.images[entry].name, pixels.note));
            QString written;
            const QString failure = appliedAndSaved(look, pixels, outputs[i], format, options.quality, &written);
            if (failure.isEmpty())
                endImage(display, entry, ImageStage::done, written);
            else
                endImage(display, entry, ImageStage::failed, failure);
        } catch (const UserError &error) {
            endImage(display, entry, ImageStage::failed, QString::fromStdString(error.what()));
        } catch (const cv::Exception &error) {
            endImage(display, entry, ImageStage::failed,
                     QStringLiteral("cannot apply the look: %1").arg(QString::fromStdString(error.what())));
        }
    }
    clearStatus(display);
    writeError(renderSummary(display.images));
    const bool anyFailed = std::any_of(display.images.cbegin(), display.images.cend(),
                                       [](const ImageProgress &image) { return image.stage == ImageStage::failed; });
    endIfStopped();
    return anyFailed ? colormatchStatus::someFailed : colormatchStatus::ok;
}

// The pooled colours of all images as one 8-bit B, G, R image. Every image is
// sampled on the same grid (every stride-th pixel of every stride-th row), so
// each weighs by its pixel count; the stride keeps the samples within
// pooledSamplesMax. The samples fill whole rows: the few beyond the last
// whole row are left out evenly over all of them. Images that cannot be read
// are left out here (the batch reports them). `profile` receives the first
// image's colour profile, the space the pooled colours are taken in.
cv::Mat pooledColours(const QStringList &images, QByteArray *profile)
{
    qint64 pixels = 0;
    for (const QString &image : images) {
        if (!inputProblem(image).isEmpty())
            continue;
        try {
            const ImageMetadata metadata = targetMetadataOf(readInputImage(image, QStringLiteral("batch")));
            pixels += qint64(metadata.storedSize.width) * metadata.storedSize.height;
        } catch (const UserError &) {
        }
    }
    const int stride = std::max(1, int(std::ceil(std::sqrt(double(pixels) / double(pooledSamplesMax)))));
    std::vector<cv::Vec3b> samples;
    bool first = true;
    for (const QString &image : images) {
        endIfStopped();
        if (!inputProblem(image).isEmpty())
            continue;
        LookImage frame;
        try {
            frame = lookImageOf(image, readInputImage(image, QStringLiteral("batch")));
        } catch (const UserError &) {
            continue;
        }
        if (first)
            *profile = frame.metadata.iccProfile;
        first = false;
        cv::Mat colours = frame.pixels;
        if (colours.channels() == 4)
            cv::cvtColor(colours, colours, cv::COLOR_BGRA2BGR);
        if (colours.depth() != CV_8U)
            colours.convertTo(colours, CV_8U, 1.0 / 257.0);
        for (int y = 0; y < colours.rows; y += stride) {
            const cv::Vec3b *row = colours.ptr<cv::Vec3b>(y);
            for (int x = 0; x < colours.cols; x += stride)
                samples.push_back(row[x]);
        }
    }
    const qint64 total = qint64(samples.size());
    if (total == 0)
        throw UserError(colormatchStatus::dataError,
                        QStringLiteral("no image of the series can be read: there are no colours to pool"));
    const int width = int(std::min<qint64>(pooledWidth, total));
    const qint64 kept = total / width * width;
    cv::Mat pooled(int(kept / width), width, CV_8UC3);
    auto *out = pooled.ptr<cv::Vec3b>();
    for (qint64 i = 0; i < total; ++i)
        if ((i + 1) * kept / total > i * kept / total)
            *out++ = samples[size_t(i)];
    return pooled;
}

} // namespace

int runApplyLook(const Options &options, Display &display)
{
    const QString lookLabel = QStringLiteral("cube");
    if (options.batch) {
        const QString format = batchFormat(options);
        const QStringList outputs = batchOutputs(options, format, {named(lookLabel, options.applyLut, true)});
        const CubeLut look = readLook(options.applyLut);
        makeOutputFolder(options.outputFolder);
        const StopSignalsCaught stopWatch;
        for (int i = 0; i < options.images.size(); ++i)
            display.images.append(ImageProgress{QFileInfo(options.images[i]).fileName(), {}, ImageStage::waiting, {},
                                                options.images[i], outputs[i], 0, {}});
        return applyToBatch(options, look, format, outputs, display);
    }

    const QString image = options.images[0];
    if (isStandardOutput(options.output) && standardOutputIsTerminal())
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("standard output is a terminal: colormatch will not write an image to it "
                                       "(send it into a file or a pipe: -o - > out.png)"));
    const QString format = checkedImageFormat(options.output, QStringLiteral("output"), options.format);
    refuseUnusedQualityOptions(options.quality, format);
    checkOutputFolder(options.output, QStringLiteral("output"));
    refuseSharedFiles({named(lookLabel, options.applyLut, true), named(QStringLiteral("image"), image, true),
                       named(QStringLiteral("output"), options.output)});
    const CubeLut look = readLook(options.applyLut);
    const QByteArray bytes = readInputImage(image, QStringLiteral("target"));
    const QString name = isStandardInput(image) ? inputName(image) : QFileInfo(image).fileName();
    if (options.noClobber && !isStandardOutput(options.output) && QFileInfo::exists(options.output)) {
        printLine(display,
                  QStringLiteral("skipped %1: %2 exists; left as it is (--no-clobber)").arg(name, options.output));
        return colormatchStatus::ok;
    }
    LookImage pixels = lookImageOf(QStringLiteral("target image ") + inputName(image), bytes);
    if (options.verbose && !pixels.note.isEmpty())
        printLine(display, QStringLiteral("[%1] %2").arg(name, pixels.note));
    display.images.append(ImageProgress{name, {}, ImageStage::running, {}, image, options.output, 0, {}});
    display.images.last().clock.start();
    drawStatus(display);
    QString written;
    const QString problem = appliedAndSaved(look, pixels, options.output, format, options.quality, &written);
    if (!problem.isEmpty())
        throw UserError(colormatchStatus::cannotCreate, problem);
    endImage(display, 0, ImageStage::done, written);
    return colormatchStatus::ok;
}

int runSeries(const Options &options, const QString &enginePath, Display &display)
{
    const QString format = batchFormat(options);
    const QString lutFile = QStringLiteral("LUT file");
    const QStringList outputs =
        batchOutputs(options, format,
                     {named(QStringLiteral("reference image"), options.reference, true),
                      named(QStringLiteral("hero image"), options.seriesFrom, true), named(lutFile, options.lutCube),
                      named(lutFile, options.lutUnwrapped)});
    if (isStandardInput(options.reference) && isStandardInput(options.seriesFrom))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("standard input (-) can be read only once: give it for one input"));
    if (!options.lutCube.isEmpty()) {
        checkOutputFolder(options.lutCube, lutFile);
        checkOutputFolder(options.lutUnwrapped, lutFile);
    }
    const QByteArray referenceBytes = readInputImage(options.reference, QStringLiteral("reference"));
    const ImageMetadata referenceMetadata = checkedReference(options.reference, referenceBytes);
    const bool fromHero = !options.seriesFrom.isEmpty();
    // The engine's target: the hero frame, or the pooled colours (below).
    // Either way the look comes from one LUT export.
    QString targetPath = options.seriesFrom;
    QByteArray targetBytes;
    ImageMetadata targetMetadata;
    if (fromHero) {
        targetBytes = readInputImage(options.seriesFrom, QStringLiteral("hero"));
        targetMetadata = targetMetadataOf(targetBytes);
    }
    makeOutputFolder(options.outputFolder);

    const StopSignalsCaught stopWatch; // as in runSingle
    const ScratchFolder scratch(QStringLiteral("the series' look"));
    const QString lookName = fromHero ? QFileInfo(options.seriesFrom).fileName()
                                      : QStringLiteral("%1 pooled images").arg(options.images.size());
    display.images.append(ImageProgress{QStringLiteral("look (%1)").arg(lookName), {}, ImageStage::running, {},
                                        fromHero ? options.seriesFrom : QString(), options.lutCube, 0, {}});
    for (int i = 0; i < options.images.size(); ++i)
        display.images.append(ImageProgress{QFileInfo(options.images[i]).fileName(), {}, ImageStage::waiting, {},
                                            options.images[i], outputs[i], 0, {}});
    drawStatus(display);

    if (!fromHero) {
        const cv::Mat pooled = pooledColours(options.images, &targetMetadata.iccProfile);
        const std::vector<uchar> pam = encodePam(pooled);
        targetBytes = QByteArray(reinterpret_cast<const char *>(pam.data()), int(pam.size()));
        targetPath = scratch.filePath(QStringLiteral("pooled.pam"));
    }
    QHash<QByteArray, EngineInput> references;
    const PreparedMatch match = prepareMatch(targetPath, targetBytes, targetMetadata, options.reference,
                                             referenceBytes, referenceMetadata, scratch.folder, references);
    if (options.verbose)
        for (const QString &note : match.notes)
            printLine(display, QStringLiteral("[%1] %2").arg(display.images[0].name, note));
    EngineRequest request = options.engine;
    request.resultFormat = engineTransferFormat();
    request.lutBase = scratch.filePath(QStringLiteral("look"));
    const bool converted = match.enginePath != targetPath;
    const EngineJob job{engineArguments(request), converted ? match.enginePath : QString(),
                        converted ? QByteArray() : targetBytes, match.referenceBytes};
    EngineOutcome lookOutcome;
    runWithDisplay(enginePath, {job}, {0}, 1, display,
                   [&](int, const EngineOutcome &outcome) { lookOutcome = outcome; });
    endIfStopped();
    const QString failure = engineFailure(lookOutcome);
    if (!failure.isEmpty())
        throw UserError(engineFailureStatus(lookOutcome),
                        QStringLiteral("cannot make the series' look from %1: %2").arg(lookName, failure));
    QFile engineCube(scratch.filePath(QStringLiteral("look_cube.cube")));
    QFile unwrapped(scratch.filePath(QStringLiteral("look_unwrapped.png")));
    if (!engineCube.open(QIODevice::ReadOnly) || !unwrapped.open(QIODevice::ReadOnly))
        throw UserError(colormatchStatus::software, QStringLiteral("the engine wrote no LUT files"));
    const QByteArray cubeBytes = engineCube.readAll();
    CubeLut look;
    try {
        look = parseCube(cubeBytes.toStdString());
    } catch (const CubeFormatError &error) {
        throw UserError(colormatchStatus::software, QStringLiteral("the engine's cube, line %1: %2")
                                                        .arg(error.line)
                                                        .arg(QString::fromStdString(error.what())));
    }

    QString made = QStringLiteral("made (%1 x %1 x %1)").arg(look.size);
    const bool keepLut = options.noClobber &&
                         (QFileInfo::exists(options.lutCube) || QFileInfo::exists(options.lutUnwrapped));
    if (!options.lutCube.isEmpty() && keepLut) {
        made += QStringLiteral("; %1 exists, LUT files left as they are (--no-clobber)").arg(options.lutCube);
    } else if (!options.lutCube.isEmpty()) {
        const QByteArray cube = colormatchCube(cubeBytes, options.lutCube, lookName,
                                               isStandardInput(options.reference) ? inputName(options.reference)
                                                   : QFileInfo(options.reference).fileName(),
                                               colourSpaceName(match.target.iccProfile));
        QString problem = saveFile(options.lutCube, cube);
        if (problem.isEmpty())
            problem = saveFile(options.lutUnwrapped, unwrapped.readAll());
        if (!problem.isEmpty())
            throw UserError(colormatchStatus::cannotCreate, problem);
        made = QStringLiteral("wrote %1 (%2 x %2 x %2) and %3").arg(options.lutCube).arg(look.size).arg(
            options.lutUnwrapped);
    }
    endImage(display, 0, ImageStage::done, made);
    display.images.removeFirst(); // the summary counts the images
    return applyToBatch(options, look, format, outputs, display);
}
