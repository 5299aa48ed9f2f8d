#include "tablebase/vfiles.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

constexpr uint32_t kLargestRecord = 65535;

bool VariableLength(const WorkArea& a) { return a.RecLen == 0; }

size_t BufferCapacity(const WorkArea& a) {
  if (!VariableLength(a)) return a.RecLen;
  return a.TypedSize != 0 ? a.TypedSize : kLargestRecord;
}

size_t DeletionByte(const WorkArea& a) { return VariableLength(a) ? 2 : 0; }

// Bytes of the record in the buffer; 0 with error 1102 when the buffer
// cannot hold it (its length prefix says more than the buffer has room
// for, and a read would later write past the buffer).
size_t RecordSize(const WorkArea& a) {
  if (!VariableLength(a)) return a.RecLen;
  uint16_t len;
  std::memcpy(&len, a.Rec, sizeof len);
  size_t size = size_t(len) + 2;
  if (size > BufferCapacity(a)) {
    SetError(1102, "Record of " + IntText(size) + " bytes does not fit the buffer of " + a.Alias + " [VFiles]");
    return 0;
  }
  return size;
}

// A node holding a copy of the buffer's record; null after an error.
VNode* NewNode(WorkArea& a) {
  size_t size = RecordSize(a);
  if (size == 0) return nullptr;
  VNode* n = nullptr;
  GetMem(n, sizeof(VNode));
  n->Prev = n->Next = nullptr;
  n->Size = uint16_t(size);
  n->Data = nullptr;
  GetMem(n->Data, n->Size);
  std::memcpy(n->Data, a.Rec, size);
  return n;
}

void FreeNode(VNode*& n) {
  FreeMem(n->Data, n->Size);
  FreeMem(n, sizeof(VNode));
}

// Copies a node's record into the buffer.
void LoadRecord(const WorkArea& a, const VNode* n) {
  size_t size = n->Size;
  if (size > BufferCapacity(a)) size = BufferCapacity(a);
  std::memcpy(a.Rec, n->Data, size);
}

// Makes record t (1..count) current by the shortest walk: from the first
// node, from the last or from the current one. The current number is valid
// only while the area stands on a record (the work-area layer sets it to
// count + 1 at end of file without moving the node).
VNode* Position(WorkArea& a, int32_t t) {
  const int64_t n = a.RecCount;
  const bool haveCurrent = a.VCurrent && a.RecNo >= 1 && a.RecNo <= n;
  const int64_t c = haveCurrent ? a.RecNo : 0;
  if (haveCurrent && t == c) return a.VCurrent;
  const int64_t fromFirst = t - 1, fromLast = n - t;
  const int64_t fromCurrent = haveCurrent ? (t > c ? t - c : c - t) : INT64_MAX;
  VNode* p;
  int64_t at;
  if (fromCurrent > fromFirst && fromFirst < fromLast) {
    p = a.VFirst;
    at = 1;
  } else if (haveCurrent && fromLast > fromFirst) {
    p = a.VCurrent;
    at = c;
  } else if (fromLast < fromCurrent) {
    p = a.VLast;
    at = n;
  } else {
    p = a.VCurrent;
    at = c;
  }
  while (at < t) {
    p = p->Next;
    ++at;
  }
  while (at > t) {
    p = p->Prev;
    --at;
  }
  a.VCurrent = p;
  a.RecNo = t;
  return p;
}

void LinkFirst(WorkArea& a, VNode* n) {
  n->Prev = nullptr;
  n->Next = a.VFirst;
  if (a.VFirst) a.VFirst->Prev = n;
  a.VFirst = n;
  if (!a.VLast) a.VLast = n;
  ++a.RecCount;
  a.VCurrent = n;
  a.RecNo = 1;
}

void LinkLast(WorkArea& a, VNode* n) {
  n->Next = nullptr;
  n->Prev = a.VLast;
  if (a.VLast) a.VLast->Next = n;
  a.VLast = n;
  if (!a.VFirst) a.VFirst = n;
  ++a.RecCount;
  a.VCurrent = n;
  a.RecNo = a.RecCount;
}

// Links `n` after the node of record `at`.
void LinkAfter(WorkArea& a, int32_t at, VNode* n) {
  VNode* p = Position(a, at);
  if (p == a.VLast) {
    LinkLast(a, n);
    return;
  }
  n->Prev = p;
  n->Next = p->Next;
  p->Next->Prev = n;
  p->Next = n;
  ++a.RecCount;
  a.VCurrent = n;
  a.RecNo = at + 1;
}

void RemoveCurrent(WorkArea& a) {
  VNode* n = a.VCurrent;
  if (n->Prev) n->Prev->Next = n->Next;
  if (n->Next) n->Next->Prev = n->Prev;
  if (n == a.VFirst) a.VFirst = n->Next;
  if (n == a.VLast) {
    a.VLast = n->Prev;
    a.VCurrent = n->Prev;
    a.RecNo = a.RecCount - 1;
  } else {
    a.VCurrent = n->Next;
  }
  FreeNode(n);
  if (--a.RecCount == 0) {
    a.VFirst = a.VLast = a.VCurrent = nullptr;
    a.RecNo = 0;
    a.Eof = a.Bof = true;
  }
}

std::string KeyOf(WorkArea& a, int32_t rec) {
  LoadRecord(a, Position(a, rec));
  return a.KeyMaker().substr(0, 100);
}

bool NoKeyMaker(const WorkArea& a) {
  if (a.KeyMaker) return false;
  SetError(1100, a.Alias + " is a \"Sorted\" virtual file with no keymaker function. [Append/InsertRec/PushRec]");
  return true;
}

