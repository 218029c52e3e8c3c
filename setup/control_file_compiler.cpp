#include "setup/control_file_compiler.h"

#include <mpi.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

constexpr const char* kWhiteSpace = " \t\n\r\v\f";
// Opening and closing texts of the framed messages about the control file's contents.
constexpr const char* kFrameHead =
    "FATAL: \n-----------------------------------------------------------";
constexpr const char* kFrameTail =
    "\n\n-----------------------------------------------------------\n";
constexpr const char* kWarningHead =
    "INFO: \n------------------------ WARNING --------------------------";
constexpr const char* kWarningTail =
    "\n-----------------------------------------------------------\n";

bool IsWhiteSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// True when the first word of `line` is exactly "$set".
bool FirstWordIsSet(const std::string& line) {
  std::size_t start = line.find_first_not_of(kWhiteSpace);
  if (start == std::string::npos || line.compare(start, 4, "$set") != 0) return false;
  return start + 4 == line.size() || IsWhiteSpace(line[start + 4]);
}

// Length of a line without its line end.
std::size_t TextLength(const std::string& line) {
  return !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size();
}

// Cuts a "#" comment: the text from the first '#' (at position 1 or later) is dropped together
// with the white space before it; the line keeps its line end. A line holding nothing but white
// space before the '#' (a comment line, once its front blank is counted) keeps only the line
// end, so nothing of it is written.
void CutComment(std::string& line) {
  std::size_t hash = line.find('#');
  if (hash == std::string::npos || hash < 1) return;
  const bool had_line_end = line.back() == '\n';
  std::size_t end = hash;
  while (end > 0 && IsWhiteSpace(line[end - 1])) --end;
  line.resize(end);
  if (had_line_end) line += '\n';
}

// The reference that starts at the '$' at `dollar`: up to the next white space, cut before the
// first "//" and then before the first ';'.
std::string ReferenceAt(const std::string& line, std::size_t dollar) {
  std::size_t end = line.find_first_of(kWhiteSpace, dollar);
  std::string reference = line.substr(dollar, end == std::string::npos ? end : end - dollar);
  std::size_t cut = reference.find("//");
  if (cut != std::string::npos) reference.resize(cut);
  cut = reference.find(';');
  if (cut != std::string::npos) reference.resize(cut);
  return reference;
}

void RemoveDoubleSlashes(std::string& line) {
  std::size_t pos = line.find("//");
  while (pos != std::string::npos) {
    line.erase(pos, 2);
    pos = line.find("//", pos);
  }
}

// Values that are numbers (or hold an infinity or NaN) may well be equal by intent.
bool IsNumericValue(const std::string& value) {
  for (const char* special : {"inf", "nan", "INF", "NAN", "Inf", "Nan"})
    if (value.find(special) != std::string::npos) return true;
  if (value.empty()) return true;
  double number = 0;
  return ReadNumber(value, number);
}

// The sections that the models read under fixed names (besides these: one section per
// meteorological variable of [meteo_names], and the numbered rule sections of discharge
// routing).
constexpr std::string_view kKnownSections[] = {
    "[ExternalCoupling]",
    "[LayeredSnowModel]",
    "[LayeredSnowProperties]",
    "[RegionalSuperposition]",
    "[SiltingUpModel]",
    "[SpinUp]",
    "[SurfaceRoutingModel]",
    "[coordinates]",
    "[data_assimilation]",
    "[elevation_model]",
    "[evapotranspiration]",
    "[groundwater_flow]",
    "[groundwater_tuning]",
    "[heat_transfer]",
    "[ice_firn]",
    "[interception_model]",
    "[irrigation]",
    "[irrigation_table]",
    "[lake_model]",
    "[landuse_table]",
    "[meteo_data_count]",
    "[meteo_names]",
    "[model_time]",
    "[multilayer_landuse]",
    "[output_interval]",
    "[output_list]",
    "[permafrost]",
    "[precipitation_correction]",
    "[radiation_correction]",
    "[region_transition_distance]",
    "[routing_model]",
    "[snow_model]",
    "[soil_surface_groundwater_substeps]",
    "[soil_table]",
    "[special_output]",
    "[standard_grids]",
    "[substance_transport]",
    "[unsatzon_model]",
    "[unsatzon_tuning]",
    "[variable_grids]",
    "[zone_grid]",
};

// "[<prefix><digits>]".
bool IsNumberedSection(const std::string& header, std::string_view prefix) {
  if (header.size() < prefix.size() + 3 || header.compare(1, prefix.size(), prefix) != 0 ||
      header.back() != ']')
    return false;
  const std::size_t digits = header.size() - prefix.size() - 2;
  return digits > 0 && std::all_of(header.begin() + 1 + static_cast<long>(prefix.size()),
                                   header.end() - 1, [](char c) { return std::isdigit(c) != 0; });
}

}  // namespace

