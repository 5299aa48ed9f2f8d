// Keeping the keys in step with appends and replaces: every tag but the
// unique ones equal to a rebuild after random changes, node splits, emptied
// tags, unique and FOR tags.
#include <algorithm>
#include <random>

#include "tables/mdx/ndx_testutil.h"

namespace ndxtest {
namespace {

class NdxKeys : public NdxTest {
 protected:
  std::vector<TagDump> Dump() { return DumpIndex(Path("T.MDX")); }
  static std::string Structure(const std::vector<TagDump>& d) {
    for (const auto& t : d)
      if (!t.fault.empty()) return t.name + ": " + t.fault;
    return "";
  }
};

class NdxRandom : public NdxKeys, public ::testing::WithParamInterface<bool> {};

TEST_P(NdxRandom, ChangesLeaveEveryTagAsARebuildMakesIt) {
  const bool shared = GetParam();
  // K: short keys with many duplicates; L: long keys (9 per node), so
  // splits reach interior nodes; F switches the FOR tag; U feeds the
  // unique tags; D has blank dates among real ones.
  WriteDbf(Path("T.DBF"), {{"K", 'C', 3, 0}, {"N", 'N', 6, 1}, {"D", 'D', 8, 0}, {"F", 'N', 1, 0}, {"U", 'C', 2, 0}},
           {});
  Open(1, "T.DBF EXCLUSIVE");
  Index({Spec("K", "K"), Spec("N", "N"), Spec("D", "D"), Spec("KDESC", "K", "", true), Spec("U", "U", "", false, true),
         Spec("UDESC", "U+K", "", true, true), Spec("FOR", "K", "F > 2"), Spec("L", "K+STR(N,6,1)+SPACE(80)"),
         Spec("LFOR", "UPPER(U)+K", "F < 2 .AND. .NOT. DELETED()")});
  std::mt19937 rng(2026);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  auto key = [&] { return std::string(1, char('A' + pick(4))) + std::string(1, char('a' + pick(3))); };
  auto number = [&] { return FormatNumber((pick(400) - 200) / 10.0, 0, 1); };
  auto date = [&] {
    return pick(5) == 0 ? std::string() : ZeroPadded(1 + pick(28), 2) + "." + ZeroPadded(1 + pick(12), 2) + ".20" +
                                              ZeroPadded(pick(30), 2);
  };
  auto flag = [&] { return std::to_string(pick(6)); };
  auto unique = [&] { return std::string(1, char('a' + pick(5))); };
  int records = 0;
  for (int step = 1; step <= 700; ++step) {
    const int op = records < 20 ? 0 : pick(9);
    if (op < 4) {
      if (shared) ALock();
      AppendRow({key(), number(), date(), flag(), unique()});
      ++records;
    } else {
      GO(1 + pick(records));
      if (shared) RLock();
      // Change some fields: keys changing or not, FOR results flipping.
      const int which = pick(6);
      if (which == 0 || which == 5) SetField(1, key());
      if (which == 1) SetField(2, number());
      if (which == 2) SetField(3, date());
      if (which == 3 || which == 5) SetField(4, flag());
      if (which == 4) SetField(5, unique());
      Replace();
    }
    ASSERT_EQ(LastErrorCode(), 0) << step << ": " << LastErrorMessage();
    if (shared) Unlock();
    auto now = Dump();
    ASSERT_EQ(Structure(now), "") << "step " << step;
    if (step % 100 != 0) continue;
    Reindex();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    auto rebuilt = Dump();
    ASSERT_EQ(rebuilt.size(), now.size());
    for (size_t t = 0; t < now.size(); ++t) {
      // A unique tag keeps a key with the record that brought it first,
      // and loses it with that record's replace; a rebuild gives it to the
      // lowest record that has it.
      if (now[t].flags & 0x40) continue;
      EXPECT_EQ(FirstDifference(now[t].entries, rebuilt[t].entries), "") << "step " << step << " tag " << now[t].name;
      EXPECT_EQ(now[t].hasKeys, rebuilt[t].hasKeys) << "step " << step << " tag " << now[t].name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, NdxRandom, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Shared" : "Exclusive"; });

TEST_F(NdxKeys, AFullLeafSplitsAndTheRootGrowsAboveIt) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 10, 0}}, {});
  Open(1, "T.DBF EXCLUSIVE");
  Index({Spec("K", "K")});
  for (int i = 0; i < 63; ++i) AppendRow({ZeroPadded(i * 2, 10)});
  const uint32_t rootBefore = Dump()[0].root;
  const size_t sizeBefore = FileBytes(Path("T.MDX")).size();
  AppendRow({ZeroPadded(101, 10)});  // joins the upper half
  auto d = Dump();
  ASSERT_EQ(Structure(d), "");
  EXPECT_EQ(d[0].entries.size(), 64u);
  // Two nodes more: the new sibling and the new root; the old leaf keeps
  // the lower half.
  EXPECT_EQ(FileBytes(Path("T.MDX")).size(), sizeBefore + 2048);
  EXPECT_NE(d[0].root, rootBefore);
  const auto f = FileBytes(Path("T.MDX"));
  const uint8_t* root = &f[size_t(d[0].root) * 512];
  ASSERT_EQ(plat::readLE32(root), 1u);
  EXPECT_EQ(plat::readLE32(root + 8), rootBefore);
  EXPECT_EQ(plat::readLE32(&f[size_t(plat::readLE32(root + 8)) * 512]), 32u);
  EXPECT_EQ(plat::readLE32(&f[size_t(plat::readLE32(root + 8 + 16)) * 512]), 32u);
  EXPECT_EQ(plat::readLE32(&f[32]), f.size() / 512);
}

TEST_F(NdxKeys, AnchorsAreWrittenUnderTheLockOfTheFilesFirstByte) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 10, 0}}, {});
  Open(1, "T.DBF");
  Index({Spec("K", "K", "K > 'A'")});
  plat::File other;
  ASSERT_EQ(other.Open(Path("T.MDX"), plat::kAccessReadWrite | plat::kShareDenyNone), 0);
  ASSERT_EQ(other.Lock(0, 1), 0);
  // The FOR tag's first key changes its anchor, which cannot be written now.
  ALock();
  AppendRow({"B"});
  EXPECT_EQ(LastErrorCode(), plat::kErrLockViolation);
  EXPECT_NE(LastErrorMessage().find("Could not lock index for writing anchor node "), std::string::npos)
      << LastErrorMessage();
  ASSERT_EQ(other.Unlock(0, 1), 0);
  AppendRow({"C"});
  Unlock();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  auto d = Dump();
  EXPECT_TRUE(d[0].hasKeys);
  EXPECT_EQ(Records(d[0]), (std::vector<int32_t>{1, 2}));
}

