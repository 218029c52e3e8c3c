// The soil zone's storage section: a written section reads back into the buffers and storages
// (to the six digits it is printed with), and the reader refuses what does not belong to this
// run: a missing file (64), a missing section or any value that disagrees (71).
#include "unsatzone/storage_content_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "core/error_code.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

class StorageSection : public test::DiagTest {
 protected:
  // Two subbasins of 2 and 3 zones, `tracers` tracers, every field distinct.
  RunoffConcentration Make(int tracers) {
    RunoffConcentration r;
    r.Allocate(2, tracers);
    r.maxzeit = {0, 2, 3};
    for (int t = 0; t <= tracers; ++t)
      for (int s = 1; s <= 2; ++s) {
        for (auto* b : {&r.zoneFZT_QD, &r.zoneFZT_QI}) {
          (*b)[t][s].assign(static_cast<std::size_t>(r.maxzeit[s]) + 1, ZoneRecord{});
          for (int z = 1; z <= r.maxzeit[s]; ++z)
            for (int f = 0; f < 5; ++f) (*b)[t][s][z][f] = 1.0 / (1 + t + 2 * s + 3 * z + 5 * f);
        }
        r.QDd[t][s] = 0.123456789 * (t + s);
        r.QIi[t][s] = 9.87654321 * (t + s);
      }
    return r;
  }
  StorageParameters Parameters() {
    return {&codes_, &kelsqd_, &kelsqi_, &density_, &inverse_, &max_base_, &snow_};
  }
  std::string Path(const char* name = "state.txt_3") { return (dir_.path() / name).string(); }
  int ReadCode(RunoffConcentration& into, const std::string& path) {
    return test::ThrownCode([&] { ReadStorageSection(diag_, path, into, Parameters()); }, 0);
  }

  std::vector<double> codes_{0, 12, 40}, kelsqd_{0, 0.06, 180}, kelsqi_{0, 480, 480},
      density_{0, 14, 14}, inverse_{0, 2.5, 0}, max_base_{0, 0.01, 0.02}, snow_{0, 0.1, 0.1};
};

TEST_F(StorageSection, RoundTripRestoresBuffersAndStoragesExactly) {
  for (int tracers : {0, 2}) {
    const RunoffConcentration written = Make(tracers);
    WriteStorageSection(diag_, Path(), false, written, Parameters());
    // The reading run has its own zone numbers and shares (fields 2 and 3, from its flow
    // times); the rest is the state.
    RunoffConcentration read = Make(tracers);
    for (auto* b : {&read.zoneFZT_QD, &read.zoneFZT_QI})
      for (auto& t : *b)
        for (auto& s : t)
          for (auto& z : s) z[0] = z[1] = z[4] = 0;
    for (auto* a : {&read.QDd, &read.QIi})
      for (auto& t : *a) std::fill(t.begin(), t.end(), 0.0);
    ASSERT_EQ(ReadCode(read, Path()), 0) << tracers;
    for (int t = 0; t <= tracers; ++t)
      for (int s = 1; s <= 2; ++s) {
        for (int z = 1; z <= written.maxzeit[s]; ++z)
          for (int f = 0; f < 5; ++f) {
            EXPECT_EQ(read.zoneFZT_QD[t][s][z][f], written.zoneFZT_QD[t][s][z][f]);
            EXPECT_EQ(read.zoneFZT_QI[t][s][z][f], written.zoneFZT_QI[t][s][z][f]);
          }
        EXPECT_EQ(read.QDd[t][s], written.QDd[t][s]);
        EXPECT_EQ(read.QIi[t][s], written.QIi[t][s]);
      }
  }
  // Zero tracers: one block, for the water; codes without decimals; the section ends empty.
  WriteStorageSection(diag_, Path(), false, Make(0), Parameters());
  std::ifstream in(Path());
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().find("1 (0=runoff"), std::string::npos);
  EXPECT_NE(text.str().find("[unsatzon_model]\n2 (number of subasins)\n12\t40\t(code)\n"
                            "0.06 180 (kelsqd in min)\n"),
            std::string::npos);
  EXPECT_EQ(text.str().substr(text.str().size() - 3), ")\n\n");
}

