// Shared pieces of the memo tests: a table with a memo field in each
// flavour, memo text read back through the text device and a blob stream,
// and a dataset stand-in for the blob streams.
#pragma once
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/codepage.h"
#include "tablebase/dbf_testutil.h"
#include "tables/memo/memo.h"
#include "tables/tablesinit.h"

namespace memotest {

// Windows-1250 bytes of UTF-8 source text.
inline std::string W(const char* utf8) { return plat::Utf8ToWin1250Lossy(utf8); }

// The dataset side of a blob stream: the record image is a map of memo
// references, the area is selected by number, and the dataset's events are
// recorded.
struct TestDataSet : TTzBlobDataSet {
  uint8_t Area = 1;
  std::map<int, int32_t> Image;
  std::vector<std::string> Events;
  void DirectOpenClose(bool) override {}
  void SelectArea(const std::string&) override { Select(Area); }
  int32_t BlobReference(int field) override { return Image[field]; }
  void SetBlobReference(int field, int32_t ref) override { Image[field] = ref; }
  void EditIntoEngine() override { Events.push_back("edit"); }
  void BlobFieldChanged(int field) override { Events.push_back("changed " + std::to_string(field)); }
};

// A memo table (ID N(4), UWAGI M) of `version` with `records` blank records,
// open in area 1.
class MemoTest : public dbftest::TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    TablesStartup();
    Engine().memo.NoFlush = true;
  }

  void OpenTable(uint8_t version, const std::string& name = "t.dbf", const std::string& options = " EXCLUSIVE",
                 int records = 1) {
    DbSettings().DefaultVersionByte = version;
    Create(name, {F("id", 'N', 4), F("uwagi", 'M')});
    Select(1);
    USE(Path(name) + options, nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    // A blob stream reads nothing in an empty table.
    ASSERT_TRUE(ALock());
    for (int r = 0; r < records; ++r) Append();
    Unlock();
  }
  std::string MemoPath(const std::string& table = "t") const {
    const uint8_t v = DbSettings().DefaultVersionByte;
    return Path(table + (v == 0xF5 ? ".fpt" : ".dbt"));
  }

  // The memo's lines through the text device, each ended by "|".
  static std::string Lines(int32_t ref) {
    TextFile f;
    AssignMemo(f, ref);
    f.Reset();
    std::string line, out;
    while (f.ReadLn(line)) out += line + "|";
    return out;
  }
  // Rewrites memo `ref` through the text device; the new reference.
  static int32_t Rewrite(int32_t ref, const std::string& text) {
    TextFile f;
    AssignMemo(f, ref);
    f.Rewrite();
    f.Write(text);
    f.Close();
    return ref;
  }
  // Rewrites the memo of record `recno` (field 2) and writes the record
  // with its new reference, which it answers.
  static int32_t RewriteRecord(int32_t recno, const std::string& text) {
    GO(recno);
    RLock();
    const int32_t ref = Rewrite(GetI(2), text);
    SetI(2, ref);
    Replace();
    Unlock();
    return ref;
  }
  // The memo's bytes through a read stream.
  static std::string Blob(int32_t ref, bool convert = false) {
    TestDataSet ds;
    ds.Area = CurrentArea();
    ds.Image[2] = ref;
    TTzBlobStream s(ds, 2, TBlobStreamMode::bmRead, convert);
    std::string out;
    char buf[4096];
    while (int32_t n = s.Read(buf, sizeof buf)) out.append(buf, size_t(n));
    return out;
  }
  // A memo written through a write stream; its reference.
  static int32_t WriteBlobText(const std::string& data, bool convert = false) {
    TestDataSet ds;
    ds.Area = CurrentArea();
    {
      TTzBlobStream s(ds, 2, TBlobStreamMode::bmWrite, convert);
      s.Write(data.data(), int32_t(data.size()));
    }
    return ds.Image[2];
  }
};

// A file image built from pieces at offsets.
struct Image {
  std::vector<uint8_t> Bytes;
  explicit Image(size_t size) : Bytes(size, 0) {}
  Image& At(size_t pos, const std::string& s) {
    std::memcpy(Bytes.data() + pos, s.data(), s.size());
    return *this;
  }
  Image& LE32(size_t pos, uint32_t v) {
    plat::writeLE32(Bytes.data() + pos, v);
    return *this;
  }
  Image& BE32(size_t pos, uint32_t v) {
    plat::writeBE32(Bytes.data() + pos, v);
    return *this;
  }
};

}  // namespace memotest
