// Packing: a pack that fails at any write leaves the table and the old
// memo file as they were; one killed at any step leaves them for the next
// open to find as they were or as packed; a completed one keeps every text
// in a smaller file.
#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <utility>

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
  // never), or its k-th change of kind `op`; its exit status, 3 when killed.
  int PackInChild(int k, const std::string& op = "") { return InChild("kill", k, op); }
  // Opens t.dbf in a child program killed so.
  int OpenInChild(int k) { return InChild("open", k); }
  int InChild(const std::string& mode, int k, const std::string& op = "") {
    std::string out;
    return RunCommand(std::string(RUV_TEST_HELPERS_DIR) + "/memo_pack_helper '" + Path("t.dbf") + "' " + mode + " " +
                          std::to_string(k) + " " + op,
                      out);
  }
  // Every file of the table's directory with its bytes.
  using Files = std::map<std::string, std::vector<uint8_t>>;
  Files Snapshot() const {
    Files out;
    for (const std::string& name : Names()) out[name] = Bytes(Path(name));
    return out;
  }
  void Restore(const Files& files) {
    for (const std::string& name : Names()) std::filesystem::remove(Path(name));
    for (const auto& [name, bytes] : files) WriteBytes(Path(name), bytes);
  }
  // Another program, which knows nothing of the journal, gives record `r`
  // a new memo text.
  void RewriteAsAnotherProgram(int32_t r, const std::string& text) {
    std::filesystem::rename(Path("t.$PJ"), Path("t.aside"));
    USE(Path("t") + " EXCLUSIVE", nullptr, 0);
    GO(r);
    SetI(2, Rewrite(GetI(2), text));
    Replace();
    CloseArea();
    std::filesystem::rename(Path("t.aside"), Path("t.$PJ"));
  }
  std::string CannotBeUndone() const {
    return "Interrupted pack of " + Upper(MemoPath()) + " cannot be undone [USE]";
  }
};

TEST_F(PackTest, InterruptedPackKeepsTheOldFileAndReferences) {
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    const auto texts = Fill(version);
    const auto table = Bytes(Path("t.dbf")), memo = Bytes(MemoPath());
    // Each failure point: the n-th write or flush of the new file, or of
    // the table while the references are written, or the sync of the new
    // file's name (the directory's second, after the journal's).
    const struct {
      const char* file;
      plat::FileOp op;
      int nth;
    } points[] = {{".$$$", plat::FileOp::Write, 1}, {".$$$", plat::FileOp::Write, 4}, {".$$$", plat::FileOp::Flush, 1},
                  {".DBF", plat::FileOp::Write, 1}, {".DBF", plat::FileOp::Write, 3}, {".DBF", plat::FileOp::Flush, 1},
                  {".$$$", plat::FileOp::Rename, 1}, {"", plat::FileOp::Flush, 2}};
    for (const auto& p : points) {
      SCOPED_TRACE(std::string(p.file) + " " + std::to_string(p.nth));
      int seen = 0;
      plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
        const bool match =
            op == p.op && (*p.file ? Upper(path).ends_with(p.file) : std::filesystem::is_directory(path));
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
  EXPECT_EQ(LastErrorMessage(), CannotBeUndone());
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  EXPECT_EQ(Names(), left);
  USE(Path("t"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(Texts(), texts);
  CloseArea();
  EXPECT_EQ(Bytes(MemoPath()), memo);
  EXPECT_EQ(Names(), (std::set<std::string>{"t.dbf", "t.fpt"}));
}

TEST_F(PackTest, AnInterruptedPackIsUndoneAtMostOnce) {
  // How the first undoing stops: a file it cannot change (the journal
  // cannot be opened for writing, emptied or erased, the new file cannot
  // be erased), or a kill before its k-th file change, for every k.
  const struct {
    plat::FileOp op;
    const char* file;
    bool once;
  } faults[][2] = {{{plat::FileOp::Erase, ".$$$", false}, {}},
                   {{plat::FileOp::Truncate, ".$PJ", false}, {plat::FileOp::Erase, ".$PJ", false}},
                   {{plat::FileOp::Open, ".$PJ", true}, {plat::FileOp::Erase, ".$PJ", false}}};
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B)}) {
    SCOPED_TRACE(int(version));
    const auto texts = Fill(version);
    CloseArea();
    const auto names = Names();
    const auto table = Bytes(Path("t.dbf"));
    ASSERT_EQ(PackInChild(1, "rename"), 3);
    const Files cut = Snapshot();
    int status = 3;
    for (size_t c = 0; status == 3; ++c) {
      SCOPED_TRACE(c);
      Restore(cut);
      if (c < std::size(faults)) {
        bool opened = false;
        plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
          for (const auto& f : faults[c])
            if (f.file && op == f.op && Upper(path).ends_with(f.file) && !(f.once && std::exchange(opened, true)))
              return int(plat::kErrAccessDenied);
          return 0;
        });
        USE(Path("t"), nullptr, 0);
        plat::SetFileFaultHook({});
        EXPECT_EQ(LastErrorCode(), plat::kErrAccessDenied);
        EXPECT_EQ(LastErrorMessage(), CannotBeUndone());
        EXPECT_EQ(CurrentWorkArea(), nullptr);
        CloseArea();
      } else {
        status = OpenInChild(int(c - std::size(faults) + 1));
        ASSERT_TRUE(status == 3 || status == 0) << status;
      }
      // Undone, but its journal left: another program changes a memo.
      auto want = texts;
      if (Bytes(Path("t.dbf")) == table && std::filesystem::exists(Path("t.$PJ"))) {
        want[1] = W("Zmieniona ") + std::string(300, 'z');
        RewriteAsAnotherProgram(2, want[1]);
      }
      USE(Path("t"), nullptr, 0);
      ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      EXPECT_EQ(Texts(), want);
      CloseArea();
      EXPECT_EQ(Names(), names);
    }
    std::filesystem::remove(MemoPath());
  }
}

