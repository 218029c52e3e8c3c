// The expression parser: tokeniser, precedence levels, functions, variable list and the error
// texts.
#include "lateral/expression_parser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>

#include "core/number_reader.h"
#include "lateral/expression_language.h"

namespace velorn {
namespace {

using namespace expression_language;

// Names compare as stored: cut to 30 characters, case ignored.
bool SameName(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), kMaxNameLength);
  if (n != std::min(b.size(), kMaxNameLength)) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

}  // namespace

// --- Error ---------------------------------------------------------------------------------------

const char* ExpressionParser::Error::Text(int id) {
  switch (id) {
    case 1:
      return "Syntax error in part: ";
    case 2:
      return "Syntax error";
    case 3:
      return "Parentesis ) missing";
    case 4:
      return "Empty expression";
    case 5:
      return "Unexpected part: ";
    case 6:
      return "Unexpected end of expression";
    case 7:
      return "Value expected";
    case 101:
      return "Unknown operator ";
    case 102:
      return "Unknown function ";
    case 103:
      return "Unknown variable ";
    case 200:
      return "Too long expression, maximum number of characters exceeded";
    case 300:
      return "Defining variable failed";
    case 400:
      return "Integer value expected in function ";
    case 401:
      return "Integer value out of range in ";
    case 402:
      return "Division by zero in operator ";
    default:
      return "Unknown error";
  }
}

ExpressionParser::Error::Error(int column_arg, int id_arg)
    : column(column_arg), id(id_arg), message(Text(id_arg)) {}

ExpressionParser::Error::Error(int column_arg, int id_arg, const std::string& argument)
    : column(column_arg), id(id_arg), message(std::string(Text(id_arg)) + argument) {}

ExpressionParser::Error::Error(int column_arg, int id_arg, double argument)
    : column(column_arg), id(id_arg) {
  std::ostringstream text;
  text << Text(id_arg) << argument;
  message = text.str();
}

ExpressionParser::Error::Error(int column_arg, int id_arg, int argument)
    : column(column_arg),
      id(id_arg),
      message(std::string(Text(id_arg)) + std::to_string(argument)) {}

// --- Evaluation ----------------------------------------------------------------------------------

ExpressionParser::ExpressionParser(VariableList* variables) : variables_(variables) {
  if (variables_ == nullptr) {
    own_variables_ = std::make_unique<VariableList>();
    variables_ = own_variables_.get();
  }
  expression_.reserve(kMaxStatementLength + 1);
  token_.reserve(kMaxStatementLength + 1);
  result_text_.reserve(kMaxStatementLength + 1);
}

const std::string& ExpressionParser::Evaluate(const std::string& statement) {
  try {
    if (statement.size() > kMaxStatementLength) throw Error(-1, kTooLong);
    expression_.assign(statement);
    position_ = 0;
    result_ = 0;
    GetToken();
    if (token_type_ == kDelimiter && token_.empty()) throw Error(TokenColumn(), kEmptyExpression);
    const double value = ParseStatement();
    if (token_type_ != kDelimiter) throw Error(TokenColumn(), kUnexpectedPart, token_);
    if (!token_.empty()) throw Error(TokenColumn(), kUnknownOperator, token_);
    result_ = value;
    SetVariable("Ans", value);
    char text[64];
    std::snprintf(text, sizeof text, "Ans = %g", value);
    result_text_.assign(text);
  } catch (const Error& error) {
    result_ = 0;
    char column[32];
    std::snprintf(column, sizeof column, " (col %i)", error.column);
    result_text_.assign("Error: ").append(error.message).append(column);
  }
  return result_text_;
}

void ExpressionParser::GetToken() {
  token_type_ = kNone;
  token_.clear();
  const std::size_t n = expression_.size();
  while (position_ < n && IsBlank(expression_[position_])) ++position_;
  token_start_ = position_;
  if (position_ >= n) {
    token_type_ = kDelimiter;
    return;
  }
  const char first = expression_[position_];
  std::size_t end = position_;
  if (first == '-' || first == '(' || first == ')') {
    token_type_ = kDelimiter;
    end = position_ + 1;
  } else if (IsOneOf(first, kOperatorChars)) {
    token_type_ = kDelimiter;
    while (end < n && IsOneOf(expression_[end], kOperatorChars)) ++end;
  } else if (IsOneOf(first, kNumberChars)) {
    token_type_ = kNumber;
    end = NumberWordEnd(expression_, position_);
    const std::string word = expression_.substr(position_, end - position_);
    if (!ReadNumber(word, number_)) throw Error(TokenColumn(), kSyntaxErrorInPart, word);
  } else if (IsLetter(first)) {
    while (end < n && (IsLetter(expression_[end]) || IsDigit(expression_[end]))) ++end;
    std::size_t look = end;
    while (look < n && IsBlank(expression_[look])) ++look;
    token_type_ = look < n && expression_[look] == '(' ? kFunction : kVariable;
    if (end - position_ > kMaxNameLength)
      throw Error(TokenColumn(), kSyntaxErrorInPart,
                  expression_.substr(position_, end - position_));
  } else {
    throw Error(TokenColumn(), kSyntaxErrorInPart, expression_.substr(position_));
  }
  if (end - position_ > kMaxTokenLength)
    throw Error(TokenColumn(), kSyntaxErrorInPart, expression_.substr(position_, end - position_));
  token_.assign(expression_, position_, end - position_);
  position_ = end;
}

