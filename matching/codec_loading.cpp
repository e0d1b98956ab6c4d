// SPDX-License-Identifier: GPL-3.0-or-later
// Where the engine finds OpenCV's codecs: in a module beside it, loaded on
// first use (see opencv_codecs.cpp), or linked in where the build is static.
#include "matching/matching.h"

#include <QDir>
#include <QLibrary>

#include <mutex>

extern "C" const OpenCVCodecs *matchengineOpenCVCodecs();

namespace {

QString &moduleFolder()
{
    static QString folder;
    return folder;
}

} // namespace

void setOpenCVCodecsFolder(const QString &folder)
{
    moduleFolder() = folder;
}

const OpenCVCodecs &openCVCodecs()
{
#ifdef MATCHENGINE_OPENCV_CODECS_MODULE
    // Both images may ask at once (the reference decodes on its own thread).
    static std::mutex loading;
    static const OpenCVCodecs *codecs = nullptr;
    const std::lock_guard<std::mutex> lock(loading);
    if (!codecs) {
        QLibrary module(QDir(moduleFolder()).filePath(QStringLiteral("matchengine_opencv_codecs")));
        using Entry = const OpenCVCodecs *(*)();
        const auto entry = reinterpret_cast<Entry>(module.resolve("matchengineOpenCVCodecs"));
        if (!entry)
            throw EngineError(exitStatus::software,
                              QStringLiteral("cannot load OpenCV's image codecs, which TIFF, WebP, BMP and Netpbm "
                                             "images and results other than png, jpg and pam need: %1")
                                  .arg(module.errorString()));
        codecs = entry(); // the module stays loaded for the life of the process
    }
    return *codecs;
#else
    return *matchengineOpenCVCodecs();
#endif
}
