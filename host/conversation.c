/* SPDX-License-Identifier: GPL-3.0-or-later */
/* The conversation's words and bytes: the positions, the frame, standard
 * error's lines and a failed run in words. */
#include "host/host.h"

#include <limits.h>
#include <locale.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int hostBytesAppend(HostBytes *bytes, const void *data, size_t size)
{
    if (size > bytes->capacity - bytes->size) {
        size_t capacity = bytes->capacity ? bytes->capacity : 4096;
        while (capacity - bytes->size < size) {
            if (capacity > SIZE_MAX / 2)
                return 0;
            capacity *= 2;
        }
        unsigned char *grown = realloc(bytes->data, capacity);
        if (!grown)
            return 0;
        bytes->data = grown;
        bytes->capacity = capacity;
    }
    if (size)
        memcpy(bytes->data + bytes->size, data, size);
    bytes->size += size;
    return 1;
}

void hostBytesFree(HostBytes *bytes)
{
    free(bytes->data);
    *bytes = (HostBytes){NULL, 0, 0};
}

/* ---- Positions */

static char *copyOf(const char *text)
{
    const size_t size = strlen(text) + 1;
    char *copy = malloc(size);
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

/* The engine reads paths in base64, so that any bytes pass a command line. */
static char *base64(const char *text)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char *in = (const unsigned char *)text;
    const size_t size = strlen(text);
    char *out = malloc((size + 2) / 3 * 4 + 1);
    if (!out)
        return NULL;
    char *next = out;
    for (size_t i = 0; i < size; i += 3) {
        const unsigned long v = (unsigned long)in[i] << 16 | (i + 1 < size ? (unsigned long)in[i + 1] << 8 : 0) |
                                (i + 2 < size ? in[i + 2] : 0);
        *next++ = digits[v >> 18 & 63];
        *next++ = digits[v >> 12 & 63];
        *next++ = i + 1 < size ? digits[v >> 6 & 63] : '=';
        *next++ = i + 2 < size ? digits[v & 63] : '=';
    }
    *next = '\0';
    return out;
}

/* "%.9g" with a point: a host's locale may write the decimal point as a comma. */
static char *decimalText(double strength)
{
    char text[64];
    snprintf(text, sizeof text, "%.9g", strength);
    const char *point = localeconv()->decimal_point;
    char *found = point && strcmp(point, ".") != 0 ? strstr(text, point) : NULL;
    if (found) {
        const size_t length = strlen(point);
        *found = '.';
        memmove(found + 1, found + length, strlen(found + length) + 1);
    }
    return copyOf(text);
}

static char *numberText(int number)
{
    char text[16];
    snprintf(text, sizeof text, "%d", number);
    return copyOf(text);
}

void hostFreeArguments(char **arguments)
{
    if (!arguments)
        return;
    for (char **argument = arguments; *argument; ++argument)
        free(*argument);
    free(arguments);
}

/* Takes the words (NULL among them: out of memory) into a NULL-terminated list. */
static char **argumentList(char **words, size_t count)
{
    char **list = calloc(count + 1, sizeof *list);
    int whole = list != NULL;
    for (size_t i = 0; i < count; ++i) {
        whole = whole && words[i];
        if (list)
            list[i] = words[i];
        else
            free(words[i]);
    }
    if (!whole) {
        hostFreeArguments(list);
        return NULL;
    }
    return list;
}

static char *format(const char *pattern, ...);

/* The request options word, or "1" when no option is set. */
static char *optionsWord(const HostRequest *request)
{
    if (request->gainLimit <= 0 && request->depth != 16)
        return copyOf("1");
    char *limit = request->gainLimit > 0 ? decimalText(request->gainLimit) : copyOf("");
    char *word = limit ? format("%s%d%s%s%s", engineOptionsPrefix, engineOptionsVersion,
                                request->depth == 16 ? ";depth=16" : "", request->gainLimit > 0 ? ";gain-limit=" : "",
                                limit)
                       : NULL;
    free(limit);
    return word;
}

char **hostMatchArguments(const char *enginePath, const HostRequest *request)
{
    char *words[engineArgumentCount] = {
        copyOf(enginePath),
        copyOf(request->caller),
        optionsWord(request),
        copyOf("match"),
        copyOf("none"),
        request->lutBase ? base64(request->lutBase) : copyOf("none"),
        copyOf(request->useOpenCL ? "on" : "off"),
        copyOf(request->matchLightness ? "on" : "off"),
        numberText(request->lutSize),
        copyOf(request->resultFormat),
        decimalText(request->strength),
        request->sizeFile ? base64(request->sizeFile) : copyOf("none"),
    };
    return argumentList(words, engineArgumentCount);
}

char **hostCapabilityArguments(const char *enginePath, const char *caller)
{
    char *words[] = {copyOf(enginePath), copyOf(caller), copyOf("1"), copyOf(engineCapabilityToken)};
    return argumentList(words, sizeof words / sizeof *words);
}

/* ---- The frame */

static int appendLength(HostBytes *bytes, size_t length)
{
    const unsigned char word[4] = {(unsigned char)(length >> 24), (unsigned char)(length >> 16),
                                   (unsigned char)(length >> 8), (unsigned char)length};
    return hostBytesAppend(bytes, word, 4);
}

