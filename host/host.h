// SPDX-License-Identifier: GPL-3.0-or-later
/* The host's side of the engine conversation, in one place for every program
 * that starts matchengine (colormatch, the GIMP plug-in, the benchmark): the
 * constants both sides agree on, the twelve positions and the framed request,
 * standard error read line by line, a failed run put into words, PAM for raw
 * pixels, the colour-space sameness probe (lcms2, in matchengine_host_lcms)
 * and a POSIX runner (not on Windows). The constants are all the engine takes
 * from here. C, so that the C plug-in and the C++ programs share it. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The conversation's constants */

/* Position 3 of the capability query. */
static const char engineCapabilityToken[] = "QX7PLM";

enum {
    engineArgumentCount = 12, /* program path and positions 1 to 11 */
    /* The points per axis of an exported cube: the Cube format's range, and
     * the size every grading tool reads. */
    engineLutSizeMin = 2,
    engineLutSizeMax = 256,
    engineLutSizeDefault = 33,
    /* Progress codes: the first the engine writes (0 %) and the last (100 %). */
    engineProgressFirst = 5,
    engineProgressLast = 100,
    /* The engine's sysexits-style exit statuses. */
    engineExitOk = 0,
    engineExitUsage = 64,
    engineExitDataError = 65,
    engineExitSoftware = 70,
    engineExitCannotCreate = 73,
    engineExitIoError = 74
};

/* ---- Request options
 *
 * Position 2 may carry request options that this engine's own hosts ask for,
 * in one word: the prefix, the version, then ";name=value" items, e.g.
 *   matchengine-options/1;gain-limit=2
 * A word without the prefix (a host's "1", a name, nothing) changes nothing.
 * A word with it is read strictly: another version, an unknown name, a name
 * twice or a bad value is refused (exit status 64) before the request is read.
 * Options of version 1:
 *   gain-limit=G   no colour direction is stretched by more than G (a number
 *                  of at least 1); without it, the full transfer
 *   depth=16       computed in floating point from the decoded samples, the
 *                  result in 16 bits where its format holds them (PNG, PAM,
 *                  TIFF); depth=8, the default, in 8 bits
 * With the capability query, a word in this form (any version, any items)
 * adds "requestOptions" to the answer: the version and the options known. */
static const char engineOptionsPrefix[] = "matchengine-options/";
enum { engineOptionsVersion = 1 };

/* ---- Bytes */

/* A growing byte buffer; free with hostBytesFree. */
typedef struct {
    unsigned char *data;
    size_t size;
    size_t capacity;
} HostBytes;

/* Appends; 0 when memory runs out. */
int hostBytesAppend(HostBytes *bytes, const void *data, size_t size);
void hostBytesFree(HostBytes *bytes);

/* ---- A request */

/* The settings of one matching run. */
typedef struct {
    const char *caller;       /* position 1, the host's own name (the engine does not read it) */
    const char *lutBase;      /* NULL: no LUT export; otherwise the base path of the LUT files */
    int lutSize;              /* read only with LUT export */
    int useOpenCL;
    int matchLightness;
    const char *resultFormat; /* "png", "jpg", "pam" or another extension word */
    double strength;
    const char *sizeFile;     /* NULL: no size file */
    double gainLimit;         /* 0: no limit; otherwise sent as a request option (at least 1) */
    int depth;                /* 16: computed in floating point, a 16-bit result where the format holds it
                               * (sent as a request option); 0 or 8: in 8 bits */
} HostRequest;

/* The engine's command line for a matching run: the program path, then
 * positions 1 to 11 (position 2 the request options when any are set, else
 * "1"; the result on standard output, paths in base64, numbers with a point
 * whatever the locale), NULL-terminated. Free with
 * hostFreeArguments; NULL when memory runs out. */
char **hostMatchArguments(const char *enginePath, const HostRequest *request);
/* The capability query's: the program path, `caller`, "1" and the token. */
char **hostCapabilityArguments(const char *enginePath, const char *caller);
void hostFreeArguments(char **arguments);

/* The request on standard input: a zero, the target's length, the target, the
 * reference's length, the reference (lengths signed 32-bit big-endian). 0 when
 * the two do not fit one request or memory runs out. */
int hostFrameRequest(const void *target, size_t targetSize, const void *reference, size_t referenceSize,
                     HostBytes *request);

/* ---- Standard error */

/* Receives one line without its line end (LF, or the Windows engine's CR LF),
 * NUL-terminated, with the microseconds since the run started (0 where no
 * one measures). */
typedef void (*HostLineFunction)(const char *line, long long microseconds, void *data);

/* Splits standard error into lines as it arrives; `atEnd` delivers an
 * unterminated last line. */
typedef struct {
    HostBytes pending;
} HostLineSplitter;
void hostSplitLines(HostLineSplitter *splitter, const void *bytes, size_t size, int atEnd, long long microseconds,
                    HostLineFunction onLine, void *data);
