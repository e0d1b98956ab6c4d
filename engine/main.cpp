// SPDX-License-Identifier: GPL-3.0-or-later
// matchengine: started by a host application once per request.
#include "engine/engine.h"
#include "matching/matching.h"

#include <QCoreApplication>

namespace {

// Every failure of a request ends here, as one error line and an exit status.
int serve(const QStringList &arguments)
{
    try {
        if (arguments.size() < 4)
            throw EngineError(exitStatus::usage,
                              QStringLiteral("expected %1 arguments after the program name (3 for the capability "
                                             "query), got %2; see the README for the positions")
                                  .arg(requiredArgumentCount - 1)
                                  .arg(arguments.size() - 1));
        if (arguments[3] == QLatin1String(capabilityToken))
            return runCapabilityQuery(isRequestOptionsWord(arguments[2]));
        const RunValues run = parseCommandLine(arguments, engineSettings());
        return runMatching(run);
    } catch (const EngineError &error) {
        writeErrorLine(QString::fromStdString(error.what()));
        return error.status;
    } catch (const cv::Exception &error) {
        writeErrorLine(QStringLiteral("internal failure: %1").arg(QString::fromStdString(error.what())));
    } catch (const std::exception &error) {
        writeErrorLine(QStringLiteral("internal failure: %1").arg(QString::fromStdString(error.what())));
    } catch (...) {
        writeErrorLine(QStringLiteral("internal failure of unknown kind"));
    }
    return exitStatus::software;
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(discardMessage);
    QCoreApplication application(argc, argv);
    prepareStandardStreams();
    setOpenCVCodecsFolder(QCoreApplication::applicationDirPath());
    reportProgress("005");
    const int status = serve(QCoreApplication::arguments());
    // A request that failed half-way may have left OpenCL work queued that
    // nothing read back.
    finishOpenCLWork();
    return status;
}
