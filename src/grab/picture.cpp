// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/picture.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <filesystem>

#include "decode/loaded_library.h"

namespace bitoner::grab {

namespace {

// libpng's entry points, resolved when the first picture is written: only grab draws.
struct Png {
  Png() {
    library.resolve(createWriteStruct, "png_create_write_struct");
    library.resolve(createInfoStruct, "png_create_info_struct");
    library.resolve(destroyWriteStruct, "png_destroy_write_struct");
    library.resolve(setLongjmpFn, "png_set_longjmp_fn");
    library.resolve(setWriteFn, "png_set_write_fn");
    library.resolve(getIoPtr, "png_get_io_ptr");
    library.resolve(setIhdr, "png_set_IHDR");
    library.resolve(setText, "png_set_text");
    library.resolve(setRows, "png_set_rows");
    library.resolve(writePng, "png_write_png");
  }

  decode::LoadedLibrary library{"libpng16.so.16"};
  decltype(&png_create_write_struct) createWriteStruct = nullptr;
  decltype(&png_create_info_struct) createInfoStruct = nullptr;
  decltype(&png_destroy_write_struct) destroyWriteStruct = nullptr;
  decltype(&png_set_longjmp_fn) setLongjmpFn = nullptr;
  decltype(&png_set_write_fn) setWriteFn = nullptr;
  decltype(&png_get_io_ptr) getIoPtr = nullptr;
  decltype(&png_set_IHDR) setIhdr = nullptr;
  decltype(&png_set_text) setText = nullptr;
  decltype(&png_set_rows) setRows = nullptr;
  decltype(&png_write_png) writePng = nullptr;
};

const Png& pngLibrary() { return decode::loadedOnce<Png, PictureError>("libpng"); }

// FreeType's entry points, resolved when the first picture is made.
struct FreeType {
  FreeType() {
    library.resolve(init, "FT_Init_FreeType");
    library.resolve(done, "FT_Done_FreeType");
    library.resolve(newFace, "FT_New_Face");
    library.resolve(doneFace, "FT_Done_Face");
    library.resolve(setPixelSizes, "FT_Set_Pixel_Sizes");
    library.resolve(loadChar, "FT_Load_Char");
  }

