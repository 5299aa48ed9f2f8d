// Restoring a backup archive over a data directory, all or nothing: the
// archive is extracted into a staging directory inside the target first,
// and the files are moved into place only when every one of them came out
// whole. No Qt here.
#pragma once
#include <string>

#include "admin/ZipComponent.h"

// The subdirectory the backup stores the documents under; entries whose
// last directory has this name (any letter case) go back into it, every
// other entry lands directly in the target.
inline constexpr const char* kDocumentsDirName = "Dokumenty";

struct TRestoreResult {
  bool Ok = false;
  int Files = 0;      // files put in place (on success)
  std::string Error;  // why nothing was changed (on failure), UTF-8
};

// Extracts every file of `zip.ZipFileName` into `targetDir` (created when
// missing), replacing files of the same name in any letter case. On
// failure the target holds exactly what it held before. The component's
// extraction settings and message event are used for the call and left as
// they were.
TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir);
