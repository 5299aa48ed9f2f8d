#include "admin/Restore.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
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
#include "admin/IniFiles.h"
#include "admin/ProcessCheck.h"
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
constexpr const char* kFreshDir = "nowe";
constexpr const char* kKeptDir = "stare";
// The journal under its first name: the moves are to be made. Renamed to
// the second when they are to be taken back instead.
constexpr const char* kPlanName = "plan";
constexpr const char* kUndoName = "cofnij";

using plat::Fd;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A directory below `parent` by exactly this name, never through a link.
Fd OpenDirAt(int parent, const std::string& name) { return Fd(::openat(parent, name.c_str(), kDirFlags)); }

std::vector<std::string> Components(const std::string& rel) {
  std::vector<std::string> out;
  for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
    end = rel.find('/', begin);
    out.push_back(rel.substr(begin, end - begin));
  }
  return out;
}

// The directory holding `rel` (components separated by "/") below `root`,
// each component taken as named and none through a link; `leaf` gets the
// last component. Not ok() when a directory of the way is not there as one.
Fd OpenParent(int root, const std::string& rel, std::string& leaf) {
  std::vector<std::string> parts = Components(rel);
  leaf = parts.back();
  Fd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  for (size_t i = 0; i + 1 < parts.size() && dir.ok(); ++i) dir = OpenDirAt(dir.get(), parts[i]);
  return dir;
}

// What stands under a name: nothing, a regular file with its size and a
// hash of its bytes, or something else (a directory, a link, a device).
struct Version {
  enum State : uint8_t { kAbsent = 0, kRegular = 1, kOther = 2 };
  State state = kAbsent;
  uint64_t size = 0, hash = 0;
  bool operator==(const Version&) const = default;
  bool Present() const { return state != kAbsent; }
};

