// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one program the way a host runs the engine, through the host library's
// runner: the framed request from a file goes to its standard input through a
// pipe, its standard output is drained (and kept when asked), and every
// standard error line is stamped with the time it arrived. This process stays
// small on purpose: a child's peak resident size starts from the size of the
// process it was forked from.
//
// Usage: matchengine_bench_host REQUEST_FILE OUTPUT_FILE|- PROGRAM [ARGUMENTS...]
// Prints, one record per line:
//   exit STATUS              (or: signal NUMBER)
//   wall_us MICROSECONDS     from before the fork to the end of the child
//   cpu_us MICROSECONDS      the child's CPU time, user + system, all threads (wait4)
//   peak_rss_kib KIB         the child's peak resident size (wait4)
//   out_bytes BYTES          what it wrote on standard output
//   line MICROSECONDS TEXT   one per standard error line, time since the fork
#include "host/host.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "matchengine_bench_host: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s REQUEST_FILE OUTPUT_FILE|- PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const int requestFile = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (requestFile < 0)
        fail(argv[1]);
    // The output is written as it arrives, or dropped: never held here.
    const bool keep = std::strcmp(argv[2], "-") != 0;
    const int outputFile = keep ? open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                                : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (outputFile < 0)
        fail(keep ? argv[2] : "/dev/null");

    HostRun run{};
    run.arguments = argv + 3;
    run.requestDescriptor = requestFile;
    run.resultDescriptor = outputFile;
    run.cancelDescriptor = -1;
    HostRunResult result;
    if (!hostRunEngine(&run, &result) || result.startFailure) {
        std::fprintf(stderr, "matchengine_bench_host: %s\n", result.startFailure ? result.startFailure : "failed");
        return 2;
    }
    if (result.signal)
        std::printf("signal %d\n", result.signal);
    else
        std::printf("exit %d\n", result.exitStatus);
    std::printf("wall_us %lld\n", result.wallMicroseconds);
    std::printf("cpu_us %lld\n", result.cpuMicroseconds);
    std::printf("peak_rss_kib %ld\n", result.peakRssKib);
    std::printf("out_bytes %lld\n", result.resultSize);
    for (size_t i = 0; i < result.lineCount; ++i)
        std::printf("line %lld %s\n", result.lines[i].microseconds, result.lines[i].text);
    hostRunResultFree(&result);
    return 0;
}
