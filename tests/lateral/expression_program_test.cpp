// Compiled statements against the text parser: random statements over the parser's grammar
// (numbers of every form, variables set and unset in any case, constants, functions known and
// unknown, every operator and some that are not, blanks, assignments, stray characters and
// cuts), evaluated in sequences that share their variables, must give the parser's text, its
// result and its variables bit for bit. Faults planted in the compiled code must be caught.
#include "lateral/expression_program.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lateral/expression_parser.h"

namespace velorn {
namespace {

const std::vector<std::string> kNames{
    "a",   "A",   "b",  "Xv", "z",     "q_1",   "w",
    "Ans", "ans", "pi", "PI", "Euler", "unset", std::string(30, 'n')};
const std::vector<std::string> kNumbers{
    "0",      "1",   "2",   "3",   "31",    "32", "0.5",   ".5",         "1.5.2",      "1e-3",
    "2.5E+2", "170", "171", "3e9", "1e400", "1e", "7e306", "2147483647", "2147483648", "4"};
const std::vector<std::string> kFunctions{"abs", "EXP", "Sign", "sqrt", "log",  "LOG10",     "sin",
                                          "cos", "tan", "asin", "acos", "atan", "factorial", "foo"};
const std::vector<std::string> kOperators{
    "+",  "-", "*", "/",  "%",  "||", "^", "&", "|",  "<<", ">>", "=",
    "<>", "<", ">", "<=", ">=", "+",  "*", "-", "==", "+*", "!"};
const double kInf = std::numeric_limits<double>::infinity();
const std::vector<double> kValues{
    0.0,    -0.0,         1.0,  -1.0, 2.0,  0.5,
    3.0,    170.0,        -3e9, 3e9,  kInf, -kInf,
    1e-300, 2147483647.0, 31.0, 32.0, -2.5, std::numeric_limits<double>::quiet_NaN()};

class Draws {
 public:
  explicit Draws(unsigned seed) : random_(seed) {}

  std::size_t Below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& list) {
    return list[Below(list.size())];
  }
  std::string Blank() { return Chance(70) ? "" : (Chance(80) ? " " : "\t"); }

  std::string Primary(int depth) {
    const std::size_t draw = Below(depth > 3 ? 60 : 100);
    if (draw < 30) return Pick(kNumbers);
    if (draw < 60) return Below(200) != 0 ? Pick(kNames) : std::string(31, 'n');
    if (draw < 75) return "(" + Blank() + Expression(depth + 1) + Blank() + (Chance(97) ? ")" : "");
    if (draw < 87) return Pick(kFunctions) + Blank() + "(" + Expression(depth + 1) + ")";
    if (draw < 95) return "-" + Blank() + Primary(depth + 1);
    return Primary(depth + 1) + "!";
  }
  std::string Expression(int depth) {
    std::string text = Primary(depth);
    const std::size_t terms = depth > 3 ? 0 : Below(4);
    for (std::size_t i = 0; i < terms; ++i)
      text += Blank() + Pick(kOperators) + Blank() + Primary(depth + 1);
    return text;
  }
  // A statement, an assignment now and then, sometimes with a stray character, a cut or a
  // length beyond the parser's.
  std::string Statement() {
    std::string text = Blank() + Expression(0) + Blank();
    if (Chance(30)) text = Pick(kNames) + Blank() + "=" + text;
    if (Chance(5)) text.insert(Below(text.size() + 1), 1, "$#@,;:"[Below(6)]);
    if (Chance(5) && !text.empty()) text.resize(Below(text.size()));
    if (Chance(1)) text += std::string(256, ' ');
    return text;
  }

