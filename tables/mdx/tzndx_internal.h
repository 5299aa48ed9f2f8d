// Shared between the units of the index engine (tzndx*.cpp); not for other
// units. The file layout, the open-index state of a work area, node access
// and the routines one part of the engine needs from another.
//
// File layout (little-endian; a page is 512 bytes, a node or tag header
// 1024 bytes at an even page):
//   pages 0..3   file header: version, dates, data-file name, tag table
//                of 48 entries of 32 bytes from byte 512 (entry 0 unused)
//   tag header   root page, key flags and type, key length, keys per node,
//                item length, the key and FOR expression texts
//   node         key count (4), 0 (4), items of (pointer, key), then the
//                trailing pointer: 0 in a leaf, else the child above the
//                last key. In a leaf the pointer is a record number, in an
//                interior node a child page whose subtree's largest key the
//                item holds.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/pfile.h"
#include "tables/expr/tzparser.h"
#include "tables/mdx/tzndx.h"
#include "tablebase/dbf4.h"

namespace ndx {

constexpr int kMaxTags = 47;
constexpr size_t kHeaderSize = 2048;
constexpr int64_t kPageBytes = 512;
constexpr size_t kNodeSize = 1024;
constexpr size_t kAnchorSize = 983;  // the part of a tag header that changes
constexpr size_t kMaxKeyLen = 100;
constexpr size_t kMaxExprLen = 220;
constexpr size_t kItemsAt = 8;  // offset of the first item in a node
// Deeper than any tree of 2^31 keys can grow; a deeper path is damage (a
// cycle or a runaway chain of pages).
constexpr size_t kMaxDepth = 64;

// File header offsets.
enum : size_t {
  kFhVersion = 0,
  kFhDataName = 4,
  kFhBlockPages = 20,
  kFhBlockBytes = 22,
  kFhProduction = 24,
  kFhEntries = 25,
  kFhEntryLen = 26,
  kFhTagCount = 28,
  kFhPageCount = 32,
  kFhCreated = 44,
  // Nonzero while a key update that cannot be made in one page write is
  // under way: one of the zero bytes after the dates, which no reader or
  // writer of the format looks at and a new file leaves zero.
  kFhUpdateMark = 48,
  kFhTagTable = 512,
  kEntrySize = 32,
};
// Tag table entry offsets.
enum : size_t { kTeHeaderPage = 0, kTeName = 4, kTeLeft = 16, kTeRight = 17, kTeParent = 18, kTeMark = 19, kTeType = 20 };
// Tag header offsets.
enum : size_t {
  kThRoot = 0,
  kThFlags = 8,
  kThType = 9,
  kThKeyLen = 12,
  kThKeysPerNode = 14,
  kThDateKey = 16,
  kThItemLen = 18,
  kThUnique = 23,
  kThKeyExpr = 24,
  kThHasFor = 245,
  kThHasKeys = 246,
  kThForExpr = 762,
};
constexpr uint8_t kFlagAlways = 0x10;
constexpr uint8_t kFlagDescending = 0x08;
constexpr uint8_t kFlagUnique = 0x40;

// Collation ranks of character keys (tzndx_collate.cpp).
extern const uint8_t kAnsiRank[256];
extern const uint8_t kOemRank[256];

using Node = std::array<uint8_t, kNodeSize>;
// A key: up to 100 bytes; character keys carry a terminating zero.
using Key = std::array<uint8_t, kMaxKeyLen + 1>;

// Sizes of a tag's keys and nodes, checked against each other on open.
struct Geometry {
  uint16_t KeyLen = 0;
  uint16_t ItemLen = 0;
  uint16_t KeysPerNode = 0;
};

inline int NodeCount(const Node& n) { return int16_t(plat::readLE16(n.data())); }
inline void SetNodeCount(Node& n, int c) { plat::writeLE32(n.data(), uint32_t(c)); }
inline uint8_t* ItemAt(Node& n, const Geometry& g, int i) { return n.data() + kItemsAt + size_t(i) * g.ItemLen; }
inline const uint8_t* ItemAt(const Node& n, const Geometry& g, int i) {
  return n.data() + kItemsAt + size_t(i) * g.ItemLen;
}
inline uint32_t PointerAt(const Node& n, const Geometry& g, int i) { return plat::readLE32(ItemAt(n, g, i)); }
inline const uint8_t* KeyAt(const Node& n, const Geometry& g, int i) { return ItemAt(n, g, i) + 4; }
// The trailing pointer stands where item `count` would start.
inline uint32_t Trailing(const Node& n, const Geometry& g) { return PointerAt(n, g, NodeCount(n)); }
inline bool IsLeaf(const Node& n, const Geometry& g) { return Trailing(n, g) == 0; }

// One node of a tag's path from the root to its current leaf.
struct Level {
  uint32_t Page = 0;
  // Interior: the entry followed (count = the trailing pointer). Leaf: the
  // current entry (count = after the last one).
  int Index = 0;
  Node Data{};
};

// An open tag.
struct Tag {
  uint8_t Number = 0;  // position in the file's tag table, 1..47
  // The tag header as read, key and FOR texts normalized; what an anchor
  // write stores back.
  std::array<uint8_t, kAnchorSize> Header{};
  char Type = 'C';  // C, D, N or F
  Geometry Geo;
  bool Descending = false;
  bool Unique = false;
  uint8_t Decimals = 0;            // of a numeric key expression
  const uint8_t* Rank = kAnsiRank;  // collation of a character key
  bool Bof = false;
  bool Eof = false;
  uint8_t Phonetic = 0;  // never set by this engine
  Key CurrentKey{};
  std::vector<Level> Path;  // empty: positioned nowhere
  uint32_t AheadPage = 0;   // the leaf whose first records a walk asked for ahead
  ExprRecord* KeyExpr = nullptr;
  ExprRecord* ForExpr = nullptr;
  bool AnchorChanged = false;
  // What the current record held in this tag before a replace.
  Key OldKey{};
  bool OldFor = false;

