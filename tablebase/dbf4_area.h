// The work-area record and the state of the table layers (file layer,
// work areas, locks, navigation): one WorkArea per open table or in-memory
// list, held in a table of 202 slots. Kept apart from dbf4.h so that the
// engine state (tzstate.h) can hold it by value.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/pfile.h"
#include "tablebase/dbf4_hooks.h"

// One field of a table: the in-memory form of a field descriptor, and the
// record in which a caller describes fields to CreateDbf.
struct FieldEntry {
  std::string Name;  // at most 10 characters, upper case
  char Type = ' ';   // C, D, F, L, M or N
  uint8_t Len = 0;
  uint8_t Dec = 0;
  uint16_t Pos = 0;  // offset in the record; the deletion byte is 0
};

// A user record translator: converts `len` bytes in place.
using RecordTranslator = std::function<void(char* data, size_t len)>;

struct RecordLockEntry {
  int32_t RecNo = 0;
  uint16_t Tag = 0xFFFF;
};

// A node of an in-memory table; defined by the in-memory table layer.
struct VNode;

// State of the later layers (datasets, indexes, memo files) kept with an
// area. Each layer derives its own Part and owns it; the area frees them
// when it is closed.
struct AreaExtension {
  struct Part {
    virtual ~Part() = default;
  };
  std::unique_ptr<Part> Dataset;
  std::unique_ptr<Part> Index;
  std::unique_ptr<Part> Memo;
};

// Write state of an open table.
enum WriteStateValue : uint8_t { kWsClosed = 0, kWsClean = 1, kWsChanged = 2, kWsAppended = 3 };
// Lock state of an area.
enum LockStateValue : uint8_t { kLockNone = 0, kLockTable = 2, kLockRecords = 3 };

// What an area knows about the memos it wrote. A memo rewrite's new memo
// belongs to the record image in the area's buffer: the memo field of that
// image that a chain of rewrites led to it from the memo the field was read
// with holds a change, wherever its blocks lie (they may even be the ones
// read, freed by another program and handed out again). Writing the image
// to the file in any way settles the rewrites (the memo one replaced there
// is this area's to free, once the table is synced); loading another image
// ends them (a memo no record got stays as lost space); a pack that
// succeeded ends them too, having carried the memos the image holds into
// the new file (a failed one leaves them). Every routine that writes or
// loads the buffer goes through here: the record reads and writes of the
// file layer (tzdbflow.h), ClearRecord, and the index and dataset layers
// where they put an image back.
class MemoNotes {
 public:
  // A memo of a record on disk: its record number and its reference.
  struct Replaced {
    int32_t RecNo = 0;
    int32_t Block = 0;
  };
  // A rewrite of the memo at `Old` that wrote the memo at `New`.
  struct Rewrite {
    int32_t Old = 0, New = 0;
  };
  // A rewrite of the memo at `old` wrote the memo at `block` (0: it emptied
  // it) for the image in the buffer. Past a few dozen the oldest is
  // dropped: its memo, if the image still holds it, is then written as any
  // other change.
  void Rewrote(int32_t old, int32_t block) {
    if (rewrites_.size() >= kKept) rewrites_.erase(rewrites_.begin());
    rewrites_.push_back({old, block});
  }
  bool AnyRewrite() const { return !rewrites_.empty(); }
  // Whether rewrites led from the memo at `read` to the one at `now`.
  bool Leads(int32_t read, int32_t now) const {
    std::vector<int32_t> reached{read};
    for (size_t i = 0; i < reached.size(); ++i)
      for (const Rewrite& r : rewrites_) {
        if (r.Old != reached[i]) continue;
        if (r.New == now) return true;
        if (std::find(reached.begin(), reached.end(), r.New) == reached.end()) reached.push_back(r.New);
      }
    return false;
  }
  // Whether a rewrite wrote the memo at `block`.
  bool Wrote(int32_t block) const {
    return std::any_of(rewrites_.begin(), rewrites_.end(), [&](const Rewrite& r) { return r.New == block; });
  }
  // The image was written as record `recNo`; `replaced` holds the memos
  // that its rewrites' memos replaced there. The rewrites are settled.
  void Settle(int32_t recNo, const std::vector<int32_t>& replaced) {
    for (int32_t b : replaced) replaced_.push_back({recNo, b});
    rewrites_.clear();
  }
  // Another image is in the buffer.
  void EndRewrites() { rewrites_.clear(); }
  // For a routine that lends the buffer out and puts the image back.
  std::vector<Rewrite> Rewrites() const { return rewrites_; }
  void PutBack(std::vector<Rewrite> rewrites) { rewrites_ = std::move(rewrites); }
  // The memo file is another one now (packed, emptied, closed).
  void Drop() {
    rewrites_.clear();
    replaced_.clear();
  }
  bool AnyReplaced() const { return !replaced_.empty(); }
  // The memos to free, each handed out once.
  std::vector<Replaced> TakeReplaced() { return std::exchange(replaced_, {}); }

