/* The host's side of the engine conversation: finding matchengine, its twelve
 * positions, the framed request on its standard input, its progress codes on
 * standard error and its result on standard output, all three pipes served by
 * one poll loop (a result larger than a pipe buffer arrives before "100"). */
#include "gimp/match_colours.h"

#include <glib-unix.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

/* ---- Finding the engine */

gchar *findEngine(const gchar *pluginPath, GError **error)
{
    gchar *absolute = g_canonicalize_filename(pluginPath, NULL);
    gchar *folder = g_path_get_dirname(absolute);
    const gchar *variable = g_getenv("MATCHENGINE");
    gchar *candidates[] = {
        g_build_filename(folder, "matchengine", NULL),
        /* The prefix the plug-in was installed into, wherever that prefix now is. */
        g_canonicalize_filename(MATCH_COLOURS_LIBEXEC_FROM_PLUGIN "/matchengine", folder),
        g_build_filename(MATCH_COLOURS_INSTALL_LIBEXEC, "matchengine", NULL),
        g_strdup(variable && *variable ? variable : NULL),
    };
    gchar *found = NULL;
    for (gsize i = 0; i < G_N_ELEMENTS(candidates); ++i)
        if (!found && candidates[i] && g_file_test(candidates[i], G_FILE_TEST_IS_EXECUTABLE) &&
            !g_file_test(candidates[i], G_FILE_TEST_IS_DIR))
            found = g_strdup(candidates[i]);
    if (!found)
        g_set_error(error, MATCH_COLOURS_ERROR, 0,
                    "cannot find the engine: there is no matchengine beside the plug-in (%s), in %s or in %s, and "
                    "%s",
                    candidates[0], candidates[1], candidates[2],
                    candidates[3] ? "$MATCHENGINE names no program" : "$MATCHENGINE is not set");
    for (gsize i = 0; i < G_N_ELEMENTS(candidates); ++i)
        g_free(candidates[i]);
    g_free(folder);
    g_free(absolute);
    return found;
}

/* ---- Running it */

static gchar *base64Path(const gchar *path)
{
    return g_base64_encode((const guchar *)path, strlen(path));
}

static void appendBigEndian(GByteArray *bytes, gsize value)
{
    const guint32 word = GUINT32_TO_BE((guint32)value);
    g_byte_array_append(bytes, (const guint8 *)&word, 4);
}

static GByteArray *framedRequest(GBytes *target, GBytes *reference, GError **error)
{
    gsize targetSize = 0, referenceSize = 0;
    const guint8 *targetBytes = g_bytes_get_data(target, &targetSize);
    const guint8 *referenceBytes = g_bytes_get_data(reference, &referenceSize);
    if (targetSize > G_MAXINT32 || referenceSize > G_MAXINT32 || targetSize + referenceSize > G_MAXINT32 - 12) {
        g_set_error(error, MATCH_COLOURS_ERROR, 0,
                    "the layer and the reference need %" G_GSIZE_FORMAT " MiB, more than the 2 GiB a request to the "
                    "engine can hold",
                    (targetSize + referenceSize) >> 20);
        return NULL;
    }
    GByteArray *request = g_byte_array_sized_new((guint)(12 + targetSize + referenceSize));
    appendBigEndian(request, 0);
    appendBigEndian(request, targetSize);
    g_byte_array_append(request, targetBytes, (guint)targetSize);
    appendBigEndian(request, referenceSize);
    g_byte_array_append(request, referenceBytes, (guint)referenceSize);
    return request;
}

typedef struct {
    pid_t parent;
} ChildSetup;

/* In the engine's process, before it starts: a default SIGPIPE (the plug-in
 * ignores it), and an end when the plug-in ends. GIMP ends a cancelled
 * plug-in with SIGKILL, which the plug-in cannot pass on itself. */
static void prepareChild(gpointer data)
{
    const ChildSetup *setup = data;
    signal(SIGPIPE, SIG_DFL);
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != setup->parent)
        _exit(1);
#else
    (void)setup;
#endif
}

typedef struct {
    GString *pending;   /* the start of a line not yet ended */
    gchar *errorLine;   /* the last "ERROR ..." line */
    gchar *crashLine;   /* a "CRASH (67+) ..." line */
    ProgressFunction progress;
    gpointer data;
} ErrorChannel;

