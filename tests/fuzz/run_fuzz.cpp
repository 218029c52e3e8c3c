// Whole-run fuzz harness: makes a mutated copy of a shipped variant of the example basin on a
// short window, and sorts the outcome of a run of it. tests/fuzz/run_fuzz.py drives it (runs
// `velorn` on each copy with a time limit, a few at a time, and counts the classes); built with
// the tests, never run by CI.
//
//   velorn_run_fuzz mutate <example folder> <case folder> <seed> [<state folder>]
//       copies the example folder into the case folder, picks a variant (a control file of the
//       folder, some with heat transfer, a layered snow pack or river-link cells switched on),
//       cuts its window to 1-2 days inside its period and applies one to three mutations: a
//       number of a control-file section changed (to a value at the edge of what numbers can
//       be: nan, inf, 1e308, -1, 0, 2147483648, ...), a line of it dropped or doubled, a cell or
//       a header value of one of its grids changed or the grid cut short, a value of one of its
//       station or list files changed, a line of them dropped or doubled or the file cut
//       short; or one input aimed at on purpose, with a value no basin has (0, negative,
//       1e308, nan, inf or a decimal comma such as "3,5"): a station table's altitude or
//       coordinate header, an observed-discharge file (written for the case and tied to the
//       outlet subbasin), a value of a routing description, a groundwater layer grid (the
//       default value of an aquifer grid, or a cell of such a grid written as a file), a column
//       of the soil or the land-use table, the zone grid's header (its nodata value 0, 1, 2, -1,
//       -9999 or an edge value, the outside cells written with it or not). Each mutation of the
//       control file may misspell a key or a section name instead. Given the folder of a state
//       run (below), a fifth of the cases are warm starts of the example from that state with a
//       value of one of its grids, stacks or storage content file changed to an edge value, or a
//       file cut short or removed (usually without its manifest, so that the value is what the
//       run meets). Writes "mutations.txt" (what was changed, the aimed input first as
//       "input <name>:") and prints the control file to run.
//   velorn_run_fuzz state <example folder> <state folder>
//       writes a run of the example (1 to 2 January) that stores its state into the state
//       folder and prints its control file; the driver runs it once per batch.
//   velorn_run_fuzz classify <case folder> <exit status|timeout|signal:N> <log file>
//       prints the class of the run and why: "clean-error" (an exit status other than 0 with a
//       FATAL entry), "success", "bad-output" (exit 0 but NaN or inf in an output table or grid, a
//       negative value in a table of a store, a water-balance residual above 1e-6 of the
//       precipitation (at least of 1 mm), a FATAL entry, or nan, an infinity or a decimal comma
//       in an input aimed at that the run accepted without a message), "sanitizer" (a report of
//       AddressSanitizer or UndefinedBehaviorSanitizer in the log), "crash" (a signal, code 250
//       of an exception that no reader turned into its FATAL entry, or an exit status other than
//       0 without a FATAL entry) or "hang" (the driver's time limit).
//
//   velorn_run_fuzz sweep <example folder> <case folder> <control file> <index>
//       the comma sweep: the example's control file on a short window with its index-th decimal
//       number written with a decimal comma ("0.5" as "0,5"), noted as an aimed input, so that
//       `classify` counts a run that takes it without a message as a bad output; an index past
//       the last prints the file's count of decimal numbers (status 3).
//
// The same seed gives the same case: a finding is reproduced by `mutate` with its seed.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/grid_files.h"

namespace fs = std::filesystem;

namespace {

const char* const kEdgeValues[] = {"nan",   "-inf",   "inf",        "1e308",       "-1e308",
                                   "1e30",  "-1e6",   "0",          "-0",          "-1",
                                   "-9999", "1e-320", "2147483648", "-2147483649", "99999999999",
                                   "13",    "366",    "32768",      "0.5",         "1e6"};

using Lines = std::vector<std::string>;

Lines ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  Lines lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteLines(const fs::path& path, const Lines& lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << '\n';
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  std::size_t Below(std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
  }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
  template <class T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(items.size())];
  }

 private:
  std::mt19937_64 engine_;
};

// A number token of a text: [begin, end) in the line.
struct Token {
  std::size_t begin = 0, end = 0;
};

std::vector<Token> NumberTokens(const std::string& line) {
  std::vector<Token> tokens;
  const std::size_t stop = std::min(line.find('#'), line.size());
  std::size_t i = 0;
  while (i < stop) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    const bool starts =
        std::isdigit(c) != 0 || ((c == '-' || c == '.' || c == '+') && i + 1 < stop &&
                                 std::isdigit(static_cast<unsigned char>(line[i + 1])) != 0);
    const bool after_word = i > 0 && (std::isalnum(static_cast<unsigned char>(line[i - 1])) != 0 ||
                                      line[i - 1] == '_' || line[i - 1] == '.');
    if (!starts || after_word) {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < stop &&
           (std::isdigit(static_cast<unsigned char>(line[j])) != 0 || line[j] == '.' ||
            line[j] == 'e' || line[j] == 'E' ||
            ((line[j] == '-' || line[j] == '+') && (line[j - 1] == 'e' || line[j - 1] == 'E'))))
      ++j;
    tokens.push_back({i, j});
    i = j;
  }
  return tokens;
}

// A new text for the number `old`: an edge value, or the number negated, scaled or shifted.
std::string MutatedNumber(const std::string& old, Random& random) {
  if (random.Chance(0.6)) return kEdgeValues[random.Below(std::size(kEdgeValues))];
  const double x = std::strtod(old.c_str(), nullptr);
  char text[64];
  const double changed[] = {-x, x * 1000, x / 1000, x + 1, x - 1, x * 1e12};
  std::snprintf(text, sizeof text, "%.17g", changed[random.Below(std::size(changed))]);
  return text;
}

// Replaces one number token of `line` (only those after its first '=' when `after_equals`) by
// new_value(old) and tells what it did; false when it has none.
template <class NewValue>
bool ReplaceNumber(std::string& line, Random& random, std::string& what, bool after_equals,
                   NewValue new_value) {
  std::vector<Token> tokens = NumberTokens(line);
  if (after_equals) {
    const std::size_t equals = line.find('=');
    std::erase_if(tokens,
                  [&](const Token& t) { return equals == std::string::npos || t.begin < equals; });
  }
  if (tokens.empty()) return false;
  const Token t = tokens[random.Below(tokens.size())];
  const std::string old = line.substr(t.begin, t.end - t.begin);
  const std::string now = new_value(old);
  line.replace(t.begin, t.end - t.begin, now);
  what = old + " -> " + now;
  return true;
}

// Replaces one number token of line `at`; false when it has none.
bool MutateNumberOnLine(Lines& lines, std::size_t at, Random& random, std::string& what) {
  if (!ReplaceNumber(lines[at], random, what, false,
                     [&](const std::string& old) { return MutatedNumber(old, random); }))
    return false;
  what = "line " + std::to_string(at + 1) + ": " + what;
  return true;
}

