// The index semaphore file: logins, read brackets and write brackets of the
// programs sharing a table's index.
#include "tables/mdx/tzndx_sema.h"

#include <utility>
#include <vector>

#include "platform/byteorder.h"
#include "platform/pfile.h"
#include "platform/pfs.h"
#include "platform/psys.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

// One logged-in area: the open semaphore file and the record as this area
// last read or wrote it.
struct SemaphoreArea {
  plat::File File;
  std::string Name;
  uint8_t Users = 0;
  uint8_t Activity = 0;
  uint16_t Counter = 0;
  uint16_t OwnCounter = 0;    // the counter this area last synchronised with
  bool RegionLocked = false;  // this area holds bytes 1..4
  bool Reader = false;        // this area's read bracket is counted in the file
  int32_t ReadNesting = 0;
  int32_t LockNesting = 0;
};

namespace {

constexpr size_t kRecordSize = 4;
constexpr uint32_t kRegionPos = 1;
constexpr uint32_t kRegionLen = 4;
// About ten seconds of attempts at a region lock or the table's lock byte.
constexpr int kLockAttempts = 1001;
constexpr uint32_t kLockWaitMs = 10;
constexpr uint8_t kMaxReaders = 127;
constexpr uint16_t kCounterWrap = 65535;  // the counter never holds this value
constexpr int kDiskReadError = 100;       // a record cut short
constexpr const char* kOpNames[] = {"LOGIN", "LOGOUT", "INCREAD", "DECREAD", "LOCKSEMAPHORE", "UNLOCKSEMAPHORE"};

SemaphoreState& S() { return Engine().sema; }

bool Fail(int code, const std::string& msg) {
  SetError(uint16_t(code), msg);
  return false;
}

int ReadRecord(SemaphoreArea& s) {
  uint8_t rec[kRecordSize];
  size_t got = 0;
  if (int rc = s.File.ReadAt(0, rec, kRecordSize, &got)) return rc;
  if (got < kRecordSize) return kDiskReadError;
  s.Users = rec[0];
  s.Activity = rec[1];
  s.Counter = plat::readLE16(rec + 2);
  return 0;
}

int WriteRecord(SemaphoreArea& s) {
  uint8_t rec[kRecordSize] = {s.Users, s.Activity};
  plat::writeLE16(rec + 2, s.Counter);
  return s.File.WriteAt(0, rec, kRecordSize);
}

// Up to kLockAttempts tries, kLockWaitMs apart; 0 or the last lock code.
int LockWithRetries(plat::File& f, uint32_t pos, uint32_t len) {
  int rc = 0;
  for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
    rc = OsLock(false, f, pos, len);
    if (rc == 0 || attempt == kLockAttempts) break;
    WaitTicks(kLockWaitMs);
  }
  return rc;
}

// The operation being performed on one area's semaphore state, for the
// steps every operation shares and the messages that name it.
class SemaphoreOpOn {
 public:
  SemaphoreOpOn(SemaphoreArea& s, uint8_t op) : s_(s), op_(kOpNames[op]) {}

  bool LockRegion() {
    if (int rc = LockWithRetries(s_.File, kRegionPos, kRegionLen))
      return Fail(1202, "10 second timeout: Cannot lock index semaphore file: " + s_.Name + " " + op_ +
                            "\r\nPossible cause: Network lock limit exceeded\r\n" + " Lock result code: " + IntText(rc));
    s_.RegionLocked = true;
    return true;
  }
  void UnlockRegion() {
    if (!s_.RegionLocked) return;
    s_.RegionLocked = false;
    if (int rc = OsLock(true, s_.File, kRegionPos, kRegionLen))
      SetError(uint16_t(rc), "Cannot unlock index semaphore file: " + s_.Name + " " + op_);
  }
  // A failed read or write gives up the region: a failing operation leaves
  // nothing locked.
  bool Read() {
    if (int rc = ReadRecord(s_)) return Abandon(rc, "Cannot read: ");
    return true;
  }
  bool Write() {
    if (int rc = WriteRecord(s_)) return Abandon(rc, "Cannot write to: ");
    return true;
  }
  bool Abandon(int code, const std::string& what) {
    UnlockRegion();
    return Fail(code, what + s_.Name + " " + op_);
  }
  const std::string& Name() const { return op_; }

