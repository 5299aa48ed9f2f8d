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
//   index                           open the table's own index (logs in)
//   append <count> <who>            <count> records (WHO: <who>, SEQ: 1, 2,
//                                   ...), navigating meanwhile (below);
//                                   "done <misses>"
//   add <count> <who> <seq>         <count> records (WHO: <who>, SEQ: <seq>,
//                                   <seq> + 1, ...), nothing else
//   walk <rounds>                   walks in key order; "done <misses>"
//   close                           close the table and its index
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/pfile.h"
#include "platform/psys.h"
#include "tables/tablesinit.h"
#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_sema.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

const char* const kOps[] = {"login", "logout", "incread", "decread", "lock", "unlock"};

// The halves are read and written a moment apart, in opposite orders, so
// that a bracket that fails to exclude the other programs shows.
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

// The fields of the indexed table: WHO C(4), SEQ N(6).
std::string Who() { return std::string(FieldAddress(1) + 1, uint8_t(FieldAddress(1)[0])); }
int32_t Seq() {
  int32_t seq = 0;
  std::memcpy(&seq, FieldAddress(2), sizeof seq);
  return seq;
}
void SetRecord(const std::string& who, int32_t seq) {
  FieldAddress(1)[0] = char(who.size());
  std::memcpy(FieldAddress(1) + 1, who.data(), who.size());
  std::memcpy(FieldAddress(2), &seq, sizeof seq);
}

// Walks the controlling order from one end to the other; the number of
// steps on which `key` went down.
template <class Key>
int OutOfOrder(bool forward, Key key) {
  int bad = 0;
  forward ? GoTop() : GoBottom();
  for (auto last = key(); !(forward ? dEOF() : dBOF()) && LastErrorCode() == 0; SKIP(forward ? 1 : -1)) {
    bad += key() < last;
    last = key();
  }
  return bad;
}

// Appends under the table lock and replaces every third record's SEQ under
// its record lock; Find of each new key must land on its record, and every
// tenth time the first order (unique keys) must ascend.
int AppendAndNavigate(int count, const std::string& who) {
  SetLockRetries(255, 2);
  int misses = 0;
  for (int32_t i = 1; i <= count && LastErrorCode() == 0; ++i) {
    while (!ALock()) {
    }
    SetRecord(who, i);
    Append();
    Unlock();
    const int32_t rec = RecNo();
    if (i % 3 == 0) {
      while (!RLock()) {
      }
      SetRecord(who, i + 500000);
      Replace();
      Unlock();
    }
    misses += !Find(PadR(who, 4) + StrInt(Seq(), 6)) || RecNo() != rec;
    if (i % 10 == 0) misses += OutOfOrder(true, [] { return Who() + StrInt(Seq(), 6); });
  }
  return misses;
}

// The second order (descending SEQ) backwards and the third (WHO) forwards.
int Walks(int rounds) {
  int bad = 0;
  for (int r = 0; r < rounds && LastErrorCode() == 0; ++r) {
    Set_Order_To(2);
    bad += OutOfOrder(false, Seq);
    Set_Order_To(3);
    bad += OutOfOrder(true, Who);
  }
  return bad;
}

std::string Run(const std::string& cmd, std::istringstream& args) {
  for (uint8_t op = 0; op < 6; ++op)
    if (cmd == kOps[op]) return HandleSemafore(op) ? "ok" : "";
  if (cmd == "use") {
    std::string table;
    args >> table;
    USE(table, nullptr, 0);
  } else if (cmd == "index") {
    SetIndexTo("");
  } else if (cmd == "append") {
    int count = 0;
    std::string who;
    args >> count >> who;
    return "done " + std::to_string(AppendAndNavigate(count, who));
  } else if (cmd == "add") {
    int count = 0, seq = 0;
    std::string who;
    args >> count >> who >> seq;
    for (int i = 0; i < count && LastErrorCode() == 0 && ALock(); ++i) {
      SetRecord(who, seq + i);
      Append();
      Unlock();
    }
  } else if (cmd == "walk") {
    int rounds = 0;
    args >> rounds;
    return "done " + std::to_string(Walks(rounds));
  } else if (cmd == "close") {
    CloseArea();
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
  TablesStartup();
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
