#include "tablebase/dbf4.h"

#include <algorithm>
#include <cstring>

#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace {

std::unique_ptr<WorkArea>& Slot(int n) { return Db().Areas[size_t(n)]; }

// The field number check shared by the field queries: 1..count, or 0 too
// when `zeroOk`. Reports 220 with "Invalid field number. [<name>(<n>)]".
bool FieldNumberOk(const WorkArea& a, int n, const char* name, bool zeroOk = false) {
  if ((n >= 1 || (zeroOk && n == 0)) && n <= int(a.Fields.size())) return true;
  SetError(220, std::string("Invalid field number. [") + name + "(" + IntText(n) + ")]");
  return false;
}

// The text after `key` up to the next blank, at most `max` characters; the
// command is cut before `key`. Empty when `key` does not occur.
std::string TakeOption(std::string& cmd, const std::string& key, size_t max) {
  size_t p = cmd.find(key);
  if (p == std::string::npos) return {};
  std::string rest = cmd.substr(p + key.size());
  size_t b = rest.find_first_not_of(' ');
  rest = b == std::string::npos ? std::string() : rest.substr(b);
  std::string value = rest.substr(0, rest.find(' ')).substr(0, max);
  cmd.resize(p);
  return value;
}

bool AliasInUse(const std::string& alias, int except) {
  for (int i = 1; i <= kPublicAreas; ++i) {
    if (i == except) continue;
    if (const WorkArea* w = WorkAreaOf(i); w && w->Alias == alias) return true;
  }
  return false;
}

std::string OpenContext(const std::string& command, uint16_t size, bool nilBuffer) {
  return "[USE(" + command + (nilBuffer ? ",Nil," : ",<@Buffer>,") + IntText(size) + ")]";
}

void UseVirtualFile(std::string cmd, char* buffer, uint16_t size) {
  DbfState& db = Db();
  if (!db.Hooks.VirtualFile) {
    SetError(1101, OpenContext(cmd, size, false));
    return;
  }
  if (buffer == nullptr) {
    SetError(220, "NIL buffer pointer " + OpenContext(cmd, size, true));
    return;
  }
  RemoveKeyword(" LINKED LIST", cmd);
  RemoveKeyword(" VIRTUAL FILE", cmd);
  cmd += " ";
  std::string alias;
  if (size_t p = cmd.find(" ALIAS "); p != std::string::npos) {
    // The alias phrase leaves the command; the order keywords after it stay.
    std::string tail = cmd.substr(p);
    alias = TakeOption(tail, " ALIAS ", 64);
    size_t after = cmd.find_first_not_of(' ', p + 7);
    size_t end = after == std::string::npos ? std::string::npos : cmd.find(' ', after);
    cmd = cmd.substr(0, p) + (end == std::string::npos ? std::string() : cmd.substr(end));
  } else {
    std::string first = AllTrim(cmd);
    first = first.substr(0, first.find(' '));
    alias = first.substr(0, first.find('.')).substr(0, 64);
  }
  if (AliasInUse(alias, CurrentArea())) {
    SetError(220, "Alias name \"" + alias + "\" already in use." + " " + OpenContext(cmd, size, false));
    return;
  }
  std::memset(buffer, 0, size);
  auto a = std::make_unique<WorkArea>();
  a->Alias = alias;
  a->Virtual = true;
  a->OpenId = ++db.Opens;
  a->RecLen = size;
  a->Bof = a->Eof = true;
  a->Typed = a->Rec = buffer;
  a->TypedSize = size;
  a->VOp = kVOpOpen;
  a->VStorage = 1;
  static const struct {
    const char* key;
    uint8_t kind;
  } kStorage[] = {{" TO EMS", 2}, {" TO EXT", 3}, {" TO XMS", 3}, {" TO HEAP", 1}, {" TO BIGGEST", 5}};
  for (const auto& s : kStorage)
    if (RemoveKeyword(s.key, cmd)) a->VStorage = s.kind;
  cmd = " " + cmd + " ";
  WorkArea& area = *a;
  Slot(CurrentArea()) = std::move(a);
  db.Hooks.VirtualFile(area);
  static const struct {
    const char* key;
    uint8_t mode;
  } kOrders[] = {{" FIFO", 0}, {" LIFO", 1}, {" INSERTION", 2}, {" ASCENDING", 3}, {" DESCENDING", 4}};
  area.VMode = 0;
  for (const auto& o : kOrders)
    if (RemoveKeyword(o.key, cmd)) area.VMode = o.mode;
  area.FileName = LTrim(cmd);
  area.Exclusive = true;
  if (LastErrorCode() != 0) Slot(CurrentArea()).reset();
}

}  // namespace

