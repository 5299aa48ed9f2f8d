// Record and table locks: byte-range locks far above the data (LockBase),
// a signal between cooperating programs that never stops anyone reading or
// writing records.
//   base byte   LockBase, 1 byte (the index layer's)
//   table lock  LockBase + 1, 1 byte (ALock, needed to append)
//   record n    LockBase + header length + (n - 1) * record length,
//               record length bytes (RLock)
#include <algorithm>

#include "platform/psys.h"
#include "tablebase/dbf4.h"
#include "tablebase/engineui.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace {

// Lock offsets keep the 32-bit arithmetic of the protocol: other programs
// compute them the same way.
uint32_t RecordLockPos(const WorkArea& a, int32_t rec) {
  return DbSettings().LockBase + a.HeaderLen + uint32_t(rec - 1) * a.RecLen;
}

bool TakesOsLocks(const WorkArea& a) { return DbSettings().SharedMode && !a.Exclusive; }

// Releases one record-lock entry; 0 or the release's error code.
int ReleaseEntry(WorkArea& a, size_t index) {
  RecordLockEntry e = a.RecLocks[index];
  a.RecLocks.erase(a.RecLocks.begin() + std::ptrdiff_t(index));
  int rc = 0;
  if (e.Tag == 0xFFFF && TakesOsLocks(a)) rc = OsLock(true, a.File, RecordLockPos(a, e.RecNo), a.RecLen);
  a.RecLockCount = uint16_t(a.RecLocks.size());
  if (a.RecLocks.empty() && a.LockState == kLockRecords) a.LockState = kLockNone;
  return rc;
}

}  // namespace

void SetLockRetries(uint8_t count, uint8_t delayMs) {
  DbSettings().LockRetries = count;
  DbSettings().LockRetryDelay = delayMs;
}

int OsLock(bool unlock, plat::File& f, uint32_t pos, uint32_t len) {
  if (!DbSettings().SharedMode) return 0;
  return unlock ? f.Unlock(pos, len) : f.Lock(pos, len);
}

void WaitTicks(uint32_t ms) {
  const uint32_t start = plat::TickCount();
  for (;;) {
    if (ms >= 10) Ui().ProcessMessages();
    uint32_t now = plat::TickCount();
    if (now < start || now - start >= ms) return;
    // Short slices keep the window responsive without spinning the CPU.
    plat::SleepMs(std::min<uint32_t>(ms - (now - start), 10));
  }
}

bool LockRegion(plat::File& f, uint32_t pos, uint32_t len) {
  const DbfSettings& s = DbSettings();
  uint32_t attempt = 0;
  do {
    int rc = OsLock(false, f, pos, len);
    if (rc == 0) return true;
    // Only a conflict with another lock can go away by waiting.
    if (rc != plat::kErrLockViolation) return false;
    if (attempt < s.LockRetries) WaitTicks(s.LockRetryDelay);
    ++attempt;
    if (attempt > s.LockRetries && s.LockRetryProc && s.LockRetryProc()) attempt = 0;
  } while (attempt <= s.LockRetries);
  return false;
}

bool LockBaseByte() {
  WorkArea* a = CheckDbInUse("LockBaseByte");
  if (!a) return false;
  if (!DbSettings().SharedMode) return true;
  return LockRegion(a->File, DbSettings().LockBase, 1);
}

void UnlockBaseByte() {
  WorkArea* a = CheckDbInUse("UnlockBaseByte");
  if (!a) return;
  if (int rc = OsLock(true, a->File, DbSettings().LockBase, 1))
    SetError(uint16_t(rc), "Error attempting to UNLOCK file " + a->FileName + " in Workarea " + IntText(CurrentArea()));
}

bool ALock() {
  WorkArea* a = CheckDbInUse("ALock");
  if (!a) return false;
  if (a->Virtual) {
    SetError(1100, " [ALock]");
    return false;
  }
  if (a->LockState == kLockTable) return true;
  if (a->LockState == kLockRecords) return false;
  if (TakesOsLocks(*a) && !LockRegion(a->File, DbSettings().LockBase + 1, 1)) return false;
  a->LockState = kLockTable;
  return true;
}

