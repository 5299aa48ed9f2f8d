// The engine's error scheme and memory routines. Every engine routine
// reports a failure through SetError(code, message naming the routine);
// what happens then depends on the switches: record only (automatic
// handling off), raise EZavivError, or show "Program halted." and end the
// process.
#pragma once
#include <cstdint>
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
