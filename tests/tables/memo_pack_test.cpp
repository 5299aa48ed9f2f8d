// Packing: a pack that fails at any write leaves the table and the old
// memo file as they were; a completed one keeps every text in a smaller
// file.
#include <filesystem>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"

namespace {

using memotest::MemoTest;
using memotest::W;

class PackTest : public MemoTest {
 protected:
  // A table of 6 records whose memos were each rewritten once (the old
  // versions stay behind as garbage), one blob memo among them.
  std::vector<std::string> Fill(uint8_t version) {
    OpenTable(version);
    std::vector<std::string> texts;
    for (int i = 0; i < 6; ++i) {
      const std::string text = W("Notatka ż ") + std::string(size_t(200 * i + 1), char('a' + i));
      int32_t ref = AddMemo("draft " + std::to_string(i));
      ref = i == 3 ? WriteBlobText(text) : Rewrite(ref, text);
      SetI(2, ref);
      if (i == 0) {
        Replace();
      } else {
        Append();
      }
      texts.push_back(text);
    }
    SetI(2, 0);
    Append();  // a record without memo
    return texts;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (GO(1); !dEOF(); SKIP(1))
      if (GetI(2) != 0) out.push_back(Blob(GetI(2)));
    return out;
  }
};

TEST_F(PackTest, InterruptedPackKeepsTheOldFileAndReferences) {
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    const auto texts = Fill(version);
    const auto table = Bytes(Path("t.dbf")), memo = Bytes(MemoPath());
    // Each failure point: the n-th write or flush of the new file, or of
    // the table while the references are written.
    const struct {
      const char* file;
      plat::FileOp op;
      int nth;
    } points[] = {{".$$$", plat::FileOp::Write, 1}, {".$$$", plat::FileOp::Write, 4}, {".$$$", plat::FileOp::Flush, 1},
                  {".DBF", plat::FileOp::Write, 1}, {".DBF", plat::FileOp::Write, 3}, {".DBF", plat::FileOp::Flush, 1}};
    for (const auto& p : points) {
      SCOPED_TRACE(std::string(p.file) + " " + std::to_string(p.nth));
      int seen = 0;
      plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
        const bool match =
            op == p.op && Upper(path).size() >= 4 && Upper(path).substr(Upper(path).size() - 4) == p.file;
        return match && ++seen == p.nth ? int(plat::kErrDiskFull) : 0;
      });
      Hooks().Memo.Pack();
      plat::SetFileFaultHook({});
      EXPECT_EQ(LastErrorCode(), plat::kErrDiskFull);
      EXPECT_EQ(Bytes(Path("t.dbf")), table);
      EXPECT_EQ(Bytes(MemoPath()), memo);
      EXPECT_FALSE(std::filesystem::exists(Path("t.$$$")));
      EXPECT_EQ(Texts(), texts);
    }
    Hooks().Memo.Pack();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    EXPECT_EQ(Texts(), texts);
    EXPECT_LT(Bytes(MemoPath()).size(), memo.size());
    CloseArea();
    USE(Path("t"), nullptr, 0);  // the packed file opens again
    EXPECT_EQ(Texts(), texts);
    CloseArea();
    std::filesystem::remove(MemoPath());
  }
}

TEST_F(PackTest, AnotherUserOfTheFileStopsThePack) {
  auto texts = Fill(0x8B);
  CloseArea();
  USE(Path("t"), nullptr, 0);
  Select(2);
  USE(Path("t") + " ALIAS other", nullptr, 0);
  Select(1);
  Hooks().Memo.Pack();
  EXPECT_EQ(LastErrorCode(), plat::kErrSharingViolation);
  EXPECT_EQ(Texts(), texts);
}

}  // namespace
