// ExpressionProgram: statements of the ExpressionParser's language (lateral/expression_parser.h)
// parsed once into code for a small stack machine, then evaluated as often as needed on
// numbered variable slots, without text.
//
// Every statement gives exactly what ExpressionParser::Evaluate gives for the same text on a
// variable list holding the same variables: the same floating-point operations in the same
// order (no folding, numbers read once, whole, with the number reader), the same value stored in
// the assigned variable and in "Ans", and the same failures with the same text "Error: <message>
// (col N)", raised at the same point (a syntax error after the operations the parser would have
// carried out before it reached the bad token, a division by zero where the parser divides).
// Variable names bind to slots when a statement is added (case ignored, cut to 30 characters, EULER
// and PI are constants); whether a slot holds a value is kept per evaluation, so reading a variable
// that was never set fails as the parser's "Unknown variable" does.
//
//   ExpressionProgram program;
//   const int i = program.Slot("I");
//   const std::size_t w = program.Add("W = 11.89 + 8.73 * log10(I)");
//   ExpressionProgram::Frame frame = program.NewFrame();
//   frame.Set(i, 10.0);
//   if (const std::string* error = program.Evaluate(w, frame)) { /* *error: the parser's text */ }
//   double value = 0;
//   frame.Get(program.Slot("w"), value);      // 20.62
//
// The text "Ans = %g" of a success is formatted only by SuccessText, for a caller that reads it.
//
// Threads: the program is read-only once built; each thread evaluates on its own Frame (the
// silting-up model keeps one per grid row). Add and Slot may grow the slots: frames made before
// must not be used after. No allocation per evaluation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velorn {

class ExpressionProgram {
 public:
  // The values of the slots for one evaluation context (the parser's variable list).
  class Frame {
   public:
    void Set(int slot, double value) {
      values_[static_cast<std::size_t>(slot)] = value;
      defined_[static_cast<std::size_t>(slot)] = 1;
    }
    // true and the value when the slot holds one, else false with `value` untouched.
    bool Get(int slot, double& value) const {
      if (defined_[static_cast<std::size_t>(slot)] == 0) return false;
      value = values_[static_cast<std::size_t>(slot)];
      return true;
    }
    // Every slot empty (the parser's ClearVariables).
    void Clear();
    // Value of the last successful evaluation, 0 after a failure (the parser's Result).
    double Result() const { return result_; }

   private:
    friend class ExpressionProgram;
    std::vector<double> values_;
    std::vector<unsigned char> defined_;
    std::vector<double> stack_;
    double result_ = 0;
  };

  ExpressionProgram();

  // Slot of the variable `name` (case ignored, cut to 30 characters), added when new.
  int Slot(const std::string& name);
  // Compiles `statement`; returns its index for Evaluate. Never fails: a statement the parser
  // rejects becomes code that fails the same way when evaluated.
  std::size_t Add(const std::string& statement);
  std::size_t Size() const { return statements_.size(); }

  // A frame with every slot empty.
  Frame NewFrame() const;
  // Evaluates statement `index` on `frame`: null on success (the value in frame.Result(), in
  // "Ans" and in an assigned variable), else the parser's error text.
  const std::string* Evaluate(std::size_t index, Frame& frame) const;
  // The parser's text of a success: "Ans = %g".
  static std::string SuccessText(double value);

  // The operations of the machine (public for the compiler in the .cpp).
  enum class Op : std::uint8_t {
    kNumber,
    kLoad,
    kStore,
    kNegate,
    kAdd,
    kSubtract,
    kMultiply,
    kDivide,
    kModulo,
    kExclusiveOr,
    kPower,
    kFactorial,
    kAnd,
    kOr,
    kShiftLeft,
    kShiftRight,
    kEqual,
    kNotEqual,
    kLess,
    kGreater,
    kLessEqual,
    kGreaterEqual,
    kAbs,
    kExp,
    kSign,
    kSqrt,
    kLog,
    kLog10,
    kSin,
    kCos,
    kTan,
    kAsin,
    kAcos,
    kAtan,
    kFail,
  };
  // One instruction: a number, or a slot and the errors it may raise (indices into errors_).
  struct Instruction {
    Op op;
    std::int32_t a = -1;  // slot (load, store) or the first error
    std::int32_t b = -1;  // the second error (modulo: division by zero; factorial: range)
    double number = 0;
  };
  struct Statement {
    std::vector<Instruction> code;
    std::size_t depth = 0;  // stack cells it needs
  };

  // Used by the compiler: the index of an error text, stored once.
  std::int32_t ErrorIndex(const std::string& text);
  // The code of statement `index`: for the tests that plant a fault in it and expect their
  // comparison with the parser to catch it.
  std::vector<Instruction>& Code(std::size_t index) { return statements_[index].code; }

 private:
  std::vector<std::string> names_;  // per slot: the name in upper case
  std::vector<std::string> errors_;
  std::vector<Statement> statements_;
  int answer_slot_ = 0;
  std::size_t depth_ = 1;
};

}  // namespace velorn
