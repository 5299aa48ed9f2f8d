#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <string>

#include "platform/codepage.h"

namespace {

// One character from one code page to another through the C library's
// iconv; nothing when the source byte is undefined or the target lacks it.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != iconv_t(-1); }
  std::optional<std::string> operator()(const std::string& in) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string src = in, out(16, '\0');
    char* ip = src.data();
    char* op = out.data();
    size_t il = src.size(), ol = out.size();
    if (iconv(cd_, &ip, &il, &op, &ol) == size_t(-1)) return std::nullopt;
    out.resize(out.size() - ol);
    return out;
  }

 private:
  iconv_t cd_;
};

TEST(CodePage, SharedCharactersConvertExactlyBothWays) {
  Iconv ansiToOem("CP852", "CP1250"), oemToAnsi("CP1250", "CP852");
  ASSERT_TRUE(ansiToOem.ok() && oemToAnsi.ok()) << "iconv lacks CP852 or CP1250";
  int shared = 0;
  for (int b = 0; b < 256; ++b) {
    std::string a(1, char(b));
    if (auto o = ansiToOem(a)) {
      ASSERT_EQ(o->size(), 1u);
      ++shared;
      EXPECT_EQ(uint8_t(plat::AnsiToOemChar(char(b))), uint8_t((*o)[0])) << "ANSI byte " << b;
      EXPECT_EQ(plat::OemToAnsi(plat::AnsiToOem(a)), a) << "ANSI byte " << b;
    }
    if (auto back = oemToAnsi(a)) {
      ASSERT_EQ(back->size(), 1u);
      EXPECT_EQ(uint8_t(plat::OemToAnsiChar(char(b))), uint8_t((*back)[0])) << "OEM byte " << b;
      EXPECT_EQ(plat::AnsiToOem(plat::OemToAnsi(a)), a) << "OEM byte " << b;
    }
  }
  // ASCII and the whole Central European repertoire both pages hold.
  EXPECT_GT(shared, 200);
}

// Whole buffers go word by word past ASCII runs: every byte, at every
// alignment, still converts as the one-byte tables say.
TEST(CodePage, BuffersConvertAsTheirBytesDo) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += char(b);
  for (size_t lead = 0; lead < 8; ++lead) {
    const std::string s = std::string(lead, 'a') + all + "abc" + all.substr(0x7C, 8);
    std::string oem, ansi;
    for (char c : s) oem += plat::AnsiToOemChar(c), ansi += plat::OemToAnsiChar(c);
    EXPECT_EQ(plat::AnsiToOem(s), oem) << lead;
    EXPECT_EQ(plat::OemToAnsi(s), ansi) << lead;
  }
}

TEST(CodePage, PolishLettersInBothPages) {
  // ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ in Windows-1250 and in CP852.
  const std::string ansi = "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
  const std::string oem = "\xA5\x86\xA9\x88\xE4\xA2\x98\xAB\xBE\xA4\x8F\xA8\x9D\xE3\xE0\x97\x8D\xBD";
  EXPECT_EQ(plat::AnsiToOem(ansi), oem);
  EXPECT_EQ(plat::OemToAnsi(oem), ansi);
  for (size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(plat::Upper1250(ansi[i]), ansi[i + 9]) << i;
    EXPECT_EQ(plat::Lower1250(ansi[i + 9]), ansi[i]) << i;
    EXPECT_TRUE(plat::IsAlpha1250(ansi[i]));
  }
  EXPECT_EQ(plat::Win1250ToUtf8(ansi), "ąćęłńóśźżĄĆĘŁŃÓŚŹŻ");
  std::string back;
  EXPECT_TRUE(plat::Utf8ToWin1250("ąćęłńóśźżĄĆĘŁŃÓŚŹŻ", back));
  EXPECT_EQ(back, ansi);
}

TEST(CodePage, CaseTablesLeaveNonLettersAlone) {
  for (int b = 0; b < 256; ++b) {
    char c = char(b);
    if (!plat::IsAlpha1250(c)) {
      EXPECT_EQ(plat::Upper1250(c), c) << b;
      EXPECT_EQ(plat::Lower1250(c), c) << b;
    }
  }
  EXPECT_EQ(plat::Upper1250('a'), 'A');
  EXPECT_EQ(plat::Lower1250('Z'), 'z');
  // ß has no single-byte capital and stays.
  EXPECT_EQ(plat::Upper1250('\xDF'), '\xDF');
}

TEST(CodePage, Utf8ConversionAgreesWithIconv) {
  Iconv toUtf8("UTF-8", "CP1250");
  ASSERT_TRUE(toUtf8.ok());
  int undefined = 0;
  for (int b = 0; b < 256; ++b) {
    std::string a(1, char(b));
    std::string u;
    if (auto known = toUtf8(a)) {
      u = *known;
    } else {
      // Bytes the code page leaves undefined are the C1 controls of the
      // same number, as Windows converts them.
      ++undefined;
      u = std::string{char(0xC2), char(b)};
    }
    EXPECT_EQ(plat::Win1250ToUtf8(a), u) << b;
    std::string back;
    EXPECT_TRUE(plat::Utf8ToWin1250(u, back)) << b;
    EXPECT_EQ(back, a) << b;
  }
  EXPECT_EQ(undefined, 5);
  EXPECT_EQ(plat::Utf8ToWin1250Lossy("a\xE2\x82\xAC" "b\xE4\xB8\xAD"), "a\x80" "b?");
}

}  // namespace
