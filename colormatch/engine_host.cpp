// SPDX-License-Identifier: GPL-3.0-or-later
// The host's side of the engine conversation in colormatch's terms (the host
// library speaks it), and running engine processes concurrently.
#include "colormatch/engine_host.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/platform.h"
#include "colormatch/scratch.h"
#include "host/host.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {

QStringList positionsOf(char **arguments)
{
    if (!arguments)
        throw std::bad_alloc();
    QStringList positions;
    for (char **argument = arguments + 1; *argument; ++argument)
        positions << QString::fromUtf8(*argument);
    hostFreeArguments(arguments);
    return positions;
}

QString textOf(char *text)
{
    const QString copy = QString::fromUtf8(text);
    free(text);
    return copy;
}

} // namespace

QStringList engineArguments(const EngineRequest &request)
{
    const QByteArray resultFormat = request.resultFormat.toUtf8();
    const QByteArray lutBase = QFileInfo(request.lutBase).absoluteFilePath().toUtf8();
    const QByteArray sizeFile = QFileInfo(request.sizeFile).absoluteFilePath().toUtf8();
    HostRequest host{};
    host.caller = "colormatch";
    host.lutBase = request.lutBase.isEmpty() ? nullptr : lutBase.constData();
    host.lutSize = request.lutSize;
    host.useOpenCL = request.useOpenCL;
    host.matchLightness = request.matchLightness;
    host.resultFormat = resultFormat.constData();
    host.strength = request.strength;
    host.gainLimit = request.gainLimit;
    host.sizeFile = request.sizeFile.isEmpty() ? nullptr : sizeFile.constData();
    return positionsOf(hostMatchArguments("matchengine", &host));
}

QStringList capabilityArguments()
{
    return positionsOf(hostCapabilityArguments("matchengine", "colormatch"));
}

QByteArray frameRequest(const QByteArray &target, const QByteArray &reference)
{
    HostBytes request{};
    if (!hostFrameRequest(target.constData(), size_t(target.size()), reference.constData(), size_t(reference.size()),
                          &request)) {
        hostBytesFree(&request);
        throw UserError(colormatchStatus::dataError,
                        QStringLiteral("the target and the reference (%1 MiB) do not fit one request to the engine")
                            .arg((qint64(target.size()) + reference.size()) >> 20));
    }
    const QByteArray framed(reinterpret_cast<const char *>(request.data), int(request.size));
    hostBytesFree(&request);
    return framed;
}

QString normalisedFormat(const QString &word)
{
    const QString lower = word.toLower();
    if (lower == QLatin1String("jpeg"))
        return QStringLiteral("jpg");
    return lower;
}

QString resultFormatFor(const QString &outputPath)
{
    return normalisedFormat(QFileInfo(outputPath).suffix());
}

bool formatHasEncoder(const QString &format)
{
    return !format.isEmpty() && cv::haveImageWriter(("." + format).toStdString());
}

int progressCode(const QString &line)
{
    const HostLine kind = hostClassifyLine(line.toUtf8().constData());
    return kind.kind == hostLineProgress ? kind.code : -1;
}

bool isErrorLine(const QString &line)
{
    return hostClassifyLine(line.toUtf8().constData()).kind == hostLineError;
}

bool isCrashLine(const QString &line)
{
    return hostClassifyLine(line.toUtf8().constData()).kind == hostLineCrash;
}

QString engineErrorMessage(const QStringList &lines)
{
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QByteArray line = lines[i].toUtf8();
        const HostLine kind = hostClassifyLine(line.constData());
        if (kind.kind == hostLineError)
            return QString::fromUtf8(kind.message);
    }
    return QString();
}

cv::Size workingSize(const QStringList &lines)
{
    for (const QString &line : lines) {
        const HostLine kind = hostClassifyLine(line.toUtf8().constData());
        if (kind.kind == hostLineWorkingSize)
            return {kind.width, kind.height};
    }
    return {};
}

