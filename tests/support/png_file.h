// SPDX-License-Identifier: GPL-3.0-or-later
// PNG pictures read back with libpng, independently of the code that wrote them.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bitoner::testing {

struct PngPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // row after row, three bytes a pixel
  std::map<std::string, std::string> texts;

  int green(int x, int y) const {
    return rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)) *
                   3 +
               1];
  }
};

namespace detail {

// libpng jumps back here on an error; the function makes nothing with a destructor.
inline bool readPngInto(std::FILE* file, PngPicture& picture) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, file);
  png_read_png(png, info, PNG_TRANSFORM_STRIP_16 | PNG_TRANSFORM_STRIP_ALPHA, nullptr);
  const bool rgb = png_get_color_type(png, info) == PNG_COLOR_TYPE_RGB;
  if (rgb) {
    picture.width = static_cast<int>(png_get_image_width(png, info));
    picture.height = static_cast<int>(png_get_image_height(png, info));
    const png_bytepp rows = png_get_rows(png, info);
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 3;
    picture.rgb.resize(rowBytes * static_cast<std::size_t>(picture.height));
    for (int y = 0; y < picture.height; ++y) {
      std::copy(rows[y], rows[y] + rowBytes,
                picture.rgb.begin() +
                    static_cast<std::ptrdiff_t>(rowBytes * static_cast<std::size_t>(y)));
    }
    png_textp text = nullptr;
    const int count = png_get_text(png, info, &text, nullptr);
    for (int i = 0; i < count; ++i) {
      picture.texts[text[i].key] = std::string(text[i].text, text[i].text_length);
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return rgb;
}

}  // namespace detail

// The picture, or nothing (width 0) when it is not a whole RGB PNG.
inline PngPicture readPng(const std::string& name) {
  PngPicture picture;
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    return picture;
  }
  if (!detail::readPngInto(file, picture)) {
    picture = PngPicture{};
  }
  std::fclose(file);
  return picture;
}

}  // namespace bitoner::testing
