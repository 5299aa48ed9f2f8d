// Keeping every tag's keys in step with the table: inserting and removing
// entries in the trees (with node splits and merges up to the root), the
// keys of an appended record, and moving keys after a replace.
#include <algorithm>
#include <cstring>

#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_internal.h"
#include "tables/expr/tzndxlow.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace ndx {

namespace {

// An item on its way into a node: pointer and key.
struct Item {
  uint32_t Pointer = 0;
  Key KeyBytes{};
};

Item MakeItem(const Tag& t, uint32_t pointer, const uint8_t* key) {
  Item it;
  it.Pointer = pointer;
  std::memcpy(it.KeyBytes.data(), key, t.Geo.KeyLen);
  return it;
}

// Puts `it` at position `at` of a node with room; the items from there on
// and the trailing pointer move up by one item.
void InsertItem(Node& n, const Geometry& g, int at, const Item& it) {
  const int c = NodeCount(n);
  uint8_t* tail = ItemAt(n, g, c) + 4;  // just past the trailing pointer
  plat::writeLE32(tail, it.Pointer);
  std::memcpy(tail + 4, it.KeyBytes.data(), g.KeyLen);
  std::memset(tail + 4 + g.KeyLen, 0, g.ItemLen - 4u - g.KeyLen);
  ExchangeBlocks(ItemAt(n, g, at), size_t(c - at) * g.ItemLen + 4, g.ItemLen);
  SetNodeCount(n, c + 1);
}

// Takes item `at` out of a node; the items after it and the trailing
// pointer move down by one item.
void RemoveItem(Node& n, const Geometry& g, int at) {
  const int c = NodeCount(n);
  ExchangeBlocks(ItemAt(n, g, at), g.ItemLen, size_t(c - 1 - at) * g.ItemLen + 4);
  std::memset(ItemAt(n, g, c - 1) + 4, 0, g.ItemLen);
  SetNodeCount(n, c - 1);
}

// The largest key under a node: a leaf's last key, an interior node's by
// its trailing pointers down to a leaf.
bool LargestKey(IndexArea& ix, const Tag& t, const Node& n, Key& out) {
  Node cur = n;
  for (size_t depth = 0; !IsLeaf(cur, t.Geo); ++depth) {
    Node next;
    if (depth >= kMaxDepth || !ReadNode(ix, t, Trailing(cur, t.Geo), next)) {
      if (depth >= kMaxDepth) SetError(222, "Corrupted index file: endless trailing pointers " + Locator(ix, &t));
      return false;
    }
    cur = next;
  }
  int c = NodeCount(cur);
  if (c == 0) return false;
  std::memcpy(out.data(), KeyAt(cur, t.Geo, c - 1), t.Geo.KeyLen);
  return true;
}

// After the largest key under path level `d` changed: the item above it
// that names that key takes the new one. Levels reached through trailing
// pointers carry no key of their own, so the search goes up past them.
bool FixSeparator(IndexArea& ix, Tag& t, size_t d) {
  Key largest;
  if (!LargestKey(ix, t, t.Path[d].Data, largest)) return LastErrorCode() == 0;
  for (size_t e = d; e-- > 0;) {
    Level& p = t.Path[e];
    if (p.Index >= NodeCount(p.Data)) continue;
    std::memcpy(ItemAt(p.Data, t.Geo, p.Index) + 4, largest.data(), t.Geo.KeyLen);
    return WriteNode(ix, t, p.Page, p.Data);
  }
  return true;
}

// Inserts (key, rec) where SeekInsertion left `t`, splitting full nodes on
// the way up; a split root gives the tree a new root. A split node keeps
// its page and its lower half, the upper half goes to one new page at the
// end of the file, and a split root adds one more for the new root: the
// file grows by what the tree holds. Between the split node's write and
// the parent's (or the tag header's) the upper half is out of the tree,
// so the file is marked for the span (see MarkUpdate); the caller clears
// the mark when its update is done.
bool InsertEntry(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec) {
  const Geometry& g = t.Geo;
  Item pending = MakeItem(t, uint32_t(rec), key);
  size_t d = t.Path.size() - 1;
  int at = t.Path[d].Index;
  for (;;) {
    Level& l = t.Path[d];
    Node& n = l.Data;
    const int c = NodeCount(n);
    if (c < g.KeysPerNode) {
      InsertItem(n, g, at, pending);
      return WriteNode(ix, t, l.Page, n);
    }
    // Split: the new right node takes the upper c div 2 items and the
    // trailing pointer; in an interior node the last kept item's pointer
    // becomes the left node's trailing pointer and its key leaves.
    const bool leaf = IsLeaf(n, g);
    const int keep = c - c / 2;
    Node right{};
    std::memcpy(ItemAt(right, g, 0), ItemAt(n, g, keep), size_t(c - keep) * g.ItemLen + 4);
    SetNodeCount(right, c - keep);
    Node left = n;
    const int leftCount = leaf ? keep : keep - 1;
    if (!leaf) plat::writeLE32(ItemAt(left, g, leftCount), PointerAt(n, g, keep - 1));
    std::memset(ItemAt(left, g, leftCount) + 4, 0, kNodeSize - (kItemsAt + size_t(leftCount) * g.ItemLen + 4));
    if (leaf) plat::writeLE32(ItemAt(left, g, leftCount), 0);
    SetNodeCount(left, leftCount);
    if (at < keep)
      InsertItem(left, g, at, pending);
    else
      InsertItem(right, g, at - keep, pending);
    // The new half first: until the split node is written it lies unused.
    if (!MarkUpdate(ix)) return false;
    const uint32_t leftPage = l.Page;
    const uint32_t rightPage = AppendNode(ix, t, right);
    if (rightPage == 0 || !WriteNode(ix, t, leftPage, left)) return false;
    Key leftMax, rightMax;
    if (!LargestKey(ix, t, left, leftMax) || !LargestKey(ix, t, right, rightMax)) return false;
    if (d == 0) {
      Node root{};
      plat::writeLE32(ItemAt(root, g, 0), leftPage);
      std::memcpy(ItemAt(root, g, 0) + 4, leftMax.data(), g.KeyLen);
      plat::writeLE32(ItemAt(root, g, 1), rightPage);
      SetNodeCount(root, 1);
      const uint32_t rootPage = AppendNode(ix, t, root);
      if (rootPage == 0) return false;
      t.SetRoot(rootPage);
      return true;
    }
    // The parent's item for the split node takes its new largest key, and
    // the new node follows it (or becomes the trailing pointer).
    --d;
    Level& p = t.Path[d];
    const int pc = NodeCount(p.Data);
    if (p.Index < pc) {
      std::memcpy(ItemAt(p.Data, g, p.Index) + 4, leftMax.data(), g.KeyLen);
      pending = MakeItem(t, rightPage, rightMax.data());
      at = p.Index + 1;
    } else {
      plat::writeLE32(ItemAt(p.Data, g, pc), rightPage);
      pending = MakeItem(t, leftPage, leftMax.data());
      at = pc;
    }
  }
}

// Removes the reference at `Path[d].Index` (an item, or in an interior node
// possibly the trailing pointer) from the node at level d.
bool RemoveAt(IndexArea& ix, Tag& t, size_t d) {
  const Geometry& g = t.Geo;
  Level& l = t.Path[d];
  Node& n = l.Data;
  const int c = NodeCount(n);
  const int i = l.Index;
  if (IsLeaf(n, g)) {
    if (c > 1) {
      RemoveItem(n, g, i);
      if (!WriteNode(ix, t, l.Page, n)) return false;
      return i < c - 1 || FixSeparator(ix, t, d);
    }
  } else if (i < c) {
    RemoveItem(n, g, i);
  } else if (c > 0) {
    // The trailing child goes: the last item's child takes its place.
    plat::writeLE32(ItemAt(n, g, c), 0);
    SetNodeCount(n, c - 1);
    std::memset(ItemAt(n, g, c - 1) + 4, 0, g.ItemLen);
  }
  if (IsLeaf(n, g) || (i == c && c == 0)) {
    // No child left: the node leaves the tree (the root stays, empty).
    n.fill(0);
    if (!WriteNode(ix, t, l.Page, n)) return false;
    if (d == 0) {
      t.SetHasKeys(false);
      return true;
    }
    return RemoveAt(ix, t, d - 1);
  }
  if (!WriteNode(ix, t, l.Page, n)) return false;
  if (d == 0) {
    // A root with one child left hands the tree to it.
    if (NodeCount(n) == 0) t.SetRoot(Trailing(n, g));
    return true;
  }
  if (i == c || NodeCount(n) == 0) return FixSeparator(ix, t, d);
  return true;
}

// Adds (key, rec) to tag `t`: at its place by key and record number.
// A unique tag that holds the key already gets nothing: the record that
// came first keeps it. False after a failure was reported.
bool AddKey(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec) {
  if (t.Unique) {
    Key k;
    std::memcpy(k.data(), key, t.Geo.KeyLen);
    Hit h = Seek(ix, t, k.data(), true);
    Reset(t);
    if (h == Hit::Failed) return false;
    if (h == Hit::Found) return true;
  }
  if (t.HasFor()) t.SetHasKeys(true);
  if (!SeekInsertion(ix, t, key, rec) || !InsertEntry(ix, t, key, rec)) return false;
  Reset(t);
  return !t.AnchorChanged || WriteAnchor(ix, t);
}

// Removes (key, rec) from tag `t`. Missing when the tag lacks the entry.
Hit RemoveKey(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec) {
  Hit h = SeekRecord(ix, t, key, rec);
  if (h == Hit::Found && !RemoveAt(ix, t, t.Path.size() - 1)) h = Hit::Failed;
  Reset(t);
  if (h == Hit::Failed || (t.AnchorChanged && !WriteAnchor(ix, t))) return Hit::Failed;
  return h;
}

// Whether `key` is in `t` under any record.
Hit HoldsKey(IndexArea& ix, Tag& t, const uint8_t* key) {
  Key k;
  std::memcpy(k.data(), key, t.Geo.KeyLen);
  Hit h = Seek(ix, t, k.data(), false);
  Reset(t);
  return h;
}

}  // namespace

}  // namespace ndx

