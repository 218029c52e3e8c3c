// The control-file reference for users (docs/control-file.md) names every section that the code
// reads. The sections are found in the sources of every floor, so a sub-model that joins adds
// its sections to the check by its code alone: string literals that are a bracketed name
// ("[model_time]"), the section name a sub-model hands its base (teilmodellklasse(setup, "x")),
// and the sections of sub-models not in this build. Comments are left out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/test_files.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;

fs::path SourceDir() {
  const char* dir = std::getenv("VELORN_SOURCE_DIR");
  return dir != nullptr ? fs::path(dir) : fs::path(".");
}

// The text of a source file without its "//" comments.
std::string CodeOf(const fs::path& file) {
  std::ifstream in(file);
  std::string line, code;
  while (std::getline(in, line)) {
    const std::size_t comment = line.find("//");
    code += line.substr(0, comment) + "\n";
  }
  return code;
}

std::set<std::string> SectionsReadByTheCode() {
  static const std::regex kPatterns[] = {
      std::regex(R"re("\[([A-Za-z][A-Za-z0-9_]*)\]")re"),
      std::regex(R"re(\(\s*setup\s*,\s*"([A-Za-z][A-Za-z0-9_]*)")re"),
      std::regex(R"re(UnavailableSubModel\s+\w+\s*\{\s*"([A-Za-z][A-Za-z0-9_]*)")re"),
  };
  std::set<std::string> sections;
  std::ifstream floors(SourceDir() / "floors.txt");
  std::string folder;
  while (std::getline(floors, folder)) {
    if (folder.empty() || folder[0] == '#' || !fs::is_directory(SourceDir() / folder)) continue;
    for (const auto& entry : fs::directory_iterator(SourceDir() / folder)) {
      const std::string extension = entry.path().extension().string();
      if (extension != ".cpp" && extension != ".h") continue;
      const std::string code = CodeOf(entry.path());
      for (const std::regex& pattern : kPatterns)
        for (std::sregex_iterator it(code.begin(), code.end(), pattern), end; it != end; ++it)
          sections.insert("[" + (*it)[1].str() + "]");
    }
  }
  sections.erase("[end-entry]");  // the end mark of a diagnostics entry
  return sections;
}

TEST(ControlFileReference, NamesEverySectionTheCodeReads) {
  const std::string doc = test::ReadFile((SourceDir() / "docs/control-file.md").string());
  ASSERT_FALSE(doc.empty());
  const std::set<std::string> sections = SectionsReadByTheCode();
  // The readers of the set-up, the tables, the meteorological input and the sub-models at least.
  for (const char* known : {"[model_time]", "[soil_table]", "[precipitation_correction]",
                            "[interception_model]", "[evapotranspiration]", "[snow_model]"})
    EXPECT_EQ(sections.count(known), 1u) << known << " not found in the sources";
  for (const std::string& section : sections) {
    // A section of its own, or a line of the list of sub-models not in this build.
    const bool heading = doc.find("\n## " + section + "\n") != std::string::npos;
    const bool listed = doc.find("\n- `" + section + "`") != std::string::npos;
    EXPECT_TRUE(heading || listed) << section << " is read by the code but not described in "
                                   << "docs/control-file.md";
  }
}

}  // namespace
}  // namespace velorn
