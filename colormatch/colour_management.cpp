// SPDX-License-Identifier: GPL-3.0-or-later
// Colour management with lcms2: the reference is brought into the target's
// colour space before matching, so that the look transferred is the look the
// user saw; CMYK JPEGs become RGB through their own profile; the preview shows
// every image in sRGB as a colour-managed viewer would.
#include "colormatch/colour_management.h"
#include "colormatch/errors.h"
#include "colormatch/platform.h"
#include "colormatch/preview.h"
#include "encoders/encoders.h"
#include "host/host.h"

#include <lcms2.h>

#include <QtEndian>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstring>
#include <csetjmp>
#include <cstdlib>
#include <vector>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

namespace {

using Profile = std::unique_ptr<void, decltype(&cmsCloseProfile)>;
using Transform = std::unique_ptr<void, decltype(&cmsDeleteTransform)>;

// An untagged image counts as sRGB.
Profile openProfile(const QByteArray &icc)
{
    cmsHPROFILE profile = icc.isEmpty() ? nullptr : cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
    return Profile(profile ? profile : cmsCreate_sRGBProfile(), &cmsCloseProfile);
}

QString profileName(cmsHPROFILE profile)
{
    char name[256] = {};
    cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", name, sizeof name);
    return name[0] ? QString::fromLatin1(name) : QStringLiteral("an unnamed profile");
}

bool isRgb(cmsHPROFILE profile)
{
    return cmsGetColorSpace(profile) == cmsSigRgbData;
}

// ---- CMYK JPEGs, which OpenCV turns into RGB without their profile.

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jumpOut(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->jump, 1);
}

// The raw CMYK samples of a CMYK or YCCK JPEG; `inverted` is set for
// Adobe's files, which store ink as 255 - value.
cv::Mat decodeCmyk(const QByteArray &encoded, bool *inverted)
{
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpOut;
    errors.manager.output_message = [](j_common_ptr) {};
    cv::Mat cmyk;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return cv::Mat();
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(encoded.constData()), (unsigned long)encoded.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&info);
    cmyk.create(int(info.output_height), int(info.output_width), CV_8UC4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = cmyk.ptr<uchar>(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    *inverted = info.saw_Adobe_marker;
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return cmyk;
}

// Runs the transform over the image in parallel stripes (the transform has no
// cache, so stripes may share it).
cv::Mat transformed(const cv::Mat &source, cmsHTRANSFORM transform, int outputType)
{
    cv::Mat continuous = source.isContinuous() ? source : source.clone();
    cv::Mat output(source.size(), outputType);
    cv::parallel_for_(cv::Range(0, source.rows), [&](const cv::Range &rows) {
        for (int row = rows.start; row < rows.end; ++row)
            cmsDoTransform(transform, continuous.ptr(row), output.ptr(row), cmsUInt32Number(source.cols));
    });
    return output;
}

Transform makeTransform(cmsHPROFILE from, cmsUInt32Number fromFormat, cmsHPROFILE to, cmsUInt32Number toFormat,
                        bool alpha)
{
    const cmsUInt32Number flags =
        cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_NOCACHE | (alpha ? cmsFLAGS_COPY_ALPHA : 0);
    return Transform(cmsCreateTransform(from, fromFormat, to, toFormat, INTENT_RELATIVE_COLORIMETRIC, flags),
                     &cmsDeleteTransform);
}

// The CMYK JPEG as B, G, R in `into`'s space, or empty without a usable profile.
cv::Mat cmykToRgb(const QByteArray &encoded, cmsHPROFILE cmykProfile, cmsHPROFILE into)
{
    bool inverted = false;
    const cv::Mat cmyk = decodeCmyk(encoded, &inverted);
    const Transform transform = makeTransform(cmykProfile, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, into,
                                              TYPE_BGR_8, false);
    if (cmyk.empty() || !transform)
        return cv::Mat();
    return transformed(cmyk, transform.get(), CV_8UC3);
}

// B, G, R[, A] or grey pixels of 8 or 16 bits from `from` into `into`'s RGB
// space; empty when the pixels do not fit the profile.
cv::Mat rgbInto(const cv::Mat &image, cmsHPROFILE from, cmsHPROFILE into)
{
    const bool sixteen = image.depth() == CV_16U;
    if (!sixteen && image.depth() != CV_8U)
        return cv::Mat();
    const bool grey = cmsGetColorSpace(from) == cmsSigGrayData;
    cmsUInt32Number fromFormat = 0;
    if (grey && image.channels() == 1)
        fromFormat = sixteen ? TYPE_GRAY_16 : TYPE_GRAY_8;
    else if (isRgb(from) && image.channels() == 3)
        fromFormat = sixteen ? TYPE_BGR_16 : TYPE_BGR_8;
    else if (isRgb(from) && image.channels() == 4)
        fromFormat = sixteen ? TYPE_BGRA_16 : TYPE_BGRA_8;
    else
        return cv::Mat();
    const bool alpha = image.channels() == 4;
    const cmsUInt32Number toFormat =
        alpha ? (sixteen ? TYPE_BGRA_16 : TYPE_BGRA_8) : (sixteen ? TYPE_BGR_16 : TYPE_BGR_8);
    const Transform transform = makeTransform(from, fromFormat, into, toFormat, alpha);
    if (!transform)
        return cv::Mat();
    return transformed(image, transform.get(), CV_MAKETYPE(image.depth(), alpha ? 4 : 3));
}

cv::Mat decode(const QByteArray &encoded, int flags)
{
    cv::Mat decoded;
    withCodecWarningsSilenced([&] {
        decoded = cv::imdecode(cv::Mat(1, encoded.size(), CV_8U, const_cast<char *>(encoded.constData())), flags);
    });
    return decoded;
}

} // namespace

