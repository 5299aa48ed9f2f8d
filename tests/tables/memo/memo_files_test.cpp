// Memo files: exact bytes of each flavour after appends and rewrites,
// opening and its errors, the text device's lines, copies between
// flavours and emptying.
#include <filesystem>

#include "memo_testutil.h"
#include "tablebase/tzcommon.h"

namespace {

using memotest::Image;
using memotest::MemoTest;
using memotest::W;

class MemoFilesTest : public MemoTest {};

TEST_F(MemoFilesTest, DbaseIIIAndFoxProAppendEveryMemoAtTheEnd) {
  const std::string x600(600, 'x'), text = "hello\r\nworld";
  struct Case {
    uint8_t version;
    Image want;
  } cases[] = {
      {0x83, Image(2560).LE32(0, 5).At(512, "abc\x1A").At(1024, x600 + "\x1A").At(2048, text + "\x1A")},
      {0xF5, Image(2068)
                 .BE32(0, 5)
                 .At(6, std::string("\x02\x00", 2))
                 .BE32(512, 1)
                 .BE32(516, 3)
                 .At(520, "abc")
                 .BE32(1024, 1)
                 .BE32(1028, 600)
                 .At(1032, x600)
                 .BE32(2048, 1)
                 .BE32(2052, 12)
                 .At(2056, text)},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(int(c.version));
    OpenTable(c.version);
    EXPECT_EQ(AddMemo("abc  \r\n"), 1);
    EXPECT_EQ(AddMemo(x600), 2);
    EXPECT_EQ(AddMemo(" \t "), 0);
    EXPECT_EQ(Rewrite(1, text), 4);
    EXPECT_EQ(Bytes(MemoPath()), c.want.Bytes);
    EXPECT_EQ(Lines(4), "hello|world|");
    EXPECT_EQ(Blob(2), x600);
    CloseArea();
    std::filesystem::remove(MemoPath());
  }
}

TEST_F(MemoFilesTest, DbaseIVRewritesElsewhereAndReusesFreedBlocks) {
  OpenTable(0x8B);
  const std::string x600(600, 'x'), y700(700, 'y');
  SetI(2, AddMemo("abc"));
  Replace();
  SetI(2, AddMemo(x600));
  Append();
  EXPECT_EQ(GetI(2), 2);
  EXPECT_EQ(RewriteRecord(1, "hello\r\nworld"), 4);  // fits its block, yet goes elsewhere
  EXPECT_EQ(RewriteRecord(2, "short"), 1);           // takes block 1, freed now that record 1 moved on
  EXPECT_EQ(RewriteRecord(1, y700), 2);              // takes blocks 2 and 3
  EXPECT_EQ(AddMemo("z"), 5);
  CloseArea();  // block 4 is freed
  const std::string memo = "\xFF\xFF\x08\x00";
  Image want = Image(2569)
                   .LE32(0, 4)  // free chain: 4 -> end of file
                   .At(8, "t")
                   .At(18, std::string("\x02\x01\x00\x02", 4))
                   .LE32(32, 4)  // blocks given up
                   .At(512, memo)
                   .LE32(516, 13)
                   .At(520, "short")
                   .At(1024, memo)
                   .LE32(1028, 708)
                   .At(1032, y700)
                   .LE32(2048, 6)
                   .LE32(2052, 1)
                   .At(2056, "hello\r\nworld")
                   .At(2560, memo)
                   .LE32(2564, 9)
                   .At(2568, "z");
  EXPECT_EQ(Bytes(MemoPath()), want.Bytes);
  USE(Path("t"), nullptr, 0);
  EXPECT_EQ(Blob(1), "short");
  EXPECT_EQ(RewriteRecord(1, ""), 0);
  CloseArea();  // emptied: its blocks join the free run after them
  const auto b = Bytes(MemoPath());
  EXPECT_EQ(plat::readLE32(b.data()), 2u);
  EXPECT_EQ(plat::readLE32(b.data() + 1024), 6u);
  EXPECT_EQ(plat::readLE32(b.data() + 1028), 3u);
}

TEST_F(MemoFilesTest, BlockSizeComesFromTheHeader) {
  DbSettings().MemoBlockSize = 64;
  OpenTable(0xF5);
  EXPECT_EQ(AddMemo("abc"), 8);  // the 512-byte header holds blocks 0..7
  EXPECT_EQ(Blob(8), "abc");
  CloseArea();
  DbSettings().MemoBlockSize = 512;
  USE(Path("t"), nullptr, 0);
  EXPECT_EQ(Blob(8), "abc");
  // A table whose version byte names no memo flavour follows DefaultVersionByte.
  CloseArea();
  DbSettings().DefaultVersionByte = 0x8B;
  Create("plain.dbf", {F("id", 'N', 4)});
  Create("iv.dbf", {F("id", 'N', 4), F("uwagi", 'M')});
  USE(Path("plain"), nullptr, 0);
  EXPECT_EQ(GetMemoType(), 0x8B);
  OpenMemofile(Path("iv"));
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(AddMemo("x"), 1);
}

TEST_F(MemoFilesTest, OpeningAndItsErrors) {
  OpenTable(0x8B);
  const int32_t block = AddMemo("kept");
  OpenMemofile(Path("t"));
  EXPECT_EQ(LastErrorCode(), 1007);
  EXPECT_EQ(TakeLastErrorMessage(), Upper(Path("t.dbt")) + " [USE]");
  EXPECT_EQ(Blob(block), "kept");
  CloseArea();
  // Found in any letter case; missing, the table does not open.
  std::filesystem::rename(Path("t.dbt"), Path("T.Dbt"));
  USE(Path("t"), nullptr, 0);
  EXPECT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  CloseArea();
  std::filesystem::remove(Path("T.Dbt"));
  USE(Path("t"), nullptr, 0);
  EXPECT_EQ(LastErrorCode(), 2);
  EXPECT_EQ(TakeLastErrorMessage(), "Problem opening memo file [USE(" + Upper(Path("t")) + ",<@Buffer>,0)]");
  EXPECT_EQ(CurrentWorkArea(), nullptr);
  EXPECT_EQ(AddMemo("x"), 0);
  EXPECT_EQ(LastErrorCode(), 215);
  Create("plain.dbf", {F("id", 'N', 4)});
  USE(Path("plain"), nullptr, 0);
  EXPECT_EQ(AddMemo("x"), 0);
  EXPECT_EQ(TakeLastErrorMessage(), Upper(Path("plain.dbf")) + " No Memo Field [AddMemo]");
}

TEST_F(MemoFilesTest, TextDeviceCutsLines) {
  OpenTable(0x83);
  const std::string words = std::string(250, 'a') + " bbbb cccc";
  const struct {
    std::string text;
    int width;  // memo-width setting; -1 off
    std::string lines;
  } cases[] = {
      {"a\r\nb", -1, "a|b|"},
      {"a\rb\r\n\r\nc", -1, "a|b||c|"},
      {"soft\x8D\nreturn", -1, "soft|return|"},
      {"\x8Dr\xA2"
       "d\x88o",
       -1,
       "\x8Dr\xA2"
       "d\x88o|"},  // CP852 "Źródło": a letter, not a line end
      {words, -1, std::string(250, 'a') + " |bbbb cccc|"},
      {std::string(300, 'z'), -1, std::string(254, 'z') + "|" + std::string(46, 'z') + "|"},
      {"aaaa bbbb cccc", 9, "aaaa bbbb |cccc|"},
  };
  for (const auto& c : cases) {
    Engine().memo.WidthOn = c.width >= 0;
    Engine().memo.Width = uint8_t(std::max(c.width, 0));
    EXPECT_EQ(Lines(AddMemo(c.text)), c.lines) << c.text;
  }
  std::string many;
  for (int i = 0; i < 1100; ++i) many += "l\r\n";
  std::string lines = Lines(AddMemo(many));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '|'), 1024);
}

