// GifImageReader: a grid given as a GIF image (87a or 89a) whose palette indexes encode a
// measured quantity on an exponential scale, such as the pixel values of a radar composite.
//
// Owns our own decoder of the file (signature, screen descriptor, colour tables, extensions,
// image descriptor, LZW-compressed sub-blocks) into a raster of pixel values, and the
// conversion of pixel values into data values by the GIF mapping. The bilinear resampling of
// the raster onto the model grid is grids/grid_resampling.h; ResampleToGrid below is the same
// operation, kept here under the reader's name.
//
// Called by the grid reader on process 0, in this order: the constructor, ReadSize, a raster of
// height rows and width columns (GridMatrix rows 1..height, columns 1..width), Decode,
// ResampleToGrid onto the model grid, ConvertPixelValues over the model grid.
//
// Limits: the colour tables are read and not used for values; every image of the file fills
// the raster from row 1, column 1 in the order it is stored (the last image wins), with the
// screen width as row length; interlacing, image position and image size are not interpreted.
// Pixel 255 and the pixels above 250 (which the mapping turns into nodata anyway) are decoded
// as nodata, so that resampling never blends them into data. Every fault of the file (no
// GIF87a/89a signature, truncation, a bad extension, an LZW stream that does not start with a
// clear code, a code beyond the code table, more or fewer pixels than the screen holds) writes
// "FATAL: error reading GIF <file> (<reason>)" and throws ErrorCode{22}; the grid reader lets
// it pass.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "grids/grid_resampling.h"

namespace velorn {

// Mapping of pixel values onto data values: a1 * exp(v * b1) up to the limit, a2 * exp(v * b2)
// above it up to 250.
struct GifValueMapping {
  double b1 = 0.0767528404;
  double a1 = 8.916787e-05;
  double b2 = 0.0767528404;
  double a2 = 8.916787e-05;
  int limit = 127;
};

// Data value of one pixel value: -9999 or less stays, 0 stays 0, above 250 gives -9999.
double GifPixelToValue(double pixel, const GifValueMapping& mapping);

class GifImageReader {
 public:
  // Stores the name; nothing is opened yet. `diag` receives the FATAL entries.
  GifImageReader(DiagnosticStream& diag, const std::string& file_name);
  ~GifImageReader();
  GifImageReader(const GifImageReader&) = delete;
  GifImageReader& operator=(const GifImageReader&) = delete;

  // Reads the signature and the screen descriptor: the image width and height (both >= 1). A
  // screen with more pixels than the file's bytes can decode to is refused here (code 22), so
  // that a tiny file cannot make the caller allocate a raster of gigabytes.
  void ReadSize(int& width, int& height);

  // Decodes the image into `raster`, which must hold rows 1..height and columns 1..width.
  void Decode(const GridMatrix& raster);

  // The bilinear resampling of grids/grid_resampling.h.
  static void ResampleToGrid(DiagnosticStream& diag, double** source, int source_first_col,
                             int source_last_col, int source_first_row, int source_last_row,
                             double** target, int target_first_col, int target_last_col,
                             int target_first_row, int target_last_row, double** mask,
                             double source_x0, double source_y0, double source_cellsize,
                             double target_x0, double target_y0, double target_cellsize) {
    velorn::ResampleToGrid(diag, source, source_first_col, source_last_col, source_first_row,
                           source_last_row, target, target_first_col, target_last_col,
                           target_first_row, target_last_row, mask, source_x0, source_y0,
                           source_cellsize, target_x0, target_y0, target_cellsize);
  }

  // Turns the pixel values of the rectangle into data values (GifPixelToValue).
  static void ConvertPixelValues(double** grid, int first_col, int last_col, int first_row,
                                 int last_row, const GifValueMapping& mapping);

 private:
  // Opens the file and reads signature and screen descriptor (width_, height_, flags).
  void OpenAndReadScreen();
  void DecodeStream(const GridMatrix& raster);
  void SkipExtension();
  void DecodeImage(const GridMatrix& raster);
  // A colour table of 3 x 2^(n+1) bytes when bit 7 of `flags` is set (n = bits 0-2).
  void SkipColourTable(int flags);
  void SkipSubBlocks();
  uint8_t ReadByte();
  // Reads `count` bytes into buffer_.
  void ReadBytes(size_t count);
  [[noreturn]] void Fail(const std::string& reason);

  DiagnosticStream* diag_;
  std::string file_name_;
  std::ifstream input_;
  int64_t offset_ = 0;  // bytes read from the file so far
  std::vector<uint8_t> buffer_;
  int width_ = 0;
  int height_ = 0;
  int screen_flags_ = 0;
};

}  // namespace velorn
