// The host's twelve positions, read in-process.
#include "engine/engine.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

using testing_support::base64Path;
using testing_support::HostArguments;

namespace {

QStringList withProgram(const HostArguments &arguments)
{
    return QStringList{QStringLiteral("matchengine")} + arguments.list();
}

struct Parsed {
    EngineSettings settings;
    RunValues run;
};

Parsed parse(const HostArguments &arguments)
{
    Parsed parsed;
    parsed.run = parseCommandLine(withProgram(arguments), parsed.settings);
    return parsed;
}

int usageStatusOf(const QStringList &arguments)
{
    EngineSettings settings;
    try {
        parseCommandLine(arguments, settings);
    } catch (const EngineError &error) {
        return error.status;
    }
    return 0;
}

} // namespace

TEST(CommandLine, DefaultsOfTheSettingsRecord)
{
    const EngineSettings settings;
    EXPECT_FALSE(settings.lutExport);
    EXPECT_TRUE(settings.lutBasePath.isEmpty());
    EXPECT_TRUE(settings.useOpenCL);
    EXPECT_TRUE(settings.taskUseOpenCL);
    EXPECT_FALSE(settings.matchLightness);
    EXPECT_EQ(settings.lutSize, 16);
    EXPECT_FALSE(settings.amdGpu);
    EXPECT_EQ(settings.currentImageWidth, 0);
    EXPECT_EQ(settings.currentImageHeight, 0);
}

TEST(CommandLine, EachPositionReadsItsWords)
{
    HostArguments arguments;
    arguments.resultFile = base64Path(QStringLiteral("/tmp/out.png"));
    arguments.lutBase = base64Path(QStringLiteral("/tmp/looks/teal"));
    arguments.openCL = QStringLiteral("off");
    arguments.lightness = QStringLiteral("on");
    arguments.lutSize = QStringLiteral("33");
    arguments.format = QStringLiteral("jpg");
    arguments.strength = QStringLiteral("0.25");
    arguments.sizeFile = base64Path(QStringLiteral("/tmp/size.txt"));
    const Parsed parsed = parse(arguments);

    EXPECT_EQ(parsed.run.resultFilePath, arguments.resultFile);
    EXPECT_TRUE(parsed.settings.lutExport);
    EXPECT_EQ(parsed.settings.lutBasePath, QStringLiteral("/tmp/looks/teal"));
    EXPECT_FALSE(parsed.settings.useOpenCL);
    EXPECT_FALSE(parsed.settings.taskUseOpenCL);
    EXPECT_TRUE(parsed.settings.matchLightness);
    EXPECT_EQ(parsed.settings.lutSize, 33);
    EXPECT_EQ(parsed.run.resultFormat, QStringLiteral("jpg"));
    EXPECT_FLOAT_EQ(parsed.run.strength, 0.25f);
    EXPECT_EQ(parsed.run.sizeFilePath, arguments.sizeFile);
}

TEST(CommandLine, WordsAreExactAndCaseSensitive)
{
    HostArguments arguments;
    arguments.openCL = QStringLiteral("OFF");
    arguments.lightness = QStringLiteral("ON");
    Parsed parsed = parse(arguments);
    EXPECT_TRUE(parsed.settings.useOpenCL);
    EXPECT_TRUE(parsed.settings.taskUseOpenCL);
    EXPECT_FALSE(parsed.settings.matchLightness);

    arguments.lightness = QStringLiteral("none");
    EXPECT_FALSE(parse(arguments).settings.matchLightness);

    // "None" is not "none": it is a base64 path like any other text.
    arguments.lutBase = QStringLiteral("None");
    parsed = parse(arguments);
    EXPECT_TRUE(parsed.settings.lutExport);
}

TEST(CommandLine, LutSizeIsReadOnlyWithLutExport)
{
    HostArguments arguments;
    arguments.lutSize = QStringLiteral("64");
    Parsed parsed = parse(arguments);
    EXPECT_FALSE(parsed.settings.lutExport);
    EXPECT_EQ(parsed.settings.lutSize, 16);

    // Without LUT export even a word that is no number is never looked at.
    arguments.lutSize = QStringLiteral("many");
    EXPECT_EQ(parse(arguments).settings.lutSize, 16);

    arguments.lutBase = base64Path(QStringLiteral("/tmp/look"));
    arguments.lutSize = QStringLiteral("2");
    EXPECT_EQ(parse(arguments).settings.lutSize, 2);
    arguments.lutSize = QStringLiteral("256");
    EXPECT_EQ(parse(arguments).settings.lutSize, 256);
}

TEST(CommandLine, NonNumbersReadAsZero)
{
    HostArguments arguments;
    arguments.strength = QStringLiteral("strong");
    EXPECT_EQ(parse(arguments).run.strength, 0.0f);
    arguments.strength = QStringLiteral("-0.5");
    EXPECT_FLOAT_EQ(parse(arguments).run.strength, -0.5f);
}

TEST(CommandLine, Base64PathsAreCutAtTheFirstNul)
{
    const QByteArray withNul = QByteArray("/tmp/a\0/b", 9);
    HostArguments arguments;
    arguments.lutBase = QString::fromLatin1(withNul.toBase64());
    EXPECT_EQ(parse(arguments).settings.lutBasePath, QStringLiteral("/tmp/a"));

    // Non-ASCII letters arrive as UTF-8.
    EXPECT_EQ(decodePathArgument(base64Path(QStringLiteral("/tmp/Bücher/ß"))), QStringLiteral("/tmp/Bücher/ß"));
    // Characters outside the base64 alphabet are skipped.
    EXPECT_EQ(decodePathArgument(QStringLiteral("L3Rt*cC9h")), QStringLiteral("/tmp/a"));
}

TEST(CommandLine, RefusesWhatCannotWork)
{
    HostArguments arguments;
    QStringList list = withProgram(arguments);
    list.removeLast();
    EXPECT_EQ(usageStatusOf(list), exitStatus::usage);

    arguments.lutBase = base64Path(QStringLiteral("/tmp/look"));
    for (const char *size : {"1", "0", "-4", "257", "lots"}) {
        arguments.lutSize = QString::fromLatin1(size);
        EXPECT_EQ(usageStatusOf(withProgram(arguments)), exitStatus::usage) << size;
    }

    HostArguments formats;
    for (const char *format : {"xyz", "", "png.exe"}) {
        formats.format = QString::fromLatin1(format);
        EXPECT_EQ(usageStatusOf(withProgram(formats)), exitStatus::usage) << format;
    }
    for (const char *format : {"png", "jpg", "tif", "bmp", "webp", "PNG"}) {
        formats.format = QString::fromLatin1(format);
        EXPECT_EQ(usageStatusOf(withProgram(formats)), 0) << format;
    }
}