// A 64-bit hash of a file's bytes, four lanes of 8-byte words, so that a
// restore of hundreds of megabytes pays little for it. It tells one
// version of a file from another; it is no defence against someone who
// may write the folder anyway.
bool HashFile(int fd, uint64_t& size, uint64_t& hash) {
  constexpr uint64_t kPrime = 0x9E3779B97F4A7C15ULL;
  uint64_t lane[4] = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL, 0x082EFA98EC4E6C89ULL};
  const auto mix = [&](int i, uint64_t w) {
    lane[i] = (lane[i] ^ w) * kPrime;
    lane[i] = (lane[i] << 29) | (lane[i] >> 35);
  };
  std::vector<uint8_t> buf(1 << 20);
  size = 0;
  for (;;) {
    size_t got = 0;
    while (got < buf.size()) {
      const ssize_t n = ::pread(fd, buf.data() + got, buf.size() - got, off_t(size + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      got += size_t(n);
    }
    size_t at = 0;
    for (; at + 32 <= got; at += 32)
      for (int i = 0; i < 4; ++i) mix(i, plat::readLE64(&buf[at + 8 * size_t(i)]));
    for (int i = 0; at < got; ++i, at += 8) {
      uint8_t word[8] = {};
      std::memcpy(word, &buf[at], std::min<size_t>(8, got - at));
      mix(i, plat::readLE64(word));
    }
    size += got;
    if (got < buf.size()) break;
  }
  hash = size * kPrime;
  for (uint64_t l : lane) {
    hash = (hash ^ l) * kPrime;
    hash ^= hash >> 32;
  }
  return true;
}

// What stands at `rel` below `root`, looked at exactly as named and never
// through a link (a link is kOther); nullopt when it cannot be read.
std::optional<Version> Probe(int root, const std::string& rel) {
  std::string leaf;
  const Fd dir = OpenParent(root, rel, leaf);
  if (!dir.ok()) return errno == ENOENT ? std::optional<Version>(Version{}) : std::optional<Version>(Version{Version::kOther});
  struct stat st {};
  if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? std::optional<Version>(Version{}) : std::nullopt;
  if (!S_ISREG(st.st_mode)) return Version{Version::kOther};
  const Fd file(::openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  Version v{Version::kRegular};
  if (!file.ok() || !HashFile(file.get(), v.size, v.hash)) return std::nullopt;
  return v;
}

// 0, or kErrLockViolation when another program holds the file at `rel`: it
// has it open under one of the emulated share modes or locks any of its
// bytes (the tables' record and table locks), as Windows then refuses to
// replace it.
int HeldByAnother(int root, const std::string& rel) {
  std::string leaf;
  const Fd dir = OpenParent(root, rel, leaf);
  const Fd file(dir.ok() ? ::openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1);
  if (!file.ok()) return 0;  // nothing there to hold, or for the move to meet
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(file.get(), F_OFD_GETLK, &fl) != 0) return 0;
  return fl.l_type == F_UNLCK ? 0 : plat::kErrLockViolation;
}

int Errno() { return plat::DosErrorFromErrno(errno); }

// Renames without replacing what may have come under the new name
// meanwhile. 0 or a DOS error; `hookPath` is what the test seam is told.
int RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to,
                    const std::string& hookPath) {
  if (const int fault = plat::FileFault(plat::FileOp::Rename, hookPath)) return fault;
  if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return plat::kOk;
  if (errno != EINVAL) return Errno();
  // A file system without the flag: the same, less the guard for a file
  // made between the test and the rename.
  struct stat st {};
  if (::fstatat(toDir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return plat::kErrAlreadyExists;
  return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0 ? plat::kOk : Errno();
}

int SyncDir(int dir, const std::string& hookPath) {
  if (const int fault = plat::FileFault(plat::FileOp::Flush, hookPath)) return fault;
  return ::fsync(dir) == 0 || errno == EINVAL ? plat::kOk : Errno();
}

// Removes `name` below `dir` with everything in it; a link inside is
// removed itself, never what it points to.
void RemoveTree(int dir, const std::string& name) {
  if (Fd sub = OpenDirAt(dir, name); sub.ok()) {
    std::vector<std::string> names;
    if (DIR* d = ::fdopendir(::fcntl(sub.get(), F_DUPFD_CLOEXEC, 0))) {
      while (const dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
      ::closedir(d);
    }
    for (const std::string& n : names)
      if (::unlinkat(sub.get(), n.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM)) RemoveTree(sub.get(), n);
  }
  ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
}

// One step of the plan. Paths are relative: `to` to the target directory,
// `from` to the staging folder, so that a journal can only ever move files
// of the directory it lies in; each step records the versions it expects.
struct Move {
  enum Kind : uint8_t {
    kDirectory = 'D',  // a directory to make
    kLeftover = 'L',   // a file to take out of the way (kept for an undo)
    kFile = 'F',       // an extracted file to put in place
  };
  Kind kind = kFile;
  Version old;    // what stood at `to` (kLeftover, kFile)
  Version fresh;  // kFile: the extracted file
  std::string to, from;
};

struct Plan {
  std::vector<std::string> guard;  // executables that must not run
  bool eraseIndexes = false;
  std::vector<Move> steps;
};

// The journal, in the frame of platform/journal.h: the guard's names, the
// index flag, then each step's kind, versions and two length-prefixed
// names. One cut short or torn was never committed: nothing in the target
// moved yet. A journal of the program's earlier versions carries the
// earlier tag and no versions: it is never applied.
constexpr char kJournalTag[8] = {'R', 'U', 'V', 'R', 'O', 'Z', 'P', '2'};
constexpr char kEarlierJournalTag[8] = {'R', 'U', 'V', 'U', 'N', 'Z', 'I', 'P'};

void PutName(std::vector<uint8_t>& out, const std::string& name) {
  uint8_t len[2];
  plat::writeLE16(len, uint16_t(name.size()));
  out.insert(out.end(), len, len + 2);
  out.insert(out.end(), name.begin(), name.end());
}

void PutVersion(std::vector<uint8_t>& out, const Version& v) {
  uint8_t bytes[17];
  bytes[0] = v.state;
  plat::writeLE64(bytes + 1, v.size);
  plat::writeLE64(bytes + 9, v.hash);
  out.insert(out.end(), bytes, bytes + sizeof bytes);
}

std::vector<uint8_t> EncodeJournal(const Plan& plan) {
  std::vector<uint8_t> out = plat::BeginJournal(kJournalTag, uint32_t(plan.steps.size()));
  out.push_back(uint8_t(plan.guard.size()));
  for (const std::string& exe : plan.guard) PutName(out, exe);
  out.push_back(plan.eraseIndexes ? 1 : 0);
  for (const Move& m : plan.steps) {
    out.push_back(m.kind);
    PutVersion(out, m.old);
    PutVersion(out, m.fresh);
    PutName(out, m.to);
    PutName(out, m.from);
  }
  plat::SealJournal(out);
  return out;
}

// A name below a directory that every file routine reads as written: one
// or two components ("a.dbf", "Dokumenty/a.pdf"), none empty, "." or
// "..", none with a backslash (which the routines that accept both
// separators would read as one) or a NUL.
bool IsPlainRelative(const std::string& name) {
  if (name.find('\0') != std::string::npos || name.find('\\') != std::string::npos) return false;
  const std::vector<std::string> parts = Components(name);
  for (const std::string& part : parts)
    if (part.empty() || part == "." || part == "..") return false;
  return parts.size() <= 2;
}

bool IsIndexFile(const std::string& name) {
  return name.size() > 4 && plat::SameNameIgnoreCase(name.substr(name.size() - 4), ".mdx");
}

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

// Whether a plan is one an unpacking makes: names that stay inside their
// directories, each target named once, and nothing taken out of the way
// but index files (when the plan erases them) and the pack leftovers of a
// table the plan replaces.
bool PlanIsSound(const Plan& plan) {
  std::vector<std::string> targets;
  for (const Move& m : plan.steps) {
    if (!IsPlainRelative(m.to) || m.to.starts_with(kStagingPrefix)) return false;
    if (std::find(targets.begin(), targets.end(), m.to) != targets.end()) return false;
    targets.push_back(m.to);
    switch (m.kind) {
      case Move::kDirectory:
        if (m.to.find('/') != std::string::npos || !m.from.empty()) return false;
        break;
      case Move::kLeftover:
        if (!m.from.empty() || m.old.state != Version::kRegular) return false;
        if (!(plan.eraseIndexes && IsIndexFile(m.to)) &&
            std::none_of(plan.steps.begin(), plan.steps.end(), [&](const Move& f) {
              if (f.kind != Move::kFile) return false;
              const std::vector<std::string> names = PackLeftoverNames(f.to);
              return std::find(names.begin(), names.end(), m.to) != names.end();
            }))
          return false;
        break;
      case Move::kFile: {
        const std::string prefix = std::string(kFreshDir) + "/";
        if (!m.from.starts_with(prefix) || !IsPlainRelative(m.from.substr(prefix.size())) ||
            m.fresh.state != Version::kRegular)
          return false;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The plan of a whole, intact journal; nullopt for anything else.
std::optional<Plan> DecodeJournal(const std::vector<uint8_t>& in) {
  uint32_t count = 0;
  size_t body = 0;
  if (!plat::CheckJournal(in, kJournalTag, count, body)) return std::nullopt;
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
  const auto version = [&](Version& v) {
    if (body - at < 17 || in[at] > Version::kOther) return false;
    v.state = Version::State(in[at]);
    v.size = plat::readLE64(&in[at + 1]);
    v.hash = plat::readLE64(&in[at + 9]);
    at += 17;
    return true;
  };
  Plan plan;
  if (body - at < 1) return std::nullopt;
  plan.guard.resize(in[at++]);
  for (std::string& exe : plan.guard)
    if (!name(exe)) return std::nullopt;
  if (body - at < 1) return std::nullopt;
  plan.eraseIndexes = in[at++] != 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (body - at < 1) return std::nullopt;
    Move m;
    m.kind = Move::Kind(in[at++]);
    if (!version(m.old) || !version(m.fresh) || !name(m.to) || !name(m.from)) return std::nullopt;
    plan.steps.push_back(std::move(m));
  }
  if (at != body || !PlanIsSound(plan)) return std::nullopt;
  return plan;
}

std::string Why(const std::string& path, int dosError) { return path + ": " + FileErrorText(dosError); }

// How a pass over the plan ended: done; stopped at `file` because it is
// not the version the journal recorded (the plan is then left as it is);
// or stopped by an error that taking the plan back answers.
struct Outcome {
  enum Kind { kDone, kChanged, kError } kind = kDone;
  std::string file, why;
};

// One unpacking's staging folder and its journal, locked from the
// folder's making to its removal, so that the recovery of another run of
// the program leaves a live unpacking alone. Every name below the target
// is used exactly as recorded, through descriptors opened without
// following links.
class Staging {
 public:
  Staging() = default;
  ~Staging() {
    // Once the plan is committed, only Finish removes the folder: a run
    // that ends otherwise leaves it for the next start to settle.
    if (stagingFd_.ok() && (!committed_ || finished_)) RemoveFolder();
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  // A new folder in `target` with an empty journal, its name on the disk;
  // false when it cannot be made.
  bool Begin(const std::string& target) {
    if (!OpenTarget(target)) return false;
    std::string tmpl = target + std::string(kStagingPrefix) + std::string(kStagingUnique, 'X');
    if (!::mkdtemp(tmpl.data())) return false;
    name_ = tmpl.substr(target.size());
    stagingFd_ = OpenDirAt(targetFd_.get(), name_);
    if (!stagingFd_.ok()) return false;
    journalName_ = kPlanName;
    if (plat::FileFault(plat::FileOp::Create, Path() + journalName_) != plat::kOk) return false;
    journalFd_ = Fd(::openat(stagingFd_.get(), kPlanName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!Lock() || ::mkdirat(stagingFd_.get(), kFreshDir, 0777) != 0 || ::mkdirat(stagingFd_.get(), kKeptDir, 0777) != 0)
      return false;
    keptFd_ = OpenDirAt(stagingFd_.get(), kKeptDir);
    return keptFd_.ok();
  }

  enum class Found { NotOurs, Leave, Nothing, Journal, Earlier };
  // An existing entry `name` of `target`, left by a run that ended:
  // Journal when its journal holds a committed plan; Nothing when it holds
  // none, so that the folder can simply go; Earlier for a committed plan of
  // an earlier version of the program; Leave when a running unpacking holds
  // one of its journals, or when it cannot be read as one of this
  // program's (then `Problem` tells why); NotOurs when it is no folder (a
  // link, a file).
  Found Adopt(const std::string& target, const std::string& name) {
    if (!OpenTarget(target)) return Found::Leave;
    name_ = name;
    stagingFd_ = OpenDirAt(targetFd_.get(), name_);
    if (!stagingFd_.ok()) return Found::NotOurs;
    std::vector<uint8_t> bytes;
    int journals = 0;
    for (const char* journal : {kPlanName, kUndoName}) {
      Fd fd(::openat(stagingFd_.get(), journal, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
      if (!fd.ok() && errno == ENOENT) continue;
      ++journals;
      journalName_ = journal;
      journalFd_ = std::move(fd);
      if (!Lock()) {
        // Held: an unpacking still runs here. Anything else is no journal
        // this program wrote (a link, a directory).
        const bool running = journalFd_.ok() && (errno == EAGAIN || errno == EACCES);
        if (!running) problem_ = Path() + journal;
        stagingFd_ = Fd();
        return Found::Leave;
      }
      bytes = ReadJournal();
    }
    if (journals > 1) {
      problem_ = Path() + kPlanName;
      stagingFd_ = Fd();
      return Found::Leave;
    }
    uint32_t count = 0;
    size_t end = 0;
    if (plat::CheckJournal(bytes, kEarlierJournalTag, count, end)) {
      committed_ = true;  // kept as it is
      return Found::Earlier;
    }
    std::optional<Plan> plan = DecodeJournal(bytes);
    if (!plan) return Found::Nothing;
    plan_ = std::move(*plan);
    committed_ = true;
    if (!(keptFd_ = OpenDirAt(stagingFd_.get(), kKeptDir)).ok()) {
      problem_ = Path() + kKeptDir;
      return Found::Leave;
    }
    return Found::Journal;
  }

  // The folder's path (ending in "/") for messages and the test seam.
  std::string Path() const { return target_ + name_ + "/"; }
  std::string FreshDir() const { return Path() + kFreshDir + "/"; }
  const std::string& Problem() const { return problem_; }
  const std::string& JournalName() const { return journalName_; }

  // Writes and syncs the plan, and the folder's names up to the target:
  // from here on the unpacking is finished however it ends, by this run or
  // by the next start. "" or why not.
  std::string Commit(Plan plan) {
    plan_ = std::move(plan);
    const std::vector<uint8_t> bytes = EncodeJournal(plan_);
    const std::string path = Path() + journalName_;
    int rc = plat::FileFault(plat::FileOp::Write, path);
    if (rc == plat::kOk && ::pwrite(journalFd_.get(), bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
      rc = Errno();
    if (rc == plat::kOk) rc = plat::FileFault(plat::FileOp::Flush, path);
    if (rc == plat::kOk && ::fsync(journalFd_.get()) != 0) rc = Errno();
    if (rc == plat::kOk) rc = SyncDir(keptFd_.get(), Path() + kKeptDir);
    if (rc == plat::kOk) rc = SyncDir(stagingFd_.get(), Path());
    if (rc == plat::kOk) rc = SyncDir(targetFd_.get(), target_);
    if (rc != plat::kOk) return Why(path, rc);
    committed_ = true;
    return {};
  }

  // The first file of the plan another program holds, or a guarded
  // program that runs: why the files must not move now, or "".
  std::string Blocked() const {
    if (const std::string running = FirstRunning(plan_.guard); !running.empty())
      return "działa program " + running;
    for (const Move& m : plan_.steps)
      if (m.kind != Move::kDirectory)
        if (const int rc = HeldByAnother(targetFd_.get(), m.to)) return Why(target_ + m.to, rc);
    return {};
  }

  // Puts every file of the plan in place, the ones it replaces kept aside;
  // a step already made is passed over, so that this also finishes a run
  // that ended midway. Every step is checked before the first move (with
  // `move` false, only that): a file that is not the version recorded, or a
  // step that cannot be made, stops it before anything moves.
  Outcome Forward(bool move = true) {
    if (move)
      if (Outcome checked = Forward(false); checked.kind != Outcome::kDone) return checked;
    std::vector<std::string> toMake;  // the directories the check found still to make
    for (size_t i = 0; i < plan_.steps.size(); ++i) {
      const Move& m = plan_.steps[i];
      std::string leaf;
      Fd dir = OpenParent(targetFd_.get(), m.to, leaf);
      if (!dir.ok() && (move || errno != ENOENT ||
                        std::find(toMake.begin(), toMake.end(), m.to.substr(0, m.to.find('/'))) == toMake.end()))
        return Changed(m.to);
      const std::optional<Version> now = Probe(targetFd_.get(), m.to);
      if (!now) return Failed(m.to, Errno());
      if (m.kind == Move::kDirectory) {
        if (now->state == Version::kAbsent && !move) {
          toMake.push_back(m.to);
        } else if (now->state == Version::kAbsent) {
          if (::mkdirat(dir.get(), leaf.c_str(), 0777) != 0) return Failed(m.to, Errno());
          // The new directory's name, so that the moves into it last.
          if (const int rc = SyncDir(dir.get(), target_)) return Failed(m.to, rc);
        } else if (!OpenDirAt(dir.get(), leaf).ok()) {
          return Changed(m.to);
        }
        continue;
      }
      const std::string kept = std::to_string(i);
      const std::optional<Version> keptNow = Probe(keptFd_.get(), kept);
      const std::optional<Version> freshNow = m.kind == Move::kFile ? Probe(stagingFd_.get(), m.from) : Version{};
      if (!keptNow || !freshNow) return Failed(m.to, Errno());
      if (m.kind == Move::kFile && !freshNow->Present()) {
        // Put in place before: only the file it put there will do.
        if (*now != m.fresh) return Changed(m.to);
        continue;
      }
      if (m.kind == Move::kFile && *freshNow != m.fresh) return Changed(Path() + m.from);
      if (now->Present()) {
        if (now->state == Version::kOther && m.old.state == Version::kOther)
          return Failed(m.to, 0, "istnieje katalog o tej nazwie");
        if (*now != m.old || keptNow->Present()) return Changed(m.to);
        if (!move) continue;
        if (const int rc = RenameNoReplace(dir.get(), leaf, keptFd_.get(), kept, target_ + m.to))
          return Failed(m.to, rc);
      }
      if (m.kind == Move::kFile && move) {
        std::string freshLeaf;
        const Fd freshDir = OpenParent(stagingFd_.get(), m.from, freshLeaf);
        if (!freshDir.ok()) return Changed(Path() + m.from);
        if (const int rc = RenameNoReplace(freshDir.get(), freshLeaf, dir.get(), leaf, Path() + m.from))
          return rc == plat::kErrAlreadyExists ? Changed(m.to) : Failed(m.to, rc);
      }
    }
    return move ? SyncAll() : Outcome{};
  }

  // Marks the plan as one to take back, for a run that ends midway.
  bool Undo() {
    if (journalName_ == kUndoName) return true;
    if (RenameNoReplace(stagingFd_.get(), kPlanName, stagingFd_.get(), kUndoName, Path() + kPlanName) != plat::kOk)
      return false;
    journalName_ = kUndoName;
    return SyncDir(stagingFd_.get(), Path()) == plat::kOk;
  }

  // Puts back every file the plan replaced or took out of the way, and
  // the files it added back into the staging folder; also after a run
  // that ended midway, and as often as it is run. Checked whole first, as
  // Forward is.
  Outcome Back(bool move = true) {
    if (move)
      if (Outcome checked = Back(false); checked.kind != Outcome::kDone) return checked;
    for (size_t i = plan_.steps.size(); i-- > 0;) {
      const Move& m = plan_.steps[i];
      std::string leaf;
      Fd dir = OpenParent(targetFd_.get(), m.to, leaf);
      const std::string kept = std::to_string(i);
      if (!dir.ok()) {
        // Its directory never came: nothing of the step is there.
        if (errno == ENOENT && m.kind != Move::kDirectory && Probe(keptFd_.get(), kept) == Version{}) continue;
        if (errno == ENOENT && m.kind == Move::kDirectory) continue;
        return Changed(m.to);
      }
      if (m.kind == Move::kDirectory) {
        if (move) ::unlinkat(dir.get(), leaf.c_str(), AT_REMOVEDIR);  // only when nothing else went into it
        continue;
      }
      const std::optional<Version> now = Probe(targetFd_.get(), m.to), keptNow = Probe(keptFd_.get(), kept);
      const std::optional<Version> freshNow = m.kind == Move::kFile ? Probe(stagingFd_.get(), m.from) : Version{};
      if (!now || !keptNow || !freshNow) return Failed(m.to, Errno());
      bool there = now->Present();
      if (there && m.kind == Move::kFile && !freshNow->Present() && *now == m.fresh) {
        std::string freshLeaf;
        const Fd freshDir = OpenParent(stagingFd_.get(), m.from, freshLeaf);
        if (!freshDir.ok()) return Changed(Path() + m.from);
        if (move)
          if (const int rc = RenameNoReplace(dir.get(), leaf, freshDir.get(), freshLeaf, target_ + m.to))
            return Failed(m.to, rc);
        there = false;
      }
      if (!keptNow->Present()) {
        // Never taken away, or back already: what stands there is the
        // old file, or the user's.
        continue;
      }
      if (there || *keptNow != m.old) return Changed(there ? m.to : Path() + kKeptDir + "/" + kept);
      if (!move) continue;
      if (const int rc = RenameNoReplace(keptFd_.get(), kept, dir.get(), leaf, Path() + kKeptDir + "/" + kept))
        return Failed(m.to, rc);
    }
    return move ? SyncAll() : Outcome{};
  }

  // The settled folder goes: the journal first, so that a run ending in
  // the middle of the removal leaves nothing that still asks for work.
  void Finish() {
    const std::string journal = Path() + journalName_;
    if (plat::FileFault(plat::FileOp::Erase, journal) != plat::kOk) return;
    if (::unlinkat(stagingFd_.get(), journalName_.c_str(), 0) != 0) return;
    finished_ = true;
    RemoveFolder();
  }

 private:
  bool OpenTarget(const std::string& target) {
    target_ = target;
    targetFd_ = Fd(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return targetFd_.ok();
  }

  // Holds the journal against another run's recovery; errno tells why not.
  bool Lock() {
    if (!journalFd_.ok()) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    struct stat st {};
    if (::fstat(journalFd_.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return errno = EINVAL, false;
    return ::fcntl(journalFd_.get(), F_OFD_SETLK, &fl) == 0;
  }

  std::vector<uint8_t> ReadJournal() const {
    struct stat st {};
    std::vector<uint8_t> bytes;
    if (::fstat(journalFd_.get(), &st) != 0 || st.st_size > (1 << 26)) return bytes;
    bytes.resize(size_t(st.st_size));
    const ssize_t got = ::pread(journalFd_.get(), bytes.data(), bytes.size(), 0);
    bytes.resize(got < 0 ? 0 : size_t(got));
    return bytes;
  }

  Outcome Changed(const std::string& rel) const {
    return {Outcome::kChanged, rel.starts_with('/') ? rel : target_ + rel, {}};
  }
  Outcome Failed(const std::string& rel, int dosError, std::string why = {}) const {
    return {Outcome::kError, rel.starts_with('/') ? rel : target_ + rel, why.empty() ? FileErrorText(dosError) : why};
  }

  // Syncs each directory the plan changed (one taken back with its files
  // is gone), and the staging folder's kept files. kDone or why not.
  Outcome SyncAll() const {
    if (const int rc = SyncDir(keptFd_.get(), Path() + kKeptDir)) return Failed(Path() + kKeptDir, rc);
    std::vector<std::string> done;
    for (const Move& m : plan_.steps) {
      const size_t slash = m.to.rfind('/');
      const std::string dirName = slash == std::string::npos ? "" : m.to.substr(0, slash);
      if (std::find(done.begin(), done.end(), dirName) != done.end()) continue;
      done.push_back(dirName);
      const Fd dir = dirName.empty() ? Fd(::fcntl(targetFd_.get(), F_DUPFD_CLOEXEC, 0)) : OpenDirAt(targetFd_.get(), dirName);
      if (!dir.ok()) continue;
      if (const int rc = SyncDir(dir.get(), target_ + dirName)) return Failed(dirName, rc);
    }
    return {};
  }

  void RemoveFolder() {
    journalFd_.Reset();
    keptFd_.Reset();
    stagingFd_.Reset();
    RemoveTree(targetFd_.get(), name_);
  }

  std::string target_, name_, journalName_, problem_;
  Fd targetFd_, stagingFd_, keptFd_, journalFd_;
  Plan plan_;
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

// One directory's share of the extracted files: where they lie in the
// staging folder and the directory they go to.
struct Batch {
  std::string fresh, target;
  bool makeTarget = false;  // the target directory does not exist yet
};

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

TRecovery RecoverInterruptedUnpacks(const std::string& dir) {
  TRecovery out;
  const std::string target = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(dir)));
  std::vector<plat::FindData> found;
  const std::string mask = std::string(kStagingPrefix) + std::string(kStagingUnique, '?');
  if (plat::FindFiles(target + mask, plat::kAttrDirectory, found) != plat::kOk) return out;
  const std::string where = "Przerwane odtwarzanie plików w katalogu " + target;
  const auto leave = [&](const std::string& why) {
    out.Settled = false;
    if (!why.empty()) out.Notices.push_back(where + " nie zostało dokończone: " + why);
  };
  for (const plat::FindData& f : found) {
    if (!f.name.starts_with(kStagingPrefix)) continue;
    // A folder without a committed plan goes with `left`: nothing in the
    // target was touched, or everything was settled but the removal.
    Staging left;
    switch (left.Adopt(target, f.name)) {
      case Staging::Found::NotOurs:
      case Staging::Found::Nothing:
        continue;
      case Staging::Found::Leave:
        // With no problem named, an unpacking still runs there.
        leave(left.Problem().empty() ? "" : left.Problem() + " nie jest plikiem tego programu.;Sprawdź ten folder.");
        continue;
      case Staging::Found::Earlier:
        leave("jego dziennik zapisała wcześniejsza wersja programu.;Sprawdź pliki katalogu i folder " + left.Path() +
              ".");
        continue;
      case Staging::Found::Journal:
        break;
    }
    if (const std::string blocked = left.Blocked(); !blocked.empty()) {
      leave(blocked + ".;Zostanie dokończone przy następnym uruchomieniu programu.");
      continue;
    }
    const bool forward = left.JournalName() == kPlanName;
    Outcome outcome = forward ? left.Forward() : Outcome{};
    if (outcome.kind == Outcome::kDone && forward) {
      left.Finish();
      out.Notices.push_back(where + " zostało dokończone.");
      continue;
    }
    if (outcome.kind == Outcome::kError && !left.Undo()) outcome.why = "nie można zapisać dziennika";
    if (outcome.kind != Outcome::kChanged && left.JournalName() == kUndoName) outcome = left.Back();
    if (outcome.kind == Outcome::kDone) {
      left.Finish();
      out.Notices.push_back(where + " zostało wycofane. Pliki są takie jak przed nim.");
    } else if (outcome.kind == Outcome::kChanged) {
      leave("plik " + outcome.file + " zmienił się od tego czasu.;Sprawdź ten plik i folder " + left.Path() + ".");
    } else {
      leave(outcome.file + ": " + outcome.why + ".;Sprawdź ten plik i folder " + left.Path() + ".");
    }
  }
  return out;
}

std::vector<std::string> FinishInterruptedWork() {
  std::vector<std::string> notices;
  const auto settle = [&](const std::string& dir) {
    TRecovery r = RecoverInterruptedUnpacks(dir);
    notices.insert(notices.end(), r.Notices.begin(), r.Notices.end());
    RemoveDownloadLeftovers(dir);
  };
  // The program directory first: its settings file, which names the
  // others, may be one of the files an unpacking left half done, or its
  // killed write may have left a temporary copy.
  std::vector<std::string> done{WithSlash(plat::ResolvePath(ProgramDir()))};
  settle(done.front());
  for (const char* name : {kAdminIniName, kRuvIniName}) RemoveIniWriteLeftover(done.front() + name);
  const TIniFile ini = OpenIni(TIniKind::Admin);
  for (const TSiblingProgram& p : kSiblings) {
    const std::string dir = DirPath(ReadProgramDir(ini, p));
    if (dir.empty() || !plat::IsDirectory(dir)) continue;
    const std::string resolved = WithSlash(plat::ResolvePath(dir));
    if (std::find(done.begin(), done.end(), resolved) != done.end()) continue;
    done.push_back(resolved);
    settle(resolved);
  }
  return notices;
}

TRestoreResult UnpackAllOrNothing(TZipMaster19& zip, const std::string& targetDir,
                                  const std::vector<std::string>& keepDirs, const TUnpackFollowUp& followUp) {
  TRestoreResult result;
  const std::string target = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(targetDir)));
  if (!plat::IsDirectory(target)) {
    std::error_code ec;
    std::filesystem::create_directories(target, ec);
    // The new directory's name, so that what goes into it lasts.
    if (plat::IsDirectory(target)) plat::SyncDirectoryOf(target.substr(0, target.size() - 1));
  }
  if (!plat::IsDirectory(target)) {
    result.Error = "Nie można utworzyć katalogu " + target + ".";
    return result;
  }
  // This unpacking starts from the files of an earlier one that ended
  // midway all old or all new, and leaves no second staging folder; one
  // that cannot be settled stops it before anything changes.
  if (TRecovery earlier = RecoverInterruptedUnpacks(target); !earlier.Settled) {
    result.Error = "W katalogu " + target + " pozostało niedokończone rozpakowanie innego archiwum";
    for (const std::string& n : earlier.Notices) result.Error += ";" + n;
    return result;
  }
  if (const std::string running = FirstRunning(followUp.Guard); !running.empty()) {
    result.Error = "Działa program " + running + ".";
    return result;
  }
  Staging staging;
  if (!staging.Begin(target)) {
    result.Error = "Nie można utworzyć katalogu tymczasowego w " + target + ".";
    return result;
  }
  const std::string fresh = staging.FreshDir();
  // The staging folder is this call's own business: messages name where
  // an entry goes in the target.
  const auto shown = [&](std::string text) {
    for (const std::string& inner : {fresh, staging.Path()})
      for (size_t at; (at = text.find(inner)) != std::string::npos;) text.replace(at, inner.size(), target);
    return text;
  };
  const auto fail = [&](const std::string& text) {
    result.Error = shown(text);
    return result;
  };

  ExtractSettingsScope settings(zip);
  std::string firstError;
  auto previous = zip.OnMessage;
  zip.OnMessage = [&](int code, const std::string& text) {
    if (code > 0 && firstError.empty()) firstError = text;
    if (previous) previous(code, text);
  };
  zip.FSpecArgs = {"*.*"};
  zip.ExtrBaseDir = fresh;
  zip.ExtrOptions |= ExtrOverWrite | ExtrForceDirs;
  zip.ExtrKeepDirs = keepDirs;
  if (!zip.Extract()) return fail(!firstError.empty() ? firstError : "Nie można rozpakować archiwum.");

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
  int extracted = 0;
  for (const Batch& b : batches) extracted += int(RegularFiles(b.fresh).size());
  if (followUp.ResetProgramDirs) {
    // The settings file that stands after the restore: the archive's, or
    // else the one there now, with the directories set back.
    std::string staged;
    for (const std::string& name : RegularFiles(fresh))
      if (plat::SameNameIgnoreCase(name, kAdminIniName)) staged = fresh + name;
    if (staged.empty()) {
      staged = fresh + kAdminIniName;
      const std::string now = targetNames.Resolve(kAdminIniName);
      std::error_code ec;
      if (plat::IsRegularFile(now) && !std::filesystem::copy_file(now, staged, ec))
        return fail("Nie można zapisać pliku " + staged + ": " + ec.message() + ".");
    }
    try {
      TIniFile ini(staged);
      for (const TSiblingProgram& p : kSiblings) ini.WriteString(Keys::kKatalogi, p.DirKey, DefaultProgramDir(p));
    } catch (const EIniFileException& e) {
      return fail(e.what());
    }
  }
  const int targetFd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const Fd targetDirFd(targetFd);
  // A path's name below a directory, without a trailing "/".
  const auto below = [](const std::string& path, const std::string& dir) {
    std::string name = path.substr(dir.size());
    if (name.ends_with('/')) name.pop_back();
    return name;
  };
  const auto version = [&](int root, const std::string& rel) {
    std::optional<Version> v = Probe(root, rel);
    return v ? *v : Version{Version::kOther};
  };
  const int stagingFd = ::open(staging.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  const Fd stagingDirFd(stagingFd);
  // The plan: the directories to make, the pack leftovers and index files
  // out of the way, then the files.
  Plan plan;
  plan.guard = followUp.Guard;
  plan.eraseIndexes = followUp.EraseIndexFiles;
  std::vector<Move> files;
  std::vector<std::string> leftovers;
  for (const Batch& b : batches) {
    if (b.makeTarget) plan.steps.push_back({Move::kDirectory, {}, {}, below(b.target, target), {}});
    std::optional<plat::DirNameIndex> names;
    if (!b.makeTarget) names.emplace(b.target);
    for (const std::string& name : RegularFiles(b.fresh)) {
      const std::string to = names ? names->Resolve(name) : b.target + name;
      // Index files go with the restored tables' old ones.
      if (followUp.EraseIndexFiles && b.target == target && IsIndexFile(name)) continue;
      const std::string from = below(b.fresh + name, staging.Path());
      files.push_back({Move::kFile, version(targetFd, below(to, target)), version(stagingFd, from), below(to, target), from});
      if (!names) continue;
      for (const std::string& leftover : PackLeftoverNames(below(to, b.target))) {
        const std::string path = names->Resolve(leftover);
        if (plat::IsRegularFile(path) && std::find(leftovers.begin(), leftovers.end(), path) == leftovers.end())
          leftovers.push_back(path);
      }
    }
  }
  if (followUp.EraseIndexFiles)
    for (const std::string& name : RegularFiles(target))
      if (IsIndexFile(name) && std::find(leftovers.begin(), leftovers.end(), target + name) == leftovers.end())
        leftovers.push_back(target + name);
  for (const std::string& path : leftovers) {
    // One the archive itself brings is restored, not moved away.
    const std::string name = below(path, target);
    if (std::none_of(files.begin(), files.end(), [&](const Move& f) { return f.to == name; }))
      plan.steps.push_back({Move::kLeftover, version(targetFd, name), {}, name, {}});
  }
  plan.steps.insert(plan.steps.end(), files.begin(), files.end());
  if (!PlanIsSound(plan)) return fail("Archiwum zawiera pliki, których nie można odtworzyć w katalogu " + target + ".");
  for (const Move& m : plan.steps)
    if (m.kind != Move::kDirectory)
      if (const int rc = HeldByAnother(targetFd, m.to))
        return fail("Nie można zapisać pliku " + target + m.to + ": " + FileErrorText(rc) + ".");

  // Every file in place, or none, also when this run ends midway: the new
  // files are on the disk before the plan is, and the plan before any of
  // them moves.
  std::vector<std::string> freshDirs;
  for (const Batch& b : batches) freshDirs.push_back(b.fresh);
  if (const int rc = SyncStaged(staging.Path(), freshDirs, files))
    return fail("Nie można zapisać plików w " + target + ": " + FileErrorText(rc) + ".");
  if (std::string why = staging.Commit(std::move(plan)); !why.empty()) return fail("Nie można zapisać pliku " + why + ".");
  if (const Outcome moved = staging.Forward(); moved.kind != Outcome::kDone) {
    if (staging.Undo() && staging.Back().kind == Outcome::kDone) staging.Finish();
    if (moved.kind == Outcome::kChanged)
      return fail("Plik " + moved.file + " zmienił się w czasie odtwarzania. Pliki nie zostały zmienione.");
    return fail("Nie można zapisać pliku " + moved.file + ": " + moved.why + ".");
  }
  staging.Finish();
  result.Ok = true;
  result.Files = extracted;
  return result;
}

TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir, const TUnpackFollowUp& followUp) {
  return UnpackAllOrNothing(zip, targetDir, {kDocumentsDirName}, followUp);
}
