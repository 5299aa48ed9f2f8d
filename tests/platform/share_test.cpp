#include <gtest/gtest.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/pfile.h"
#include "testutil/own_mounts.h"
#include "testutil/tempdir.h"

using namespace plat;

namespace {

constexpr int R = kAccessRead, W = kAccessWrite, RW = kAccessReadWrite;

struct ShareCase {
  int first, second;
  int expected;  // of the second open while the first is held
};

// Windows' sharing rules: the second open needs an access the first one
// shares, and must not deny an access the first one has.
const ShareCase kShareCases[] = {
    {RW | kShareDenyAll, R | kShareDenyNone, kErrSharingViolation},
    {RW | kShareDenyAll, RW | kShareDenyNone, kErrSharingViolation},
    {R | kShareDenyAll, R | kShareDenyNone, kErrSharingViolation},
    {R | kShareDenyNone, R | kShareDenyAll, kErrSharingViolation},
    {R | kShareDenyWrite, R | kShareDenyNone, kOk},
    {R | kShareDenyWrite, R | kShareDenyWrite, kOk},
    {R | kShareDenyWrite, RW | kShareDenyNone, kErrSharingViolation},
    {R | kShareDenyWrite, W | kShareDenyNone, kErrSharingViolation},
    {RW | kShareDenyNone, R | kShareDenyWrite, kErrSharingViolation},
    {RW | kShareDenyNone, RW | kShareDenyNone, kOk},
    {R | kShareDenyNone, RW | kShareDenyNone, kOk},
    {RW | kShareCompat, RW | kShareCompat, kOk},
    {RW | kShareDenyRead, W | kShareDenyNone, kOk},
    {RW | kShareDenyRead, R | kShareDenyNone, kErrSharingViolation},
    {W | kShareDenyNone, R | kShareDenyWrite, kErrSharingViolation},
};

class ShareTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string path = tmp.Write("TABLE.DBF", "0123456789");
};

TEST_F(ShareTest, TwoHandlesOfOneProcess) {
  for (const auto& c : kShareCases) {
    File a, b;
    ASSERT_EQ(a.Open(path, c.first), kOk) << std::hex << c.first;
    EXPECT_EQ(b.Open(path, c.second), c.expected) << std::hex << c.first << " then " << c.second;
    EXPECT_EQ(b.IsOpen(), c.expected == kOk);
  }
}

TEST_F(ShareTest, BetweenProcesses) {
  for (const auto& c : kShareCases) {
    File a;
    ASSERT_EQ(a.Open(path, c.first), kOk);
    int rc = InChild([&] {
      File b;
      return b.Open(path, c.second);
    });
    EXPECT_EQ(rc, c.expected) << std::hex << c.first << " then " << c.second;
  }
}

