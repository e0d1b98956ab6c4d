// colormatch as photographers use it, through the real programs: orientation,
// metadata and colour profiles kept, output quality chosen, batches and the
// command line's forgiving spellings.
#include "support/test_support.h"
#include "workspace.h"

#include <QProcess>

#include <exiv2/exiv2.hpp>
#include <lcms2.h>

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

using testing_support::readFileBytes;

namespace {

Exiv2::Image::AutoPtr openMetadata(const QString &file)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(file.toStdString());
    image->readMetadata();
    return image;
}

QByteArray profileBytes(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(int(size), '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    return bytes;
}

cmsHPROFILE adobeRgb()
{
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    return profile;
}

double meanDeltaE(const cv::Mat &a, const cv::Mat &b)
{
    cv::Mat labA, labB, floatA, floatB;
    a.convertTo(floatA, CV_32FC3, 1.0 / 255);
    b.convertTo(floatB, CV_32FC3, 1.0 / 255);
    cv::cvtColor(floatA, labA, cv::COLOR_BGR2Lab);
    cv::cvtColor(floatB, labB, cv::COLOR_BGR2Lab);
    cv::Mat difference = labA - labB;
    difference = difference.reshape(1, int(difference.total()));
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
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", folder.image("coffee.png"), jpeg);
    Exiv2::Image::AutoPtr portrait = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    portrait->readMetadata();
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Image.XResolution"] = Exiv2::URational(300, 1);
    exif["Exif.Image.YResolution"] = Exiv2::URational(300, 1);
    exif["Exif.Image.ResolutionUnit"] = uint16_t(2);
    exif["Exif.Image.Artist"] = "A. Photographer";
    portrait->setExifData(exif);
    Exiv2::IptcData iptc;
    iptc["Iptc.Application2.City"] = "Lyon";
    portrait->setIptcData(iptc);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    const QByteArray profile = profileBytes(srgb);
    cmsCloseProfile(srgb);
    Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte *>(profile.constData()), long(profile.size()));
    portrait->setIccProfile(icc);
    portrait->writeMetadata();
    portrait->io().seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf written = portrait->io().read(long(portrait->io().size()));
    writeFile(folder.path("portrait.jpg"), QByteArray(reinterpret_cast<const char *>(written.pData_), int(written.size_)));

    for (const QString output : {"out.jpg", "out.png", "out.tif", "out.webp"}) {
        SCOPED_TRACE(output.toStdString());
        const ProgramRun run = folder.run({"portrait.jpg", "rocket.jpg", "-o", output, "--preview", "preview.png"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        // WebP has no place for IPTC; the output line says so.
        EXPECT_EQ(run.err.contains("cannot hold the target's IPTC"), output == "out.webp") << run.err.toStdString();
        Exiv2::Image::AutoPtr kept = openMetadata(folder.path(output));
        EXPECT_EQ(kept->pixelWidth(), 600);
        EXPECT_EQ(kept->exifData()["Exif.Image.Orientation"].toLong(), 6);
        EXPECT_EQ(kept->exifData()["Exif.Image.XResolution"].toFloat(), 300.0f);
        EXPECT_EQ(kept->exifData()["Exif.Image.Artist"].toString(), "A. Photographer");
        ASSERT_TRUE(kept->iccProfileDefined());
        const Exiv2::DataBuf *keptProfile = kept->iccProfile();
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(keptProfile->pData_), int(keptProfile->size_)), profile);
    }
    // Upright: the target and the result take 400 x 600 each beside the 640 x 427 reference.
    const cv::Mat preview = folder.image("preview.png");
    EXPECT_EQ(preview.rows, std::lround(1200.0 / (2 * 400.0 / 600.0 + 640.0 / 427.0)));
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
    cv::imwrite(folder.path("untagged.png").toStdString(), inAdobe);
    cv::imwrite(folder.path("adobe.png").toStdString(), inAdobe);
    Exiv2::Image::AutoPtr tagged = openMetadata(folder.path("adobe.png"));
    const QByteArray profile = profileBytes(adobe);
    Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte *>(profile.constData()), long(profile.size()));
    tagged->setIccProfile(icc);
    tagged->writeMetadata();
    cmsDeleteTransform(toAdobe);
    cmsCloseProfile(adobe);
    cmsCloseProfile(srgb);

    for (const char *reference : {"coffee.png", "adobe.png", "untagged.png"}) {
        const ProgramRun run = folder.run({"chelsea.png", reference, "-o", QString(reference) + ".out.png", "--verbose"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    }
    const cv::Mat expected = folder.image("coffee.png.out.png");
    EXPECT_LT(meanDeltaE(folder.image("adobe.png.out.png"), expected), 1.0);
    // The same pixels read as sRGB give another look: the profile made the difference.
    EXPECT_GT(meanDeltaE(folder.image("untagged.png.out.png"), expected), 1.5);
}

TEST(ColormatchPhotographs, OutputQualityIsTheOneAskedFor)
{
    const Workspace folder;
    const QStringList runs[] = {{"-o", "default.jpg"},          {"-o", "q60.jpg", "--quality", "60"},
                                {"-o", "q80.jpg", "--quality", "80"}, {"-o", "lossy.webp"},
                                {"-o", "lossless.webp", "--lossless"}, {"-o", "level0.png", "--png-level", "0"},
                                {"-o", "level9.png", "--png-level", "9"}};
    for (const QStringList &options : runs) {
        const ProgramRun run = folder.run(QStringList{"chelsea.png", "rocket.jpg"} << options);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    }
    const QByteArray jpeg95 = readFileBytes(folder.path("default.jpg"));
    EXPECT_EQ(lumaSampling(jpeg95), 0x11);
    // Encoded in stripes on several cores: still one faithful picture.
    cv::Mat difference;
    cv::absdiff(folder.image("default.jpg"), folder.image("level9.png"), difference);
    EXPECT_LT(cv::mean(difference.reshape(1))[0], 3.0);
    EXPECT_EQ(lumaSampling(readFileBytes(folder.path("q80.jpg"))), 0x22);
    EXPECT_LT(readFileBytes(folder.path("q60.jpg")).size(), jpeg95.size() * 2 / 3);
    const cv::Mat level9 = folder.image("level9.png");
    EXPECT_EQ(cv::norm(folder.image("level0.png"), level9, cv::NORM_INF), 0.0);
    EXPECT_GT(QFileInfo(folder.path("level0.png")).size(), 3 * QFileInfo(folder.path("level9.png")).size() / 2);
    EXPECT_EQ(cv::norm(folder.image("lossless.webp"), level9, cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(folder.image("lossy.webp"), level9, cv::NORM_INF), 0.0);
}

TEST(ColormatchPhotographs, BatchesEndOnceForABadReferenceAndRunAsManyEnginesAsAsked)
{
    const Workspace folder;
    const QByteArray rocket = readFileBytes(folder.path("rocket.jpg"));
    writeFile(folder.path("cut.jpg"), rocket.left(rocket.size() / 2));
    const ProgramRun bad = folder.run({"-r", "cut.jpg", "-d", "out", "chelsea.png", "coffee.png"});
    EXPECT_EQ(bad.exitCode, 65);
    EXPECT_EQ(bad.err, QString("colormatch: reference image cut.jpg: a truncated JPEG file (%1 bytes): its end is "
                               "missing\n")
                           .arg(rocket.size() / 2));
    EXPECT_FALSE(QFileInfo::exists(folder.path("out/chelsea.png")));

    // A stand-in engine that notes when another one is running beside it.
    const QTemporaryDir alone;
    const QString colormatch = lonelyColormatch(
        alone, "#!/bin/sh\ncat >/dev/null\nif mkdir \"$0.lock\" 2>/dev/null; then sleep 0.3; rmdir \"$0.lock\"; "
               "else echo overlap >> \"$0.log\"; fi\nexit 65\n");
    const QString engine = alone.filePath("matchengine");
    for (const char *jobs : {"3", "1"}) {
        QFile::remove(engine + ".log");
        const ProgramRun run = folder.run({"-j", jobs, "-r", "rocket.jpg", "-d", "out", "chelsea.png", "coffee.png",
                                    "rocket.jpg"},
                                   colormatch);
        EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
        EXPECT_EQ(QFileInfo::exists(engine + ".log"), QString(jobs) != "1") << "--jobs " << jobs;
    }
}
