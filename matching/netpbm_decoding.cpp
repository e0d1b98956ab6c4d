// SPDX-License-Identifier: GPL-3.0-or-later
// The two Netpbm kinds the engine decodes itself, from the headers the image
// probe reads: PAM, whose decoder in OpenCV reads tuple types only in part,
// and PFM, whose decoder in OpenCV goes through a temporary file (which it
// cannot delete on Windows while it is open).
#include "matching/matching.h"

#include <opencv2/imgproc.hpp>

#include <QSysInfo>

#include <cmath>
#include <cstring>

cv::Mat decodePam(const QByteArray &bytes, const char *which)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qint64 size = bytes.size();
    const PamLayout pam = pamLayout(data, size);
    refuseImage(which, pam.problem);
    refuseImage(which, sizeProblem({ImageFormat::netpbm, pam.width, pam.height, 0}));
    const bool wide = pam.largest > 255;
    const int type = CV_MAKETYPE(wide ? CV_16U : CV_8U, pam.depth);
    const qint64 sampleBytes = pam.width * pam.height * pam.depth * (wide ? 2 : 1);
    if (sampleBytes > size - pam.dataStart)
        refuseImage(which, truncatedFileProblem("PAM", size));
    const int rows = int(pam.height), cols = int(pam.width);
    cv::Mat stored(rows, cols, type, const_cast<uchar *>(data + pam.dataStart));
    if (wide) {
        // Big-endian samples, turned to this machine's order in a copy.
        cv::Mat swapped(rows, cols, type);
        const uchar *from = stored.data;
        uchar *to = swapped.data;
        for (qint64 i = 0; i < sampleBytes; i += 2) {
            to[i] = from[i + 1];
            to[i + 1] = from[i];
        }
        stored = swapped;
    }
    cv::Mat image;
    switch (pam.depth) {
    case 3: cv::cvtColor(stored, image, cv::COLOR_RGB2BGR); break;
    case 4: cv::cvtColor(stored, image, cv::COLOR_RGBA2BGRA); break;
    default: image = stored.clone();
    }
    // Samples are fractions of MAXVAL; those above it are read as MAXVAL.
    const qint64 full = wide ? 65535 : 255;
    if (pam.largest != full) {
        cv::min(image, cv::Scalar::all(double(pam.largest)), image);
        image.convertTo(image, -1, double(full) / double(pam.largest));
    }
    return image;
}

cv::Mat decodePfm(const QByteArray &bytes, const char *which)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qint64 size = bytes.size();
    const PfmLayout pfm = pfmLayout(data, size);
    refuseImage(which, pfm.problem);
    refuseImage(which, sizeProblem({ImageFormat::netpbm, pfm.width, pfm.height, 0}));
    if (!(std::fabs(pfm.scale) > 0.0))
        refuseImage(which, unreadableFileProblem("PFM", size, "its scale is 0 or not a number"));
    const int channels = bytes.at(1) == 'F' ? 3 : 1;
    const int rows = int(pfm.height), cols = int(pfm.width);
    const qint64 rowBytes = pfm.width * channels * qint64(sizeof(float));
    if (rowBytes * pfm.height > size - pfm.dataStart)
        refuseImage(which, truncatedFileProblem("PFM", size));
    // Rows are stored bottom first; a negative scale means little-endian samples.
    const bool swapped = (pfm.scale < 0) != (QSysInfo::ByteOrder == QSysInfo::LittleEndian);
    cv::Mat image(rows, cols, CV_32FC(channels));
    for (int y = 0; y < rows; ++y) {
        const uchar *from = data + pfm.dataStart + (rows - 1 - y) * rowBytes;
        uchar *to = image.ptr(y);
        if (!swapped) {
            std::memcpy(to, from, size_t(rowBytes));
            continue;
        }
        for (qint64 i = 0; i < rowBytes; i += 4)
            for (int k = 0; k < 4; ++k)
                to[i + k] = from[i + 3 - k];
    }
    if (channels == 3)
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
    // As OpenCV's reader scales them, so that results do not depend on which decoded the file.
    image *= 1.f / std::fabs(pfm.scale);
    return image;
}
