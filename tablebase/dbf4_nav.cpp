// Movement of the current record (natural order, or index order through
// the index hooks), visibility (deleted records, filters), the WHILE scope,
// relations, and the record commands.
#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "tablebase/dbf4.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

// Index hook calls that tolerate an entry the index layer left empty.
IndexHooks& Ix() { return Hooks().Index; }
void IxCall(const std::function<void()>& f) {
  if (f) f();
}
int32_t IxRec(const std::function<int32_t()>& f, int32_t dflt) { return f ? f() : dflt; }
bool IxBool(const std::function<bool()>& f, bool dflt) { return f ? f() : dflt; }
void ReadBracket(bool on) {
  if (Ix().ReadSemaphore) Ix().ReadSemaphore(on);
}
void WriteBracket(bool on) {
  if (Ix().LockSemaphore) Ix().LockSemaphore(on);
}

// An index bracket, the read bracket (ReadBracket) or the write bracket
// (WriteBracket), around one command: opened at construction when the
// command needs it, closed exactly once, explicitly or on the way out.
// REQUIRES: no error pending at construction.
// A bracket whose opening failed is not open (the index layer counts
// nothing for it): its error stays pending, Failed() tells, and the command
// stops there; a write without the write bracket would change a shared
// index under other programs' readers. Closing reports its failure as any
// engine error (raised when errors raise); after the command already
// failed, or while an exception is on its way (a second one could not
// leave a destructor), it closes quietly and the first failure stays the
// one reported.
class BracketScope {
 public:
  BracketScope(void (*bracket)(bool on), bool on) : bracket_(on ? bracket : nullptr) {
    if (!bracket_) return;
    bracket_(true);
    if (LastErrorCode() != 0) {
      failed_ = true;
      bracket_ = nullptr;
    }
  }
  ~BracketScope() noexcept(false) {
    if (bracket_) Close(std::uncaught_exceptions() != 0);
  }
  bool Failed() const { return failed_; }
  // `unwinding`: an exception is on its way (only the destructor can tell;
  // the question costs a call into the runtime on every move).
  void Close(bool unwinding = false) {
    void (*bracket)(bool) = std::exchange(bracket_, nullptr);
    if (!bracket) return;
    if (LastErrorCode() == 0 && !unwinding)
      bracket(false);
    else
      RunKeepingError([bracket] { bracket(false); });
  }
  BracketScope(const BracketScope&) = delete;
  BracketScope& operator=(const BracketScope&) = delete;

 private:
  void (*bracket_)(bool);
  bool failed_ = false;
};

// A variable-length in-memory record keeps its flag after the 16-bit length.
bool Deleted(const WorkArea& a) {
  if (!a.Virtual) return a.Rec[0] == '*';
  return a.Rec[a.RecLen == 0 ? 2 : 0] != 0;
}

// Reads record `recno` and loads the typed buffer; false on a read error.
// REQUIRES: `a` is the current area.
bool ReadAndLoad(WorkArea& a, int32_t recno) {
  GetDbfRecord(a, recno);
  if (LastErrorCode() != 0) return false;
  if (!a.Virtual && a.Typed) UnpackRecord(a, a.Typed);
  return true;
}

// RecordVisible, WhileTrue and RunAfterMove for the current area `a`, with
// what a walk meets at every record decided in line: no rule set.
bool Visible(const WorkArea& a) { return (!a.IgnoreDeleted && !a.FilterProc && !a.FilterExpr) || RecordVisible(); }
bool InScope(const WorkArea& a) { return (!a.WhileProc && !a.WhileExpr) || WhileTrue(); }
void AfterMoveOf(const WorkArea& a) {
  if (a.AfterMove) RunAfterMove();
}

// The phantom record past the end.
void GoEOFBlank(WorkArea& a) {
  ClearRecord();
  a.RecNo = a.RecCount + 1;
  a.Bof = a.Eof = true;
}

bool InLockList(const WorkArea& a, int32_t rec) {
  return std::any_of(a.RecLocks.begin(), a.RecLocks.end(), [&](const RecordLockEntry& e) { return e.RecNo == rec; });
}

