// StackFileReader: recognition, header, geometry check and row-by-row read of a stack file on
// process 0 (see stack_file_reader.h).
#include "grids/stack_file_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/error_code.h"
#include "core/number_reader.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

constexpr int kGeometryCode = 24;

// Header value 6 of a binary stack (the nodata value) marks the form.
constexpr double kBinaryMark = -9999.0;

// The shortest "%g" text (6 to 17 digits) that reads back as the same number: 100 stays "100",
// while a float cell size differs visibly from the double it was rounded from.
std::string ShortestNumber(double value) {
  std::string text;
  for (int precision = 6; precision <= 17; ++precision) {
    text = FormatText("%.*g", precision, value);
    if (std::strtod(text.c_str(), nullptr) == value) break;
  }
  return text;
}

std::string LastCharacters(const std::string& text) {
  constexpr std::size_t kShown = 35;
  return text.size() <= kShown ? text : text.substr(text.size() - kShown);
}

}  // namespace

StackFileReader::~StackFileReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void StackFileReader::Open() {
  errno = 0;
  file_ = std::fopen(name_.c_str(), "rb");
  if (file_ == nullptr)
    ThrowFatal(diag_, kGridOpenCode, "FATAL: error opening ", name_, SystemReason(ErrnoOrIo()));
  CheckStateFile(diag_, name_);
}

StackForm StackFileReader::Recognise() {
  char magic[5] = {};
  if (std::fread(magic, 1, sizeof magic, file_) == sizeof magic &&
      std::string(magic, sizeof magic) == "stack") {
    errno = 0;
    file_ = std::freopen(name_.c_str(), "r", file_);
    if (file_ == nullptr)
      ThrowFatal(diag_, kGridOpenCode, "FATAL: error opening ", name_, SystemReason(ErrnoOrIo()));
    ReadAsciiHeader();
    return StackForm::kAscii;
  }
  std::rewind(file_);
  std::array<double, kStackHeaderValues> doubles{};
  if (std::fread(doubles.data(), sizeof(double), doubles.size(), file_) != doubles.size())
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading from ", name_);
  if (doubles[5] == kBinaryMark) {
    header_ = doubles;
    return StackForm::kDouble;
  }
  std::array<float, kStackHeaderValues> floats{};
  std::memcpy(floats.data(), doubles.data(), sizeof floats);
  if (floats[5] != static_cast<float>(kBinaryMark))
    ThrowFatal(diag_, kGridFormatCode,
               "FATAL: could not recognise file format (ascii, single float or double float) "
               "for stack ",
               name_);
  std::copy(floats.begin(), floats.end(), header_.begin());
  std::fseek(file_, sizeof floats, SEEK_SET);
  return StackForm::kSingle;
}

StackGeometry StackFileReader::Geometry() const {
  const double levels = std::floor(header_[11]);
  if (!std::isfinite(levels) || levels < 0 || levels > std::numeric_limits<int>::max() - 1)
    ThrowFatal(diag_, kGridFormatCode, "FATAL: invalid level count ", header_[11], " in stack ",
               name_);
  return StackGeometry{static_cast<int64_t>(std::floor(header_[0])),
                       static_cast<int64_t>(std::floor(header_[1])),
                       header_[2],
                       header_[3],
                       header_[4],
                       header_[5],
                       static_cast<int64_t>(levels)};
}

