// Files as the engine expects them from Windows: open modes with access and
// share bits, DOS error numbers, exclusive byte-range locks owned by the
// handle. Share modes and locks are emulated with open-file-description
// locks (F_OFD_SETLK), which like Windows locks belong to the handle, so two
// handles of one process conflict.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace plat {

// DOS/Windows error numbers the engine and its callers use.
enum DosError : int {
  kOk = 0,
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyFiles = 4,
  kErrAccessDenied = 5,
  kErrInvalidHandle = 6,
  kErrNotEnoughMemory = 8,
  kErrInvalidAccess = 12,
  kErrNoMoreFiles = 18,
  kErrWriteProtect = 19,
  kErrReadFault = 30,
  kErrGeneralFailure = 31,
  kErrSharingViolation = 32,
  kErrLockViolation = 33,
  kErrHandleEof = 38,
  kErrFileExists = 80,
  kErrInvalidParameter = 87,
  kErrDiskFull = 112,
  kErrInvalidName = 123,
  kErrDirNotEmpty = 145,
  kErrNotLocked = 158,
  kErrAlreadyExists = 183,
};

// Maps an errno value to the DOS error number Windows would report.
int DosErrorFromErrno(int err);

// The runtime's file-mode byte: access in bits 0..2, sharing in bits 4..6.
// Compatibility mode (share bits 0) behaves as deny-none.
enum OpenMode : int {
  kAccessRead = 0x00,
  kAccessWrite = 0x01,
  kAccessReadWrite = 0x02,
  kShareCompat = 0x00,
  kShareDenyAll = 0x10,
  kShareDenyWrite = 0x20,
  kShareDenyRead = 0x30,
  kShareDenyNone = 0x40,
};

enum class FileOp { Open, Create, Read, Write, Seek, Size, Truncate, Flush, Lock, Unlock, Rename, Erase, Link };

// Test seam: when installed, it is asked before every operation of every
// File; a non-zero answer fails that operation with that DOS error.
// `bytesSoFar` is the number of bytes the handle has read or written so far.
using FileFaultHook = std::function<int(FileOp op, const std::string& path, uint64_t bytesSoFar)>;
// Renames and erasures (Rename, Erase, with the name they act on) and
// directory syncs (Flush, with the directory's name) ask it too, and so
// does the naming of an unnamed new file (Link, with the name), which
// after any failure makes the file named instead (see CreateUnique).
void SetFileFaultHook(FileFaultHook hook);
// Asks the installed hook about an operation on a name rather than on an
// open File: 0 to go on, or the error to fail it with.
int FileFault(FileOp op, const std::string& path);

