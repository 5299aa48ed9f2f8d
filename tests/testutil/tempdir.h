// A temporary folder for one test, removed with everything in it.
#pragma once
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/ruv_test_XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder with a trailing "/".
  std::string Dir() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return Dir() + name; }
  std::string Write(const std::string& name, const std::string& content = "data") const {
    std::ofstream(Dir() + name, std::ios::binary) << content;
    return Dir() + name;
  }

 private:
  std::string path_;
};

// Runs `body` in a forked child and returns its exit status (-1 when it
// did not exit normally).
inline int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}
