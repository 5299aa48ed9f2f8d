#include "admin/Restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "admin/FileErrors.h"
#include "admin/FtpComponent.h"
#include "admin/Siblings.h"
#include "platform/byteorder.h"
#include "platform/journal.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "tables/memo/memo.h"

namespace {

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

// The staging folder of an unpacking, inside its target directory (so that
// every move is a rename within one file system): the extracted files, the
// files they replace, and the journal that tells a later start what to do
// with them when the unpacking ended midway.
constexpr std::string_view kStagingPrefix = ".rozpakowanie_";
constexpr size_t kStagingUnique = 6;  // the characters mkdtemp adds
constexpr const char* kFreshDir = "nowe/";
constexpr const char* kKeptDir = "stare/";
// The journal under its first name: the moves are to be made. Renamed to
// the second when they are to be taken back instead.
constexpr const char* kPlanName = "plan";
constexpr const char* kUndoName = "cofnij";

// One step of the plan. Paths are relative: `to` to the target directory,
// `from` to the staging folder, so that a journal can only ever move files
// of the directory it lies in.
struct Move {
  enum Kind : uint8_t {
    kDirectory = 'D',  // a directory to make
    kLeftover = 'L',   // a file to take out of the way (kept for an undo)
    kFile = 'F',       // an extracted file to put in place
  };
  Kind kind = kFile;
  bool hadOld = false;  // kFile: a file of that name was there to be replaced
  std::string to, from;
};

// The journal, in the frame of platform/journal.h: each step's kind,
// old-file flag and two length-prefixed names. One cut short or torn was
// never committed: nothing in the target moved yet.
constexpr char kJournalTag[8] = {'R', 'U', 'V', 'U', 'N', 'Z', 'I', 'P'};

void PutName(std::vector<uint8_t>& out, const std::string& name) {
  uint8_t len[2];
  plat::writeLE16(len, uint16_t(name.size()));
  out.insert(out.end(), len, len + 2);
  out.insert(out.end(), name.begin(), name.end());
}

std::vector<uint8_t> EncodeJournal(const std::vector<Move>& plan) {
  std::vector<uint8_t> out = plat::BeginJournal(kJournalTag, uint32_t(plan.size()));
  for (const Move& m : plan) {
    out.push_back(m.kind);
    out.push_back(m.hadOld ? 1 : 0);
    PutName(out, m.to);
    PutName(out, m.from);
  }
  plat::SealJournal(out);
  return out;
}

// A name below a directory: one or two components ("a.dbf",
// "Dokumenty/a.pdf"), none empty, "." or "..", no NUL.
bool IsPlainRelative(const std::string& name) {
  if (name.find('\0') != std::string::npos) return false;
  int parts = 0;
  for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1, ++parts) {
    end = name.find('/', begin);
    const std::string part = name.substr(begin, end - begin);
    if (part.empty() || part == "." || part == "..") return false;
  }
  return parts <= 2;
}

bool StepIsSound(const Move& m) {
  if (!IsPlainRelative(m.to)) return false;
  switch (m.kind) {
    case Move::kDirectory:
      return m.to.find('/') == std::string::npos && m.from.empty();
    case Move::kLeftover:
      return m.from.empty();
    case Move::kFile:
      return m.from.starts_with(kFreshDir) && IsPlainRelative(m.from.substr(std::strlen(kFreshDir)));
  }
  return false;
}

// The steps of a whole, intact journal whose every name stays inside its
// directories; false for anything else.
bool DecodeJournal(const std::vector<uint8_t>& in, std::vector<Move>& plan) {
  plan.clear();
  uint32_t count = 0;
  size_t body = 0;
  if (!plat::CheckJournal(in, kJournalTag, count, body)) return false;
  size_t at = plat::kJournalHead;
  const auto name = [&](std::string& out) {
    if (body - at < 2) return false;
    const size_t len = plat::readLE16(&in[at]);
    at += 2;
    if (body - at < len) return false;
    out.assign(reinterpret_cast<const char*>(&in[at]), len);
    at += len;
    return true;
  };
  for (uint32_t i = 0; i < count; ++i) {
    if (body - at < 2) return false;
    Move m;
    m.kind = Move::Kind(in[at]);
    m.hadOld = in[at + 1] != 0;
    at += 2;
    if (!name(m.to) || !name(m.from) || !StepIsSound(m)) return false;
    plan.push_back(std::move(m));
  }
  return at == body;
}

