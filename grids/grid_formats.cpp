// Grid file formats: recognition, ASCII and binary layouts, opening with retries (see
// grid_formats.h).
#include "grids/grid_formats.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "core/error_code.h"
#include "core/number_reader.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

constexpr int kOpenAttempts = 6;
constexpr int kRetryWaitMs = 200;

// ---- Text scanning ---------------------------------------------------------------------------

// The white space that "%lf" and "%s" skip.
inline bool IsBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

inline const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

inline const char* SkipWord(const char* p, const char* end) {
  while (p < end && !IsBlank(*p)) ++p;
  return p;
}

// Reads the word starting at p as a number (core/number_reader.h); on success p moves behind it.
inline bool ReadNumber(const char*& p, const char* end, double& value) {
  const char* const word_end = SkipWord(p, end);
  if (!velorn::ReadNumber(std::string_view(p, static_cast<std::size_t>(word_end - p)), value))
    return false;
  p = word_end;
  return true;
}

bool IsKeyStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

std::string LowerCopy(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// Header keys: the slot (0..5) that each fills, and whether it names a cell centre.
struct HeaderKey {
  const char* name;
  int slot;
  bool centre;
};
constexpr HeaderKey kHeaderKeys[] = {
    {"ncols", 0, false},    {"nrows", 1, false},        {"xllcorner", 2, false},
    {"xllcenter", 2, true}, {"yllcorner", 3, false},    {"yllcenter", 3, true},
    {"cellsize", 4, false}, {"nodata_value", 5, false},
};
constexpr const char* kSlotNames[] = {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize"};

const HeaderKey* FindHeaderKey(std::string_view word) {
  const std::string lower = LowerCopy(word);
  for (const HeaderKey& key : kHeaderKeys)
    if (lower == key.name) return &key;
  return nullptr;
}

AsciiHeaderResult HeaderFailure(int pair, std::string reason) {
  AsciiHeaderResult result;
  result.failed_pair = pair;
  result.reason = std::move(reason);
  return result;
}

template <class T>
T LoadValue(const unsigned char* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// ---- Waiting between open attempts -----------------------------------------------------------

std::mutex g_sleep_mutex;
OpenRetrySleep g_sleep;

void RealSleep(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WaitBeforeRetry(int milliseconds) {
  OpenRetrySleep sleep;
  {
    std::lock_guard<std::mutex> lock(g_sleep_mutex);
    sleep = g_sleep;
  }
  if (sleep)
    sleep(milliseconds);
  else
    RealSleep(milliseconds);
}

}  // namespace

// ---- Recognition -----------------------------------------------------------------------------

// The bytes some editors put before the text of a file they save as UTF-8.
constexpr const char* kUtf8ByteOrderMark = "\xEF\xBB\xBF";

GridFileType DetectGridFileType(const unsigned char* lead, std::size_t size) {
  const auto starts = [&](std::size_t at, const char* text) {
    const std::size_t length = std::strlen(text);
    return size >= at + length && std::memcmp(lead + at, text, length) == 0;
  };
  if (starts(0, "CDF") || starts(1, "HDF")) return kGridNetcdf;
  const std::size_t text = starts(0, kUtf8ByteOrderMark) ? std::strlen(kUtf8ByteOrderMark) : 0;
  if (starts(text, "ncol") || starts(text, "NCOL")) return kGridAscii;
  if (size >= kBinaryHeaderValues * sizeof(double) &&
      LoadValue<double>(lead + 5 * sizeof(double)) == kBinaryNodataMarker)
    return kGridBinaryDouble;
  if (size >= kBinaryHeaderValues * sizeof(float) &&
      LoadValue<float>(lead + 5 * sizeof(float)) == static_cast<float>(kBinaryNodataMarker))
    return kGridBinarySingle;
  if (starts(0, "GIF8")) return kGridGif;
  return kGridUnknown;
}

std::array<double, kBinaryHeaderValues> DecodeBinaryHeader(const unsigned char* lead,
                                                           bool double_precision) {
  std::array<double, kBinaryHeaderValues> header{};
  for (int i = 0; i < kBinaryHeaderValues; ++i) {
    header[i] = double_precision ? LoadValue<double>(lead + i * sizeof(double))
                                 : static_cast<double>(LoadValue<float>(lead + i * sizeof(float)));
  }
  return header;
}

// ---- ASCII -----------------------------------------------------------------------------------

AsciiHeaderResult ParseAsciiHeader(std::string_view text) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  if (text.starts_with(kUtf8ByteOrderMark)) p += std::strlen(kUtf8ByteOrderMark);
  AsciiHeaderResult result;
  std::array<bool, 6> given{};
  std::array<bool, 6> centre{};
  int pairs = 0;
  while (pairs < 6) {
    p = SkipBlanks(p, end);
    if (p == end || !IsKeyStart(*p)) break;  // the first value: the header is over
    const int pair = pairs + 1;
    const char* word_end = SkipWord(p, end);
    const std::string_view word(p, static_cast<std::size_t>(word_end - p));
    const HeaderKey* key = FindHeaderKey(word);
    if (key == nullptr) return HeaderFailure(pair, "unknown key " + std::string(word));
    if (given[key->slot]) return HeaderFailure(pair, "key " + std::string(word) + " given twice");
    p = SkipBlanks(word_end, end);
    double value = 0;
    if (!ReadNumber(p, end, value))
      return HeaderFailure(pair, "no number after " + std::string(word));
    result.values[key->slot] = value;
    given[key->slot] = true;
    centre[key->slot] = key->centre;
    pairs = pair;
  }
  for (int slot = 0; slot < 5; ++slot)
    if (!given[slot]) return HeaderFailure(pairs + 1, std::string("no ") + kSlotNames[slot]);
  if (!given[5]) result.values[5] = kAsciiDefaultNodata;
  for (int slot = 2; slot <= 3; ++slot)
    if (centre[slot]) result.values[slot] -= result.values[4] / 2.0;
  result.data_offset = static_cast<std::size_t>(p - begin);
  return result;
}

namespace {

// The cell that the next number of an ASCII grid goes to, carried from one piece of text to the
// next; cells equal to `from` become `to` (never when `from` is not a number).
class AsciiCellCursor {
 public:
  AsciiCellCursor(int64_t rows, int64_t cols, double** target, double from, double to)
      : rows_(rows), cols_(cols), target_(target), from_(from), to_(to) {
    StartRow();
  }

  bool Done() const { return row_ > rows_; }

  // Reads the numbers of [p, end), which must not cut a word, until the text or the cells are
  // used up; false at a word that is no number (the cursor stays at its cell). The loop works
  // on locals, which a store to a cell cannot alias.
  bool Parse(const char*& p, const char* end) {
    int64_t row = row_, col = col_;
    double* cells = cells_;
    const double from = from_, to = to_;
    double scratch = 0;
    bool read = true;
    while (row <= rows_) {
      p = SkipBlanks(p, end);
      if (p == end) break;
      double& cell = cells != nullptr ? cells[col] : scratch;
      if (!ReadNumber(p, end, cell)) {
        read = false;
        break;
      }
      if (cell == from) cell = to;
      if (++col > cols_) {
        col = 1;
        ++row;
        cells = target_ != nullptr && row <= rows_ ? target_[row] : nullptr;
      }
    }
    row_ = row;
    col_ = col;
    cells_ = cells;
    return read;
  }

  // The result when the text ended here (`rest` not blank: more than the cells).
  AsciiCellResult Finish(bool rest) const {
    AsciiCellResult result;
    if (!Done()) {
      result.ok = false;
      result.row = row_;
      result.col = col_;
    } else if (rest) {
      result.ok = false;
      result.trailing = true;
      result.row = rows_;
      result.col = cols_;
    }
    return result;
  }

 private:
  void StartRow() {
    col_ = 1;
    cells_ = target_ != nullptr && row_ <= rows_ ? target_[row_] : nullptr;
  }

  int64_t rows_, cols_;
  double** target_;
  double from_, to_;
  int64_t row_ = 1;
  int64_t col_ = 1;
  double* cells_ = nullptr;
};

}  // namespace

AsciiCellResult ParseAsciiCells(std::string_view text, std::size_t offset, int64_t rows,
                                int64_t cols, double** target) {
  const char* const end = text.data() + text.size();
  const char* p = text.data() + std::min(offset, text.size());
  AsciiCellCursor cursor(rows, cols, target, std::nan(""), 0);
  cursor.Parse(p, end);
  return cursor.Finish(SkipBlanks(p, end) != end);
}

AsciiCellResult ParseAsciiCellStream(std::string_view start, const AsciiTextSource& more,
                                     int64_t rows, int64_t cols, double** target, double from,
                                     double to, std::size_t buffer_bytes) {
  AsciiCellCursor cursor(rows, cols, target, from, to);
  std::vector<char> buffer(std::max(buffer_bytes, start.size()));
  std::memcpy(buffer.data(), start.data(), start.size());
  std::size_t filled = start.size();
  bool at_end = false;
  for (;;) {
    while (!at_end && filled < buffer.size()) {
      const std::size_t got = more(buffer.data() + filled, buffer.size() - filled);
      at_end = got == 0;
      filled += got;
    }
    const char* const begin = buffer.data();
    const char* end = begin + filled;
    // Only whole words are parsed: the tail after the last blank waits for the next piece.
    if (!at_end) {
      while (end > begin && !IsBlank(end[-1])) --end;
      if (end == begin) return cursor.Finish(cursor.Done());  // a word that fills the buffer
    }
    const char* p = begin;
    if (!cursor.Parse(p, end)) return cursor.Finish(false);
    if (cursor.Done() && SkipBlanks(p, begin + filled) != begin + filled)
      return cursor.Finish(true);
    if (at_end) return cursor.Finish(false);
    filled = static_cast<std::size_t>(begin + filled - end);
    std::memmove(buffer.data(), end, filled);
  }
}

std::string CheckGridHeader(const GridHeader6& header) {
  const double largest = std::numeric_limits<int32_t>::max();
  for (int i = 0; i < 2; ++i) {
    const double n = header[i];
    if (!(n >= 1 && n <= largest) || n != std::floor(n))
      return std::string(i == 0 ? "ncols " : "nrows ") + FormatHeaderNumber(n) +
             " is not a number of cells";
  }
  if (!std::isfinite(header[2]) || !std::isfinite(header[3]))
    return "the lower-left corner is not a finite number";
  if (!(std::isfinite(header[4]) && header[4] > 0))
    return "cellsize " + FormatHeaderNumber(header[4]) + " is not above 0";
  if (!std::isfinite(header[5])) return "the nodata value is not a finite number";
  return {};
}

bool IsRegularGrid(const GridHeader6& header, const GridGeometry& model, bool single_precision) {
  // The model's value as the file's header would hold it. The floors are compared as doubles:
  // a corner far outside the range of any integer type stays a valid (and unequal) number.
  const auto stored = [single_precision](double value) {
    return single_precision ? static_cast<double>(static_cast<float>(value)) : value;
  };
  return std::floor(header[0]) == model.ncols && std::floor(header[1]) == model.nrows &&
         std::floor(header[2]) == std::floor(stored(model.xll)) &&
         std::floor(header[3]) == std::floor(stored(model.yll)) &&
         header[4] == stored(model.cellsize);
}

uint64_t BinaryValuesInFile(uint64_t file_bytes, uint64_t width) {
  const uint64_t header_bytes = kBinaryHeaderValues * width;
  return file_bytes < header_bytes ? 0 : (file_bytes - header_bytes) / width;
}

// ---- Writing ---------------------------------------------------------------------------------

std::string FormatHeaderNumber(double value) {
  const auto exact = [value](const std::string& text) {
    return std::strtod(text.c_str(), nullptr) == value;
  };
  std::string text = FormatText("%.*lf", 6, value);
  if (exact(text) || !std::isfinite(value)) return text;
  for (int precision = 15; precision <= 17; ++precision) {
    text = FormatText("%.*g", precision, value);
    if (exact(text)) break;
  }
  return text;
}

std::string FormatAsciiHeader(const GridGeometry& geometry) {
  std::string header = FormatText("ncols\t%d\nnrows\t%d\n", geometry.ncols, geometry.nrows);
  header += "xllcorner\t" + FormatHeaderNumber(geometry.xll) + "\n";
  header += "yllcorner\t" + FormatHeaderNumber(geometry.yll) + "\n";
  header += "cellsize\t" + FormatHeaderNumber(geometry.cellsize) + "\n";
  header += "nodata_value\t" + FormatHeaderNumber(geometry.nodata) + "\n";
  return header;
}

// ---- Input files -----------------------------------------------------------------------------

OpenRetrySleep SetOpenRetrySleep(OpenRetrySleep sleep) {
  std::lock_guard<std::mutex> lock(g_sleep_mutex);
  OpenRetrySleep previous = std::move(g_sleep);
  g_sleep = std::move(sleep);
  return previous;
}

FilePtr OpenGridFileWithRetries(DiagnosticStream& diag, const std::string& name) {
  for (int attempt = 1;; ++attempt) {
    errno = 0;
    FilePtr file(std::fopen(name.c_str(), "rb"));
    if (file) {
      struct stat info {};
      if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))
        ThrowFatal(diag, kGridOpenCode, "FATAL: error opening ", name,
                   " - it is a directory, not a grid file.");
      return file;
    }
    if (attempt == kOpenAttempts)
      ThrowFatal(diag, kGridOpenCode, "FATAL: still error opening ", name,
                 SystemReason(ErrnoOrIo()), " - no retry.");
    diag << "WARNING: error opening " << name << SystemReason(ErrnoOrIo()) << ". Will try again in "
         << kRetryWaitMs << " ms... (retriesleft = " << kOpenAttempts - attempt << ")"
         << "[end-entry]";
    WaitBeforeRetry(kRetryWaitMs);
  }
}

