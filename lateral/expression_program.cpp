// The expression program: a compiler that walks a statement exactly as the parser's recursive
// descent does and writes, where the parser computes, the operation it would compute; and the
// stack machine that runs the code.
#include "lateral/expression_program.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "core/number_reader.h"
#include "lateral/expression_language.h"
#include "lateral/expression_parser.h"

namespace velorn {
// The file's own helpers in a namespace of their own: the parser's file, compiled in the same
// unity batch, has helpers of the same names in its anonymous namespace.
namespace program_code {
namespace {

using namespace expression_language;

using Error = ExpressionParser::Error;
using Op = ExpressionProgram::Op;

// The parser's text of a failure.
std::string ErrorText(const Error& error) {
  char column[32];
  std::snprintf(column, sizeof column, " (col %i)", error.column);
  return std::string("Error: ").append(error.message).append(column);
}

// One statement's compilation: the parser's tokeniser and precedence levels, each level
// emitting its operation (with the errors it may raise, columns as the parser would give them)
// at the point where the parser evaluates it. A static failure (syntax, unknown function, the
// checks after the statement) ends the code with a kFail at the point the parser throws it.
class Compiler {
 public:
  Compiler(ExpressionProgram& program, ExpressionProgram::Statement& out)
      : program_(program), out_(out) {}

  void Compile(const std::string& statement) {
    try {
      if (statement.size() > kMaxStatementLength) throw Error(-1, kTooLong);
      expression_ = statement;
      position_ = 0;
      GetToken();
      if (token_type_ == kDelimiter && token_.empty()) throw Error(TokenColumn(), kEmptyExpression);
      ParseStatement();
      if (token_type_ != kDelimiter) throw Error(TokenColumn(), kUnexpectedPart, token_);
      if (!token_.empty()) throw Error(TokenColumn(), kUnknownOperator, token_);
    } catch (const Error& error) {
      Emit(Op::kFail, 0, ErrorIndex(error));
    }
  }

 private:
  enum TokenType { kNone = -1, kDelimiter = 0, kNumber = 1, kVariable = 2, kFunction = 3 };

  int TokenColumn() const { return static_cast<int>(token_start_) + 1; }
  std::int32_t ErrorIndex(const Error& error) { return program_.ErrorIndex(ErrorText(error)); }
  // `effect`: what the operation does to the stack's height.
  void Emit(Op op, int effect, std::int32_t a = -1, std::int32_t b = -1, double number = 0) {
    out_.code.push_back(ExpressionProgram::Instruction{op, a, b, number});
    height_ += effect;
    if (height_ > 0 && static_cast<std::size_t>(height_) > out_.depth)
      out_.depth = static_cast<std::size_t>(height_);
  }
  // An operation on two operands; `a` is the integer range error where it has one.
  void EmitBinary(Op op, std::int32_t a = -1, std::int32_t b = -1) { Emit(op, -1, a, b); }
  std::int32_t RangeError(const std::string& op) {
    return ErrorIndex(Error(TokenColumn(), kIntegerOutOfRange, "operator " + op));
  }

  void GetToken() {
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
      throw Error(TokenColumn(), kSyntaxErrorInPart,
                  expression_.substr(position_, end - position_));
    token_.assign(expression_, position_, end - position_);
    position_ = end;
  }

  bool Delimiter(const char* text) const { return token_type_ == kDelimiter && token_ == text; }

  void ParseStatement() {
    if (token_type_ == kVariable) {
      const std::size_t saved_position = position_;
      const std::size_t saved_start = token_start_;
      const std::string name = token_;
      GetToken();
      if (Delimiter("=")) {
        GetToken();
        ParseBitwise();
        Emit(Op::kStore, 0, program_.Slot(name));
        return;
      }
      position_ = saved_position;
      token_start_ = saved_start;
      token_ = name;
      token_type_ = kVariable;
    }
    ParseBitwise();
  }

