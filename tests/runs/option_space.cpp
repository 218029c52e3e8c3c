// The option space of the option matrix: its catalogue, the generator, the refusals the model
// owes and the control text of a draw (see option_space.h).
#include "tests/runs/option_space.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/example_sections.h"
#include "tests/support/glacier_example.h"
#include "tests/support/grid_files.h"
#include "tests/support/test_files.h"

namespace velorn::test {

namespace fs = std::filesystem;

// ---- Days of 2019 and 2020 --------------------------------------------------------------------

namespace {
constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kLastDay = 365 + 366;  // 31 December 2020
int MonthDays(int month, int year) {
  return month == 2 && year % 4 == 0 ? 29 : kMonthDays[month - 1];
}
}  // namespace

int DayOfYear(Day day) {
  int n = day.day + (day.year > 2019 ? 365 : 0);
  for (int m = 1; m < day.month; ++m) n += MonthDays(m, day.year);
  return n;
}

Day DateOfDay(int day_of_year) {
  const int n = std::clamp(day_of_year, 1, kLastDay);
  Day day = n > 365 ? Day{n - 365, 1, 2020} : Day{n, 1, 2019};
  while (day.day > MonthDays(day.month, day.year)) day.day -= MonthDays(day.month++, day.year);
  return day;
}

int Days(const Window& window) {
  return DayOfYear(window.last) - DayOfYear(window.first) + 1;
}

// ---- The control text by sections ----------------------------------------------------------

const char* const kAddedSectionsEnd = "# ---- Time series at single cells";

namespace {

// The span of [name]: from its header to the next header or rule line.
std::pair<std::size_t, std::size_t> SectionSpan(const std::string& text, const std::string& name) {
  const std::string header = "[" + name + "]\n";
  std::size_t begin = text.starts_with(header) ? 0 : text.find("\n" + header);
  if (begin == std::string::npos) return {begin, begin};
  if (text[begin] == '\n') ++begin;
  std::size_t end = begin + header.size();
  while (end < text.size() && text[end] != '[' && text.compare(end, 6, "# ----") != 0) {
    const std::size_t next = text.find('\n', end);
    end = next == std::string::npos ? text.size() : next + 1;
  }
  return {begin, end};
}

}  // namespace

std::vector<std::size_t> ValueLines(const std::string& text, const std::string& name) {
  std::vector<std::size_t> lines;
  const auto [begin, end] = SectionSpan(text, name);
  if (begin == std::string::npos) return lines;
  for (std::size_t at = text.find('\n', begin) + 1; at < end; at = text.find('\n', at) + 1) {
    const std::size_t first = text.find_first_not_of(" \t", at);
    if (first < end && text[first] != '\n' && text[first] != '#') lines.push_back(at);
  }
  return lines;
}

std::string Value(const std::string& text, const std::string& name, int n) {
  const std::vector<std::size_t> lines = ValueLines(text, name);
  if (n < 1 || static_cast<std::size_t>(n) > lines.size()) return "";
  std::istringstream in(text.substr(lines[n - 1], text.find('\n', lines[n - 1]) - lines[n - 1]));
  std::string word;
  in >> word;
  return word;
}

bool SetValue(std::string& text, const std::string& name, int n, const std::string& value) {
  const std::vector<std::size_t> lines = ValueLines(text, name);
  if (n < 1 || static_cast<std::size_t>(n) > lines.size()) return false;
  const std::size_t at = lines[n - 1];
  text.replace(at, text.find('\n', at) - at, value);
  return true;
}

void InsertAfterValue(std::string& text, const std::string& name, int n, const std::string& lines) {
  const std::vector<std::size_t> values = ValueLines(text, name);
  if (n >= 1 && static_cast<std::size_t>(n) <= values.size())
    text.insert(text.find('\n', values[n - 1]) + 1, lines);
}

std::string SectionText(const std::string& text, const std::string& name) {
  const auto [begin, end] = SectionSpan(text, name);
  return begin == std::string::npos ? "" : text.substr(begin, end - begin);
}

void PutSection(std::string& text, const std::string& section) {
  const std::string name = section.substr(1, section.find(']') - 1);
  const auto [begin, end] = SectionSpan(text, name);
  const std::string body = section.ends_with("\n\n") ? section : section + "\n";
  if (begin != std::string::npos)
    text.replace(begin, end - begin, body);
  else
    text.insert(text.find(kAddedSectionsEnd), body);
}

void AddStandardGrids(std::string& text, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::string file, identifier;
    words >> file >> identifier;
    const std::string section = SectionText(text, "standard_grids");
    if (section.find(" " + identifier + " ") != std::string::npos) continue;
    const int count = std::stoi(Value(text, "standard_grids", 1));
    SetValue(text, "standard_grids", 1, std::to_string(count + 1) + "\n" + line);
  }
}

void AddVariableGrid(std::string& text, const std::string& line, int write_code, int read_code) {
  std::istringstream words(line);
  std::string file, identifier;
  words >> file >> identifier;
  if (SectionText(text, "variable_grids").find(" " + identifier + " ") != std::string::npos) return;
  const int count = std::stoi(Value(text, "variable_grids", 1));
  SetValue(text, "variable_grids", 1,
           std::to_string(count + 1) + "\n" + line + "\n" + std::to_string(write_code) + "\n" +
               std::to_string(read_code));
}

// ---- The catalogue ---------------------------------------------------------------------------

