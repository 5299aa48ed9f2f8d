// The dBASE IV free chain and the rewriting of a memo (EditMemo).
//
// The chain is kept in block order, and a freed run is joined with a free
// run that touches it, so the chain stays short. The memo state keeps a
// copy of the chain (ChainCopy), read once per opening of the file, so an
// allocation, a free or a header update reads a few run headers at most,
// whatever the chain's length; while other programs may write the file,
// those run headers are the ones the operation relies on, read again to see
// that the copy still holds. Reading the chain is bounded by the file's
// block count, so a chain that runs in a circle is reported (1003) instead
// of being followed for ever; a pointer that leads outside the file or to
// something that is no free run (a memo's FF FF header, a run reaching past
// the end) ends the chain there.
//
// A rewrite never writes over the memo it replaces: the new text goes to a
// free run or to the end of the file, and the caller writes the record with
// the new reference. The memo whose reference that record write replaced on
// disk (under the record lock: the one stored just before it, whichever
// program wrote it) joins the chain at the area's next rewrite or close, the
// table synced first; no other area frees it, and a rewrite that never
// reaches its record frees nothing. A crash at any moment leaves the record
// with its old memo or its new one; at worst a run stays out of the chain
// until a pack.
#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/byteorder.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo.h"
#include "tables/memo/memo_internal.h"

