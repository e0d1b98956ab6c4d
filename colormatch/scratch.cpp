// SPDX-License-Identifier: GPL-3.0-or-later
#include "colormatch/scratch.h"

#include "colormatch/errors.h"

#include <QCoreApplication>
#include <QDir>

namespace {

const QString claimName = QStringLiteral(".claim");

// Folders of earlier runs whose claim is held by no live process. QLockFile
// tells a dead owner (or a process id taken over by another program) from a
// live one; with a stale time of 0 a live run's claim never counts as stale
// however long it runs. A folder without a claim is left alone: it may be a
// run's that is about to claim it.
void removeAbandonedFolders()
{
    const QDir temporary(QDir::tempPath());
    const QString pattern = QCoreApplication::applicationName() + QStringLiteral("-*");
    for (const QString &name : temporary.entryList({pattern}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        QDir abandoned(temporary.filePath(name));
        if (!abandoned.exists(claimName))
            continue;
        QLockFile claim(abandoned.filePath(claimName));
        claim.setStaleLockTime(0);
        if (!claim.tryLock(0))
            continue;
        claim.unlock();
        abandoned.removeRecursively();
    }
}

} // namespace

ScratchFolder::ScratchFolder(const QString &purpose)
    : claim((removeAbandonedFolders(), folder.filePath(claimName)))
{
    if (!folder.isValid() || !claim.tryLock(0))
        throw UserError(colormatchStatus::cannotCreate,
                        QStringLiteral("cannot create a temporary folder for %1 in %2: %3")
                            .arg(purpose, QDir::toNativeSeparators(QDir::tempPath()),
                                 folder.isValid() ? QStringLiteral("its claim cannot be written")
                                                  : folder.errorString()));
}
