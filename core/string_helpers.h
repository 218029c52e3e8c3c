// Small text helpers shared by the control-file compiler, the settings readers, the grid
// readers and writers and the special output.
//
// `Tokenize` splits a line at delimiter characters and keeps double-quoted text (with its
// quotes) together; `SubstringPosition` gives the offset of a pattern, 0 both when absent and
// for a match at the start, so presence is asked with `Contains`; `CutSubstring` keeps the
// length + 1 characters from a start position; `ToUpperCopy` upper-cases a-z only;
// `FormatText` is snprintf into a std::string (file names and numbers in the system's printf
// formats); `AppendGeneral` appends the text of "%.<precision>g" without printf's cost. All work
// on std::string without length limits.
#pragma once

#include <string>
#include <vector>

namespace velorn {

// Appends the tokens of `text` to `tokens` (the list is not cleared) and returns the list's
// size. Runs of delimiters separate once. A token that begins with a double quote (when the
// quote is no delimiter) runs to the closing quote, inclusive; a quote preceded by a single
// backslash does not close, one preceded by two does. An unclosed quote runs to the end of the
// text. With `keep_trailing_empty`, a text ending in a delimiter gets an empty last token.
int Tokenize(const std::string& text, const std::string& delimiters,
             std::vector<std::string>& tokens, bool keep_trailing_empty = false);

// Offset of the first occurrence of `pattern` in `text`; 0 when it does not occur.
int SubstringPosition(const std::string& text, const std::string& pattern);

// True when `pattern` occurs anywhere in `text` (also at offset 0).
bool Contains(const std::string& text, const std::string& pattern);

// Keeps the characters start .. start + length of `text` (length + 1 characters), clamped to
// the text; a negative start or length leaves the text unchanged. Returns the text.
std::string& CutSubstring(std::string& text, int start, int length);

// The copy with every a-z turned into A-Z; every other character stays.
std::string ToUpperCopy(std::string text);

// The text that printf would write for `format` and the values, whatever its length.
__attribute__((format(printf, 1, 2))) std::string FormatText(const char* format, ...);

// Edits (a letter dropped, added or changed, two neighbours swapped) that turn `a` into `b`,
// without regard to case.
std::size_t EditDistance(const std::string& a, const std::string& b);

// Up to `count` of `candidates` nearest to `word` (edit distance without regard to case, at most
// a third of the longer word's length, at least 2), nearest first, ties in the candidates'
// order; each name once. For messages that name what a misspelt name may have meant.
std::vector<std::string> NearestNames(const std::string& word,
                                      const std::vector<std::string>& candidates,
                                      std::size_t count);

// The extension (without its dot) that says the form grids are written in: "asc" for ASCII
// grids (and for netCDF, whose files add ".nc"), "dbl" for binary doubles, "flt" for binary
// floats. A grid name the model fixes takes it, so that its name says what the file holds.
std::string GridFormExtension(bool ascii, bool doubles, bool netcdf);
// `extension` (of a grid name, without its dot) when it names no form or the form written;
// the written form's extension when it names another form ("asc", "dbl", "flt", any case).
std::string ExtensionOfWrittenForm(const std::string& extension, bool ascii, bool doubles,
                                   bool netcdf);
// Appends `value` as "%.<precision>g" writes it ("%g" for 6 significant digits, "%.17g" for
// every digit of a state that must read back to the same double): the shorter of the fixed and
// the exponent form, no trailing zeros, byte for byte printf's text (std::to_chars gives it
// several times faster than printf, whose exact conversion of every digit dominates a state
// file's write).
void AppendGeneral(std::string& text, double value, int precision = 6);

}  // namespace velorn