namespace {

// An option: its key, its values (the default first) and how often a draw switches it from
// the default (to one of the other values, evenly).
struct Option {
  const char* key;
  std::vector<const char*> values;
  double share;
};

const std::vector<Option>& Catalogue() {
  static const std::vector<Option> options = {
      {"step", {"1440", "180", "60", "720", "360", "120"}, 0.3},
      // The report interval (the models' progress lines) with steps shorter than a day: each
      // step or each day.
      {"report", {"step", "day"}, 0.3},
      {"substeps", {"1", "2", "3", "4", "5", "6"}, 0.2},
      {"threads", {"1", "2", "3"}, 0.3},
      // The sub-models that step at twice the step's length (the model steps them at the pace of
      // the station data and warns): the snow model, the soil zone, or every one.
      {"interval", {"step", "snow", "soil", "all"}, 0.08},
      {"spinup", {"0", "units", "passes", "pre"}, 0.2},
      // The response units: classes of land use, soil and 100 m elevation bands, or a unit number
      // per cell from a grid of their own: a unit per land use, soil, subbasin and 200 m
      // elevation band ("grid"), or per subbasin and 200 m band alone ("bands": a unit's cells
      // of other soils hold other water at its master's water contents).
      {"hru", {"classes", "grid", "bands"}, 0.12},
      // Spin-up passes over the window (with "spinup=passes"): a third lets the firn of the
      // first pass's pack reach the ice by the split of a warm start.
      {"passes", {"2", "3", "4", "5"}, 0.3},
      // (Methods above 4 correct as method 2 does.)
      {"radiation", {"2", "0", "1", "3", "4", "11", "12"}, 0.15},
      // A second rain gauge, 1.6 times as wet, in the basin's west: precipitation that varies
      // over the cells.
      {"stations", {"1", "2"}, 0.15},
      // The precipitation's interpolation: inverse distances (1), the nearest gauge (4, with the
      // second gauge), a grid per step read from a list (9), wetter towards the east, the
      // regression on altitude (10; with inverse distances of its residuals 11), or the nearest
      // gauge's value moved along a lapse rate of 0.2 mm per km where it is wet (12); from the
      // nine gauges of a mesh (below; 0.8 to 1.4 times as wet, 0.02 % more per m of altitude):
      // the regression of a regression file (2), with inverse distances (3), bilinear (5),
      // bilinear of values at sea level and gradients (6), a bicubic spline (7), of values at
      // sea level and gradients (8).
      {"precipitation", {"1", "4", "9", "10", "11", "12", "2", "3", "5", "6", "7", "8"}, 0.15},
      // The temperature, wind, humidity, global radiation and sunshine from nine stations on a
      // 3 x 3 mesh over the basin (2300 to 3100 m; the temperature 6.5 K colder per km up and
      // 0.3 K warmer a column east, the others 0.85 to 1.15 times the example's): as the example
      // (0), or by the methods of the precipitation above, 10 and 11 with an inversion at 2700 m
      // and 11's inverse distances on an ellipse (30 degrees, b/a 0.6) of weight 1.5.
      {"meteo", {"0", "2", "3", "5", "6", "7", "8", "10", "11"}, 0.12},
      // A variable interpolated as "<variable>_raw" and made by the regional superposition: the
      // temperature as it is, the wind times 0.9, the precipitation times 1.2.
      {"superposition", {"0", "temperature", "wind_speed", "precipitation"}, 0.08},
      // The correction of the gauges' under-catch: on, or off.
      {"correction", {"1", "0"}, 0.1},
      // The evapotranspiration model's methods; 0: off, the potential rates come from a station
      // and the interception model and the soil zone evaporate and transpire on their own.
      {"et", {"1", "2", "3", "4", "0"}, 0.15},
      // Further variables Penman-Monteith reads, from one station at the gauge: the vapour
      // pressure, the net radiation, the air pressure, or all three.
      {"inputs", {"0", "vapor", "net", "pressure", "all"}, 0.1},
      {"leaflayers", {"0", "1"}, 0.15},
      // Dynamic phenology in every land use (DynamicPhenology_1 to _4): the vegetation period
      // starts when the forcing units since the run's start (or, _2 and _4, since day 20 with
      // thresholds from the chilling before it) pass each land use's own sum, and the leaf area,
      // cover and root depth follow that start (_3: two fixpoints each reached by its forcing
      // sum, in spring); _4 drops the leaves after five days of a seven-day mean below 12 degC
      // from day 200 on, at the latest on day 270. A window ends in early December, before the
      // start's fixpoint 10 days later could leave the year and before the sums restart (day
      // 350).
      {"phenology", {"0", "1", "2", "3", "4"}, 0.12},
      {"interception", {"2", "0", "1", "11", "12", "21", "22", "31", "32"}, 0.4},
      {"snow",
       {"1", "0", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14"},
       0.5},
      // Heat transfer: the explicit methods (1 to 10), the implicit one (11) and with the heat
      // the water carries (12; every higher number, 13 and 20 here, computes as 12 does).
      {"heat", {"0", "1", "11", "12", "2", "3", "4", "5", "6", "7", "8", "9", "10", "13", "20"},
       0.3},
      // The n-factors that make the air temperature the soil surface's: the section's 0.8 when
      // freezing and 1.0 when thawing (as shipped), its 0.5 and 1.3 (a snow-insulated winter, a
      // sunny summer), each land use's own pair (nf_freezing 0.6, nf_thawing 1.2), or each land
      // use's seasonal n-factor at its fixpoints (0.4 in winter to 1.2 in summer).
      {"nfactor", {"0.8/1.0", "0.5/1.3", "landuse", "season"}, 0.12},
      // The heat model's lower boundary: the temperature of the section's base and lapse rate
      // (12 degC at sea level, -0.007 K/m), a fixed 2 degC, or a geothermal flux of 0.06 W/m2.
      {"bottom", {"lapse", "fixed", "flux"}, 0.12},
      {"layered", {"0", "1"}, 0.2},
      // The layered snow pack's configuration: as shipped (three layers of up to 5 cm, holding
      // 0.08 of its ice as water), five layers of up to 10 cm compacting to 300 kg/m3, a wet pack
      // (holding 0.15, draining 10 times faster, its ice and the soil's lowering the water's
      // suction fully), or a cold one (fresh snow 4 K below the air, holding 0.04, ice that
      // leaves the suction as if it were water).
      {"snowpack", {"shipped", "deep", "wet", "cold"}, 0.12},
      {"permafrost", {"0", "1"}, 0.1},
      {"glacier", {"0", "1", "2", "11", "12", "13"}, 0.3},
      {"icefirn", {"0", "1"}, 0.15},
      // The day of the dynamic glaciers' yearly evaluation: the window's second, middle or last
      // day, or none in the window.
      {"evaluation", {"second", "middle", "last", "none"}, 0.3},
      {"soil", {"3", "2", "0"}, 0.12},
      // Ponding up to 10 mm (1) or 50 mm; drainage pipes 0.5 m deep 20 m apart (1) or 1 m deep
      // 5 m apart; a clay layer 0.6 m deep leaking 1e-8 m/s (1) or 1.2 m deep leaking 1e-6 m/s;
      // macropores from a saturation of 0.5 holding 10 mm to 0.6 m (1) or from 0.2 holding 30 mm
      // to 1.2 m.
      {"ponding", {"0", "1", "50"}, 0.15},
      {"drainage", {"0", "1", "deep"}, 0.15},
      {"clay", {"0", "1", "deep"}, 0.1},
      {"macropores", {"0", "1", "wide"}, 0.15},
      // The base flow with the table at the surface (mm per step) and the share of the water
      // input that runs off a snow cover.
      {"baseflow", {"1.0", "0.2", "3"}, 0.12},
      {"snowrunoff", {"0.1", "0", "0.5"}, 0.12},
      // The runoff storages: passing their water on within the step, or holding it (recession
      // constants of 12 h for direct runoff and 48 h for interflow, as the example ships).
      {"runoff", {"instant", "held"}, 0.15},
      // Storage mode 2: the soil zone starts from a table depth of 2 m in every cell.
      {"storage", {"0", "2"}, 0.1},
      // A control point with its single-point files, in subbasin 3.
      {"point", {"0", "1"}, 0.1},
      {"rivers", {"0", "1", "2"}, 0.15},
      {"groundwater", {"0", "1", "2"}, 0.3},
      // The aquifer's layers and the conductivity of its first (a third layer: 20 m at 1e-7 m/s).
      {"aquifer", {"2x1.2e-5", "1x1.2e-5", "2x1e-3", "2x1e-2", "1x1e-1", "3x1.2e-5", "3x1e-3"},
       0.3},
      // A fixed flux into (2e-9 m/s) or out of (1e-9 m/s) the aquifer's first layer in every cell.
      {"boundary", {"0", "in", "out"}, 0.15},
      // The groundwater solution's error allowed (m) and over-relaxation.
      {"solver", {"1e-5/1.5", "1e-4/1.0", "1e-6/1.8", "1e-3/1.2"}, 0.2},
      {"silting", {"0", "1", "2", "3"}, 0.12},
      {"surface", {"0", "1", "2", "3", "4", "5", "6"}, 0.15},
      {"routing", {"1", "0"}, 0.08},
      {"lake", {"0", "soil1", "soil2", "routing"}, 0.2},
      {"reservoir", {"0", "table", "window", "two", "four"}, 0.2},
      // The routing's sub-steps per step: 24 (as the example), one, 5 or 96 (a quarter hour of
      // a daily step).
      {"routesteps", {"24", "1", "5", "96"}, 0.1},
      // Abstractions at subbasin 4's outlet (two: with a second from a file at the basin's).
      {"abstraction",
       {"0", "extern", "intern", "file", "extern_rule", "intern_rule", "reservoir_rule", "two"},
       0.2},
      // The fixed rule's Qmin, fraction and Qmax of the abstractions "extern" and "intern" (m3/s,
      // as the example), all above 0 taken up to 5 m3/s (the whole discharge), a high Qmin, and
      // in mm per step over the stretch.
      {"abstake", {"0.005/0.5/0.05", "0/1/5", "0.1/0.2/0.02", "mm"}, 0.12},
      {"irrigation", {"0", "1/1", "1/2", "2/1", "2/2", "3/1", "3/2", "4/1", "4/2"}, 0.2},
      // The irrigation's schedule: as ever (method 1: 5 and 3 mm on the window's second day;
      // 2: 4 mm 3 times every 2 days from it; 3: from a suction of 1 m up to 0.33 m; 4: below
      // 0.8 of the potential transpiration), "many" (1: 12, 2 and 8 mm on the first three days;
      // 2: 2 mm rising to 14 mm every 2 days over a week; 3: from 0.5 m to 0.1 m; 4: below 0.95)
      // or "few" (1: 30 mm on the first day; 2: 6 mm 5 times every day from the day before the
      // window, then 10 mm once on its last day; 3: from 5 m to 1 m; 4: below 0.5).
      {"irrdose", {"shipped", "many", "few"}, 0.12},
      {"assimilation", {"0", "snow", "split", "lake", "both"}, 0.15},
      // The snow survey's rule: its share of liquid water where no solid snow lies (5 %, none or
      // 30 %; with the split), or the survey set into the solid snow alone (grid
      // "snowstorage_solid", without the split).
      {"survey", {"5", "0", "30", "solid"}, 0.12},
      // A grid rule on another store, with its list of the window's second and last day: the
      // soil's ponds ("ponding_storage": 6 mm, then 2 mm), the water on the leaves of the first
      // vegetation layer ("interception_storage1": 0.6 mm, then 0.1 mm) or the snow pack's liquid
      // water ("snowstorage_liquid": 4 mm, then 1 mm; where no ice holds it, it runs off), the
      // soil's water table ("groundwater_distance": 0.5 m, then 1.5 m below the surface; the
      // soil's first inner step drains its base flow from it), or the soil's water contents
      // ("theta", a stack of layers, which no grid rule finds).
      {"assimgrid", {"0", "ponding", "leaves", "liquid", "table", "theta"}, 0.12},
      // Observed discharges (0.25 to 0.4 m3/s) in the place of the simulated ones at subbasin 4's
      // outlet (routing flow control 2).
      {"observed", {"0", "1"}, 0.1},
      // The unit of the routed discharge: m3/s (as the example) or mm per step over the area
      // each outlet drains (the observed discharges then in mm per step too).
      {"discharge", {"m3s", "mm"}, 0.1},
      // An inflow from outside the basin into subbasin 5's stretch: a constant 0.05 m3/s, or 0.03
      // to 0.06 m3/s from a file, its water at 2 of every tracer.
      {"inflow", {"0", "constant", "extern"}, 0.12},
      // Subbasins 1 and 2 as one channel of their area-weighted runoff.
      {"sumtrib", {"0", "1"}, 0.1},
      // The form of the grids the run writes: binary doubles (as the example), ASCII, binary
      // floats or netCDF (of floats). A warm start continues exactly from doubles and ASCII: the
      // halves of the others write doubles.
      {"grids", {"double", "ascii", "float", "netcdf"}, 0.15},
      // An outside program coupled through files, exchanging every step or when the day changes:
      // it hands the soil zone a water table 1 m below the surface and takes a grid and a table.
      // "save": every step, and it says "SaveAndContinue", which writes every buffer out and
      // changes no output.
      {"coupling", {"0", "step", "day", "save"}, 0.1},
      // The outside program ends the run (exchanging every step): "finish" at the last step of
      // the window's next-to-last day (the run ends there, writing its state, code 99), "stop"
      // at the start of its last day (every process ends at once, code 98, writing no state).
      {"ending", {"0", "finish", "stop"}, 0.08},
      // Two control files in one invocation: the draw's, then its copy writing into "output2/".
      {"controls", {"1", "2"}, 0.1},
      // The processes of the warm start's halves.
      {"halves", {"2", "1", "3"}, 0.3},
      // Where the warm start splits the window: after its middle day, or at noon of that day
      // (steps shorter than a day).
      {"split", {"day", "noon"}, 0.3},
      // The half-time of the decaying tracers in days ("40d": the unit against the number).
      {"halftime", {"5", "0.25", "40d"}, 0.2},
      // The tracers' concentrations in the rain, the soil's and the aquifer's water and their
      // max_conc: 10, 6 and 3 up to 1000 (as ever), 2.5, 40 and 0.7, or 10, 6 and 3 up to 4 (a
      // cap below the rain's and the soil's: a snow pack or the water on the surface gives its
      // outflow at most that concentration and keeps the rest).
      {"conc", {"10/6/3", "2.5/40/0.7", "capped"}, 0.12},
      // Tracers, '.' between them: the kind (c conservative, e evaporating, d decaying, v
      // decaying and evaporating) and where it starts (r in the rain, s in the soil water, a in
      // the aquifer); "0": none.
      {"tracers", {"cr.esa"}, 0.0},
  };
  return options;
}

const Option& Find(const std::string& key) {
  for (const Option& option : Catalogue())
    if (key == option.key) return option;
  throw std::runtime_error("no option \"" + key + "\"");
}

}  // namespace

std::string Draw::Get(const std::string& key) const {
  const auto at = options.find(key);
  return at != options.end() ? at->second : Find(key).values.front();
}

std::string Draw::Words() const {
  std::string words;
  for (const Option& option : Catalogue())
    if (On(option.key)) words += std::string(option.key) + "=" + options.at(option.key) + " ";
  // A start in 2020 (a shrunk window's) says its year.
  return words + "start=" + std::to_string(window.first.day) + "/" +
         std::to_string(window.first.month) +
         (window.first.year != 2019 ? "/" + std::to_string(window.first.year) : "") +
         " days=" + std::to_string(Days(window));
}

Draw Draw::Parse(const std::string& words) {
  Draw draw;
  std::istringstream in(words);
  int days = 4;
  for (std::string word; in >> word;) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) throw std::runtime_error("no option in \"" + word + "\"");
    const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    if (key == "start") {
      const std::size_t year = value.find('/', value.find('/') + 1);
      draw.window.first = {std::stoi(value), std::stoi(value.substr(value.find('/') + 1)),
                           year == std::string::npos ? 2019 : std::stoi(value.substr(year + 1))};
    } else if (key == "days") {
      days = std::stoi(value);
    } else if (value != Find(key).values.front()) {
      draw.options[key] = value;
    }
  }
  draw.window.last = DateOfDay(DayOfYear(draw.window.first) + days - 1);
  return draw;
}

std::vector<std::string> OptionKeys(const Draw& draw) {
  std::vector<std::string> keys;
  for (const Option& option : Catalogue())
    if (draw.On(option.key)) keys.push_back(option.key);
  return keys;
}

// ---- Refusals --------------------------------------------------------------------------------

