// Parser of one [multilayer_landuse] entry.
#include "tables/landuse_multilayer.h"

#include "core/brace_block_readers.h"
#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/string_helpers.h"

namespace velorn {

void MultilayerLanduseRecord::ParseEntry(DiagnosticStream& diag, const std::string& text,
                                         int /*method*/) {
  std::string layers_value;
  if (!FindKeyValueText(text, "Landuse_Layers", layers_value)) {
    ThrowFatal(diag, kMultilayerLayersMissingCode,
               "FATAL: multiple landuse table: parameter Landuse_Layers not found ", text);
  }
  try {
    std::vector<std::string> words;
    Tokenize(text, " \t\r\n{", words);
    std::size_t pos = 0;
    if (words.size() < 2 || !ScanValue(words[0], pos, code)) {
      ThrowFatal(diag, kMultilayerEntryErrorCode,
                 "FATAL: a multilayer land-use entry does not begin with its code and name");
    }
    OrigCode = code;
    name = words[1];
    if (name.size() > kMaxMultilayerNameLength) {
      ThrowFatal(diag, kMultilayerEntryErrorCode, "FATAL: the name of multilayer land use ", code,
                 " is longer than ", static_cast<int>(kMaxMultilayerNameLength), " characters");
    }
    ReadCodeList(text, "Landuse_Layers", LayerCodes, LayerCount);
    if (LayerCount < 1) {
      ThrowFatal(diag, kMultilayerEntryErrorCode, "FATAL: multilayer land use ", code,
                 ": \"Landuse_Layers\" holds no land-use code: \"", layers_value, "\"");
    }
    LayerCodesCopy = LayerCodes;
    ParseDoubleValue(diag, text, "k_extinct", k_extinct);
    ParseDoubleValue(diag, text, "LAI_scale", LAI_scale);
  } catch (const ErrorCode&) {
    ThrowFatal(diag, kMultilayerEntryErrorCode, "FATAL: multilayer_landuse_table code ", code,
               ": some parameters could not be read\n", text);
  }
}

bool MultilayerLanduseRecord::ReadCodeList(const std::string& text, const std::string& key,
                                           std::vector<int>& codes, int& count) {
  std::string value_text;
  if (!FindKeyValueText(text, key, value_text)) return false;
  std::vector<std::string> pieces;
  // Blanks separate codes as commas do: "10 20" is two layers, not one.
  Tokenize(value_text, ",; \t\r\n", pieces);
  codes.assign(1, 0);
  for (const std::string& piece : pieces) {
    std::size_t pos = 0;
    int layer_code = 0;
    // "2.5" or "20a" is no code: the entry fails rather than take the front of it.
    if (!ScanValue(piece, pos, layer_code) || pos != piece.size())
      throw ErrorCode{kMultilayerEntryErrorCode};
    codes.push_back(layer_code);
  }
  count = static_cast<int>(codes.size()) - 1;
  codes[0] = count;
  return true;
}

}  // namespace velorn