TEST_F(PackTest, AJournalThatDoesNotMatchTheFilesIsNotApplied) {
  Fill(0x83);
  CloseArea();
  const Files early = Snapshot();
  ASSERT_EQ(PackInChild(0), 0);
  const Files packed = Snapshot();
  // Record 2's memo, rewritten as long as it was, goes back to its place
  // in `packed` when packed again.
  USE(Path("t") + " EXCLUSIVE", nullptr, 0);
  GO(2);
  SetI(2, Rewrite(GetI(2), W("Zmieniona ż ") + std::string(199, 'x')));
  Replace();
  CloseArea();
  const Files before = Snapshot();
  ASSERT_EQ(PackInChild(1, "rename"), 3);
  const Files cut = Snapshot();
  // Packed again, the table holds the references of `packed` (its header's
  // date of change aside).
  ASSERT_TRUE(std::equal(cut.at("t.dbf").begin() + 4, cut.at("t.dbf").end(), packed.at("t.dbf").begin() + 4,
                         packed.at("t.dbf").end()));
  // The journal's first entry moved, its checksum made again.
  auto move = [&](const std::function<int64_t(int64_t)>& to) {
    constexpr size_t kFirstEntry = 15, kTail = 8;
    auto j = Bytes(Path("t.$PJ"));
    const int64_t pos = int64_t(plat::readLE32(&j[kFirstEntry]) | uint64_t(plat::readLE32(&j[kFirstEntry + 4])) << 32);
    const uint64_t moved = uint64_t(to(pos));
    plat::writeLE32(&j[kFirstEntry], uint32_t(moved));
    plat::writeLE32(&j[kFirstEntry + 4], uint32_t(moved >> 32));
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i + kTail < j.size(); ++i) h = (h ^ j[i]) * 0x100000001b3ULL;
    plat::writeLE32(&j[j.size() - kTail], uint32_t(h));
    plat::writeLE32(&j[j.size() - kTail + 4], uint32_t(h >> 32));
    WriteBytes(Path("t.$PJ"), j);
  };
  // The table and memo file put back from a backup (the journal's old and
  // new references differ from it, or its new ones equal it), or the
  // journal's entry moved onto the record's deletion flag and ID, or so far
  // that its end overflows.
  const struct {
    const Files& restored;
    std::function<int64_t(int64_t)> moved;
  } cases[] = {{early, nullptr},
               {packed, nullptr},
               {before, [](int64_t pos) { return pos - 5; }},
               {before, [](int64_t) { return INT64_MAX - 3; }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Restore(cut);
    for (const char* name : {"t.dbf", "t.dbt"}) WriteBytes(Path(name), c.restored.at(name));
    if (c.moved) move(c.moved);
    USE(Path("t"), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    CloseArea();
    EXPECT_EQ(Snapshot(), (Files{{"t.dbf", c.restored.at("t.dbf")}, {"t.dbt", c.restored.at("t.dbt")}}));
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
  // Once it is gone, the pack takes the record it appended too.
  Select(2);
  ClearRecord();
  SetI(2, AddMemo("appended"));
  ASSERT_TRUE(ALock());
  Append();
  CloseArea();
  Select(1);
  Hooks().Memo.Pack();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  texts.push_back("appended");
  EXPECT_EQ(Texts(), texts);
}

}  // namespace
