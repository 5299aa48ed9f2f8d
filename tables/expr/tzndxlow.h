// Index-key encodings and date numbers: the 12-byte packed-decimal numeric
// key stored in MDX files, Julian day numbers (the form in which index keys
// and expression values carry dates), SOUNDEX, and the number text the
// keys and the expression language's STR are built from.
//
// Keys are shared byte for byte with the sibling programs: a key that
// differs by one byte puts records in the wrong order for every program
// that reads the index.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "tablebase/timedate.h"  // IsLeapYear

using BcdKey = std::array<uint8_t, 12>;
// The most digits a numeric key holds (its ten digit bytes); a key whose
// digit count says more is damaged.
inline constexpr int kMaxBcdDigits = 20;

// The Julian day of an invalid or blank date; above every real date.
inline constexpr double kInvalidJulian = 1e100;
// 1 January of year 1 and 31 December 9999, the range every conversion here
// accepts.
inline constexpr double kFirstJulian = 1721426;
inline constexpr double kLastJulian = 5373484;

// Packed-decimal key of a number text (leading blanks, an optional sign,
// digits with at most one "."; anything else ends the number). Decimals
// decide whether trailing zeros after the point count as digits. A value
// too large for the exponent byte gives the largest key of its sign, a
// non-zero value too small for it the smallest non-zero one, so that key
// order never contradicts numeric order.
BcdKey BcdKeyFromText(std::string_view Text, int Decimals);
// The value as FormatNumber writes it with the given decimals, then keyed.
// Infinities saturate like too-large values; NaN keys as zero.
BcdKey BcdKeyFromFloat(int Decimals, double Value);
// The same bytes by way of the number's text, for every value; what
// BcdKeyFromFloat itself does where the digits do not fit 64 bits.
BcdKey BcdKeyFromFloatGeneral(int Decimals, double Value);
// The key of the number Scaled / 10^Decimals (the sign from Negative) as
// BcdKeyFromFloat makes it: the digits as FormatNumberTo writes them with
// Decimals decimals, without the text. A zero has no sign.
// REQUIRES: 0 <= Decimals <= 27.
BcdKey BcdKeyFromScaled(uint64_t Scaled, int Decimals, bool Negative);
// The same from the digits in packed decimal form (four bits a digit, the
// ones in the lowest four, at most sixteen digits).
BcdKey BcdKeyFromPacked(uint64_t Packed, int Decimals, bool Negative);
// -1, 0 or 1; every zero compares equal to every other. A digit count above
// kMaxBcdDigits compares no more than the key's ten digit bytes.
int CompareBcdKeys(const BcdKey& A, const BcdKey& B);
// -1 (a < b), 0, 1. In line: filters compare a number per record.
inline int CompareFloats(double A, double B) { return A < B ? -1 : (A > B ? 1 : 0); }

// Reads a number the way the engine reads numeric field text and VAL:
// leading blanks, an optional sign, digits, one ".", an exponent "E"/"e"
// with optional sign; reading stops at the first character that does not
// fit and what was read so far is the value (0 when nothing was).
double ReadNumber(std::string_view Text);

// Julian day of a date, or kInvalidJulian when the date does not exist or
// lies outside 1 January 1 .. 31 December 9999.
double JulianFromYMD(int Year, int Month, int Day);
// Julian day of the DBF storage form YYYYMMDD (first 8 characters).
double JulianFromDtos(std::string_view Text);
// Year, month and day of a Julian day; false outside the valid range.
bool JulianToYMD(double Julian, int& Year, int& Month, int& Day);
// YYYYMMDD, or eight blanks outside the valid range.
std::string JulianToDtos(double Julian);
// The same into 8 characters at Out, without allocating; false for blanks.
bool JulianToDtos(double Julian, char* Out);
// The date text in the given picture (DateFormat 0..8, CenturyOn): the
// blank date text of the picture outside the valid range; formats 7 and
// above 8 give no text at all.
std::string JulianToDateText(double Julian, int DateFormat, bool CenturyOn);
// The same in the engine's DateFormat and CenturyOn.
std::string JulianToDateText(double Julian);
// Julian day of a date text in the engine's picture (at most 10
// characters, read with four-digit years); kInvalidJulian for the blank
// date and anything that is no date.
double DateTextToJulian(std::string_view Text);
// YYYYMMDD of a date text in the engine's picture, or eight blanks.
std::string DateTextToDtos(std::string_view Text);

// Four-character SOUNDEX code; the first character is the text's own first
// character (upper-cased a..z). An empty text gives "0000".
std::string Soundex(std::string_view Text);

// ASCII-only helpers the encodings use (accented letters are no letters
// here).
inline bool IsLetterAZ(char C) { return (C >= 'A' && C <= 'Z'); }
inline char UpperAZ(char C) { return (C >= 'a' && C <= 'z') ? char(C - 32) : C; }
// Number with leading zeros to Width characters.
std::string ZeroPadded(long long Value, int Width);

// Byte helpers of the index code, which keeps keys and expression texts in
// fixed buffers read from files: every length is bounded by the buffer.
// Length of the zero-terminated text at P, at most Max.
size_t StrLenZ(const char* P, size_t Max);
// Copies the text at Src (up to its terminator, at most Max - 1
// characters) and a terminator into Dst. REQUIRES: Max >= 1.
void StrCopyZ(char* Dst, const char* Src, size_t Max);
// The zero-terminated text at Src, at most N characters, as a string.
std::string CountedCopy(const char* Src, size_t N);
// 0 when the N bytes are equal, else the first differing byte of A minus
// that of B.
int CompareBytes(const void* A, const void* B, size_t N);
void ReverseBytes(void* P, size_t N);
// Exchanges the adjacent blocks [P, P + First) and [P + First, P + First
// + Second) in place, by three reversals.
void ExchangeBlocks(void* P, size_t First, size_t Second);