 private:
  SemaphoreArea& s_;
  std::string op_;
};

// The table's lock byte serialises logins and logouts of all programs.
class TableByteLock {
 public:
  TableByteLock(WorkArea& a, const std::string& fileName, const std::string& op) {
    locked_ = LockWithRetries(a.File, DbSettings().LockBase, 1) == 0;
    if (!locked_) Fail(1202, "Cannot lock database for: " + fileName + " Action=" + op + " [Database Semaphore]");
  }
  ~TableByteLock() {
    if (locked_) UnlockBaseByte();
  }
  TableByteLock(const TableByteLock&) = delete;
  TableByteLock& operator=(const TableByteLock&) = delete;
  bool Locked() const { return locked_; }

 private:
  bool locked_;
};

// A file that is not from today, or too short to hold the record, may be
// the leftover of a program that ended without logging out (or died while
// creating it); nobody holding it open proves it is unused.
bool MaybeStale(const std::string& name) {
  if (!FileIsFromToday(name)) return true;
  std::vector<plat::FindData> found;
  return plat::FindFiles(name, 0, found) != plat::kOk || found.front().size < int64_t(kRecordSize);
}

// Opens the semaphore file for the new login. Sets `created` when the file
// was made anew (its record is then zero).
bool OpenForLogin(SemaphoreArea& s, SemaphoreOpOn& op, bool& created) {
  created = false;
  int rc = plat::kErrSharingViolation;  // a file in use
  if (MaybeStale(s.Name)) {
    plat::File probe;
    rc = probe.Open(s.Name, plat::kAccessRead | plat::kShareDenyAll);
    if (rc == plat::kOk || rc == plat::kErrFileNotFound) {
      probe.Close();
      rc = s.File.Create(s.Name, plat::kAccessReadWrite | plat::kShareDenyAll);
    }
  }
  const std::string action = " Action=" + op.Name() + " [Database Semaphore]";
  if (rc == plat::kOk) {
    if (int w = WriteRecord(s)) {
      s.File.Close();
      return Fail(w, "Cannot write to: " + s.Name + action);
    }
    s.File.Close();
    if (int o = s.File.Open(s.Name, plat::kAccessReadWrite | plat::kShareDenyNone))
      return Fail(o, "Cannot open: " + s.Name + action);
    created = true;
    return op.LockRegion();
  }
  switch (rc) {
    case 3: case 5: case 32: case 150: case 162: case 163:
      break;
    default:
      return Fail(rc, "Cannot open/create: " + s.Name + " " + op.Name());
  }
  if (int o = s.File.Open(s.Name, plat::kAccessReadWrite | plat::kShareDenyNone))
    return Fail(o, "Cannot open: " + s.Name + " " + op.Name());
  if (!op.LockRegion()) return false;
  plat::SleepMs(5);
  return op.Read();
}

bool Login(WorkArea& a, uint8_t area) {
  if (S().Areas[area]) return true;
  auto s = std::make_shared<SemaphoreArea>();
  s->Name = SemaphoreFileName(a.FileName);
  SemaphoreOpOn op(*s, kSemLogin);
  TableByteLock tableLock(a, s->Name, op.Name());
  if (!tableLock.Locked()) return false;
  bool created = false;
  if (!OpenForLogin(*s, op, created)) return false;
  ++s->Users;
  if (!op.Write()) return false;
  op.UnlockRegion();
  s->OwnCounter = s->Counter;
  S().Areas[area] = std::move(s);
  return true;
}

// The area leaves the protocol whatever happens to the file: a user the file
// keeps counting is what a program that ended abnormally leaves too, while
// a login kept by the area would serve the next table opened in it.
bool Logout(WorkArea& a, uint8_t area) {
  std::shared_ptr<SemaphoreArea> s = std::move(S().Areas[area]);
  SemaphoreOpOn op(*s, kSemLogout);
  TableByteLock tableLock(a, s->Name, op.Name());
  if (!tableLock.Locked() || !op.LockRegion() || !op.Read()) return false;
  if (s->Reader && s->Activity > 0) --s->Activity;
  if (s->Users > 0) --s->Users;
  if (!op.Write()) return false;
  op.UnlockRegion();
  s->File.Close();
  if (s->Users == 0) EraseFile(s->Name);
  return true;
}

