// SPDX-License-Identifier: GPL-3.0-or-later
// A folder for colormatch to run in, with copies of the sample photographs and
// a file that is no image, and the reading of --json lines, shared by the
// colormatch program tests.
#pragma once

#include "colormatch/exiv2_compat.h"
#include "support/test_support.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <lcms2.h>
#include <opencv2/imgcodecs.hpp>

#include <stdexcept>

struct ProgramRun {
    int exitCode = -1; // -1 when it crashed
    QByteArray out;
    QString err;
};

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

// The profile's bytes; the profile is closed unless `keep`.
inline QByteArray savedProfile(cmsHPROFILE profile, bool keep = false)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(int(size), '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    if (!keep)
        cmsCloseProfile(profile);
    return bytes;
}

// Adobe RGB's primaries with a gamma of 2.2, named "RGB built-in".
inline cmsHPROFILE adobeRgb()
{
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    return profile;
}

// Encoded image bytes with EXIF (and IPTC, a colour profile, XMP) set by exiv2.
inline QByteArray withMetadata(const QByteArray &encoded, const Exiv2::ExifData &exif, const Exiv2::IptcData &iptc = {},
                               const QByteArray &profile = {}, const std::string &xmp = {})
{
    Exiv2Image image =
        Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(encoded.constData()), long(encoded.size()));
    image->setExifData(exif);
    image->setIptcData(iptc);
    Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte *>(profile.constData()), long(profile.size()));
    if (!profile.isEmpty())
        exiv2SetIccProfile(*image, icc);
    if (!xmp.empty())
        image->setXmpPacket(xmp);
    image->writeMetadata();
    image->io().seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf written = image->io().read(long(image->io().size()));
    return exiv2Bytes(written);
}

struct Workspace {
    QTemporaryDir folder;
    Workspace()
    {
        for (const char *name : {"chelsea.png", "coffee.png", "rocket.jpg"})
            QFile::copy(testing_support::samplePath(name), path(name));
        writeFile(path("broken.png"), "\x89PNG\r\n\x1A\n but not really an image");
    }
    QString path(const QString &name) const { return folder.filePath(name); }
    cv::Mat image(const QString &name) const { return cv::imread(path(name).toStdString(), cv::IMREAD_UNCHANGED); }
    // `input` reaches colormatch's standard input through a pipe.
    ProgramRun run(const QStringList &arguments, const QString &program = COLORMATCH_BINARY,
                   const QByteArray &input = QByteArray()) const
    {
        QProcess process;
        process.setWorkingDirectory(folder.path());
        process.start(program, arguments);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForStarted(30000) || !process.waitForFinished(300000))
            throw std::runtime_error("colormatch did not run to its end");
        return {process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode(), process.readAllStandardOutput(),
                QString::fromUtf8(process.readAllStandardError())};
    }
    // Every entry with its size and time of change: what a run may not touch.
    QStringList snapshot() const
    {
        QStringList entries;
        for (const QFileInfo &entry : QDir(folder.path()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot))
            entries << QStringLiteral("%1 %2 %3").arg(entry.fileName()).arg(entry.size()).arg(
                           entry.lastModified().toMSecsSinceEpoch());
        return entries;
    }
};

// colormatch copied into a folder of its own, with a stand-in engine script
// beside it unless that is empty.
inline QString lonelyColormatch(const QTemporaryDir &folder, const QByteArray &engineScript)
{
    const QString copy = folder.filePath("colormatch");
    QFile::copy(COLORMATCH_BINARY, copy);
    QFile::setPermissions(copy, QFile::permissions(COLORMATCH_BINARY));
    if (!engineScript.isEmpty()) {
        writeFile(folder.filePath("matchengine"), engineScript);
        QFile::setPermissions(folder.filePath("matchengine"), QFile::permissions(COLORMATCH_BINARY));
    }
    return copy;
}

// The result lines of a run's standard output, each checked to be one JSON object.
inline QVector<QJsonObject> resultLines(const QByteArray &out)
{
    QVector<QJsonObject> lines;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(document.isObject()) << line.toStdString();
        lines << document.object();
    }
    return lines;
}

// "input status exit" of each line, sorted: the order in which images end is not fixed.
inline QStringList outcomes(const QVector<QJsonObject> &lines)
{
    QStringList words;
    for (const QJsonObject &line : lines)
        words << QStringLiteral("%1 %2 %3")
                     .arg(line.value("input").toString(), line.value("status").toString())
                     .arg(line.value("exit").toInt(-1));
    words.sort();
    return words;
}
