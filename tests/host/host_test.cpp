// SPDX-License-Identifier: GPL-3.0-or-later
// The host library against the engine: requests it builds read by the
// engine's own parser, standard-error lines and failed runs in words, and
// (POSIX) its runner with the real engine binary.
#include "engine/engine.h"
#include "host/host.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace {

std::string textOf(char *text)
{
    const std::string copy = text ? text : "(none)";
    std::free(text);
    return copy;
}

} // namespace

TEST(HostLibrary, RequestsItBuildsAreWhatTheEngineReads)
{
    const struct {
        const char *lutBase; // NULL: no LUT export
        int lutSize, useOpenCL, matchLightness;
        const char *format;
        double strength;
        const char *sizeFile;
        double gainLimit;
        int depth;
        QByteArray target, reference;
        const char *optionsWord; // position 2
    } cases[] = {
        {nullptr, engineLutSizeDefault, 1, 0, "pam", 1.0, nullptr, 0, 0, "target", "reference", "1"},
        {"/tmp/Bücher/look", 65, 0, 1, "jpg", 0.25, "/tmp/size.txt", 2.5, 8, QByteArray(70000, 'x'), "r",
         "matchengine-options/1;gain-limit=2.5"},
        {"/a", engineLutSizeMin, 1, 1, "png", -0.5, "/tmp/ß b", 0, 16, "", QByteArray(3, '\0'),
         "matchengine-options/1;depth=16"},
        {"/ab", engineLutSizeMax, 0, 0, "pam", 1e-5, "/abc", 1, 16, "t", "", "matchengine-options/1;depth=16;gain-limit=1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        const HostRequest request{"test", c.lutBase, c.lutSize, c.useOpenCL, c.matchLightness, c.format, c.strength,
                                  c.sizeFile, c.gainLimit, c.depth};
        char **built = hostMatchArguments("matchengine", &request);
        QStringList arguments;
        for (char **argument = built; argument && *argument; ++argument)
            arguments << QString::fromUtf8(*argument);
        hostFreeArguments(built);
        ASSERT_EQ(arguments.size(), requiredArgumentCount);
        EXPECT_EQ(arguments[2], c.optionsWord);
        EngineSettings settings;
        const RunValues run = parseCommandLine(arguments, settings);
        EXPECT_EQ(settings.gainLimit, c.gainLimit);
        EXPECT_EQ(settings.depth, c.depth == 16 ? 16 : 8);
        EXPECT_EQ(settings.lutExport, c.lutBase != nullptr);
        EXPECT_EQ(settings.lutBasePath, c.lutBase ? QString::fromUtf8(c.lutBase) : QString());
        EXPECT_EQ(settings.lutSize, c.lutBase ? c.lutSize : 16);
        EXPECT_EQ(settings.useOpenCL, c.useOpenCL != 0);
        EXPECT_EQ(settings.matchLightness, c.matchLightness != 0);
        EXPECT_EQ(run.resultFormat, QString::fromUtf8(c.format));
        EXPECT_FLOAT_EQ(run.strength, float(c.strength));
        EXPECT_TRUE(run.resultFilePath.isEmpty());
        EXPECT_EQ(c.sizeFile ? decodePathArgument(run.sizeFilePath) : run.sizeFilePath,
                  QString::fromUtf8(c.sizeFile ? c.sizeFile : "none"));

        HostBytes framed{};
        ASSERT_TRUE(hostFrameRequest(c.target.constData(), size_t(c.target.size()), c.reference.constData(),
                                     size_t(c.reference.size()), &framed));
        const QByteArray frame(reinterpret_cast<const char *>(framed.data), int(framed.size));
        hostBytesFree(&framed);
        EXPECT_EQ(frame, testing_support::frameRequest(c.target, c.reference));
    }
    // Two images that together pass what one request's lengths can say.
    HostBytes framed{};
    EXPECT_FALSE(hostFrameRequest("", size_t(1) << 30, "", size_t(1) << 30, &framed));
    hostBytesFree(&framed);
}

