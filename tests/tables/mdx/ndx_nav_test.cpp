// Moving in key order through the work-area commands, Find, order
// selection, and what the work-area layer tells the index at the ends.
#include <algorithm>
#include <random>

#include "tables/mdx/ndx_testutil.h"

namespace ndxtest {
namespace {

class NdxNav : public NdxTest {
 protected:
  // `count` records whose key K (C 100 wide, 9 keys per node: a deep tree
  // with few records) is a shuffled number, and N its value.
  void LongKeys(int count) {
    std::vector<std::vector<std::string>> rows;
    std::mt19937 rng(7);
    std::vector<int> values(count);
    for (int i = 0; i < count; ++i) values[i] = i;
    std::shuffle(values.begin(), values.end(), rng);
    for (int v : values) rows.push_back({"K" + ZeroPadded(v, 4), std::to_string(v)});
    WriteDbf(Path("T.DBF"), {{"K", 'C', 100, 0}, {"N", 'N', 5, 0}}, rows);
    Open(1, "T.DBF EXCLUSIVE");
    Index({Spec("K", "K"), Spec("KD", "K", "", true), Spec("EVEN", "K", "MOD(N,2) = 0")});
    byValue_.assign(count, 0);
    for (int r = 0; r < count; ++r) byValue_[values[r]] = r + 1;
  }
  static int N() {
    int32_t v;
    std::memcpy(&v, FieldAddress(2), sizeof v);
    return v;
  }
  // The records met by SKIP(step) from the current one until an end.
  static std::vector<int32_t> Walk(int step) {
    std::vector<int32_t> recs;
    while (!(step > 0 ? dEOF() : dBOF())) {
      recs.push_back(RecNo());
      SKIP(step);
      EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      if (recs.size() > 10000) break;
    }
    return recs;
  }
  std::vector<int32_t> byValue_;  // record of each value
};

TEST_F(NdxNav, SkipCrossesLeavesOfADeepTreeBothWays) {
  LongKeys(300);
  EXPECT_GE(DumpIndex(Path("T.MDX"))[0].entries.size(), 300u);
  GoTop();
  EXPECT_EQ(Walk(1), byValue_);
  EXPECT_EQ(RecNo(), 301);
  EXPECT_TRUE(dEOF());
  SKIP(1);
  EXPECT_EQ(LastErrorCode(), 212);
  SKIP(-1);
  EXPECT_EQ(RecNo(), byValue_.back());
  GoBottom();
  std::vector<int32_t> back = Walk(-1);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, byValue_);
  EXPECT_EQ(RecNo(), byValue_.front());
  // Descending and FOR tags, and skips of several records.
  SetOrderToTag("KD");
  GoTop();
  std::vector<int32_t> desc = Walk(1);
  std::reverse(desc.begin(), desc.end());
  EXPECT_EQ(desc, byValue_);
  SetOrderToTag("EVEN");
  GoTop();
  std::vector<int32_t> even;
  for (int v = 0; v < 300; v += 2) even.push_back(byValue_[v]);
  EXPECT_EQ(Walk(1), even);
  GoTop();
  SKIP(7);
  EXPECT_EQ(N(), 14);
  SKIP(-3);
  EXPECT_EQ(N(), 8);
}

TEST_F(NdxNav, HiddenRecordsAreSkippedInKeyOrder) {
  LongKeys(40);
  for (int v : {0, 1, 17, 39}) {
    GO(byValue_[v]);
    DeleteRec();
  }
  SetIgnoreDel(true);
  GoTop();
  EXPECT_EQ(N(), 2);
  GoBottom();
  EXPECT_EQ(N(), 38);
  GO(byValue_[16]);
  SKIP(1);
  EXPECT_EQ(N(), 18);
  SKIP(-1);
  EXPECT_EQ(N(), 16);
}

TEST_F(NdxNav, FindExactPrefixDescendingAndMissing) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 10, 0}, {"D", 'D', 8, 0}, {"N", 'N', 8, 2}},
           {{"ABD", "20000229", "1.5"}, {"AB", "19991231", "-3"}, {"ABC", "20260315", "12"}, {"B", "", "0"}});
  Open(1, "T.DBF");
  Index({Spec("K", "K"), Spec("KD", "K", "", true), Spec("D", "D"), Spec("N", "N")});
  struct Case {
    std::string tag, key;
    bool exact;
    bool found;
    int32_t rec;
  };
  const std::vector<Case> cases = {
      {"K", "AB", false, true, 2},   {"K", "ABC", false, true, 3},  {"K", "AB", true, true, 2},
      {"K", "ABX", false, false, 5}, {"K", "C", false, false, 5},   {"K", "A", false, true, 2},
      {"KD", "AB", false, true, 1},  {"KD", "A", false, true, 1},   {"KD", "AB", true, true, 2},
      {"KD", "AA", false, false, 5}, {"D", "29.02.2000", false, true, 1}, {"D", "01.01.2000", false, false, 5},
      {"N", "12", false, true, 3},   {"N", "-3.00", false, true, 2}, {"N", "1.50", false, true, 1},
      {"N", "7", false, false, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag + " " + c.key);
    SetOrderToTag(c.tag);
    GoTop();
    if (c.exact) SetExactMatch();
    EXPECT_EQ(Find(c.key), c.found);
    if (c.exact) ClearExactMatch();
    EXPECT_EQ(IndexFound(), c.found);
    EXPECT_EQ(RecNo(), c.rec);
    EXPECT_EQ(dEOF(), !c.found);
  }
  // The exact match takes the key as a whole: "AB" is not "ABC".
  SetOrderToTag("K");
  SetExactMatch();
  EXPECT_FALSE(Find("ABX"));
  EXPECT_TRUE(ClearExactMatch());
  // From a failed Find the walk back starts at the last key.
  SKIP(-1);
  EXPECT_EQ(RecNo(), 4);
}

