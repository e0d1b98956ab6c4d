// SPDX-License-Identifier: GPL-3.0-or-later
// The little that differs between Windows and POSIX systems for colormatch:
// file names in any bytes, engines that end with colormatch (Linux), the
// engine's file name, what a crash looks like, being stopped, reading
// standard input, free memory, is standard error a terminal, how wide is it,
// and keeping codec chatter off it.
#include "colormatch/platform.h"
#include "colormatch/errors.h"

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
#include <QTextCodec>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

#ifndef _WIN32
namespace {

// The first byte kept as a lone surrogate is 0x80: ASCII is always valid.
constexpr ushort keptByteBase = 0xDC00;

bool isKeptByte(QChar c)
{
    return c.unicode() >= keptByteBase + 0x80 && c.unicode() <= keptByteBase + 0xFF;
}

// UTF-8, with every byte that does not belong to a well-formed sequence kept
// as a lone surrogate (an encoded surrogate is no well-formed sequence, so
// that reading and writing back gives the bytes again).
class ByteKeepingUtf8 : public QTextCodec {
public:
    QByteArray name() const override { return "UTF-8 (bytes kept)"; }
    int mibEnum() const override { return -106; } // private: no registered character set

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *state) const override
    {
        // A sequence cut by the end of one piece of a stream waits in the state.
        QByteArray bytes;
        if (state && state->remainingChars > 0)
            bytes = QByteArray(reinterpret_cast<const char *>(state->state_data), state->remainingChars);
        bytes.append(in, length);
        if (state)
            state->remainingChars = 0;
        const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
        const int n = bytes.size();
        QString text;
        text.reserve(n);
        for (int i = 0; i < n;) {
            const uchar lead = b[i];
            if (lead < 0x80) {
                text += QChar(lead);
                ++i;
                continue;
            }
            // The length and the range of the second byte (no overlong form,
            // no surrogate, nothing past U+10FFFF), as RFC 3629 sets them.
            int length = 0;
            uchar low = 0x80, high = 0xBF;
            if (lead >= 0xC2 && lead <= 0xDF)
                length = 2;
            else if (lead >= 0xE0 && lead <= 0xEF) {
                length = 3;
                low = lead == 0xE0 ? 0xA0 : 0x80;
                high = lead == 0xED ? 0x9F : 0xBF;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                length = 4;
                low = lead == 0xF0 ? 0x90 : 0x80;
                high = lead == 0xF4 ? 0x8F : 0xBF;
            }
            int valid = length > 0 ? 1 : 0;
            while (valid > 0 && valid < length && i + valid < n &&
                   b[i + valid] >= (valid == 1 ? low : 0x80) && b[i + valid] <= (valid == 1 ? high : 0xBF))
                ++valid;
            if (valid > 0 && valid < length && i + valid == n && state) {
                std::copy(b + i, b + n, state->state_data); // at most 3 bytes
                state->remainingChars = n - i;
                break;
            }
            if (valid == 0 || valid < length) {
                text += QChar(ushort(keptByteBase + lead));
                ++i;
                continue;
            }
            uint code = lead & (0xFF >> (length + 1));
            for (int k = 1; k < length; ++k)
                code = (code << 6) | (b[i + k] & 0x3F);
            text += QString::fromUcs4(&code, 1);
            i += length;
        }
        return text;
    }

    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        QByteArray bytes;
        bytes.reserve(length);
        for (int i = 0; i < length; ++i) {
            if (isKeptByte(in[i])) {
                bytes += char(in[i].unicode() - keptByteBase);
                continue;
            }
            uint code = in[i].unicode();
            if (in[i].isHighSurrogate() && i + 1 < length && in[i + 1].isLowSurrogate()) {
                code = QChar::surrogateToUcs4(in[i], in[i + 1]);
                ++i;
            } else if (in[i].isSurrogate())
                code = '?';
            bytes += QString::fromUcs4(&code, 1).toUtf8();
        }
        return bytes;
    }
};

} // namespace

void keepFileNameBytes()
{
    // A locale in another character set (Latin-1 and the like) keeps every byte already.
    const int locale = QTextCodec::codecForLocale()->mibEnum();
    constexpr int utf8 = 106, ascii = 3;
    if (locale == utf8 || locale == ascii)
        QTextCodec::setCodecForLocale(new ByteKeepingUtf8); // Qt keeps every codec made until it ends
}

QString readableText(const QString &text)
{
    QString readable;
    readable.reserve(text.size());
    for (const QChar c : text)
        if (isKeptByte(c))
            readable += QStringLiteral("\\x") +
                        QString::number(c.unicode() - keptByteBase, 16).toUpper(); // 80 to FF
        else
            readable += c;
    return readable;
}
#else
void keepFileNameBytes() { }
QString readableText(const QString &text)
{
    return text;
}
#endif

#ifdef __linux__
namespace {

// The hook QProcess runs in the child between fork and exec.
class EngineProcess : public QProcess {
protected:
    void setupChildProcess() override
    {
        // An engine's work is of no use once colormatch has gone.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127); // colormatch ended before the line above
    }

private:
    const pid_t parent = getpid();
};

} // namespace

std::unique_ptr<QProcess> newEngineProcess()
{
    return std::make_unique<EngineProcess>();
}
#else
std::unique_ptr<QProcess> newEngineProcess()
{
    return std::make_unique<QProcess>();
}
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
void waitUntilReadableOrStopped(int descriptor) { Q_UNUSED(descriptor) }
#else
namespace {

// The self-pipe: the handler may only note the signal and write one byte.
int stopPipe[2] = {-1, -1};
volatile sig_atomic_t caughtSignal = 0;
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];
int catchingDepth = 0; // a whole run catches them, and its engine loops within it

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
    if (catchingDepth++ > 0)
        return stopPipe[0];
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
    if (--catchingDepth > 0 || stopPipe[0] < 0)
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

// A read from an idle pipe restarts after the handler has run (SA_RESTART,
// and Qt retries on EINTR too): waiting here on both lets a stop end it.
void waitUntilReadableOrStopped(int descriptor)
{
    if (stopPipe[0] < 0 || descriptor < 0)
        return;
    pollfd watched[2] = {{descriptor, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    while (poll(watched, 2, -1) < 0 && errno == EINTR)
        if (caughtSignal != 0)
            return;
}
#endif

void endIfStopped()
{
    if (const int signal = caughtStopSignal())
        throw UserError(128 + signal, QStringLiteral("stopped by %1").arg(stopSignalName(signal)));
}

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

bool standardOutputIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
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
