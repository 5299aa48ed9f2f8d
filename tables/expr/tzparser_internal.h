// Shared between the compiler, the evaluator and the field access of the
// expression unit; not for other units.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "tables/expr/tzparser.h"

namespace exprint {

// Token codes of the reader (single characters are their own code).
enum Token : int32_t {
  kTokEnd = 0,
  kTokFieldC = 321,  // 321..325 field of the current area, C N L D M
  kTokAliasC = 326,  // 326..330 aliased field
  kTokUnknown = 336,
  kTokFalse = 337,
  kTokTrue = 338,
  kTokNot = 339,
  kTokOr = 340,
  kTokAnd = 341,
  kTokNe = 342,
  kTokLe = 343,
  kTokGe = 344,
  kTokEqEq = 345,
  kTokDollar = 346,
};

// Function codes of the keyword table.
enum Func : int32_t {
  kAbs = 257, kAsc = 259, kAt = 261, kCdow = 264, kChr = 266, kCmonth = 267, kCtod = 269,
  kDate = 270, kDay = 271, kDeleted = 272, kDow = 274, kDtoc = 275, kDtos = 277, kIif = 283,
  kInt = 284, kLeft = 288, kLen = 289, kLower = 292, kLtrim = 293, kMax = 294, kMin = 295,
  kMod = 296, kMonth = 297, kRecno = 300, kReplicate = 301, kRight = 302, kRound = 303,
  kRtrim = 305, kSoundex = 308, kSpace = 310, kStr = 311, kStuff = 312, kSubstr = 313,
  kTrim = 316, kUpper = 318, kVal = 319, kYear = 320,
};

// Operation codes of the operators.
enum Op : int32_t {
  kAddNN = 347, kAddND, kAddDN, kAddCC, kSubNN, kSubDN, kSubDD, kSubCC, kMul, kDiv, kPow,
  kEqN, kEqD, kEqC, kEqL, kEqEq, kContains, kGtN, kGtD, kGtC, kLtN, kLtD, kLtC, kNeN, kNeD,
  kNeC, kNeL, kLeN, kLeD, kLeC, kGeN, kGeD, kGeC, kOr, kAnd, kNot, kNeg,
};

constexpr int kMaxText = 255;

// A field as the reader found it.
struct FieldInfo {
  uint8_t Area = 0;  // 0 for the current area
  uint8_t FieldNo = 0;
  char Type = ' ';  // C, N (also F), L, D or M
  uint8_t Len = 0;
  uint8_t Dec = 0;
};

// Field of the current work area by exact (upper-case) name; false when no
// area is open, no field has the name or its type is none of C D F L M N.
bool FindField(std::string_view Name, FieldInfo& Out);
// The same in the area whose alias is Alias (areas 1..200).
bool FindAliasedField(std::string_view Alias, std::string_view Name, FieldInfo& Out);

// Evaluation-time access to the work areas. A field whose area is closed,
// or whose number the table no longer has, reads as blank.
// Text of a C field into Buf (at most 255 characters); returns the length.
size_t ReadFieldText(uint8_t Area, int FieldNo, char* Buf);
double ReadFieldNumber(uint8_t Area, int FieldNo);
bool ReadFieldLogical(uint8_t Area, int FieldNo);
double ReadFieldDate(uint8_t Area, int FieldNo);
// Memo text of a memo field through the memo hook, lines joined; empty
// without a memo layer.
std::string ReadFieldMemo(uint8_t Area, int FieldNo);
bool CurrentRecordDeleted();
int32_t CurrentRecordNumber();

// Today from the engine's clock, as a Julian day.
double Today();

// Fills Rec.Parts when the compiled code only joins fields of the current
// area as they are, upper-cased or as DTOS of a date field.
void FindKeyParts(ExprRecord& Rec);
// Fills Rec.Fast when every step of the compiled code has a plain-number
// form (see ExprRecord::Fast).
void FindFastSteps(ExprRecord& Rec);

}  // namespace exprint