TEST_F(StorageSection, AppendedAfterAnotherSectionIsFound) {
  { std::ofstream(Path()) << "[routing_model]\n1 2 3\n"; }
  WriteStorageSection(diag_, Path(), true, Make(1), Parameters());
  RunoffConcentration read = Make(1);
  EXPECT_EQ(ReadCode(read, Path()), 0);
}

TEST_F(StorageSection, ComparisonRule) {
  EXPECT_TRUE(StoredValueAgrees(0.06, 0.06));
  EXPECT_TRUE(StoredValueAgrees(12, 12.0));
  EXPECT_TRUE(StoredValueAgrees(100, 100.0009));
  EXPECT_FALSE(StoredValueAgrees(100, 100.0011));
  EXPECT_TRUE(StoredValueAgrees(0, 0));
  EXPECT_FALSE(StoredValueAgrees(0, 1e-12));
  EXPECT_FALSE(StoredValueAgrees(std::nan(""), 1));
  EXPECT_FALSE(StoredValueAgrees(1, std::nan("")));
}

TEST_F(StorageSection, RefusesWhatDoesNotBelongToThisRun) {
  RunoffConcentration read = Make(1);
  EXPECT_EQ(ReadCode(read, Path("absent.txt_0")), kStorageFileOpenCode);
  { std::ofstream(Path()) << "[snow_model]\n1\n"; }
  EXPECT_EQ(ReadCode(read, Path()), kStorageFileContentCode);
  EXPECT_TRUE(ScreenHas("error locking for the section [unsatzon_model] in "));

  WriteStorageSection(diag_, Path(), false, Make(1), Parameters());
  // A stored 0 agrees only with 0.
  inverse_[2] = 1e-12;
  EXPECT_EQ(ReadCode(read, Path()), kStorageFileContentCode);
  EXPECT_TRUE(ScreenHas("error in storage file content reading kelsqlat:"));
  inverse_[2] = 0;
  kelsqd_[2] = 200;  // a changed recession constant
  EXPECT_EQ(ReadCode(read, Path()), kStorageFileContentCode);
  kelsqd_[2] = 180;
  RunoffConcentration other_tracers = Make(2);
  EXPECT_EQ(ReadCode(other_tracers, Path()), kStorageFileContentCode);
  read.maxzeit[2] = 4;
  EXPECT_EQ(ReadCode(read, Path()), kStorageFileContentCode);
  EXPECT_TRUE(ScreenHas("maxzeit of actual subbasin"));
  read.maxzeit[2] = 3;
  EXPECT_EQ(ReadCode(read, Path()), 0);
  // "state.txt_3" exists: a run of 4 processes reads its files, a run of 3 would drop it.
  const std::string base = Path("state.txt");
  EXPECT_EQ(test::ThrownCode([&] { RefuseStorageFilesOfMoreProcesses(diag_, base, 4); }, 0), 0);
  EXPECT_EQ(test::ThrownCode([&] { RefuseStorageFilesOfMoreProcesses(diag_, base, 3); }, 0),
            kStorageFileContentCode);
  EXPECT_TRUE(ScreenHas("state.txt_3 belongs to a run of more than 3 processes"));
  std::ofstream(Path("state.txt_1")) << "";
  EXPECT_EQ(test::ThrownCode([&] { RefuseStorageFilesOfMoreProcesses(diag_, base, 1); }, 0),
            kStorageFileContentCode);
  EXPECT_TRUE(ScreenHas("state.txt_1 belongs to a run of more than one process:"));
}

TEST_F(StorageSection, UnwritableFileEndsTheRun) {
  EXPECT_EQ(test::ThrownCode([&] {
              WriteStorageSection(diag_, (dir_.path() / "no" / "such" / "file_0").string(), false,
                                  Make(0), Parameters());
            }),
            kWriteErrorCode);
  EXPECT_TRUE(ScreenHas("cannot open "));
  EXPECT_TRUE(ScreenHas("No such file or directory"));
}

}  // namespace
}  // namespace velorn
