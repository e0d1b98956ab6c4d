// colormatch's inputs: their names as people read them, and each read once,
// whole, within the size colormatch takes.
#pragma once

#include <QByteArray>
#include <QString>

// The most colormatch reads of one image. Target and reference framed together
// stay within the largest request the engine takes (2^31 - 1 - 2^20 bytes).
constexpr qint64 largestInput = qint64(1023) << 20;

// An input as people read it: "standard input" for "-", otherwise the path.
QString inputName(const QString &path);
// Why an input cannot be read, from its file-system entry alone (missing, a
// folder), or empty; opening it is left to the one read, since a pipe opened
// and closed again loses its writer.
QString inputProblem(const QString &path);
// All bytes of an input image ("-": standard input), read once and in chunks.
// Throws UserError with the role ("target", "reference") in its message: 66
// for an input that cannot be read, 65 for one larger than largestInput, of
// which no more than largestInput + 1 bytes are read.
QByteArray readInputImage(const QString &path, const QString &role);
