// Tracer definitions: the line parser and tracer_ini_class.
#include "setup/tracer_definitions.h"

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

// Parses the keywords of one tracer line; every failure is one FATAL entry and code 56.
class TracerLineParser {
 public:
  TracerLineParser(DiagnosticStream& diag, const std::string& line, int32_t tracer, int32_t count)
      : diag_(diag), line_(line), tracer_(tracer), count_(count) {}

  // "radioactive" or "non_radioactive" (with its half-life), "evaporating" or
  // "non_evaporating" (`evaporating` set), each required.
  int32_t Switch(const char* yes, const char* no, const char* ending) {
    if (Contains(line_, no)) return 0;
    if (Contains(line_, yes)) return 1;
    Fail("FATAL: error reading parameters for tracer ", tracer_, ":\n need a key word \"", yes,
         "\" or \"", no, "\"\n(may be, the number of tracers (", count_, ") is wrong?", ending);
  }

  double HalfTime() {
    const std::size_t key = line_.find("half_time");
    if (key == std::string::npos) {
      Fail("FATAL: error in tracer_info_table tracer ", tracer_,
           ": need a \"half_time = xxxx d\" sequence!");
    }
    std::size_t pos = EqualsAfter(key, "half_time");
    double value = 0;
    std::string unit;
    // The unit may stand against the number ("4500d"); the number before it is a whole word.
    std::string word;
    if (ScanValue(line_, pos, word) && word.size() > 1 && word.back() == 'd' &&
        ReadNumber(std::string_view(word).substr(0, word.size() - 1), value)) {
      unit = "d";
    } else if (!ReadNumber(word, value) || !ScanValue(line_, pos, unit)) {
      Fail("FATAL: error reading half_time for tracer ", tracer_);
    }
    if (unit != "d") {
      Fail("FATAL: error reading half_time for tracer ", tracer_, ": no \"d\" for measure found!");
    }
    if (value < 0) {
      Fail("FATAL: error in half_time for tracer ", tracer_, ": must be greater than 0!");
    }
    return value;
  }

  // min_conc, soilini, gwini: the number behind the first "=" after the keyword.
  double Concentration(const char* keyword, const char* unreadable_end) {
    std::size_t pos = EqualsAfter(Require(keyword, " = xxxx"), keyword);
    double value = 0;
    if (!ScanValue(line_, pos, value)) {
      Fail("FATAL: error reading ", keyword, " for tracer ", tracer_, unreadable_end);
    }
    return value;
  }

  // max_conc with its unit word; an unreadable number leaves 0 and the unit "kg/kg".
  double MaxConcentration() {
    std::size_t pos = EqualsAfter(Require("max_conc", " = xxxx"), "max_conc");
    double value = 0;
    std::string unit = "kg/kg";
    if (ScanValue(line_, pos, value)) {
      std::string word;
      if (ScanValue(line_, pos, word)) unit = word;
    } else {
      // A word meant as the number ("0,5", "5mg/l") is refused, not read as 0.
      if (const std::string word = NumberLikeWordAt(line_, pos); !word.empty())
        Fail("FATAL: error reading max_conc for tracer ", tracer_, ": \"", word, "\" ",
             NumberProblem(word));
      value = 0;
    }
    if (unit != "mg/l" && unit != "g/l" && unit != "kg/kg" && unit != "Kg/Kg") {
      Fail("FATAL: error reading max_conc for tracer ", tracer_,
           ":\nwrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\n"
           "read here: ",
           unit);
    }
    return value;
  }

  // "statcode =", "gridcode =": an integer behind the text.
  int32_t Code(const char* keyword) {
    const std::string text = std::string(keyword) + " =";
    std::size_t pos = RequireText(keyword, text) + text.size();
    int value = 0;
    if (!ScanValue(line_, pos, value))
      Fail("FATAL: error reading ", keyword, " for tracer ", tracer_, "!");
    return value;
  }

  // "path =", "statext =", "gridext =": one word behind the text.
  std::string Word(const char* keyword) {
    const std::string text = std::string(keyword) + " =";
    std::size_t pos = RequireText(keyword, text) + text.size();
    std::string value;
    if (!ScanValue(line_, pos, value))
      Fail("FATAL: error reading ", keyword, " for tracer ", tracer_, "!");
    if (value.size() > kMaxTracerTextLength) {
      Fail("FATAL: error reading ", keyword, " for tracer ", tracer_, ": longer than ",
           static_cast<unsigned long>(kMaxTracerTextLength), " characters: ", value);
    }
    return value;
  }

 private:
  template <class... Pieces>
  [[noreturn]] void Fail(const Pieces&... pieces) {
    ThrowFatal(diag_, kTracerParameterCode, pieces...);
  }

  // Position of the keyword; missing: the "need a key word" message.
  std::size_t Require(const char* keyword, const char* hint) {
    const std::size_t key = line_.find(keyword);
    if (key == std::string::npos) {
      Fail("FATAL: error reading parameters for tracer ", tracer_, ":\nneed a key word \"", keyword,
           hint, "\"");
    }
    return key;
  }

  std::size_t RequireText(const char* keyword, const std::string& text) {
    const std::size_t key = line_.find(text);
    if (key == std::string::npos) {
      Fail("FATAL: error reading ", keyword, " for tracer ", tracer_, ":\nneed a key word \"",
           keyword, " = xxxx\"");
    }
    return key;
  }

  // Position behind the first "=" after the keyword at `key`.
  std::size_t EqualsAfter(std::size_t key, const char* keyword) {
    const std::size_t equals = line_.find('=', key);
    if (equals == std::string::npos) {
      Fail("FATAL: error reading ", keyword, " for tracer ", tracer_, ": no \"", keyword,
           " =\" found!");
    }
    return equals + 1;
  }

