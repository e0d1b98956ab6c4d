// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/base.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

bool saveFileAtomically(const QString &path, const QByteArray &bytes, bool textMode, QString *reason)
{
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    if (textMode)
        mode |= QIODevice::Text;
    // A FIFO or a device (a host reading a pipe, /dev/stdout) is written to
    // directly: a rename would put a regular file in its place, unread.
    const QFileInfo existing(path);
    if (existing.exists() && !existing.isFile() && !existing.isDir()) {
        QFile device(path);
        const bool written = device.open(mode | QIODevice::Unbuffered) && device.write(bytes) == bytes.size();
        if (!written && reason)
            *reason = device.errorString();
        return written;
    }
    QSaveFile file(path);
    const bool saved = file.open(mode) && file.write(bytes) == bytes.size() && file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}
