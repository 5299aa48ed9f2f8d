// A program that read a record before another program changed it, and
// then sets one field and replaces, writes that field alone: the other
// program's change (a field, a key field, the memo, the deletion flag)
// stays, every tag follows the record that results, and every memo keeps
// blocks of its own.
#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <map>

#include "tables/mdx/ndx_testutil.h"
#include "tablebase/tzdbflow.h"
#include "tables/memo/memo.h"
#include "testutil/helper_child.h"

namespace ndxtest {
namespace {

struct Row {
  int32_t id;
  std::string name, note, memo;
  bool deleted = false;
  std::string ok = "F", amt = "  1.00";  // OK L(1) and AMT N(6,2) as stored
};

class SharedReplace : public NdxTest {
 protected:
  void SetUp() override {
    NdxTest::SetUp();
    plat::SetClock({});  // the helper dates the semaphore file by the real clock
  }

  // T.DBF (dBASE IV): ID N(4), NAME C(8), NOTE C(10), UWAGI M, one record
  // per row; tags NAME, MIX (NAME+STR(ID,4)) and SMALL (ID for ID < 50).
  void MakeTable(const std::vector<Row>& rows) {
    std::vector<FieldEntry> fields = {{"ID", 'N', 4}, {"NAME", 'C', 8}, {"NOTE", 'C', 10}, {"UWAGI", 'M'}, {"OK", 'L', 1}, {"AMT", 'N', 6, 2}};
    std::filesystem::remove(Path("T.MDX"));
    WorkArea scratch;
    CreateDbf(scratch, Path("T.DBF"), fields);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    Open(1, "T.DBF EXCLUSIVE");
    for (const Row& r : rows) {
      const int32_t ref = AddMemo(r.memo);
      SetField(1, std::to_string(r.id));
      SetField(2, r.name);
      SetField(3, r.note);
      std::memcpy(FieldAddress(4), &ref, sizeof ref);
      *FieldAddress(0) = 0;
      Append();
      Poke(r.ok, 5, RecCount()), Poke(r.amt, 6, RecCount());
      if (r.deleted) DeleteRec();
    }
    Index({Spec("NAME", "NAME"), Spec("MIX", "NAME+STR(ID,4)"), Spec("SMALL", "ID", "ID < 50")});
    CloseArea();
  }

  // The table holds `rows`, record by record, and every memo lies in
  // blocks that no other memo and no free run of the chain use.
  void ExpectRecords(const std::vector<Row>& rows) {
    Open(1, "T.DBF EXCLUSIVE");
    ASSERT_EQ(RecCount(), int32_t(rows.size()));
    const std::vector<uint8_t> dbt = FileBytes(Path("T.DBT"));
    std::map<uint32_t, std::string> owner;
    auto take = [&](uint32_t first, uint32_t count, const std::string& who) {
      for (uint32_t b = first; b < first + count; ++b)
        EXPECT_TRUE(owner.emplace(b, who).second) << "block " << b << ": " << owner[b] << " and " << who;
    };
    for (size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      SCOPED_TRACE("record " + std::to_string(i + 1));
      GO(int32_t(i + 1));
      EXPECT_EQ(Peek(1, int32_t(i + 1)), StrInt(r.id, 4));
      EXPECT_EQ(RTrim(Peek(2, int32_t(i + 1))), r.name);
      EXPECT_EQ(RTrim(Peek(3, int32_t(i + 1))), r.note);
      EXPECT_EQ(Peek(5, int32_t(i + 1)) + Peek(6, int32_t(i + 1)), r.ok + r.amt);
      EXPECT_EQ(*FieldAddress(0) != 0, r.deleted);
      uint32_t ref;
      std::memcpy(&ref, FieldAddress(4), sizeof ref);
      const size_t at = size_t(ref) * 512;
      ASSERT_LE(at + 8 + r.memo.size(), dbt.size());
      EXPECT_EQ(plat::readLE32(dbt.data() + at), 0x0008FFFFu);
      EXPECT_EQ(plat::readLE32(dbt.data() + at + 4), r.memo.size() + 8);
      EXPECT_TRUE(std::equal(r.memo.begin(), r.memo.end(), dbt.begin() + std::ptrdiff_t(at + 8))) << "memo text";
      take(ref, uint32_t((r.memo.size() + 8 + 511) / 512), "record " + std::to_string(i + 1));
    }
    CloseArea();
    const uint32_t blocks = uint32_t((dbt.size() + 511) / 512);
    for (uint32_t at = plat::readLE32(dbt.data()), runs = 0; at < blocks && runs < blocks; ++runs) {
      take(at, plat::readLE32(dbt.data() + size_t(at) * 512 + 4), "free run " + std::to_string(at));
      at = plat::readLE32(dbt.data() + size_t(at) * 512);
    }
  }

