// Construction of the evapotranspiration model: refused sections with their codes and
// messages, the warning for short steps, the registered grids and the lake section.
#include <gtest/gtest.h>

#include <functional>

#include "core/error_code.h"
#include "evaporation/evapotranspiration.h"
#include "tables/landuse_multilayer.h"
#include "tests/support/evaporation_fixture.h"

namespace velorn {
namespace {

class EvapSetup : public test::EvaporationTest {
 protected:
  EvapSetup() {
    AddLayer(1, test::LayerValues());
    AddPenmanMonteithInputs(15, 0.7, 2, 3000);
  }
};

TEST_F(EvapSetup, RefusesBadSectionsWithTheirCodesAndMessages) {
  struct Case {
    const char* name;
    std::function<void(test::EvapSection&)> change;
    int code;
    const char* message;
  } const cases[] = {
      {"11 Hamon values", [](auto& s) { s.pec = "1 1 1 1 1 1 1 1 1 1 1"; }, 45,
       "there have to be 12 (monthly) values for the PEC-parameter for \nHAMON-evaporation"},
      {"11 Haude values", [](auto& s) { s.fh = "1 1 1 1 1 1 1 1 1 1 1 x"; }, 45,
       "values for the fh-parameter for \nHAUDE-evaporation in the control file."},
      {"CS sum 1.1", [](auto& s) { s.cs = "0.2 0.3 0.3 0.3"; }, 10,
       " derzeitige Summe: 0.2 + 0.3 + 0.3 + 0.3 = 1.1"},
      {"diffuse fraction too small", [](auto& s) { s.cs = "0.01 0.99 0 0"; }, 10,
       "fraction of diffuse radiation is too small: 0.01 (should be 0.05 ... 0.5)"},
      {"no linear sunshine relation", [](auto& s) { s.c = "0.3 0 0 0"; }, 10,
       "There must be at minimum a linear relationship"},
      {"no root of the sunshine polynomial", [](auto& s) { s.c = "2 1 0 0"; }, 10,
       "No null point (root) was found between 0 and 1!"},
      {"transmissivity above 1", [](auto& s) { s.transmissivity = "0.95 0.1"; }, 10,
       "atmospheric transmissivity out of range (0 ... 1]: mean 0.95, amplitude 0.1"},
      {"day fraction above 1", [](auto& s) { s.day_fraction = "1.5 0.1"; }, 10,
       "amplitude_fraction_day: 1.5"},
      {"one value of the day fraction", [](auto& s) { s.day_fraction = "0.5"; }, 10,
       "error reading fraction for temperature amplitude for day/night"},
      // A line given twice shifts every later value by one line.
      {"duplicated line", [](auto& s) { s.transmissivity = "0.7 0.1\n0.7 0.1"; }, 17,
       "monthly temperature amplitude (K) for evapotranspiration is 3000, it must lie within 0 to "
       "50"},
      {"Hamon factor 1e308", [](auto& s) { s.pec = "1 1 1 1 1 1 1 1 1 1 1 1e308"; }, 17,
       "monthly HAMON factor for evapotranspiration is 1e+308, it must lie within 0 to 10"},
      // Once read as the number before the comma (1,3 as 1) without a word.
      {"HamonCorrectionOpenWater 1,0",
       [](auto& s) { s.closing = "cloud.stat 0\nHamonCorrectionOpenWater = 1,0\n"; }, 17,
       "HamonCorrectionOpenWater for ; evapotranspiration \"1,0\" is no number"},
      {"a unit written onto an amplitude", [](auto& s) { s.day_fraction = "0.5 0.1K"; }, 10,
       "\"0.1K\" is no number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::EvapSection section;
    c.change(section);
    int error = 0;
    auto model = Make(section, error);
    EXPECT_EQ(error, c.code);
    EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
  }
}

TEST_F(EvapSetup, ChecksLayersStepsAndRequiredInputs) {
  int error = 0;
  // Methods 2 to 4 take one vegetation layer only.
  std::vector<MultilayerLanduseRecord> table(2);
  table[0].code = 1;
  table[1].LayerCount = 2;
  setup_.multilayer_landuse_table = table.data();
  test::EvapSection hamon;
  hamon.method = 2;
  Make(hamon, error);
  EXPECT_EQ(error, kEvapLayersCode);
  EXPECT_TRUE(ScreenHas("method: 2, number of layers: 2"));
  setup_.multilayer_landuse_table = nullptr;

  // Wendling with hourly steps only warns.
  test::EvapSection wendling;
  wendling.method = 3;
  wendling.interval = 60;
  auto model = Make(wendling, error);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(ScreenHas("actual parameters: method: 3, timestep: 60 minutes"));

  // Penman-Monteith without humidity or vapour pressure.
  registry_[registry_.Find("air_humidity", 0)].identifier = "humidity_renamed";
  Make(test::EvapSection(), error);
  EXPECT_EQ(error, kEvapInputMissingCode);
  EXPECT_TRUE(ScreenHas("vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1)."));
}

TEST_F(EvapSetup, RegistersItsGridsPerLayerAndReadsTheClosingLines) {
  EXPECT_EQ(LayerFileName("out/etp.asc", 2), "out/etp_Layer_2.asc");
  EXPECT_EQ(LayerFileName("etp", 1), "etp_Layer_1");
  test::EvapSection section;
  section.closing = "cloud.stat 0\nHamonCorrectionOpenWater = 0.8\n";
  auto model = Make(section);
  for (const char* id : {"real_transpiration0", "potential_InterceptionEvap1", "SSDTemp"})
    EXPECT_NE(registry_.Find(id, 0), 0) << id;
  EXPECT_EQ(*registry_[registry_.Find("pot_transpiration1", 0)].file_name, "etp_Layer_1.asc");
  EXPECT_DOUBLE_EQ(model->HamonCorrectionOpenWater, 0.8);
  EXPECT_NEAR(model->radiation_lower_limit, 0.2431, 1e-4);
  EXPECT_EQ(model->availability, kHasWind | kHasHumidity | kHasRadiation);
  model->ReleaseMemory();
  EXPECT_EQ(registry_.Find("pot_transpiration0", 0), 0);

  // Without the optional lines the defaults stay, also before the next section.
  section.closing = "[snow_model]\n1\n";
  model = Make(section);
  EXPECT_EQ(model->cloudiness_statistics_name, "cloudiness");
  EXPECT_DOUBLE_EQ(model->HamonCorrectionOpenWater, 1.0);
}

TEST_F(EvapSetup, ReadsTheLakeSection) {
  const std::string lake = "[lake_model]\n1 flow\n";
  struct Case {
    const char* name;
    std::string text;
    bool pond;
    int code;
  } const cases[] = {
      {"lake without pond grid", lake + "1 init\n0.08 albedo\n0.001 z0\n", false, 28},
      {"initialization method 3", lake + "3 init\n0.08 albedo\n0.001 z0\n", true, 211},
      {"valid", lake + "2 init\n0.08 albedo\n0.001 z0\n", true, -1},
      // ln(z / z0) of the open water's wind profile needs a roughness above 0.
      {"negative roughness", lake + "2 init\n0.08 albedo\n-0.001 z0\n", true, 17},
      {"albedo above 1", lake + "2 init\n1.5 albedo\n0.001 z0\n", true, 17},
  };
  AddGrid("lake_codes", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.pond && registry_.Find("ponding_storage", 0) == 0) AddGrid("ponding_storage", 10);
    WriteControlFile(Section(test::EvapSection()) + c.text);
    int error = 0;
    verdunstungsmodellklasse model(setup_, "evapotranspiration", error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(test::ThrownCode([&] { model.ReadLakeSection("[lake_model]"); }), c.code);
    if (c.code < 0) {
      EXPECT_DOUBLE_EQ(model.Albedo_OpenWater, 0.08);
    }
    model.ReleaseMemory();
  }
  EXPECT_TRUE(ScreenHas("z0_OpenWater for evapotranspiration is -0.001, it must lie within"));
}

}  // namespace
}  // namespace velorn