// The answer: two line feeds, a space, then one JSON object, for example
//   { "GPU": "name", "CPUnum": 8 }  or  { "GPU": null, "CPUnum": 8[, "noGPUDetectedAtAll": true] }
QString describeCapability(const QByteArray &answer)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(answer.trimmed(), &error);
    const QJsonObject object = document.object();
    if (error.error != QJsonParseError::NoError || !object.contains(QLatin1String("CPUnum")))
        throw UserError(colormatchStatus::software,
                        QStringLiteral("the engine's capability answer is not what colormatch understands: \"%1\"")
                            .arg(QString::fromUtf8(answer.trimmed())));
    const QJsonValue gpu = object.value(QLatin1String("GPU"));
    const QString gpuLine =
        gpu.isString() ? QStringLiteral("GPU: %1").arg(gpu.toString()) : QStringLiteral("no OpenCL GPU");
    return gpuLine + QStringLiteral("\nCPUs: %1\n").arg(object.value(QLatin1String("CPUnum")).toInt());
}

void runEngineJobs(const QString &enginePath, const QVector<EngineJob> &jobs, int concurrency,
                   const std::function<void(int, const QString &)> &onLine,
                   const std::function<void(int, const EngineOutcome &)> &onEnded)
{
    if (jobs.isEmpty())
        return;
    // Each engine's standard output goes to a file of its own, which is read
    // in place: a 72 MB result would cross a pipe in a thousand slices (a
    // wake-up of both processes each) and be copied twice more on this side.
    const ScratchFolder results(QStringLiteral("the engines' results"));
    auto resultPath = [&results](int index) { return results.filePath(QString::number(index)); };
    QEventLoop loop;
    // Finished processes stay alive until the loop ends: they are deleted
    // outside of their own signal handlers.
    std::vector<std::unique_ptr<QProcess>> processes(static_cast<size_t>(jobs.size()));
    std::vector<HostLineSplitter> splitters(static_cast<size_t>(jobs.size()), HostLineSplitter{});
    struct SplittersFreed {
        std::vector<HostLineSplitter> &splitters;
        ~SplittersFreed()
        {
            for (HostLineSplitter &splitter : splitters)
                hostLineSplitterFree(&splitter);
        }
    } splittersFreed{splitters};
    std::vector<QStringList> lines(static_cast<size_t>(jobs.size()));
    std::vector<bool> ended(static_cast<size_t>(jobs.size()), false);
    int next = 0;
    int running = 0;
    int endedCount = 0;
    std::function<void()> startMore;

    // Stopped, colormatch ends its engines before it ends itself: the signal
    // only wakes the loop, and the engines are ended once it has returned.
    const StopSignalsCaught stopWatch;
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopWatch.descriptor >= 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(stopWatch.descriptor, QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &loop, [&] { loop.quit(); });
    }
    auto stopped = [] { return caughtStopSignal() != 0; };

    struct LineTarget {
        QStringList &lines;
        int index;
        const std::function<void(int, const QString &)> &onLine;
    };
    auto deliverLines = [&](int index, bool atEnd) {
        const QByteArray bytes = processes[size_t(index)]->readAllStandardError();
        LineTarget target{lines[size_t(index)], index, onLine};
        hostSplitLines(&splitters[size_t(index)], bytes.constData(), size_t(bytes.size()), atEnd, 0,
                       [](const char *text, long long, void *data) {
                           auto *target = static_cast<LineTarget *>(data);
                           const QString line = QString::fromUtf8(text);
                           target->lines << line;
                           target->onLine(target->index, line);
                       },
                       &target);
    };
    auto end = [&](int index, EngineOutcome outcome) {
        if (ended[size_t(index)])
            return;
        ended[size_t(index)] = true;
        --running;
        ++endedCount;
        // An engine that ended because the user stopped the run (Ctrl+C
        // reaches the engines too) is no failure of its image.
        if (!stopped())
            onEnded(index, outcome);
        startMore();
        if (endedCount == jobs.size())
            loop.quit();
    };
    auto collect = [&](int index) {
        QProcess &process = *processes[size_t(index)];
        deliverLines(index, true);
        EngineOutcome outcome;
        outcome.crashed = process.exitStatus() == QProcess::CrashExit;
        outcome.exitCode = process.exitCode();
        auto file = std::make_shared<QFile>(resultPath(index));
        const uchar *mapped = file->open(QIODevice::ReadOnly) && file->size() > 0 ? file->map(0, file->size()) : nullptr;
        if (mapped) {
            outcome.result = QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(file->size()));
            outcome.resultFile = file;
        } else if (file->isOpen()) {
            outcome.result = file->readAll();
        }
        outcome.lines = lines[size_t(index)];
        return outcome;
    };

    auto start = [&](int index) {
        const EngineJob &job = jobs[index];
        ++running;
        QByteArray target = job.targetBytes;
        if (!job.targetPath.isEmpty()) {
            try {
                target = readInputImage(job.targetPath, QStringLiteral("target"));
            } catch (const UserError &error) {
                EngineOutcome outcome;
                outcome.inputUnreadable = true;
                outcome.startFailure = QString::fromStdString(error.what());
                end(index, outcome);
                return;
            }
        }
        std::unique_ptr<QProcess> process = newEngineProcess();
        QProcess *raw = process.get();
        processes[size_t(index)] = std::move(process);
        QObject::connect(raw, &QProcess::readyReadStandardError, &loop, [&, index] { deliverLines(index, false); });
        QObject::connect(raw, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                         [&, index](int, QProcess::ExitStatus) {
                             end(index, collect(index));
                             QFile::remove(resultPath(index)); // no longer mapped: the outcome is gone
                         });
        QObject::connect(raw, &QProcess::errorOccurred, &loop, [&, index, raw](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return; // the other errors end in `finished` as well
            EngineOutcome outcome;
            outcome.startFailure = QStringLiteral("cannot start the engine %1: %2").arg(enginePath, raw->errorString());
            end(index, outcome);
        });
        raw->setStandardOutputFile(resultPath(index));
        raw->start(enginePath, job.arguments);
        if (ended[size_t(index)])
            return;
        // The engine reads its standard input to the end before it starts work.
        if (!job.query)
            raw->write(frameRequest(target, job.referenceBytes));
        raw->closeWriteChannel();
    };
    startMore = [&] {
        while (!stopped() && running < concurrency && next < jobs.size())
            start(next++);
    };

    startMore();
    if (endedCount < jobs.size() && !stopped())
        loop.exec();
    if (!stopped())
        return;
    for (const std::unique_ptr<QProcess> &process : processes)
        if (process && process->state() != QProcess::NotRunning) {
            // SIGTERM first, so that an engine may tidy up; then SIGKILL.
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(-1);
            }
        }
    const int signal = caughtStopSignal();
    throw UserError(128 + signal,
                    QStringLiteral("stopped by %1; the running engines were ended").arg(stopSignalName(signal)));
}

