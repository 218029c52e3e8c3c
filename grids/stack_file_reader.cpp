// StackFileReader: recognition, header, geometry check and row-by-row read of a stack file on
// process 0 (see stack_file_reader.h).
#include "grids/stack_file_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/error_code.h"

namespace velorn {
namespace {

constexpr int kGeometryCode = 24;

// Header value 6 of a binary stack (the nodata value) marks the form.
constexpr double kBinaryMark = -9999.0;

std::string LastCharacters(const std::string& text) {
  constexpr std::size_t kShown = 35;
  return text.size() <= kShown ? text : text.substr(text.size() - kShown);
}

}  // namespace

StackFileReader::~StackFileReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void StackFileReader::Open() {
  file_ = std::fopen(name_.c_str(), "rb");
  if (file_ == nullptr) ThrowFatal(diag_, kGridOpenCode, "FATAL: error opening ", name_);
}

StackForm StackFileReader::Recognise() {
  char magic[5] = {};
  if (std::fread(magic, 1, sizeof magic, file_) == sizeof magic &&
      std::string(magic, sizeof magic) == "stack") {
    file_ = std::freopen(name_.c_str(), "r", file_);
    if (file_ == nullptr) ThrowFatal(diag_, kGridOpenCode, "FATAL: error opening ", name_);
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
  const bool same =
      std::isfinite(h[0]) && std::isfinite(h[1]) && std::isfinite(h[2]) && std::isfinite(h[3]) &&
      std::floor(h[0]) == model.ncols && std::floor(h[1]) == model.nrows &&
      static_cast<int64_t>(std::floor(h[2])) == static_cast<int64_t>(std::floor(model.xll)) &&
      static_cast<int64_t>(std::floor(h[3])) == static_cast<int64_t>(std::floor(model.yll)) &&
      h[4] == model.cellsize && h[5] == model.nodata;
  if (!same) {
    diag_ << "FATAL: " << name_ << " has not the specified grid measures (in " << module << ")\n"
          << LastCharacters(reference) << " " << LastCharacters(name_) << "\n"
          << static_cast<double>(model.ncols) << " " << h[0] << "\n"
          << static_cast<double>(model.nrows) << " " << h[1] << "\n"
          << model.xll << " " << h[2] << "\n"
          << model.yll << " " << h[3] << "\n"
          << model.cellsize << " " << h[4] << "\n"
          << model.nodata << " " << h[5];
    Close("stack (1) ");
    ThrowFatal(diag_, kGeometryCode, "");
  }
  if (form == StackForm::kAscii) return;
  const StackGeometry g = Geometry();
  const double element = form == StackForm::kDouble ? 8.0 : 4.0;
  const double expected = (static_cast<double>(g.ncols) * static_cast<double>(g.nrows) *
                               (static_cast<double>(g.levels) + 1) +
                           kStackHeaderValues) *
                          element;
  const long position = std::ftell(file_);
  std::fseek(file_, 0, SEEK_END);
  const long bytes = std::ftell(file_);
  std::fseek(file_, position, SEEK_SET);
  if (static_cast<double>(bytes) < expected)
    ThrowFatal(diag_, kGridFormatCode, "FATAL: stack ", name_, " is truncated: ", bytes,
               " bytes instead of ", expected);
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
  char* end = nullptr;
  value = std::strtod(token_.c_str(), &end);
  return end != token_.c_str() && *end == '\0';
}

}  // namespace velorn
