// PNG encoding with libpng (Linux build).
#include <png.h>

#include "usbcam/images.h"

namespace usbcam {
namespace {

void AppendToVector(png_structp png, png_bytep data, png_size_t length) {
    auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void NoFlush(png_structp) {}

}  // namespace

bool EncodePng(const GreyImage &image, std::vector<uint8_t> *out, std::string *error) {
    out->clear();
    if (image.Width == 0 || image.Height == 0 ||
        uint64_t{image.Width} * image.Height != image.Pixels.size()) {
        *error = "PNG: no image to encode";
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        *error = "PNG: libpng could not start";
        return false;
    }
    std::vector<png_bytep> rows(image.Height);
    for (uint32_t y = 0; y < image.Height; ++y) {
        rows[y] = const_cast<png_bytep>(image.Pixels.data() + size_t{y} * image.Width);
    }
    // libpng reports its errors by longjmp; nothing here needs unwinding.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "PNG: libpng failed to encode the image";
        return false;
    }
    png_set_write_fn(png, out, AppendToVector, NoFlush);
    png_set_IHDR(png, info, image.Width, image.Height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace usbcam