  // Every tag as the file holds it against the order of the rows' keys.
  void ExpectTags(const std::vector<Row>& rows) {
    const auto tags = DumpIndex(Path("T.MDX"));
    ASSERT_EQ(tags.size(), 3u);
    for (const TagDump& t : tags) {
      std::vector<std::pair<std::string, int32_t>> model;
      for (int32_t rec = 1; rec <= int32_t(rows.size()); ++rec) {
        const Row& r = rows[size_t(rec - 1)];
        if (t.name == "SMALL" && r.id >= 50) continue;
        model.push_back({t.name == "SMALL" ? StrInt(r.id, 4) : PadR(r.name, 8) + (t.name == "MIX" ? StrInt(r.id, 4) : ""), rec});
      }
      std::sort(model.begin(), model.end());
      std::vector<int32_t> order;
      for (const auto& k : model) order.push_back(k.second);
      EXPECT_EQ(t.fault, "") << t.name;
      EXPECT_EQ(Records(t), order) << t.name;
    }
  }
};

// This program reads record 3, the other program runs (once or more),
// then this program changes record 3 (`mine`; ID := 99) and replaces.
TEST_F(SharedReplace, AReplaceKeepsWhatAnotherProgramChangedSinceTheRead) {
  const std::string longMemo(700, 'm');  // two blocks: it moves and frees the first
  using Rows = std::vector<Row>;
  struct Case {
    std::string what;
    std::vector<std::vector<std::string>> others;  // the other program's runs: record number, command
    std::function<void(Rows&)> apply;               // what the table holds after all of it
    std::function<void(Row&)> made = nullptr;       // record 3 as made
    std::function<void()> mine = nullptr;
  };
  std::vector<Case> cases = {
      {"a field", {{"3", "field", "3", "changed"}}, [](Rows& r) { r[2].note = "changed"; }},
      {"a key field", {{"3", "field", "2", "Q003"}}, [](Rows& r) { r[2].name = "Q003"; }},
      {"the memo", {{"3", "memo", "4", longMemo}}, [&](Rows& r) { r[2].memo = longMemo; }},
      {"delete", {{"3", "delete"}}, [](Rows& r) { r[2].deleted = true; }},
      {"recall", {{"3", "recall"}}, [](Rows& r) { r[2].deleted = false; }, [](Row& r) { r.deleted = true; }},
      // Both change the ID: the later writer's value stands.
      {"the same field", {{"3", "field", "1", "7"}}, [](Rows&) {}},
      // A value read, assigned back without its trailing blanks, is no change.
      {"a key field, the value read assigned back", {{"3", "field", "2", "Q003"}}, [](Rows& r) { r[2].name = "Q003"; },
       nullptr, [] { SetField(2, "N003"); }},
  };
  // A logical or number the other program sets stays, read as a value or none.
  for (const auto& [field, from, to] : std::vector<std::array<std::string, 3>>{
           {"5", "F", "T"}, {"5", "F", "Y"}, {"5", "F", " "}, {"5", " ", "T"}, {"5", "?", "T"}, {"6", "  0.00", "      "}})
    cases.push_back({"field " + field + " " + from + " to " + to, {{"3", "poke", field, to}},
                     [=](Rows& r) { (field == "5" ? r[2].ok : r[2].amt) = to; },
                     [=](Row& r) { (field == "5" ? r.ok : r.amt) = from; }});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CloseAll();  // after a failed check
    std::vector<Row> rows;
    for (int i = 1; i <= 5; ++i) rows.push_back({i, "N00" + std::to_string(i), "note " + std::to_string(i), "memo " + std::to_string(i)});
    if (c.made) c.made(rows[2]);
    MakeTable(rows);
    if (HasFatalFailure()) return;

    Open(1, "T.DBF");
    ASSERT_TRUE(SetIndexTo("")) << LastErrorMessage();
    GO(3);
    for (std::vector<std::string> run : c.others) {
      run.insert(run.begin(), Path("T.DBF"));
      HelperChild other("record_writer_helper", run);
      ASSERT_EQ(other.ReadLine(), "done");
      ASSERT_EQ(other.Wait(), 0);
    }

    // This program's record lock reads nothing again.
    ASSERT_TRUE(RLock());
    if (c.mine) c.mine();
    else SetField(1, "99"), rows[2].id = 99;
    Replace();
    EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    Unlock();
    CloseArea();

    c.apply(rows);
    ExpectRecords(rows);
    ExpectTags(rows);
  }
}

}  // namespace
}  // namespace ndxtest
