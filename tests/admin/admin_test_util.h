// Shared bits of the application's tests: temporary program trees, files
// written byte for byte, and waiting on a condition with a bounded time.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

namespace testutil {

// A fresh directory under the temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ruvadmXXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // With a trailing "/".
  std::string dir() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return dir() + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
  }
  ::chmod(path.c_str(), mode);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Polls `cond` until it holds or `timeout` passes; returns its last value.
inline bool WaitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testutil

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <vector>

extern char** environ;

namespace testutil {

// A real child process, killed and reaped when the object goes.
class Child {
 public:
  // Runs `file` with the given argv (argv[0] included), in `cwd` when
  // one is given.
  Child(const std::string& file, std::vector<std::string> argv, const std::string& cwd = "") {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (posix_spawn(&pid_, file.c_str(), &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Kills (when still running) and reaps.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap();
  }
  // Waits for the child's end; returns its wait status.
  int Reap() {
    int status = 0;
    if (pid_ > 0) {
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return status;
  }
  // The state letter of /proc/<pid>/stat ('Z' for exited, unreaped).
  char State() const {
    std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
  }

 private:
  pid_t pid_ = -1;
};

// Copies a system binary under another name (a copy, not a link: the
// process's executable link then shows the new name).
inline std::string CopyBinary(const std::string& from, const std::string& to) {
  std::filesystem::create_directories(std::filesystem::path(to).parent_path());
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  ::chmod(to.c_str(), 0755);
  return to;
}

}  // namespace testutil

#include "admin/ProcessCheck.h"

namespace testutil {

// A process list of only these processes (the test's own children), read
// from /proc as the real scan reads every process: the running-program
// check then sees the test's processes and none of the machine's others.
inline ProcessLister ProcessesOf(std::vector<pid_t> pids) {
  return [pids] {
    std::vector<TProcessNames> out;
    for (pid_t pid : pids)
      if (auto p = ReadProcessNames(pid)) out.push_back(std::move(*p));
    return out;
  };
}

}  // namespace testutil
