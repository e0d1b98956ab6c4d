/* SPDX-License-Identifier: GPL-3.0-or-later */
/* The plug-in's processes: finding matchengine, one run of it through the
 * host library's runner, its progress codes passed on, and the owner of the
 * images the plug-in loads. Like the runner, POSIX only. */
#include "gimp/match_colours.h"
#include "host/host.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

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

typedef struct {
    ProgressFunction progress;
    gpointer data;
} ProgressTarget;

static void passProgress(const char *line, long long microseconds, void *data)
{
    (void)microseconds;
    const ProgressTarget *target = data;
    const HostLine kind = hostClassifyLine(line);
    if (kind.kind == hostLineProgress && target->progress)
        target->progress(kind.code, target->data);
}

GBytes *runEngine(const EngineRequest *request, ProgressFunction progress, gpointer data, GError **error)
{
    gsize targetSize = 0, referenceSize = 0;
    const guint8 *targetBytes = g_bytes_get_data(request->target, &targetSize);
    const guint8 *referenceBytes = g_bytes_get_data(request->reference, &referenceSize);
    HostBytes framed = {NULL, 0, 0};
    if (!hostFrameRequest(targetBytes, targetSize, referenceBytes, referenceSize, &framed)) {
        hostBytesFree(&framed);
        g_set_error(error, MATCH_COLOURS_ERROR, 0,
                    "the layer and the reference need %" G_GSIZE_FORMAT " MiB, more than the 2 GiB a request to the "
                    "engine can hold",
                    (targetSize + referenceSize) >> 20);
        return NULL;
    }
    const HostRequest settings = {.caller = "gimp",
                                  .lutBase = request->lutBase,
                                  .lutSize = engineLutSizeDefault,
                                  .useOpenCL = TRUE,
                                  .matchLightness = request->matchLightness,
                                  .resultFormat = "pam",
                                  .strength = request->strength,
                                  .depth = request->bitDepth};
    char **arguments = hostMatchArguments(request->enginePath, &settings);
    ProgressTarget target = {progress, data};
    /* The engine ends with the plug-in: GIMP ends a cancelled plug-in with
     * SIGKILL, which the plug-in cannot pass on itself. */
    const HostRun run = {(const char *const *)arguments, framed.data, framed.size, -1, -1, -1, TRUE,
                         passProgress, &target};
    HostRunResult result;
    const int ran = arguments && hostRunEngine(&run, &result);
    hostFreeArguments(arguments);
    hostBytesFree(&framed);
    if (!arguments) {
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, "cannot start the engine: out of memory");
        return NULL;
    }
    const HostOutcome outcome = hostRunOutcome(&result);
    char *failure = hostFailureText(&outcome, "layer");
    if (!ran || failure) {
        g_set_error_literal(error, MATCH_COLOURS_ERROR, 0, failure ? failure : result.startFailure);
        free(failure);
        hostRunResultFree(&result);
        return NULL;
    }
    GBytes *matched = g_bytes_new(result.result.data, result.result.size);
    hostRunResultFree(&result);
    return matched;
}

/* ---- The owner of the images the plug-in loads */

gchar *ownerMark(void)
{
    return g_strdup_printf("%ld", (long)getpid());
}

gboolean ownerGone(gconstpointer mark, gsize size)
{
    if (!mark)
        return FALSE;
    gchar *text = g_strndup(mark, size);
    guint64 process = 0;
    /* Not 0 or negative: kill would address a process group. */
    const gboolean named = g_ascii_string_to_unsigned(text, 10, 1, G_MAXINT, &process, NULL);
    g_free(text);
    /* EPERM: alive, another user's. */
    return named && kill((pid_t)process, 0) == -1 && errno == ESRCH;
}
