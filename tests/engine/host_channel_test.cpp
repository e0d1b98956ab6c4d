// Request framing, the size file, result encoding and atomic file writes.
#include "engine/engine.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

using testing_support::base64Path;
using testing_support::frameRequest;

namespace {

QByteArray bigEndian(qint32 value)
{
    const quint32 v = static_cast<quint32>(value);
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(bytes, 4);
}

int statusOfSplit(const QByteArray &request, QString *message = nullptr)
{
    try {
        splitRequest(request);
    } catch (const EngineError &error) {
        if (message)
            *message = QString::fromStdString(error.what());
        return error.status;
    }
    return 0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

cv::Mat noisyImage()
{
    cv::Mat image(40, 60, CV_8UC3);
    cv::randu(image, 0, 256);
    return image;
}

} // namespace

TEST(RequestFraming, SplitsExactlyAndIgnoresTheFirstIntegerAndTrailingBytes)
{
    const QByteArray target("target-bytes\0\1\2", 15);
    const QByteArray reference("ref");
    // Built by hand: [first][TL][target][RL][reference][tail].
    const QByteArray request = bigEndian(-123456) + bigEndian(target.size()) + target + bigEndian(reference.size())
        + reference + QByteArray("trailing junk");
    const SplitRequest split = splitRequest(request);
    EXPECT_EQ(split.targetBytes, target);
    EXPECT_EQ(split.referenceBytes, reference);

    EXPECT_EQ(splitRequest(frameRequest(target, reference, 7)).targetBytes, target);
}

TEST(RequestFraming, MissingFieldsReadAsEmptyImages)
{
    SplitRequest split = splitRequest(QByteArray());
    EXPECT_TRUE(split.targetBytes.isEmpty());
    EXPECT_TRUE(split.referenceBytes.isEmpty());

    split = splitRequest(bigEndian(0) + bigEndian(3) + QByteArray("abc"));
    EXPECT_EQ(split.targetBytes, QByteArray("abc"));
    EXPECT_TRUE(split.referenceBytes.isEmpty());
}

TEST(RequestFraming, RefusesLengthsThatLeaveTheRequest)
{
    QString message;
    const QByteArray shortTarget = bigEndian(0) + bigEndian(5000000) + QByteArray(1226, 'x');
    EXPECT_EQ(statusOfSplit(shortTarget, &message), exitStatus::dataError);
    EXPECT_EQ(message, QStringLiteral("target length 5000000 exceeds the 1226 bytes received"));

    const QByteArray negativeTarget = bigEndian(0) + bigEndian(-1) + QByteArray(20, 'x');
    EXPECT_EQ(statusOfSplit(negativeTarget, &message), exitStatus::dataError);
    EXPECT_TRUE(message.startsWith(QStringLiteral("target length -1"))) << message.toStdString();

    const QByteArray longReference = bigEndian(0) + bigEndian(2) + QByteArray("ab") + bigEndian(10) + "abc";
    EXPECT_EQ(statusOfSplit(longReference, &message), exitStatus::dataError);
    EXPECT_EQ(message, QStringLiteral("reference length 10 exceeds the 3 bytes received"));

    const QByteArray negativeReference = bigEndian(0) + bigEndian(2) + QByteArray("ab") + bigEndian(-2147483647 - 1);
    EXPECT_EQ(statusOfSplit(negativeReference, &message), exitStatus::dataError);
    EXPECT_TRUE(message.startsWith(QStringLiteral("reference length"))) << message.toStdString();
}

TEST(SizeFile, HoldsWidthXHeightWithoutLineEnd)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("size.txt"));
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("a much longer previous content\n");
    old.close();

    writeSizeFile(base64Path(path), 640, 480);
    EXPECT_EQ(readAll(path), QByteArray("640x480"));

    // An unwritable size file is no reason to fail the request.
    writeSizeFile(base64Path(dir.filePath(QStringLiteral("missing/size.txt"))), 1, 2);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("missing/size.txt"))));
}

TEST(ResultEncoding, FollowsTheFormatTable)
{
    const cv::Mat image = noisyImage();
    auto bytesOf = [](const std::vector<uchar> &v) { return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size())); };
    auto encodedWith = [&](const char *extension, std::vector<int> parameters) {
        std::vector<uchar> bytes;
        cv::imencode(extension, image, bytes, parameters);
        return bytesOf(bytes);
    };

    const QByteArray png = bytesOf(encodeResult(image.getUMat(cv::ACCESS_READ), QStringLiteral("png")));
    EXPECT_TRUE(png.startsWith("\x89PNG"));
    EXPECT_EQ(png, encodedWith(".png", {cv::IMWRITE_PNG_COMPRESSION, 5}));

    const QByteArray jpg = bytesOf(encodeResult(image.getUMat(cv::ACCESS_READ), QStringLiteral("jpg")));
    EXPECT_TRUE(jpg.startsWith("\xFF\xD8"));
    EXPECT_EQ(jpg, encodedWith(".jpg", {cv::IMWRITE_JPEG_QUALITY, 99}));
    EXPECT_NE(jpg, encodedWith(".jpg", {}));

    const QByteArray tif = bytesOf(encodeResult(image.getUMat(cv::ACCESS_READ), QStringLiteral("tif")));
    EXPECT_TRUE(tif.startsWith("II*") || tif.startsWith("MM")) << tif.left(4).toHex().toStdString();

    // Capitals are not the "png" word: the default parameters apply.
    const QByteArray capitals = bytesOf(encodeResult(image.getUMat(cv::ACCESS_READ), QStringLiteral("PNG")));
    EXPECT_TRUE(capitals.startsWith("\x89PNG"));
    EXPECT_EQ(capitals, encodedWith(".PNG", {0, 0}));

    const cv::Mat decoded = testing_support::decodeBytes(png);
    EXPECT_EQ(cv::norm(decoded, image, cv::NORM_INF), 0.0);

    try {
        encodeResult(cv::UMat(), QStringLiteral("png"));
        FAIL() << "an empty image was encoded";
    } catch (const EngineError &error) {
        EXPECT_EQ(error.status, exitStatus::software);
    }
}

TEST(AtomicFiles, ReplaceWholeOrLeaveNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.bin"));
    QString reason;
    ASSERT_TRUE(saveFileAtomically(path, QByteArray(1000, 'o'), false, &reason));
    ASSERT_TRUE(saveFileAtomically(path, QByteArray("new"), false, &reason));
    EXPECT_EQ(readAll(path), QByteArray("new"));

    const QString missing = dir.filePath(QStringLiteral("no/such/dir/result.bin"));
    EXPECT_FALSE(saveFileAtomically(missing, QByteArray("x"), false, &reason));
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_FALSE(QFile::exists(missing));
    // No temporary files are left beside the result.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("result.bin")});
}