// A value no basin has, for the number `old`: 0, negative, huge, not finite, or written with a
// decimal comma.
std::string ImpossibleNumber(const std::string& old, Random& random) {
  switch (random.Below(7)) {
    case 0:
      return "0";
    case 1:
      return old.rfind('-', 0) == 0 ? old.substr(1) : "-" + old;
    case 2:
      return "1e308";
    case 3:
      return "nan";
    case 4:
      return random.Chance(0.5) ? "inf" : "-inf";
    case 5:
      return "-1";
    default: {
      std::string comma = old;
      const std::size_t dot = comma.find('.');
      if (dot != std::string::npos) return comma.replace(dot, 1, ",");
      return old + ",5";
    }
  }
}

// As MutateNumberOnLine, with an impossible value.
bool ImpossibleNumberOnLine(Lines& lines, std::size_t at, Random& random, std::string& what,
                            bool after_equals = false) {
  if (!ReplaceNumber(lines[at], random, what, after_equals,
                     [&](const std::string& old) { return ImpossibleNumber(old, random); }))
    return false;
  what = "line " + std::to_string(at + 1) + ": " + what;
  return true;
}

// --- Dates of the window ------------------------------------------------------------------------

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y = yoe + era * 400 + (m <= 2);
}

// Indexes of the value lines (not empty, no comment) of section `name`, in order.
std::vector<std::size_t> SectionValueLines(const Lines& lines, const std::string& name) {
  std::vector<std::size_t> at;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const std::size_t first = l.find_first_not_of(" \t\r");
    if (first == std::string::npos || l[first] == '#') continue;
    if (l[first] == '[') {
      inside = l.compare(first, name.size(), name) == 0;
      continue;
    }
    if (inside) at.push_back(i);
  }
  return at;
}

// The window: 1-2 days from a random day of the variant's period (the lake variant now and then
// from 26 May, so that its snow survey of 28 May is assimilated).
std::string CutWindow(Lines& lines, Random& random, bool lake) {
  const std::vector<std::size_t> at = SectionValueLines(lines, "[model_time]");
  if (at.size() < 8) return "window as shipped";
  int64_t v[8];
  for (int k = 0; k < 8; ++k) v[k] = std::strtoll(lines[at[k]].c_str(), nullptr, 10);
  const int64_t first = DaysFromCivil(v[3], v[2], v[1]);
  const int64_t last = DaysFromCivil(v[7], v[6], v[5]);
  const int64_t length = 1 + static_cast<int64_t>(random.Below(2));
  int64_t start = first;
  if (last - length > first)
    start =
        first + static_cast<int64_t>(random.Below(static_cast<std::size_t>(last - length - first)));
  if (lake && random.Chance(0.3)) start = DaysFromCivil(2019, 5, 26);
  int64_t y, m, d;
  CivilFromDays(start, y, m, d);
  lines[at[1]] = std::to_string(d);
  lines[at[2]] = std::to_string(m);
  lines[at[3]] = std::to_string(y);
  CivilFromDays(std::min(start + length, std::max(last, start)), y, m, d);
  lines[at[4]] = "0";
  lines[at[5]] = std::to_string(d);
  lines[at[6]] = std::to_string(m);
  lines[at[7]] = std::to_string(y);
  return "window from " + lines[at[1]] + "." + lines[at[2]] + "." + lines[at[3]] + " to " +
         lines[at[5]] + "." + lines[at[6]] + "." + lines[at[7]];
}

// --- Variants
// -------------------------------------------------------------------------------------

struct Variant {
  const char* control_file;
  const char* name;
  std::string insert;  // sections added before the single-point outputs
  const char* from = nullptr;
  const char* to = nullptr;
};

const std::vector<Variant>& Variants() {
  static const std::vector<Variant> variants = {
      {"front-range.ctl", "year", ""},
      {"front-range.ctl", "heat", velorn::test::kHeatTransfer},
      {"front-range.ctl", "layered-snow", velorn::test::kHeatTransfer + velorn::test::kLayeredSnow},
      {"front-range.ctl", "river-links", "", "0          # no exchange with river water", "2"},
      {"front-range-lake.ctl", "lake", ""},
      {"front-range-groundwater.ctl", "groundwater", ""},
      {"front-range-irrigation.ctl", "irrigation", ""},
      {"front-range-silting.ctl", "silting", ""},
      {"front-range-surface-routing.ctl", "surface-routing", ""},
  };
  return variants;
}

void ApplyVariant(const Variant& v, std::string& text) {
  if (!v.insert.empty()) {
    const std::size_t at = text.find(velorn::test::kSectionsEnd);
    if (at != std::string::npos) text.insert(at, v.insert);
  }
  if (v.from != nullptr) {
    const std::size_t at = text.find(v.from);
    if (at != std::string::npos) text.replace(at, std::string(v.from).size(), v.to);
  }
}

// --- Mutations
// ------------------------------------------------------------------------------------

// Files of the case folder that the control file names (grids: ".asc"; tables: the rest).
std::vector<fs::path> NamedFiles(const fs::path& dir, const std::string& control, bool grids) {
  std::vector<fs::path> named;
  for (const fs::path& sub : {fs::path(), fs::path("stations")}) {
    if (!fs::is_directory(dir / sub)) continue;
    for (const auto& entry : fs::directory_iterator(dir / sub)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = entry.path().filename().string();
      const bool grid = entry.path().extension() == ".asc";
      const bool table = entry.path().extension() == ".txt" && name != "README.md";
      if (grids ? !grid : !table) continue;
      if (control.find(name) == std::string::npos) continue;
      named.push_back(entry.path());
    }
  }
  std::sort(named.begin(), named.end());
  return named;
}

// A control-file number (outside the window and the spin-up), or a line dropped or doubled.
std::string MutateControl(Lines& lines, Random& random) {
  std::vector<std::size_t> candidates;
  bool fixed = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const std::size_t first = l.find_first_not_of(" \t\r");
    if (first == std::string::npos || l[first] == '#') continue;
    if (l[first] == '[') {
      fixed = l.rfind("[model_time]", first) == first || l.rfind("[SpinUp]", first) == first;
      continue;
    }
    if (!fixed) candidates.push_back(i);
  }
  if (candidates.empty()) return "control file unchanged";
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::size_t at = random.Pick(candidates);
    if (random.Chance(0.85)) {
      std::string what;
      if (MutateNumberOnLine(lines, at, random, what)) return "control file " + what;
      continue;
    }
    const std::string old = lines[at];
    if (random.Chance(0.5)) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
      return "control file line " + std::to_string(at + 1) + " dropped: " + old;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), old);
    return "control file line " + std::to_string(at + 1) + " doubled: " + old;
  }
  return "control file unchanged";
}

