// The flow-time records of a storage content file with long flow times: one line of five doubles
// with every digit ("%.17g") per zone, record kind, subbasin and tracer, which made most of the
// instructions of writing a run's end state. Writes the records of `subbasins` subbasins with
// `zones` zones each (QD and QI, runoff and two tracers) once as the writers did before (one
// printf of the line per record, through CheckedFile::Printf) and once as they do now
// (AppendFlowTimeRecords, written per subbasin), checks that both files hold the same bytes and
// prints the best time of each and the ratio.
//
// Usage: state_text_bench [subbasins (203)] [zones (300)] [repetitions (5)] [directory ($TMPDIR)]
// The record values are drawn like those of a run: counts and zone numbers are whole numbers,
// sums and shares carry all 17 digits.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/output_files.h"
#include "core/zone_entry_sums.h"

namespace {

using namespace velorn;
namespace fs = std::filesystem;
using Records = std::vector<std::vector<ZoneRecord>>;  // [subbasin][zone], zone 0 unused

constexpr int kTracers = 3;  // runoff and two tracers

Records DrawRecords(int subbasins, int zones, uint64_t& state) {
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
  };
  Records records(static_cast<std::size_t>(subbasins) + 1,
                  std::vector<ZoneRecord>(static_cast<std::size_t>(zones) + 1));
  for (int s = 1; s <= subbasins; ++s)
    for (int z = 1; z <= zones; ++z) {
      const double cells = std::floor(1 + 40 * next());
      records[s][z] =
          ZoneRecord{{cells, 1e3 * next() * cells, static_cast<double>(z), next(), next() * cells}};
    }
  return records;
}

// The writers' loop before: the line of each record through printf.
void WriteWithPrintf(DiagnosticStream& diag, const std::string& path,
                     const std::vector<Records>& qd, const std::vector<Records>& qi, int zones) {
  CheckedFile f(diag, kWriteErrorCode, path, "w");
  for (std::size_t t = 0; t < qd.size(); ++t)
    for (std::size_t s = 1; s < qd[t].size(); ++s)
      for (int z = 1; z <= zones; ++z)
        for (const char* name : {"QD", "QI"}) {
          const ZoneRecord& r = (name[1] == 'D' ? qd : qi)[t][s][static_cast<std::size_t>(z)];
          f.Printf("%.17g %.17g %.17g %.17g %.17g (zoneFZT_%s.n/.sx/.zonenwert/.rel/.RelCellSum)\n",
                   r[0], r[1], r[2], r[3], r[4], name);
        }
  f.Close();
}

// The writers' loop now: one text per subbasin.
void WriteWithText(DiagnosticStream& diag, const std::string& path, const std::vector<Records>& qd,
                   const std::vector<Records>& qi, int zones) {
  CheckedFile f(diag, kWriteErrorCode, path, "w");
  for (std::size_t t = 0; t < qd.size(); ++t)
    for (std::size_t s = 1; s < qd[t].size(); ++s) {
      std::string records;
      AppendFlowTimeRecords(records, qd[t][s], qi[t][s], zones);
      f.Write(records);
    }
  f.Close();
}

template <class Op>
double BestSeconds(int repetitions, Op&& op) {
  double best = 1e300;
  for (int i = 0; i < repetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    op();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const int subbasins = argc > 1 ? std::atoi(argv[1]) : 203;
  const int zones = argc > 2 ? std::atoi(argv[2]) : 300;
  const int repetitions = argc > 3 ? std::atoi(argv[3]) : 5;
  const char* tmp = std::getenv("TMPDIR");
  const fs::path folder =
      fs::path(argc > 4 ? argv[4] : (tmp != nullptr ? tmp : "/tmp")) / "velorn-state-text-bench";
  if (subbasins < 1 || zones < 1 || repetitions < 1) {
    std::fprintf(stderr, "usage: state_text_bench [subbasins] [zones] [repetitions] [directory]\n");
    return 2;
  }
  fs::create_directories(folder);
  DiagnosticStream diag;
  uint64_t state = 88172645463325252ull;
  std::vector<Records> qd, qi;
  for (int t = 0; t < kTracers; ++t) {
    qd.push_back(DrawRecords(subbasins, zones, state));
    qi.push_back(DrawRecords(subbasins, zones, state));
  }
  const std::string before = (folder / "printf.txt").string();
  const std::string after = (folder / "text.txt").string();
  try {
    const double old_time =
        BestSeconds(repetitions, [&] { WriteWithPrintf(diag, before, qd, qi, zones); });
    const double new_time =
        BestSeconds(repetitions, [&] { WriteWithText(diag, after, qd, qi, zones); });
    const std::string bytes = ReadBytes(before);
    const bool same = bytes == ReadBytes(after);
    const double lines = 2.0 * kTracers * subbasins * zones;
    std::printf(
        "flow-time records: %d subbasins x %d zones x QD/QI x %d (runoff, tracers): %.0f "
        "lines, %.1f MB, best of %d\n",
        subbasins, zones, kTracers, lines, static_cast<double>(bytes.size()) / 1e6, repetitions);
    std::printf("%-28s %10.1f ms %10.0f lines/s\n", "printf per record (before)", old_time * 1e3,
                lines / old_time);
    std::printf("%-28s %10.1f ms %10.0f lines/s\n", "AppendFlowTimeRecords (now)", new_time * 1e3,
                lines / new_time);
    std::printf("ratio before / now: %.2f; files %s\n", old_time / new_time,
                same ? "identical" : "DIFFER");
    fs::remove_all(folder);
    return same ? 0 : 1;
  } catch (const ErrorCode& error) {
    std::fprintf(stderr, "state_text_bench: FATAL, code %d\n", error.code);
    fs::remove_all(folder);
    return 1;
  }
}