 private:
  static constexpr size_t kKept = 64;
  std::vector<Rewrite> rewrites_;
  std::vector<Replaced> replaced_;
};

struct WorkArea {
  std::string FileName;   // full path with extension, as USE wrote it (upper case)
  std::string ShortName;  // at most 12 characters, no separators
  uint8_t Prolog[32] = {};
  bool MemoFlag = false;
  bool IgnoreDeleted = false;
  uint16_t HeaderLen = 0;
  uint16_t RecLen = 0;  // deletion byte included
  uint8_t FieldCount = 0;
  std::vector<FieldEntry> Fields;
  uint8_t WriteState = kWsClosed;
  // The record buffer (RecLen bytes): RecStore's data for a table, the
  // caller's buffer for an in-memory table.
  char* Rec = nullptr;
  std::vector<char> RecStore;
  // The record buffer holds the current record as this area last read or
  // wrote it, the record a Replace tells the caller's changes by; false
  // once ClearRecord or StoreUserBuffer put other bytes there.
  bool RecAsRead = false;
  // The memos this area's memo rewrites wrote and its record writes
  // replaced (see MemoNotes).
  MemoNotes Memos;
  int32_t RecCount = 0;
  int32_t RecNo = 0;  // 1..count, count + 1 at end of file, 0 for an empty table
  bool Eof = false;
  bool Bof = false;
  uint8_t OpenMode = 0;  // file-open mode byte the table was opened with
  bool Oem = false;      // table text is stored in CP852
  RecordTranslator WriteXlat;
  RecordTranslator ReadXlat;
  plat::File File;

  // In-memory tables (the in-memory table layer owns the nodes).
  uint8_t VMode = 0;     // list order 0..4
  uint8_t VOp = 0;       // VFileOp for the next dispatch
  int32_t VRecNo = 0;    // record of a read or write
  uint8_t VStorage = 0;  // storage kind asked by USE
  VNode* VFirst = nullptr;
  VNode* VLast = nullptr;
  VNode* VCurrent = nullptr;
  std::function<std::string()> KeyMaker;  // sort key of the record buffer (orders 3, 4)
  bool Virtual = false;

  // The caller's typed record buffer (see TypedRecordSize), or TypedStore.
  char* Typed = nullptr;
  uint16_t TypedSize = 0;
  bool TypedOwned = false;
  std::vector<char> TypedStore;
  std::vector<uint16_t> TypedOffsets;  // slot of each field in the typed buffer
  // What UnpackRecord writes, slot by slot, made with TypedOffsets: every
  // field that the record holds and the typed form has room for.
  struct SlotFill {
    uint16_t Pos = 0;   // in the record
    uint16_t Slot = 0;  // in the typed buffer
    uint8_t Len = 0;
    char Kind = 'C';  // C, D, f (float slot), i (integer slot), L, M
    uint8_t Field = 0;  // index in Fields
    uint8_t Dec = 0;    // decimals of a float slot's field
    bool Aligned = false;  // a number field with 16 record bytes up to its end
  };
  // Kind by kind (texts, floats, integers and memo numbers, dates,
  // logicals), so that a record is unpacked by one straight loop per kind:
  // UnpackRuns[k] is where the k-th run ends.
  std::vector<SlotFill> Unpacking;
  std::array<uint16_t, 5> UnpackRuns{};