// --- State access ------------------------------------------------------

void ReportNoDatabase(std::string_view command) {
  SetError(215, "No database in use [" + std::string(command) + "]  WorkArea = " + IntText(Db().CurrentArea));
}

bool IndexActive() {
  const IndexHooks& h = Hooks().Index;
  return h.Linked && h.IndexPresent && h.IndexPresent();
}

// --- Areas ---------------------------------------------------------------

void Select(int area) {
  LastErrorCode() = 0;
  if (area >= 1 && area <= kPublicAreas) {
    Db().CurrentArea = uint8_t(area);
    return;
  }
  if (area == 0) {
    for (int i = 1; i <= kPublicAreas; ++i) {
      if (!Slot(i)) {
        Db().CurrentArea = uint8_t(i);
        return;
      }
    }
    SetError(220, "No free workarea available [Select(0)]");
    return;
  }
  SetError(220, "Invalid workarea selected = [Select(" + IntText(area) + ")]");
}

uint8_t CurrentArea() { return Db().CurrentArea; }

AreaScope::AreaScope(uint8_t area) : prev_(Db().CurrentArea) { Db().CurrentArea = area; }
AreaScope::~AreaScope() { Db().CurrentArea = prev_; }

void USE(const std::string& command, char* buffer, uint16_t size) {
  DbfState& db = Db();
  LastErrorCode() = 0;
  CloseArea();
  std::string cmd = AllTrim(command);
  if (cmd.empty()) return;
  cmd = Upper(cmd) + " ";
  if (cmd.find("LINKED LIST") != std::string::npos || cmd.find("VIRTUAL FILE") != std::string::npos) {
    UseVirtualFile(cmd, buffer, size);
    return;
  }
  if ((buffer == nullptr) != (size == 0)) {
    SetError(220, "Buffer is NIL or size is zero, attempting to open " + cmd + " [USE]");
    return;
  }
  bool exclusive = RemoveKeyword(" EXCLUSIVE", cmd);
  cmd += " ";
  std::string alias = TakeOption(cmd, " ALIAS ", 64);
  cmd = AllTrim(cmd);

  WorkArea scratch;
  scratch.FileName = FullPath(DefaultExtension(cmd, "DBF"));
  if (alias.empty()) alias = FileBaseName(scratch.FileName);
  alias = Upper(alias);

  const DbfSettings& s = db.Settings;
  if (s.DefaultShareMode == kExclusiveMode) exclusive = true;
  uint16_t mode = exclusive ? kExclusiveMode : s.DefaultShareMode;
  if (!s.SharedMode) {
    mode = kExclusiveMode;
    exclusive = true;
  }
  if (s.OpenModeOverride < 65535) mode = s.OpenModeOverride & 0xFF;
  scratch.OpenMode = uint8_t(mode);
  scratch.Oem = !s.AnsiTables;
  scratch.Exclusive = exclusive;
  OpenDbf(scratch);
  if (LastErrorCode() != 0) return;

  const uint8_t n = CurrentArea();
  Slot(n) = std::make_unique<WorkArea>(std::move(scratch));
  WorkArea& a = *Slot(n);
  a.Alias = alias;
  a.Virtual = false;
  a.OpenId = ++db.Opens;

  uint32_t typedSize = LayoutTypedRecord(a);
  if (buffer == nullptr) {
    a.TypedStore.assign(typedSize, 0);
    a.Typed = a.TypedStore.data();
    a.TypedSize = uint16_t(typedSize);
    a.TypedOwned = true;
  } else {
    a.Typed = buffer;
    a.TypedSize = size;
    if (size != typedSize) {
      CloseArea();
      SetError(266, "Database record/buffer size mismatch: " + cmd + " [USE()]" + "\n\r" +
                        "Record Size=" + IntText(typedSize) + ", Buffer Size=" + IntText(size));
      return;
    }
  }
  if (AliasInUse(a.Alias, n)) {
    std::string msg = "Alias name \"" + a.Alias + "\" already in use." + " [USE]";
    CloseArea();
    SetError(220, msg);
    return;
  }
  a.ReadXlat = db.NextReadXlat;
  a.WriteXlat = db.NextWriteXlat;
  // The steps after the open only record their failures: the area is
  // closed first and the failure reported after, so that a raised or
  // halting error never leaves the table open in the slot.
  std::string msg;
  uint16_t code = 0;
  {
    AutoErrorHandlingScope quiet(false);
    if (a.RecCount < 1) {
      std::memset(a.Typed, 0, a.TypedSize);
      ClearRecord();
      a.Bof = a.Eof = true;
    } else {
      GoTop();  // fails on a damaged table whose first record cannot be read
    }
    msg = LastErrorMessage();
    if (LastErrorCode() == 0) {
      a.SwapBuf.assign(a.TypedSize, 0);
      if (a.MemoFlag && db.Hooks.Memo.Open) {
        db.MemoOpenOwnMessage = false;
        db.Hooks.Memo.Open(StripExtension(a.FileName));
        if (!db.MemoOpenOwnMessage)
          msg = "Problem opening memo file [USE(" + cmd + ",<@Buffer>," + IntText(size) + ")]";
        else
          msg = LastErrorMessage();
      }
    }
    code = LastErrorCode();
    if (code != 0) CloseArea();
  }
  if (code != 0) SetError(code, msg);
}

