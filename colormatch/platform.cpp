// The little that differs between Windows and POSIX systems for colormatch:
// is standard error a terminal, how wide is it, and keeping codec chatter off it.
#include "colormatch/colormatch.h"

#include <QtGlobal>

#include <cstdio>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

bool standardErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

int terminalWidth()
{
#ifndef _WIN32
    winsize size{};
    if (ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

void withCodecWarningsSilenced(const std::function<void()> &work)
{
    std::fflush(stderr);
#ifdef _WIN32
    const int saved = _dup(_fileno(stderr));
    const int null = _open("NUL", _O_WRONLY);
    if (saved >= 0 && null >= 0)
        _dup2(null, _fileno(stderr));
    if (null >= 0)
        _close(null);
    auto restore = [saved] {
        std::fflush(stderr);
        if (saved >= 0) {
            _dup2(saved, _fileno(stderr));
            _close(saved);
        }
    };
#else
    const int saved = dup(fileno(stderr));
    const int null = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null >= 0)
        dup2(null, fileno(stderr));
    if (null >= 0)
        close(null);
    auto restore = [saved] {
        std::fflush(stderr);
        if (saved >= 0) {
            dup2(saved, fileno(stderr));
            close(saved);
        }
    };
#endif
    try {
        work();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}
