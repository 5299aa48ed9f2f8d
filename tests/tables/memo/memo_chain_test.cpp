// The dBASE IV free chain: random rewrites and deletions of records' memos
// that reuse freed blocks never give two live memos, or a memo and a free
// run, one block, also when two areas share the file; the chain stays in
// block order with touching runs joined; a rewrite and the freeing of the
// old memo read a few blocks whatever the chain's length; a rewrite killed
// at any change leaves its record with its old memo or its new one, whole
// and in blocks of its own; and a chain that runs in a circle is reported
// instead of followed.
#include <random>
#include <set>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"

namespace {

using memotest::MemoTest;

class ChainTest : public MemoTest {
 protected:
  // Memos by key (a record number, where records hold them): reference and text.
  using Memos = std::map<int, std::pair<int32_t, std::string>>;

  // Checks the file's structure: every live memo has its header and its
  // text, no block belongs to two of them or to a memo and a free run, the
  // chain lies in the file in block order, no run touching the next, and
  // ends at its block count (with `exactEnd` false: at or past it, as a
  // rewrite stopped on the way may leave it).
  void CheckFile(const Memos& live, bool exactEnd = true) {
    const auto b = Bytes(MemoPath());
    const uint32_t blocks = uint32_t((b.size() + 511) / 512);
    std::map<uint32_t, std::string> owner;
    auto take = [&](uint32_t first, uint32_t count, const std::string& who) {
      ASSERT_LE(first + count, blocks) << who;
      for (uint32_t i = first; i < first + count; ++i) {
        ASSERT_TRUE(owner.emplace(i, who).second) << "block " << i << ": " << owner[i] << " and " << who;
      }
    };
    for (const auto& [key, memo] : live) {
      const auto& [ref, text] = memo;
      const uint8_t* h = b.data() + size_t(ref) * 512;
      ASSERT_EQ(plat::readLE32(h), 0x0008FFFFu) << "memo " << key;
      ASSERT_EQ(plat::readLE32(h + 4), text.size() + 8) << "memo " << key;
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(h) + 8, text.size()), text);
      take(uint32_t(ref), uint32_t((text.size() + 8 + 511) / 512), "memo " + std::to_string(key));
      if (HasFatalFailure()) return;
    }
    uint32_t at = plat::readLE32(b.data()), prevEnd = 0;
    for (uint32_t runs = 0; at < blocks && runs < blocks; ++runs) {
      ASSERT_GT(at, prevEnd) << "free run " << at;
      const uint32_t len = plat::readLE32(b.data() + size_t(at) * 512 + 4);
      take(at, len, "free run " + std::to_string(at));
      if (HasFatalFailure()) return;
      prevEnd = at + len;
      at = plat::readLE32(b.data() + size_t(at) * 512);
    }
    if (exactEnd)
      EXPECT_EQ(at, blocks);
    else
      EXPECT_GE(at, blocks);
  }

  // The reads of the memo file that `work` makes.
  template <class Work>
  int MemoReads(Work work) {
    static int reads;
    reads = 0;
    plat::SetFileFaultHook([](plat::FileOp op, const std::string& path, uint64_t) {
      if (op == plat::FileOp::Read && path.size() > 4 && path.compare(path.size() - 4, 4, ".dbt") == 0) ++reads;
      return 0;
    });
    work();
    plat::SetFileFaultHook({});
    return reads;
  }
};