void UseTranslated(const std::string& command, char* buffer, uint16_t size, RecordTranslator readXlat,
                   RecordTranslator writeXlat) {
  DbfState& db = Db();
  db.NextReadXlat = std::move(readXlat);
  db.NextWriteXlat = std::move(writeXlat);
  USE(command, buffer, size);
  db.NextReadXlat = nullptr;
  db.NextWriteXlat = nullptr;
}

void CloseArea() {
  WorkArea* ap = CurrentWorkArea();
  if (!ap) return;
  WorkArea& a = *ap;
  HookTables& h = Hooks();
  if (!a.Virtual && IndexActive() && h.Index.CloseIndex) h.Index.CloseIndex();
  RefreshRecCount(a);
  if (a.LockState != kLockNone) Unlock();
  a.SwapBuf.clear();
  if (a.MemoFlag && h.Memo.Close) h.Memo.Close();
  PeekCache& pc = Db().Peek;
  if (!pc.Alias.empty() && pc.Alias == a.Alias) pc = PeekCache{};
  if (h.Expr.Free) {
    if (a.FilterExpr) h.Expr.Free(a.FilterExpr);
    if (a.WhileExpr) h.Expr.Free(a.WhileExpr);
  }
  // Close the table and let the error (if any) outlive the area.
  CloseDbf(a);
  uint16_t code = LastErrorCode();
  Slot(CurrentArea()).reset();
  LastErrorCode() = code;
}

void CloseAll() {
  LastErrorCode() = 0;
  for (int i = 1; i <= kPublicAreas; ++i) {
    Db().CurrentArea = uint8_t(i);
    CloseArea();
  }
  Db().CurrentArea = 1;
}

void CloseAllAreas() {
  AutoErrorHandlingScope quiet(false);
  for (int i : {201, 202}) {
    AreaScope scope{uint8_t(i)};
    CloseArea();
  }
  CloseAll();
}

std::string Alias() {
  const WorkArea* a = CurrentWorkArea();
  return a ? a->Alias : std::string();
}

std::string DbfName() {
  const WorkArea* a = CurrentWorkArea();
  return a ? a->FileName : std::string();
}

// --- Fields --------------------------------------------------------------

uint8_t FieldCount() {
  const WorkArea* a = CheckDbInUse("FieldCount()");
  return a ? uint8_t(a->Fields.size()) : 0;
}

char FieldType(int n) {
  const WorkArea* a = CheckDbInUse("FieldType()");
  if (!a || !FieldNumberOk(*a, n, "FieldType")) return ' ';
  return a->Fields[size_t(n - 1)].Type;
}

