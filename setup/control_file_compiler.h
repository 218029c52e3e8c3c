// ControlFileCompiler: turns a control file with symbols into the compiled control file.
//
// A control file may define symbols with lines "$set $name = value" and use them anywhere as
// "$name". Before any section is read, process 0 compiles the file once into "<name>.$$$": it
// collects the symbols (pass 1), replaces every reference by its value, cuts "#" comments,
// removes every "//" and drops the definition lines that begin in the first column (pass 2).
// Every reader of sections and values reads only the compiled text. Set-up step 0 of a run
// calls CompileAndShare: process 0 compiles, every process receives the text and holds it in
// memory under the compiled file's name (core/control_file_reader.h), so that the run reads
// only its own compilation; process 0 writes the file "<name>.$$$" for the user once the run
// holds its output folder, and never reads it back (a second run of the same control file, from
// another folder, replaces that file without touching the first run's settings).
//
// Limits: at most 2000 symbols; names and values of at most 299 characters; the first and third
// words of a definition of at most 99 characters; lines of at most 2399 characters as read (a
// "#" comment, which is dropped, does not count) and 2400 (with the blank put in front) after
// substitution. Exceeding one, an undefined symbol or a symbol that refers to itself ends with
// a "FATAL: " entry and code 17; files that cannot be opened or rewound, names of anything but
// a regular file and files over 256 MB give 28, files that cannot be closed 11. A value that
// several symbols share is noted once (INFO), naming its first two symbols. A section given
// twice ends with code 17 (naming both lines); a section header that no model knows gets a
// WARNING.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

// Symbols of one control file in the order of their definition lines. A name defined twice
// keeps both entries; lookups take the first.
struct SymbolTable {
  std::vector<std::string> names;
  std::vector<std::string> values;

  std::size_t size() const { return names.size(); }
  // Index of the first entry whose name equals `name`, or -1.
  long Find(const std::string& name) const;
};

inline constexpr std::size_t kMaxSymbols = 2000;
inline constexpr std::size_t kMaxSymbolTextLength = 299;        // names and values
inline constexpr std::size_t kMaxDefinitionWordLength = 99;     // "$set" and "="
inline constexpr std::size_t kMaxReadLineLength = 2399;         // as read, without the line end
inline constexpr std::size_t kMaxSubstitutedLineLength = 2400;  // with the blank in front

// True for a section header that a model reads under this name (the meteorological variables'
// sections, named in [meteo_names], aside).
bool IsKnownSection(const std::string& header);

// Name of the compiled control file: the control file's name followed by ".$$$".
std::string CompiledControlFileName(const std::string& control_file_name);

class ControlFileCompiler {
 public:
  explicit ControlFileCompiler(DiagnosticStream& diag) : diag_(diag) {}

  // Compiles `control_file_name` into CompiledControlFileName(control_file_name) and returns
  // that name. Throws ErrorCode after a "FATAL: " entry on every failure.
  std::string CompileControlFileSymbols(const std::string& control_file_name);
  // As above, into the file `compiled_name`.
  std::string CompileControlFileSymbols(const std::string& control_file_name,
                                        const std::string& compiled_name);
  // Compiles `control_file_name` and returns the compiled text (no file is written).
  std::string CompileText(const std::string& control_file_name);

  // Substitutes the symbols of `table` in `line` (in place) and returns it: cuts a "#" comment
  // with the white space before it, leaves a line whose first word is "$set" unchanged,
  // replaces every "$" reference by its value and removes every "//". `line_number` is for the
  // messages. `defining` is the index of a symbol whose own value `line` is (pass 1), so that a
  // value that refers to its own symbol is reported; -1 for an ordinary line.
  std::string& SubstituteSymbols(std::string& line, long line_number, const SymbolTable& table,
                                 long defining = -1);

  // Releases the symbol table and the line buffers of a compilation; called on every way out.
  void FreeWorkBuffers();

 private:
  void CollectSymbols(std::istream& in, const std::string& control_file_name);
  void DefineSymbol(const std::string& line, long line_number,
                    const std::string& control_file_name);
  void WarnAboutDuplicateValue(std::size_t new_entry);
  void WriteCompiledLines(std::istream& in, std::ostream& out,
                          const std::string& control_file_name);
  void CheckSectionHeaders(const std::string& text, const std::string& control_file_name);
  bool ReadLine(std::istream& in, long line_number, const std::string& control_file_name);
  void CheckLineCharacters(long line_number, const std::string& control_file_name);
  void ReplaceReferences(std::string& line, long line_number, const SymbolTable& table,
                         long defining);

  DiagnosticStream& diag_;
  SymbolTable table_;
  // The first symbol of each non-numeric value, and the values already noted as repeated.
  std::unordered_map<std::string, std::size_t> first_with_value_;
  std::unordered_set<std::string> reported_values_;
  std::string line_;  // the line being read, with its line end when it had one
  // The line of the control file of each line of the compiled text.
  std::vector<long> original_lines_;
};

// Writes `text` as the file `compiled_name` (code 28 when it cannot be created, 18 when it
// cannot be written completely).
void WriteCompiledFile(DiagnosticStream& diag, const std::string& compiled_name,
                       const std::string& text);

// Collective: process 0 compiles the control file, then every process waits at a barrier.
// Returns the compiled name on every process.
std::string CompileOnRankZero(DiagnosticStream& diag, const std::string& control_file_name);
// As above, into the file `compiled_name`.
std::string CompileOnRankZero(DiagnosticStream& diag, const std::string& control_file_name,
                              const std::string& compiled_name);
// Collective: process 0 compiles the control file; every process returns the compiled text.
std::string CompileAndShare(DiagnosticStream& diag, const std::string& control_file_name);

}  // namespace velorn
