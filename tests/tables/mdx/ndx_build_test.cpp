// Building tags: key order by type and collation, descending, unique and
// FOR tags, sorted runs through the temporary file, progress, refusals.
#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>
#include <set>

#include "tables/mdx/ndx_testutil.h"
#include "testutil/helper_child.h"

namespace ndxtest {
namespace {

using exprtest::Oem;

class NdxBuild : public NdxTest {};

// A rebuild in which one tag fails (its key, made for the current record,
// is empty there) leaves that tag out, builds every other one, and opens
// the file again, recorded or raised: the tags built go on following the
// table, the same order is selected, and the build's failure is the result.
TEST_F(NdxBuild, AFailedRebuildKeepsEveryOtherTagAndOpensTheIndexAgain) {
  const TIndexTagSpec bad = Spec("BAD", "IIF(NAZW = 'XX', '', NAZW)");
  const std::vector<TIndexTagSpec> good = {Spec("NAZW", "NAZW"), Spec("KWOTA", "KWOTA"),
                                           Spec("NAZWD", "NAZW", "", true)};
  for (bool raises : {false, true}) {
    for (size_t badAt : {0, 1}) {
      SCOPED_TRACE(std::string(raises ? "raised, " : "recorded, ") + "BAD at " + std::to_string(badAt + 1));
      WriteDbf(Path("T.DBF"), {{"NAZW", 'C', 10, 0}, {"KWOTA", 'N', 8, 2}}, {{"AA", "3"}, {"XX", "1"}, {"MM", "2"}});
      Open(1, "T.DBF EXCLUSIVE");
      std::vector<TIndexTagSpec> specs = good;
      specs.insert(specs.begin() + std::ptrdiff_t(badAt), bad);
      Index(specs);
      SetOrderToTag("NAZWD");
      GO(2);
      std::string error;
      {
        AutoErrorHandlingScope handling(raises);
        ErrorRaisesScope raise(raises);
        try {
          Reindex();
          error = LastErrorText();
        } catch (const EZavivError& e) {
          error = e.what();
        }
      }
      EXPECT_TRUE(error.starts_with("Error # 266 ")) << error;
      EXPECT_EQ(CurrentOrder(), 3);
      AppendRow({"BB", "5"});
      EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      const auto tags = DumpIndex(Path("T.MDX"));
      ASSERT_EQ(tags.size(), 3u);
      const std::vector<std::vector<int32_t>> want = {{1, 4, 3, 2}, {2, 3, 1, 4}, {2, 3, 4, 1}};
      for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(tags[i].name, good[i].TagName);
        EXPECT_EQ(Records(tags[i]), want[i]) << tags[i].name;
      }
      CloseAll();
    }
  }
}

// A rebuild over an existing index, stopped before each of its changes of
// a file in turn (an older index of other keys stands there, so that old
// and new tell apart): the next open finds the old index whole or the new
// one whole, with the old file's access bits, and nothing left beside the
// table. Appends to a shared table whose long keys split nodes up to the
// root, stopped before each change of the index in turn: every tag walks
// every record once in order and finds each key, the record being
// appended held or not. Replaces that move keys to other leaves, stopped
// the same way: each tag walks right with the record being replaced under
// its old key or its new one. Either may leave the cut-off update's mark:
// the open reports 222, a program that had the index open meanwhile gets
// 222 at its next write, and Reindex on the area whose open reported it
// rebuilds the index, which then walks right.
TEST_F(NdxBuild, ARebuildOrAnAppendKilledAtAnyStepLeavesTheOldIndexOrTheNew) {
  // Record r of table m holds K = "K" + r * m mod 200 in four digits and
  // N = r * m mod 211: keys all distinct. A replace adds 200 to K.
  auto kText = [](int m, int r, int add = 0) { return "K" + std::to_string(10000 + add + r * m % 200).substr(1); };
  auto rows = [&](int m, int n = 200) {
    std::vector<std::vector<std::string>> out;
    for (int r = 1; r <= n; ++r) out.push_back({kText(m, r), std::to_string(r * m % 211)});
    return out;
  };
  using Walks = std::vector<std::pair<std::string, std::vector<int32_t>>>;
  // Records 1..moved hold replaced keys, but `stale` its old one.
  auto model = [](int m, const std::vector<TIndexTagSpec>& specs, int n = 200, int moved = 0, int stale = 0) {
    Walks out;
    for (const auto& s : specs) {
      std::vector<int32_t> recs(size_t(std::max(n, 0)));
      std::iota(recs.begin(), recs.end(), 1);
      auto key = [&](int32_t r) {
        const bool k = s.KeyExpr[0] == 'K';
        return (r * m % (k ? 200 : 211) + (k && r <= moved && r != stale ? 200 : 0)) * (s.Descending ? -1 : 1);
      };
      std::sort(recs.begin(), recs.end(), [&](int32_t x, int32_t y) { return key(x) < key(y); });
      out.emplace_back(s.TagName, recs);
    }
    return out;
  };
  const std::vector<DbfField> fields = {{"K", 'C', 8, 0}, {"N", 'N', 6, 0}};
  const std::vector<TIndexTagSpec> specs = {Spec("K", "K"), Spec("N", "N"), Spec("KD", "K", "", true)};
  const std::vector<TIndexTagSpec> longKeys = {Spec("K", "K+SPACE(82)"), Spec("N", "N"),
                                               Spec("KD", "K+SPACE(82)", "", true)};
  const struct {
    const char* mode;
    std::vector<TIndexTagSpec> built;  // what the helper builds
  } cases[] = {{"reindex", specs}, {"make", {Spec("N", "N", "", true), Spec("K", "K")}}, {"append", longKeys}, {"replace", longKeys}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const bool replace = c.mode == std::string("replace");
    const bool append = replace || c.mode == std::string("append");  // the helper works in the table
    WriteDbf(Path("T.DBF"), fields, rows(37, append ? 60 : 200));
    Open(1, "T.DBF");
    ASSERT_TRUE(MakeIndex(append ? longKeys : specs, ""));
    CloseAll();
    const auto index = FileBytes(Path("T.MDX"));
    if (!append) WriteDbf(Path("T.DBF"), fields, rows(71));
    const auto table = FileBytes(Path("T.DBF"));
    Walks before = model(37, specs), after = model(71, c.built);
    constexpr auto kAccess = std::filesystem::perms(0660);
    int status = 3;
    for (int k = 1; status == 3; ++k) {
      SCOPED_TRACE(k);
      WriteBytes(Path("T.DBF"), table);
      WriteBytes(Path("T.MDX"), index);
      std::filesystem::permissions(Path("T.MDX"), kAccess);
      // A program that has the index open meanwhile.
      if (append) {
        Open(2, "T.DBF");
        ASSERT_TRUE(SetIndexTo(""));
      }
      status = HelperChild("ndx_build_helper", {Path("T.DBF"), c.mode, "kill", std::to_string(k)}).Wait();
      ASSERT_TRUE(status == 3 || status == 0) << status;
      const bool marked = FileBytes(Path("T.MDX"))[48] != 0;
      if (append) {
        // Its next write (after the users' cure for the writer that the
        // helper left counted in the semaphore file) finds the mark.
        plat::File sem;
        ASSERT_EQ(sem.Open(Path("T.@S@"), plat::kAccessReadWrite | plat::kShareDenyNone), 0);
        const uint8_t idle = 0;
        ASSERT_EQ(sem.WriteAt(1, &idle, 1), 0);
        GO(1);
        EXPECT_TRUE(RLock());
        Replace();
        EXPECT_EQ(LastErrorCode(), marked ? 222 : 0) << LastErrorMessage();
        CloseArea();
      }
      Open(1, "T.DBF");
      const bool opened = SetIndexTo("");
      // Only a cut-off update leaves the index to be rebuilt, from its own
      // tag headers.
      EXPECT_EQ(opened, !marked);
      EXPECT_TRUE(opened || (append && status == 3 && LastErrorCode() == 222)) << LastErrorMessage();
      if (!opened) {
        Reindex();
        ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      }
      Walks walks;
      if (append) {
        // The record the kill cut off may lack its key in any tag, or hold
        // its old one.
        const int n = RecCount();
        int moved = 0;
        for (GO(1); replace && moved < n && std::string(FieldAddress(1) + 1, 5) >= "K0200"; GO(RecNo() + 1)) ++moved;
        before = replace ? model(37, longKeys, n, moved, moved) : model(37, longKeys, n - 1);
        after = model(37, longKeys, n, moved);
        for (size_t t = 0; t < longKeys.size(); ++t) {
          SetOrderToTag(longKeys[t].TagName);
          walks.emplace_back(longKeys[t].TagName, WalkRecords(true));
          EXPECT_TRUE(walks[t] == after[t] || (status == 3 && opened && walks[t] == before[t])) << walks[t].first;
        }
        SetOrderToTag("K");
        for (int32_t r : walks[0].second) {
          std::string key = kText(37, r, r <= moved && (r != moved || walks[0] == after[0]) ? 200 : 0);
          key.resize(90, ' ');
          EXPECT_TRUE(Find(key) && RecNo() == r) << r;
        }
      }
      CloseAll();
      for (const auto& t : DumpIndex(Path("T.MDX"))) {
        EXPECT_EQ(t.fault, "") << t.name;
        if (!append) walks.emplace_back(t.name, Records(t));
      }
      EXPECT_TRUE(append || walks == after || (status == 3 && walks == before));
      std::set<std::string> names;
      for (const auto& e : std::filesystem::directory_iterator(Path(""))) names.insert(e.path().filename().string());
      EXPECT_EQ(names, (std::set<std::string>{"T.DBF", "T.MDX"}));
      EXPECT_EQ(std::filesystem::status(Path("T.MDX")).permissions(), kAccess);
    }
  }
  // A file under the build's name that no build of this table began is
  // somebody else's: opening leaves it, and a build refuses to touch it.
  const std::vector<uint8_t> foreign(3000, 'x');
  WriteBytes(Path("T.MDX$"), foreign);
  const auto index = FileBytes(Path("T.MDX"));
  Open(1, "T.DBF");
  EXPECT_TRUE(SetIndexTo(""));
  EXPECT_FALSE(MakeIndex(specs, ""));
  EXPECT_EQ(LastErrorCode(), plat::kErrFileExists);
  CloseAll();
  EXPECT_EQ(FileBytes(Path("T.MDX$")), foreign);
  EXPECT_EQ(FileBytes(Path("T.MDX")), index);
  // A writer that opened the index before another program's update was cut
  // off finds the mark too; a rebuild clears it.
  std::filesystem::remove(Path("T.MDX$"));
  Open(1, "T.DBF");
  ASSERT_TRUE(SetIndexTo(""));
  auto marked = index;
  marked[48] = 1;
  WriteBytes(Path("T.MDX"), marked);
  for (int rebuilt : {0, 1}) {
    EXPECT_TRUE(RLock());
    Replace();
    EXPECT_EQ(LastErrorCode(), rebuilt ? 0 : 222);
    Reindex();
    EXPECT_EQ(LastErrorCode(), 0);
  }
  CloseAll();
  EXPECT_EQ(FileBytes(Path("T.MDX"))[48], 0);
  // A marked file whose tag header lost its key is damaged beyond the
  // mark: Reindex builds nothing rather than leave the tag out.
  marked[plat::readLE32(&marked[544]) * size_t(512) + 24] = 0;
  WriteBytes(Path("T.MDX"), marked);
  Open(1, "T.DBF");
  EXPECT_FALSE(SetIndexTo(""));
  Reindex();
  EXPECT_EQ(LastErrorCode(), 222);
  CloseAll();
  EXPECT_EQ(FileBytes(Path("T.MDX")), marked);
}

TEST_F(NdxBuild, KeysFollowTheirTypeAndThePolishCollation) {
  // Each column holds its values in shuffled order; the lists give the
  // order the tags must hold them in.
  const std::vector<std::string> names = {"-a",   " x",  "12",  "ala",  "Ala",  "ąb",  "cebula", "ćma",
                                          "Ćwik", "Éva", "lata", "Lwów", "łan", "zebra", "Żaba"};
  const std::vector<std::string> dates = {"15.03.1999", "01.01.2000", "29.02.2000", "31.12.2025", "        "};
  const std::vector<std::string> numbers = {"-12.50", "-0.25", "0.00", "0.05", "2.50", "10.00", "100.25"};
  const size_t n = names.size();
  std::vector<size_t> perm(n);
  for (size_t i = 0; i < n; ++i) perm[i] = (i * 7 + 3) % n;
  std::vector<std::vector<std::string>> rows(n);
  for (size_t r = 0; r < n; ++r) {
    rows[r] = {Oem(names[perm[r]]), perm[r] < dates.size() ? dates[perm[r]].substr(6, 4) + dates[perm[r]].substr(3, 2) +
                                                                 dates[perm[r]].substr(0, 2)
                                                           : "",
               perm[r] < numbers.size() ? numbers[perm[r]] : "999"};
  }
  WriteDbf(Path("T.DBF"), {{"NAZWA", 'C', 10, 0}, {"DATA", 'D', 8, 0}, {"KWOTA", 'N', 8, 2}}, rows);
  Open(1, "T.DBF");
  ASSERT_TRUE(MakeIndex({Spec("NAZWA", "NAZWA"), Spec("DATA", "DATA", "KWOTA < 5"), Spec("KWOTA", "KWOTA")}, ""));
  auto dump = DumpIndex(Path("T.MDX"));
  ASSERT_EQ(dump.size(), 3u);
  for (const auto& t : dump) EXPECT_EQ(t.fault, "") << t.name;
  std::vector<std::string> want;
  for (const auto& s : names) want.push_back(RTrim(Oem(s)));
  EXPECT_EQ(Keys(dump[0]), want);
  // The same names in a table of the ANSI code page, keyed in it.
  for (auto& row : rows) row[0] = OemToAnsi(row[0]);
  WriteDbf(Path("A.DBF"), {{"NAZWA", 'C', 10, 0}}, rows);
  DbSettings().AnsiTables = true;
  Open(2, "A.DBF");
  ASSERT_TRUE(MakeIndex({Spec("NAZWA", "NAZWA")}, ""));
  auto ansi = DumpIndex(Path("A.MDX"), false);
  EXPECT_EQ(ansi[0].fault, "");
  want.clear();
  for (const auto& s : names) want.push_back(RTrim(exprtest::Cp(s)));
  EXPECT_EQ(Keys(ansi[0]), want);
  // Record r holds value perm[r]: the tag lists records by value.
  auto recordsByValue = [&](size_t count) {
    std::vector<int32_t> recs;
    for (size_t v = 0; v < count; ++v)
      recs.push_back(int32_t(std::find(perm.begin(), perm.end(), v) - perm.begin() + 1));
    return recs;
  };
  // The blank date is the invalid date, above every real one.
  EXPECT_EQ(Records(dump[1]), recordsByValue(dates.size()));
  std::vector<int32_t> byNumber = recordsByValue(numbers.size());
  for (size_t r = 0; r < n; ++r)
    if (perm[r] >= numbers.size()) byNumber.push_back(int32_t(r + 1));
  EXPECT_EQ(Records(dump[2]), byNumber);
}

TEST_F(NdxBuild, DescendingUniqueAndForTags) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 3, 0}, {"N", 'N', 3, 0}},
           {{"B", "1"}, {"A", "2"}, {"B", "3"}, {"C", "4"}, {"A", "5"}, {"B", "6"}});
  Open(1, "T.DBF");
  ASSERT_TRUE(MakeIndex({Spec("DESC", "K", "", true), Spec("UNIQ", "K", "", false, true),
                         Spec("UDESC", "K", "", true, true), Spec("ODD", "K", "MOD(N,2) = 1"),
                         Spec("NONE", "K", "N > 100")},
                        ""));
  auto d = DumpIndex(Path("T.MDX"));
  for (const auto& t : d) EXPECT_EQ(t.fault, "") << t.name;
  // Equal keys stay in ascending record order in a descending tag too.
  EXPECT_EQ(Records(d[0]), (std::vector<int32_t>{4, 1, 3, 6, 2, 5}));
  EXPECT_EQ(Records(d[1]), (std::vector<int32_t>{2, 1, 4}));
  EXPECT_EQ(Records(d[2]), (std::vector<int32_t>{4, 1, 2}));
  EXPECT_EQ(Records(d[3]), (std::vector<int32_t>{5, 1, 3}));
  EXPECT_TRUE(d[3].hasKeys);
  EXPECT_TRUE(d[4].entries.empty());
  EXPECT_TRUE(d[4].hasFor);
  EXPECT_FALSE(d[4].hasKeys);
}

