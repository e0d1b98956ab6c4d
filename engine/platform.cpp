// SPDX-License-Identifier: GPL-3.0-or-later
// Everything that differs between the Windows build and the POSIX builds.
#include "engine/engine.h"

#include <csignal>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

void setBinaryStandardStreams()
{
#ifdef _WIN32
    // Image bytes must pass untranslated; standard error stays in text mode so
    // that its line feeds reach the host as CR LF.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

bool platformHonoursResultFile()
{
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

void ignoreBrokenPipe()
{
#ifndef _WIN32
    // A host that stops reading early must get an orderly exit, not a silent
    // death by signal: the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

FILE *detachProtocolChannel()
{
    std::fflush(stderr);
#ifdef _WIN32
    const int protocol = _dup(_fileno(stderr));
    const int null = _open("NUL", _O_WRONLY);
    const bool moved = protocol >= 0 && null >= 0 && _dup2(null, _fileno(stderr)) == 0;
    if (null >= 0)
        _close(null);
    FILE *channel = moved ? _fdopen(protocol, "w") : nullptr;
#else
    const int protocol = dup(fileno(stderr));
    const int null = open("/dev/null", O_WRONLY);
    const bool moved = protocol >= 0 && null >= 0 && dup2(null, fileno(stderr)) >= 0;
    if (null >= 0)
        close(null);
    FILE *channel = moved ? fdopen(protocol, "w") : nullptr;
#endif
    return channel ? channel : stderr;
}
