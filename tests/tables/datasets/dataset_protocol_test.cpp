// The dataset protocol against real tables: browsing across both ends,
// bookmarks, edit/post/cancel, insert and append, delete and recall with
// and without hidden deleted records, searches, and the framework's errors.
#include "dataset_testutil.h"

namespace {

using dstest::DatasetTest;
using dstest::Row;

const std::vector<std::string> kFields = {"kod, N, 2, 0", "nazwa, C, 10, 0"};

class ProtocolTest : public DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    MakeTable("t.dbf", kFields, {{"1", "Alfa"}, {"2", "Beta"}, {"3", "Gamma"}});
    d_.SetDbfFileName(Path("t"));
    d_.AfterScroll = [this](TDataSet&) { ++scrolls_; };
  }
  std::string Here() {
    return std::to_string(d_.RecNo()) + ":" + d_.FieldStr("nazwa") + (d_.Bof() ? " bof" : "") + (d_.Eof() ? " eof" : "");
  }

  TTzDbf d_{"Tab"};
  int scrolls_ = 0;
};

TEST_F(ProtocolTest, BrowsesForwardAndBackAcrossBothEnds) {
  d_.Open();
  EXPECT_EQ(d_.DbfFileName(), Path("t.DBF"));
  std::vector<std::string> seen{Here()};
  auto step = [&](auto move) {
    move();
    seen.push_back(Here());
  };
  step([&] { d_.Next(); });
  step([&] { d_.Next(); });
  step([&] { d_.Next(); });  // past the last: stays there
  step([&] { d_.Prior(); });
  step([&] { d_.Prior(); });
  step([&] { d_.Prior(); });  // before the first: stays there
  step([&] { d_.Last(); });
  step([&] { d_.First(); });
  EXPECT_EQ(d_.MoveBy(5), 2);
  seen.push_back(Here());
  const std::vector<std::string> expected = {
      "1:Alfa       bof", "2:Beta      ", "3:Gamma     ", "3:Gamma      eof", "2:Beta      ", "1:Alfa      ",
      "1:Alfa       bof", "3:Gamma      eof", "1:Alfa       bof", "3:Gamma      eof"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(d_.RecordCount(), 3);
  EXPECT_TRUE(d_.FindFirst());
  EXPECT_TRUE(d_.FindNext());
  EXPECT_EQ(d_.RecNo(), 2);
  EXPECT_TRUE(d_.FindLast());
  EXPECT_FALSE(d_.FindNext());
  EXPECT_EQ(d_.RecNo(), 3);
}

TEST_F(ProtocolTest, EmptyTableStandsAtBothEnds) {
  MakeTable("e.dbf", kFields, {});
  d_.SetDbfFileName(Path("e"));
  d_.Open();
  EXPECT_TRUE(d_.Bof());
  EXPECT_TRUE(d_.Eof());
  EXPECT_TRUE(d_.IsEmpty());
  EXPECT_EQ(d_.RecNo(), 0);
  EXPECT_TRUE(d_.FieldByName("nazwa").IsNull());
  d_.Next();
  d_.Last();
  EXPECT_TRUE(d_.IsEmpty());
  EXPECT_THROW(d_.Delete(), EDatabaseError);
}

TEST_F(ProtocolTest, BookmarksAreRecordNumbers) {
  d_.Open();
  d_.Next();
  const TBookmark b = d_.GetBookmark();
  ASSERT_EQ(b, TBookmark(2));
  d_.Last();
  d_.GotoBookmark(b);
  EXPECT_EQ(Here(), "2:Beta      ");
  EXPECT_TRUE(d_.BookmarkValid(3));
  EXPECT_FALSE(d_.BookmarkValid(4));
  EXPECT_FALSE(d_.BookmarkValid(std::nullopt));
  EXPECT_EQ(d_.CompareBookmarks(std::nullopt, std::nullopt), 0);
  EXPECT_EQ(d_.CompareBookmarks(std::nullopt, 1), 1);
  EXPECT_EQ(d_.CompareBookmarks(1, std::nullopt), -1);
  EXPECT_EQ(d_.CompareBookmarks(1, 3), -1);
  EXPECT_EQ(d_.CompareBookmarks(3, 3), 0);

  d_.SetRecNo(3);
  EXPECT_EQ(Here(), "3:Gamma     ");
  const int before = scrolls_;
  d_.SetRecNo(3);  // already there: no move, no scroll events
  EXPECT_EQ(scrolls_, before);
  d_.SetRecNo(1);
  EXPECT_EQ(d_.RecNo(), 1);
  d_.SetRecNo(9);  // beyond the count: the end
  EXPECT_EQ(d_.RecNo(), 3);
}

TEST_F(ProtocolTest, EditPostsOrCancels) {
  d_.Open();
  d_.Next();
  d_.Edit();
  d_.FieldByName("nazwa").SetAsString("Zmiana");
  EXPECT_TRUE(d_.Modified());
  d_.Cancel();
  EXPECT_EQ(d_.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(Here(), "2:Beta      ");

  d_.Edit();
  d_.FieldByName("nazwa").SetAsString("Zmiana na dluzsza");  // cut to the field's 10
  d_.Post();
  EXPECT_EQ(Here(), "2:Zmiana na ");
  EXPECT_EQ(Stored("t", 2, 2), "Zmiana na ");

  // Moving posts a pending edit; the field of an unchanged one stays.
  d_.SetFieldStr("nazwa", "Auto");
  EXPECT_EQ(d_.State(), TDataSetState::dsEdit);
  d_.Next();
  EXPECT_EQ(Stored("t", 2, 2), "Auto      ");
  EXPECT_EQ(Stored("t", 2, 3), "Gamma     ");
  EXPECT_THROW(d_.FieldByName("kod").SetAsInteger(7), EDatabaseError);  // browse state

  // The program's GO on the area: a post still takes the record shown, or writes nothing.
  auto moveArea = [&] { d_.SelectArea("Engine"), GO(1); };
  d_.SetFieldStr("nazwa", "Po");
  moveArea();
  d_.Post();
  d_.SetFieldStr("nazwa", "Nie");
  moveArea();
  plat::SetFileFaultHook([n = 0](plat::FileOp op, const std::string&, uint64_t) mutable {
    return op == plat::FileOp::Read && n++ == 0 ? 5 : 0;  // the way back
  });
  AutoErrorHandlingScope returned(false);
  EXPECT_THROW(d_.Post(), EDatabaseError);
  plat::SetFileFaultHook(nullptr);
  EXPECT_EQ(Stored("t", 0, 3) + Stored("t", 2, 3) + Stored("t", 0, 1) + Stored("t", 2, 1), " Po         Alfa      ");
}

TEST_F(ProtocolTest, InsertAndAppendAddRecordsAtTheEnd) {
  int newRecords = 0;
  d_.OnNewRecord = [&](TDataSet& ds) {
    ++newRecords;
    ds.FieldByName("kod").SetAsInteger(99);
  };
  d_.Open();
  d_.Append();
  EXPECT_EQ(d_.State(), TDataSetState::dsInsert);
  d_.FieldByName("nazwa").SetAsString("Delta");
  d_.Post();
  EXPECT_EQ(Here(), "4:Delta     ");
  d_.First();
  d_.Insert();
  d_.SetFieldInt("kod", 5);
  d_.Post();
  EXPECT_EQ(d_.RecNo(), 5);
  EXPECT_EQ(d_.FieldStr("kod"), " 5");
  EXPECT_EQ(d_.FieldStr("nazwa"), std::string(10, ' '));
  d_.First();
  d_.Insert();
  d_.Cancel();  // back on the record shown before
  EXPECT_EQ(Here(), "1:Alfa      ");
  EXPECT_EQ(d_.RecordCount(), 5);
  EXPECT_EQ(newRecords, 3);
  EXPECT_EQ(Stored("t", 1, 4), "99");

  MakeTable("e.dbf", kFields, {});
  d_.SetDbfFileName(Path("e"));
  ASSERT_TRUE(d_.Active());
  d_.Insert();
  d_.SetFieldStr("nazwa", "Pierwszy");
  d_.Post();
  EXPECT_EQ(Here(), "1:Pierwszy  ");
  EXPECT_FALSE(d_.IsEmpty());
}

TEST_F(ProtocolTest, DeleteAndRecallWithDeletedRecordsShownOrHidden) {
  int restores = 0;
  d_.BeforeRestore = [&](TDataSet&) { restores += 10; };
  d_.AfterRestore = [&](TDataSet&) { ++restores; };
  d_.Open();
  d_.Next();
  d_.Delete();  // shown: the record stays, marked
  EXPECT_EQ(Here(), "2:Beta      ");
  EXPECT_TRUE(d_.IsDeleted());
  EXPECT_EQ(Stored("t", 0, 2), "*");
  d_.Restore();
  EXPECT_FALSE(d_.IsDeleted());
  EXPECT_EQ(Stored("t", 0, 2), " ");
  EXPECT_EQ(restores, 11);

  d_.SetHideDeletedRecs(true);
  d_.Delete();  // hidden: the dataset moves on
  EXPECT_EQ(Here(), "3:Gamma     ");
  d_.First();
  d_.Next();
  EXPECT_EQ(Here(), "3:Gamma     ");
  d_.Next();
  EXPECT_TRUE(d_.Eof());
  d_.Delete();  // the last visible record: back to the one before
  EXPECT_EQ(Here(), "1:Alfa      ");
  d_.Delete();
  EXPECT_TRUE(d_.IsEmpty());
  EXPECT_EQ(d_.RecordCount(), 3);

  d_.SetHideDeletedRecs(false);  // records come back from the first
  EXPECT_EQ(Here(), "1:Alfa       bof");
  EXPECT_TRUE(d_.IsDeleted());
}

TEST_F(ProtocolTest, LocateAndLookupSearchByFieldValues) {
  d_.Open();
  EXPECT_TRUE(d_.Locate("nazwa", {std::string("Beta")}, {}));
  EXPECT_EQ(d_.RecNo(), 2);
  EXPECT_FALSE(d_.Locate("nazwa", {std::string("gam")}, {}));
  EXPECT_EQ(d_.RecNo(), 2);
  EXPECT_TRUE(d_.Locate("nazwa", {std::string("gam")}, {true, true}));
  EXPECT_EQ(d_.RecNo(), 3);
  EXPECT_TRUE(d_.Locate("kod;nazwa", {int64_t(1), std::string("Alfa")}, {}));
  EXPECT_EQ(d_.RecNo(), 1);

  const std::vector<TVarValue> found = d_.Lookup("kod", {int64_t(3)}, "nazwa;kod");
  EXPECT_EQ(found, (std::vector<TVarValue>{std::string("Gamma"), int64_t(3)}));
  EXPECT_TRUE(d_.Lookup("kod", {int64_t(7)}, "nazwa").empty());
  EXPECT_EQ(Here(), "1:Alfa      ");
  EXPECT_TRUE(d_.IsSequenced());
}

TEST_F(ProtocolTest, FailuresRaiseTheDatasetException) {
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const EDatabaseError& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  // A closed dataset: the engine error is recorded and the program goes
  // on, even with automatic error handling on and no raising.
  SetErrorRaises(false);
  EXPECT_EQ(message([&] { d_.SelectArea("Test"); }),
            "Dataset error: Error # 1103 (Invalid Operation )\r\nDatabase is not open [Tab.Test]");
  EXPECT_EQ(LastErrorCode(), 1103);
  EXPECT_EQ(message([&] { d_.DirectOpenClose(true); }),
            "Dataset error: Error # 1103 (Invalid Operation )\r\nDataSet must be active. Tab");
  EXPECT_EQ(message([&] { d_.DatasetError(1402); }), "Dataset error: 1402");
  SetAutoErrorHandling(false);

  TTzDbf noName("NoName");
  EXPECT_EQ(message([&] { noName.Open(); }), "Missing DbfFilename property");
  TTzDbf missing("Missing");
  missing.CreateIfNotFound = false;
  missing.SetDbfFileName(Path("nothere"));
  EXPECT_EQ(message([&] { missing.Open(); }).substr(0, 41), "Dataset error: Error # 2 (File not found)");
  EXPECT_FALSE(missing.Active());

  d_.Open();
  EXPECT_EQ(message([&] { d_.FieldByName("brak"); }), "Tab: Field 'brak' not found");
  EXPECT_EQ(message([&] { d_.FieldByName("kod").SetAsInteger(1); }), "Tab: Dataset not in edit or insert mode");
  d_.Edit();
  EXPECT_EQ(message([&] { d_.FieldByName("kod").SetAsString("x"); }), "'x' is not a valid integer value");
  EXPECT_EQ(message([&] { d_.FieldByName("kod").SetAsDateTime(0); }), "Cannot access field 'KOD' as type DateTime");
  d_.FieldByName("kod").ReadOnly = true;
  EXPECT_EQ(message([&] { d_.FieldByName("kod").SetAsInteger(1); }), "Tab: Field 'KOD' cannot be modified");
  d_.Cancel();

  TTzDbf readOnly("RO");
  readOnly.ReadOnly = true;
  readOnly.SetDbfFileName(Path("t"));
  readOnly.Open();
  EXPECT_EQ(message([&] { readOnly.Edit(); }), "RO: Cannot modify a read-only dataset");
  EXPECT_EQ(message([&] { readOnly.Delete(); }), "RO: Cannot modify a read-only dataset");
}

}  // namespace
