#include "admin/Restore.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/pfile.h"
#include "platform/pfs.h"

namespace {

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

// The staging directory, removed with whatever is left in it.
class StagingDir {
 public:
  explicit StagingDir(const std::string& parent) {
    std::string tmpl = parent + ".odtwarzanie_XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl + "/";
  }
  ~StagingDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

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

}  // namespace

TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir) {
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
  StagingDir staging(target);
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
  zip.FSpecArgs = {"*.*"};
  zip.ExtrBaseDir = staging.Path() + "nowe/";
  zip.ExtrOptions |= ExtrOverWrite | ExtrForceDirs;
  zip.ExtrKeepDirs = {kDocumentsDirName};
  const bool extracted = zip.Extract();
  const int written = zip.SuccessCnt();
  if (!extracted || written == 0) {
    result.Error = !firstError.empty() ? firstError : "Archiwum nie zawiera plików do odtworzenia.";
    return result;
  }

  // Every file in place, or none.
  const std::string fresh = staging.Path() + "nowe/";
  const std::string kept = staging.Path() + "stare/";
  if (plat::MakeDirectory(kept) != plat::kOk) {
    result.Error = "Nie można utworzyć katalogu tymczasowego w " + target + ".";
    return result;
  }
  // A documents directory made for this restore goes again with a failure.
  std::string madeDocs;
  struct RemoveMadeDocs {
    std::string& dir;
    const bool& ok;
    ~RemoveMadeDocs() {
      if (!ok && !dir.empty()) plat::RemoveDirectory(dir);
    }
  } removeMadeDocs{madeDocs, result.Ok};
  Mover mover(kept);
  plat::DirNameIndex targetNames(target);
  for (const std::string& name : RegularFiles(fresh)) {
    if (std::string why = mover.Move(fresh + name, targetNames.Resolve(name)); !why.empty()) {
      result.Error = "Nie można zapisać pliku " + why + ".";
      return result;
    }
  }
  const std::string freshDocs = fresh + kDocumentsDirName + "/";
  if (plat::IsDirectory(freshDocs)) {
    std::string docs = targetNames.Resolve(kDocumentsDirName);
    if (!plat::IsDirectory(docs)) {
      if (plat::MakeDirectory(docs) != plat::kOk) {
        result.Error = "Nie można utworzyć katalogu " + docs + ".";
        return result;
      }
      madeDocs = docs;
    }
    docs = WithSlash(docs);
    plat::DirNameIndex docsNames(docs);
    for (const std::string& name : RegularFiles(freshDocs)) {
      if (std::string why = mover.Move(freshDocs + name, docsNames.Resolve(name)); !why.empty()) {
        result.Error = "Nie można zapisać pliku " + why + ".";
        return result;
      }
    }
  }
  mover.Commit();
  result.Ok = true;
  result.Files = written;
  return result;
}
