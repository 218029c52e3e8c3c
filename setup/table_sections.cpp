// Readers of the settings object (defaultini) for the sections [landuse_table],
// [multilayer_landuse] and [soil_table]; the records and their entry parsers are those of
// tables/.
//
// The land-use sections hold a count line and then the entries, each beginning on a new line; a
// block entry runs from its first line up to the line that holds its closing "}". The readers check
// what the section says against what the file holds: a count that is no number or negative, a
// section that ends (end of file or the next section header) before its count of entries, and
// a block that ends without its "}" are FATAL entries naming the line, never a read past the
// section. Records grow with the entries read, so a count never allocates more than the file
// holds.
#include <algorithm>
#include <string>
#include <vector>

#include "core/brace_block_readers.h"
#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"

namespace velorn {
namespace {

// Where the method of a block entry of [soil_table] is named.
constexpr const char* kBlockMethod = "MultipleHorizons";
// Records reserved at once, whatever the count says.
constexpr std::size_t kReservedRecords = 256;

// A line whose first word is a section header ("[soil_table]").
bool IsSectionHeader(const std::string& line) {
  std::size_t pos = 0;
  std::string first;
  return ScanValue(line, pos, first) && first.size() >= 2 && first.front() == '[' &&
         first.back() == ']';
}

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

// Reads the next line of the section that holds more than white space into `line` (blank lines
// between entries only separate them for the eye); false (cursor before the header) when only
// white space is left or the next such line is a section header.
bool NextSectionLine(ControlFileReader& file, std::string& line) {
  ControlFileReader::Position at;
  do {
    if (file.AtEnd()) return false;
    at = file.Tell();
    line = file.RestOfLine();
  } while (IsBlank(line));
  if (!IsSectionHeader(line)) return true;
  file.Seek(at);
  return false;
}

// Appends the following lines (each with its line end) to `text`, which holds the block's first
// line, until the text holds "}". False when the section ends first or another block opens.
bool CollectBlock(ControlFileReader& file, std::string& text) {
  text += '\n';
  while (!Contains(text, "}")) {
    std::string line;
    if (!NextSectionLine(file, line) || line.find('{') < line.find('}')) return false;
    text += line;
    text += '\n';
  }
  return true;
}

const std::vector<std::string> kLanduseMethods = {"VariableDayCount", "DynamicPhenology_1",
                                                  "DynamicPhenology_2", "DynamicPhenology_3",
                                                  "DynamicPhenology_4"};

// The method name that makes a line the first line of a block entry, or empty.
std::string BlockMethodName(const std::string& line) {
  for (const std::string& method_name : kLanduseMethods) {
    if (!Contains(line, method_name)) continue;
    if (Contains(line, "method") && Contains(line, "{")) return method_name;
    return std::string();
  }
  return std::string();
}

// The word after the word "method" of a line that holds "{" and none of the method names (a
// block entry whose method is misspelt); empty for any other line.
std::string UnknownBlockMethod(const std::string& line) {
  const std::size_t open = line.find('{');
  if (open == std::string::npos || !BlockMethodName(line).empty()) return {};
  const std::vector<std::string> words = [&] {
    std::vector<std::string> all;
    Tokenize(line.substr(0, open), " \t\r", all);
    return all;
  }();
  for (std::size_t k = 0; k + 1 < words.size(); ++k)
    if (words[k] == "method") return words[k + 1];
  return {};
}

// Reads the count line of `header`'s section (the cursor is on it) and checks it.
int ReadTableCount(defaultini& settings, const std::string& header) {
  int count = 0;
  settings.ReadValue(*settings.control_file, count, "number of entries of " + header + " in ");
  if (count < 0)
    settings.ReportControlFileError("number of entries (0 or more) of " + header + " in ",
                                    settings.module_name);
  return count;
}

// The next entry line of `header`'s section; the section ending first is FATAL (17).
std::string ReadTableEntryLine(DiagnosticStream& diag, ControlFileReader& file,
                               const std::string& header, int entry, int count) {
  std::string line;
  if (!NextSectionLine(file, line)) {
    ThrowFatal(diag, kControlFileErrorCode, "FATAL: error in control file, ", header,
               " holds only ", entry - 1, " of its ", count, " entries (it ends before line ",
               static_cast<long>(file.line_number()), ")");
  }
  return line;
}

}  // namespace

void defaultini::ReadLanduseTable(int32_t variant) {
  const std::string header = "[landuse_table]";
  FindSection(header, 1);
  const int count = ReadTableCount(*this, header);
  std::vector<LanduseRecord> records;
  records.reserve(std::min<std::size_t>(static_cast<std::size_t>(count) + 1, kReservedRecords));
  records.emplace_back(count);
  for (int i = 1; i <= count; ++i) {
    const long first_line = static_cast<long>(control_file->line_number());
    std::string text = ReadTableEntryLine(Diag(), *control_file, header, i, count);
    LanduseRecord& record = records.emplace_back(i);
    const std::string method_name = BlockMethodName(text);
    // A block entry with a misspelt method would be read as a one-line entry and fail there
    // without naming the method.
    if (const std::string unknown = UnknownBlockMethod(text); !unknown.empty()) {
      const std::string nearest = NearestWord(unknown, kLanduseMethods);
      if (nearest.empty())
        Diag() << "FATAL: landuse table entry " << i << ": the method \"" << unknown
               << "\" is none of VariableDayCount, DynamicPhenology_1 to DynamicPhenology_4"
               << "[end-entry]";
      else
        Diag() << "FATAL: landuse table entry " << i << ": method \"" << nearest
               << "\" not found; \"" << unknown << "\" stands in its place[end-entry]";
      ThrowFatal(Diag(), kLanduseEntryErrorCode, "FATAL: landuse table code ", i,
                 ": some values could not be read\n", text);
    }
    if (method_name.empty()) {
      record.ParseEntryOldFormat(Diag(), text, variant);
      continue;
    }
    if (!CollectBlock(*control_file, text)) {
      Diag() << "FATAL: the land-use entry beginning in line " << first_line
             << " of the control file has no closing \"}\"[end-entry]";
      ThrowFatal(Diag(), kLanduseEntryErrorCode, "FATAL: landuse table code ", i,
                 ": some values could not be read\n", text);
    }
    KeyUse use;
    record.ParseEntry(Diag(), text, method_name);
    use.WarnAboutUnreadKeys(Diag(), text,
                            FormatText("[landuse_table], land use %d", record.GetCode()));
  }
  SummariseLanduseTable(records);
  landuse_records = std::move(records);
  landuse_table = landuse_records.data();
}

void defaultini::ReadMultilayerLanduseTable(int32_t /*variant*/) {
  const std::string header = "[multilayer_landuse]";
  if (FindSection(header, 0) == 0) return;
  const int count = ReadTableCount(*this, header);
  std::vector<MultilayerLanduseRecord> records;
  records.reserve(std::min<std::size_t>(static_cast<std::size_t>(count) + 1, kReservedRecords));
  records.emplace_back(count);
  for (int i = 1; i <= count; ++i) {
    const long first_line = static_cast<long>(control_file->line_number());
    std::string text = ReadTableEntryLine(Diag(), *control_file, header, i, count);
    MultilayerLanduseRecord& record = records.emplace_back(i);
    // An entry names its layers on its first line; any other line would leave a record without
    // layers and read the rest of its block as the next entries.
    if (!Contains(text, "Landuse_Layers")) {
      ThrowFatal(Diag(), kMultilayerLayersMissingCode,
                 "FATAL: multiple landuse table: parameter Landuse_Layers not found ", text);
    }
    if (!CollectBlock(*control_file, text)) {
      Diag() << "FATAL: the multilayer land-use entry beginning in line " << first_line
             << " of the control file has no closing \"}\"[end-entry]";
      ThrowFatal(Diag(), kMultilayerEntryErrorCode, "FATAL: multilayer_landuse_table code ", i,
                 ": some parameters could not be read\n", text);
    }
    KeyUse use;
    record.ParseEntry(Diag(), text, 0);
    use.WarnAboutUnreadKeys(Diag(), text,
                            FormatText("[multilayer_landuse], land use %d", record.code));
  }
  for (std::size_t i = 2; i < records.size(); ++i) {
    const MultilayerLanduseRecord& current = records[i];
    const MultilayerLanduseRecord& previous = records[i - 1];
    if (current.LayerCount == previous.LayerCount) continue;
    ThrowFatal(Diag(), kMultilayerLayerCountCode,
               "FATAL: \nThe numbers of landuse layers has to be equal for all multilayer-landuse "
               "types\n(here: multilayer-landuse type ",
               current.code, ": ", current.LayerCount, " layers, but multilayer-landuse type ",
               previous.code, ": ", previous.LayerCount, " layers)\n\n");
  }
  multilayer_landuse_records = std::move(records);
  multilayer_landuse_table = multilayer_landuse_records.data();
}

void defaultini::ReadSoilTable(int32_t variant) {
  FindSection("[soil_table]", 1);
  ControlFileReader& file = *control_file;
  int count = 0;
  ReadValue(file, count, "number of soil types in ");
  if (count < 0) ReportControlFileError("number of soil types (0 or more) in ", module_name);

  // Records are added as they are read, so a count beyond the entries present ends at the
  // first missing entry instead of allocating for it.
  std::vector<SoilRecord> records;
  records.emplace_back(count);
  for (int i = 1; i <= count; ++i) {
    SoilRecord record(i);
    std::string text = file.RestOfLine();
    // Blank lines between entries only separate them for the eye.
    while (IsBlank(text) && !file.AtEnd()) text = file.RestOfLine();
    if (!Contains(text, kBlockMethod) && !Contains(text, "method") && !Contains(text, "{")) {
      record.ParseEntryOldFormat(Diag(), text, variant);
    } else {
      while (!Contains(text, "}")) {
        if (file.AtEnd()) {
          ThrowFatal(Diag(), kSoilBlockErrorCode, "FATAL: Soil table entry ", i,
                     ": no closing \"}\" before the end of the control file\n", text);
        }
        text += '\n';
        text += file.RestOfLine();
      }
      KeyUse use;
      record.ParseEntry(Diag(), text, kBlockMethod);
      use.WarnAboutUnreadKeys(Diag(), text, FormatText("[soil_table], soil %d", record.code));
    }
    records.push_back(std::move(record));
  }
  for (int i = 2; i <= count; ++i) {
    const SoilRecord& now = records[i];
    const SoilRecord& before = records[i - 1];
    if (now.layers != before.layers) {
      ThrowFatal(Diag(), kSoilOldFormatErrorCode,
                 "FATAL: the numbers of soil layers has to be equal for all soil types\n(here: "
                 "soil type ",
                 now.code, ": ", now.layers, " layers, but soil type ", before.code, ": ",
                 before.layers, " layers)\n\n");
    }
  }
  soil_records = std::move(records);
  soil_table = soil_records.data();
}

}  // namespace velorn
