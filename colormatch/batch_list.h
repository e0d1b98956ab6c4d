// SPDX-License-Identifier: GPL-3.0-or-later
// A batch's images read from a list file (--from-list): one name a line, or
// NUL-separated as find -print0 writes them, names in any bytes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The names in a list's bytes. Separated by NUL where `nulSeparated` is set or
// the list holds a NUL byte (no file name can hold one), otherwise by line
// ends, LF or CR LF. Empty entries and lines of white space only are skipped;
// a leading UTF-8 byte-order mark is dropped. Names keep their bytes as
// colormatch's arguments do.
QStringList batchListNames(const QByteArray &list, bool nulSeparated);

// The names in the list file `path` ("-": standard input), read whole.
// Throws UserError: 66 for a list that is missing or cannot be read.
QStringList readBatchList(const QString &path, bool nulSeparated);