TEST_F(NdxBuild, MoreKeysThanFitInMemoryGoThroughSortedRuns) {
  // 256 keys are sorted in memory at a time here; every other count goes
  // through the temporary file, which is gone afterwards.
  Engine().index.BuildPoolSize = 1024;
  std::set<std::string> tempFiles;
  plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
    if (op == plat::FileOp::Open && path.find("/TZP") != std::string::npos) tempFiles.insert(path);
    return 0;
  });
  std::mt19937 rng(12);
  for (int count : {256, 257, 63 * 64 + 1}) {
    SCOPED_TRACE(count);
    tempFiles.clear();
    std::vector<std::vector<std::string>> rows;
    std::vector<std::pair<std::string, int32_t>> want;
    for (int r = 1; r <= count; ++r) {
      std::string k(6, 'A');
      for (char& c : k) c = char('A' + rng() % 6);  // many duplicates
      rows.push_back({k});
      want.emplace_back(k, r);
    }
    std::sort(want.begin(), want.end());
    CloseAll();
    WriteDbf(Path("T.DBF"), {{"K", 'C', 6, 0}}, rows);
    Open(1, "T.DBF");
    ASSERT_TRUE(MakeIndex({Spec("K", "K"), Spec("KD", "K", "", true)}, ""));
    auto d = DumpIndex(Path("T.MDX"));
    ASSERT_EQ(d[0].fault, "");
    ASSERT_EQ(d[1].fault, "");
    ASSERT_EQ(d[0].entries.size(), size_t(count));
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(d[0].entries[i].key, want[i].first);
      ASSERT_EQ(d[0].entries[i].rec, want[i].second);
    }
    EXPECT_EQ(tempFiles.empty(), count <= 256);
    for (const auto& f : tempFiles) EXPECT_FALSE(std::filesystem::exists(f)) << f;
  }
}

