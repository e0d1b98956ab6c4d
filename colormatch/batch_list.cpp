// SPDX-License-Identifier: GPL-3.0-or-later
// A batch's images from a list file: split, cleaned of what editors and
// shells add, and read from a file or standard input.
#include "colormatch/batch_list.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "colormatch/platform.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

QStringList batchListNames(const QByteArray &list, bool nulSeparated)
{
    QByteArray bytes = list;
    if (bytes.startsWith("\xEF\xBB\xBF")) // Windows editors mark UTF-8 so
        bytes.remove(0, 3);
    const bool nul = nulSeparated || bytes.contains('\0');
    QStringList names;
    for (QByteArray entry : bytes.split(nul ? '\0' : '\n')) {
        if (!nul && entry.endsWith('\r'))
            entry.chop(1);
        if (entry.trimmed().isEmpty())
            continue;
        // Decoded as the arguments are, so that a name in any bytes opens the same file.
        names << QFile::decodeName(entry);
    }
    return names;
}

QStringList readBatchList(const QString &path, bool nulSeparated)
{
    QFile file;
    if (isStandardInput(path)) {
        file.open(binaryDescriptor(stdin), QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
    } else {
        const QFileInfo info(path);
        if (!info.exists())
            throw UserError(colormatchStatus::noInput, QStringLiteral("list file %1 does not exist").arg(path));
        if (info.isDir())
            throw UserError(colormatchStatus::noInput,
                            QStringLiteral("list file %1 is a folder, not a list of images").arg(path));
        file.setFileName(path);
        file.open(QIODevice::ReadOnly);
    }
    if (!file.isOpen())
        throw UserError(colormatchStatus::noInput,
                        QStringLiteral("cannot read list file %1: %2").arg(inputName(path), file.errorString()));
    // A list of a million names is tens of MB; a device that never ends is no list.
    QByteArray bytes;
    for (;;) {
        const QByteArray chunk = file.read(qint64(1) << 20);
        if (chunk.isEmpty())
            break;
        bytes += chunk;
        if (bytes.size() > largestInput)
            throw UserError(colormatchStatus::dataError,
                            QStringLiteral("list file %1 is larger than the %2 MiB colormatch reads of a list")
                                .arg(inputName(path))
                                .arg(largestInput >> 20));
    }
    if (file.error() != QFileDevice::NoError)
        throw UserError(colormatchStatus::noInput,
                        QStringLiteral("cannot read list file %1: %2").arg(inputName(path), file.errorString()));
    return batchListNames(bytes, nulSeparated);
}
