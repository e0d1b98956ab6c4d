// Request framing, the size file, result encoding and atomic file writes.
#include "engine/engine.h"
#include "png/png.h"

#include "support/test_support.h"

#include <QDir>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

using testing_support::base64Path;
using testing_support::readFileBytes;

namespace {

QByteArray bigEndian(qint32 value)
{
    const quint32 v = static_cast<quint32>(value);
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(bytes, 4);
}

} // namespace

// [first][TL][target][RL][reference][tail], built by hand: the first integer and
// the tail are ignored, a missing length reads as an empty image, and a length
// that leaves the request is refused.
TEST(RequestFraming, SplitsExactlyOrRefusesLengthsThatLeaveTheRequest)
{
    const QByteArray target("target-bytes\0\1\2", 15);
    const struct {
        const char *name;
        QByteArray request, target, reference;
        std::string error;
    } cases[] = {
        {"whole request", bigEndian(-123456) + bigEndian(15) + target + bigEndian(3) + "ref" + "trailing junk", target,
         "ref", ""},
        {"empty request", QByteArray(), "", "", ""},
        {"no reference length", bigEndian(0) + bigEndian(3) + "abc", "abc", "", ""},
        {"oversized target", bigEndian(0) + bigEndian(5000000) + QByteArray(1226, 'x'), "", "",
         "target length 5000000 exceeds the 1226 bytes received"},
        {"negative target", bigEndian(0) + bigEndian(-1) + QByteArray(20, 'x'), "", "", "target length -1 is negative"},
        {"reference one byte longer", bigEndian(0) + bigEndian(2) + "ab" + bigEndian(4) + "abc", "", "",
         "reference length 4 exceeds the 3 bytes received"},
        {"negative reference", bigEndian(0) + bigEndian(2) + "ab" + bigEndian(-2147483647 - 1), "", "",
         "reference length -2147483648 is negative"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            const SplitRequest split = splitRequest(c.request);
            EXPECT_EQ(c.error, "");
            EXPECT_EQ(split.targetBytes, c.target);
            EXPECT_EQ(split.referenceBytes, c.reference);
        } catch (const EngineError &error) {
            EXPECT_EQ(error.status, exitStatus::dataError);
            EXPECT_EQ(error.what(), c.error);
        }
    }
}

// png through the project's writer (OpenCV's, compression 1, for samples it
// does not take), jpg with its quality; any other word is an extension with
// OpenCV's defaults, capitals included.
TEST(ResultEncoding, FollowsTheFormatTable)
{
    cv::Mat image(40, 60, CV_8UC3);
    cv::randu(image, 0, 256);
    EXPECT_TRUE(encodeResult(image.getUMat(cv::ACCESS_READ), QStringLiteral("png")) == encodePng(image));
    cv::Mat floating;
    image.convertTo(floating, CV_32F);
    std::vector<uchar> fallback;
    ASSERT_TRUE(cv::imencode(".png", floating, fallback, {cv::IMWRITE_PNG_COMPRESSION, 1}));
    EXPECT_TRUE(encodeResult(floating.getUMat(cv::ACCESS_READ), QStringLiteral("png")) == fallback);
    const struct {
        const char *format, *extension;
        std::vector<int> parameters;
    } cases[] = {
        {"jpg", ".jpg", {cv::IMWRITE_JPEG_QUALITY, 99}},
        {"tif", ".tif", {}},
        {"PNG", ".PNG", {}},
    };
    for (const auto &c : cases) {
        std::vector<uchar> expected;
        ASSERT_TRUE(cv::imencode(c.extension, image, expected, c.parameters));
        EXPECT_TRUE(encodeResult(image.getUMat(cv::ACCESS_READ), QString::fromLatin1(c.format)) == expected)
            << c.format;
    }
    try {
        encodeResult(cv::UMat(), QStringLiteral("png"));
        FAIL() << "an empty image was encoded";
    } catch (const EngineError &error) {
        EXPECT_EQ(error.status, exitStatus::software);
    }
}

// The result and size files: replaced whole or left alone; the size file holds
// "WxH" without a line end and fails silently.
TEST(AtomicFiles, ReplaceWholeOrLeaveNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("size.txt"));
    QString reason;
    ASSERT_TRUE(saveFileAtomically(path, "a much longer previous content\n", false, &reason));
    writeSizeFile(base64Path(path), 640, 480);
    EXPECT_EQ(readFileBytes(path), QByteArray("640x480"));
    writeSizeFile(base64Path(dir.filePath(QStringLiteral("missing/size.txt"))), 1, 2);

    const QString missing = dir.filePath(QStringLiteral("no/such/dir/result.bin"));
    EXPECT_FALSE(saveFileAtomically(missing, QByteArray("x"), false, &reason));
    EXPECT_FALSE(reason.isEmpty());
    // Nothing in the missing folders, no temporary files beside the result.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("size.txt")});
}