  uint32_t Root() const { return plat::readLE32(Header.data() + kThRoot); }
  void SetRoot(uint32_t page) {
    plat::writeLE32(Header.data() + kThRoot, page);
    AnchorChanged = true;
  }
  bool HasFor() const { return Header[kThHasFor] != 0; }
  bool HasKeys() const { return Header[kThHasKeys] != 0; }
  void SetHasKeys(bool on) {
    if (HasKeys() == on) return;
    Header[kThHasKeys] = on ? 1 : 0;
    AnchorChanged = true;
  }
  // A FOR tag that no record satisfies: navigation answers at once.
  bool ForTagEmpty() const { return HasFor() && !HasKeys(); }
  bool Positioned() const { return !Path.empty(); }
  Level& Leaf() { return Path.back(); }
  const Level& Leaf() const { return Path.back(); }
  // On an entry (not nowhere, not after the last entry of its leaf).
  bool OnEntry() const { return Positioned() && Leaf().Index >= 0 && Leaf().Index < NodeCount(Leaf().Data); }
  int32_t EntryRec() const { return int32_t(PointerAt(Leaf().Data, Geo, Leaf().Index)); }
  const uint8_t* EntryKey() const { return KeyAt(Leaf().Data, Geo, Leaf().Index); }
};

// The open-index state of a work area (its extension block).
struct IndexArea : AreaExtension::Part {
  plat::File File;
  std::string FileName;
  std::array<uint8_t, kHeaderSize> Header{};
  bool HeaderChanged = false;
  // Slot 1 holds the controlling tag, tag 1 the slot of the controlling
  // tag's number, every other tag its own slot.
  std::array<std::unique_ptr<Tag>, kMaxTags + 1> Slots;
  bool NaturalOrder = false;
  bool Shared = false;  // other programs may use the file
  int32_t CapturedRec = 0;  // the record whose keys a replace captured
  // With no tag open: the index file whose open this area refused for its
  // update mark, which Reindex rebuilds from the file's own tag headers.
  std::string MarkedFile;
  int64_t Size = 0;     // the file's size as last seen

  int TagCount() const { return std::min<int>(Header[kFhTagCount], kMaxTags); }
  uint8_t* Entry(int n) { return Header.data() + kFhTagTable + size_t(n) * kEntrySize; }
  const uint8_t* Entry(int n) const { return Header.data() + kFhTagTable + size_t(n) * kEntrySize; }
  Tag* Controlling() { return Slots[1].get(); }
};

// Reads exactly `len` bytes at `pos`: 0, the I/O code, or kErrHandleEof.
// With `mapped`, through the file's mapping (ReadAtMapped).
inline int ReadExactAt(plat::File& f, int64_t pos, void* buf, size_t len, bool mapped = false) {
  size_t got = 0;
  if (int rc = mapped ? f.ReadAtMapped(pos, buf, len, &got) : f.ReadAt(pos, buf, len, &got)) return rc;
  return got == len ? 0 : int(plat::kErrHandleEof);
}

// Puts an area back on its record (number, BOF and EOF flags, record and
// typed buffers, the memo rewrites noted for that image) when the index
// code is done using them.
class KeepRecord {
 public:
  explicit KeepRecord(WorkArea& a);
  ~KeepRecord();
  KeepRecord(const KeepRecord&) = delete;
  KeepRecord& operator=(const KeepRecord&) = delete;

