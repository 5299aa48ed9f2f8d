// The number of an N or F field read straight from its bytes, for the two
// places that read one per record: the typed buffer's unpacking and the
// expression evaluator.
#pragma once
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A field's number as digits: the digits as one integer, how many of them
// stand after the point, and the sign.
struct PlainNumber {
  uint64_t Digits = 0;
  size_t Fraction = 0;
  bool Negative = false;

  // Up to 15 digits the digits and their power of ten are exact doubles,
  // so one division rounds as the general parse does; a whole number,
  // even of 16 digits, converts as it parses, and without the division's
  // time. (Digits stays below 2^63: the signed conversion is the short one.)
  double Value() const {
    static constexpr double kPow10[] = {1,   1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const double whole = double(int64_t(Digits));
    const double v = Fraction == 0 ? whole : whole / kPow10[Fraction];
    return Negative ? -v : v;
  }
};

// Whether ReadAlignedNumber may read a field of `len` bytes at `pos` in the
// record: the sixteen bytes that end with the field are the record's.
inline bool AlignedNumberFits(size_t pos, size_t len) { return len >= 1 && len <= 16 && pos + len >= 16; }

#if defined(__SSE2__)
// The digit values of a number as the engine itself writes one into its
// field of `n` bytes at `p` (see ReadAlignedNumber), one per lane, the last
// lane the ones, the point taken out and every lane before the first digit
// 0; false for every other text.
[[gnu::always_inline]] inline bool AlignedDigitLanes(const char* p, size_t n, size_t dec, bool nulIsBlank, __m128i& digits,
                                                     bool& negative) {
  if (dec > 0 && n < dec + 2) return false;  // no room for a digit before the point
  // Sixteen clear lanes, then sixteen set: from `k` on, lanes k and up of
  // the sixteen read are clear, the rest set.
  alignas(16) static constexpr uint8_t kSetFrom[32] = {0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                                       0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const auto setFrom = [](size_t lane) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSetFrom + 16 - lane)); };
  const auto lanes = [](__m128i m) { return unsigned(_mm_movemask_epi8(m)); };
  const auto is = [](__m128i x, char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
  // The field in the last n lanes; what stands before it reads as blanks.
  const __m128i inField = setFrom(16 - n);
  const __m128i v = _mm_or_si128(_mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)), inField),
                                 _mm_andnot_si128(inField, _mm_set1_epi8(' ')));
  // Each byte's digit value (0 where it is no digit), and where the digits are.
  const __m128i value = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(value, _mm_set1_epi8(9)), value);
  const __m128i digitValue = _mm_and_si128(value, isDigit);
  const unsigned digit = lanes(isDigit);
  // A blank and a NUL differ in the bit 0x20 alone.
  const unsigned blank = nulIsBlank ? lanes(_mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(char(0xDF))), _mm_setzero_si128()))
                                    : lanes(is(v, ' '));
  // The integer part ends at lane `e`: the point, or past the field; after
  // the point only digits.
  const unsigned e = 16 - unsigned(dec > 0 ? dec + 1 : 0);
  const unsigned point = 1u << e, fraction = 0xFFFFu & ~((point << 1) - 1);
  if (dec > 0 && ((digit & fraction) | (lanes(is(v, '.')) & point)) != (fraction | point)) return false;
  // Digits without a gap up to the integer part's end; before them
  // blanks, but a minus right before the first digit.
  const unsigned intDigits = digit & (point - 1), first = intDigits & (0u - intDigits);
  if (intDigits == 0 || intDigits + first != point) return false;
  const unsigned lead = (first - 1) & ~blank;
  if ((lead & ~(lanes(is(v, '-')) & (first >> 1))) != 0) return false;
  // The point taken out: the integer part moved up one lane onto it.
  digits = digitValue;
  if (dec > 0) {
    const __m128i afterPoint = setFrom(e + 1);
    digits = _mm_or_si128(_mm_and_si128(afterPoint, digitValue), _mm_andnot_si128(afterPoint, _mm_slli_si128(digitValue, 1)));
  }
  negative = lead != 0;
  return true;
}
#endif

// A number as the engine itself writes one into its field of `n` bytes at
// `p`: right-aligned, blanks before an optional minus, digits, and with
// `dec` decimals the point where they put it; a NUL counts as a blank when
// `nulIsBlank`. Read sixteen bytes at once without a branch on the text,
// where the numbers of a column have digits in varying count; false for
// every other text, which the caller reads its own way.
// Inlined whatever the compiler's estimate: a call costs as much as the
// reading, and the callers pass constants that remove a branch.
// REQUIRES: AlignedNumberFits(the field's position, n).
[[gnu::always_inline]] inline bool ReadAlignedNumber(const char* p, size_t n, size_t dec, bool nulIsBlank, PlainNumber& out) {
#if defined(__SSE2__)
  __m128i x;
  bool negative;
  if (!AlignedDigitLanes(p, n, dec, nulIsBlank, x, negative)) return false;
  // The digits summed in pairs, fours and eights, the last lane the ones.
  const __m128i zero = _mm_setzero_si128();
  const __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(x, zero), _mm_set1_epi32(0x0001000A)),
                                        _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), _mm_set1_epi32(0x0001000A)));
  const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x00012710));
  out.Digits = uint64_t(uint32_t(_mm_cvtsi128_si32(eights))) * 100000000u +
               uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
  out.Fraction = dec;
  out.Negative = negative;
  return true;
#else
  (void)p, (void)n, (void)dec, (void)nulIsBlank, (void)out;
  return false;
#endif
}

// The same number's digits in packed decimal form (four bits a digit, the
// ones in the lowest four), as an index key stores them, without their
// value in between. REQUIRES: as ReadAlignedNumber.
[[gnu::always_inline]] inline bool ReadAlignedPacked(const char* p, size_t n, size_t dec, bool nulIsBlank, uint64_t& packed,
                                                     bool& negative) {
#if defined(__SSE2__)
  __m128i x;
  if (!AlignedDigitLanes(p, n, dec, nulIsBlank, x, negative)) return false;
  // Each pair of lanes into one byte, the first of the pair the high four
  // bits; the eight bytes in text order are the digits from the first.
  const __m128i pairs = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(x, 4), _mm_set1_epi16(0x00F0)), _mm_srli_epi16(x, 8));
  uint64_t bytes;
  _mm_storel_epi64(reinterpret_cast<__m128i*>(&bytes), _mm_packus_epi16(pairs, pairs));
  packed = __builtin_bswap64(bytes);
  return true;
#else
  (void)p, (void)n, (void)dec, (void)nulIsBlank, (void)packed, (void)negative;
  return false;
#endif
}
