// A program packing a table's memo file that stops on the way, as a crash
// or a slow disk would stop it.
//   memo_pack_helper <table> kill <k>
// opens <table> shared and packs its memo file; before the k-th change of a
// file (a create, write, sync, rename or erase) the program ends at once
// with exit code 3, the change not made. k = 0 never stops.
//   memo_pack_helper <table> hold <write|erase> <suffix>
// prints "held" before the first write (or erasure) of a file whose name
// ends in <suffix> ("" for any) and goes on after a line on standard input.
// Prints "done" when the pack completed, else "error <code> <message>".
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

bool IsChange(plat::FileOp op) {
  using plat::FileOp;
  return op == FileOp::Create || op == FileOp::Write || op == FileOp::Truncate || op == FileOp::Flush ||
         op == FileOp::Rename || op == FileOp::Erase;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  TablesStartup();
  SetAutoErrorHandling(false);
  USE(argv[1], nullptr, 0);
  if (LastErrorCode() != 0) {
    std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
    return 1;
  }
  const std::string mode = argv[2];
  if (mode == "kill") {
    int k = 0;
    std::from_chars(argv[3], argv[3] + std::strlen(argv[3]), k);
    plat::SetFileFaultHook([k, seen = 0](plat::FileOp op, const std::string&, uint64_t) mutable {
      if (IsChange(op) && ++seen == k) _exit(3);
      return 0;
    });
  } else if (mode == "hold" && argc == 5) {
    const plat::FileOp at = std::string(argv[3]) == "erase" ? plat::FileOp::Erase : plat::FileOp::Write;
    const std::string suffix = Upper(argv[4]);
    plat::SetFileFaultHook([at, suffix, held = false](plat::FileOp op, const std::string& path, uint64_t) mutable {
      if (held || op != at || !Upper(path).ends_with(suffix)) return 0;
      held = true;
      std::cout << "held" << std::endl;
      std::string line;
      std::getline(std::cin, line);
      return 0;
    });
  } else {
    return 2;
  }
  PackMemofile();
  plat::SetFileFaultHook({});
  if (LastErrorCode() != 0) {
    std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
    return 1;
  }
  std::cout << "done" << std::endl;
  CloseArea();
  EngineShutdown();
  return 0;
}