 private:
  WorkArea& a_;
  int32_t recNo_, recCount_;
  bool eof_, bof_, asRead_;
  std::vector<char> rec_, typed_;
  std::vector<MemoNotes::Rewrite> rewrites_;
};

// The read semaphore of the current area for a scope. False when it could
// not be taken (the error is reported): the caller stops, as reading a tree
// another program may be changing gives no answer to trust. Releasing
// reports its failure as any engine error unless an error is already
// pending or an exception is on its way: then the first one stays.
class ReadBracket {
 public:
  ReadBracket();
  ~ReadBracket() noexcept(false);
  explicit operator bool() const { return open_; }
  ReadBracket(const ReadBracket&) = delete;
  ReadBracket& operator=(const ReadBracket&) = delete;

 private:
  bool open_;
};

// --- File (tzndx.cpp) ------------------------------------------------------

// The current area's open-index state; null without one.
IndexArea* CurrentIndex();
// The state of `a`, made when missing.
IndexArea& IndexOf(WorkArea& a);
// The name rules of MakeIndex and SetIndexTo: trimmed, ".MDX" when there is
// no extension, the table's directory when there is none; empty: the
// table's own index file.
std::string CompleteIndexName(const WorkArea& a, const std::string& name);
// "<index file> [tag: <name>]"; empty for no tag.
std::string Locator(const IndexArea& ix, const Tag* t);
std::string TagName(const IndexArea& ix, int n);
// Error 221 "Index not open. (DBF=...) [routine]" unless the area has a
// controlling tag.
IndexArea* CheckIndexOpen(const WorkArea& a, const std::string& routine);
// The tag of number n wherever it sits; null when not open.
Tag* TagByNumber(IndexArea& ix, int n);

// Reads page `page` of tag `t` into `out`, checking what the engine's
// safety needs: an even page of the file past its header, a key count
// within the node. False after reporting (222 for damage, the I/O code
// for a failed read).
bool ReadNode(IndexArea& ix, const Tag& t, uint32_t page, Node& out);
// Reports damage found at `page` of tag `t` (222, `what` the detail).
void Damaged(const IndexArea& ix, const Tag& t, uint32_t page, const std::string& what);
// Writes a node at its page and refreshes the tag's path copy of it.
bool WriteNode(IndexArea& ix, Tag& t, uint32_t page, Node& n);
// Appends a node at the end of the file; its page, 0 after a failure.
uint32_t AppendNode(IndexArea& ix, Tag& t, Node& n);
// Writes the tag header copy (983 bytes), under the lock of the file's
// first byte when the file is shared.
bool WriteAnchor(IndexArea& ix, Tag& t);
// Re-reads the header copy of every open tag.
bool ReadAnchorNodes(IndexArea& ix);
// True after re-reading the anchors because another program changed the
// index since this area last looked (the tags then stand nowhere).
bool AnchorsChanged(IndexArea& ix);
// Writes the file header when it changed.
bool WriteHeaderBack(IndexArea& ix);
// Sets the header's update mark on disk, unless this area's update has
// set it already. A key update that would lose a record if stopped between
// two of its page writes sets it before the first, so that a program
// stopped in between leaves the mark for the next open and the next
// writer to find; no sync is needed for that, only the order of the
// writes.
bool MarkUpdate(IndexArea& ix);
// Ends an update: clears the mark when it set one and writes the header
// back when it changed, in one write when both. A failure leaves the mark
// noted in memory, so that this area's next writer reports 222 too.
bool FinishUpdate(IndexArea& ix);
// True, with 222 (or an I/O error) reported, when an update of the file
// was cut off: a failed one of this area, or (in a shared file) one of a
// program that stopped in it. Writers ask before they change any tag.
bool UpdateCutOff(IndexArea& ix);
// A tag as an index file's own headers define it; the FOR text only when
// the header's FOR flag is set.
struct StoredTag {
  TIndexTagSpec Spec;
  bool HasFor = false;
  bool Whole = false;  // its header could be read whole
};
// Every tag the tag table of `file` lists, in order, read from the file
// opened on its own (read/write deny-none, read-only where that is
// refused). 0, or the I/O code when the file or its header cannot be read.
int ReadStoredTags(const std::string& file, std::vector<StoredTag>& tags);
// The header's page counter := the file's size in pages.
void NotePageCount(IndexArea& ix);
// Enters a tag (replacing one of the same name) and rebuilds the name tree.
void AddTagEntry(IndexArea& ix, const std::string& name, uint32_t headerPage, char type);
// Opens tag number n into its own slot; false after reporting.
bool OpenTag(WorkArea& a, IndexArea& ix, int n);
// Closes every tag and the file of the area; failures are recorded only.
void CloseIndexOf(WorkArea& a);

// --- Building (tzndx_build.cpp) ---------------------------------------------

// The name under which a build writes the new index file that then takes
// the place of `file`: beside it, and matching no name the sibling
// programs or the backups use.
std::string NewIndexPath(const std::string& file);
// Erases what a build of `file` stopped on the way left under
// NewIndexPath, when it is that: a file no build holds now, begun as an
// index of the table of `a`. 0 when nothing is left, else why something
// stays (a DOS error: 32 while a build holds it, 80 for a file that is
// not such a leftover).
int RemoveLeftoverBuild(const WorkArea& a, const std::string& file);

// --- Keys and positions in a tag (tzndx_tree.cpp) ------------------------------------

enum class Step { Moved, AtEnd, Failed };
enum class Hit { Found, Missing, Failed };

// Tag order of two keys: negative, 0, positive.
int CompareKeys(const Tag& t, const uint8_t* a, const uint8_t* b);
// The key of the current record into `out` (key length bytes, and a
// terminating zero for a character key).
void MakeKey(const WorkArea& a, const Tag& t, uint8_t* out);
// The key of no record: blanks for a character key, zeros otherwise.
void BlankKey(const Tag& t, uint8_t* out);
// The tag's FOR condition for the current record (true without one).
bool ForHolds(const Tag& t);
// The key of the current record as text for messages.
std::string KeyText(const Tag& t);
// Positions `t` on the first entry whose key is not below `key`. Above
// every key: with `insertion` after the last entry of the last leaf,
// otherwise there with EOF set. For numeric keys an equal entry's key is
// copied into `key`. Found: the entry's key equals `key`.
Hit Seek(IndexArea& ix, Tag& t, uint8_t* key, bool insertion);
// Stands on the first entry whose (key, record) is not below (key, rec),
// possibly after the last entry of a leaf: the place of a new entry.
// False after a failed read.
bool SeekInsertion(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec);
// Seeks `key` and walks its equal keys forward to the entry of `rec`
// (found: `t` stands on it).
Hit SeekRecord(IndexArea& ix, Tag& t, const uint8_t* key, int32_t rec);
// To the next or previous entry, across leaves; at the end the position
// stays.
Step StepNext(IndexArea& ix, Tag& t);
Step StepPrior(IndexArea& ix, Tag& t);
// To the first or last entry; AtEnd for an empty tree.
Step GoTopKey(IndexArea& ix, Tag& t);
Step GoBottomKey(IndexArea& ix, Tag& t);
// Makes `t` positioned nowhere.
inline void Reset(Tag& t) { t.Path.clear(); }

// --- Work-area navigation (tzndx_nav.cpp) -----------------------------------

// Positions tag `t` (tag 1 on opening) on its first key whose record is
// visible; false after a failure was reported.
bool PositionOnFirstVisible(WorkArea& a, IndexArea& ix, Tag& t);
// SyncIndex of one tag: on the entry of the current record; a record
// without a key in the tag puts the controlling tag at its EOF position
// and any other on its last key.
void SyncTag(WorkArea& a, IndexArea& ix, Tag& t, bool controlling);
// Fills the navigation and order entries of the index hooks.
void InstallNavigationHooks(IndexHooks& h);

// --- Key maintenance (tzndx_keys.cpp) -----------------------------------------

// Fills the entries that keep the keys in step with appends and replaces.
void InstallKeyHooks(IndexHooks& h);

}  // namespace ndx