TEST_F(ShareTest, ChildHoldsTheFileDenyAll) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(release[1]);
    File held;
    char ok = held.Open(path, R | kShareDenyAll) == kOk ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    while (read(release[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  File b;
  EXPECT_EQ(b.Open(path, R | kShareDenyNone), kErrSharingViolation);
  close(release[1]);  // the child closes its handle and ends
  int st = 0;
  waitpid(pid, &st, 0);
  close(ready[0]);
  EXPECT_EQ(b.Open(path, RW | kShareDenyAll), kOk);
}

TEST_F(ShareTest, ClosingReleasesTheReservation) {
  File a, b;
  ASSERT_EQ(a.Open(path, RW | kShareDenyAll), kOk);
  EXPECT_EQ(b.Open(path, R | kShareDenyNone), kErrSharingViolation);
  a.Close();
  EXPECT_EQ(b.Open(path, R | kShareDenyNone), kOk);
}

TEST_F(ShareTest, ReadOnlyDenyAllCannotWrite) {
  File a;
  ASSERT_EQ(a.Open(path, R | kShareDenyAll), kOk);
  char buf[4];
  EXPECT_EQ(a.ReadExact(buf, 4), kOk);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(a.Write("x", 1), kErrAccessDenied);
  EXPECT_EQ(a.Truncate(0), kErrAccessDenied);
  int64_t size = 0;
  EXPECT_EQ(a.GetSize(&size), kOk);
  EXPECT_EQ(size, 10);
}

// A file that can only be opened for reading (here: on a read-only mount,
// since root may write any file) still takes a deny-all reservation. Runs in
// a child with mounts of its own; skipped where they cannot be made.
TEST_F(ShareTest, ReadOnlyDenyAllOnAReadOnlyFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  std::string mnt = tmp / "ro";
  mkdir(mnt.c_str(), 0777);
  int rc = InChildWithOwnMounts([&] {
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1M") != 0) return int(kMountRefused);
    std::ofstream(mnt + "/RO.DBF") << "0123456789";
    if (mount("none", mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return int(kMountRefused);
    std::string file = mnt + "/ro.dbf";
    File a, b;
    if (b.Open(file, RW | kShareDenyNone) != kErrWriteProtect) return 1;
    if (a.Open(file, R | kShareDenyAll) != kOk) return 2;
    if (b.Open(file, R | kShareDenyNone) != kErrSharingViolation) return 3;
    if (a.Write("x", 1) != kErrAccessDenied) return 4;
    char buf[10];
    if (a.ReadExact(buf, 10) != kOk) return 5;
    a.Close();
    if (b.Open(file, R | kShareDenyAll) != kOk) return 6;
    if (a.Open(file, R | kShareDenyWrite) != kErrSharingViolation) return 7;
    return 0;
  });
  if (const std::string refused = OwnMountsRefused(rc); !refused.empty()) GTEST_SKIP() << refused;
  EXPECT_EQ(rc, 0);
}

// The file of a running program refuses write opens (ETXTBSY); reading it,
// as Windows allows, must still work.
TEST_F(ShareTest, RunningProgramCanBeOpenedForReading) {
  const std::string program = tmp / "Ruv_TM.exe";
  std::filesystem::copy_file("/bin/cat", program);
  int pipefd[2];
  ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[0], 0);
  char arg0[] = "Ruv_TM.exe";
  char* argv[] = {arg0, nullptr};
  pid_t pid = 0;
  // posix_spawn returns once the program runs: its file is busy from here.
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[0]);

  File f;
  EXPECT_EQ(f.Open(tmp / "RUV_TM.EXE", RW | kShareDenyNone), kErrSharingViolation);
  EXPECT_EQ(f.Open(tmp / "RUV_TM.EXE", R | kShareDenyNone), kOk);
  char head[4];
  EXPECT_EQ(f.ReadExact(head, 4), kOk);
  EXPECT_EQ(std::string(head, 4), "\x7F" "ELF");
  EXPECT_EQ(f.Write("x", 1), kErrAccessDenied);
  f.Close();
  EXPECT_EQ(f.Open(program, R | kShareDenyAll), kOk);

  close(pipefd[1]);  // cat ends at the end of its input
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

// Another program's lock over the whole file, of the kinds many programs
// take, held by a child process until released (or for 30 s at most).
class WholeFileLockHolder {
 public:
  enum Kind { kFcntlWrite, kFcntlRead, kLockf };
  WholeFileLockHolder(const std::string& path, Kind kind) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      int fd = open(path.c_str(), O_RDWR);
      struct flock fl {};
      fl.l_type = kind == kFcntlRead ? F_RDLCK : F_WRLCK;
      fl.l_whence = SEEK_SET;  // from 0, length 0: the whole file, however long
      bool locked = fd >= 0 && (kind == kLockf ? lockf(fd, F_LOCK, 0) == 0 : fcntl(fd, F_SETLK, &fl) == 0);
      char c = locked ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      pollfd p{release_[0], POLLIN, 0};
      poll(&p, 1, 30000);
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char c = 0;
    ready_ = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
  }
  ~WholeFileLockHolder() { Release(); }
  bool Ready() const { return ready_; }
  void Release() {
    if (pid_ <= 0) return;
    close(release_[1]);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
  bool ready_ = false;
};

// Such a lock covers the share reservation too: opens are refused as a
// sharing violation while it is held, without waiting for it to go.
TEST_F(ShareTest, WholeFileLockOfAnotherProgramRefusesWithoutWaiting) {
  for (auto kind : {WholeFileLockHolder::kFcntlWrite, WholeFileLockHolder::kFcntlRead, WholeFileLockHolder::kLockf}) {
    SCOPED_TRACE(kind);
    WholeFileLockHolder holder(path, kind);
    ASSERT_TRUE(holder.Ready());
    for (int mode : {R | kShareDenyNone, RW | kShareDenyNone, R | kShareDenyWrite, RW | kShareDenyAll}) {
      File f;
      EXPECT_EQ(f.Open(path, mode), kErrSharingViolation) << std::hex << mode;
    }
    File created;
    EXPECT_EQ(created.Create(path), kErrSharingViolation);
    holder.Release();
    File after;
    EXPECT_EQ(after.Open(path, RW | kShareDenyNone), kOk);
  }
}

TEST_F(ShareTest, RefusedCreateDestroysNothing) {
  File a, b;
  ASSERT_EQ(a.Open(path, R | kShareDenyWrite), kOk);
  EXPECT_EQ(b.Create(path), kErrSharingViolation);
  int64_t size = 0;
  EXPECT_EQ(a.GetSize(&size), kOk);
  EXPECT_EQ(size, 10);
}

TEST_F(ShareTest, OpenErrors) {
  File f;
  EXPECT_EQ(f.Open(tmp / "missing.dbf", RW), kErrFileNotFound);
  EXPECT_EQ(f.Open(tmp / "nodir/x.dbf", RW), kErrPathNotFound);
  EXPECT_EQ(f.Open(tmp.Dir(), R), kErrAccessDenied);
  EXPECT_EQ(f.Open(path, 3), kErrInvalidAccess);
  // The name is found whatever its letter case.
  EXPECT_EQ(f.Open(tmp / "table.dbf", R), kOk);
  EXPECT_EQ(f.Path(), path);
}

}  // namespace
