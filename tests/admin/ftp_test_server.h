// A real FTP server for the tests: tests/ftp_server.py (pyftpdlib) on
// 127.0.0.1, on a free port, with its own root and accounts, stopped with
// the object. Its log holds every command at debug level.
#pragma once
#include <string>
#include <vector>

#include "admin/admin_test_util.h"

namespace testutil {

class FtpTestServer {
 public:
  struct Account {
    std::string user, password;
  };
  // Starts the server with each account's home at Root() + user + "/" and
  // waits (bounded) until its port accepts connections. Started() tells.
  explicit FtpTestServer(std::vector<Account> accounts);
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  bool Started() const { return port_ > 0; }
  int Port() const { return port_; }
  std::string Home(const std::string& user) const { return tmp_.dir() + "root/" + user + "/"; }
  std::string Log() const { return ReadFile(tmp_.dir() + "server.log"); }
  // The commands the server received, in order ("USER", "EPSV", "APPE", ...).
  std::vector<std::string> Commands() const;

 private:
  TempDir tmp_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening,
// held for the object's life so no one else takes it.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 whose connections the kernel completes but no one
// ever answers: a server that never greets.
class SilentPort {
 public:
  SilentPort();
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace testutil