// One level of a bracket's nesting, taken back on every way out (a report
// that raises included) unless the bracket opened: a bracket that failed
// to open is not open, and a count left behind would pass the next
// opening over the file.
class NestingStep {
 public:
  explicit NestingStep(int32_t& n) : n_(n) { ++n_; }
  ~NestingStep() {
    if (!kept_) --n_;
  }
  NestingStep(const NestingStep&) = delete;
  NestingStep& operator=(const NestingStep&) = delete;
  bool Outermost() const { return n_ == 1; }
  bool Keep() {
    kept_ = true;
    return true;
  }

 private:
  int32_t& n_;
  bool kept_ = false;
};

// This area's reader in the file's activity count: counted (INCREAD) or
// taken back (DECREAD).
bool CountReader(SemaphoreArea& s, SemaphoreOpOn& op, bool inc) {
  // The writer reads under its own mark.
  if (s.RegionLocked || s.Reader == inc) return true;
  if (!op.LockRegion() || !op.Read()) return false;
  if (inc && s.Activity < kMaxReaders) ++s.Activity;
  if (!inc && s.Activity > 0) --s.Activity;
  if (!op.Write()) return false;
  // Only a count that reached the file is this area's to take back.
  s.Reader = inc;
  op.UnlockRegion();
  return true;
}

bool IncDecRead(SemaphoreArea& s, uint8_t opCode) {
  SemaphoreOpOn op(s, opCode);
  if (opCode == kSemIncRead) {
    NestingStep opening(s.ReadNesting);
    return (!opening.Outermost() || CountReader(s, op, true)) && opening.Keep();
  }
  if (--s.ReadNesting < 0) {
    s.ReadNesting = 0;
    return Fail(254, "Unbalanced IncRead/DecRead for semaphore file: " + s.Name + " " + op.Name());
  }
  return s.ReadNesting > 0 || CountReader(s, op, false);
}

// What this area's read bracket adds to the activity count.
uint8_t OwnReadCount(const SemaphoreArea& s) { return s.Reader ? 1 : 0; }

bool LockSemaphore(SemaphoreArea& s) {
  SemaphoreOpOn op(s, kSemLock);
  NestingStep opening(s.LockNesting);
  if (!opening.Outermost() || s.RegionLocked) return opening.Keep();
  const uint32_t start = plat::TickCount();
  const uint32_t limitMs = uint32_t(S().LockSemaphoreTimeout) * 1000;
  auto timedOut = [&] { return limitMs != 0 && plat::TickCount() - start > limitMs; };
  auto timeoutError = [&] {
    op.UnlockRegion();
    return Fail(1202, IntText(S().LockSemaphoreTimeout) + " second timeout, cannot read: " + s.Name + "\r\n" +
                          "Possible cause: Other user's program has terminated abnormally." + "\r\n" +
                          "Cure: Log all users of this application off the network," + "\r\n" + "then delete " +
                          s.Name);
  };
  // Only a retry waits: an idle file lets the writer through at once, where
  // a wait before the first read would cost every shared write a tick.
  bool retry = false;
  for (;;) {
    // Other programs cannot read the record while a writer holds the region
    // (their locks stop reads of locked bytes); ours are advisory, so the
    // region is tested first. Waiting here keeps a writer's wait for another
    // writer under the time-out rather than the region lock's ten seconds.
    for (;;) {
      if (std::exchange(retry, true)) WaitTicks(1);
      if (!s.File.IsLockedByOther(0, kRecordSize) && ReadRecord(s) == 0) break;
      if (timedOut()) return timeoutError();
    }
    if (!op.LockRegion() || !op.Read()) return false;
    // A write inside this area's own read bracket waits only for the
    // others; counting itself it would wait for ever.
    if (s.Activity <= OwnReadCount(s)) break;
    op.UnlockRegion();
    if (timedOut()) return timeoutError();
  }
  s.Activity = 1;
  return op.Write() && opening.Keep();
}

