// The expression unit's access to the work areas: finding fields by name
// while compiling, reading them from the record buffers while evaluating.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/byteorder.h"
#include "tables/expr/tzndxlow.h"
#include "tables/expr/tzparser_internal.h"
#include "tablebase/dbf4.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

using namespace exprint;

namespace {

WorkArea* AreaOf(uint8_t area) {
  auto& db = Engine().db;
  int n = area == 0 ? db.CurrentArea : area;
  if (n < 1 || n > kAreaSlots) return nullptr;
  return db.Areas[size_t(n)].get();
}

// The field, or null when the area is closed or no longer has it. The
// table may have changed since the expression was compiled: every read
// stays inside the buffers the area has now.
const FieldEntry* FieldOf(const WorkArea* a, int fieldNo) {
  if (!a || fieldNo < 1 || size_t(fieldNo) > a->Fields.size()) return nullptr;
  const FieldEntry& f = a->Fields[size_t(fieldNo - 1)];
  if (!a->Virtual && (!a->Rec || size_t(f.Pos) + f.Len > a->RecLen)) return nullptr;
  return &f;
}

// The typed slot of a field of an in-memory table (whose record is kept in
// the typed form), when `need` bytes of it lie inside the typed buffer.
const char* TypedSlot(const WorkArea* a, int fieldNo, size_t need) {
  if (size_t(fieldNo) > a->TypedOffsets.size() || !a->Typed) return nullptr;
  size_t at = a->TypedOffsets[size_t(fieldNo - 1)];
  if (at + need > a->TypedSize) return nullptr;
  return a->Typed + at;
}

bool Lookup(const WorkArea* a, uint8_t areaNo, std::string_view name, FieldInfo& out) {
  if (!a) return false;
  for (size_t i = 0; i < a->Fields.size() && i < 255; ++i) {
    const FieldEntry& f = a->Fields[i];
    if (f.Name != name) continue;
    char type = f.Type == 'F' ? 'N' : f.Type;
    if (std::string_view("CNLDM").find(type) == std::string_view::npos) return false;
    out.Area = areaNo;
    out.FieldNo = uint8_t(i + 1);
    out.Type = type;
    out.Len = f.Len;
    out.Dec = f.Dec;
    return true;
  }
  return false;
}

}  // namespace

namespace exprint {

bool FindField(std::string_view name, FieldInfo& out) {
  return Lookup(AreaOf(0), 0, name, out);
}

bool FindAliasedField(std::string_view alias, std::string_view name, FieldInfo& out) {
  auto& db = Engine().db;
  for (int n = 1; n <= kPublicAreas; ++n) {
    const WorkArea* a = db.Areas[size_t(n)].get();
    if (a && a->Alias == alias) return Lookup(a, uint8_t(n), name, out);
  }
  return false;
}

size_t ReadFieldText(uint8_t area, int fieldNo, char* buf) {
  const WorkArea* a = AreaOf(area);
  const FieldEntry* f = FieldOf(a, fieldNo);
  if (!f) return 0;
  size_t len = std::min<size_t>(f->Len, kMaxText);
  if (a->RecCount == 0) {
    std::memset(buf, ' ', len);
    return len;
  }
  const char* src = a->Rec + f->Pos;
  if (a->Virtual) {
    const char* slot = TypedSlot(a, fieldNo, size_t(f->Len) + 1);
    if (!slot) return 0;
    len = std::min<size_t>(uint8_t(slot[0]), len);
    src = slot + 1;
  }
  const void* nul = std::memchr(src, '\0', len);
  if (nul) len = size_t(static_cast<const char*>(nul) - src);
  std::memcpy(buf, src, len);
  return len;
}

double ReadFieldNumber(uint8_t area, int fieldNo) {
  const WorkArea* a = AreaOf(area);
  const FieldEntry* f = FieldOf(a, fieldNo);
  if (!f || a->RecCount == 0) return 0;
  if (a->Virtual) {
    const char* slot = TypedSlot(a, fieldNo, f->Dec > 0 ? 8 : 4);
    if (!slot) return 0;
    if (f->Dec > 0) {
      double v;
      std::memcpy(&v, slot, sizeof v);
      return v;
    }
    int32_t i;
    std::memcpy(&i, slot, sizeof i);
    return i;
  }
  return ReadNumber(std::string_view(a->Rec + f->Pos, f->Len));
}

bool ReadFieldLogical(uint8_t area, int fieldNo) {
  const WorkArea* a = AreaOf(area);
  const FieldEntry* f = FieldOf(a, fieldNo);
  if (!f || a->RecCount == 0) return false;
  if (a->Virtual) {
    const char* slot = TypedSlot(a, fieldNo, 1);
    return slot && slot[0] != 0;
  }
  char c = f->Len ? a->Rec[f->Pos] : ' ';
  return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

double ReadFieldDate(uint8_t area, int fieldNo) {
  const WorkArea* a = AreaOf(area);
  const FieldEntry* f = FieldOf(a, fieldNo);
  if (!f || a->RecCount == 0) return kInvalidJulian;
  if (a->Virtual) {
    const char* slot = TypedSlot(a, fieldNo, 11);
    if (!slot) return kInvalidJulian;
    return DateTextToJulian(std::string_view(slot + 1, std::min<size_t>(uint8_t(slot[0]), 10)));
  }
  return JulianFromDtos(std::string_view(a->Rec + f->Pos, f->Len));
}

std::string ReadFieldMemo(uint8_t area, int fieldNo) {
  const WorkArea* a = AreaOf(area);
  const FieldEntry* f = FieldOf(a, fieldNo);
  const auto& assignMemo = Engine().db.Hooks.Memo.AssignMemo;
  if (!f || a->RecCount == 0 || !assignMemo) return std::string();
  int32_t block;
  if (a->Virtual) {
    const char* slot = TypedSlot(a, fieldNo, 4);
    if (!slot) return std::string();
    std::memcpy(&block, slot, sizeof block);
  } else if (f->Len == 4) {
    block = int32_t(plat::readLE32(reinterpret_cast<const uint8_t*>(a->Rec + f->Pos)));
  } else {
    // Blob streams write negated references into dBASE III memo files.
    block = int32_t(std::min(std::fabs(ReadNumber(std::string_view(a->Rec + f->Pos, f->Len))), 2147483647.0));
  }
  if (block <= 0) return std::string();
  TextFile memo;
  {
    AreaScope scope(area == 0 ? Engine().db.CurrentArea : area);
    assignMemo(memo, block);
  }
  // The memo is read line by line and the lines joined without their ends.
  memo.Reset();
  std::string text, line;
  while (memo.ReadLn(line)) text += line;
  // Field text reaches expressions in the engine's code page; so does memo text.
  return a->Oem ? OemToAnsi(text) : text;
}

bool CurrentRecordDeleted() {
  const WorkArea* a = AreaOf(0);
  return a && a->Rec && a->RecLen > 0 && a->Rec[0] == '*';
}

int32_t CurrentRecordNumber() {
  const WorkArea* a = AreaOf(0);
  return a ? a->RecNo : 0;
}

double Today() {
  int y, m, d, dow;
  GetDate(y, m, d, dow);
  return JulianFromYMD(y, m, d);
}

}  // namespace exprint