namespace {

// A pair the model forbids: when it holds, the model refuses the draw; `mend` changes the draw
// so that it no longer holds (the generator keeps a tenth of the forbidden pairs).
struct Rule {
  Refusal refusal;
  std::function<bool(const Draw&)> holds;
  std::function<void(Draw&)> mend;
};

bool Dynamic(const Draw& d) {
  return d.Get("glacier").size() == 2;
}
bool SoilOn(const Draw& d) {
  return d.Get("soil") != "0";
}
// Every spin-up works with hydrologic response units, which switch the groundwater model, surface
// routing and the lakes off.
bool UnitsOn(const Draw& d) {
  return d.Get("spinup") != "0";
}
bool RoutingOn(const Draw& d) {
  return d.Get("routing") == "1" && !d.Get("lake").starts_with("soil");
}

const std::vector<Rule>& Rules() {
  static const std::vector<Rule> rules = {
      {{"layered snow without heat transfer", 1041, "[heat_transfer] must be used"},
       // The soil zone's set-up asks for it: without the soil zone the run goes on.
       [](const Draw& d) { return d.On("layered") && !d.On("heat") && SoilOn(d); },
       [](Draw& d) { d.options["heat"] = "11"; }},
      {{"layered snow without the snow model", 1044, "[snow_model] must be used"},
       [](const Draw& d) {
         return d.On("layered") && d.On("heat") && SoilOn(d) && d.Get("snow") == "0";
       },
       [](Draw& d) { d.options.erase("snow"); }},
      {{"a temperature pre-spin-up without heat transfer", 1040, "pre-SpinUp"},
       // The soil zone sums the pre-spin-up's degree days and asks for heat transfer: without
       // the soil zone the pre-spin-up interpolates the temperature alone and the run goes on.
       [](const Draw& d) { return d.Get("spinup") == "pre" && !d.On("heat") && SoilOn(d); },
       [](Draw& d) { d.options["heat"] = "11"; }},
      {{"a temperature pre-spin-up with the temperature made by the regional superposition", 1035,
        "temperature interpolation not found"},
       // The pre-spin-up interpolates the first variable alone, which must be the temperature.
       [](const Draw& d) {
         return d.Get("spinup") == "pre" && d.Get("superposition") == "temperature";
       },
       [](Draw& d) { d.options.erase("superposition"); }},
      {{"several vegetation layers with an evapotranspiration other than Penman-Monteith", 44,
        "layer"},
       [](const Draw& d) { return d.On("leaflayers") && d.On("et") && d.Get("et") != "0"; },
       [](Draw& d) { d.options.erase("et"); }},
      {{"silting-up with dynamic glaciers", 2, "glacier model is active"},
       [](const Draw& d) { return Dynamic(d) && d.On("silting"); },
       [](Draw& d) { d.options.erase("glacier"); }},
      {{"surface routing with glaciers", 2, "glacier model is active"},
       [](const Draw& d) { return d.Get("glacier") != "0" && d.On("surface") && !UnitsOn(d); },
       [](Draw& d) { d.options.erase("glacier"); }},
      {{"discharge routing without the soil zone", 43, "routing"},
       [](const Draw& d) { return !SoilOn(d) && RoutingOn(d); },
       [](Draw& d) { d.options["routing"] = "0"; }},
      {{"irrigation without discharge routing", 60, "routing"},
       [](const Draw& d) { return d.On("irrigation") && SoilOn(d) && !RoutingOn(d); },
       [](Draw& d) { d.options.erase("irrigation"); }},
      {{"irrigation without the soil zone", 33, "Max_Pumping not found"},
       [](const Draw& d) { return d.On("irrigation") && !SoilOn(d); },
       [](Draw& d) { d.options.erase("irrigation"); }},
      {{"surface routing without the soil zone", 33, "directflow not found"},
       [](const Draw& d) { return d.On("surface") && !SoilOn(d) && !UnitsOn(d); },
       [](Draw& d) { d.options.erase("surface"); }},
      {{"the groundwater model without the soil zone", 33, "groundwater_distance is not in memory"},
       [](const Draw& d) { return d.On("groundwater") && !SoilOn(d) && !UnitsOn(d); },
       [](Draw& d) { d.options.erase("groundwater"); }},
      {{"tracers with losing streams", 1150, "tracer"},
       [](const Draw& d) { return d.Get("rivers") == "2" && d.Get("tracers") != "0" && SoilOn(d); },
       [](Draw& d) { d.options["rivers"] = "1"; }},
      {{"a reservoir without lake cells while lakes are on", 213, "has no cell"},
       [](const Draw& d) {
         // (Response units leave the lakes off.)
         return d.Get("lake") == "routing" && RoutingOn(d) && !UnitsOn(d) &&
                (d.Get("reservoir") == "two" || d.Get("reservoir") == "four" ||
                 d.Get("abstraction") == "reservoir_rule");
       },
       [](Draw& d) { d.options.erase("reservoir"), d.options.erase("abstraction"); }},
      {{"the canopy's energy balance without a snow energy balance", 1160,
        "snow surface temperatur not available"},
       [](const Draw& d) {
         const std::string snow = d.Get("snow");
         return d.Get("interception")[0] == '3' && snow != "5" && snow != "6" && snow != "7" &&
                snow != "11";
       },
       [](Draw& d) { d.options["interception"] = "22"; }},
      {{"the soil zone at an interval of its own beside the groundwater model", 17,
        "differs from that of unsatzon_model"},
       [](const Draw& d) {
         return d.Get("interval") == "soil" && d.Get("groundwater") != "0" && SoilOn(d);
       },
       [](Draw& d) { d.options.erase("interval"); }},
      {{"lakes without the soil zone", 28, "no POND-Grid"},
       [](const Draw& d) { return d.On("lake") && !SoilOn(d) && !UnitsOn(d); },
       [](Draw& d) { d.options.erase("lake"); }},
      {{"a lake's level without ponding", 33, "ponding_storage not found"},
       [](const Draw& d) {
         return (d.Get("assimilation") == "lake" || d.Get("assimilation") == "both") &&
                d.Get("lake") == "0" && !(SoilOn(d) && d.On("ponding"));
       },
       [](Draw& d) { d.options["assimilation"] = "split"; }},
      {{"the canopy's snow without the snow model", 1160, "needs the snow model"},
       [](const Draw& d) {
         const std::string interception = d.Get("interception");
         return interception.size() == 2 && interception[0] >= '2' && d.Get("snow") == "0";
       },
       [](Draw& d) { d.options.erase("interception"); }},
      {{"a snow survey without the snow model", 1210, "not available as grid"},
       [](const Draw& d) {
         const std::string rules = d.Get("assimilation");
         return rules != "0" && rules != "lake" && d.Get("snow") == "0";
       },
       [](Draw& d) { d.options.erase("assimilation"); }},
      {{"glaciers without the snow model", 80, "[snow_model] is switched off"},
       [](const Draw& d) { return d.Get("glacier") != "0" && d.Get("snow") == "0"; },
       [](Draw& d) { d.options.erase("snow"); }},
      {{"a lake's level with ponding but without lake codes", 33, "lake_codes not found"},
       [](const Draw& d) {
         return (d.Get("assimilation") == "lake" || d.Get("assimilation") == "both") &&
                d.Get("lake") == "0" && SoilOn(d) && d.On("ponding");
       },
       [](Draw& d) { d.options["assimilation"] = "split"; }},
      {{"a grid rule on the ponds without ponding", 1210, "not available as grid"},
       [](const Draw& d) {
         return d.Get("assimgrid") == "ponding" &&
                !(SoilOn(d) && (d.On("ponding") || d.Get("lake") != "0"));
       },
       [](Draw& d) { d.options["ponding"] = "1", d.options.erase("soil"); }},
      {{"a grid rule on the leaves without the interception model", 1210,
        "not available as grid"},
       [](const Draw& d) { return d.Get("assimgrid") == "leaves" && d.Get("interception") == "0"; },
       [](Draw& d) { d.options.erase("interception"); }},
      {{"a grid rule on the snow's liquid water without the snow model", 1210,
        "not available as grid"},
       [](const Draw& d) { return d.Get("assimgrid") == "liquid" && d.Get("snow") == "0"; },
       [](Draw& d) { d.options.erase("snow"); }},
      {{"a grid rule on the soil's water table without the soil zone", 1210,
        "not available as grid"},
       [](const Draw& d) { return d.Get("assimgrid") == "table" && !SoilOn(d); },
       [](Draw& d) { d.options.erase("soil"); }},
      {{"a grid rule on a stack", 1210, "not available as grid"},
       // The search for a rule's grid passes no stack: the soil's water contents are none.
       [](const Draw& d) { return d.Get("assimgrid") == "theta"; },
       [](Draw& d) { d.options.erase("assimgrid"); }},
      {{"a lake's level without a lake", 1220, "as defined for data assimilation not found"},
       [](const Draw& d) {
         return (d.Get("assimilation") == "lake" || d.Get("assimilation") == "both") &&
                d.Get("lake") != "0" && (d.Get("lake") != "routing" || !RoutingOn(d));
       },
       [](Draw& d) { d.options["assimilation"] = "split"; }},
  };
  return rules;
}

}  // namespace

std::vector<Refusal> Refusals(const Draw& draw) {
  std::vector<Refusal> refusals;
  for (const Rule& rule : Rules())
    if (rule.holds(draw)) refusals.push_back(rule.refusal);
  return refusals;
}

// ---- What acts -------------------------------------------------------------------------------

std::vector<std::string> IdleOptions(const Draw& d) {
  std::vector<std::string> idle;
  const bool soil = SoilOn(d), units = UnitsOn(d), dynamic = Dynamic(d);
  const auto idle_when = [&](const char* key, bool when) {
    if (d.On(key) && when) idle.push_back(key);
  };
  idle_when("passes", d.Get("spinup") != "passes");
  idle_when("ending", !d.On("coupling"));
  idle_when("hru", !units);
  // The soil zone holds the heat model and the layered snow pack.
  idle_when("nfactor", !d.On("heat") || !soil);
  idle_when("bottom", !d.On("heat") || !soil);
  idle_when("snowpack", !d.On("layered") || !d.On("heat") || !soil);
  // One gauge gives every cell its value, whichever the interpolation; grids replace the gauges.
  idle_when("precipitation", d.Get("precipitation") == "4" && !d.On("stations"));
  idle_when("stations", d.Get("precipitation") == "9");
  // The mesh's nine gauges replace the one or two.
  idle_when("stations",
            d.Get("precipitation").size() == 1 &&
                std::string("235678").find(d.Get("precipitation")) != std::string::npos);
  // Only Penman-Monteith, Wendling and the snow model's method 4 read the further variables.
  idle_when("inputs", d.Get("et") != "1" && d.Get("et") != "3" && d.Get("snow") != "4");
  idle_when("report", d.Step() == 1440);
  // With spin-up passes the halves split the passes; a day's steps have no noon between them.
  idle_when("split", d.Step() == 1440 || d.Get("spinup") == "passes");
  const std::string tracers = d.Get("tracers");
  idle_when("halftime", tracers.find('d') == std::string::npos &&
                            tracers.find('v') == std::string::npos);
  idle_when("interval", (d.Get("interval") == "snow" && d.Get("snow") == "0") ||
                            (d.Get("interval") == "soil" && !soil));
  // Response units switch the groundwater model, surface routing and the lakes off.
  idle_when("groundwater", units);
  idle_when("aquifer", !d.On("groundwater") || units);
  idle_when("solver", !d.On("groundwater") || units);
  idle_when("boundary", !d.On("groundwater") || units);
  idle_when("surface", units);
  idle_when("lake", units || (d.Get("lake") == "routing" && !RoutingOn(d)));
  idle_when("evaluation", !dynamic);
  idle_when("icefirn", !dynamic);
  for (const char* key : {"substeps", "ponding", "drainage", "clay", "macropores", "rivers",
                          "runoff", "point", "silting", "storage", "baseflow", "snowrunoff"})
    idle_when(key, !soil);
  idle_when("routing", !soil || d.Get("lake").starts_with("soil"));
  for (const char* key : {"reservoir", "abstraction", "observed", "inflow", "sumtrib"})
    idle_when(key, !RoutingOn(d));
  for (const char* key : {"routesteps", "discharge"}) idle_when(key, !RoutingOn(d));
  const std::string abstraction = d.Get("abstraction"), rules = d.Get("assimilation");
  idle_when("abstake", !RoutingOn(d) || (abstraction != "extern" && abstraction != "intern" &&
                                         abstraction != "two"));
  idle_when("irrdose", !d.On("irrigation"));
  // The liquid share acts with the split alone; the solid snow with any snow survey.
  idle_when("survey", rules == "0" || rules == "lake" ||
                          (rules == "snow" && d.Get("survey") != "solid"));
  idle_when("conc", tracers == "0");
  return idle;
}

// ---- The generator ---------------------------------------------------------------------------

namespace {

// Tracers: one to four (now and then five to nine), each of a kind and with one to three
// sources.
std::string DrawTracers(std::mt19937_64& random) {
  std::uniform_real_distribution<double> share(0, 1);
  if (share(random) < 0.15) return "0";
  int count = 1 + static_cast<int>(share(random) * 4);
  if (share(random) < 0.1) count = 5 + static_cast<int>(share(random) * 5);
  std::string tracers;
  for (int t = 0; t < count; ++t) {
    const char kind = "cedv"[static_cast<int>(share(random) * 4)];
    std::string sources;
    // A conservative tracer mostly comes with the rain alone: the straight run's account knows
    // what the rain brought, a second half's also what the soil and the aquifer held.
    const bool plain = kind == 'c' && share(random) < 0.75;
    for (const char source : {'r', 's', 'a'})
      if ((source == 'r' && (plain || share(random) < 0.6)) ||
          (source != 'r' && !plain && share(random) < 0.5))
        sources += source;
    if (sources.empty()) sources = "s";
    tracers += (t > 0 ? "." : "") + std::string(1, kind) + sources;
  }
  return tracers;
}

// A window in which the drawn options act: irrigation in summer, snow, ice and frozen soil in
// winter and spring, else any time of the year; sub-daily steps on a few days. A window that
// starts late in the year runs on into 2020.
Window DrawWindow(const Draw& d, std::mt19937_64& random) {
  std::uniform_real_distribution<double> share(0, 1);
  const auto between = [&](int low, int high) {
    return low + static_cast<int>(share(random) * (high - low + 1));
  };
  int days = d.Step() <= 120   ? between(2, 3)
             : d.Step() <= 360 ? between(2, 6)
             : d.Step() < 1440 ? between(2, 8)
                               : between(2, 10);
  if (d.Step() == 1440 && share(random) < 0.15) days = between(11, 40);
  if (d.Step() == 1440 && share(random) < 0.04) days = between(41, 120);
  int first = between(1, 365);
  if (d.On("irrigation")) {
    first = between(DayOfYear({15, 6}), DayOfYear({15, 8}));
  } else if (d.On("layered") || d.On("glacier") || d.On("permafrost") ||
             d.Get("interception").size() == 2 || d.Get("assimilation") != "0" || d.On("snow") ||
             d.Get("assimgrid") == "liquid") {
    first = share(random) < 0.8 ? between(1, DayOfYear({31, 3})) : between(305, 365);
  }
  if (d.Step() == 1440 && share(random) < 0.01) first = 1, days = 365;
  // Now and then across New Year's Eve (two yearly rows of the account); with daily steps now
  // and then over a year and some days, which meets a yearly evaluation's date twice.
  if (share(random) < 0.08) first = between(std::max(1, 367 - days), 365);
  if (d.Step() == 1440 && share(random) < 0.005) first = between(1, 365), days = between(367, 380);
  first = std::min(first, kLastDay + 1 - days);
  if (d.On("phenology")) {
    constexpr int kPhenologyLastDay = 340;
    first = std::min(first, kPhenologyLastDay - 1);
    days = std::min(days, kPhenologyLastDay + 1 - first);
  }
  return {DateOfDay(first), DateOfDay(first + days - 1)};
}

}  // namespace