// A changed record no longer matches a cached copy.
void DropPeekCopy(const WorkArea& a, int32_t rec) {
  PeekCache& pc = Db().Peek;
  if (pc.Alias == a.Alias && rec >= pc.First && rec < pc.First + pc.Count) pc = PeekCache{};
}

}  // namespace

void RefreshRecCount(WorkArea& a) {
  if (a.Exclusive || a.Virtual || a.RecLen == 0) return;
  int64_t size = 0;
  if (a.File.GetSize(&size) != 0) return;
  int64_t n = size > a.HeaderLen ? (size - a.HeaderLen) / a.RecLen : 0;
  // An area past the end stays past the end: records other programs
  // appended meanwhile are theirs, never the phantom's blank buffer.
  const bool pastEnd = a.RecNo > a.RecCount;
  a.RecCount = n > INT32_MAX - 1 ? INT32_MAX - 1 : int32_t(n);
  if (pastEnd && a.RecNo <= a.RecCount) a.RecNo = a.RecCount + 1;
}

bool RecordVisible() {
  WorkArea* a = CurrentWorkArea();
  if (!a) return false;
  if (a->IgnoreDeleted && Deleted(*a)) return false;
  if (!a->FilterProc && !a->FilterExpr) return true;
  AreaScope keep(CurrentArea());
  if (a->FilterProc) return a->FilterProc();
  if (a->FilterExpr && Hooks().Expr.Evaluate) {
    const uint8_t* r = Hooks().Expr.Evaluate(a->FilterExpr);
    return r && r[0] != 0;
  }
  return true;
}

bool WhileTrue() {
  WorkArea* a = CurrentWorkArea();
  if (!a || (!a->WhileProc && !a->WhileExpr)) return true;
  AreaScope keep(CurrentArea());
  bool result = true;
  if (a->WhileProc) result = a->WhileProc();
  if (a->WhileExpr && Hooks().Expr.Evaluate) {
    const uint8_t* r = Hooks().Expr.Evaluate(a->WhileExpr);
    result = r && r[0] != 0;
  }
  return result;
}

bool IsWhileOn() {
  const WorkArea* a = CheckDbInUse("IsWhileOn");
  return a && (a->WhileProc || a->WhileExpr);
}

void RunAfterMove() {
  WorkArea* a = CurrentWorkArea();
  if (!a || !a->AfterMove) return;
  const uint8_t area = CurrentArea();
  std::function<void()> proc = std::move(a->AfterMove);
  a->AfterMove = nullptr;  // no recursion through the procedure's own moves
  const int32_t rec = a->RecNo;
  uint8_t* found = Ix().FoundFlag;
  const uint8_t savedFound = found ? *found : 0;
  proc();
  Db().CurrentArea = area;
  if (found) *found = savedFound;
  a = CurrentWorkArea();
  if (!a) return;
  if (!a->AfterMove) a->AfterMove = std::move(proc);
  if (LastErrorCode() == 0 && a->RecNo != rec) LastErrorCode() = 224;
  if (uint16_t code = LastErrorCode()) SetError(code, a->FileName);
}

namespace {

// The after-move step of GO and of the record commands, which runs whether
// or not the command's read or write failed. A failure stays the command's
// result: the procedure runs with no error pending, so that its own engine
// calls (which clear the last code) cannot turn the failure into success
// and the failure is not reported again under the file name.
void RunAfterMoveKeepingFailure() {
  const uint16_t code = LastErrorCode();
  if (code == 0) {
    RunAfterMove();
    return;
  }
  std::string message = LastErrorMessage();
  LastErrorCode() = 0;
  RunAfterMove();
  LastErrorCode() = code;
  LastErrorMessage() = std::move(message);
}

}  // namespace

std::function<void()> SetRelation(std::function<void()> proc) {
  WorkArea* a = CurrentWorkArea();
  if (!a) return {};
  std::function<void()> old = std::move(a->AfterMove);
  a->AfterMove = std::move(proc);
  if (a->AfterMove) RunAfterMove();
  return old;
}