std::string MutateGrid(const fs::path& path, Random& random) {
  Lines lines = ReadLines(path);
  if (lines.size() < 7) return "grid " + path.filename().string() + " unchanged";
  std::string what;
  const std::size_t kind = random.Below(10);
  if (kind < 6) {  // a cell
    const std::size_t row = 6 + random.Below(lines.size() - 6);
    std::vector<Token> tokens = NumberTokens(lines[row]);
    if (!tokens.empty()) {
      const Token t = tokens[random.Below(tokens.size())];
      const std::string old = lines[row].substr(t.begin, t.end - t.begin);
      const std::string now = kEdgeValues[random.Below(std::size(kEdgeValues))];
      lines[row].replace(t.begin, t.end - t.begin, now);
      what = "cell " + std::to_string(t.begin) + " of line " + std::to_string(row + 1) + ": " +
             old + " -> " + now;
    }
  } else if (kind < 7) {  // a whole row of cells
    const std::size_t row = 6 + random.Below(lines.size() - 6);
    const std::string now = kEdgeValues[random.Below(std::size(kEdgeValues))];
    std::string text;
    for (std::size_t k = 0; k < NumberTokens(lines[row]).size(); ++k) text += now + " ";
    lines[row] = text;
    what = "line " + std::to_string(row + 1) + " all " + now;
  } else if (kind < 9) {  // a header value
    MutateNumberOnLine(lines, random.Below(6), random, what);
  } else {  // cut short
    const std::size_t keep = random.Below(lines.size());
    lines.resize(keep);
    what = "cut after line " + std::to_string(keep);
  }
  WriteLines(path, lines);
  return "grid " + path.filename().string() + " " + what;
}

std::string MutateTable(const fs::path& path, Random& random) {
  Lines lines = ReadLines(path);
  const std::string name = path.parent_path().filename().string() + "/" + path.filename().string();
  if (lines.size() < 2) return "table " + name + " unchanged";
  std::string what;
  const std::size_t kind = random.Below(10);
  // Station files have five header lines; data from there (the list files from line 3).
  const std::size_t from = std::min<std::size_t>(lines.size() - 1, random.Chance(0.8) ? 2 : 0);
  const std::size_t at = from + random.Below(lines.size() - from);
  if (kind < 7) {
    for (int attempt = 0; attempt < 10 && what.empty(); ++attempt) {
      const std::size_t line = from + random.Below(lines.size() - from);
      MutateNumberOnLine(lines, line, random, what);
    }
  } else if (kind < 8) {
    what = "line " + std::to_string(at + 1) + " dropped";
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
  } else if (kind < 9) {
    what = "line " + std::to_string(at + 1) + " doubled";
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), lines[at]);
  } else {
    lines.resize(at);
    what = "cut after line " + std::to_string(at);
  }
  WriteLines(path, lines);
  return "table " + name + " " + what;
}

// --- Inputs aimed at -----------------------------------------------------------------------

// Value lines of `section` that `keep` accepts.
template <class Keep>
std::vector<std::size_t> SectionLinesWhere(const Lines& lines, const std::string& section,
                                           Keep keep) {
  std::vector<std::size_t> at;
  for (std::size_t i : SectionValueLines(lines, section))
    if (keep(lines[i])) at.push_back(i);
  return at;
}

bool Has(const std::string& line, const char* word) {
  return line.find(word) != std::string::npos;
}

// An impossible value on one of the lines `at` of the control file.
std::string ImpossibleOnControlLines(Lines& lines, const std::vector<std::size_t>& at,
                                     Random& random, const char* input, bool after_equals) {
  std::string what;
  for (int attempt = 0; attempt < 10 && !at.empty() && what.empty(); ++attempt)
    ImpossibleNumberOnLine(lines, random.Pick(at), random, what, after_equals);
  return std::string("input ") + input + ": control file " + (what.empty() ? "unchanged" : what);
}

// The altitude, x or y line of a station table's header.
std::string StationHeader(const fs::path& dir, const std::string& control, Random& random) {
  std::vector<fs::path> stations;
  for (const fs::path& file : NamedFiles(dir, control, false))
    if (file.parent_path().filename() == "stations") stations.push_back(file);
  if (stations.empty()) return "input station header: none";
  const fs::path& file = random.Pick(stations);
  Lines lines = ReadLines(file);
  if (lines.size() < 5) return "input station header: " + file.filename().string() + " short";
  std::string what;
  ImpossibleNumberOnLine(lines, 1 + random.Below(3), random, what);
  WriteLines(file, lines);
  return "input station header: " + file.filename().string() + " " + what;
}

// An observed-discharge file for the outlet subbasin 5 (one row a day of 2019 at hour 0, as the
// station tables date their rows), named in [routing_model], with one impossible value or date.
std::string ObservedDischarge(Lines& lines, const fs::path& dir, Random& random) {
  const std::vector<std::size_t> at = SectionValueLines(lines, "[routing_model]");
  if (at.size() < 7 || !Has(lines[at[4]], "none"))
    return "input observed discharge: no routing section";
  Lines rows = {"observed discharge at the outlet (m3/s)", "YYYY MM DD HH Q5"};
  for (int64_t day = DaysFromCivil(2019, 1, 1); day <= DaysFromCivil(2019, 12, 31); ++day) {
    int64_t y, m, d;
    CivilFromDays(day, y, m, d);
    char row[64];
    std::snprintf(row, sizeof row, "%04lld %02lld %02lld 00 %.3f", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d), 0.2 + 0.001 * d);
    rows.push_back(row);
  }
  std::string what;
  const std::size_t row = 2 + random.Below(rows.size() - 2);
  if (random.Chance(0.8)) {
    // The discharge, or a part of the date.
    std::vector<Token> tokens = NumberTokens(rows[row]);
    const Token t = random.Chance(0.7) ? tokens.back() : tokens[random.Below(tokens.size())];
    const std::string old = rows[row].substr(t.begin, t.end - t.begin);
    const std::string now = ImpossibleNumber(old, random);
    rows[row].replace(t.begin, t.end - t.begin, now);
    what = "row " + std::to_string(row + 1) + ": " + old + " -> " + now;
  } else {
    rows.resize(row);
    what = "cut after row " + std::to_string(row);
  }
  WriteLines(dir / "qobs.txt", rows);
  lines[at[4]] = "qobs.txt   # observed discharges";
  lines[at[5]] = "1";
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at[5]) + 1, "5 1");
  return "input observed discharge: qobs.txt " + what;
}

