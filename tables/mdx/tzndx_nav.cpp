// The work area in key order: the navigation hooks (first, last, next,
// prior record, BOF and EOF), keeping the controlling tag on the current
// record, order selection and Find.
#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_internal.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace ndx {

namespace {

uint8_t& Found() { return Engine().index.Found; }

// The area, its index and its controlling tag, all present; the hooks are
// only called while index hook 0 reports a controlling tag.
struct Ctx {
  WorkArea* a = nullptr;
  IndexArea* ix = nullptr;
  Tag* t = nullptr;
  explicit operator bool() const { return t != nullptr; }
};

Ctx Current() {
  Ctx c;
  c.a = CurrentWorkArea();
  c.ix = c.a ? static_cast<IndexArea*>(c.a->Extra.Index.get()) : nullptr;
  if (c.ix) c.t = c.ix->Controlling();
  return c;
}

// The area at the phantom record past the end, with the controlling tag
// at its EOF position.
void GoEofPosition(WorkArea& a, Tag& t) {
  ClearRecord();
  a.RecNo = a.RecCount + 1;
  a.Eof = true;
  t.Eof = true;
  Reset(t);
}

void TakeEntryKey(Tag& t) {
  std::memcpy(t.CurrentKey.data(), t.EntryKey(), t.Geo.KeyLen);
  t.CurrentKey[t.Geo.KeyLen] = 0;
}

// The record of the entry `t` stands on. One past the known count may be
// a record another program appended: its count reaches the header only
// when it closes the table, the file's size tells it sooner. Asked only
// then, a walk over the records already counted costs no system call. A
// record the table does not hold even so (0, past the file's end) is
// damage: reported (222), and the answer is 0.
int32_t EntryRecord(WorkArea& a, const IndexArea& ix, const Tag& t) {
  const int32_t rec = t.EntryRec();
  if (rec >= 1 && rec <= a.RecCount) return rec;
  if (rec > a.RecCount) {
    RefreshRecCount(a);
    if (rec <= a.RecCount) return rec;
  }
  Damaged(ix, t, t.Leaf().Page, "record number " + IntText(uint32_t(rec)));
  return 0;
}

// Reads and loads the record of the entry `t` stands on; false after a
// failure was reported.
bool LoadEntryRecord(WorkArea& a, const IndexArea& ix, const Tag& t) {
  const int32_t rec = EntryRecord(a, ix, t);
  if (rec == 0) return false;
  GetDbfRecord(a, rec);
  if (LastErrorCode() != 0) return false;
  LoadUserBuffer();
  return true;
}

// The entry `t` arrived at: found, its key the current one, its record
// the answer. A record the table does not hold leaves the error pending
// and answers the current record.
int32_t Arrive(WorkArea& a, const IndexArea& ix, Tag& t) {
  const int32_t rec = EntryRecord(a, ix, t);
  if (rec == 0) return a.RecNo;
  Found() = 1;
  TakeEntryKey(t);
  return rec;
}

// The controlling tag's current key from the current record. Standing on
// the record's own entry, the tag holds that key already.
void RefreshCurrentKey(const WorkArea& a, Tag& t) {
  if (a.RecCount < 1 || a.RecNo < 1 || a.RecNo > a.RecCount)
    BlankKey(t, t.CurrentKey.data());
  else if (t.OnEntry() && t.EntryRec() == a.RecNo)
    TakeEntryKey(t);
  else
    MakeKey(a, t, t.CurrentKey.data());
}

// A walk in key order reaches records in random order through the table's
// mapping, each a wait for memory (and, for a page not met lately, for its
// address translation) unless asked for ahead. Every step asks for the
// record kAhead entries further on, from the neighbouring leaf when this
// one ends sooner, so that about kAhead requests overlap and each record
// has arrived when the walk gets there. (A whole leaf asked for at once
// left the walk waiting for the first of them and the memory requests
// queued behind one another.)
constexpr int kAhead = 16;

// Once per leaf: the first records of the neighbour under the same parent.
// Only a hint: a node that cannot be read asks for nothing.
[[gnu::noinline]] void PrefetchNeighbour(const WorkArea& a, IndexArea& ix, Tag& t, bool forward) {
  const Level& up = t.Path[t.Path.size() - 2];
  const int side = up.Index + (forward ? 1 : -1);
  if (side < 0 || side > NodeCount(up.Data)) return;
  const uint32_t page = PointerAt(up.Data, t.Geo, side);
  Node next;
  if (page == 0 || ReadExactAt(ix.File, int64_t(page) * kPageBytes, next.data(), kNodeSize, true) != 0) return;
  const int count = std::clamp(NodeCount(next), 0, int(t.Geo.KeysPerNode));
  for (int k = 0; k < std::min(count, kAhead); ++k)
    PrefetchDbfRecord(a, int32_t(PointerAt(next, t.Geo, forward ? k : count - 1 - k)));
  t.AheadPage = page;
}

// On arriving in a leaf whose first records were not asked for yet, those.
[[gnu::noinline]] void PrefetchArrival(const WorkArea& a, const Tag& t, bool forward) {
  const Level& leaf = t.Leaf();
  const int count = NodeCount(leaf.Data);
  for (int k = 0; k < std::min(count, kAhead); ++k)
    PrefetchDbfRecord(a, int32_t(PointerAt(leaf.Data, t.Geo, forward ? k : count - 1 - k)));
}

void PrefetchAhead(const WorkArea& a, IndexArea& ix, Tag& t, bool forward) {
  const Level& leaf = t.Leaf();
  const int count = NodeCount(leaf.Data);
  // Steps taken in this leaf in the walk's direction.
  const int step = forward ? leaf.Index : count - 1 - leaf.Index;
  if (step == 0 && t.AheadPage != leaf.Page) PrefetchArrival(a, t, forward);
  if (step + kAhead < count) {
    const int k = step + kAhead;
    PrefetchDbfRecord(a, int32_t(PointerAt(leaf.Data, t.Geo, forward ? k : count - 1 - k)));
  } else if (step == std::max(count - kAhead, 0) && t.Path.size() >= 2) {
    PrefetchNeighbour(a, ix, t, forward);
  }
}

bool InRange(const WorkArea& a) { return a.RecNo >= 1 && a.RecNo <= a.RecCount; }

// Puts the controlling tag back on the current record after its position
// was lost; Missing (the tag at the first key above the record's key, or
// after the last) when the record is not in the tag.
Hit Resync(WorkArea& a, IndexArea& ix, Tag& t) {
  Key k;
  MakeKey(a, t, k.data());
  Hit h = SeekRecord(ix, t, k.data(), a.RecNo);
  if (h == Hit::Missing && Seek(ix, t, k.data(), true) == Hit::Failed) return Hit::Failed;
  return h;
}

// An end record of the tag (first or last key), for GO TOP and GO BOTTOM.
int32_t EndRecord(bool last) {
  Ctx c = Current();
  WorkArea* a = CurrentWorkArea();
  if (!a) return 0;
  const char* routine = last ? "_FindLastRec" : "_FindFirstRec";
  IndexArea* ix = CheckIndexOpen(*a, routine);
  if (!ix) return a->RecCount + 1;
  if (ix->NaturalOrder) {
    Found() = a->RecCount > 0;
    return last ? std::max(a->RecCount, 1) : 1;
  }
  Tag& t = *c.t;
  // Keys of records other programs appended lead to records of the file.
  if (AnchorsChanged(*ix)) RefreshRecCount(*a);
  // A failure (pending) ends at the index's end, as an empty tag does.
  Step s = LastErrorCode() != 0 ? Step::Failed : last ? GoBottomKey(*ix, t) : GoTopKey(*ix, t);
  if (s != Step::Moved) {
    t.Bof = t.Eof = true;
    return a->RecCount + 1;
  }
  t.Bof = t.Eof = false;
  PrefetchAhead(*a, *ix, t, !last);
  return Arrive(*a, *ix, t);
}

// After another program changed the index: fresh anchors, the current
// record read again, and the controlling tag put back on it.
void RefreshPosition(Ctx& c) {
  if (!AnchorsChanged(*c.ix) || LastErrorCode() != 0) return;
  // The phantom record stays past the end, however many records came.
  const bool atEnd = c.a->RecNo > c.a->RecCount;
  RefreshRecCount(*c.a);
  if (atEnd) {
    GoEofPosition(*c.a, *c.t);
    return;
  }
  if (InRange(*c.a)) {
    GetDbfRecord(*c.a, c.a->RecNo);
    LoadUserBuffer();
  }
  if (!c.ix->NaturalOrder) SoftSyncIndex();
}

// The answer of a step: the new entry's record, or at an end the current
// record with the tag's flag of that end set.
int32_t AfterStep(Step s, WorkArea& a, const IndexArea& ix, Tag& t, bool forward) {
  if (s == Step::Moved) return Arrive(a, ix, t);
  if (s == Step::AtEnd) (forward ? t.Eof : t.Bof) = true;
  return a.RecNo;
}

// What NextRec and PriorRec do first: the found flag cleared, the position
// refreshed after changes by others. True, with the answer in `record`,
// when an empty table or FOR tag already decides it, or when the refresh
// failed (the error pending tells the caller). (Not an optional: its value
// and flag, stored apart and read back as one word, held up every move.)
bool StepPrelude(Ctx& c, int32_t& record) {
  Found() = 0;
  RefreshPosition(c);
  if (LastErrorCode() != 0) {
    record = c.a->RecNo;
    return true;
  }
  if (c.a->RecCount >= 1 && !c.t->ForTagEmpty()) return false;
  c.t->Bof = c.t->Eof = true;
  record = c.a->RecCount + 1;
  return true;
}

int32_t NextRec() {
  Ctx c = Current();
  if (!c) return 0;
  if (int32_t r; StepPrelude(c, r)) return r;
  WorkArea& a = *c.a;
  Tag& t = *c.t;
  t.Bof = false;
  if (c.ix->NaturalOrder) {
    // Only a move past the known count needs the file's size.
    if (a.RecNo >= a.RecCount) RefreshRecCount(a);
    if (a.RecNo < a.RecCount) return a.RecNo + 1;
    a.Eof = true;
    return a.RecNo;
  }
  if (t.Eof) {
    if (GoBottomKey(*c.ix, t) != Step::Moved) return a.RecCount + 1;
    const int32_t last = EntryRecord(a, *c.ix, t);
    Reset(t);
    return last != 0 ? last : a.RecNo;
  }
  // A lost position is found again from the record; when the record has no
  // entry, the first entry above its key is the next one.
  if (!t.OnEntry()) {
    const Hit h = Resync(a, *c.ix, t);
    if (h == Hit::Failed) return a.RecNo;
    if (h == Hit::Missing) return t.OnEntry() ? Arrive(a, *c.ix, t) : AfterStep(Step::AtEnd, a, *c.ix, t, true);
  }
  const Step s = StepNext(*c.ix, t);
  if (s == Step::Moved) PrefetchAhead(a, *c.ix, t, true);
  return AfterStep(s, a, *c.ix, t, true);
}

int32_t PriorRec() {
  Ctx c = Current();
  if (!c) return 0;
  if (int32_t r; StepPrelude(c, r)) return r;
  WorkArea& a = *c.a;
  Tag& t = *c.t;
  t.Eof = false;
  if (c.ix->NaturalOrder) {
    if (a.RecNo > 1) return std::min(a.RecNo - 1, a.RecCount);
    a.Bof = true;
    return a.RecNo;
  }
  if (t.Bof) return a.RecNo;
  if (!t.Positioned()) return EndRecord(true);
  const Step s = StepPrior(*c.ix, t);
  if (s == Step::Moved) PrefetchAhead(a, *c.ix, t, false);
  return AfterStep(s, a, *c.ix, t, false);
}

// The key text procedure of a tag (index hooks 19 and 20).
IndexHooks::KeyTextProc KeyTextOf(int n) {
  IndexArea* ix = CurrentIndex();
  Tag* t = ix ? TagByNumber(*ix, n) : nullptr;
  if (!t) return nullptr;
  const uint8_t area = Db().CurrentArea;
  const uint8_t number = t->Number;
  return [area, number]() -> std::string {
    AreaScope keep(area);
    IndexArea* ix = CurrentIndex();
    Tag* t = ix ? TagByNumber(*ix, number) : nullptr;
    return t ? KeyText(*t) : std::string();
  };
}

}  // namespace

