// Fuzz harness of the readers: runs them in process on mutated copies of valid inputs, so that
// the next change to a reader can be fuzzed in a minute. Built with the tests, never run by CI.
//
//   build-sanitize/tests/velorn_reader_fuzz [runs] [seed]     (default 100000 runs, seed 1)
//
// Every run takes one reader's valid input, applies one to four mutations (a byte changed, a
// piece cut out or doubled, a line doubled, a number replaced by a value at the edge of what
// numbers can be: nan, inf, 1e308, -2147483648, 9223372036854775807, ...) and reads it. The
// readers: the control-file reader with every typed read, the station-table and regression
// parsers, the ASCII grid parsers and the land-use and soil tables of the settings object. A
// reader may refuse its input only with ErrorCode or its own result; any other exception is a
// finding, and so is everything the sanitizers of the build-sanitize/ build report (they stop
// the program). A finding prints the reader and the input, written to fuzz-finding.txt as well.
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/grid_registry.h"
#include "grids/grid_formats.h"
#include "meteo/station_files.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

const char* const kEdgeValues[] = {"nan",
                                   "-inf",
                                   "inf",
                                   "1e308",
                                   "-1e308",
                                   "1e30",
                                   "-1e30",
                                   "0",
                                   "-0",
                                   "1e-320",
                                   "2147483647",
                                   "-2147483648",
                                   "2147483648",
                                   "9223372036854775807",
                                   "-9223372036854775808",
                                   "99999999999999999999",
                                   "-1",
                                   "13",
                                   "366",
                                   "367",
                                   ""};

struct Seed {
  const char* reader;
  std::string text;
};

const std::vector<Seed>& Seeds() {
  static const std::vector<Seed> seeds = {
      {"control file", "[model_time]\n24 start hour\n1\n1\n2019\n0.5 x\nname.asc 17\n"},
      {"station table",
       "title\na b c d 500 900\na b c d 1000 2000\na b c d 3000 4000\nYY MM DD HH A B\n"
       "2019 01 01 24 1.5 2.5\n2019 01 02 24 -9999 3\n0 0 0 0\n"},
      {"regression file", "jr mo dy hr\n2000 1 1 24 1 2 3 4 5 6 7 8 9 10 11\n"},
      {"ascii grid",
       "ncols 3\nnrows 2\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nnodata_value -9999\n"
       "1 2 3\n4 -9999 6\n"},
      {"landuse table",
       "[landuse_table]\n2\n10 meadow method VariableDayCount {\nRootDist = 1.0; TReduWet = 0.95; "
       "HReduDry = 3.45; IntercepCap = 0.2;\nJulDays = 1 130 180 270 366;\nAlbedo = 0.25 0.23 0.23 "
       "0.23 0.25; rsc = 100 80 70 80 100; LAI = 0.5 1.0 3.0 1.5 0.5;\nZ0 = 0.01 0.02 0.05 0.03 "
       "0.01; VCF = 0.5 0.7 0.95 0.8 0.5; RootDepth = 0.3 0.3 0.4 0.4 0.3;\nAltDep = 0 0.01 0 0 "
       "0;\n}"
       "\n20 forest method DynamicPhenology_1 {\nRootDist = 1.0; TReduWet = 0.95; HReduDry = 4.0;\n"
       "JulDays = 1 -1 180 366; F* = 250; DP1_t1_dorm = 30; DP1_T_Bf = 5.5; JDReset_TStart = 300; "
       "maxStartJDforDP1 = 150;\nAlbedo = 1 1 1 1; rsc = 1 1 1 1; LAI = 1 2 3 1; Z0 = 1 1 1 1; "
       "VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0 0;\n}\n"},
      {"soil table",
       "[soil_table]\n1\n1 loam method MultipleHorizons {\nlayers = 3 5; ksat = 2.89e-6 1.5e-6; "
       "theta_sat = 0.43 0.41; theta_res = 0.078 0.078;\nalpha = 3.6 3.6; Par_n = 1.56 1.56; "
       "thickness = 0.1 0.3;\n}\n"},
  };
  return seeds;
}

