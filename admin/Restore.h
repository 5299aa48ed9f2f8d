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

// What a command does besides putting the archive's files in place, as
// part of the same all-or-nothing step: a run killed midway and settled by
// the next start does this too, or takes it back with the files.
struct TUnpackFollowUp {
  // The index files ("*.mdx", any letter case) directly in the target go,
  // the archive's own included, so that the sibling programs rebuild them
  // for the restored tables.
  bool EraseIndexFiles = false;
  // "ruv_admin.ini" of the target (the archive's when it brings one) gets
  // every [katalogi] key set back to its default.
  bool ResetProgramDirs = false;
  // Executables that must not run while files move; the next start waits
  // for them as well.
  std::vector<std::string> Guard;
};

// Extracts every file of `zip.ZipFileName` into `targetDir` (created when
// missing), replacing files of the same name in any letter case; an entry
// whose last directory is one of `keepDirs` (any letter case) goes into that
// subdirectory of the target, every other one directly into the target.
// Before anything moves, every file to be replaced is tested for another
// program's hold on it (open under a share mode, or a byte-range lock), as
// Windows refuses to replace such a file; a held file, or a program of
// `followUp.Guard` running, fails the whole call and the error names it. An
// archive of nothing but directories succeeds with 0 files. On failure the
// target holds exactly what it held before; so it does when the target
// holds an earlier unpacking's leftover that cannot be settled (the error
// tells which). A table or memo file replaced takes the leftovers of an
// interrupted memo pack of the old one ("T.$PJ", "T.$$$") with it. Synced:
// once the call returns, a crash keeps the result; a run killed midway
// leaves the target all old or all new, follow-up included, once
// FinishInterruptedWork (or the next unpacking into it) has run. Errors name
// the archive's entries by where they go in the target, never the staging
// folder. The component's extraction settings and message event are used
// for the call and left as they were.
TRestoreResult UnpackAllOrNothing(TZipMaster19& zip, const std::string& targetDir,
                                  const std::vector<std::string>& keepDirs, const TUnpackFollowUp& followUp = {});

// A backup restored: UnpackAllOrNothing keeping the documents directory.
TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir, const TUnpackFollowUp& followUp = {});

struct TRecovery {
  bool Settled = true;  // no leftover of an unpacking is left in the directory
  // For the user, in Polish: each unpacking finished or taken back, and
  // each one left as it is, with the file and folder that need a look.
  std::vector<std::string> Notices;
};

// Settles every unpacking into `dir` that ended midway: each staging folder
// of this program there with a committed plan is finished (or, when a file
// cannot be put in place, taken back), and the folder removed; a folder
// without one is removed, since nothing in `dir` moved yet. Only the
// journal's own files move, by their exact names, never through a link,
// and only while each is the very version the journal recorded (old or
// new); every step is checked before the first move, so that a plan that
// finds anything else, a held file or a guarded program running is left,
// and the directory as it was, for a later start. Folders of an
// unpacking still running are left alone (and make Settled false).
TRecovery RecoverInterruptedUnpacks(const std::string& dir);

// The program start's clean-up after a run that ended midway: the
// unpackings of RecoverInterruptedUnpacks and the temporary files of
// downloads (RemoveDownloadLeftovers), in the program directory and in
// every sibling program's directory of "ruv_admin.ini", and the settings
// files' temporary copies of a write that was killed. Returns the notices
// for the user.
std::vector<std::string> FinishInterruptedWork();
