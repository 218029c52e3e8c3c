// The snapshot of an inner water step and its dump files (unsatzone/column_snapshot.h).
#include "unsatzone/column_snapshot.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "core/error_code.h"
#include "core/output_files.h"

namespace velorn {
namespace {

using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;

// The water arrays of items 6-19 in their order in the file.
constexpr std::array<W::Array, 14> kWaterItems = {
    W::kRiverIn, W::kRiverOut,   W::kSuction0, W::kTheta0, W::kThetaMean,  W::kHead,     W::kZBound,
    W::kQ,       W::kExtraction, W::kThetaSat, W::kDz,     W::kThetaTrial, W::kThetaRes, W::kTheta};
// The heat arrays of items 21-25 (item 20 is the liquid fraction of the water workspace, item 26
// the temperatures at the start of the heat step).
constexpr std::array<H::Array, 5> kHeatItems = {H::kTemper, H::kLambda, H::kDEOverdT, H::kHeatCap,
                                                H::kHeatFlux};
// Positions of the twin's heat lines in ColumnSnapshot::heatLayers (water content apart).
enum HeatItem { kLiquidItem, kTemperatureItem, kLambdaItem, kDEOverdTItem, kHeatCapItem };
enum SnowItem { kSwes, kSwel, kDensity, kThickness };

void CopyArray(const double* from, int M, int N, std::vector<double>& to) {
  to.resize(static_cast<std::size_t>(N + M + 1));
  for (int i = -M; i <= N; ++i) to[ColumnSnapshot::At(M, i)] = from[i];
}

// Appends raw native bytes.
class ByteWriter {
 public:
  template <class T>
  void Put(T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes_.append(raw, sizeof(T));
  }
  void Put(const std::vector<double>& values) {
    for (double v : values) Put(v);
  }
  std::string Take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

void Line(std::ostringstream& out, const char* label, const std::vector<double>& values,
          std::size_t first, std::size_t last) {
  out << label;
  for (std::size_t i = first; i <= last && i < values.size(); ++i) out << values[i] << "\t";
  out << "\n";
}

}  // namespace

void CaptureColumnArrays(const SoilColumnWorkspace& ws, const SoilHeatWorkspace* hs,
                         const double* heat_start, const SnowLayerBuffers* snow,
                         ColumnSnapshot& s) {
  const int M = ws.M, N = ws.N;
  s.M = M;
  s.N = N;
  s.heat = hs != nullptr;
  s.layeredSnow = snow != nullptr;
  for (std::size_t a = 0; a < kWaterItems.size(); ++a)
    CopyArray(ws[kWaterItems[a]], M, N, s.layers[a]);
  if (hs != nullptr) {
    CopyArray(ws[W::kLiquid], M, N, s.heatLayers[0]);
    for (std::size_t a = 0; a < kHeatItems.size(); ++a)
      CopyArray((*hs)[kHeatItems[a]], M, N, s.heatLayers[a + 1]);
    CopyArray(heat_start != nullptr ? heat_start : (*hs)[H::kTemper], M, N, s.heatLayers[6]);
  }
  if (snow != nullptr) {
    const auto n = static_cast<std::size_t>(M) + 1;
    s.snowLayers[kSwes].assign(snow->swes.begin(), snow->swes.begin() + static_cast<long>(n));
    s.snowLayers[kSwel].assign(snow->swel.begin(), snow->swel.begin() + static_cast<long>(n));
    s.snowLayers[kDensity].assign(snow->density.begin(),
                                  snow->density.begin() + static_cast<long>(n));
    // Snow layer j (1 the top) lies at the column index j - M.
    s.snowLayers[kThickness].assign(n, 0.0);
    for (int j = 1; j <= M; ++j)
      s.snowLayers[kThickness][static_cast<std::size_t>(j)] = ws[W::kDz][j - M];
  }
}

std::string SnapshotBytes(const ColumnSnapshot& s) {
  ByteWriter w;
  w.Put(s.rootLayers);
  w.Put(s.scratchSuction);
  w.Put(s.inputRate);
  w.Put(s.baseflow);
  w.Put(s.transpiration);
  for (const std::vector<double>& a : s.layers) w.Put(a);
  if (s.heat) {
    for (const std::vector<double>& a : s.heatLayers) w.Put(a);
    w.Put(s.heatStepLength);
  }
  if (s.layeredSnow) {
    for (const std::vector<double>& a : s.snowLayers) w.Put(a);
    for (double v : s.snowCell) w.Put(v);
  }
  w.Put(s.soilCode);
  w.Put(s.landuse);
  for (int32_t v : s.date) w.Put(v);
  w.Put(s.innerSteps);
  w.Put(s.innerStepLength);
  w.Put(s.i0);
  if (s.heat) {
    w.Put(s.heatSteps);
    w.Put(s.heatPerWaterStep);
    w.Put(s.surfaceInput);
    w.Put(s.surfaceTemperature);
  }
  return w.Take();
}

std::size_t SnapshotSize(int M, int N, int L, bool heat, bool layered_snow) {
  const auto column = static_cast<std::size_t>(N + M + 1) * sizeof(double);
  const auto d = sizeof(double), i = sizeof(int32_t);
  std::size_t size = i + 3 * d + static_cast<std::size_t>(L + 1) * d + 14 * column;
  if (heat) size += 7 * column + d;
  if (layered_snow) size += 4 * static_cast<std::size_t>(M + 1) * d + 4 * d;
  size += i + static_cast<std::size_t>(L) * d + 4 * i + 2 * d + i;
  if (heat) size += 3 * d + i;
  return size;
}

std::string DumpText(const ColumnSnapshot& now, const ColumnSnapshot& dump) {
  std::ostringstream out;
  out << "this file contains some values in human readabel format for layered snow model and "
         "heat transfer model\n";
  const auto m = static_cast<std::size_t>(dump.M);
  if (dump.layeredSnow) {
    const std::pair<const char*, SnowItem> lines[] = {
        {"swes ", kSwes}, {"swel ", kSwel}, {"thickSnow ", kThickness}, {"densSnow ", kDensity}};
    for (const auto& [label, item] : lines) {
      Line(out, (std::string("     ") + label).c_str(), now.snowLayers[item], 1, m);
      Line(out, (std::string("dump.") + label).c_str(), dump.snowLayers[item], 1, m);
    }
  }
  if (dump.heat) {
    // Indices 1-M..N: from position 1 of the arrays over -M..N.
    const std::size_t last = m + static_cast<std::size_t>(dump.N);
    const std::vector<double>& theta_now = now.layers.back();
    const std::vector<double>& theta_dump = dump.layers.back();
    Line(out, "     theta_sl ", theta_now, 1, last);
    Line(out, "dump.theta_sl ", theta_dump, 1, last);
    const std::pair<const char*, HeatItem> lines[] = {{"SE_sl ", kLiquidItem},
                                                      {"temper_sl ", kTemperatureItem},
                                                      {"lambda_sl ", kLambdaItem},
                                                      {"dEOverdT_sl ", kDEOverdTItem},
                                                      {"heatcap_sl ", kHeatCapItem}};
    for (const auto& [label, item] : lines) {
      Line(out, (std::string("     ") + label).c_str(), now.heatLayers[item], 1, last);
      Line(out, (std::string("dump.") + label).c_str(), dump.heatLayers[item], 1, last);
    }
    out << "    Tsurf " << now.surfaceTemperature << "\t\n";
    out << "dump.Tsurf " << dump.surfaceTemperature << "\t\n";
  }
  return out.str();
}

void WriteDumpFiles(DiagnosticStream& diag, const std::string& name, const ColumnSnapshot& now,
                    const ColumnSnapshot& dump) {
  WriteWholeFile(diag, kWriteErrorCode, name, SnapshotBytes(dump), "wb");
  if (!dump.heat && !dump.layeredSnow) return;
  const std::string twin = name.substr(0, name.size() - 4) + ".dmp_asc";
  WriteWholeFile(diag, kWriteErrorCode, twin, DumpText(now, dump));
}

}  // namespace velorn