namespace {

// The first failure the index reports during a move (a damaged tree).
// The move then ends as at the index's end, so that a walk watching only
// EOF or BOF stops, and that failure stays the command's result: what runs
// after it (reading the record the area stands on, GoTop, the after-move
// procedure) must neither turn it into success nor report it again under
// another text.
class IndexFailure {
 public:
  // True once the index has failed. REQUIRES: no other error pending.
  bool Check() {
    if (code_ == 0 && LastErrorCode() != 0) {
      code_ = LastErrorCode();
      message_ = LastErrorMessage();
    }
    return code_ != 0;
  }
  explicit operator bool() const { return code_ != 0; }
  void Restore() const {
    if (code_ == 0) return;
    LastErrorCode() = code_;
    LastErrorMessage() = message_;
  }

 private:
  uint16_t code_ = 0;
  std::string message_;
};

// The first or last record in index order into `recno`. When the index
// holds none, or fails, the area goes to the end of file, the bracket is
// closed before the after-move procedure runs, and the answer is false.
bool IndexEndRecord(WorkArea& a, const std::function<int32_t()>& entry, BracketScope& bracket, int32_t& recno) {
  recno = IxRec(entry, a.RecCount + 1);
  if (recno >= 1 && recno <= a.RecCount && LastErrorCode() == 0) return true;
  GoEOFBlank(a);
  bracket.Close();
  RunAfterMoveKeepingFailure();
  return false;
}

}  // namespace

void GoTop() {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("GoTop");
  if (!a || a->RecCount < 1) return;
  const bool indexed = IndexActive();
  int32_t recno = 1;
  {
    BracketScope bracket(ReadBracket, indexed);
    if (bracket.Failed()) return;
    if (indexed && !IndexEndRecord(*a, Ix().TopRec, bracket, recno)) return;
    if (!ReadAndLoad(*a, recno)) return;
    while (!RecordVisible() && !a->Eof && LastErrorCode() == 0) {
      int32_t next;
      if (indexed) {
        next = IxRec(Ix().NextRec, a->RecCount + 1);
        if (LastErrorCode() != 0 || IxBool(Ix().AtEof, false)) next = a->RecCount + 1;
      } else {
        next = recno + 1;
      }
      if (next > a->RecCount || next < 1) {
        GoEOFBlank(*a);
        if (indexed) {
          IxCall(Ix().SyncIndex);
          IxCall(Ix().SetBof);
          IxCall(Ix().SetEof);
        }
      } else {
        recno = next;
        if (!ReadAndLoad(*a, recno)) return;
      }
    }
    if (indexed) IxCall(Ix().RefreshKey);
  }
  RunAfterMoveKeepingFailure();
}

void GoBottom() {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("GoBottom");
  if (!a) return;
  RefreshRecCount(*a);
  if (a->RecCount < 1) return;
  const bool indexed = IndexActive();
  int32_t recno = a->RecCount;
  {
    BracketScope bracket(ReadBracket, indexed);
    if (bracket.Failed()) return;
    if (indexed && !IndexEndRecord(*a, Ix().BottomRec, bracket, recno)) return;
    if (!ReadAndLoad(*a, recno)) return;
    bool done = false;
    while (!done && !RecordVisible()) {
      int32_t prev;
      bool bof;
      if (indexed) {
        prev = IxRec(Ix().PriorRec, 0);
        bof = LastErrorCode() != 0 || IxBool(Ix().AtBof, true);
      } else {
        prev = recno - 1;
        bof = a->Bof;
      }
      if (prev >= 1 && prev <= a->RecCount && !bof) {
        recno = prev;
        if (!ReadAndLoad(*a, recno)) return;
        done = indexed ? IxBool(Ix().AtBof, true) : a->Bof;
      } else {
        done = true;
        GoEOFBlank(*a);
        if (indexed) {
          IxCall(Ix().SyncIndex);
          IxCall(Ix().SetBof);
          IxCall(Ix().SetEof);
        }
      }
    }
    if (indexed) IxCall(Ix().RefreshKey);
  }
  RunAfterMoveKeepingFailure();
}

