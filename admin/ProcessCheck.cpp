#include "admin/ProcessCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace {

ProcessLister& Lister() {
  static ProcessLister lister;
  return lister;
}

bool ReadSmallFile(const std::string& path, std::string& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    out.append(buf, size_t(n));
    if (out.size() > 65536) break;
  }
  ::close(fd);
  return n >= 0;
}

// The state letter of /proc/<pid>/stat, which follows the task name in
// parentheses (the name itself may hold ")").
char ProcessState(const std::string& stat) {
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return '?';
  return stat[close + 2];
}

std::string UpperAscii(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

std::string FileNamePart(const std::string& path, const char* separators) {
  size_t cut = path.find_last_of(separators);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::optional<TProcessNames> ReadProcessNames(int pid) {
  const std::string base = "/proc/" + std::to_string(pid) + "/";
  std::string stat;
  // A process that has gone meanwhile, or one that has exited and waits
  // to be reaped, is not running.
  if (!ReadSmallFile(base + "stat", stat)) return std::nullopt;
  const char state = ProcessState(stat);
  if (state == 'Z' || state == 'X' || state == 'x') return std::nullopt;
  TProcessNames p;
  char link[PATH_MAX];
  ssize_t len = ::readlink((base + "exe").c_str(), link, sizeof link - 1);
  if (len > 0) {
    p.ExeLink.assign(link, size_t(len));
    // A running program whose file was replaced (an update) still runs.
    const std::string deleted = " (deleted)";
    if (p.ExeLink.size() > deleted.size() &&
        p.ExeLink.compare(p.ExeLink.size() - deleted.size(), deleted.size(), deleted) == 0)
      p.ExeLink.resize(p.ExeLink.size() - deleted.size());
  }
  std::string cmdline;
  if (ReadSmallFile(base + "cmdline", cmdline)) p.Argv0 = cmdline.substr(0, cmdline.find('\0'));
  if (ReadSmallFile(base + "comm", p.Comm) && !p.Comm.empty() && p.Comm.back() == '\n') p.Comm.pop_back();
  return p;
}

std::vector<TProcessNames> ListProcesses() {
  if (Lister()) return Lister()();
  std::vector<TProcessNames> out;
  DIR* d = ::opendir("/proc");
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    const char* n = e->d_name;
    if (*n < '1' || *n > '9') continue;
    if (auto p = ReadProcessNames(std::atoi(n))) out.push_back(std::move(*p));
  }
  ::closedir(d);
  return out;
}

void SetProcessLister(ProcessLister lister) { Lister() = std::move(lister); }

bool IsProgramRunning(const std::string& ExeName) {
  const std::string want = UpperAscii(ExeName);
  // The kernel keeps 15 characters of a task name; a name that long may
  // have been cut and cannot be trusted.
  constexpr size_t kCommMax = 15;
  bool result = false;
  for (const auto& p : ListProcesses()) {
    if (!p.ExeLink.empty() && UpperAscii(FileNamePart(p.ExeLink, "/")) == want) result = true;
    if (!p.Argv0.empty() &&
        (UpperAscii(FileNamePart(p.Argv0, "/\\:")) == want || UpperAscii(p.Argv0) == want))
      result = true;
    if (!p.Comm.empty() && p.Comm.size() < kCommMax && UpperAscii(p.Comm) == want) result = true;
    if (result) break;
  }
  return result;
}

std::string FirstRunning(const std::vector<std::string>& exeNames) {
  for (const auto& n : exeNames)
    if (IsProgramRunning(n)) return n;
  return std::string();
}
