// Expression parser: precedence, tokens, functions, assignment and "Ans", the variable list, the
// error texts with their columns, and the limits that keep a user's formula from crashing the run.
#include "lateral/expression_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace velorn {
namespace {

struct Case {
  const char* statement;
  const char* text;  // the exact result text
};

// Each statement on a fresh parser whose list holds A = 2 only.
TEST(ExpressionParser, EvaluatesStatementsToTheirResultTexts) {
  const Case cases[] = {
      // Precedence and associativity.
      {"-2^2", "Ans = 4"},
      {"2^3^2", "Ans = 64"},
      {"1+2&3", "Ans = 3"},
      {"3!", "Ans = 6"},
      {"1<2<3", "Ans = 1"},
      {"2*-3", "Ans = -6"},
      {"1+2*3-4/8", "Ans = 6.5"},
      {"(1+2)*3", "Ans = 9"},
      {"3 > 2 = 1", "Ans = 1"},
      {"2 <> 2", "Ans = 0"},
      // Numbers.
      {"1e-3*2", "Ans = 0.002"},
      // A number ends where its word ends: none is read from the front of a longer word.
      {"1.5.2", "Error: Syntax error in part: 1.5.2 (col 1)"},
      {"2*1.5x", "Error: Syntax error in part: 1.5x (col 3)"},
      {"3e+1", "Ans = 30"},
      {"3e", "Error: Syntax error in part: 3e (col 1)"},
      {"2.5E+2", "Ans = 250"},
      // Integer operators.
      {"5%3", "Ans = 2"},
      {"-5%3", "Ans = -2"},
      {"6||3", "Ans = 5"},
      {"1<<4", "Ans = 16"},
      {"-16>>2", "Ans = -4"},
      {"6|3", "Ans = 7"},
      {"7.9&6.1", "Ans = 6"},
      // Functions, constants and factorial.
      {"sqrt(16) + abs(-2) + sign(-3)", "Ans = 5"},
      {"log10(1000) + log(euler) + exp(0)", "Ans = 5"},
      {"sin(pi/2) + cos(0) + tan(0) + asin(1)*2/PI + acos(1) + atan(0)", "Ans = 3"},
      {"factorial(5)", "Ans = 120"},
      {"0! + 1!", "Ans = 2"},
      {"(-3)!", "Ans = -3"},
      {"-sqrt(9)", "Ans = -3"},
      // Variables: case ignored, assignment and the equality relation.
      {"a*A", "Ans = 4"},
      {"B = a + 1", "Ans = 3"},
      {"(A = 2)", "Ans = 1"},
      // Errors with their columns.
      {"1+", "Error: Unexpected end of expression (col 3)"},
      {"x+1", "Error: Unknown variable x (col 1)"},
      {"2 3", "Error: Unexpected part: 3 (col 3)"},
      {"(1+2", "Error: Parentesis ) missing (col 5)"},
      {"4 $ 2", "Error: Syntax error in part: $ 2 (col 3)"},
      {"3!*2", "Error: Unknown operator !* (col 2)"},
      {"A == 2", "Error: Unknown operator == (col 3)"},
      {"2.5!", "Error: Integer value expected in function factorial (col -1)"},
      {"factorial(2.5)", "Error: Integer value expected in function factorial (col 15)"},
      {"", "Error: Empty expression (col 1)"},
      {"   ", "Error: Empty expression (col 4)"},
      {"--2", "Error: Value expected (col 2)"},
      {"+2", "Error: Value expected (col 1)"},
      {"2)", "Error: Unknown operator ) (col 2)"},
      {"foo(2)", "Error: Unknown function foo (col 1)"},
  };
  for (const Case& c : cases) {
    ExpressionParser parser;
    parser.SetVariable("A", 2.0);
    EXPECT_EQ(parser.Evaluate(c.statement), c.text) << c.statement;
  }
}

// Limits that the integer operators, factorial and the token buffers would otherwise overflow:
// each is an error the caller sees, never a trap, a hang or a wrong number.
TEST(ExpressionParser, RefusesOperandsOutsideTheLimitsAsErrors) {
  const std::string long_name(31, 'n');
  const std::string long_number = "1" + std::string(31, '0');
  const Case cases[] = {
      {"5 % 0", "Error: Division by zero in operator % (col 6)"},
      {"5 % 0.4", "Error: Division by zero in operator % (col 8)"},
      {"3e9 & 1", "Error: Integer value out of range in operator & (col 8)"},
      {"1 | -3e9", "Error: Integer value out of range in operator | (col 9)"},
      {"1 << 32", "Error: Integer value out of range in operator << (col 8)"},
      {"1 >> -1", "Error: Integer value out of range in operator >> (col 8)"},
      {"(0/0) || 1", "Error: Integer value out of range in operator || (col 11)"},
      {"-2147483648 % -1", "Ans = 0"},
      {"1 << 31", "Ans = -2.14748e+09"},
      {"170! > 7e306", "Ans = 1"},
      {"171!", "Error: Integer value out of range in function factorial (col -1)"},
      {"factorial(1e12)", "Error: Integer value expected in function factorial (col 16)"},
      {"exp(1e3)!", "Error: Integer value expected in function factorial (col -1)"},
      {"1e400", "Error: Syntax error in part: 1e400 (col 1)"},
  };
  for (const Case& c : cases) {
    ExpressionParser parser;
    EXPECT_EQ(parser.Evaluate(c.statement), c.text) << c.statement;
  }
  ExpressionParser parser;
  EXPECT_EQ(parser.Evaluate(long_name + " = 1"),
            "Error: Syntax error in part: " + long_name + " (col 1)");
  EXPECT_EQ(parser.Evaluate(long_number),
            "Error: Syntax error in part: " + long_number + " (col 1)");
  EXPECT_EQ(parser.Evaluate(std::string(30, 'n') + " = 1"), "Ans = 1");
}

TEST(ExpressionParser, AcceptsStatementsUpTo255Characters) {
  ExpressionParser parser;
  std::string statement = "1";
  while (statement.size() < 255) statement += "+0";
  statement.resize(255, ' ');
  EXPECT_EQ(parser.Evaluate(statement), "Ans = 1");
  EXPECT_EQ(parser.Evaluate(statement + "0"),
            "Error: Too long expression, maximum number of characters exceeded (col -1)");
}

TEST(ExpressionParser, KeepsAnsAndConstantsAcrossEvaluations) {
  ExpressionParser parser;
  EXPECT_EQ(parser.Evaluate("6*7"), "Ans = 42");
  EXPECT_EQ(parser.Evaluate("ANS"), "Ans = 42");
  EXPECT_EQ(parser.Evaluate("1/"), "Error: Unexpected end of expression (col 3)");
  double ans = 0;
  ASSERT_EQ(parser.GetVariable("ans", ans), 1);
  EXPECT_EQ(ans, 42.0);
  EXPECT_EQ(parser.Result(), 0.0);
  // Assigning PI adds a variable, but the name still reads the constant.
  EXPECT_EQ(parser.Evaluate("pi = 3"), "Ans = 3");
  EXPECT_EQ(parser.HasVariable("PI"), 1);
  parser.Evaluate("pi");
  EXPECT_EQ(parser.Result(), 3.141592653589793);
  parser.Evaluate("Euler");
  EXPECT_EQ(parser.Result(), 2.718281828459045);
}

TEST(ExpressionParser, SharesOneCaseBlindVariableList) {
  ExpressionParser::VariableList list;
  ExpressionParser first(&list);
  ExpressionParser second(&list);
  first.SetVariable("A", 1.0);
  second.SetVariable("a", 5.0);  // the same variable, now stored as "a"
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "a");
  second.Evaluate("Z = A * 2");
  double z = 0;
  EXPECT_EQ(first.GetVariable("z", z), 1);
  EXPECT_EQ(z, 10.0);
  EXPECT_EQ(first.GetVariableIndex("Z"), 1);
  EXPECT_EQ(first.GetVariableIndex("Ans"), 2);
  // Deleting moves the last record into the gap.
  EXPECT_EQ(first.DeleteVariable("A"), 1);
  EXPECT_EQ(first.DeleteVariable("A"), 0);
  EXPECT_EQ(first.GetVariableIndex("ANS"), 0);
  double value = -1;
  EXPECT_EQ(first.GetVariableByIndex(1, value), 1);
  EXPECT_EQ(value, 10.0);
  EXPECT_EQ(first.GetVariableByIndex(2, value), 0);
  EXPECT_EQ(first.GetVariable("missing", value), 0);
  EXPECT_EQ(value, 10.0);
  // Names given longer than 30 characters are stored and found cut.
  first.SetVariable(std::string(35, 'q'), 7.0);
  EXPECT_EQ(first.HasVariable(std::string(30, 'Q')), 1);
  first.ClearVariables();
  EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace velorn