bool PositionOnFirstVisible(WorkArea& a, IndexArea& ix, Tag& t) {
  Step s = GoTopKey(ix, t);
  while (s == Step::Moved) {
    if (!LoadEntryRecord(a, ix, t)) return false;
    if (RecordVisible()) return true;
    s = StepNext(ix, t);
  }
  if (s == Step::Failed) return false;
  t.Eof = true;
  Reset(t);
  return true;
}

void SyncTag(WorkArea& a, IndexArea& ix, Tag& t, bool controlling) {
  if (InRange(a) && ForHolds(t)) {
    Key k;
    MakeKey(a, t, k.data());
    const std::string where = Locator(ix, &t);
    if (AnchorsChanged(ix) && LastErrorCode() != 0) return;
    Hit h = Seek(ix, t, k.data(), false);
    if (h == Hit::Failed) return;
    if (h == Hit::Missing) {
      SetError(212, "Key: \"" + KeyText(t) + "\" not in index: " + where + ". [SyncIndex-1] Record: " + IntText(a.RecNo));
      return;
    }
    if (t.Unique) return;
    h = SeekRecord(ix, t, k.data(), a.RecNo);
    if (h == Hit::Missing)
      SetError(212, "Record with key: \"" + KeyText(t) + "\" not in index: " + where + ". [SyncIndex-2]");
    return;
  }
  if (!controlling) {
    GoBottomKey(ix, t);
  } else if (!ix.NaturalOrder) {
    t.Eof = true;
    Reset(t);
  }
}