bool jpegIsCmyk(const QByteArray &encoded)
{
    if (!encoded.startsWith("\xFF\xD8"))
        return false;
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jumpOut;
    errors.manager.output_message = [](j_common_ptr) {};
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(encoded.constData()), (unsigned long)encoded.size());
    jpeg_read_header(&info, TRUE);
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    jpeg_destroy_decompress(&info);
    return cmyk;
}

// A profile's transforms evaluate each of its stages for every colour (or
// grid point) they build; a profile no maker writes could make that run for
// minutes. Ordinary profiles have up to five stages and a few megabytes.
constexpr qint64 largestProfileBytes = qint64(16) << 20;
constexpr cmsUInt32Number largestProfileStages = 64;

QString colourProfileProblem(const QByteArray &icc)
{
    if (icc.size() > largestProfileBytes)
        return QStringLiteral("its colour profile is %1 bytes, more than the %2 MiB limit for a profile")
            .arg(icc.size())
            .arg(largestProfileBytes >> 20);
    if (icc.isEmpty())
        return QString();
    const Profile profile = openProfile(icc);
    // The tags a transform is built from, each a pipeline of stages.
    for (const cmsTagSignature tag :
         {cmsSigAToB0Tag, cmsSigAToB1Tag, cmsSigAToB2Tag, cmsSigBToA0Tag, cmsSigBToA1Tag, cmsSigBToA2Tag,
          cmsSigDToB0Tag, cmsSigDToB1Tag, cmsSigDToB2Tag, cmsSigDToB3Tag, cmsSigBToD0Tag, cmsSigBToD1Tag,
          cmsSigBToD2Tag, cmsSigBToD3Tag, cmsSigGamutTag, cmsSigPreview0Tag, cmsSigPreview1Tag, cmsSigPreview2Tag}) {
        if (!cmsIsTag(profile.get(), tag))
            continue;
        // Read from the tag's header: lcms2 takes time quadratic in the stages
        // to read them. A multiProcessElementType ('mpet') holds any number of
        // them (the count at byte 12); the other table types at most five.
        uchar header[16] = {};
        if (cmsReadRawTag(profile.get(), tag, header, sizeof header) < sizeof header
            || std::memcmp(header, "mpet", 4) != 0)
            continue;
        const cmsUInt32Number stages = qFromBigEndian<quint32>(header + 12);
        if (stages > largestProfileStages)
            return QStringLiteral("its colour profile chains %1 stages in one of its tables, more than the limit "
                                  "of %2")
                .arg(stages)
                .arg(largestProfileStages);
    }
    return QString();
}

bool isRgbProfile(const QByteArray &icc)
{
    return isRgb(openProfile(icc).get());
}

