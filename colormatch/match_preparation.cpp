// SPDX-License-Identifier: GPL-3.0-or-later
// Preparing a match: the checks of the images and outputs that can be made
// before an engine starts, colour spaces brought together, and the files
// colormatch writes from the engine's results.
#include "colormatch/match_preparation.h"
#include "colormatch/engine_host.h"
#include "colormatch/errors.h"
#include "colormatch/files.h"
#include "encoders/cube_format.h"
#include "encoders/encoders.h"

#include <QDir>
#include <QFileInfo>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Names in a cube's comment and title lines: one line each, and no quote
// that would end the title early.
QString cubeText(QString text)
{
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control || c == QLatin1Char('"'))
            c = c == QLatin1Char('"') ? QLatin1Char('\'') : QLatin1Char(' ');
    return text;
}

cv::Mat decodedGrey(const QByteArray &encoded)
{
    return cv::imdecode(cv::Mat(1, int(encoded.size()), CV_8U, const_cast<char *>(encoded.constData())),
                        cv::IMREAD_GRAYSCALE);
}

QByteArray pamBytes(const cv::Mat &image)
{
    const std::vector<uchar> pam = encodePam(image);
    return QByteArray(reinterpret_cast<const char *>(pam.data()), int(pam.size()));
}

} // namespace

QString checkedImageFormat(const QString &file, const QString &what, const QString &fallback)
{
    QString format = isStandardOutput(file) ? QString() : resultFormatFor(file);
    if (format.isEmpty() && isPipeOrDevice(file)) // standard output and the like have no extension
        format = fallback.isEmpty() ? QStringLiteral("png") : normalisedFormat(fallback);
    if (format.isEmpty())
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("cannot tell the image format of %1 %2: give it an extension such as .png or "
                                       ".jpg")
                            .arg(what, file));
    if (!formatHasEncoder(format))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("cannot write %1 %2: no image encoder for .%3 files").arg(what, file, format));
    return format;
}

ImageMetadata checkedReference(const QString &path, const QByteArray &bytes)
{
    auto refuse = [&](const QString &problem) {
        if (!problem.isEmpty())
            throw UserError(colormatchStatus::dataError, QStringLiteral("reference image %1: %2").arg(path, problem));
    };
    // Its structure before its metadata, its size before its pixels.
    refuse(encodedImageProblem(bytes));
    const ImageMetadata metadata = readImageMetadata(bytes);
    refuse(decodedImageProblem(bytes, metadata));
    refuse(colourProfileProblem(metadata.iccProfile));
    // A CMYK reference without a usable profile is refused here, once.
    if (metadata.cmyk)
        convertedForMatching(bytes, metadata, QByteArray(), QStringLiteral("reference image ") + path);
    return metadata;
}

ImageMetadata targetMetadataOf(const QByteArray &bytes)
{
    return encodedImageProblem(bytes).isEmpty() ? readImageMetadata(bytes) : ImageMetadata();
}

QString leftOutNote(const QStringList &target, const QStringList &reference)
{
    QStringList pieces;
    for (const QString &piece : target)
        pieces << QStringLiteral("the target's ") + piece;
    for (const QString &piece : reference)
        pieces << QStringLiteral("the reference's ") + piece + QStringLiteral(", which was read as untagged");
    return pieces.isEmpty() ? QString() : QStringLiteral("; left out: ") + pieces.join(QStringLiteral(", "));
}

PreparedMatch prepareMatch(const QString &targetPath, const QByteArray &targetBytes,
                           const ImageMetadata &targetMetadata, const QString &referencePath,
                           const QByteArray &referenceBytes, const ImageMetadata &referenceMetadata,
                           const QTemporaryDir &scratch, QHash<QByteArray, EngineInput> &references)
{
    PreparedMatch match{targetMetadata, targetPath, referenceBytes, {}};
    const QString profileProblem = colourProfileProblem(targetMetadata.iccProfile);
    if (!profileProblem.isEmpty())
        throw UserError(colormatchStatus::dataError, QStringLiteral("target image %1: %2").arg(targetPath, profileProblem));
    if (targetMetadata.cmyk) {
        const EngineInput converted = convertedForMatching(targetBytes, targetMetadata, QByteArray(),
                                                           QStringLiteral("target image ") + targetPath);
        match.enginePath = scratch.filePath(QStringLiteral("target%1.pam").arg(QDir(scratch.path()).count()));
        const QString problem = saveFile(match.enginePath, converted.bytes);
        if (!problem.isEmpty())
            throw UserError(colormatchStatus::cannotCreate, problem);
        match.notes << converted.note;
        match.target.iccProfile.clear();
        match.target.cmyk = false;
    }
    // The engine gives grey targets colour; a grey profile no longer describes them.
    if (!isRgbProfile(match.target.iccProfile))
        match.target.iccProfile.clear();
    const QByteArray space = match.target.iccProfile;
    if (!references.contains(space)) {
        EngineInput reference = convertedForMatching(referenceBytes, referenceMetadata, space,
                                                     QStringLiteral("reference image ") + referencePath);
        if (reference.bytes.isEmpty())
            reference.bytes = referenceBytes;
        references.insert(space, reference);
    }
    match.referenceBytes = references.value(space).bytes;
    if (!references.value(space).note.isEmpty())
        match.notes << references.value(space).note;
    return match;
}

