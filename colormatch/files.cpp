// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's files: reading inputs, checking outputs before any engine
// starts, and saving them.
#include "colormatch/files.h"
#include "colormatch/errors.h"
#include "colormatch/platform.h"
#include "encoders/image_probe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>

namespace {

// What colormatch reads in one go from a pipe or device that tells no size.
constexpr qint64 readChunk = qint64(1) << 20;

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

// Writes all the bytes to a file opened unbuffered. A disk that fills takes
// part of a write and refuses the rest: only that second write sets the
// system's reason ("No space left on device") as the file's error string.
bool writeAll(QFileDevice &file, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

} // namespace

void writeError(const QString &text)
{
    const QByteArray bytes = readableText(text).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void writeOutput(const QString &text)
{
    const QByteArray bytes = readableText(text).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

bool isStandardInput(const QString &path)
{
    return path == QLatin1String("-");
}

bool isStandardOutput(const QString &path)
{
    return path == QLatin1String("-") || path == QLatin1String("/dev/stdout");
}

QString outputName(const QString &path)
{
    return isStandardOutput(path) ? QStringLiteral("standard output") : path;
}

bool isPipeOrDevice(const QString &path)
{
    const QFileInfo info(path);
    return isStandardOutput(path) || (info.exists() && !info.isFile() && !info.isDir());
}

NamedFile named(const QString &what, const QString &path, bool input)
{
    return {path, what + QLatin1Char(' ') + path, input};
}

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

QString saveFile(const QString &path, const QByteArray &bytes)
{
    if (isStandardOutput(path)) {
        QFile file;
        if (file.open(binaryDescriptor(stdout), QIODevice::WriteOnly | QIODevice::Unbuffered,
                      QFileDevice::DontCloseHandle) &&
            writeAll(file, bytes))
            return QString();
        return QStringLiteral("cannot write to standard output: %1").arg(file.errorString());
    }
    if (isPipeOrDevice(path)) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && writeAll(file, bytes))
            return QString();
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    }
    // A temporary file beside the output, renamed over it when complete: a
    // reader never sees half an image.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && writeAll(file, bytes) && file.commit())
        return QString();
    return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
}

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
    auto refuseBytes = [&](const ImageProblem &problem) {
        if (!problem.text.empty())
            throw UserError(colormatchStatus::dataError, QStringLiteral("%1 image %2: %3")
                                                             .arg(role, inputName(path),
                                                                  QString::fromStdString(problem.text)));
    };
    auto data = [&] { return reinterpret_cast<const uchar *>(bytes.constData()); };
    // A stream's bytes are judged each time they have doubled: bytes in no
    // image format are refused once their signature is in, bytes that can no
    // longer be their image as soon as that shows, and the stream stops where
    // its image ends. A device that never ends (/dev/zero) is not read to the
    // limit. A regular file, read whole, is left to the image probe.
    qint64 judged = 0;
    for (;;) {
        waitUntilReadableOrStopped(file.handle()); // a pipe may stay idle
        endIfStopped();                            // or never end
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
        if (expected > 0 || size < std::max<qint64>(imageSignatureLength, 2 * judged))
            continue; // a regular file is judged whole
        if (judged == 0)
            refuseBytes(formatProblem(data(), size, -1));
        judged = size;
        const ImageExtent extent = imageExtent(data(), size);
        refuseBytes(extent.problem);
        if (extent.end > 0 && extent.end <= size) {
            size = extent.end; // what follows is not the image's
            break;
        }
    }
    if (size > 0) {
        refuseBytes(formatProblem(data(), size, size));
        if (expected == 0)
            refuseBytes(imageExtent(data(), size).problem);
    }
    bytes.resize(int(size));
    return bytes;
}
