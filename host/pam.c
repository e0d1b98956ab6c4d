/* SPDX-License-Identifier: GPL-3.0-or-later */
/* PAM headers, written and read: the uncompressed transport for raw pixels
 * between the hosts and the engine. */
#include "host/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

size_t hostPamHeader(char *header, int width, int height, int channels, int bitDepth)
{
    static const char *const tupleTypes[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
    if (width <= 0 || height <= 0 || channels < 1 || channels > 4 || (bitDepth != 8 && bitDepth != 16))
        return 0;
    const int length = snprintf(header, hostPamHeaderCapacity,
                                "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n", width, height,
                                channels, bitDepth == 16 ? 65535 : 255, tupleTypes[channels - 1]);
    return length > 0 && length < hostPamHeaderCapacity ? (size_t)length : 0;
}

/* The header's end lies within its first 4 KiB, as in every PAM a host meets. */
enum { headerLimit = 4096 };

int hostParsePam(const void *bytes, size_t size, HostPam *pam)
{
    static const char end[] = "ENDHDR\n";
    const char *text = bytes;
    *pam = (HostPam){0, 0, 0, 0, 0};
    if (size < 3 || memcmp(text, "P7\n", 3) != 0)
        return 0;
    char header[headerLimit + 1];
    const size_t scanned = size < headerLimit ? size : headerLimit;
    memcpy(header, text, scanned);
    header[scanned] = '\0';
    char *found = strstr(header, end);
    if (!found)
        return 0;
    *found = '\0';
    pam->headerSize = (size_t)(found - header) + sizeof end - 1;
    for (char *line = strtok(header + 3, "\n"); line; line = strtok(NULL, "\n")) {
        char field[16];
        long value = 0;
        if (sscanf(line, "%15s %ld", field, &value) != 2 || value <= 0 || value > 0x7fffffff)
            continue;
        if (strcmp(field, "WIDTH") == 0)
            pam->width = (int)value;
        else if (strcmp(field, "HEIGHT") == 0)
            pam->height = (int)value;
        else if (strcmp(field, "DEPTH") == 0)
            pam->depth = (int)value;
        else if (strcmp(field, "MAXVAL") == 0)
            pam->maxval = (int)value;
    }
    if (pam->width <= 0 || pam->height <= 0 || pam->depth <= 0 || pam->maxval <= 0 || pam->maxval > 65535)
        return 0;
    const size_t sampleBytes = pam->maxval > 255 ? 2 : 1;
    const size_t samples = size - pam->headerSize;
    /* Divided, not multiplied, so that no declared size overflows. */
    const size_t row = (size_t)pam->width * (size_t)pam->depth * sampleBytes;
    return samples % row == 0 && samples / row == (size_t)pam->height &&
           row / sampleBytes / (size_t)pam->depth == (size_t)pam->width;
}
