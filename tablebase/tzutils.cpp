#include "tablebase/tzutils.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/codepage.h"
#include "tablebase/engineui.h"

namespace {

struct CodeText {
  uint16_t code;
  const char* text;
};

// Texts exactly as the engine has always shown them, trailing blanks included.
constexpr CodeText kErrorTexts[] = {
    {1, "Invalid DOS function code"},
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Not enough memory"},
    {9, "Memory block address invalid"},
    {10, "Environment invalid"},
    {11, "Format invalid"},
    {12, "Invalid file access code"},
    {13, "Data invalid"},
    {14, "Unknown unit"},
    {15, "Invalid drive number"},
    {16, "Cannot remove current directory"},
    {17, "Cannot rename across drives"},
    {18, "Too many open files"},
    {19, "Disk write-protected"},
    {20, "Unknown unit"},
    {21, "Drive not ready"},
    {22, "Unknown command"},
    {23, "CRC error in data"},
    {24, "Bad drive request structure length"},
    {25, "Disk seek error"},
    {26, "Unknown media type"},
    {27, "Disk sector not found"},
    {28, "Printer out of paper"},
    {29, "Device write fault"},
    {30, "Device read fault"},
    {31, "General failure"},
    {32, "File sharing violation"},
    {33, "File lock violation"},
    {34, "Disk change invalid"},
    {35, "File Control Block unavailable"},
    {36, "File sharing buffer overflow"},
    {50, "Unsupported network request"},
    {51, "Remote machine not listening"},
    {52, "Duplicate name on network"},
    {53, "Network name not found"},
    {54, "Network busy"},
    {55, "Device no longer exists on network"},
    {56, "Net-Bios command limit exceeded"},
    {57, "Error in network adapter hardware"},
    {58, "Incorrect response from network"},
    {59, "Unexpected network error"},
    {60, "Remote adapter incompatible"},
    {100, "Disk read error"},
    {101, "Disk write error (probable cause: Disk Full)."},
    {102, "File not assigned"},
    {103, "File not open"},
    {104, "File not open for input"},
    {105, "File not open for output"},
    {106, "Invalid numeric format"},
    {150, "Disk write-protected"},
    {151, "Unknown unit"},
    {152, "Drive not ready"},
    {153, "Unknown command"},
    {154, "CRC error in data"},
    {155, "Bad drive request structure length"},
    {156, "Disk seek error"},
    {157, "Unknown media type"},
    {158, "Disk sector not found"},
    {159, "Printer out of paper"},
    {160, "Device write fault"},
    {161, "Device read fault"},
    {162, "File sharing violation"},
    {200, "Division by zero error"},
    {201, "Range check error"},
    {202, "Stack overflow error"},
    {203, "Heap overflow error"},
    {204, "Invalid pointer operation"},
    {205, "Floating point overflow"},
    {206, "Floating point underflow"},
    {207, "Invalid floating point operation"},
    {208, "Overlay-manager not installed"},
    {209, "Overlay file read error"},
    {210, "Not a dBASE data file"},
    {211, "Invalid database field type encountered"},
    {212, "Request beyond range"},
    {213, "End of file found unexpectedly"},
    {214, "File already in use"},
    {215, "No database in use"},
    {216, "GP Fault"},
    {217, "Insufficient memory"},
    {218, "Invalid pointer specified"},
    {219, "Cannot duplicate file handle"},
    {220, "Invalid parameter"},
    {221, "Index file not open"},
    {222, "Corrupted index file"},
    {223, "Index version mismatch"},
    {224, "Cyclical relationship detected"},
    {225, "Exclusive Use() required"},
    {226, "BROWSE not active"},
    {227, "Insufficient disk space "},
    {228, "Unbalanced Push/Pop operation "},
    {229, "dBASE IV memo files not supported"},
    {230, "No dBASE memory variables loaded"},
    {231, "Screen library not open"},
    {239, "Missing colon in time"},
    {240, "Non-numeric character in time"},
    {241, "Invalid time specified"},
    {242, "Negative time specified"},
    {243, "TimeDiff result negative"},
    {254, "Zaviv internal error"},
    {266, "Invalid size"},
    {1003, "Invalid memo address"},
    {1004, "Disk full"},
    {1005, "Memo file write error"},
    {1007, "Memo file is already open"},
    {1012, "Insufficient disk space to pack memo file"},
    {1017, "Cannot lock memo file"},
    {1018, "Cannot unlock memo file"},
    {1019, "Invalid memo operation: database not open or no memo field in database"},
    {1100, "Not a valid operation on Linked List"},
    {1101, "Virtual File Manager Unit not Linked in"},
    {1102, "Virtual File Memory Management Error"},
    {1103, "Invalid Operation "},
    {1200, "Record not locked"},
    {1201, "File not locked"},
    {1202, "Semaphore file error. Possible solutions: log into network or load SHARE.EXE before running Windows"},
    {1300, "File format not supported"},
};

[[noreturn]] void HaltProcess(uint16_t code, const std::string& fullText) {
  // Linux keeps 8 bits of an exit status: a code such as 256 would exit 0
  // and report success, so codes beyond 255 end with 255.
  std::string out = "Program halted.\n" + plat::Win1250ToUtf8(fullText) + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
  std::fflush(stdout);
  _exit(code >= 1 && code <= 255 ? code : 255);
}

}  // namespace

