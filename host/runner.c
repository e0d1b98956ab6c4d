/* SPDX-License-Identifier: GPL-3.0-or-later */
/* Running one engine process on POSIX systems: the request written, standard
 * output and standard error read, all in one poll loop, so that neither side
 * waits on a full pipe; then wait4 for its status and resources. */
#define _DEFAULT_SOURCE /* wait4 */
#include "host/host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

static long long nowMicroseconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static int makePipe(int ends[2])
{
    if (pipe(ends) != 0)
        return 0;
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return 1;
}

static void setNonBlocking(int descriptor)
{
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
}

static void closeDescriptor(int *descriptor)
{
    if (*descriptor >= 0)
        close(*descriptor);
    *descriptor = -1;
}

static char *failureText(const char *what, const char *path, int error)
{
    const char *reason = strerror(error);
    const size_t size = strlen(what) + strlen(path) + strlen(reason) + 4;
    char *text = malloc(size);
    if (text)
        snprintf(text, size, "%s %s: %s", what, path, reason);
    return text;
}

typedef struct {
    HostRunResult *result;
    const HostRun *run;
    int outOfMemory;
} LineSink;

static void keepLine(const char *line, long long microseconds, void *data)
{
    LineSink *sink = data;
    HostRunResult *result = sink->result;
    HostRunLine *lines = realloc(result->lines, (result->lineCount + 1) * sizeof *lines);
    const size_t length = strlen(line) + 1;
    char *text = malloc(length);
    if (!lines || !text) {
        free(text);
        if (lines)
            result->lines = lines;
        sink->outOfMemory = 1;
        return;
    }
    memcpy(text, line, length);
    result->lines = lines;
    result->lines[result->lineCount++] = (HostRunLine){text, microseconds};
    if (sink->run->onLine)
        sink->run->onLine(line, microseconds, sink->run->lineData);
}

/* In the child between fork and exec: only calls that are safe there. */
static void startChild(const HostRun *run, int input, int output, int errors, int report, pid_t parent)
{
    /* The host may ignore SIGPIPE; an ignored signal would stay ignored. */
    signal(SIGPIPE, SIG_DFL);
#ifdef __linux__
    /* A host ended by SIGKILL (GIMP's cancel) cannot pass its end on. */
    if (run->endWithCaller && (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent))
        _exit(127);
#else
    (void)parent;
#endif
    if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(errors, 2) < 0)
        _exit(127);
    execv(run->arguments[0], (char *const *)run->arguments);
    const int error = errno;
    if (write(report, &error, sizeof error) < 0)
        _exit(127);
    _exit(127);
}

