// Movement: BOF/EOF and the phantom record with deleted records hidden,
// filters, the WHILE scope, relations, and index order through a fake
// index hook table that records its calls.
#include <algorithm>
#include <cstring>

#include "dbf_testutil.h"

namespace {

using dbftest::TableTest;

class NavTest : public TableTest {
 protected:
  // NAV.DBF: N N4 holding the record number; `deleted` records marked.
  void MakeTable(int n, std::vector<int> deleted = {}) {
    Create("nav.dbf", {F("n", 'N', 4)});
    USE(Path("nav") + " EXCLUSIVE", nullptr, 0);
    for (int i = 1; i <= n; ++i) {
      SetI(1, i);
      *FieldAddress(0) = 0;
      Append();
      ASSERT_EQ(LastErrorCode(), 0);
      if (std::find(deleted.begin(), deleted.end(), i) != deleted.end()) DeleteRec();
    }
    CloseArea();
    USE(Path("nav"), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    SetIgnoreDel(true);
  }
  // Another area of the table (alias OTHER, area 2) appends a record
  // holding `n`, as another program would; area 1 is selected again.
  void AppendInAnotherArea(int n) {
    Select(2);
    USE(Path("nav") + " ALIAS OTHER", nullptr, 0);
    ASSERT_TRUE(ALock());
    SetI(1, n);
    Append();
    ASSERT_EQ(LastErrorCode(), 0);
    Unlock();
    Select(1);
  }
  // The table again as CHILD in area 2, whose record follows area 1's
  // through a relation; `runs` counts the relation's runs.
  void FollowInChild(int& runs) {
    Select(2);
    USE(Path("nav") + " ALIAS CHILD", nullptr, 0);
    Select(1);
    SetRelation([&runs] {
      ++runs;
      int32_t rec = RecNo();
      Select(2);
      GO(rec);
    });
  }

 public:
  struct Pos {
    int32_t rec;
    bool bof, eof;
    bool operator==(const Pos&) const = default;
  };
  static Pos Where() { return {RecNo(), dBOF(), dEOF()}; }
};

std::ostream& operator<<(std::ostream& o, const NavTest::Pos& p) {
  return o << "{rec " << p.rec << (p.bof ? " BOF" : "") << (p.eof ? " EOF" : "") << "}";
}

TEST_F(NavTest, DeletedRecordsAreHidden) {
  MakeTable(5, {1, 2, 5});
  GoTop();
  EXPECT_EQ(Where(), (Pos{3, false, false}));
  EXPECT_EQ(GetI(1), 3);
  GoBottom();
  EXPECT_EQ(Where(), (Pos{4, false, false}));
  SKIP(1);
  EXPECT_EQ(Where(), (Pos{6, false, true}));
  EXPECT_EQ(GetI(1), 0);  // the phantom record is blank
  SKIP(1);
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_EQ(LastErrorMessage(), "Database \"" + DbfName() + "\" is past EOF. [SKIP]");
  SKIP(-1);
  EXPECT_EQ(Where(), (Pos{4, false, false}));
  GoTop();
  SKIP(-1);
  EXPECT_EQ(Where(), (Pos{3, true, false}));
  SKIP(-1);  // at BOF: nothing happens
  EXPECT_EQ(Where(), (Pos{3, true, false}));
  GoTop();
  SKIP(5);
  EXPECT_EQ(Where(), (Pos{6, false, true}));
  // GO reaches hidden records.
  GO(2);
  EXPECT_EQ(Where(), (Pos{2, false, false}));
  EXPECT_TRUE(*FieldAddress(0));
}

TEST_F(NavTest, EveryRecordDeletedLeavesThePhantom) {
  MakeTable(3, {1, 2, 3});
  GoTop();
  EXPECT_EQ(Where(), (Pos{4, true, true}));
  GoBottom();
  EXPECT_EQ(Where(), (Pos{4, true, true}));
}

TEST_F(NavTest, GoOutOfRange) {
  MakeTable(10);
  struct Case {
    int32_t n;
    Pos at;
    uint16_t code;
  } cases[] = {
      {0, {11, false, true}, 212},
      {11, {11, false, true}, 212},
      {-3, {11, false, true}, 212},
      {10, {10, false, false}, 0},
  };
  for (const auto& c : cases) {
    GO(c.n);
    EXPECT_EQ(LastErrorCode(), c.code) << c.n;
    EXPECT_EQ(Where(), c.at) << c.n;
  }
  GO(0);
  EXPECT_EQ(LastErrorMessage(), "Invalid record number = 0 \nDatabase \"" + DbfName() + "\" [GO]");
  EXPECT_TRUE(GoIfValid(3));
  EXPECT_EQ(RecNo(), 3);
  EXPECT_FALSE(GoIfValid(12));
  EXPECT_EQ(RecNo(), 3);
}

TEST_F(NavTest, EmptyTable) {
  Create("empty.dbf", {F("a", 'C', 3)});
  USE(Path("empty"), nullptr, 0);
  EXPECT_EQ(Where(), (Pos{0, true, true}));
  GoTop();
  EXPECT_EQ(LastErrorCode(), 0);
  SKIP(1);
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_EQ(LastErrorMessage(), "Database \"" + DbfName() + "\" is past EOF. [SKIP]");
  Replace();
  EXPECT_EQ(LastErrorMessage(), "Database \"" + DbfName() + "\" is empty. [REPLACE]");
}

TEST_F(NavTest, FilterProcedure) {
  MakeTable(8);
  CurrentWorkArea()->FilterProc = [] { return GetI(1) % 3 == 0; };
  GoTop();
  EXPECT_EQ(RecNo(), 3);
  SKIP(1);
  EXPECT_EQ(RecNo(), 6);
  SKIP(1);
  EXPECT_EQ(Where(), (Pos{9, false, true}));
  GoBottom();
  EXPECT_EQ(RecNo(), 6);
}

TEST_F(NavTest, WhileScopeEndsTheMove) {
  MakeTable(10);
  CurrentWorkArea()->WhileProc = [] { return GetI(1) < 7; };
  EXPECT_TRUE(IsWhileOn());
  GO(5);
  SKIP(10);
  EXPECT_EQ(Where(), (Pos{7, false, true}));
  SKIP(-3);
  EXPECT_EQ(Where(), (Pos{4, false, false}));
  // Starting outside the scope there is no record in scope to go back to.
  GO(8);
  SKIP(-5);
  EXPECT_EQ(Where(), (Pos{11, true, true}));
  GO(8);
  CurrentWorkArea()->WhileProc = [] { return GetI(1) > 5; };
  SKIP(-10);
  EXPECT_EQ(RecNo(), 6);
  EXPECT_TRUE(dBOF());
  GoBottomWhile();
  EXPECT_EQ(RecNo(), 10);
  GO(9);
  GoTopWhile();
  EXPECT_EQ(RecNo(), 6);
}

TEST_F(NavTest, GoTopWhileStopsOnAReadError) {
  MakeTable(10);
  CurrentWorkArea()->WhileProc = [] { return true; };
  GO(9);
  plat::SetFileFaultHook([](plat::FileOp op, const std::string&, uint64_t) {
    return op == plat::FileOp::Read ? plat::kErrReadFault : 0;
  });
  GoTopWhile();
  EXPECT_EQ(LastErrorCode(), plat::kErrReadFault);
  GoBottomWhile();
  EXPECT_EQ(LastErrorCode(), plat::kErrReadFault);
  plat::SetFileFaultHook({});
}

TEST_F(NavTest, RelationFollowsAndCyclesAreReported) {
  MakeTable(5);
  int runs = 0;
  FollowInChild(runs);
  EXPECT_EQ(runs, 1);
  GO(4);
  EXPECT_EQ(CurrentArea(), 1);
  Select(2);
  EXPECT_EQ(RecNo(), 4);
  Select(1);
  SKIP(-2);
  EXPECT_EQ(WorkAreaOf(2)->RecNo, 2);

  // A procedure that moves its own area.
  SetRelation({});
  CurrentWorkArea()->AfterMove = [] { Dbf4RawGo(1); };
  GO(3);
  EXPECT_EQ(LastErrorCode(), 224);
  EXPECT_EQ(LastErrorMessage(), DbfName());
  EXPECT_TRUE(CurrentWorkArea()->AfterMove);  // put back
}

// GO whose read failed, and a record command whose write failed, still run
// the after-move procedure, where the area stands after the failure (a
// failed append past the end); the failure stays their result though the
// procedure's own moves clear the last code.
TEST_F(NavTest, AfterMoveRunsWhenTheReadOrWriteFailed) {
  MakeTable(3);
  int runs = 0;
  FollowInChild(runs);
  const std::string written = "File:  " + DbfName() + " [Replace/Append/PutDbfRecord]";
  struct Case {
    const char* what;
    bool (*lock)();
    void (*command)();
    plat::FileOp op;
    std::string message;
    int32_t at;
  } cases[] = {
      {"GO", +[] { return true; }, +[] { GO(3); }, plat::FileOp::Read, "File:  " + DbfName() + "  [GetDbfRecord]", 2},
      {"Replace", RLock, Replace, plat::FileOp::Write, written, 2},
      {"Append", ALock, Append, plat::FileOp::Write, written, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GO(2);
    ASSERT_TRUE(c.lock());
    SetI(1, 99);
    runs = 0;
    // Only the command's own access fails, not the child's that follows.
    plat::SetFileFaultHook([op = c.op, failed = false](plat::FileOp o, const std::string&, uint64_t) mutable {
      if (o != op || failed) return 0;
      failed = true;
      return int(plat::kErrDiskFull);
    });
    c.command();
    plat::SetFileFaultHook({});
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(CurrentArea(), 1);
    EXPECT_EQ(LastErrorCode(), plat::kErrDiskFull);
    EXPECT_EQ(LastErrorMessage(), c.message);
    EXPECT_EQ(RecNo(), c.at);
    Select(2);
    EXPECT_EQ(RecNo(), c.at);  // the child followed
    Select(1);
    Unlock();
  }
}

TEST_F(NavTest, FoundFlagIsRestoredAroundTheAfterMoveProcedure) {
  MakeTable(3);
  uint8_t found = 1;
  Hooks().Index.FoundFlag = &found;
  CurrentWorkArea()->AfterMove = [&] { found = 0; };
  GO(2);
  EXPECT_EQ(found, 1);
}

TEST_F(NavTest, AnotherAreaAppendsAndTheCountFollows) {
  MakeTable(2);
  AppendInAnotherArea(3);
  EXPECT_EQ(RecCount(), 3);
  GO(2);
  SKIP(1);
  EXPECT_EQ(GetI(1), 3);
}

TEST_F(NavTest, ThePhantomStaysPastTheEndWhenAnotherAreaAppends) {
  // A record another program appends while this area stands past the end
  // is not this area's record: no command writes the phantom's blank
  // buffer, or its flag, over it.
  struct Case {
    const char* what;
    void (*command)();
  } cases[] = {
      {"Replace", [] { SetI(1, 99), Replace(); }},
      {"DeleteRec", [] { DeleteRec(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CloseAll();
    MakeTable(2);
    GoBottom();
    SKIP(1);
    ASSERT_EQ(Where(), (Pos{3, false, true}));
    AppendInAnotherArea(3);
    EXPECT_TRUE(dEOF());
    EXPECT_EQ(RecNo(), 4);
    ASSERT_TRUE(RLock());
    c.command();
    Unlock();
    SKIP(-1);
    EXPECT_EQ(Where(), (Pos{3, false, false}));
    EXPECT_EQ(GetI(1), 3);
    EXPECT_EQ(*FieldAddress(0), 0);  // not deleted
  }
}

TEST_F(NavTest, RecordCommandsNeedTheirLocks) {
  MakeTable(3);
  GO(2);
  Append();
  EXPECT_EQ(LastErrorCode(), 5);
  EXPECT_EQ(LastErrorMessage(), "File must be locked to append: " + DbfName() + " [APPEND]");
  DeleteRec();
  EXPECT_EQ(LastErrorCode(), 1200);
  EXPECT_EQ(LastErrorMessage(), DbfName() + " Record not locked [DeleteRec]");
  RecallRec();
  EXPECT_EQ(LastErrorMessage(), "Record not locked [RecallRec]");
  // Without sharing RLock takes no lock but DeleteRec still needs the list.
  DbSettings().SharedMode = false;
  DeleteRec();
  EXPECT_EQ(LastErrorCode(), 1200);
  ASSERT_TRUE(RLock());
  DeleteRec();
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(Peek(0, 2), "*");
  RecallRec();
  EXPECT_EQ(Peek(0, 2), " ");
  GO(3);
  ASSERT_TRUE(RLock());
  SKIP(1);
  ASSERT_TRUE(RLock());
  RecallRec();
  EXPECT_EQ(LastErrorCode(), 1103);
  EXPECT_EQ(LastErrorMessage(), DbfName() + " at EOF [RecallRec]");
}

// A fake index over the table: a fixed order of record numbers, and a log
// of every hook the work-area layer calls.
class FakeIndex {
 public:
  explicit FakeIndex(std::vector<int32_t> order) : order_(std::move(order)) {}
  ~FakeIndex() { Hooks().Index = IndexHooks{}; }
  FakeIndex(const FakeIndex&) = delete;
  FakeIndex& operator=(const FakeIndex&) = delete;
  void Install() {
    IndexHooks& h = Hooks().Index;
    h.Linked = true;
    h.IndexPresent = [this] { return true; };
    h.SyncIndex = [this] {
      Log("sync");
      auto it = std::find(order_.begin(), order_.end(), RecNo());
      pos_ = int(it - order_.begin());
      eof_ = it == order_.end();
    };
    h.TopRec = [this] {
      Log("top");
      pos_ = 0;
      bof_ = eof_ = order_.empty();
      return order_.empty() ? Count() + 1 : order_[0];
    };
    h.BottomRec = [this] {
      Log("bottom");
      pos_ = int(order_.size()) - 1;
      bof_ = eof_ = order_.empty();
      return order_.empty() ? Count() + 1 : order_.back();
    };
    h.NextRec = [this] {
      Log("next");
      bof_ = false;
      if (pos_ + 1 >= int(order_.size())) {
        eof_ = true;
        return RecNo();
      }
      return order_[size_t(++pos_)];
    };
    h.PriorRec = [this] {
      Log("prior");
      eof_ = false;
      if (pos_ <= 0) {
        bof_ = true;
        return RecNo();
      }
      return order_[size_t(--pos_)];
    };
    h.AtEof = [this] { return eof_; };
    h.AtBof = [this] { return bof_; };
    h.SetBof = [this] { bof_ = true; };
    h.SetEof = [this] { eof_ = true; };
    h.RefreshKey = [this] { Log("key"); };
    h.AppendKeys = [this] { Log("add"); };
    h.CaptureKeys = [this] { Log("old"); };
    h.UpdateKeys = [this] { Log("update"); };
    h.CloseIndex = [this] { Log("close"); };
    h.ReadSemaphore = [this](bool on) {
      Log(on ? "R+" : "R-");
      readDepth_ += on ? 1 : -1;
      if (readDepth_ < 0) unbalanced_ = true;
    };
    h.LockSemaphore = [this](bool on) {
      Log(on ? "W+" : "W-");
      writeDepth_ += on ? 1 : -1;
      if (writeDepth_ < 0) unbalanced_ = true;
    };
  }
  std::vector<std::string> Take() { return std::exchange(log_, {}); }
  bool Balanced() const { return !unbalanced_ && readDepth_ == 0 && writeDepth_ == 0; }
  std::vector<int32_t>& Order() { return order_; }

 private:
  void Log(const char* s) { log_.push_back(s); }
  static int32_t Count() { return CurrentWorkArea()->RecCount; }
  std::vector<int32_t> order_;
  int pos_ = 0;
  bool bof_ = false, eof_ = false;
  int readDepth_ = 0, writeDepth_ = 0;
  bool unbalanced_ = false;
  std::vector<std::string> log_;
};

TEST_F(NavTest, WithoutAnIndexLayerNoHookIsCalled) {
  MakeTable(4);
  int calls = 0;
  Hooks().Index.IndexPresent = [&] {
    ++calls;
    return true;
  };  // installed entry, but the layer never said it is linked
  GoTop();
  SKIP(2);
  GoBottom();
  EXPECT_EQ(RecNo(), 4);
  EXPECT_EQ(calls, 0);
}

TEST_F(NavTest, IndexOrderAndPairedBrackets) {
  MakeTable(6, {5});
  FakeIndex ix({6, 5, 4, 3, 2, 1});
  ix.Install();
  GoTop();
  EXPECT_EQ(RecNo(), 6);
  EXPECT_EQ(ix.Take(), (std::vector<std::string>{"R+", "top", "key", "R-"}));
  SKIP(1);  // 5 is deleted
  EXPECT_EQ(RecNo(), 4);
  EXPECT_EQ(ix.Take(), (std::vector<std::string>{"R+", "next", "next", "R-", "key"}));
  SKIP(10);
  EXPECT_EQ(Where(), (Pos{7, false, true}));
  auto log = ix.Take();
  EXPECT_EQ(log.front(), "R+");
  EXPECT_EQ(std::count(log.begin(), log.end(), "R+"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "R-"), 1);
  EXPECT_NE(std::find(log.begin(), log.end(), "sync"), log.end());
  SKIP(-1);
  EXPECT_EQ(RecNo(), 1);
  GoBottom();
  EXPECT_EQ(RecNo(), 1);
  SKIP(-2);
  EXPECT_EQ(RecNo(), 3);
  SKIP(-10);  // past the beginning: GoTop, BOF
  EXPECT_EQ(RecNo(), 6);
  EXPECT_TRUE(dBOF());
  GO(2);
  EXPECT_EQ(ix.Take().back(), "R-");
  EXPECT_TRUE(ix.Balanced());

  ASSERT_TRUE(RLock());
  SetI(1, 20);
  Replace();
  ASSERT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(ix.Take(), (std::vector<std::string>{"W+", "old", "update", "W-"}));
  Unlock();
  ASSERT_TRUE(ALock());
  Append();
  ASSERT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(ix.Take(), (std::vector<std::string>{"W+", "add", "W-"}));
  Unlock();
  CloseArea();
  EXPECT_EQ(ix.Take(), (std::vector<std::string>{"close"}));
  EXPECT_TRUE(ix.Balanced());
}

TEST_F(NavTest, EmptyIndexLeavesThePhantom) {
  MakeTable(3);
  FakeIndex ix({});
  ix.Install();
  GoTop();
  EXPECT_EQ(RecNo(), 4);
  EXPECT_TRUE(dEOF());
  GoBottom();
  EXPECT_EQ(RecNo(), 4);
  EXPECT_TRUE(ix.Balanced());
}

TEST_F(NavTest, BracketsCloseOnAReadError) {
  MakeTable(4);
  FakeIndex ix({4, 3, 2, 1});
  ix.Install();
  GoTop();
  plat::SetFileFaultHook([](plat::FileOp op, const std::string&, uint64_t) {
    return op == plat::FileOp::Read ? plat::kErrReadFault : 0;
  });
  for (auto move : {+[] { GoTop(); }, +[] { GoBottom(); }, +[] { SKIP(1); }, +[] { SKIP(-1); }, +[] { GO(2); }}) {
    move();
    EXPECT_EQ(LastErrorCode(), plat::kErrReadFault);
  }
  plat::SetFileFaultHook({});
  EXPECT_TRUE(ix.Balanced());
}

}  // namespace

namespace {

// An exclusive area reads ahead; what it reads must still follow its own
// writes, in every direction.
TEST_F(NavTest, ExclusiveReadingFollowsItsOwnWrites) {
  Create("big.dbf", {F("n", 'N', 8), F("pad", 'C', 91)});
  USE(Path("big") + " EXCLUSIVE", nullptr, 0);
  const int kRecords = 2000;  // several read-ahead blocks of 100-byte records
  for (int i = 1; i <= kRecords; ++i) {
    SetI(1, i);
    Append();
  }
  auto check = [](int32_t rec) {
    ASSERT_EQ(LastErrorCode(), 0);
    ASSERT_EQ(RecNo(), rec);
    ASSERT_EQ(GetI(1), rec);
  };
  GoTop();
  for (int i = 1; i <= kRecords; ++i, SKIP(1)) check(i);
  EXPECT_TRUE(dEOF());
  GoBottom();
  for (int i = kRecords; i >= 1; --i, SKIP(-1)) check(i);
  for (int32_t r : {1500, 3, 1999, 700, 701, 699}) {
    GO(r);
    check(r);
  }
  GO(1000);
  SetI(1, -5);
  Replace();
  Poke("      -6", 1, 1001);
  GO(999);
  SKIP(1);
  EXPECT_EQ(GetI(1), -5);
  SKIP(1);
  EXPECT_EQ(GetI(1), -6);
}

}  // namespace