// The default value of an aquifer grid of [standard_grids], or a cell of it written as a file.
std::string GroundwaterGrid(Lines& lines, const fs::path& dir, Random& random) {
  const std::vector<std::size_t> at =
      SectionLinesWhere(lines, "[standard_grids]", [](const std::string& l) {
        return (l.rfind("gw_", 0) == 0 || l.rfind("aquifer_", 0) == 0) && Has(l, "defaultValue=");
      });
  if (at.empty()) return "input groundwater grid: none";
  const std::size_t line = random.Pick(at);
  const std::string name = lines[line].substr(0, lines[line].find(' '));
  const std::size_t value_at = lines[line].find("defaultValue=") + 13;
  const std::string value =
      lines[line].substr(value_at, lines[line].find_first_of(" \t#", value_at) - value_at);
  const std::string now = ImpossibleNumber(value, random);
  if (random.Chance(0.5) || !fs::exists(dir / "zones.asc")) {
    lines[line].replace(value_at, value.size(), now);
    return "input groundwater grid: " + name + " defaultValue " + value + " -> " + now;
  }
  // The grid as a file: the zone grid's header, the default value in every cell but one.
  Lines grid = ReadLines(dir / "zones.asc");
  if (grid.size() < 7) return "input groundwater grid: zones.asc short";
  const std::size_t row = 6 + random.Below(grid.size() - 6);
  for (std::size_t r = 6; r < grid.size(); ++r) {
    const std::size_t cells = NumberTokens(grid[r]).size();
    std::string text;
    for (std::size_t c = 0; c < cells; ++c)
      text += (r == row && c == cells / 2 ? now : value) + " ";
    grid[r] = text;
  }
  WriteLines(dir / (name + ".asc"), grid);
  lines[line] = name + ".asc " + name + " 0";
  return "input groundwater grid: " + name + ".asc (others " + value + ") cell in line " +
         std::to_string(row + 1) + ": " + value + " -> " + now;
}

// The zone grid's header: its nodata value (0, 1, 2, -1 as GIS exports write, or an edge
// value), the cells outside the basin written with it or left at -9999; or another header
// value at the edge of what numbers can be.
std::string ZoneGridHeader(const fs::path& dir, Random& random) {
  Lines grid = ReadLines(dir / "zones.asc");
  if (grid.size() < 7) return "input zone grid header: none";
  std::string what;
  if (random.Chance(0.7)) {
    const char* nodata[] = {"0", "1", "2", "-1", "-9999", "5", "32767", "1e30", "-1e30", "nan"};
    const std::string now = nodata[random.Below(std::size(nodata))];
    grid[5] = "nodata_value\t" + now;
    const bool outside = random.Chance(0.6);
    if (outside)
      for (std::size_t r = 6; r < grid.size(); ++r) {
        std::string row;
        for (const Token& token : NumberTokens(grid[r])) {
          const std::string cell = grid[r].substr(token.begin, token.end - token.begin);
          row += (cell == "-9999" ? now : cell) + " ";
        }
        grid[r] = row;
      }
    what = "nodata value -> " + now + (outside ? " (outside cells too)" : "");
  } else {
    MutateNumberOnLine(grid, random.Below(6), random, what);
  }
  WriteLines(dir / "zones.asc", grid);
  return "input zone grid header: " + what;
}

// Inputs of the control file aimed at: the value lines of a section that hold one of two words.
struct ControlInput {
  const char* section;
  const char* words[2];
  const char* name;
};
const ControlInput kControlInputs[] = {
    {"[routing_model]", {"TG ", "OL "}, "routing description"},
    {"[soil_table]", {"=", "="}, "soil table column"},
    {"[landuse_table]", {"=", "="}, "land-use table column"},
};

// One input aimed at with an impossible value; the control file's lines change in place.
std::string AimAtInput(Lines& lines, const fs::path& dir, Random& random) {
  std::string control;
  for (const std::string& l : lines) control += l + "\n";
  const std::size_t pick = random.Below(4 + std::size(kControlInputs));
  if (pick == 0) return StationHeader(dir, control, random);
  if (pick == 1) return ObservedDischarge(lines, dir, random);
  if (pick == 2) return GroundwaterGrid(lines, dir, random);
  if (pick == 3) return ZoneGridHeader(dir, random);
  const ControlInput& input = kControlInputs[pick - 4];
  const std::vector<std::size_t> at = SectionLinesWhere(
      lines, input.section,
      [&](const std::string& l) { return Has(l, input.words[0]) || Has(l, input.words[1]); });
  return ImpossibleOnControlLines(lines, at, random, input.name, true);
}

// As AimAtInput, with another input when the variant has not the one picked.
std::string MutateInput(Lines& lines, const fs::path& dir, Random& random) {
  std::string what;
  for (int attempt = 0; attempt < 8; ++attempt) {
    what = AimAtInput(lines, dir, random);
    if (what.find(": none") == std::string::npos &&
        what.find("no routing section") == std::string::npos)
      break;
  }
  return what;
}

// The spelling of a key or a section name: a letter dropped, doubled or swapped with the next,
// or its case changed (the run reads it with a WARNING or code 17, or goes on without it).
std::string MisspellKey(Lines& lines, Random& random) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const std::size_t first = l.find_first_not_of(" \t");
    if (first == std::string::npos || l[first] == '#') continue;
    if (l[first] == '[' || (Has(l, " = ") && std::isalpha(static_cast<unsigned char>(l[first]))))
      at.push_back(i);
  }
  if (at.empty()) return "key spelling: none";
  const std::size_t line = random.Pick(at);
  std::string& l = lines[line];
  const std::size_t first = l.find_first_not_of(" \t[");
  std::size_t last = first;
  while (last < l.size() &&
         (std::isalnum(static_cast<unsigned char>(l[last])) != 0 || l[last] == '_'))
    ++last;
  if (last - first < 2) return "key spelling: none";
  const std::string old = l.substr(first, last - first);
  std::string now = old;
  const std::size_t k = random.Below(now.size() - 1);
  switch (random.Below(4)) {
    case 0:
      now.erase(k, 1);
      break;
    case 1:
      now.insert(k, 1, now[k]);
      break;
    case 2:
      std::swap(now[k], now[k + 1]);
      break;
    default:
      now[k] = static_cast<char>(std::isupper(static_cast<unsigned char>(now[k]))
                                     ? std::tolower(static_cast<unsigned char>(now[k]))
                                     : std::toupper(static_cast<unsigned char>(now[k])));
  }
  l.replace(first, last - first, now);
  return "key spelling: line " + std::to_string(line + 1) + ": " + old + " -> " + now;
}

// --- Warm starts --------------------------------------------------------------------------------

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
}

// The example's state written at the end (tests/support/example_sections.h), and read back.
void WriteAndReadState(std::string& text, bool read) {
  for (const char* line : velorn::test::kStateLines)
    Replace(text, line + std::string("\n0\n"), line + std::string("\n3\n"));
  for (const char* line : velorn::test::kStateReadSwitches)
    if (read) Replace(text, line, "1");
}