int hostFrameRequest(const void *target, size_t targetSize, const void *reference, size_t referenceSize,
                     HostBytes *request)
{
    if (targetSize > INT32_MAX || referenceSize > INT32_MAX - targetSize ||
        targetSize + referenceSize > INT32_MAX - 12)
        return 0;
    request->size = 0;
    return appendLength(request, 0) && appendLength(request, targetSize) &&
           hostBytesAppend(request, target, targetSize) && appendLength(request, referenceSize) &&
           hostBytesAppend(request, reference, referenceSize);
}

/* ---- Standard error */

static void deliver(unsigned char *line, size_t length, long long microseconds, HostLineFunction onLine, void *data)
{
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    line[length] = '\0';
    onLine((const char *)line, microseconds, data);
}

void hostSplitLines(HostLineSplitter *splitter, const void *bytes, size_t size, int atEnd, long long microseconds,
                    HostLineFunction onLine, void *data)
{
    HostBytes *pending = &splitter->pending;
    /* One byte more for the NUL that ends the last line. */
    if (!hostBytesAppend(pending, bytes, size) || !hostBytesAppend(pending, "", 1))
        return;
    --pending->size;
    size_t start = 0;
    for (size_t i = 0; i < pending->size; ++i)
        if (pending->data[i] == '\n') {
            deliver(pending->data + start, i - start, microseconds, onLine, data);
            start = i + 1;
        }
    if (atEnd && start < pending->size) {
        deliver(pending->data + start, pending->size - start, microseconds, onLine, data);
        start = pending->size;
    }
    memmove(pending->data, pending->data + start, pending->size - start);
    pending->size -= start;
}

void hostLineSplitterFree(HostLineSplitter *splitter)
{
    hostBytesFree(&splitter->pending);
}

static int isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/* A whole number of digits only, up to INT_MAX; -1 otherwise. `end` receives
 * what follows. Long long: long is 32 bits on Windows and would wrap before
 * the check. */
static long long readNumber(const char *text, const char **end)
{
    long long value = 0;
    const char *c = text;
    for (; isDigit(*c); ++c) {
        value = value * 10 + (*c - '0');
        if (value > INT_MAX)
            return -1;
    }
    *end = c;
    return c == text ? -1 : value;
}

HostLine hostClassifyLine(const char *line)
{
    HostLine result = {hostLineOther, -1, NULL, 0, 0};
    static const char sizePrefix[] = "current_image_mat_rgba:";
    if (isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) && line[3] == '\0') {
        result.kind = hostLineProgress;
        result.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    } else if (strncmp(line, "ERROR ", 6) == 0) {
        result.kind = hostLineError;
        result.message = line + 6;
    } else if (strncmp(line, "CRASH ", 6) == 0) {
        result.kind = hostLineCrash;
    } else if (strncmp(line, sizePrefix, sizeof sizePrefix - 1) == 0) {
        const char *x, *end;
        const long long width = readNumber(line + sizeof sizePrefix - 1, &x);
        const long long height = width >= 0 && *x == 'x' ? readNumber(x + 1, &end) : -1;
        if (height >= 0 && *end == '\0') {
            result.kind = hostLineWorkingSize;
            result.width = (int)width;
            result.height = (int)height;
        }
    }
    return result;
}

/* ---- A failed run in words */

static char *format(const char *pattern, ...)
{
    va_list arguments;
    va_start(arguments, pattern);
    const int size = vsnprintf(NULL, 0, pattern, arguments);
    va_end(arguments);
    char *text = size >= 0 ? malloc((size_t)size + 1) : NULL;
    if (text) {
        va_start(arguments, pattern);
        vsnprintf(text, (size_t)size + 1, pattern, arguments);
        va_end(arguments);
    }
    return text;
}

static const char *signalName(int signal)
{
    switch (signal) {
    case 4: return "illegal instruction";
    case 6: return "aborted";
    case 7: return "bus error";
    case 8: return "arithmetic error";
    case 9: return "killed";
    case 11: return "segmentation fault";
    case 15: return "terminated";
    default: return NULL;
    }
}

char *hostFailureText(const HostOutcome *outcome, const char *unmatched)
{
    if (outcome->startFailure)
        return copyOf(outcome->startFailure);
    if (outcome->crash)
        return format("the engine crashed (%s)", outcome->crash);
    if (outcome->signal) {
        const char *name = signalName(outcome->signal);
        return name ? format("the engine crashed (signal %d, %s)", outcome->signal, name)
                    : format("the engine crashed (signal %d)", outcome->signal);
    }
    if (outcome->exitStatus != 0)
        return outcome->errorMessage
                   ? format("the engine failed with exit status %d: ERROR %s", outcome->exitStatus,
                            outcome->errorMessage)
                   : format("the engine failed with exit status %d", outcome->exitStatus);
    if (outcome->crashLine)
        return format("the colour transfer failed inside the engine (%s), which gave back the %s unmatched",
                      outcome->crashLine, unmatched);
    if (outcome->resultMissing)
        return copyOf("the engine ended without a result");
    return NULL;
}
