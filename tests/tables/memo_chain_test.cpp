// The dBASE IV free chain: random rewrites and deletions that reuse freed
// blocks never give two live memos, or a memo and a free run, one block,
// and a chain that runs in a circle is reported instead of followed.
#include <random>
#include <set>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"

namespace {

using memotest::MemoTest;

class ChainTest : public MemoTest {
 protected:
  // Checks the file's structure: every live memo has its header and its
  // text, no block belongs to two of them or to a memo and a free run, the
  // chain lies in the file and ends at its block count.
  void CheckFile(const std::map<int, std::pair<int32_t, std::string>>& live) {
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
    uint32_t at = plat::readLE32(b.data());
    for (uint32_t runs = 0; at < blocks && runs < blocks; ++runs) {
      take(at, plat::readLE32(b.data() + size_t(at) * 512 + 4), "free run " + std::to_string(at));
      if (HasFatalFailure()) return;
      at = plat::readLE32(b.data() + size_t(at) * 512);
    }
    EXPECT_EQ(at, blocks);
  }
};

TEST_F(ChainTest, RandomRewritesNeverShareABlock) {
  OpenTable(0x8B);
  std::mt19937 rng(20260315);
  std::map<int, std::pair<int32_t, std::string>> live;  // key -> reference, text
  bool reused = false;
  for (int step = 0; step < 400; ++step) {
    const int key = int(rng() % 12);
    auto it = live.find(key);
    const int32_t old = it == live.end() ? 0 : it->second.first;
    std::string text;
    if (rng() % 4 != 0) text = std::string(1 + rng() % 1500, char('a' + step % 26));
    const uint32_t sizeBefore = uint32_t(Bytes(MemoPath()).size());
    const int32_t ref = Rewrite(old, text);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    if (text.empty()) {
      ASSERT_EQ(ref, 0);
      live.erase(key);
    } else {
      live[key] = {ref, text};
      reused |= ref != old && uint32_t(ref) * 512 < sizeBefore;
    }
    SCOPED_TRACE(step);
    CheckFile(live);
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(reused);
}

TEST_F(ChainTest, CircularChainIsReported) {
  OpenTable(0x8B);
  const int32_t a = AddMemo(std::string(100, 'a'));
  AddMemo("b");
  EXPECT_EQ(Rewrite(a, ""), 0);  // block 1 becomes the chain
  CloseArea();
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