// The control file of a run of the example (front-range.ctl, 1 to 2 January) that writes its
// state; the driver runs it once in `dir` and hands the folder to every case as its state.
int MakeStateRun(const fs::path& example, const fs::path& dir) {
  fs::create_directories(dir);
  for (const auto& entry : fs::directory_iterator(example)) {
    const std::string name = entry.path().filename().string();
    if (name == "output" || name == "source") continue;
    fs::copy(entry.path(), dir / name,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  std::string text = ReadText(dir / "front-range.ctl");
  WriteAndReadState(text, false);
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::vector<std::size_t> at = SectionValueLines(lines, "[model_time]");
  if (at.size() >= 8) lines[at[5]] = "2", lines[at[6]] = "1", lines[at[4]] = "0";
  WriteLines(dir / "state.ctl", lines);
  std::cout << "state.ctl\n";
  return 0;
}

// A warm start from the state in `state` (its output folder copied into the case as the
// initial state), with one of its files mutated: a value of a state grid or stack (a basin
// cell and level), a number of the storage content file, or the file cut short, removed or its
// manifest removed. Numbers the run does not read (the flux stack, the glacier storages of a
// run without glaciers) are left alone.
// The state's files copied into the case folder and read back by the control file `text`;
// returns those a mutation may change.
std::vector<fs::path> StartFromState(std::string& text, const fs::path& dir,
                                     const fs::path& state) {
  WriteAndReadState(text, true);
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(state / "output")) {
    const std::string name = entry.path().filename().string();
    fs::copy_file(entry.path(), dir / name, fs::copy_options::overwrite_existing);
    const bool grid = name.ends_with(".asc") || name.ends_with(".stk");
    if ((grid && name != "qunten.stk") || name.starts_with("soilstorage_"))
      files.push_back(dir / name);
  }
  return files;
}

std::string WarmStartFromState(std::string& text, const fs::path& dir, const fs::path& state,
                               Random& random) {
  std::vector<fs::path> files = StartFromState(text, dir, state);
  if (files.empty()) return "input state: none";
  std::sort(files.begin(), files.end());
  const fs::path& file = random.Pick(files);
  const std::string name = file.filename().string();
  // Without the manifest the value itself is what the run meets (a changed file is refused
  // by its manifest before), except in a tenth of the cases.
  const bool manifest = random.Chance(0.1);
  if (!manifest) fs::remove(dir / "velorn_state.txt");
  std::string bytes = ReadText(file);
  std::string what;
  const std::size_t kind = random.Below(10);
  if (kind == 0) {
    bytes.resize(random.Below(bytes.size()));
    what = "cut to " + std::to_string(bytes.size()) + " bytes";
  } else if (kind == 1) {
    fs::remove(file);
    return "input state: " + name + " removed";
  } else if (velorn::test::IsBinaryGridFile(bytes)) {
    const velorn::test::GridFile grid = velorn::test::ParseGridFile(bytes, name);
    std::vector<std::size_t> basin;
    for (std::size_t i = 0; i < grid.values.size(); ++i)
      if (grid.values[i] != grid.geometry.nodata) basin.push_back(i);
    if (basin.empty()) return "input state: " + name + " unchanged";
    const std::size_t i = random.Pick(basin);
    const char* now = kEdgeValues[random.Below(std::size(kEdgeValues))];
    const double value = std::strtod(now, nullptr);
    std::memcpy(&bytes[bytes.size() - 8 * (grid.values.size() - i)], &value, 8);
    what = "value " + std::to_string(i + 1) + ": " + std::to_string(grid.values[i]) + " -> " + now;
  } else {
    // A number before the snow section (which a run without glaciers does not read).
    const std::size_t end = std::min(bytes.find("[snow_model]"), bytes.size());
    Lines lines = ReadLines(file);
    std::size_t offset = 0;
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < lines.size() && offset < end; ++i) {
      if (!NumberTokens(lines[i].substr(0, lines[i].find('('))).empty()) candidates.push_back(i);
      offset += lines[i].size() + 1;
    }
    if (candidates.empty()) return "input state: " + name + " unchanged";
    // A number of the line's values, not of its comment (which no run reads).
    const std::size_t at = random.Pick(candidates);
    const std::size_t comment = std::min(lines[at].find('('), lines[at].size());
    Lines head = {lines[at].substr(0, comment)};
    if (!MutateNumberOnLine(head, 0, random, what)) return "input state: " + name + " unchanged";
    lines[at] = head[0] + lines[at].substr(comment);
    what = "line " + std::to_string(at + 1) + what.substr(what.find(':'));
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    bytes = all;
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  return "input state: " + name + (manifest ? " (manifest kept) " : " ") + what;
}

// A fresh case folder `dir` holding the example's inputs (not its outputs or sources).
void CopyExample(const fs::path& example, const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& entry : fs::directory_iterator(example)) {
    const std::string name = entry.path().filename().string();
    if (name == "output" || name == "source") continue;
    fs::copy(entry.path(), dir / name, fs::copy_options::recursive);
  }
}

int Mutate(const fs::path& example, const fs::path& dir, uint64_t seed, const fs::path& state) {
  Random random(seed);
  CopyExample(example, dir);
  // A fifth of the cases (with a state at hand) are warm starts of the example from it.
  const bool warm = !state.empty() && random.Chance(0.2);
  const Variant& variant = warm ? Variants().front() : random.Pick(Variants());
  std::string text = ReadText(dir / variant.control_file);
  ApplyVariant(variant, text);
  std::string warm_note;
  if (warm) warm_note = WarmStartFromState(text, dir, state, random);
  std::vector<std::string> notes = {"variant " + std::string(variant.name) + " (" +
                                    variant.control_file + "), seed " + std::to_string(seed)};
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  notes.push_back(CutWindow(lines, random, std::string(variant.name) == "lake"));
  // Half the cases aim at one of the inputs above first (a warm start at its state).
  const bool aimed = warm || random.Chance(0.5);
  if (warm)
    notes.push_back(warm_note);
  else if (aimed)
    notes.push_back(MutateInput(lines, dir, random));
  const int mutations = static_cast<int>(aimed ? random.Below(2) : 1 + random.Below(3));
  for (int m = 0; m < mutations; ++m) {
    std::string control;
    for (const std::string& l : lines) control += l + "\n";
    const std::size_t kind = random.Below(4);
    if (kind == 0) {
      notes.push_back(MutateControl(lines, random));
      continue;
    }
    if (kind == 3) {
      notes.push_back(MisspellKey(lines, random));
      continue;
    }
    const std::vector<fs::path> files = NamedFiles(dir, control, kind == 1);
    if (files.empty()) continue;
    const fs::path& file = random.Pick(files);
    notes.push_back(kind == 1 ? MutateGrid(file, random) : MutateTable(file, random));
  }
  const std::string run_name = "fuzz.ctl";
  WriteLines(dir / run_name, lines);
  std::ofstream note(dir / "mutations.txt");
  for (const std::string& n : notes) note << n << "\n";
  std::cout << run_name << "\n";
  return 0;
}

