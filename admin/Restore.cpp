#include "admin/Restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "admin/FileErrors.h"
#include "platform/pfile.h"
#include "platform/pfs.h"

namespace {

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

// Puts the extracted files in place one rename at a time; a failure puts
// every file it moved back as it was.
class Mover {
 public:
  explicit Mover(std::string backupDir) : backupDir_(std::move(backupDir)) {}
  ~Mover() {
    if (!committed_) RollBack();
  }
  Mover(const Mover&) = delete;
  Mover& operator=(const Mover&) = delete;

  // Moves `from` over `to` (the old file kept aside); "" or the failure.
  std::string Move(const std::string& from, const std::string& to) {
    Step s{to, {}};
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return to + ": istnieje katalog o tej nazwie";
      s.kept = backupDir_ + std::to_string(steps_.size());
      if (::rename(to.c_str(), s.kept.c_str()) != 0) return to + ": " + std::strerror(errno);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
      const std::string why = to + ": " + std::strerror(errno);
      if (!s.kept.empty()) ::rename(s.kept.c_str(), to.c_str());
      return why;
    }
    steps_.push_back(std::move(s));
    return {};
  }
  void Commit() { committed_ = true; }

 private:
  struct Step {
    std::string target, kept;
  };
  void RollBack() {
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      if (it->kept.empty())
        ::unlink(it->target.c_str());
      else
        ::rename(it->kept.c_str(), it->target.c_str());
    }
  }
  std::string backupDir_;
  std::vector<Step> steps_;
  bool committed_ = false;
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
// staging directory and the directory they go to.
struct Batch {
  std::string fresh, target;
  bool makeTarget = false;  // the target directory does not exist yet
  std::vector<std::pair<std::string, std::string>> moves;  // from, to
};

}  // namespace

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
  // Inside the target, so that every move is a rename within one file
  // system, and nothing is needed from the target's parent.
  plat::StagingDirectory staging(target + ".rozpakowanie_");
  if (staging.Path().empty()) {
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
  const std::string fresh = staging.Path() + "nowe/";
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
  batches.push_back({fresh, target, false, {}});
  for (const std::string& keep : keepDirs) {
    const std::string freshSub = fresh + keep + "/";
    if (!plat::IsDirectory(freshSub)) continue;
    const std::string sub = targetNames.Resolve(keep);
    batches.push_back({freshSub, WithSlash(sub), !plat::IsDirectory(sub), {}});
  }
  for (Batch& b : batches) {
    std::optional<plat::DirNameIndex> names;
    if (!b.makeTarget) names.emplace(b.target);
    for (const std::string& name : RegularFiles(b.fresh))
      b.moves.emplace_back(b.fresh + name, names ? names->Resolve(name) : b.target + name);
  }
  for (const Batch& b : batches)
    for (const auto& [from, to] : b.moves)
      if (const int rc = HeldByAnother(to)) {
        result.Error = "Nie można zapisać pliku " + to + ": " + FileErrorText(rc) + ".";
        return result;
      }

  // Every file in place, or none.
  const std::string kept = staging.Path() + "stare/";
  if (plat::MakeDirectory(kept) != plat::kOk) {
    result.Error = "Nie można utworzyć katalogu tymczasowego w " + target + ".";
    return result;
  }
  // Directories made for this call go again with a failure.
  std::vector<std::string> madeDirs;
  struct RemoveMadeDirs {
    std::vector<std::string>& dirs;
    const bool& ok;
    ~RemoveMadeDirs() {
      if (!ok)
        for (const std::string& d : dirs) plat::RemoveDirectory(d);
    }
  } removeMadeDirs{madeDirs, result.Ok};
  Mover mover(kept);
  int placed = 0;
  for (const Batch& b : batches) {
    if (b.makeTarget) {
      if (plat::MakeDirectory(b.target) != plat::kOk) {
        result.Error = "Nie można utworzyć katalogu " + b.target + ".";
        return result;
      }
      madeDirs.push_back(b.target);
    }
    for (const auto& [from, to] : b.moves) {
      if (std::string why = mover.Move(from, to); !why.empty()) {
        result.Error = "Nie można zapisać pliku " + why + ".";
        return result;
      }
      ++placed;
    }
  }
  mover.Commit();
  result.Ok = true;
  result.Files = placed;
  return result;
}

TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir) {
  return UnpackAllOrNothing(zip, targetDir, {kDocumentsDirName});
}
