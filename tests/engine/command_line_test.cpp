// The host's twelve positions, read in-process.
#include "engine/engine.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

using testing_support::base64Path;
using testing_support::HostArguments;

namespace {

struct Parsed {
    EngineSettings settings;
    RunValues run;
    int status = 0; // the exit status of a refusal
};

Parsed parse(const QStringList &positions)
{
    Parsed parsed;
    try {
        parsed.run = parseCommandLine(QStringList{QStringLiteral("matchengine")} + positions, parsed.settings);
    } catch (const EngineError &error) {
        parsed.status = error.status;
    }
    return parsed;
}

} // namespace

TEST(CommandLine, PathsAndTheFormatPassThroughBase64Decoded)
{
    HostArguments arguments;
    arguments.resultFile = base64Path(QStringLiteral("/tmp/out.png"));
    arguments.lutBase = base64Path(QStringLiteral("/tmp/looks/teal"));
    arguments.format = QStringLiteral("jpg");
    arguments.sizeFile = base64Path(QStringLiteral("/tmp/size.txt"));
    const Parsed parsed = parse(arguments.list());
    EXPECT_EQ(parsed.run.resultFilePath, arguments.resultFile);
    EXPECT_TRUE(parsed.settings.lutExport);
    EXPECT_EQ(parsed.settings.lutBasePath, QStringLiteral("/tmp/looks/teal"));
    EXPECT_EQ(parsed.run.resultFormat, QStringLiteral("jpg"));
    EXPECT_EQ(parsed.run.sizeFilePath, arguments.sizeFile);
    // "None" is not "none": it is a base64 path like any other text.
    arguments.lutBase = QStringLiteral("None");
    EXPECT_TRUE(parse(arguments.list()).settings.lutExport);

    // Base64 paths are cut at the first NUL, read as UTF-8 (as Latin-1 when
    // they are not UTF-8), and characters outside the base64 alphabet are skipped.
    arguments.lutBase = QString::fromLatin1(QByteArray("/tmp/a\0/b", 9).toBase64());
    EXPECT_EQ(parse(arguments.list()).settings.lutBasePath, QStringLiteral("/tmp/a"));
    EXPECT_EQ(decodePathArgument(base64Path(QStringLiteral("/tmp/Bücher/ß"))), QStringLiteral("/tmp/Bücher/ß"));
    EXPECT_EQ(decodePathArgument(QStringLiteral("L3Rt*cC9h")), QStringLiteral("/tmp/a"));
    EXPECT_EQ(decodePathArgument(QString::fromLatin1(QByteArray("/tmp/B\xFC""cher").toBase64())),
              QStringLiteral("/tmp/B\u00FCcher"));
}

// Words are exact and case-sensitive; position 8 is read only with LUT export;
// numbers that do not parse read as 0.
TEST(CommandLine, WordsOfTheSwitchesAndNumbers)
{
    const QString lut = base64Path(QStringLiteral("/tmp/look"));
    const struct {
        QString openCL, lightness, lutBase, lutSize, strength;
        bool useOpenCL, matchLightness, lutExport;
        int size;
        float strengthValue;
    } cases[] = {
        {"on", "off", "none", "16", "1", true, false, false, 16, 1.0f}, // the host's usual words
        {"off", "on", lut, "33", "0.25", false, true, true, 33, 0.25f},
        {"OFF", "ON", "none", "64", "-0.5", true, false, false, 16, -0.5f},
        {"Off", "none", "none", "many", "strong", true, false, false, 16, 0.0f},
        {"off", "on", lut, "2", "", false, true, true, 2, 0.0f},
        {"", "", lut, "256", "1e-1", true, false, true, 256, 0.1f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        HostArguments arguments;
        arguments.openCL = c.openCL;
        arguments.lightness = c.lightness;
        arguments.lutBase = c.lutBase;
        arguments.lutSize = c.lutSize;
        arguments.strength = c.strength;
        const Parsed parsed = parse(arguments.list());
        ASSERT_EQ(parsed.status, 0);
        EXPECT_EQ(parsed.settings.useOpenCL, c.useOpenCL);
        EXPECT_EQ(parsed.settings.taskUseOpenCL, c.useOpenCL);
        EXPECT_EQ(parsed.settings.matchLightness, c.matchLightness);
        EXPECT_EQ(parsed.settings.lutExport, c.lutExport);
        EXPECT_EQ(parsed.settings.lutSize, c.size);
        EXPECT_FLOAT_EQ(parsed.run.strength, c.strengthValue);
    }
}

TEST(CommandLine, RefusesWhatCannotWork)
{
    QStringList eleven = HostArguments().list();
    eleven.removeLast();
    EXPECT_EQ(parse(eleven).status, exitStatus::usage);

    HostArguments arguments;
    arguments.lutBase = base64Path(QStringLiteral("/tmp/look"));
    for (const char *size : {"1", "0", "-4", "257", "lots"}) {
        arguments.lutSize = QString::fromLatin1(size);
        EXPECT_EQ(parse(arguments.list()).status, exitStatus::usage) << size;
    }
    const std::pair<const char *, int> formats[] = {{"xyz", exitStatus::usage}, {"", exitStatus::usage},
                                                    {"png.exe", exitStatus::usage}, {"png", 0}, {"jpg", 0},
                                                    {"tif", 0}, {"bmp", 0}, {"webp", 0}, {"PNG", 0}};
    for (const auto &[format, status] : formats) {
        HostArguments withFormat;
        withFormat.format = QString::fromLatin1(format);
        EXPECT_EQ(parse(withFormat.list()).status, status) << format;
    }
}