Draw DrawCombination(std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> share(0, 1);
  Draw draw;
  for (const Option& option : Catalogue()) {
    if (option.share > 0 && share(random) < option.share)
      draw.options[option.key] =
          option.values[1 + static_cast<std::size_t>(share(random) * (option.values.size() - 1))];
  }
  // The nearest gauge acts where there are two; the regressions and the lapse rate mostly with
  // two.
  if (draw.Get("precipitation") == "4") draw.options["stations"] = "2";
  if (draw.Get("precipitation").size() == 2 && share(random) < 0.7) draw.options["stations"] = "2";
  // Grids are corrected for the gauges' under-catch after their table is taken, which leaves the
  // accounts without the precipitation the cells receive: mostly without the correction.
  if (draw.Get("precipitation") == "9" && share(random) < 0.8) draw.options["correction"] = "0";
  // A coupled program exchanging when the day changes also exchanges at a run's opening: a
  // second half that starts at noon exchanges where the straight run did not.
  if (draw.Get("split") == "noon" && draw.Get("coupling") == "day") draw.options.erase("split");
  // A program that ends the run answers every step's exchange, in a run of one control file
  // without spin-up (whose passes and pre-spin-up would count exchanges of their own).
  if (draw.On("ending")) {
    if (draw.Get("coupling") != "step") draw.options["coupling"] = "step";
    draw.options.erase("controls");
    draw.options.erase("spinup");
  }
  draw.options["tracers"] = DrawTracers(random);
  if (draw.options["tracers"] == Find("tracers").values.front()) draw.options.erase("tracers");
  for (const Rule& rule : Rules())
    if (rule.holds(draw) && share(random) < 0.9) rule.mend(draw);
  // An option that another leaves idle goes, but for a tenth (which shows that it stays idle),
  // unless its default would be refused ("routing=0" without the soil zone).
  for (const std::string& key : IdleOptions(draw)) {
    Draw without = draw;
    without.options.erase(key);
    if (share(random) < 0.9 && Refusals(without).size() <= Refusals(draw).size()) draw = without;
  }
  draw.window = DrawWindow(draw, random);
  // A finished run keeps two days for the halves of its warm start.
  if (draw.Get("ending") == "finish" && Days(draw.window) < 3) {
    const int first = std::min(DayOfYear(draw.window.first), kLastDay - 2);
    draw.window = {DateOfDay(first), DateOfDay(first + 2)};
  }
  return draw;
}

// ---- The control text of a draw -------------------------------------------------------------

namespace {

std::string Variant(const std::string& name) {
  return ReadFile((ExampleDir() / name).string());
}

// Keys inserted at the start of every entry of a table section (after each "{").
void AddEntryKeys(std::string& text, const std::string& section, const std::string& keys) {
  const std::string before = SectionText(text, section);
  std::string after = before;
  for (std::size_t at = after.find('{'); at != std::string::npos; at = after.find('{', at + 1))
    after.insert(at + 1, " " + keys);
  text.replace(text.find(before), before.size(), after);
}

// Items added to the routing description of subbasin `outlet` (4 or 5), on lines of their own
// after its last line.
void AddRoutingItems(std::string& text, int outlet, const std::string& items) {
  const std::string last = outlet == 4 ? "\nOL 2 (" : "\nOL 3 (";
  const std::size_t at = text.find('\n', text.find(last) + 1) + 1;
  text.insert(at, items);
}

// The channel values of an inflow or a short reach.
const std::string kChannel =
    "(kh=0.5, kv=2, Bh=1.5, Bv=8, Th=0.5, Mh=20, Mv=10, I=0.05, L=300, A=1)";

std::string Zeros(int n) {
  std::string zeros;
  for (int i = 0; i < n; ++i) zeros += " 0";
  return zeros;
}

void ComposeTracers(const Draw& d, std::string& text) {
  const std::string list = d.Get("tracers");
  if (list == "0") return;
  std::vector<std::string> tracers;
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t dot = std::min(list.find('.', at), list.size());
    tracers.push_back(list.substr(at, dot - at));
    at = dot + 1;
  }
  std::string lines = std::to_string(tracers.size());
  const std::string half_time =
      d.Get("halftime").ends_with('d') ? d.Get("halftime") : d.Get("halftime") + " d";
  std::map<char, int> seen;
  // Each source its own concentration, so that a tracer mixed from the wrong one shows.
  const std::string drawn = d.Get("conc");
  const std::map<char, const char*> conc =
      drawn == "2.5/40/0.7" ? std::map<char, const char*>{{'r', "2.5"}, {'s', "40"}, {'a', "0.7"}}
                            : std::map<char, const char*>{{'r', "10"}, {'s', "6"}, {'a', "3"}};
  const std::string max_conc = drawn == "capped" ? "4" : "1000";
  for (std::size_t t = 0; t < tracers.size(); ++t) {
    const char kind = tracers[t][0];
    const std::string base = kind == 'c'   ? "con"
                             : kind == 'e' ? "eva"
                             : kind == 'd' ? "dec"
                                           : "dev";
    const int n = ++seen[kind];
    const std::string name = n == 1 ? base : std::string(1, base[0]) + kind + std::to_string(n);
    const auto from = [&](char source) {
      return tracers[t].find(source, 1) != std::string::npos ? conc.at(source) : "0";
    };
    lines += "\n" + name + (kind == 'e' || kind == 'v' ? " evaporating" : " non_evaporating") +
             (kind == 'd' || kind == 'v'
                  ? " radioactive half_time = " + half_time
                  : std::string(" non_radioactive")) +
             " soilini = " + from('s') + " gwini = " + from('a') +
             " min_conc = 0 max_conc = " + max_conc + " mg/l statcode = 2001 gridcode = 3 path = ./ "
             "statext = sta gridext = asc";
    AddVariableGrid(text,
                    "t" + std::to_string(t + 1) + "in concflux_tracer_" + std::to_string(t + 1) +
                        "_input 0 " + from('r'),
                    0, 0);
  }
  SetValue(text, "substance_transport", 1, lines);
}

// Dynamic phenology in every entry of [landuse_table]: the method, its keys, the fixpoint days
// that follow the start, each land use with its own forcing sum; its state written at the end
// (the warm start's halves compare it with the straight run's).
void ComposePhenology(const Draw& d, std::string& text) {
  const std::string method = d.Get("phenology");
  if (method == "0") return;
  const std::string section = SectionText(text, "landuse_table");
  std::string table = section;
  const char* const sums[] = {"10", "40", "120", "300"};
  int entry = 0;
  for (std::size_t at = table.find("method VariableDayCount {"); at != std::string::npos;
       at = table.find("method VariableDayCount {", at + 1)) {
    const std::string sum = sums[std::min(entry++, 3)];
    std::string keys = " DP1_t1_dorm = 1; DP1_T_Bf = -15; JDReset_TStart = 350; "
                       "maxStartJDforDP1 = 200;";
    if (method != "3") keys += " F* = " + sum + ";";
    if (method == "2")
      keys += " DP2_t0_dorm = 250; DP2_t1_dorm = 20; DP2_T_Bf = -15; DP2_T_Bc = 5; DP2_Par_a = " +
              sum + "; DP2_Par_b = -0.02; DP2_Offset_1 = -3.4; DP2_Offset_2 = 12;";
    if (method == "4")
      keys += " DP4_t0_dorm = 250; DP4_t1_dorm = 20; DP4_T0 = 0; DP4_T1 = -10; DP4_Par_a = " +
              sum + "; DP4_Par_b = -2; DP4_T_xylstop = 12; DP4_t_xs1 = 200; DP4_SPSLF = 4;";
    // _3: the second and third fixpoints reached at degree-day sums (base -15 degC) of the land
    // use's own, at the latest on days 150 and 200; the others: the second fixpoint at the
    // start, the third 10 days after it.
    if (method == "3")
      keys += " ForcingThreshold = -1 " + std::to_string(std::stoi(sum) / 2 + 25) + " " +
              std::to_string(std::stoi(sum) + 100) + " -1 -1;";
    table.replace(at, 25, "method DynamicPhenology_" + method + " {" + keys);
    const std::size_t days = table.find("JulDays = ", at);
    table.replace(days, table.find(';', days) - days,
                  method == "3" ? "JulDays = 1 150 200 270 366" : "JulDays = 1 -1 10 270 366");
  }
  text.replace(text.find(section), section.size(), table);
  for (const char* grid :
       {"pheno_forcing.asc SumOfForcingUnits1", "pheno_start.asc Pheno_start1",
        "pheno_chilling.asc SumOfChillingUnits1", "pheno_threshold.asc FStar_ForcingThreshold1",
        "pheno_leaffall.asc StartDayOfLeaveFall", "pheno_movavg7.asc TemperatureMOVAVG7"})
    AddVariableGrid(text, std::string(grid) + " 0 -9999", 3, 0);
}

void ComposeAboveSoil(const Draw& d, std::string& text) {
  const std::string spinup = d.Get("spinup");
  if (spinup != "0") {
    const std::string units =
        "3\nlanduse1 1 linear\nsoil_types 1 linear\nelevation_model 100 linear\n";
    PutSection(text,
               "[SpinUp]\n" +
                   (spinup == "passes" ? "1\n0\n" + d.Get("passes") + "\n" : std::string("2\n")) +
                   (spinup == "units" ? "0\n1\n"
                    : spinup == "pre" ? "1\n1\n"
                                      : "") +
                   (d.Get("hru") != "classes" ? std::string("0\n") : units));
    if (d.Get("hru") != "classes")
      AddStandardGrids(text, {(d.Get("hru") == "grid" ? "hru.asc" : "hru_bands.asc") +
                              std::string(" HydrologicResponseUnits 0")});
  }
  if (d.Get("radiation") == "0")
    SetValue(text, "radiation_correction", 1, "0");
  else
    SetValue(text, "radiation_correction", 3, d.Get("radiation"));
  if (d.Get("et") == "0")
    SetValue(text, "evapotranspiration", 1, "0");
  else
    SetValue(text, "evapotranspiration", 3, d.Get("et"));
  if (d.Get("et") == "4") {
    // Haude takes the temperature and humidity at 14 h: the daily values serve here.
    SetValue(text, "meteo_data_count", 1, "8");
    SetValue(text, "meteo_names", 6, "sunshine_duration\ntemperature_14\nair_humidity_14");
    for (const std::string variable : {"temperature", "air_humidity"}) {
      std::string section = SectionText(text, variable);
      section.replace(0, variable.size() + 2, "[" + variable + "_14]");
      section.replace(section.find(variable + ".dbl"), variable.size(), variable + "_14");
      section.replace(section.find(variable + ".stat"), variable.size() + 5 + 5,
                      variable + "_14.stat 0   ");
      PutSection(text, section);
    }
  }
  if (d.On("leaflayers"))
    text.replace(text.find("[landuse_table]\n"), 16,
                 "[multilayer_landuse]\n4\n10 meadow2 { Landuse_Layers = 10, 40; k_extinct = 0.3; "
                 "LAI_scale = 10; }\n20 montane2 { Landuse_Layers = 20, 10; }\n"
                 "30 subalpine2 { Landuse_Layers = 30, 10; }\n"
                 "40 grass2 { Landuse_Layers = 40, 10; }\n\n[landuse_table]\n");
  const std::string interception = d.Get("interception");
  if (interception == "0") {
    SetValue(text, "interception_model", 1, "0");
  } else {
    SetValue(text, "interception_model", 3, interception);
    std::string lines;
    if (interception.size() == 2 && interception[0] >= '2') {
      // The canopy's grids, its snow load among them, written at the end for a warm start; the
      // load (the fifth) has its table, a store of its own, and so has its sublimation (the
      // eighth), a loss outside the total real evapotranspiration.
      for (int i = 0; i < 10; ++i)
        lines += "canopy" + std::to_string(i) + ".asc\n3\n" +
                 (i == 4   ? "canopy_load.stat 2001\n"
                  : i == 7 ? "canopy_sublimation.stat 2001\n"
                           : "c.sta 0\n");
      lines += "0.5\n0.01\n1.0\n";
    }
    if (interception[0] == '3')
      for (int i = 0; i < 4; ++i) lines += "ceb" + std::to_string(i) + ".asc\n3\nceb.sta 0\n";
    InsertAfterValue(text, "interception_model", 14, lines);
  }
  const int snow = std::stoi(d.Get("snow"));
  if (snow == 0) SetValue(text, "snow_model", 1, "0");
  SetValue(text, "snow_model", 3, std::to_string(std::max(snow, 1)));
  if (snow == 4 && d.Get("inputs") != "vapor" && d.Get("inputs") != "all")
    AddStandardGrids(text, {"vapor_pressure vapor_pressure 0 readcode=0 defaultValue=5"});
  const bool slides = snow == 6 || snow == 7 || snow == 8 || snow == 9 || snow == 12 || snow == 14;
  if (snow >= 5) {
    InsertAfterValue(text, "snow_model", 43,
                     "snowtemp.asc\n3\nsnowtemp.stat 0\nsurftemp.asc\n3\nsurftemp.stat 0\n"
                     "inputmass.asc\n0\ninputmass.stat 0\nmobilemass.asc\n0\nmobilemass.stat 0\n"
                     "deposition.asc\n0\ndeposition.stat 0\n55\n1\n" +
                         std::string(slides ? "15\n0.05\n" : "30\n0.01\n") + "1\n1\n1.0\n");
  }
  if (slides)
    AddStandardGrids(
        text, {"slidefraction1.asc slidefraction1 0", "slidefraction2.asc slidefraction2 0",
               "slidefraction3.asc slidefraction3 0", "slidefraction4.asc slidefraction4 0"});
  if (snow == 7 || snow == 9 || snow == 10 || snow == 11 || snow == 13 || snow == 14)
    AddStandardGrids(text, {"deposition_index deposition_index 0 readcode=0 defaultValue=0.3"});
  if (d.On("heat")) {
    std::string heat = kHeatTransfer;
    heat.replace(heat.find("11         # method 11: implicit"), 2, d.Get("heat"));
    PutSection(text, heat);
  }
  if (d.On("layered")) text.insert(text.find(kAddedSectionsEnd), kLayeredSnow);
  if (d.On("permafrost")) {
    AddStandardGrids(text,
                     {"ThawCoeffPermaFrost ThawCoeffPermaFrost 0 readcode=0 defaultValue=0.05",
                      "PermafrostThawDepth PermafrostThawDepth 0 readcode=0 defaultValue=0"});
    PutSection(text, "[permafrost]\n1\n10\n5\nthawdepth.stat 2001\n1e-9\n");
  }
}

