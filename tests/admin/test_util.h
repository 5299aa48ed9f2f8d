// Shared pieces of the admin tests: temporary trees, files, child
// processes (the outside readers and the FTP server) and waiting on a
// condition with a bound.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace admtest {

// A fresh directory under the temporary directory, removed with its
// contents at the end of the scope. Path() ends with "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Names in a directory, sorted.
std::vector<std::string> ListDir(const std::string& dir);
// Bytes that deflate well / not at all.
std::string TextBytes(size_t n, unsigned seed);
std::string RandomBytes(size_t n, unsigned seed);

struct RunResult {
  int status = -1;  // exit status, or -1
  std::string out;  // stdout and stderr together
};
// Runs a program with arguments (no shell) and collects its output.
RunResult Run(const std::vector<std::string>& argv);
// Runs a Python script with Debian's interpreter.
RunResult RunPython(const std::string& script, const std::vector<std::string>& args);

// Polls `cond` until it holds or `timeout` passes; returns its last value.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

}  // namespace admtest
