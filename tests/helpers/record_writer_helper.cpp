// A second program changing one record of a shared table that has its own
// index and a memo field, the way programs do: it reads the record, locks
// it, makes its one change and lets it go.
//   record_writer_helper <table> <recno> field <n> <text>
//       field <n> := <text> (a C field as it is, any other as a whole number)
//   record_writer_helper <table> <recno> memo <n> <text>
//       the memo of field <n> rewritten with <text>, its new reference replaced
//   record_writer_helper <table> <recno> poke <n> <text>
//       the bytes of field <n> := <text>, as they are
//   record_writer_helper <table> <recno> delete | recall
// prints "done", or "error <what> <code> <message>".
#include <cstring>
#include <iostream>
#include <string>

#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"
#include "tables/mdx/tzndx.h"
#include "tables/memo/memo.h"
#include "tables/tablesinit.h"

namespace {

int Fail(const std::string& what) {
  std::cout << "error " << what << " " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  TablesStartup();
  SetAutoErrorHandling(false);
  const std::string kind = argv[3];
  USE(argv[1], nullptr, 0);
  if (LastErrorCode() != 0) return Fail("use");
  // A table without its index file (2) is written without one.
  if (!SetIndexTo("") && LastErrorCode() != 2) return Fail("index");
  GO(std::stoi(argv[2]));
  if (!RLock()) return Fail("rlock");
  if (kind == "delete") {
    DeleteRec();
  } else if (kind == "recall") {
    RecallRec();
  } else if (kind == "poke" && argc == 6) {
    Poke(argv[5], std::stoi(argv[4]), std::stoi(argv[2]));
  } else if ((kind == "field" || kind == "memo") && argc == 6) {
    const int field = std::stoi(argv[4]);
    char* slot = FieldAddress(field);
    std::string text = argv[5];
    if (kind == "memo") {
      int32_t ref;
      std::memcpy(&ref, slot, sizeof ref);
      TextFile f;
      AssignMemo(f, ref);
      f.Rewrite();
      f.Write(text);
      f.Close();
      if (LastErrorCode() != 0) return Fail("memo");
      text = std::to_string(ref);
    }
    if (FieldType(field) == 'C') {
      slot[0] = char(text.size());
      std::memcpy(slot + 1, text.data(), text.size());
    } else {
      const int32_t v = std::stoi(text);
      std::memcpy(slot, &v, sizeof v);
    }
    Replace();
  } else {
    return 2;
  }
  if (LastErrorCode() != 0) return Fail(kind);
  Unlock();
  CloseArea();
  if (LastErrorCode() != 0) return Fail("close");
  std::cout << "done" << std::endl;
  EngineShutdown();
  return 0;
}