// The heat model's n-factors and lower boundary, and the layered snow pack's configuration.
void ComposeSoilHeat(const Draw& d, std::string& text) {
  if (!d.On("heat")) return;
  const std::string nfactor = d.Get("nfactor");
  if (nfactor == "0.5/1.3") {
    SetValue(text, "heat_transfer", 22, "0.5");
    SetValue(text, "heat_transfer", 23, "1.3");
  }
  if (nfactor == "landuse")
    AddEntryKeys(text, "landuse_table", "nf_freezing = 0.6; nf_thawing = 1.2;");
  if (nfactor == "season") AddEntryKeys(text, "landuse_table", "n-factor = 0.4 0.6 1.2 1.0 0.4;");
  if (d.Get("bottom") == "fixed")
    AddStandardGrids(text, {"T_Lower_Boundary_Condition T_Lower_Boundary_Condition 0 readcode=0 "
                            "defaultValue=2"});
  if (d.Get("bottom") == "flux")
    AddStandardGrids(text, {"HeatFlux_Lower_Boundary_Condition HeatFlux_Lower_Boundary_Condition "
                            "0 readcode=0 defaultValue=0.06"});
  const std::string pack = d.Get("snowpack");
  if (!d.On("layered") || pack == "shipped") return;
  // [LayeredSnowModel]: 5 the fresh snow's offset (K), 6 the drainage density, 7 the liquid water
  // held per ice, 8 and 9 how much ice counts against the water's saturation in snow and soil.
  using Values = std::vector<std::string>;
  const Values values = pack == "wet"    ? Values{"-1.5", "0.1", "0.15", "1", "1"}
                        : pack == "cold" ? Values{"-4", "0.01", "0.04", "0", "0"}
                                         : Values{};
  for (std::size_t i = 0; i < values.size(); ++i)
    SetValue(text, "LayeredSnowModel", static_cast<int>(5 + i), values[i]);
  if (pack == "deep") {
    const std::string from = "layers = 3; ksat = 5e-6;", to = "layers = 5; ksat = 5e-6;";
    text.replace(text.find(from), from.size(), to);
    const std::string shape = "thickness = 0.05; DryDensity = 120;";
    text.replace(text.find(shape), shape.size(), "thickness = 0.1; DryDensity = 300;");
  }
}

void ComposeGlaciers(const Draw& d, std::string& text) {
  const std::string method = d.Get("glacier");
  if (method == "0") return;
  std::string section;
  if (method.size() == 1) {
    AddStandardGrids(text, {"ice_firn.asc ice_firn 0"});
    section = "[ice_firn]\n" + method +
              "\n3\n4\n2\n1\n0.1\n0.2\n0.1\n0.2\n10\n20\n5\n0\n0\n0\n"
              "firn.asc\n0\nqfirn.stat 2001\nice.asc\n0\nqice.stat 2001\nqglac.txt 2001\n";
  } else {
    // The shares and codes written at the end, which a warm start reads.
    AddStandardGrids(text, {"glacier_fraction.asc GlacierizedCells 0 writecode = 3 outname = "
                            "glacier_fraction_end.asc",
                            "glacier_codes.asc GlacierCodes 0 writecode = 3 outname = "
                            "glacier_codes_end.asc"});
    if (d.On("icefirn")) AddStandardGrids(text, {"ice_firn.asc ice_firn 0"});
    const std::string when = d.Get("evaluation");
    const int first = DayOfYear(d.window.first), last = DayOfYear(d.window.last);
    const Day evaluation = DateOfDay(when == "second"   ? first + 1
                                     : when == "middle" ? (first + last) / 2
                                     : when == "last"   ? last
                                                        : (first > 1 ? first - 1 : 365));
    section = GlacierEdits()[1].second;
    section = section.substr(0, section.find(kSectionsEnd));
    section.replace(section.find("[ice_firn]\n11"), 13, "[ice_firn]\n" + method);
    section.replace(
        section.find("\n2 1\n28.5"), 9,
        "\n" + std::to_string(evaluation.day) + " " + std::to_string(evaluation.month) + "\n28.5");
  }
  PutSection(text, section);
}

void ComposeSoil(const Draw& d, std::string& text) {
  if (!SoilOn(d)) {
    SetValue(text, "unsatzon_model", 1, "0");
    return;
  }
  SetValue(text, "unsatzon_model", 3, d.Get("soil"));
  if (d.On("ponding") || d.Get("lake") != "0") {
    SetValue(text, "unsatzon_model", 5, "1");
    SetValue(text, "unsatzon_model", 17, "pond.stat 2001");
  }
  if (d.On("ponding") && d.Get("lake") == "0")
    AddStandardGrids(text, {"max_ponding_storage max_ponding_storage 0 readcode=0 defaultValue=" +
                            std::string(d.Get("ponding") == "50" ? "50" : "10")});
  if (d.On("drainage")) {
    SetValue(text, "unsatzon_model", 6, "1");
    const bool deep = d.Get("drainage") == "deep";
    AddStandardGrids(text, {std::string("drainage_depth drainage_depth 0 readcode=0 defaultValue=") +
                                (deep ? "1" : "0.5"),
                            std::string("drainage_distance drainage_distance 0 readcode=0 "
                                        "defaultValue=") +
                                (deep ? "5" : "20")});
  }
  if (d.On("clay")) {
    SetValue(text, "unsatzon_model", 7, "1");
    const bool deep = d.Get("clay") == "deep";
    SetValue(text, "unsatzon_model", 8, deep ? "1e-6" : "1e-8");
    AddStandardGrids(text, {std::string("clay_depth clay_depth 0 readcode=0 defaultValue=") +
                            (deep ? "1.2" : "0.6")});
  }
  if (d.On("macropores"))
    AddEntryKeys(text, "soil_table",
                 d.Get("macropores") == "wide"
                     ? "PMacroThresh = 0.2; MacroCapacity = 30; MacroDepth = 1.2;"
                     : "PMacroThresh = 0.5; MacroCapacity = 10; MacroDepth = 0.6;");
  if (d.On("baseflow"))
    SetValue(text, "unsatzon_model", 86, d.Get("baseflow") + " " + d.Get("baseflow"));
  if (d.On("snowrunoff"))
    SetValue(text, "unsatzon_model", 87, d.Get("snowrunoff") + " " + d.Get("snowrunoff"));
  const std::string rivers = d.Get("rivers");
  if (rivers != "0") {
    SetValue(text, "unsatzon_model", 4, rivers);
    SetValue(text, "unsatzon_model", 22, "gwin.stat 2001");
    SetValue(text, "unsatzon_model", 23, "gwex.stat 2001");
    if (rivers == "2") SetValue(text, "unsatzon_model", 9, "1");
  }
  if (rivers != "0" || d.On("groundwater") || d.On("surface"))
    AddStandardGrids(text, {"river_width.asc river_width 0", "river_depth.asc river_depth 0",
                            "kolmation kolmation 0 readcode=0 defaultValue=1e-5"});
  SetValue(text, "soil_surface_groundwater_substeps", 1, d.Get("substeps"));
  // The runoff storages pass their water on within the step (what leaves a subbasin is its
  // runoff at the runoff's concentration) or hold it from step to step.
  const bool held = d.Get("runoff") == "held";
  SetValue(text, "unsatzon_model", 82, held ? "12 12" : "0.0001 0.0001");
  SetValue(text, "unsatzon_model", 83, held ? "48 48" : "0.0001 0.0001");
  if (d.On("point")) SetValue(text, "unsatzon_model", 74, "25 33");
  if (d.On("storage")) SetValue(text, "unsatzon_model", 88, d.Get("storage"));
}

void ComposeGroundwater(const Draw& d, std::string& text) {
  if (!d.On("groundwater")) return;
  const std::string variant = Variant("front-range-groundwater.ctl");
  std::vector<std::string> grids;
  std::istringstream lines(SectionText(variant, "standard_grids"));
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("gw_") || line.starts_with("aquifer_")) grids.push_back(line);
  const std::string aquifer = d.Get("aquifer");
  const std::string conductivity = aquifer.substr(2);
  for (std::string& line : grids) {
    if (line.starts_with("gw_k_x_1") || line.starts_with("gw_k_y_1"))
      line.replace(line.find("1.2e-5"), 6, conductivity);
    if (line.starts_with("gw_boundary_fix_q_1 ") && d.On("boundary"))
      line.replace(line.find("-9999"), 5, d.Get("boundary") == "in" ? "2e-9" : "-1e-9");
  }
  AddStandardGrids(text, grids);
  std::string section = SectionText(variant, "groundwater_flow");
  PutSection(text, section);
  SetValue(text, "groundwater_flow", 3, d.Get("groundwater"));
  if (aquifer[0] == '1') {
    SetValue(text, "groundwater_flow", 9, "1");
    // Layer 2's eight lines go.
    for (int n = 0; n < 8; ++n) SetValue(text, "groundwater_flow", 20, "# layer 2");
  }
  if (aquifer[0] == '3') {
    SetValue(text, "groundwater_flow", 9, "3");
    InsertAfterValue(text, "groundwater_flow", 28,
                     "gwhead3.dbl\n0\ngwfluxx3.dbl\n0\ngwfluxy3.dbl\n0\ngwbalance3.dbl\n0\n");
    AddStandardGrids(
        text, {"aquifer_thickness_3 aquifer_thickness_3 0 readcode=0 defaultValue=20",
               "gw_k_x_3 gw_k_x_3 0 readcode=0 defaultValue=1e-7",
               "gw_k_y_3 gw_k_y_3 0 readcode=0 defaultValue=1e-7",
               "gw_storage_coeff_3 gw_storage_coeff_3 0 readcode=0 defaultValue=0.01",
               "gw_kolmation_2 gw_kolmation_2 0 readcode=0 defaultValue=2e-7",
               "gw_boundary_fix_h_3 gw_boundary_fix_h_3 0 readcode=0 defaultValue=-9999",
               "gw_boundary_fix_q_3 gw_boundary_fix_q_3 0 readcode=0 defaultValue=-9999"});
  }
  const std::string solver = d.Get("solver");
  SetValue(text, "groundwater_flow", 5, solver.substr(0, solver.find('/')));
  SetValue(text, "groundwater_flow", 7, solver.substr(solver.find('/') + 1));
  if (d.Get("lake") != "0") SetValue(text, "groundwater_flow", 12, "1");
}

void ComposeSurface(const Draw& d, std::string& text) {
  if (d.On("silting") || d.On("surface"))
    AddVariableGrid(text, "surface_storage.asc SurfStorSiltingUp 0 0", 0, 0);
  if (d.On("silting")) {
    const std::string variant = Variant("front-range-silting.ctl");
    std::string section = SectionText(variant, "SiltingUpModel");
    PutSection(text, section);
    SetValue(text, "SiltingUpModel", 3, d.Get("silting"));
    if (d.Get("silting") == "2")
      InsertAfterValue(text, "SiltingUpModel", 18,
                       "65.0\n12.2\n0.52\n-0.64\n0.013\n-1.03\n0.7\n-0.19\n");
    AddEntryKeys(text, "landuse_table",
                 "SoilTillage = 60 280; SR_ResidCovrg = 0.3 0.1 0.05 0.2 0.3;");
    AddEntryKeys(text, "soil_table",
                 "GrainSizeDist = 0.40 0.40 0.20 0 0 0 0; SU_PAR01 = 2.0; SU_PAR02 = 0.5; "
                 "SU_PAR03 = 0.52; SU_PAR04 = -0.64; SU_PAR05 = 0.05; SU_PAR06 = -1.03; "
                 "SU_PAR07 = 0.7; SU_PAR08 = -0.19;");
  }
  if (d.On("surface")) {
    PutSection(text,
               SectionText(Variant("front-range-surface-routing.ctl"), "SurfaceRoutingModel"));
    SetValue(text, "SurfaceRoutingModel", 3, d.Get("surface"));
  }
}

