// The work-area API: 200 numbered areas (plus 201 and 202 for the
// engine's own layers), each holding one open table or in-memory list.
// Routines act on the current area (Select) and report failures through
// SetError; the ones whose failure callers expect are run with automatic
// error handling off and the caller reads LastErrorCode.
//
// Units: dbf4.cpp (areas, USE, fields, Peek/Poke), dbf4_locks.cpp (record
// and table locks), dbf4_nav.cpp (movement, filters, record commands).
//
// The typed record buffer is the caller's view of the current record: a
// deleted flag (1 byte), then one slot per field in field order --
//   C: short string, length byte + field length bytes
//   D: short string of up to 10 characters (11 bytes), the date in the
//      current picture
//   N, F: 64-bit float (8 bytes) with decimals, else 32-bit integer
//   L: Boolean byte;  M: 32-bit memo block number.
// Numbers are in host order, unaligned (use memcpy).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/pfile.h"
#include "tablebase/dbf4_area.h"
#include "tablebase/tzstate.h"

// --- State access ------------------------------------------------------

inline DbfState& Db() { return Engine().db; }
inline DbfSettings& DbSettings() { return Engine().db.Settings; }
inline HookTables& Hooks() { return Engine().db.Hooks; }
// The record of area n (1..202), null when empty or out of range.
inline WorkArea* WorkAreaOf(int n) {
  if (n < 1 || n > kAreaSlots) return nullptr;
  return Db().Areas[size_t(n)].get();
}
// The current area's record, null when its slot is empty.
inline WorkArea* CurrentWorkArea() { return WorkAreaOf(Db().CurrentArea); }

// Reports error 215 "No database in use [<command>]  WorkArea = <n>".
void ReportNoDatabase(std::string_view command);
// The current area's record; reports error 215 and returns null when the
// current slot is empty.
inline WorkArea* CheckDbInUse(std::string_view command) {
  WorkArea* a = CurrentWorkArea();
  if (!a) ReportNoDatabase(command);
  return a;
}

// --- Areas ---------------------------------------------------------------

// 1..200 selects; 0 selects the lowest empty slot (error 220 when none);
// anything else is error 220. LastErrorCode := 0 first.
void Select(int area);
uint8_t CurrentArea();
// Selects an area for a scope and restores the previous one on every way
// out (also for areas 201 and 202, which Select refuses).
class AreaScope {
 public:
  explicit AreaScope(uint8_t area);
  ~AreaScope();
  AreaScope(const AreaScope&) = delete;
  AreaScope& operator=(const AreaScope&) = delete;

 private:
  uint8_t prev_;
};

// Opens a table in the current area: "name [ALIAS a] [EXCLUSIVE]", or an
// in-memory list ("name VIRTUAL FILE|LINKED LIST [ALIAS a] [FIFO|LIFO|
// INSERTION|ASCENDING|DESCENDING] [TO HEAP|EMS|EXT|XMS|BIGGEST]").
// `buffer`/`size`: the caller's typed record buffer, or null and 0 to let
// the engine allocate one. An empty command only closes the area. A failed
// USE leaves the slot empty.
void USE(const std::string& command, char* buffer, uint16_t size);
// USE with record translators stored in the new area.
void UseTranslated(const std::string& command, char* buffer, uint16_t size, RecordTranslator readXlat,
                   RecordTranslator writeXlat);
void CloseArea();
void CloseAll();
// Closes every area, 201 and 202 first (engine shutdown).
void CloseAllAreas();

std::string Alias();
std::string DbfName();

// --- Fields --------------------------------------------------------------

uint8_t FieldCount();
char FieldType(int n);
// For "D" fields the typed length: 10 with CenturyOn, else 8.
uint8_t FieldLen(int n);
uint8_t FieldDec(int n);
std::string Field(int n);
// First 10 characters, trailing blanks removed, case ignored; 0 when none.
uint8_t FieldNo(const std::string& name);
// The field's slot in the typed buffer; 0 gives the deleted flag.
char* FieldAddress(int n);
uint16_t RecSize();
uint16_t TypedRecordSize(const WorkArea& a);
void LoadUserBuffer();
void StoreUserBuffer();
void ClearRecord();
bool GetMdxFlag();
void SetMdxFlag(bool on);
// The current area's extension block (state of the later layers), null for
// an empty slot.
AreaExtension* AreaExtra();

