#include "admin/Restore.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
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
// The journal's name says what is left to do: the moves are to be made
// (plan) or taken back (cofnij); or the folder is to lose the versions it
// kept, the old files included once the moves were made (gotowe), or only
// the extracted copies once they were taken back (wycofane).
constexpr const char* kPlanName = "plan";
constexpr const char* kUndoName = "cofnij";
constexpr const char* kDoneName = "gotowe";
constexpr const char* kUndoneName = "wycofane";
constexpr const char* kJournalNames[] = {kPlanName, kUndoName, kDoneName, kUndoneName};
// A settled staging folder that still holds anything but recorded
// versions, or one whose journal cannot be used, stays under this name
// (without the leading dot), which no unpacking looks for again.
constexpr const char* kAsideSuffix = "_do_sprawdzenia";
// A recorded version the clearing erases is renamed to this, its name with
// this added, first, so that what it erases is the file it checked.
constexpr const char* kErasingSuffix = ".~usuwany";
// A journal larger than this is none this program wrote.
constexpr size_t kJournalLimit = size_t(1) << 26;

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

int Errno() { return plat::DosErrorFromErrno(errno); }

// What stands under a name as the journal records it: nothing, a regular
// file with its size and a hash of its bytes, or something else (a
// directory, a link, a device).
struct Version {
  enum State : uint8_t { kAbsent = 0, kRegular = 1, kOther = 2 };
  State state = kAbsent;
  uint64_t size = 0, hash = 0;
  bool operator==(const Version&) const = default;
  bool Present() const { return state != kAbsent; }
};

// What tells one file from any other without reading it. Whoever writes a
// file moves its change time, which no process can set back: a file whose
// identity is the one seen when it was hashed still has those bytes.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
  off_t size = 0;
  int64_t mtime = 0, ctime = 0;  // nanoseconds
  static Identity Of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_mode, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
            st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
  }
  bool operator==(const Identity&) const = default;
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

// A regular file's version as last hashed, with the identity it had then.
struct Seen {
  Identity id;
  Version v;
};

// What a look at a name found: the version, the identity of a regular
// file, what stands there instead of one, or the error (DOS) that kept it
// from being read.
struct Look {
  Version v;
  Identity id;
  const char* notFile = nullptr;
  bool directory = false;
  int error = 0;
};

// Looks at `leaf` in `dir`, never through a link. A regular file is hashed
// unless `seen` holds its present identity, and `seen` then gets what was
// hashed. `hookPath` names it to the test seam.
Look LookAt(int dir, const std::string& leaf, const std::string& hookPath, std::optional<Seen>& seen) {
  Look out;
  struct stat st {};
  if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) out.error = Errno();
    return out;
  }
  if (!S_ISREG(st.st_mode)) {
    out.v.state = Version::kOther;
    out.directory = S_ISDIR(st.st_mode);
    out.notFile = out.directory            ? "istnieje katalog o tej nazwie"
                  : S_ISLNK(st.st_mode)    ? "jest dowiązaniem symbolicznym"
                                           : "nie jest zwykłym plikiem";
    return out;
  }
  if (seen && seen->id == Identity::Of(st)) {
    out.v = seen->v;
    out.id = seen->id;
    return out;
  }
  if ((out.error = plat::FileFault(plat::FileOp::Read, hookPath)) != 0) return out;
  const Fd file(::openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat before {}, after {};
  out.v.state = Version::kRegular;
  if (!file.ok() || ::fstat(file.get(), &before) != 0 || !HashFile(file.get(), out.v.size, out.v.hash) ||
      ::fstat(file.get(), &after) != 0) {
    out.error = Errno();
    return out;
  }
  out.id = Identity::Of(after);
  if (!(Identity::Of(before) == out.id)) {
    out.v = {Version::kOther};
    out.notFile = "zmieniał się w czasie odczytu";
    return out;
  }
  seen = Seen{out.id, out.v};
  return out;
}

// 0, or kErrLockViolation when another program holds `leaf` in `dir`: it
// has it open under one of the emulated share modes or locks any of its
// bytes (the tables' record and table locks), as Windows then refuses to
// replace it.
int HeldByAnother(int dir, const std::string& leaf) {
  const Fd file(dir >= 0 ? ::openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1);
  if (!file.ok()) return 0;  // nothing there to hold, or for the move to meet
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(file.get(), F_OFD_GETLK, &fl) != 0) return 0;
  return fl.l_type == F_UNLCK ? 0 : plat::kErrLockViolation;
}

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

