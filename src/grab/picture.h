// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bitoner::grab {

// A picture could not be made (no font, or the PNG library failed); what() says why.
class PictureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
};

// The fonts looked for, in order: Liberation Sans (fonts-liberation, which the packages name),
// then DejaVu Sans (fonts-dejavu-core, on nearly every Debian system).
std::vector<std::string> fontFiles();

// An RGB picture with text, written as PNG.
class Canvas {
 public:
  // Throws PictureError when no font can be loaded.
  Canvas(int width, int height, Rgb background);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  void set(int x, int y, Rgb colour) {
    if (x >= 0 && y >= 0 && x < width_ && y < height_) {
      pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
              static_cast<std::size_t>(x)] = colour;
    }
  }
  Rgb at(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                   static_cast<std::size_t>(x)];
  }
  void fill(int x, int y, int w, int h, Rgb colour);

  // Text of `pixelSize` with its baseline at y, starting at x; returns its advance in pixels.
  int text(int x, int y, std::string_view utf8, int pixelSize, Rgb colour);
  // The advance `text` would have.
  int textWidth(std::string_view utf8, int pixelSize);

  // The picture as PNG bytes, with `texts` as its text chunks (keyword, Latin-1 text). Throws
  // PictureError.
  std::vector<std::byte> png(
      const std::vector<std::pair<std::string, std::string>>& texts = {}) const;

 private:
  struct Font;

  int width_;
  int height_;
  std::vector<Rgb> pixels_;
  std::unique_ptr<Font> font_;
};

}  // namespace bitoner::grab