TEST_F(NdxKeys, UniqueAndForTagsOnAppendAndReplace) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 3, 0}, {"F", 'N', 1, 0}}, {});
  Open(1, "T.DBF EXCLUSIVE");
  Index({Spec("U", "K", "", false, true), Spec("FOR", "K", "F = 1")});
  AppendRow({"AAA", "0"});
  AppendRow({"AAA", "1"});  // a second AAA: the unique tag keeps record 1
  EXPECT_EQ(LastErrorCode(), 0);
  auto d = Dump();
  EXPECT_EQ(Records(d[0]), std::vector<int32_t>{1});
  EXPECT_EQ(Records(d[1]), std::vector<int32_t>{2});
  EXPECT_TRUE(d[1].hasKeys);
  // Replacing the record the unique tag left out reports nothing.
  GO(2);
  SetField(1, "BBB");
  Replace();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  // The key's last record goes: record 2 keeps BBB, and AAA leaves with 1.
  GO(1);
  SetField(1, "CCC");
  Replace();
  d = Dump();
  EXPECT_EQ(Keys(d[0]), (std::vector<std::string>{"BBB", "CCC"}));
  // The FOR condition turning false removes the key, turning true adds it,
  // with the key unchanged.
  GO(2);
  SetField(2, "0");
  Replace();
  d = Dump();
  EXPECT_TRUE(d[1].entries.empty());
  EXPECT_FALSE(d[1].hasKeys);
  SetOrderToTag("FOR");
  GoTop();
  EXPECT_TRUE(dEOF());
  GO(2);
  SetField(2, "1");
  Replace();
  EXPECT_EQ(Records(Dump()[1]), std::vector<int32_t>{2});
  // A key leaves with the record that held it, though another has it too;
  // that one, replaced, adds nothing, as no entry of its own is known.
  AppendRow({"CCC", "0"});
  GO(1);
  SetField(1, "DDD");
  Replace();
  EXPECT_EQ(Keys(Dump()[0]), (std::vector<std::string>{"BBB", "DDD"}));
  GO(3);
  SetField(1, "EEE");
  Replace();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(Keys(Dump()[0]), (std::vector<std::string>{"BBB", "DDD"}));
}

TEST_F(NdxKeys, AReplaceThatChangesNoKeyWritesNothingToTheIndex) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 3, 0}, {"X", 'C', 5, 0}}, {{"A", "x"}, {"B", "y"}});
  Open(1, "T.DBF EXCLUSIVE");
  Index({Spec("K", "K"), Spec("KX", "K", "X <> 'z'")});
  int writes = 0;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    if (op == plat::FileOp::Write && path.find(".MDX") != std::string::npos) ++writes;
    return 0;
  });
  GO(2);
  SetField(2, "other");
  Replace();
  EXPECT_EQ(writes, 0);
  SetField(1, "C");
  Replace();
  EXPECT_GT(writes, 0);
}

TEST_F(NdxKeys, AMissingOldKeyIsReportedWithItsTagWhichGetsNothingAndTheOtherTagsStillMove) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 10, 0}}, {{"A"}, {"B"}});
  Open(1, "T.DBF EXCLUSIVE");
  Index({Spec("K1", "K"), Spec("K2", "K"), Spec("K3", "K")});
  CloseAll();
  // Another program wrote record 2's key into the second tag in a form of
  // its own (16-byte items, the key's last byte).
  auto f = FileBytes(Path("T.MDX"));
  const size_t root2 = size_t(plat::readLE32(&f[size_t(plat::readLE32(&f[512 + 64])) * 512])) * 512;
  f[root2 + 8 + 16 + 4 + 9] = 'x';
  WriteBytes(Path("T.MDX"), f);
  Open(1, "T.DBF EXCLUSIVE");
  ASSERT_TRUE(SetIndexTo(""));
  GO(2);
  SetField(1, "C");
  Replace();
  EXPECT_EQ(LastErrorCode(), 254);
  EXPECT_NE(LastErrorMessage().find("Record number 2 not found in index. "), std::string::npos);
  EXPECT_NE(LastErrorMessage().find("T.MDX [tag: K2] [CompareKeys]"), std::string::npos)
      << LastErrorMessage();
  // The tag that lacked the key gets no second entry for the record.
  auto d = Dump();
  EXPECT_EQ(Keys(d[0]), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(Keys(d[1]), (std::vector<std::string>{"A", "B        x"}));
  EXPECT_EQ(Keys(d[2]), (std::vector<std::string>{"A", "C"}));
}

}  // namespace
}  // namespace ndxtest
