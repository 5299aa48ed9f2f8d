// Blob streams: every mode in every flavour, the OEM conversion, seeking,
// empty memos and one stream at a time per table.
#include <filesystem>
#include <random>

#include "memo_testutil.h"

namespace {

using memotest::MemoTest;
using memotest::TestDataSet;
using memotest::W;

class BlobTest : public MemoTest {
 protected:
  // The next-free block the memo file's header holds.
  uint32_t HeaderNextFree() {
    auto b = Bytes(MemoPath());
    return DbSettings().DefaultVersionByte == 0xF5 ? plat::readBE32(b.data()) : plat::readLE32(b.data());
  }
  uint32_t BlockCount() {
    int64_t size = int64_t(Bytes(MemoPath()).size());
    return uint32_t((size + 511) / 512);
  }
};

TEST_F(BlobTest, EveryModeInEveryFlavour) {
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    OpenTable(version);
    const int32_t old = AddMemo("old text");
    TestDataSet ds;
    ds.Image[2] = old;
    {
      TTzBlobStream s(ds, 2, TBlobStreamMode::bmWrite, false);
      EXPECT_EQ(s.Write("abc", 3), 3);
      EXPECT_EQ(s.Size(), 3);
    }
    const int32_t ref = ds.Image[2];
    EXPECT_EQ(ds.Events, (std::vector<std::string>{"edit", "changed 2"}));
    // Negated in a dBASE III file: the memo carries a length header there.
    EXPECT_EQ(ref < 0, version == 0x83);
    const int32_t block = ref < 0 ? -ref : ref;
    EXPECT_EQ(block, 2);
    auto bytes = Bytes(MemoPath());
    ASSERT_EQ(bytes.size(), 1024u + 11);
    const std::string header =
        version == 0xF5 ? std::string("\0\0\0\1\0\0\0\3", 8) : std::string("\xFF\xFF\x08\x00\x0B\0\0\0", 8);
    EXPECT_EQ(std::string(bytes.begin() + 1024, bytes.end()), header + "abc");
    // Others append by the header: it tells the end at once.
    EXPECT_EQ(HeaderNextFree(), BlockCount());
    EXPECT_EQ(Blob(ref), "abc");
    EXPECT_EQ(Blob(old), "old text");

    // TBlobStreamMode::bmReadWrite: the reference waits for the post; without data the old
    // one comes back.
    ds.Events.clear();
    {
      TTzBlobStream s(ds, 2, TBlobStreamMode::bmReadWrite, false);
      s.Write("defg", 4);
    }
    EXPECT_EQ(Blob(ds.Image[2]), "defg");
    EXPECT_EQ(ds.Events, (std::vector<std::string>{"changed 2"}));
    ds.Image[2] = old;
    { TTzBlobStream s(ds, 2, TBlobStreamMode::bmReadWrite, false); }
    EXPECT_EQ(ds.Image[2], old);
    // TBlobStreamMode::bmWrite without data empties the field.
    ds.Events.clear();
    { TTzBlobStream s(ds, 2, TBlobStreamMode::bmWrite, false); }
    EXPECT_EQ(ds.Image[2], 0);
    EXPECT_EQ(ds.Events, (std::vector<std::string>{"edit", "changed 2"}));
    EXPECT_EQ(HeaderNextFree(), BlockCount());
    CloseArea();
  }
}

TEST_F(BlobTest, OemConversionOfPolishText) {
  OpenTable(0x8B);
  const std::string polish = W("Zażółć gęślą jaźń\r\nŹródło");
  std::string buffer = polish;
  const int32_t ref = WriteBlobText(buffer, true);
  EXPECT_EQ(buffer, polish);  // the caller's bytes are left alone
  EXPECT_EQ(Blob(ref, false), plat::AnsiToOem(polish));
  EXPECT_EQ(Blob(ref, true), polish);
  // A first piece with a control byte is no text: passed through.
  const std::string binary = std::string("\x01", 1) + polish;
  const int32_t bin = WriteBlobText(binary, true);
  EXPECT_EQ(Blob(bin, false), binary);
  EXPECT_EQ(Blob(bin, true), binary);
  // A dBASE III text decides on its bytes before the 0x1A end.
  CloseArea();
  OpenTable(0x83, "iii.dbf");
  EXPECT_EQ(Blob(AddMemo(plat::AnsiToOem(polish)), true), polish);
}

