// ExpressionParser: evaluates one arithmetic statement given as text, with named numeric
// variables held in a variable list that several parsers may share.
//
// A statement is an expression or an assignment `name = expression`; the value of every
// successful evaluation is also stored as the variable "Ans". The parser is a recursive-descent
// interpreter: the text is tokenised while it is evaluated, nothing is compiled or kept (a
// statement evaluated many times is compiled once by lateral/expression_program.h). Levels,
// lowest precedence first: & | << >> (on 32-bit ints); = <> < > <= >= (1 or 0); + -;
// * / % || (% and || on ints); ^; postfix !; unary -; function calls; numbers, variables,
// parentheses. Constants EULER and PI (any case) come before the variable list; functions ABS,
// EXP, SIGN, SQRT, LOG, LOG10, SIN, COS, TAN, ASIN, ACOS, ATAN, FACTORIAL. A number ends where
// its word ends and is read whole by the one number reader (core/number_reader.h): "1.5.2",
// "1.5x", "3e" and "1e400" are syntax errors naming the word, never the number at their front.
//
//   ExpressionParser::VariableList variables;
//   ExpressionParser parser(&variables);
//   parser.SetVariable("I", 10.0);
//   parser.Evaluate("W = 11.89 + 8.73 * log10(I)");   // "Ans = 20.62"
//   double w = 0;
//   parser.GetVariable("w", w);                        // names ignore case: w == 20.62
//   parser.Evaluate("(1+2");                           // "Error: Parentesis ) missing (col 5)"
//
// Evaluate never throws: a failure becomes the text "Error: <message> (col <column>)" and
// leaves "Ans" unchanged; callers detect it by the word "Error". Limits: a statement of at most
// 255 characters (error 200), tokens of at most 31 characters and names of at most 30 (longer
// ones are refused as syntax errors; names given to SetVariable are cut to 30). Integer
// operators refuse operands outside the 32-bit range, shift counts outside 0..31 and "%" by 0;
// factorial refuses arguments above 170 (the largest whose result a double holds).
//
// Threads: a parser and its variable list are used by one thread at a time; the silting-up
// model gives each grid row its own. No I/O, no MPI, no allocation per evaluation once the
// variables exist.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace velorn {

class ExpressionParser {
 public:
  // A failure inside the parser: the 1-based column of the offending token (-1 when none
  // applies), the kind and its message with the argument.
  class Error {
   public:
    Error(int column_arg, int id_arg);
    Error(int column_arg, int id_arg, const std::string& argument);
    Error(int column_arg, int id_arg, double argument);
    Error(int column_arg, int id_arg, int argument);
    // The text of a kind ("Unknown error" for an id without one).
    static const char* Text(int id);

    int column;
    int id;
    std::string message;
  };

  struct VariableRecord {
    std::string name;  // as last written, at most 30 characters
    double value;
  };
  using VariableList = std::vector<VariableRecord>;

  // Uses `variables` (not owned) or, when null, a list of its own.
  explicit ExpressionParser(VariableList* variables = nullptr);

  // Parses and evaluates `statement`; returns "Ans = %g" or "Error: %s (col %i)". The text
  // lives until the next evaluation.
  const std::string& Evaluate(const std::string& statement);
  // Value of the last successful evaluation (0 after a failure).
  double Result() const { return result_; }

  // Replaces the value and stored name of the variable, or appends it. Returns 1.
  int SetVariable(const std::string& name, double value);
  // 1 and the value when found (case ignored), else 0 with `value` untouched.
  int GetVariable(const std::string& name, double& value) const;
  void ClearVariables() { variables_->clear(); }
  int HasVariable(const std::string& name) const { return GetVariableIndex(name) >= 0 ? 1 : 0; }
  // Removes the variable by moving the last record into its place; 1 deleted, 0 absent.
  int DeleteVariable(const std::string& name);
  // Value of the record at the 0-based index; 1 when it exists, else 0.
  int GetVariableByIndex(int index, double& value) const;
  // 0-based position of the variable, or -1.
  int GetVariableIndex(const std::string& name) const;

 private:
  enum TokenType { kNone = -1, kDelimiter = 0, kNumber = 1, kVariable = 2, kFunction = 3 };

  void GetToken();
  int TokenColumn() const { return static_cast<int>(token_start_) + 1; }
  double ParseStatement();
  double ParseBitwise();
  double ParseRelation();
  double ParseSum();
  double ParseProduct();
  double ParsePower();
  double ParseFactorial();
  double ParseNegation();
  double ParseFunctionCall();
  double ParsePrimary();
  double EvaluateFunction(const std::string& upper_name, double argument);
  // The operand truncated to a 32-bit int; out of range: an error naming the operator.
  int ToInt(double value, const std::string& op) const;
  double Factorial(double value, int column) const;

  std::unique_ptr<VariableList> own_variables_;
  VariableList* variables_;
  std::string expression_;
  std::size_t position_ = 0;
  std::size_t token_start_ = 0;
  std::string token_;
  TokenType token_type_ = kNone;
  double number_ = 0;  // the value of a number token
  double result_ = 0;
  std::string result_text_;
};

}  // namespace velorn
