// The engine's small text, number, file-name and file routines, in the
// xBase manner. Texts are Windows-1250 bytes; positions are 1-based as in
// xBase (0 means "not found"). A blank is any character of code 32 or below.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/pfile.h"
#include "tablebase/tzstate.h"

// ---- Texts ------------------------------------------------------------------
std::string RTrim(std::string_view S);
std::string LTrim(std::string_view S);
inline std::string TrimR(std::string_view S) { return RTrim(S); }
inline std::string TrimL(std::string_view S) { return LTrim(S); }
std::string AllTrim(std::string_view S);
// Case by the fixed Windows-1250 tables (never the C locale).
std::string Upper(std::string_view S);
std::string Lower(std::string_view S);
char UpperChar(char C);
char LowerChar(char C);
// True when S is not empty and starts with a Windows-1250 letter.
bool IsAlpha(std::string_view S);
// Windows-1250 <-> CP852, same length.
std::string AnsiToOem(std::string_view S);
std::string OemToAnsi(std::string_view S);
std::string Space(int N);
std::string Replicate(char C, int N);
// S padded with blanks to N characters; never cut.
std::string PadR(std::string_view S, int N);
template <class T>
T IIf(bool Cond, T A, T B) {
  return Cond ? A : B;
}
inline std::string IIf(bool Cond, const char* A, const char* B) { return Cond ? A : B; }

// Number of occurrences of Sub in S (non-overlapping); 0 when either is empty.
int Occurs(std::string_view Sub, std::string_view S);
// Position of the N-th occurrence of Sub in S; occurrences may overlap. A
// negative N counts from the right (the position is still from the left).
// 0 when S or Sub is empty, N is 0 or there are fewer occurrences.
int At(int N, std::string_view Sub, std::string_view S);
// Position of the first occurrence (the xBase AT with two arguments).
inline int At(std::string_view Sub, std::string_view S) { return At(1, Sub, S); }
// Position of the last occurrence; 0 when absent or either is empty.
int RAt(std::string_view Sub, std::string_view S);
// The part of S before the first Sub; empty when Sub is absent.
std::string StrBefore(std::string_view Sub, std::string_view S);
// The text after the first Open and before the last Close; empty when
// either is missing or that Close starts before the text after Open.
std::string StrBetween(std::string_view Open, std::string_view Close, std::string_view S);

// ---- Numbers ----------------------------------------------------------------
// These use the engine's separators (TzDecimalSep, TzThousandSep), never
// the C library's locale.

// N in decimal.
std::string IntText(int64_t N);
// N in decimal, right-aligned in Width characters (never cut).
std::string StrInt(int64_t N, int Width);
// The one formatter of every number the engine writes (field values,
// STR(), index keys, search texts, StrFloat), as the sibling programs'
// runtime writes numbers: fixed point with Decimals decimals (0..255), "."
// as the point, the exact binary value rounded with halves away from zero
// (0.125 gives "0.13", 2.675 - really 2.67499... - gives "2.67"), never
// "-0.00". NaN is written as 0, infinities as the largest finite values.
// FormatNumberTo writes no padding into Out (kNumberTextMax bytes) and
// returns the length; FormatNumber right-aligns in Width and never cuts.
constexpr size_t kNumberTextMax = 600;
size_t FormatNumberTo(double Value, int Decimals, char* Out);
// FormatNumberTo's way for every value, through the shortest exact digits
// of the standard library; FormatNumberTo itself rounds in whole numbers
// where the result fits 64 bits and gives the same bytes.
size_t FormatNumberGeneralTo(double Value, int Decimals, char* Out);
// |Value| * 10^Decimals rounded to a whole number from the exact binary
// value, halves away from zero: the digits FormatNumberTo writes, without
// the point. False (Out untouched) for an infinity or NaN, for Decimals
// outside 0..27 and for a result beyond 64 bits.
bool ScaledRounded(double Value, int Decimals, uint64_t& Out);
std::string FormatNumber(double Value, int Width, int Decimals);
// FormatNumber with Decimals cut to 30 and the result to 30 characters;
// the decimal point is TzDecimalSep.
std::string StrFloat(int Width, int Decimals, double Value);
// The leading whole number of S in local notation (thousands separators
// and "$" dropped), 0 for none or a negative number, at most 32767.
int16_t ValInt(std::string_view S);
// Turns a number text in local notation into "-1234.50" notation in place:
// signs, "$" and thousands separators dropped, the decimal separator made
// ".", cut at the first character that cannot belong to the number.
void CleanNumber(std::string& S);
// The whole part of a number text in local notation (0 for none).
int32_t ValNumber(std::string_view S);

