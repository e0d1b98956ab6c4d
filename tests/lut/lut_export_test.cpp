// SPDX-License-Identifier: GPL-3.0-or-later
// The LUT export in-process: the unwrapped PNG is the matched lattice block, the
// cube a plain tetrahedral resampling of it that OpenColorIO reads back.
#include "encoders/cube_format.h"
#include "lut/lut.h"
#include "matching/matching.h"

#include "support/test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#ifdef MATCHENGINE_TEST_OPENCOLORIO
#include <OpenColorIO/OpenColorIO.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#ifdef MATCHENGINE_TEST_OPENCOLORIO
namespace OCIO = OCIO_NAMESPACE;
#endif
using namespace testing_support;

namespace {

// A cube file's entries (R, G, B, red fastest): n * n * n lines of three
// numbers with six decimals, after a head of six lines.
std::vector<cv::Vec3d> cubeEntries(const QString &path, int n)
{
    const QList<QByteArray> lines = fromPlatformLines(readFileBytes(path)).split('\n');
    EXPECT_EQ(lines.size(), 6 + n * n * n + 2);
    std::vector<cv::Vec3d> entries;
    for (int k = 0; k < n * n * n && 6 + k < lines.size(); ++k) {
        const QList<QByteArray> numbers = lines[6 + k].split(' ');
        EXPECT_EQ(numbers.size(), 3) << "entry " << k;
        cv::Vec3d entry;
        for (int channel = 0; channel < 3 && channel < numbers.size(); ++channel) {
            EXPECT_EQ(numbers[channel].size(), 8) << "entry " << k;
            entry[channel] = numbers[channel].toDouble();
        }
        entries.push_back(entry);
    }
    return entries;
}

} // namespace

