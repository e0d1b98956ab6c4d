// Runs one program the way a host runs the engine: the framed request from a
// file goes to its standard input through a pipe, its standard output is
// drained (and kept when asked), and every standard error line is stamped with
// the time it arrived. This process stays small on purpose: a child's peak
// resident size starts from the size of the process it was forked from.
//
// Usage: matchengine_bench_host REQUEST_FILE OUTPUT_FILE|- PROGRAM [ARGUMENTS...]
// Prints, one record per line:
//   exit STATUS              (or: signal NUMBER)
//   wall_us MICROSECONDS     from before the fork to the end of the child
//   cpu_us MICROSECONDS      the child's CPU time, user + system, all threads (wait4)
//   peak_rss_kib KIB         the child's peak resident size (wait4)
//   out_bytes BYTES          what it wrote on standard output
//   line MICROSECONDS TEXT   one per standard error line, time since the fork
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long long nowMicroseconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "matchengine_bench_host: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

void setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail("fcntl");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s REQUEST_FILE OUTPUT_FILE|- PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    const int requestFile = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (requestFile < 0)
        fail(argv[1]);
    int outputFile = -1;
    if (std::strcmp(argv[2], "-") != 0) {
        outputFile = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outputFile < 0)
            fail(argv[2]);
    }

    int input[2], output[2], errors[2];
    if (pipe2(input, O_CLOEXEC) < 0 || pipe2(output, O_CLOEXEC) < 0 || pipe2(errors, O_CLOEXEC) < 0)
        fail("pipe");

    const long long start = nowMicroseconds();
    const pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(errors[1], 2);
        execv(argv[3], argv + 3);
        std::fprintf(stderr, "cannot start %s: %s\n", argv[3], std::strerror(errno));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    close(errors[1]);
    setNonBlocking(input[1]);
    setNonBlocking(output[0]);
    setNonBlocking(errors[0]);

    std::vector<char> chunk(1 << 18);
    size_t chunkFill = 0, chunkSent = 0;
    bool requestDone = false;
    int toChild = input[1];
    long long outBytes = 0;
    std::string pendingLine;
    std::vector<std::pair<long long, std::string>> lines;
    std::vector<char> buffer(1 << 18);
    bool outputOpen = true, errorsOpen = true;

    while (outputOpen || errorsOpen) {
        pollfd fds[3];
        nfds_t count = 0;
        int outputIndex = -1, errorsIndex = -1, inputIndex = -1;
        if (outputOpen) {
            outputIndex = static_cast<int>(count);
            fds[count++] = {output[0], POLLIN, 0};
        }
        if (errorsOpen) {
            errorsIndex = static_cast<int>(count);
            fds[count++] = {errors[0], POLLIN, 0};
        }
        if (toChild >= 0) {
            inputIndex = static_cast<int>(count);
            fds[count++] = {toChild, POLLOUT, 0};
        }
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("poll");
        }
        if (inputIndex >= 0 && fds[inputIndex].revents) {
            if (chunkSent == chunkFill && !requestDone) {
                const ssize_t got = read(requestFile, chunk.data(), chunk.size());
                if (got < 0)
                    fail("reading the request");
                chunkFill = static_cast<size_t>(got);
                chunkSent = 0;
                requestDone = got == 0;
            }
            if (chunkSent < chunkFill) {
                const ssize_t sent = write(toChild, chunk.data() + chunkSent, chunkFill - chunkSent);
                if (sent > 0)
                    chunkSent += static_cast<size_t>(sent);
                else if (sent < 0 && errno != EAGAIN)
                    requestDone = true; // the child stopped reading
            }
            if (requestDone || (fds[inputIndex].revents & (POLLERR | POLLHUP))) {
                close(toChild);
                toChild = -1;
            }
        }
        if (outputIndex >= 0 && fds[outputIndex].revents) {
            const ssize_t got = read(output[0], buffer.data(), buffer.size());
            if (got > 0) {
                outBytes += got;
                if (outputFile >= 0 && write(outputFile, buffer.data(), static_cast<size_t>(got)) != got)
                    fail("writing the output file");
            } else if (got == 0 || errno != EAGAIN) {
                outputOpen = false;
            }
        }
        if (errorsIndex >= 0 && fds[errorsIndex].revents) {
            const ssize_t got = read(errors[0], buffer.data(), buffer.size());
            const long long at = nowMicroseconds() - start;
            if (got > 0) {
                for (ssize_t i = 0; i < got; ++i) {
                    if (buffer[static_cast<size_t>(i)] == '\n') {
                        lines.emplace_back(at, pendingLine);
                        pendingLine.clear();
                    } else {
                        pendingLine += buffer[static_cast<size_t>(i)];
                    }
                }
            } else if (got == 0 || errno != EAGAIN) {
                errorsOpen = false;
            }
        }
    }
    if (toChild >= 0)
        close(toChild);

    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0)
        if (errno != EINTR)
            fail("wait4");
    const long long wall = nowMicroseconds() - start;
    if (!pendingLine.empty())
        lines.emplace_back(wall, pendingLine);

    if (WIFEXITED(status))
        std::printf("exit %d\n", WEXITSTATUS(status));
    else
        std::printf("signal %d\n", WTERMSIG(status));
    std::printf("wall_us %lld\n", wall);
    const auto microseconds = [](const timeval &t) { return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec; };
    std::printf("cpu_us %lld\n", microseconds(usage.ru_utime) + microseconds(usage.ru_stime));
    std::printf("peak_rss_kib %ld\n", usage.ru_maxrss);
    std::printf("out_bytes %lld\n", outBytes);
    for (const auto &line : lines)
        std::printf("line %lld %s\n", line.first, line.second.c_str());
    return 0;
}