void hostLineSplitterFree(HostLineSplitter *splitter);

typedef enum {
    hostLineOther,       /* bytes:N, DONE and other diagnostics */
    hostLineProgress,    /* three digits: `code` */
    hostLineError,       /* "ERROR MESSAGE": `message` points at MESSAGE */
    hostLineCrash,       /* "CRASH (67+) (K) MESSAGE": the colour transfer failed, the target came back */
    hostLineWorkingSize  /* "current_image_mat_rgba:WxH": `width` and `height` */
} HostLineKind;

typedef struct {
    HostLineKind kind;
    int code;
    const char *message;
    int width;
    int height;
} HostLine;

HostLine hostClassifyLine(const char *line);

/* ---- A failed run in words */

/* How one engine run ended, as far as the words need it. */
typedef struct {
    const char *startFailure; /* not NULL: it never ran, and why */
    int signal;               /* not 0: ended by this signal */
    const char *crash;        /* not NULL: what else ended it abnormally ("status 0xC0000005") */
    int exitStatus;
    const char *errorMessage; /* the last ERROR line's message, or NULL */
    const char *crashLine;    /* the first CRASH line, or NULL */
    int resultMissing;        /* it ended well but gave no result */
} HostOutcome;

/* What went wrong, or NULL when the run did its work ("the engine failed with
 * exit status 65: ERROR ..."); `unmatched` names what came back unmatched
 * after a CRASH line ("image", "layer"). Free with free(). */
char *hostFailureText(const HostOutcome *outcome, const char *unmatched);

/* ---- PAM, raw pixels both ways */

/* Netpbm's uncompressed format as the engine reads and writes it: P7 and the
 * WIDTH, HEIGHT, DEPTH, MAXVAL and TUPLTYPE lines, ENDHDR, then rows of R, G,
 * B[, A] (or grey[, alpha]) samples, 16-bit ones big-endian. */

/* Writes the header for 1 to 4 channels of 8 or 16 bits into `header` and
 * returns its length (at most hostPamHeaderCapacity - 1), or 0. */
enum { hostPamHeaderCapacity = 128 };
size_t hostPamHeader(char *header, int width, int height, int channels, int bitDepth);

typedef struct {
    int width;
    int height;
    int depth;         /* channels */
    int maxval;
    size_t headerSize; /* where the samples start */
} HostPam;

/* Reads a PAM header; 1 when it is whole and the samples after it are exactly
 * as many as it declares, 0 otherwise. */
int hostParsePam(const void *bytes, size_t size, HostPam *pam);

/* ---- Colour spaces (matchengine_host_lcms, which links lcms2) */

/* Whether two open lcms2 profiles, both RGB, (cmsHPROFILE) describe one space within
 * a level of 8 bits, an embedded sRGB profile and sRGB itself say, so that
 * converting would only cost time and rounding. */
int hostSameColourSpace(void *profile, void *otherProfile);

/* ---- Running the engine (POSIX) */
#ifndef _WIN32

typedef struct {
    const char *const *arguments; /* the program path first, NULL-terminated */
    const void *request;          /* written to standard input, then closed */
    size_t requestSize;
    int requestDescriptor;  /* >= 0: standard input copied from this descriptor instead */
    int resultDescriptor;   /* >= 0: standard output written here instead of kept */
    int cancelDescriptor;   /* >= 0: readable or closed at the other end, it ends the engine */
    int endWithCaller;      /* the engine ends when this process does, however it ends (Linux) */
    HostLineFunction onLine; /* each standard-error line as it arrives, or NULL */
    void *lineData;
} HostRun;

typedef struct {
    char *text;
    long long microseconds; /* since the start */
} HostRunLine;

typedef struct {
    char *startFailure;   /* not NULL: the program never ran (why) */
    int exitStatus;       /* -1 unless it exited */
    int signal;           /* not 0: ended by this signal */
    int cancelled;        /* ended because the cancel descriptor said so */
    HostBytes result;     /* standard output, unless it went to resultDescriptor */
    long long resultSize; /* bytes on standard output */
    HostRunLine *lines;   /* standard error, line by line */
    size_t lineCount;
    long long wallMicroseconds; /* from before the start to the end */
    long long cpuMicroseconds;  /* user + system, all threads */
    long peakRssKib;
} HostRunResult;

/* Starts the program, writes the request while it reads standard output and
 * standard error (one poll loop, so any size passes), waits for it and fills
 * `result`. Writing to an engine that stopped reading fails quietly instead
 * of raising SIGPIPE. 0 only when the runner itself failed (out of memory,
 * no pipes): `startFailure` says why. Free with hostRunResultFree. */
int hostRunEngine(const HostRun *run, HostRunResult *result);
void hostRunResultFree(HostRunResult *result);
/* The outcome for hostFailureText (valid while `result` lives). */
HostOutcome hostRunOutcome(const HostRunResult *result);

#endif

#ifdef __cplusplus
}
#endif
