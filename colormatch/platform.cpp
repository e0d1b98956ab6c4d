// The little that differs between Windows and POSIX systems for colormatch:
// the engine's file name, what a crash looks like, being stopped, reading
// standard input, free memory, is standard error a terminal, how wide is it,
// and keeping codec chatter off it.
#include "colormatch/platform.h"

#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <QFile>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

QString enginePathIn(const QString &folder)
{
#ifdef _WIN32
    return folder + QStringLiteral("/matchengine.exe");
#else
    return folder + QStringLiteral("/matchengine");
#endif
}

// What ended a crashed process: an exception code (0xC0000005 and the like) on
// Windows, a signal elsewhere.
QString crashDescription(int code)
{
#ifdef _WIN32
    return QStringLiteral("status 0x%1").arg(quint32(code), 8, 16, QLatin1Char('0')).toUpper();
#else
    Q_UNUSED(code)
    return QString(); // a signal, which the host library names
#endif
}

#ifdef _WIN32
// Ctrl+C and Ctrl+Break reach every process of the console, the engines
// included, which end by themselves; there is nothing for colormatch to
// forward, so the signals keep their usual effect.
int startCatchingStopSignals() { return -1; }
void stopCatchingStopSignals() { }
int caughtStopSignal() { return 0; }
#else
namespace {

// The self-pipe: the handler may only note the signal and write one byte.
int stopPipe[2] = {-1, -1};
volatile sig_atomic_t caughtSignal = 0;
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];

void onStopSignal(int signal)
{
    const int savedErrno = errno;
    if (caughtSignal == 0)
        caughtSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(stopPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

int startCatchingStopSignals()
{
    caughtSignal = 0;
    if (pipe(stopPipe) != 0) {
        stopPipe[0] = stopPipe[1] = -1;
        return -1;
    }
    for (const int end : stopPipe) {
        // The engines must not inherit the pipe, and a full pipe must not
        // block the handler.
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        // A signal ignored on purpose (nohup) stays ignored.
        sigaction(stopSignals[i], nullptr, &previousActions[i]);
        if (previousActions[i].sa_handler != SIG_IGN)
            sigaction(stopSignals[i], &action, nullptr);
    }
    return stopPipe[0];
}

void stopCatchingStopSignals()
{
    if (stopPipe[0] < 0)
        return;
    for (int i = 0; i < 3; ++i)
        sigaction(stopSignals[i], &previousActions[i], nullptr);
    for (int &end : stopPipe) {
        close(end);
        end = -1;
    }
}

int caughtStopSignal()
{
    return caughtSignal;
}
#endif

QString stopSignalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
#ifndef _WIN32
    case SIGHUP:
        return QStringLiteral("SIGHUP");
#endif
    default:
        return QStringLiteral("signal %1").arg(signal);
    }
}

int binaryDescriptor(FILE *stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
    return _fileno(stream);
#else
    return fileno(stream);
#endif
}

qint64 freeMemoryBytes()
{
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? qint64(status.ullAvailPhys) : -1;
#else
    // Linux counts reclaimable caches as available; other systems say only
    // what is free right now.
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (meminfo.open(QIODevice::ReadOnly))
        for (const QByteArray &line : meminfo.readAll().split('\n'))
            if (line.startsWith("MemAvailable:"))
                return line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
#ifdef _SC_AVPHYS_PAGES
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        return qint64(pages) * pageSize;
#endif
    return -1;
#endif
}

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

namespace {

// The descriptor calls under their names on each system.
#ifdef _WIN32
constexpr const char *nullDevice = "NUL";
int duplicate(int fd) { return _dup(fd); }
int duplicateTo(int fd, int target) { return _dup2(fd, target); }
int openForWriting(const char *path) { return _open(path, _O_WRONLY); }
int closeDescriptor(int fd) { return _close(fd); }
int errorDescriptor() { return _fileno(stderr); }
#else
constexpr const char *nullDevice = "/dev/null";
int duplicate(int fd) { return dup(fd); }
int duplicateTo(int fd, int target) { return dup2(fd, target); }
int openForWriting(const char *path) { return open(path, O_WRONLY); }
int closeDescriptor(int fd) { return close(fd); }
int errorDescriptor() { return fileno(stderr); }
#endif

} // namespace

void withCodecWarningsSilenced(const std::function<void()> &work)
{
    std::fflush(stderr);
    const int saved = duplicate(errorDescriptor());
    const int null = openForWriting(nullDevice);
    if (saved >= 0 && null >= 0)
        duplicateTo(null, errorDescriptor());
    if (null >= 0)
        closeDescriptor(null);
    auto restore = [saved] {
        std::fflush(stderr);
        if (saved >= 0) {
            duplicateTo(saved, errorDescriptor());
            closeDescriptor(saved);
        }
    };
    try {
        work();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}