uint8_t FieldLen(int n) {
  const WorkArea* a = CheckDbInUse("FieldLen()");
  if (!a || !FieldNumberOk(*a, n, "FieldLen")) return 0;
  const FieldEntry& f = a->Fields[size_t(n - 1)];
  if (f.Type == 'D') return Engine().dates.CenturyOn ? 10 : 8;
  return f.Len;
}

uint8_t FieldDec(int n) {
  const WorkArea* a = CheckDbInUse("FieldDec()");
  if (!a || !FieldNumberOk(*a, n, "FieldDec")) return 0;
  return a->Fields[size_t(n - 1)].Dec;
}

std::string Field(int n) {
  const WorkArea* a = CheckDbInUse("Field()");
  if (!a || !FieldNumberOk(*a, n, "Field")) return {};
  return a->Fields[size_t(n - 1)].Name;
}

uint8_t FieldNo(const std::string& name) {
  const WorkArea* a = CheckDbInUse("FieldNo()");
  if (!a) return 0;
  std::string key = Upper(RTrim(name.substr(0, 10)));
  for (size_t i = 0; i < a->Fields.size(); ++i)
    if (a->Fields[i].Name == key) return uint8_t(i + 1);
  return 0;
}

char* FieldAddress(int n) {
  WorkArea* a = CheckDbInUse("FieldAddress()");
  if (!a || !FieldNumberOk(*a, n, "FieldAddress", true) || !a->Typed) return nullptr;
  if (n == 0) return a->Typed;
  if (size_t(n) > a->TypedOffsets.size()) return nullptr;
  return a->Typed + a->TypedOffsets[size_t(n - 1)];
}

uint16_t RecSize() {
  const WorkArea* a = CheckDbInUse("RecSize");
  return a ? a->RecLen : 0;
}

uint16_t TypedRecordSize(const WorkArea& a) {
  uint32_t size = 1;
  for (const auto& f : a.Fields) size += TypedFieldSize(f);
  return uint16_t(size);
}

void LoadUserBuffer() {
  WorkArea* a = CurrentWorkArea();
  if (a && !a->Virtual && a->Typed) UnpackRecord(*a, a->Typed);
}

void StoreUserBuffer() {
  WorkArea* a = CurrentWorkArea();
  if (!a || a->Virtual || !a->Typed) return;
  PackRecord(*a, a->Typed);
  a->RecAsRead = false;
}

void ClearRecord() {
  WorkArea* a = CheckDbInUse("ClearRecord");
  if (!a || !a->Rec) return;
  if (a->Virtual && a->Fields.empty()) {
    std::memset(a->Rec, 0, a->RecLen);
    return;
  }
  std::memset(a->Rec, ' ', a->RecLen);
  a->RecAsRead = false;
  a->Memos.EndRewrites();
  if (a->Typed && !a->Virtual) UnpackRecord(*a, a->Typed);
}

bool GetMdxFlag() {
  const WorkArea* a = CurrentWorkArea();
  if (!a || a->Virtual || IsDbase2(*a)) return false;
  return a->Prolog[kTableFlagsOffset] != 0;
}

void SetMdxFlag(bool on) {
  WorkArea* a = CurrentWorkArea();
  if (!a || a->Virtual || IsDbase2(*a)) return;
  uint8_t v = on ? 1 : 0;
  if (a->Prolog[kTableFlagsOffset] == v) return;
  a->Prolog[kTableFlagsOffset] = v;
  // A read-only handle cannot carry the change to the header.
  if ((a->OpenMode & 0x07) == plat::kAccessRead) return;
  if (a->WriteState == kWsClean) a->WriteState = kWsChanged;
}

AreaExtension* AreaExtra() {
  WorkArea* a = CurrentWorkArea();
  return a ? &a->Extra : nullptr;
}

// --- Peek and Poke ---------------------------------------------------------