bool Exists(const std::string& path) { return plat::ExistsAsNamed(path); }

std::string Why(const std::string& path, int dosError) { return path + ": " + FileErrorText(dosError); }

// One unpacking's staging folder and its journal, held (deny-all) from the
// folder's making to its removal, so that the recovery of another run of
// the program leaves a live unpacking alone.
class Staging {
 public:
  Staging() = default;
  ~Staging() {
    // Once the plan is committed, only Finish removes the folder: a run
    // that ends otherwise leaves it for the next start to settle.
    if (!path_.empty() && (!committed_ || finished_)) RemoveFolder();
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  // A new folder in `target` with an empty journal; false when it cannot
  // be made.
  bool Begin(const std::string& target) {
    target_ = target;
    std::string tmpl = target + std::string(kStagingPrefix) + std::string(kStagingUnique, 'X');
    if (!::mkdtemp(tmpl.data())) return false;
    path_ = tmpl + "/";
    journalName_ = kPlanName;
    return journal_.Create(path_ + journalName_, plat::kAccessReadWrite | plat::kShareDenyAll) == plat::kOk &&
           plat::MakeDirectory(path_ + kFreshDir) == plat::kOk && plat::MakeDirectory(path_ + kKeptDir) == plat::kOk;
  }

  enum class Found { Leave, Nothing, Journal };
  // An existing folder `staging` of `target`, left by a run that ended:
  // Journal when its journal holds a committed plan; Nothing when it holds
  // none, so that the folder can simply go; Leave when a running unpacking
  // holds it, or when it cannot be read.
  Found Adopt(const std::string& target, const std::string& staging) {
    target_ = target;
    path_ = staging;
    for (const char* name : {kPlanName, kUndoName}) {
      int rc = journal_.Open(path_ + name, plat::kAccessReadWrite | plat::kShareDenyAll);
      if (rc == plat::kErrFileNotFound) continue;
      int64_t size = 0;
      if (rc == plat::kOk) rc = journal_.GetSize(&size);
      std::vector<uint8_t> bytes(size_t(std::max<int64_t>(size, 0)));
      size_t got = 0;
      if (rc == plat::kOk) rc = journal_.ReadAt(0, bytes.data(), bytes.size(), &got);
      if (rc != plat::kOk) {
        journal_.Close();
        path_.clear();
        return Found::Leave;
      }
      bytes.resize(got);
      journalName_ = name;
      committed_ = DecodeJournal(bytes, plan_);
      return committed_ ? Found::Journal : Found::Nothing;
    }
    return Found::Nothing;
  }

  const std::string& Path() const { return path_; }
  std::string FreshDir() const { return path_ + kFreshDir; }

  // Writes and syncs the plan: from here on the unpacking is finished
  // however it ends, by this run or by the next start. "" or why not.
  std::string Commit(std::vector<Move> plan) {
    plan_ = std::move(plan);
    const std::vector<uint8_t> bytes = EncodeJournal(plan_);
    const std::string path = path_ + journalName_;
    int rc = journal_.WriteAt(0, bytes.data(), bytes.size());
    if (rc == plat::kOk) rc = journal_.Flush();
    if (rc == plat::kOk) rc = plat::SyncDirectoryOf(path);
    if (rc != plat::kOk) return Why(path, rc);
    committed_ = true;
    return {};
  }

  // Puts every file of the plan in place, the ones it replaces kept aside;
  // a step already made is passed over, so that this also finishes a run
  // that ended midway. "" or why a file could not be put in place.
  std::string Forward() {
    for (size_t i = 0; i < plan_.size(); ++i) {
      const Move& m = plan_[i];
      const std::string to = target_ + m.to, kept = Kept(i);
      if (m.kind == Move::kDirectory) {
        if (!Exists(to))
          if (const int rc = plat::MakeDirectory(to)) return Why(to, rc);
        continue;
      }
      if (m.kind == Move::kFile && !Exists(path_ + m.from)) continue;
      struct stat st {};
      const bool there = ::lstat(to.c_str(), &st) == 0;
      if (there && S_ISDIR(st.st_mode)) return to + ": istnieje katalog o tej nazwie";
      if (there && !Exists(kept))
        if (const int rc = plat::RenameAsNamed(to, kept)) return Why(to, rc);
      if (m.kind == Move::kFile)
        if (const int rc = plat::RenameAsNamed(path_ + m.from, to)) return Why(to, rc);
    }
    return SyncTargets();
  }

  // Marks the plan as one to take back, for a run that ends midway.
  bool Undo() {
    const std::string undo = path_ + kUndoName;
    if (plat::RenameAsNamed(path_ + journalName_, undo) != plat::kOk) return false;
    journalName_ = kUndoName;
    return plat::SyncDirectoryOf(undo) == plat::kOk;
  }

  // Puts back every file the plan replaced or took out of the way and
  // removes the ones it added; also after a run that ended midway.
  bool Back() {
    bool ok = true;
    for (size_t i = plan_.size(); i-- > 0;) {
      const Move& m = plan_[i];
      const std::string to = target_ + m.to, kept = Kept(i);
      if (m.kind == Move::kDirectory) {
        plat::RemoveDirectory(to);  // only when nothing else went into it
      } else if (Exists(kept)) {
        ok = plat::RenameAsNamed(kept, to) == plat::kOk && ok;
      } else if (m.kind == Move::kFile && !m.hadOld && !Exists(path_ + m.from) && plat::IsRegularFile(to)) {
        ok = plat::EraseFile(to) == plat::kOk && ok;
      }
    }
    return SyncTargets().empty() && ok;
  }

  // The settled folder goes: the journal first, so that a run ending in
  // the middle of the removal leaves nothing that still asks for work.
  void Finish() {
    if (plat::EraseFile(path_ + journalName_) != plat::kOk) return;
    finished_ = true;
    RemoveFolder();
  }

  // For a folder left by a run that ended: the moves made or taken back.
  void Settle() {
    if (journalName_ == kPlanName && Forward().empty()) return Finish();
    if (journalName_ == kPlanName && !Undo()) return;
    if (Back()) Finish();
  }

 private:
  std::string Kept(size_t step) const { return path_ + kKeptDir + std::to_string(step); }

  // Syncs each directory the plan changed (one taken back with its files
  // is gone). "" or why not.
  std::string SyncTargets() const {
    std::vector<std::string> done;
    for (const Move& m : plan_) {
      const std::string path = target_ + m.to, dir = path.substr(0, path.rfind('/') + 1);
      if (m.kind == Move::kDirectory || std::find(done.begin(), done.end(), dir) != done.end()) continue;
      done.push_back(dir);
      if (!Exists(dir)) continue;
      if (const int rc = plat::SyncDirectoryOf(path)) return Why(dir, rc);
    }
    return {};
  }

  void RemoveFolder() {
    journal_.Close();
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    path_.clear();
  }

  std::string target_, path_, journalName_;
  plat::File journal_;
  std::vector<Move> plan_;
  bool committed_ = false, finished_ = false;
};

// Restores the component's settings that one restore changes.
class ExtractSettingsScope {
 public:
  explicit ExtractSettingsScope(TZipMaster19& zip)
      : zip_(zip),
        specs_(zip.FSpecArgs),
        base_(zip.ExtrBaseDir),
        options_(zip.ExtrOptions),
        keep_(zip.ExtrKeepDirs),
        message_(zip.OnMessage) {}
  ~ExtractSettingsScope() {
    zip_.FSpecArgs = specs_;
    zip_.ExtrBaseDir = base_;
    zip_.ExtrOptions = options_;
    zip_.ExtrKeepDirs = keep_;
    zip_.OnMessage = message_;
  }
  ExtractSettingsScope(const ExtractSettingsScope&) = delete;
  ExtractSettingsScope& operator=(const ExtractSettingsScope&) = delete;