QString engineFailure(const EngineOutcome &outcome)
{
    const QByteArray startFailure = outcome.startFailure.toUtf8();
    const QByteArray crash = outcome.crashed ? crashDescription(outcome.exitCode).toUtf8() : QByteArray();
    const QByteArray error = engineErrorMessage(outcome.lines).toUtf8();
    QByteArray crashLine;
    for (const QString &line : outcome.lines)
        if (isCrashLine(line)) {
            crashLine = line.toUtf8();
            break;
        }
    HostOutcome host{};
    host.startFailure = outcome.startFailure.isEmpty() ? nullptr : startFailure.constData();
    host.crash = crash.isEmpty() ? nullptr : crash.constData();
    host.signal = outcome.crashed && crash.isEmpty() ? outcome.exitCode : 0;
    host.exitStatus = outcome.crashed ? -1 : outcome.exitCode;
    host.errorMessage = error.isEmpty() ? nullptr : error.constData();
    host.crashLine = crashLine.isEmpty() ? nullptr : crashLine.constData();
    return textOf(hostFailureText(&host, "image"));
}

int engineFailureStatus(const EngineOutcome &outcome)
{
    if (!outcome.startFailure.isEmpty())
        return outcome.inputUnreadable ? colormatchStatus::noInput : colormatchStatus::unavailable;
    if (outcome.crashed)
        return colormatchStatus::software;
    if (outcome.exitCode != 0)
        return outcome.exitCode;
    return colormatchStatus::software;
}
