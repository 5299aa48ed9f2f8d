// Keys and positions inside a tag: comparing and making keys, seeking,
// moving through the tree in key order across leaves.
#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/codepage.h"
#include "tables/mdx/tzndx_internal.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace ndx {

namespace {

double ReadDouble(const uint8_t* p) {
  return std::bit_cast<double>(plat::readLE64(p));
}

void WriteDouble(uint8_t* p, double v) {
  plat::writeLE64(p, std::bit_cast<uint64_t>(v));
}

BcdKey AsBcd(const uint8_t* p) {
  BcdKey k;
  std::memcpy(k.data(), p, k.size());
  return k;
}

// The first entry of node `n` whose key is not below `key`; the count when
// every key is below.
// With `after`, the first entry whose key is above `key`.
int LowerBound(const Tag& t, const Node& n, const uint8_t* key, bool after = false) {
  int lo = 0, hi = NodeCount(n);
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    int c = CompareKeys(t, KeyAt(n, t.Geo, mid), key);
    if (c < 0 || (after && c == 0))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

bool OnPath(const std::vector<Level>& path, uint32_t page) {
  return std::any_of(path.begin(), path.end(), [&](const Level& l) { return l.Page == page; });
}

// Reads `page` as the next level of `path`, refusing a path that runs in a
// circle or deeper than any real tree.
bool PushLevel(IndexArea& ix, const Tag& t, std::vector<Level>& path, uint32_t page) {
  if (path.size() >= kMaxDepth || OnPath(path, page)) {
    SetError(222, "Corrupted index file: page " + IntText(page) + " repeats on its own path " + Locator(ix, &t) +
                      " [GetNode]");
    return false;
  }
  Level& l = path.emplace_back();
  l.Page = page;
  if (ReadNode(ix, t, page, l.Data)) return true;
  path.pop_back();
  return false;
}

// Descends from `page` to a leaf by first (or last) pointers, appending
// each node to `path`; the leaf's entry is its first (or last).
bool Descend(IndexArea& ix, const Tag& t, std::vector<Level>& path, uint32_t page, bool last) {
  for (;;) {
    if (!PushLevel(ix, t, path, page)) return false;
    Level& l = path.back();
    const int count = NodeCount(l.Data);
    if (IsLeaf(l.Data, t.Geo)) {
      l.Index = last ? count - 1 : 0;
      return true;
    }
    l.Index = last ? count : 0;
    page = PointerAt(l.Data, t.Geo, l.Index);
  }
}

// The child the entry at `l.Index` of an interior level leads to.
uint32_t ChildOf(const Level& l, const Tag& t) { return PointerAt(l.Data, t.Geo, l.Index); }

// Moves to a neighbouring leaf: up to the nearest ancestor that has a
// child on that side, over to it, and down its near edge. Empty leaves
// (other programs may leave them) are passed over.
Step CrossLeaf(IndexArea& ix, Tag& t, bool forward) {
  std::vector<Level> path = t.Path;
  for (;;) {
    size_t d = path.size() - 1;
    auto hasSide = [&](const Level& l) { return forward ? l.Index < NodeCount(l.Data) : l.Index > 0; };
    while (d > 0 && !hasSide(path[d - 1])) --d;
    if (d == 0) return Step::AtEnd;
    path.resize(d);
    path.back().Index += forward ? 1 : -1;
    if (!Descend(ix, t, path, ChildOf(path.back(), t), !forward)) return Step::Failed;
    if (NodeCount(path.back().Data) > 0) break;
  }
  t.Path = std::move(path);
  return Step::Moved;
}

}  // namespace

int CompareKeys(const Tag& t, const uint8_t* a, const uint8_t* b) {
  if (t.Descending) std::swap(a, b);
  switch (t.Type) {
    case 'C':
      for (size_t i = 0; i < t.Geo.KeyLen; ++i)
        if (a[i] != b[i]) return int(t.Rank[a[i]]) - int(t.Rank[b[i]]);
      return 0;
    case 'D': return CompareFloats(ReadDouble(a), ReadDouble(b));
    default: return CompareBcdKeys(AsBcd(a), AsBcd(b));
  }
}

void MakeKey(const WorkArea& a, const Tag& t, uint8_t* out) {
  // The evaluation makes the key expression the engine's current one
  // itself, so nothing can slip in between setting it and evaluating it.
  const size_t len = t.Geo.KeyLen;
  switch (t.Type) {
    case 'C': {
      const char* s = ExprText(Evaluate(t.KeyExpr));
      size_t n = StrLenZ(s, len);
      std::memcpy(out, s, n);
      std::memset(out + n, ' ', len - n);
      out[len] = 0;
      if (a.Oem)
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(plat::AnsiToOemChar(char(out[i])));
      return;
    }
    case 'D': WriteDouble(out, ExprNumber(Evaluate(t.KeyExpr))); return;
    default: {
      BcdKey k = EvaluateNumericKey(t.KeyExpr, t.Decimals);
      std::memcpy(out, k.data(), k.size());
    }
  }
}

void BlankKey(const Tag& t, uint8_t* out) {
  std::memset(out, t.Type == 'C' ? ' ' : 0, t.Geo.KeyLen);
  out[t.Geo.KeyLen] = 0;
}

bool ForHolds(const Tag& t) { return !t.ForExpr || ExprLogical(Evaluate(t.ForExpr)); }

std::string KeyText(const Tag& t) {
  const void* r = Evaluate(t.KeyExpr);
  switch (t.Type) {
    case 'C': return CountedCopy(ExprText(r), kMaxKeyLen);
    case 'D': return JulianToDateText(ExprNumber(r));
    default: return FormatNumber(ExprNumber(r), t.KeyExpr->ResultLen, t.KeyExpr->ResultDec);
  }
}

namespace {

// Whether the entry `t` stands on holds `key`. A numeric key equal in value
// takes the entry's bytes, so that callers may compare bytes afterwards.
bool EntryMatches(const Tag& t, uint8_t* key) {
  if (!t.OnEntry()) return false;
  if (t.Type == 'N' || t.Type == 'F') {
    if (CompareKeys(t, t.EntryKey(), key) != 0) return false;
    std::memcpy(key, t.EntryKey(), t.Geo.KeyLen);
    return true;
  }
  return CompareBytes(t.EntryKey(), key, t.Geo.KeyLen) == 0;
}

}  // namespace

namespace {

// Down from the root to the leaf place of `key`: before its first entry,
// or with `after` behind its last.
bool DescendTo(IndexArea& ix, Tag& t, const uint8_t* key, bool after) {
  t.Bof = t.Eof = false;
  Reset(t);
  std::vector<Level> path;
  uint32_t page = t.Root();
  for (;;) {
    if (!PushLevel(ix, t, path, page)) return false;
    Level& l = path.back();
    l.Index = LowerBound(t, l.Data, key, after);
    if (IsLeaf(l.Data, t.Geo)) break;
    page = ChildOf(l, t);
  }
  t.Path = std::move(path);
  return true;
}

}  // namespace

Hit Seek(IndexArea& ix, Tag& t, uint8_t* key, bool insertion) {
  if (!DescendTo(ix, t, key, false)) return Hit::Failed;
  Level& leaf = t.Leaf();
  const int count = NodeCount(leaf.Data);
  if (leaf.Index == count && !insertion) {
    // Above every key of this leaf: the next leaf's first entry, if any.
    Step s = Step::AtEnd;
    if (count > 0) {
      leaf.Index = count - 1;
      s = CrossLeaf(ix, t, true);
      if (s == Step::Failed) return Hit::Failed;
      if (s == Step::AtEnd) t.Leaf().Index = count;
    }
    if (s == Step::AtEnd) t.Eof = true;
  }
  return EntryMatches(t, key) ? Hit::Found : Hit::Missing;
}

namespace {

// (key, record) of the entry `t` stands on is below (key, rec).
bool EntryBelow(const Tag& t, const uint8_t* key, int32_t rec) {
  int c = CompareKeys(t, t.EntryKey(), key);
  return c < 0 || (c == 0 && t.EntryRec() < rec);
}

}  // namespace

bool SeekInsertion(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec) {
  // Behind the key's last entry: where an appended record's key goes.
  if (!DescendTo(ix, t, key, true)) return false;
  // Separators written by other programs may lag behind their leaves:
  // entries below the new one may still follow in the next leaves.
  for (;;) {
    Level& leaf = t.Leaf();
    const int count = NodeCount(leaf.Data);
    while (leaf.Index < count && EntryBelow(t, key, rec)) ++leaf.Index;
    if (leaf.Index < count || count == 0) break;
    std::vector<Level> here = t.Path;
    leaf.Index = count - 1;
    Step s = CrossLeaf(ix, t, true);
    if (s == Step::Failed) return false;
    if (s == Step::AtEnd || !EntryBelow(t, key, rec)) {
      t.Path = std::move(here);
      break;
    }
  }
  // Equal keys of higher records stay behind the new entry.
  auto above = [&](const Level& l, int i) {
    return CompareKeys(t, KeyAt(l.Data, t.Geo, i), key) == 0 && int32_t(PointerAt(l.Data, t.Geo, i)) > rec;
  };
  for (;;) {
    Level& leaf = t.Leaf();
    while (leaf.Index > 0 && above(leaf, leaf.Index - 1)) --leaf.Index;
    if (leaf.Index > 0) return true;
    std::vector<Level> here = t.Path;
    Step s = CrossLeaf(ix, t, false);
    if (s == Step::Failed) return false;
    if (s == Step::AtEnd || !above(t.Leaf(), t.Leaf().Index)) {
      t.Path = std::move(here);
      return true;
    }
  }
}

Hit SeekRecord(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec) {
  Key k;
  std::memcpy(k.data(), key, t.Geo.KeyLen);
  // Where equal keys are in record order the entry is just before the
  // place a new one would take.
  if (!SeekInsertion(ix, t, k.data(), rec)) return Hit::Failed;
  Step back = StepPrior(ix, t);
  if (back == Step::Failed) return Hit::Failed;
  if (back == Step::Moved && t.EntryRec() == rec && EntryMatches(t, k.data())) return Hit::Found;
  if (Hit h = Seek(ix, t, k.data(), false); h != Hit::Found) return h;
  // Other programs put equal keys in any record order: walk all of them.
  while (t.EntryRec() != rec) {
    Step s = StepNext(ix, t);
    if (s == Step::Failed) return Hit::Failed;
    if (s == Step::AtEnd || !EntryMatches(t, k.data())) return Hit::Missing;
  }
  return Hit::Found;
}

Step StepNext(IndexArea& ix, Tag& t) {
  if (!t.Positioned()) return Step::AtEnd;
  Level& leaf = t.Leaf();
  if (leaf.Index + 1 < NodeCount(leaf.Data)) {
    ++leaf.Index;
    return Step::Moved;
  }
  return CrossLeaf(ix, t, true);
}

Step StepPrior(IndexArea& ix, Tag& t) {
  if (!t.Positioned()) return Step::AtEnd;
  Level& leaf = t.Leaf();
  if (leaf.Index > 0) {
    leaf.Index = std::min(leaf.Index, NodeCount(leaf.Data)) - 1;
    return Step::Moved;
  }
  return CrossLeaf(ix, t, false);
}

namespace {

Step GoEnd(IndexArea& ix, Tag& t, bool last) {
  Reset(t);
  std::vector<Level> path;
  if (!Descend(ix, t, path, t.Root(), last)) return Step::Failed;
  t.Path = std::move(path);
  if (NodeCount(t.Leaf().Data) > 0) return Step::Moved;
  // An empty leaf at the edge of a larger tree: its neighbour holds the end.
  if (t.Path.size() > 1) {
    Step s = CrossLeaf(ix, t, !last);
    if (s != Step::AtEnd) return s;
  }
  Reset(t);
  return Step::AtEnd;
}

}  // namespace

Step GoTopKey(IndexArea& ix, Tag& t) { return GoEnd(ix, t, false); }
Step GoBottomKey(IndexArea& ix, Tag& t) { return GoEnd(ix, t, true); }

}  // namespace ndx