QString colourSpaceName(const QByteArray &icc)
{
    return icc.isEmpty() ? QStringLiteral("sRGB") : profileName(openProfile(icc).get());
}

cv::Mat convertedToSrgb(const cv::Mat &image, const QByteArray &icc)
{
    const Profile from = openProfile(icc);
    const Profile srgb = openProfile(QByteArray());
    if (hostSameColourSpace(from.get(), srgb.get()))
        return image;
    const cv::Mat converted = rgbInto(image, from.get(), srgb.get());
    return converted.empty() ? image : converted;
}

QByteArray adobeRgbProfile()
{
    // D65 white, the 1998 primaries, gamma 563/256.
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    const Profile profile(cmsCreateRGBProfile(&white, &primaries, curves), &cmsCloseProfile);
    cmsFreeToneCurve(gamma);
    cmsMLU *description = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(description, "en", "US", "Adobe RGB (1998)");
    cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, description);
    cmsMLUfree(description);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile.get(), nullptr, &size);
    QByteArray bytes(int(size), '\0');
    cmsSaveProfileToMem(profile.get(), bytes.data(), &size);
    return bytes;
}

EngineInput convertedForMatching(const QByteArray &encoded, const ImageMetadata &metadata,
                                 const QByteArray &intoProfile, const QString &what)
{
    // Nothing is decoded at a size the engine would refuse.
    const std::string sizeText = metadata.storedSize.empty() ? std::string() : sizeProblem(metadata.header).text;
    if (!sizeText.empty())
        throw UserError(colormatchStatus::dataError,
                        QStringLiteral("%1 %2").arg(what, QString::fromStdString(sizeText)));
    const Profile from = openProfile(metadata.iccProfile);
    Profile into = openProfile(intoProfile);
    if (!isRgb(into.get()))
        into = openProfile(QByteArray());
    cv::Mat converted;
    if (metadata.cmyk) {
        if (metadata.iccProfile.isEmpty() || cmsGetColorSpace(from.get()) != cmsSigCmykData)
            throw UserError(colormatchStatus::dataError,
                            QStringLiteral("%1 is a CMYK JPEG without a CMYK colour profile, so its colours are "
                                           "unknown; convert it to RGB first")
                                .arg(what));
        converted = cmykToRgb(encoded, from.get(), into.get());
        if (converted.empty())
            throw UserError(colormatchStatus::dataError,
                            QStringLiteral("%1: its CMYK pixels cannot be converted to RGB").arg(what));
    } else {
        if (metadata.iccProfile == intoProfile || hostSameColourSpace(from.get(), into.get()))
            return {};
        converted = rgbInto(decode(encoded, cv::IMREAD_UNCHANGED), from.get(), into.get());
        if (converted.empty())
            return {QByteArray(), QStringLiteral("%1 used as it is: its colour profile (%2) does not fit its pixels")
                                      .arg(what, profileName(from.get()))};
    }
    // Uncompressed PAM, lossless at 8 or 16 bits: cheap to write and to read.
    const std::vector<uchar> pam = encodePam(converted);
    return {QByteArray(reinterpret_cast<const char *>(pam.data()), int(pam.size())),
            QStringLiteral("%1 converted from %2 to %3 before matching")
                .arg(what, profileName(from.get()), profileName(into.get()))};
}

cv::Mat decodeForViewing(const QByteArray &encoded, const ImageMetadata &metadata)
{
    if (encoded.isEmpty())
        return cv::Mat();
    const Profile from = openProfile(metadata.iccProfile);
    const Profile srgb = openProfile(QByteArray());
    cv::Mat shown;
    if (metadata.cmyk && cmsGetColorSpace(from.get()) == cmsSigCmykData)
        shown = cmykToRgb(encoded, from.get(), srgb.get());
    if (shown.empty()) {
        shown = decode(encoded, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        if (shown.empty())
            return shown;
        if (!metadata.iccProfile.isEmpty() && !metadata.cmyk) {
            const cv::Mat inSrgb = rgbInto(shown, from.get(), srgb.get());
            if (!inSrgb.empty())
                shown = inSrgb;
        }
    }
    return orientedForViewing(shown, metadata.orientation);
}
