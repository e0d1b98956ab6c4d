// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch's temporary folders. Each is claimed by a lock file for as long as
// its run lives; a run that was killed outright (SIGKILL, a crash, a power cut)
// cannot remove its folders, so the next run that makes one removes those whose
// owner is gone.
#pragma once

#include <QLockFile>
#include <QString>
#include <QTemporaryDir>

struct ScratchFolder {
    // Makes and claims a folder under the system's temporary folder, after
    // removing abandoned ones. Throws UserError (cannot create) naming
    // `purpose` ("the engines' results") when it cannot be made.
    explicit ScratchFolder(const QString &purpose);
    QString filePath(const QString &name) const { return folder.filePath(name); }

    QTemporaryDir folder; // removed with all it holds when the run ends
    QLockFile claim;      // released first, inside it
};