TEST_F(NdxNav, OrderSelectionExchangesSlotsAndFindsTagsByPrefix) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 4, 0}}, {{"b"}, {"a"}, {"c"}});
  Open(1, "T.DBF");
  Index({Spec("T1", "K"), Spec("NAZWISKO", "K", "", true), Spec("T3", "RECNO()"), Spec("NAZW2", "K"),
         Spec("T5", "UPPER(K)")});
  EXPECT_EQ(CurrentOrder(), 1);
  Set_Order_To(3);
  EXPECT_EQ(CurrentOrder(), 3);
  auto* ix = static_cast<ndx::IndexArea*>(AreaExtra()->Index.get());
  EXPECT_EQ(ix->Slots[1]->Number, 3);
  EXPECT_EQ(ix->Slots[3]->Number, 1);
  Set_Order_To(5);
  EXPECT_EQ(ix->Slots[1]->Number, 5);
  EXPECT_EQ(ix->Slots[3]->Number, 3);
  EXPECT_EQ(ix->Slots[5]->Number, 1);
  SetOrderToTag("nazwisko");
  EXPECT_EQ(CurrentOrder(), 2);
  SetOrderToTag("NAZW");
  EXPECT_EQ(CurrentOrder(), 2);
  SetOrderToTag("nazw2");
  EXPECT_EQ(CurrentOrder(), 4);
  SetOrderToTag("XYZ");
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(CurrentOrder(), 4);
  Set_Order_To(6);
  EXPECT_EQ(LastErrorCode(), 220);
  // Natural order keeps the tags open and moves by record number.
  SetOrderToTag("");
  EXPECT_EQ(CurrentOrder(), 0);
  EXPECT_TRUE(IndexActive());
  GoTop();
  EXPECT_EQ(RecNo(), 1);
  SKIP(1);
  EXPECT_EQ(RecNo(), 2);
  EXPECT_FALSE(Find("a"));
  EXPECT_EQ(LastErrorCode(), 254);
  // Back in an order, the position follows the current record.
  SetOrderToTag("T1");
  SKIP(1);
  EXPECT_EQ(RecNo(), 1);
}

