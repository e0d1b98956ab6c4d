// What a photograph carries besides its pixels (EXIF with its orientation,
// XMP, IPTC, the colour profile, the resolution), read from the target and
// written into the output with exiv2, so that the output shows as the target
// did, only with new colours.
#include "colormatch/colormatch.h"

#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>

#include <QtEndian>

#include <zlib.h>

#include <opencv2/imgcodecs.hpp>

#include <cmath>

#include <memory>
#include <mutex>

namespace {

constexpr double centimetresPerInch = 2.54;

void muteExiv2()
{
    // exiv2 writes its warnings to standard error; colormatch says itself what
    // was not kept.
    static std::once_flag once;
    std::call_once(once, [] { Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute); });
}

Exiv2::Image::AutoPtr openImage(const QByteArray &encoded)
{
    muteExiv2();
    return Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(encoded.constData()),
                                     long(encoded.size()));
}

double rationalValue(const Exiv2::ExifData &exif, const char *key)
{
    const auto found = exif.findKey(Exiv2::ExifKey(key));
    return found == exif.end() || found->count() == 0 ? 0.0 : double(found->toFloat());
}

// The density of a JFIF header (APP0 right after the start of image), which
// JPEGs without EXIF use for their resolution.
void readJfifDensity(const QByteArray &bytes, ImageMetadata &metadata)
{
    if (bytes.size() < 18 || !bytes.startsWith("\xFF\xD8\xFF\xE0") || bytes.mid(6, 5) != QByteArray("JFIF\0", 5))
        return;
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const int unit = data[13];
    const double x = qFromBigEndian<quint16>(data + 14);
    const double y = qFromBigEndian<quint16>(data + 16);
    if (unit == 1 || unit == 2) {
        const double toInch = unit == 1 ? 1.0 : centimetresPerInch;
        metadata.xDpi = x * toInch;
        metadata.yDpi = y * toInch;
    }
}

// A PNG's pHYs chunk (pixels per metre), which is where PNGs keep resolution.
void readPngDensity(const QByteArray &bytes, ImageMetadata &metadata)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    for (qint64 at = 8; at + 12 <= bytes.size();) {
        const quint32 length = qFromBigEndian<quint32>(data + at);
        const QByteArray type = bytes.mid(int(at + 4), 4);
        if (type == "IDAT" || type == "IEND")
            return;
        if (type == "pHYs" && length == 9 && at + 17 <= bytes.size() && data[at + 16] == 1) {
            metadata.xDpi = qFromBigEndian<quint32>(data + at + 8) * centimetresPerInch / 100.0;
            metadata.yDpi = qFromBigEndian<quint32>(data + at + 12) * centimetresPerInch / 100.0;
            return;
        }
        at += 12 + qint64(length);
    }
}

bool canWrite(const Exiv2::Image &image, Exiv2::MetadataId what)
{
    // exiv2's table of access modes leaves colour profiles out; these are the
    // formats it writes them into (formatHoldsColourProfile names them too).
    if (what == Exiv2::mdIccProfile)
        for (const int type : {Exiv2::ImageType::jpeg, Exiv2::ImageType::png, Exiv2::ImageType::tiff,
                               Exiv2::ImageType::webp})
            if (image.imageType() == type)
                return true;
    const Exiv2::AccessMode mode = Exiv2::ImageFactory::checkMode(image.imageType(), what);
    return mode == Exiv2::amWrite || mode == Exiv2::amReadWrite;
}

// exiv2 0.27 writes a WebP's colour profile in a chunk it names VP8X, like
// the header chunk before it; readers look for ICCP.
void nameWebpProfileChunk(QByteArray &webp)
{
    bool header = true;
    for (int at = 12; at + 8 <= webp.size();) {
        if (!header && webp.mid(at, 4) == "VP8X")
            webp.replace(at, 4, "ICCP");
        header = false;
        const quint32 size = qFromLittleEndian<quint32>(webp.constData() + at + 4);
        at += 8 + int(size + (size & 1));
    }
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += type + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(chunk.constData() + 4), uInt(chunk.size() - 4));
    chunk.resize(chunk.size() + 4);
    qToBigEndian<quint32>(quint32(crc), chunk.data() + chunk.size() - 4);
    return chunk;
}

// exiv2 0.27 writes a PNG's colour profile without the name PNG requires
// (readers then drop it), and PNG keeps resolution in a pHYs chunk, which
// exiv2 does not write.
void completePng(QByteArray &png, const ImageMetadata &metadata)
{
    bool hasResolution = false;
    for (int at = 8; at + 12 <= png.size();) {
        const int length = int(qFromBigEndian<quint32>(png.constData() + at));
        const QByteArray type = png.mid(at + 4, 4);
        hasResolution = hasResolution || type == "pHYs";
        if (type == "iCCP" && length > 0 && png[at + 8] == '\0') {
            const QByteArray named = pngChunk(type, "ICC profile" + png.mid(at + 8, length));
            png.replace(at, 12 + length, named);
            at += named.size();
            continue;
        }
        at += 12 + length;
    }
    if (metadata.xDpi > 0 && !hasResolution) {
        QByteArray density(9, '\1'); // the last byte: the unit is the metre
        qToBigEndian<quint32>(quint32(std::lround(metadata.xDpi / 0.0254)), density.data());
        qToBigEndian<quint32>(quint32(std::lround(metadata.yDpi / 0.0254)), density.data() + 4);
        png.insert(33, pngChunk("pHYs", density)); // after the 8-byte signature and IHDR
    }
}

} // namespace