void ComposeRouting(const Draw& d, std::string& text) {
  const std::string lake = d.Get("lake");
  if (!RoutingOn(d)) SetValue(text, "routing_model", 1, "0");
  const std::string rule5 =
      SectionText(Variant("front-range-lake.ctl"), "abstraction_rule_reservoir_5");
  const std::string c0 = " C0 =" + Zeros(9) + "\n";
  if (lake != "0") {
    AddStandardGrids(text, {"lake_codes.asc lake_codes 0"});
    if (lake == "routing") {
      AddVariableGrid(text, "lake_ponding_max.asc max_ponding_storage 0 15", 0, 1);
      AddRoutingItems(text, 5, "SP 5 file = lake5.txt V0 = 0" + c0);
      PutSection(text, "[lake_model]\n1\n1\n0.08\n0.001\n1\n");
      PutSection(text, rule5);
    } else {
      AddStandardGrids(text, {"lake_ponding_max.asc max_ponding_storage 0"});
      PutSection(text, std::string("[lake_model]\n1\n") + lake.back() + "\n0.08\n0.001\n");
    }
  }
  const std::string reservoir = d.Get("reservoir");
  std::string rule4 = rule5;
  rule4.replace(rule4.find("reservoir_5"), 11, "reservoir_4");
  if (reservoir != "0" && reservoir != "four" && lake != "routing") {
    AddRoutingItems(text, 5, "SP 5 file = res5.txt V0 = 50000" + c0);
    PutSection(text, rule5);
  }
  if (reservoir == "window") {
    std::string rule = SectionText(text, "abstraction_rule_reservoir_5");
    rule.insert(rule.find("113000"),
                "");  // the classes stay; the window follows them
    rule = rule.substr(0, rule.find_last_not_of("\n") + 1) +
           "\nTargetCap = 1 1 1 1 1\nWeekDays = 1357 1357 1357 1357 1357\n"
           "start_hour = 0 0 0 0 0\nstop_hour = 23 23 23 23 23\n";
    PutSection(text, rule);
  }
  if (reservoir == "two" || reservoir == "four" || d.Get("abstraction") == "reservoir_rule") {
    AddRoutingItems(text, 4, "SP 4 file = res4.txt V0 = 20000" + c0);
    PutSection(text, rule4);
  }
  const std::string abstraction = d.Get("abstraction");
  const std::string intern_inflow = "ZL 1 = intern " + kChannel + "\n";
  // The fixed rule's Qmin, fraction and Qmax, and their unit.
  std::string take = d.Get("abstake") == "mm" ? "0.2/0.3/1" : d.Get("abstake");
  std::replace(take.begin(), take.end(), '/', ' ');
  take += d.Get("abstake") == "mm" ? " mm" : " m3/s";
  if (abstraction == "extern" || abstraction == "two") {
    AddRoutingItems(text, 4, "AL 1 = extern abs1.txt " + take + "\n");
    // Two together: the second from a file at the basin's outlet.
    if (abstraction == "two")
      AddRoutingItems(
          text, 5, "AL 2 = from_file input_file = abstraction.txt column = 0 output = abs2.txt\n");
  } else if (abstraction == "intern") {
    AddRoutingItems(text, 4, "AL 1 = intern " + take + "\n");
    AddRoutingItems(text, 5, intern_inflow);
  } else if (abstraction == "file") {
    AddRoutingItems(text, 4,
                    "AL 1 = from_file input_file = abstraction.txt column = 0 output = abs1.txt\n");
  } else if (abstraction != "0") {
    AddRoutingItems(text, 4,
                    abstraction == "extern_rule"   ? "AL 1 = extern_with_rule abs1.txt\n"
                    : abstraction == "intern_rule" ? "AL 1 = intern_with_rule\n"
                                                   : "AL 1 = intern_with_rule_from_reservoir\n");
    if (abstraction != "extern_rule") AddRoutingItems(text, 5, intern_inflow);
    PutSection(
        text, SectionText(Variant("front-range-irrigation.ctl"), "abstraction_rule_abstraction_1"));
  }
  if (d.On("inflow")) {
    // The inflows of a routing section are numbered 1, 2, ... (an internal one may be there).
    int inflows = 0;
    for (std::size_t at = text.find("\nZL "); at != std::string::npos;
         at = text.find("\nZL ", at + 1))
      ++inflows;
    const std::string z = std::to_string(inflows + 1);
    // The start row counts the data rows of inflow.txt (its header line is not a row): row 1
    // holds 1 January, so a window from 1 January finds its date.
    AddRoutingItems(
        text, 5,
        "ZL " + z +
            (d.Get("inflow") == "constant" ? " = constant 0.05 " : " = extern inflow.txt 1 5 ") +
            kChannel + "\n");
  }
  // Flow control 2 is a way of running the routing: it cannot switch routing on.
  if (d.On("observed") && RoutingOn(d)) {
    SetValue(text, "routing_model", 1, "2");
    SetValue(text, "routing_model", 5, "observed.txt");
    SetValue(text, "routing_model", 6, "1\n4 1");
  }
  if (d.On("sumtrib")) {
    const std::string pair =
        "OL 1 (kh=0.5, kv=2, Bh=1.4, Bv=8, Th=0.47, Mh=20, Mv=10, I=0.063, L=524, A=1.69)\n"
        "OL 2 (kh=0.5, kv=2, Bh=2.5, Bv=12, Th=0.76, Mh=20, Mv=10, I=0.063, L=524, A=5.61)";
    const std::size_t at = text.find(pair);
    if (at != std::string::npos)
      text.replace(at, pair.size(),
                   "SUMTRIB 1&2 (kh=0.5, kv=2, Bh=2.5, Bv=12, Th=0.76, Mh=20, Mv=10, I=0.063, "
                   "L=524, A=7.30)");
  }
  if (RoutingOn(d)) SetValue(text, "routing_model", 3, "1.0 1000.0 50 " + d.Get("routesteps"));
}

// The routed discharge in mm per step over the area each outlet drains: the observed discharges
// at subbasin 4's outlet (7.54 km2) in that unit too.
void ComposeDischargeUnit(const Draw& d, const fs::path& dir, std::string& text) {
  if (d.Get("discharge") != "mm") return;
  SetValue(text, "output_interval", 3, "0");
  const fs::path path = dir / "observed.txt";
  std::string table;
  const double mm = d.Step() * 60.0 / 7.54e6 * 1000;  // mm per step of 1 m3/s
  for (const std::string& row : SplitLines(ReadFile(path.string()))) {
    std::istringstream in(row);
    std::string year, month, day, hour, value;
    if (!(in >> year >> month >> day >> hour >> value) || !std::isdigit(year[0])) {
      table += row + "\n";
      continue;
    }
    char converted[32];
    std::snprintf(converted, sizeof converted, "%.6g", std::stod(value) * mm);
    table += year + " " + month + " " + day + " " + hour + " " + converted + "\n";
  }
  WriteFile(path.string(), table);
}

void ComposeIrrigation(const Draw& d, std::string& text) {
  const std::string irrigation = d.Get("irrigation");
  if (irrigation == "0") return;
  const std::string variant = Variant("front-range-irrigation.ctl");
  AddStandardGrids(text, {"irrigation.asc irrigation_codes 0"});
  PutSection(text, SectionText(variant, "irrigation"));
  const char method = irrigation[0], origin = irrigation[2];
  const Day second = DateOfDay(DayOfYear(d.window.first) + 1);
  const std::string date = std::to_string(second.month) + " " + std::to_string(second.day);
  std::string entry = std::string("12 meadow ") + method + " " + origin + " ";
  const std::string dose = d.Get("irrdose");
  if (dose != "shipped") {
    const auto on = [&](int offset) {
      const Day day = DateOfDay(DayOfYear(d.window.first) + offset);
      return std::to_string(day.month) + " " + std::to_string(day.day);
    };
    const bool many = dose == "many";
    if (method == '1')
      entry += many ? "1 0.33\n3\n" + on(0) + " 12\n" + on(1) + " 2\n" + on(2) + " 8\n"
                    : "1 0.33\n1\n" + on(0) + " 30\n";
    if (method == '2')
      entry += many ? "1 0.33 starting from " + on(0) + " with 2 mm to " + on(6) +
                          " with 14 mm every 2 days\n"
                    : "1 0.33 starting from " + on(-1) + " with 6 mm 5 times every 1 days " +
                          "starting from " + on(Days(d.window) - 1) +
                          " with 10 mm 1 times every 3 days\n";
    if (method == '3') entry += many ? "0.5 0.1\n" : "5 1\n";
    if (method == '4') entry += many ? "0.95\n" : "0.5\n";
    PutSection(text, "[irrigation_table]\n1\n" + entry);
    return;
  }
  if (method == '1') entry += "1 0.33\n2\n" + date + " 5\n" + date + " 3\n";
  if (method == '2') entry += "1 0.33 starting from " + date + " with 4 mm 3 times every 2 days\n";
  if (method == '3') entry += "1 0.33\n";
  if (method == '4') entry += "0.8\n";
  PutSection(text, "[irrigation_table]\n1\n" + entry);
}

void ComposeAssimilation(const Draw& d, std::string& text) {
  const std::string rules = d.Get("assimilation"), other = d.Get("assimgrid");
  if (rules == "0" && other == "0") return;
  const bool lake = rules == "lake" || rules == "both", snow = rules != "lake" && rules != "0";
  // The survey set into the solid snow alone, or into the total that the split divides.
  const bool solid = d.Get("survey") == "solid";
  std::string section = "[data_assimilation]\n1\n1440\n" +
                        std::to_string(lake + snow + (other != "0")) + "\n";
  if (other != "0")
    section += "grid {\n  grid-ID = " +
               std::string(other == "ponding"  ? "ponding_storage"
                           : other == "leaves" ? "interception_storage1"
                           : other == "liquid" ? "snowstorage_liquid"
                           : other == "table"  ? "groundwater_distance"
                                               : "theta") +
               ";\n  listfilename = " + other + "_list.txt;\n}\n";
  if (lake)
    section +=
        "reservoir { lake-ID = 5; AverageWaterTable = 0; listfilename = lake_levels.txt; options "
        "{ format = velorn; skiprows = 0; } }\n";
  if (snow)
    section +=
        "grid {\n  grid-ID = " + std::string(solid ? "snowstorage_solid" : "snow_storage_total") +
        ";\n  listfilename = snow_survey_list.txt;\n"
        "  options { split-into-liquid-and-solid = " +
        std::string(rules == "snow" || solid ? "false" : "true") +
        "; default-liquid-percentage = " + (solid ? "5" : d.Get("survey")) + "; " +
        (Dynamic(d) ? "weighing-by-glacierized-fraction = true; " : "") + "}\n}\n";
  PutSection(text, section);
}

// Method 9: a grid of the precipitation per record of the gauge's table in the window (the
// table has a record per step), the gauge's value times 0.6 in the basin's westernmost column
// to 1.4 in its easternmost, and their list.
void PrecipitationGrids(const Draw& d, const fs::path& dir, std::string& text) {
  SetValue(text, "precipitation", 1, "9");
  SetValue(text, "precipitation", 2, "precipitation_grids.txt");
  SetValue(text, "precipitation", 3, "8.916787e-5 0.0767528404 127 6.00e-006 0.098");
  const GridFile zones = ReadGridFile((dir / "zones.asc").string());
  const auto columns = static_cast<std::size_t>(zones.geometry.ncols);
  const std::vector<std::string> lines =
      SplitLines(ReadFile((dir / "stations/precipitation.txt").string()));
  std::string list;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    if (n < 5) {
      list += lines[n] + "\n";
      continue;
    }
    std::istringstream in(lines[n]);
    int year = 0, month = 0, day = 0, hour = 0;
    double value = 0;
    if (!(in >> year >> month >> day >> hour >> value)) continue;
    const int n_day = DayOfYear({day, month, year});
    if (n_day < DayOfYear(d.window.first) || n_day > DayOfYear(d.window.last)) continue;
    char name[48];
    std::snprintf(name, sizeof name, "precipitation_%04d%02d%02d_%02d.asc", year, month, day, hour);
    GridFile grid = zones;
    for (std::size_t i = 0; i < grid.values.size(); ++i)
      if (grid.values[i] > -9999)
        grid.values[i] = value * (0.6 + 0.8 * static_cast<double>(i % columns) /
                                            static_cast<double>(columns - 1));
    WriteFile((dir / name).string(), AsciiGridText(grid));
    list += std::to_string(year) + " " + std::to_string(month) + " " + std::to_string(day) + " " +
            std::to_string(hour) + " " + name + "\n";
  }
  WriteFile((dir / "precipitation_grids.txt").string(), list);
}

// ---- Meteorological inputs: station meshes, regressions, superposition, further variables ----

// A station of a written table.
struct Station {
  double altitude, x, y;
};

// The records of the example's table of `variable` (its first station's column): the date (the
// four leading words) and the value.
std::vector<std::pair<std::string, double>> StationRecords(const fs::path& dir,
                                                           const std::string& variable) {
  std::vector<std::pair<std::string, double>> records;
  int line = 0;
  for (const std::string& row :
       SplitLines(ReadFile((dir / "stations" / (variable + ".txt")).string()))) {
    if (++line <= 5 || row.empty()) continue;
    std::istringstream in(row);
    std::string year, month, day, hour;
    double value = 0;
    if (in >> year >> month >> day >> hour >> value)
      records.emplace_back(year + " " + month + " " + day + " " + hour, value);
  }
  return records;
}