/* SIGTERM, so that the engine may tidy up; SIGKILL after three seconds. */
static void endChild(pid_t child)
{
    kill(child, SIGTERM);
    const struct timespec pause = {0, 10000000};
    for (int waited = 0; waited < 300; ++waited) {
        siginfo_t ended;
        memset(&ended, 0, sizeof ended);
        if (waitid(P_PID, (id_t)child, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0)
            return;
        nanosleep(&pause, NULL);
    }
    kill(child, SIGKILL);
}

int hostRunEngine(const HostRun *run, HostRunResult *result)
{
    *result = (HostRunResult){.exitStatus = -1};
    int input[2], output[2], errors[2], report[2];
    if (!makePipe(input) || !makePipe(output) || !makePipe(errors) || !makePipe(report)) {
        result->startFailure = failureText("cannot start", run->arguments[0], errno);
        return 0;
    }
    /* Written to a pipe whose reader is gone, the host gets EPIPE, not death. */
    struct sigaction ignore, previous;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);

    const long long start = nowMicroseconds();
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0)
        startChild(run, input[0], output[1], errors[1], report[1], parent);
    const int forkError = errno;
    close(input[0]);
    close(output[1]);
    close(errors[1]);
    close(report[1]);
    int startError = 0;
    if (child > 0) {
        ssize_t got;
        while ((got = read(report[0], &startError, sizeof startError)) < 0 && errno == EINTR)
            ;
        if (got != (ssize_t)sizeof startError)
            startError = 0;
    }
    close(report[0]);
    if (child < 0 || startError) {
        result->startFailure =
            failureText("cannot start the engine", run->arguments[0], child < 0 ? forkError : startError);
        close(input[1]);
        close(output[0]);
        close(errors[0]);
        if (child > 0)
            waitpid(child, NULL, 0);
        sigaction(SIGPIPE, &previous, NULL);
        return result->startFailure != NULL;
    }

    int toChild = input[1], fromChild = output[0], errorsFromChild = errors[0];
    setNonBlocking(toChild);
    setNonBlocking(fromChild);
    setNonBlocking(errorsFromChild);
    LineSink sink = {result, run, 0};
    HostLineSplitter splitter = {{NULL, 0, 0}};
    enum { chunkSize = 1 << 18 };
    unsigned char *buffer = malloc(chunkSize);
    unsigned char *chunk = run->requestDescriptor >= 0 ? malloc(chunkSize) : NULL;
    const unsigned char *pending = run->request;
    size_t pendingSize = run->requestDescriptor >= 0 ? 0 : run->requestSize;
    int requestEnded = run->requestDescriptor < 0;
    int failed = !buffer || (run->requestDescriptor >= 0 && !chunk);
    int failure = failed ? ENOMEM : 0;

    while (!failed && (fromChild >= 0 || errorsFromChild >= 0)) {
        struct pollfd watched[4];
        nfds_t count = 0;
        int toIndex = -1, requestIndex = -1, fromIndex = -1, errorsIndex = -1, cancelIndex = -1;
        if (toChild >= 0 && pendingSize == 0 && requestEnded)
            closeDescriptor(&toChild);
        /* The request's next piece waits for its source, then for the pipe. */
        if (toChild >= 0 && pendingSize > 0) {
            toIndex = (int)count;
            watched[count++] = (struct pollfd){toChild, POLLOUT, 0};
        } else if (toChild >= 0) {
            requestIndex = (int)count;
            watched[count++] = (struct pollfd){run->requestDescriptor, POLLIN, 0};
        }
        if (fromChild >= 0) {
            fromIndex = (int)count;
            watched[count++] = (struct pollfd){fromChild, POLLIN, 0};
        }
        if (errorsFromChild >= 0) {
            errorsIndex = (int)count;
            watched[count++] = (struct pollfd){errorsFromChild, POLLIN, 0};
        }
        if (run->cancelDescriptor >= 0) {
            cancelIndex = (int)count;
            watched[count++] = (struct pollfd){run->cancelDescriptor, POLLIN, 0};
        }
        if (poll(watched, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            failed = 1;
            failure = errno;
            break;
        }
        if (cancelIndex >= 0 && watched[cancelIndex].revents) {
            result->cancelled = 1;
            endChild(child);
            break;
        }
        if (requestIndex >= 0 && watched[requestIndex].revents) {
            const ssize_t got = read(run->requestDescriptor, chunk, chunkSize);
            if (got > 0) {
                pending = chunk;
                pendingSize = (size_t)got;
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                requestEnded = 1;
            }
        }
        if (toIndex >= 0 && watched[toIndex].revents) {
            const ssize_t sent = write(toChild, pending, pendingSize);
            if (sent > 0) {
                pending += sent;
                pendingSize -= (size_t)sent;
            } else if (sent < 0 && errno != EINTR && errno != EAGAIN) {
                /* The engine stopped reading (EPIPE): it reads to the end
                 * before it starts, so whatever it says next tells why. */
                pendingSize = 0;
                requestEnded = 1;
            }
        }
        if (fromIndex >= 0 && watched[fromIndex].revents) {
            const ssize_t got = read(fromChild, buffer, chunkSize);
            if (got > 0) {
                result->resultSize += got;
                if (run->resultDescriptor >= 0) {
                    for (ssize_t written = 0, w; written < got; written += w)
                        if ((w = write(run->resultDescriptor, buffer + written, (size_t)(got - written))) < 0) {
                            if (errno != EINTR) {
                                failed = 1;
                                failure = errno;
                                break;
                            }
                            w = 0;
                        }
                } else if (!hostBytesAppend(&result->result, buffer, (size_t)got)) {
                    failed = 1;
                    failure = ENOMEM;
                }
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                closeDescriptor(&fromChild);
            }
        }
        if (errorsIndex >= 0 && watched[errorsIndex].revents) {
            const ssize_t got = read(errorsFromChild, buffer, chunkSize);
            if (got > 0)
                hostSplitLines(&splitter, buffer, (size_t)got, 0, nowMicroseconds() - start, keepLine, &sink);
            else if (got == 0 || (errno != EINTR && errno != EAGAIN))
                closeDescriptor(&errorsFromChild);
        }
        if (sink.outOfMemory && !failed) {
            failed = 1;
            failure = ENOMEM;
        }
    }
    if (failed)
        endChild(child);
    closeDescriptor(&toChild);
    closeDescriptor(&fromChild);
    closeDescriptor(&errorsFromChild);
    free(buffer);
    free(chunk);

    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR)
        ;
    result->wallMicroseconds = nowMicroseconds() - start;
    hostSplitLines(&splitter, "", 0, 1, result->wallMicroseconds, keepLine, &sink);
    hostLineSplitterFree(&splitter);
    sigaction(SIGPIPE, &previous, NULL);
    if (WIFEXITED(status))
        result->exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result->signal = WTERMSIG(status);
    result->cpuMicroseconds = (long long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
                              usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    result->peakRssKib = usage.ru_maxrss;
    if (failed || sink.outOfMemory) {
        result->startFailure = failureText("lost the conversation with", run->arguments[0], failure ? failure : ENOMEM);
        return 0;
    }
    return 1;
}

void hostRunResultFree(HostRunResult *result)
{
    free(result->startFailure);
    hostBytesFree(&result->result);
    for (size_t i = 0; i < result->lineCount; ++i)
        free(result->lines[i].text);
    free(result->lines);
    *result = (HostRunResult){.exitStatus = -1};
}

HostOutcome hostRunOutcome(const HostRunResult *result)
{
    HostOutcome outcome = {result->startFailure, result->signal, NULL, result->exitStatus, NULL, NULL, 0};
    for (size_t i = 0; i < result->lineCount; ++i) {
        const HostLine line = hostClassifyLine(result->lines[i].text);
        if (line.kind == hostLineError)
            outcome.errorMessage = line.message;
        else if (line.kind == hostLineCrash && !outcome.crashLine)
            outcome.crashLine = result->lines[i].text;
    }
    outcome.resultMissing = result->resultSize == 0;
    return outcome;
}
