#include "admin/IniFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/pfile.h"
#include "platform/pfs.h"

namespace {

// The profile routines read through a buffer of this many characters.
constexpr size_t kReadBufferSize = 2048;

struct Line {
  std::string text;  // without its line end
  std::string eol;   // "\r\n", "\n", "\r" or "" for a last line without one
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const std::string& s, size_t i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
  return i;
}

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  size_t i = 0;
  while (i < bytes.size()) {
    size_t e = bytes.find_first_of("\r\n", i);
    if (e == std::string::npos) {
      lines.push_back({bytes.substr(i), ""});
      break;
    }
    size_t next = e + 1;
    if (bytes[e] == '\r' && next < bytes.size() && bytes[next] == '\n') ++next;
    lines.push_back({bytes.substr(i, e - i), bytes.substr(e, next - e)});
    i = next;
  }
  return lines;
}

std::string JoinLines(const std::vector<Line>& lines) {
  std::string out;
  for (const auto& l : lines) out += l.text + l.eol;
  return out;
}

// A new section, and a last line that had no line end, take the line end
// the file already uses; a new file gets CR LF as the Windows programs
// write it.
std::string LineEndOf(const std::vector<Line>& lines) {
  for (const auto& l : lines)
    if (!l.eol.empty()) return l.eol;
  return "\r\n";
}

std::string Upper(std::string s) {
  for (auto& c : s) c = plat::Upper1250(c);
  return s;
}

// Names are compared in Windows-1250 upper case.
std::string NameKey(std::string_view utf8) { return Upper(plat::Utf8ToWin1250Lossy(utf8)); }

bool SectionHeader(const std::string& text, std::string& name) {
  size_t i = SkipBlanks(text, 0);
  if (i >= text.size() || text[i] != '[') return false;
  size_t close = text.find(']', i + 1);
  if (close == std::string::npos) return false;
  name = text.substr(i + 1, close - i - 1);
  return true;
}

// A key line: "name=value", not a comment. `eq` is the position of "=".
bool KeyLine(const std::string& text, std::string& key, size_t& eq) {
  size_t i = SkipBlanks(text, 0);
  if (i >= text.size() || text[i] == ';' || text[i] == '[') return false;
  eq = text.find('=', i);
  if (eq == std::string::npos) return false;
  size_t e = eq;
  while (e > i && IsBlank(text[e - 1])) --e;
  key = text.substr(i, e - i);
  return true;
}

struct SectionSpan {
  size_t header = 0;  // index of the header line
  size_t end = 0;     // index of the next header, or the line count
};

bool FindSection(const std::vector<Line>& lines, const std::string& upperName, SectionSpan& span) {
  std::string name;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!SectionHeader(lines[i].text, name) || Upper(name) != upperName) continue;
    span.header = i;
    span.end = i + 1;
    while (span.end < lines.size() && !SectionHeader(lines[span.end].text, name)) ++span.end;
    return true;
  }
  return false;
}

bool FindKey(const std::vector<Line>& lines, const SectionSpan& span, const std::string& upperKey, size_t& index,
             size_t& eq) {
  std::string key;
  for (size_t i = span.header + 1; i < span.end; ++i) {
    if (KeyLine(lines[i].text, key, eq) && Upper(key) == upperKey) {
      index = i;
      return true;
    }
  }
  return false;
}

std::string ErrnoText(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return "brak katalogu";
    case EACCES:
    case EPERM:
    case EROFS:
      return "brak dostępu";
    case ENOSPC:
      return "brak miejsca na dysku";
    case EBUSY:
      return "plik zapisuje inny proces";
    default:
      return "błąd systemu " + std::to_string(err);
  }
}

[[noreturn]] void ThrowWriteError(const std::string& fileName, int err) {
  throw EIniFileException("Nie można zapisać pliku " + fileName + " (" + ErrnoText(err) + ").");
}

// The file's bytes; false (and nothing) when it cannot be read, which the
// reading routines treat as an empty file.
bool ReadAll(const std::string& path, std::string& bytes, int& err) {
  bytes.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return false;
  }
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      ::close(fd);
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    bytes.append(buf, size_t(n));
  }
  ::close(fd);
  return true;
}

using plat::Fd;

// How long a write waits for another write of the same file to finish.
constexpr auto kTempLockWait = std::chrono::seconds(1);

