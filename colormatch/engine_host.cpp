// The host's side of the engine conversation: the twelve positions, the framed
// request, reading progress and error lines, and running engine processes.
#include "colormatch/engine_host.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/platform.h"

#include <QDataStream>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <memory>
#include <vector>

namespace {

const QString capabilityToken = QStringLiteral("QX7PLM");

QString base64Path(const QString &path)
{
    return QString::fromLatin1(QFileInfo(path).absoluteFilePath().toUtf8().toBase64());
}

QString stripLineEnd(QByteArray line)
{
    // The Windows engine ends its lines with CR LF.
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

} // namespace

UserError::UserError(int exitStatus, const QString &message)
    : std::runtime_error(message.toStdString())
    , status(exitStatus)
{
}

QStringList engineArguments(const EngineRequest &request)
{
    const bool lut = !request.lutBase.isEmpty();
    return {QStringLiteral("colormatch"),
            QStringLiteral("1"),
            QStringLiteral("match"),
            QStringLiteral("none"),
            lut ? base64Path(request.lutBase) : QStringLiteral("none"),
            request.useOpenCL ? QStringLiteral("on") : QStringLiteral("off"),
            request.matchLightness ? QStringLiteral("on") : QStringLiteral("off"),
            QString::number(request.lutSize),
            request.resultFormat,
            QString::number(request.strength, 'g', 9),
            request.sizeFile.isEmpty() ? QStringLiteral("none") : base64Path(request.sizeFile)};
}

QStringList capabilityArguments()
{
    return {QStringLiteral("colormatch"), QStringLiteral("1"), capabilityToken};
}

QByteArray frameRequest(const QByteArray &target, const QByteArray &reference)
{
    QByteArray request;
    request.reserve(12 + target.size() + reference.size());
    QDataStream stream(&request, QIODevice::WriteOnly);
    stream << qint32(0) << qint32(target.size());
    stream.writeRawData(target.constData(), target.size());
    stream << qint32(reference.size());
    stream.writeRawData(reference.constData(), reference.size());
    return request;
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
    static const QRegularExpression code(QStringLiteral("^[0-9]{3}$"));
    return code.match(line).hasMatch() ? line.toInt() : -1;
}

bool isErrorLine(const QString &line)
{
    return line.startsWith(QLatin1String("ERROR "));
}

bool isCrashLine(const QString &line)
{
    return line.startsWith(QLatin1String("CRASH "));
}

QString engineErrorMessage(const QStringList &lines)
{
    for (int i = lines.size() - 1; i >= 0; --i)
        if (isErrorLine(lines[i]))
            return lines[i].mid(6);
    return QString();
}

cv::Size workingSize(const QStringList &lines)
{
    static const QRegularExpression size(QStringLiteral("^current_image_mat_rgba:([0-9]+)x([0-9]+)$"));
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = size.match(line);
        if (match.hasMatch())
            return {match.captured(1).toInt(), match.captured(2).toInt()};
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
    const QTemporaryDir results;
    if (!results.isValid())
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot create a temporary folder for the engines' results: %1")
                            .arg(results.errorString()));
    auto resultPath = [&results](int index) { return results.filePath(QString::number(index)); };
    QEventLoop loop;
    // Finished processes stay alive until the loop ends: they are deleted
    // outside of their own signal handlers.
    std::vector<std::unique_ptr<QProcess>> processes(static_cast<size_t>(jobs.size()));
    std::vector<QByteArray> partialLines(static_cast<size_t>(jobs.size()));
    std::vector<QStringList> lines(static_cast<size_t>(jobs.size()));
    std::vector<bool> ended(static_cast<size_t>(jobs.size()), false);
    int next = 0;
    int running = 0;
    int endedCount = 0;
    std::function<void()> startMore;

    // Stopped, colormatch ends its engines before it ends itself: the signal
    // only wakes the loop, and the engines are ended once it has returned.
    struct StopWatch {
        int descriptor = startCatchingStopSignals();
        ~StopWatch() { stopCatchingStopSignals(); }
    } stopWatch;
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopWatch.descriptor >= 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(stopWatch.descriptor, QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &loop, [&] { loop.quit(); });
    }
    auto stopped = [] { return caughtStopSignal() != 0; };

    auto deliverLine = [&](int index, const QByteArray &bytes) {
        const QString line = stripLineEnd(bytes);
        lines[size_t(index)] << line;
        onLine(index, line);
    };
    auto deliverLines = [&](int index, bool atEnd) {
        QByteArray &pending = partialLines[size_t(index)];
        pending += processes[size_t(index)]->readAllStandardError();
        int lineEnd;
        while ((lineEnd = pending.indexOf('\n')) >= 0) {
            deliverLine(index, pending.left(lineEnd + 1));
            pending.remove(0, lineEnd + 1);
        }
        if (atEnd && !pending.isEmpty()) {
            deliverLine(index, pending);
            pending.clear();
        }
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
        auto process = std::make_unique<QProcess>();
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
    if (!outcome.startFailure.isEmpty())
        return outcome.startFailure;
    if (outcome.crashed)
        return QStringLiteral("the engine crashed (%1)").arg(crashDescription(outcome.exitCode));
    if (outcome.exitCode != 0) {
        const QString error = engineErrorMessage(outcome.lines);
        const QString failed = QStringLiteral("the engine failed with exit status %1").arg(outcome.exitCode);
        return error.isEmpty() ? failed : failed + QStringLiteral(": ERROR ") + error;
    }
    for (const QString &line : outcome.lines)
        if (isCrashLine(line))
            return QStringLiteral("the colour transfer failed inside the engine (%1), which gave back the image "
                                  "unmatched")
                .arg(line);
    return QString();
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
