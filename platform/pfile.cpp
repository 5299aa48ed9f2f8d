#include "platform/pfile.h"

#include "platform/codepage.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/pfs.h"

namespace plat {

int DosErrorFromErrno(int err) {
  switch (err) {
    case 0: return kOk;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrAccessDenied;
    case EMFILE:
    case ENFILE: return kErrTooManyFiles;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EROFS: return kErrWriteProtect;
    case EEXIST: return kErrFileExists;
    case EINVAL: return kErrInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrDiskFull;
    case ENAMETOOLONG: return kErrInvalidName;
    case ENOTEMPTY: return kErrDirNotEmpty;
    case EAGAIN:
    case EDEADLK: return kErrLockViolation;
    case EBUSY:
    case ETXTBSY: return kErrSharingViolation;
    case EIO: return kErrReadFault;
    default: return kErrGeneralFailure;
  }
}

namespace {

std::mutex g_hookMutex;
FileFaultHook g_faultHook;
// Every record read asks the seam; without a hook that costs one load.
std::atomic<bool> g_hookSet{false};

// Share reservations live on single bytes far above every lock region the
// engine uses (those stay below 2^33): a handle holds a read lock on the
// byte of each access it has and of each access it denies others.
constexpr off_t kShareBase = off_t(1) << 40;
enum ShareByte : off_t { kHasRead = 0, kHasWrite = 1, kDeniesRead = 2, kDeniesWrite = 3, kGuard = 8 };

// Every opening gets a number no other opening in this process had.
uint64_t NextOpenSerial() {
  static std::atomic<uint64_t> openings{0};
  return ++openings;
}

// Never waits: every wait in this layer is a bounded retry of its caller.
bool OfdLock(int fd, short type, off_t start, off_t len) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// The first lock of another open file description that overlaps the range;
// l_type is F_UNLCK when there is none (or the query failed).
struct flock OfdConflict(int fd, off_t start, off_t len) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) fl.l_type = F_UNLCK;
  return fl;
}

// True when another open file description holds a lock in the range.
bool OfdHeldByOther(int fd, off_t start, off_t len) { return OfdConflict(fd, start, len).l_type != F_UNLCK; }

enum class Guard { Taken, Unavailable, Held };

// Another opener holds the guard only for the few calls of its own test and
// reservation, so a short retry finds it free. Any other lock over it is
// another program's lock of the whole file (or of a range past the data),
// which covers the share bytes too and may stay for as long as that
// program likes: the open must not wait on it.
constexpr auto kGuardRetry = std::chrono::milliseconds(250);