void SKIP(int32_t n) {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("SKIP()");
  if (!a) return;
  if (n == 0) {
    if (a->RecCount > 0 && !a->Eof && a->RecNo >= 1 && a->RecNo <= a->RecCount) {
      if (!ReadAndLoad(*a, a->RecNo)) return;
    } else {
      ClearRecord();
    }
    RunAfterMove();
    return;
  }
  if (a->Eof && n >= 1) {
    SetError(212, "Database \"" + a->FileName + "\" is past EOF." + " [SKIP]");
    return;
  }
  if (a->RecCount < 1) RefreshRecCount(*a);
  if (a->RecCount < 1) {
    a->Bof = a->Eof = true;
    SetError(212, "Database \"" + a->FileName + "\" is empty." + " [SKIP]");
    return;
  }
  if (n < 0 && dBOF()) return;
  a->Bof = a->Eof = false;
  const bool indexed = IndexActive();
  // 0: none met. (Not count + 1: the count may grow during the walk, when
  // the index leads to records other programs appended.)
  int32_t lastInScope = 0;
  int32_t moved = 0;
  bool atEnd = false, inScope = true;
  IndexFailure failure;
  {
    BracketScope bracket(ReadBracket, indexed);
    if (bracket.Failed()) return;
    do {
      int32_t recno;
      if (n < 0) {
        if (Visible(*a) && InScope(*a)) lastInScope = a->RecNo;
        if (indexed) {
          recno = IxRec(Ix().PriorRec, a->RecNo);
          if (failure.Check()) {
            atEnd = true;
            break;
          }
          if (recno == a->RecNo) atEnd = true;
        } else {
          recno = a->RecNo - 1;
          if (a->RecNo <= 1) {
            atEnd = true;
            recno = 1;
          }
        }
        if (recno < 1 || recno > a->RecCount) {
          atEnd = true;
          recno = std::clamp(recno, 1, a->RecCount);
        }
        if (!ReadAndLoad(*a, recno)) return;
        if (Visible(*a)) --moved;
      } else {
        if (indexed) {
          recno = IxRec(Ix().NextRec, a->RecNo);
          if (failure.Check()) {
            atEnd = true;
            break;
          }
          if (recno == a->RecNo) atEnd = true;
        } else {
          // Only a move past the known count needs the file's size.
          if (a->RecNo >= a->RecCount) RefreshRecCount(*a);
          // From the phantom record (left by a failed read) the next number
          // is the phantom again, which also stays inside 32 bits.
          recno = a->RecNo < a->RecCount ? a->RecNo + 1 : a->RecCount + 1;
        }
        if (recno > a->RecCount || recno < 1) {
          atEnd = true;
          recno = a->RecCount;
        }
        if (!ReadAndLoad(*a, recno)) return;
        if (Visible(*a)) ++moved;
      }
      inScope = InScope(*a);
    } while (moved != n && !atEnd && inScope);

    if (atEnd) {
      if (n > 0) {
        a->RecNo = a->RecCount + 1;
        a->Eof = true;
        ClearRecord();
        if (indexed) IxCall(Ix().SyncIndex);
      } else {
        bracket.Close();
        GoTop();
        a = CurrentWorkArea();
        if (!a) return;
        a->Bof = true;
        if (indexed) IxCall(Ix().SetBof);
        if (a->RecCount < 1) ClearRecord();
      }
    } else if (!inScope) {
      if (n > 0) {
        a->Eof = true;
        if (indexed) IxCall(Ix().SetEof);
      } else {
        if (lastInScope >= 1) {
          if (!ReadAndLoad(*a, lastInScope)) return;
          a->Bof = true;
        } else {
          a->RecNo = a->RecCount + 1;
          a->Bof = true;
          ClearRecord();
        }
        if (indexed) {
          IxCall(Ix().SyncIndex);
          IxCall(Ix().SetBof);
        }
      }
    }
    if (indexed) {
      bracket.Close();
      IxCall(Ix().RefreshKey);
    }
  }
  if (failure.Check()) {
    failure.Restore();
    RunAfterMoveKeepingFailure();
    return;
  }
  AfterMoveOf(*a);
}

