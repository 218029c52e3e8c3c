// The option space of the option matrix (tests/runs/option_matrix_test.cpp): the combinations a
// user can switch on in the example basin (examples/front-range/), drawn at random from a seed,
// written as a line of words ("snow=5 glacier=11 tracers=cr.esa step=180 start=20/1 days=4"), and
// made into the control file and the inputs of a run. A word names one option and its value;
// options left at their default are not written, so the line of a shrunk failure is its fewest
// options. Pairs that the model forbids stay in the draw now and then: the model must refuse them
// with the message and code that `Refusals` gives.
//
// The control text is edited by sections and value lines ([section], then the n-th line that
// holds a value), so that options compose in any order; sections the example lacks come from its
// variants (front-range-groundwater.ctl, ...).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace velorn::test {

// A day of 2019 (the year of the example's station data) or of 2020 (a window that runs on past
// New Year's Eve: `PrepareInputs` writes 2020's records from 2019's) and a window of days, both
// included.
struct Day {
  int day, month, year = 2019;
};
struct Window {
  Day first, last;
};
// The day's number counted from 1 January 2019 (1 January 2020 is 366), and the day of a number
// (1 to 731, 31 December 2020).
int DayOfYear(Day day);
Day DateOfDay(int day_of_year);
int Days(const Window& window);

// ---- The control text by sections ----------------------------------------------------------

// The line before which added sections go.
extern const char* const kAddedSectionsEnd;
// The offsets of the lines of [name] that hold a value (not empty, not a comment alone), up to
// the next section header or rule line ("# ----"); empty when the section is missing.
std::vector<std::size_t> ValueLines(const std::string& text, const std::string& name);
// The first word of the n-th value line of [name] (1-based), "" when there is none.
std::string Value(const std::string& text, const std::string& name, int n);
// The n-th value line of [name] becomes `value` (its comment with it); false when it is missing.
bool SetValue(std::string& text, const std::string& name, int n, const std::string& value);
// `lines` (each ending in a line end) inserted after the n-th value line of [name].
void InsertAfterValue(std::string& text, const std::string& name, int n, const std::string& lines);
// The section [name] from its header to the next header or rule line, "" when missing.
std::string SectionText(const std::string& text, const std::string& name);
// Replaces the section that `section` (starting with its header) names, or adds it.
void PutSection(std::string& text, const std::string& section);
// Grid lines added to [standard_grids] (and its count), each unless its identifier is there.
void AddStandardGrids(std::string& text, const std::vector<std::string>& lines);
// A variable grid (line "file identifier fillcode default") with its write and read code.
void AddVariableGrid(std::string& text, const std::string& line, int write_code, int read_code);

// ---- Draws ---------------------------------------------------------------------------------

struct Draw {
  std::map<std::string, std::string> options;  // the options not at their default
  Window window = {{20, 1}, {23, 1}};

  std::string Get(const std::string& key) const;  // the value, or the option's default
  bool On(const std::string& key) const { return options.contains(key); }
  std::string Words() const;  // the options in catalogue order, then the window
  static Draw Parse(const std::string& words);
  int Step() const { return std::stoi(Get("step")); }
};

// A combination drawn from `seed` (the same seed always gives the same draw).
Draw DrawCombination(std::uint64_t seed);
// The draw with option `key` back at its default; the keys of a draw's options in order.
std::vector<std::string> OptionKeys(const Draw& draw);

// The options of a draw that another option leaves idle: spin-up passes without "spinup=passes",
// an aquifer without the groundwater model, an evaluation without dynamic glaciers, what the
// soil zone or discharge routing carries where it is off, what response units switch off.
std::vector<std::string> IdleOptions(const Draw& draw);

// A refusal the model owes a draw: its exit code and words of its FATAL message.
struct Refusal {
  const char* pair;  // what the model forbids, in words
  int code;
  const char* message;
};
std::vector<Refusal> Refusals(const Draw& draw);

// The control text of `draw` from the example's "front-range.ctl" in `dir` (a copy of the
// example with the files of `PrepareInputs`), before its window and steps are set.
std::string Compose(const Draw& draw, const std::filesystem::path& dir);
// The sections of the sub-models that "interval" names set to step at twice the draw's step
// (after the run's times are set).
void SetIntervals(const Draw& draw, std::string& text);
// The form of the grids a control text writes ("double", "ascii", "float" or "netcdf"), and
// the text set to write `form`.
std::string GridForm(const std::string& text);
void SetGridForm(std::string& text, const std::string& form);
// The second control file of "controls=2": the draw's, writing into "output2/".
std::string SecondControl(const std::string& text);
// The outside program of "coupling" for a run in `dir`: answers each exchange the run ends
// ("to_partner.txt") with a synchronisation file of `command`, until `stop` is set.
// With `answers` of 0 or more it says `then` from the answers-th answer on (the
// synchronisation file of the run's opening exchange is answer 0).
void AnswerExchanges(const std::filesystem::path& dir, const std::string& command,
                     const std::atomic<bool>& stop, int answers = -1, const std::string& then = "");
// "ending": the outside program ends the run. "finish": it says "Finish" at the start of the
// last step of the window's next-to-last day, which ends the run there (code 99) as if its
// window ended there; "stop": "StopWithoutSaving" at the start of the window's last day, which
// ends every process at once (code 98) before that step. The plan (the answers before the
// command and the command) is written beside the control file in `dir` ("partner_ends.txt"),
// the opening exchange's synchronisation file holding the command when it comes first.
void PlanPartnerEnding(const Draw& draw, const std::filesystem::path& dir);
// The window a draw's run covers: a "Finish" ends it after its next-to-last day.
Window RanWindow(const Draw& draw);

// The grids and tables every combination may read, written into a copy of the example in
// `dir`, and the list files of data assimilation and abstraction with dates in `window`.
void PrepareInputs(const std::filesystem::path& dir, const Window& window, int step_minutes);

}  // namespace velorn::test
