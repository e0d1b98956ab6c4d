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

} // namespace

// Positions: 4 result file (or "none"), 5 LUT base path (or "none"), 6 OpenCL
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
    run.strength = strengthOf(arguments[10]);
    run.sizeFilePath = arguments[11];
    return run;
}
