// A year of real daily weather (KNMI, De Bilt, 2000) through the Penman-Monteith path on a
// one-cell grass basin: the yearly potential evapotranspiration against KNMI's own Makkink
// reference evaporation (EV24) of the same days, and the seasonal cycle.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "evaporation/evapotranspiration.h"
#include "tests/support/evaporation_fixture.h"

namespace velorn {
namespace {

struct KnmiDay {
  int month = 0, day = 0;
  double wind = 0, temperature = 0, sunshine = 0, radiation = 0, humidity = 0, makkink = 0;
};

// Rows of one year: FG (0.1 m/s), TG (0.1 degC), SP (% of the possible sunshine), Q (J/cm2),
// UG (%), EV24 (0.1 mm); rows with a blank field are left out.
std::vector<KnmiDay> ReadKnmiYear(const std::string& path, int year) {
  std::ifstream in(path);
  std::vector<KnmiDay> days;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.find(',') == std::string::npos) continue;
    std::vector<std::string> fields;
    std::stringstream row(line);
    for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
    if (fields.size() < 41) continue;
    const long date = std::atol(fields[1].c_str());
    if (date / 10000 != year) continue;
    bool complete = true;
    for (int column : {4, 11, 19, 20, 35, 40})
      complete = complete && fields[column].find_first_not_of(' ') != std::string::npos;
    if (!complete) continue;
    auto value = [&](int column) { return std::atof(fields[column].c_str()); };
    days.push_back({static_cast<int>(date / 100 % 100), static_cast<int>(date % 100), value(4) / 10,
                    value(11) / 10, value(19) / 100,
                    value(20) * 1e4 / 3600,  // J/cm2 -> Wh/m2
                    value(35) / 100, value(40) / 10});
  }
  return days;
}

class KnmiYear : public test::EvaporationTest {};

TEST_F(KnmiYear, GrassPenmanMonteithMatchesMakkinkOverAYear) {
  VELORN_REQUIRE_REFDATA(path, "knmi-debilt-daily/etmgeg_260.txt");
  const std::vector<KnmiDay> days = ReadKnmiYear(path, 2000);
  ASSERT_GT(days.size(), 350u);
  setup_.latitude = 52.1;
  setup_.longitude = 5.18;
  setup_.reference_meridian = 0;  // KNMI days are UT days
  // Reference grass: LAI 24 * 0.12 m, full cover, 70 s/m, roughness 0.123 * 0.12 m.
  test::LayerValues grass;
  grass.lai = 2.88;
  grass.roughness = 0.015;
  AddLayer(1, grass);
  AddPenmanMonteithInputs(10, 0.8, 3, 1000);
  double** night = registry_[registry_.Find("temperature_night", 0)].grid;
  double** humidity = registry_[registry_.Find("air_humidity", 0)].grid;
  double** wind = registry_[registry_.Find("wind_speed", 0)].grid;
  double** sunshine = AddGrid("sunshine_duration", 0);
  test::EvapSection section;
  section.amplitudes = "3 3.5 4 5 5.5 5.5 5.5 5.5 5 4 3 3";  // half the daily range, De Bilt
  auto model = Make(section);

  double modelled = 0, makkink = 0, summer = 0, winter = 0;
  for (const KnmiDay& d : days) {
    temperature_[1][1] = night[1][1] = d.temperature;
    humidity[1][1] = d.humidity;
    wind[1][1] = d.wind;
    radiation_[1][1] = d.radiation;
    sunshine[1][1] = d.sunshine;
    model->ComputePotentialEvapotranspiration(24, d.day, d.month, 2000);
    const double value = model->pot_transpiration[0][1][1];
    modelled += value;
    makkink += d.makkink;
    if (d.month >= 6 && d.month <= 8) summer += value;
    if (d.month <= 2 || d.month == 12) winter += value;
  }
  std::printf(
      "De Bilt 2000: Penman-Monteith %.1f mm, Makkink (EV24) %.1f mm, summer %.1f, "
      "winter %.1f\n",
      modelled, makkink, summer, winter);
  EXPECT_NEAR(modelled, makkink, 0.10 * makkink);
  EXPECT_GT(summer, 4 * winter);
}

}  // namespace
}  // namespace velorn
