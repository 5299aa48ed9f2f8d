// A program of the administration side that stops on the way, as a crash
// or the machine stopping would stop it:
//   admin_helper restore <archive> <directory> <stop> <k> [family|morta]
// restores a backup archive into the directory as the restores do (with
// the family's or Morta's follow-up when named, the directory then being
// the program directory);
//   admin_helper settle <directory> <stop> <k>
// settles what unpackings into the directory left, as the start does;
//   admin_helper download <port> <user> <password> <remote> <local> <stop> <k>
// downloads a file from the FTP server on 127.0.0.1 at <port>;
//   admin_helper leftovers <directory>
// removes the temporary files of downloads that died (RemoveDownloadLeftovers).
// Before the k-th change of a file (a create, write, truncation, sync,
// rename or erasure), <stop> "kill" ends the program at once with exit
// code 3, the change not made; "hold" prints "held" and goes on after a
// line on standard input. k = 0 never stops. Each change is printed as it
// comes, "change <operation> <path>"; at the end "done", or "error " and
// why, with exit code 1. No program counts as running: the test that
// starts it decides what runs, not the machine.
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <string>

#include "admin/FtpComponent.h"
#include "admin/ProcessCheck.h"
#include "admin/Restore.h"
#include "admin/Siblings.h"
#include "platform/pfile.h"

namespace {

const char* ChangeName(plat::FileOp op) {
  using plat::FileOp;
  switch (op) {
    case FileOp::Create: return "create";
    case FileOp::Write: return "write";
    case FileOp::Truncate: return "truncate";
    case FileOp::Flush: return "sync";
    case FileOp::Rename: return "rename";
    case FileOp::Erase: return "erase";
    default: return nullptr;
  }
}

void StopAt(const std::string& stop, const char* kth) {
  int k = 0;
  std::from_chars(kth, kth + std::strlen(kth), k);
  const bool kill = stop == "kill";
  plat::SetFileFaultHook([k, kill, seen = 0](plat::FileOp op, const std::string& path, uint64_t) mutable {
    const char* change = ChangeName(op);
    if (!change) return 0;
    std::cout << "change " << change << " " << path << std::endl;
    if (++seen != k) return 0;
    if (kill) _exit(3);
    std::cout << "held" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    return 0;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  SetProcessLister([] { return std::vector<TProcessNames>{}; });
  try {
    if (mode == "restore" && (argc == 6 || argc == 7)) {
      const std::string kind = argc == 7 ? argv[6] : "";
      TUnpackFollowUp followUp;
      followUp.EraseIndexFiles = !kind.empty();
      followUp.ResetProgramDirs = kind == "family";
      if (kind == "family") {
        SetProgramDir(argv[3]);
        for (const TSiblingProgram& p : kSiblings)
          if (p.Family) followUp.Guard.push_back(p.ExeName);
      }
      StopAt(argv[4], argv[5]);
      TZipMaster19 zip;
      zip.ZipFileName = argv[2];
      const TRestoreResult result = RestoreArchive(zip, argv[3], followUp);
      if (!result.Ok) throw std::runtime_error(result.Error);
    } else if (mode == "settle" && argc == 5) {
      StopAt(argv[3], argv[4]);
      for (const std::string& notice : RecoverInterruptedUnpacks(argv[2]).Notices) std::cout << notice << std::endl;
    } else if (mode == "download" && argc == 9) {
      StopAt(argv[7], argv[8]);
      TIdFTP ftp;
      ftp.Host = "127.0.0.1";
      std::from_chars(argv[2], argv[2] + std::strlen(argv[2]), ftp.Port);
      ftp.Username = argv[3];
      ftp.Password = argv[4];
      ftp.Passive = true;
      ftp.Connect();
      ftp.Get(argv[5], argv[6], true);
      ftp.Disconnect();
    } else if (mode == "leftovers" && argc == 3) {
      RemoveDownloadLeftovers(argv[2]);
    } else {
      return 2;
    }
  } catch (const std::exception& e) {
    plat::SetFileFaultHook({});
    std::cout << "error " << e.what() << std::endl;
    return 1;
  }
  plat::SetFileFaultHook({});
  std::cout << "done" << std::endl;
  return 0;
}