// A station table of `stations` in "stations/<name>": value(s, v, date) for station s where the
// example's record holds v (a missing value stays missing).
void WriteStationTable(
    const fs::path& dir, const std::string& variable, const std::string& name,
    const std::vector<Station>& stations,
    const std::function<double(std::size_t, double, const std::string&)>& value) {
  std::string table = "stations of " + variable + "\nstation altitude in m";
  for (const Station& s : stations) table += " " + std::to_string(s.altitude);
  table += "\nstation x in m";
  for (const Station& s : stations) table += " " + std::to_string(s.x);
  table += "\nstation y in m";
  for (const Station& s : stations) table += " " + std::to_string(s.y);
  table += "\nYYYY MM DD HH";
  for (std::size_t s = 0; s < stations.size(); ++s) table += " S" + std::to_string(s + 1);
  table += "\n";
  for (const auto& [date, v] : StationRecords(dir, variable)) {
    table += date;
    for (std::size_t s = 0; s < stations.size(); ++s) {
      char word[32];
      std::snprintf(word, sizeof word, " %.6g", v <= -9999 ? -9999.0 : value(s, v, date));
      table += word;
    }
    table += "\n";
  }
  WriteFile((dir / "stations" / name).string(), table);
}

// Nine stations on a 3 x 3 mesh that encloses the basin (columns 3.5 km apart, rows 2.7 km),
// from 2300 m in the south-west to 3100 m in the north-east.
std::vector<Station> MeshStations() {
  std::vector<Station> mesh;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      mesh.push_back({2300.0 + 150 * r + 250 * c, 1500.0 + 3500 * c, 4500.0 + 2700 * r});
  return mesh;
}

constexpr double kGaugeAltitude = 2415.9;

// The value at mesh station s of a record v of the example's station: the temperature falls by
// 6.5 K per km and is 0.3 K warmer a column further east, precipitation is 0.8 to 1.4 times the
// gauge's, the other variables 0.85 to 1.15 times (humidity and sunshine at most 1).
double MeshValue(const std::string& variable, std::size_t s, double v) {
  const Station station = MeshStations()[s];
  if (variable == "temperature")
    return v - 0.0065 * (station.altitude - kGaugeAltitude) +
           0.3 * (static_cast<double>(s % 3) - 1);
  if (variable == "precipitation") return v * (0.8 + 0.075 * static_cast<double>(s));
  const double scaled = v * (0.85 + 0.0375 * static_cast<double>(s));
  return variable == "air_humidity" || variable == "sunshine_duration" ? std::min(scaled, 1.0)
                                                                       : scaled;
}

// The altitude gradient (per m) of a variable at a record v: the lapse rate of the temperature,
// 0.02 % of the value per m for precipitation, 0.3 m/s per km for the wind, none for the others.
double Gradient(const std::string& variable, double v) {
  return variable == "temperature"     ? -0.0065
         : variable == "precipitation" ? 0.0002 * v
         : variable == "wind_speed"    ? 0.0003
                                       : 0.0;
}

// The section of `variable` interpolated by `method` (2, 3, 5 to 8, 10 or 11) from the mesh's
// tables: methods 6 and 8 from a table of intercepts (the value at sea level) and one of
// gradients, methods 2 and 3 with a regression file of the gauge's value moved along the
// gradient (one line over all altitudes, no plane of residuals).
void MeshInterpolation(const fs::path& dir, std::string& text, const std::string& variable,
                       const std::string& method) {
  const std::vector<Station> mesh = MeshStations();
  const std::string table = variable + "_mesh.txt";
  const bool gradients = method == "6" || method == "8";
  WriteStationTable(dir, variable, table, mesh, [&](std::size_t s, double v, const std::string&) {
    const double value = MeshValue(variable, s, v);
    return gradients ? value - Gradient(variable, value) * mesh[s].altitude : value;
  });
  SetValue(text, variable, 1, method);
  SetValue(text, variable, 2, "stations/" + table);
  if (gradients) {
    WriteStationTable(dir, variable, variable + "_gradient.txt", mesh,
                      [&](std::size_t s, double v, const std::string&) {
                        return Gradient(variable, MeshValue(variable, s, v));
                      });
    InsertAfterValue(text, variable, 2, "stations/" + variable + "_gradient.txt\n");
  }
  // (The value lines after the station tables count from 3 + gradients.)
  const int at = gradients ? 1 : 0;
  if (method == "2" || method == "3") {
    std::string regression = "jr mo dd hh B1 A1 ZL B2 A2 ZU B3 A3 c0 cx cy\n";
    for (const auto& [date, v] : StationRecords(dir, variable)) {
      const double g = Gradient(variable, v), b = v - g * kGaugeAltitude;
      char line[256];
      std::snprintf(line, sizeof line, "%s %.9g %.9g 2000 %.9g %.9g 3500 %.9g %.9g -99999 0 0\n",
                    date.c_str(), b, g, b, g, b, g);
      regression += line;
    }
    WriteFile((dir / ("regression_" + variable + ".txt")).string(), regression);
    SetValue(text, variable, 3 + at, "regression_" + variable + ".txt");
  }
  if (method == "10" || method == "11") SetValue(text, variable, 3, "2700 3600 100 0 200");
  // Method 3: half of inverse distances; method 11: inverse distances of weight 1.5 on an
  // ellipse whose main axis points 30 degrees north of east, its minor axis 0.6 of it.
  if (method == "3") SetValue(text, variable, 10 + at, "0.5");
  if (method == "11") {
    SetValue(text, variable, 9, "1.5");
    SetValue(text, variable, 12, "30");
    SetValue(text, variable, 13, "0.6");
  }
}

// The interpolated variable `variable` renamed "<variable>_raw" (its grid and table too), and the
// regional superposition that makes `variable` of it: `weight` times the raw grid in the one
// region of the basin.
void Superposition(std::string& text, const std::string& variable, const std::string& weight) {
  const std::string raw = variable + "_raw";
  std::string section = SectionText(text, variable);
  section.replace(0, variable.size() + 2, "[" + raw + "]");
  text.replace(text.find(SectionText(text, variable)), SectionText(text, variable).size(), section);
  const std::vector<std::size_t> names = ValueLines(text, "meteo_names");
  for (std::size_t n = 1; n <= names.size(); ++n)
    if (Value(text, "meteo_names", static_cast<int>(n)) == variable)
      SetValue(text, "meteo_names", static_cast<int>(n), raw);
  const std::string stat =
      Value(text, raw, 7 + (Value(text, raw, 1) == "6" || Value(text, raw, 1) == "8"));
  SetValue(text, raw, 7 + (Value(text, raw, 1) == "6" || Value(text, raw, 1) == "8"),
           raw + ".stat 0");
  PutSection(text, "[RegionalSuperposition]\n1\n" + Value(text, "RegionalSuperposition", 2) +
                       "\nNumberOfEntities = 1;\n" + variable + " {\n  entityinputgrid = " + raw +
                       "; regions = 1; weights = " + weight + ";\n  outputgrid = " + variable +
                       "_superposed.dbl; writecode = 0; outputtable = " + stat +
                       "; statcode = 2001;\n}\n");
}

// A variable interpolated from one station at the gauge (the nearest station), its table the
// value of the example's table of `from` on each date, its result within `limits` (the four
// limit values, a line each), added to [meteo_names].
void AddStationVariable(const fs::path& dir, std::string& text, const std::string& name,
                        const std::string& from, const std::string& limits,
                        const std::function<double(double, const std::string&)>& value) {
  const Station gauge{kGaugeAltitude, 7999.0, 7271.0};
  WriteStationTable(dir, from, name + ".txt", {gauge},
                    [&](std::size_t, double v, const std::string& date) { return value(v, date); });
  PutSection(text, "[" + name + "]\n4\nstations/" + name + ".txt\nnone\n" + name +
                       ".dbl\n0\n1.0\n" + name + ".stat 0\n9999\n2.0\n0.0\n50000\n0\n1.0\n" +
                       limits + "0\n\n");
  const int names = static_cast<int>(ValueLines(text, "meteo_names").size());
  InsertAfterValue(text, "meteo_names", names, name + "\n");
  SetValue(text, "meteo_data_count", 1, std::to_string(names + 1));
}

std::map<std::string, double> Temperatures(const fs::path& dir) {
  std::map<std::string, double> temperature;
  for (const auto& [date, t] : StationRecords(dir, "temperature")) temperature[date] = t;
  return temperature;
}

// Further variables that Penman-Monteith reads when they are there (the snow model's method 4
// needs the vapour pressure): the vapour pressure (hPa) of the humidity at the temperature, the
// net radiation (Wh/m2, negative on dark winter days) from the global radiation, the air
// pressure (hPa) of the gauge's altitude.
void FurtherVariables(const fs::path& dir, std::string& text, const std::string& which) {
  std::map<std::string, double> temperature = Temperatures(dir);
  if (which == "vapor" || which == "all")
    AddStationVariable(dir, text, "vapor_pressure", "air_humidity", "0.1\n0.1\n100\n100\n",
                       [&](double rh, const std::string& date) {
                         const double t = temperature.contains(date) ? temperature[date] : 0.0;
                         return rh * 6.1078 * std::exp(17.269 * t / (t + 237.3));
                       });
  if (which == "net" || which == "all")
    AddStationVariable(dir, text, "net_radiation", "global_radiation", "-1e5\n-1e5\n1e5\n1e5\n",
                       [](double g, const std::string&) { return 0.6 * g - 40.0; });
  if (which == "pressure" || which == "all")
    AddStationVariable(dir, text, "air_pressure", "temperature", "500\n500\n1100\n1100\n",
                       [](double t, const std::string&) { return 753.0 + 0.3 * t; });
}

// Evapotranspiration off: the potential rates that the interception model and the soil zone
// read come from a station (mm per step of the record: 0.1 mm per degC above -5 degC for the
// transpiration and the interception, half of it for the soil), per vegetation layer; the real
// rates they write are grids of their own, the soil zone's total with a table ("etr0.stat").
void EvapotranspirationOff(const Draw& d, const fs::path& dir, std::string& text) {
  const auto rate = [](double factor) {
    return [factor](double t, const std::string&) { return factor * std::max(0.0, 0.1 * (t + 5)); };
  };
  const int layers = d.On("leaflayers") ? 2 : 1;
  for (int i = 0; i <= layers; ++i) {
    const std::string n = std::to_string(i);
    AddStationVariable(dir, text, "pot_transpiration" + n, "temperature", "0\n0\n1e3\n1e3\n",
                       rate(1.0));
    AddStationVariable(dir, text, "potential_InterceptionEvap" + n, "temperature",
                       "0\n0\n1e3\n1e3\n", rate(1.0));
    AddStandardGrids(text, {"real_transpiration" + n + " real_transpiration" + n +
                            " 0 readcode=0 defaultValue=0" +
                            (i == 0 ? " statfile=etr0.stat statcode=2001" : "")});
  }
  AddStationVariable(dir, text, "potential_evaporation", "temperature", "0\n0\n1e3\n1e3\n",
                     rate(0.5));
  AddStandardGrids(text, {"real_evaporation real_evaporation 0 readcode=0 defaultValue=0 "
                          "statfile=evar.stat statcode=2001"});
  // The energy balance of the snow and of the canopy's snow reads the radiation the
  // evapotranspiration model corrects (here the station's) and its cloudiness (here a half).
  AddStationVariable(dir, text, "AspectCorrectedGlobalRadiation", "global_radiation",
                     "0\n0\n1e5\n1e5\n", [](double g, const std::string&) { return g; });
  AddStandardGrids(text, {"cloudiness cloudiness 0 readcode=0 defaultValue=0.5"});
  // What the snow's energy balance sublimates, with a table ("snowevap.stat").
  AddStandardGrids(text, {"snow_evaporation snow_evaporation 0 readcode=0 defaultValue=0 "
                          "statfile=snowevap.stat statcode=2001"});
}

// The meteorological options of a draw, on the composed text.
void ComposeMeteo(const Draw& d, const fs::path& dir, std::string& text) {
  const std::string meteo = d.Get("meteo");
  if (meteo != "0")
    for (const char* variable :
         {"temperature", "wind_speed", "air_humidity", "global_radiation", "sunshine_duration"})
      MeshInterpolation(dir, text, variable, meteo);
  const std::string precipitation = d.Get("precipitation");
  if (precipitation.size() == 1 && precipitation != "1" && precipitation != "4" &&
      precipitation != "9")
    MeshInterpolation(dir, text, "precipitation", precipitation);
  if (d.On("inputs")) FurtherVariables(dir, text, d.Get("inputs"));
  if (d.Get("et") == "0") EvapotranspirationOff(d, dir, text);
  const std::string superposition = d.Get("superposition");
  if (superposition != "0")
    Superposition(text, superposition,
                  superposition == "temperature"  ? "1.0"
                  : superposition == "wind_speed" ? "0.9"
                                                  : "1.2");
}

