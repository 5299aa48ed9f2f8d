// A helper program of tests/helpers run as a real child process, with its
// standard input and output on pipes. Killed, if still running, when this
// goes out of scope.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

class HelperChild {
 public:
  HelperChild(const std::string& program, std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::string exe = std::string(RUV_TEST_HELPERS_DIR) + "/" + program;
    std::vector<char*> argv{exe.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }
  ~HelperChild() {
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
    Kill();
  }
  HelperChild(const HelperChild&) = delete;
  HelperChild& operator=(const HelperChild&) = delete;

  // The next line of output, waiting at most `timeoutMs`; "" on timeout or
  // end of output.
  std::string ReadLine(int timeoutMs = 60000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd p{fromChild_, POLLIN, 0};
      if (poll(&p, 1, int(left.count())) <= 0) return {};
      char tmp[256];
      ssize_t n = read(fromChild_, tmp, sizeof tmp);
      if (n <= 0) return {};
      buf_.append(tmp, size_t(n));
    }
  }
  // Sends one line (a bare line break releases a holding helper).
  void Send(const std::string& line = {}) {
    std::string l = line + "\n";
    if (write(toChild_, l.data(), l.size()) != ssize_t(l.size())) ADD_FAILURE() << "cannot write to the helper";
  }
  void Release() { Send(); }
  // Sends a command and returns its answer line.
  std::string Ask(const std::string& line) {
    Send(line);
    return ReadLine();
  }
  int Wait() {
    int st = 0;
    if (pid_ > 0 && waitpid(pid_, &st, 0) == pid_) pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  // Ends the program at once, as a crash would.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1, fromChild_ = -1;
  std::string buf_;
};
