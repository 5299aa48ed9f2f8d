// File-system services: case-insensitive name resolution, directory
// listings with Windows wildcards, temporary names, free space, file dates.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plat {

// Windows file attributes as the find routines report them.
enum FileAttr : uint8_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSysFile = 0x04,
  kAttrVolumeId = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrAnyFile = 0x3F,
};

// Both "\" and "/" separate path components; returns the path with "/".
std::string NormalizeSeparators(const std::string& path);

// Resolves a path the way Windows finds a file: each component is taken as
// written when it exists, else the case-insensitive match in its directory
// (when several match: the first in byte order). Components that do not
// exist stay as written, so the result also names a file to be created.
std::string ResolvePath(const std::string& path);

// Windows wildcard match, case-insensitive: "*" and "?", "*.*" matches every
// name, and "name.*" also matches "name" without an extension.
bool WildcardMatch(const std::string& mask, const std::string& name);
bool HasWildcards(const std::string& s);

// Case-insensitive comparison of file names (ASCII and Latin letters of
// UTF-8 names).
bool SameNameIgnoreCase(const std::string& a, const std::string& b);
// The name with its letters folded: two names SameNameIgnoreCase takes for
// one have the same key, so that many names can be matched through a hash.
std::u32string FoldedKey(const std::string& name);

// ResolvePath for many names in one directory (an extraction of thousands
// of files): a name that exists as written is taken at once; otherwise the
// directory's listing, read once, gives the case-insensitive match (the
// first in byte order). Entries the caller creates later are told with Add.
class DirNameIndex {
 public:
  // REQUIRES: `dir` is an existing directory ending in "/".
  explicit DirNameIndex(std::string dir) : dir_(std::move(dir)) {}
  // dir + the existing entry's name, or dir + `name` when there is none.
  std::string Resolve(const std::string& name);
  void Add(const std::string& name);

 private:
  std::string dir_;
  bool listed_ = false;
  std::unordered_map<std::u32string, std::string> names_;
};

struct FindData {
  std::string name;  // the entry's name, without directory
  int64_t size = 0;
  std::time_t mtime = 0;
  uint8_t attr = 0;
};

// Lists the entries of the directory part of `pathMask` whose names match
// its last component. Regular files always qualify (attribute kAttrArchive,
// plus kAttrReadOnly when not writable); directories only when `attrMask`
// has kAttrDirectory; "." and ".." never. Sorted by name in byte order.
// Returns 0, kErrNoMoreFiles when nothing matched, or kErrPathNotFound.
int FindFiles(const std::string& pathMask, uint8_t attrMask, std::vector<FindData>& out);

bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
// Whether something exists under exactly this name (no case-insensitive
// search): for names this program itself made.
bool ExistsAsNamed(const std::string& path);
int EraseFile(const std::string& path);
int RenameFile(const std::string& from, const std::string& to);
// Puts `from` in the place of the existing file `to` in one step, so that
// a reader finds either the old or the new file, never none, and syncs the
// directory so that the change survives a crash. 0 or a DOS error (the old
// file is then untouched).
int ReplaceFile(const std::string& from, const std::string& to);
// Syncs the directory holding `path`, so that the names made, renamed or
// erased in it so far survive a crash. 0 or a DOS error.
int SyncDirectoryOf(const std::string& path);
// Renames exactly as named, with no case-insensitive look-up, replacing a
// file already named `to` in one step: for names this program made or has
// found itself. 0 or a DOS error.
int RenameAsNamed(const std::string& from, const std::string& to);
// Syncs everything written to the file system holding `path`, files and
// names alike: one call for many new files. 0 or a DOS error.
int SyncFileSystemOf(const std::string& path);
int MakeDirectory(const std::string& path);
int RemoveDirectory(const std::string& path);

// Erases exactly this name (no case-insensitive look-up): for names this
// program made or has found itself. 0 or a DOS error.
int EraseAsNamed(const std::string& path);

// An open descriptor, closed with the object.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Gives the descriptor up to the caller, who then closes it.
  int release() { return std::exchange(fd_, -1); }
  void Reset();

 private:
  int fd_;
};

// Whether `path`, exactly as written and not through a link, names the
// file open as `fd`.
bool FdIsNamed(int fd, const std::string& path);

// The temporary directory ($TMPDIR or /tmp), with a trailing "/".
std::string TempDirectory();
// `dir` + `prefix` + four random upper-case hexadecimal digits + ".TMP":
// a name for a new temporary file. REQUIRES: `dir` is empty or ends in "/".
std::string UniqueFileCandidate(const std::string& dir, const std::string& prefix);
// Whether `name` (without directory) is one UniqueFileCandidate gives for
// `prefix`, in exactly that letter case.
bool IsUniqueFileName(const std::string& name, const std::string& prefix);
// Creates a new empty file "<prefix>XXXX.TMP" in `dir` that did not exist
// before; returns 0 and its full name, or a DOS error.
int CreateUniqueFile(const std::string& dir, const std::string& prefix, std::string& name);

// A temporary file, removed when this goes out of scope unless Release()
// says it was put in place.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

// A new directory named `prefix` followed by six unique characters,
// removed with everything in it when this goes out of scope. Path() ends in
// "/", or is empty when the directory could not be made.
class StagingDirectory {
 public:
  explicit StagingDirectory(const std::string& prefix);
  ~StagingDirectory();
  StagingDirectory(const StagingDirectory&) = delete;
  StagingDirectory& operator=(const StagingDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Free bytes available to the caller on the file system holding `path`.
bool DiskFreeBytes(const std::string& path, uint64_t& bytes);

// Local broken-down time of a file's modification time.
struct DateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
int GetFileModTime(const std::string& path, std::time_t& mtime);
int SetFileModTime(const std::string& path, std::time_t mtime);
DateTimeParts LocalParts(std::time_t t);
// The DOS packed date-time (date in the high word) of a local time.
uint32_t PackDosDateTime(std::time_t t);
DateTimeParts UnpackDosDateTime(uint32_t packed);

// The current working directory with a trailing "/".
std::string CurrentDirectory();

}  // namespace plat
