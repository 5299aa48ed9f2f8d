// The index file's bytes: header, tag table and name tree, tag headers and
// nodes of new tags; reading a file's tag list; opening refusals.
#include "tables/mdx/ndx_testutil.h"

namespace ndxtest {
namespace {

class NdxFile : public NdxTest {
 protected:
  void EmptyTable() {
    WriteDbf(Path("OSOBY.DBF"), {{"NAZWA", 'C', 10, 0}, {"DATA", 'D', 8, 0}, {"KWOTA", 'N', 10, 2}}, {});
    Open(1, "OSOBY.DBF");
  }
};

TEST_F(NdxFile, EmptyTableWithOneCharacterTagIsExactlyTheseBytes) {
  EmptyTable();
  ASSERT_TRUE(MakeIndex({Spec("nazwa", "NAZWA")}, ""));
  std::vector<uint8_t> want(4096, 0);
  // File header: version, creation date (2026-03-15), data file name,
  // block size, production flag, tag table shape, one tag, size in pages.
  want[0] = 2;
  want[1] = want[44] = 126;
  want[2] = want[45] = 3;
  want[3] = want[46] = 15;
  std::memcpy(&want[4], "OSOBY", 5);
  want[20] = 2;
  want[23] = 4;
  want[24] = 1;
  want[25] = 48;
  want[26] = 32;
  want[28] = 1;
  want[32] = 8;
  // Tag table entry 1: header page 6, name, mark, key type.
  want[544] = 6;
  std::memcpy(&want[548], "NAZWA", 5);
  want[563] = 2;
  want[564] = 'C';
  // Page 4: the root, an empty leaf (all zero). Page 6: the tag header.
  uint8_t* h = &want[3072];
  h[0] = 4;
  h[8] = 0x10;
  h[9] = 'C';
  h[12] = 10;
  h[14] = 63;
  h[18] = 16;
  std::memcpy(h + 24, "NAZWA", 5);
  EXPECT_EQ(FileBytes(Path("OSOBY.MDX")), want);
}

TEST_F(NdxFile, TagHeadersByKeyTypeAndFlags) {
  EmptyTable();
  struct Case {
    TIndexTagSpec spec;
    uint8_t flags;
    char type;
    uint16_t keyLen, itemLen, keysPerNode;
    uint8_t dateKey, unique;
  };
  const std::vector<Case> cases = {
      {Spec("PLAIN", "NAZWA"), 0x10, 'C', 10, 16, 63, 0, 0},
      {Spec("DESC", "NAZWA", "", true), 0x18, 'C', 10, 16, 63, 0, 0},
      {Spec("UNIQ", "NAZWA", "", false, true), 0x50, 'C', 10, 16, 63, 0, 1},
      {Spec("BOTH", "NAZWA", "", true, true), 0x58, 'C', 10, 16, 63, 0, 1},
      {Spec("DATA", "DATA"), 0x10, 'D', 8, 12, 84, 1, 0},
      {Spec("KWOTA", "KWOTA"), 0x10, 'N', 12, 16, 63, 0, 0},
      {Spec("LONG", "REPLICATE(NAZWA,10)"), 0x10, 'C', 100, 104, 9, 0, 0},
      {Spec("ODD", "LEFT(NAZWA,5)"), 0x10, 'C', 5, 12, 84, 0, 0},
  };
  std::vector<TIndexTagSpec> specs;
  for (const auto& c : cases) specs.push_back(c.spec);
  ASSERT_TRUE(MakeIndex(specs, ""));
  const auto f = FileBytes(Path("OSOBY.MDX"));
  // Each tag: its empty root leaf, then its header, at the end of the file.
  ASSERT_EQ(f.size(), 2048 + cases.size() * 2048);
  EXPECT_EQ(plat::readLE32(&f[32]), f.size() / 512);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const uint8_t* e = &f[544 + 32 * i];
    const uint32_t root = uint32_t(4 + 4 * i);
    EXPECT_EQ(plat::readLE32(e), root + 2) << c.spec.TagName;
    EXPECT_EQ(e[20], c.type) << c.spec.TagName;
    const uint8_t* h = &f[(root + 2) * 512];
    EXPECT_EQ(plat::readLE32(h), root) << c.spec.TagName;
    EXPECT_EQ(h[8], c.flags) << c.spec.TagName;
    EXPECT_EQ(h[9], c.type) << c.spec.TagName;
    EXPECT_EQ(plat::readLE16(h + 12), c.keyLen) << c.spec.TagName;
    EXPECT_EQ(plat::readLE16(h + 14), c.keysPerNode) << c.spec.TagName;
    EXPECT_EQ(plat::readLE16(h + 16), c.dateKey) << c.spec.TagName;
    EXPECT_EQ(plat::readLE16(h + 18), c.itemLen) << c.spec.TagName;
    EXPECT_EQ(h[23], c.unique) << c.spec.TagName;
    EXPECT_EQ(std::vector<uint8_t>(&f[root * 512], &f[root * 512 + 1024]), std::vector<uint8_t>(1024, 0))
        << c.spec.TagName;
  }
}

TEST_F(NdxFile, TagTableNamesFormABinaryTreeAndSameNameReplaces) {
  EmptyTable();
  ASSERT_TRUE(MakeIndex({Spec("NAZWA", "NAZWA"), Spec("data", "DATA"), Spec("NUMER", "KWOTA"), Spec("AB", "NAZWA"),
                         Spec("nazwa", "UPPER(NAZWA)", "KWOTA > 0")},
                        ""));
  auto f = FileBytes(Path("OSOBY.MDX"));
  ASSERT_EQ(f[28], 4);
  auto entry = [&](int n) { return &f[512 + 32 * n]; };
  // The second NAZWA replaced the first: the last entry (AB) took its
  // place, and the new tag went to the end.
  std::vector<std::string> names;
  for (int n = 1; n <= 4; ++n) names.push_back(reinterpret_cast<const char*>(entry(n) + 4));
  EXPECT_EQ(names, (std::vector<std::string>{"AB", "DATA", "NUMER", "NAZWA"}));
  // AB is the root; DATA, NUMER and NAZWA sort above it, each right of the
  // last one it passes.
  struct Links {
    int left, right, parent;
  };
  const std::vector<Links> want = {{0, 2, 0}, {0, 3, 1}, {4, 0, 2}, {0, 0, 3}};
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(entry(n)[16], want[n - 1].left) << n;
    EXPECT_EQ(entry(n)[17], want[n - 1].right) << n;
    EXPECT_EQ(entry(n)[18], want[n - 1].parent) << n;
    EXPECT_EQ(entry(n)[19], 2) << n;
  }
  EXPECT_EQ(entry(0)[16] | entry(0)[17] | entry(0)[18], 0);
  auto dump = DumpIndex(Path("OSOBY.MDX"));
  EXPECT_EQ(dump[3].keyExpr, "UPPER(NAZWA)");
  EXPECT_EQ(dump[3].forExpr, "KWOTA > 0");
  EXPECT_TRUE(dump[3].hasFor);
  EXPECT_FALSE(dump[3].hasKeys);
}

