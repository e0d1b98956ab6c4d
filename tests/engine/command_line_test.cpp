// SPDX-License-Identifier: GPL-3.0-or-later
// The host's twelve positions, read in-process: words are exact and
// case-sensitive, position 8 is read only with LUT export, numbers that do not
// parse read as 0, paths are base64 of UTF-8 (Latin-1 when the bytes are not
// UTF-8) cut at the first NUL.
#include "engine/engine.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

using testing_support::base64Path;
using testing_support::HostArguments;

TEST(CommandLine, WordsNumbersAndPaths)
{
    const QString lut = base64Path(QStringLiteral("/tmp/Bücher/ß"));
    const QString cut = QString::fromLatin1(QByteArray("/tmp/a\0/b", 9).toBase64());
    const QString latin1 = QString::fromLatin1(QByteArray("/tmp/B\xFC" "cher").toBase64());
    const struct {
        QString openCL, lightness, lutBase, lutSize, strength;
        bool useOpenCL, matchLightness;
        QString lutPath; // empty: no LUT export
        int size; // 0: refused
        float strengthValue;
    } cases[] = {
        {"on", "off", "none", "16", "1", true, false, "", 16, 1.0f}, // the host's usual words
        {"off", "on", lut, "33", "0.25", false, true, "/tmp/Bücher/ß", 33, 0.25f},
        {"OFF", "ON", "none", "64", "-0.5", true, false, "", 16, -0.5f},
        {"Off", "none", "None", "many", "strong", true, false, "refused: LUT size 0", 0, 0.0f},
        {"off", "on", cut, "2", "", false, true, "/tmp/a", 2, 0.0f},
        {"", "", "L3Rt*cC9h", "256", "1e-1", true, false, "/tmp/a", 256, 0.1f}, // '*' is skipped
        {"on", "off", latin1, "16", "2", true, false, "/tmp/B\u00FCcher", 16, 2.0f}, // not UTF-8: Latin-1
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        HostArguments arguments;
        arguments.openCL = c.openCL;
        arguments.lightness = c.lightness;
        arguments.lutBase = c.lutBase;
        arguments.lutSize = c.lutSize;
        arguments.strength = c.strength;
        EngineSettings settings;
        RunValues run;
        try {
            run = parseCommandLine(QStringList{QStringLiteral("matchengine")} + arguments.list(), settings);
        } catch (const EngineError &error) {
            EXPECT_EQ(error.status, exitStatus::usage);
            EXPECT_EQ(c.size, 0) << error.what();
            continue;
        }
        EXPECT_EQ(settings.useOpenCL, c.useOpenCL);
        EXPECT_EQ(settings.taskUseOpenCL, c.useOpenCL);
        EXPECT_EQ(settings.matchLightness, c.matchLightness);
        EXPECT_EQ(settings.lutExport, !c.lutPath.isEmpty());
        EXPECT_EQ(settings.lutBasePath, c.lutPath);
        EXPECT_EQ(settings.lutSize, c.size);
        EXPECT_FLOAT_EQ(run.strength, c.strengthValue);
        EXPECT_EQ(run.resultFormat, QStringLiteral("png"));
    }
}

// Position 2: our hosts' request options are read strictly; any other word, as
// another host may send there, changes nothing. A deep result is 16-bit only
// in the formats that hold 16 bits.
TEST(CommandLine, RequestOptionsAreReadStrictlyAndOtherWordsIgnored)
{
    const struct {
        const char *word;
        double gainLimit; // -1: refused
        const char *error;
        int depth = 8;
        const char *format = "png";
        int resultBits = 8;
    } cases[] = {
        {"1", 0, ""},
        {"", 0, ""},
        {"Matchengine-options/1;gain-limit=2", 0, ""}, // not our prefix: another host's text
        {"matchengine-options/1", 0, ""},
        {"matchengine-options/1;gain-limit=2.5", 2.5, ""},
        {"matchengine-options/1;gain-limit=1", 1, ""},
        {"matchengine-options/2;gain-limit=2", -1, "request options of version \"2\" are not ones this engine reads"},
        {"matchengine-options/1;gain-limit=0.5", -1, "request option gain-limit=\"0.5\" is not a number of at least 1"},
        {"matchengine-options/1;gain-limit=inf", -1, "is not a number of at least 1"},
        {"matchengine-options/1;colour=deep", -1, "request option \"colour\" is not one this engine knows (it knows "
                                                  "depth, gain-limit)"},
        {"matchengine-options/1;gain-limit=2;gain-limit=2", -1, "request option gain-limit is given twice"},
        {"matchengine-options/1;gain-limit", -1, "is not of the form name=value"},
        {"matchengine-options/1;depth=16", 0, "", 16, "png", 16},
        {"matchengine-options/1;depth=16;gain-limit=3", 3, "", 16, "pam", 16},
        {"matchengine-options/1;depth=16", 0, "", 16, "tif", 16},
        {"matchengine-options/1;depth=16", 0, "", 16, "tiff", 16},
        {"matchengine-options/1;depth=16", 0, "", 16, "jpg", 8},
        {"matchengine-options/1;depth=16", 0, "", 16, "bmp", 8},
        {"matchengine-options/1;depth=8", 0, "", 8, "png", 8},
        {"1", 0, "", 8, "tif", 8},
        {"matchengine-options/1;depth=12", -1, "request option depth=\"12\" is not 8 or 16"},
        {"matchengine-options/1;depth=x", -1, "request option depth=\"x\" is not 8 or 16"},
        {"matchengine-options/1;depth=", -1, "request option depth=\"\" is not 8 or 16"},
        {"matchengine-options/1;depth=16;depth=16", -1, "request option depth is given twice"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.word << " " << c.format);
        HostArguments host;
        host.options = QString::fromUtf8(c.word);
        host.format = QString::fromUtf8(c.format);
        EngineSettings settings;
        try {
            parseCommandLine(QStringList{QStringLiteral("matchengine")} + host.list(), settings);
            EXPECT_NE(c.gainLimit, -1);
            EXPECT_EQ(settings.gainLimit, c.gainLimit);
            EXPECT_EQ(settings.depth, c.depth);
            EXPECT_EQ(settings.resultBits, c.resultBits);
        } catch (const EngineError &error) {
            EXPECT_EQ(error.status, exitStatus::usage);
            EXPECT_EQ(c.gainLimit, -1);
            EXPECT_TRUE(QString::fromStdString(error.what()).contains(QLatin1String(c.error))) << error.what();
        }
    }
}