bool formatHoldsColourProfile(const QString &format)
{
    for (const char *holding : {"jpg", "png", "tif", "tiff", "webp"})
        if (format == QLatin1String(holding))
            return true;
    return false;
}

ImageMetadata readImageMetadata(const QByteArray &encoded)
{
    ImageMetadata metadata;
    if (encoded.startsWith("\x89PNG"))
        readPngDensity(encoded, metadata);
    else
        readJfifDensity(encoded, metadata);
    try {
        Exiv2::Image::AutoPtr image = openImage(encoded);
        image->readMetadata();
        metadata.storedSize = cv::Size(image->pixelWidth(), image->pixelHeight());
        Exiv2::ExifData exif = image->exifData();
        if (!exif.empty()) {
            const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
            if (orientation != exif.end() && orientation->count() > 0) {
                const long value = orientation->toLong();
                metadata.orientation = value >= 1 && value <= 8 ? int(value) : 1;
            }
            const double x = rationalValue(exif, "Exif.Image.XResolution");
            const double y = rationalValue(exif, "Exif.Image.YResolution");
            if (x > 0 && y > 0) {
                const double toInch = rationalValue(exif, "Exif.Image.ResolutionUnit") == 3 ? centimetresPerInch : 1.0;
                metadata.xDpi = x * toInch;
                metadata.yDpi = y * toInch;
            }
            // The thumbnail would show the old colours; the profile travels on its own.
            Exiv2::ExifThumb(exif).erase();
            const auto profileTag = exif.findKey(Exiv2::ExifKey("Exif.Image.InterColorProfile"));
            if (profileTag != exif.end())
                exif.erase(profileTag);
            Exiv2::Blob blob;
            Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
            metadata.exif = QByteArray(reinterpret_cast<const char *>(blob.data()), int(blob.size()));
        }
        metadata.xmp = QByteArray::fromStdString(image->xmpPacket());
        if (!image->iptcData().empty()) {
            const Exiv2::DataBuf iptc = Exiv2::IptcParser::encode(image->iptcData());
            metadata.iptc = QByteArray(reinterpret_cast<const char *>(iptc.pData_), int(iptc.size_));
        }
        if (image->iccProfileDefined())
            metadata.iccProfile = QByteArray(reinterpret_cast<const char *>(image->iccProfile()->pData_),
                                             int(image->iccProfile()->size_));
        // Cameras mark Adobe RGB without embedding its profile, as photo editors read it.
        const auto interoperability = image->exifData().findKey(Exiv2::ExifKey("Exif.Iop.InteroperabilityIndex"));
        if (metadata.iccProfile.isEmpty() && interoperability != image->exifData().end() &&
            interoperability->toString().rfind("R03", 0) == 0)
            metadata.iccProfile = adobeRgbProfile();
    } catch (const std::exception &) {
        // A format exiv2 does not know carries nothing colormatch can keep.
    }
    metadata.cmyk = jpegIsCmyk(encoded);
    return metadata;
}