  void ParseBitwise() {
    ParseRelation();
    while (Delimiter("&") || Delimiter("|") || Delimiter("<<") || Delimiter(">>")) {
      const std::string op = token_;
      GetToken();
      ParseRelation();
      const Op code = op == "&"    ? Op::kAnd
                      : op == "|"  ? Op::kOr
                      : op == "<<" ? Op::kShiftLeft
                                   : Op::kShiftRight;
      EmitBinary(code, RangeError(op));
    }
  }

  void ParseRelation() {
    ParseSum();
    for (;;) {
      if (token_type_ != kDelimiter) return;
      const std::string op = token_;
      Op code;
      if (op == "=") {
        code = Op::kEqual;
      } else if (op == "<>") {
        code = Op::kNotEqual;
      } else if (op == "<") {
        code = Op::kLess;
      } else if (op == ">") {
        code = Op::kGreater;
      } else if (op == "<=") {
        code = Op::kLessEqual;
      } else if (op == ">=") {
        code = Op::kGreaterEqual;
      } else {
        return;
      }
      GetToken();
      ParseSum();
      EmitBinary(code);
    }
  }

  void ParseSum() {
    ParseProduct();
    while (Delimiter("+") || Delimiter("-")) {
      const bool plus = token_ == "+";
      GetToken();
      ParseProduct();
      EmitBinary(plus ? Op::kAdd : Op::kSubtract);
    }
  }

  void ParseProduct() {
    ParsePower();
    while (Delimiter("*") || Delimiter("/") || Delimiter("%") || Delimiter("||")) {
      const std::string op = token_;
      GetToken();
      ParsePower();
      if (op == "*") {
        EmitBinary(Op::kMultiply);
      } else if (op == "/") {
        EmitBinary(Op::kDivide);
      } else if (op == "||") {
        EmitBinary(Op::kExclusiveOr, RangeError(op));
      } else {
        EmitBinary(Op::kModulo, RangeError(op),
                   ErrorIndex(Error(TokenColumn(), kDivisionByZero, op)));
      }
    }
  }

  void ParsePower() {
    ParseFactorial();
    while (Delimiter("^")) {
      GetToken();
      ParseFactorial();
      EmitBinary(Op::kPower);
    }
  }

  void EmitFactorial(int column) {
    Emit(Op::kFactorial, 0, ErrorIndex(Error(column, kIntegerExpected, std::string("factorial"))),
         ErrorIndex(Error(column, kIntegerOutOfRange, std::string("function factorial"))));
  }

  void ParseFactorial() {
    ParseNegation();
    while (Delimiter("!")) {
      EmitFactorial(-1);
      GetToken();
    }
  }

  void ParseNegation() {
    if (Delimiter("-")) {
      GetToken();
      if (token_type_ == kFunction) {
        ParseFunctionCall();
      } else {
        ParsePrimary();
      }
      Emit(Op::kNegate, 0);
      return;
    }
    ParseFunctionCall();
  }

  void ParseFunctionCall() {
    if (token_type_ != kFunction) {
      ParsePrimary();
      return;
    }
    const std::string name = token_;
    const int column = TokenColumn();
    const std::string upper = UpperName(name);
    static const struct {
      const char* name;
      Op op;
    } kFunctions[] = {{"ABS", Op::kAbs},
                      {"EXP", Op::kExp},
                      {"SIGN", Op::kSign},
                      {"SQRT", Op::kSqrt},
                      {"LOG", Op::kLog},
                      {"LOG10", Op::kLog10},
                      {"SIN", Op::kSin},
                      {"COS", Op::kCos},
                      {"TAN", Op::kTan},
                      {"ASIN", Op::kAsin},
                      {"ACOS", Op::kAcos},
                      {"ATAN", Op::kAtan},
                      {"FACTORIAL", Op::kFactorial}};
    const auto* function = std::begin(kFunctions);
    while (function != std::end(kFunctions) && upper != function->name) ++function;
    if (function == std::end(kFunctions)) throw Error(column, kUnknownFunction, name);
    GetToken();
    ParsePrimary();
    if (function->op == Op::kFactorial) {
      EmitFactorial(TokenColumn());
    } else {
      Emit(function->op, 0);
    }
  }

