// The table component's writes under engine locks, against a second real
// process that holds the lock: the lock-failed events and their retries,
// the message without an event, and a write that fails leaving the record
// in edit; exclusive and read-only opens against a second process.
#include "dataset_testutil.h"
#include "testutil/helper_child.h"

namespace {

using dstest::DatasetTest;
// The second program: tests/helpers/dbf_lock_helper.
class LockHolder : public HelperChild {
 public:
  explicit LockHolder(std::vector<std::string> args) : HelperChild("dbf_lock_helper", std::move(args)) {}
};

class LockedWritesTest : public DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    MakeTable("lk.dbf", {"kod, N, 2, 0", "nazwa, C, 10, 0"}, {{"1", "Alfa"}, {"*2", "Beta"}, {"3", "Gamma"}});
    // A lock that is held fails at once instead of after the program's
    // 15 seconds of retries.
    SetLockRetries(0, 0);
    d_.SetDbfFileName(Path("lk"));
  }
  TTzDbf d_{"Lk"};
};

TEST_F(LockedWritesTest, PostRetriesAsTheEventAsksAndFailsLeavingTheEdit) {
  LockHolder holder({"hold-record", Path("lk.dbf"), "2"});
  ASSERT_EQ(holder.ReadLine(), "ready");
  d_.Open();
  d_.SetRecNo(2);
  d_.SetFieldStr("nazwa", "Nowa");
  int events = 0;
  d_.OnRLockFailedOnPost = [&](TTzFileDataSet& sender, bool& retry) {
    EXPECT_EQ(&sender, &d_);
    EXPECT_FALSE(retry);
    retry = ++events < 4;
  };
  EXPECT_THROW(d_.Post(), EAbort);
  EXPECT_EQ(events, 4);
  EXPECT_TRUE(log_.texts.empty());
  EXPECT_EQ(d_.State(), TDataSetState::dsEdit);
  EXPECT_EQ(d_.FieldStr("nazwa"), "Nowa      ");

  d_.OnRLockFailedOnPost = nullptr;
  EXPECT_THROW(d_.Post(), EAbort);
  EXPECT_EQ(log_.texts, std::vector<std::string>{"Lock failed [Post]"});
  EXPECT_EQ(d_.State(), TDataSetState::dsEdit);
  EXPECT_EQ(Stored("lk", 2, 2), "Beta      ");

  // The framework's error event sees the failure and asks again once the
  // other program let go.
  std::string seen;
  d_.OnPostError = [&](TDataSet&, EDatabaseError& e, TDataAction& action) {
    seen = e.what();
    holder.Release();
    EXPECT_EQ(holder.Wait(), 0);
    action = TDataAction::daRetry;
  };
  d_.Post();
  EXPECT_EQ(seen, "Lock failed [Post]");
  EXPECT_EQ(d_.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(Stored("lk", 2, 2), "Nowa      ");
  EXPECT_EQ(log_.texts.size(), 2u);
  // The record lock went with the write.
  LockHolder next({"hold-record", Path("lk.dbf"), "2"});
  EXPECT_EQ(next.ReadLine(), "ready");
}

TEST_F(LockedWritesTest, DeleteRestoreAndInsertFailWithoutTheirLocks) {
  LockHolder record({"hold-record", Path("lk.dbf"), "2"});
  LockHolder table({"hold-table", Path("lk.dbf")});
  ASSERT_EQ(record.ReadLine(), "ready");
  ASSERT_EQ(table.ReadLine(), "ready");
  d_.Open();
  d_.SetRecNo(2);
  EXPECT_TRUE(d_.IsDeleted());
  EXPECT_THROW(d_.Restore(), EAbort);
  EXPECT_TRUE(d_.IsDeleted());
  d_.SetRecNo(1);
  EXPECT_TRUE(d_.RLock());
  d_.UnLock();
  d_.SetRecNo(2);
  EXPECT_FALSE(d_.RLock());
  int deletes = 0;
  d_.OnRLockFailedOnDelete = [&](TTzFileDataSet&, bool&) { ++deletes; };
  EXPECT_THROW(d_.Delete(), EAbort);
  EXPECT_EQ(deletes, 1);
  d_.Append();
  d_.SetFieldStr("nazwa", "Delta");
  EXPECT_THROW(d_.Post(), EAbort);
  EXPECT_EQ(d_.State(), TDataSetState::dsInsert);
  EXPECT_EQ(d_.RecordCount(), 3);
  EXPECT_EQ(log_.texts, (std::vector<std::string>{"Lock failed [Restore]", "Lock failed [Insert]"}));

  table.Release();
  EXPECT_EQ(table.Wait(), 0);
  d_.Post();
  EXPECT_EQ(d_.RecNo(), 4);
  EXPECT_EQ(Stored("lk", 2, 4), "Delta     ");
  EXPECT_EQ(Stored("lk", 0, 2), "*");
}

TEST_F(LockedWritesTest, ExclusiveAndReadOnlyOpensShutOutOrLetInOthers) {
  struct Case {
    bool exclusive, readOnly;
    bool othersOpen;
  } cases[] = {{false, false, true}, {true, false, false}, {false, true, true}, {true, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.exclusive) + std::to_string(c.readOnly));
    d_.ReadOnly = c.readOnly;
    d_.Open();
    d_.SetExclusive(c.exclusive);  // reopens an active table
    EXPECT_TRUE(d_.Active());
    EXPECT_EQ(d_.CanModify(), !c.readOnly);
    LockHolder other({"hold-open", Path("lk.dbf")});
    const std::string line = other.ReadLine();
    if (c.othersOpen) EXPECT_EQ(line, "ready");
    else EXPECT_EQ(line.substr(0, 12), "error use 32");
    d_.Close();
    d_.SetExclusive(false);
  }
}

}  // namespace