// The temporary file of a write has one name per settings file and is
// locked while a write owns it. A write killed midway leaves it behind
// unlocked; the next write of the same file takes it over, and its rename
// removes it, so no stale copy stays for good. Returns the descriptor, or
// -1 with errno set (EBUSY while another write keeps it).
int OpenOwnTempFile(const std::string& tmp) {
  const auto deadline = std::chrono::steady_clock::now() + kTempLockWait;
  for (;;) {
    const int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // The write whose lock this one waited for may have renamed the file
      // into place meanwhile: only the file still under the name will do.
      if (plat::FdIsNamed(fd, tmp)) return fd;
    } else if (errno != EWOULDBLOCK) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return -1;
    }
    ::close(fd);
    if (std::chrono::steady_clock::now() > deadline) {
      errno = EBUSY;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Replaces the file's contents as one step: a crash or a full disk leaves
// either the old or the new file, never half of one.
void WriteAll(const std::string& fileName, const std::string& path, const std::string& bytes) {
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  struct stat old {};
  bool existed = ::stat(target.c_str(), &old) == 0;
  // A file without a write bit for anyone is read-only, as a file with
  // Windows' read-only attribute: the user set it to keep the file as it
  // is, so the write fails whatever the folder allows (and root, for whom
  // access() says yes).
  if (existed && S_ISREG(old.st_mode) && (old.st_mode & 0222) == 0)
    throw EIniFileException("Nie można zapisać pliku " + fileName + " (plik tylko do odczytu).");
  const std::string tmp = target + ".~zapis";
  Fd fd(OpenOwnTempFile(tmp));
  if (fd.get() < 0) ThrowWriteError(fileName, errno);
  // The lock lives as long as any descriptor of the file: this one keeps it
  // until the rename, while closing the other reports a failed write.
  Fd lock(::dup(fd.get()));
  auto fail = [&](int err) {
    ::unlink(tmp.c_str());
    ThrowWriteError(fileName, err);
  };
  if (lock.get() < 0 || ::ftruncate(fd.get(), 0) != 0) fail(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += size_t(n);
  }
  if (existed) {
    ::fchmod(fd.get(), old.st_mode & 07777);
    if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
      // Keeping the owner is a courtesy; the contents are what matter.
    }
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);
  }
  // On the disk before it takes the old file's place, and the new name
  // after: a machine that stops right after the write finds the old file
  // or the new one, never an empty one.
  const int unsynced = plat::FileFault(plat::FileOp::Flush, tmp) != 0 ? EIO : ::fsync(fd.get()) != 0 ? errno : 0;
  if (unsynced != 0) fail(unsynced);
  if (::close(fd.release()) != 0) fail(errno);
  if (::rename(tmp.c_str(), target.c_str()) != 0) fail(errno);
  plat::SyncDirectoryOf(target);
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

namespace {

struct Loaded {
  std::string path;  // the name on disk (found in any letter case)
  std::vector<Line> lines;
};

Loaded Load(const std::string& fileName) {
  Loaded l;
  l.path = plat::ResolvePath(fileName);
  std::string bytes;
  int err = 0;
  if (ReadAll(l.path, bytes, err)) l.lines = SplitLines(bytes);
  return l;
}

// For a write: a file that exists but cannot be read must not be replaced
// by one holding only the new line.
Loaded LoadForWrite(const std::string& fileName) {
  Loaded l;
  l.path = plat::ResolvePath(fileName);
  std::string bytes;
  int err = 0;
  if (ReadAll(l.path, bytes, err)) {
    l.lines = SplitLines(bytes);
  } else if (err != ENOENT) {
    throw EIniFileException("Nie można odczytać pliku " + fileName + " (" + ErrnoText(err) + ").");
  }
  return l;
}

// An integer text as the settings files hold it: an optional sign, then
// decimal digits within 32 bits, or "$" and up to eight hexadecimal digits
// taken as the 32 bits of the number ("$FFFFFFFF" is -1); nothing else
// before, between or after them.
bool ParseInteger(std::string_view s, int32_t& out) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i >= s.size()) return false;
  if (s[i] == '$') {
    ++i;
    if (i >= s.size() || s.size() - i > 8) return false;
    uint32_t v = 0;
    auto r = std::from_chars(s.data() + i, s.data() + s.size(), v, 16);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
    out = int32_t(neg ? 0u - v : v);
    return true;
  }
  int64_t v = 0;
  auto r = std::from_chars(s.data() + i, s.data() + s.size(), v, 10);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  if (neg) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = int32_t(v);
  return true;
}

}  // namespace

std::string TIniFile::ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const {
  Loaded f = Load(fileName_);
  SectionSpan span;
  size_t index = 0, eq = 0;
  if (!FindSection(f.lines, NameKey(Section), span) || !FindKey(f.lines, span, NameKey(Ident), index, eq))
    return std::string(Default);
  const std::string& t = f.lines[index].text;
  size_t b = SkipBlanks(t, eq + 1);
  size_t e = t.size();
  while (e > b && IsBlank(t[e - 1])) --e;
  std::string v = t.substr(b, e - b);
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  if (v.size() > kReadBufferSize - 1) v.resize(kReadBufferSize - 1);
  return plat::Win1250ToUtf8(v);
}

