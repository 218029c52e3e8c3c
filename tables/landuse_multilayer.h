// MultilayerLanduseRecord: one entry of the optional control-file section [multilayer_landuse].
//
// A cell of the land-use grid may stand for a stack of land-use layers. An entry gives the code
// the land-use grid uses, a name, the land-use codes of its layers from the top (entries of
// [landuse_table]), an extinction coefficient and a leaf-area-index scale:
//
//   1 forest { Landuse_Layers = 10, 20; k_extinct = 0.4; LAI_scale = 8.0; }
//
// The settings object owns the table, count + 1 records (defaultini::ReadMultilayerLanduseTable
// in setup/table_sections.cpp; record 0 holds the count as its code); without the section there
// is no table. The set-up checks the layer codes against the land-use table and may rewrite
// `LayerCodes` and `code`; `LayerCodesCopy` and `OrigCode` keep what the entry said. The
// evapotranspiration and interception models read the records by index, after set-up only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velorn {

class DiagnosticStream;

// A failure inside an entry other than the missing layer list.
inline constexpr int kMultilayerEntryErrorCode = 110;
// Entries with different numbers of layers.
inline constexpr int kMultilayerLayerCountCode = 111;
// An entry without "Landuse_Layers".
inline constexpr int kMultilayerLayersMissingCode = 112;
// Longest entry name.
inline constexpr std::size_t kMaxMultilayerNameLength = 199;

struct MultilayerLanduseRecord {
  MultilayerLanduseRecord() = default;
  explicit MultilayerLanduseRecord(int code_arg) : code(code_arg) {}

  // Reads one entry: code and name (the first two words), the required layer list and the two
  // optional coefficients. The method number is not used. Codes 112 and 110 (see above).
  void ParseEntry(DiagnosticStream& diag, const std::string& text, int method);
  // The integers of `key`'s list (split at ",", ";", blanks, tabs and line ends; pieces that do
  // not begin with a number are skipped) into codes[1..count], with codes[0] = count. False when
  // the text has no `key =` entry.
  static bool ReadCodeList(const std::string& text, const std::string& key, std::vector<int>& codes,
                           int& count);
  void ReleaseNameBuffer() { name = std::string(); }

  std::string name;
  int code = 0;
  // Land-use codes of the layers, top first; element 0 holds the count. Empty: not read.
  std::vector<int> LayerCodes;
  int LayerCount = 1;
  std::vector<int> LayerCodesCopy;
  int OrigCode = 0;
  double k_extinct = 0.3;
  double LAI_scale = 10.0;
};

}  // namespace velorn