// Links `n` (whose record is also in the buffer) into key order. The
// records the search loads pass through the buffer; the new record is put
// back before it is linked.
void LinkSorted(WorkArea& a, VNode* n) {
  const bool ascending = a.VMode == 3;
  const std::string k = a.KeyMaker().substr(0, 100);
  const int32_t count = a.RecCount;
  auto restore = [&] { LoadRecord(a, n); };
  if (count == 0) {
    restore();
    LinkLast(a, n);
    return;
  }
  const std::string k1 = KeyOf(a, 1);
  if (ascending ? k <= k1 : k >= k1) {
    restore();
    LinkFirst(a, n);
    return;
  }
  if (count == 1) {
    restore();
    LinkLast(a, n);
    return;
  }
  const std::string kn = KeyOf(a, count);
  if (ascending ? k >= kn : k <= kn) {
    restore();
    LinkLast(a, n);
    return;
  }
  int32_t lo = 1, hi = count, probe = (count + 1) / 2, at = 0;
  while (hi > lo + 1) {
    const std::string kp = KeyOf(a, probe);
    if (kp == k) {
      at = probe;
      break;
    }
    if (ascending ? kp > k : kp < k)
      hi = probe;
    else
      lo = probe;
    probe = lo + (hi - lo) / 2;
  }
  if (at == 0) {
    const std::string kh = KeyOf(a, hi);
    if (ascending)
      at = k >= kh ? hi : lo;
    else
      at = k > kh ? lo : hi;
  }
  restore();
  LinkAfter(a, at, n);
}

// Adds the buffer's record by the list order; nothing is linked after an
// error.
void AddRecord(WorkArea& a) {
  if ((a.VMode == 3 || a.VMode == 4) && NoKeyMaker(a)) return;
  if (a.VMode > 4) {
    SetError(1100, IntText(a.VMode) + " is an invalid VFile mode set for " + a.Alias +
                       " [(AddLL) VFiles INTERNAL ERROR]");
    return;
  }
  VNode* n = NewNode(a);
  if (!n) return;
  a.Eof = false;
  if (a.RecCount == 0) {
    LinkLast(a, n);
    return;
  }
  switch (a.VMode) {
    case 0:
      LinkLast(a, n);
      break;
    case 1:
      LinkFirst(a, n);
      break;
    case 2:
      // Before the current record; at end of file that is after the last.
      if (a.RecNo > a.RecCount)
        LinkLast(a, n);
      else if (a.RecNo > 1)
        LinkAfter(a, a.RecNo - 1, n);
      else
        LinkFirst(a, n);
      break;
    default:
      LinkSorted(a, n);
      break;
  }
}

void ReadRecord(WorkArea& a) {
  const int32_t t = a.VRecNo;
  if (t < 1 || t > a.RecCount) {
    SetError(212, "Attempted to position to record number " + IntText(t) + "  Database record count is " +
                      IntText(a.RecCount) + a.Alias + " [VFiles]");
    return;
  }
  LoadRecord(a, Position(a, t));
  a.Eof = a.Bof = false;
}

void WriteRecord(WorkArea& a) {
  const int32_t t = a.VRecNo;
  if (t > a.RecCount || t < 1) {
    AddRecord(a);
    return;
  }
  if (a.VMode == 3 || a.VMode == 4) {
    // The key maker and the copy come first: a rewrite that cannot be
    // placed must not lose the record it replaces.
    if (NoKeyMaker(a)) return;
    VNode* n = NewNode(a);
    if (!n) return;
    Position(a, t);
    RemoveCurrent(a);
    LinkSorted(a, n);
    a.Eof = false;
    return;
  }
  VNode* p = Position(a, t);
  const size_t size = RecordSize(a);
  if (size == 0) return;
  if (size != p->Size) {
    char* data = nullptr;
    GetMem(data, uint16_t(size));
    FreeMem(p->Data, p->Size);
    p->Data = data;
    p->Size = uint16_t(size);
  }
  std::memcpy(p->Data, a.Rec, size);
}

void MarkDeleted(WorkArea& a, bool deleted) {
  VNode* p = a.VCurrent;
  const size_t at = DeletionByte(a);
  if (!p || a.RecNo < 1 || a.RecNo > a.RecCount || p->Size <= at) return;
  p->Data[at] = deleted ? 1 : 0;
  if (LastErrorCode() == 0) a.Rec[at] = deleted ? 1 : 0;
}

void OpenList(WorkArea& a) {
  a.VFirst = a.VLast = a.VCurrent = nullptr;
  a.RecCount = 0;
  a.RecNo = 0;
  a.Eof = a.Bof = true;
}

void CloseList(WorkArea& a) {
  VNode* n = a.VFirst;
  while (n) {
    VNode* next = n->Next;
    FreeNode(n);
    n = next;
  }
  OpenList(a);
  // Only a field table some layer gave the list is released: most lists
  // never have one.
  a.Fields.clear();
  a.FieldCount = 0;
}

}  // namespace

void VFileDispatch(WorkArea& area) {
  // A code left over from an earlier routine would make the add below link
  // nothing and report nothing.
  LastErrorCode() = 0;
  switch (area.VOp) {
    case kVOpClose:
      CloseList(area);
      break;
    case kVOpDelete:
      MarkDeleted(area, true);
      break;
    case kVOpRead:
      ReadRecord(area);
      break;
    case kVOpOpen:
      OpenList(area);
      break;
    case kVOpWrite:
      WriteRecord(area);
      break;
    case kVOpRecall:
      MarkDeleted(area, false);
      break;
    default:
      break;
  }
}

void VFilesInstall() { Hooks().VirtualFile = VFileDispatch; }
