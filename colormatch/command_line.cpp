// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's command line: options, help and examples, parsing, and "did
// you mean" for a mistyped option.
#include "colormatch/command_line.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/preview.h"
#include "host/host.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QVector>

#include <algorithm>
#include <cmath>

namespace {

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
  colormatch -r look.jpg -d matched -n --json --from-list list.txt > results.jsonl
      the images list.txt names, a JSON line for each; run again, it does what is left
  colormatch -r look.jpg -d graded --series-from shots/hero.jpg --lut graded/look.cube shots/*.jpg
      one look for a whole series: the hero frame's match, applied to every image
  colormatch --apply-lut graded/look.cube -d graded more/*.tif
      the same look for more images later, without an engine
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
Exit status: 0 done (images skipped by -n included), 1 some images of a batch
failed, 64 usage, 65 an input image (or cube) is damaged, unusable or too
large, 66 missing input or list file, 69 engine not found, 70 engine crashed,
73 output not writable, 128 + N stopped by signal N (130 Ctrl+C); a failed
engine run passes the engine's own status on (65 bad image data, ...).
)";

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

} // namespace

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
                                                   "as --format says (default png), unless it is a terminal."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption strength({QStringLiteral("s"), QStringLiteral("strength")},
                                      QStringLiteral("How far to go: 1 the full match (default), 0 the target "
                                                     "unchanged, values between blend."),
                                      QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption gainLimit(QStringLiteral("gain-limit"),
                                       QStringLiteral("Stretch no colour direction by more than G (at least 1; 2 keeps "
                                                      "the noise of a clear sky or a backdrop from growing more than "
                                                      "twice). By default the full match."),
                                       QStringLiteral("G"));
    const QCommandLineOption depth(QStringLiteral("depth"),
                                   QStringLiteral("Compute and write the match in 8 or 16 bits a sample. By default "
                                                  "16 for a 16-bit or floating-point TARGET whose output holds 16 "
                                                  "bits (PNG, TIFF, PAM), else 8."),
                                   QStringLiteral("BITS"));
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
                                     QStringLiteral("N"), QString::number(engineLutSizeDefault));
    const QCommandLineOption preview(QStringLiteral("preview"),
                                     QStringLiteral("Write target, reference and result side by side, %1 pixels "
                                                    "wide, to FILE.")
                                         .arg(previewWidth),
                                     QStringLiteral("FILE"));
    const QCommandLineOption sizeFile(QStringLiteral("size-file"),
                                      QStringLiteral("Write the engine's working size (WIDTHxHEIGHT) to FILE "
                                                     "(-: standard output)."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption targetMask(QStringLiteral("target-mask"),
                                        QStringLiteral("Only the target's pixels where FILE, a grey image of the "
                                                       "target's size, is not black count for the match; all change."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption referenceMask(QStringLiteral("reference-mask"),
                                           QStringLiteral("Only the reference's pixels where FILE, a grey image of "
                                                          "the reference's size, is not black count for the match."),
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
    const QCommandLineOption fromList(QStringLiteral("from-list"),
                                      QStringLiteral("Batch: match the images FILE lists too, one name a line (CR LF "
                                                     "and blank lines are fine), or NUL-separated as find -print0 "
                                                     "writes them; - reads the list from standard input."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption nulList({QStringLiteral("0"), QStringLiteral("null")},
                                     QStringLiteral("The --from-list names end with NUL bytes, not line ends (found "
                                                    "without it too, where the list holds a NUL)."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Write one JSON object a line on standard output for every image: "
                                                 "input, output, status (done, skipped, failed), exit, message, "
                                                 "seconds."));
    const QCommandLineOption jobs({QStringLiteral("j"), QStringLiteral("jobs")},
                                  QStringLiteral("Batch: engines running at once (default: one per CPU, fewer when "
                                                 "memory is short)."),
                                  QStringLiteral("N"));
    const QCommandLineOption applyLut(QStringLiteral("apply-lut"),
                                      QStringLiteral("Apply the 3D LUT in CUBE (a .cube file: a --lut export or a "
                                                     "grading tool's) to IMAGE -o OUTPUT, or with -d OUTDIR to every "
                                                     "IMAGE; no reference and no engine."),
                                      QStringLiteral("CUBE"));
    const QCommandLineOption seriesFrom(QStringLiteral("series-from"),
                                        QStringLiteral("Batch: match IMAGE (a hero frame) to the reference once and "
                                                       "give every image that same look (with --lut BASE, also "
                                                       "written as a cube)."),
                                        QStringLiteral("IMAGE"));
    const QCommandLineOption series(QStringLiteral("series"),
                                    QStringLiteral("Batch: match the pooled colours of all images to the reference "
                                                   "once and give every image that same look (with --lut BASE, also "
                                                   "written as a cube)."));
    const QList<QCommandLineOption> ownOptions{output,    strength,   gainLimit,    depth,    lightness,  noOpenCL,
                                               lut,       lutSize,    preview,      sizeFile, targetMask, referenceMask,
                                               reference, outputFolder, format,     jobs,     quality,    lossless,
                                               pngLevel,  noClobber,  info,         verbose,  fromList,   nulList,
                                               json,      applyLut,   seriesFrom,   series};
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
                                    "       colormatch [options] -r REFERENCE -d OUTDIR --from-list FILE\n"
                                    "       colormatch [options] --apply-lut CUBE IMAGE -o OUTPUT\n"
                                    "       colormatch [options] --apply-lut CUBE -d OUTDIR IMAGE...\n"
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
    options.targetMask = parser.value(targetMask);
    options.referenceMask = parser.value(referenceMask);
    options.reference = parser.value(reference);
    options.outputFolder = parser.value(outputFolder);
    options.format = parser.value(format);
    options.fromList = parser.value(fromList);
    options.nulList = parser.isSet(nulList);
    options.resultLines = parser.isSet(json);
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
    if (parser.isSet(gainLimit)) {
        options.engine.gainLimit = parser.value(gainLimit).toDouble(&ok);
        if (!ok || !std::isfinite(options.engine.gainLimit) || options.engine.gainLimit < 1.0)
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--gain-limit wants a number of at least 1 (2: no colour direction "
                                           "stretched more than twice), not \"%1\"")
                                .arg(parser.value(gainLimit)));
    }
    if (parser.isSet(depth)) {
        options.engine.depth = parser.value(depth).toInt(&ok, 10);
        if (!ok || (options.engine.depth != 8 && options.engine.depth != 16))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--depth wants 8 or 16 (bits a sample), not \"%1\"").arg(parser.value(depth)));
    }
    options.engine.lutSize = parser.value(lutSize).toInt(&ok, 10);
    if (!ok || options.engine.lutSize < engineLutSizeMin || options.engine.lutSize > engineLutSizeMax)
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--lut-size wants a whole number from %1 to %2, not \"%3\"")
                            .arg(engineLutSizeMin)
                            .arg(engineLutSizeMax)
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

    options.applyLut = parser.value(applyLut);
    options.seriesFrom = parser.value(seriesFrom);
    options.series = parser.isSet(series);
    for (const QCommandLineOption &file : {applyLut, seriesFrom})
        if (parser.isSet(file) && parser.value(file).isEmpty())
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--%1 wants a file name").arg(file.names().last()));
    if (parser.isSet(applyLut)) {
        // A finished look: nothing of a match applies to it.
        for (const QCommandLineOption &matching : {reference, strength, gainLimit, depth, lightness, lut, lutSize, preview,
                                                   sizeFile, targetMask, referenceMask, jobs, seriesFrom, series})
            if (parser.isSet(matching))
                throw UserError(colormatchStatus::usage,
                                QStringLiteral("--%1 is for matching; --apply-lut applies a finished look (no "
                                               "reference, no engine)")
                                    .arg(matching.names().last()));
        options.batch = parser.isSet(outputFolder);
        if (options.batch && (parser.isSet(output) || (options.images.isEmpty() && !parser.isSet(fromList))))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--apply-lut with -d OUTDIR writes every IMAGE into OUTDIR: give at least "
                                           "one IMAGE and no -o") + tryHelp);
        if (!options.batch && (options.images.size() != 1 || options.output.isEmpty()))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--apply-lut takes one IMAGE and -o OUTPUT, or -d OUTDIR and several "
                                           "IMAGEs") + tryHelp);
        if (!options.batch && parser.isSet(format) && !isStandardOutput(options.output))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--format is for batches and -o -; for one image the extension of -o "
                                           "picks it"));
        return parsed;
    }
    const bool seriesMode = options.series || parser.isSet(seriesFrom);
    if (options.series && parser.isSet(seriesFrom))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--series and --series-from are two ways to one look: give one of them"));
    if (seriesMode && (!parser.isSet(reference) || !parser.isSet(outputFolder)))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--%1 gives a batch one look: it needs -r REFERENCE, -d OUTDIR and IMAGEs")
                                .arg(options.series ? QStringLiteral("series") : QStringLiteral("series-from")) +
                            tryHelp);
    if (parser.isSet(fromList) && options.fromList.isEmpty())
        throw UserError(colormatchStatus::usage, QStringLiteral("--from-list wants a FILE (- for standard input)"));
    if (options.nulList && !parser.isSet(fromList))
        throw UserError(colormatchStatus::usage, QStringLiteral("-0 (--null) is for the names of --from-list FILE"));
    // Standard output carries the result lines.
    for (const QCommandLineOption &file : {output, sizeFile})
        if (options.resultLines && isStandardOutput(parser.value(file)))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("--%1 %2 and --json cannot both write to standard output")
                                .arg(file.names().last(), parser.value(file)));
    options.batch = parser.isSet(reference) || parser.isSet(outputFolder) || parser.isSet(fromList);
    if (options.batch) {
        if (!parser.isSet(reference) || !parser.isSet(outputFolder) ||
            (options.images.isEmpty() && !parser.isSet(fromList)))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("a batch needs -r REFERENCE, -d OUTDIR and at least one IMAGE or "
                                           "--from-list FILE") +
                                tryHelp);
        if (isStandardInput(options.reference) && isStandardInput(options.fromList))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("standard input (-) can be read only once: give it for -r or for "
                                           "--from-list"));
        if (isStandardOutput(options.output))
            throw UserError(colormatchStatus::usage,
                            QStringLiteral("-o %1 (standard output) takes one image; a batch writes its images into "
                                           "-d OUTDIR")
                                .arg(options.output));
        for (const QCommandLineOption &single : {output, lut, preview, sizeFile, targetMask, referenceMask})
            // A series has one look, which --lut writes.
            if (parser.isSet(single) && !(seriesMode && single.names() == lut.names()))
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
