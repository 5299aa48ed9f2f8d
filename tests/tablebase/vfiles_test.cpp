// In-memory lists through USE and the virtual-file hook: the five orders,
// delete and recall, sorted rewrites, positioning, variable-length records
// and the failures of a dispatch.
#include <cstring>
#include <string>
#include <vector>

#include "dbf_testutil.h"
#include "tablebase/vfiles.h"

namespace {

using dbftest::TableTest;

// Fixed records of 8 bytes: the deletion flag, then a 7-character text
// whose first character is the sort key.
constexpr size_t kRec = 8;

class VFilesTest : public TableTest {
 protected:
  void Open(const std::string& order) {
    USE("list VIRTUAL FILE " + order, buf_, sizeof buf_);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    CurrentWorkArea()->KeyMaker = [this] { return std::string(buf_ + 1, 1); };
  }
  void Put(const std::string& text) {
    std::memset(buf_, 0, sizeof buf_);
    std::memcpy(buf_ + 1, text.data(), std::min(text.size(), kRec - 1));
  }
  std::string Text() const { return std::string(buf_ + 1, strnlen(buf_ + 1, kRec - 1)); }
  void Add(const std::string& text) {
    Put(text);
    Append();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  }
  // The visible records from the top.
  std::vector<std::string> All() {
    std::vector<std::string> out;
    GoTop();
    while (!dEOF() && LastErrorCode() == 0) {
      out.push_back(Text());
      SKIP(1);
    }
    return out;
  }
  using List = std::vector<std::string>;