// --- Number damage aimed at the fields the readers read ------------------------------------------
//
// `prepare` writes a case of a variant without mutations (the warm start: variant index equal to
// the count of variants), on a window fixed per variant; the driver runs it with
// VELORN_NUMBER_TRACE set, and `fields` turns the trace (the words each reader took as numbers,
// with the file read) into the list of fields: "<variant>\t<file>\t<line>\t<word index>\t<word>"
// (the file relative to the case folder). A drawn case then damages one field of that list.

// The case folder `dir` of variant `index` (the warm start from `state` past the last variant),
// unmutated; fills `lines` with its control file. False for an index past the last.
bool PrepareCase(const fs::path& example, const fs::path& dir, std::size_t index,
                 const fs::path& state, Lines& lines, std::string& note) {
  const bool warm = index == Variants().size() && !state.empty();
  if (index >= Variants().size() && !warm) return false;
  const Variant& variant = warm ? Variants().front() : Variants()[index];
  CopyExample(example, dir);
  std::string text = ReadText(dir / variant.control_file);
  ApplyVariant(variant, text);
  if (warm) StartFromState(text, dir, state);
  lines.clear();
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  Random random(1000 + index);
  note = std::string(warm ? "warm start" : "variant ") + (warm ? "" : variant.name) + " (" +
         variant.control_file + "), " + CutWindow(lines, random, false);
  return true;
}

int Prepare(const fs::path& example, const fs::path& dir, std::size_t index,
            const fs::path& state) {
  Lines lines;
  std::string note;
  if (!PrepareCase(example, dir, index, state, lines, note)) {
    std::cout << Variants().size() + (state.empty() ? 0 : 1) << "\n";
    return 3;
  }
  WriteLines(dir / "fuzz.ctl", lines);
  std::ofstream(dir / "mutations.txt") << note << "\n";
  std::cout << "fuzz.ctl\n";
  return 0;
}

// The words of a line as the readers part them: at blanks, and (in the item lists of the control
// file) at the separators of core/number_reader.h; a '#' starts a comment in the control file.
std::vector<Token> Words(const std::string& line, bool control) {
  static const std::string separators = ",;()&=";
  std::vector<Token> words;
  const std::size_t stop = control ? std::min(line.find('#'), line.size()) : line.size();
  std::size_t i = 0;
  while (i < stop) {
    while (i < stop && std::isspace(static_cast<unsigned char>(line[i])) != 0) ++i;
    std::size_t j = i;
    while (j < stop && std::isspace(static_cast<unsigned char>(line[j])) == 0) {
      const char c = line[j];
      if (control && separators.find(c) != std::string::npos &&
          !(c == ',' && j + 1 < stop && std::isdigit(static_cast<unsigned char>(line[j + 1]))))
        break;
      ++j;
    }
    if (j > i) words.push_back({i, j});
    i = j == i ? j + 1 : j;
  }
  return words;
}

// The fields of the case `dir` that its trace lists as taken: each traced word matched to the
// next equal word of its file from where the last match of that file ended (from the top again
// when none is left, as a reader that reads a file anew).
int Fields(const fs::path& dir, const std::string& variant, const fs::path& trace) {
  struct Position {
    Lines lines;
    std::size_t line = 0, word = 0;
  };
  std::map<std::string, Position> files;
  std::set<std::string> seen;
  const std::string folder = fs::weakly_canonical(dir).string() + "/";
  for (const std::string& entry : ReadLines(trace)) {
    std::istringstream in(entry);
    std::string pid, source, word, taken;
    if (!std::getline(in, pid, '\t') || !std::getline(in, source, '\t') ||
        !std::getline(in, word, '\t') || !std::getline(in, taken) || taken != "1")
      continue;
    // The file relative to the case folder (the compiled control file, named after
    // it, is the control file).
    std::string file = fs::weakly_canonical(dir / source).string();
    if (file.rfind(folder, 0) != 0) continue;
    file.erase(0, folder.size());
    if (file.rfind("fuzz.ctl", 0) == 0) file = "fuzz.ctl";
    if (!fs::is_regular_file(dir / file)) continue;
    Position& at = files[file];
    if (at.lines.empty()) at.lines = ReadLines(dir / file);
    const bool control = file == "fuzz.ctl";
    bool found = false;
    const Position from = at;
    for (int pass = 0; pass < 2 && !found; ++pass) {
      for (; at.line < at.lines.size() && !found; ++at.line, at.word = 0) {
        const std::vector<Token> words = Words(at.lines[at.line], control);
        for (; at.word < words.size(); ++at.word) {
          const Token& t = words[at.word];
          if (at.lines[at.line].compare(t.begin, t.end - t.begin, word) != 0) continue;
          const std::string field = variant + "\t" + file + "\t" + std::to_string(at.line + 1) +
                                    "\t" + std::to_string(at.word) + "\t" + word;
          if (seen.insert(field).second) std::cout << field << "\n";
          ++at.word;
          found = true;
          break;
        }
        if (found) break;
      }
      if (!found) at.line = 0, at.word = 0;
    }
    // A word of no line (a value the compiled control file holds in place of its variable).
    if (!found) at.line = from.line, at.word = from.word;
  }
  return 0;
}

// The three kinds of damage to a number: a decimal comma ("0,5"; "12,5" for a whole number), a
// unit written onto it ("0.5mm") and a letter after it ("0.5x", "12O").
const char* const kNumberDamage[] = {"decimal comma", "glued unit", "trailing letter"};

std::string DamagedNumber(const std::string& old, std::size_t kind) {
  if (kind == 0) {
    std::string comma = old;
    const std::size_t dot = comma.find('.');
    return dot != std::string::npos ? comma.replace(dot, 1, ",") : old + ",5";
  }
  if (kind == 1) return old + "mm";
  return old + (old.find_first_of(".eE") == std::string::npos ? "O" : "x");
}

// A field of the list: its variant (index), file, line and word; the fields of a data file's
// rows past its header (line 6) are one field per word index, of a row drawn.
struct Field {
  std::size_t variant = 0;
  std::string file;
  std::size_t line = 0, word = 0;
};

// The fields of `list` grouped so that each group is one field of one file kind; the groups in
// a fixed order.
std::vector<std::vector<Field>> FieldGroups(const fs::path& list) {
  std::map<std::string, std::vector<Field>> groups;
  for (const std::string& entry : ReadLines(list)) {
    std::istringstream in(entry);
    std::string variant, file, line, word;
    if (!std::getline(in, variant, '\t') || !std::getline(in, file, '\t') ||
        !std::getline(in, line, '\t') || !std::getline(in, word, '\t'))
      continue;
    Field field{std::strtoul(variant.c_str(), nullptr, 10), file,
                std::strtoul(line.c_str(), nullptr, 10), std::strtoul(word.c_str(), nullptr, 10)};
    const bool rows = file != "fuzz.ctl" && field.line > 6;
    const std::string key = (file == "fuzz.ctl" ? variant + "\t" : std::string()) + file + "\t" +
                            (rows ? std::string("row") : line) + "\t" + word;
    groups[key].push_back(field);
  }
  std::vector<std::vector<Field>> ordered;
  for (auto& [key, fields] : groups) ordered.push_back(std::move(fields));
  return ordered;
}