void InstallNavigationHooks(IndexHooks& h) {
  h.IndexPresent = [] { return Current().t != nullptr; };
  h.SyncIndex = [] { SyncIndex(false); };
  h.NextRec = NextRec;
  h.PriorRec = PriorRec;
  h.TopRec = [] { return EndRecord(false); };
  h.BottomRec = [] { return EndRecord(true); };
  h.AtEof = [] {
    Ctx c = Current();
    return !c || (c.ix->NaturalOrder ? c.a->Eof : c.t->Eof);
  };
  h.AtBof = [] {
    Ctx c = Current();
    return !c || (c.ix->NaturalOrder ? c.a->Bof : c.t->Bof);
  };
  h.RefreshKey = [] {
    if (Ctx c = Current()) RefreshCurrentKey(*c.a, *c.t);
  };
  h.SetBof = [] {
    if (Ctx c = Current()) c.t->Bof = true;
  };
  h.SetEof = [] {
    if (Ctx c = Current()) c.t->Eof = true;
  };
  h.FoundFlag = &Found();
  h.TagKeyText = KeyTextOf;
  h.OrderKeyText = []() -> IndexHooks::KeyTextProc {
    Ctx c = Current();
    if (!c) return nullptr;
    if (c.ix->NaturalOrder)
      return [] { return "Rec:" + StrInt(RecNo(), 10); };
    return KeyTextOf(c.t->Number);
  };
  h.Ascending = [](int n) {
    IndexArea* ix = CurrentIndex();
    Tag* t = ix ? TagByNumber(*ix, n) : nullptr;
    return !t || !t->Descending;
  };
  h.Phonetic = [](int n) -> uint8_t {
    IndexArea* ix = CurrentIndex();
    Tag* t = ix ? TagByNumber(*ix, n) : nullptr;
    return t ? t->Phonetic : 0;
  };
}

}  // namespace ndx