Guard TakeGuard(int fd) {
  const off_t guard = kShareBase + kGuard;
  const auto deadline = std::chrono::steady_clock::now() + kGuardRetry;
  for (;;) {
    if (OfdLock(fd, F_WRLCK, guard, 1)) return Guard::Taken;
    if (errno != EAGAIN && errno != EACCES) return Guard::Unavailable;
    const struct flock holder = OfdConflict(fd, guard, 1);
    const bool released = holder.l_type == F_UNLCK;
    const bool opener = released || (holder.l_start == guard && holder.l_len == 1);
    if (!opener || std::chrono::steady_clock::now() >= deadline) return Guard::Held;
    if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
  std::lock_guard<std::mutex> g(g_hookMutex);
  g_faultHook = std::move(hook);
  g_hookSet.store(bool(g_faultHook), std::memory_order_release);
}

int FileFault(FileOp op, const std::string& path) {
  if (!g_hookSet.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> g(g_hookMutex);
  return g_faultHook ? g_faultHook(op, path, 0) : 0;
}

int File::CheckFault(FileOp op) { return g_hookSet.load(std::memory_order_acquire) ? AskFaultHook(op) : 0; }

int File::AskFaultHook(FileOp op) {
  std::lock_guard<std::mutex> g(g_hookMutex);
  return g_faultHook ? g_faultHook(op, path_, bytes_) : 0;
}

namespace {

// The file's size. Seeking to the end reads the same size a stat gives
// (network file systems revalidate it for both) at a fraction of the cost
// of a stat right after a write, where appends ask it. Every read and write
// here is positioned, so the descriptor's own offset means nothing.
off_t EndOfFile(int fd) { return ::lseek(fd, 0, SEEK_END); }

// A mapped page whose part of the file is gone (another program shortened
// the file) raises SIGBUS on access. The copy out of a window runs with a
// jump target; the handler returns there, and any other SIGBUS goes to the
// disposition that was in place before.
// volatile: the stores around the copy must happen, though the copy itself
// never reads the pointer.
thread_local sigjmp_buf* volatile t_busJump = nullptr;
struct sigaction g_prevBus;
std::once_flag g_busOnce;

void OnBus(int sig, siginfo_t* info, void* ctx) {
  if (sigjmp_buf* jump = t_busJump) {
    t_busJump = nullptr;
    siglongjmp(*jump, 1);
  }
  if ((g_prevBus.sa_flags & SA_SIGINFO) && g_prevBus.sa_sigaction) {
    g_prevBus.sa_sigaction(sig, info, ctx);
    return;
  }
  if (!(g_prevBus.sa_flags & SA_SIGINFO) && g_prevBus.sa_handler != SIG_DFL && g_prevBus.sa_handler != SIG_IGN) {
    g_prevBus.sa_handler(sig);
    return;
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void InstallBusHandler() {
  struct sigaction sa {};
  sa.sa_sigaction = OnBus;
  // SA_NODEFER: the jump out of the handler leaves SIGBUS unblocked without
  // saving and restoring the signal mask on every copy.
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGBUS, &sa, &g_prevBus);
}

// False when a page of the window was gone.
bool CopyFromWindow(void* dst, const char* src, size_t len, bool* ascii) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) return false;
  t_busJump = &jump;
  if (ascii) *ascii = IsAscii(src, len);
  std::memcpy(dst, src, len);
  t_busJump = nullptr;
  return true;
}

// Address space mapped past the file's end, so that a table growing by
// appends is followed without a new mapping per record.
constexpr uint64_t kMapSlack = 1 << 20;

}  // namespace

File::~File() { Close(); }

File::File(File&& o) noexcept { *this = std::move(o); }

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = std::exchange(o.fd_, -1);
    map_ = std::exchange(o.map_, nullptr);
    mapLen_ = std::exchange(o.mapLen_, 0);
    mapValid_ = std::exchange(o.mapValid_, 0);
    mapFailed_ = o.mapFailed_;
    mode_ = o.mode_;
    canRead_ = o.canRead_;
    canWrite_ = o.canWrite_;
    fdWritable_ = o.fdWritable_;
    pos_ = o.pos_;
    bytes_ = o.bytes_;
    serial_ = std::exchange(o.serial_, 0);
    path_ = std::move(o.path_);
    locks_ = std::move(o.locks_);
  }
  return *this;
}

int File::AcquireShare(int mode) {
  int share = mode & 0x70;
  bool denyRead = share == kShareDenyAll || share == kShareDenyRead;
  bool denyWrite = share == kShareDenyAll || share == kShareDenyWrite;
  // The guard makes test-and-reserve atomic among openers that can write.
  const Guard guard = fdWritable_ ? TakeGuard(fd_) : Guard::Unavailable;
  if (guard == Guard::Held) return kErrSharingViolation;
  const bool guarded = guard == Guard::Taken;
  bool conflict = (canRead_ && OfdHeldByOther(fd_, kShareBase + kDeniesRead, 1)) ||
                  (canWrite_ && OfdHeldByOther(fd_, kShareBase + kDeniesWrite, 1)) ||
                  (denyRead && OfdHeldByOther(fd_, kShareBase + kHasRead, 1)) ||
                  (denyWrite && OfdHeldByOther(fd_, kShareBase + kHasWrite, 1));
  int rc = kOk;
  if (conflict) {
    rc = kErrSharingViolation;
  } else {
    bool ok = true;
    if (canRead_) ok = ok && OfdLock(fd_, F_RDLCK, kShareBase + kHasRead, 1);
    if (canWrite_) ok = ok && OfdLock(fd_, F_RDLCK, kShareBase + kHasWrite, 1);
    if (denyRead) ok = ok && OfdLock(fd_, F_RDLCK, kShareBase + kDeniesRead, 1);
    if (denyWrite) ok = ok && OfdLock(fd_, F_RDLCK, kShareBase + kDeniesWrite, 1);
    if (!ok) rc = kErrSharingViolation;
  }
  if (guarded) OfdLock(fd_, F_UNLCK, kShareBase + kGuard, 1);
  return rc;
}

