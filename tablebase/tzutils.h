// The engine's error scheme and memory routines. Every engine routine
// reports a failure through SetError(code, message naming the routine);
// what happens then depends on the switches: record only (automatic
// handling off), raise EZavivError, or show "Program halted." and end the
// process.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "tablebase/tzstate.h"

// The engine's exception. Its message is ErrorText(code) + CR LF + the
// failing routine's message.
class EZavivError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Records the error and, while automatic handling is on, runs HandleError.
void SetError(uint16_t Code, const std::string& Msg);
// The reaction to the last error: nothing while halting or for code 0;
// raises EZavivError when ErrorRaises is on; otherwise shows the message
// box "Program halted." and ends the process (exit status: the code when
// it is 1..255, else 255; the full text also goes to stderr).
void HandleError();
// "" for 0, else "Error # <code> (<text of the code>)".
std::string ErrorText(uint16_t Code);
// The text of a code alone ("No database in use", "Undefined error", ...).
std::string ErrorCodeText(uint16_t Code);
// Returns LastErrorMessage and clears it and the pending code.
std::string TakeLastErrorMessage();
// When an error is pending: ErrorText(pending) + CR LF + its message,
// consuming it; else "".
std::string LastErrorText();
// Each returns the previous value.
bool SetAutoErrorHandling(bool On);
bool SetErrorRaises(bool On);
[[noreturn]] void RaiseEngineError(const std::string& Msg);
// The system message box (through the engine's UI interface).
int EngineMessageBox(const std::string& Text, const std::string& Caption, uint16_t Flags);

inline uint16_t& LastErrorCode() { return Engine().err.LastErrorCode; }
inline std::string& LastErrorMessage() { return Engine().err.LastErrorMessage; }

// Switches automatic error handling for a scope and restores the previous
// setting on every way out.
class AutoErrorHandlingScope {
 public:
  explicit AutoErrorHandlingScope(bool on) : prev_(SetAutoErrorHandling(on)) {}
  ~AutoErrorHandlingScope() { SetAutoErrorHandling(prev_); }
  AutoErrorHandlingScope(const AutoErrorHandlingScope&) = delete;
  AutoErrorHandlingScope& operator=(const AutoErrorHandlingScope&) = delete;

 private:
  bool prev_;
};

// Runs `f` as a clean-up after a failure, or while an exception leaves a
// scope: with automatic handling off, so that a failure of its own neither
// raises (a second exception out of a destructor would end the process)
// nor halts, and with the error record (code, message, pending code) put
// back afterwards, so that the first failure stays the one reported.
void RunKeepingError(const std::function<void()>& f);

// Raising switched for a scope, restored on every way out.
class ErrorRaisesScope {
 public:
  explicit ErrorRaisesScope(bool on) : prev_(SetErrorRaises(on)) {}
  ~ErrorRaisesScope() { SetErrorRaises(prev_); }
  ErrorRaisesScope(const ErrorRaisesScope&) = delete;
  ErrorRaisesScope& operator=(const ErrorRaisesScope&) = delete;

 private:
  bool prev_;
};

// The engine's allocator. GetMem stores a block of Size bytes in P; FreeMem
// releases it and sets P to null; freeing null is error 9.
void GetMem(void*& P, uint16_t Size);
void FreeMem(void*& P, uint16_t Size);
// The largest block the engine may ask for: always 0x7FFFFFFF.
int32_t MaxAvail();

template <class T>
void GetMem(T*& P, uint16_t Size) {
  void* v = nullptr;
  GetMem(v, Size);
  P = static_cast<T*>(v);
}
template <class T>
void FreeMem(T*& P, uint16_t Size) {
  void* v = P;
  FreeMem(v, Size);
  P = static_cast<T*>(v);
}

// ---- Date settings and pictures -------------------------------------------
// A date text is at most 10 characters in the picture of DateFormat:
//   0 MM/dd/Y   1 Y.MM.dd   2 dd/MM/Y   3 dd-MM-Y   4..8 dd.MM.Y
// where Y is two digits, or four with the century on. The internal form the
// date routines exchange is "MM/dd/" + year (American order).

// The window library's format settings (Engine().format) from the user's
// locale; run by EngineStartup before the engine's units.
void FormatSettingsStartup();
// Country, DateFormat, the number separators and EpochYear from the user's
// language and the clock; run by EngineStartup.
void DateUnitStartup();
// The country number of a Windows language identifier (0..8).
uint8_t CountryFromLangID(uint16_t LangID);

// DateFormat := N (N >= 9 gives 0) and publishes the picture and its
// separator as the window library's short date format (Engine().format).
void SetDateFormat(int N);
inline void SetDate(int N) { SetDateFormat(N); }
// Four-digit years from now on (there is no way back), republishing the
// picture.
void SetCentury();
// The picture of a format with the current century setting ("dd.MM.yyyy").
std::string DatePicture(int Format);
// The separator of a format's picture.
constexpr char DatePictureSeparator(int Format) {
  return Format == 1 || (Format >= 4 && Format <= 8) ? '.' : Format == 3 ? '-' : '/';
}

// The year a two-digit year text stands for in the window that starts at
// EpochYear (1900, 2000, ... plus YY). A text that is not a number is 0.
int CenturyOf(const std::string& YY);
// The first two digits of CenturyOf(YY) ("19", "20").
std::string CenturyDigits(const std::string& YY);
// The blank date of a format: blanks in place of digits, with separators.
std::string BlankDate(int Format);
// The date picture to the internal form and back, in place. A text without
// any separator stays as it is.
void DateToMDY(std::string& S);
void MDYToDate(std::string& S);
