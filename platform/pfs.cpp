#include "platform/pfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/pfile.h"

namespace plat {

namespace {

// Decodes one UTF-8 character (malformed bytes stand for themselves).
uint32_t NextChar(const std::string& s, size_t& i) {
  uint8_t c = uint8_t(s[i]);
  int n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (n <= 0 || i + size_t(n) >= s.size()) {
    ++i;
    return c;
  }
  uint32_t cp = c & (0x3F >> n);
  for (int k = 1; k <= n; ++k) {
    uint8_t cc = uint8_t(s[i + size_t(k)]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return c;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  i += size_t(n) + 1;
  return cp;
}

// Simple case folding: ASCII, Latin-1 and Latin Extended-A (the Polish,
// Czech and other Central European letters), Cyrillic and Greek basics.
uint32_t Fold(uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  if (c >= 0x100 && c <= 0x17F) {
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
    if (c == 0x178) return 0xFF;
    return (c & 1) ? c : c + 1;
  }
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x391 && c <= 0x3A9) return c + 32;
  return c;
}

std::vector<uint32_t> FoldedChars(const std::string& s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size();) out.push_back(Fold(NextChar(s, i)));
  return out;
}

bool MatchFrom(const std::vector<uint32_t>& m, size_t mi, const std::vector<uint32_t>& n, size_t ni) {
  while (mi < m.size()) {
    if (m[mi] == '*') {
      while (mi < m.size() && m[mi] == '*') ++mi;
      if (mi == m.size()) return true;
      for (size_t k = ni; k <= n.size(); ++k)
        if (MatchFrom(m, mi, n, k)) return true;
      return false;
    }
    if (ni == n.size()) return false;
    if (m[mi] != '?' && m[mi] != n[ni]) return false;
    ++mi;
    ++ni;
  }
  return ni == n.size();
}

std::string JoinDir(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

std::string NormalizeSeparators(const std::string& path) {
  std::string s = path;
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

bool SameNameIgnoreCase(const std::string& a, const std::string& b) { return FoldedChars(a) == FoldedChars(b); }

std::u32string FoldedKey(const std::string& name) {
  std::u32string key;
  for (size_t i = 0; i < name.size();) key.push_back(char32_t(Fold(NextChar(name, i))));
  return key;
}

std::string DirNameIndex::Resolve(const std::string& name) {
  const std::string asWritten = dir_ + name;
  struct stat st {};
  if (lstat(asWritten.c_str(), &st) == 0) return asWritten;
  if (!listed_) {
    listed_ = true;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") Add(n);
      }
      closedir(d);
    }
  }
  auto it = names_.find(FoldedKey(name));
  return it == names_.end() ? asWritten : dir_ + it->second;
}

void DirNameIndex::Add(const std::string& name) {
  auto [it, inserted] = names_.emplace(FoldedKey(name), name);
  if (!inserted && name < it->second) it->second = name;
}

bool HasWildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

bool WildcardMatch(const std::string& mask, const std::string& name) {
  if (mask == "*.*" || mask == "*") return true;
  auto m = FoldedChars(mask);
  auto n = FoldedChars(name);
  if (MatchFrom(m, 0, n, 0)) return true;
  // "name.*" also matches "name" (no extension), as on Windows.
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 && name.find('.') == std::string::npos) {
    auto m2 = FoldedChars(mask.substr(0, mask.size() - 2));
    return MatchFrom(m2, 0, n, 0);
  }
  return false;
}

std::string ResolvePath(const std::string& path) {
  std::string p = NormalizeSeparators(path);
  if (p.empty()) return p;
  struct stat st {};
  if (lstat(p.c_str(), &st) == 0) return p;
  std::string out;
  size_t i = 0;
  if (p[0] == '/') {
    out = "/";
    i = 1;
  }
  bool exists = true;  // whether `out` so far names an existing directory
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string comp = p.substr(i, j - i);
    bool last = j == p.size();
    if (!comp.empty()) {
      std::string cand = out + comp;
      if (exists && comp != "." && comp != ".." && lstat(cand.c_str(), &st) != 0) {
        std::string dir = out.empty() ? "." : out;
        std::string found;
        if (DIR* d = opendir(dir.c_str())) {
          while (dirent* e = readdir(d)) {
            std::string nm = e->d_name;
            if (nm == "." || nm == "..") continue;
            if (SameNameIgnoreCase(nm, comp) && (found.empty() || nm < found)) found = nm;
          }
          closedir(d);
        }
        if (!found.empty()) {
          cand = out + found;
        } else {
          exists = false;
        }
      }
      out = cand;
      if (!last) out += "/";
    } else if (!last && !out.empty() && out.back() != '/') {
      out += "/";
    }
    if (last) break;
    i = j + 1;
  }
  return out;
}

