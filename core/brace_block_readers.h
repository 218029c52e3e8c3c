// Readers of the brace-block syntax of control-file sections: blocks in braces whose entries have
// the form `key = value;`. The special output and the data assimilation read their blocks with
// these; so do the land-use, soil and later tables.
//
//   std::string rest = "site {ID = gauge1; Level = 2;} site {ID = gauge2;}";
//   std::string block = ExtractBracedBlock(diag, rest);  // "ID = gauge1; Level = 2;}"
//                                                         // rest: " site {ID = gauge2;}"
//   std::string id;
//   ParseStringValue(diag, block, "ID", id);              // id == "gauge1"
//   int level = 1;                                        // the default stays when absent
//   ParseIntValue(diag, block, "Level", level);           // level == 2
//
// Key lookup: the first place where the key stands as a whole word (at the start of the text or
// after a blank, ";", "{" or "}") followed by optional blanks and "=" is its entry; "a" never
// reads "abc = 3;" and a key written without "=" counts as absent. The value text runs from
// after that "=" to before the next ";" (to the end of the text without one). It is read as from
// a text stream: leading white space is skipped, then an integer, a double, or one word (up to
// the next white space). A number must end where its word ends: "12mm", "40,16" or, for an
// integer, "2.5" are no values (code 17), since reading the front of them would take another
// value than the one meant.
//
// A misspelt key is absent for every reader; KeyUse names it. While a KeyUse object lives, every
// key that this thread looks up (through any function here) is noted; WarnAboutUnreadKeys then
// writes a WARNING for each `key =` entry of a block that no lookup asked for:
//
//   KeyUse use;
//   ...parse the block...
//   use.WarnAboutUnreadKeys(diag, block, "[landuse_table], land use 10");
//
// A key that is absent leaves the target unchanged and the reader returns false. A key whose
// value cannot be read (empty, not a number, out of the type's range) is bad input: the reader
// writes a "FATAL: " entry naming the key and the value and throws ErrorCode 17, like every
// other fault in a control file. `ExtractBracedBlock` on a text without "{" does the same.
//
// All functions are pure text operations (no MPI, no file access) and thread-safe apart from the
// diagnostics stream, which callers in parallel regions must guard.
#pragma once

#include <string>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

// Reads the integer value of `key`; returns true when the key was found (and `value` set).
bool ParseIntValue(DiagnosticStream& diag, const std::string& text, const std::string& key,
                   int& value);

// Reads the double value of `key`; returns true when the key was found (and `value` set).
bool ParseDoubleValue(DiagnosticStream& diag, const std::string& text, const std::string& key,
                      double& value);

// Reads the first word of the value of `key`; returns true when the key was found (and `value`
// set).
bool ParseStringValue(DiagnosticStream& diag, const std::string& text, const std::string& key,
                      std::string& value);

// Returns the next block of `text`: the characters after its first "{" up to and including the
// next "}", and shortens `text` to what follows that "}". A block without "}" runs to the end of
// the text and leaves `text` empty, so a caller looping over the blocks always ends. A text
// without "{" is a FATAL entry, code 17.
std::string ExtractBracedBlock(DiagnosticStream& diag, std::string& text);

// The value text of `key` (the characters between its "=" and the next ";" or the end), or
// false when the key has no `key =` entry in `text`.
bool FindKeyValueText(const std::string& text, const std::string& key, std::string& value_text);

// The keys of the `key =` entries of `text` (a key: letters, digits, "_" and "-" at a key
// boundary), in their order, each once.
std::vector<std::string> KeysOfEntries(const std::string& text);

// The word of `words` that `word` looks like a misspelling of: the same but for case, or for
// one letter (two in words of more than four letters) dropped, added, changed or swapped with
// its neighbour; the nearest one first in `words` wins. Empty when none is that near.
std::string NearestWord(const std::string& word, const std::vector<std::string>& words);

// The key of a `key =` entry of `text` that stands in the place of the missing `key`: the
// nearest of its keys in the sense of NearestWord that is none of the `known` keys of the
// reader (a "Par_m" present is no misspelt "Par_n"). Empty when none is near.
std::string StandInKey(const std::string& text, const std::string& key,
                       const std::vector<std::string>& known);

// "; \"<stand-in>\" stands in its place" for the missing `key`, or empty (see StandInKey): the
// tail of the message that reports a required key not found.
std::string StandInNote(const std::string& text, const std::string& key,
                        const std::vector<std::string>& known);

// Notes the keys looked up on this thread while it lives (see above); objects may nest, each
// notes every lookup.
class KeyUse {
 public:
  KeyUse();
  ~KeyUse();
  KeyUse(const KeyUse&) = delete;
  KeyUse& operator=(const KeyUse&) = delete;

  void Note(const std::string& key);
  // One WARNING entry for each key of `block` that was not looked up, naming `where`.
  void WarnAboutUnreadKeys(DiagnosticStream& diag, const std::string& block,
                           const std::string& where) const;

 private:
  std::vector<std::string> asked_;
};

}  // namespace velorn