using namespace ndx;

bool IndexFound() { return Engine().index.Found != 0; }

bool SetExactMatch() { return std::exchange(Engine().index.ExactMatch, true); }
bool ClearExactMatch() { return std::exchange(Engine().index.ExactMatch, false); }

void SoftSyncIndex() {
  Ctx c = Current();
  if (!c) return;
  Tag& t = *c.t;
  Key k;
  MakeKey(*c.a, t, k.data());
  // A unique tag holds one record of each key: finding the key suffices.
  Hit h = t.Unique ? Seek(*c.ix, t, k.data(), false) : SeekRecord(*c.ix, t, k.data(), c.a->RecNo);
  if (h == Hit::Missing && ForHolds(t))
    SetError(212, "Record with key: \"" + KeyText(t) + "\" not in index: " + Locator(*c.ix, &t) + ". [SoftSyncIndex]");
}

void SyncIndex(bool everyTag) {
  Ctx c = Current();
  if (!c) return;
  for (auto& t : c.ix->Slots) {
    if (!t || (!everyTag && t.get() != c.t)) continue;
    SyncTag(*c.a, *c.ix, *t, t.get() == c.t);
    if (LastErrorCode() != 0) return;
  }
}

int CurrentOrder() {
  WorkArea* a = CheckDbInUse("CurrentOrder");
  if (!a) return 0;
  auto* ix = static_cast<IndexArea*>(a->Extra.Index.get());
  if (!ix || ix->NaturalOrder || !ix->Controlling()) return 0;
  return ix->Controlling()->Number;
}

void Set_Order_To(int order) {
  WorkArea* a = CheckDbInUse("Set_Order_To");
  if (!a) return;
  IndexArea* ix = CheckIndexOpen(*a, "Set_Order_To");
  if (!ix) return;
  const std::string call = "[Set_Order_To(" + IntText(order) + ")]";
  if (order < 0 || order > ix->TagCount()) {
    SetError(220, "Invalid Index Order Specified: SET_ORDER_TO. " + call + " (DBF=" + a->FileName + ")");
    return;
  }
  if (order == 0) {
    ix->NaturalOrder = true;
    return;
  }
  ReadBracket bracket;
  if (!bracket) return;
  ix->NaturalOrder = false;
  if (InRange(*a)) {
    GetDbfRecord(*a, a->RecNo);
    if (LastErrorCode() != 0) return;
    LoadUserBuffer();
  }
  const bool wasEof = ix->Controlling()->Eof;
  if (order != ix->Controlling()->Number) {
    const int current = ix->Controlling()->Number;
    if (current != 1) std::swap(ix->Slots[1], ix->Slots[size_t(current)]);
    if (order != 1) std::swap(ix->Slots[1], ix->Slots[size_t(order)]);
  }
  Tag* t = ix->Controlling();
  if (!t || t->Number != order) {
    SetError(221, "Index not open.. (DBF=" + a->FileName + ") " + call);
    return;
  }
  if (wasEof) GoEofPosition(*a, *t);
  const uint8_t found = Found();
  SyncIndex(true);
  if (LastErrorCode() == 0) RefreshCurrentKey(*a, *t);
  Found() = found;
}