QByteArray withImageMetadata(const QByteArray &encoded, const ImageMetadata &metadata, QStringList *notKept)
{
    const bool anyExif = !metadata.exif.isEmpty() || metadata.orientation != 1 || metadata.xDpi > 0;
    const struct {
        Exiv2::MetadataId id;
        bool present;
        const char *name;
    } kinds[] = {{Exiv2::mdExif, anyExif, "EXIF"},
                 {Exiv2::mdXmp, !metadata.xmp.isEmpty(), "XMP"},
                 {Exiv2::mdIptc, !metadata.iptc.isEmpty(), "IPTC"},
                 {Exiv2::mdIccProfile, !metadata.iccProfile.isEmpty(), "colour profile"}};
    Exiv2::Image::AutoPtr image;
    try {
        image = openImage(encoded);
    } catch (const std::exception &) {
    }
    bool anyWritten = false;
    for (const auto &kind : kinds) {
        if (!kind.present)
            continue;
        if (image.get() && canWrite(*image, kind.id))
            anyWritten = true;
        else if (notKept)
            *notKept << QLatin1String(kind.name);
    }
    if (!anyWritten)
        return encoded;

    try {
        if (canWrite(*image, Exiv2::mdExif) && anyExif) {
            Exiv2::ExifData exif;
            if (!metadata.exif.isEmpty())
                Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte *>(metadata.exif.constData()),
                                          uint32_t(metadata.exif.size()));
            // A resolution known only from JFIF or pHYs goes into EXIF, which
            // every format here can carry.
            if (metadata.xDpi > 0 && exif.findKey(Exiv2::ExifKey("Exif.Image.XResolution")) == exif.end()) {
                exif["Exif.Image.XResolution"] = Exiv2::URational(int(std::lround(metadata.xDpi)), 1);
                exif["Exif.Image.YResolution"] = Exiv2::URational(int(std::lround(metadata.yDpi)), 1);
                exif["Exif.Image.ResolutionUnit"] = uint16_t(2);
            }
            image->setExifData(exif);
        }
        if (canWrite(*image, Exiv2::mdXmp) && !metadata.xmp.isEmpty()) {
            image->setXmpPacket(metadata.xmp.toStdString());
            image->writeXmpFromPacket(true);
        }
        if (canWrite(*image, Exiv2::mdIptc) && !metadata.iptc.isEmpty()) {
            Exiv2::IptcData iptc;
            Exiv2::IptcParser::decode(iptc, reinterpret_cast<const Exiv2::byte *>(metadata.iptc.constData()),
                                      uint32_t(metadata.iptc.size()));
            image->setIptcData(iptc);
        }
        if (canWrite(*image, Exiv2::mdIccProfile) && !metadata.iccProfile.isEmpty()) {
            Exiv2::DataBuf profile(reinterpret_cast<const Exiv2::byte *>(metadata.iccProfile.constData()),
                                   long(metadata.iccProfile.size()));
            image->setIccProfile(profile, false);
        }
        image->writeMetadata();
        Exiv2::BasicIo &io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const Exiv2::DataBuf written = io.read(long(io.size()));
        QByteArray bytes(reinterpret_cast<const char *>(written.pData_), int(written.size_));
        if (image->imageType() == Exiv2::ImageType::webp)
            nameWebpProfileChunk(bytes);
        if (image->imageType() == Exiv2::ImageType::png)
            completePng(bytes, metadata);
        return bytes;
    } catch (const std::exception &error) {
        if (notKept)
            *notKept = QStringList{QStringLiteral("any metadata (%1)").arg(QString::fromLocal8Bit(error.what()))};
        return encoded;
    }
}

cv::Mat orientedForViewing(const cv::Mat &image, int orientation)
{
    // Orientation 2 to 8: mirrored, turned 180, mirrored vertically, transposed,
    // turned 90 clockwise, transversed, turned 90 counter-clockwise.
    cv::Mat turned;
    switch (orientation) {
    case 2: cv::flip(image, turned, 1); break;
    case 3: cv::rotate(image, turned, cv::ROTATE_180); break;
    case 4: cv::flip(image, turned, 0); break;
    case 5: cv::transpose(image, turned); break;
    case 6: cv::rotate(image, turned, cv::ROTATE_90_CLOCKWISE); break;
    case 7:
        cv::transpose(image, turned);
        cv::flip(turned, turned, -1);
        break;
    case 8: cv::rotate(image, turned, cv::ROTATE_90_COUNTERCLOCKWISE); break;
    default: turned = image;
    }
    return turned;
}

QString encodedImageProblem(const QByteArray &encoded)
{
    if (encoded.isEmpty())
        return QStringLiteral("the file is empty");
    // Decoders fill a cut-short file with grey instead of failing; the end
    // markers say whether the file is whole. The last scan counts: an EXIF
    // thumbnail has a scan and an end of its own.
    if (encoded.startsWith("\xFF\xD8") && encoded.lastIndexOf("\xFF\xD9") < encoded.lastIndexOf("\xFF\xDA"))
        return QStringLiteral("a truncated JPEG file (%1 bytes): its end is missing").arg(encoded.size());
    if (encoded.startsWith("\x89PNG") && !encoded.contains("IEND"))
        return QStringLiteral("a truncated PNG file (%1 bytes): its end is missing").arg(encoded.size());
    if (encoded.startsWith("RIFF") && encoded.size() >= 8 &&
        qFromLittleEndian<quint32>(encoded.constData() + 4) + 8ull > quint64(encoded.size()))
        return QStringLiteral("a truncated WebP file (%1 bytes): its end is missing").arg(encoded.size());
    cv::Mat decoded;
    withCodecWarningsSilenced([&] {
        const cv::Mat bytes(1, encoded.size(), CV_8U, const_cast<char *>(encoded.constData()));
        // The reduced decode reads the whole file at an eighth of the work.
        decoded = cv::imdecode(bytes, cv::IMREAD_REDUCED_GRAYSCALE_8 | cv::IMREAD_IGNORE_ORIENTATION);
    });
    if (decoded.empty())
        return QStringLiteral("%1 bytes in no format the image decoders read").arg(encoded.size());
    return QString();
}
