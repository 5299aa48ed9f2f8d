// A program rewriting the memo of one record that stops on the way, as a
// crash would stop it.
//   memo_rewrite_helper <table> <record> <length> <k>
// opens <table> shared, rewrites the memo of <record> (field 2) through the
// text device with <length> letters "n", writes the record with its new
// reference and closes the table; before the k-th change of a file (a write
// or a sync) the program ends at once with exit code 3, the change not
// made. k = 0 never stops. Prints "done <new reference>", else
// "error <code> <message>".
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/pfile.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo.h"
#include "tables/tablesinit.h"

namespace {

int Number(const char* s) {
  int v = 0;
  std::from_chars(s, s + std::strlen(s), v);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  TablesStartup();
  SetAutoErrorHandling(false);
  USE(argv[1], nullptr, 0);
  if (LastErrorCode() != 0) {
    std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
    return 1;
  }
  GO(Number(argv[2]));
  RLock();
  int32_t ref;
  std::memcpy(&ref, FieldAddress(2), sizeof ref);
  const std::string text(size_t(Number(argv[3])), 'n');
  plat::SetFileFaultHook([k = Number(argv[4]), seen = 0](plat::FileOp op, const std::string&, uint64_t) mutable {
    if ((op == plat::FileOp::Write || op == plat::FileOp::Flush) && ++seen == k) _exit(3);
    return 0;
  });
  TextFile f;
  AssignMemo(f, ref);
  f.Rewrite();
  f.Write(text);
  f.Close();
  if (LastErrorCode() == 0) {
    std::memcpy(FieldAddress(2), &ref, sizeof ref);
    Replace();
  }
  if (LastErrorCode() == 0) CloseArea();
  plat::SetFileFaultHook({});
  if (LastErrorCode() != 0) {
    std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
    return 1;
  }
  std::cout << "done " << ref << std::endl;
  EngineShutdown();
  return 0;
}
