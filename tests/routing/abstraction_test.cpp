// Abstractions of a routing stretch and their rule tables: the AL item, the fixed rule, the
// from-file amounts, the output buffer, the rule lookups against hand-computed amounts.
#include "routing/abstraction.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "core/error_code.h"
#include "routing/routing_formulas.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"

namespace velorn::test {
namespace {

class AbstractionTest : public DiagTest {
 protected:
  // An abstraction of a stretch of 100 km² (divisor 1) with hourly steps, set up from `item`
  // (the text behind "AL <number>") with the start date 1 January 2001, 0 h.
  void Setup(AL_class& al, const std::string& item, int32_t number = 3) {
    al.Initialise(AbstractionSetup{.diag = &diag_,
                                   .output_directory = dir_.path().string() + "/",
                                   .area = 100,
                                   .divisor = 1,
                                   .dt = 60});
    al.SetupAbstraction(number, item, 0, 2001, 1, 1, 0);
  }
  // Rules read from the section text `body` of abstraction 3.
  AbstractionRules Rules(const std::string& body) {
    ControlFileReader file;
    file.OpenText("[abstraction_rule_abstraction_3]\n" + body);
    return ReadRuleSection(file, "[abstraction_rule_abstraction_3]", diag_);
  }
  int Lines(const std::string& name) {
    std::ifstream in(dir_ / name);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
};

TEST_F(AbstractionTest, FixedRuleUnitsAndAmounts) {
  AL_class cubic, depth;
  Setup(cubic, " = intern 5 0.5 20 m3/s");
  Setup(depth, " = intern 5 0.5 20 mm");
  EXPECT_NEAR(cubic.qmin(), 0.18, 1e-12);  // 5 · 0.06 · 60 / 100
  EXPECT_NEAR(cubic.qmax(), 0.72, 1e-12);
  EXPECT_DOUBLE_EQ(depth.qmin(), 5.0);
  EXPECT_DOUBLE_EQ(depth.qmax(), 20.0);
  // The stretch area changes after its check: the discharges in m³/s stay.
  cubic.SetArea(50);
  EXPECT_NEAR(cubic.qmin(), 0.36, 1e-12);
  depth.SetArea(50);
  EXPECT_DOUBLE_EQ(depth.qmin(), 5.0);

  struct Case {
    double taken, fraction, expected;
  } cases[] = {{0, 0.5, 3}, {0, 1.0, 6}, {5, 0.5, 1}, {7, 0.5, 0}};
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(FixedRuleAmount(10, c.taken, 4, c.fraction, 100), c.expected)
        << c.taken << " " << c.fraction;
  EXPECT_DOUBLE_EQ(FixedRuleAmount(10, 0, 4, 0.5, 2), 2);  // capped by Qmax
}

TEST_F(AbstractionTest, ItemRefusalsAndModes) {
  AL_class wrong;
  EXPECT_EQ(ThrownCode([&] { Setup(wrong, " = Intern 5 0.5 20 m3/s"); }), kAbstractionModeCode);
  EXPECT_TRUE(ScreenHas("the modus \"Intern\" is not supported for abstraction 3"));
  AL_class intern;
  Setup(intern, " = intern 5 0.5 20 m3/s)");
  EXPECT_EQ(intern.mode(), kAbstractionIntern);
  EXPECT_TRUE(intern.output_file().empty());
  const double row[1] = {1.0};
  intern.AppendOutputRow(2001, 1, 1, 1, row);
  EXPECT_EQ(intern.rows_filled(), 0);
  AL_class extern_rule;
  Setup(extern_rule, " = extern_with_rule ditch.txt)", 4);
  EXPECT_EQ(extern_rule.mode(), kAbstractionExternRule);
  EXPECT_EQ(extern_rule.output_file(), (dir_ / "ditch.txt"));
}

TEST_F(AbstractionTest, OutputBufferFlushesWhenFull) {
  EXPECT_EQ(AbstractionBufferRows(0), 52428);
  EXPECT_EQ(AbstractionBufferRows(2), 2097152 / 56);
  AL_class al;
  Setup(al, " = extern out.txt 0 0.5 100 mm");
  EXPECT_EQ(Lines("out.txt"), 3);
  const double row[1] = {2.5};
  for (int i = 0; i < 52428; ++i) al.AppendOutputRow(2001, 1, 1, 1, row);
  EXPECT_EQ(al.rows_filled(), 52428);
  EXPECT_EQ(Lines("out.txt"), 3);
  al.AppendOutputRow(2001, 1, 1, 2, row);  // the 52 429th row writes the full buffer first
  EXPECT_EQ(al.rows_filled(), 1);
  EXPECT_EQ(Lines("out.txt"), 3 + 52428);
  al.FlushBuffers(1);
  EXPECT_EQ(Lines("out.txt"), 3 + 52429);
  std::ifstream in(dir_ / "out.txt");
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "YY\tMM\tDD\tHH\tm^3/s");
  EXPECT_EQ(second, "abstraction_3");
}

TEST_F(AbstractionTest, FromFileAmounts) {
  WriteFile(dir_ / "q.txt",
            "header\nYY MM DD HH a b\n2000 12 31 23 1 1\n2001 1 1 0 5 -9999\n"
            "2001 1 1 1 5 2\n2001 1 1 2 5 -3\n");
  AL_class al;
  Setup(al, " = from_file input_file = " + (dir_ / "q.txt") + " col = 1 out = f.txt");
  double** no_flows = nullptr;
  double taken = 0;
  // A missing value abstracts nothing; an initialisation pass does not consume the row.
  EXPECT_DOUBLE_EQ(al.ComputeAbstraction(no_flows, taken, 10, 0, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(al.ComputeAbstraction(no_flows, taken, 10, 2001, 1, 1, 0), 0.0);
  // 2 m³/s over 100 km² in 60 min: 0.072 mm; bounded by the discharge left.
  EXPECT_NEAR(al.ComputeAbstraction(no_flows, taken, 10, 2001, 1, 1, 1), 0.072, 1e-12);
  EXPECT_NEAR(taken, 0.072, 1e-12);
  // A negative value adds no water.
  EXPECT_DOUBLE_EQ(al.ComputeAbstraction(no_flows, taken, 10, 2001, 1, 1, 2), 0.0);

  WriteFile(dir_ / "late.txt", "header\nYY MM DD HH a\n2001 1 2 0 1\n");
  AL_class late;
  EXPECT_EQ(ThrownCode([&] {
              Setup(late,
                    " = from_file input_file = " + (dir_ / "late.txt") + " col = 0 out = g.txt");
            }),
            kAbstractionStartCode);
  EXPECT_TRUE(ScreenHas("starting date 1.1.2001, 0. h in")) << screen_.str();
}

TEST_F(AbstractionTest, RuleTableLookups) {
  const AbstractionRules r = Rules("3\n0 0\n10 2\n20 2\n");
  const PeriodWeight one{1, 1.0};
  for (auto [x, expected] : {std::pair{15.0, 2.0}, {5.0, 1.0}, {25.0, 2.0}, {0.0, 0.0}})
    EXPECT_DOUBLE_EQ(RuleTableValue(r, one, x), expected) << x;

  const AbstractionRules flow = Rules("2\n0 2\n5 12\nTableIndex = Flow\n");
  EXPECT_TRUE(flow.flow_indexed);
  EXPECT_DOUBLE_EQ(RuleTableValue(flow, one, 7), 2.5);  // 0 + 0.5 · (7 − 2)
  EXPECT_DOUBLE_EQ(RuleTableValue(flow, one, 2), 0.0);

  const AbstractionRules two = Rules("2 91 274\n0 0 0\n10 10 20\n");
  EXPECT_EQ(RuleDayOfYear(1, 1), 1);
  EXPECT_EQ(RuleDayOfYear(7, 1), 182);
  const PeriodWeight jan = RulePeriod(two, 1);
  EXPECT_EQ(jan.k, 1);
  EXPECT_DOUBLE_EQ(jan.w, 1.0);
  const PeriodWeight july = RulePeriod(two, 182);
  EXPECT_EQ(july.k, 2);
  EXPECT_NEAR(july.w, 91.0 / 183.0, 1e-15);
  EXPECT_NEAR(july.w, 0.497, 0.001);
  // x = 5 on 1 July: w · 10 + (1 − w) · 5.
  EXPECT_NEAR(RuleTableValue(two, july, 5), 5 + 5 * 91.0 / 183.0, 1e-12);
}

TEST_F(AbstractionTest, ScheduledRulesByWeekdayAndHour) {
  AL_class al;
  Setup(al, " = intern_with_rule_from_reservoir");
  ControlFileReader file;
  file.OpenText(
      "[abstraction_rule_abstraction_3]\n2\n0 0\n10 10\nWeekDays = 12345\nstart_hour = 8\n"
      "stop_hour = 18\n");
  al.ReadAbstractionRules(file);
  // 7 January 2001 is a Sunday, 8 January a Monday.
  EXPECT_DOUBLE_EQ(al.ScheduledRuleAmount(nullptr, 2001, 1, 7, 10, 5), 0.0);
  EXPECT_DOUBLE_EQ(al.ScheduledRuleAmount(nullptr, 2001, 1, 8, 19, 5), 0.0);
  EXPECT_DOUBLE_EQ(al.ScheduledRuleAmount(nullptr, 2001, 1, 8, 8, 5), 5.0);
  EXPECT_DOUBLE_EQ(al.ScheduledRuleAmount(nullptr, 0, 0, 0, 8, 5), 0.0);  // month 0

  // Omitted keys restrict nothing: every day and hour, no cap even with a target.
  AL_class open;
  Setup(open, " = intern_with_rule_from_reservoir");
  file.OpenText("[abstraction_rule_abstraction_3]\n2\n0 0\n10 10\n");
  open.ReadAbstractionRules(file);
  std::vector<double> arriving = {0, 9.0};
  double* reservoir_flows[3] = {nullptr, nullptr, arriving.data()};
  open.SetTarget(1, 2, 100, 1, 100);
  EXPECT_DOUBLE_EQ(open.ScheduledRuleAmount(reservoir_flows, 2001, 1, 7, 0, 5), 5.0);
  // A cap of 8 m³/s with 0.18 mm (3 m³/s) arriving leaves 5 − (5 + 3 − 8) = 5; with 6 m³/s, 2.
  file.OpenText("[abstraction_rule_abstraction_3]\n2\n0 0\n10 10\nTargetCap = 8\n");
  open.ReadAbstractionRules(file);
  arriving[1] = DischargeToDepth(3, 100, 60);
  EXPECT_NEAR(open.ScheduledRuleAmount(reservoir_flows, 2001, 1, 7, 0, 5), 5.0, 1e-6);
  arriving[1] = DischargeToDepth(6, 100, 60);
  EXPECT_NEAR(open.ScheduledRuleAmount(reservoir_flows, 2001, 1, 7, 0, 5), 2.0, 1e-6);
}

TEST_F(AbstractionTest, WeekdaysIgnoreTheTimeZone) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  struct Day {
    int32_t year, month, day, hour, weekday;
  } days[] = {{1970, 1, 1, 1, 4},   {2001, 1, 7, 1, 7}, {2001, 1, 8, 1, 1},
              {2000, 2, 29, 12, 2}, {2001, 1, 8, 0, 7}, {1899, 12, 31, 5, 7}};
  for (const char* zone : {"UTC", "Pacific/Kiritimati", "America/Adak"}) {
    setenv("TZ", zone, 1);
    tzset();
    for (const Day& d : days)
      EXPECT_EQ(Weekday(d.year, d.month, d.day, d.hour - 1), d.weekday)
          << zone << " " << d.year << "-" << d.month << "-" << d.day;
  }
  if (saved)
    setenv("TZ", before.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST_F(AbstractionTest, MalformedRuleSectionsAreRefused) {
  struct Case {
    const char* name;
    std::string body;
    int code;
    const char* message;
  } cases[] = {
      {"equal period days", "2 91 91\n0 0 0\n10 1 2\n", kControlFileErrorCode,
       "abstraction rule section [abstraction_rule_abstraction_3], line 2"},
      {"short table row", "2 91 274\n0 0 0\n10 1\n", kControlFileErrorCode,
       "table row 2 holds 2 value(s)"},
      {"short key line", "1 91 274\n0 0 0\nWeekDays = 12345\n", kControlFileErrorCode,
       "WeekDays: 1 value(s) for 2 period(s)"},
      {"no table points", "x\n", kControlFileErrorCode, "number of table points"},
      {"last period day 1e308", "2 91 1e308\n0 0 0\n10 1 2\n", kControlFileErrorCode,
       "line 2 of the control file: the period day 1e+308 lies outside 1 to 366"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    screen_.str("");
    EXPECT_EQ(ThrownCode([&] { Rules(c.body); }), c.code);
    EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
  }
  ControlFileReader file;
  file.OpenText("[other]\n");
  EXPECT_EQ(ThrownCode([&] { ReadRuleSection(file, "[abstraction_rule_abstraction_9]", diag_); }),
            kAbstractionSectionCode);
}

}  // namespace
}  // namespace velorn::test
