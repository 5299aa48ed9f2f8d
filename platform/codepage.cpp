#include "platform/codepage.h"

#include <cstring>

namespace plat {

extern const uint8_t kAlpha1250[256];
extern const uint16_t kWin1250ToUnicode[256];

bool IsAlpha1250(char c) { return kAlpha1250[uint8_t(c)] != 0; }

namespace {

void TranslateInPlace(const uint8_t* table, char* p, size_t n) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if ((w & kHighBits) == 0) continue;
    for (size_t k = i; k < i + 8; ++k) p[k] = char(table[uint8_t(p[k])]);
  }
  for (; i < n; ++i) p[i] = char(table[uint8_t(p[i])]);
}

}  // namespace

void AnsiToOemInPlace(char* p, size_t n) { TranslateInPlace(kAnsiToOemTable, p, n); }
void OemToAnsiInPlace(char* p, size_t n) { TranslateInPlace(kOemToAnsiTable, p, n); }

std::string AnsiToOem(std::string_view s) {
  std::string d(s);
  AnsiToOemInPlace(d.data(), d.size());
  return d;
}

std::string OemToAnsi(std::string_view s) {
  std::string d(s);
  OemToAnsiInPlace(d.data(), d.size());
  return d;
}

namespace {
void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; advances i. Returns false when malformed.
bool DecodeUtf8(std::string_view s, size_t& i, uint32_t& cp) {
  uint8_t c = uint8_t(s[i]);
  int n;
  if (c < 0x80) {
    cp = c;
    n = 0;
  } else if ((c & 0xE0) == 0xC0) {
    cp = c & 0x1F;
    n = 1;
  } else if ((c & 0xF0) == 0xE0) {
    cp = c & 0x0F;
    n = 2;
  } else if ((c & 0xF8) == 0xF0) {
    cp = c & 0x07;
    n = 3;
  } else {
    return false;
  }
  if (i + n >= s.size() && n > 0) return false;
  for (int k = 1; k <= n; ++k) {
    uint8_t cc = uint8_t(s[i + k]);
    if ((cc & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF) return false;
  i += n + 1;
  return true;
}

int UnicodeTo1250(uint32_t cp) {
  if (cp < 0x80) return int(cp);
  for (int b = 0x80; b < 256; ++b)
    if (kWin1250ToUnicode[b] == cp) return b;
  return -1;
}
}  // namespace

std::string Win1250ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size() + s.size() / 4);
  for (char c : s) AppendUtf8(out, kWin1250ToUnicode[uint8_t(c)]);
  return out;
}

bool Utf8ToWin1250(std::string_view s, std::string& out) {
  out.clear();
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp;
    if (!DecodeUtf8(s, i, cp)) return false;
    int b = UnicodeTo1250(cp);
    if (b < 0) return false;
    out += char(b);
  }
  return true;
}

std::string Utf8ToWin1250Lossy(std::string_view s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp;
    if (!DecodeUtf8(s, i, cp)) {
      out += '?';
      ++i;
      continue;
    }
    int b = UnicodeTo1250(cp);
    out += b < 0 ? '?' : char(b);
  }
  return out;
}

}  // namespace plat