bool IsKnownSection(const std::string& header) {
  for (std::string_view known : kKnownSections)
    if (header == known) return true;
  return IsNumberedSection(header, "abstraction_rule_reservoir_") ||
         IsNumberedSection(header, "abstraction_rule_abstraction_");
}

long SymbolTable::Find(const std::string& name) const {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<long>(i);
  return -1;
}

std::string CompiledControlFileName(const std::string& control_file_name) {
  return FormatText("%s.$$$", control_file_name.c_str());
}

std::string ControlFileCompiler::CompileControlFileSymbols(const std::string& control_file_name) {
  return CompileControlFileSymbols(control_file_name, CompiledControlFileName(control_file_name));
}

std::string ControlFileCompiler::CompileControlFileSymbols(const std::string& control_file_name,
                                                           const std::string& compiled_name) {
  // The compiled text is complete before its file is opened: a faulty control file leaves no
  // compiled file behind.
  WriteCompiledFile(diag_, compiled_name, CompileText(control_file_name));
  return compiled_name;
}

std::string ControlFileCompiler::CompileText(const std::string& control_file_name) {
  diag_ << "compiling symbols in control file " << control_file_name << "[end-entry]";

  // The symbol table lives only while compiling, whichever way the compilation ends.
  struct Release {
    ControlFileCompiler& compiler;
    ~Release() { compiler.FreeWorkBuffers(); }
  } release{*this};
  FreeWorkBuffers();

  // A directory or a device (such as /dev/zero, read without end) is no control file. A name
  // that begins with "-" and names no file was meant as an option ("--version", an option in
  // capitals): say so rather than look for a control file.
  std::error_code not_regular;
  const auto status = std::filesystem::status(control_file_name, not_regular);
  if (!std::filesystem::exists(status)) {
    const int error = not_regular ? not_regular.value() : ENOENT;
    if (!control_file_name.empty() && control_file_name[0] == '-')
      ThrowFatal(diag_, 28, "FATAL: error opening ", control_file_name, SystemReason(error),
                 " - it is no option of velorn either (the options are -diagfile:<file>, "
                 "-diaglevel:<level>, -dumpmode[:n], -closeAfterDump, -repairAfterDump and "
                 "-h or --help, written as here)");
    ThrowFatal(diag_, 28, "FATAL: error opening ", control_file_name, SystemReason(error));
  }
  if (!std::filesystem::is_regular_file(status))
    ThrowFatal(diag_, 28, "FATAL: error opening ", control_file_name,
               " - it is not a regular file");
  const std::uintmax_t size = std::filesystem::file_size(control_file_name, not_regular);
  if (!not_regular && size > kMaxControlFileBytes)
    ThrowFatal(diag_, 28, "FATAL: error opening ", control_file_name, " - it holds ", size,
               " bytes, more than a control file can hold (", kMaxControlFileBytes, ")");
  errno = 0;
  std::ifstream control(control_file_name);
  if (!control)
    ThrowFatal(diag_, 28, "FATAL: error opening ", control_file_name, SystemReason(ErrnoOrIo()));
  CollectSymbols(control, control_file_name);

  control.clear();
  control.seekg(0);
  if (!control) ThrowFatal(diag_, 28, "FATAL: error rewinding ", control_file_name);
  std::ostringstream compiled;
  WriteCompiledLines(control, compiled, control_file_name);

  control.clear();
  control.close();
  if (control.fail()) ThrowFatal(diag_, 11, "FATAL: error closing ", control_file_name);
  CheckSectionHeaders(compiled.str(), control_file_name);
  return compiled.str();
}

// A section given twice would be read from its first copy only (the second, often the one just
// edited, without effect); a header that no model knows hides its section from the model that
// reads it under its right name (which then misses it or, for an optional section, runs without
// it). The first is refused, the second named in a WARNING.
void ControlFileCompiler::CheckSectionHeaders(const std::string& text,
                                              const std::string& control_file_name) {
  ControlFileReader file;
  file.OpenText(text);
  std::vector<std::pair<std::string, long>> headers;  // header, line of the control file
  std::unordered_set<std::string> meteo_names;
  bool in_meteo_names = false;
  std::string word;
  while (file.Read(word)) {
    const std::size_t line = file.line_number() - 1;
    file.SkipRestOfLine();
    const long original = line < original_lines_.size() ? original_lines_[line] : 0;
    if (word.size() < 2 || word.front() != '[' || word.back() != ']') {
      if (in_meteo_names) meteo_names.insert("[" + word + "]");
      continue;
    }
    for (const auto& [earlier, earlier_line] : headers)
      if (earlier == word)
        ThrowFatal(diag_, kControlFileErrorCode, "FATAL: error in control file, the section ", word,
                   " stands twice in ", control_file_name, ", in lines ", earlier_line, " and ",
                   original, "; the model would read only the first: merge them or remove one");
    headers.emplace_back(word, original);
    in_meteo_names = word == "[meteo_names]";
  }
  for (const auto& [header, line] : headers) {
    if (IsKnownSection(header) || meteo_names.count(header) > 0) continue;
    diag_ << "WARNING: the section " << header << " in line " << line << " of " << control_file_name
          << " is read by no model: check its spelling (a section under another name is "
             "missing for its model)[end-entry]";
  }
}

