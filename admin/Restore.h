// Unpacking an archive over a directory, all or nothing: the archive is
// extracted into a staging folder inside the target first, and the files
// are moved into place only when every one of them came out whole and none
// of the files they replace is held by another program. A journal in the
// staging folder lets the next start of the program finish (or take back)
// an unpacking that was killed, or whose machine stopped, midway. Restores
// and updates use it. No Qt here.
#pragma once
#include <string>
#include <vector>

#include "admin/ZipComponent.h"

// The subdirectory the backup stores the documents under; a restore puts
// entries whose last directory has this name (any letter case) back into
// it, and every other entry directly into the target.
inline constexpr const char* kDocumentsDirName = "Dokumenty";

struct TRestoreResult {
  bool Ok = false;
  int Files = 0;      // files put in place (on success)
  std::string Error;  // why nothing was changed (on failure), UTF-8
};

// Extracts every file of `zip.ZipFileName` into `targetDir` (created when
// missing), replacing files of the same name in any letter case; an entry
// whose last directory is one of `keepDirs` (any letter case) goes into that
// subdirectory of the target, every other one directly into the target.
// Before anything moves, every file to be replaced is tested for another
// program's hold on it (open under a share mode that forbids the
// replacement, or a byte-range lock), as Windows refuses to replace such a
// file; a held file fails the whole call and the error names it. An
// archive of nothing but directories succeeds with 0 files. On failure the
// target holds exactly what it held before. A table or memo file replaced
// takes the leftovers of an interrupted memo pack of the old one ("T.$PJ",
// "T.$$$") with it. Synced: once the call returns, a crash keeps the
// result; a run killed midway leaves the target all old or all new once
// FinishInterruptedWork (or the next unpacking into it) has run. The
// component's extraction settings and message event are used for the call
// and left as they were.
TRestoreResult UnpackAllOrNothing(TZipMaster19& zip, const std::string& targetDir,
                                  const std::vector<std::string>& keepDirs);

// A backup restored: UnpackAllOrNothing keeping the documents directory.
TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir);

// Settles every unpacking into `dir` that ended midway: each staging folder
// of this program there with a committed plan is finished (or, when a file
// cannot be put in place, taken back), and the folder removed; a folder
// without one is removed, since nothing in `dir` moved yet. Folders of an
// unpacking still running are left alone.
void RecoverInterruptedUnpacks(const std::string& dir);

// The program start's clean-up after a run that ended midway: the
// unpackings of RecoverInterruptedUnpacks and the temporary files of
// downloads (RemoveDownloadLeftovers), in the program directory and in
// every sibling program's directory of "ruv_admin.ini".
void FinishInterruptedWork();