TEST_F(BlobTest, SeekingAndEmptyMemos) {
  OpenTable(0x83);
  const int32_t ref = AddMemo("0123456789");  // no length: ends at its 0x1A
  TestDataSet ds;
  ds.Image[2] = ref;
  {
    TTzBlobStream s(ds, 2, TBlobStreamMode::bmRead, false);
    char buf[16] = {};
    EXPECT_EQ(s.Seek(-3, 2), 7);
    EXPECT_EQ(s.Read(buf, 16), 3);
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(s.Seek(2, 0), 2);
    EXPECT_EQ(s.Seek(3, 1), 5);
    EXPECT_EQ(s.Read(buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "56");
    EXPECT_EQ(s.Seek(-100, 1), 0);
    EXPECT_EQ(s.Size(), 10);
    EXPECT_EQ(s.Position(), 0);
  }
  EXPECT_TRUE(ds.Events.empty());
  EXPECT_EQ(Blob(0), "");
  // An empty table has no reference to read, whatever the image holds.
  Create("empty.dbf", {F("id", 'N', 4), F("uwagi", 'M')});
  std::filesystem::copy_file(MemoPath(), Path("empty.dbt"), std::filesystem::copy_options::overwrite_existing);
  USE(Path("empty"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  EXPECT_EQ(Blob(ref), "");
}

TEST_F(BlobTest, OneStreamAtATime) {
  OpenTable(0x8B);
  const int32_t first = AddMemo("first");
  TestDataSet writer, other;
  writer.Image[2] = first;
  other.Image[2] = first;
  {
    TTzBlobStream w(writer, 2, TBlobStreamMode::bmWrite, false);
    w.Write("new", 3);
    // The writer holds the end of the file: nobody else starts a memo.
    {
      TTzBlobStream refused(other, 2, TBlobStreamMode::bmWrite, false);
      EXPECT_EQ(LastErrorCode(), 1017);
      EXPECT_EQ(refused.Write("x", 1), 0);
    }
    EXPECT_EQ(other.Image[2], first);
    TTzBlobStream reader(other, 2, TBlobStreamMode::bmRead, false);
    char buf[8];
    EXPECT_EQ(reader.Read(buf, 8), 0);
    EXPECT_EQ(AddMemo("late"), 0);
    EXPECT_EQ(LastErrorCode(), 1017);
    w.Write("er", 2);
  }
  EXPECT_EQ(Blob(writer.Image[2]), "newer");
  // A newer reading stream takes the descriptor over.
  TTzBlobStream a(other, 2, TBlobStreamMode::bmRead, false);
  TTzBlobStream b(writer, 2, TBlobStreamMode::bmRead, false);
  char buf[8];
  EXPECT_EQ(a.Read(buf, 8), 0);
  EXPECT_EQ(b.Read(buf, 8), 5);
}

}  // namespace

namespace {

// dBASE III texts of random lengths, each ending at its first 0x1A or,
// for the last one, at the end of the file, read in every way: streams
// with buffers of many sizes, the stream's size, and a copy into a dBASE IV
// memo file (the reading of the text device and of the pack).
TEST_F(BlobTest, DbaseIIITextsReadToTheirEndMarkInEveryWay) {
  OpenTable(0x83);
  CloseArea();
  std::mt19937 rng(20261207);
  std::vector<uint8_t> file(512, 0);
  std::vector<std::pair<int32_t, std::string>> memos;
  for (int i = 0; i < 60; ++i) {
    const size_t len = i % 10 == 0 ? 511 + rng() % 3 : rng() % (i % 3 == 0 ? 70000 : 1500);
    std::string text(len, ' ');
    for (char& c : text) c = char(rng() % 250 == 0 ? 0 : ' ' + rng() % 90);  // zeros, no 0x1A
    const bool last = i == 59;
    memos.push_back({int32_t(file.size() / 512), text});
    file.insert(file.end(), text.begin(), text.end());
    if (!last) {
      // What follows the end mark is never part of the text.
      file.push_back(0x1A);
      file.push_back('x');
      file.resize((file.size() + 511) / 512 * 512, 'y');
    }
  }
  plat::writeLE32(file.data(), uint32_t((file.size() + 511) / 512));
  WriteBytes(MemoPath(), file);
  OpenTable(0x8B, "iv.dbf");
  ASSERT_EQ(CurrentArea(), 1);
  Select(2);
  USE(Path("t"), nullptr, 0);
  ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
  for (const auto& [ref, text] : memos) {
    SCOPED_TRACE(ref);
    for (int32_t buffer : {1, 7, 511, 512, 4096, 32767, 100000}) {
      TestDataSet ds;
      ds.Area = 2;
      ds.Image[2] = ref;
      TTzBlobStream s(ds, 2, TBlobStreamMode::bmRead, false);
      if (buffer == 4096) {
        EXPECT_EQ(s.Size(), int32_t(text.size()));
      }
      std::string got, buf(size_t(buffer), '\0');
      while (int32_t n = s.Read(buf.data(), buffer)) got.append(buf.data(), size_t(n));
      EXPECT_EQ(got, text) << "buffer " << buffer;
    }
    Select(1);
    const int32_t copy = CopyMemo(2, ref, false);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    EXPECT_EQ(Blob(copy), text);
    Select(2);
  }
}

}  // namespace
