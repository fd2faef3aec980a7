#include "png_image.h"

#include <png.h>

namespace sph {

bool encodePng(const std::vector<uint8_t>& rgb, int width, int height, std::string& bytes) {
  bytes.clear();
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {  // libpng reports errors by longjmp
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(
      png, &bytes,
      [](png_structp p, png_bytep data, png_size_t length) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<const char*>(data), length);
      },
      nullptr);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // No filtering and the fastest compression: a frame is mostly black, so it
  // still shrinks about fiftyfold, in a fraction of the default's time.
  png_set_compression_level(png, 1);
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgb.data() + std::size_t(y) * std::size_t(width) * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace sph