double ExpressionParser::ParseStatement() {
  if (token_type_ == kVariable) {
    const std::size_t saved_position = position_;
    const std::size_t saved_start = token_start_;
    const std::string name = token_;
    GetToken();
    if (token_type_ == kDelimiter && token_ == "=") {
      GetToken();
      const double value = ParseBitwise();
      SetVariable(name, value);
      return value;
    }
    position_ = saved_position;
    token_start_ = saved_start;
    token_ = name;
    token_type_ = kVariable;
  }
  return ParseBitwise();
}

double ExpressionParser::ParseBitwise() {
  double left = ParseRelation();
  while (token_type_ == kDelimiter &&
         (token_ == "&" || token_ == "|" || token_ == "<<" || token_ == ">>")) {
    const std::string op = token_;
    GetToken();
    const double right = ParseRelation();
    const int a = ToInt(left, op);
    const int b = ToInt(right, op);
    if (op == "&") {
      left = a & b;
    } else if (op == "|") {
      left = a | b;
    } else {
      if (b < 0 || b > 31) throw Error(TokenColumn(), kIntegerOutOfRange, "operator " + op);
      left = op == "<<" ? static_cast<int32_t>(static_cast<uint32_t>(a) << b) : a >> b;
    }
  }
  return left;
}

double ExpressionParser::ParseRelation() {
  double left = ParseSum();
  for (;;) {
    if (token_type_ != kDelimiter) return left;
    const std::string op = token_;
    if (op != "=" && op != "<>" && op != "<" && op != ">" && op != "<=" && op != ">=") return left;
    GetToken();
    const double right = ParseSum();
    bool holds = false;
    if (op == "=") holds = left == right;
    if (op == "<>") holds = left != right;
    if (op == "<") holds = left < right;
    if (op == ">") holds = left > right;
    if (op == "<=") holds = left <= right;
    if (op == ">=") holds = left >= right;
    left = holds ? 1.0 : 0.0;
  }
}

double ExpressionParser::ParseSum() {
  double left = ParseProduct();
  while (token_type_ == kDelimiter && (token_ == "+" || token_ == "-")) {
    const bool plus = token_ == "+";
    GetToken();
    const double right = ParseProduct();
    left = plus ? left + right : left - right;
  }
  return left;
}

double ExpressionParser::ParseProduct() {
  double left = ParsePower();
  while (token_type_ == kDelimiter &&
         (token_ == "*" || token_ == "/" || token_ == "%" || token_ == "||")) {
    const std::string op = token_;
    GetToken();
    const double right = ParsePower();
    if (op == "*") {
      left *= right;
    } else if (op == "/") {
      left /= right;
    } else {
      const int a = ToInt(left, op);
      const int b = ToInt(right, op);
      if (op == "||") {
        left = a ^ b;
      } else if (b == 0) {
        throw Error(TokenColumn(), kDivisionByZero, op);
      } else {
        // The smallest int divided by -1 overflows (and traps); its remainder is 0.
        left = b == -1 ? 0 : a % b;
      }
    }
  }
  return left;
}

double ExpressionParser::ParsePower() {
  double left = ParseFactorial();
  while (token_type_ == kDelimiter && token_ == "^") {
    GetToken();
    left = std::pow(left, ParseFactorial());
  }
  return left;
}

double ExpressionParser::ParseFactorial() {
  double value = ParseNegation();
  while (token_type_ == kDelimiter && token_ == "!") {
    value = Factorial(value, -1);
    GetToken();
  }
  return value;
}

double ExpressionParser::ParseNegation() {
  if (token_type_ == kDelimiter && token_ == "-") {
    GetToken();
    return -(token_type_ == kFunction ? ParseFunctionCall() : ParsePrimary());
  }
  return ParseFunctionCall();
}