 private:
  std::mt19937 random_;
};

std::uint64_t Bits(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// One sequence of statements on a parser and on the compiled program, variables of the pool
// set alike before; returns the first difference (text, result or a variable), else "".
std::string CompareSequence(Draws& draws, void (*plant)(ExpressionProgram&)) {
  ExpressionParser parser;
  ExpressionProgram program;
  for (const std::string& name : kNames) program.Slot(name);
  std::vector<std::string> statements(1 + draws.Below(4));
  for (std::string& statement : statements) program.Add(statement = draws.Statement());
  if (plant != nullptr) plant(program);
  ExpressionProgram::Frame frame = program.NewFrame();
  for (const std::string& name : kNames) {
    if (!draws.Chance(80)) continue;
    const double value = draws.Pick(kValues);
    parser.SetVariable(name, value);
    frame.Set(program.Slot(name), value);
  }
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const std::string expected = parser.Evaluate(statements[i]);
    const std::string* error = program.Evaluate(i, frame);
    const std::string text =
        error != nullptr ? *error : ExpressionProgram::SuccessText(frame.Result());
    const std::string where = "statement \"" + statements[i] + "\": ";
    if (text != expected) return where + "\"" + text + "\" instead of \"" + expected + "\"";
    if (Bits(frame.Result()) != Bits(parser.Result())) return where + "result differs";
    for (const std::string& name : kNames) {
      double want = 0, got = 0;
      const bool has = parser.GetVariable(name, want) == 1;
      if (frame.Get(program.Slot(name), got) != has || (has && Bits(got) != Bits(want)))
        return where + "variable " + name + " differs";
    }
  }
  return "";
}

// The first difference over `count` sequences of the seed, else "".
std::string FirstDifference(unsigned seed, int count, void (*plant)(ExpressionProgram&)) {
  Draws draws(seed);
  for (int k = 0; k < count; ++k) {
    const std::string difference = CompareSequence(draws, plant);
    if (!difference.empty()) return difference;
  }
  return "";
}

TEST(ExpressionProgram, GivesTheParsersTextsResultsAndVariablesOnRandomStatements) {
  for (unsigned seed : {1u, 2u, 3u}) EXPECT_EQ(FirstDifference(seed, 20000, nullptr), "") << seed;
}

// The statements of the example's silting-up variant on cell values drawn from the ranges a
// basin gives (rain from dry to a cloudburst, fresh and old tillage, soils without sand): the
// values the model reads (W, Z, V) and the helpers (X, Y) bit for bit as the parser gives them.
TEST(ExpressionProgram, GivesTheParsersValuesForTheSiltingUpStatements) {
  const std::vector<std::string> statements{
      "W=(P>0.05)*((P<76.2)*(11.89+8.73*log10(P+(P<=0.05)))+(P>=76.2)*28.33)", "Y=B*K^C*(100*L)^D",
      "X=A", "Z=(O>0)*E*(100*L)^F*K^G*(O+(O<=0))^H", "V=((X-Y)*exp(-Z*Q)+Y)*R/60"};
  const std::string names = "ABCDEFGHIJKLMNOPQR";
  ExpressionProgram program;
  for (const char name : names) program.Slot(std::string(1, name));
  for (const std::string& statement : statements) program.Add(statement);
  ExpressionProgram::Frame frame = program.NewFrame();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int cell = 0; cell < 20000; ++cell) {
    ExpressionParser parser;
    frame.Clear();
    const double values[] = {65 * unit(random),
                             12.2 * unit(random),
                             unit(random),
                             -unit(random),
                             0.013 * unit(random),
                             -1.03 * unit(random),
                             unit(random),
                             -0.19 * unit(random),
                             0,
                             0,
                             1 + 400 * unit(random),
                             cell % 7 == 0 ? 0.0 : unit(random),
                             unit(random),
                             unit(random),
                             cell % 3 == 0 ? 0.0 : 0.3 + 200 * unit(random),
                             cell % 5 == 0 ? 0.0 : 100 * unit(random) * unit(random),
                             500 * unit(random),
                             cell % 2 == 0 ? 1440.0 : 60.0};
    for (std::size_t k = 0; k < names.size(); ++k) {
      parser.SetVariable(names.substr(k, 1), values[k]);
      frame.Set(program.Slot(names.substr(k, 1)), values[k]);
    }
    for (std::size_t i = 0; i < statements.size(); ++i) {
      ASSERT_EQ(parser.Evaluate(statements[i]).rfind("Ans", 0), 0u) << statements[i];
      ASSERT_EQ(program.Evaluate(i, frame), nullptr) << statements[i];
    }
    for (const char* name : {"W", "X", "Y", "Z", "V", "Ans"}) {
      double want = 0, got = 0;
      ASSERT_EQ(parser.GetVariable(name, want), 1);
      ASSERT_TRUE(frame.Get(program.Slot(name), got));
      ASSERT_EQ(Bits(got), Bits(want)) << name << " of cell " << cell;
    }
  }
}

