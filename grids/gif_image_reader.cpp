// Decoder of GIF images into rasters of pixel values and the pixel-to-value mapping
// (see gif_image_reader.h).
#include "grids/gif_image_reader.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/error_code.h"
#include "core/nodata.h"

namespace velorn {
namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kPlainTextLabel = 0x01;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kCommentLabel = 0xFE;
constexpr uint8_t kApplicationLabel = 0xFF;

constexpr int kMaxCodeBits = 12;
constexpr int kMaxCodes = 1 << kMaxCodeBits;  // the code table never grows beyond 4096 entries
constexpr int kSmallestMinimumCodeSize = 2;
constexpr int kLargestMinimumCodeSize = 8;  // pixels are bytes

// Pixel 255 marks missing data in the image; pixels above 250 have no data value either.
constexpr int kHighestDataPixel = 250;

// A fault of the file; Decode and ReadSize turn it into the FATAL entry.
class GifFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string InvalidExtensionText(int id) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", id);
  return std::string("invalid extension type ID \"0x") + hex + "\" found";
}

// Bytes of the signature and the screen descriptor, which hold no image data.
constexpr int64_t kScreenBytes = 13;
// Smallest code width in bits (minimum code size 2 plus one).
constexpr int64_t kSmallestCodeBits = kSmallestMinimumCodeSize + 1;

// The most pixels that `bytes` bytes of LZW data can decode to. The k-th code after a clear
// code stands for a string of at most k pixels (each table entry is one pixel longer than an
// earlier one) and no string is longer than the 4096 entries of the table; every code takes at
// least three bits. So a screen larger than this cannot be filled by the file, whatever it
// holds, and is refused before its raster is allocated.
int64_t MostDecodablePixels(int64_t bytes) {
  const int64_t codes = bytes * 8 / kSmallestCodeBits;
  if (codes <= kMaxCodes) return codes * (codes + 1) / 2;
  return int64_t{kMaxCodes} * (kMaxCodes + 1) / 2 + (codes - kMaxCodes) * kMaxCodes;
}

double PixelValue(int byte) {
  return byte > kHighestDataPixel ? kNodata : byte;
}

// LZW decoder of one image (variable code size, least significant bit first). Codes arrive
// sub-block by sub-block; decoded strings go straight into the raster, row by row, each string
// written from its last pixel back by following the prefixes, so no string is built in memory.
class LzwDecoder {
 public:
  LzwDecoder(int minimum_code_size, double** raster, int width, int height)
      : raster_(raster),
        width_(width),
        capacity_(static_cast<int64_t>(width) * height),
        clear_code_(1 << minimum_code_size),
        end_code_(clear_code_ + 1),
        initial_code_size_(minimum_code_size + 1) {
    table_.reserve(kMaxCodes);
    ResetTable();
  }