// The outside program's side of the first exchange: the water table (m) 1 m below the
// surface of every cell and the synchronisation file; and the section that couples it.
void ComposeCoupling(const Draw& d, const fs::path& dir, std::string& text) {
  if (!d.On("coupling")) return;
  GridFile table = ReadGridFile((dir / "dem.asc").string());
  for (double& z : table.values) z = z < -9998 ? -9999 : z - 1.0;
  WriteFile((dir / "gw_table.asc").string(), AsciiGridText(table));
  WriteFile((dir / "sync.txt").string(),
            d.Get("coupling") == "save" ? "Command=SaveAndContinue;\n" : "Command=Continue;\n");
  PutSection(text, "[ExternalCoupling]\n1\n./sync.txt\n5\n" +
                       std::string(d.Get("coupling") == "day" ? "D" : "I") + "\n" +
                       std::to_string(d.Step()) + "\n" +
                       (SoilOn(d) ? "1\ngw_table.asc GWTableExtern 0 2\n" : "0\n") +
                       "1\nto_partner_precipitation.asc precipitation Sum\n"
                       "1\nto_partner_precipitation.txt precipitation Mean\n"
                       "./to_partner.txt\nCommand=Continue;\n");
}

}  // namespace

void SetIntervals(const Draw& d, std::string& text) {
  const std::string which = d.Get("interval");
  if (which == "step") return;
  const std::string twice = std::to_string(2 * d.Step());
  for (const char* section :
       {"radiation_correction", "RegionalSuperposition", "evapotranspiration", "snow_model",
        "interception_model", "unsatzon_model", "routing_model", "special_output",
        "groundwater_flow", "irrigation", "SiltingUpModel", "SurfaceRoutingModel"})
    if (which == "all" || (which == "snow" && section == std::string("snow_model")) ||
        (which == "soil" && section == std::string("unsatzon_model")))
      SetValue(text, section, 2, twice);
}

std::string GridForm(const std::string& text) {
  // The keyword lines (a comment may name them too).
  const auto on = [&](const char* key) {
    return text.find("\n" + std::string(key) + " = 1") != std::string::npos;
  };
  return on("WriteNetcdfGrids")   ? "netcdf"
         : on("WriteAsciiGrids")  ? "ascii"
         : on("WriteDoubleGrids") ? "double"
                                  : "float";
}

void SetGridForm(std::string& text, const std::string& form) {
  for (const auto& [key, on] : {std::pair{"\nWriteAsciiGrids = ", form == "ascii"},
                                {"\nWriteDoubleGrids = ", form == "double"},
                                {"\nWriteNetcdfGrids = ", form == "netcdf"}}) {
    const std::size_t at = text.find(key);
    if (at != std::string::npos) text[at + std::strlen(key)] = on ? '1' : '0';
  }
}

std::string SecondControl(const std::string& text) {
  std::string second = text;
  const std::string key = "DefaultOutputDirectory = output/";
  const std::size_t at = second.find(key);
  if (at != std::string::npos) second.replace(at, key.size(), "DefaultOutputDirectory = output2/");
  return second;
}

void AnswerExchanges(const fs::path& dir, const std::string& command, const std::atomic<bool>& stop,
                     int answers, const std::string& then) {
  // The model deletes the synchronisation file when it has read it and waits for the next one
  // at the next exchange: the answers count the exchanges.
  for (int answer = 1; !stop;) {
    if (fs::exists(dir / "to_partner.txt")) {
      fs::remove(dir / "to_partner.txt");
      WriteFileWhole((dir / "sync.txt").string(),
                     answers >= 0 && answer >= answers ? then : command);
      ++answer;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// The run's steps are exchanges ("ending" exchanges every step); the answer read at the start
// of step k + 1 is the k-th.
void PlanPartnerEnding(const Draw& d, const fs::path& dir) {
  if (!d.On("coupling") || !d.On("ending")) return;
  const int per_day = 1440 / d.Step();
  const bool finish = d.Get("ending") == "finish";
  const int answers = per_day * (Days(d.window) - 1) - (finish ? 1 : 0);
  const std::string command = finish ? "Command=Finish;\n" : "Command=StopWithoutSaving;\n";
  WriteFile((dir / "partner_ends.txt").string(), std::to_string(answers) + " " + command);
  if (answers == 0) WriteFile((dir / "sync.txt").string(), command);
}

Window RanWindow(const Draw& d) {
  if (!d.On("coupling") || d.Get("ending") != "finish") return d.window;
  return {d.window.first, DateOfDay(DayOfYear(d.window.last) - 1)};
}

std::string Compose(const Draw& d, const fs::path& dir) {
  std::string text = ReadFile((dir / "front-range.ctl").string());
  ComposeTracers(d, text);
  ComposeAboveSoil(d, text);
  ComposePhenology(d, text);
  ComposeSoilHeat(d, text);
  ComposeGlaciers(d, text);
  ComposeSoil(d, text);
  ComposeGroundwater(d, text);
  ComposeSurface(d, text);
  ComposeRouting(d, text);
  ComposeDischargeUnit(d, dir, text);
  ComposeIrrigation(d, text);
  ComposeAssimilation(d, text);
  ComposeCoupling(d, dir, text);
  SetGridForm(text, d.Get("grids"));
  if (d.On("stations")) {
    // The second gauge's column after the first (altitude, x and y after the four leading
    // words of the header lines; a value after each record's).
    const fs::path path = dir / "stations/precipitation.txt";
    std::string table;
    int line = 0;
    for (const std::string& row : SplitLines(ReadFile(path.string()))) {
      ++line;
      std::string added = row;
      if (line == 2) added += " 2650.0";
      if (line == 3) added += " 3500.0";
      if (line == 4) added += " 7000.0";
      if (line == 5) added += " West";
      if (line > 5 && !row.empty()) {
        std::istringstream in(row);
        std::string year, month, day, hour, value;
        in >> year >> month >> day >> hour >> value;
        char wetter[32];
        std::snprintf(wetter, sizeof wetter, " %.6g", 1.6 * std::stod(value));
        added += wetter;
      }
      table += added + "\n";
    }
    WriteFile(path.string(), table);
  }
  if (d.On("correction")) SetValue(text, "precipitation_correction", 1, "0");
  const std::string precipitation = d.Get("precipitation");
  if (precipitation == "4") SetValue(text, "precipitation", 1, "4");
  if (precipitation == "10" || precipitation == "11" || precipitation == "12") {
    SetValue(text, "precipitation", 1, precipitation);
    SetValue(text, "precipitation", 3,
             precipitation == "12" ? "0.0002 P-type" : "2000 3600 100 0 500");
  }
  if (d.Get("precipitation") == "9") PrecipitationGrids(d, dir, text);
  ComposeMeteo(d, dir, text);
  if (d.On("storage") && SoilOn(d)) {
    // The start's table depth (m, negative below the surface), as an ASCII grid (the model
    // knows a grid's form by its first bytes).
    GridFile depth = ReadGridFile((dir / "zones.asc").string());
    GridFile pond = depth;
    for (double& g : depth.values) g = g < -9998 ? -9999 : -2.0;
    WriteFile((dir / "gwstand.dbl").string(), AsciiGridText(depth));
    // With ponding the start's ponds as well: none.
    for (double& g : pond.values) g = g < -9998 ? -9999 : 0.0;
    WriteFile((dir / "pond.dbl").string(), AsciiGridText(pond));
  }
  return text;
}

// ---- Inputs --------------------------------------------------------------------------------

namespace {

std::string Record(Day day, int hour, const std::string& value) {
  return std::to_string(day.year) + " " + std::to_string(day.month) + " " +
         std::to_string(day.day) + " " + std::to_string(hour) + " " + value + "\n";
}

// 2020's records after 2019's in every station table: 2019's again (29 February's are 28
// February's), for a window that runs on past New Year's Eve.
void StationsInto2020(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir / "stations")) {
    std::string table = ReadFile(entry.path().string()), added;
    for (const std::string& line : SplitLines(table)) {
      if (line.starts_with("2019 ")) added += "2020" + line.substr(4) + "\n";
      if (line.starts_with("2019 02 28 ")) added += "2020 02 29" + line.substr(10) + "\n";
    }
    WriteFile(entry.path().string(), table + (table.ends_with('\n') ? "" : "\n") + added);
  }
}

}  // namespace

void PrepareInputs(const fs::path& dir, const Window& window, int step_minutes) {
  const int last = DayOfYear({31, 12, window.last.year});
  if (window.last.year > 2019) StationsInto2020(dir);
  for (const char* file :
       {"gw_boundary_fix_h_1.asc", "river_width.asc", "river_depth.asc", "lake_codes.asc",
        "lake_ponding_max.asc", "snow_survey.asc", "irrigation.asc"})
    fs::copy_file(ExampleDir() / file, dir / file, fs::copy_options::overwrite_existing);
  WriteGlacierGrids(dir);
  // The static glaciers' ice (1) and firn (2) where the dynamic ones have glacier shares.
  GridFile shares = ReadGridFile((dir / "glacier_fraction.asc").string());
  for (double& g : shares.values) g = g < -9998 ? -9999 : g >= 1 ? 1 : g > 0 ? 2 : 0;
  WriteFile((dir / "ice_firn.asc").string(), AsciiGridText(shares));
  // A thaw depth of permafrost of 0 m in every basin cell.
  for (double& g : shares.values) g = g < -9998 ? -9999 : 0;
  WriteFile((dir / "permafrost_thaw.asc").string(), AsciiGridText(shares));
  WriteSlideFractions(dir);
  // Response units from a grid: a unit per subbasin and 200 m elevation band, and the same
  // split by land use and soil.
  {
    GridFile bands = ReadGridFile((dir / "zones.asc").string());
    const GridFile dem = ReadGridFile((dir / "dem.asc").string());
    const GridFile landuse = ReadGridFile((dir / "landuse.asc").string());
    const GridFile soil = ReadGridFile((dir / "soil.asc").string());
    GridFile units = bands;
    for (std::size_t i = 0; i < units.values.size(); ++i) {
      if (!(bands.values[i] > -9999)) continue;
      bands.values[i] = 100 * bands.values[i] + std::floor(dem.values[i] / 200);
      units.values[i] = 100000 * landuse.values[i] + 10000 * soil.values[i] + bands.values[i];
    }
    WriteFile((dir / "hru_bands.asc").string(), AsciiGridText(bands));
    WriteFile((dir / "hru.asc").string(), AsciiGridText(units));
  }
  // The snow survey on the window's second day, the lake's levels then and on its last day.
  const Day second = DateOfDay(DayOfYear(window.first) + 1);
  const std::string header =
      "YY MM DD HH grid YY MM DD HH grid YY MM DD HH grid YY MM DD HH grid\n";
  WriteFile((dir / "snow_survey_list.txt").string(),
            "snow survey\n" + header + Record(second, 0, "snow_survey.asc"));
  // The grid rules on other stores (see "assimgrid"): a value in every basin cell on the
  // second day and another on the last.
  {
    const GridFile zones = ReadGridFile((dir / "zones.asc").string());
    const auto list = [&](const std::string& name, double first, double last) {
      std::string records;
      std::vector<std::pair<Day, double>> days;
      if (DayOfYear(second) <= DayOfYear(window.last)) days.emplace_back(second, first);
      if (DayOfYear(window.last) > DayOfYear(second)) days.emplace_back(window.last, last);
      for (const auto& [day, value] : days) {
        GridFile grid = zones;
        for (double& g : grid.values) g = g > -9999 ? value : -9999;
        const std::string file = name + "_" + std::to_string(DayOfYear(day)) + ".asc";
        WriteFile((dir / file).string(), AsciiGridText(grid));
        records += Record(day, 0, file);
      }
      WriteFile((dir / (name + "_list.txt")).string(), name + "\n" + header + records);
    };
    list("ponding", 6, 2);
    list("leaves", 0.6, 0.1);
    list("liquid", 4, 1);
    list("table", -0.5, -1.5);
    list("theta", 0.3, 0.3);
  }
  WriteFile((dir / "lake_levels.txt").string(),
            "levels\n" + header + Record(second, 0, "2429.6") + Record(window.last, 0, "2428.9"));
  // The amounts of an abstraction read from a file: a row per step of the window's years.
  std::string amounts = "abstraction (m3/s)\n";
  for (int day = 1; day <= last; ++day)
    for (int minute = 0; minute < 1440; minute += step_minutes)
      amounts += Record(DateOfDay(day), minute / 60, day % 3 == 0 ? "0.01" : "0.002");
  WriteFile((dir / "abstraction.txt").string(), amounts);
  // Observed discharges at subbasin 4 (m3/s), and an inflow (m3/s) at 2 of each of nine tracers.
  std::string observed = "observed discharge (m3/s)\n", inflow = "inflow (m3/s), tracers\n";
  for (int day = 1; day <= last; ++day)
    for (int minute = 0; minute < 1440; minute += step_minutes) {
      observed += Record(DateOfDay(day), minute / 60, day % 3 == 0 ? "0.4" : "0.25");
      inflow += Record(DateOfDay(day), minute / 60,
                       std::string(day % 2 == 0 ? "0.06" : "0.03") + " 2 2 2 2 2 2 2 2 2");
    }
  WriteFile((dir / "observed.txt").string(), observed);
  WriteFile((dir / "inflow.txt").string(), inflow);
}

}  // namespace velorn::test
