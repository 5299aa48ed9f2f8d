// Unpacking an archive over a directory, all or nothing: the archive is
// extracted into a staging folder inside the target first, and the files
// are moved into place only when every one of them came out whole and none
// of the files they replace is held by another program. A journal in the
// staging folder lets the next start of the program finish (or take back)
// an unpacking that was killed, or whose machine stopped, midway. Restores
// and updates use it. No Qt here.
#pragma once
#include <functional>
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

// Told, while an unpacking checks its files and puts them in place, how
// many of the `total` extracted files are in place so far (0 while it
// checks); called often, so that the caller keeps its windows painted.
using TUnpackProgress = std::function<void(int done, int total)>;

// Extracts every file of `zip.ZipFileName` into `targetDir` (created when
// missing), replacing files of the same name in any letter case; an entry
// whose last directory is one of `keepDirs` (any letter case) goes into that
// subdirectory of the target (through it when it is a link the user made to
// a folder on the same disk), every other one directly into the target.
// Every file to be replaced and every extracted file is read once, before
// anything moves; a file that cannot be read, or stands where a file goes
// but is none (a directory, a link), fails the whole call and the error
// names it with the true reason. So does another program's hold on a file
// to be replaced (open under a share mode, or a byte-range lock), as
// Windows refuses to replace such a file, or a program of `followUp.Guard`
// running. Each move holds the file it checked and confirms that the new
// name holds it: a file swapped in meanwhile stops the call, and what
// moved goes back. An archive of nothing but directories succeeds with 0
// files. On failure the target holds what it held before (and no staging
// folder), but for a file another program changed meanwhile, which stays
// as that program left it; so it does when the target holds an earlier
// unpacking's leftover that cannot be settled now (the error tells which).
// A table or memo file replaced takes the leftovers of an interrupted memo
// pack of the old one ("T.$PJ", "T.$$$", in any letter case) with it.
// Synced: once the call returns, a crash keeps the result; a run killed
// midway leaves the target all old or all new, follow-up included, once
// FinishInterruptedWork (or the next unpacking into it) has run. Errors name
// the archive's entries by where they go in the target, never the staging
// folder. The component's extraction settings and message event are used
// for the call and left as they were.
TRestoreResult UnpackAllOrNothing(TZipMaster19& zip, const std::string& targetDir,
                                  const std::vector<std::string>& keepDirs, const TUnpackFollowUp& followUp = {},
                                  const TUnpackProgress& progress = {});

// A backup restored: UnpackAllOrNothing keeping the documents directory.
TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir, const TUnpackFollowUp& followUp = {},
                              const TUnpackProgress& progress = {});

struct TRecovery {
  // False while an unpacking's leftover there has to wait (a held file, a
  // guarded program, a failing move, an unpacking still running).
  bool Settled = true;
  // For the user, in Polish: each unpacking finished, taken back or
  // dropped, with the files that changed, and the folders left to look at.
  std::vector<std::string> Notices;
};

// Settles every unpacking into `dir` that ended midway. A committed plan
// is finished when some of its moves were made and every file is a
// version its journal recorded, or changed only after its new version was
// put in place (that file stays as it is); otherwise every step whose
// files are recorded versions is taken back, and a plan none of whose
// steps ran is dropped; the notice names the changed files. Only the
// journal's own files move, by their exact names, never through a link
// but a linked directory that still names the folder the journal
// recorded, each held from its check through its move. The staging folder
// then goes; whatever it holds besides recorded versions (an old file
// that could not go back, a file not its own) stays in a folder out of the
// way, which the notice names. A folder without a usable journal goes when
// it holds nothing of the user's, else it is moved out of the way as it
// is, with a notice. A held file, a guarded program running or a failing
// move leave the plan for a later start, and Settled false; so does an
// unpacking still running, without a notice.
TRecovery RecoverInterruptedUnpacks(const std::string& dir);

// The program start's clean-up after a run that ended midway: the
// unpackings of RecoverInterruptedUnpacks and the temporary files of
// downloads (RemoveDownloadLeftovers), in the program directory and in
// every sibling program's directory of "ruv_admin.ini", and the settings
// files' temporary copies of a write that was killed. Returns the notices
// for the user.
std::vector<std::string> FinishInterruptedWork();