  // Appends the bytes of one sub-block above the bits held and decodes every complete code.
  void Feed(const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count && !ended_; ++i) {
      bits_ |= static_cast<uint64_t>(data[i]) << bits_held_;
      bits_held_ += 8;
      while (!ended_ && bits_held_ >= code_size_) {
        const int code = static_cast<int>(bits_ & code_mask_);
        bits_ >>= code_size_;
        bits_held_ -= code_size_;
        Process(code);
      }
    }
  }

  int64_t pixels_written() const { return next_pixel_; }
  int64_t capacity() const { return capacity_; }

 private:
  struct Entry {
    int32_t prefix;     // -1 for a root entry
    int32_t character;  // last pixel of the string
    int32_t first;      // first pixel of the string
    int32_t length;
  };

  void ResetTable() {
    table_.clear();
    for (int c = 0; c <= end_code_; ++c) table_.push_back({-1, c, c, 1});
    code_size_ = initial_code_size_;
    max_code_ = (1 << code_size_) - 1;
    code_mask_ = static_cast<uint64_t>(max_code_);
    previous_ = -1;
  }

  void Process(int code) {
    if (code == clear_code_) {
      ResetTable();
      cleared_ = true;
      return;
    }
    if (!cleared_) throw GifFormatError("LZW data do not begin with a clear code");
    if (code == end_code_) {
      ended_ = true;
      bits_ = 0;
      bits_held_ = 0;
      return;
    }
    const int size = static_cast<int>(table_.size());
    if (previous_ < 0) {
      // The first code after a clear code stands for itself and adds no entry.
      if (code >= size) ThrowBeyondTable(code, size);
      Output(code);
    } else if (code < size) {
      Output(code);
      AddEntry(previous_, table_[static_cast<size_t>(code)].first);
    } else if (code == size && size < kMaxCodes) {
      AddEntry(previous_, table_[static_cast<size_t>(previous_)].first);
      Output(code);
    } else {
      ThrowBeyondTable(code, size);
    }
    previous_ = code;
  }

  [[noreturn]] static void ThrowBeyondTable(int code, int size) {
    throw GifFormatError("LZW code " + std::to_string(code) + " beyond the code table of " +
                         std::to_string(size) + " entries");
  }

  // Adds (prefix string + character); at 4096 entries the table stops growing and the code
  // size stays at 12 bits until the next clear code.
  void AddEntry(int prefix, int character) {
    if (static_cast<int>(table_.size()) >= kMaxCodes) return;
    const Entry& head = table_[static_cast<size_t>(prefix)];
    table_.push_back({prefix, character, head.first, head.length + 1});
    if (static_cast<int>(table_.size()) == max_code_ + 1 && code_size_ < kMaxCodeBits) {
      ++code_size_;
      max_code_ = max_code_ * 2 + 1;
      code_mask_ = static_cast<uint64_t>(max_code_);
    }
  }

  void Output(int code) {
    const Entry* entry = &table_[static_cast<size_t>(code)];
    if (next_pixel_ + entry->length > capacity_)
      throw GifFormatError("image data hold more than the " + std::to_string(capacity_) +
                           " pixels of the image");
    int64_t pixel = next_pixel_ + entry->length - 1;
    for (;;) {
      raster_[pixel / width_ + 1][pixel % width_ + 1] = PixelValue(entry->character);
      if (entry->prefix < 0) break;
      entry = &table_[static_cast<size_t>(entry->prefix)];
      --pixel;
    }
    next_pixel_ += table_[static_cast<size_t>(code)].length;
  }

  double** raster_;
  int width_;
  int64_t capacity_;
  int64_t next_pixel_ = 0;  // raster position: row next_pixel_ / width + 1, column % width + 1
  std::vector<Entry> table_;
  int clear_code_;
  int end_code_;
  int initial_code_size_;
  int code_size_ = 0;
  int max_code_ = 0;
  uint64_t code_mask_ = 0;
  uint64_t bits_ = 0;
  int bits_held_ = 0;
  int previous_ = -1;
  bool cleared_ = false;
  bool ended_ = false;
};

}  // namespace

double GifPixelToValue(double pixel, const GifValueMapping& mapping) {
  if (IsMissing(pixel)) return pixel;
  if (pixel == 0.0) return 0.0;
  if (pixel <= mapping.limit) return mapping.a1 * std::exp(pixel * mapping.b1);
  if (pixel <= kHighestDataPixel) return mapping.a2 * std::exp(pixel * mapping.b2);
  return kNodata;
}

void GifImageReader::ConvertPixelValues(double** grid, int first_col, int last_col, int first_row,
                                        int last_row, const GifValueMapping& mapping) {
  for (int r = first_row; r <= last_row; ++r)
    for (int c = first_col; c <= last_col; ++c) grid[r][c] = GifPixelToValue(grid[r][c], mapping);
}

GifImageReader::GifImageReader(DiagnosticStream& diag, const std::string& file_name)
    : diag_(&diag), file_name_(file_name) {}

GifImageReader::~GifImageReader() = default;

void GifImageReader::ReadSize(int& width, int& height) {
  try {
    OpenAndReadScreen();
    input_.seekg(0, std::ios::end);
    const int64_t file_bytes = static_cast<int64_t>(input_.tellg());
    const int64_t pixels = int64_t{width_} * height_;
    if (file_bytes < 0 || pixels > MostDecodablePixels(file_bytes - kScreenBytes))
      throw GifFormatError("a screen of " + std::to_string(width_) + " x " +
                           std::to_string(height_) + " pixels cannot be filled by the " +
                           std::to_string(file_bytes) + " bytes of the file");
  } catch (const GifFormatError& error) {
    Fail(error.what());
  }
  input_.close();
  width = width_;
  height = height_;
}

void GifImageReader::Decode(const GridMatrix& raster) {
  try {
    DecodeStream(raster);
  } catch (const GifFormatError& error) {
    Fail(error.what());
  }
  input_.close();
}