std::vector<std::string> Entries(int dir) {
  std::vector<std::string> names;
  if (DIR* d = ::fdopendir(::fcntl(dir, F_DUPFD_CLOEXEC, 0))) {
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

// Removes `name` below `dir` with everything in it; a link inside is
// removed itself, never what it points to.
void RemoveTree(int dir, const std::string& name) {
  if (Fd sub = OpenDirAt(dir, name); sub.ok())
    for (const std::string& n : Entries(sub.get()))
      if (::unlinkat(sub.get(), n.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM)) RemoveTree(sub.get(), n);
  ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
}

// Removes the directories below `name` in `dir` that hold nothing but
// directories, and `name` itself when it is then empty; files stay.
// Whether `name` is gone.
bool RemoveEmptyDirs(int dir, const std::string& name) {
  if (Fd sub = OpenDirAt(dir, name); sub.ok())
    for (const std::string& n : Entries(sub.get())) RemoveEmptyDirs(sub.get(), n);
  return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
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
  // kFile: the extracted file's inode, which it keeps in place: an undo
  // takes away a file the restore added only when it is that very file.
  uint64_t freshIno = 0;
  std::string to, from;
};

struct Plan {
  std::vector<std::string> guard;  // executables that must not run
  bool eraseIndexes = false;
  // Directories of the target that are links the user made, each with the
  // folder it named when the plan was made: the steps go through the link
  // only while it names that folder.
  std::vector<std::pair<std::string, std::string>> linked;
  std::vector<Move> steps;
};

// The journal, in the frame of platform/journal.h: the guard's names, the
// index flag, the linked directories, then each step's kind, versions, the
// extracted file's inode and two length-prefixed names. One cut short or
// torn was never committed: nothing in the target moved yet. A journal of
// the program's earlier versions carries an earlier tag: it is never
// applied.
constexpr char kJournalTag[8] = {'R', 'U', 'V', 'R', 'O', 'Z', 'P', '3'};
constexpr char kEarlierJournalTags[][8] = {{'R', 'U', 'V', 'U', 'N', 'Z', 'I', 'P'},
                                           {'R', 'U', 'V', 'R', 'O', 'Z', 'P', '2'}};

void PutName(std::vector<uint8_t>& out, const std::string& name) {
  uint8_t len[2];
  plat::writeLE16(len, uint16_t(name.size()));
  out.insert(out.end(), len, len + 2);
  out.insert(out.end(), name.begin(), name.end());
}

void Put64(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t bytes[8];
  plat::writeLE64(bytes, v);
  out.insert(out.end(), bytes, bytes + sizeof bytes);
}

void PutVersion(std::vector<uint8_t>& out, const Version& v) {
  out.push_back(v.state);
  Put64(out, v.size);
  Put64(out, v.hash);
}

std::vector<uint8_t> EncodeJournal(const Plan& plan) {
  std::vector<uint8_t> out = plat::BeginJournal(kJournalTag, uint32_t(plan.steps.size()));
  out.push_back(uint8_t(plan.guard.size()));
  for (const std::string& exe : plan.guard) PutName(out, exe);
  out.push_back(plan.eraseIndexes ? 1 : 0);
  out.push_back(uint8_t(plan.linked.size()));
  for (const auto& [name, folder] : plan.linked) {
    PutName(out, name);
    PutName(out, folder);
  }
  for (const Move& m : plan.steps) {
    out.push_back(m.kind);
    PutVersion(out, m.old);
    PutVersion(out, m.fresh);
    Put64(out, m.freshIno);
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
// The names, folded: the open finds them under the memo file's name as it
// stands on the disk, which may differ from the table's in letter case.
std::vector<std::u32string> PackLeftoverKeys(const std::string& fileName) {
  std::vector<std::u32string> keys;
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || fileName.find('/', dot) != std::string::npos) return keys;
  const std::string ext = fileName.substr(dot + 1);
  for (const char* table : {"dbf", "dbt", "fpt"})
    if (plat::SameNameIgnoreCase(ext, table))
      for (const std::string& leftover : PackLeftoverPaths(fileName)) keys.push_back(plat::FoldedKey(leftover));
  return keys;
}

bool IsPackLeftover(const std::string& name) {
  for (const std::string& leftover : PackLeftoverPaths("x"))
    if (name.size() > 4 && plat::SameNameIgnoreCase(name.substr(name.size() - 4), leftover.substr(1))) return true;
  return false;
}

// Whether a plan is one an unpacking makes: names that stay inside their
// directories, each target and each extracted file named once, nothing
// taken out of the way but index files (when the plan erases them) and
// the pack leftovers of a table the plan replaces, linked directories
// named by one plain name and an absolute folder. Hashed look-ups only, so
// that the largest journal is checked in a moment.
bool PlanIsSound(const Plan& plan) {
  std::unordered_set<std::string> linked, targets, staged;
  for (const auto& [name, folder] : plan.linked)
    if (!IsPlainRelative(name) || name.find('/') != std::string::npos || name.starts_with(kStagingPrefix) ||
        !folder.starts_with('/') || folder.find('\0') != std::string::npos || !linked.insert(name).second)
      return false;
  std::unordered_set<std::u32string> leftovers;  // of the tables and memo files the plan replaces
  const std::string freshPrefix = std::string(kFreshDir) + "/";
  for (const Move& m : plan.steps) {
    if (!IsPlainRelative(m.to) || m.to.starts_with(kStagingPrefix) || !targets.insert(m.to).second) return false;
    switch (m.kind) {
      case Move::kDirectory:
        if (m.to.find('/') != std::string::npos || !m.from.empty() || linked.count(m.to)) return false;
        break;
      case Move::kLeftover:
        if (!m.from.empty() || m.old.state != Version::kRegular) return false;
        break;
      case Move::kFile:
        if (!m.from.starts_with(freshPrefix) || !IsPlainRelative(m.from.substr(freshPrefix.size())) ||
            m.fresh.state != Version::kRegular || !staged.insert(m.from).second)
          return false;
        for (std::u32string& key : PackLeftoverKeys(m.to)) leftovers.insert(std::move(key));
        break;
      default:
        return false;
    }
  }
  return std::all_of(plan.steps.begin(), plan.steps.end(), [&](const Move& m) {
    return m.kind != Move::kLeftover || (plan.eraseIndexes && IsIndexFile(m.to)) ||
           (IsPackLeftover(m.to) && leftovers.count(plat::FoldedKey(m.to)));
  });
}

bool IsEarlierJournal(const std::vector<uint8_t>& in) {
  uint32_t count = 0;
  size_t end = 0;
  return std::any_of(std::begin(kEarlierJournalTags), std::end(kEarlierJournalTags),
                     [&](const char(&tag)[8]) { return plat::CheckJournal(in, tag, count, end); });
}

// The plan of a whole, intact, sound journal; nullopt for anything else.
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
  const auto u64 = [&](uint64_t& v) {
    if (body - at < 8) return false;
    v = plat::readLE64(&in[at]);
    at += 8;
    return true;
  };
  const auto version = [&](Version& v) {
    if (body - at < 1 || in[at] > Version::kOther) return false;
    v.state = Version::State(in[at++]);
    return u64(v.size) && u64(v.hash);
  };
  Plan plan;
  if (body - at < 1) return std::nullopt;
  plan.guard.resize(in[at++]);
  for (std::string& exe : plan.guard)
    if (!name(exe)) return std::nullopt;
  if (body - at < 2) return std::nullopt;
  plan.eraseIndexes = in[at++] != 0;
  plan.linked.resize(in[at++]);
  for (auto& [dir, folder] : plan.linked)
    if (!name(dir) || !name(folder)) return std::nullopt;
  // Each step takes at least this many bytes: a count that says more is no
  // count this program wrote.
  if ((body - at) / (1 + 17 + 17 + 8 + 2 + 2) < count) return std::nullopt;
  plan.steps.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (body - at < 1) return std::nullopt;
    Move m;
    m.kind = Move::Kind(in[at++]);
    if (!version(m.old) || !version(m.fresh) || !u64(m.freshIno) || !name(m.to) || !name(m.from)) return std::nullopt;
    plan.steps.push_back(std::move(m));
  }
  if (at != body || !PlanIsSound(plan)) return std::nullopt;
  return plan;
}

std::string Why(const std::string& path, int dosError) { return path + ": " + FileErrorText(dosError); }

// How a pass over the plan ended: done; stopped at `file` because it is
// not the version the journal recorded; or stopped by an error.
struct Outcome {
  enum Kind { kDone, kChanged, kError } kind = kDone;
  std::string file, why;
  size_t step = 0;  // the step it stopped at
};

// A directory a link in the target names, while it still names `folder`,
// the one recorded; not ok() (errno ENOTDIR) otherwise.
Fd OpenLinkedDir(int parent, const std::string& name, const std::string& folder) {
  Fd viaLink(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const Fd recorded(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat a {}, b {};
  if (viaLink.ok() && recorded.ok() && ::fstat(viaLink.get(), &a) == 0 && ::fstat(recorded.get(), &b) == 0 &&
      a.st_dev == b.st_dev && a.st_ino == b.st_ino)
    return viaLink;
  errno = ENOTDIR;
  return Fd();
}

// One unpacking's staging folder and its journal, locked from the
// folder's making to its removal, so that the recovery of another run of
// the program leaves a live unpacking alone. Every name below the target
// is used exactly as recorded, through descriptors opened without
// following links (but for the linked directories the plan recorded).
// Each file is hashed once; later looks compare its identity, and a move
// holds the file it checked and confirms that the new name holds it.
class Staging {
 public:
  Staging() = default;
  ~Staging() {
    // A plan once committed is settled by Finish or left for the next
    // start; before that, nothing in the target moved.
    if (began_ && stagingFd_.ok() && !committed_) RemoveTree(targetFd_.get(), name_);
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  void SetProgress(TUnpackProgress progress) { progress_ = std::move(progress); }

  // A new folder in `target` with an empty journal, its name on the disk;
  // false when it cannot be made.
  bool Begin(const std::string& target) {
    if (!OpenTarget(target)) return false;
    began_ = true;
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

  enum class Found { NotOurs, Running, Unusable, Journal };
  // An existing entry `name` of `target`, left by a run that ended:
  // Journal when it holds one journal with a sound plan; Running when an
  // unpacking still holds one of its journals; NotOurs when it is no
  // folder (a link, a file); Unusable otherwise (no journal, one cut
  // short, of another version, not a file), `Problem` telling why.
  Found Adopt(const std::string& target, const std::string& name) {
    if (!OpenTarget(target)) return Found::Running;
    name_ = name;
    stagingFd_ = OpenDirAt(targetFd_.get(), name_);
    if (!stagingFd_.ok()) return Found::NotOurs;
    int journals = 0;
    for (const char* journal : kJournalNames) {
      Fd fd(::openat(stagingFd_.get(), journal, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
      if (!fd.ok() && errno == ENOENT) continue;
      ++journals;
      journalName_ = journal;
      journalFd_ = std::move(fd);
      if (!Lock()) {
        if (journalFd_.ok() && (errno == EAGAIN || errno == EACCES)) return Found::Running;
        problem_ = "jego dziennik " + Path() + journal + " nie jest plikiem tego programu";
      }
    }
    if (!problem_.empty()) return Found::Unusable;
    if (journals != 1) {
      problem_ = journals == 0 ? "brak jego dziennika" : "jego folder ma więcej niż jeden dziennik";
      return Found::Unusable;
    }
    const std::vector<uint8_t> bytes = ReadJournal();
    std::optional<Plan> plan = DecodeJournal(bytes);
    if (!plan) {
      problem_ = IsEarlierJournal(bytes) ? "jego dziennik zapisała wcześniejsza wersja programu"
                                         : "jego dziennika nie można odczytać";
      return Found::Unusable;
    }
    plan_ = std::move(*plan);
    if (!(keptFd_ = OpenDirAt(stagingFd_.get(), kKeptDir)).ok()) {
      problem_ = Path() + kKeptDir + " nie jest katalogiem tego programu";
      return Found::Unusable;
    }
    seenAt_.assign(plan_.steps.size() * 3, 0);
    maybe_.assign(plan_.steps.size(), 0xFF);
    return Found::Journal;
  }

  // The folder's path (ending in "/") for messages and the test seam.
  std::string Path() const { return target_ + name_ + "/"; }
  std::string FreshDir() const { return Path() + kFreshDir + "/"; }
  const std::string& Problem() const { return problem_; }

  // Whether the folder holds nothing a user may miss: its journals, the
  // archive's files below "nowe", and an empty "stare" (an unpacking that
  // never committed its plan leaves no more).
  bool HoldsNothingOfTheUsers() const {
    for (const std::string& n : Entries(stagingFd_.get())) {
      struct stat st {};
      if (::fstatat(stagingFd_.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
      const bool journal = std::any_of(std::begin(kJournalNames), std::end(kJournalNames),
                                       [&](const char* j) { return n == j; });
      if (journal ? !S_ISREG(st.st_mode) : (n != kFreshDir && n != kKeptDir) || !S_ISDIR(st.st_mode)) return false;
    }
    const Fd kept = OpenDirAt(stagingFd_.get(), kKeptDir);
    return !kept.ok() ? errno == ENOENT : Entries(kept.get()).empty();
  }
  void RemoveAll() {
    Release();
    RemoveTree(targetFd_.get(), name_);
  }

  // Moves the folder, as it is, out of the way under a name no unpacking
  // looks for; its new path, or "" when it could not be moved.
  std::string MoveAside() {
    const std::string base = name_.substr(1) + kAsideSuffix;
    for (int n = 1; n < 100; ++n) {
      const std::string aside = n == 1 ? base : base + "_" + std::to_string(n);
      const int rc = RenameNoReplace(targetFd_.get(), name_, targetFd_.get(), aside, Path());
      if (rc == plat::kOk) {
        SyncDir(targetFd_.get(), target_);
        return aside_ = target_ + aside + "/";
      }
      if (rc != plat::kErrAlreadyExists) break;
    }
    return {};
  }

  // Records every file of `plan` as it stands, each read once: what the
  // steps replace and the extracted files. "" or, for the user, why the
  // plan cannot be carried out (a file that cannot be read, or is no
  // regular file), naming the file.
  std::string Prepare(Plan plan) {
    plan_ = std::move(plan);
    seenAt_.assign(plan_.steps.size() * 3, 0);
    maybe_.assign(plan_.steps.size(), 0);
    for (size_t i = 0; i < plan_.steps.size(); ++i) {
      Move& m = plan_.steps[i];
      Tell(0);
      if (m.kind == Move::kDirectory) continue;
      Where t = TargetOf(m.to);
      const Look old = LookAt(t, i, kTarget);
      if (old.error) return "Nie można odczytać pliku " + Why(target_ + m.to, old.error) + ".";
      if (old.notFile) return "Nie można zapisać pliku " + target_ + m.to + ": " + old.notFile + ".";
      m.old = old.v;
      if (m.kind != Move::kFile) continue;
      Where f = FreshOf(m);
      const Look fresh = LookAt(f, i, kFresh);
      if (fresh.error || fresh.v.state != Version::kRegular)
        return "Nie można odczytać pliku " + Why(Path() + m.from, fresh.error ? fresh.error : plat::kErrFileNotFound) +
               ".";
      m.fresh = fresh.v;
      m.freshIno = uint64_t(fresh.id.ino);
    }
    return {};
  }
  const Plan& GetPlan() const { return plan_; }

  // Another program holding a file of the plan, or a guarded program that
  // runs: why the files must not move now, or "".
  std::string Blocked() const {
    if (const std::string running = FirstRunning(plan_.guard); !running.empty()) return "działa program " + running;
    for (size_t i = 0; i < plan_.steps.size(); ++i)
      if (const Move& m = plan_.steps[i]; m.kind != Move::kDirectory && Maybe(i, kTarget)) {
        const Where t = TargetOf(m.to);
        if (const int rc = HeldByAnother(t.Dir(), t.leaf)) return Why(target_ + m.to, rc);
      }
    return {};
  }

  // Runs `work`, a long blocking call, on a thread of its own while this
  // one goes on telling the progress, so that the caller's windows stay
  // painted; its result.
  int WhileTelling(const std::function<int()>& work) {
    if (!progress_) return work();
    std::future<int> done = std::async(std::launch::async, work);
    while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) Tell(told_);
    return done.get();
  }

  // The plan as its journal holds it.
  std::vector<uint8_t> Journal() const { return EncodeJournal(plan_); }
  // Writes and syncs the plan's journal `bytes`, and the folder's names up
  // to the target: from here on the unpacking is settled however it ends,
  // by this run or by the next start. "" or why not.
  std::string Commit(const std::vector<uint8_t>& bytes) {
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

  // This run's committed plan carried out: every step checked against the
  // files as recorded (their identities, not read again) before the first
  // move; when anything fails, what moved is taken back. Either way the
  // folder is settled unless taking back failed too, which leaves it for
  // the next start.
  Outcome Run() {
    Check();
    Outcome out;
    for (size_t i = 0; i < plan_.steps.size() && out.kind == Outcome::kDone; ++i)
      if (state_[i] != State::kNotStarted) out = Changed(plan_.steps[i].to);
    if (out.kind == Outcome::kDone) out = Forward();
    if (out.kind == Outcome::kDone) {
      Finish(true);
    } else if (Undo() == plat::kOk && Back().kind != Outcome::kError) {
      Finish(false);
    }
    return out;
  }

  // Settles the plan of a run that ended midway (Adopt gave Journal), and
  // tells the user how. The moves are finished when some were made and
  // every file is a recorded version, or changed only after its new
  // version was put in place (that file stays as it is); otherwise every
  // step whose files are recorded versions is taken back, and a plan none
  // of whose steps ran is dropped. A held file, a guarded program running
  // or an error leave the folder for a later start (`settled` false).
  std::string Settle(bool& settled) {
    const std::string where = "Przerwane odtwarzanie plików w katalogu " + target_;
    const auto later = [&](const std::string& why) {
      settled = false;
      return where + " nie zostało dokończone: " + why;
    };
    if (journalName_ == kDoneName || journalName_ == kUndoneName) {
      if (!Clear()) return later("nie można usunąć jego folderu " + Path() + ".");
      return aside_.empty() ? "" : where + " zostało zakończone." + AsideNote();
    }
    const bool undo = journalName_ == kUndoName;
    Check();
    bool ran = false, unplaced = false;
    for (size_t i = 0; i < plan_.steps.size(); ++i) {
      ran = ran || Ran(i);
      unplaced = unplaced || state_[i] == State::kChanged;
    }
    bool back = undo || !ran || unplaced;
    if (!back || ran)
      if (const std::string blocked = Blocked(); !blocked.empty())
        return later(blocked + ".;Zostanie dokończone przy następnym uruchomieniu programu.");
    if (!back) {
      if (Outcome moved = Forward(); moved.kind != Outcome::kDone) {
        if (const int rc = Undo()) return later(Why(Path() + kPlanName, rc) + ".;Sprawdź ten folder.");
        back = true;
        if (moved.kind == Outcome::kChanged) NoteChanged(moved.step, moved.file);
        else failure_ = ";Nie można było zapisać pliku " + moved.file + ": " + moved.why + ".";
      }
    }
    if (back)
      if (const Outcome o = Back(); o.kind == Outcome::kError)
        return later(o.file + ": " + o.why + ".;Sprawdź ten plik i folder " + Path() + ".");
    if (!Finish(!back)) return later("nie można usunąć jego folderu " + Path() + ".");
    std::string text = where;
    if (!back) {
      text += " zostało dokończone." + (changedCount_ == 0 ? "" : " " + ChangedText() + ".");
    } else if (undo && changedCount_ == 0) {
      text += " zostało wycofane. Pliki są takie jak przed nim.";
    } else {
      text += " nie zostało wykonane. ";
      text += changedCount_ == 0 ? "Pliki są takie jak przed nim." : ChangedText() + ", a inne pliki są takie jak przed nim.";
      text += ";Kopię można odtworzyć ponownie.";
    }
    return text + failure_ + AsideNote();
  }

  // For the user: where the files the folder kept are, or "".
  std::string AsideNote() const {
    return aside_.empty() ? "" : ";Pliki zachowane do sprawdzenia są w folderze " + aside_ + ".";
  }

 private:
  enum Place { kTarget, kKept, kFresh };
  // What the check found a step to be: not started; its old file taken
  // out of the way only; done; done, but its file changed since; or in a
  // state it never leaves.
  enum class State : uint8_t { kNotStarted, kHalf, kDone, kChangedPlaced, kChanged };

  // A place of a step: the directory (owned, or the folder's own) and the
  // name in it; `error` is errno when the directory cannot be opened.
  struct Where {
    Fd owned;
    int dir = -1;
    std::string leaf, shown;
    int error = 0;
    int Dir() const { return owned.ok() ? owned.get() : dir; }
  };

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

  void Release() {
    journalFd_.Reset();
    keptFd_.Reset();
    stagingFd_.Reset();
  }

  std::vector<uint8_t> ReadJournal() const {
    struct stat st {};
    std::vector<uint8_t> bytes;
    if (::fstat(journalFd_.get(), &st) != 0 || size_t(st.st_size) > kJournalLimit) return bytes;
    bytes.resize(size_t(st.st_size));
    const ssize_t got = ::pread(journalFd_.get(), bytes.data(), bytes.size(), 0);
    bytes.resize(got < 0 ? 0 : size_t(got));
    return bytes;
  }

  Fd OpenTargetDir(const std::string& name) const {
    for (const auto& [link, folder] : plan_.linked)
      if (link == name) return OpenLinkedDir(targetFd_.get(), name, folder);
    return OpenDirAt(targetFd_.get(), name);
  }
  Where TargetOf(const std::string& rel) const {
    Where w;
    w.shown = target_ + rel;
    const size_t slash = rel.find('/');
    w.leaf = rel.substr(slash + 1);
    if (slash == std::string::npos) {
      w.dir = targetFd_.get();
    } else if (!(w.owned = OpenTargetDir(rel.substr(0, slash))).ok()) {
      w.error = errno;
    }
    return w;
  }
  Where KeptOf(size_t i) const {
    Where w;
    w.dir = keptFd_.get();
    w.leaf = std::to_string(i);
    w.shown = Path() + kKeptDir + "/" + w.leaf;
    return w;
  }
  Where FreshOf(const Move& m) const {
    Where w;
    w.shown = Path() + m.from;
    if (!checking_) {
      if (!(w.owned = OpenParent(stagingFd_.get(), m.from, w.leaf)).ok()) w.error = errno;
      return w;
    }
    // While Check looks (it moves nothing), each directory of the staging
    // folder is opened once.
    const size_t slash = m.from.rfind('/');
    w.leaf = m.from.substr(slash + 1);
    auto [it, added] = checkedDirs_.try_emplace(m.from.substr(0, slash));
    if (added) {
      std::string leaf;
      it->second = {OpenParent(stagingFd_.get(), m.from, leaf), errno};
    }
    w.dir = it->second.first.get();
    w.error = w.dir < 0 ? it->second.second : 0;
    return w;
  }
  Where At(Place place, size_t i) const {
    const Move& m = plan_.steps[i];
    return place == kTarget ? TargetOf(m.to) : place == kKept ? KeptOf(i) : FreshOf(m);
  }

  // The versions last hashed, per step and place, kept only for the files
  // there are (a plan may name a great many that are not).
  std::optional<Seen>& SeenAt(size_t i, Place place) {
    uint32_t& at = seenAt_[i * 3 + place];
    if (at == 0) {
      seen_.emplace_back();
      at = uint32_t(seen_.size());
    }
    return seen_[at - 1];
  }

  Look LookAt(const Where& w, size_t i, Place place) {
    Look out = LookAtPlace(w, i, place);
    if (out.v.Present()) maybe_[i] |= uint8_t(1 << place);
    else maybe_[i] &= uint8_t(~(1 << place));
    return out;
  }
  Look LookAtPlace(const Where& w, size_t i, Place place) {
    if (w.error) {
      Look out;
      // A directory still to be made holds nothing yet; one that is not
      // there as recorded (a link, a file) holds nothing of the plan's.
      if (w.error != ENOENT) {
        out.v.state = Version::kOther;
        out.notFile = "katalog nie jest tym, który był";
      }
      return out;
    }
    if (!seenAt_[i * 3 + place]) {
      // Nothing seen there yet: nothing to keep either, unless a file is.
      struct stat st {};
      if (::fstatat(w.Dir(), w.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return Look{};
    }
    return ::LookAt(w.Dir(), w.leaf, w.shown, SeenAt(i, place));
  }
  Look LookAt(Place place, size_t i) { return LookAt(At(place, i), i, place); }

  void Tell(int done) {
    if (!progress_) return;
    if (total_ < 0) total_ = int(std::count_if(plan_.steps.begin(), plan_.steps.end(),
                                               [](const Move& m) { return m.kind == Move::kFile; }));
    progress_(told_ = done, total_);
  }

  // Classifies every step by what its three places hold now.
  void Check() {
    checking_ = true;
    struct Done {
      Staging& s;
      ~Done() {
        s.checking_ = false;
        s.checkedDirs_.clear();
      }
    } done{*this};
    state_.assign(plan_.steps.size(), State::kNotStarted);
    for (size_t i = 0; i < plan_.steps.size(); ++i) {
      Tell(0);
      const Move& m = plan_.steps[i];
      const Look t = LookAt(kTarget, i);
      if (m.kind == Move::kDirectory) {
        state_[i] = !t.v.Present() ? State::kNotStarted : t.directory && !t.error ? State::kDone : State::kChanged;
        if (state_[i] == State::kChanged) NoteChanged(i, target_ + m.to);
        continue;
      }
      const Look k = LookAt(kKept, i);
      const Look f = m.kind == Move::kFile ? LookAt(kFresh, i) : Look{};
      state_[i] = Classify(m, t, k, f);
      if (state_[i] != State::kChanged && state_[i] != State::kChangedPlaced) continue;
      // The file that is not what the journal says: the one in the target,
      // unless that is a recorded version.
      if (m.kind == Move::kLeftover || t.error || !(t.v == m.old || t.v == m.fresh)) NoteChanged(i, target_ + m.to);
      else NoteChanged(i, (f.error || (f.v.Present() && !(f.v == m.fresh)) ? FreshOf(m) : KeptOf(i)).shown);
    }
  }

  static State Classify(const Move& m, const Look& t, const Look& k, const Look& f) {
    if (t.error || k.error || f.error) return State::kChanged;
    // The old file is where a started step keeps it (or there was none).
    const bool keptOld = m.old.Present() ? k.v == m.old : !k.v.Present();
    if (m.kind == Move::kLeftover) {
      // Gone without the step (the table's next open settled it): as done.
      if (!k.v.Present()) return t.v == m.old ? State::kNotStarted : t.v.Present() ? State::kChanged : State::kDone;
      if (!keptOld) return State::kChanged;
      return t.v.Present() ? State::kChangedPlaced : State::kDone;
    }
    if (f.v == m.fresh) {
      if (!k.v.Present() && t.v == m.old) return State::kNotStarted;
      if (m.old.Present() && keptOld && !t.v.Present()) return State::kHalf;
      return State::kChanged;
    }
    if (f.v.Present() || !keptOld) return State::kChanged;
    return t.v == m.fresh ? State::kDone : State::kChangedPlaced;
  }

  // Whether anything of step `i` happened, as Check found it: its old
  // file kept aside, or its extracted file gone from where it was.
  bool Ran(size_t i) const {
    const Move& m = plan_.steps[i];
    return m.kind != Move::kDirectory && state_[i] != State::kNotStarted &&
           (Maybe(i, kKept) || (m.kind == Move::kFile && !Maybe(i, kFresh)));
  }
  // Whether something may stand at a place: it did at the last look, or
  // a move put it there, or nothing looked yet.
  bool Maybe(size_t i, Place place) const { return maybe_[i] & (1 << place); }

  // Step `i` found changed at `file`; the notice names the first few.
  void NoteChanged(size_t i, const std::string& file) {
    if (noted_.empty()) noted_.assign(plan_.steps.size(), false);
    if (noted_[i]) return;
    noted_[i] = true;
    if (++changedCount_ <= kNamedChanges) changed_.push_back(file);
  }
  std::string ChangedText() const {
    std::string names;
    for (const std::string& f : changed_) names += (names.empty() ? "" : ", ") + f;
    if (changedCount_ > kNamedChanges) names += " i " + std::to_string(changedCount_ - kNamedChanges) + " innych";
    return changedCount_ == 1 ? "Plik " + names + " zmienił się od tego czasu i pozostał w obecnej postaci"
                                : "Pliki " + names + " zmieniły się od tego czasu i pozostały w obecnej postaci";
  }

  Outcome Changed(const std::string& rel, size_t step = 0) const {
    return {Outcome::kChanged, rel.starts_with('/') ? rel : target_ + rel, {}, step};
  }
  Outcome Failed(const std::string& rel, int dosError) const {
    return {Outcome::kError, rel.starts_with('/') ? rel : target_ + rel, FileErrorText(dosError)};
  }

  // Moves the file at place `from` of step `i`, which must still be the
  // one seen there (its identity), to place `to`, holding it open across
  // the rename; then confirms that `to` holds that very file. When it
  // holds another (swapped in meanwhile), that one goes back where it
  // came from and the step counts as changed.
  Outcome MoveChecked(size_t i, Place from, Place to) {
    const Where a = At(from, i), b = At(to, i);
    if (a.error || b.error) return Changed(a.error ? a.shown : b.shown);
    const std::optional<Seen>& seen = SeenAt(i, from);
    const Fd held(::openat(a.Dir(), a.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!seen || !held.ok() || ::fstat(held.get(), &st) != 0 || !(Identity::Of(st) == seen->id))
      return Changed(a.shown);
    if (const int rc = RenameNoReplace(a.Dir(), a.leaf, b.Dir(), b.leaf, a.shown))
      return rc == plat::kErrAlreadyExists ? Changed(b.shown) : Failed(b.shown, rc);
    struct stat now {};
    if (::fstatat(b.Dir(), b.leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino && ::fstat(held.get(), &st) == 0) {
      const Version v = seen->v;
      SeenAt(i, to) = Seen{Identity::Of(st), v};
      SeenAt(i, from).reset();
      maybe_[i] = uint8_t((maybe_[i] | (1 << to)) & ~(1 << from));
      return {};
    }
    if (const int rc = RenameNoReplace(b.Dir(), b.leaf, a.Dir(), a.leaf, b.shown)) return Failed(b.shown, rc);
    return Changed(a.shown);
  }

  // Makes every step not made yet, passing over those done (and those
  // whose file changed after it was put in place), the old files kept
  // aside; stops at the first that cannot be made.
  Outcome Forward() {
    int moved = 0;
    for (size_t i = 0; i < plan_.steps.size(); ++i) {
      const Move& m = plan_.steps[i];
      if (state_[i] == State::kDone || state_[i] == State::kChangedPlaced) {
        moved += m.kind == Move::kFile;
        continue;
      }
      if (state_[i] == State::kChanged) return Changed(m.to, i);
      if (m.kind == Move::kDirectory) {
        Where parent = TargetOf(m.to);
        if (::mkdirat(parent.Dir(), parent.leaf.c_str(), 0777) != 0) return Failed(m.to, Errno());
        // The new directory's name, so that the moves into it last.
        if (const int rc = SyncDir(parent.Dir(), target_)) return Failed(m.to, rc);
      } else {
        // A file found changed is named by its place in the target.
        const auto named = [&](Outcome o) { return o.kind == Outcome::kChanged ? Changed(m.to, i) : o; };
        if (state_[i] == State::kNotStarted && m.old.Present())
          if (Outcome o = MoveChecked(i, kTarget, kKept); o.kind != Outcome::kDone) return named(o);
        state_[i] = State::kHalf;
        if (m.kind == Move::kFile) {
          if (Outcome o = MoveChecked(i, kFresh, kTarget); o.kind != Outcome::kDone) return named(o);
          Tell(++moved);
        }
      }
      state_[i] = State::kDone;
    }
    return SyncAll();
  }

  // Marks the plan as one to take back, for a run that ends midway. 0 or
  // a DOS error.
  int Undo() {
    if (journalName_ == kUndoName) return plat::kOk;
    if (const int rc = RenameNoReplace(stagingFd_.get(), kPlanName, stagingFd_.get(), kUndoName, Path() + kPlanName))
      return rc;
    journalName_ = kUndoName;
    return SyncDir(stagingFd_.get(), Path());
  }

  // Takes back every step whose files are recorded versions: a new file
  // goes back into the staging folder (one the restore added only when it
  // is the very file extracted), then the old one back in place. A step
  // that cannot be taken back because its file changed stays as it is,
  // named among the changed; an error stops it. As often as it is run.
  Outcome Back() {
    for (size_t i = plan_.steps.size(); i-- > 0;) {
      const Move& m = plan_.steps[i];
      // Nothing of the step left its place, or no file of its own is
      // where it went: nothing to take back.
      if (state_[i] == State::kNotStarted ||
          (m.kind != Move::kDirectory && !Maybe(i, kKept) &&
           (m.kind != Move::kFile || Maybe(i, kFresh) || !Maybe(i, kTarget))))
        continue;
      if (m.kind == Move::kDirectory) {
        Where parent = TargetOf(m.to);
        ::unlinkat(parent.Dir(), parent.leaf.c_str(), AT_REMOVEDIR);  // only when nothing else went into it
        continue;
      }
      Look t = LookAt(kTarget, i);
      const Look k = LookAt(kKept, i);
      if (m.kind == Move::kFile && t.v == m.fresh && !t.error && !LookAt(kFresh, i).v.Present() &&
          (m.old.Present() ? k.v == m.old : uint64_t(t.id.ino) == m.freshIno)) {
        const Outcome o = MoveChecked(i, kTarget, kFresh);
        if (o.kind == Outcome::kError) return o;
        if (o.kind == Outcome::kDone) t = Look{};
      }
      if (!t.v.Present() && !t.error && m.old.Present() && k.v == m.old) {
        const Outcome o = MoveChecked(i, kKept, kTarget);
        if (o.kind == Outcome::kError) return o;
        if (o.kind == Outcome::kDone) t = LookAt(kTarget, i);
      }
      if (!(t.v == m.old) || LookAt(kKept, i).v.Present()) NoteChanged(i, target_ + m.to);
      state_[i] = State::kNotStarted;
    }
    return SyncAll();
  }

  // Syncs each directory the plan changed (one taken back with its files
  // is gone), and the staging folder's kept files. kDone or why not.
  Outcome SyncAll() {
    if (const int rc = SyncDir(keptFd_.get(), Path() + kKeptDir)) return Failed(Path() + kKeptDir, rc);
    std::unordered_set<std::string> done;
    for (const Move& m : plan_.steps) {
      const size_t slash = m.to.rfind('/');
      const std::string dirName = slash == std::string::npos ? "" : m.to.substr(0, slash);
      if (!done.insert(dirName).second) continue;
      const Fd dir = dirName.empty() ? Fd(::fcntl(targetFd_.get(), F_DUPFD_CLOEXEC, 0)) : OpenTargetDir(dirName);
      if (!dir.ok()) continue;
      if (const int rc = SyncDir(dir.get(), target_ + dirName)) return Failed(dirName, rc);
    }
    return {};
  }

  // Erases the file at place `place` of step `i` when it is the version
  // recorded there, and one that a clearing stopped midway left under the
  // erasing name when that is.
  void EraseRecorded(size_t i, Place place, const Version& recorded) {
    const Where w = At(place, i);
    if (w.error) return;
    const std::string erasing = w.leaf + kErasingSuffix;
    std::optional<Seen> unseen;
    if (const Look left = ::LookAt(w.Dir(), erasing, w.shown + kErasingSuffix, unseen); !left.error && left.v == recorded)
      EraseHeld(w.Dir(), erasing, erasing, left.id, w.shown);
    if (const Look now = LookAt(w, i, place); !now.error && now.v.Present() && now.v == recorded)
      EraseHeld(w.Dir(), w.leaf, erasing, now.id, w.shown);
  }

  // Erases `name` in `dir` when it holds the file of identity `id`, and
  // only that file: held open, it first goes under the name `erasing` and
  // is erased there once that name is found to hold it; a file swapped in
  // under `name` meanwhile goes back and stays. `shown` names it to the
  // test seam.
  static void EraseHeld(int dir, const std::string& name, const std::string& erasing, const Identity& id,
                        const std::string& shown) {
    const Fd held(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!held.ok() || ::fstat(held.get(), &st) != 0 || !(Identity::Of(st) == id)) return;
    if (plat::FileFault(plat::FileOp::Erase, shown) != plat::kOk) return;
    if (name != erasing && RenameNoReplace(dir, name, dir, erasing, shown) != plat::kOk) return;
    struct stat there {};
    if (::fstatat(dir, erasing.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && there.st_dev == st.st_dev &&
        there.st_ino == st.st_ino) {
      ::unlinkat(dir, erasing.c_str(), 0);
    } else if (name != erasing) {
      RenameNoReplace(dir, erasing, dir, name, shown);
    }
  }

  // Marks the folder as one to clear, old files included after the moves
  // were made, and clears it.
  bool Finish(bool forward) {
    const char* clearing = forward ? kDoneName : kUndoneName;
    if (RenameNoReplace(stagingFd_.get(), journalName_, stagingFd_.get(), clearing, Path() + journalName_) != plat::kOk ||
        SyncDir(stagingFd_.get(), Path()) != plat::kOk)
      return false;
    journalName_ = clearing;
    return Clear();
  }

  // Erases the versions the folder recorded and no longer needs: the
  // extracted copies, and the old files once the moves were made. What
  // else it holds (an old file not put back, a file not its own) keeps
  // the folder, which then goes out of the way, and AsideNote() says where;
  // else it goes, the journal last. False when it could do neither.
  bool Clear() {
    const bool dropOld = journalName_ == kDoneName;
    for (size_t i = 0; i < plan_.steps.size(); ++i) {
      const Move& m = plan_.steps[i];
      if (m.kind == Move::kDirectory) continue;
      Tell(told_);
      if (dropOld && Maybe(i, kKept)) EraseRecorded(i, kKept, m.old);
      if (m.kind == Move::kFile && Maybe(i, kFresh)) EraseRecorded(i, kFresh, m.fresh);
    }
    const bool freshGone = RemoveEmptyDirs(stagingFd_.get(), kFreshDir);
    const bool keptGone = RemoveEmptyDirs(stagingFd_.get(), kKeptDir);
    if (freshGone && keptGone && Entries(stagingFd_.get()).size() == 1) {
      if (plat::FileFault(plat::FileOp::Erase, Path() + journalName_) != plat::kOk ||
          ::unlinkat(stagingFd_.get(), journalName_.c_str(), 0) != 0)
        return false;
      Release();
      return ::unlinkat(targetFd_.get(), name_.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
    }
    if (MoveAside().empty()) return false;
    ::unlinkat(stagingFd_.get(), journalName_.c_str(), 0);
    Release();
    return true;
  }

  std::string target_, name_, journalName_, problem_, aside_, failure_;
  Fd targetFd_, stagingFd_, keptFd_, journalFd_;
  Plan plan_;
  std::vector<State> state_;
  bool checking_ = false;
  mutable std::unordered_map<std::string, std::pair<Fd, int>> checkedDirs_;  // while checking: dir -> (fd, errno)
  std::vector<uint8_t> maybe_;  // per step: a bit per place where a file may stand
  std::vector<uint32_t> seenAt_;  // per step and place: 1 + the index in seen_, or 0
  std::deque<std::optional<Seen>> seen_;
  static constexpr size_t kNamedChanges = 5;
  std::vector<bool> noted_;           // per step: found changed
  size_t changedCount_ = 0;
  std::vector<std::string> changed_;  // the first of the files found changed, for the user
  TUnpackProgress progress_;
  int total_ = -1, told_ = 0;
  bool began_ = false, committed_ = false;
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
// has not, which can take a while (run it through WhileTelling).
int SyncStaged(const std::string& staging, const std::vector<std::string>& freshDirs, const std::vector<Move>& steps) {
  constexpr size_t kFewFiles = 64;
  if (steps.size() > kFewFiles) return plat::SyncFileSystemOf(staging);
  for (const Move& f : steps) {
    if (f.kind != Move::kFile) continue;
    plat::File staged;
    int rc = staged.Open(staging + f.from, plat::kAccessRead);
    if (rc == plat::kOk) rc = staged.Flush();
    if (rc != plat::kOk) return rc;
  }
  for (const std::string& dir : freshDirs)
    if (const int rc = plat::SyncDirectoryOf(dir)) return rc;
  return plat::kOk;
}

// Makes `dir` (ending in "/") with every directory missing above it, each
// new name synced into its parent, so that what goes in lasts.
void MakeDirectories(const std::string& dir) {
  std::vector<std::string> missing;
  for (std::string d = dir.substr(0, dir.size() - 1); !d.empty() && !plat::IsDirectory(d);) {
    missing.push_back(d);
    const size_t slash = d.find_last_of('/');
    if (slash == std::string::npos) break;
    d.resize(slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if ((::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) || plat::SyncDirectoryOf(*it) != plat::kOk) return;
}

}  // namespace

TRecovery RecoverInterruptedUnpacks(const std::string& dir) {
  TRecovery out;
  const std::string target = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(dir)));
  std::vector<plat::FindData> found;
  const std::string mask = std::string(kStagingPrefix) + std::string(kStagingUnique, '?');
  if (plat::FindFiles(target + mask, plat::kAttrDirectory, found) != plat::kOk) return out;
  for (const plat::FindData& f : found) {
    if (!f.name.starts_with(kStagingPrefix)) continue;
    Staging left;
    switch (left.Adopt(target, f.name)) {
      case Staging::Found::NotOurs:
        continue;
      case Staging::Found::Running:
        out.Settled = false;
        continue;
      case Staging::Found::Unusable:
        // Killed before its plan was committed: nothing in the target moved.
        if (left.HoldsNothingOfTheUsers()) {
          left.RemoveAll();
        } else {
          const std::string aside = left.MoveAside();
          out.Notices.push_back("Przerwane odtwarzanie plików w katalogu " + target +
                                " nie zostało dokończone: " + left.Problem() + ".;" +
                                (aside.empty() ? "Sprawdź pliki katalogu i folder " + left.Path() + "."
                                               : "Sprawdź pliki katalogu i folder " + aside + ", w którym pozostało."));
        }
        continue;
      case Staging::Found::Journal:
        break;
    }
    if (std::string notice = left.Settle(out.Settled); !notice.empty()) out.Notices.push_back(std::move(notice));
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
                                  const std::vector<std::string>& keepDirs, const TUnpackFollowUp& followUp,
                                  const TUnpackProgress& progress) {
  TRestoreResult result;
  const std::string target = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(targetDir)));
  if (!plat::IsDirectory(target)) MakeDirectories(target);
  if (!plat::IsDirectory(target)) {
    result.Error = "Nie można utworzyć katalogu " + target + ".";
    return result;
  }
  // This unpacking starts from the files of an earlier one that ended
  // midway all old or all new, and leaves no second staging folder; one
  // that cannot be settled now stops it before anything changes.
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
  staging.SetProgress(progress);
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

  // A path's name below a directory, without a trailing "/".
  const auto below = [](const std::string& path, const std::string& dir) {
    std::string name = path.substr(dir.size());
    if (name.ends_with('/')) name.pop_back();
    return name;
  };
  Plan plan;
  plan.guard = followUp.Guard;
  plan.eraseIndexes = followUp.EraseIndexFiles;
  // Where every extracted file goes, known before anything moves. A kept
  // directory that is a link the user made receives its files through the
  // link, as long as it names the folder it names now.
  std::vector<Batch> batches;
  plat::DirNameIndex targetNames(target);
  batches.push_back({fresh, target, false});
  for (const std::string& keep : keepDirs) {
    const std::string freshSub = fresh + keep + "/";
    if (!plat::IsDirectory(freshSub)) continue;
    const std::string sub = targetNames.Resolve(keep);
    struct stat st {};
    const bool exists = ::lstat(sub.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode) && plat::IsDirectory(sub)) {
      char* folder = ::realpath(sub.c_str(), nullptr);
      struct stat there {}, ours {};
      const bool sameDisk = folder && ::stat(folder, &there) == 0 && ::stat(fresh.c_str(), &ours) == 0 &&
                            there.st_dev == ours.st_dev;
      if (folder) plan.linked.emplace_back(below(sub, target), folder);
      ::free(folder);
      if (!sameDisk)
        return fail("Nie można zapisać plików w katalogu " + sub + ": leży on na innym dysku niż katalog " + target +
                    ".");
    } else if (exists && !S_ISDIR(st.st_mode)) {
      return fail("Nie można utworzyć katalogu " + sub + ": istnieje plik o tej nazwie.");
    }
    batches.push_back({freshSub, WithSlash(sub), !exists});
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
  // The plan: the directories to make, the pack leftovers and index files
  // out of the way, then the files.
  std::vector<Move> files;
  std::unordered_set<std::string> fileTargets;
  std::vector<std::string> leftovers;
  std::unordered_set<std::string> leftoverSet;
  for (const Batch& b : batches) {
    if (b.makeTarget) plan.steps.push_back({Move::kDirectory, {}, {}, 0, below(b.target, target), {}});
    std::optional<plat::DirNameIndex> names;
    // The pack leftovers standing in the directory, by folded name.
    std::unordered_map<std::u32string, std::vector<std::string>> packLeftovers;
    if (!b.makeTarget) {
      names.emplace(b.target);
      for (const std::string& name : RegularFiles(b.target))
        if (IsPackLeftover(name)) packLeftovers[plat::FoldedKey(name)].push_back(name);
    }
    for (const std::string& name : RegularFiles(b.fresh)) {
      const std::string to = below(names ? names->Resolve(name) : b.target + name, target);
      // Index files go with the restored tables' old ones.
      if (followUp.EraseIndexFiles && b.target == target && IsIndexFile(name)) {
        ::unlink((b.fresh + name).c_str());
        continue;
      }
      files.push_back({Move::kFile, {}, {}, 0, to, below(b.fresh + name, staging.Path())});
      fileTargets.insert(to);
      for (const std::u32string& key : PackLeftoverKeys(name))
        if (auto it = packLeftovers.find(key); it != packLeftovers.end())
          for (const std::string& leftover : it->second)
            if (const std::string rel = below(b.target + leftover, target); leftoverSet.insert(rel).second)
              leftovers.push_back(rel);
    }
  }
  if (followUp.EraseIndexFiles)
    for (const std::string& name : RegularFiles(target))
      if (IsIndexFile(name) && leftoverSet.insert(name).second) leftovers.push_back(name);
  for (const std::string& name : leftovers)
    // One the archive itself brings is restored, not moved away.
    if (!fileTargets.count(name)) plan.steps.push_back({Move::kLeftover, {}, {}, 0, name, {}});
  plan.steps.insert(plan.steps.end(), files.begin(), files.end());
  if (std::string why = staging.Prepare(std::move(plan)); !why.empty()) return fail(why);
  if (!PlanIsSound(staging.GetPlan()))
    return fail("Archiwum zawiera pliki, których nie można odtworzyć w katalogu " + target + ".");
  if (const std::string held = staging.Blocked(); !held.empty()) return fail("Nie można zapisać pliku " + held + ".");

  // Every file in place, or none, also when this run ends midway: the new
  // files are on the disk before the plan is, and the plan before any of
  // them moves.
  std::vector<std::string> freshDirs;
  for (const Batch& b : batches) freshDirs.push_back(b.fresh);
  if (const int rc = staging.WhileTelling([&] { return SyncStaged(staging.Path(), freshDirs, staging.GetPlan().steps); }))
    return fail("Nie można zapisać plików w " + target + ": " + FileErrorText(rc) + ".");
  const std::vector<uint8_t> journal = staging.Journal();
  if (journal.size() > kJournalLimit) return fail("Archiwum zawiera zbyt wiele plików, by odtworzyć je w całości.");
  if (std::string why = staging.Commit(journal); !why.empty()) return fail("Nie można zapisać pliku " + why + ".");
  if (const Outcome moved = staging.Run(); moved.kind != Outcome::kDone) {
    if (moved.kind == Outcome::kChanged)
      return fail("Plik " + moved.file + " zmienił się w czasie odtwarzania. Pliki nie zostały zmienione." +
                  staging.AsideNote());
    return fail("Nie można zapisać pliku " + moved.file + ": " + moved.why + "." + staging.AsideNote());
  }
  result.Ok = true;
  result.Files = extracted;
  return result;
}

TRestoreResult RestoreArchive(TZipMaster19& zip, const std::string& targetDir, const TUnpackFollowUp& followUp,
                              const TUnpackProgress& progress) {
  return UnpackAllOrNothing(zip, targetDir, {kDocumentsDirName}, followUp, progress);
}