int FindFiles(const std::string& pathMask, uint8_t attrMask, std::vector<FindData>& out) {
  out.clear();
  std::string p = NormalizeSeparators(pathMask);
  auto slash = p.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? p : p.substr(slash + 1);
  std::string rdir = dir.empty() ? "." : ResolvePath(dir);
  DIR* d = opendir(rdir.c_str());
  if (!d) return errno == ENOENT || errno == ENOTDIR ? kErrPathNotFound : DosErrorFromErrno(errno);
  while (dirent* e = readdir(d)) {
    std::string nm = e->d_name;
    if (nm == "." || nm == "..") continue;
    if (!WildcardMatch(mask, nm)) continue;
    struct stat st {};
    if (stat(JoinDir(rdir, nm).c_str(), &st) != 0) continue;
    FindData fd;
    fd.name = nm;
    fd.size = st.st_size;
    fd.mtime = st.st_mtime;
    if (S_ISDIR(st.st_mode)) {
      if (!(attrMask & kAttrDirectory)) continue;
      fd.attr = kAttrDirectory;
    } else if (S_ISREG(st.st_mode)) {
      fd.attr = kAttrArchive;
    } else {
      continue;
    }
    if (nm[0] == '.') fd.attr |= kAttrHidden;
    if (access(JoinDir(rdir, nm).c_str(), W_OK) != 0) fd.attr |= kAttrReadOnly;
    out.push_back(std::move(fd));
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const FindData& a, const FindData& b) { return a.name < b.name; });
  return out.empty() ? kErrNoMoreFiles : kOk;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(ResolvePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(ResolvePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ExistsAsNamed(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

int EraseFile(const std::string& path) {
  std::string p = ResolvePath(path);
  if (int f = FileFault(FileOp::Erase, p)) return f;
  struct stat st {};
  if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return kErrAccessDenied;
  if (::unlink(p.c_str()) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

int EraseAsNamed(const std::string& path) {
  if (int f = FileFault(FileOp::Erase, path)) return f;
  if (::unlink(path.c_str()) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

void Fd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FdIsNamed(int fd, const std::string& path) {
  struct stat held {}, named {};
  return fd >= 0 && ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

int RenameFile(const std::string& from, const std::string& to) {
  std::string f = ResolvePath(from), t = ResolvePath(to);
  struct stat st {};
  if (lstat(t.c_str(), &st) == 0) return kErrAlreadyExists;  // Windows rename never replaces
  if (int fault = FileFault(FileOp::Rename, f)) return fault;
  if (::rename(f.c_str(), t.c_str()) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

int ReplaceFile(const std::string& from, const std::string& to) {
  std::string f = ResolvePath(from), t = ResolvePath(to);
  if (int fault = FileFault(FileOp::Rename, f)) return fault;
  if (::rename(f.c_str(), t.c_str()) != 0) return DosErrorFromErrno(errno);
  SyncDirectoryOf(t);
  return kOk;
}

int SyncDirectoryOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
  if (int fault = FileFault(FileOp::Flush, dir)) return fault;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return DosErrorFromErrno(errno);
  int rc = ::fsync(fd) == 0 || errno == EINVAL ? kOk : DosErrorFromErrno(errno);
  ::close(fd);
  return rc;
}

int RenameAsNamed(const std::string& from, const std::string& to) {
  if (int fault = FileFault(FileOp::Rename, from)) return fault;
  if (::rename(from.c_str(), to.c_str()) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

int SyncFileSystemOf(const std::string& path) {
  if (int fault = FileFault(FileOp::Flush, path)) return fault;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return DosErrorFromErrno(errno);
  int rc = ::syncfs(fd) == 0 ? kOk : DosErrorFromErrno(errno);
  ::close(fd);
  return rc;
}

int MakeDirectory(const std::string& path) {
  if (::mkdir(ResolvePath(path).c_str(), 0777) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

int RemoveDirectory(const std::string& path) {
  if (::rmdir(ResolvePath(path).c_str()) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

std::string TempDirectory() {
  const char* t = std::getenv("TMPDIR");
  std::string d = (t && *t) ? t : "/tmp";
  if (d.back() != '/') d += '/';
  return d;
}

std::string UniqueFileCandidate(const std::string& dir, const std::string& prefix) {
  thread_local std::mt19937 rng{std::random_device{}()};
  static const char hex[] = "0123456789ABCDEF";
  const uint32_t v = rng() & 0xFFFF;
  std::string cand = dir + prefix;
  for (int k = 3; k >= 0; --k) cand += hex[(v >> (k * 4)) & 0xF];
  return cand + ".TMP";
}

bool IsUniqueFileName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 8 || !name.starts_with(prefix) || !name.ends_with(".TMP")) return false;
  return std::all_of(name.begin() + long(prefix.size()), name.end() - 4,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

int CreateUniqueFile(const std::string& dir, const std::string& prefix, std::string& name) {
  name.clear();
  std::string d = ResolvePath(dir);
  if (!d.empty() && d.back() != '/') d += '/';
  for (int attempt = 0; attempt < 65536; ++attempt) {
    const std::string cand = UniqueFileCandidate(d, prefix);
    int fd = ::open(cand.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      name = cand;
      return kOk;
    }
    if (errno != EEXIST) return DosErrorFromErrno(errno);
  }
  return kErrFileExists;
}

TempFile::~TempFile() {
  if (!path_.empty() && FileFault(FileOp::Erase, path_) == 0) ::unlink(path_.c_str());
}

StagingDirectory::StagingDirectory(const std::string& prefix) {
  std::string tmpl = prefix + "XXXXXX";
  if (::mkdtemp(tmpl.data())) path_ = tmpl + "/";
}

StagingDirectory::~StagingDirectory() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool DiskFreeBytes(const std::string& path, uint64_t& bytes) {
  struct statvfs sv {};
  std::string p = path.empty() ? "." : ResolvePath(path);
  if (statvfs(p.c_str(), &sv) != 0) return false;
  bytes = uint64_t(sv.f_bavail) * uint64_t(sv.f_frsize);
  return true;
}

int GetFileModTime(const std::string& path, std::time_t& mtime) {
  struct stat st {};
  if (stat(ResolvePath(path).c_str(), &st) != 0) return DosErrorFromErrno(errno);
  mtime = st.st_mtime;
  return kOk;
}

int SetFileModTime(const std::string& path, std::time_t mtime) {
  timespec ts[2];
  ts[0].tv_sec = mtime;
  ts[0].tv_nsec = 0;
  ts[1] = ts[0];
  if (utimensat(AT_FDCWD, ResolvePath(path).c_str(), ts, 0) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

DateTimeParts LocalParts(std::time_t t) {
  struct tm tmv {};
  localtime_r(&t, &tmv);
  return {tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec};
}

uint32_t PackDosDateTime(std::time_t t) {
  DateTimeParts p = LocalParts(t);
  int y = std::clamp(p.year, 1980, 2107) - 1980;
  uint32_t date = uint32_t((y << 9) | (p.month << 5) | p.day);
  uint32_t time = uint32_t((p.hour << 11) | (p.minute << 5) | (p.second / 2));
  return (date << 16) | time;
}

DateTimeParts UnpackDosDateTime(uint32_t packed) {
  uint32_t date = packed >> 16, time = packed & 0xFFFF;
  return {int((date >> 9) + 1980), int((date >> 5) & 0x0F), int(date & 0x1F),
          int(time >> 11), int((time >> 5) & 0x3F), int((time & 0x1F) * 2)};
}

std::string CurrentDirectory() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return "./";
  std::string d = buf;
  if (d.back() != '/') d += '/';
  return d;
}

}  // namespace plat