void GO(int32_t n) {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("GO()");
  if (!a) return;
  if (n > a->RecCount) RefreshRecCount(*a);
  auto bad = [&] { return "Invalid record number = " + IntText(n) + " " + "\nDatabase \"" + a->FileName + "\" [GO]"; };
  if (a->RecCount < 1) {
    a->Bof = a->Eof = true;
    ClearRecord();
    SetError(212, bad());
    return;
  }
  a->Bof = a->Eof = false;
  if (n >= 1 && n <= a->RecCount) {
    const bool indexed = IndexActive();
    {
      BracketScope bracket(ReadBracket, indexed);
      if (!bracket.Failed() && ReadAndLoad(*a, n) && indexed) {
        IxCall(Ix().SyncIndex);
        IxCall(Ix().RefreshKey);
      }
    }
    // A failed read leaves the area on its record; related areas still
    // follow it, as after every positioning command.
    RunAfterMoveKeepingFailure();
    return;
  }
  a->RecNo = a->RecCount + 1;
  a->Eof = true;
  ClearRecord();
  // The index stands at its end too, so that dEOF agrees and SKIP(-1)
  // comes back to the last key.
  if (IndexActive()) IxCall(Ix().SyncIndex);
  SetError(212, bad());
}

void Dbf4RawGo(int32_t n) {
  LastErrorCode() = 0;
  WorkArea* a = CurrentWorkArea();
  if (!a) return;
  if (n > a->RecCount) {
    a->RecNo = a->RecCount + 1;
    a->Eof = true;
    ClearRecord();
  } else if (n >= 1) {
    ReadAndLoad(*a, n);
  } else {
    SetError(212, "Invalid record number = " + IntText(n) + " [Dbf4RawGo]");
  }
}

void RawGoSync(int32_t n) {
  Dbf4RawGo(n);
  RunAfterMove();
}

bool GoIfValid(int32_t n) {
  if (n < 1 || n > RecCount()) return false;
  GO(n);
  return true;
}

bool dEOF() {
  WorkArea* a = CheckDbInUse("dEOF");
  if (!a) return true;
  const bool indexed = IndexActive();
  if (a->RecNo > a->RecCount) {
    RefreshRecCount(*a);
    if (a->RecNo > a->RecCount) {
      a->Eof = true;
      if (indexed) IxCall(Ix().SetEof);
    }
  }
  return indexed ? IxBool(Ix().AtEof, a->Eof) : a->Eof;
}

bool dBOF() {
  WorkArea* a = CheckDbInUse("dBOF");
  if (!a) return true;
  return IndexActive() ? IxBool(Ix().AtBof, a->Bof) : a->Bof;
}

int32_t RecCount() {
  WorkArea* a = CheckDbInUse("RecCount");
  if (!a) return 0;
  RefreshRecCount(*a);
  return a->RecCount;
}

int32_t RecNo() {
  const WorkArea* a = CheckDbInUse("RecNo");
  return a ? a->RecNo : 0;
}

namespace {

// Skips by `step` until `atEnd` holds, then by `settle` onto the last
// record the WHILE scope admits; related areas follow once, at the end.
// A failed read ends the walk: without automatic handling the error would
// otherwise repeat for ever.
void WalkWhile(WorkArea& a, int32_t step, bool (*atEnd)(), int32_t settle) {
  std::function<void()> saved = std::move(a.AfterMove);
  a.AfterMove = nullptr;
  do {
    SKIP(step);
  } while (!atEnd() && LastErrorCode() == 0);
  if (LastErrorCode() == 0) SKIP(settle);
  uint16_t code = LastErrorCode();
  SetRelation(std::move(saved));
  if (code != 0) LastErrorCode() = code;
}

}  // namespace

void GoTopWhile() {
  WorkArea* a = CurrentWorkArea();
  if (!a || a->RecCount < 1) return;
  if (!IsWhileOn()) {
    GoTop();
    return;
  }
  WalkWhile(*a, -1, dBOF, 0);
}

void GoBottomWhile() {
  WorkArea* a = CurrentWorkArea();
  if (!a || a->RecCount < 1) return;
  if (!IsWhileOn()) {
    GoBottom();
    return;
  }
  WalkWhile(*a, 1, dEOF, -1);
}

bool LeaveHiddenRecord() {
  WorkArea* a = CurrentWorkArea();
  if (!a) return false;
  if (WhileTrue() && RecordVisible()) return false;
  Unlock();
  const int32_t rec = a->RecNo;
  std::function<void()> saved = std::move(a->AfterMove);
  a->AfterMove = nullptr;
  SKIP(1);
  if (dEOF()) {
    GoIfValid(rec);
    SKIP(-1);
  }
  SetRelation(std::move(saved));
  return true;
}

