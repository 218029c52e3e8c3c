// Multilayer land-use table: layer lists in their written forms, the optional coefficients, the
// absent section, and the failures with codes 17, 110, 111 and 112.
#include "tables/landuse_multilayer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/settings_test.h"

namespace velorn {
namespace {

class MultilayerTableTest : public test::SettingsTest {
 protected:
  int Read(const std::string& text) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
    settings_.multilayer_landuse_records.clear();
    settings_.multilayer_landuse_table = nullptr;
    screen_.str("");
    return test::ThrownCode([&] { settings_.ReadMultilayerLanduseTable(2); }, 0);
  }
  const MultilayerLanduseRecord& Record(int i) const {
    return settings_.multilayer_landuse_table[i];
  }
};

TEST_F(MultilayerTableTest, LayerListsAndCoefficients) {
  struct Case {
    std::string entry;
    std::vector<int> codes;
    double k_extinct;
    double lai_scale;
  };
  const std::vector<Case> cases = {
      {"1 forest { Landuse_Layers = 10, 20; }", {2, 10, 20}, 0.3, 10.0},
      // Blanks separate layers as commas do.
      {"1 forest { Landuse_Layers = 10 20; }", {2, 10, 20}, 0.3, 10.0},
      {"1 forest { Landuse_Layers = 10;\n k_extinct = 0.45;\n LAI_scale = 6; }", {1, 10}, 0.45, 6},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Read("[multilayer_landuse]\n1\n" + c.entry + "\n"), 0) << c.entry << screen_.str();
    const MultilayerLanduseRecord& r = Record(1);
    EXPECT_EQ(std::vector<int>({Record(0).code, r.code, r.OrigCode}), std::vector<int>({1, 1, 1}));
    EXPECT_EQ(r.name, "forest");
    EXPECT_EQ(r.LayerCount, c.codes[0]) << c.entry;
    EXPECT_EQ(r.LayerCodes, c.codes) << c.entry;
    EXPECT_EQ(r.LayerCodesCopy, c.codes) << c.entry;
    EXPECT_DOUBLE_EQ(r.k_extinct, c.k_extinct) << c.entry;
    EXPECT_DOUBLE_EQ(r.LAI_scale, c.lai_scale) << c.entry;
  }
}

TEST_F(MultilayerTableTest, WithoutTheSectionThereIsNoTable) {
  ASSERT_EQ(Read("[landuse_table]\n0\n"), 0);
  EXPECT_EQ(settings_.multilayer_landuse_table, nullptr);
  EXPECT_EQ(screen_.str(), "");
}

TEST_F(MultilayerTableTest, FailuresNameTheEntry) {
  struct Case {
    std::string body;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"2\n1 a { Landuse_Layers = 10, 20; }\n2 b { Landuse_Layers = 1 2 3; }\n", 111,
       "(here: multilayer-landuse type 2: 3 layers, but multilayer-landuse type 1: 2 layers)"},
      {"1\n1 a {\n Landuse_Layers = 10; }\n", 112,
       "multiple landuse table: parameter Landuse_Layers not found 1 a {"},
      {"1\n1 a { Landuse_Layers 10; }\n", 112, "parameter Landuse_Layers not found"},
      {"1\n1 a { Landuse_Layers = 10;\n", 110, "entry beginning in line 3 of the control file"},
      {"1\n1 a { Landuse_Layers = x; }\n", 110,
       "multilayer_landuse_table code 1: some parameters could not be read\n1 a {"},
      {"1\n1 a { Landuse_Layers = 10; k_extinct = high; }\n", 110, "some parameters"},
      // A layer that is no whole number is not dropped nor cut to its front.
      {"1\n1 a { Landuse_Layers = 10, x, 20; }\n", 110, "some parameters"},
      {"1\n1 a { Landuse_Layers = 10, 2.5; }\n", 110, "some parameters"},
      {"1\nx { Landuse_Layers = 10; }\n", 110, "does not begin with its code and name"},
      {"2\n1 a { Landuse_Layers = 10; }\n", 17, "holds only 1 of its 2 entries"},
      {"-2\n", 17, "number of entries (0 or more)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read("[multilayer_landuse]\n" + c.body), c.code) << c.body;
    EXPECT_TRUE(ScreenHas(c.message)) << c.body << "\n--- screen:\n" << screen_.str();
  }
}

}  // namespace
}  // namespace velorn