TEST_F(ChainTest, RandomRewritesNeverShareABlock) {
  OpenTable(0x8B, "t.dbf", " EXCLUSIVE", 12);
  std::mt19937 rng(20260315);
  Memos live;  // record -> reference, text
  bool reused = false;
  for (int step = 0; step < 400; ++step) {
    const int key = 1 + int(rng() % 12);
    std::string text;
    if (rng() % 4 != 0) text = std::string(1 + rng() % 1500, char('a' + step % 26));
    const uint32_t sizeBefore = uint32_t(Bytes(MemoPath()).size());
    const int32_t ref = RewriteRecord(key, text);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    if (text.empty()) {
      ASSERT_EQ(ref, 0);
      live.erase(key);
    } else {
      live[key] = {ref, text};
      reused |= uint32_t(ref) * 512 < sizeBefore;
    }
    SCOPED_TRACE(step);
    CheckFile(live);
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(reused);
}

TEST_F(ChainTest, RandomRewritesFromTwoAreasOfASharedTable) {
  OpenTable(0x8B, "t.dbf", "", 12);
  Select(2);
  USE(Path("t.dbf") + " ALIAS other", nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  std::mt19937 rng(20260316);
  Memos live;
  for (int step = 0; step < 400; ++step) {
    // Each area's picture of the chain goes stale while the other writes.
    Select(uint8_t(1 + rng() % 2));
    const int key = 1 + int(rng() % 12);
    std::string text;
    if (rng() % 4 != 0) text = std::string(1 + rng() % 1500, char('a' + step % 26));
    const int32_t ref = RewriteRecord(key, text);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    if (text.empty())
      live.erase(key);
    else
      live[key] = {ref, text};
    SCOPED_TRACE(step);
    CheckFile(live);
    if (HasFatalFailure()) return;
  }
}

TEST_F(ChainTest, RewriteReadsAFewBlocksWhateverTheChainsLength) {
  constexpr int kRuns = 1200, kFewReads = 12;
  const struct {
    const char* options;
    int memo;  // the memo that moves; its old blocks join runs this far down the chain
  } cases[] = {{" EXCLUSIVE", 5}, {" EXCLUSIVE", 900}, {"", 5}, {"", 900}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " memo " + std::to_string(c.memo));
    OpenTable(0x8B, "t.dbf", c.options);
    // Memos of one block, each followed by a free run of three.
    Memos live;
    ASSERT_TRUE(ALock());
    for (int k = 0; k < kRuns; ++k) {
      const std::string text(100, char('a' + k % 26));
      live[2 * k + 2] = {AddMemo(text), text};
      for (int32_t ref : {live[2 * k + 2].first, AddMemo(std::string(1200, 'a'))}) {
        SetI(2, ref);
        Append();
      }
    }
    Unlock();
    for (int k = 0; k < kRuns; ++k) ASSERT_EQ(RewriteRecord(2 * k + 3, ""), 0);
    // Moving to the first run; the old blocks are freed once the record has
    // moved on.
    const int reads = MemoReads([&] {
      auto& [ref, text] = live[2 * c.memo + 2];
      text = std::string(1200, 'z');
      ref = RewriteRecord(2 * c.memo + 2, text);
      CloseArea();
    });
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    EXPECT_LE(reads, kFewReads);
    CheckFile(live);
  }
}

TEST_F(ChainTest, RewriteKilledAtAnyChangeKeepsEveryMemo) {
  // Thirty records with memos of two blocks (record 25: one block); those
  // of records 10, 12 and 20 emptied, leaving free runs of two blocks.
  const struct {
    const char* what;
    int record;
    size_t length;
  } cases[] = {
      {"grows: its blocks join the runs beside them", 11, 2000},
      {"fits its own blocks", 5, 300},
      {"grows into a free run", 25, 900},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OpenTable(0x8B);
    Memos before;
    for (int r = 1; r <= 30; ++r) {
      const std::string text(r == 25 ? 100 : 600, char('a' + r % 26));
      if (r > 1) Append();
      before[r] = {AddMemo(text), text};
      SetI(2, before[r].first);
      Replace();
    }
    for (int r : {10, 12, 20}) {
      RewriteRecord(r, "");
      before.erase(r);
    }
    CloseArea();
    const auto table = Bytes(Path("t.dbf")), memo = Bytes(MemoPath());
    bool finished = false;
    for (int k = 1; k < 60 && !finished; ++k) {
      SCOPED_TRACE(k);
      WriteBytes(Path("t.dbf"), table);
      WriteBytes(MemoPath(), memo);
      std::string out;
      const int rc = dbftest::RunCommand(std::string(RUV_TEST_HELPERS_DIR) + "/memo_rewrite_helper '" +
                                             Path("t.dbf") + "' " + std::to_string(c.record) + " " +
                                             std::to_string(c.length) + " " + std::to_string(k),
                                         out);
      finished = rc == 0;
      ASSERT_TRUE(rc == 0 || rc == 3) << out;
      // The record holds its old memo or its new one, whole.
      USE(Path("t.dbf") + " EXCLUSIVE", nullptr, 0);
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      Memos now = before;
      GO(c.record);
      if (GetI(2) != before[c.record].first) now[c.record] = {GetI(2), std::string(c.length, 'n')};
      CheckFile(now, finished);
      if (HasFatalFailure()) return;
      // The file takes further rewrites.
      for (int r : {13, 19, 21, c.record}) now[r] = {RewriteRecord(r, std::string(1500, 'r')), std::string(1500, 'r')};
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      CloseArea();
      CheckFile(now);
      if (HasFatalFailure()) return;
    }
    EXPECT_TRUE(finished);
  }
}

TEST_F(ChainTest, CircularChainIsReported) {
  OpenTable(0x8B);
  SetI(2, AddMemo(std::string(100, 'a')));
  Replace();
  AddMemo("b");
  EXPECT_EQ(RewriteRecord(1, ""), 0);
  CloseArea();  // block 1 becomes the chain
  auto b = Bytes(MemoPath());
  plat::writeLE32(b.data() + 512, 1);  // the run points to itself
  WriteBytes(MemoPath(), b);
  USE(Path("t"), nullptr, 0);
  const int32_t c = AddMemo("c");
  EXPECT_EQ(c, 0);
  EXPECT_EQ(LastErrorCode(), 1003);
  EXPECT_EQ(TakeLastErrorMessage(), Upper(Path("t.dbt")) + " [UpdateMemoHeader()]");
  EXPECT_EQ(Rewrite(0, "d"), 0);
  EXPECT_EQ(LastErrorCode(), 1003);
  // The lock was given back: an exclusive open elsewhere is not refused by it.
  EXPECT_TRUE(LockMemo());
  EXPECT_TRUE(UnlockMemo());
}

}  // namespace