  void ParsePrimary() {
    if (token_type_ == kNumber) {
      Emit(Op::kNumber, 1, -1, -1, number_);
      GetToken();
      return;
    }
    if (token_type_ == kVariable) {
      const std::string upper = UpperName(token_);
      if (upper == "EULER") {
        Emit(Op::kNumber, 1, -1, -1, kEuler);
      } else if (upper == "PI") {
        Emit(Op::kNumber, 1, -1, -1, kPi);
      } else {
        Emit(Op::kLoad, 1, program_.Slot(token_),
             ErrorIndex(Error(TokenColumn(), kUnknownVariable, token_)));
      }
      GetToken();
      return;
    }
    if (Delimiter("(")) {
      GetToken();
      ParseBitwise();
      if (!Delimiter(")")) throw Error(TokenColumn(), kParenthesisMissing);
      GetToken();
      return;
    }
    if (token_.empty()) throw Error(TokenColumn(), kUnexpectedEnd);
    throw Error(TokenColumn(), kValueExpected);
  }

  ExpressionProgram& program_;
  ExpressionProgram::Statement& out_;
  int height_ = 0;
  std::string expression_;
  std::size_t position_ = 0;
  std::size_t token_start_ = 0;
  std::string token_;
  TokenType token_type_ = kNone;
  double number_ = 0;  // the value of a number token
};

// The parser's integer operand: inside the int range after truncation (NaN is not).
inline bool IntRange(double value) {
  return value > -2147483649.0 && value < 2147483648.0;
}

}  // namespace
}  // namespace program_code

void ExpressionProgram::Frame::Clear() {
  std::fill(defined_.begin(), defined_.end(), static_cast<unsigned char>(0));
}

ExpressionProgram::ExpressionProgram() {
  answer_slot_ = Slot("Ans");
}

int ExpressionProgram::Slot(const std::string& name) {
  const std::string key = program_code::UpperName(name.substr(0, program_code::kMaxNameLength));
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == key) return static_cast<int>(i);
  names_.push_back(key);
  return static_cast<int>(names_.size() - 1);
}

std::int32_t ExpressionProgram::ErrorIndex(const std::string& text) {
  for (std::size_t i = 0; i < errors_.size(); ++i)
    if (errors_[i] == text) return static_cast<std::int32_t>(i);
  errors_.push_back(text);
  return static_cast<std::int32_t>(errors_.size() - 1);
}

std::size_t ExpressionProgram::Add(const std::string& statement) {
  Statement compiled;
  program_code::Compiler(*this, compiled).Compile(statement);
  if (compiled.depth > depth_) depth_ = compiled.depth;
  statements_.push_back(std::move(compiled));
  return statements_.size() - 1;
}

ExpressionProgram::Frame ExpressionProgram::NewFrame() const {
  Frame frame;
  frame.values_.assign(names_.size(), 0.0);
  frame.defined_.assign(names_.size(), 0);
  frame.stack_.assign(depth_, 0.0);
  return frame;
}

std::string ExpressionProgram::SuccessText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "Ans = %g", value);
  return text;
}

namespace program_code {
namespace {

// The parser's factorial of a checked integer argument up to 170; a negative one is returned
// as it is.
inline double Factorial(int n) {
  if (n < 0) return n;
  double product = 1.0;
  for (int k = 2; k <= n; ++k) product *= k;
  return product;
}

}  // namespace
}  // namespace program_code