TEST_F(MemoFilesTest, CopiesBetweenFlavours) {
  const uint8_t versions[] = {0x83, 0x8B, 0xF5};
  const std::string names[] = {"a.dbf", "b.dbf", "c.dbf"};
  for (int i = 0; i < 3; ++i) {
    DbSettings().DefaultVersionByte = versions[i];
    Create(names[i], {F("id", 'N', 4), F("uwagi", 'M')});
    Select(i + 1);
    USE(Path(names[i]) + " EXCLUSIVE", nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    Append();
  }
  Select(1);
  const int32_t plain = AddMemo("plain");
  const int32_t blob =
      WriteBlobText(std::string("bin\x1A"
                                "ary",
                                7));
  ASSERT_LT(blob, 0);
  Select(2);
  const int32_t inIV = CopyMemo(1, plain, false);
  EXPECT_EQ(Blob(inIV), "plain");
  Select(3);
  EXPECT_EQ(Blob(CopyMemo(2, inIV, false)), "plain");
  const int32_t same = CopyMemo(1, plain, true);
  EXPECT_EQ(same, plain);
  EXPECT_EQ(Blob(same), "plain");
  Select(1);
  const int32_t blobCopy = CopyMemo(1, blob, false);  // keeps its header and its sign
  EXPECT_LT(blobCopy, 0);
  EXPECT_EQ(Blob(blobCopy), std::string("bin\x1A"
                                        "ary",
                                        7));
  EXPECT_EQ(CopyMemo(1, 0, false), 0);
}

TEST_F(MemoFilesTest, EmptyingKeepsTheFlavour) {
  OpenTable(0xF5);
  AddMemo("gone");
  DbSettings().DefaultVersionByte = 0x8B;
  Hooks().Memo.Empty();
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  std::vector<uint8_t> fresh(512, 0);
  fresh[3] = 1;
  fresh[6] = 2;
  EXPECT_EQ(Bytes(Path("t.fpt")), fresh);
  EXPECT_EQ(AddMemo("again"), 1);
}

}  // namespace
