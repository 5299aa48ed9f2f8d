// A program rebuilding a table's index that stops on the way, as a crash
// would stop it.
//   ndx_build_helper <table> reindex kill <k>
// opens <table> exclusive with its own index and rebuilds every tag;
//   ndx_build_helper <table> make kill <k>
// opens <table> shared and makes its own index anew with the tags N (key N,
// descending) and K (key K);
//   ndx_build_helper <table> append kill <k>
// opens <table> shared with its own index and appends records, each under
// the table lock, until it holds 100: record r has K = "K" + r * 37 mod 200
// in four digits and N = r * 37 mod 211;
//   ndx_build_helper <table> replace kill <k>
// opens <table> shared with its own index and gives records 1..12, each
// under its record lock, K = "K" + (200 + r * 37 mod 200): keys above all
// the others, so that each moves to another leaf. Before the k-th
// change of a file (a create, write, sync, rename or erase; in append and
// replace mode of the index file only) the program ends at once with exit code 3, the
// change not made; k = 0 never stops. Exit code 0 when the build
// completed, 1 after an error (printed as "error <code> <message>").
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/pfile.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tables/mdx/tzndx.h"
#include "tables/tablesinit.h"

namespace {

bool IsChange(plat::FileOp op) {
  using plat::FileOp;
  return op == FileOp::Create || op == FileOp::Write || op == FileOp::Truncate || op == FileOp::Flush ||
         op == FileOp::Rename || op == FileOp::Erase;
}

int Failed() {
  std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::string(argv[3]) != "kill") return 2;
  const std::string mode = argv[2];
  if (mode != "reindex" && mode != "make" && mode != "append" && mode != "replace") return 2;
  int k = 0;
  std::from_chars(argv[4], argv[4] + std::strlen(argv[4]), k);
  TablesStartup();
  SetAutoErrorHandling(false);
  USE(std::string(argv[1]) + (mode == "reindex" ? " EXCLUSIVE" : ""), nullptr, 0);
  if (LastErrorCode() != 0) return Failed();
  if (mode != "make" && !SetIndexTo("")) return Failed();
  const bool indexOnly = mode == "append" || mode == "replace";
  plat::SetFileFaultHook([k, indexOnly, seen = 0](plat::FileOp op, const std::string& path, uint64_t) mutable {
    if (IsChange(op) && (!indexOnly || path.ends_with(".MDX")) && ++seen == k) _exit(3);
    return 0;
  });
  if (mode == "reindex") {
    Reindex();
  } else if (mode == "make") {
    MakeIndex({{"N", "N", "", 1, 0}, {"K", "K", "", 0, 0}}, "");
  } else if (mode == "replace") {
    for (int32_t r = 1; r <= 12 && LastErrorCode() == 0; ++r) {
      GO(r);
      if (!RLock()) break;
      const std::string key = "K" + std::to_string(10200 + r * 37 % 200).substr(1);
      std::memcpy(FieldAddress(1) + 1, key.data(), key.size());
      Replace();
      if (LastErrorCode() == 0) Unlock();
    }
  } else {
    for (int32_t r = RecCount() + 1; r <= 100 && ALock(); ++r) {
      const std::string key = "K" + std::to_string(10000 + r * 37 % 200).substr(1);
      const int32_t n = r * 37 % 211;
      FieldAddress(1)[0] = char(key.size());
      std::memcpy(FieldAddress(1) + 1, key.data(), key.size());
      std::memcpy(FieldAddress(2), &n, sizeof n);
      Append();
      if (LastErrorCode() != 0) break;
      Unlock();
    }
  }
  if (LastErrorCode() != 0) return Failed();
  CloseArea();
  plat::SetFileFaultHook({});
  EngineShutdown();
  return 0;
}