const std::string* ExpressionProgram::Evaluate(std::size_t index, Frame& frame) const {
  const Statement& statement = statements_[index];
  double* top = frame.stack_.data() - 1;  // the top of the stack (none yet)
  frame.result_ = 0;
  auto fail = [&](std::int32_t error) -> const std::string* {
    frame.result_ = 0;
    return &errors_[static_cast<std::size_t>(error)];
  };
  for (const Instruction& in : statement.code) {
    const auto slot = static_cast<std::size_t>(in.a);
    switch (in.op) {
      case Op::kNumber:
        *++top = in.number;
        break;
      case Op::kLoad:
        if (frame.defined_[slot] == 0) return fail(in.b);
        *++top = frame.values_[slot];
        break;
      case Op::kStore:
        frame.values_[slot] = *top;
        frame.defined_[slot] = 1;
        break;
      case Op::kNegate:
        *top = -*top;
        break;
      case Op::kAdd: {
        const double right = *top--;
        *top = *top + right;
        break;
      }
      case Op::kSubtract: {
        const double right = *top--;
        *top = *top - right;
        break;
      }
      case Op::kMultiply: {
        const double right = *top--;
        *top *= right;
        break;
      }
      case Op::kDivide: {
        const double right = *top--;
        *top /= right;
        break;
      }
      case Op::kPower: {
        const double right = *top--;
        *top = std::pow(*top, right);
        break;
      }
      case Op::kModulo:
      case Op::kExclusiveOr:
      case Op::kAnd:
      case Op::kOr:
      case Op::kShiftLeft:
      case Op::kShiftRight: {
        const double right = *top--;
        if (!program_code::IntRange(*top) || !program_code::IntRange(right)) return fail(in.a);
        const int a = static_cast<int>(*top);
        const int b = static_cast<int>(right);
        switch (in.op) {
          case Op::kModulo:
            if (b == 0) return fail(in.b);
            // The smallest int divided by -1 overflows (and traps); its remainder is 0.
            *top = b == -1 ? 0 : a % b;
            break;
          case Op::kExclusiveOr:
            *top = a ^ b;
            break;
          case Op::kAnd:
            *top = a & b;
            break;
          case Op::kOr:
            *top = a | b;
            break;
          default:
            if (b < 0 || b > 31) return fail(in.a);
            *top = in.op == Op::kShiftLeft
                       ? static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << b)
                       : a >> b;
            break;
        }
        break;
      }
      case Op::kEqual: {
        const double right = *top--;
        *top = *top == right ? 1.0 : 0.0;
        break;
      }
      case Op::kNotEqual: {
        const double right = *top--;
        *top = *top != right ? 1.0 : 0.0;
        break;
      }
      case Op::kLess: {
        const double right = *top--;
        *top = *top < right ? 1.0 : 0.0;
        break;
      }
      case Op::kGreater: {
        const double right = *top--;
        *top = *top > right ? 1.0 : 0.0;
        break;
      }
      case Op::kLessEqual: {
        const double right = *top--;
        *top = *top <= right ? 1.0 : 0.0;
        break;
      }
      case Op::kGreaterEqual: {
        const double right = *top--;
        *top = *top >= right ? 1.0 : 0.0;
        break;
      }
      case Op::kFactorial:
        if (!program_code::IntRange(*top) || *top != static_cast<double>(static_cast<int>(*top)))
          return fail(in.a);
        if (static_cast<int>(*top) > program_code::kMaxFactorial) return fail(in.b);
        *top = program_code::Factorial(static_cast<int>(*top));
        break;
      case Op::kAbs:
        *top = std::fabs(*top);
        break;
      case Op::kExp:
        *top = std::exp(*top);
        break;
      case Op::kSign:
        *top = *top > 0 ? 1.0 : (*top < 0 ? -1.0 : 0.0);
        break;
      case Op::kSqrt:
        *top = std::sqrt(*top);
        break;
      case Op::kLog:
        *top = std::log(*top);
        break;
      case Op::kLog10:
        *top = std::log10(*top);
        break;
      case Op::kSin:
        *top = std::sin(*top);
        break;
      case Op::kCos:
        *top = std::cos(*top);
        break;
      case Op::kTan:
        *top = std::tan(*top);
        break;
      case Op::kAsin:
        *top = std::asin(*top);
        break;
      case Op::kAcos:
        *top = std::acos(*top);
        break;
      case Op::kAtan:
        *top = std::atan(*top);
        break;
      case Op::kFail:
        return fail(in.a);
    }
  }
  const double value = *top;
  frame.result_ = value;
  frame.values_[static_cast<std::size_t>(answer_slot_)] = value;
  frame.defined_[static_cast<std::size_t>(answer_slot_)] = 1;
  return nullptr;
}

}  // namespace velorn
