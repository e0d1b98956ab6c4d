// Everything that differs between the Windows build and the POSIX builds.
#include "engine/engine.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
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
