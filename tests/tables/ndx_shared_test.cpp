// One indexed table shared by several real processes through the semaphore
// file: appends and navigation at the same time leave every tag whole.
#include "platform/pfs.h"
#include "tables/ndx_testutil.h"
#include "tables/tzndx_sema.h"
#include "testutil/helper_child.h"

namespace ndxtest {
namespace {

class NdxShared : public NdxTest {
 protected:
  void SetUp() override {
    NdxTest::SetUp();
    plat::SetClock({});  // the helpers date the semaphore file by the real clock
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

}  // namespace
}  // namespace ndxtest