TEST_F(NdxBuild, AnotherProgramHoldingTheIndexStopsASharedBuild) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 4, 0}}, {{"b"}, {"a"}});
  Open(1, "T.DBF");
  ASSERT_TRUE(MakeIndex({Spec("K", "K")}, ""));
  const auto before = FileBytes(Path("T.MDX"));
  HelperChild other("sema_helper", {});
  other.Send("use " + Path("T.DBF"));
  ASSERT_EQ(other.ReadLine(), "ok");
  other.Send("index");
  ASSERT_EQ(other.ReadLine(), "ok");
  // Its index cannot go, and the table cannot be had alone to rebuild it.
  EXPECT_FALSE(MakeIndex({Spec("K", "K", "", true)}, ""));
  EXPECT_EQ(LastErrorCode(), 225);
  EXPECT_EQ(FileBytes(Path("T.MDX")), before);
  other.Send("close");
  ASSERT_EQ(other.ReadLine(), "ok");
  EXPECT_TRUE(MakeIndex({Spec("K", "K", "", true)}, ""));
  EXPECT_EQ(Keys(DumpIndex(Path("T.MDX"))[0]), (std::vector<std::string>{"b", "a"}));
}

TEST_F(NdxBuild, ProgressIsCalledTheInstalledNumberOfTimes) {
  std::vector<std::vector<std::string>> rows;
  for (int r = 1; r <= 1000; ++r) rows.push_back({std::to_string(r)});
  WriteDbf(Path("T.DBF"), {{"N", 'N', 5, 0}}, rows);
  Open(1, "T.DBF");
  int calls = 0;
  SetIndexProgress([&] { ++calls; }, 100);
  ASSERT_TRUE(MakeIndex({Spec("ALL", "N")}, ""));
  EXPECT_EQ(calls, 100);
  calls = 0;
  ASSERT_TRUE(MakeIndex({Spec("FEW", "N", "N < 10"), Spec("ALL", "N")}, ""));
  EXPECT_EQ(calls, 200);
  SetIndexProgress(nullptr, 0);
  calls = 0;
  ASSERT_TRUE(MakeIndex({Spec("ALL", "N")}, ""));
  EXPECT_EQ(calls, 0);
}