namespace {

int64_t FieldFilePos(const WorkArea& a, int field, int32_t rec) {
  uint16_t pos = field == 0 ? 0 : a.Fields[size_t(field - 1)].Pos;
  return int64_t(a.HeaderLen) + int64_t(rec - 1) * a.RecLen + pos;
}

size_t FieldWidth(const WorkArea& a, int field) { return field == 0 ? 1 : a.Fields[size_t(field - 1)].Len; }

// Refills the cache from record `rec`; false after reporting a failure.
bool FillPeekCache(WorkArea& a, int field, int32_t rec) {
  PeekCache& pc = Db().Peek;
  size_t bytes = std::min<size_t>(DbSettings().PeekCacheSize, 65520);
  int64_t records = std::max<int64_t>(1, int64_t(bytes) / a.RecLen);
  records = std::min<int64_t>(records, a.RecCount - rec + 1);
  pc.Data.assign(size_t(records) * a.RecLen, 0);
  size_t got = 0;
  int rc = a.File.ReadAt(int64_t(a.HeaderLen) + int64_t(rec - 1) * a.RecLen, pc.Data.data(), pc.Data.size(), &got);
  if (rc != 0 || got < a.RecLen) {
    pc = PeekCache{};
    SetError(rc ? uint16_t(rc) : uint16_t(100),
             "DBF: " + a.FileName + " [Peek(" + IntText(field) + "," + IntText(rec) + ")]");
    return false;
  }
  pc.Alias = a.Alias;
  pc.First = rec;
  pc.Count = int32_t(got / a.RecLen);
  pc.RecLen = a.RecLen;
  return true;
}

bool PeekInRange(const WorkArea& a, int field, int32_t rec) {
  return rec >= 1 && rec <= a.RecCount && field >= 0 && field <= int(a.Fields.size());
}

}  // namespace

std::string Peek(int field, int32_t rec) {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("Peek");
  if (!a) return {};
  if (a->Virtual) {
    SetError(1100, "Operation cannot be used on virtual files. [Peek]");
    return {};
  }
  if (!PeekInRange(*a, field, rec)) return {};
  const size_t width = FieldWidth(*a, field);
  const uint16_t pos = field == 0 ? 0 : a->Fields[size_t(field - 1)].Pos;
  if (DbSettings().PeekCacheSize == 0) {
    std::string out(width, '\0');
    size_t got = 0;
    int rc = a->File.ReadAt(FieldFilePos(*a, field, rec), out.data(), width, &got);
    if (rc != 0) {
      SetError(uint16_t(rc), "DBF: " + a->FileName + " [Peek(" + IntText(field) + "," + IntText(rec) + ")]");
      return {};
    }
    out.resize(got);
    return out;
  }
  PeekCache& pc = Db().Peek;
  if (pc.Alias != a->Alias) pc = PeekCache{};
  if (pc.Alias.empty() || rec < pc.First || rec >= pc.First + pc.Count || pc.RecLen != a->RecLen) {
    if (!FillPeekCache(*a, field, rec)) return {};
  }
  const char* r = pc.Data.data() + size_t(rec - pc.First) * pc.RecLen;
  return std::string(r + pos, width);
}

void Poke(const std::string& text, int field, int32_t rec) {
  LastErrorCode() = 0;
  WorkArea* a = CheckDbInUse("Poke");
  if (!a) return;
  std::string context = ("[Poke(" + text + "," + IntText(field) + "," + IntText(rec) + ")]").substr(0, 100);
  if (a->Virtual) {
    SetError(1100, "Operation cannot be used on virtual files." + context);
    return;
  }
  if (DbSettings().SharedMode && !a->Exclusive && a->LockState != 1) {
    bool listed = std::any_of(a->RecLocks.begin(), a->RecLocks.end(), [&](const RecordLockEntry& e) { return e.RecNo == rec; });
    if (!listed || a->LockState == kLockTable) {
      SetError(1200, "Record not locked " + context);
      return;
    }
  }
  if (!PeekInRange(*a, field, rec)) return;
  size_t n = std::min(text.size(), FieldWidth(*a, field));
  int rc = a->File.WriteAt(FieldFilePos(*a, field, rec), text.data(), n);
  if (rc != 0) {
    SetError(101, context);
    return;
  }
  PeekCache& pc = Db().Peek;
  if (pc.Alias == a->Alias && rec >= pc.First && rec < pc.First + pc.Count) {
    uint16_t pos = field == 0 ? 0 : a->Fields[size_t(field - 1)].Pos;
    std::memcpy(pc.Data.data() + size_t(rec - pc.First) * pc.RecLen + pos, text.data(), n);
  }
}
