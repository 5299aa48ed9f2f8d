// A program rewriting one memo of a table that stops on the way, as a
// crash would stop it.
//   memo_rewrite_helper <table> <reference> <length> <k>
// opens <table> shared and rewrites memo <reference> through the text
// device with <length> letters "n"; before the k-th change of a file (a
// write or a sync) the program ends at once with exit code 3, the change
// not made. k = 0 never stops. Prints "done <new reference>", else
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
  int32_t ref = Number(argv[2]);
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
  plat::SetFileFaultHook({});
  if (LastErrorCode() != 0) {
    std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
    return 1;
  }
  std::cout << "done " << ref << std::endl;
  CloseArea();
  EngineShutdown();
  return 0;
}