double ExpressionParser::ParseFunctionCall() {
  if (token_type_ != kFunction) return ParsePrimary();
  const std::string name = token_;
  const int column = TokenColumn();
  const std::string upper = UpperName(name);
  static const char* const kFunctions[] = {"ABS", "EXP", "SIGN", "SQRT", "LOG",  "LOG10",    "SIN",
                                           "COS", "TAN", "ASIN", "ACOS", "ATAN", "FACTORIAL"};
  bool known = false;
  for (const char* function : kFunctions) known = known || upper == function;
  if (!known) throw Error(column, kUnknownFunction, name);
  GetToken();
  return EvaluateFunction(upper, ParsePrimary());
}

double ExpressionParser::EvaluateFunction(const std::string& upper, double x) {
  if (upper == "ABS") return std::fabs(x);
  if (upper == "EXP") return std::exp(x);
  if (upper == "SIGN") return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
  if (upper == "SQRT") return std::sqrt(x);
  if (upper == "LOG") return std::log(x);
  if (upper == "LOG10") return std::log10(x);
  if (upper == "SIN") return std::sin(x);
  if (upper == "COS") return std::cos(x);
  if (upper == "TAN") return std::tan(x);
  if (upper == "ASIN") return std::asin(x);
  if (upper == "ACOS") return std::acos(x);
  if (upper == "ATAN") return std::atan(x);
  return Factorial(x, TokenColumn());
}

double ExpressionParser::ParsePrimary() {
  if (token_type_ == kNumber) {
    const double value = number_;
    GetToken();
    return value;
  }
  if (token_type_ == kVariable) {
    double value = 0;
    const std::string upper = UpperName(token_);
    if (upper == "EULER") {
      value = kEuler;
    } else if (upper == "PI") {
      value = kPi;
    } else if (GetVariable(token_, value) == 0) {
      throw Error(TokenColumn(), kUnknownVariable, token_);
    }
    GetToken();
    return value;
  }
  if (token_type_ == kDelimiter && token_ == "(") {
    GetToken();
    const double value = ParseBitwise();
    if (token_type_ != kDelimiter || token_ != ")") throw Error(TokenColumn(), kParenthesisMissing);
    GetToken();
    return value;
  }
  if (token_.empty()) throw Error(TokenColumn(), kUnexpectedEnd);
  throw Error(TokenColumn(), kValueExpected);
}

int ExpressionParser::ToInt(double value, const std::string& op) const {
  // Truncation towards zero must land inside the int range; NaN fails both tests.
  if (!(value > -2147483649.0 && value < 2147483648.0))
    throw Error(TokenColumn(), kIntegerOutOfRange, "operator " + op);
  return static_cast<int>(value);
}

double ExpressionParser::Factorial(double value, int column) const {
  if (!(value > -2147483649.0 && value < 2147483648.0) ||
      value != static_cast<double>(static_cast<int>(value)))
    throw Error(column, kIntegerExpected, std::string("factorial"));
  const int n = static_cast<int>(value);
  if (n > kMaxFactorial) throw Error(column, kIntegerOutOfRange, std::string("function factorial"));
  if (n < 0) return n;
  double product = 1.0;
  for (int k = 2; k <= n; ++k) product *= k;
  return product;
}

// --- Variable list -------------------------------------------------------------------------------

int ExpressionParser::SetVariable(const std::string& name, double value) {
  const std::string cut = name.substr(0, kMaxNameLength);
  const int index = GetVariableIndex(cut);
  if (index >= 0) {
    VariableRecord& record = (*variables_)[static_cast<std::size_t>(index)];
    record.name = cut;
    record.value = value;
  } else {
    variables_->push_back(VariableRecord{cut, value});
  }
  return 1;
}

int ExpressionParser::GetVariable(const std::string& name, double& value) const {
  const int index = GetVariableIndex(name);
  if (index < 0) return 0;
  value = (*variables_)[static_cast<std::size_t>(index)].value;
  return 1;
}

int ExpressionParser::DeleteVariable(const std::string& name) {
  const int index = GetVariableIndex(name);
  if (index < 0) return 0;
  (*variables_)[static_cast<std::size_t>(index)] = variables_->back();
  variables_->pop_back();
  return 1;
}

int ExpressionParser::GetVariableByIndex(int index, double& value) const {
  if (index < 0 || static_cast<std::size_t>(index) >= variables_->size()) return 0;
  value = (*variables_)[static_cast<std::size_t>(index)].value;
  return 1;
}

int ExpressionParser::GetVariableIndex(const std::string& name) const {
  for (std::size_t i = 0; i < variables_->size(); ++i)
    if (SameName((*variables_)[i].name, name)) return static_cast<int>(i);
  return -1;
}

}  // namespace velorn
