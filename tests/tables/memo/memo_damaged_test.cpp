// Damaged memo files give the engine's errors and never read or write
// outside what they hold: references and lengths past the end, and a
// family of files cut short or with flipped bytes.
#include <filesystem>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"

namespace {

using memotest::MemoTest;

class DamagedMemoTest : public MemoTest {};

TEST_F(DamagedMemoTest, ReferencesAndLengthsPastTheEnd) {
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    OpenTable(version);
    const int32_t ref = AddMemo("text");
    const std::string name = Upper(MemoPath());
    // A reference past the end.
    EXPECT_EQ(Lines(40), "");
    EXPECT_EQ(LastErrorCode(), 1003);
    EXPECT_EQ(TakeLastErrorMessage(), name + " Record # 1 [GetMemo]");
    EXPECT_EQ(Blob(40), "");
    EXPECT_EQ(TakeLastErrorMessage(), "40 " + name + " Record # 1 [CreateBlobDescriptor]");
    SetI(2, 40);
    Replace();
    Hooks().Memo.Pack();
    EXPECT_EQ(TakeLastErrorMessage(), name + " Memo block # 40 Record # 1 [PackMemo]");
    // A length past the end (dBASE IV and FoxPro headers).
    if (version != 0x83) {
      auto b = Bytes(MemoPath());
      plat::writeBE32(b.data() + 516, 0x7FFFFF00);
      if (version == 0x8B) plat::writeLE32(b.data() + 516, 0x7FFFFF00);
      WriteBytes(MemoPath(), b);
      EXPECT_EQ(Lines(ref), "");
      EXPECT_EQ(LastErrorCode(), 1003);
      EXPECT_EQ(Blob(ref).size(), b.size() - 520);  // a stream stops at the end of the file
    }
    CloseArea();
  }
}

TEST_F(DamagedMemoTest, CutAndFlippedFilesFailCleanly) {
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    OpenTable(version);
    std::vector<int32_t> refs = {AddMemo("first"), AddMemo(std::string(700, 'x')), 0};
    refs[2] = Rewrite(refs[0], "rewritten");
    for (size_t i = 0; i < refs.size(); ++i) {
      if (i > 0) Append();
      SetI(2, refs[i]);
      Replace();
    }
    CloseArea();
    const auto good = Bytes(MemoPath());
    for (size_t at :
         {size_t(0), size_t(6), size_t(20), size_t(500), size_t(513), size_t(516), size_t(1030), good.size() - 3}) {
      for (bool cut : {true, false}) {
        SCOPED_TRACE(std::to_string(at) + (cut ? " cut" : " flipped"));
        auto b = good;
        if (cut) {
          b.resize(at);
        } else {
          for (size_t k = at; k < at + 4 && k < b.size(); ++k) b[k] ^= 0xFF;
        }
        WriteBytes(MemoPath(), b);
        USE(Path("t"), nullptr, 0);
        if (LastErrorCode() != 0) continue;  // a header too short to open
        for (GO(1); !dEOF(); SKIP(1)) {
          Lines(GetI(2));
          Blob(GetI(2));
        }
        Rewrite(refs[1], "again");
        AddMemo("more");
        Hooks().Memo.Pack();
        CloseArea();
      }
    }
    std::filesystem::remove(MemoPath());
  }
}

}  // namespace