// Rewrites the first instruction of kind `from` in every statement with `to` (the operands of a
// comparison or operation mixed up, a wrong error, an operation dropped).
template <ExpressionProgram::Op from, ExpressionProgram::Op to>
void Replace(ExpressionProgram& program) {
  for (std::size_t i = 0; i < program.Size(); ++i)
    for (ExpressionProgram::Instruction& in : program.Code(i))
      if (in.op == from) {
        in.op = to;
        break;
      }
}
void DropNegation(ExpressionProgram& program) {
  for (std::size_t i = 0; i < program.Size(); ++i)
    std::erase_if(program.Code(i),
                  [](const auto& in) { return in.op == ExpressionProgram::Op::kNegate; });
}
void DropStore(ExpressionProgram& program) {
  for (std::size_t i = 0; i < program.Size(); ++i)
    std::erase_if(program.Code(i),
                  [](const auto& in) { return in.op == ExpressionProgram::Op::kStore; });
}
// The operands of the first subtraction swapped: -(a + -b) is b - a.
void SwapSubtraction(ExpressionProgram& program) {
  using Op = ExpressionProgram::Op;
  for (std::size_t i = 0; i < program.Size(); ++i) {
    std::vector<ExpressionProgram::Instruction>& code = program.Code(i);
    for (std::size_t k = 0; k < code.size(); ++k)
      if (code[k].op == Op::kSubtract) {
        code[k].op = Op::kAdd;
        code.insert(code.begin() + static_cast<std::ptrdiff_t>(k) + 1, {Op::kNegate});
        code.insert(code.begin() + static_cast<std::ptrdiff_t>(k), {Op::kNegate});
        break;
      }
  }
}
// An unknown variable reported with the text of another error.
void WrongError(ExpressionProgram& program) {
  for (std::size_t i = 0; i < program.Size(); ++i)
    for (ExpressionProgram::Instruction& in : program.Code(i))
      if (in.op == ExpressionProgram::Op::kLoad)
        in.b = program.ErrorIndex("Error: planted (col 0)");
}

TEST(ExpressionProgram, ComparisonCatchesPlantedFaults) {
  using Op = ExpressionProgram::Op;
  const struct {
    const char* fault;
    void (*plant)(ExpressionProgram&);
  } plants[] = {
      {"< as <=", Replace<Op::kLess, Op::kLessEqual>},
      {"- as +", Replace<Op::kSubtract, Op::kAdd>},
      {"operands of - swapped", SwapSubtraction},
      {"^ as *", Replace<Op::kPower, Op::kMultiply>},
      {"% as ||", Replace<Op::kModulo, Op::kExclusiveOr>},
      {"log as log10", Replace<Op::kLog, Op::kLog10>},
      {"negation dropped", DropNegation},
      {"assignment dropped", DropStore},
      {"unknown variable's text", WrongError},
  };
  for (const auto& p : plants) EXPECT_NE(FirstDifference(1, 20000, p.plant), "") << p.fault;
}

}  // namespace
}  // namespace velorn