  decode::LoadedLibrary library{"libfreetype.so.6"};
  decltype(&FT_Init_FreeType) init = nullptr;
  decltype(&FT_Done_FreeType) done = nullptr;
  decltype(&FT_New_Face) newFace = nullptr;
  decltype(&FT_Done_Face) doneFace = nullptr;
  decltype(&FT_Set_Pixel_Sizes) setPixelSizes = nullptr;
  decltype(&FT_Load_Char) loadChar = nullptr;
};

const FreeType& freeTypeLibrary() { return decode::loadedOnce<FreeType, PictureError>("FreeType"); }

constexpr int kFixedPointShift = 6;  // FreeType's 26.6 fixed-point advances

// The next code point of UTF-8 text; malformed bytes stand for themselves.
char32_t nextCodePoint(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  int more = lead >= 0xF0U ? 3 : lead >= 0xE0U ? 2 : lead >= 0xC0U ? 1 : 0;
  char32_t code = more == 0 ? lead : lead & (0x3FU >> more);
  while (more-- > 0 && at < text.size() &&
         (static_cast<unsigned char>(text[at]) & 0xC0U) == 0x80U) {
    code = (code << 6U) | (static_cast<unsigned char>(text[at++]) & 0x3FU);
  }
  return code;
}

std::uint8_t blend(std::uint8_t under, std::uint8_t over, unsigned alpha) {
  return static_cast<std::uint8_t>((under * (255U - alpha) + over * alpha + 127U) / 255U);
}

struct PngOut {
  std::vector<std::byte>* bytes;
};

void appendPng(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<PngOut*>(pngLibrary().getIoPtr(png));
  const auto* first = reinterpret_cast<const std::byte*>(data);
  out->bytes->insert(out->bytes->end(), first, first + length);
}

void flushPng(png_structp) {}

// libpng reports errors by jumping back to its set-up point, so this function makes nothing with
// a destructor: everything it uses is made by its caller.
bool encodePng(const Png& lib, PngOut& out, int width, int height, png_bytep* rows,
               std::vector<png_text>& chunks) {
  png_structp png = lib.createWriteStruct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : lib.createInfoStruct(png);
  if (info == nullptr) {
    lib.destroyWriteStruct(&png, nullptr);
    return false;
  }
  // What png_jmpbuf() expands to, through the loaded library.
  if (setjmp(*lib.setLongjmpFn(png, std::longjmp, sizeof(std::jmp_buf))) != 0) {
    lib.destroyWriteStruct(&png, &info);
    return false;
  }
  lib.setWriteFn(png, &out, appendPng, flushPng);
  lib.setIhdr(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
              PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
              PNG_FILTER_TYPE_DEFAULT);
  if (!chunks.empty()) {
    lib.setText(png, info, chunks.data(), static_cast<int>(chunks.size()));
  }
  lib.setRows(png, info, rows);
  lib.writePng(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  lib.destroyWriteStruct(&png, &info);
  return true;
}

}  // namespace

std::vector<std::string> fontFiles() {
  return {"/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
          "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
}

struct Canvas::Font {
  const FreeType& lib = freeTypeLibrary();
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  int pixelSize = 0;

  Font() {
    if (lib.init(&library) != 0) {
      throw PictureError("cannot start FreeType");
    }
    for (const std::string& file : fontFiles()) {
      if (lib.newFace(library, file.c_str(), 0, &face) == 0) {
        return;
      }
    }
    lib.done(library);
    throw PictureError("no font to write on the picture: install fonts-liberation (" +
                       fontFiles().front() + ")");
  }
  ~Font() {
    lib.doneFace(face);
    lib.done(library);
  }
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  bool load(char32_t code, int size) {
    if (size != pixelSize) {
      lib.setPixelSizes(face, 0, static_cast<FT_UInt>(size));
      pixelSize = size;
    }
    return lib.loadChar(face, code, FT_LOAD_RENDER) == 0;
  }
};

Canvas::Canvas(int width, int height, Rgb background)
    : width_(width),
      height_(height),
      pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), background),
      font_(std::make_unique<Font>()) {}

Canvas::~Canvas() = default;

void Canvas::fill(int x, int y, int w, int h, Rgb colour) {
  for (int row = std::max(0, y); row < std::min(height_, y + h); ++row) {
    for (int column = std::max(0, x); column < std::min(width_, x + w); ++column) {
      set(column, row, colour);
    }
  }
}

int Canvas::text(int x, int y, std::string_view utf8, int pixelSize, Rgb colour) {
  const int start = x;
  for (std::size_t at = 0; at < utf8.size();) {
    if (!font_->load(nextCodePoint(utf8, at), pixelSize)) {
      continue;
    }
    const FT_GlyphSlot glyph = font_->face->glyph;
    const FT_Bitmap& bitmap = glyph->bitmap;
    for (unsigned row = 0; row < bitmap.rows; ++row) {
      for (unsigned column = 0; column < bitmap.width; ++column) {
        const unsigned alpha =
            bitmap.buffer[static_cast<std::ptrdiff_t>(row) * bitmap.pitch + column];
        const int px = x + glyph->bitmap_left + static_cast<int>(column);
        const int py = y - glyph->bitmap_top + static_cast<int>(row);
        if (alpha == 0 || px < 0 || py < 0 || px >= width_ || py >= height_) {
          continue;
        }
        const Rgb under = this->at(px, py);
        set(px, py,
            {blend(under.r, colour.r, alpha), blend(under.g, colour.g, alpha),
             blend(under.b, colour.b, alpha)});
      }
    }
    x += static_cast<int>(glyph->advance.x >> kFixedPointShift);
  }
  return x - start;
}

int Canvas::textWidth(std::string_view utf8, int pixelSize) {
  int width = 0;
  for (std::size_t at = 0; at < utf8.size();) {
    if (font_->load(nextCodePoint(utf8, at), pixelSize)) {
      width += static_cast<int>(font_->face->glyph->advance.x >> kFixedPointShift);
    }
  }
  return width;
}

std::vector<std::byte> Canvas::png(
    const std::vector<std::pair<std::string, std::string>>& texts) const {
  static_assert(sizeof(Rgb) == 3);
  std::vector<std::byte> bytes;
  // Room for the picture uncompressed, so that libpng's callback does not allocate.
  bytes.reserve(pixels_.size() * sizeof(Rgb) + static_cast<std::size_t>(height_) + 4096);
  PngOut out{&bytes};
  std::vector<png_bytep> rows(static_cast<std::size_t>(height_));
  for (int y = 0; y < height_; ++y) {
    // libpng takes rows as non-const pointers but only reads them when writing.
    rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(reinterpret_cast<const png_byte*>(
        pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_)));
  }
  std::vector<png_text> chunks(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
    // libpng copies the texts; it takes them as non-const only by its old interface.
    chunks[i].key = const_cast<png_charp>(texts[i].first.c_str());
    chunks[i].text = const_cast<png_charp>(texts[i].second.c_str());
    chunks[i].text_length = texts[i].second.size();
  }
  if (!encodePng(pngLibrary(), out, width_, height_, rows.data(), chunks)) {
    throw PictureError("the PNG library failed to write the picture");
  }
  return bytes;
}

}  // namespace bitoner::grab