// Raw field bytes of record `rec` from the file (field 0: the deletion
// byte), through the Peek cache when PeekCacheSize is set.
std::string Peek(int field, int32_t rec);
// Raw field bytes into the file; a shared area needs the record locked.
void Poke(const std::string& text, int field, int32_t rec);

// --- Locks (dbf4_locks.cpp) ----------------------------------------------

void SetLockRetries(uint8_t count, uint8_t delayMs);
// 0 or the DOS error of the lock call; 0 at once with SharedMode off.
int OsLock(bool unlock, plat::File& f, uint32_t pos, uint32_t len);
// Waits `ms` in short sleeps, pumping the UI hook.
void WaitTicks(uint32_t ms);
// OsLock with the retry loop: up to LockRetries further attempts, only
// while the failure is a lock conflict; LockRetryProc may start afresh.
bool LockRegion(plat::File& f, uint32_t pos, uint32_t len);
bool LockBaseByte();
void UnlockBaseByte();
bool ALock();
bool RLock();
bool IsLocked(int32_t rec);
// n >= 1: that record; -1 the oldest lock, -2 the newest, -3 all.
bool UnlockRec(int32_t n);
void Unlock();
// Reopens the current table exclusive (true) or shared; 0 or the I/O code.
// The area keeps its old handle when the reopen fails.
int SetExclusive(bool on);

// --- Navigation and record commands (dbf4_nav.cpp) -----------------------

// Unless the area is exclusive: count := whole records the file holds.
void RefreshRecCount(WorkArea& a);
void GoTop();
void GoBottom();
void GoTopWhile();
void GoBottomWhile();
void SKIP(int32_t n);
void GO(int32_t n);
void Dbf4RawGo(int32_t n);
void RawGoSync(int32_t n);
bool GoIfValid(int32_t n);
bool dEOF();
bool dBOF();
int32_t RecCount();
int32_t RecNo();
bool RecordVisible();
bool WhileTrue();
bool IsWhileOn();
// Stores a new after-move procedure, returns the old one, runs the new one.
std::function<void()> SetRelation(std::function<void()> proc);
bool SetIgnoreDel(bool on);
void Append();
// Writes the fields and the deletion flag whose typed value the caller
// changed since the area read the record (GO, SKIP, ...; RLock reads
// nothing) over the record as stored now: a field the caller left as it
// was read keeps what another program wrote there since. After ClearRecord
// or StoreUserBuffer every field is written. The typed buffer then holds
// the record as written.
void Replace();
// Set and clear the current record's deleted flag. Index keys are left
// as they are, also in tags whose condition asks DELETED().
void DeleteRec();
void RecallRec();
bool LeaveHiddenRecord();
// Runs the area's after-move procedure (relations) with the index found
// flag saved and restored around it.
void RunAfterMove();

// --- Locate and continue (dbf4_locate.cpp) --------------------------------

// A value to search for: text (for "C", "M", and date texts in the current
// picture for "D"), a number, or a logical.
using LocateValue = std::variant<std::string, int64_t, double, bool>;

// The field number of "NAME [NOCASE] [EXACT] [CONTAINED]" with the options
// stored in the search state; 0 after reporting 215 or 220.
uint8_t LocateCountSum(const std::string& text);
// Finds the first visible record from `start` on whose field `field` (a
// name, optionally followed by the options above) matches: by default a
// case-sensitive begins-with comparison of the stored text with the value
// without its trailing blanks. Numbers are compared in their stored form
// ("." as the decimal point), text in Windows-1250 also in OEM tables.
// Found: positioned there, true. Not found: at end of file, false.
bool Locate(const std::string& field, const LocateValue& value, bool noCase, int32_t start, bool exact);
// The next match after the current record; error 220 without a running
// search.
void Continue();
// Several fields at once ("NAME;CITY" with one value per field): the first
// record where all match. The area returns to its starting record unless
// `stay` and found; the after-move procedure is not run meanwhile.
bool LocateFields(const std::string& fields, const std::vector<LocateValue>& values, bool noCase, bool stay,
                  bool exact);