TEST_F(NdxFile, AFileHoldsAtMost47Tags) {
  EmptyTable();
  std::vector<TIndexTagSpec> specs;
  for (int n = 1; n <= 48; ++n) specs.push_back(Spec("T" + std::to_string(n), "NAZWA"));
  EXPECT_FALSE(MakeIndex(specs, ""));
  EXPECT_EQ(LastErrorCode(), 220);
  EXPECT_EQ(DumpIndex(Path("OSOBY.MDX")).size(), 47u);
  // A tag of a name already there replaces it.
  specs.resize(47);
  specs.push_back(Spec("T1", "DATA"));
  EXPECT_TRUE(MakeIndex(specs, ""));
  EXPECT_EQ(DumpIndex(Path("OSOBY.MDX")).back().keyExpr, "DATA");
}

TEST_F(NdxFile, TagListReadBackInTheTableComponentsForm) {
  EmptyTable();
  ASSERT_TRUE(MakeIndex({Spec("KD", "NAZWA"), Spec("DT", "DATA", " KWOTA>0 ", true), Spec("KW", "KWOTA", "", false, true)},
                        ""));
  std::vector<std::string> lines = {"stale"};
  ReadIndexTagList(lines, "OSOBY");
  EXPECT_EQ(lines, (std::vector<std::string>{"KD,F,F,NAZWA", "", "DT,T,F,DATA", "KWOTA>0", "KW,F,T,KWOTA", ""}));
  ReadIndexTagList(lines, Path("NONE.MDX"));
  EXPECT_TRUE(lines.empty());
}

TEST_F(NdxFile, OpeningRefusals) {
  EmptyTable();
  EXPECT_FALSE(SetIndexTo(""));
  EXPECT_EQ(LastErrorCode(), 2);
  // A file of no tags is only the header: too short to be an index.
  ASSERT_TRUE(MakeIndex({}, ""));
  EXPECT_EQ(FileBytes(Path("OSOBY.MDX")).size(), 2048u);
  EXPECT_FALSE(SetIndexTo(""));
  EXPECT_EQ(LastErrorCode(), 222);
  EXPECT_EQ(CurrentOrder(), 0);
}

TEST_F(NdxFile, StoredExpressionsAreNormalizedWithoutBreakingThem) {
  WriteDbf(Path("T.DBF"), {{"NAZWA", 'C', 10, 0}}, {{"ab"}, {"cd"}}, {false, true});
  Open(1, "T.DBF");
  ASSERT_TRUE(MakeIndex({Spec("N", "upper( nazwa ) + 'say \"x\"'", ".NOT. DELETED()")}, ""));
  ASSERT_TRUE(SetIndexTo("")) << LastErrorMessage();
  auto dump = DumpIndex(Path("T.MDX"));
  EXPECT_EQ(Records(dump[0]), std::vector<int32_t>{1});
  // The file keeps the text as it was given.
  std::vector<std::string> lines;
  ReadIndexTagList(lines, "");
  EXPECT_EQ(lines[0], "N,F,F,upper( nazwa ) + 'say \"x\"'");
  IndexHooks& h = Hooks().Index;
  ASSERT_TRUE(h.TagKeyText(1));
  GO(1);
  EXPECT_EQ(h.TagKeyText(1)(), "AB        say \"x\"");
}

}  // namespace
}  // namespace ndxtest