namespace {

const char* FormWords(GridFileType form) {
  switch (form) {
    case kGridAscii:
      return "ASCII values";
    case kGridBinaryDouble:
      return "binary doubles";
    case kGridBinarySingle:
      return "binary singles";
    case kGridGif:
      return "a GIF image";
    case kGridNetcdf:
      return "netCDF data";
    default:
      return "values of no known form";
  }
}

}  // namespace

std::string FormNameDisagreement(const std::string& name, GridFileType form) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return "";
  std::string extension = name.substr(dot + 1);
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const char* said = extension == "asc"   ? "ASCII grids"
                     : extension == "dbl" ? "binary doubles"
                     : extension == "flt" ? "binary singles"
                     : extension == "stk" ? "binary stacks"
                                          : nullptr;
  if (said == nullptr) return "";
  const bool agrees = extension == "asc"   ? form == kGridAscii
                      : extension == "dbl" ? form == kGridBinaryDouble
                      : extension == "flt" ? form == kGridBinarySingle
                                           : form == kGridBinaryDouble || form == kGridBinarySingle;
  if (agrees) return "";
  return std::string("the file ") + name + " holds " + FormWords(form) + " under a name of " +
         said + " (." + name.substr(dot + 1) + "): it is read as what it holds";
}

}  // namespace velorn