bool RLock() {
  WorkArea* a = CheckDbInUse("RLock");
  if (!a) return false;
  if (a->Virtual) {
    SetError(1100, " [RLock]");
    return false;
  }
  const int32_t rec = a->RecNo;
  if (a->LockState == kLockRecords &&
      std::any_of(a->RecLocks.begin(), a->RecLocks.end(), [&](const RecordLockEntry& e) { return e.RecNo == rec; }))
    return true;
  if (a->LockState == kLockTable) return false;
  const uint16_t limit = DbSettings().RecordLockLimit;
  if (limit != 0 && a->RecLockCount >= limit) {
    SetError(212, "Zaviv record lock limit exceeded [RLock]");
    return false;
  }
  RecordLockEntry e;
  e.RecNo = rec;
  if (TakesOsLocks(*a)) {
    if (!LockRegion(a->File, RecordLockPos(*a, rec), a->RecLen)) return false;
  } else {
    e.Tag = 0;  // no operating-system lock to release
  }
  a->RecLocks.push_back(e);
  a->LockState = kLockRecords;
  a->RecLockCount = uint16_t(a->RecLocks.size());
  return true;
}

bool IsLocked(int32_t rec) {
  WorkArea* a = CheckDbInUse("IsLocked");
  if (!a) return false;
  if (a->Virtual) {
    SetError(1100, "[IsLocked]");
    return false;
  }
  return std::any_of(a->RecLocks.begin(), a->RecLocks.end(), [&](const RecordLockEntry& e) { return e.RecNo == rec; });
}

bool UnlockRec(int32_t n) {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("UnlockRec");
  if (!a) return true;
  auto failWith220 = [](const std::string& msg) {
    LastErrorCode() = 220;
    LastErrorMessage() = msg;
    return false;
  };
  if (n >= 1) {
    auto it = std::find_if(a->RecLocks.begin(), a->RecLocks.end(), [&](const RecordLockEntry& e) { return e.RecNo == n; });
    if (it == a->RecLocks.end()) return failWith220("Record not locked. [UnlockRec(" + IntText(n) + ")]");
    int rc = ReleaseEntry(*a, size_t(it - a->RecLocks.begin()));
    LastErrorCode() = uint16_t(rc);
    return rc == 0;
  }
  if (n == -1 || n == -2) {
    if (a->RecLocks.empty()) return true;  // nothing held, nothing to release
    int rc = ReleaseEntry(*a, n == -1 ? 0 : a->RecLocks.size() - 1);
    LastErrorCode() = uint16_t(rc);
    return rc == 0;
  }
  if (n == -3) {
    int last = 0;
    while (!a->RecLocks.empty())
      if (int rc = ReleaseEntry(*a, 0)) last = rc;
    LastErrorCode() = uint16_t(last);
    return last == 0;
  }
  return failWith220("[UnlockRec(" + IntText(n) + ")]");
}

void Unlock() {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("Unlock");
  if (!a || a->Virtual || a->LockState == kLockNone) return;
  if (a->LockState == kLockRecords) {
    UnlockRec(-3);
  } else if (a->LockState == kLockTable && TakesOsLocks(*a)) {
    LastErrorCode() = uint16_t(OsLock(true, a->File, DbSettings().LockBase + 1, 1));
  }
  a->LockState = kLockNone;
}

int SetExclusive(bool on) {
  WorkArea* a = CheckDbInUse("SetExclusive");
  if (!a) return 215;
  if (a->Virtual) return 5;
  if (a->Exclusive && !a->ExclusiveByReopen) return 5;
  const uint16_t mode = on ? kExclusiveMode : DbSettings().DefaultShareMode;
  // Locks belong to the handle being replaced: give them up first, and get
  // the header up to date while the old handle can still write it.
  Unlock();
  CommitDbf(*a);
  // Our own handle would refuse the new share mode, so it closes first; when
  // the new mode cannot be had the table is opened again as it was.
  const uint8_t oldMode = a->OpenMode;
  a->File.Close();
  int rc = a->File.Open(a->FileName, mode);
  if (rc != 0) {
    if (a->File.Open(a->FileName, oldMode) != 0) SetError(uint16_t(rc), "Failure to open " + a->FileName + " [SetExclusive]");
    return rc;
  }
  a->OpenMode = uint8_t(mode);
  // Records other programs appended until now are counted before the area
  // stops looking at the file size (its appends would overwrite them).
  RefreshRecCount(*a);
  a->ExclusiveByReopen = on;
  a->Exclusive = on;
  LastErrorCode() = 0;
  return 0;
}