int File::OpenImpl(const std::string& path, int mode, bool create) {
  Close();
  path_ = ResolvePath(path);
  mode_ = mode;
  int access = mode & 0x07;
  if (access > kAccessReadWrite) return kErrInvalidAccess;
  canRead_ = create || access != kAccessWrite;
  canWrite_ = create || access != kAccessRead;
  if (int f = CheckFault(create ? FileOp::Create : FileOp::Open)) return f;
  // A read-write descriptor even for read-only opens where the file allows
  // it: write locks (byte ranges, the share guard) need one. Read-only is
  // then enforced here.
  int flags = O_RDWR | O_CLOEXEC;
  if (create) flags |= O_CREAT;
  int fd = ::open(path_.c_str(), flags, 0666);
  fdWritable_ = fd >= 0;
  // A running program's file cannot be opened for writing (ETXTBSY), yet
  // Windows lets anyone read it.
  const bool readOnlyWillDo = !create && !canWrite_;
  if (fd < 0 && readOnlyWillDo && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY)) {
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    int err = errno;
    path_.clear();
    if (err == ENOENT) {
      // Windows tells a missing directory from a missing file.
      auto slash = path.find_last_of("/\\");
      if (slash != std::string::npos && slash > 0 && !IsDirectory(ResolvePath(path.substr(0, slash))))
        return kErrPathNotFound;
    }
    return DosErrorFromErrno(err);
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    path_.clear();
    return kErrAccessDenied;
  }
  fd_ = fd;
  pos_ = 0;
  bytes_ = 0;
  serial_ = NextOpenSerial();
  if (int rc = AcquireShare(mode)) {
    ::close(fd_);
    fd_ = -1;
    path_.clear();
    return rc;
  }
  // Truncate only after the share check, so a refused create destroys nothing.
  if (create && ::ftruncate(fd_, 0) != 0) {
    int err = errno;
    Close();
    return DosErrorFromErrno(err);
  }
  return kOk;
}

int File::Open(const std::string& path, int mode) { return OpenImpl(path, mode, false); }

int File::AdoptNew(int fd, int mode) {
  fd_ = fd;
  fdWritable_ = true;
  mode_ = mode;
  canRead_ = canWrite_ = true;
  pos_ = 0;
  bytes_ = 0;
  serial_ = NextOpenSerial();
  if (int rc = AcquireShare(mode)) {
    Close();
    return rc;
  }
  return kOk;
}