QByteArray maskedForEngine(const QByteArray &image, const QString &imageName, const QByteArray &mask,
                           const QString &maskName)
{
    cv::Mat pixels = resultPixels(image);
    const cv::Mat grey = decodedGrey(mask);
    if (pixels.empty())
        throw UserError(colormatchStatus::dataError, QStringLiteral("%1 does not decode").arg(imageName));
    if (grey.empty())
        throw UserError(colormatchStatus::dataError,
                        QStringLiteral("%1 does not decode as an image").arg(maskName));
    if (grey.size() != pixels.size())
        throw UserError(colormatchStatus::dataError,
                        QStringLiteral("%1 is %2 x %3 pixels, not the %4 x %5 of %6: a mask has its image's size")
                            .arg(maskName)
                            .arg(grey.cols)
                            .arg(grey.rows)
                            .arg(pixels.cols)
                            .arg(pixels.rows)
                            .arg(imageName));
    if (pixels.channels() == 1)
        cv::cvtColor(pixels, pixels, cv::COLOR_GRAY2BGRA);
    else if (pixels.channels() == 3)
        cv::cvtColor(pixels, pixels, cv::COLOR_BGR2BGRA);
    // Alpha 0 where the mask is black; the rest keeps its own.
    const cv::Mat hidden = grey == 0;
    std::vector<cv::Mat> planes;
    cv::split(pixels, planes);
    planes[3].setTo(0, hidden);
    cv::merge(planes, pixels);
    return pamBytes(pixels);
}

QByteArray withTargetAlpha(const QByteArray &result, const QByteArray &target)
{
    cv::Mat matched = resultPixels(result);
    const cv::Mat own = resultPixels(target);
    if (matched.channels() != 4 || own.empty())
        return result;
    if (own.channels() != 4 || own.size() != matched.size()) {
        cv::cvtColor(matched, matched, cv::COLOR_BGRA2BGR);
        return pamBytes(matched);
    }
    cv::Mat alpha;
    cv::extractChannel(own, alpha, 3);
    if (alpha.depth() != matched.depth())
        alpha.convertTo(alpha, matched.depth(), matched.depth() == CV_8U ? 1.0 / 257 : 257.0);
    cv::insertChannel(alpha, matched, 3);
    return pamBytes(matched);
}

void refuseUnusedQualityOptions(const OutputQuality &quality, const QString &format)
{
    auto refuse = [&](const QString &option, const QString &formats) {
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("%1 is for %2 outputs, not .%3").arg(option, formats, format));
    };
    if (quality.qualityGiven && format != QLatin1String("jpg") && format != QLatin1String("webp"))
        refuse(QStringLiteral("--quality"), QStringLiteral("JPEG and WebP"));
    if (quality.lossless && format != QLatin1String("webp"))
        refuse(QStringLiteral("--lossless"), QStringLiteral("WebP"));
    if (quality.pngLevel >= 0 && format != QLatin1String("png"))
        refuse(QStringLiteral("--png-level"), QStringLiteral("PNG"));
}

void refuseUnkeptDepth(int depth, const QString &format)
{
    if (depth == 16 && !formatHoldsSixteenBits(format))
        throw UserError(colormatchStatus::usage,
                        QStringLiteral("--depth 16 is for PNG, TIFF and PAM outputs, not .%1, which holds 8 bits a "
                                       "sample")
                            .arg(format));
}

int matchDepth(int asked, const ImageMetadata &target, const QString &format)
{
    if (asked != 0)
        return asked;
    return target.header.deep && (format.isEmpty() || formatHoldsSixteenBits(format)) ? 16 : 8;
}

QString saveOutput(const QString &path, const QString &format, const QByteArray &result, const OutputQuality &quality,
                   const ImageMetadata &metadata, QString *note)
{
    return saveOutput(path, format, resultPixels(result), quality, metadata, note);
}

QString saveOutput(const QString &path, const QString &format, const cv::Mat &pixels, const OutputQuality &quality,
                   const ImageMetadata &metadata, QString *note)
{
    ImageMetadata kept = metadata;
    QStringList lost;
    const QByteArray encoded = encodeOutput(pixels, format, quality, kept, &lost);
    if (encoded.isEmpty())
        return QStringLiteral("cannot encode the result of %1 as .%2").arg(outputName(path), format);
    QStringList notKept;
    QStringList leftOut = metadata.leftOut;
    const QByteArray complete = withImageMetadata(encoded, kept, &notKept, &leftOut);
    notKept << lost;
    if (!notKept.isEmpty())
        *note = QStringLiteral("; .%1 files cannot hold the target's %2")
                    .arg(format, notKept.join(QStringLiteral(", ")));
    *note += leftOutNote(leftOut, {});
    return saveFile(path, complete);
}

QByteArray colormatchCube(const QByteArray &engineCube, const QString &cubePath, const QString &target,
                          const QString &reference, const QString &colourSpace)
{
    const int size = engineCube.indexOf(cubeSizeKeyword);
    if (size < 0)
        return QByteArray();
    const QString end = engineCube.contains("\r\n") ? QStringLiteral("\r\n") : QStringLiteral("\n");
    const QString head =
        QStringLiteral("# Made by colormatch from the target %1 and the reference %2%5"
                       "# Input and output colour space: %3%5"
                       "%4%5")
            .arg(cubeText(target), cubeText(reference), cubeText(colourSpace),
                 QString::fromStdString(cubeTitleLine(cubeText(QFileInfo(cubePath).completeBaseName()).toStdString())),
                 end);
    return head.toUtf8() + engineCube.mid(size);
}
