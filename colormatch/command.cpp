// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's command line run: parsed, the engine found, the run it asks
// for made, and a UserError put into words on standard error, once.
#include "colormatch/command.h"
#include "colormatch/batch_list.h"
#include "colormatch/command_line.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/looks.h"
#include "colormatch/platform.h"
#include "colormatch/progress_display.h"
#include "colormatch/result_lines.h"
#include "colormatch/runs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <opencv2/core.hpp>

namespace {

// The engine colormatch runs; throws UserError (69) where there is none.
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

} // namespace

int runColormatch(const QStringList &arguments)
{
    Display display;
    Options options;
    // A run that ends early still gives each image it knows a result line.
    auto ended = [&](int status, const QString &message) {
        clearStatus(display);
        writeError(QStringLiteral("colormatch: %1\n").arg(message));
        if (options.resultLines)
            writeUnendedResultLines(display, status, message, options.batch ? QString() : options.images.value(0),
                                    !options.output.isEmpty()    ? options.output
                                    : !options.preview.isEmpty() ? options.preview
                                                                 : options.lutCube);
        return status;
    };
    try {
        const ParsedCommand parsed = parseCommand(arguments);
        if (!parsed.helpText.isEmpty()) {
            writeOutput(parsed.helpText);
            return colormatchStatus::ok;
        }
        options = parsed.options;
        display.terminal = standardErrorIsTerminal();
        display.width = terminalWidth();
        display.verbose = options.verbose;
        display.resultLines = options.resultLines;
        if (!options.fromList.isEmpty())
            options.images += readBatchList(options.fromList, options.nulList);
        if (!options.applyLut.isEmpty())
            return runApplyLook(options, display); // no engine needed
        const QString enginePath = requireEngine();
        if (options.info)
            return runInfo(enginePath);
        if (options.series || !options.seriesFrom.isEmpty())
            return runSeries(options, enginePath, display);
        return options.batch ? runBatch(options, enginePath, display) : runSingle(options, enginePath, display);
    } catch (const UserError &error) {
        return ended(error.status, QString::fromStdString(error.what()));
    } catch (const cv::Exception &error) {
        return ended(colormatchStatus::software,
                     QStringLiteral("image processing failed: %1").arg(QString::fromStdString(error.what())));
    }
}
