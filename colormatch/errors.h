// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's exit statuses and its one error, thrown by every unit where a
// run cannot go on.
#pragma once

#include "colormatch/platform.h"

#include <QString>

#include <stdexcept>

// Exit statuses, in the sysexits style the engine uses too. A failed engine
// run passes the engine's own status on.
namespace colormatchStatus {
constexpr int ok = 0;
constexpr int someFailed = 1;   // a batch in which at least one image failed
constexpr int usage = 64;       // the command line cannot work; nothing was started
constexpr int dataError = 65;   // an input image is damaged, cannot be used, or is larger than colormatch reads
constexpr int noInput = 66;     // an input file is missing or unreadable
constexpr int unavailable = 69; // the engine cannot be found or started
constexpr int software = 70;    // the engine crashed, or its colour transfer failed
constexpr int cannotCreate = 73;
} // namespace colormatchStatus

// colormatch's one error: a message in the user's terms (file names in any
// bytes made readable) and the exit status the program ends with. Thrown where a run cannot go on, caught once in
// runColormatch.
struct UserError : std::runtime_error {
    UserError(int exitStatus, const QString &message)
        : std::runtime_error(readableText(message).toStdString())
        , status(exitStatus)
    {
    }
    int status;
};