TEST(LutExport, UnwrappedPngAndCubeFollowTheMatchedLattice)
{
    QTemporaryDir dir;
    cv::Mat target, hidden;
    cv::resize(decodeBytes(readFileBytes(samplePath("chelsea.png"))), target, cv::Size(150, 100));
    // Its left third green and hidden: the export counts every pixel, as the picture below does.
    target.colRange(0, 50).setTo(cv::Scalar(0, 255, 0));
    cv::cvtColor(target, hidden, cv::COLOR_BGR2BGRA);
    hidden.colRange(0, 50).setTo(cv::Scalar(0, 255, 0, 0));
    const QByteArray targetBytes = encoded(hidden);
    const QByteArray referenceBytes = readFileBytes(samplePath("rocket.jpg"));
    const EngineSettings saved = engineSettings();

    // The lattice block of the stacked target, matched as a picture: every
    // colour of 16 levels, red fastest, blue slowest.
    LatticeGeometry geometry;
    const cv::Mat stacked = stackLattice(target.getUMat(cv::ACCESS_READ), geometry).getMat(cv::ACCESS_READ).clone();
    QStringList failures;
    testing::internal::CaptureStderr();
    const cv::Mat matchedStack =
        matchColors(encoded(stacked), referenceBytes, false, 1.0f, failures).getMat(cv::ACCESS_READ).clone();
    const cv::Mat lattice = matchedStack.rowRange(0, geometry.blockRows).clone().reshape(3, 1);
    for (int k = 0; k < 4096; ++k)
        ASSERT_EQ(stacked.rowRange(0, geometry.blockRows).clone().reshape(3, 1).at<cv::Vec3b>(0, k),
                  cv::Vec3b(k / 256 * 17, k / 16 % 16 * 17, k % 16 * 17)) << "entry " << k;

    for (const int n : {2, 17, 33}) {
        SCOPED_TRACE(testing::Message() << "size " << n);
        engineSettings().lutSize = n;
        // A name of its own per size: OpenColorIO keeps what it read by file name.
        const QString base = dir.filePath(QStringLiteral("look%1").arg(n));
        engineSettings().lutBasePath = base;
        EXPECT_EQ(matchColors(targetBytes, referenceBytes, true, 1.0f, failures).size(), cv::Size(10, 10));
        EXPECT_TRUE(failures.isEmpty());

        // Unwrapped: 16 tiles side by side, one per blue level; red across, green down.
        const cv::Mat unwrapped = cv::imread((base + "_unwrapped.png").toStdString(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(unwrapped.type(), CV_8UC3);
        ASSERT_EQ(unwrapped.size(), cv::Size(256, 16));
        std::vector<cv::Vec3f> table(4096);
        for (int k = 0; k < 4096; ++k) {
            const cv::Vec3b bgr = unwrapped.at<cv::Vec3b>(k / 16 % 16, k / 256 * 16 + k % 16);
            ASSERT_EQ(bgr, lattice.at<cv::Vec3b>(0, k)) << "entry " << k;
            table[size_t(k)] = cv::Vec3f(bgr[2], bgr[1], bgr[0]) / 255.0f;
        }

        // The cube: its head, then every point of an n-level lattice, the
        // picture's table resampled by the tetrahedral kernel (CubeKernel's tests
        // hold the kernel itself to an exact expectation).
        const QString cube = base + "_cube.cube";
        EXPECT_TRUE(fromPlatformLines(readFileBytes(cube))
                        .contains(QStringLiteral("\nTITLE \"Colvane LUT_%1\"\nLUT_3D_SIZE %1\n").arg(n).toLatin1()));
        const std::vector<cv::Vec3d> entries = cubeEntries(cube, n);
        ASSERT_EQ(entries.size(), size_t(n * n * n));
#ifdef MATCHENGINE_TEST_OPENCOLORIO // not in the Windows build
        OCIO::FileTransformRcPtr transform = OCIO::FileTransform::Create();
        transform->setSrc(cube.toStdString().c_str());
        transform->setInterpolation(OCIO::INTERP_TETRAHEDRAL);
        const auto reader = OCIO::Config::CreateRaw()->getProcessor(transform)->getDefaultCPUProcessor();
#endif
        for (int k = 0; k < n * n * n; ++k) {
            float rgb[3] = {float(k % n) / (n - 1), float(k / n % n) / (n - 1), float(k / (n * n)) / (n - 1)};
            const cv::Vec3d expected = tetrahedral(table.data(), 16, rgb[0] * 15.0, rgb[1] * 15.0, rgb[2] * 15.0);
            EXPECT_LT(cv::norm(entries[size_t(k)] - expected, cv::NORM_INF), 1e-6) << "entry " << k;
#ifdef MATCHENGINE_TEST_OPENCOLORIO
            reader->applyRGB(rgb);
            EXPECT_LT(cv::norm(entries[size_t(k)] - cv::Vec3d(rgb[0], rgb[1], rgb[2]), cv::NORM_INF), 1e-5) << k;
#endif
        }
    }
    testing::internal::GetCapturedStderr();
    engineSettings() = saved;
}

// The exact text of the smallest cube, from the identity lattice; written over
// a longer file, the old one is replaced whole.
TEST(CubeFile, IdentityOfSizeTwoMatchesTheGoldenFile)
{
    QByteArray golden = readFileBytes(MATCHENGINE_TEST_DATA_DIR "/cube_size2.cube");
    golden.replace("\r", ""); // however the checkout stored its line ends
    QTemporaryDir dir;
    QFile old(dir.filePath("identity_cube.cube"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write(QByteArray(50000, 'x')) == 50000);
    old.close();
    EXPECT_EQ(writeCubeFile(buildCubeText(makeOutputLattice(2), 2), dir.filePath("identity")), QString());
    // CR LF line ends on Windows, otherwise the same bytes.
    EXPECT_EQ(fromPlatformLines(readFileBytes(old.fileName())), golden);
}

// Through the real engine, as a host asks: the cube of 16 points exported for a
// target holds, entry by entry, what the image path gives the same colours.
// The export lets the lattice ride on top of copies of the target, so the
// image path is given that very stack, whose statistics are the export's.
TEST(LutExport, TheRealEnginesCubeIsItsImagePathsMatchOfTheLatticeColours)
{
    struct Case {
        const char *name;
        const char *lightness;
        const char *strength;
    };
    const Case cases[] = {{"lightness kept", "off", "1"}, {"lightness matched", "on", "1"}, {"half strength", "off", "0.5"}};
    cv::Mat target;
    cv::resize(decodeBytes(readFileBytes(samplePath("chelsea.png"))), target, cv::Size(200, 130));
    LatticeGeometry geometry;
    const cv::Mat stacked = stackLattice(target.getUMat(cv::ACCESS_READ), geometry).getMat(cv::ACCESS_READ).clone();
    const QByteArray reference = readFileBytes(samplePath("rocket.jpg"));
    for (const Case &row : cases) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        HostArguments exportLut;
        exportLut.lutBase = base64Path(dir.filePath("look"));
        exportLut.lutSize = "16";
        exportLut.lightness = row.lightness;
        exportLut.strength = row.strength;
        const EngineRun exported = runEngine(exportLut.list(), frameRequest(encoded(target), reference));
        ASSERT_EQ(exported.exitCode, 0) << exported.err.toStdString();
        HostArguments matchStack = exportLut;
        matchStack.lutBase = "none";
        const EngineRun matched = runEngine(matchStack.list(), frameRequest(encoded(stacked), reference));
        ASSERT_EQ(matched.exitCode, 0) << matched.err.toStdString();
        const cv::Mat block = decodeBytes(matched.out).rowRange(0, geometry.blockRows).clone().reshape(3, 1);

        const std::vector<cv::Vec3d> entries = cubeEntries(dir.filePath("look_cube.cube"), 16);
        ASSERT_EQ(entries.size(), 4096u);
        int differing = 0;
        for (int k = 0; k < 4096; ++k) {
            // Both red fastest, blue slowest; the block holds B, G, R.
            const cv::Vec3b pixel = block.at<cv::Vec3b>(0, k);
            for (int channel = 0; channel < 3; ++channel)
                if (std::lround(entries[size_t(k)][channel] * 255) != pixel[2 - channel] && ++differing <= 5)
                    ADD_FAILURE() << "entry " << k << " channel " << channel << ": cube " << entries[size_t(k)][channel]
                                  << ", image path " << int(pixel[2 - channel]);
        }
        EXPECT_EQ(differing, 0);
    }
}

// With depth 16 the cube is the deep transform of its own lattice colours:
// through the real binary, every entry equals the deep image match of that
// very colour, carried as hidden rows (alpha 0, so they do not steer the
// statistics) below a visible 16-bit photograph; and the unwrapped picture is
// that 16-level lattice in 16 bits.
TEST(LutExport, DeepCubeEqualsTheDeepMatchOfItsLatticeColours)
{
    constexpr int n = 16, step = 65535 / (n - 1), width = 256;
    cv::Mat photo;
    cv::resize(decodeBytes(readFileBytes(samplePath("chelsea.png"))), photo, cv::Size(width, 160), 0, 0,
               cv::INTER_AREA);
    photo.convertTo(photo, CV_16U, 257.0, 40.0);
    cv::GaussianBlur(photo, photo, cv::Size(3, 3), 0.8);
    cv::Mat carrier(photo.rows + n * n * n / width, width, CV_16UC4, cv::Scalar::all(65535));
    cv::Mat visible = carrier.rowRange(0, photo.rows);
    const int colourPlanes[] = {0, 0, 1, 1, 2, 2};
    cv::mixChannels(&photo, 1, &visible, 1, colourPlanes, 3);
    for (int k = 0; k < n * n * n; ++k) // red fastest, blue slowest, as in the cube
        carrier.at<cv::Vec4w>(photo.rows + k / width, k % width) =
            cv::Vec4w(ushort(k / (n * n) * step), ushort(k / n % n * step), ushort(k % n * step), 0);
    const QByteArray reference = readFileBytes(samplePath("rocket.jpg"));

    for (const bool matchLightness : {false, true}) {
        SCOPED_TRACE(testing::Message() << "lightness matched " << matchLightness);
        QTemporaryDir dir;
        const QString base = dir.filePath(QStringLiteral("deep"));
        HostArguments image;
        image.options = QStringLiteral("matchengine-options/1;depth=16");
        image.lightness = matchLightness ? "on" : "off";
        image.strength = "0.8";
        const EngineRun matchedRun = runEngine(image.list(), frameRequest(encoded(carrier), reference));
        ASSERT_EQ(matchedRun.exitCode, 0) << matchedRun.err.toStdString();
        const cv::Mat result = decodeBytes(matchedRun.out, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(result.type(), CV_16UC4);

        HostArguments lut = image;
        lut.lutBase = base64Path(base);
        lut.lutSize = QString::number(n);
        const EngineRun lutRun = runEngine(lut.list(), frameRequest(encoded(photo), reference));
        ASSERT_EQ(lutRun.exitCode, 0) << lutRun.err.toStdString();
        const std::vector<cv::Vec3d> entries = cubeEntries(base + "_cube.cube", n);
        ASSERT_EQ(entries.size(), size_t(n * n * n));
        const cv::Mat unwrapped = cv::imread((base + "_unwrapped.png").toStdString(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(unwrapped.type(), CV_16UC3);
        ASSERT_EQ(unwrapped.size(), cv::Size(256, 16));

        double largest = 0, largestUnwrapped = 0;
        int offTheEightBitScale = 0;
        for (int k = 0; k < n * n * n; ++k) {
            const cv::Vec4w matched = result.at<cv::Vec4w>(photo.rows + k / width, k % width);
            const cv::Vec3w tile = unwrapped.at<cv::Vec3w>(k / n % n, k / (n * n) * n + k % n);
            for (int channel = 0; channel < 3; ++channel) { // the cube's R, G, B
                const double entry = entries[size_t(k)][channel];
                largest = std::max(largest, std::abs(entry - matched[2 - channel] / 65535.0));
                largestUnwrapped = std::max(largestUnwrapped, std::abs(double(tile[2 - channel]) - matched[2 - channel]));
                offTheEightBitScale += std::abs(entry * 255.0 - std::round(entry * 255.0)) > 0.01 ? 1 : 0;
            }
        }
        std::printf("deep cube against the image match: largest difference %.2e, unwrapped %.0f of 65535\n",
                    largest, largestUnwrapped);
        // Half a 16-bit level of the image's rounding, half a millionth of the
        // cube's, and the single-precision difference of the two evaluations (the
        // lattice colour read from 16-bit levels or built as i / 15): 1e-5 here.
        EXPECT_LE(largest, 2e-5);
        EXPECT_LE(largestUnwrapped, 1.0);
        EXPECT_GT(offTheEightBitScale, n * n * n);
    }
}