void StackFileReader::CheckGeometry(const StackGeometry& model, StackForm form,
                                    const std::string& module, const std::string& reference) {
  const std::array<double, kStackHeaderValues>& h = header_;
  // A single-precision header holds floats: the model's values are rounded the same way before
  // they are compared, or a geographic cell size would never match the stack the model wrote.
  // Corners are compared by their floors as doubles (no integer conversion of huge numbers).
  const bool single = form == StackForm::kSingle;
  const auto stored = [single](double value) {
    return single ? static_cast<double>(static_cast<float>(value)) : value;
  };
  const bool same = std::isfinite(h[0]) && std::isfinite(h[1]) && std::isfinite(h[2]) &&
                    std::isfinite(h[3]) && std::floor(h[0]) == static_cast<double>(model.ncols) &&
                    std::floor(h[1]) == static_cast<double>(model.nrows) &&
                    std::floor(h[2]) == std::floor(stored(model.xll)) &&
                    std::floor(h[3]) == std::floor(stored(model.yll)) &&
                    h[4] == stored(model.cellsize) && h[5] == stored(model.nodata);
  if (!same) {
    // Every number with the digits that tell it apart (a float cell size and the model's
    // double look alike with six digits).
    const auto pair = [](double a, double b) {
      return ShortestNumber(a) + " " + ShortestNumber(b) + "\n";
    };
    diag_ << "FATAL: " << name_ << " has not the specified grid measures (in " << module << ")\n"
          << LastCharacters(reference) << " " << LastCharacters(name_) << "\n"
          << pair(static_cast<double>(model.ncols), h[0])
          << pair(static_cast<double>(model.nrows), h[1]) << pair(model.xll, h[2])
          << pair(model.yll, h[3]) << pair(model.cellsize, h[4]) << ShortestNumber(model.nodata)
          << " " << ShortestNumber(h[5]);
    Close("stack (1) ");
    ThrowFatal(diag_, kGeometryCode, "");
  }
  const StackGeometry g = Geometry();
  const double values = static_cast<double>(g.ncols) * static_cast<double>(g.nrows) *
                        (static_cast<double>(g.levels) + 1);
  const double bytes = static_cast<double>(FileBytes());
  if (form == StackForm::kAscii) {
    // Every ASCII value takes at least a digit and a separator: a level count that the file
    // cannot hold is a format error before the stack is allocated.
    if (values <= (bytes + 1) / 2) return;
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ascii stack ", name_, ": its header ",
               "announces ", values, " values (", g.levels + 1, " levels), the file of ", bytes,
               " bytes cannot hold them");
  }
  const double element = form == StackForm::kDouble ? 8.0 : 4.0;
  const double expected = (values + kStackHeaderValues) * element;
  if (bytes < expected)
    ThrowFatal(diag_, kGridFormatCode, "FATAL: stack ", name_, " is truncated: ", bytes,
               " bytes instead of ", expected);
}

uint64_t StackFileReader::FileBytes() const {
  struct stat info {};
  if (file_ == nullptr || fstat(fileno(file_), &info) != 0 || info.st_size < 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

void StackFileReader::ReadRows(StackForm form, const StackGeometry& g, double*** stack) {
  if (form == StackForm::kDouble) return ReadBinaryRows<double>(g, stack, "double");
  if (form == StackForm::kSingle) return ReadBinaryRows<float>(g, stack, "float");
  for (int64_t row = 1; row <= g.nrows; ++row)
    for (int64_t col = 1; col <= g.ncols; ++col)
      for (int64_t level = 0; level <= g.levels; ++level)
        if (!NextNumber(stack[row][col][level]))
          ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ascii stack ", name_, "at row ",
                     static_cast<long>(row), ", column ", static_cast<long>(col), ", level ",
                     static_cast<long>(level));
}

void StackFileReader::Close(const char* what) {
  std::FILE* file = file_;
  file_ = nullptr;
  if (file != nullptr && std::fclose(file) != 0)
    ThrowFatal(diag_, kGridCloseCode, "FATAL: error closing ", what, name_);
}

void StackFileReader::ReadAsciiHeader() {
  std::string word;
  for (double& value : header_)
    if (!NextToken(word) || !NextNumber(value))
      ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading from ", name_);
}

template <class Element>
void StackFileReader::ReadBinaryRows(const StackGeometry& g, double*** stack, const char* type) {
  std::vector<Element> row_values(static_cast<std::size_t>(g.ncols * (g.levels + 1)));
  for (int64_t row = 1; row <= g.nrows; ++row) {
    if (std::fread(row_values.data(), sizeof(Element), row_values.size(), file_) !=
        row_values.size())
      ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ", type, " stack ", name_, "at row ",
                 static_cast<long>(row));
    const Element* value = row_values.data();
    for (int64_t col = 1; col <= g.ncols; ++col)
      for (int64_t level = 0; level <= g.levels; ++level)
        stack[row][col][level] = static_cast<double>(*value++);
  }
}

int StackFileReader::NextChar() {
  if (position_ == filled_) {
    buffer_.resize(1 << 16);
    filled_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    position_ = 0;
    if (filled_ == 0) return EOF;
  }
  return static_cast<unsigned char>(buffer_[position_++]);
}

bool StackFileReader::NextToken(std::string& token) {
  token.clear();
  int ch = NextChar();
  while (ch != EOF && std::isspace(ch)) ch = NextChar();
  while (ch != EOF && !std::isspace(ch)) {
    token.push_back(static_cast<char>(ch));
    ch = NextChar();
  }
  return !token.empty();
}

bool StackFileReader::NextNumber(double& value) {
  if (!NextToken(token_)) return false;
  return ReadNumber(token_, value);
}

}  // namespace velorn
