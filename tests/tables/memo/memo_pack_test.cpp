// Packing: a pack that fails at any write leaves the table and the old
// memo file as they were; one killed at any step leaves them for the next
// open to find as they were or as packed; a completed one keeps every text
// in a smaller file.
#include <filesystem>
#include <set>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"
#include "testutil/helper_child.h"

namespace {

using dbftest::RunCommand;
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
  // The names in the table's directory.
  std::set<std::string> Names() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(Path(""))) out.insert(e.path().filename().string());
    return out;
  }
  // Packs t.dbf in a child program killed before its k-th file change (0:
  // never); its exit status, 3 when killed.
  int PackInChild(int k) {
    std::string out;
    return RunCommand(std::string(RUV_TEST_HELPERS_DIR) + "/memo_pack_helper '" + Path("t.dbf") + "' kill " +
                          std::to_string(k),
                      out);
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
                  {".DBF", plat::FileOp::Write, 1}, {".DBF", plat::FileOp::Write, 3}, {".DBF", plat::FileOp::Flush, 1},
                  {".$$$", plat::FileOp::Rename, 1}};
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
      EXPECT_FALSE(std::filesystem::exists(Path("t.$PJ")));
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

TEST_F(PackTest, PackKilledAtAnyStepOpensAsBeforeOrAsPacked) {
  const struct {
    uint8_t version;
    const char* use;
  } cases[] = {{0x83, " EXCLUSIVE"}, {0x8B, ""}, {0xF5, " EXCLUSIVE"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.version));
    const auto texts = Fill(c.version);
    CloseArea();
    const auto table = Bytes(Path("t.dbf")), memo = Bytes(MemoPath());
    const auto names = Names();
    ASSERT_EQ(PackInChild(0), 0);
    const auto packed = Bytes(MemoPath());
    ASSERT_LT(packed.size(), memo.size());
    int status = 3;
    for (int k = 1; status == 3; ++k) {
      SCOPED_TRACE(k);
      WriteBytes(Path("t.dbf"), table);
      WriteBytes(MemoPath(), memo);
      status = PackInChild(k);
      ASSERT_TRUE(status == 3 || status == 0) << status;
      USE(Path("t") + c.use, nullptr, 0);
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      EXPECT_EQ(Texts(), texts);
      CloseArea();
      const auto now = Bytes(MemoPath());
      EXPECT_TRUE(status == 0 ? now == packed : now == memo || now == packed);
      EXPECT_EQ(Names(), names);
    }
    std::filesystem::remove(MemoPath());
  }
}

TEST_F(PackTest, PackThatCannotUndoItsReferencesIsUndoneByTheNextOpen) {
  const auto texts = Fill(0x8B);
  const auto memo = Bytes(MemoPath());
  int writes = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    return op == plat::FileOp::Write && Upper(path).ends_with(".DBF") && ++writes >= 2 ? int(plat::kErrDiskFull) : 0;
  });
  Hooks().Memo.Pack();
  plat::SetFileFaultHook({});
  EXPECT_EQ(LastErrorCode(), plat::kErrDiskFull);
  CloseArea();
  USE(Path("t"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(Texts(), texts);
  CloseArea();
  EXPECT_EQ(Bytes(MemoPath()), memo);
  EXPECT_EQ(Names(), (std::set<std::string>{"t.dbf", "t.dbt"}));
}

TEST_F(PackTest, OpenDuringAPackLeavesItAlone) {
  // Held with its journal written, before the first reference changes; then
  // after the new file took the old one's place, before the journal goes.
  const struct {
    const char* op;
    const char* file;
    int code;  // of the USE meanwhile
  } cases[] = {{"write", ".DBF", plat::kErrSharingViolation}, {"erase", "", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    const auto texts = Fill(0x8B);
    CloseArea();
    HelperChild child("memo_pack_helper", {Path("t.dbf"), "hold", c.op, c.file});
    ASSERT_EQ(child.ReadLine(), "held");
    USE(Path("t"), nullptr, 0);
    EXPECT_EQ(LastErrorCode(), c.code) << LastErrorMessage();
    if (c.code == 0) {
      EXPECT_EQ(Texts(), texts);
    }
    CloseArea();
    child.Release();
    EXPECT_EQ(child.ReadLine(), "done");
    EXPECT_EQ(child.Wait(), 0);
    USE(Path("t"), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    EXPECT_EQ(Texts(), texts);
    CloseArea();
    EXPECT_EQ(Names(), (std::set<std::string>{"t.dbf", "t.dbt"}));
  }
}

TEST_F(PackTest, InterruptedPackIsNotOpenedReadOnly) {
  const auto texts = Fill(0xF5);
  CloseArea();
  const auto memo = Bytes(MemoPath());
  {
    HelperChild child("memo_pack_helper", {Path("t.dbf"), "hold", "write", ".DBF"});
    ASSERT_EQ(child.ReadLine(), "held");
    child.Kill();
  }
  const auto left = Names();
  DbSettings().OpenModeOverride = plat::kAccessRead | plat::kShareDenyNone;
  USE(Path("t"), nullptr, 0);
  DbSettings().OpenModeOverride = 65535;
  EXPECT_EQ(LastErrorCode(), plat::kErrAccessDenied);
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  EXPECT_EQ(Names(), left);
  USE(Path("t"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(Texts(), texts);
  CloseArea();
  EXPECT_EQ(Bytes(MemoPath()), memo);
  EXPECT_EQ(Names(), (std::set<std::string>{"t.dbf", "t.fpt"}));
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
