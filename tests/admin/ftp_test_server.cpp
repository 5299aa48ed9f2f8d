#include "admin/ftp_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <sstream>

namespace testutil {

namespace {

int BoundSocket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    port = 0;
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

}  // namespace

FtpTestServer::FtpTestServer(std::vector<Account> accounts, const Faults& faults) {
  const std::string portFile = tmp_.dir() + "port";
  std::vector<std::string> argv = {"/usr/bin/python3", std::string(RUV_SOURCE_DIR) + "/tests/ftp_server.py",
                                   "--port-file", portFile, "--log", tmp_.dir() + "server.log"};
  ::mkdir((tmp_.dir() + "root").c_str(), 0777);
  for (const Account& a : accounts) {
    ::mkdir(Home(a.user).c_str(), 0777);
    argv.push_back("--user");
    argv.push_back(a.user + ":" + a.password + ":" + Home(a.user));
  }
  if (!faults.dropFile.empty()) {
    argv.push_back("--drop");
    argv.push_back(faults.dropFile + ":" + std::to_string(faults.dropAfter));
  }
  if (!faults.stallFile.empty()) {
    argv.push_back("--stall");
    argv.push_back(faults.stallFile + ":" + std::to_string(faults.stallAfter) + ":" +
                   std::to_string(faults.stallSeconds));
  }
  if (faults.failedLoginDelay > 0) {
    argv.push_back("--login-delay");
    argv.push_back(std::to_string(faults.failedLoginDelay));
  }
  if (!faults.sizeFile.empty()) {
    argv.push_back("--size");
    argv.push_back(faults.sizeFile + ":" + std::to_string(faults.sizeReply));
  }
  std::vector<char*> args;
  for (auto& s : argv) args.push_back(s.data());
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    pid_ = -1;
    return;
  }
  int port = 0;
  const bool ready = WaitFor(
      [&] {
        std::string text = ReadFile(portFile);
        return !text.empty() && std::from_chars(text.data(), text.data() + text.size(), port).ec == std::errc() &&
               Accepts(port);
      },
      std::chrono::milliseconds(20000));
  if (ready) port_ = port;
}

FtpTestServer::~FtpTestServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::vector<std::string> FtpTestServer::Commands() const {
  // Debug lines of a command look like "... [user]@127.0.0.1:port <- CMD args".
  std::vector<std::string> out;
  std::istringstream in(Log());
  std::string line;
  while (std::getline(in, line)) {
    auto p = line.find(" <- ");
    if (p == std::string::npos) continue;
    std::string cmd = line.substr(p + 4);
    cmd = cmd.substr(0, cmd.find(' '));
    out.push_back(cmd);
  }
  return out;
}

BoundPort::BoundPort() { fd_ = BoundSocket(port_); }

BoundPort::~BoundPort() {
  if (fd_ >= 0) ::close(fd_);
}

SilentPort::SilentPort() {
  if (fd_ >= 0 && ::listen(fd_, 8) != 0) port_ = 0;
}

}  // namespace testutil
