// Unpacking an archive over a directory, all or nothing: the archive is
// extracted into a staging directory inside the target first, and the files
// are moved into place only when every one of them came out whole and none
// of the files they replace is held by another program. Restores and
// package updates use it. No Qt here.
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
// target holds exactly what it held before. The component's extraction
// settings and message event are used for the call and left as they were.
TRestoreResult UnpackAllOrNothing(TZipMaster19& zip, const std::string& targetDir,
                                  const std::vector<std::string>& keepDirs);

// A backup restored: UnpackAllOrNothing keeping the documents directory.
TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir);
