// SPDX-License-Identifier: GPL-3.0-or-later
// A batch list's bytes split into names, and result lines read back as JSON.
#include "colormatch/batch_list.h"
#include "colormatch/platform.h"
#include "colormatch/result_lines.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextCodec>

#include <gtest/gtest.h>

#include <cmath>

// The list file's bytes as shells, editors and find write them.
TEST(BatchList, SplitsLinesOrNulSeparatedNamesKeepingEveryByte)
{
    keepFileNameBytes(); // names in any bytes, as colormatch takes them
    const struct {
        const char *what;
        QByteArray list;
        bool nul;
        QList<QByteArray> names; // as bytes
    } cases[] = {
        {"lines", "a.png\nshots/b.jpg\n", false, {"a.png", "shots/b.jpg"}},
        {"no last line end", "a.png\nb.jpg", false, {"a.png", "b.jpg"}},
        {"CR LF", "a.png\r\nb.jpg\r\n", false, {"a.png", "b.jpg"}},
        {"blank lines", "\na.png\n\n  \t\r\n\r\nb.jpg\n\n", false, {"a.png", "b.jpg"}},
        {"spaces belong to the name", " my photo.png \n", false, {" my photo.png "}},
        {"byte-order mark", "\xEF\xBB\xBF" "a.png\r\n", false, {"a.png"}},
        {"NUL found", QByteArray("a\nb.png\0c.png\0", 14), false, {"a\nb.png", "c.png"}},
        {"NUL asked for", "a\nb.png", true, {"a\nb.png"}},
        {"NUL, empty entries", QByteArray("\0a.png\0\0", 8), true, {"a.png"}},
        {"not UTF-8", "caf\xE9.png\n\xFF\xFE.jpg\n", false, {"caf\xE9.png", "\xFF\xFE.jpg"}},
        {"empty", "", false, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QList<QByteArray> names;
        for (const QString &name : batchListNames(c.list, c.nul))
            names << QFile::encodeName(name);
        EXPECT_EQ(names, c.names);
    }
    // Read as UTF-8, a leading mark is dropped by the decoding already; in a
    // Latin-1 locale (or a Windows code page) it would be three characters.
    QTextCodec *const locale = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    EXPECT_EQ(batchListNames("\xEF\xBB\xBF" "a.png\n\xE9.png\n", false), (QStringList{"a.png", "\u00E9.png"}));
    QTextCodec::setCodecForLocale(locale);
}

// Every line is one JSON object that parses, whatever the names hold.
TEST(ResultLines, AreOneJsonObjectALineForAnyName)
{
    keepFileNameBytes();
    const QString latin1Name = QFile::decodeName("caf\xE9.png");
    const struct {
        const char *what;
        ImageProgress image;
        QJsonObject expected;
    } cases[] = {
        {"done",
         {"a.png", {}, ImageStage::done, "wrote out/a.png (4 x 3)", "shots/a.png", "out/a.png", 0, {}},
         {{"input", "shots/a.png"}, {"output", "out/a.png"}, {"status", "done"}, {"exit", 0},
          {"message", "wrote out/a.png (4 x 3)"}, {"seconds", 0}}},
        {"failed, no output",
         {"b.png", {}, ImageStage::failed, "b.png does not exist", "b.png", "", 66, {}},
         {{"input", "b.png"}, {"output", QJsonValue::Null}, {"status", "failed"}, {"exit", 66},
          {"message", "b.png does not exist"}, {"seconds", 0}}},
        {"control characters and quotes",
         {"x", {}, ImageStage::done, "wrote \"a\tb\x01\".png", "a\tb\x01\n\"\\.png", "o/a\tb.png", 0, {}},
         {{"input", "a\tb\x01\n\"\\.png"}, {"output", "o/a\tb.png"}, {"status", "done"}, {"exit", 0},
          {"message", "wrote \"a\tb\x01\".png"}, {"seconds", 0}}},
        {"not UTF-8",
         {"x", {}, ImageStage::done, "wrote out/" + latin1Name, latin1Name, "out/" + latin1Name, 0, {}},
         {{"input", "caf\\xE9.png"}, {"input_bytes", QString(QByteArray("caf\xE9.png").toBase64())},
          {"output", "out/caf\\xE9.png"}, {"output_bytes", QString(QByteArray("out/caf\xE9.png").toBase64())},
          {"status", "done"}, {"exit", 0}, {"message", "wrote out/caf\\xE9.png"}, {"seconds", 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray line = resultLineJson(c.image);
        ASSERT_TRUE(line.endsWith('\n'));
        EXPECT_EQ(line.count('\n'), 1) << line.toStdString();
        EXPECT_EQ(QString::fromUtf8(line).toUtf8(), line) << "valid UTF-8";
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_EQ(document.object(), c.expected) << line.toStdString();
    }
    // Seconds from the image's clock, to the millisecond.
    ImageProgress timed{"t", {}, ImageStage::done, "", "t.png", "o.png", 0, {}};
    timed.clock.start();
    const double seconds = QJsonDocument::fromJson(resultLineJson(timed)).object().value("seconds").toDouble(-1);
    EXPECT_GE(seconds, 0.0);
    EXPECT_EQ(seconds, std::round(seconds * 1000) / 1000);
}
