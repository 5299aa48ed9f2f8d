// The engine's byte text is Windows-1250 ("ANSI"); OEM tables hold CP852.
// The conversions are fixed 256-byte tables as Windows converts: exact for
// every character both code pages hold, Windows' best-fit replacement for
// the others (typographic quotes and dashes to their ASCII forms, box
// drawing to "+", "-" and "|"), and "?" where no replacement fits.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plat {

extern const uint8_t kAnsiToOemTable[256];
extern const uint8_t kOemToAnsiTable[256];
extern const uint8_t kUpper1250[256];
extern const uint8_t kLower1250[256];

inline char AnsiToOemChar(char c) { return char(kAnsiToOemTable[uint8_t(c)]); }
inline char OemToAnsiChar(char c) { return char(kOemToAnsiTable[uint8_t(c)]); }
inline char Upper1250(char c) { return char(kUpper1250[uint8_t(c)]); }
inline char Lower1250(char c) { return char(kLower1250[uint8_t(c)]); }
// True for the letters of Windows-1250.
bool IsAlpha1250(char c);

// True when every one of the `n` bytes is below 0x80, where both code
// pages are ASCII: looked at sixteen (or eight) at a time, without a
// branch per byte.
inline bool IsAscii(const char* p, size_t n) {
#if defined(__SSE2__)
  if (n >= 16) {
    __m128i seen = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) seen = _mm_or_si128(seen, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    // The last sixteen again, overlapping what was seen.
    seen = _mm_or_si128(seen, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
    return _mm_movemask_epi8(seen) == 0;
  }
#endif
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    seen |= w;
  }
  if (i < n && n >= 8) {
    uint64_t w;  // the last word again, overlapping what was seen
    std::memcpy(&w, p + n - 8, 8);
    seen |= w;
  } else {
    for (; i < n; ++i) seen |= uint8_t(p[i]);
  }
  return (seen & 0x8080808080808080ull) == 0;
}

// Upper1250 of `n` bytes from `src` into `dst` (which do not overlap);
// false when one of them is a NUL, where a caller's text would end. Below
// 0x80 the table upper-cases a to z alone, so sixteen such bytes at a time
// are done by arithmetic; a block holding another byte goes through the
// table.
inline bool UpperCopy1250(char* dst, const char* src, size_t n) {
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i zero = _mm_setzero_si128();
    __m128i nul = zero;
    const auto block = [&](size_t at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
      nul = _mm_or_si128(nul, _mm_cmpeq_epi8(v, zero));
      if (_mm_movemask_epi8(v) != 0) {
        for (size_t i = at; i < at + 16; ++i) dst[i] = Upper1250(src[i]);
        return;
      }
      // a to z moved to the 26 lowest signed bytes, the case bit taken
      // from them alone.
      const __m128i moved = _mm_add_epi8(v, _mm_set1_epi8(char(0x80 - 'a')));
      const __m128i lower = _mm_cmplt_epi8(moved, _mm_set1_epi8(char(-128 + 26)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), _mm_sub_epi8(v, _mm_and_si128(lower, _mm_set1_epi8(0x20))));
    };
    size_t i = 0;
    for (; i + 16 <= n; i += 16) block(i);
    // The last sixteen again, overlapping what was done.
    if (i < n) block(n - 16);
    return _mm_movemask_epi8(nul) == 0;
  }
#endif
  bool noNul = true;
  for (size_t i = 0; i < n; ++i) {
    noNul &= src[i] != '\0';
    dst[i] = Upper1250(src[i]);
  }
  return noNul;
}

std::string AnsiToOem(std::string_view s);
std::string OemToAnsi(std::string_view s);
// The same in place over `n` bytes. Both code pages are ASCII below 0x80,
// so runs of such bytes are passed over whole (table text is mostly them).
void AnsiToOemInPlace(char* p, size_t n);
void OemToAnsiInPlace(char* p, size_t n);

// Windows-1250 bytes to UTF-8. The five bytes the code page leaves
// undefined become the C1 control characters of the same number (U+0081,
// ...), as Windows converts them, so every byte text survives the way to
// UTF-8 and back.
std::string Win1250ToUtf8(std::string_view s);
// UTF-8 to Windows-1250. Returns false (and leaves `out` partial) when a
// character has no Windows-1250 form or the UTF-8 is malformed.
bool Utf8ToWin1250(std::string_view s, std::string& out);
// As above with "?" for each character that has no form.
std::string Utf8ToWin1250Lossy(std::string_view s);

}  // namespace plat