void SetOrderToTag(const std::string& name) {
  WorkArea* a = CheckDbInUse("SetOrderToTag");
  if (!a) return;
  const std::string want = Upper(AllTrim(name.substr(0, 10)));
  const std::string call = "SetOrderToTag(" + want + ")";
  IndexArea* ix = CheckIndexOpen(*a, call);
  if (!ix) return;
  if (want.empty()) {
    Set_Order_To(0);
    return;
  }
  for (int n = 1; n <= ix->TagCount(); ++n) {
    if (TagName(*ix, n).compare(0, want.size(), want) == 0) {
      Set_Order_To(n);
      return;
    }
  }
  SetError(220, "Invalid Index Order Specified: SET_ORDER_TO. [" + call + "] (DBF=" + a->FileName + ")");
}

namespace {

// The byte that sorts above every other in a character tag.
uint8_t HighestByte(const Tag& t) { return uint8_t(std::find(t.Rank, t.Rank + 256, 255) - t.Rank); }

// The search key of a Find text and the number of its bytes that must
// match.
size_t SearchKey(const WorkArea& a, const Tag& t, const std::string& text, Key& key) {
  key.fill(0);
  switch (t.Type) {
    case 'C': {
      std::string s = text.substr(0, kMaxKeyLen);
      if (Engine().index.ExactMatch) s = PadR(s, t.Geo.KeyLen).substr(0, t.Geo.KeyLen);
      if (a.Oem) s = plat::AnsiToOem(s);
      StrCopyZ(reinterpret_cast<char*>(key.data()), s.c_str(), key.size());
      const size_t len = std::min<size_t>(s.size(), t.Geo.KeyLen);
      // A descending tag holds the longest keys with this beginning first.
      if (t.Descending) std::memset(key.data() + len, HighestByte(t), t.Geo.KeyLen - len);
      return len;
    }
    case 'D': {
      plat::writeLE64(key.data(), std::bit_cast<uint64_t>(DateTextToJulian(AllTrim(text))));
      return t.Geo.KeyLen;
    }
    default: {
      BcdKey k = BcdKeyFromText(text, t.Decimals);
      std::memcpy(key.data(), k.data(), k.size());
      return t.Geo.KeyLen;
    }
  }
}

}  // namespace

bool Find(const std::string& text) {
  Found() = 0;
  WorkArea* a = CheckDbInUse("Find");
  if (!a) return false;
  IndexArea* ix = CheckIndexOpen(*a, "Find");
  if (!ix) return false;
  if (ix->NaturalOrder) {
    SetError(254, "Cannot use Find() with index order 0 (natural order) [Find]");
    return false;
  }
  if (text.empty()) return false;
  Tag& t = *ix->Controlling();
  LastErrorCode() = 0;
  bool found = false;
  {
    ReadBracket bracket;
    if (!bracket) return false;
    RefreshRecCount(*a);
    if (AnchorsChanged(*ix) && LastErrorCode() != 0) return false;
    Key key;
    const size_t compareLen = SearchKey(*a, t, text, key);
    Step s = Step::AtEnd;
    if (a->RecCount > 0 && !t.ForTagEmpty()) {
      Hit h = Seek(*ix, t, key.data(), false);
      if (h == Hit::Failed) return false;
      // Above every key: the last one is the nearest.
      s = t.OnEntry() ? Step::Moved : StepPrior(*ix, t);
    }
    // The first visible record from there decides.
    while (s == Step::Moved) {
      if (!LoadEntryRecord(*a, *ix, t)) return false;
      if (RecordVisible()) {
        found = CompareBytes(key.data(), t.EntryKey(), compareLen) == 0;
        break;
      }
      s = StepNext(*ix, t);
    }
    if (s == Step::Failed) return false;
    if (found) {
      t.Bof = t.Eof = false;
      RefreshCurrentKey(*a, t);
    } else {
      GoEofPosition(*a, t);
    }
  }
  Found() = found;
  RunAfterMove();
  return Found() != 0;
}
