#include "admin/archive_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace testutil {

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string TextBytes(size_t n, unsigned seed) {
  static const char* words[] = {"kopia ", "danych ", "ruv ", "plik ", "tabela ", "rekord ", "1234 ", "\r\n"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += words[rng() % 8];
  s.resize(n);
  return s;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

RunResult Run(const std::vector<std::string>& argv) {
  RunResult r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    r.out = "cannot start " + argv[0];
    return r;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

RunResult RunPython(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

RunResult RunAdminHelper(const std::vector<std::string>& args) {
  std::vector<std::string> argv{std::string(RUV_TEST_HELPERS_DIR) + "/admin_helper"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

int FirstChange(const std::string& out, const std::string& op, const std::string& pathPart) {
  int n = 0;
  for (size_t at = 0; (at = out.find("change ", at)) != std::string::npos; ++at) {
    if (at > 0 && out[at - 1] != '\n') continue;
    const std::string line = out.substr(at, out.find('\n', at) - at);
    ++n;
    if (line.starts_with("change " + op + " ") && line.find(pathPart) != std::string::npos) return n;
  }
  return 0;
}

}  // namespace testutil
