// docs/control-file.md names every section that the code reads. The sections are found in the
// sources of every floor (floors.txt), outside comments, so a sub-model that joins adds its own
// by its code alone: string literals that are a bracketed name ("[model_time]"), the section a
// sub-model hands its base (`teilmodellklasse(setup, "x")`). The control-file compiler knows
// each of them (it warns about a section no model reads).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "setup/control_file_compiler.h"
#include "tests/support/test_files.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

std::size_t SkipSpaces(const std::string& s, std::size_t i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])) != 0) ++i;
  return i;
}

// The name at `pos` when it starts with a letter and ends at ']' or '"'; empty otherwise.
std::string NameAt(const std::string& line, std::size_t pos) {
  if (pos >= line.size() || std::isalpha(static_cast<unsigned char>(line[pos])) == 0) return {};
  std::size_t end = pos;
  while (end < line.size() && IsWordChar(line[end])) ++end;
  if (end >= line.size() || (line[end] != ']' && line[end] != '"')) return {};
  return line.substr(pos, end - pos);
}

// Adds the sections named on one line of code: "[name]" literals and `(setup, "name"`.
void AddSectionsOfLine(const std::string& line, std::set<std::string>& sections) {
  const auto add = [&](std::size_t pos) {
    const std::string name = NameAt(line, pos);
    if (!name.empty()) sections.insert("[" + name + "]");
  };
  constexpr auto npos = std::string::npos;
  for (std::size_t i = line.find("\"["); i != npos; i = line.find("\"[", i + 1)) add(i + 2);
  for (std::size_t i = line.find('('); i != npos; i = line.find('(', i + 1)) {
    std::size_t j = SkipSpaces(line, i + 1);
    if (line.compare(j, 5, "setup") != 0) continue;
    j = SkipSpaces(line, j + 5);
    if (j >= line.size() || line[j] != ',') continue;
    j = SkipSpaces(line, j + 1);
    if (j < line.size() && line[j] == '"') add(j + 1);
  }
}

std::set<std::string> SectionsReadByTheCode(const fs::path& source) {
  std::set<std::string> sections;
  std::ifstream floors(source / "floors.txt");
  for (std::string folder; std::getline(floors, folder);) {
    if (folder.empty() || folder[0] == '#' || !fs::is_directory(source / folder)) continue;
    for (const auto& file : fs::directory_iterator(source / folder)) {
      std::ifstream in(file.path());
      for (std::string line; std::getline(in, line);) {
        AddSectionsOfLine(line.substr(0, line.find("//")), sections);
      }
    }
  }
  sections.erase("[end-entry]");  // the end mark of a diagnostics entry
  // A section of the storage content file, which the guide describes beside the soil zone's
  // keys; a control file holding it gets the unknown-section WARNING.
  sections.erase("[landuse_parameters]");
  return sections;
}

TEST(ControlFileReference, NamesEverySectionTheCodeReads) {
  const char* dir = std::getenv("VELORN_SOURCE_DIR");
  const fs::path source = dir != nullptr ? dir : ".";
  const std::string doc = test::ReadFile((source / "docs/control-file.md").string());
  const std::set<std::string> sections = SectionsReadByTheCode(source);
  for (const char* known : {"[model_time]", "[evapotranspiration]", "[snow_model]"})
    EXPECT_EQ(sections.count(known), 1u) << known << " not found in the sources";
  for (const std::string& section : sections) {
    // Every section the code reads has a section of its own.
    EXPECT_TRUE(doc.find("\n## " + section + "\n") != std::string::npos)
        << section << " is read by the code but not described in docs/control-file.md";
    // ... and the compiler knows it, so that a control file holding it gets no WARNING.
    EXPECT_TRUE(IsKnownSection(section)) << section << " is missing in the compiler's list";
  }
}

}  // namespace
}  // namespace velorn