void GifImageReader::Fail(const std::string& reason) {
  input_.close();
  ThrowFatal(*diag_, 22, "FATAL: error reading GIF ", file_name_, " (", reason, ")");
}

void GifImageReader::OpenAndReadScreen() {
  input_.close();
  input_.clear();
  offset_ = 0;
  input_.open(file_name_, std::ios::in | std::ios::binary);
  if (!input_) throw GifFormatError("the file cannot be opened");
  ReadBytes(6);
  const std::string signature(buffer_.begin(), buffer_.end());
  if (signature != "GIF87a" && signature != "GIF89a")
    throw GifFormatError("the file does not begin with the signature GIF87a or GIF89a");
  ReadBytes(7);
  width_ = buffer_[0] | (buffer_[1] << 8);
  height_ = buffer_[2] | (buffer_[3] << 8);
  screen_flags_ = buffer_[4];
  if (width_ == 0 || height_ == 0)
    throw GifFormatError("the image is " + std::to_string(width_) + " pixels wide and " +
                         std::to_string(height_) + " pixels high");
}

void GifImageReader::DecodeStream(const GridMatrix& raster) {
  OpenAndReadScreen();
  if (!raster || raster.first_row() > 1 || raster.last_row() < height_ || raster.ncols() < width_)
    throw GifFormatError("the raster does not hold the " + std::to_string(height_) + " rows and " +
                         std::to_string(width_) + " columns of the image");
  SkipColourTable(screen_flags_);
  bool image_found = false;
  for (uint8_t block = ReadByte(); block != kTrailer; block = ReadByte()) {
    if (block == kExtensionIntroducer) {
      SkipExtension();
    } else if (block == kImageSeparator) {
      DecodeImage(raster);
      image_found = true;
    } else {
      throw GifFormatError(InvalidExtensionText(block));
    }
  }
  if (!image_found) throw GifFormatError("the file holds no image");
}

void GifImageReader::SkipExtension() {
  const uint8_t label = ReadByte();
  switch (label) {
    case kPlainTextLabel:
      ReadBytes(ReadByte());
      SkipSubBlocks();
      break;
    case kGraphicControlLabel: {
      const int size = ReadByte();
      ReadBytes(static_cast<size_t>(size));
      if (ReadByte() != 0)
        throw GifFormatError(
            "Graphics COntrol extension found, but block end not found as 0x00 after " +
            std::to_string(size) + " bytes");
      break;
    }
    case kCommentLabel:
    case kApplicationLabel:
      SkipSubBlocks();
      break;
    default:
      throw GifFormatError(InvalidExtensionText(label));
  }
}

void GifImageReader::DecodeImage(const GridMatrix& raster) {
  ReadBytes(9);  // left, top, width, height (not interpreted) and the flags
  SkipColourTable(buffer_[8]);
  const int minimum_code_size = ReadByte();
  if (minimum_code_size < kSmallestMinimumCodeSize || minimum_code_size > kLargestMinimumCodeSize)
    throw GifFormatError("invalid LZW minimum code size " + std::to_string(minimum_code_size));
  LzwDecoder decoder(minimum_code_size, raster.get(), width_, height_);
  for (int size = ReadByte(); size != 0; size = ReadByte()) {
    ReadBytes(static_cast<size_t>(size));
    decoder.Feed(buffer_.data(), buffer_.size());
  }
  if (decoder.pixels_written() < decoder.capacity())
    throw GifFormatError("image data end after " + std::to_string(decoder.pixels_written()) +
                         " of " + std::to_string(decoder.capacity()) + " pixels");
}

void GifImageReader::SkipColourTable(int flags) {
  if (flags & 0x80) ReadBytes(static_cast<size_t>(3) << ((flags & 0x07) + 1));
}

void GifImageReader::SkipSubBlocks() {
  for (int size = ReadByte(); size != 0; size = ReadByte()) ReadBytes(static_cast<size_t>(size));
}

uint8_t GifImageReader::ReadByte() {
  ReadBytes(1);
  return buffer_[0];
}

void GifImageReader::ReadBytes(size_t count) {
  buffer_.resize(count);
  if (count == 0) return;
  input_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(count));
  if (input_.gcount() != static_cast<std::streamsize>(count))
    throw GifFormatError("the file ends after " + std::to_string(offset_ + input_.gcount()) +
                         " bytes");
  offset_ += static_cast<int64_t>(count);
}

}  // namespace velorn
