// SPDX-License-Identifier: GPL-3.0-or-later
// Result lines: each ended image as one line of JSON on standard output.
#include "colormatch/result_lines.h"
#include "colormatch/platform.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

namespace {

QString stageName(ImageStage stage)
{
    switch (stage) {
    case ImageStage::done: return QStringLiteral("done");
    case ImageStage::skipped: return QStringLiteral("skipped");
    case ImageStage::failed: return QStringLiteral("failed");
    case ImageStage::waiting:
    case ImageStage::running: break;
    }
    return QStringLiteral("failed"); // an image that did not end is no success
}

// A file name as people read it; where that is not its exact bytes (a name
// that is no UTF-8), the bytes too, as "<key>_bytes".
void putName(QJsonObject &object, const QString &key, const QString &name)
{
    if (name.isEmpty()) {
        object.insert(key, QJsonValue::Null);
        return;
    }
    const QString readable = readableText(name);
    object.insert(key, readable);
    if (readable != name)
        object.insert(key + QStringLiteral("_bytes"), QString::fromLatin1(QFile::encodeName(name).toBase64()));
}

} // namespace

QByteArray resultLineJson(const ImageProgress &image)
{
    QJsonObject line;
    putName(line, QStringLiteral("input"), image.input);
    putName(line, QStringLiteral("output"), image.output);
    line.insert(QStringLiteral("status"), stageName(image.stage));
    const bool succeeded = image.stage == ImageStage::done || image.stage == ImageStage::skipped;
    line.insert(QStringLiteral("exit"), succeeded ? 0 : image.exitStatus);
    line.insert(QStringLiteral("message"), readableText(image.outcome));
    const double seconds = image.clock.isValid() ? image.clock.elapsed() / 1000.0 : 0.0;
    line.insert(QStringLiteral("seconds"), std::round(seconds * 1000) / 1000);
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

void writeResultLine(const ImageProgress &image)
{
    const QByteArray bytes = resultLineJson(image);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void writeUnendedResultLines(const Display &display, int exitStatus, const QString &message, const QString &input,
                             const QString &output)
{
    QVector<ImageProgress> images = display.images;
    if (images.isEmpty() && !input.isEmpty())
        images << ImageProgress{QString(), {}, ImageStage::waiting, {}, input, output, 0, {}};
    for (ImageProgress &image : images)
        if (image.stage == ImageStage::waiting || image.stage == ImageStage::running) {
            image.stage = ImageStage::failed;
            image.exitStatus = exitStatus;
            image.outcome = message;
            writeResultLine(image);
        }
}
