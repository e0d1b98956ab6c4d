// SPDX-License-Identifier: GPL-3.0-or-later
// Progress codes and diagnostic lines on the host's channel.
#include "base/base.h"

namespace {
FILE *channel = stderr;
}

FILE *protocolChannel()
{
    return channel;
}

void useProtocolChannel(FILE *stream)
{
    if (stream)
        channel = stream;
}

void reportProgress(const char *code)
{
    char line[8];
    const int length = std::snprintf(line, sizeof line, "%s\n", code);
    std::fwrite(line, 1, static_cast<size_t>(length), channel);
    std::fflush(channel);
}

void writeDiagnosticLine(const QString &line)
{
    const QByteArray text = line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), channel);
    std::fflush(channel);
}

void writeErrorLine(const QString &message)
{
    QString line = message;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    writeDiagnosticLine(QStringLiteral("ERROR ") + line);
}