 private:
  TZipMaster19& zip_;
  std::vector<std::string> specs_;
  std::string base_;
  unsigned options_;
  std::vector<std::string> keep_;
  TZipMaster19::MessageEvent message_;
};

std::vector<std::string> RegularFiles(const std::string& dir) {
  std::vector<plat::FindData> found;
  std::vector<std::string> names;
  if (plat::FindFiles(dir + "*", 0, found) == plat::kOk)
    for (const auto& f : found) names.push_back(f.name);
  return names;
}

// 0, or the DOS error that tells why another program's hold forbids
// replacing the file: Windows refuses to replace a file another program
// has open at all, and a program that only locks bytes of it (the tables'
// record and table locks) is working on it as well.
int HeldByAnother(const std::string& path) {
  plat::File probe;
  const int rc = probe.Open(path, plat::kAccessReadWrite | plat::kShareDenyAll);
  if (rc == plat::kErrSharingViolation) return rc;
  if (rc == plat::kOk && probe.IsLockedByOther(0, UINT32_MAX)) return plat::kErrLockViolation;
  // Any other failure to open is for the move itself to meet.
  return 0;
}

// One directory's share of the extracted files: where they lie in the
// staging folder and the directory they go to.
struct Batch {
  std::string fresh, target;
  bool makeTarget = false;  // the target directory does not exist yet
};

// A table's memo pack leaves "T.$PJ" (its journal) and "T.$$$" (the new
// memo file) beside the table when it ends midway, for the table's next
// open to settle. Once the table or its memo file is replaced they belong
// to nothing, and that open must not apply them to the restored files.
std::vector<std::string> PackLeftoverNames(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) return {};
  const std::string ext = fileName.substr(dot + 1);
  for (const char* table : {"dbf", "dbt", "fpt"})
    if (plat::SameNameIgnoreCase(ext, table)) return PackLeftoverPaths(fileName);
  return {};
}