TEST_F(NdxNav, EndsOfTheTableReachTheIndex) {
  LongKeys(20);
  // GO beyond the count stands at the end in key order too.
  GO(25);
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_TRUE(dEOF());
  SKIP(-1);
  EXPECT_EQ(N(), 19);
  // GO then SKIP continue from the record's key.
  GO(byValue_[5]);
  SKIP(1);
  EXPECT_EQ(N(), 6);
  // Every record hidden: GoTop ends past the end with both flags set.
  CurrentWorkArea()->FilterProc = [] { return false; };
  GoTop();
  EXPECT_EQ(RecNo(), 21);
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  GoBottom();
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  CurrentWorkArea()->FilterProc = nullptr;
  // A raw move past the end is seen by dEOF.
  GoTop();
  Dbf4RawGo(30);
  EXPECT_TRUE(dEOF());
  // The first record: SKIP(-1) stays with BOF set.
  GoTop();
  SKIP(-1);
  EXPECT_TRUE(dBOF());
  EXPECT_EQ(N(), 0);
  // In natural order too; a Replace there ends BOF.
  Set_Order_To(0);
  GO(1);
  SKIP(-1);
  ASSERT_TRUE(dBOF());
  Replace();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_FALSE(dBOF());
}

TEST_F(NdxNav, HookServicesAnswerForTheCurrentArea) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 6, 0}, {"N", 'N', 8, 2}, {"D", 'D', 8, 0}}, {{"ala", "-1.5", "20240229"}});
  Open(1, "T.DBF");
  Index({Spec("K", "K"), Spec("N", "N", "", true), Spec("D", "D")});
  IndexHooks& h = Hooks().Index;
  EXPECT_EQ(h.TagLocator(1), Upper(Path("T.MDX")) + " [tag: K]");
  EXPECT_EQ(h.TagLocator(4), "");
  EXPECT_EQ(h.TagKeyText(1)(), "ala   ");
  EXPECT_EQ(h.TagKeyText(2)(), "   -1.50");
  EXPECT_EQ(h.TagKeyText(3)(), "29.02.2024");
  EXPECT_FALSE(h.TagKeyText(4));
  EXPECT_EQ(h.OrderKeyText()(), "ala   ");
  EXPECT_TRUE(h.Ascending(1));
  EXPECT_FALSE(h.Ascending(2));
  EXPECT_EQ(h.Phonetic(2), 0);
  SetOrderToTag("");
  EXPECT_EQ(h.OrderKeyText()(), "Rec:         1");
  // Rebuilt, the index keeps the order it had.
  SetOrderToTag("D");
  Reindex();
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(CurrentOrder(), 3);
  h.CloseIndex();
  EXPECT_FALSE(IndexActive());
  EXPECT_TRUE(h.OpenOwnIndex());
  EXPECT_EQ(CurrentOrder(), 1);
  // Another area: the hooks answer for the current one only.
  WriteDbf(Path("U.DBF"), {{"K", 'C', 6, 0}}, {});
  Open(2, "U.DBF");
  EXPECT_FALSE(IndexActive());
  EXPECT_FALSE(h.OrderKeyText());
}

TEST_F(NdxNav, EmptyTableAndEmptyForTag) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 4, 0}}, {});
  Open(1, "T.DBF");
  Index({Spec("K", "K")});
  GoTop();
  EXPECT_TRUE(dEOF());
  EXPECT_FALSE(Find("A"));
  WriteDbf(Path("U.DBF"), {{"K", 'C', 4, 0}}, {{"a"}, {"b"}});
  Open(2, "U.DBF");
  Index({Spec("NONE", "K", "K = 'z'")});
  GoTop();
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), 3);
  EXPECT_FALSE(Find("a"));
  EXPECT_EQ(RecNo(), 3);
}

}  // namespace
}  // namespace ndxtest