TEST(HostLibrary, StandardErrorLinesAndFailuresInWords)
{
    std::vector<std::string> lines;
    HostLineSplitter splitter{};
    const auto keep = [](const char *line, long long, void *data) {
        static_cast<std::vector<std::string> *>(data)->push_back(line);
    };
    for (const char *piece :
         {"005\r\n0", "06\n", "ERROR the tar", "get is bad\r\n\ncurrent_image_mat_rgba:4", "51x300"})
        hostSplitLines(&splitter, piece, std::strlen(piece), 0, 0, keep, &lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"005", "006", "ERROR the target is bad", ""}));
    hostSplitLines(&splitter, "", 0, 1, 0, keep, &lines);
    hostLineSplitterFree(&splitter);
    EXPECT_EQ(lines.back(), "current_image_mat_rgba:451x300");

    const struct {
        const char *line;
        HostLineKind kind;
        int code;
        const char *message;
        int width, height;
    } kinds[] = {
        {"0050", hostLineOther, -1, nullptr, 0, 0},
        {"ERROR target image is empty (0 bytes)", hostLineError, -1, "target image is empty (0 bytes)", 0, 0},
        {"ERROR", hostLineOther, -1, nullptr, 0, 0},
        {"current_image_mat_rgba:451x300", hostLineWorkingSize, -1, nullptr, 451, 300},
        {"current_image_mat_rgba:451x", hostLineOther, -1, nullptr, 0, 0},
        {"current_image_mat_rgba:99999999999x2", hostLineOther, -1, nullptr, 0, 0},
    };
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.line);
        const HostLine line = hostClassifyLine(k.line);
        EXPECT_EQ(line.kind, k.kind);
        EXPECT_EQ(line.code, k.code);
        EXPECT_STREQ(line.message, k.message);
        EXPECT_EQ(line.width, k.width);
        EXPECT_EQ(line.height, k.height);
    }

    const char *crashLine = "CRASH (67+) (3) UNKNOWN";
    const struct {
        HostOutcome outcome;
        const char *text;
    } outcomes[] = {
        {{nullptr, 11, nullptr, -1, nullptr, nullptr, 1}, "the engine crashed (signal 11, segmentation fault)"},
        {{nullptr, 31, nullptr, -1, nullptr, nullptr, 1}, "the engine crashed (signal 31)"},
        {{nullptr, 0, "status 0xC0000005", -1, nullptr, nullptr, 1}, "the engine crashed (status 0xC0000005)"},
        {{nullptr, 0, nullptr, 65, "target image is empty", nullptr, 1},
         "the engine failed with exit status 65: ERROR target image is empty"},
        {{nullptr, 0, nullptr, 74, nullptr, nullptr, 1}, "the engine failed with exit status 74"},
        {{nullptr, 0, nullptr, 0, nullptr, crashLine, 0},
         "the colour transfer failed inside the engine (CRASH (67+) (3) UNKNOWN), which gave back the layer "
         "unmatched"},
        {{nullptr, 0, nullptr, 0, nullptr, nullptr, 1}, "the engine ended without a result"},
    };
    for (const auto &o : outcomes)
        EXPECT_EQ(textOf(hostFailureText(&o.outcome, "layer")), o.text);
}

