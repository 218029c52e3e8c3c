// Construction of the discharge routing model from [routing_model]: counts, routing targets,
// "abfrel", the report lines, the refusals of malformed sections and the observed-discharge
// table.
#include <gtest/gtest.h>

#include "tests/routing/routing_model_fixture.h"

namespace velorn::test {
namespace {

const std::string kChannel = ChannelValues(1, 3000, 10);
// The text with its first `from` replaced by `to`, the number after `from` dropped when `from`
// ends in '='.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  std::size_t end = at + from.size();
  if (from.back() == '=') end = text.find_first_of(",)", end);
  return text.replace(at, end - at, to);
}

TEST_F(RoutingModelTest, ThreeSubbasinDescriptionBuildsOneStretch) {
  // Subbasins 11 and 12 (indices 1, 2) drain into 13 (index 3); the second tributary stands on a
  // continuation line.
  Write(Header(), "TG 13 (A=60, f=1) OL 11 " + kChannel + "\nOL 12 " + kChannel + "\n");
  int32_t error = 0;
  auto model = Build(error);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(model->DescriptionCount(), 1);
  EXPECT_EQ(model->Totals().tributaries, 2);
  const RoutingTargets& t = *model->GetRoutingTargets();
  EXPECT_EQ(std::vector<int32_t>(t.list.begin() + 1, t.list.begin() + 4),
            (std::vector<int32_t>{1, 2, 0}));
  EXPECT_EQ(t.target, (std::vector<int32_t>{0, 3, 3, 0, 0, 0}));
  EXPECT_EQ(t.stretch, (std::vector<int32_t>{0, 0, 0, 1, 0, 0}));
  // The area check sums the stretch's subbasins into the outlet's entry.
  const AbfrelTable& abfrel = *model->GetAbfrelTable();
  EXPECT_EQ(abfrel.area, (std::vector<double>{1, 10, 20, 60, 40, 50}));
  EXPECT_EQ(abfrel.divisor, (std::vector<double>{1, 1, 1, 1, 1, 1}));
  for (const char* line :
       {"number inbetween areas (routings)    : 1", "number tributaries  total      (OL)  : 2",
        " - flowing into another at the end   : 2", " - flowing into another at the start : 0",
        "so the total of routingchannels is   : 2", "number of inflows              (ZL)  : 0",
        "number of abstractions         (AL)  : 0", "number reservoirs              (SP)  : 0"})
    EXPECT_TRUE(ScreenHas(line)) << line;
  // Without an observed file the comparison is off; "none" says so without an error about a file.
  EXPECT_TRUE(ScreenHas("Routing will be done without comparison to observed discharge data!"));
  EXPECT_TRUE(ScreenHas("error opening none.txt"));
  // A file named but not opened is a WARNING: the comparison asked for is not made.
  EXPECT_NE(ReadFile(diag_.file_name())
                .find("<line level=\"2\" description= \"error opening none.txt;Routing will be"),
            std::string::npos);
  EXPECT_EQ(model->ObservedEndCounter(), kObservedEnded);
  screen_.str("");
  Write(Header("1 1000 50 2", "none"),
        "TG 13 (A=60, f=1) OL 11 " + kChannel + "\nOL 12 " + kChannel + "\n");
  model = Build(error);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_TRUE(ScreenHas("no observed-discharge file (none)"));
  EXPECT_FALSE(ScreenHas("error opening"));
  EXPECT_EQ(model->ObservedEndCounter(), kObservedEnded);
}

TEST_F(RoutingModelTest, ListMembersFollowTheCodeWithoutBlanks) {
  struct Case {
    std::string item;
    std::vector<int32_t> target;
    int32_t members;  // '&' counted
  };
  const Case cases[] = {
      {"SUMTRIB 12&13&14 ", {0, 0, 5, 5, 5, 0}, 2},
      {"SUMTRIB 12 & 13 ", {0, 0, 5, 0, 0, 0}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    Write(Header(), "TG 15 (A=140, f=1) " + c.item + kChannel + "\n");
    int32_t error = 0;
    auto model = Build(error);
    ASSERT_EQ(error, 0) << screen_.str();
    EXPECT_EQ(model->GetRoutingTargets()->target, c.target);
    EXPECT_EQ(model->Totals().members, c.members);
    EXPECT_EQ(model->Totals().lists, 1);
  }
}

TEST_F(RoutingModelTest, MalformedSectionsEndWithTheirCode) {
  struct Case {
    const char* name;
    std::string header;
    std::string descriptions;
    int code;
    std::string message;
  };
  const std::string tg = "TG 13 (A=60, f=1) ";
  const std::string ten = "12&12&12&12&12&12&12&12&12&12 ";
  // An observed discharge that no river carries; -9999 is missing.
  WriteFile(dir_ / "qhuge.txt", "YY MM DD HH Q1\n2001 1 1 0 -9999\n2001 1 1 1 1e308\n");
  const Case cases[] = {
      {"observed discharge 1e308", Header("1 1000 50 2", dir_ / "qhuge.txt", "1\n13 1\n"),
       tg + "OL 11 " + kChannel + "\n", 203,
       "column 1 of the record of 1.1.2001 1h holds 1e+308, an observed discharge must lie within "
       "0 to 1e+06"},

      {"line too long", Header(), tg + "OL 11 " + kChannel + std::string(2400, ' ') + "\n", 40,
       "string is too long"},
      {"tributary equal to the outlet", Header(), tg + "OL 13 " + kChannel + "\n", 41,
       "is equal to subbasin code"},
      {"unknown tributary", Header(), tg + "OL 99 " + kChannel + "\n", 41,
       "there cant be a tributary with code 99"},
      {"unknown outlet", Header(), "TG 99 (A=1, f=1) OL 11 " + kChannel + "\n", 41,
       "there is no subbasin with code 99"},
      {"outlet code nan", Header(), "TG nan (A=1, f=1) OL 11 " + kChannel + "\n", 41,
       "holds the item TG without its number"},
      {"first description without its outlet", Header(),
       "tG 13 (A=60, f=1) OL 11 " + kChannel + "\n" + tg + "OL 11 " + kChannel + "\n", 41,
       "holds items but no outlet item TG"},
      {"inflow code above the count", Header(), tg + "ZL 2 = constant 1 " + kChannel + "\n", 42,
       "there is/are only 1 inflow(s)"},
      {"inflow code 0", Header(), tg + "ZL 0 = constant 1 " + kChannel + "\n", 42,
       "there is/are only 1 inflow(s)"},
      {"inflow mode", Header(), tg + "ZL 1 = pumped 1 " + kChannel + "\n", 42,
       "the modus \"pumped\" is not supported for inflow 1"},
      {"observation column of an unknown code", Header("1 1000 50 2", "none.txt", "1\n99 1\n"),
       tg + "OL 11 " + kChannel + "\n", 17, "there is no subbasin with code 99"},
      {"unknown list member", Header(), tg + "SUMTRIB 11&99 " + kChannel + "\n", 41,
       "there cant be a tributary with code 99"},
      {"ten list members", Header(), tg + "SUMTRIB 11&" + ten + kChannel + "\n", 41,
       "members (at most 9)"},
      {"subbasin of two outlets", Header(),
       tg + "OL 11 " + kChannel + "\nTG 14 (A=50, f=1) OL 11 " + kChannel + "\n", 41,
       "each subbasin drains into one outlet"},
      {"downstream description first", Header(),
       "TG 15 (A=150, f=1) OL 13 " + kChannel + "\n" + tg + "OL 11 " + kChannel + "\n", 41,
       "the routing description of subbasin 15 stands before the description of its tributary "
       "subbasin 13"},
      {"qmin 0", Header("0 1000 50 2"), tg + "OL 11 " + kChannel + "\n", 17, "are invalid"},
      {"qmax below qmin", Header("10 5 50 2"), tg + "OL 11 " + kChannel + "\n", 17, "are invalid"},
      {"no intervals", Header("1 1000 0 2"), tg + "OL 11 " + kChannel + "\n", 17, "are invalid"},
      {"no sub-steps", Header("1 1000 50 0"), tg + "OL 11 " + kChannel + "\n", 17, "are invalid"},
      {"header values missing", Header("1 1000 50"), tg + "OL 11 " + kChannel + "\n", 17,
       "values for min/max specific discharge"},
      // Values no basin has, which would overflow the tables or the flows, or loop without end.
      {"qmax 1e308", Header("1 1e308 50 2"), tg + "OL 11 " + kChannel + "\n", 17, "are invalid"},
      {"intervals 2147483647", Header("1 1000 2147483647 2"), tg + "OL 11 " + kChannel + "\n", 17,
       "are invalid"},
      {"area divisor 1e308", Header(), "TG 13 (A=60, f=1e308) OL 11 " + kChannel + "\n", 17,
       "routing description 1 (TG 13): the area divisor f is 1e+308, it must lie within 1e-06 to "
       "1e+06"},
      {"area -1", Header(), "TG 13 (A=-1, f=1) OL 11 " + kChannel + "\n", 17,
       "routing description 1 (TG 13): the area A is -1, it must lie within 0 to 1e+08 km2"},
      {"abstraction fraction 1e308", Header(),
       tg + "OL 11 " + kChannel + " AL 3 = intern 5 1e308 20 m3/s\n", 17,
       "abstraction 3: the fraction is 1e+308, it must lie within 0 to 1"},
      {"abstraction mode with a capital", Header(),
       tg + "OL 11 " + kChannel + " AL 3 = Intern 5 0.5 20 m3/s\n", 44,
       "the modus \"Intern\" is not supported for abstraction 3"},
      {"abstraction rule section missing", Header(),
       tg + "OL 11 " + kChannel + " AL 3 = intern_with_rule\n", 34,
       "section [abstraction_rule_abstraction_3] not found in control file"},
      {"reservoir without V0", Header(), tg + "OL 11 " + kChannel + "\nSP 1 file = r.txt\n", 35,
       "for reservoir 1: no \"V0 =\" found!"},
      {"reservoir rule section missing", Header(),
       tg + "OL 11 " + kChannel + "\nSP 2 file = r.txt V0 = 5 C0 = 0 0 0 0 0 0 0 0 0\n", 34,
       "section [abstraction_rule_reservoir_2] not found in control file"},
      {"channel value missing", Header(), tg + "OL 11 (kh=1, kv=1)\n", 17,
       "value 3 of the ten channel values of item 1 not found"},
      // Channel values of 0 or below take their defaults, named in a WARNING; values no river
      // has are refused, as is a negative constant inflow.
      {"slope 0", Header(), tg + "OL 11 " + Replace(kChannel, "I=0.001", "I=0") + "\n", 0,
       "routing description 1 (TG 13): channel value I of item 1 is 0, the channel takes its "
       "default 0.0316 for the root of the slope"},
      {"length -1", Header(), tg + "OL 11 " + Replace(kChannel, "L=", "L=-1") + "\n", 0,
       "channel value L of item 1 is -1, the channel takes its default 1"},
      {"roughness 0", Header(), tg + "OL 11 " + Replace(kChannel, "Mh=30", "Mh=0") + "\n", 0,
       "channel value Mh of item 1 is 0, the channel takes its default 1"},
      {"width -1", Header(), tg + "OL 11 " + Replace(kChannel, "Bh=10", "Bh=-1") + "\n", 0,
       "channel value Bh of item 1 is -1, the channel takes its default 0.1"},
      {"bank-full depth 0", Header(), tg + "OL 11 " + Replace(kChannel, "Th=100", "Th=0") + "\n", 0,
       "channel value Th of item 1 is 0, the channel takes its default 0.1"},
      {"area 0", Header(), tg + "OL 11 " + Replace(kChannel, "A=", "A=0") + "\n", 0,
       "channel value A of item 1 is 0, the channel takes its default 1e-06"},
      {"storage constant 1e308", Header(),
       tg + "OL 11 " + Replace(kChannel, "kv=", "kv=1e308") + "\n", 17,
       "channel value kv of item 1 is 1e+308, it must be a number of at most 1e+06"},
      // A message names the description the value stands in, not the last one.
      {"storage constant 1e308 in the first of two", Header(),
       tg + "OL 11 " + Replace(kChannel, "kv=", "kv=1e308") + "\nTG 15 (A=150, f=1) OL 13 " +
           kChannel + "\n",
       17, "routing description 1 (TG 13): channel value kv of item 1 is 1e+308"},
      // Values are taken by their place; a name of another place is named.
      {"Manning values named the other way round", Header(),
       tg + "OL 11 " + Replace(kChannel, "Mh=30, Mv=20", "Mv=30, Mh=20") + "\n", 0,
       "routing description 1 (TG 13), item 1: value 6 is named \"Mv\", but values are "
       "taken by their place (kh kv Bh Bv Th Mh Mv I L A): it is read as Mh"},
      {"decimal comma", Header(), tg + "OL 11 " + Replace(kChannel, "Bh=10", "Bh=1,5") + "\n", 17,
       "routing description 1 (TG 13), item 1: value 3 \"1,5\" is no number: a number must be "
       "followed by a blank"},
      {"unit written onto the area", Header(), "TG 13 (A=60km2, f=1) OL 11 " + kChannel + "\n", 17,
       "routing description 1 (TG 13), TG: value 1 \"60km2\" is no number"},
      // The scan once stopped at the comma and took the value before it, with no word.
      {"constant inflow 0,05", Header(), tg + "ZL 1 = constant 0,05 " + kChannel + "\n", 17,
       "constant inflow 1: \"0,05\" is no number"},
      {"a name no value has", Header(), "TG 13 (A=60, ff=1) OL 11 " + kChannel + "\n", 0,
       "routing description 1 (TG 13), TG: value 2 is named \"ff\", but values are taken by "
       "their place (A f): it is read as f"},
      {"constant inflow -1", Header(), tg + "ZL 1 = constant -1 " + kChannel + "\n", 17,
       "constant inflow 1 is -1, it must lie within 0 to 2e+06 m3/s"},
      // Valid sections: qmin = qmax, and file names that only contain item keywords.
      {"qmin equal to qmax", Header("5 5 1 2"), tg + "OL 11 " + kChannel + "\n", 0, ""},
      {"keywords inside words", Header(),
       tg + "OL 11 " + kChannel + " SPREE.txt TOTAL.txt ALL ZLX\n", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    screen_.str("");
    Write(c.header, c.descriptions);
    int32_t error = -1;
    auto model = Build(error);
    EXPECT_EQ(error, c.code) << screen_.str();
    if (!c.message.empty()) {
      EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
    }
    if (c.code == 0) {
      EXPECT_EQ(model->Totals().reservoirs, 0);
      EXPECT_EQ(model->Totals().abstractions, 0);
      EXPECT_EQ(model->Totals().inflows, 0);
    }
  }
}

TEST_F(RoutingModelTest, DescriptionsMustBeFollowedByALine) {
  WriteFile(setup_.control_file_name, "[output_interval]\n24\n0\n0\n[routing_model]\n1\n60\n" +
                                          Header() + "TG 13 (A=60, f=1) OL 11 " + kChannel + "\n");
  int32_t error = 0;
  Build(error);
  EXPECT_EQ(error, kRoutingEndOfFileCode);
  EXPECT_TRUE(ScreenHas("error reading a routing description from control file! (eof reached)."));
}

TEST_F(RoutingModelTest, ObservedTableColumnsAndTwoDigitYears) {
  setup_.end_date = ModelDate{1999, 1, 1, 0};
  WriteFile(dir_ / "qobs.txt",
            "YY MM DD HH Q1 Q2\n98 12 31 23 1.0 2.0\n99 1 1 0 3.0 4.0\n99 1 1 1 5.0 6.0\n");
  // Subbasin 12 reads column 2, subbasin 13 a column the file does not have.
  Write(Header("1 1000 50 2", dir_ / "qobs.txt", "2\n12 2\n13 5\n"),
        "TG 13 (A=60, f=1) OL 11 " + kChannel + "\n", 0, 2);
  int32_t error = 0;
  auto model = Build(error);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(model->ObservationColumn(2), 2);
  EXPECT_EQ(model->ObservationColumn(3), 0);
  // ... and says so, naming the subbasin and the column, where it would compare nothing.
  EXPECT_TRUE(ScreenHas("[routing_model]: subbasin 13 is compared with column 5 of "))
      << screen_.str();
  EXPECT_TRUE(ScreenHas("which holds 2 columns of values"));
  EXPECT_FALSE(ScreenHas("subbasin 12 is compared"));
  EXPECT_EQ(model->ObservedSubstitution(), 1);
  // The start date 1999 was found in the row of year 99; the file then ends within the window.
  EXPECT_TRUE(ScreenHas("looking for starting date in")) << screen_.str();
  EXPECT_GT(model->ObservedEndCounter(), 0);
  EXPECT_LT(model->ObservedEndCounter(), kObservedEnded);

  // Without the file, substitution of observed discharges is off.
  Write(Header("1 1000 50 2", dir_ / "missing.txt", "1\n12 2\n"),
        "TG 13 (A=60, f=1) OL 11 " + kChannel + "\n", 0, 2);
  model = Build(error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(model->ObservedSubstitution(), 0);
}

TEST_F(RoutingModelTest, LakeSectionIsReadOnlyWithALakeGrid) {
  const std::string network = "TG 13 (A=60, f=1) OL 11 " + kChannel + "\n";
  Write(Header(), network);
  int32_t error = 0;
  auto model = Build(error, 3);
  ASSERT_EQ(error, 0);
  EXPECT_TRUE(ScreenHas("no LAKE-grid was found in routing_model"));
  EXPECT_EQ(model->LakeSwitch(), 0);
  EXPECT_EQ(model->ReadGridsValue(), 3);  // the storage mode stands

  GridMatrix lakes = FilledGrid(diag_, 2, 2, 1.0);
  registry_.Register(diag_, registry_.FirstFreeIndex(), "lakes.asc", lakes.get(), nullptr, 0,
                     "lake_codes", 0, 1, 2, 2, 2);
  Write(Header(), network + "[lake_model]\n1\n0\n0\n0\n7\n");
  model = Build(error, 3);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(model->LakeSwitch(), 1);
  EXPECT_EQ(model->ReadGridsValue(), 7);
}

}  // namespace
}  // namespace velorn::test
