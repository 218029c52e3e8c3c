// ControlFileReader: the compiled control file, read section by section and value by value.
//
// The compiled control file is a text of section headers ("[snow_model]" first on its line) and
// value lines: each value line holds one or two values, and whatever follows them on the line is
// a comment. The reader keeps the file as lines and a cursor (line, column):
//
//   ControlFileReader file;
//   if (!file.Open(name, &diag)) ...report the caller's own error...
//   file.FindHeader("[snow_model]");   // cursor on the line after the header
//   int switch_value;
//   file.Read(switch_value);           // "1  flow control parameter" gives 1
//   file.SkipRestOfLine();             // the comment is discarded; next value on the next line
//
// Value reading follows the rules of formatted input: leading white space, line ends included,
// is skipped; a word (std::string) runs to the next white space. A number must be a whole word:
// "12 comment" gives 12, but "12abc", "40,16" (a decimal comma) and, for a whole number, "2.5"
// fail and leave the cursor where it was, as "abc" does. Numbers that do not fit their type fail,
// and so do "nan", "inf" and numbers too large for a double, so that no caller's range check can
// be passed by a value that is not a number. ScanValue reads keyword values the same way. Nothing
// is ever
// truncated and no line length can split a line: a line longer than 2400 characters is still one
// line (Open warns about it once).
//
// Model objects normally read through modelobject::FindSection / ReadValue / ReadTwoValues
// (core/modelobject.h), which add the "FATAL: " reports and codes; this class reports nothing
// itself. ScanValue offers the same typed reading on any text (keyword values of a line).
//
// The compiled control file of the running model run is held in memory (HeldControlText, set
// by the settings object in set-up step 0 on every process): Open of its name reads that text,
// never the file of that name, which another run of the same control file may have replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/number_reader.h"

namespace velorn {

class DiagnosticStream;

// Longest line the control-file format allows; longer lines are read whole but warned about.
inline constexpr std::size_t kMaxControlLineLength = 2400;
// Largest control file read at all (256 MB): no real control file comes near it, and a larger
// file (a sparse file, a data file named by mistake) is refused before a byte of it is read.
inline constexpr std::uintmax_t kMaxControlFileBytes = 256u << 20;

// Reads one value from `text` at `pos`, skipping blanks and tabs first (not line ends, there are
// none in a line). A number must fill its whole word (core/number_reader.h), which ends at a blank
// or, given `separators`, at one of them. On success `pos` is moved behind the value; on failure
// both stay unchanged.
bool ScanValue(std::string_view text, std::size_t& pos, int& value,
               std::string_view separators = {});
bool ScanValue(std::string_view text, std::size_t& pos, long& value,
               std::string_view separators = {});
bool ScanValue(std::string_view text, std::size_t& pos, double& value,
               std::string_view separators = {});
bool ScanValue(std::string_view text, std::size_t& pos, std::string& word,
               std::string_view separators = {});

// The word at `pos` (blanks skipped) when it begins like a number but is none ("0,05", "3mm",
// "12O"): a value the user wrote at which a scan of numbers stopped, to be refused by name rather
// than taken for the comment after the values; empty otherwise (a comment, or a number).
std::string NumberLikeWordAt(std::string_view text, std::size_t pos,
                             std::string_view separators = {});

// The compiled text of the running run under its compiled file's name, for as long as the
// object lives (one run at a time; a second Hold replaces the first).
class HeldControlText {
 public:
  HeldControlText() = default;
  ~HeldControlText() { Release(); }
  HeldControlText(const HeldControlText&) = delete;
  HeldControlText& operator=(const HeldControlText&) = delete;

  void Hold(const std::string& name, std::string text);
  // Ends the hold when this object holds the text.
  void Release();
};

class ControlFileReader {
 public:
  struct Position {
    std::size_t line = 0;
    std::size_t column = 0;
  };

  ControlFileReader() = default;

  // Loads the file and puts the cursor at its start; false (and a closed reader) when it cannot
  // be read, is no regular file (a directory, a device, a pipe) or is larger than
  // kMaxControlFileBytes. The name of the held compiled text loads that text. With a stream,
  // every line over 2400 characters gets one WARNING entry.
  bool Open(const std::string& path, DiagnosticStream* diag = nullptr);
  // Uses `text` as the file's content (name "(text)").
  void OpenText(std::string_view text);
  void Close();
  bool is_open() const { return open_; }
  const std::string& path() const { return path_; }

  void Rewind() { cursor_ = Position{}; }
  Position Tell() const { return cursor_; }
  void Seek(Position position) { cursor_ = position; }
  // 1-based number of the line under the cursor (line count + 1 at the end).
  std::size_t line_number() const { return cursor_.line + 1; }
  // Nothing but white space is left.
  bool AtEnd();

  // From the top of the file, the first line whose first word equals `header` exactly
  // (case-sensitive; blanks before it are allowed, another word before it is not). Found: the
  // cursor is on the next line and the result is true. Not found: the cursor is at the end.
  // A header on the last line counts whether or not a line end follows it.
  bool FindHeader(const std::string& header);

  // Reads the next value (see above); false leaves the cursor unchanged (except for skipped
  // white space) so that the offending word can be read and reported.
  bool Read(int& value);
  bool Read(long& value);
  bool Read(double& value);
  bool Read(std::string& word);

  // Words from the cursor to the end of the file: the most values that are left to read. A
  // count read from the file is checked against it before anything of that count is allocated.
  std::size_t WordsLeft() const;

  // The rest of the current line (after the cursor); the cursor moves to the next line.
  std::string RestOfLine();
  void SkipRestOfLine() { RestOfLine(); }

 private:
  // Skips white space across line ends; false at the end of the file.
  bool SkipSpace();
  template <class T>
  bool ReadTyped(T& value);

  std::vector<std::string> lines_;
  Position cursor_;
  std::string path_;
  bool open_ = false;
  // Numbers read while the file is open are traced as read from it.
  std::optional<NumberSource> source_;
};

}  // namespace velorn
