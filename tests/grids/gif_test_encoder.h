// A tiny GIF encoder for the tests of the GIF reader: builds GIF87a/89a files from pixel lists
// with a chosen LZW minimum code size, palettes, extension blocks, clear codes mid-stream and
// sub-block size, and offers the building blocks (header, image block, code packing) from
// which the tests assemble malformed files. Header-only; used by tests only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velorn::test {

// Pixels row by row, top row first. The list may deliberately hold more or fewer pixels than
// width x height.
struct GifPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

struct GifEncoding {
  std::string version = "89a";
  int minimum_code_size = 8;
  int global_palette_bits = 7;   // a palette of 2^(bits+1) colours; -1: none
  int local_palette_bits = -1;   // -1: none
  std::string before_image;      // raw blocks (extensions) between the header and the image
  int clear_every = 0;           // a clear code after this many codes (0: only on a full table)
  bool keep_full_table = false;  // on a full table go on with 12-bit codes instead of clearing
  int sub_block_size = 255;
};

// (code, width in bits) in stream order.
using GifCodes = std::vector<std::pair<int, int>>;

inline std::string Le16(int value) {
  return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

// A grey ramp of 2^(bits+1) colours.
inline std::string Palette(int bits) {
  std::string colours;
  const int count = 1 << (bits + 1);
  for (int i = 0; i < count; ++i) colours.append(3, static_cast<char>(i * 255 / (count - 1)));
  return colours;
}

inline std::string GifHeader(const std::string& version, int width, int height,
                             int global_palette_bits) {
  std::string out = "GIF" + version + Le16(width) + Le16(height);
  out += static_cast<char>(global_palette_bits >= 0 ? 0xF0 | global_palette_bits : 0x70);
  out += '\0';  // background colour
  out += '\0';  // aspect ratio
  if (global_palette_bits >= 0) out += Palette(global_palette_bits);
  return out;
}

// Splits data into sub-blocks of at most `size` bytes and closes them with a block of size 0.
inline std::string SubBlocks(const std::string& data, int size = 255) {
  std::string out;
  for (size_t at = 0; at < data.size(); at += static_cast<size_t>(size)) {
    const std::string chunk = data.substr(at, static_cast<size_t>(size));
    out += static_cast<char>(chunk.size());
    out += chunk;
  }
  out += '\0';
  return out;
}

// Packs codes least significant bit first.
inline std::string PackCodes(const GifCodes& codes) {
  std::string bytes;
  uint64_t bits = 0;
  int held = 0;
  for (const auto& [code, width] : codes) {
    bits |= static_cast<uint64_t>(code) << held;
    held += width;
    for (; held >= 8; held -= 8, bits >>= 8) bytes += static_cast<char>(bits & 0xFF);
  }
  if (held > 0) bytes += static_cast<char>(bits & 0xFF);
  return bytes;
}

// Standard GIF LZW: starts with a clear code, ends with the end code; the code width grows
// one bit as soon as the decoder will have 2^width entries, and stays at 12 bits.
inline GifCodes LzwCodes(const std::vector<uint8_t>& pixels, int minimum_code_size,
                         int clear_every = 0, bool keep_full_table = false) {
  const int clear = 1 << minimum_code_size;
  std::map<std::pair<int, int>, int> table;  // (prefix code, pixel) -> code
  int next = clear + 2, width = minimum_code_size + 1, since_clear = 0;
  GifCodes codes;
  auto reset = [&] {
    codes.push_back({clear, width});
    table.clear();
    next = clear + 2;
    width = minimum_code_size + 1;
    since_clear = 0;
  };
  // The decoder adds the entry of a code one code later, so it reads the code after this one
  // wider once the entry this code adds is 2^width.
  auto widen = [&] {
    if (next >= (1 << width) && width < 12) ++width;
  };
  reset();
  if (pixels.empty()) {
    codes.push_back({clear + 1, width});
    return codes;
  }
  int prefix = pixels[0];
  for (size_t i = 1; i < pixels.size(); ++i) {
    const int pixel = pixels[i];
    if (auto found = table.find({prefix, pixel}); found != table.end()) {
      prefix = found->second;
      continue;
    }
    codes.push_back({prefix, width});
    ++since_clear;
    widen();
    if (next < 4096)
      table[{prefix, pixel}] = next++;
    else if (!keep_full_table)
      reset();
    if (clear_every > 0 && since_clear >= clear_every) reset();
    prefix = pixel;
  }
  codes.push_back({prefix, width});
  widen();
  codes.push_back({clear + 1, width});
  return codes;
}

// Image descriptor (at 0/0, with the given size), optional local palette, minimum code size
// and the packed data as sub-blocks.
inline std::string GifImageBlock(int width, int height, int minimum_code_size,
                                 const std::string& data, int local_palette_bits = -1,
                                 int sub_block_size = 255) {
  std::string out(1, '\x2C');
  out += Le16(0) + Le16(0) + Le16(width) + Le16(height);
  out += static_cast<char>(local_palette_bits >= 0 ? 0x80 | local_palette_bits : 0);
  if (local_palette_bits >= 0) out += Palette(local_palette_bits);
  out += static_cast<char>(minimum_code_size);
  return out + SubBlocks(data, sub_block_size);
}

inline std::string EncodeGif(const GifPicture& picture, const GifEncoding& encoding = {}) {
  const GifCodes codes = LzwCodes(picture.pixels, encoding.minimum_code_size, encoding.clear_every,
                                  encoding.keep_full_table);
  return GifHeader(encoding.version, picture.width, picture.height, encoding.global_palette_bits) +
         encoding.before_image +
         GifImageBlock(picture.width, picture.height, encoding.minimum_code_size, PackCodes(codes),
                       encoding.local_palette_bits, encoding.sub_block_size) +
         "\x3B";
}

inline std::string GraphicControlExtension() {
  return std::string("\x21\xF9\x04\x05\x0A\x00\x07\x00", 8);
}
inline std::string CommentExtension(const std::string& text) {
  return std::string("\x21\xFE", 2) + SubBlocks(text, 100);
}
inline std::string ApplicationExtension() {
  return std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
}
inline std::string PlainTextExtension() {
  return std::string("\x21\x01\x0C", 3) + std::string(12, '\x01') + SubBlocks("radar", 3);
}

}  // namespace velorn::test
