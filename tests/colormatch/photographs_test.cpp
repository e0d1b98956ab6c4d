// SPDX-License-Identifier: GPL-3.0-or-later
// colormatch as photographers use it, through the real programs: orientation,
// metadata and colour profiles kept, output quality chosen.
#include "support/test_support.h"
#include "workspace.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

using testing_support::readFileBytes;

namespace {

Exiv2Image openMetadata(const QString &file)
{
    Exiv2Image image = Exiv2::ImageFactory::open(file.toStdString());
    image->readMetadata();
    return image;
}

double meanDeltaE(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat lab[2];
    for (int i = 0; i < 2; ++i) {
        (i ? b : a).convertTo(lab[i], CV_32FC3, 1.0 / 255);
        cv::cvtColor(lab[i], lab[i], cv::COLOR_BGR2Lab);
    }
    const cv::Mat difference = cv::Mat(lab[0] - lab[1]).reshape(1, int(a.total()));
    cv::Mat squared;
    cv::reduce(difference.mul(difference), squared, 1, cv::REDUCE_SUM);
    cv::sqrt(squared, squared);
    return cv::mean(squared)[0];
}

// The sampling factors of a JPEG's first component: 0x11 is 4:4:4, 0x22 4:2:0.
int lumaSampling(const QByteArray &jpeg)
{
    const int frame = jpeg.indexOf("\xFF\xC0");
    return frame < 0 ? -1 : uchar(jpeg[frame + 11]);
}

} // namespace

