// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch: matching colours from the command line, through the engine.
#include "colormatch/command.h"
#include "colormatch/platform.h"

#include <QCoreApplication>

namespace {

// Qt's own warnings (a pipe closed by an engine that ended early, and the
// like) are no news to people; colormatch says what went wrong itself.
void discardQtMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(discardQtMessage);
    keepFileNameBytes(); // before the arguments are read
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("colormatch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(COLORMATCH_VERSION));
    return runColormatch(QCoreApplication::arguments());
}