  DiagnosticStream& diag_;
  const std::string& line_;
  int32_t tracer_;
  int32_t count_;
};

}  // namespace

std::string TracerName(const std::string& line) {
  std::size_t pos = 0;
  std::string word;
  ScanValue(line, pos, word);
  std::string name = word.substr(0, 3);
  name.resize(3, '_');
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

void ParseTracerKeywords(DiagnosticStream& diag, const std::string& line, int32_t tracer,
                         int32_t count, TracerDefinition& definition) {
  TracerLineParser parser(diag, line, tracer, count);
  definition.radioactive = parser.Switch("radioactive", "non_radioactive", "\n");
  definition.half_time = definition.radioactive == 1 ? parser.HalfTime() : -9999.0;
  definition.evaporating = parser.Switch("evaporating", "non_evaporating", "");
  definition.min_conc = parser.Concentration("min_conc", "");
  definition.max_conc = parser.MaxConcentration();
  definition.soilini = parser.Concentration("soilini", "!");
  definition.gwini = parser.Concentration("gwini", "!");
  definition.statcode = parser.Code("statcode");
  definition.gridcode = parser.Code("gridcode");
  definition.path = parser.Word("path");
  definition.statext = parser.Word("statext");
  definition.gridext = parser.Word("gridext");
  definition.decay_factor = 0;
}

tracer_ini_class::tracer_ini_class(int32_t& error_code, DiagnosticStream* diag_stream,
                                   const std::string& control_file_name_arg, int32_t unused,
                                   int32_t& tracer_count, TracerDefinition*& tracer_table,
                                   bool write_ascii_arg, bool write_double_arg,
                                   bool write_netcdf_arg, const std::string& input_directory_arg,
                                   const std::string& output_directory_arg, MpiLayout* mpi_arg,
                                   int32_t response_unit_switch_arg,
                                   std::vector<HruRecord>* response_unit_table_arg)
    : modelobject(diag_stream, std::string(), unused, write_ascii_arg, write_double_arg,
                  write_netcdf_arg, input_directory_arg, output_directory_arg, mpi_arg,
                  response_unit_switch_arg, response_unit_table_arg) {
  tracer_count = 0;
  tracer_table = nullptr;
  error_code = CaptureErrorCode([&] {
    SetModuleName("tracer_ini");
    // The name is checked here rather than by the base so that this constructor never throws.
    if (control_file_name_arg.size() > kMaxFileNameLength) {
      ThrowFatal(Diag(), 1, "FATAL: control file name longer than ",
                 static_cast<unsigned long>(kMaxFileNameLength),
                 " characters: ", control_file_name_arg);
    }
    control_file_name = control_file_name_arg;
    ReadTracers();
    tracer_count = count;
    tracer_table = count > 0 ? tracers.data() : nullptr;
  });
  control_file.reset();
}

void tracer_ini_class::ReadTracers() {
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, diag)) {
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  }
  FindSection("[substance_transport]", 1);
  // Decimal, so that "08" is 8 and "010" is 10.
  int value = 0;
  ReadValue(*control_file, value, " number of tracers in ");
  if (value > kMaxTracers) {
    ThrowFatal(Diag(), kTooManyTracersCode,
               "FATAL: not more than 9 tracer species are allowed at one time (they need a very "
               "lot of memory!)");
  }
  count = 0;
  tracers.clear();
  if (value < 1) return;

  std::vector<TracerDefinition> table =
      AllocateArray<TracerDefinition>(static_cast<std::size_t>(value) + 1, 1);
  for (int32_t i = 1; i <= value; ++i) {
    Diag() << "reading parameters for tracer " << i << " ..."
           << "[end-entry]";
    const std::string line = control_file->RestOfLine();
    TracerDefinition& definition = table[i];
    definition.name = TracerName(line);
    for (int32_t j = 1; j < i; ++j) {
      if (table[j].name != definition.name) continue;
      ThrowFatal(Diag(), kDuplicateTracerCode,
                 "FATAL: \n----------- ERROR in substance_transport ---------\n\nsubstance #", i,
                 " and substance #", j, " have the same\nfirst 3 chars (lowercase) in its name (",
                 definition.name, " <-> ", table[j].name,
                 ")\n\n--------------------------------------------------\n");
    }
    ParseTracerKeywords(Diag(), line, i, value, definition);
    TakeWrittenGridForm(definition);
    Diag() << "done."
           << "[end-entry]";
  }
  tracers = std::move(table);
  count = value;
}

// A grid extension that names a form ("asc", "dbl", "flt") other than the one grids are written
// in becomes the written form's, so that no file holds binary doubles under ".asc"; a warm start
// reads the state under the extension given too (older_gridext).
void tracer_ini_class::TakeWrittenGridForm(TracerDefinition& definition) {
  const std::string written =
      ExtensionOfWrittenForm(definition.gridext, write_ascii, write_double, write_netcdf);
  if (written == definition.gridext) return;
  Diag() << "INFO: the grids of tracer " << definition.name << " are named \"." << written
         << "\", not \"." << definition.gridext << "\" (gridext): they are written as "
         << (written == "asc"   ? "ASCII grids"
             : written == "dbl" ? "binary doubles"
                                : "binary floats")
         << "[end-entry]";
  definition.older_gridext = definition.gridext;
  definition.gridext = written;
}

void tracer_ini_class::ReleaseMemory() {
  tracers.clear();
  count = 0;
  modelobject::ReleaseMemory();
}

}  // namespace velorn