std::string Mutate(std::string text, std::mt19937_64& random) {
  const auto pick = [&](std::size_t n) {
    return n == 0 ? std::size_t{0} : std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const int mutations = 1 + static_cast<int>(pick(4));
  for (int m = 0; m < mutations; ++m) {
    const std::size_t at = pick(text.size() + 1);
    switch (pick(5)) {
      case 0:  // a byte changed
        if (!text.empty()) text[pick(text.size())] = static_cast<char>(pick(256));
        break;
      case 1:  // a piece cut out
        text.erase(at, pick(16) + 1);
        break;
      case 2:  // a piece doubled
        text.insert(at, text.substr(at, pick(32) + 1));
        break;
      case 3: {  // a line doubled
        const std::size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t begin = start == std::string::npos ? 0 : start + 1;
        const std::size_t end = text.find('\n', begin);
        if (end != std::string::npos) text.insert(begin, text.substr(begin, end - begin + 1));
        break;
      }
      default: {  // the number at `at` replaced by an edge value
        std::size_t begin = at;
        while (begin < text.size() && !std::isdigit(static_cast<unsigned char>(text[begin])))
          ++begin;
        std::size_t end = begin;
        while (end < text.size() &&
               std::string("0123456789.eE+-").find(text[end]) != std::string::npos)
          ++end;
        text.replace(begin, end - begin, kEdgeValues[pick(std::size(kEdgeValues))]);
      }
    }
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void ReadControlFile(const std::string& text) {
  ControlFileReader file;
  file.OpenText(text);
  file.FindHeader("[model_time]");
  int i = 0;
  long l = 0;
  double d = 0;
  std::string word;
  for (int k = 0; k < 64 && !file.AtEnd(); ++k) {
    if (!(file.Read(i) || file.Read(l) || file.Read(d))) file.Read(word);
    if (k % 3 == 0) file.SkipRestOfLine();
  }
}

void ReadStationTable(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  if (lines.size() < 5) return;
  StationHeader header;
  if (!ParseStationHeader(lines[1], lines[2], lines[3], 0, header)) return;
  std::vector<double> values(static_cast<std::size_t>(header.count) + 1, 0.0);
  for (std::size_t k = 5; k < lines.size(); ++k) {
    ModelDate date;
    std::string word;
    ParseStationRecord(lines[k], 0, header.count, 9999, date, values.data(), &word);
  }
}

void ReadRegressionFile(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  if (lines.empty() || !IsRegressionTitle(lines[0])) return;
  std::array<double, 12> values{};
  for (std::size_t k = 1; k < lines.size(); ++k) {
    ModelDate date;
    ParseRegressionLine(lines[k], date, values);
  }
}

void ReadAsciiGrid(const std::string& text) {
  const AsciiHeaderResult header = ParseAsciiHeader(text);
  if (header.failed_pair != 0 || !CheckGridHeader(header.values).empty()) return;
  const double cells = header.values[0] * header.values[1];
  if (cells > 1e6) return;  // a reader compares this with the file's size first
  const auto rows = static_cast<int64_t>(header.values[1]);
  const auto cols = static_cast<int64_t>(header.values[0]);
  ParseAsciiCells(text, header.data_offset, rows, cols, nullptr);
  // The same cells as the file reader reads them: in pieces of 7 bytes through 64.
  std::size_t at = header.data_offset;
  const AsciiTextSource more = [&](char* to, std::size_t size) {
    const std::size_t n = std::min({size, std::size_t{7}, text.size() - at});
    text.copy(to, n, at);
    at += n;
    return n;
  };
  ParseAsciiCellStream({}, more, rows, cols, nullptr, -9999, 0, 64);
}

class TableReaders {
 public:
  void Read(const std::string& text, bool landuse) {
    screen_.str("");
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
    try {
      if (landuse)
        settings_.ReadLanduseTable(2);
      else
        settings_.ReadSoilTable(2);
    } catch (const ErrorCode&) {
    }
  }

 private:
  std::ostringstream screen_;
  DiagnosticStream diag_{"fuzz-diag.xml", kLevelFatal, screen_};
  GridRegistry registry_;
  GridRegistry* registry_pointer_ = &registry_;
  int32_t error_ = -1;
  defaultini settings_{error_, &diag_, "fuzz.ctl", nullptr, 200, 2, &registry_pointer_};
};

[[noreturn]] void ReportFinding(const Seed& seed, const std::string& input, const char* what) {
  std::cerr << "finding in the " << seed.reader << " reader: " << what << "\n--- input:\n"
            << input << "\n---\n";
  std::ofstream("fuzz-finding.txt") << seed.reader << "\n" << input;
  std::abort();
}

int Fuzz(long runs, unsigned long seed) {
  std::mt19937_64 random(seed);
  TableReaders tables;
  const std::vector<Seed>& seeds = Seeds();
  for (long run = 0; run < runs; ++run) {
    const Seed& chosen = seeds[static_cast<std::size_t>(run) % seeds.size()];
    const std::string input = Mutate(chosen.text, random);
    try {
      const std::string reader = chosen.reader;
      if (reader == "control file") ReadControlFile(input);
      if (reader == "station table") ReadStationTable(input);
      if (reader == "regression file") ReadRegressionFile(input);
      if (reader == "ascii grid") ReadAsciiGrid(input);
      if (reader == "landuse table") tables.Read(input, true);
      if (reader == "soil table") tables.Read(input, false);
    } catch (const ErrorCode&) {
      // refused with its FATAL entry: what a reader should do
    } catch (const std::exception& e) {
      ReportFinding(chosen, input, e.what());
    } catch (...) {
      ReportFinding(chosen, input, "an exception of unknown type");
    }
    if ((run + 1) % 10000 == 0) std::cout << run + 1 << " runs\n" << std::flush;
  }
  std::cout << runs << " runs without a finding\n";
  return 0;
}

}  // namespace
}  // namespace velorn

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  const long runs = argc > 1 ? std::atol(argv[1]) : 100000;
  const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
  const int result = velorn::Fuzz(runs, seed);
  MPI_Finalize();
  return result;
}