TEST_F(NdxBuild, ShorterCharacterKeysArePaddedWithBlanks) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 4, 0}}, {{"abcd"}, {"ab"}, {"b"}});
  Open(1, "T.DBF");
  ASSERT_TRUE(MakeIndex({Spec("T", "TRIM(K)")}, ""));
  auto d = DumpIndex(Path("T.MDX"));
  ASSERT_EQ(d[0].keyLen, 4);
  EXPECT_EQ(d[0].entries, (std::vector<Entry>{{"ab  ", 2}, {"abcd", 1}, {"b   ", 3}}));
  // Such a key is shorter on the blank record than the tag says.
  EXPECT_FALSE(SetIndexTo(""));
  EXPECT_EQ(LastErrorCode(), 266);
}

TEST_F(NdxBuild, RefusedTagsAreLeftOutAndTheOthersBuilt) {
  WriteDbf(Path("T.DBF"), {{"K", 'C', 5, 0}, {"N", 'N', 5, 0}}, {{"", "1"}, {"x", "2"}});
  Open(1, "T.DBF");
  struct Case {
    TIndexTagSpec spec;
    uint16_t code;
  };
  const std::vector<Case> cases = {
      {Spec("EMPTY", "TRIM(K)"), 266},
      {Spec("LONG", std::string(221, 'K')), 300},
      {Spec("BADFOR", "K", "N + 1"), 362},
      {Spec("LOGIC", "N > 1"), 254},
      {Spec("SYNTAX", "K +"), 351},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec.TagName);
    EXPECT_FALSE(MakeIndex({Spec("GOOD", "K"), c.spec, Spec("ALSO", "N")}, ""));
    EXPECT_EQ(LastErrorCode(), c.code) << LastErrorMessage();
    auto d = DumpIndex(Path("T.MDX"));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].name, "GOOD");
    EXPECT_EQ(d[1].name, "ALSO");
    EXPECT_EQ(d[1].entries.size(), 2u);
  }
}

}  // namespace
}  // namespace ndxtest