// An open file. Every routine returns 0 or a DOS error number and leaves
// the handle usable after a failure. Not copyable; closing releases the
// handle's locks and share reservation.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file with a file-mode byte (see OpenMode). The name
  // is resolved case-insensitively. A share conflict with another open
  // handle (of any process) gives kErrSharingViolation, and so does another
  // program's lock over the whole file, which covers the share reservation:
  // an open waits at most a moment, never for a lock to go.
  int Open(const std::string& path, int mode);
  // Creates the file, or truncates an existing one, open for reading and
  // writing with the share bits of `mode`.
  int Create(const std::string& path, int mode = kAccessReadWrite | kShareDenyNone);
  // Creates a new file named UniqueFileCandidate(dir, prefix), open for
  // reading and writing with the share bits of `mode`. The name appears
  // only with the share reservation already held (the file is made unnamed
  // and then linked in), so whoever tests the reservation before touching
  // such a file never finds a new one unreserved. Where the file system
  // cannot make unnamed files, or where this process cannot name one (no
  // right to link by descriptor, and no /proc), the file is reserved right
  // after it is created under its name; a reservation that came too late
  // (someone took the file or the name meanwhile) is given up for another
  // name.
  int CreateUnique(const std::string& dir, const std::string& prefix, int mode);
  // Whether `path`, exactly as written and not through a link, names the
  // file open here.
  bool IsNamed(const std::string& path) const;
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  int Mode() const { return mode_; }
  // Tells one opening from another: every Open or Create gives the handle
  // a number no other opening in this process had, so what was learnt of
  // a file's contents can be tied to the opening it came from.
  uint64_t OpenSerial() const { return serial_; }

  // Reads up to `len` bytes at the current position; a short read at the
  // end of the file is not an error (`*got` tells).
  int Read(void* buf, size_t len, size_t* got);
  // Reads exactly `len` bytes or fails with kErrHandleEof.
  int ReadExact(void* buf, size_t len);
  int Write(const void* buf, size_t len);
  int ReadAt(int64_t pos, void* buf, size_t len, size_t* got);
  // ReadAt for reads that repeat, a table's records and an index's nodes:
  // served from a shared mapping of the whole file, so a walk or a jump
  // costs no system call and still sees at once what other processes wrote
  // (one page cache). The mapping follows the file's growth. Reads past the
  // end of the file, files that cannot be mapped and pages another program
  // cut off by shortening the file go to ReadAt. When `ascii` is given it
  // tells whether every byte read is below 0x80, as IsAscii would (false
  // also when the bytes came through ReadAt, where nothing looked at them).
  int ReadAtMapped(int64_t pos, void* buf, size_t len, size_t* got, bool* ascii = nullptr);
  // Tells the processor that [pos, pos + len) will soon be read through
  // the mapping, so that its cache lines come in meanwhile. Only a hint:
  // nothing is read, no fault can follow, and bytes outside the mapping as
  // last seen are passed over.
  void PrefetchMapped(int64_t pos, size_t len) const;
  int WriteAt(int64_t pos, const void* buf, size_t len);
  int Seek(int64_t pos);
  int64_t Tell() const { return pos_; }
  int GetSize(int64_t* size);
  // Sets the end of the file at `size`.
  int Truncate(int64_t size);
  int Flush();
  // Modification time of the open file (seconds since the epoch).
  int GetTime(std::time_t* mtime);
  // Gives this file the permission bits, group and owner of `from`, as far
  // as the caller may change them (the owner only for a privileged caller),
  // so that a file put in another's place lets in whom that one did.
  void TakeAccessOf(const File& from);

  // Exclusive, non-blocking byte-range locks with Windows semantics: a range
  // that overlaps a lock of another handle, or one this handle already
  // holds, fails with kErrLockViolation; Unlock needs exactly a range that
  // was locked (else kErrNotLocked).
  int Lock(uint32_t offset, uint32_t length);
  int Unlock(uint32_t offset, uint32_t length);
  // True when another handle (of any process) holds a lock overlapping the
  // range. Locks are advisory on Linux, so readers that must respect a lock
  // test it first.
  bool IsLockedByOther(uint32_t offset, uint32_t length) const;

  void Close();
  int Fd() const { return fd_; }

 private:
  int CheckFault(FileOp op);
  int AskFaultHook(FileOp op);
  bool MapThrough(uint64_t end);
  void Unmap();
  int AcquireShare(int mode);
  int OpenImpl(const std::string& path, int mode, bool create);
  // Makes a newly created descriptor this handle's, with the share
  // reservation of `mode`; closes it when that fails.
  int AdoptNew(int fd, int mode);

  struct Range {
    uint64_t offset, length;
  };
  int fd_ = -1;
  // The mapping of ReadAtMapped, from offset 0: mapLen_ bytes of address
  // space, of which the first mapValid_ lay inside the file when last seen.
  const char* map_ = nullptr;
  size_t mapLen_ = 0;
  uint64_t mapValid_ = 0;
  bool mapFailed_ = false;
  int mode_ = 0;
  bool canRead_ = false;
  bool canWrite_ = false;
  bool fdWritable_ = false;
  int64_t pos_ = 0;
  uint64_t bytes_ = 0;
  uint64_t serial_ = 0;
  std::string path_;
  std::vector<Range> locks_;
};

}  // namespace plat
