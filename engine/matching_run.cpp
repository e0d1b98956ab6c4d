// SPDX-License-Identifier: GPL-3.0-or-later
// One request from standard input to the delivered result.
#include "engine/engine.h"
#include "matching/matching.h"

#include <QtGlobal>

int runMatching(const RunValues &run)
{
    const EngineSettings &settings = engineSettings();
    reportProgress("006");
    QByteArray request = readRequest();
    reportProgress("010");
    const SplitRequest split = splitRequest(request);
    request = QByteArray(); // the split holds the bytes the two images view
    reportProgress("020");

    QStringList lutFailures;
    const cv::UMat result =
        matchColors(split.targetBytes, split.referenceBytes, settings.lutExport, run.strength, lutFailures);

    if (run.sizeFilePath != QLatin1String("none"))
        writeSizeFile(run.sizeFilePath, settings.currentImageWidth, settings.currentImageHeight);
    reportProgress("090");
    const std::vector<uchar> bytes = encodeResult(result, run.resultFormat);
    reportProgress("095");
    reportProgress("100");
    deliverResult(bytes, run.resultFilePath, settings.lutExport);

    // LUT files that could not be written are reported once the request is done.
    for (const QString &failure : lutFailures)
        writeErrorLine(QStringLiteral("cannot write LUT file %1").arg(failure));
    return lutFailures.isEmpty() ? exitStatus::ok : exitStatus::cannotCreate;
}
