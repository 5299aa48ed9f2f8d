// A program appending memos to a shared table beside the tests.
//   memo_append_helper <table> <count> <tag>
// appends <count> records (TAG: tag, SEQ: 1..count, UWAGI: a memo of
// MemoText(tag, seq)), each memo under the memo lock and each record under
// the table lock, retrying while the other writer holds a lock; prints
// "done <count>".
#include <charconv>
#include <cstring>
#include <iostream>
#include <string>

#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo.h"
#include "tables/tablesinit.h"

namespace {

// The text of memo `seq`: its tag and number, then a run of the tag's
// letter of a length that varies from memo to memo.
std::string MemoText(const std::string& tag, int seq) {
  return tag + " " + std::to_string(seq) + " " + std::string(size_t(seq * 37 % 900), tag[0]);
}

int Fail(const std::string& what) {
  std::cout << "error " << what << " " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  TablesStartup();
  SetAutoErrorHandling(false);
  const std::string tag = argv[3];
  int count = 0;
  std::from_chars(argv[2], argv[2] + std::strlen(argv[2]), count);
  SetLockRetries(255, 2);  // the other writer may be descheduled holding the table lock
  USE(argv[1], nullptr, 0);
  if (LastErrorCode() != 0) return Fail("use");
  for (int seq = 1; seq <= count; ++seq) {
    int32_t ref = 0;
    for (int tries = 0; ref == 0; ++tries) {
      ref = AddMemo(MemoText(tag, seq));
      if (ref == 0 && (LastErrorCode() != 1017 || tries > 100000)) return Fail("addmemo");
    }
    for (int tries = 0; !ALock(); ++tries)
      if (tries > 100) return Fail("alock");
    char* c = FieldAddress(1);
    c[0] = char(tag.size());
    std::memcpy(c + 1, tag.data(), tag.size());
    const int32_t s = seq;
    std::memcpy(FieldAddress(2), &s, sizeof s);
    std::memcpy(FieldAddress(3), &ref, sizeof ref);
    *FieldAddress(0) = 0;
    Append();
    if (LastErrorCode() != 0) return Fail("append");
    Unlock();
  }
  std::cout << "done " << count << std::endl;
  CloseArea();
  EngineShutdown();
  return 0;
}