TEST(ColormatchPhotographs, OutputsKeepOrientationMetadataAndProfileAndThePreviewIsUpright)
{
    const Workspace folder;
    // Stored 600 x 400, shown 400 x 600.
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Image.XResolution"] = Exiv2::URational(300, 1);
    exif["Exif.Image.YResolution"] = Exiv2::URational(300, 1);
    exif["Exif.Image.ResolutionUnit"] = uint16_t(2);
    exif["Exif.Image.Artist"] = "A. Photographer";
    Exiv2::IptcData iptc;
    iptc["Iptc.Application2.City"] = "Lyon";
    const QByteArray profile = savedProfile(cmsCreate_sRGBProfile());
    writeFile(folder.path("portrait.jpg"), withMetadata(testing_support::encoded(folder.image("coffee.png"), ".jpg"), exif,
                                                        iptc, profile));

    for (const QString output : {"out.jpg", "out.png", "out.tif", "out.webp"}) {
        SCOPED_TRACE(output.toStdString());
        const ProgramRun run = folder.run({"portrait.jpg", "rocket.jpg", "-o", output});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        // WebP has no place for IPTC; the output line says so.
        EXPECT_EQ(run.err.contains("cannot hold the target's IPTC"), output == "out.webp") << run.err.toStdString();
        Exiv2Image kept = openMetadata(folder.path(output));
        EXPECT_EQ(kept->pixelWidth(), 600);
        EXPECT_EQ(exiv2Integer(kept->exifData()["Exif.Image.Orientation"]), 6);
        EXPECT_EQ(kept->exifData()["Exif.Image.XResolution"].toFloat(), 300.0f);
        EXPECT_EQ(kept->exifData()["Exif.Image.Artist"].toString(), "A. Photographer");
        ASSERT_TRUE(kept->iccProfileDefined());
        EXPECT_EQ(exiv2IccProfile(*kept), profile);
    }

    // Every orientation: a 90 x 60 picture, red at its top left and green at its
    // top right as seen, stored turned the other way.
    cv::Mat upright(60, 90, CV_8UC3, cv::Scalar(128, 128, 128));
    upright(cv::Rect(0, 0, 30, 20)).setTo(cv::Scalar(0, 0, 255));
    upright(cv::Rect(60, 0, 30, 20)).setTo(cv::Scalar(0, 255, 0));
    // Stored = flipped (around 0: x, 1: y, -1: both, 2: none) after transposing or not.
    const struct { bool transposed; int flip; } storing[] = {{false, 2}, {false, 1}, {false, -1}, {false, 0},
                                                            {true, 2},  {true, 0},  {true, -1},  {true, 1}};
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        const auto how = storing[orientation - 1];
        cv::Mat stored = how.transposed ? cv::Mat(upright.t()) : upright.clone();
        if (how.flip != 2)
            cv::flip(stored, stored, how.flip);
        Exiv2::ExifData turned;
        turned["Exif.Image.Orientation"] = uint16_t(orientation);
        writeFile(folder.path("turned.png"), withMetadata(testing_support::encoded(stored), turned));
        const ProgramRun run = folder.run({"turned.png", "rocket.jpg", "-o", "turned.jpg", "--preview", "seen.png"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(exiv2Integer(openMetadata(folder.path("turned.jpg"))->exifData()["Exif.Image.Orientation"]), orientation);
        const cv::Mat seen = folder.image("seen.png");
        const int unit = seen.rows / 6; // the target, 90 x 60 as seen, is 9 x 6 units at the left
        const cv::Scalar topLeft = cv::mean(seen(cv::Rect(unit, unit / 2, unit, unit)));
        const cv::Scalar topRight = cv::mean(seen(cv::Rect(7 * unit, unit / 2, unit, unit)));
        EXPECT_TRUE(topLeft[2] > 200 && topLeft[1] < 60 && topRight[1] > 200 && topRight[2] < 60);
    }
}

TEST(ColormatchPhotographs, AReferenceIsMatchedInTheTargetsColourSpace)
{
    const Workspace folder;
    // coffee.png (sRGB, untagged) converted into Adobe RGB, once tagged and once not.
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE adobe = adobeRgb();
    cmsHTRANSFORM toAdobe =
        cmsCreateTransform(srgb, TYPE_BGR_8, adobe, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    const cv::Mat coffee = folder.image("coffee.png");
    cv::Mat inAdobe(coffee.size(), CV_8UC3);
    cmsDoTransform(toAdobe, coffee.data, inAdobe.data, cmsUInt32Number(coffee.total()));
    const QByteArray png = testing_support::encoded(inAdobe);
    writeFile(folder.path("untagged.png"), png);
    writeFile(folder.path("adobe.png"), withMetadata(png, {}, {}, savedProfile(adobe, true)));
    cmsDeleteTransform(toAdobe);
    // A camera's Adobe RGB: no profile, the EXIF interoperability index R03.
    Exiv2::ExifData r03;
    r03["Exif.Iop.InteroperabilityIndex"] = "R03";
    writeFile(folder.path("r03.png"), withMetadata(png, r03));

    for (const char *reference : {"coffee.png", "adobe.png", "untagged.png", "r03.png"}) {
        const ProgramRun run = folder.run({"chelsea.png", reference, "-o", QString(reference) + ".out.png", "--verbose"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    }
    const cv::Mat expected = folder.image("coffee.png.out.png");
    EXPECT_LT(meanDeltaE(folder.image("adobe.png.out.png"), expected), 1.0);
    EXPECT_LT(meanDeltaE(folder.image("r03.png.out.png"), expected), 1.0);
    // The same pixels read as sRGB give another look: the profile made the difference.
    EXPECT_GT(meanDeltaE(folder.image("untagged.png.out.png"), expected), 1.5);

    // A BMP cannot carry the Adobe RGB profile: its colours go to sRGB instead,
    // as a colour-managed viewer shows the tagged PNG.
    ASSERT_EQ(folder.run({"adobe.png", "coffee.png", "-o", "tagged.png"}).exitCode, 0);
    const ProgramRun bmp = folder.run({"adobe.png", "coffee.png", "-o", "plain.bmp"});
    EXPECT_TRUE(bmp.err.contains(" colour profile (its colours converted from ")) << bmp.err.toStdString();
    cmsHTRANSFORM toSrgb = cmsCreateTransform(adobe, TYPE_BGR_8, srgb, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC,
                                              cmsFLAGS_BLACKPOINTCOMPENSATION);
    const cv::Mat inProfile = folder.image("tagged.png");
    cv::Mat shown(inProfile.size(), CV_8UC3);
    cmsDoTransform(toSrgb, inProfile.data, shown.data, cmsUInt32Number(inProfile.total()));
    cmsDeleteTransform(toSrgb);
    cmsCloseProfile(adobe);
    cmsCloseProfile(srgb);
    EXPECT_LT(meanDeltaE(folder.image("plain.bmp"), shown), 0.5);
    EXPECT_GT(meanDeltaE(inProfile, shown), 2.0); // what the BMP showed before
}

TEST(ColormatchPhotographs, OutputQualityIsTheOneAskedFor)
{
    const Workspace folder;
    const QStringList runs[] = {{"-o", "default.jpg"},          {"-o", "q60.jpg", "--quality", "60"},
                                {"-o", "q89.jpg", "--quality", "89"}, {"-o", "q90.jpg", "--quality", "90"},
                                {"-o", "lossy.webp"},           {"-o", "lossless.webp", "--lossless"},
                                {"-o", "level0.png", "--png-level", "0"}, {"-o", "level9.png", "--png-level", "9"},
                                {"-o", "default.png"},          {"-o", "-", "--format", ".jpg"}};
    QByteArray standardOutput;
    for (const QStringList &options : runs) {
        const ProgramRun run = folder.run(QStringList{"chelsea.png", "rocket.jpg"} << options);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        standardOutput += run.out;
    }
    const QByteArray jpeg95 = readFileBytes(folder.path("default.jpg"));
    EXPECT_EQ(lumaSampling(jpeg95), 0x11);
    // -o - writes the very file to standard output, and nothing else.
    EXPECT_EQ(standardOutput, jpeg95);
    // 4:4:4 from quality 90 up.
    EXPECT_EQ(lumaSampling(readFileBytes(folder.path("q89.jpg"))), 0x22);
    EXPECT_EQ(lumaSampling(readFileBytes(folder.path("q90.jpg"))), 0x11);
    // The smallest level is never larger than the default.
    EXPECT_LE(QFileInfo(folder.path("level9.png")).size(), QFileInfo(folder.path("default.png")).size());
    EXPECT_LT(readFileBytes(folder.path("q60.jpg")).size(), jpeg95.size() * 2 / 3);
    const cv::Mat level9 = folder.image("level9.png");
    EXPECT_EQ(cv::norm(folder.image("level0.png"), level9, cv::NORM_INF), 0.0);
    EXPECT_GT(QFileInfo(folder.path("level0.png")).size(), 3 * QFileInfo(folder.path("level9.png")).size() / 2);
    EXPECT_EQ(cv::norm(folder.image("lossless.webp"), level9, cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(folder.image("lossy.webp"), level9, cv::NORM_INF), 0.0);

    // A JPEG has no alpha: said once, as for metadata.
    cv::Mat withAlpha;
    cv::cvtColor(folder.image("chelsea.png"), withAlpha, cv::COLOR_BGR2BGRA);
    cv::imwrite(folder.path("alpha.png").toStdString(), withAlpha);
    const ProgramRun alpha = folder.run({"alpha.png", "rocket.jpg", "-o", "alpha.jpg"});
    EXPECT_TRUE(alpha.err.endsWith("; .jpg files cannot hold the target's alpha\n")) << alpha.err.toStdString();
}