bool UnlockSemaphore(SemaphoreArea& s) {
  SemaphoreOpOn op(s, kSemUnlock);
  if (--s.LockNesting < 0) {
    s.LockNesting = 0;
    return Fail(254, "Unbalanced Lock/Unlock for semaphore file: " + s.Name + " " + op.Name());
  }
  if (s.LockNesting > 0 || !s.RegionLocked) return true;
  if (!op.Read()) return false;
  s.Counter = uint16_t(s.Counter + 1 >= kCounterWrap ? 0 : s.Counter + 1);
  s.Activity = OwnReadCount(s);
  if (!op.Write()) return false;
  op.UnlockRegion();
  s.OwnCounter = s.Counter;
  return true;
}

// The hook procedures' own nesting: the file operation runs when the
// outermost bracket opens and when it closes; an opening that failed
// counts nothing.
[[gnu::noinline]] bool CountedBracket(bool take, int32_t& n, uint8_t open, uint8_t close, const char* proc) {
  if (take) {
    if (n == 0 && !HandleSemafore(open)) return false;
    ++n;
    return true;
  }
  if (--n < 0) {
    n = 0;
    return Fail(254, std::string("Non-symmetrical Lock-Unlock [") + proc + "]");
  }
  return n > 0 || HandleSemafore(close);
}

// An area not logged in to a semaphore file (an exclusive table, an
// in-memory one) only counts its brackets, in line: every move in key order
// takes one.
bool HookBracket(bool take, std::array<int32_t, kAreaSlots + 1>& nesting, uint8_t open, uint8_t close,
                 const char* proc) {
  const uint8_t area = CurrentArea();
  int32_t& n = nesting[area];
  if (area <= kAreaSlots - 1 && !S().Areas[area] && (take || n > 0)) {
    n += take ? 1 : -1;
    return true;
  }
  return CountedBracket(take, n, open, close, proc);
}

}  // namespace

std::string SemaphoreFileName(const std::string& tableName) {
  std::string name = ForceExtension(tableName, "@S@");
  std::string dir = S().SemaphoreDirectory;
  if (dir.empty()) return name;
  if (dir.back() != '/' && dir.back() != '\\') dir += '/';
  std::string tableDir, base, ext;
  FSplit(name, tableDir, base, ext);
  return dir + base + ext;
}

bool HandleSemafore(uint8_t op) {
  const uint8_t area = CurrentArea();
  if (area > kAreaSlots - 1)
    return Fail(254, "Work area [" + IntText(area) + "] out of range. [HandleSemafore]");
  WorkArea* a = CurrentWorkArea();
  std::shared_ptr<SemaphoreArea>& s = S().Areas[area];
  // An area that logged in while shared still logs out after its table was
  // reopened exclusively, or its user would stay counted.
  if (op == kSemLogout && s && a) return Logout(*a, area);
  if (!a || a->Exclusive || a->Virtual) return true;
  if (op == kSemLogin) return Login(*a, area);
  if (!s) return true;
  switch (op) {
    case kSemIncRead:
    case kSemDecRead:
      return IncDecRead(*s, op);
    case kSemLock:
      return LockSemaphore(*s);
    case kSemUnlock:
      return UnlockSemaphore(*s);
    default:
      return true;
  }
}

bool SetReadSemaphoreProc(bool take) {
  return HookBracket(take, S().ReadHookNesting, kSemIncRead, kSemDecRead, "SetReadSemaphoreProc");
}

bool SetLockSemaphoreProc(bool take) {
  return HookBracket(take, S().LockHookNesting, kSemLock, kSemUnlock, "SetLockSemaphoreProc");
}

bool SemaphoreCounterChanged() {
  SemaphoreArea* sp = S().Areas[CurrentArea()].get();
  if (!sp) return false;
  SemaphoreArea& s = *sp;
  if (s.Counter == s.OwnCounter) return false;
  s.OwnCounter = s.Counter;
  return true;
}