using namespace ndx;

namespace {

// Natural order left for the duration of a key update.
class IndexOrder {
 public:
  explicit IndexOrder(IndexArea& ix) : ix_(ix), natural_(std::exchange(ix.NaturalOrder, false)) {}
  ~IndexOrder() { ix_.NaturalOrder = natural_; }
  IndexOrder(const IndexOrder&) = delete;
  IndexOrder& operator=(const IndexOrder&) = delete;

 private:
  IndexArea& ix_;
  bool natural_;
};

// The controlling tag on the current record again, with its current key.
void Settle(WorkArea& a, IndexArea& ix) {
  Tag* t = ix.Controlling();
  if (!t || LastErrorCode() != 0) return;
  SyncTag(a, ix, *t, true);
  if (LastErrorCode() == 0) MakeKey(a, *t, t->CurrentKey.data());
}

void AppendNewKey() {
  WorkArea* a = CurrentWorkArea();
  IndexArea* ix = CurrentIndex();
  if (!a || !ix || !ix->Controlling()) return;
  IndexOrder order(*ix);
  if ((AnchorsChanged(*ix) && LastErrorCode() != 0) || UpdateCutOff(*ix)) return;
  const int32_t rec = a->RecNo;
  std::vector<Tag*> added;
  for (auto& slot : ix->Slots) {
    if (!slot) continue;
    Tag& t = *slot;
    if (!ForHolds(t)) continue;
    Key k;
    MakeKey(*a, t, k.data());
    if (AddKey(*ix, t, k.data(), rec)) {
      added.push_back(&t);
      continue;
    }
    // Undo the record's keys in the tags done so far.
    const uint16_t code = LastErrorCode();
    const std::string msg = LastErrorMessage();
    for (auto it = added.rbegin(); it != added.rend(); ++it) {
      MakeKey(*a, **it, k.data());
      if (RemoveKey(*ix, **it, k.data(), rec) != Hit::Found) {
        SetError(254, "Index file corrupted. " + Locator(*ix, *it) + " [AppendNewKey]");
        return;
      }
    }
    LastErrorCode() = code;
    LastErrorMessage() = msg;
    return;
  }
  if (FinishUpdate(*ix)) Settle(*a, *ix);
}

// Before a replace: what the record holds in every tag, kept apart from
// the tags' positions.
void CaptureKeys() {
  WorkArea* a = CurrentWorkArea();
  IndexArea* ix = CurrentIndex();
  if (!a || !ix) return;
  for (auto& t : ix->Slots) {
    if (!t) continue;
    t->OldFor = ForHolds(*t);
    MakeKey(*a, *t, t->OldKey.data());
  }
  ix->CapturedRec = a->RecNo;
}

// After a replace: each tag whose key changed, or whose condition does not
// hold for both the old and the new record, loses the record's old entry
// and gets the new key when its condition holds. A tag without condition
// that lacks the old entry gets nothing: the record may stand in it under
// a key this engine does not make (another program's), and a second entry
// would follow. It is reported with its tag once every tag is done.
// Removing the old entry and adding the new one are separate page writes:
// the file is marked for the span of them (see MarkUpdate).
void UpdateKeys() {
  WorkArea* a = CurrentWorkArea();
  IndexArea* ix = CurrentIndex();
  if (!a || !ix || ix->CapturedRec != a->RecNo) return;
  ix->CapturedRec = 0;
  IndexOrder order(*ix);
  // Changes by others leave the controlling tag to be found again too.
  bool moved = AnchorsChanged(*ix);
  if (LastErrorCode() != 0 || UpdateCutOff(*ix)) return;
  const int32_t rec = a->RecNo;
  std::string missing;
  for (auto& slot : ix->Slots) {
    if (!slot) continue;
    Tag& t = *slot;
    Key k;
    MakeKey(*a, t, k.data());
    const bool in = ForHolds(t);
    if (in && t.OldFor && CompareBytes(k.data(), t.OldKey.data(), t.Geo.KeyLen) == 0) continue;
    moved |= &t == ix->Controlling();
    if (in && !MarkUpdate(*ix)) return;
    // A tag with a condition may lack the record; it may also still hold
    // it while the condition is false (deleting a record moves no key).
    Hit h = RemoveKey(*ix, t, t.OldKey.data(), rec);
    if (h == Hit::Failed) return;
    if (h == Hit::Missing && !t.HasFor()) {
      if (!t.Unique) {
        if (missing.empty())
          missing = "Record number " + IntText(rec) + " not found in index. " + Locator(*ix, &t) + " [CompareKeys]";
        continue;
      }
      // A unique tag holds a key for its first record only: a record that
      // shares its key with that one gets the new key. A key no record
      // holds leaves the record's own entry unknown.
      Hit held = HoldsKey(*ix, t, t.OldKey.data());
      if (held == Hit::Failed) return;
      if (held == Hit::Missing) continue;
    }
    if (in && !AddKey(*ix, t, k.data(), rec)) return;
  }
  if (!FinishUpdate(*ix)) return;
  if (!missing.empty()) {
    SetError(254, missing);
    return;
  }
  if (moved || ix->Controlling()->HasFor()) Settle(*a, *ix);
}

}  // namespace

namespace ndx {

void InstallKeyHooks(IndexHooks& h) {
  h.AppendKeys = AppendNewKey;
  h.CaptureKeys = CaptureKeys;
  h.UpdateKeys = UpdateKeys;
}

}  // namespace ndx
