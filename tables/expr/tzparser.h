// The xBase expression compiler and evaluator. AssignExpr turns the text of
// an expression (index keys, FOR conditions, work-area filters and WHILE
// conditions) into a compiled record of postfix code; Evaluate runs that
// code against the current records of the work areas.
//
// The unit installs itself into the engine's expression hooks
// (InstallExpressionHooks), through which the work-area layer evaluates and
// frees filter and WHILE expressions without depending on this unit.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tables/expr/tzndxlow.h"

// Type codes of values (also the tokens of constants).
enum ExprType : int32_t { kTypeC = 331, kTypeN = 332, kTypeL = 333, kTypeD = 334, kTypeM = 335 };

// One instruction of the compiled code.
struct ExprNode {
  int32_t Op = 0;    // 0 push the value, -1 end of code, else an operation code
  int32_t Argc = 0;  // arguments the operation pops
  int32_t Type = 0;  // ExprType of a pushed value
  double N = 0;      // N and D constants
  int32_t L = 0;     // L constants; the field number of a field push; the
                     // index in Constants of a text push
  uint8_t Area = 0;  // aliased field: its work area; 0 for the current area
};

// A value on the work stack. Texts live in the record's string work area
// (Pool) or in its constants, zero-terminated, at most 255 characters.
struct ExprValue {
  int32_t Type = 0;
  union {
    double N;
    int32_t L;
  };
  const char* S = nullptr;
  uint16_t Len = 0;
  ExprValue() : N(0) {}
};

// A compiled expression. Owned by the engine's expression ring; callers
// hold the pointer from AssignExpr until FreeExpr.
struct ExprRecord {
  std::string Source;     // the text as compiled
  char ResultType = 'C';  // C, N, L, D or M
  uint16_t ResultLen = 0;  // 0 for a text whose length is known only when evaluated
  uint8_t ResultDec = 0;
  std::vector<std::string> Constants;  // text constants
  std::vector<ExprNode> Code;          // postfix code, ending in an end node
  // The value stack, sized at compile time to the deepest the code goes;
  // the result of N, D and L expressions stands in its first entry.
  std::vector<ExprValue> Work;
  // The string work area: StringSpace bytes for the texts pushed during one
  // evaluation (one more for the terminator of a full area); a text result
  // stands at its start.
  uint16_t StringSpace = 0;
  std::vector<char> Pool;
  // CTOD of the same text under the same date settings gives the same day;
  // each CTOD node remembers its last conversion (indexed like Code).
  struct DateMemo {
    std::string Text;
    int Format = -1;
    uint16_t Epoch = 0;
    double Julian = 0;
  };
  std::vector<DateMemo> DateMemos;
  // A text key that only joins fields of the current area, each as it is,
  // upper-cased or as DTOS of a date field (UPPER(NAZWISKO)+DTOS(DATA)):
  // its parts, which the evaluator builds straight into the work area.
  // Empty for every other expression.
  struct KeyPart {
    int32_t Field = 0;
    char Form = 'C';  // C as it is, U upper-cased, D DTOS of a date field
  };
  std::vector<KeyPart> Parts;
  // A numeric, date or logical expression of constants, fields of the
  // current area, CTOD of a constant and the operators (ILOSC * 100 +
  // KWOTA, AKTYWNY .AND. DATA >= CTOD('01.01.2000')): its code as the
  // evaluator runs it on plain numbers, logicals as 0 and 1. Empty for
  // every other expression.
  // A step takes a value (Push), applies an operator (Op), or both: the
  // value is then the operator's right operand.
  struct FastStep {
    int32_t Push = -1;  // -1 none; 0 the constant N; a field push code of Code
                        // (Arg the field's number); CTOD of the text pushed
                        // before the node Arg of Code
    int32_t Arg = 0;
    double N = 0;
    int32_t Op = 0;  // 0 none; an operator code of Code
  };
  std::vector<FastStep> Fast;
  // A numeric expression of fields of the current area and whole-number
  // constants joined by +, - and *, no product joining two fields (ILOSC *
  // 100 + KWOTA): the sum of Coef x field over Terms plus Constant, and the
  // value Bound the same expression takes with every operand made positive
  // and every subtraction an addition (what the floating-point value's
  // error is measured against). Linear is false for every other expression.
  struct LinearTerm {
    int32_t Field = 0;
    int64_t Coef = 0, Bound = 0;
    int32_t Power = -1;  // k when Coef and Bound are both 10^k, else -1
  };
  bool Linear = false;
  std::vector<LinearTerm> Terms;
  int64_t Constant = 0, ConstantBound = 0;
};

// Compiles Text. Returns the record, or null after reporting the error
// (351 syntax and type errors with a window of the text, 217 memory).
// Text longer than 255 characters is refused as a syntax error.
ExprRecord* AssignExpr(std::string_view Text);
// Frees a record from the ring and sets Rec to null; a pointer the ring
// does not hold is ignored (and still set to null).
void FreeExpr(ExprRecord*& Rec);
// Evaluates against the current records. Returns null for a null record;
// otherwise a pointer to the result: a double for N and D, a 32-bit integer
// (0 false, 1 true) for L, the zero-terminated text for C and M. Valid
// until the record is evaluated again or freed. Division by zero (358) and
// a full string work area (354) are reported and evaluation goes on.
const void* Evaluate(ExprRecord* Rec);
// The packed-decimal key of a numeric expression as an index keeps it:
// BcdKeyFromFloat(Decimals, value). Where the value is one numeric field of
// the current record, written as the engine writes numbers, or such fields
// and whole-number constants joined by +, - and * (no product of two
// fields), small enough that the floating-point value rounds to the exact
// one, the key comes from the fields' digits by whole-number arithmetic:
// the result Evaluate returns is then not set.
BcdKey EvaluateNumericKey(ExprRecord* Rec, int Decimals);
// Evaluate of the engine's current expression (set by the index code).
const void* EvaluateCurrentExpr();
void SetCurrentExpr(ExprRecord* Rec);
// The source text; empty for null.
std::string ExprSource(const ExprRecord* Rec);

// Typed readings of an Evaluate result.
inline double ExprNumber(const void* R) { return R ? *static_cast<const double*>(R) : 0; }
inline bool ExprLogical(const void* R) { return R && *static_cast<const int32_t*>(R) != 0; }
inline const char* ExprText(const void* R) { return R ? static_cast<const char*>(R) : ""; }

// Expression check of index tags: 0 when usable; 359 empty text (after
// trailing blanks are removed); 360 a key text longer than 220 characters;
// the compiler's error code when compilation fails; 361 a key of type M or
// L; 362 a FOR condition that is not logical. Compiles with automatic error
// handling off and the memo evaluation size 0, frees the record and clears
// the pending error.
uint16_t CheckExpression(std::string_view Text, bool IsKey);
inline uint16_t CheckForCondition(std::string_view Text) { return CheckExpression(Text, false); }

// Size of the string work area of a memo result (default 256).
uint16_t MemoEvalSize();
void SetMemoEvalSize(uint16_t Size);

// Fills the engine's expression hooks and sets the linked flag. Called
// from the tables layer's start-up (TablesStartup).
void InstallExpressionHooks();
