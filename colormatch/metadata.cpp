// SPDX-License-Identifier: GPL-3.0-or-later
// What a photograph carries besides its pixels (EXIF with its orientation,
// XMP, IPTC, the colour profile, the resolution), read from the target and
// written into the output with exiv2, so that the output shows as the target
// did, only with new colours.
#include "colormatch/metadata.h"
#include "colormatch/colour_management.h"
#include "colormatch/exiv2_compat.h"
#include "colormatch/platform.h"
#include "encoders/encoders.h"

#include <exiv2/webpimage.hpp>

#include <QtEndian>

#include <zlib.h>

#include <opencv2/imgcodecs.hpp>

#include <climits>
#include <cmath>
#include <map>
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

Exiv2Image openImage(const QByteArray &encoded)
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
        for (const auto type : {Exiv2::ImageType::jpeg, Exiv2::ImageType::png, Exiv2::ImageType::tiff,
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


// The parts of a JPEG's header colormatch reads, each on its own, so that one
// bad piece of metadata loses only itself.
struct JpegHeaderParts {
    QByteArray exif;            // APP1 "Exif" segments, whole
    QByteArray xmp;             // APP1 XMP segments, whole
    QByteArray iptc;            // APP13 segments, whole
    QList<QByteArray> iccChunks; // APP2 "ICC_PROFILE" payloads: sequence, count, data
};

JpegHeaderParts jpegHeaderParts(const QByteArray &jpeg)
{
    JpegHeaderParts parts;
    const auto *data = reinterpret_cast<const uchar *>(jpeg.constData());
    for (int at = 2; at + 4 <= jpeg.size() && data[at] == 0xFF;) {
        const uchar code = data[at + 1];
        if (code == 0xD8 || code == 0xFF) { // a repeated start or a fill byte
            ++at;
            continue;
        }
        if (code == 0xDA || code == 0xD9)
            break;
        const int length = (data[at + 2] << 8) | data[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size())
            break;
        const QByteArray segment = jpeg.mid(at, 2 + length);
        const QByteArray payload = segment.mid(4);
        if (code == 0xE1 && payload.startsWith(QByteArray("Exif\0\0", 6)))
            parts.exif += segment;
        else if (code == 0xE1 && payload.startsWith(QByteArray("http://ns.adobe.com/xap/1.0/\0", 29)))
            parts.xmp += segment;
        else if (code == 0xED)
            parts.iptc += segment;
        else if (code == 0xE2 && payload.startsWith(QByteArray("ICC_PROFILE\0", 12)) && payload.size() >= 14)
            parts.iccChunks << payload.mid(12);
        at += 2 + length;
    }
    return parts;
}

// An ICC profile split over APP2 chunks, put together by their sequence
// numbers (readers do; writers need not keep the order). Empty with `problem`
// set for a set that is incomplete or inconsistent.
QByteArray reassembledProfile(const QList<QByteArray> &chunks, QString *problem)
{
    if (chunks.isEmpty())
        return QByteArray();
    const int count = uchar(chunks.first()[1]);
    std::map<int, QByteArray> bySequence;
    for (const QByteArray &chunk : chunks) {
        const int sequence = uchar(chunk[0]);
        if (uchar(chunk[1]) != count || sequence < 1 || sequence > count || bySequence.count(sequence)) {
            *problem = QStringLiteral("its ICC chunks do not agree on their numbering (chunk %1 of %2 after "
                                      "chunk 1 of %3)")
                           .arg(sequence)
                           .arg(uchar(chunk[1]))
                           .arg(count);
            return QByteArray();
        }
        bySequence[sequence] = chunk.mid(2);
    }
    if (int(bySequence.size()) != count) {
        *problem = QStringLiteral("%1 of its %2 ICC chunks are missing").arg(count - int(bySequence.size())).arg(count);
        return QByteArray();
    }
    QByteArray profile;
    for (const auto &chunk : bySequence)
        profile += chunk.second;
    // The profile's own header says how long it is.
    const qint64 declared = profile.size() >= 4 ? qFromBigEndian<quint32>(profile.constData()) : 0;
    if (declared > profile.size() || declared < 128) {
        *problem = QStringLiteral("it declares %1 bytes and holds %2").arg(declared).arg(profile.size());
        return QByteArray();
    }
    return profile.left(int(declared));
}

enum MetadataKind { exifKind = 1, xmpKind = 2, iptcKind = 4, profileKind = 8 };

// Reads the chosen kinds from the bytes with exiv2; throws what exiv2 throws.
// Returns whether the EXIF marks the image as Adobe RGB (interoperability R03).
bool readKinds(const QByteArray &bytes, int kinds, ImageMetadata &metadata)
{
    bool markedAdobeRgb = false;
    Exiv2Image image = openImage(bytes);
    image->readMetadata();
    Exiv2::ExifData exif = image->exifData();
    if ((kinds & exifKind) && !exif.empty()) {
        const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != exif.end() && orientation->count() > 0) {
            const long long value = exiv2Integer(*orientation);
            metadata.orientation = value >= 1 && value <= 8 ? int(value) : 1;
        }
        const double x = rationalValue(exif, "Exif.Image.XResolution");
        const double y = rationalValue(exif, "Exif.Image.YResolution");
        if (x > 0 && y > 0) {
            const double toInch = rationalValue(exif, "Exif.Image.ResolutionUnit") == 3 ? centimetresPerInch : 1.0;
            metadata.xDpi = x * toInch;
            metadata.yDpi = y * toInch;
        }
        const auto interoperability = exif.findKey(Exiv2::ExifKey("Exif.Iop.InteroperabilityIndex"));
        markedAdobeRgb = interoperability != exif.end() && interoperability->toString().rfind("R03", 0) == 0;
        // The thumbnail would show the old colours; the profile travels on its own.
        Exiv2::ExifThumb(exif).erase();
        const auto profileTag = exif.findKey(Exiv2::ExifKey("Exif.Image.InterColorProfile"));
        if (profileTag != exif.end())
            exif.erase(profileTag);
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
        metadata.exif = QByteArray(reinterpret_cast<const char *>(blob.data()), int(blob.size()));
    }
    if (kinds & xmpKind) {
        const std::string packet = image->xmpPacket();
        Exiv2::XmpData parsed;
        if (!packet.empty() && Exiv2::XmpParser::decode(parsed, packet) != 0)
            metadata.leftOut << QStringLiteral("XMP (the packet does not parse as XMP)");
        else
            metadata.xmp = QByteArray::fromStdString(packet);
    }
    if ((kinds & iptcKind) && !image->iptcData().empty()) {
        const Exiv2::DataBuf iptc = Exiv2::IptcParser::encode(image->iptcData());
        metadata.iptc = exiv2Bytes(iptc);
    }
    if ((kinds & profileKind) && image->iccProfileDefined())
        metadata.iccProfile = exiv2IccProfile(*image);
    return markedAdobeRgb;
}

QString exiv2Reason(const std::exception &error)
{
    const QString reason = QString::fromLocal8Bit(error.what()).simplified();
    return reason.isEmpty() ? QStringLiteral("exiv2 cannot handle it") : reason;
}

// The encoded output with the chosen kinds of metadata written into it;
// throws what exiv2 throws.
QByteArray writtenWith(const QByteArray &encoded, const ImageMetadata &metadata, int kinds)
{
    Exiv2Image image = openImage(encoded);
    if (kinds & exifKind) {
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
    if (kinds & xmpKind) {
        image->setXmpPacket(metadata.xmp.toStdString());
        image->writeXmpFromPacket(true);
    }
    if (kinds & iptcKind) {
        Exiv2::IptcData iptc;
        Exiv2::IptcParser::decode(iptc, reinterpret_cast<const Exiv2::byte *>(metadata.iptc.constData()),
                                  uint32_t(metadata.iptc.size()));
        image->setIptcData(iptc);
    }
    if (kinds & profileKind) {
        Exiv2::DataBuf profile(reinterpret_cast<const Exiv2::byte *>(metadata.iccProfile.constData()),
                               long(metadata.iccProfile.size()));
        exiv2SetIccProfile(*image, profile);
    }
    image->writeMetadata();
    Exiv2::BasicIo &io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf written = io.read(long(io.size()));
    QByteArray bytes = exiv2Bytes(written);
    if (image->imageType() == Exiv2::ImageType::webp)
        nameWebpProfileChunk(bytes);
    if (image->imageType() == Exiv2::ImageType::png)
        completePng(bytes, metadata);
    return bytes;
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
    bool markedAdobeRgb = false;
    if (encoded.startsWith("\x89PNG"))
        readPngDensity(encoded, metadata);
    else
        readJfifDensity(encoded, metadata);
    const ImageProbe probe =
        probeImage(reinterpret_cast<const uchar *>(encoded.constData()), encoded.size(), JpegHeader::read);
    if (probe.problem.text.empty()) {
        metadata.header = probe.header;
        metadata.storedSize = cv::Size(int(std::min<long long>(probe.header.width, INT_MAX)),
                                       int(std::min<long long>(probe.header.height, INT_MAX)));
    }
    if (encoded.startsWith("\xFF\xD8")) {
        // Each kind from its own segments, the profile by its chunks' numbers.
        const JpegHeaderParts parts = jpegHeaderParts(encoded);
        const QByteArray start("\xFF\xD8"), end("\xFF\xD9");
        const struct {
            const QByteArray &segments;
            int kind;
            const char *name;
        } pieces[] = {{parts.exif, exifKind, "EXIF"}, {parts.xmp, xmpKind, "XMP"}, {parts.iptc, iptcKind, "IPTC"}};
        for (const auto &piece : pieces) {
            if (piece.segments.isEmpty())
                continue;
            try {
                markedAdobeRgb |= readKinds(start + piece.segments + end, piece.kind, metadata);
            } catch (const std::exception &error) {
                metadata.leftOut << QStringLiteral("%1 (%2)").arg(QLatin1String(piece.name), exiv2Reason(error));
            }
        }
        QString problem;
        metadata.iccProfile = reassembledProfile(parts.iccChunks, &problem);
        if (!problem.isEmpty())
            metadata.leftOut << QStringLiteral("colour profile (%1)").arg(problem);
    } else {
        try {
            markedAdobeRgb = readKinds(encoded, exifKind | xmpKind | iptcKind | profileKind, metadata);
        } catch (const std::exception &error) {
            // A format exiv2 does not know carries nothing colormatch can keep;
            // one it knows but cannot read loses what it holds, and says so.
            bool known = false;
            try { // exiv2's own look at the format throws for a file cut short
                known = Exiv2::ImageFactory::getType(reinterpret_cast<const Exiv2::byte *>(encoded.constData()),
                                                     long(encoded.size())) != Exiv2::ImageType::none;
            } catch (const std::exception &) {
            }
            if (known)
                metadata.leftOut << QStringLiteral("metadata (%1)").arg(exiv2Reason(error));
        }
    }
    // Cameras mark Adobe RGB without embedding its profile, as photo editors read it.
    if (metadata.iccProfile.isEmpty() && markedAdobeRgb)
        metadata.iccProfile = adobeRgbProfile();
    metadata.cmyk = jpegIsCmyk(encoded);
    return metadata;
}

QByteArray withImageMetadata(const QByteArray &encoded, const ImageMetadata &metadata, QStringList *notKept,
                             QStringList *leftOut)
{
    const bool anyExif = !metadata.exif.isEmpty() || metadata.orientation != 1 || metadata.xDpi > 0;
    const struct {
        Exiv2::MetadataId id;
        int kind;
        bool present;
        const char *name;
    } kinds[] = {{Exiv2::mdExif, exifKind, anyExif, "EXIF"},
                 {Exiv2::mdXmp, xmpKind, !metadata.xmp.isEmpty(), "XMP"},
                 {Exiv2::mdIptc, iptcKind, !metadata.iptc.isEmpty(), "IPTC"},
                 {Exiv2::mdIccProfile, profileKind, !metadata.iccProfile.isEmpty(), "colour profile"}};
    Exiv2Image image;
    try {
        image = openImage(encoded);
    } catch (const std::exception &) {
    }
    int writable = 0;
    for (const auto &kind : kinds) {
        if (!kind.present)
            continue;
        if (image.get() && canWrite(*image, kind.id))
            writable |= kind.kind;
        else if (notKept)
            *notKept << QLatin1String(kind.name);
    }
    if (!writable)
        return encoded;
    try {
        return writtenWith(encoded, metadata, writable);
    } catch (const std::exception &) {
    }
    // One piece that cannot be written loses only itself.
    int sound = 0;
    for (const auto &kind : kinds) {
        if (!(writable & kind.kind))
            continue;
        try {
            writtenWith(encoded, metadata, kind.kind);
            sound |= kind.kind;
        } catch (const std::exception &error) {
            if (leftOut)
                *leftOut << QStringLiteral("%1 (%2)").arg(QLatin1String(kind.name), exiv2Reason(error));
        }
    }
    try {
        return sound ? writtenWith(encoded, metadata, sound) : encoded;
    } catch (const std::exception &error) {
        if (leftOut)
            *leftOut << QStringLiteral("metadata (%1)").arg(exiv2Reason(error));
        return encoded;
    }
}

QString encodedImageProblem(const QByteArray &encoded)
{
    if (encoded.isEmpty())
        return QStringLiteral("the file is empty");
    // Decoders fill a cut-short file with grey instead of failing; the probe
    // reads the image's own structure for whether it is whole.
    const ImageProbe probe =
        probeImage(reinterpret_cast<const uchar *>(encoded.constData()), encoded.size(), JpegHeader::read);
    return QString::fromStdString(probe.problem.text);
}

QString imageSizeProblem(const ImageMetadata &metadata)
{
    if (metadata.storedSize.empty())
        return QString(); // unknown: not decoded before the engine has read it
    return QString::fromStdString(sizeProblem(metadata.header).text);
}

QString decodedImageProblem(const QByteArray &encoded, const ImageMetadata &metadata)
{
    const QString sizeProblem = imageSizeProblem(metadata);
    if (!sizeProblem.isEmpty() || metadata.storedSize.empty())
        return sizeProblem;
    cv::Mat decoded;
    withCodecWarningsSilenced([&] {
        const cv::Mat bytes(1, encoded.size(), CV_8U, const_cast<char *>(encoded.constData()));
        // A JPEG decodes at an eighth of the size for an eighth of the work;
        // other formats would be decoded whole and then shrunk.
        const bool jpeg = encoded.startsWith("\xFF\xD8");
        decoded = cv::imdecode(bytes, (jpeg ? cv::IMREAD_REDUCED_GRAYSCALE_8 : cv::IMREAD_GRAYSCALE) |
                                          cv::IMREAD_IGNORE_ORIENTATION);
    });
    if (decoded.empty())
        return QStringLiteral("%1 bytes in no format the image decoders read").arg(encoded.size());
    return QString();
}