// Removes every occurrence of Keyword (case-insensitive) from S that is not
// followed by a digit, a letter, "_" or a path separator; S comes back in
// upper case and trimmed. True when something was removed.
bool RemoveKeyword(std::string_view Keyword, std::string& S);

// ---- File names -------------------------------------------------------------
// Both "/" and "\" separate directories in the names given here.

// Dir keeps its trailing separator; Name (at most 64 characters) has no
// extension; Ext starts with its dot (at most 64 characters).
void FSplit(std::string_view Path, std::string& Dir, std::string& Name, std::string& Ext);
// Name with "." + Ext (given without the dot) when it has no extension.
std::string DefaultExtension(std::string_view Name, std::string_view Ext);
// Name with its extension replaced by "." + Ext.
std::string ForceExtension(std::string_view Name, std::string_view Ext);
std::string StripExtension(std::string_view Name);
// The absolute form of Name ("/" separators, "." and ".." resolved, the
// current directory in front of a relative name); at most 255 characters.
std::string FullPath(std::string_view Name);
// The name as the file system holds it (there are no 8.3 names here);
// empty when the file does not exist.
std::string ShortPath(std::string_view Name);

// ---- Files ------------------------------------------------------------------
// True when a file (not a directory) of that name exists; the name may hold
// wildcards, then true when any file matches. Names resolve
// case-insensitively.
bool FileExists(const std::string& Name);
// Directory search with Windows attributes (plat::FileAttr): regular files
// always qualify, directories and hidden entries only when Attr asks for
// them. Both store their result in FindStatus and return it: 0, 2 when
// nothing matches the mask, 3 for a missing directory, 18 when TzFindNext
// has no more.
int TzFindFirst(const std::string& Mask, uint8_t Attr, TSearchRec& Rec);
int TzFindNext(TSearchRec& Rec);
void TzFindClose(TSearchRec& Rec);
// The DOS packed date and time of an open file; 0 on failure. FindStatus
// gets 0 or the error.
uint32_t FileDateOf(plat::File& F);
// Free kilobytes available on the file system holding Path (the current
// directory for an empty path), at most 2147483647, which is also the
// answer when the query fails.
int32_t DiskFreeKB(const std::string& Path);
// DiskFreeKB of a drive number: 0 is the current directory's file system;
// there are no drive letters here, so the others answer for the root.
int32_t DiskFreeDrive(int N);
// Erases a file unless another handle holds it open; 0 or the DOS error.
int EraseFile(const std::string& Name);
// Erases the files of a mask (wildcards allowed). Sets LastErrorCode: 0, or
// the search status when a wildcard mask matches nothing (no message), or
// reports through SetError: a plain name that cannot be erased ("Error
// erasing " + Mask, its code), some files of a mask that could not be
// erased (5, "Could not erase <n> files like " + Mask). Their find records
// are kept in FailedErases().
void EraseFiles(const std::string& Mask);
const std::forward_list<TSearchRec>& FailedErases();
// Creates a new empty "TZP....TMP" file in the temporary directory and
// returns its full name; on failure reports the system's error code and
// returns "".
std::string UniqueFilename();
// True when the file exists, can be opened and is dated today.
bool FileIsFromToday(const std::string& Name);
// "<date> hh:mm:ss" of the first file matching Name (wildcards allowed);
// "" when nothing matches.
std::string FileStamp(const std::string& Name);