namespace memo {

namespace {

// Runs an allocation looks at before it gives the chain up.
constexpr size_t kFitRuns = 100;
// Stands for the header in the lists of runs an operation relies on.
constexpr size_t kHead = size_t(-1);

// The chain as the file holds it into `c`. Answers 0, 1003 for a chain
// longer than the file has blocks, or a DOS code.
int ReadChain(MemoState& m, int64_t blockCount, ChainCopy& c) {
  c.Runs.clear();
  c.Sorted = true;
  uint8_t b[8];
  size_t got = 0;
  if (int rc = m.File.ReadAt(0, b, 4, &got)) return rc;
  if (got < 4) return 30;
  uint32_t cur = plat::readLE32(b);
  for (;;) {
    c.End = cur;
    if (cur < 1 || cur >= blockCount) return 0;
    if (int64_t(c.Runs.size()) >= blockCount) return 1003;
    if (int rc = m.File.ReadAt(BlockPos(m, cur), b, sizeof b, &got)) return rc;
    if (got < sizeof b) return 0;
    const uint32_t next = plat::readLE32(b), len = plat::readLE32(b + 4);
    if ((next & 0xFFFF) == 0xFFFF || len == 0 || int64_t(cur) + len > blockCount) return 0;
    if (!c.Runs.empty() && c.Runs.back().At >= cur) c.Sorted = false;
    c.Runs.push_back({cur, len});
    cur = next;
  }
}

// The pointer that run `i` of the copy holds.
uint32_t NextOf(const ChainCopy& c, size_t i) {
  return i + 1 < c.Runs.size() ? uint32_t(c.Runs[i + 1].At) : c.End;
}

// Whether the file still holds what the copy says of run `i` (kHead: of
// the header's pointer).
bool Holds(MemoState& m, size_t i) {
  const ChainCopy& c = m.Chain;
  uint8_t b[8];
  size_t got = 0;
  if (i == kHead) {
    const uint32_t head = c.Runs.empty() ? c.End : uint32_t(c.Runs.front().At);
    return m.File.ReadAt(0, b, 4, &got) == 0 && got == 4 && plat::readLE32(b) == head;
  }
  return m.File.ReadAt(BlockPos(m, c.Runs[i].At), b, sizeof b, &got) == 0 && got == sizeof b &&
         plat::readLE32(b) == NextOf(c, i) && plat::readLE32(b + 4) == c.Runs[i].Len;
}

// Only a file opened for others to write may change behind the copy, and
// only while the memo lock is not held since the copy was found right.
bool OthersMayWrite(const MemoState& m) {
  const int share = m.File.Mode() & 0x70;
  return share != plat::kShareDenyAll && share != plat::kShareDenyWrite;
}
uint64_t CurrentHold(const MemoState& m) { return m.Locked ? m.Holds : 0; }

// The file's block count and, in m.Chain, the chain; false after reporting
// with `tag`. `fresh` tells that the chain was read just now.
bool LoadChain(WorkArea& a, MemoState& m, const std::string& tag, int64_t& blockCount, bool& fresh) {
  int64_t size = 0;
  int rc = MemoFileSize(m, size);
  fresh = false;
  if (rc == 0) {
    blockCount = BlockCount(m, size);
    if (m.Chain.Opening != m.File.OpenSerial()) {
      m.Chain = ChainCopy{};
      rc = ReadChain(m, blockCount, m.Chain);
      if (rc == 0) {
        m.Chain.Opening = m.File.OpenSerial();
        m.Chain.ReadHold = m.Chain.HeadHold = CurrentHold(m);
      }
      fresh = true;
    }
  }
  if (rc != 0) {
    m.Chain = ChainCopy{};
    MemoError(a, uint16_t(rc == 1003 ? 1003 : 30), MemoName(a) + tag);
  }
  return rc == 0;
}

// Whether the header's pointer and the runs `used` (kHead for the header)
// that an operation relies on are as the copy has them; when they are not,
// the copy is dropped so that the next LoadChain reads the chain again. A
// run is only ever taken out of the chain by changing or clearing its own
// header or the header's pointer, so a run whose header and whose
// predecessor's header are as the copy has them is in the chain.
bool CopyHolds(MemoState& m, bool fresh, std::initializer_list<size_t> used) {
  ChainCopy& c = m.Chain;
  const uint64_t hold = CurrentHold(m);
  if (fresh || !OthersMayWrite(m) || (hold != 0 && c.ReadHold == hold)) return true;
  bool holds = hold != 0 && c.HeadHold == hold ? true : Holds(m, kHead);
  for (size_t i : used) holds = holds && (i == kHead || Holds(m, i));
  if (!holds) {
    c = ChainCopy{};
    return false;
  }
  c.HeadHold = hold;
  return true;
}


int WritePointer(MemoState& m, int64_t at, uint32_t value) {
  uint8_t b[4];
  plat::writeLE32(b, value);
  return m.File.WriteAt(BlockPos(m, at), b, sizeof b);
}

int WriteRun(MemoState& m, int64_t at, uint32_t next, uint32_t len) {
  uint8_t b[8];
  plat::writeLE32(b, next);
  plat::writeLE32(b + 4, len);
  return m.File.WriteAt(BlockPos(m, at), b, sizeof b);
}

// Clears the header of a run that the run before it took in, once nothing
// points to it, so that no copy of the chain can take it for a run still in
// the chain.
int ClearRun(MemoState& m, int64_t at) { return WriteRun(m, at, 0, 0); }

// The block that holds the pointer to run `i`: the run before it, or the
// header (block 0).
int64_t PointerBefore(const ChainCopy& c, size_t i) { return i == 0 ? 0 : c.Runs[i - 1].At; }

// A write of the chain failed: what the file holds is not known any more.
bool ChainWriteFailed(WorkArea& a, MemoState& m, const std::string& tag) {
  m.Chain = ChainCopy{};
  MemoError(a, 29, MemoName(a) + tag);
  return false;
}

// Adds `n` given-up blocks to the counter at 32 of the header.
bool CountGivenUp(WorkArea& a, MemoState& m, int64_t n) {
  const std::string tag = MemoName(a) + "[EditMemo/CloseMemo]";
  uint8_t b[4];
  size_t got = 0;
  if (m.File.ReadAt(32, b, 4, &got) != 0 || got < 4) {
    MemoError(a, 30, tag);
    return false;
  }
  plat::writeLE32(b, plat::readLE32(b) + uint32_t(n));
  if (m.File.WriteAt(32, b, 4) != 0) {
    MemoError(a, 29, tag);
    return false;
  }
  return true;
}

}  // namespace

bool SetChainEnd(WorkArea& a, MemoState& m, uint32_t value, const std::string& tag) {
  int64_t blockCount = 0;
  bool fresh = false;
  for (;;) {
    if (!LoadChain(a, m, tag, blockCount, fresh)) return false;
    const size_t n = m.Chain.Runs.size();
    if (CopyHolds(m, fresh, {n == 0 ? kHead : n - 1})) break;
  }
  ChainCopy& c = m.Chain;
  if (c.End == value) return true;
  if (WritePointer(m, c.Runs.empty() ? 0 : c.Runs.back().At, value) != 0) return ChainWriteFailed(a, m, tag);
  c.End = value;
  return true;
}

int64_t OldMemoBlocks(MemoState& m, int64_t block) {
  int64_t size = 0;
  if (MemoFileSize(m, size) != 0) return 0;
  const int64_t blockCount = BlockCount(m, size);
  if (block < 1 || block >= blockCount) return 0;
  uint8_t h[8];
  size_t got = 0;
  if (m.File.ReadAt(BlockPos(m, block), h, sizeof h, &got) != 0) return 0;
  const int64_t length = HeaderDataLength(m, h, got);
  if (length < 0) return 0;
  const int64_t blocks = MemoBlocks(m, length);
  return block + blocks <= blockCount ? blocks : 0;
}

bool FreeBlocks(WorkArea& a, MemoState& m, int64_t block, int64_t count, const std::string& tag) {
  int64_t blockCount = 0;
  bool fresh = false;
  size_t i = 0;
  for (;;) {
    if (!LoadChain(a, m, tag, blockCount, fresh)) return false;
    if (block < 1 || count < 1 || block + count > blockCount) return true;
    const std::vector<FreeRun>& runs = m.Chain.Runs;
    // The place in block order: the first run at or after the block.
    if (m.Chain.Sorted)
      i = size_t(std::lower_bound(runs.begin(), runs.end(), block,
                                  [](const FreeRun& r, int64_t b) { return r.At < b; }) -
                 runs.begin());
    else
      for (i = 0; i < runs.size() && runs[i].At < block;) ++i;
    if (CopyHolds(m, fresh, {i == 0 ? kHead : i - 1, i < runs.size() ? i : kHead})) break;
  }
  ChainCopy& c = m.Chain;
  std::vector<FreeRun>& runs = c.Runs;
  // Blocks that are free already must not be handed out twice: such a
  // range is left out of the chain.
  auto overlaps = [&](const FreeRun& r) { return r.At < block + count && block < r.At + r.Len; };
  if (c.Sorted ? (i > 0 && overlaps(runs[i - 1])) || (i < runs.size() && overlaps(runs[i]))
               : std::any_of(runs.begin(), runs.end(), overlaps))
    return true;
  const bool joinBefore = i > 0 && runs[i - 1].At + runs[i - 1].Len == block;
  const bool joinAfter = i < runs.size() && block + count == runs[i].At;
  // Each change is one write of a run header, or a new run written before
  // anything points to it, so the chain on disk is whole at every moment.
  int rc = 0;
  if (joinBefore) {
    FreeRun& prev = runs[i - 1];
    const uint32_t len = uint32_t(prev.Len + count + (joinAfter ? runs[i].Len : 0));
    rc = WriteRun(m, prev.At, joinAfter ? NextOf(c, i) : NextOf(c, i - 1), len);
    if (rc == 0 && joinAfter) rc = ClearRun(m, runs[i].At);
    if (rc == 0) {
      prev.Len = len;
      if (joinAfter) runs.erase(runs.begin() + std::ptrdiff_t(i));
    }
  } else if (joinAfter) {
    const uint32_t len = uint32_t(count + runs[i].Len);
    rc = WriteRun(m, block, NextOf(c, i), len);
    if (rc == 0) rc = WritePointer(m, PointerBefore(c, i), uint32_t(block));
    if (rc == 0) rc = ClearRun(m, runs[i].At);
    if (rc == 0) runs[i] = {block, len};
  } else {
    // A stale end that pointed into the file ends the chain at the file's end.
    const uint32_t next = i < runs.size() ? uint32_t(runs[i].At) : c.End >= blockCount ? c.End : uint32_t(blockCount);
    rc = WriteRun(m, block, next, uint32_t(count));
    if (rc == 0) rc = WritePointer(m, PointerBefore(c, i), uint32_t(block));
    if (rc == 0) {
      if (i == runs.size()) c.End = next;
      runs.insert(runs.begin() + std::ptrdiff_t(i), FreeRun{block, uint32_t(count)});
    }
  }
  return rc == 0 || ChainWriteFailed(a, m, tag);
}

int64_t AllocBlocks(WorkArea& a, MemoState& m, int64_t count, const std::string& tag) {
  if (m.Kind() != Flavour::Dbase4) return 0;
  const bool unknown = count == kUnknownSize;
  int64_t blockCount = 0;
  bool fresh = false;
  size_t fit = 0;
  bool found = false;
  for (;;) {
    if (!LoadChain(a, m, tag, blockCount, fresh)) return 0;
    const std::vector<FreeRun>& runs = m.Chain.Runs;
    const size_t look = unknown ? 0 : std::min(runs.size(), kFitRuns);
    for (fit = 0; fit < look && runs[fit].Len < count;) ++fit;
    found = fit < look;
    if (found) {
      if (CopyHolds(m, fresh, {fit == 0 ? kHead : fit - 1, fit})) break;
    } else if (runs.size() > kFitRuns && !unknown) {
      break;  // the chain is given up whatever it holds
    } else if (CopyHolds(m, fresh, {runs.empty() ? kHead : runs.size() - 1})) {
      break;
    }
  }
  ChainCopy& c = m.Chain;
  std::vector<FreeRun>& runs = c.Runs;
  if (found) {
    // The run leaves the chain; what it has beyond `count` stays in it.
    const FreeRun r = runs[fit];
    int rc;
    if (r.Len == count) {
      rc = WritePointer(m, PointerBefore(c, fit), NextOf(c, fit));
      if (rc == 0) runs.erase(runs.begin() + std::ptrdiff_t(fit));
    } else {
      rc = WriteRun(m, r.At + count, NextOf(c, fit), uint32_t(r.Len - count));
      if (rc == 0) rc = WritePointer(m, PointerBefore(c, fit), uint32_t(r.At + count));
      if (rc == 0) runs[fit] = {r.At + count, uint32_t(r.Len - count)};
    }
    if (rc != 0) {
      ChainWriteFailed(a, m, tag);
      return 0;
    }
    return r.At;
  }
  const uint32_t newEnd = unknown ? kUnknownSize : uint32_t(std::min<int64_t>(blockCount + count, kUnknownSize));
  // A chain this long without a fitting run near its head is given up: the
  // header points past the new memo, and its blocks wait for a pack.
  const bool giveUp = !unknown && runs.size() > kFitRuns;
  if (WritePointer(m, giveUp || runs.empty() ? 0 : runs.back().At, newEnd) != 0) {
    ChainWriteFailed(a, m, tag);
    return 0;
  }
  if (giveUp) runs.clear();
  c.End = newEnd;
  return blockCount;
}

int32_t MemoReference(std::string_view fieldText) {
  const std::string t = AllTrim(fieldText);
  int32_t ref = 0;
  std::from_chars(t.data(), t.data() + t.size(), ref);
  return ref;
}

namespace {

// Record `recno` as the table file holds it now; false when it cannot be
// read.
bool ReadRecord(WorkArea& a, int32_t recno, std::vector<char>& rec) {
  rec.resize(a.RecLen);
  size_t got = 0;
  return recno >= 1 && a.RecLen > 0 &&
         a.File.ReadAtMapped(int64_t(a.HeaderLen) + int64_t(recno - 1) * a.RecLen, rec.data(), rec.size(), &got) ==
             0 &&
         got == rec.size();
}

// Whether a memo field of record image `rec` refers to the memo at `block`.
bool RefersTo(const WorkArea& a, const std::vector<char>& rec, int64_t block) {
  for (const FieldEntry& f : a.Fields) {
    if (f.Type != 'M' || size_t(f.Pos) + f.Len > rec.size()) continue;
    const int32_t ref = MemoReference(std::string_view(rec.data() + f.Pos, f.Len));
    if ((ref < 0 ? -int64_t(ref) : int64_t(ref)) == block) return true;
  }
  return false;
}

}  // namespace

bool FreeReplaced(WorkArea& a, MemoState& m, const std::string& tag) {
  if (!a.Memos.AnyReplaced()) return true;
  if (m.Kind() != Flavour::Dbase4) {
    a.Memos.TakeReplaced();  // no chain to give them to
    return true;
  }
  if (!SyncFile(a, a.File)) return false;
  // Each is taken off the list before it is freed: a failure leaves it
  // lost, never freed twice.
  const std::vector<MemoNotes::Replaced> replaced = a.Memos.TakeReplaced();
  std::vector<char> rec;
  for (const MemoNotes::Replaced& r : replaced) {
    if (!ReadRecord(a, r.RecNo, rec) || RefersTo(a, rec, r.Block)) continue;
    const int64_t blocks = OldMemoBlocks(m, r.Block);
    if (blocks > 0 && !FreeBlocks(a, m, r.Block, blocks, tag)) return false;
  }
  return true;
}

int32_t EditMemo(WorkArea& a, MemoState& m, int32_t oldRef, const std::string& text) {
  const std::string tag = "EditMemo/CloseMemo";
  const std::string where = MemoName(a) + "[" + tag + "]";
  const bool dbase4 = m.Kind() == Flavour::Dbase4;
  const int64_t old = oldRef < 0 ? -int64_t(oldRef) : oldRef;
  if (text.empty() && !(dbase4 && old > 0)) {
    if (oldRef != 0) a.Memos.Rewrote(oldRef, 0);  // emptied, with nothing to write
    return 0;
  }
  if (m.Kind() == Flavour::Dbase3 &&
      int64_t(DiskFreeKB(MemoDirectory(m))) * 1024 < int64_t(text.size()) + m.BlockSize) {
    SetError(1004, where);
    return 0;
  }
  const int64_t pos = LockMemoPadAndSeekEOF(a, m, tag);
  if (pos == 0) return 0;
  int64_t block = text.empty() ? 0 : pos / m.BlockSize;
  int64_t oldBlocks = 0;
  if (dbase4) {
    if (!FreeReplaced(a, m, " [EditMemo/CloseMemo]")) return 0;
    // The old memo stays whole until a record write of this area replaces
    // its reference, so the new text never goes over it.
    oldBlocks = old > 0 ? OldMemoBlocks(m, old) : 0;
    if (!text.empty()) {
      if (oldBlocks > 0 && !CountGivenUp(a, m, oldBlocks)) return 0;
      block = AllocBlocks(a, m, MemoBlocks(m, int64_t(text.size())), "[EditMemo/CloseMemo]");
      if (block == 0) return 0;
    }
  }
  if (block != 0) {
    std::string data = text;
    TranslateWindows(a.WriteXlat, data.data(), data.size(), 0);
    if (int rc = WriteMemoAt(m, block, data, false)) {
      MemoError(a, uint16_t(rc), where);
      return 0;
    }
  }
  if (!FlushMemo(a, m) || !UpdateMemoHeader(a, m)) return 0;
  a.Memos.Rewrote(oldRef, int32_t(block));
  return int32_t(block);
}

}  // namespace memo