// The headers' text is PamWriter's to check (the engine reads it back), the
// fields read HostRunner's; here, a file is read only with every row whole.
TEST(HostLibrary, PamHeadersWrittenAndRead)
{
    for (const int bitDepth : {8, 16}) {
        char header[hostPamHeaderCapacity];
        const std::string text(header, hostPamHeader(header, 3, 2, 4, bitDepth));
        for (const long extra : {0L, -1L, 1L}) {
            const std::string file = text + std::string(3 * 2 * 4 * size_t(bitDepth / 8) + extra, '\x7f');
            HostPam pam;
            EXPECT_EQ(hostParsePam(file.data(), file.size(), &pam), extra == 0) << bitDepth << " " << extra;
        }
    }
    HostPam pam;
    for (const char *bad : {"P6\n1 1\n255\nabc", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n", "P7\nENDHDR\nx"})
        EXPECT_FALSE(hostParsePam(bad, std::strlen(bad), &pam)) << bad;
}

#ifndef _WIN32

TEST(HostRunner, RunsTheEngineCancelsItAndSaysWhenItCannotStart)
{
    // A matched image in PAM, 451 x 300 x 3 bytes: many pipe buffers.
    const QByteArray target = testing_support::readFileBytes(testing_support::samplePath("chelsea.png"));
    const QByteArray reference = testing_support::readFileBytes(testing_support::samplePath("rocket.jpg"));
    HostBytes framed{};
    ASSERT_TRUE(hostFrameRequest(target.constData(), size_t(target.size()), reference.constData(),
                                 size_t(reference.size()), &framed));
    const HostRequest request{"test", nullptr, engineLutSizeDefault, 0, 0, "pam", 1.0, nullptr};
    char **arguments = hostMatchArguments(MATCHENGINE_BINARY, &request);
    std::vector<int> codes;
    HostRun run{};
    run.arguments = arguments;
    run.request = framed.data;
    run.requestSize = framed.size;
    run.requestDescriptor = run.resultDescriptor = run.cancelDescriptor = -1;
    run.onLine = [](const char *line, long long, void *data) {
        const HostLine kind = hostClassifyLine(line);
        if (kind.kind == hostLineProgress)
            static_cast<std::vector<int> *>(data)->push_back(kind.code);
    };
    run.lineData = &codes;
    HostRunResult result;
    ASSERT_TRUE(hostRunEngine(&run, &result));
    hostBytesFree(&framed);
    EXPECT_EQ(result.startFailure, nullptr);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.signal, 0);
    HostPam pam;
    ASSERT_TRUE(hostParsePam(result.result.data, result.result.size, &pam));
    EXPECT_EQ(pam.width * pam.height * pam.depth, 451 * 300 * 3);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), engineProgressFirst);
    EXPECT_EQ(codes.back(), engineProgressLast);
    EXPECT_GT(result.lineCount, codes.size());
    EXPECT_GT(result.wallMicroseconds, 0);
    EXPECT_GT(result.peakRssKib, 0);
    const HostOutcome outcome = hostRunOutcome(&result);
    EXPECT_EQ(textOf(hostFailureText(&outcome, "image")), "(none)");
    hostRunResultFree(&result);

    // Cancelled at its first line, while it still waits for a request that
    // never ends.
    int never[2], cancel[2];
    ASSERT_EQ(pipe(never), 0);
    ASSERT_EQ(pipe(cancel), 0);
    run.request = nullptr;
    run.requestSize = 0;
    run.requestDescriptor = never[0];
    run.cancelDescriptor = cancel[0];
    run.onLine = [](const char *, long long, void *data) {
        if (write(*static_cast<int *>(data), "x", 1) != 1)
            std::abort();
    };
    run.lineData = &cancel[1];
    ASSERT_TRUE(hostRunEngine(&run, &result));
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.signal, SIGTERM);
    // Before the request it writes 005 and 006 only (006 may already be on its way).
    ASSERT_GE(result.lineCount, 1u);
    ASSERT_LE(result.lineCount, 2u);
    EXPECT_STREQ(result.lines[0].text, "005");
    hostRunResultFree(&result);
    for (const int descriptor : {never[0], never[1], cancel[0], cancel[1]})
        close(descriptor);
    hostFreeArguments(arguments);

    const char *const missing[] = {"/nonexistent/matchengine", "x", nullptr};
    run = HostRun{};
    run.arguments = missing;
    run.requestDescriptor = run.resultDescriptor = run.cancelDescriptor = -1;
    ASSERT_TRUE(hostRunEngine(&run, &result));
    const HostOutcome failed = hostRunOutcome(&result);
    EXPECT_EQ(textOf(hostFailureText(&failed, "image")),
              "cannot start the engine /nonexistent/matchengine: No such file or directory");
    hostRunResultFree(&result);
}

#endif