static void readLine(ErrorChannel *channel, const gchar *line)
{
    gsize length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n'))
        --length;
    if (length == 3 && g_ascii_isdigit(line[0]) && g_ascii_isdigit(line[1]) && g_ascii_isdigit(line[2])) {
        if (channel->progress)
            channel->progress((line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0'), channel->data);
    } else if (g_str_has_prefix(line, "ERROR ")) {
        g_free(channel->errorLine);
        channel->errorLine = g_strndup(line + 6, length - 6);
    } else if (g_str_has_prefix(line, "CRASH ") && !channel->crashLine) {
        channel->crashLine = g_strndup(line, length);
    }
}

static void readLines(ErrorChannel *channel, const gchar *bytes, gsize size, gboolean atEnd)
{
    g_string_append_len(channel->pending, bytes, (gssize)size);
    gchar *end;
    while ((end = memchr(channel->pending->str, '\n', channel->pending->len))) {
        *end = '\0';
        readLine(channel, channel->pending->str);
        g_string_erase(channel->pending, 0, end - channel->pending->str + 1);
    }
    if (atEnd && channel->pending->len > 0) {
        readLine(channel, channel->pending->str);
        g_string_truncate(channel->pending, 0);
    }
}

/* Reads what the descriptor has into `into` (or the error channel); FALSE at
 * its end or on an error, after which it is closed. */
static gboolean drain(int *descriptor, GByteArray *into, ErrorChannel *channel)
{
    guint8 buffer[65536];
    for (;;) {
        const ssize_t got = read(*descriptor, buffer, sizeof buffer);
        if (got > 0) {
            if (into)
                g_byte_array_append(into, buffer, (guint)got);
            else
                readLines(channel, (const gchar *)buffer, (gsize)got, FALSE);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return TRUE;
        close(*descriptor);
        *descriptor = -1;
        return FALSE;
    }
}

static gboolean waitForEngine(GPid pid, int *status)
{
    while (waitpid(pid, status, 0) < 0)
        if (errno != EINTR)
            return FALSE;
    return TRUE;
}

static void describeFailure(int status, const ErrorChannel *channel, gsize resultSize, GError **error)
{
    if (WIFSIGNALED(status))
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine crashed (signal %d, %s)", WTERMSIG(status),
                    g_strsignal(WTERMSIG(status)));
    else if (WEXITSTATUS(status) != 0 && channel->errorLine)
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine failed with exit status %d: %s", WEXITSTATUS(status),
                    channel->errorLine);
    else if (WEXITSTATUS(status) != 0)
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "the engine failed with exit status %d", WEXITSTATUS(status));
    else if (channel->crashLine)
        g_set_error(error, MATCH_COLOURS_ERROR, 0,
                    "the colour transfer failed inside the engine, which gave back the layer unmatched: %s",
                    channel->crashLine);
    else if (resultSize == 0)
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, "the engine ended without a result");
}

GBytes *runEngine(const EngineRequest *request, ProgressFunction progress, gpointer data, GError **error)
{
    GByteArray *framed = framedRequest(request->target, request->reference, error);
    if (!framed)
        return NULL;
    /* The strength with a point, whatever the locale. */
    gchar strength[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(strength, sizeof strength, "%.9g", request->strength);
    gchar *lut = request->lutBase ? base64Path(request->lutBase) : g_strdup("none");
    gchar *arguments[] = {(gchar *)request->enginePath, "gimp", "1", "match", "none", lut, "on",
                          request->matchLightness ? "on" : "off", "33", "pam", strength, "none", NULL};
    ChildSetup setup = {getpid()};
    GPid pid = 0;
    int input = -1, output = -1, errors = -1;
    /* Written to a pipe whose reader is gone, the plug-in gets EPIPE, not death. */
    void (*previousSigpipe)(int) = signal(SIGPIPE, SIG_IGN);
    GError *startError = NULL;
    const gboolean started =
        g_spawn_async_with_pipes(NULL, arguments, NULL, G_SPAWN_DO_NOT_REAP_CHILD, prepareChild, &setup, &pid,
                                 &input, &output, &errors, &startError);
    g_free(lut);
    if (!started) {
        signal(SIGPIPE, previousSigpipe);
        g_byte_array_unref(framed);
        g_set_error(error, MATCH_COLOURS_ERROR, 0, "cannot start the engine %s: %s", request->enginePath,
                    startError->message);
        g_error_free(startError);
        return NULL;
    }
    g_unix_set_fd_nonblocking(input, TRUE, NULL);
    g_unix_set_fd_nonblocking(output, TRUE, NULL);
    g_unix_set_fd_nonblocking(errors, TRUE, NULL);

    GByteArray *result = g_byte_array_new();
    ErrorChannel channel = {g_string_new(NULL), NULL, NULL, progress, data};
    gsize written = 0;
    while (output >= 0 || errors >= 0) {
        struct pollfd watched[3];
        nfds_t count = 0;
        if (input >= 0)
            watched[count++] = (struct pollfd){input, POLLOUT, 0};
        if (output >= 0)
            watched[count++] = (struct pollfd){output, POLLIN, 0};
        if (errors >= 0)
            watched[count++] = (struct pollfd){errors, POLLIN, 0};
        if (poll(watched, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (!watched[i].revents)
                continue;
            if (watched[i].fd == input) {
                const ssize_t sent = write(input, framed->data + written, framed->len - written);
                if (sent > 0)
                    written += (gsize)sent;
                /* Everything sent, or the engine stopped reading (EPIPE): it
                 * reads to the end before it starts, so close our end. */
                if (written == framed->len || (sent < 0 && errno != EINTR && errno != EAGAIN)) {
                    close(input);
                    input = -1;
                }
            } else if (watched[i].fd == output) {
                drain(&output, result, NULL);
            } else if (watched[i].fd == errors) {
                drain(&errors, NULL, &channel);
            }
        }
    }
    if (input >= 0)
        close(input);
    if (output >= 0)
        close(output);
    if (errors >= 0)
        close(errors);
    readLines(&channel, "", 0, TRUE);
    int status = 0;
    const gboolean waited = waitForEngine(pid, &status);
    g_spawn_close_pid(pid);
    signal(SIGPIPE, previousSigpipe);
    g_byte_array_unref(framed);

    GError *failure = NULL;
    if (!waited)
        g_set_error(&failure, MATCH_COLOURS_ERROR, 0, "cannot wait for the engine: %s", g_strerror(errno));
    else
        describeFailure(status, &channel, result->len, &failure);
    g_string_free(channel.pending, TRUE);
    g_free(channel.errorLine);
    g_free(channel.crashLine);
    if (failure) {
        g_propagate_error(error, failure);
        g_byte_array_unref(result);
        return NULL;
    }
    return g_byte_array_free_to_bytes(result);
}