// Puts the extracted files, and their names in `freshDirs`, on the disk.
// While they are few, file by file: each sync costs a commit of the file
// system's journal, a few milliseconds whatever else waits to be written.
// For many, one sync of the whole file system: a single commit, but one
// that also waits for all that other programs have written and the disk
// has not, which can hold the window for a while.
int SyncStaged(const std::string& staging, const std::vector<std::string>& freshDirs, const std::vector<Move>& files) {
  constexpr size_t kFewFiles = 64;
  if (files.size() > kFewFiles) return plat::SyncFileSystemOf(staging);
  for (const Move& f : files) {
    plat::File staged;
    int rc = staged.Open(staging + f.from, plat::kAccessRead);
    if (rc == plat::kOk) rc = staged.Flush();
    if (rc != plat::kOk) return rc;
  }
  for (const std::string& dir : freshDirs)
    if (const int rc = plat::SyncDirectoryOf(dir)) return rc;
  return plat::kOk;
}

}  // namespace

void RecoverInterruptedUnpacks(const std::string& dir) {
  const std::string target = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(dir)));
  std::vector<plat::FindData> found;
  const std::string mask = std::string(kStagingPrefix) + std::string(kStagingUnique, '?');
  if (plat::FindFiles(target + mask, plat::kAttrDirectory, found) != plat::kOk) return;
  for (const plat::FindData& f : found) {
    struct stat st {};
    if (!f.name.starts_with(kStagingPrefix) || ::lstat((target + f.name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      continue;
    // A folder without a committed plan goes with `left`: nothing in the
    // target was touched, or everything was settled but the removal.
    Staging left;
    if (left.Adopt(target, target + f.name + "/") == Staging::Found::Journal) left.Settle();
  }
}

void FinishInterruptedWork() {
  const auto settle = [](const std::string& dir) {
    RecoverInterruptedUnpacks(dir);
    RemoveDownloadLeftovers(dir);
  };
  // The program directory first: its settings file, which names the
  // others, may be one of the files an unpacking left half done.
  std::vector<std::string> done{WithSlash(plat::ResolvePath(ProgramDir()))};
  settle(done.front());
  const TIniFile ini = OpenIni(TIniKind::Admin);
  for (const TSiblingProgram& p : kSiblings) {
    const std::string dir = DirPath(ReadProgramDir(ini, p));
    if (dir.empty() || !plat::IsDirectory(dir)) continue;
    const std::string resolved = WithSlash(plat::ResolvePath(dir));
    if (std::find(done.begin(), done.end(), resolved) != done.end()) continue;
    done.push_back(resolved);
    settle(resolved);
  }
}

TRestoreResult UnpackAllOrNothing(TZipMaster19& zip, const std::string& targetDir,
                                  const std::vector<std::string>& keepDirs) {
  TRestoreResult result;
  const std::string target = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(targetDir)));
  std::error_code ec;
  if (!plat::IsDirectory(target)) std::filesystem::create_directories(target, ec);
  if (!plat::IsDirectory(target)) {
    result.Error = "Nie można utworzyć katalogu " + target + ".";
    return result;
  }
  // This unpacking starts from the files of an earlier one that ended
  // midway all old or all new, and leaves no second staging folder.
  RecoverInterruptedUnpacks(target);
  Staging staging;
  if (!staging.Begin(target)) {
    result.Error = "Nie można utworzyć katalogu tymczasowego w " + target + ".";
    return result;
  }

  ExtractSettingsScope settings(zip);
  std::string firstError;
  auto previous = zip.OnMessage;
  zip.OnMessage = [&](int code, const std::string& text) {
    if (code > 0 && firstError.empty()) firstError = text;
    if (previous) previous(code, text);
  };
  const std::string fresh = staging.FreshDir();
  zip.FSpecArgs = {"*.*"};
  zip.ExtrBaseDir = fresh;
  zip.ExtrOptions |= ExtrOverWrite | ExtrForceDirs;
  zip.ExtrKeepDirs = keepDirs;
  if (!zip.Extract()) {
    result.Error = !firstError.empty() ? firstError : "Nie można rozpakować archiwum.";
    return result;
  }

  // Where every extracted file goes, known before anything moves.
  std::vector<Batch> batches;
  plat::DirNameIndex targetNames(target);
  batches.push_back({fresh, target, false});
  for (const std::string& keep : keepDirs) {
    const std::string freshSub = fresh + keep + "/";
    if (!plat::IsDirectory(freshSub)) continue;
    const std::string sub = targetNames.Resolve(keep);
    batches.push_back({freshSub, WithSlash(sub), !plat::IsDirectory(sub)});
  }
  // A path's name below a directory, without a trailing "/".
  const auto below = [](const std::string& path, const std::string& dir) {
    std::string name = path.substr(dir.size());
    if (name.ends_with('/')) name.pop_back();
    return name;
  };
  // The plan: the directories to make, the pack leftovers out of the way,
  // then the files.
  std::vector<Move> plan, files;
  std::vector<std::string> leftovers;
  for (const Batch& b : batches) {
    if (b.makeTarget) plan.push_back({Move::kDirectory, false, below(b.target, target), {}});
    std::optional<plat::DirNameIndex> names;
    if (!b.makeTarget) names.emplace(b.target);
    for (const std::string& name : RegularFiles(b.fresh)) {
      const std::string to = names ? names->Resolve(name) : b.target + name;
      files.push_back({Move::kFile, Exists(to), below(to, target), below(b.fresh + name, staging.Path())});
      if (!names) continue;
      for (const std::string& leftover : PackLeftoverNames(below(to, b.target))) {
        const std::string path = names->Resolve(leftover);
        if (plat::IsRegularFile(path) && std::find(leftovers.begin(), leftovers.end(), path) == leftovers.end())
          leftovers.push_back(path);
      }
    }
  }
  for (const std::string& path : leftovers) {
    // One the archive itself brings is restored, not moved away.
    const std::string name = below(path, target);
    if (std::none_of(files.begin(), files.end(), [&](const Move& f) { return f.to == name; }))
      plan.push_back({Move::kLeftover, true, name, {}});
  }
  plan.insert(plan.end(), files.begin(), files.end());
  for (const Move& m : plan)
    if (m.kind != Move::kDirectory)
      if (const int rc = HeldByAnother(target + m.to)) {
        result.Error = "Nie można zapisać pliku " + target + m.to + ": " + FileErrorText(rc) + ".";
        return result;
      }

  // Every file in place, or none, also when this run ends midway: the new
  // files are on the disk before the plan is, and the plan before any of
  // them moves.
  std::vector<std::string> freshDirs;
  for (const Batch& b : batches) freshDirs.push_back(b.fresh);
  if (const int rc = SyncStaged(staging.Path(), freshDirs, files)) {
    result.Error = "Nie można zapisać plików w " + fresh + ": " + FileErrorText(rc) + ".";
    return result;
  }
  if (std::string why = staging.Commit(plan); !why.empty()) {
    result.Error = "Nie można zapisać pliku " + why + ".";
    return result;
  }
  if (std::string why = staging.Forward(); !why.empty()) {
    if (staging.Undo() && staging.Back()) staging.Finish();
    result.Error = "Nie można zapisać pliku " + why + ".";
    return result;
  }
  staging.Finish();
  result.Ok = true;
  result.Files = int(files.size());
  return result;
}

TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir) {
  return UnpackAllOrNothing(zip, targetDir, {kDocumentsDirName});
}