  std::function<bool()> FilterProc;
  ExprRecord* FilterExpr = nullptr;
  std::function<void()> AfterMove;
  std::string Alias;  // at most 64 characters, upper case
  std::function<bool()> WhileProc;
  ExprRecord* WhileExpr = nullptr;

  uint8_t LockState = kLockNone;
  uint16_t RecLockCount = 0;
  std::vector<RecordLockEntry> RecLocks;  // oldest first, newest last
  std::vector<char> SwapBuf;
  std::vector<char> ImageBuf;  // the file layer's room for the record images it writes
  bool Exclusive = false;
  bool ExclusiveByReopen = false;  // exclusivity came from SetExclusive, not USE
  // Tells this open from every other one, so that state started on it (the
  // running search) is not taken for another table's after a USE or Select.
  uint64_t OpenId = 0;

  AreaExtension Extra;
};

// Settings of the table layers, with their start-up values.
struct DbfSettings {
  // File layer.
  uint8_t DefaultVersionByte = 0x8B;
  uint16_t MemoBlockSize = 512;
  uint8_t ExtraVersionNoMemo = 0;
  uint8_t ExtraVersionMemo = 0;
  bool FlushAfterWrite = false;
  uint8_t EofByte = 0x1A;
  bool FixRecCount = false;
  // Work areas.
  bool SharedMode = true;
  uint16_t DefaultShareMode = 0x42;
  uint16_t OpenModeOverride = 65535;
  bool AnsiTables = false;
  uint16_t PeekCacheSize = 0;
  // Locks.
  uint32_t LockBase = 0x40000000;
  uint8_t LockRetries = 0;
  uint8_t LockRetryDelay = 0;
  std::function<bool()> LockRetryProc;
  uint16_t RecordLockLimit = 0;
  // Navigation.
  bool MaintainIndexOnReplace = true;
};

constexpr int kAreaSlots = 202;   // 1..200 public, 201 and 202 for the engine's layers
constexpr int kPublicAreas = 200;
constexpr uint16_t kExclusiveMode = 18;

struct PeekCache {
  std::string Alias;  // owner; empty when the cache is free
  int32_t First = 0;  // first cached record
  int32_t Count = 0;
  uint16_t RecLen = 0;
  std::vector<char> Data;
};

// The running search of Locate/Continue (one at a time for the engine).
struct LocateState {
  std::string Value;  // the value as field text, prepared by Locate
  uint8_t Field = 0;  // field of the running search; 0 = none
  uint8_t Area = 0;   // area and open the search was started on
  uint64_t OpenId = 0;
  bool CaseSensitive = true;
  bool Exact = false;
  bool Contained = false;
};

struct DbfState {
  DbfSettings Settings;
  std::array<std::unique_ptr<WorkArea>, kAreaSlots + 1> Areas;  // index 0 unused
  uint8_t CurrentArea = 1;
  PeekCache Peek;
  // Record translators for the next USE (set only during UseTranslated).
  RecordTranslator NextReadXlat;
  RecordTranslator NextWriteXlat;
  // Set by the memo-open hook when USE is to report its failure with the
  // hook's own text, which says what is wrong with the files, rather than
  // as a memo file that cannot be opened.
  bool MemoOpenOwnMessage = false;
  HookTables Hooks;
  LocateState Search;
  uint64_t Opens = 0;  // the last OpenId given out
};