bool SetIgnoreDel(bool on) {
  WorkArea* a = CheckDbInUse("SetIgnoreDel");
  if (!a) return false;
  bool prev = a->IgnoreDeleted;
  a->IgnoreDeleted = on;
  SKIP(0);
  return prev;
}

void Append() {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("Append");
  if (!a) return;
  if (DbSettings().SharedMode && !a->Exclusive && a->LockState != kLockTable) {
    SetError(5, "File must be locked to append: " + a->FileName + " [APPEND]");
    return;
  }
  RefreshRecCount(*a);
  StoreUserBuffer();
  const bool indexed = IndexActive();
  {
    BracketScope bracket(WriteBracket, indexed);
    if (bracket.Failed()) return;
    AppendDbfRecord(*a);
    if (LastErrorCode() == 0) {
      LoadUserBuffer();
      if (indexed) IxCall(Ix().AppendKeys);
    }
  }
  a->Bof = a->Eof = false;
  RunAfterMoveKeepingFailure();
}

void Replace() {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("Replace");
  if (!a) return;
  if (a->RecNo <= 0) {
    SetError(212, "Database \"" + a->FileName + "\" is empty." + " [REPLACE]");
    return;
  }
  if (a->RecNo > a->RecCount) {
    SetError(212, "Database \"" + a->FileName + "\" is at EOF." + " [REPLACE]");
    return;
  }
  const bool maintain = DbSettings().MaintainIndexOnReplace && IndexActive();
  if (!a->Exclusive && !InLockList(*a, a->RecNo)) {
    SetError(1200, "Record #" + IntText(a->RecNo) + " in " + a->FileName + " [REPLACE]");
    return;
  }
  const bool keys = maintain && !a->Virtual;
  if (keys && a->SwapBuf.size() < a->TypedSize) {
    SetError(254, a->FileName + " " + "Swap-buffer NIL." + " [REPLACE]");
    return;
  }
  {
    BracketScope bracket(WriteBracket, keys);
    if (bracket.Failed()) return;
    if (a->Virtual) {
      PutDbfRecord(*a, a->RecNo);
    } else {
      // The old keys are those of the record as stored now: another
      // program may have changed it since this area read it.
      RewriteDbfRecord(*a, a->RecNo, a->Typed, keys ? +[] { IxCall(Ix().CaptureKeys); } : nullptr);
      DropPeekCopy(*a, a->RecNo);
      // Keeping the keys reads the record again, which ends BOF and EOF.
      if (keys && LastErrorCode() == 0) a->Bof = a->Eof = false;
    }
    if (keys && LastErrorCode() == 0) IxCall(Ix().UpdateKeys);
  }
  RunAfterMoveKeepingFailure();
}

namespace {

void SetDeletion(bool deleted) {
  LastErrorCode() = 0;
  const char* cmd = deleted ? "DeleteRec" : "RecallRec";
  WorkArea* a = CheckDbInUse(cmd);
  if (!a) return;
  if (!a->Exclusive && (!InLockList(*a, a->RecNo) || a->LockState == kLockTable)) {
    SetError(1200, deleted ? a->FileName + " " + "Record not locked " + "[DeleteRec]" : "Record not locked [RecallRec]");
    return;
  }
  if (!deleted) RefreshRecCount(*a);
  if (a->RecNo < 1 || a->RecNo > a->RecCount) {
    if (!deleted) SetError(1103, a->FileName + " at EOF [RecallRec]");
    return;
  }
  if (a->Virtual) {
    a->VOp = deleted ? kVOpDelete : kVOpRecall;
    if (Hooks().VirtualFile) Hooks().VirtualFile(*a);
    return;
  }
  // The flag alone: index keys stay as they are, also in a tag whose
  // condition asks DELETED(). The other programs that share the index do
  // the same, so a key this engine moved would be one they no longer find
  // (or hold twice).
  if (a->Typed) a->Typed[0] = deleted ? 1 : 0;
  a->Rec[0] = deleted ? '*' : ' ';
  WriteDeletionFlag(*a, a->RecNo);
  DropPeekCopy(*a, a->RecNo);
}

}  // namespace

void DeleteRec() { SetDeletion(true); }
void RecallRec() { SetDeletion(false); }