// Case `seed` damages one group of the list with one kind of damage, both drawn from the seed:
// first the kind of file (control file, grids, station files, state files), so that each kind
// is met as often however many fields it has; nothing else changes.
int AimAtNumber(const fs::path& example, const fs::path& dir, uint64_t seed,
                const fs::path& state, const fs::path& list) {
  const std::vector<std::vector<Field>> groups = FieldGroups(list);
  if (groups.empty()) throw std::runtime_error("no fields in " + list.string());
  Random random(seed);
  std::map<std::string, std::vector<std::size_t>> by_kind;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::string& file = groups[g].front().file;
    by_kind[file.substr(file.rfind('.') + 1)].push_back(g);
  }
  auto kinds = by_kind.begin();
  std::advance(kinds, static_cast<std::ptrdiff_t>(random.Below(by_kind.size())));
  const std::vector<Field>& group = groups[random.Pick(kinds->second)];
  const Field& field = random.Pick(group);
  Lines lines;
  std::string note;
  if (!PrepareCase(example, dir, field.variant, state, lines, note))
    throw std::runtime_error("no variant " + std::to_string(field.variant));
  const bool control = field.file == "fuzz.ctl";
  Lines text = control ? lines : ReadLines(dir / field.file);
  const std::size_t kind = random.Below(3);
  std::string damage = "input number " + field.file + " unchanged";
  if (field.line >= 1 && field.line <= text.size()) {
    std::string& line = text[field.line - 1];
    const std::vector<Token> words = Words(line, control);
    if (field.word < words.size()) {
      const Token t = words[field.word];
      const std::string old = line.substr(t.begin, t.end - t.begin);
      const std::string now = DamagedNumber(old, kind);
      line.replace(t.begin, t.end - t.begin, now);
      damage = "input number " + field.file + " line " + std::to_string(field.line) + " word " +
               std::to_string(field.word + 1) + " (" + kNumberDamage[kind] + "): " + old +
               " -> " + now;
    }
  }
  if (control)
    lines = text;
  else
    WriteLines(dir / field.file, text);
  WriteLines(dir / "fuzz.ctl", lines);
  std::ofstream(dir / "mutations.txt") << damage << "\n" << note << ", seed " << seed << "\n";
  std::cout << "fuzz.ctl\n";
  return 0;
}

// The comma sweep: the example with the control file `control` on a short window and its
// `index`-th decimal number (counted over the file, comments left out) written with a decimal
// comma, noted as an aimed input so that a run taking it without a message is a bad output.
// An index beyond the last prints the count of decimal numbers instead (status 3).
int Sweep(const fs::path& example, const fs::path& dir, const std::string& control, long index) {
  Lines lines = ReadLines(example / control);
  long count = 0;
  std::string note;
  for (std::size_t i = 0; i < lines.size() && note.empty(); ++i)
    for (const Token& t : NumberTokens(lines[i])) {
      const std::string old = lines[i].substr(t.begin, t.end - t.begin);
      const std::size_t dot = old.find('.');
      if (dot == std::string::npos || dot + 1 >= old.size() ||
          std::isdigit(static_cast<unsigned char>(old[dot + 1])) == 0)
        continue;
      if (count++ != index) continue;
      std::string comma = old;
      comma[dot] = ',';
      lines[i].replace(t.begin, old.size(), comma);
      note = "input control file line " + std::to_string(i + 1) + ": " + old + " -> " + comma;
      break;
    }
  if (note.empty()) {
    std::cout << count << "\n";
    return 3;
  }
  CopyExample(example, dir);
  Random random(static_cast<uint64_t>(index));
  const std::string window = CutWindow(lines, random, false);
  WriteLines(dir / "fuzz.ctl", lines);
  std::ofstream(dir / "mutations.txt") << note << "\n" << control << ", " << window << "\n";
  std::cout << "fuzz.ctl\n";
  return 0;
}

// --- Classification
// -------------------------------------------------------------------------------

bool IsNonFinite(std::string token) {
  for (char& c : token) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!token.empty() && (token[0] == '-' || token[0] == '+')) token.erase(0, 1);
  return token == "nan" || token == "inf" || token == "infinity" || token.rfind("nan(", 0) == 0 ||
         token == "1.#inf" || token == "1.#qnan";
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == '\t' || c == ' ' || c == '\r' || c == ';' || c == ',') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// Tables of stores: a value below 0 in a data row (a year first) is a negative store.
bool IsStoreTable(const std::string& name) {
  return (name.find("storage") != std::string::npos || name.rfind("sb1", 0) == 0 ||
          name.rfind("sb2", 0) == 0 || name.rfind("pond", 0) == 0) &&
         name.find(".stat") != std::string::npos;
}

// The first value of a binary grid or stack that is not a finite number, or empty; other
// binary files (state files) pass.
std::string CheckBinaryGrid(const std::string& bytes, const std::string& name) {
  if (!velorn::test::IsBinaryGridFile(bytes)) return {};
  try {
    const velorn::test::GridFile grid = velorn::test::ParseGridFile(bytes, name);
    for (std::size_t i = 0; i < grid.values.size(); ++i)
      if (!std::isfinite(grid.values[i]))
        return "non-finite value in " + name + " at value " + std::to_string(i + 1);
  } catch (const std::runtime_error& error) {
    return std::string("unreadable grid ") + error.what();
  }
  return {};
}

// The first fault of the output folder's tables and grids, or empty.
std::string CheckOutputs(const fs::path& output) {
  if (!fs::is_directory(output)) return {};
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(output))
    if (entry.is_regular_file() && entry.file_size() < (64u << 20)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& path : files) {
    const std::string text = ReadText(path);
    const std::string name = path.filename().string();
    if (text.find('\0') != std::string::npos) {
      if (const std::string fault = CheckBinaryGrid(text, name); !fault.empty()) return fault;
      continue;
    }
    const bool store = IsStoreTable(name);
    const bool balance = name == "water_balance.txt";
    int precipitation = -1, residual = -1;
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      ++n;
      const std::vector<std::string> words = Split(line);
      for (const std::string& w : words)
        if (IsNonFinite(w))
          return "non-finite value " + w + " in " + name + " line " + std::to_string(n);
      if (words.empty()) continue;
      if (balance && words[0] == "period") {
        for (std::size_t k = 0; k < words.size(); ++k) {
          if (words[k] == "precipitation") precipitation = static_cast<int>(k);
          if (words[k] == "residual") residual = static_cast<int>(k);
        }
        continue;
      }
      const bool data =
          words[0].size() == 4 && std::isdigit(static_cast<unsigned char>(words[0][0]));
      if (store && data) {
        for (std::size_t k = 4; k < words.size(); ++k) {
          const double v = std::strtod(words[k].c_str(), nullptr);
          if (v < -1e-6 && v != -9999)
            return "negative store " + words[k] + " in " + name + " line " + std::to_string(n);
        }
      }
      if (balance && precipitation >= 0 && residual >= 0 &&
          words.size() > static_cast<std::size_t>(std::max(precipitation, residual))) {
        const double p =
            std::strtod(words[static_cast<std::size_t>(precipitation)].c_str(), nullptr);
        const double r = std::strtod(words[static_cast<std::size_t>(residual)].c_str(), nullptr);
        if (std::fabs(r) > 1e-6 * std::max(std::fabs(p), 1.0))
          return "water-balance residual " + words[static_cast<std::size_t>(residual)] +
                 " of precipitation " + words[static_cast<std::size_t>(precipitation)] +
                 " in line " + std::to_string(n);
      }
    }
  }
  return {};
}

