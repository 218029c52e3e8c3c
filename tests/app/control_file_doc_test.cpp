// docs/control-file.md names every section that the code reads. The sections are found in the
// sources of every floor (floors.txt), outside comments, so a sub-model that joins adds its own
// by its code alone: string literals that are a bracketed name ("[model_time]"), the section a
// sub-model hands its base (`teilmodellklasse(setup, "x")`) and those of sub-models not in this
// build (`UnavailableSubModel`).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "tests/support/test_files.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;

std::set<std::string> SectionsReadByTheCode(const fs::path& source) {
  static const std::regex kPattern(
      R"re(("\[|\(\s*setup\s*,\s*"|UnavailableSubModel\s+\w+\s*\{\s*")([A-Za-z]\w*)[\]"])re");
  std::set<std::string> sections;
  std::ifstream floors(source / "floors.txt");
  for (std::string folder; std::getline(floors, folder);) {
    if (folder.empty() || folder[0] == '#' || !fs::is_directory(source / folder)) continue;
    for (const auto& file : fs::directory_iterator(source / folder)) {
      std::ifstream in(file.path());
      for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find("//"));
        for (std::sregex_iterator it(line.begin(), line.end(), kPattern), end; it != end; ++it)
          sections.insert("[" + (*it)[2].str() + "]");
      }
    }
  }
  sections.erase("[end-entry]");  // the end mark of a diagnostics entry
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
    // A section of its own, or a line of the list of sub-models not in this build.
    EXPECT_TRUE(doc.find("\n## " + section + "\n") != std::string::npos ||
                doc.find("\n- `" + section + "`") != std::string::npos)
        << section << " is read by the code but not described in docs/control-file.md";
  }
}

}  // namespace
}  // namespace velorn