  char buf_[kRec] = {};
};

TEST_F(VFilesTest, FiveOrdersWithDeleteAndRecall) {
  struct Case {
    const char* order;
    List expected;
  } cases[] = {
      {"FIFO", {"B1", "A1", "C1", "B2"}},
      {"LIFO", {"B2", "C1", "A1", "B1"}},
      // Each new record goes before the current one, which is the record
      // just added: so every one lands at the front.
      {"INSERTION", {"B2", "C1", "A1", "B1"}},
      {"ASCENDING", {"A1", "B1", "B2", "C1"}},
      {"DESCENDING", {"C1", "B1", "B2", "A1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.order);
    Open(c.order);
    for (const char* t : {"B1", "A1", "C1", "B2"}) Add(t);
    EXPECT_EQ(RecCount(), 4);
    EXPECT_EQ(All(), c.expected);

    GO(2);
    DeleteRec();
    ASSERT_EQ(LastErrorCode(), 0);
    EXPECT_EQ(buf_[0], 1);
    SetIgnoreDel(true);
    List visible = c.expected;
    visible.erase(visible.begin() + 1);
    EXPECT_EQ(All(), visible);
    SetIgnoreDel(false);
    GO(2);
    EXPECT_EQ(buf_[0], 1);
    RecallRec();
    EXPECT_EQ(buf_[0], 0);
    GO(2);
    EXPECT_EQ(buf_[0], 0);
    SetIgnoreDel(true);
    EXPECT_EQ(All(), c.expected);
    CloseArea();
  }
}

TEST_F(VFilesTest, InsertionGoesBeforeTheCurrentRecord) {
  Open("INSERTION");
  Add("A");
  GoBottom();
  SKIP(1);  // at end of file a new record goes last
  Add("B");
  EXPECT_EQ(All(), (List{"A", "B"}));
  GO(2);
  Add("C");
  EXPECT_EQ(RecNo(), 2);
  EXPECT_EQ(All(), (List{"A", "C", "B"}));
  GO(1);
  Add("D");
  EXPECT_EQ(RecNo(), 1);
  EXPECT_EQ(All(), (List{"D", "A", "C", "B"}));
}

TEST_F(VFilesTest, EqualKeysSitNextToTheirEqual) {
  for (const char* order : {"ASCENDING", "DESCENDING"}) {
    SCOPED_TRACE(order);
    Open(order);
    for (const char* t : {"A", "E", "C", "G", "I", "C2", "G2", "A2", "I2"}) Add(t);
    List all = All();
    ASSERT_EQ(all.size(), 9u);
    for (char k : std::string("ACEGI")) {
      size_t first = 9, last = 0;
      for (size_t i = 0; i < all.size(); ++i)
        if (all[i][0] == k) first = std::min(first, i), last = std::max(last, i);
      EXPECT_LE(last - first, 1u) << k;
    }
    CloseArea();
  }
}

TEST_F(VFilesTest, SortedRewriteMovesTheRecord) {
  struct Case {
    const char* order;
    int rec;
    const char* text;
    List expected;
    int32_t newRecNo;
  } cases[] = {
      {"ASCENDING", 1, "E", {"B", "C", "D", "E"}, 4},
      {"ASCENDING", 4, "0", {"0", "A", "B", "C"}, 1},
      {"ASCENDING", 2, "C2", {"A", "C", "C2", "D"}, 3},
      {"DESCENDING", 4, "E", {"E", "D", "C", "B"}, 1},
      {"DESCENDING", 1, "0", {"C", "B", "A", "0"}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.order) + " " + c.text);
    Open(c.order);
    for (const char* t : {"C", "A", "D", "B"}) Add(t);
    GO(c.rec);
    Put(c.text);
    Replace();
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    EXPECT_EQ(RecNo(), c.newRecNo);
    EXPECT_EQ(Text(), c.text);
    EXPECT_EQ(RecCount(), 4);
    EXPECT_EQ(All(), c.expected);
    CloseArea();
  }
}

TEST_F(VFilesTest, SortedListWithoutKeyMakerKeepsItsRecords) {
  Open("ASCENDING");
  Add("B");
  Add("A");
  CurrentWorkArea()->KeyMaker = nullptr;
  GO(1);
  Put("Z");
  Replace();
  EXPECT_EQ(LastErrorCode(), 1100);
  EXPECT_EQ(LastErrorMessage(), "LIST is a \"Sorted\" virtual file with no keymaker function. [Append/InsertRec/PushRec]");
  Put("C");
  Append();
  EXPECT_EQ(LastErrorCode(), 1100);
  EXPECT_EQ(RecCount(), 2);
  EXPECT_EQ(All(), (List{"A", "B"}));
}

TEST_F(VFilesTest, ReadsOutsideTheListAreRefused) {
  Open("FIFO");
  Add("A");
  Add("B");
  for (int32_t rec : {0, 3, -1}) {
    GetDbfRecord(*CurrentWorkArea(), rec);
    EXPECT_EQ(LastErrorCode(), 212);
    EXPECT_EQ(LastErrorMessage(), "Attempted to position to record number " + std::to_string(rec) +
                                      "  Database record count is 2LIST [VFiles]");
  }
}

TEST_F(VFilesTest, RandomReadsFindTheirRecord) {
  Open("FIFO");
  for (int i = 1; i <= 1000; ++i) Add(std::to_string(i));
  for (int32_t rec : {999, 1, 998, 1000, 500, 501, 2, 999, 3, 1000, 250, 750}) {
    GO(rec);
    ASSERT_EQ(LastErrorCode(), 0);
    EXPECT_EQ(RecNo(), rec);
    EXPECT_EQ(Text(), std::to_string(rec));
  }
  // From the phantom record past the end.
  GoBottom();
  SKIP(1);
  GO(998);
  EXPECT_EQ(Text(), "998");
}

TEST_F(VFilesTest, AStaleErrorCodeDoesNotDropARecord) {
  Open("FIFO");
  Add("A");
  WorkArea& a = *CurrentWorkArea();
  Put("B");
  LastErrorCode() = 5;
  a.VRecNo = a.RecCount + 1;
  a.VOp = kVOpWrite;
  VFileDispatch(a);
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(All(), (List{"A", "B"}));
}

TEST_F(VFilesTest, InvalidModeAddsNothing) {
  Open("FIFO");
  Add("A");
  CurrentWorkArea()->VMode = 7;
  Put("B");
  Append();
  EXPECT_EQ(LastErrorCode(), 1100);
  EXPECT_EQ(LastErrorMessage(), "7 is an invalid VFile mode set for LIST [(AddLL) VFiles INTERNAL ERROR]");
  EXPECT_EQ(RecCount(), 1);
}

TEST_F(VFilesTest, CloseReleasesEverythingAndReopeningStartsEmpty) {
  // With automatic handling on, an error in the close would end the
  // process; raising makes it visible here instead.
  SetAutoErrorHandling(true);
  ErrorRaisesScope raises(true);
  Open("ASCENDING");
  for (const char* t : {"C", "A", "B"}) Add(t);
  EXPECT_NO_THROW(CloseArea());
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  Open("FIFO");
  EXPECT_EQ(RecCount(), 0);
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
  // Emptied by removal too: a rewrite of the only record of a sorted list.
  CloseArea();
  Open("ASCENDING");
  Add("A");
  Put("B");
  Replace();
  EXPECT_EQ(All(), (List{"B"}));
  EXPECT_NO_THROW(CloseArea());
}

// Variable-length records: a 16-bit length, the deletion flag, the text.
class VarFilesTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    USE("var LINKED LIST FIFO", buf_, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    CurrentWorkArea()->TypedSize = sizeof buf_;
  }
  void Put(const std::string& text, uint16_t claimed = 0) {
    uint16_t len = claimed ? claimed : uint16_t(text.size() + 1);
    std::memcpy(buf_, &len, 2);
    buf_[2] = 0;
    std::memcpy(buf_ + 3, text.data(), text.size());
  }
  std::string Text() const {
    uint16_t len;
    std::memcpy(&len, buf_, 2);
    return std::string(buf_ + 3, len - 1);
  }
  std::vector<std::string> All() {
    std::vector<std::string> out;
    GoTop();
    while (!dEOF() && LastErrorCode() == 0) {
      out.push_back(Text());
      SKIP(1);
    }
    return out;
  }

  char buf_[32] = {};
};

TEST_F(VarFilesTest, RecordsKeepTheirOwnLengths) {
  for (const char* t : {"a", "bbbbbbbbbbbb", "cc"}) {
    Put(t);
    Append();
    ASSERT_EQ(LastErrorCode(), 0);
  }
  EXPECT_EQ(All(), (std::vector<std::string>{"a", "bbbbbbbbbbbb", "cc"}));
  GO(2);
  Put("short");
  Replace();
  GO(1);
  Put("now a longer one");
  Replace();
  EXPECT_EQ(All(), (std::vector<std::string>{"now a longer one", "short", "cc"}));
  GO(3);
  DeleteRec();
  EXPECT_EQ(buf_[2], 1);
  SetIgnoreDel(true);
  EXPECT_EQ(All(), (std::vector<std::string>{"now a longer one", "short"}));
}

TEST_F(VarFilesTest, OversizeRecordsAreRefused) {
  Put("fits");
  Append();
  // 29 bytes of record + 2 of length fit the 32-byte buffer, 31 do not.
  Put("x", 29);
  Append();
  EXPECT_EQ(LastErrorCode(), 0);
  Put("y", 31);
  Append();
  EXPECT_EQ(LastErrorCode(), 1102);
  GO(1);
  Put("z", 40);
  Replace();
  EXPECT_EQ(LastErrorCode(), 1102);
  EXPECT_EQ(RecCount(), 2);
  GO(1);
  EXPECT_EQ(Text(), "fits");
}

}  // namespace
