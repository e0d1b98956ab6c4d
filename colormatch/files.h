// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's files: text on standard output and error; inputs named as
// people read them and each read once, whole, within the size colormatch
// takes; outputs checked before any engine starts (no two naming one file,
// each writable) and saved whole, or written as they are to a pipe or device.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Text for people on standard error and on standard output, written at once,
// file names in any bytes made readable.
void writeError(const QString &text);
void writeOutput(const QString &text);

// The most colormatch reads of one image. Target and reference framed together
// stay within the largest request the engine takes (2^31 - 1 - 2^20 bytes).
constexpr qint64 largestInput = qint64(1023) << 20;

// "-" as an input: standard input.
bool isStandardInput(const QString &path);
// An input as people read it: "standard input" for "-", otherwise the path.
QString inputName(const QString &path);
// Why an input cannot be read, from its file-system entry alone (missing, a
// folder), or empty; opening it is left to the one read, since a pipe opened
// and closed again loses its writer.
QString inputProblem(const QString &path);
// All bytes of an input image ("-": standard input), read once and in chunks;
// a pipe or device up to where its image ends. Throws UserError with the role
// ("target", "reference") in its message: 66 for an input that cannot be
// read, 65 for one larger than largestInput, of which no more than
// largestInput + 1 bytes are read, and 65 for one whose first bytes are in no
// format the engine takes, refused once they are read, or a stream whose bytes
// can no longer be an image of their format, refused once that shows.
QByteArray readInputImage(const QString &path, const QString &role);

// "-" and /dev/stdout: written to colormatch's own standard output, also when
// that has been sent into a regular file (which /dev/stdout then names).
bool isStandardOutput(const QString &path);
// An output as people read it: "standard output" for "-" and /dev/stdout,
// otherwise the path.
QString outputName(const QString &path);
// A pipe or a device (a FIFO, /dev/null): written to as it is, since
// replacing it with a regular file would take it away from its reader.
bool isPipeOrDevice(const QString &path);

// A file the command line names: an input, or an output colormatch or the
// engine writes.
struct NamedFile {
    QString path;
    QString label; // "LUT file look_unwrapped.png", "output out/a.png (of a.jpg)", ...
    bool input = false;
};

// The file at `path` labelled "WHAT PATH".
NamedFile named(const QString &what, const QString &path, bool input = false);
// Every output must name a file of its own: not an input, not another output.
// Checked before anything is read or started, so that a refusal changes nothing.
void refuseSharedFiles(const QVector<NamedFile> &files);
// Each output is created and removed again before any engine starts: a match
// of minutes is not run for an output that cannot be written (a read-only
// file, a folder without write permission, /proc).
void checkOutputFolder(const QString &file, const QString &what);
// Writes the bytes to the output `path` names; returns what went wrong, or
// empty. A regular file is replaced whole, never left half written.
QString saveFile(const QString &path, const QByteArray &bytes);