int32_t StrToIntDef(std::string_view S, int32_t Default) {
  std::string s(S);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = "$" + s.substr(2);
  int32_t v = 0;
  return ParseInteger(s, v) ? v : Default;
}

int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) const {
  return StrToIntDef(ReadString(Section, Ident, ""), Default);
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Ident, bool Default) const {
  return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  std::string value;
  if (!plat::Utf8ToWin1250(Value, value))
    throw EIniFileException("Tekstu \"" + std::string(Value) + "\" nie można zapisać w pliku " + fileName_ +
                            ": zawiera znaki spoza polskiej strony kodowej Windows.");
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw EIniFileException("Tekstu z podziałem wiersza nie można zapisać w pliku " + fileName_ + ".");
  std::string section = plat::Utf8ToWin1250Lossy(Section);
  std::string ident = plat::Utf8ToWin1250Lossy(Ident);

  Loaded f = LoadForWrite(fileName_);
  std::string eol = LineEndOf(f.lines);
  SectionSpan span;
  size_t index = 0, eq = 0;
  if (!FindSection(f.lines, Upper(section), span)) {
    if (!f.lines.empty() && f.lines.back().eol.empty()) f.lines.back().eol = eol;
    f.lines.push_back({"[" + section + "]", eol});
    f.lines.push_back({ident + "=" + value, eol});
  } else if (FindKey(f.lines, span, Upper(ident), index, eq)) {
    f.lines[index].text = f.lines[index].text.substr(0, eq + 1) + value;
  } else {
    size_t last = span.header;
    for (size_t i = span.header + 1; i < span.end; ++i)
      if (SkipBlanks(f.lines[i].text, 0) < f.lines[i].text.size()) last = i;
    if (f.lines[last].eol.empty()) f.lines[last].eol = eol;
    // The new line ends as the line before it did, so that its line end
    // meets the next line exactly as before: a lone CR of the file's first
    // line end would join a following blank line's LF into one CR LF and
    // the blank line would be gone.
    f.lines.insert(f.lines.begin() + std::ptrdiff_t(last + 1), Line{ident + "=" + value, f.lines[last].eol});
  }
  WriteAll(fileName_, f.path, JoinLines(f.lines));
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Ident, int32_t Value) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, Value);
  WriteString(Section, Ident, std::string_view(buf, size_t(r.ptr - buf)));
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Ident, bool Value) {
  WriteString(Section, Ident, Value ? "1" : "0");
}

bool TIniFile::SectionExists(std::string_view Section) const {
  Loaded f = Load(fileName_);
  SectionSpan span;
  if (!FindSection(f.lines, NameKey(Section), span)) return false;
  std::string key;
  size_t eq = 0;
  for (size_t i = span.header + 1; i < span.end; ++i)
    if (KeyLine(f.lines[i].text, key, eq)) return true;
  return false;
}

void TIniFile::EraseSection(std::string_view Section) {
  Loaded f = LoadForWrite(fileName_);
  SectionSpan span;
  bool found = false;
  // A section written twice (by hand) is erased in every copy, so that no
  // reader finds the second one afterwards.
  while (FindSection(f.lines, NameKey(Section), span)) {
    f.lines.erase(f.lines.begin() + std::ptrdiff_t(span.header), f.lines.begin() + std::ptrdiff_t(span.end));
    found = true;
  }
  if (found) WriteAll(fileName_, f.path, JoinLines(f.lines));
}

bool IniCanHold(std::string_view utf8) {
  std::string out;
  return plat::Utf8ToWin1250(utf8, out);
}

std::string IniCannotHoldDirText(std::string_view dir) {
  return "Nazwy katalogu " + std::string(dir) +
         " nie można zapisać w ustawieniach: zawiera znaki spoza polskiej strony kodowej Windows.";
}

void RemoveIniWriteLeftover(const std::string& fileName) {
  std::string target = plat::ResolvePath(fileName);
  if (char* real = ::realpath(target.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  const std::string tmp = target + ".~zapis";
  Fd fd(::open(tmp.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat held {};
  // Locked: a write owns it. Another file under the name meanwhile: that
  // write has renamed this one into place.
  if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.get(), &held) != 0 ||
      !S_ISREG(held.st_mode) || !plat::FdIsNamed(fd.get(), tmp))
    return;
  if (plat::EraseAsNamed(tmp) == plat::kOk) plat::SyncDirectoryOf(tmp);
}