// An input aimed at that got nan, an infinity or a decimal comma and still ran to the end: no
// input of a basin holds such a value, so the reader should have refused it. Empty when the
// case has none. A control-file line that a later mutation dropped took the value out again.
std::string AcceptedWithoutMessage(const fs::path& dir) {
  const std::string text = ReadText(dir / "mutations.txt");
  std::istringstream notes(text);
  for (std::string note; std::getline(notes, note);) {
    if (note.rfind("input number ", 0) == 0 && note.find(" unchanged") == std::string::npos)
      return "accepted without a message: " + note;
    if (note.rfind("input ", 0) != 0) continue;
    const std::size_t arrow = note.rfind("-> ");
    if (arrow == std::string::npos) continue;
    const std::size_t line = note.find("control file line ");
    if (line != std::string::npos) {
      const std::size_t colon = note.find(':', line);
      const std::string where = note.substr(line, colon - line);
      if (text.find(where + " dropped") != std::string::npos) continue;
    }
    const std::vector<std::string> value = Split(note.substr(arrow + 3));
    if (!value.empty() && IsNonFinite(value[0])) return "accepted without a message: " + note;
    // A decimal comma ("2,416") read as the number before it is no value either.
    const std::size_t end = std::min(note.find_first_of(" \t", arrow + 3), note.size());
    const std::string raw = note.substr(arrow + 3, end - arrow - 3);
    const std::size_t comma = raw.find(',');
    if (comma != std::string::npos && comma + 1 < raw.size() &&
        std::isdigit(static_cast<unsigned char>(raw[comma + 1])) != 0)
      return "accepted without a message: " + note;
  }
  return {};
}

std::string FirstLineWith(const std::string& log, const std::string& what) {
  const std::size_t at = log.find(what);
  if (at == std::string::npos) return {};
  const std::size_t begin = log.rfind('\n', at);
  const std::size_t end = log.find('\n', at);
  return log.substr(begin == std::string::npos ? 0 : begin + 1,
                    std::min<std::size_t>((end == std::string::npos ? log.size() : end) -
                                              (begin == std::string::npos ? 0 : begin + 1),
                                          300));
}

int Classify(const fs::path& dir, const std::string& status, const fs::path& log_file) {
  const std::string log = ReadText(log_file);
  auto say = [](const std::string& kind, const std::string& why) {
    std::cout << kind << "\t" << why << "\n";
    return 0;
  };
  for (const char* report : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                             "SUMMARY: UndefinedBehaviorSanitizer"}) {
    if (log.find(report) != std::string::npos) return say("sanitizer", FirstLineWith(log, report));
  }
  if (status == "timeout") return say("hang", "no end within the time limit");
  if (status.rfind("signal", 0) == 0) return say("crash", status);
  const int code = std::atoi(status.c_str());
  // FATAL entries: level 0 of the diagnostics file, the abort line of the screen, or the entries
  // a process other than 0 writes to its standard error.
  const std::string diagnostics = ReadText(dir / "Velorn_Diag_0.xml");
  const bool fatal = diagnostics.find("<line level=\"0\"") != std::string::npos ||
                     log.find("Program aborted with exit code") != std::string::npos ||
                     log.find("FATAL") != std::string::npos;
  const std::string first_fatal = [&] {
    const std::size_t at = diagnostics.find("<line level=\"0\"");
    if (at == std::string::npos) return FirstLineWith(log, "FATAL");
    return FirstLineWith(diagnostics.substr(at), "description");
  }();
  if (code == 250)
    return say("crash", "an exception no reader turned into its FATAL entry: " +
                            FirstLineWith(log, "unexpected"));
  if (code != 0) {
    if (fatal) return say("clean-error", "code " + status + ": " + first_fatal);
    return say("crash", "exit status " + status + " without a FATAL entry");
  }
  if (fatal) return say("bad-output", "exit 0 after " + first_fatal);
  const std::string fault = CheckOutputs(dir / "output");
  if (!fault.empty()) return say("bad-output", fault);
  const std::string accepted = AcceptedWithoutMessage(dir);
  if (!accepted.empty()) return say("bad-output", accepted);
  return say("success", "");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto state_arg = [&](std::size_t i) {
    return args.size() > i && args[i] != "-" ? fs::path(args[i]) : fs::path();
  };
  if ((args.size() == 4 || args.size() == 5) && args[0] == "mutate")
    return Mutate(args[1], args[2], std::strtoull(args[3].c_str(), nullptr, 10), state_arg(4));
  if (args.size() == 6 && args[0] == "aim")
    return AimAtNumber(args[1], args[2], std::strtoull(args[3].c_str(), nullptr, 10),
                       state_arg(4), args[5]);
  if ((args.size() == 4 || args.size() == 5) && args[0] == "prepare")
    return Prepare(args[1], args[2], std::strtoul(args[3].c_str(), nullptr, 10), state_arg(4));
  if (args.size() == 4 && args[0] == "fields") return Fields(args[1], args[2], args[3]);
  if (args.size() == 3 && args[0] == "state") return MakeStateRun(args[1], args[2]);
  if (args.size() == 4 && args[0] == "classify") return Classify(args[1], args[2], args[3]);
  if (args.size() == 5 && args[0] == "sweep")
    return Sweep(args[1], args[2], args[3], std::strtol(args[4].c_str(), nullptr, 10));
  std::cerr
      << "usage: velorn_run_fuzz mutate <example folder> <case folder> <seed> [<state folder>]\n"
         "       velorn_run_fuzz state <example folder> <state folder>\n"
         "       velorn_run_fuzz classify <case folder> <exit status|timeout|signal:N> <log>\n"
         "       velorn_run_fuzz sweep <example folder> <case folder> <control file> <index>\n"
         "       velorn_run_fuzz prepare <example folder> <case folder> <variant> [<state>]\n"
         "       velorn_run_fuzz fields <case folder> <variant> <trace file>\n"
         "       velorn_run_fuzz aim <example folder> <case folder> <seed> <state|-> <fields>\n";
  return 2;
}
