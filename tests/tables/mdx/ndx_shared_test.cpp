// One indexed table shared by several real processes through the semaphore
// file: appends and navigation at the same time leave every tag whole, and
// changes by either program keep to the rules both follow.
#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <utility>

#include "platform/pfs.h"
#include "tables/mdx/ndx_testutil.h"
#include "tables/mdx/tzndx_sema.h"
#include "testutil/helper_child.h"

namespace ndxtest {
namespace {

class NdxShared : public NdxTest {
 protected:
  void SetUp() override {
    NdxTest::SetUp();
    plat::SetClock({});  // the helpers date the semaphore file by the real clock
  }
  // W.DBF: NAME C(8) with CC, AA, BB; tag NAME, and tag LIVE of the records
  // not deleted.
  void MakeIndexedTable() {
    WriteDbf(Path("W.DBF"), {{"NAME", 'C', 8, 0}}, {{"CC"}, {"AA"}, {"BB"}});
    Open(1, "W.DBF EXCLUSIVE");
    Index({Spec("NAME", "NAME"), Spec("LIVE", "NAME", ".NOT. DELETED()")});
    CloseArea();
  }
  // The table shared in area 1 with its index.
  void OpenShared() {
    Open(1, "W.DBF");
    ASSERT_TRUE(SetIndexTo("")) << LastErrorMessage();
  }
  // Runs `command` with engine errors raised; the text of the one that
  // arrived, empty when none did.
  static std::string Raised(void (*command)()) {
    AutoErrorHandlingScope on(true);
    ErrorRaisesScope raise(true);
    try {
      command();
    } catch (const EZavivError& e) {
      return e.what();
    }
    return "";
  }
  static bool EndsWith(const std::string& path, const char* ext) {
    return Upper(path).ends_with(ext);
  }
};

TEST_F(NdxShared, ProcessesAppendingAndNavigatingKeepOneKeyPerRecordInEveryTag) {
  constexpr int kPerProcess = 150;  // every third record replaced too
  for (int processes : {2, 4}) {
    SCOPED_TRACE(processes);
    const std::string table = Path("S" + std::to_string(processes) + ".DBF");
    const std::string sem = ForceExtension(table, "@S@");
    WriteDbf(table, {{"WHO", 'C', 4, 0}, {"SEQ", 'N', 6, 0}}, {});
    // Exclusive use builds, appends and closes without a semaphore file.
    Open(1, "S" + std::to_string(processes) + ".DBF EXCLUSIVE");
    Index({Spec("WHOSEQ", "WHO+STR(SEQ,6)"), Spec("SEQ", "SEQ", "", true), Spec("WHO", "WHO"),
           Spec("FEW", "SEQ", "SEQ < 20")});
    AppendRow({"BASE", "1"});
    CloseArea();
    EXPECT_FALSE(plat::IsRegularFile(sem));

    Open(1, "S" + std::to_string(processes) + ".DBF");
    ASSERT_TRUE(SetIndexTo(""));
    auto user = [&](const std::string& job) {
      auto c = std::make_unique<HelperChild>("sema_helper", std::vector<std::string>{});
      EXPECT_EQ(c->Ask("use " + table), "ok");
      EXPECT_EQ(c->Ask("index"), "ok");
      c->Send(job);
      return c;
    };
    std::vector<std::unique_ptr<HelperChild>> kids;
    for (int k = 1; k <= processes; ++k)
      kids.push_back(user("append " + std::to_string(kPerProcess) + " PR0" + std::to_string(k)));
    // Another walks two other orders both ways meanwhile.
    auto walker = user("walk 30");
    EXPECT_EQ(walker->ReadLine(120000), "done 0");
    EXPECT_EQ(walker->Ask("close"), "ok");
    for (auto& k : kids) EXPECT_EQ(k->ReadLine(120000), "done 0");  // every Find and walk right
    auto rec = FileBytes(sem);
    ASSERT_EQ(rec.size(), 4u);
    EXPECT_EQ(rec[0], processes + 1);
    EXPECT_EQ(rec[1], 0);
    EXPECT_EQ(plat::readLE16(&rec[2]), processes * kPerProcess * 4 / 3);  // one change per append and replace
    for (auto& k : kids) EXPECT_EQ(k->Ask("close"), "ok");
    CloseArea();
    EXPECT_FALSE(plat::IsRegularFile(sem));

    // Every tag holds one key per record (the FOR tag per record it
    // admits: SEQ 1..19 but the replaced multiples of 3), exactly as a
    // rebuild makes it.
    const auto shared = DumpIndex(ForceExtension(table, "MDX"));
    const size_t records = 1 + size_t(processes) * kPerProcess;
    ASSERT_EQ(shared.size(), 4u);
    for (const TagDump& t : shared) {
      EXPECT_EQ(t.fault, "") << t.name;
      EXPECT_EQ(t.entries.size(), t.name == "FEW" ? 1 + size_t(processes) * 13 : records) << t.name;
    }
    Open(1, "S" + std::to_string(processes) + ".DBF EXCLUSIVE");
    ASSERT_TRUE(SetIndexTo(""));
    Reindex();
    CloseArea();
    const auto rebuilt = DumpIndex(ForceExtension(table, "MDX"));
    for (size_t t = 0; t < shared.size(); ++t)
      EXPECT_EQ(FirstDifference(shared[t].entries, rebuilt[t].entries), "") << shared[t].name;
  }
}

// Another program that appended and keeps the table open has not written
// the count into the header yet. A second one that opens the table then
// reaches those records in every order, both ways, wherever their keys
// sort: first (in the order the index opens in), among the others, last.
TEST_F(NdxShared, RecordsAnotherProgramAppendedAreWalkedWhileItKeepsTheTableOpen) {
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= 100; ++i) rows.push_back({"BASE", std::to_string(i * 10)});
  WriteDbf(Path("A.DBF"), {{"WHO", 'C', 4, 0}, {"SEQ", 'N', 6, 0}}, rows);
  Open(1, "A.DBF EXCLUSIVE");
  Index({Spec("WHOSEQ", "WHO+STR(SEQ,6)"), Spec("SEQ", "SEQ"), Spec("WHOD", "WHO", "", true),
         Spec("HIGH", "SEQ", "SEQ > 500")});
  CloseArea();
  HelperChild other("sema_helper", {});
  ASSERT_EQ(other.Ask("use " + Path("A.DBF")), "ok");
  ASSERT_EQ(other.Ask("index"), "ok");
  ASSERT_EQ(other.Ask("add 5 AAAA 501"), "ok");  // records 101..105, SEQ 501..505
  const auto tags = DumpIndex(Path("A.MDX"));
  ASSERT_EQ(tags.size(), 4u);
  for (int order = 0; order <= 4; ++order) {
    std::vector<int32_t> want(105);
    std::iota(want.begin(), want.end(), 1);
    if (order > 0) want = Records(tags[size_t(order - 1)]);
    for (bool forward : {true, false}) {
      SCOPED_TRACE("order " + std::to_string(order) + (forward ? " forward" : " backward"));
      // Opened anew: the count is the header's again.
      Open(1, "A.DBF");
      ASSERT_TRUE(SetIndexTo("")) << LastErrorMessage();
      Set_Order_To(order);
      std::vector<int32_t> seen = WalkRecords(forward);
      EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      if (!forward) std::reverse(seen.begin(), seen.end());
      EXPECT_EQ(seen, want);
      CloseArea();
    }
  }
  EXPECT_EQ(other.Ask("close"), "ok");
}

// A change that cannot take the index's write bracket (another program
// holds the writer mark past the time-out) fails with that error, raised or
// recorded, and changes neither the table nor its index. Nothing of the
// failed bracket stays open: once the other program is done, the same
// change takes the bracket again and moves the counter once.
TEST_F(NdxShared, AChangeThatCannotTakeTheWriteBracketChangesNothing) {
  MakeIndexedTable();
  OpenShared();
  Engine().sema.LockSemaphoreTimeout = 1;
  HelperChild writer("sema_helper", {});
  ASSERT_EQ(writer.Ask("use " + Path("W.DBF")), "ok");
  ASSERT_EQ(writer.Ask("index"), "ok");
  struct Case {
    const char* what;
    bool raises;
    bool (*lock)();
    void (*change)();
  } cases[] = {
      {"Append", false, ALock, [] { AppendRow({"DD"}); }},
      {"Replace", true, RLock, [] {
         SetField(1, "ZZ");
         Replace();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Moves wait for a writer too: the area is placed first.
    GO(2);
    ASSERT_TRUE(c.lock());
    ASSERT_EQ(writer.Ask("lock"), "ok");
    const auto table = FileBytes(Path("W.DBF")), index = FileBytes(Path("W.MDX"));
    if (c.raises)
      EXPECT_NE(Raised(c.change).find("1 second timeout, cannot read: "), std::string::npos);
    else
      c.change();
    EXPECT_EQ(LastErrorCode(), 1202);
    EXPECT_EQ(FileBytes(Path("W.DBF")), table);
    EXPECT_EQ(FileBytes(Path("W.MDX")), index);
    ASSERT_EQ(writer.Ask("unlock"), "ok");
    const uint16_t counter = plat::readLE16(&FileBytes(Path("W.@S@"))[2]);
    c.change();
    EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    EXPECT_EQ(plat::readLE16(&FileBytes(Path("W.@S@"))[2]), counter + 1);
    Unlock();
  }
  // Deleting and recalling touch no key: they take no bracket and go on
  // while the other program holds the writer mark.
  GO(2);
  ASSERT_TRUE(RLock());
  ASSERT_EQ(writer.Ask("lock"), "ok");
  const auto index = FileBytes(Path("W.MDX"));
  for (void (*change)() : {DeleteRec, RecallRec, DeleteRec}) {
    change();
    EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  EXPECT_EQ(FileBytes(Path("W.MDX")), index);
  ASSERT_EQ(writer.Ask("unlock"), "ok");
  Unlock();
  CloseArea();
  const auto tags = DumpIndex(Path("W.MDX"));
  EXPECT_EQ(Keys(tags[0]), (std::vector<std::string>{"BB", "CC", "DD", "ZZ"}));
  EXPECT_EQ(Keys(tags[1]), (std::vector<std::string>{"BB", "CC", "DD", "ZZ"}));
}

// The other programs that share a table change its index by the file's
// rules alone: deleting and recalling move no key, and a replace moves the
// record's own entry only (a unique tag's key leaves with the record that
// held it, and goes to no other). Area 2 plays such a program: this
// engine with key maintenance off for delete and recall. Whichever of the
// two deletes, recalls or replaces record 2, in any order, both tags hold
// what those rules give, one entry per record at most.
TEST_F(NdxShared, DeleteRecallAndReplaceByEitherProgramLeaveTheTagsAsTheRulesGive) {
  enum Op { kDelete, kRecall, kReplace };
  const char* const kOpNames[] = {"delete", "recall", "replace"};
  // The replaces in turn: the name kept or changed, the unique key to a
  // new one, to one another record holds, back to the first.
  const std::pair<std::string, std::string> kReplaces[] = {{"BB", "Y"}, {"RR", "Q"}, {"RR", "X"}};
  for (int mix = 0; mix < 6 * 6 * 6; ++mix) {
    const int acts[] = {mix % 6, mix / 6 % 6, mix / 36};
    std::string trace;
    for (int act : acts) trace += std::string(act >= 3 ? "other " : "this ") + kOpNames[act % 3] + "; ";
    SCOPED_TRACE(trace);
    // Record 2 holds the unique key X, which record 3 shares.
    WriteDbf(Path("M.DBF"), {{"NAME", 'C', 8, 0}, {"U", 'C', 4, 0}}, {{"AA", "Q"}, {"BB", "X"}, {"CC", "X"}});
    Open(1, "M.DBF EXCLUSIVE");
    Index({Spec("LIVE", "NAME", ".NOT. DELETED()"), Spec("UNI", "U", "", false, true)});
    CloseArea();
    for (int area : {1, 2}) {
      Open(area, "M.DBF ALIAS M" + std::to_string(area));
      ASSERT_TRUE(SetIndexTo("")) << LastErrorMessage();
    }
    std::set<std::pair<std::string, int32_t>> live = {{PadR("AA", 8), 1}, {PadR("BB", 8), 2}, {PadR("CC", 8), 3}};
    std::map<std::string, int32_t> uni = {{PadR("Q", 4), 1}, {PadR("X", 4), 2}};
    std::string name = "BB", u = "X";
    bool deleted = false;
    int replaced = 0;
    for (int act : acts) {
      const bool other = act >= 3;
      Select(other ? 2 : 1);
      GO(2);
      ASSERT_TRUE(RLock());
      const bool maintain = std::exchange(DbSettings().MaintainIndexOnReplace, !other || act % 3 == kReplace);
      switch (act % 3) {
        case kDelete:
          DeleteRec();
          deleted = true;
          break;
        case kRecall:
          RecallRec();
          deleted = false;
          break;
        default: {
          const auto& [newName, newU] = kReplaces[replaced++];
          SetField(1, newName);
          SetField(2, newU);
          Replace();
          const std::string oldLive = PadR(name, 8), newLive = PadR(newName, 8), oldU = PadR(u, 4), newUKey = PadR(newU, 4);
          if (deleted || oldLive != newLive) {
            live.erase({oldLive, 2});
            if (!deleted) live.insert({newLive, 2});
          }
          if (oldU != newUKey && uni.contains(oldU)) {
            if (uni[oldU] == 2) uni.erase(oldU);
            uni.emplace(newUKey, 2);
          }
          name = newName;
          u = newU;
        }
      }
      DbSettings().MaintainIndexOnReplace = maintain;
      EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
      Unlock();
      const auto tags = DumpIndex(Path("M.MDX"));
      ASSERT_EQ(tags.size(), 2u);
      for (const TagDump& t : tags) {
        EXPECT_EQ(t.fault, "") << t.name;
        std::set<int32_t> records;
        for (const Entry& e : t.entries) EXPECT_TRUE(records.insert(e.rec).second) << t.name << ": record " << e.rec;
      }
      std::set<std::pair<std::string, int32_t>> liveNow;
      for (const Entry& e : tags[0].entries) liveNow.insert({e.key, e.rec});
      EXPECT_EQ(liveNow, live);
      std::map<std::string, int32_t> uniNow;
      for (const Entry& e : tags[1].entries) uniNow.emplace(e.key, e.rec);
      EXPECT_EQ(uniNow, uni);
    }
    CloseAll();
  }
}

// Closing a bracket fails when the semaphore file's record cannot be
// written. On the normal way out that failure is reported as any engine
// error (raised here); when another error already leaves the command, the
// bracket closes quietly and the first error is the one that arrives, with
// its code kept: a second exception out of a destructor would end the
// program.
TEST_F(NdxShared, AFailureToCloseABracketIsReportedAndNeverEndsTheProgram) {
  MakeIndexedTable();
  const std::string sem = Upper(Path("W.@S@"));
  struct Case {
    const char* what;
    void (*command)();
    std::optional<plat::FileOp> tableFault;
    std::string message;
    int code;
  } cases[] = {
      {"SKIP", [] { SKIP(1); }, {}, "Cannot write to: " + sem + " DECREAD", plat::kErrDiskFull},
      {"Append", [] {
         ALock();
         AppendRow({"DD"});
       },
       {}, "Cannot write to: " + sem + " UNLOCKSEMAPHORE", plat::kErrDiskFull},
      {"SKIP, its read failing", [] { SKIP(1); }, plat::FileOp::Read, "[GetDbfRecord]", plat::kErrReadFault},
      {"Replace, its write failing", [] {
         RLock();
         SetField(1, "ZZ");
         Replace();
       },
       plat::FileOp::Write, "[Replace/Append/PutDbfRecord]", plat::kErrReadFault},
      {"Find, its read failing", [] { Find("BB"); }, plat::FileOp::Read, "[GetDbfRecord]", plat::kErrReadFault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenShared();
    GoTop();
    int semWrites = 0;  // the bracket's opening writes the first
    plat::SetFileFaultHook([&](plat::FileOp op, const std::string& path, uint64_t) {
      if (op == plat::FileOp::Write && EndsWith(path, ".@S@")) return ++semWrites > 1 ? int(plat::kErrDiskFull) : 0;
      return c.tableFault == op && EndsWith(path, ".DBF") ? int(plat::kErrReadFault) : 0;
    });
    const std::string raised = Raised(c.command);
    plat::SetFileFaultHook({});
    EXPECT_NE(raised.find(c.message), std::string::npos) << raised;
    EXPECT_EQ(LastErrorCode(), c.code);
    CloseArea();
  }
}

}  // namespace
}  // namespace ndxtest
