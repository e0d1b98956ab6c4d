// SPDX-License-Identifier: GPL-3.0-or-later
// The host's twelve positional arguments.
#include "engine/engine.h"
#include "matching/matching.h"

#include <cmath>
#include <limits>

namespace {

// The range the Cube format allows for a 3D LUT.
constexpr int smallestLutSize = engineLutSizeMin;
constexpr int largestLutSize = engineLutSizeMax;

QString resultExtension(const QString &resultFormat)
{
    if (resultFormat == QLatin1String("png"))
        return QStringLiteral(".png");
    if (resultFormat == QLatin1String("jpg"))
        return QStringLiteral(".jpg");
    return QLatin1Char('.') + resultFormat;
}

// Text that is not a number reads as 0, as it always has; a number that is
// not finite in single precision (NaN, an infinity, -1e308) is refused: the
// blend would make every pixel NaN or infinite and the result black.
float strengthOf(const QString &text)
{
    bool number = false;
    const double value = text.toDouble(&number);
    // Qt reads an overflowing number (1e400) as an infinity that is no number.
    const bool finite = std::isfinite(value) && std::fabs(value) <= double(std::numeric_limits<float>::max());
    if (!finite)
        throw EngineError(exitStatus::usage,
                          QStringLiteral("strength \"%1\" is not a finite number; expected a number such as 1, 0.5 "
                                         "or -0.25")
                              .arg(text));
    return number ? float(value) : 0.0f;
}

// One request option: its value read into the settings, or a refusal.
void readOption(const QString &name, const QString &value, EngineSettings &settings)
{
    if (name == QLatin1String("gain-limit")) {
        bool number = false;
        const double limit = value.toDouble(&number);
        if (!number || !std::isfinite(limit) || limit < 1.0)
            throw EngineError(exitStatus::usage,
                              QStringLiteral("request option gain-limit=\"%1\" is not a number of at least 1").arg(value));
        settings.gainLimit = limit;
        return;
    }
    if (name == QLatin1String("depth")) {
        if (value != QLatin1String("8") && value != QLatin1String("16"))
            throw EngineError(exitStatus::usage,
                              QStringLiteral("request option depth=\"%1\" is not 8 or 16").arg(value));
        settings.depth = value.toInt();
        return;
    }
    throw EngineError(exitStatus::usage, QStringLiteral("request option \"%1\" is not one this engine knows (it knows "
                                                        "depth, gain-limit)")
                                             .arg(name));
}

} // namespace

bool isRequestOptionsWord(const QString &word)
{
    return word.startsWith(QLatin1String(engineOptionsPrefix));
}

// "matchengine-options/1;name=value;...": see host/host.h.
void parseRequestOptions(const QString &word, EngineSettings &settings)
{
    if (!isRequestOptionsWord(word))
        return;
    const QStringList items = word.mid(int(qstrlen(engineOptionsPrefix))).split(QLatin1Char(';'));
    if (items[0] != QString::number(engineOptionsVersion))
        throw EngineError(exitStatus::usage, QStringLiteral("request options of version \"%1\" are not ones this engine "
                                                            "reads (it reads version %2)")
                                                 .arg(items[0])
                                                 .arg(engineOptionsVersion));
    QStringList seen;
    for (int i = 1; i < items.size(); ++i) {
        const int equals = items[i].indexOf(QLatin1Char('='));
        if (equals <= 0)
            throw EngineError(exitStatus::usage,
                              QStringLiteral("request option \"%1\" is not of the form name=value").arg(items[i]));
        const QString name = items[i].left(equals);
        if (seen.contains(name))
            throw EngineError(exitStatus::usage, QStringLiteral("request option %1 is given twice").arg(name));
        seen << name;
        readOption(name, items[i].mid(equals + 1), settings);
    }
}

// Positions: 2 request options (a word of our own hosts; anything else is
// ignored), 4 result file (or "none"), 5 LUT base path (or "none"), 6 OpenCL
// ("off" turns it off), 7 lightness ("on" matches it), 8 LUT size (read only
// with LUT export), 9 result format, 10 strength, 11 size file (or "none").
// Paths are base64; numbers that do not parse read as 0, a strength that is
// not finite is refused.
RunValues parseCommandLine(const QStringList &arguments, EngineSettings &settings)
{
    if (arguments.size() < requiredArgumentCount)
        throw EngineError(exitStatus::usage,
                          QStringLiteral("expected %1 arguments after the program name, got %2")
                              .arg(requiredArgumentCount - 1)
                              .arg(arguments.size() - 1));

    parseRequestOptions(arguments[2], settings);
    RunValues run;
    if (platformHonoursResultFile() && arguments[4] != QLatin1String("none"))
        run.resultFilePath = arguments[4];

    if (arguments[5] != QLatin1String("none")) {
        settings.lutExport = true;
        settings.lutBasePath = decodePathArgument(arguments[5]);
    }
    if (arguments[6] == QLatin1String("off")) {
        settings.useOpenCL = false;
        settings.taskUseOpenCL = false;
    }
    settings.matchLightness = arguments[7] == QLatin1String("on");
    if (settings.lutExport) {
        settings.lutSize = arguments[8].toInt(nullptr, 10);
        if (settings.lutSize < smallestLutSize || settings.lutSize > largestLutSize)
            throw EngineError(exitStatus::usage, QStringLiteral("LUT size \"%1\" is not a whole number from %2 to %3")
                                                     .arg(arguments[8])
                                                     .arg(smallestLutSize)
                                                     .arg(largestLutSize));
    }
    run.resultFormat = arguments[9];
    const QString extension = resultExtension(run.resultFormat);
    static const QStringList ownWriters{QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("pam")};
    if (run.resultFormat.isEmpty()
        || (!ownWriters.contains(run.resultFormat)
            && !openCVCodecs().canWrite(extension.toUtf8().toStdString())))
        throw EngineError(exitStatus::usage,
                          QStringLiteral("result format \"%1\" has no image encoder").arg(run.resultFormat));
    // A deep result keeps 16 bits where its format holds them; JPEG and the
    // other formats get the 8-bit rounding of the same computation.
    static const QStringList sixteenBitFormats{QStringLiteral("png"), QStringLiteral("pam"), QStringLiteral("tif"),
                                               QStringLiteral("tiff")};
    settings.resultBits = settings.depth == 16 && sixteenBitFormats.contains(run.resultFormat) ? 16 : 8;
    run.strength = strengthOf(arguments[10]);
    run.sizeFilePath = arguments[11];
    return run;
}
