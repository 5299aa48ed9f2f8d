// Two programs appending memos to one shared table: the memo lock keeps
// them apart, each gives up quickly and tries again, and every memo ends
// intact in blocks of its own.
#include <set>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"

namespace {

using dbftest::RunCommand;
using memotest::MemoTest;

// As the helper program writes them.
std::string MemoText(const std::string& tag, int seq) {
  return tag + " " + std::to_string(seq) + " " + std::string(size_t(seq * 37 % 900), tag[0]);
}

class SharedMemoTest : public MemoTest {};

TEST_F(SharedMemoTest, TwoProgramsAppendingKeepEveryMemo) {
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    DbSettings().DefaultVersionByte = version;
    const std::string name = "s" + std::to_string(version) + ".dbf";
    Create(name, {F("tag", 'C', 8), F("seq", 'N', 6), F("uwagi", 'M')});
    const std::string helper = std::string(RUV_TEST_HELPERS_DIR) + "/memo_append_helper '" + Path(name) + "' 150 ";
    std::string out;
    ASSERT_EQ(RunCommand("(" + helper + "A & " + helper + "B & wait) 2>&1", out), 0) << out;
    EXPECT_EQ(out, "done 150\ndone 150\n");
    USE(Path(name), nullptr, 0);
    ASSERT_EQ(RecCount(), 300);
    std::set<int32_t> refs;
    for (GO(1); !dEOF(); SKIP(1)) {
      const std::string tag = RTrim(GetC(1));
      EXPECT_EQ(Blob(GetI(3)), MemoText(tag, GetI(2))) << tag << " " << GetI(2);
      EXPECT_TRUE(refs.insert(GetI(3)).second);
    }
    CloseArea();
  }
}

}  // namespace
