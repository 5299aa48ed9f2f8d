// A second program sharing a table with the tests.
//   dbf_lock_helper hold-record <table> <recno>   lock a record
//   dbf_lock_helper hold-table <table>            take the table lock
//   dbf_lock_helper hold-open <table>             only keep the table open
//   dbf_lock_helper hold-exclusive <table>        keep the table open exclusively
// each print "ready" and keep it until a line arrives on standard input;
//   dbf_lock_helper append <table> <count> <tag>
// appends <count> records (C field: tag, N field: sequence) each under the
// table lock, and prints "done <count>";
//   dbf_lock_helper append-and-hold <table> <count> <tag>
// appends the same way, then prints "ready" and holds the table open
// unclosed (a writer to be killed before it writes the header);
//   dbf_lock_helper replace-and-hold <table> <recno> <seq>
// sets the N field of record <recno> to <seq> under its record lock,
// unlocks, prints "ready" and holds the table open unclosed.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"

namespace {

int ToInt(const char* s) {
  int v = 0;
  std::from_chars(s, s + std::strlen(s), v);
  return v;
}

int Fail(const std::string& what) {
  std::cout << "error " << what << " " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
  return 1;
}

void WaitForRelease() {
  std::cout << "ready" << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  EngineStartup();
  SetAutoErrorHandling(false);
  const std::string cmd = argv[1];
  USE(cmd == "hold-exclusive" ? std::string(argv[2]) + " EXCLUSIVE" : std::string(argv[2]), nullptr, 0);
  if (LastErrorCode() != 0) return Fail("use");
  if (cmd == "hold-record" && argc == 4) {
    GO(ToInt(argv[3]));
    if (!RLock()) return Fail("rlock");
    WaitForRelease();
  } else if (cmd == "hold-table") {
    if (!ALock()) return Fail("alock");
    WaitForRelease();
  } else if (cmd == "hold-open" || cmd == "hold-exclusive") {
    WaitForRelease();
  } else if ((cmd == "append" || cmd == "append-and-hold") && argc == 5) {
    SetLockRetries(255, 2);
    const int count = ToInt(argv[3]);
    const std::string tag = argv[4];
    for (int i = 1; i <= count; ++i) {
      int tries = 0;
      while (!ALock())
        if (++tries > 100) return Fail("alock");
      char* c = FieldAddress(1);
      c[0] = char(tag.size());
      std::memcpy(c + 1, tag.data(), tag.size());
      int32_t seq = i;
      std::memcpy(FieldAddress(2), &seq, sizeof seq);
      *FieldAddress(0) = 0;
      Append();
      if (LastErrorCode() != 0) return Fail("append");
      Unlock();
    }
    if (cmd == "append-and-hold")
      WaitForRelease();
    else
      std::cout << "done " << count << std::endl;
  } else if (cmd == "replace-and-hold" && argc == 5) {
    GO(ToInt(argv[3]));
    if (!RLock()) return Fail("rlock");
    int32_t seq = ToInt(argv[4]);
    std::memcpy(FieldAddress(2), &seq, sizeof seq);
    Replace();
    if (LastErrorCode() != 0) return Fail("replace");
    Unlock();
    WaitForRelease();
  } else {
    return 2;
  }
  CloseArea();
  if (LastErrorCode() != 0) return Fail("close");
  EngineShutdown();
  return 0;
}