void WriteCompiledFile(DiagnosticStream& diag, const std::string& compiled_name,
                       const std::string& text) {
  errno = 0;
  std::FILE* file = std::fopen(compiled_name.c_str(), "w");
  if (file == nullptr)
    ThrowFatal(diag, 28, "FATAL: error opening ", compiled_name, SystemReason(ErrnoOrIo()));
  CheckedFile compiled_file(diag, 28, compiled_name, file);
  compiled_file.Write(text);
  compiled_file.Close();
}

void ControlFileCompiler::FreeWorkBuffers() {
  table_ = SymbolTable{};
  std::vector<long>().swap(original_lines_);
  std::string().swap(line_);
  first_with_value_.clear();
  reported_values_.clear();
}

bool ControlFileCompiler::ReadLine(std::istream& in, long line_number,
                                   const std::string& control_file_name) {
  if (!std::getline(in, line_)) {
    if (in.bad()) ThrowFatal(diag_, 28, "FATAL: error reading ", control_file_name);
    return false;
  }
  CheckLineCharacters(line_number, control_file_name);
  // Everything from the first '#' is a comment and dropped, so only the text before it counts.
  if (std::min(line_.find('#'), line_.size()) > kMaxReadLineLength)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: line ", line_number, " of control file ",
               control_file_name, " is longer than 2399 characters");
  if (!in.eof()) line_ += '\n';
  return true;
}

// A carriage return with more text behind it: the file ends its lines with CR alone and reads
// as one line, whose sections the readers would not find. A control character before the
// comment (a NUL byte of a damaged file) would end or split a value without a word. Both are
// named with the line, instead of the section or value they hide.
void ControlFileCompiler::CheckLineCharacters(long line_number,
                                              const std::string& control_file_name) {
  const std::size_t cr = line_.find('\r');
  if (cr != std::string::npos && line_.find_first_not_of("\r\n", cr) != std::string::npos)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: line ", line_number, " of control file ",
               control_file_name,
               " ends its lines with a carriage return alone (CR, without a line feed): save "
               "it with line ends LF or CR LF");
  const std::size_t text_end = std::min(line_.find('#'), line_.size());
  for (std::size_t i = 0; i < text_end; ++i) {
    const auto c = static_cast<unsigned char>(line_[i]);
    if (c >= 0x20 && c != 0x7F) continue;
    if (c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') continue;
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: line ", line_number, " of control file ",
               control_file_name, " holds the control character ",
               c == 0 ? std::string("NUL") : FormatText("0x%02X", c), " at column ", i + 1,
               "; a control file holds text only (is it damaged?)");
  }
}

// Pass 1: every line whose first word is "$set" defines a symbol.
void ControlFileCompiler::CollectSymbols(std::istream& in, const std::string& control_file_name) {
  for (long line_number = 1; ReadLine(in, line_number, control_file_name); ++line_number)
    if (FirstWordIsSet(line_)) DefineSymbol(line_, line_number, control_file_name);
}

void ControlFileCompiler::DefineSymbol(const std::string& line, long line_number,
                                       const std::string& control_file_name) {
  if (table_.size() >= kMaxSymbols)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: more than 2000 symbols in control file ",
               control_file_name, " at line ", line_number);
  // "$set", name, "=", value; further words are not read.
  std::istringstream words(line);
  std::string set_word, name, equals_word, value;
  words >> set_word >> name >> equals_word >> value;
  if (equals_word.size() > kMaxDefinitionWordLength)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: third word of the symbol definition at line ",
               line_number, " of control file ", control_file_name,
               " is longer than 99 characters");
  if (name.size() > kMaxSymbolTextLength)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: name of the symbol defined at line ",
               line_number, " of control file ", control_file_name,
               " is longer than 299 characters");
  if (value.size() > kMaxSymbolTextLength)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: value of symbol ", name, " at line ",
               line_number, " of control file ", control_file_name,
               " is longer than 299 characters");

  // The value may use the symbols of earlier lines; the new entry takes part in the lookup so
  // that a value referring to its own symbol is reported.
  const long entry = static_cast<long>(table_.size());
  table_.names.push_back(name);
  table_.values.push_back(value);
  SubstituteSymbols(value, line_number, table_, entry);
  if (value.size() > kMaxSymbolTextLength)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: value of symbol ", name, " at line ",
               line_number, " of control file ", control_file_name,
               " is longer than 299 characters after symbol substitution");
  table_.values.back() = value;
  WarnAboutDuplicateValue(static_cast<std::size_t>(entry));
}

