// Another program using a shared table's index semaphore file, driven by
// the tests one command a line on standard input; it answers each with one
// line: "ok", "done <n>" or "error <code>".
//   use <table>                     open the table shared
//   timeout <seconds>               the writer's time-out
//   login | logout | incread | decread | lock | unlock
//   write <count> <file>            <count> changes through the hooks' write
//                                   bracket: the number in both halves of
//                                   <file> goes up by one, half by half
//   read <count> <file>             <count> read brackets, each comparing
//                                   the halves; "done <torn reads>"
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/pfile.h"
#include "platform/psys.h"
#include "tables/tzndx_sema.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"

namespace {

const char* const kOps[] = {"login", "logout", "incread", "decread", "lock", "unlock"};

// The halves are read and written a moment apart, in opposite orders, so that a bracket that
// fails to exclude the other programs shows.
int64_t Half(plat::File& f, int half) {
  int64_t v = 0;
  size_t got = 0;
  if (half == 1) plat::SleepMs(1);
  f.ReadAt(half * int64_t(sizeof v), &v, sizeof v, &got);
  return v;
}
void SetHalves(plat::File& f, int64_t v) {
  f.WriteAt(sizeof v, &v, sizeof v);
  plat::SleepMs(1);
  f.WriteAt(0, &v, sizeof v);
}

std::string Run(const std::string& cmd, std::istringstream& args) {
  for (uint8_t op = 0; op < 6; ++op)
    if (cmd == kOps[op]) return HandleSemafore(op) ? "ok" : "";
  if (cmd == "use") {
    std::string table;
    args >> table;
    USE(table, nullptr, 0);
  } else if (cmd == "timeout") {
    args >> Engine().sema.LockSemaphoreTimeout;
  } else if (cmd == "write" || cmd == "read") {
    int count = 0;
    std::string name;
    args >> count >> name;
    plat::File f;
    if (f.Open(name, plat::kAccessReadWrite | plat::kShareDenyNone) != 0) return "";
    int torn = 0;
    for (int i = 0; i < count && LastErrorCode() == 0; ++i) {
      if (cmd == "read") {
        SetReadSemaphoreProc(true);
        SetReadSemaphoreProc(true);
        torn += Half(f, 0) != Half(f, 1);
        SetReadSemaphoreProc(false);
        SetReadSemaphoreProc(false);
        continue;
      }
      SetLockSemaphoreProc(true);
      SetReadSemaphoreProc(true);  // a writer reads under its own mark
      SetHalves(f, Half(f, 0) + 1);
      SetReadSemaphoreProc(false);
      SetLockSemaphoreProc(false);
    }
    return "done " + std::to_string(torn);
  } else {
    return "error unknown command";
  }
  return "ok";
}

}  // namespace

int main() {
  EngineStartup();
  SetAutoErrorHandling(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream args(line);
    std::string cmd;
    args >> cmd;
    LastErrorCode() = 0;
    std::string answer = Run(cmd, args);
    if (LastErrorCode() != 0 || answer.empty()) answer = "error " + std::to_string(LastErrorCode());
    std::cout << answer << std::endl;
  }
  EngineShutdown();
  return 0;
}
