// Test fixture of the snow model: a 3 x 4 grid (cell (3,1) outside the zones) with two soil
// zones (columns 1-2 and 3-4), the grids the snow model looks up registered whole on every
// process, this process's share of the rows, and the texts of [snow_model], [ice_firn] and
// [permafrost] built from a few options. Statistics tables are written into the fixture's
// directory of each process (process 0 writes them).
//
// Used by tests/snow/*_test.cpp and *_mpitest.cpp. The model is released before the fixture's
// grids go away.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "snow/snow_model.h"
#include "tests/support/submodel_fixture.h"

namespace velorn::test {

struct SnowSection {
  int method = 1;
  std::string T0R = "0.5";
  std::string T0 = "0";
  // CWH, CRFR, C0, C1, C2, z0, RMFMIN, RMFMAX, ALBsnow_min, ALBsnow_max.
  std::string factors = "0.1\n0.5\n3\n0.5\n0.5\n0.001\n1.5\n3\n0.45\n0.9\n";
  int read_storage = 0;
  int statistics_code = 0;
  // Entry 42 and the lines after the slide bounds (entries 57-62), then entry 63.
  std::string entry42 = "stemp.asc first word";
  std::string bounds = "55\n1\n30\n0.01\n1\n1\n";
  std::string scaling = "1.0\n";
};

struct GlacierSection {
  int method = 1;
  std::string qglac = "qglac.txt";
  std::string firn = "3 2000 0.5";             // entry 25 of the dynamic methods
  std::string optional = "1500 0.3\n";         // entry 53
  std::string volume_area = "28.5 1.36 10 1";  // entry 27
  int statistics_code = 0;
};

class SnowTest : public SubModelTest {
 protected:
  static constexpr double N = -9999;
  using Rows = std::vector<std::vector<double>>;

  SnowTest() : SubModelTest(3, 4) {
    setup_.input_directory = dir_.path().string() + "/";
    setup_.output_directory = dir_.path().string() + "/";
    Add("zonegrid", {{1, 1, 1, 1}, {1, 1, 1, 1}, {N, 1, 1, 1}});
    Add("[elevation_model]",
        {{1800, 2100, 2100, 2400}, {2100, 1500, 1300, 1200}, {N, 1000, 1100, 1000}});
    Add("zonegrid_soilmodel", {{1, 1, 2, 2}, {1, 1, 2, 2}, {N, 1, 2, 2}});
    Add("albedo", Fill(0.7));
    Add("landuse1", Fill(1));
  }
  ~SnowTest() override { Release(); }

  void Release() {
    if (model_) model_->ReleaseMemory();
    model_.reset();
  }
  // This process's rows of the 3 rows: one strip per process, in rank order.
  void SplitRows() {
    const int size = Size(), rank = Rank();
    setup_.first_local_row = 1 + 3 * rank / size;
    setup_.last_local_row = 3 * (rank + 1) / size;
  }

  GridMatrix& Add(const std::string& name, const Rows& rows) {
    grids_[name] = MakeGrid(diag_, rows);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, 3, 4, 3);
    return grids_[name];
  }
  static Rows Fill(double value) { return Rows(3, std::vector<double>(4, value)); }

  static std::string Stat(const std::string& name, int code) {
    return name + ".sta " + std::to_string(code) + "\n";
  }
  static std::string Section(const SnowSection& s) {
    const int k = s.statistics_code;
    std::string text = "[snow_model]\n1 flow control parameter for\n60 time interval for\n" +
                       std::to_string(s.method) + " method for\n1.0\n" + s.T0R + "\n" + s.T0 +
                       "\n" + s.factors;
    for (const char* name : {"rain", "snow", "days", "age"})
      text += std::string(name) + ".asc\n0\n" + Stat(name, k);
    text += Stat("albedo", k);
    for (const char* name : {"outflow", "melt"})
      text += std::string(name) + ".asc\n0\n" + Stat(name, k);
    text += "solid.asc\n0\nliquid.asc\n0\n" + Stat("total", k) + "total.asc\n0\n" +
            std::to_string(s.read_storage) + " readgrid\n";
    if (s.method < 5) return text;
    text += s.entry42 + "\n0\n" + Stat("stemp", k) + "surft.asc\n0\n" + Stat("surft", k);
    for (const char* name : {"input", "mobile", "deposit"})
      text += std::string(name) + ".asc\n0\n" + Stat(name, k);
    return text + s.bounds + s.scaling;
  }
  static std::string IceFirn(const GlacierSection& g) {
    const int k = g.statistics_code;
    std::string text = "[ice_firn]\n" + std::to_string(g.method) +
                       "\n3\n4\n2\n1\n0.1\n0.2\n0.1\n0.2\n10\n20\n5\n5\n6\n7\n" + "firn.asc\n0\n" +
                       Stat("qfirn", k) + "ice.asc\n0\n" + Stat("qice", k) + g.qglac + " " +
                       std::to_string(k) + "\n";
    if (!IsDynamicGlacierMethod(g.method)) return text;
    text += Stat("qsgl", k) + "0 readgrid\n" + g.firn + "\n30 9\n" + g.volume_area +
            "\nfirn.stk\n0\n" + Stat("firnwe", k) + "gmb.asc\n0\ngmbold.asc\n0\n" +
            Stat("gmb1", k) + Stat("gmb2", k) + "1.0\n" + Stat("snowglac", k);
    for (int i = 1; i <= 7; ++i) text += "og" + std::to_string(i) + ".asc\n0\n";
    return text + g.optional;
  }
  static std::string Permafrost(int method) {
    return "[permafrost]\n" + std::to_string(method) + "\n10\n5\nthaw.sta 0\n1e-7\n";
  }

  int Make(const std::string& text) {
    Release();
    WriteControlFile(text);
    int32_t error = -1;
    model_ = std::make_unique<schneemodellklasse>(error, setup_);
    return error;
  }
  double** Registered(const std::string& identifier) const {
    const int index = registry_.FindIdentifier(identifier);
    return index > 0 ? registry_[index].grid : nullptr;
  }

  std::map<std::string, GridMatrix> grids_;
  std::unique_ptr<schneemodellklasse> model_;
};

}  // namespace velorn::test
