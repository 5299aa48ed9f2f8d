// A program packing a table's memo file that stops on the way, as a crash
// or a slow disk would stop it.
//   memo_pack_helper <table> kill <k> [<op>]
// opens <table> shared and packs its memo file; before the k-th change of a
// file (a create, write, sync, rename or erase; with <op> "write",
// "rename" or "erase", the k-th change of that kind) the program ends at
// once with exit code 3, the change not made. k = 0 never stops.
//   memo_pack_helper <table> open <k>
// the same stop during the opening of <table> (which finishes what an
// interrupted pack left), then closes it.
//   memo_pack_helper <table> hold <write|erase> <suffix>
// prints "held" before the first write (or erasure) of a file whose name
// ends in <suffix> ("" for any) and goes on after a line on standard input.
// Prints "done" when the pack (or the opening) completed, else
// "error <code> <message>".
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <optional>
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

std::optional<plat::FileOp> OpNamed(const std::string& name) {
  if (name == "write") return plat::FileOp::Write;
  if (name == "rename") return plat::FileOp::Rename;
  if (name == "erase") return plat::FileOp::Erase;
  return std::nullopt;
}

bool Failed() {
  if (LastErrorCode() == 0) return false;
  std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  TablesStartup();
  SetAutoErrorHandling(false);
  const std::string mode = argv[2];
  int k = 0;
  std::from_chars(argv[3], argv[3] + std::strlen(argv[3]), k);
  const std::optional<plat::FileOp> only = argc == 5 ? OpNamed(argv[4]) : std::nullopt;
  auto stop = [k, only, seen = 0](plat::FileOp op, const std::string&, uint64_t) mutable {
    if ((only ? op == *only : IsChange(op)) && ++seen == k) _exit(3);
    return 0;
  };
  if (mode == "open") plat::SetFileFaultHook(stop);
  USE(argv[1], nullptr, 0);
  plat::SetFileFaultHook({});
  if (Failed()) return 1;
  if (mode == "kill" && (argc == 4 || only)) {
    plat::SetFileFaultHook(stop);
  } else if (mode == "hold" && argc == 5) {
    const plat::FileOp at = OpNamed(argv[3]).value_or(plat::FileOp::Write);
    const std::string suffix = Upper(argv[4]);
    plat::SetFileFaultHook([at, suffix, held = false](plat::FileOp op, const std::string& path, uint64_t) mutable {
      if (held || op != at || !Upper(path).ends_with(suffix)) return 0;
      held = true;
      std::cout << "held" << std::endl;
      std::string line;
      std::getline(std::cin, line);
      return 0;
    });
  } else if (mode != "open") {
    return 2;
  }
  if (mode != "open") PackMemofile();
  plat::SetFileFaultHook({});
  if (Failed()) return 1;
  std::cout << "done" << std::endl;
  CloseArea();
  EngineShutdown();
  return 0;
}
