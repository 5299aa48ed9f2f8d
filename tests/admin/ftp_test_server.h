// A real FTP server for the tests: tests/ftp_server.py (pyftpdlib) on
// 127.0.0.1, on a free port, with its own root and accounts, stopped with
// the object. Its log holds every command at debug level.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "admin/admin_test_util.h"

namespace testutil {

class FtpTestServer {
 public:
  struct Account {
    std::string user, password;
  };
  // How the server misbehaves, for the tests of failures.
  struct Faults {
    // Downloads of this file break off after `dropAfter` bytes, both
    // connections dropped.
    std::string dropFile;
    long dropAfter = 0;
    // Transfers of this file (either way) stop for `stallSeconds` once
    // `stallAfter` bytes have gone, the whole server silent meanwhile; the
    // log holds "stalling " + the file's name when the stall starts and
    // "going on with " + the name when it ends.
    std::string stallFile;
    long stallAfter = 0;
    int stallSeconds = 0;
    // Seconds before a wrong password is answered.
    int failedLoginDelay = 0;
    // SIZE of this file is answered "213 " + `sizeReply`.
    std::string sizeFile;
    long sizeReply = 0;
  };
  // Starts the server with each account's home at Root() + user + "/" and
  // waits (bounded) until its port accepts connections. Started() tells.
  FtpTestServer(std::vector<Account> accounts, const Faults& faults);
  explicit FtpTestServer(std::vector<Account> accounts) : FtpTestServer(std::move(accounts), Faults{}) {}
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

// A port on 127.0.0.1, bound and held for the object's life so no one
// else takes it.
class BoundPort {
 public:
  BoundPort();
  ~BoundPort();
  BoundPort(const BoundPort&) = delete;
  BoundPort& operator=(const BoundPort&) = delete;
  int Port() const { return port_; }

 protected:
  int fd_ = -1;
  int port_ = 0;
};

// A port that refuses connections: bound, never listening.
class RefusingPort : public BoundPort {};

// A port whose connections the kernel completes but no one ever answers:
// a server that never greets.
class SilentPort : public BoundPort {
 public:
  SilentPort();
};

}  // namespace testutil
