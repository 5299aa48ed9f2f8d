// The dBASE IV free chain and the rewriting of a memo (EditMemo).
//
// The chain is kept in block order. Every walk is bounded by the file's
// block count, so a chain that runs in a circle is reported (1003) instead
// of being followed for ever; a pointer that leads outside the file or to
// something that is no free run (a memo's FF FF header, a run reaching past
// the end) ends the chain there.
#include <algorithm>
#include <vector>

#include "platform/byteorder.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tables/memo.h"
#include "tables/memo_internal.h"

namespace memo {

namespace {

struct Run {
  int64_t At;
  uint32_t Next;
  uint32_t Len;
};

// The chain as the file holds it, in chain order; `end` gets the value of
// the pointer that ends it (the header's when the chain is empty). Answers
// 0, 1003 for a chain longer than the file has blocks, or a DOS code.
int ReadChain(MemoState& m, int64_t blockCount, std::vector<Run>& runs, uint32_t& end) {
  runs.clear();
  uint8_t b[8];
  size_t got = 0;
  if (int rc = m.File.ReadAt(0, b, 4, &got)) return rc;
  if (got < 4) return 30;
  uint32_t cur = plat::readLE32(b);
  for (;;) {
    end = cur;
    if (cur < 1 || cur >= blockCount) return 0;
    if (int64_t(runs.size()) >= blockCount) return 1003;
    if (int rc = m.File.ReadAt(BlockPos(m, cur), b, sizeof b, &got)) return rc;
    if (got < sizeof b) return 0;
    const uint32_t next = plat::readLE32(b), len = plat::readLE32(b + 4);
    if ((next & 0xFFFF) == 0xFFFF || len == 0 || int64_t(cur) + len > blockCount) return 0;
    runs.push_back({cur, next, len});
    cur = next;
  }
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

// The chain and the file's block count; false after reporting with `tag`.
bool LoadChain(WorkArea& a, MemoState& m, const std::string& tag, std::vector<Run>& runs, uint32_t& end,
               int64_t& blockCount) {
  int64_t size = 0;
  int rc = MemoFileSize(m, size);
  if (rc == 0) {
    blockCount = BlockCount(m, size);
    rc = ReadChain(m, blockCount, runs, end);
  }
  if (rc != 0) MemoError(a, uint16_t(rc == 1003 ? 1003 : 30), MemoName(a) + tag);
  return rc == 0;
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
  std::vector<Run> runs;
  uint32_t end = 0;
  int64_t blockCount = 0;
  if (!LoadChain(a, m, tag, runs, end, blockCount)) return false;
  if (end == value) return true;
  if (WritePointer(m, runs.empty() ? 0 : runs.back().At, value) != 0) {
    MemoError(a, 29, MemoName(a) + tag);
    return false;
  }
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
  std::vector<Run> runs;
  uint32_t end = 0;
  int64_t blockCount = 0;
  if (!LoadChain(a, m, tag, runs, end, blockCount)) return false;
  if (block < 1 || count < 1 || block + count > blockCount) return true;
  // Blocks that are free already must not be handed out twice: such a
  // range is left out of the chain.
  for (const Run& r : runs)
    if (r.At < block + count && block < r.At + r.Len) return true;
  size_t i = 0;
  while (i < runs.size() && runs[i].At < block) ++i;
  const int64_t pred = i == 0 ? 0 : runs[i - 1].At;
  uint32_t next;
  if (i < runs.size())
    next = uint32_t(runs[i].At);
  else
    next = end >= blockCount ? end : uint32_t(blockCount);  // a stale end pointed into the file
  // The run is written before anything points to it.
  if (WriteRun(m, block, next, uint32_t(count)) != 0 || WritePointer(m, pred, uint32_t(block)) != 0) {
    MemoError(a, 29, MemoName(a) + tag);
    return false;
  }
  return true;
}

int64_t AllocBlocks(WorkArea& a, MemoState& m, int64_t count, int64_t old, const std::string& tag) {
  if (m.Kind() != Flavour::Dbase4) return 0;
  const bool unknown = count == kUnknownSize;
  if (!unknown && old > 0) {
    const int64_t have = OldMemoBlocks(m, old);
    if (have >= count) {
      if (have > count && !FreeBlocks(a, m, old + count, have - count, " [EditMemo/CloseMemo]")) return 0;
      return old;
    }
  }
  std::vector<Run> runs;
  uint32_t end = 0;
  int64_t blockCount = 0;
  if (!LoadChain(a, m, tag, runs, end, blockCount)) return 0;
  if (!unknown) {
    for (size_t i = 0; i < runs.size(); ++i) {
      const Run& r = runs[i];
      if (r.Len < count) continue;
      // The run leaves the chain; what it has beyond `count` stays in it.
      const int64_t pred = i == 0 ? 0 : runs[i - 1].At;
      int rc;
      if (r.Len == count) {
        rc = WritePointer(m, pred, r.Next);
      } else {
        rc = WriteRun(m, r.At + count, r.Next, uint32_t(r.Len - count));
        if (rc == 0) rc = WritePointer(m, pred, uint32_t(r.At + count));
      }
      if (rc != 0) {
        MemoError(a, 29, MemoName(a) + tag);
        return 0;
      }
      return r.At;
    }
  }
  const uint32_t newEnd = unknown ? kUnknownSize : uint32_t(std::min<int64_t>(blockCount + count, kUnknownSize));
  if (WritePointer(m, runs.empty() ? 0 : runs.back().At, newEnd) != 0) {
    MemoError(a, 29, MemoName(a) + tag);
    return 0;
  }
  return blockCount;
}

int32_t EditMemo(WorkArea& a, MemoState& m, int32_t oldRef, const std::string& text) {
  const std::string tag = "EditMemo/CloseMemo";
  const std::string where = MemoName(a) + "[" + tag + "]";
  const bool dbase4 = m.Kind() == Flavour::Dbase4;
  const int64_t old = oldRef < 0 ? -int64_t(oldRef) : oldRef;
  if (text.empty() && !(dbase4 && old > 0)) return 0;
  if (m.Kind() == Flavour::Dbase3 &&
      int64_t(DiskFreeKB(MemoDirectory(m))) * 1024 < int64_t(text.size()) + m.BlockSize) {
    SetError(1004, where);
    return 0;
  }
  const int64_t pos = LockMemoPadAndSeekEOF(a, m, tag);
  if (pos == 0) return 0;
  int64_t block = pos / m.BlockSize;
  if (dbase4) {
    const int64_t oldBlocks = old > 0 ? OldMemoBlocks(m, old) : 0;
    const int64_t needed = text.empty() ? 0 : MemoBlocks(m, int64_t(text.size()));
    const bool inPlace = needed > 0 && needed <= oldBlocks;
    if (oldBlocks > 0 && !inPlace) {
      // The old memo does not hold the new text: its blocks join the chain.
      if (!FreeBlocks(a, m, old, oldBlocks, " [EditMemo/CloseMemo]")) return 0;
      if (needed > 0 && !CountGivenUp(a, m, oldBlocks)) return 0;
    }
    if (needed == 0) {
      if (FlushMemo(a, m)) UpdateMemoHeader(a, m);
      return 0;
    }
    block = AllocBlocks(a, m, needed, inPlace ? old : 0, "[EditMemo/CloseMemo]");
    if (block == 0) return 0;
  }
  std::string data = text;
  TranslateWindows(a.WriteXlat, data.data(), data.size(), 0);
  if (int rc = WriteMemoAt(m, block, data, false)) {
    MemoError(a, uint16_t(rc), where);
    return 0;
  }
  if (!FlushMemo(a, m) || !UpdateMemoHeader(a, m)) return 0;
  return int32_t(block);
}

}  // namespace memo