// Each value that a second symbol repeats is noted once, naming the first two symbols that hold
// it; a note per pair would grow with the square of the symbol count.
void ControlFileCompiler::WarnAboutDuplicateValue(std::size_t new_entry) {
  const std::string& value = table_.values[new_entry];
  if (IsNumericValue(value)) return;
  const auto [first, inserted] = first_with_value_.try_emplace(value, new_entry);
  if (inserted || !reported_values_.insert(value).second) return;
  diag_ << kWarningHead << "\npossible error in control file!\n"
        << "content of symbol " << table_.names[first->second] << " is the same as symbol "
        << table_.names[new_entry] << ", \n (which is: " << value << ").\n"
        << "this may lead to collusions!" << kWarningTail << "[end-entry]";
}

// Pass 2: every line, substituted, without the definition lines of the first column.
void ControlFileCompiler::WriteCompiledLines(std::istream& in, std::ostream& out,
                                             const std::string& control_file_name) {
  original_lines_.clear();
  for (long line_number = 1; ReadLine(in, line_number, control_file_name); ++line_number) {
    line_.insert(line_.begin(), ' ');
    SubstituteSymbols(line_, line_number, table_);
    if (line_.size() > 1 && line_[1] == '$') continue;
    if (line_.size() > 1) {
      out << std::string_view(line_).substr(1);
      original_lines_.push_back(line_number);
    }
  }
}

std::string& ControlFileCompiler::SubstituteSymbols(std::string& line, long line_number,
                                                    const SymbolTable& table, long defining) {
  CutComment(line);
  if (FirstWordIsSet(line)) return line;
  ReplaceReferences(line, line_number, table, defining);
  RemoveDoubleSlashes(line);
  if (TextLength(line) > kMaxSubstitutedLineLength)
    ThrowFatal(diag_, kControlFileErrorCode, "FATAL: line ", line_number,
               " of control file is longer than 2400 characters after symbol substitution");
  return line;
}

// Replaces the reference at the first '$' by its value until no '$' is left. Each inserted
// value is remembered with the part of the line it fills, so that a reference found inside the
// value of a symbol to that same symbol (directly or through others) is reported instead of
// being expanded without end.
void ControlFileCompiler::ReplaceReferences(std::string& line, long line_number,
                                            const SymbolTable& table, long defining) {
  struct Expansion {
    long symbol;
    std::size_t tail;  // characters after the inserted value, up to the end of the line
  };
  std::vector<Expansion> open;
  if (defining >= 0) open.push_back({defining, 0});

  for (std::size_t dollar = line.find('$'); dollar != std::string::npos; dollar = line.find('$')) {
    while (!open.empty() && line.size() - open.back().tail <= dollar) open.pop_back();
    const std::string reference = ReferenceAt(line, dollar);
    const long symbol = table.Find(reference);
    if (symbol < 0)
      ThrowFatal(diag_, kControlFileErrorCode, kFrameHead, "\npossible error in control file!\n",
                 "undefined symbol at line ", line_number, ":\n", line, kFrameTail);
    for (const Expansion& expansion : open)
      if (expansion.symbol == symbol)
        ThrowFatal(diag_, kControlFileErrorCode, kFrameHead, "\npossible error in control file!\n",
                   "symbol ", reference, " refers to itself at line ", line_number, ":\n", line,
                   kFrameTail);
    const std::string& value = table.values[static_cast<std::size_t>(symbol)];
    line.replace(dollar, reference.size(), value);
    open.push_back({symbol, line.size() - (dollar + value.size())});
  }
}

std::string CompileOnRankZero(DiagnosticStream& diag, const std::string& control_file_name) {
  return CompileOnRankZero(diag, control_file_name, CompiledControlFileName(control_file_name));
}

std::string CompileOnRankZero(DiagnosticStream& diag, const std::string& control_file_name,
                              const std::string& compiled_name) {
  if (diag.rank() == 0)
    ControlFileCompiler(diag).CompileControlFileSymbols(control_file_name, compiled_name);
  MPI_Barrier(MPI_COMM_WORLD);
  return compiled_name;
}

std::string CompileAndShare(DiagnosticStream& diag, const std::string& control_file_name) {
  std::string text;
  if (diag.rank() == 0) text = ControlFileCompiler(diag).CompileText(control_file_name);
  BroadcastText(text);
  return text;
}

}  // namespace velorn
