// SPDX-License-Identifier: GPL-3.0-or-later
// exiv2 0.27 (Debian 12) and 0.28 (Debian 13) name a few things differently:
// the owning image pointer, an integer value, a buffer's bytes and how a
// colour profile is handed over and back. metadata.cpp spells each through these.
#pragma once

#include <exiv2/exiv2.hpp>

#include <QByteArray>

#include <utility>

#if EXIV2_TEST_VERSION(0, 28, 0)
using Exiv2Image = Exiv2::Image::UniquePtr;

inline long long exiv2Integer(const Exiv2::Metadatum &datum)
{
    return datum.toInt64();
}

inline QByteArray exiv2Bytes(const Exiv2::DataBuf &buffer)
{
    return QByteArray(reinterpret_cast<const char *>(buffer.c_data()), int(buffer.size()));
}

inline QByteArray exiv2IccProfile(Exiv2::Image &image)
{
    return exiv2Bytes(image.iccProfile());
}

inline void exiv2SetIccProfile(Exiv2::Image &image, Exiv2::DataBuf &profile)
{
    image.setIccProfile(std::move(profile), false);
}
#else
using Exiv2Image = Exiv2::Image::AutoPtr;

inline long long exiv2Integer(const Exiv2::Metadatum &datum)
{
    return datum.toLong();
}

inline QByteArray exiv2Bytes(const Exiv2::DataBuf &buffer)
{
    return QByteArray(reinterpret_cast<const char *>(buffer.pData_), int(buffer.size_));
}

inline QByteArray exiv2IccProfile(Exiv2::Image &image)
{
    return exiv2Bytes(*image.iccProfile());
}

inline void exiv2SetIccProfile(Exiv2::Image &image, Exiv2::DataBuf &profile)
{
    image.setIccProfile(profile, false);
}
#endif
