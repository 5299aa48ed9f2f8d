// Outside readers and writers of memo files: memos python3-dbf writes read
// identically in the engine, and memos the engine appends read identically
// in python3-dbfread, for each flavour.
#include "memo_testutil.h"

namespace {

using dbftest::RunPython;
using memotest::MemoTest;
using memotest::W;

const std::vector<std::string> kTexts = {
    "Zażółć gęślą jaźń",
    "first line\r\nsecond line",
    std::string(700, 'w') + " end",
    "Źródło",
};

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class MemoInteropTest : public MemoTest {};

TEST_F(MemoInteropTest, MemosPythonDbfWritesReadIdentically) {
  const char* kWrite = R"(import sys, dbf
t = dbf.Table(sys.argv[1], 'id N(4,0); uwagi M', dbf_type=sys.argv[2], codepage='cp1250')
t.open(dbf.READ_WRITE)
for i, text in enumerate(sys.argv[3:]):
    t.append((i + 1, bytes.fromhex(text).decode('utf-8')))
t.close()
)";
  for (const char* type : {"db3", "fp"}) {
    SCOPED_TRACE(type);
    const std::string name = std::string("py_") + type;
    std::vector<std::string> args = {Path(name), type};
    for (const auto& t : kTexts) args.push_back(Hex(t));
    std::string out;
    ASSERT_EQ(RunPython(dir_, kWrite, args, out), 0) << out;
    DbSettings().AnsiTables = true;
    USE(Path(name), nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    ASSERT_EQ(RecCount(), int32_t(kTexts.size()));
    for (const auto& want : kTexts) {
      int32_t ref = 0;
      std::memcpy(&ref, FieldAddress(2), sizeof ref);
      EXPECT_EQ(Blob(ref), W(want.c_str()));
      std::string lines = W(want.c_str()) + "|";
      if (want.size() > 254)
        lines = std::string(254, 'w') + "|" + std::string(254, 'w') + "|" + std::string(192, 'w') + " end|";
      EXPECT_EQ(Lines(ref), want[0] == 'f' ? "first line|second line|" : lines);
      SKIP(1);
    }
    CloseArea();
  }
}

TEST_F(MemoInteropTest, DbfreadReadsWhatAddMemoWrites) {
  // dbfread takes a dBASE IV memo's stored length (data + its 8-byte block
  // header) for the data's length and reads 8 bytes past the text, here the
  // zeros that fill the block.
  const char* kRead = R"(import sys, dbfread
for r in dbfread.DBF(sys.argv[1], encoding='cp1250'):
    text = r['UWAGI']
    if sys.argv[2] == '139':
        text = text.rstrip('\x00')
    print(text.encode('utf-8').hex())
)";
  DbSettings().AnsiTables = true;
  for (uint8_t version : {uint8_t(0x83), uint8_t(0x8B), uint8_t(0xF5)}) {
    SCOPED_TRACE(int(version));
    const std::string name = "eng" + std::to_string(version) + ".dbf";
    DbSettings().DefaultVersionByte = version;
    Create(name, {F("id", 'N', 4), F("uwagi", 'M')});
    USE(Path(name) + " EXCLUSIVE", nullptr, 0);
    ASSERT_EQ(LastErrorCode(), 0) << LastErrorMessage();
    std::string want;
    for (const auto& t : kTexts) {
      const int32_t ref = AddMemo(W(t.c_str()));
      ASSERT_GT(ref, 0) << LastErrorMessage();
      SetI(2, ref);
      Append();
      want += Hex(t) + "\n";
    }
    CloseArea();
    std::string out;
    ASSERT_EQ(RunPython(dir_, kRead, {Path(name), std::to_string(version)}, out), 0) << out;
    EXPECT_EQ(out, want);
  }
}

}  // namespace