namespace {

// Gives the unnamed file open as `fd` the name `path`: 0, or the errno of
// the last way tried. By the descriptor itself where the kernel lets this
// process (it lets its own unnamed files be linked since Linux 6.10, and a
// privileged process always), else through /proc, which may not be
// mounted.
int LinkUnnamed(int fd, const std::string& path) {
  if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return errno;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

}  // namespace

int File::CreateUnique(const std::string& dir, const std::string& prefix, int mode) {
  Close();
  std::string d = ResolvePath(dir);
  if (!d.empty() && d.back() != '/') d += '/';
  mode = kAccessReadWrite | (mode & 0x70);
  const int unnamed = ::open(d.empty() ? "." : d.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (unnamed < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return DosErrorFromErrno(errno);
  if (unnamed >= 0) {
    if (int rc = AdoptNew(unnamed, mode)) return rc;
  }
  // Without unnamed files, a reservation lost to another opener (one that
  // goes on to erase the file) costs the name; after sixteen such losses
  // something holds every new file, and the creation fails.
  int lost = 0;
  for (int attempt = 0; attempt < 65536 && lost < 16; ++attempt) {
    path_ = UniqueFileCandidate(d, prefix);
    int rc = CheckFault(FileOp::Create);
    if (rc == kOk && fd_ >= 0) {
      const int err = CheckFault(FileOp::Link) ? ENOENT : LinkUnnamed(fd_, path_);
      if (err == 0) return kOk;
      if (err == EEXIST) continue;
      // No way to name it here: a named file as where unnamed ones cannot
      // be made, under the same name (the failed link made nothing).
      Close();
    }
    if (rc == kOk) {
      const int fd = ::open(path_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) {
        rc = DosErrorFromErrno(errno);
      } else {
        if (AdoptNew(fd, mode) == kOk && IsNamed(path_)) return kOk;
        Close();
        ++lost;
        continue;
      }
    }
    Close();
    path_.clear();
    return rc;
  }
  Close();
  path_.clear();
  return lost ? kErrSharingViolation : kErrFileExists;
}

bool File::IsNamed(const std::string& path) const { return FdIsNamed(fd_, path); }

int File::Create(const std::string& path, int mode) {
  return OpenImpl(path, kAccessReadWrite | (mode & 0x70), true);
}

int File::Read(void* buf, size_t len, size_t* got) {
  *got = 0;
  if (fd_ < 0) return kErrInvalidHandle;
  if (!canRead_) return kErrAccessDenied;
  if (int f = CheckFault(FileOp::Read)) return f;
  auto* p = static_cast<char*>(buf);
  while (*got < len) {
    ssize_t n = ::pread(fd_, p + *got, len - *got, pos_ + off_t(*got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return DosErrorFromErrno(errno);
    }
    if (n == 0) break;
    *got += size_t(n);
  }
  pos_ += int64_t(*got);
  bytes_ += *got;
  return kOk;
}

int File::ReadExact(void* buf, size_t len) {
  size_t got = 0;
  if (int rc = Read(buf, len, &got)) return rc;
  return got == len ? kOk : kErrHandleEof;
}

int File::Write(const void* buf, size_t len) {
  if (fd_ < 0) return kErrInvalidHandle;
  if (!canWrite_ || !fdWritable_) return kErrAccessDenied;
  if (int f = CheckFault(FileOp::Write)) return f;
  auto* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd_, p + done, len - done, pos_ + off_t(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      pos_ += int64_t(done);
      return DosErrorFromErrno(errno);
    }
    done += size_t(n);
  }
  pos_ += int64_t(done);
  bytes_ += done;
  return kOk;
}

int File::ReadAt(int64_t pos, void* buf, size_t len, size_t* got) {
  if (int rc = Seek(pos)) {
    *got = 0;
    return rc;
  }
  return Read(buf, len, got);
}

int File::ReadAtMapped(int64_t pos, void* buf, size_t len, size_t* got, bool* ascii) {
  *got = 0;
  if (ascii) *ascii = false;
  if (fd_ < 0) return kErrInvalidHandle;
  if (!canRead_) return kErrAccessDenied;
  if (pos < 0) return kErrInvalidParameter;
  const uint64_t end = uint64_t(pos) + len;
  if ((!map_ || end > mapValid_) && !MapThrough(end)) return ReadAt(pos, buf, len, got);
  if (int f = CheckFault(FileOp::Read)) return f;
  if (!CopyFromWindow(buf, map_ + pos, len, ascii)) {
    Unmap();
    return ReadAt(pos, buf, len, got);
  }
  pos_ = int64_t(end);
  bytes_ += len;
  *got = len;
  return kOk;
}

void File::PrefetchMapped(int64_t pos, size_t len) const {
  if (!map_ || pos < 0 || uint64_t(pos) + len > mapValid_ || len == 0) return;
  constexpr uintptr_t kLine = 64;
  const uintptr_t first = reinterpret_cast<uintptr_t>(map_ + pos) & ~(kLine - 1);
  const uintptr_t last = reinterpret_cast<uintptr_t>(map_ + pos + len - 1);
  for (uintptr_t p = first; p <= last; p += kLine) __builtin_prefetch(reinterpret_cast<const void*>(p));
}

// Makes [0, end) readable through the mapping: takes in what the file grew
// by, or maps it anew when it grew past the mapping. False when the file
// ends before `end` or cannot be mapped.
bool File::MapThrough(uint64_t end) {
  if (mapFailed_) return false;
  const off_t fileSize = EndOfFile(fd_);
  if (fileSize < 0 || uint64_t(fileSize) < end) return false;
  const uint64_t size = uint64_t(fileSize);
  if (!map_ || size > mapLen_) {
    Unmap();
    const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
    const uint64_t want = (size + std::max(size / 4, kMapSlack) + page - 1) / page * page;
    void* p = ::mmap(nullptr, size_t(want), PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      mapFailed_ = true;
      return false;
    }
    std::call_once(g_busOnce, InstallBusHandler);
    map_ = static_cast<const char*>(p);
    mapLen_ = size_t(want);
  }
  mapValid_ = size;
  return true;
}

void File::Unmap() {
  if (map_) ::munmap(const_cast<char*>(map_), mapLen_);
  map_ = nullptr;
  mapLen_ = 0;
  mapValid_ = 0;
}

int File::WriteAt(int64_t pos, const void* buf, size_t len) {
  if (int rc = Seek(pos)) return rc;
  return Write(buf, len);
}

int File::Seek(int64_t pos) {
  if (fd_ < 0) return kErrInvalidHandle;
  if (pos < 0) return kErrInvalidParameter;
  if (int f = CheckFault(FileOp::Seek)) return f;
  pos_ = pos;
  return kOk;
}

int File::GetSize(int64_t* size) {
  *size = 0;
  if (fd_ < 0) return kErrInvalidHandle;
  if (int f = CheckFault(FileOp::Size)) return f;
  const off_t end = EndOfFile(fd_);
  if (end < 0) return DosErrorFromErrno(errno);
  *size = end;
  return kOk;
}

int File::Truncate(int64_t size) {
  if (fd_ < 0) return kErrInvalidHandle;
  if (!canWrite_ || !fdWritable_) return kErrAccessDenied;
  if (int f = CheckFault(FileOp::Truncate)) return f;
  Unmap();
  if (::ftruncate(fd_, size) != 0) return DosErrorFromErrno(errno);
  return kOk;
}

int File::Flush() {
  if (fd_ < 0) return kErrInvalidHandle;
  if (int f = CheckFault(FileOp::Flush)) return f;
  if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) return DosErrorFromErrno(errno);
  return kOk;
}

int File::GetTime(std::time_t* mtime) {
  *mtime = 0;
  if (fd_ < 0) return kErrInvalidHandle;
  struct stat st {};
  if (fstat(fd_, &st) != 0) return DosErrorFromErrno(errno);
  *mtime = st.st_mtime;
  return kOk;
}

void File::TakeAccessOf(const File& from) {
  struct stat st {};
  if (fd_ < 0 || from.fd_ < 0 || fstat(from.fd_, &st) != 0) return;
  // Whatever cannot be taken over stays as made.
  if (::fchown(fd_, st.st_uid, st.st_gid) != 0) (void)::fchown(fd_, uid_t(-1), st.st_gid);
  (void)::fchmod(fd_, st.st_mode & 07777);
}

int File::Lock(uint32_t offset, uint32_t length) {
  if (fd_ < 0) return kErrInvalidHandle;
  if (int f = CheckFault(FileOp::Lock)) return f;
  uint64_t start = offset, len = length ? length : 1;
  for (const auto& r : locks_)
    if (start < r.offset + r.length && r.offset < start + len) return kErrLockViolation;
  // A read-only descriptor can only take a shared lock; it still conflicts
  // with every exclusive lock of the writers.
  if (!OfdLock(fd_, fdWritable_ ? F_WRLCK : F_RDLCK, off_t(start), off_t(len))) {
    return (errno == EAGAIN || errno == EACCES) ? kErrLockViolation : DosErrorFromErrno(errno);
  }
  locks_.push_back({start, len});
  return kOk;
}

int File::Unlock(uint32_t offset, uint32_t length) {
  if (fd_ < 0) return kErrInvalidHandle;
  if (int f = CheckFault(FileOp::Unlock)) return f;
  uint64_t len = length ? length : 1;
  for (auto it = locks_.begin(); it != locks_.end(); ++it) {
    if (it->offset == offset && it->length == len) {
      OfdLock(fd_, F_UNLCK, off_t(offset), off_t(len));
      locks_.erase(it);
      return kOk;
    }
  }
  return kErrNotLocked;
}

bool File::IsLockedByOther(uint32_t offset, uint32_t length) const {
  if (fd_ < 0) return false;
  return OfdHeldByOther(fd_, off_t(offset), off_t(length ? length : 1));
}

void File::Close() {
  Unmap();
  mapFailed_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  locks_.clear();
  pos_ = 0;
}

}  // namespace plat