std::string ErrorCodeText(uint16_t Code) {
  for (const auto& e : kErrorTexts)
    if (e.code == Code) return e.text;
  if (Code >= 1203 && Code <= 1299) return "Network Error";
  return "Undefined error";
}

std::string ErrorText(uint16_t Code) {
  if (Code == 0) return "";
  std::string num = std::to_string(Code).substr(0, 5);
  return "Error # " + num + " (" + ErrorCodeText(Code) + ")";
}

std::string TakeLastErrorMessage() {
  auto& e = Engine().err;
  std::string msg = std::move(e.LastErrorMessage);
  e.LastErrorMessage.clear();
  e.PendingCode = 0;
  return msg;
}

std::string LastErrorText() {
  auto& e = Engine().err;
  if (e.PendingCode == 0) return "";
  std::string head = ErrorText(e.PendingCode);
  return head + "\r\n" + TakeLastErrorMessage();
}

void SetError(uint16_t Code, const std::string& Msg) {
  auto& e = Engine().err;
  e.LastErrorCode = Code;
  e.PendingCode = Code;
  e.LastErrorMessage = Msg;
  if (e.AutoErrorHandling) HandleError();
}

void HandleError() {
  auto& e = Engine().err;
  if (e.Halting) return;
  e.PendingCode = e.LastErrorCode;
  if (e.LastErrorCode == 0) return;
  std::string text = ErrorText(e.LastErrorCode) + "\r\n" + TakeLastErrorMessage();
  if (e.ErrorRaises) throw EZavivError(text);
  std::string shown = text.substr(0, 255);
  e.Halting = true;
  EngineMessageBox(shown, "Program halted.", MB_ICONHAND);
  HaltProcess(e.LastErrorCode, text);
}

bool SetAutoErrorHandling(bool On) {
  bool prev = Engine().err.AutoErrorHandling;
  Engine().err.AutoErrorHandling = On;
  return prev;
}

bool SetErrorRaises(bool On) {
  bool prev = Engine().err.ErrorRaises;
  Engine().err.ErrorRaises = On;
  return prev;
}

void RunKeepingError(const std::function<void()>& f) {
  ErrorState& e = Engine().err;
  const uint16_t code = e.LastErrorCode, pending = e.PendingCode;
  std::string message = e.LastErrorMessage;
  {
    AutoErrorHandlingScope quiet(false);
    f();
  }
  e.LastErrorCode = code;
  e.PendingCode = pending;
  e.LastErrorMessage = std::move(message);
}

void RaiseEngineError(const std::string& Msg) { throw EZavivError(Msg); }

int EngineMessageBox(const std::string& Text, const std::string& Caption, uint16_t Flags) {
  return Ui().MessageBox(Text, Caption, Flags);
}

void GetMem(void*& P, uint16_t Size) {
  P = std::malloc(Size ? Size : 1);
  if (!P) throw std::bad_alloc();
}

void FreeMem(void*& P, uint16_t) {
  if (!P) {
    SetError(9, "Attempt to free NIL pointer [FreeMem()]");
    return;
  }
  std::free(P);
  P = nullptr;
}

int32_t MaxAvail() { return 0x7FFFFFFF; }
