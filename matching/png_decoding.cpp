// SPDX-License-Identifier: GPL-3.0-or-later
// PNG intake with libpng itself, giving the pixels cv::imdecode gives (the
// same library and the same transformations: B, G, R order, 16-bit samples in
// this machine's order, palettes expanded, a transparent colour turned into
// alpha, grey below 8 bits widened, grey with alpha as B, G, R, A), so that
// requests in PNG and JPEG never load OpenCV's codec library. libpng's
// warnings stay out of the host's channel.
#include "matching/matching.h"

#include <opencv2/core.hpp>

#include <png.h>

#include <QSysInfo>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct PngSource {
    const uchar *data;
    size_t size;
    size_t position = 0;
    char message[200] = "";
};

void readFromRequest(png_structp png, png_bytep into, png_size_t count)
{
    auto *source = static_cast<PngSource *>(png_get_io_ptr(png));
    if (count > source->size - source->position)
        png_error(png, "the image data ends early");
    std::memcpy(into, source->data + source->position, count);
    source->position += count;
}

void pngFailed(png_structp png, png_const_charp message)
{
    auto *source = static_cast<PngSource *>(png_get_error_ptr(png));
    std::snprintf(source->message, sizeof source->message, "%s", message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

// The channels and depth OpenCV's reader gives a PNG of this kind.
int decodedType(png_structp png, png_infop info)
{
    const int colourType = png_get_color_type(png, info);
    png_bytep transparent = nullptr;
    int transparentCount = 0;
    png_color_16p transparentColour = nullptr;
    int channels = 1;
    switch (colourType) {
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_PALETTE:
        png_get_tRNS(png, info, &transparent, &transparentCount, &transparentColour);
        channels = transparentCount > 0 ? 4 : 3;
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA: channels = 4; break;
    default: channels = 1;
    }
    return CV_MAKETYPE(png_get_bit_depth(png, info) == 16 ? CV_16U : CV_8U, channels);
}

} // namespace

cv::Mat decodePng(const QByteArray &bytes, const char *which)
{
    PngSource source{reinterpret_cast<const uchar *>(bytes.constData()), size_t(bytes.size())};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, pngFailed, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_infop endInfo = info ? png_create_info_struct(png) : nullptr;
    cv::Mat image;
    std::vector<uchar *> rows;
    bool decoded = false;
    if (endInfo && setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &source, readFromRequest);
        png_read_info(png, info);
        const int colourType = png_get_color_type(png, info);
        const int bitDepth = png_get_bit_depth(png, info);
        image.create(int(png_get_image_height(png, info)), int(png_get_image_width(png, info)),
                     decodedType(png, info));
        if (bitDepth == 16 && QSysInfo::ByteOrder == QSysInfo::LittleEndian)
            png_set_swap(png);
        if (image.channels() < 4)
            png_set_strip_alpha(png);
        else
            png_set_tRNS_to_alpha(png);
        if (colourType == PNG_COLOR_TYPE_PALETTE)
            png_set_palette_to_rgb(png);
        if ((colourType & PNG_COLOR_MASK_COLOR) == 0 && bitDepth < 8)
            png_set_expand_gray_1_2_4_to_8(png);
        if (image.channels() == 1)
            png_set_rgb_to_gray(png, 1, 0.299, 0.587); // changes nothing on grey; as OpenCV asks
        else if (colourType & PNG_COLOR_MASK_COLOR)
            png_set_bgr(png);
        else
            png_set_gray_to_rgb(png);
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        if (png_get_rowbytes(png, info) != image.cols * image.elemSize())
            png_error(png, "its rows do not have the size of the image");
        for (int y = 0; y < image.rows; ++y)
            rows.push_back(image.ptr(y));
        png_read_image(png, rows.data());
        // OpenCV's reader refuses a file whose end does not read either.
        png_read_end(png, endInfo);
        decoded = true;
    }
    png_destroy_read_struct(&png, &info, &endInfo);
    if (!decoded)
        throw EngineError(exitStatus::dataError,
                          QStringLiteral("%1 image could not be decoded: %2 bytes of PNG whose header reads but whose "
                                         "image data the decoder refused (%3)")
                              .arg(QLatin1String(which))
                              .arg(bytes.size())
                              .arg(QLatin1String(source.message)));
    return image;
}
