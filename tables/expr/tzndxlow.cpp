#include "tables/expr/tzndxlow.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "tablebase/fieldnumber.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

constexpr int kExponentBias = 52;

// Key bytes for a value beyond the exponent byte's reach.
BcdKey SaturatedKey(bool negative, bool tooLarge) {
  BcdKey k{};
  if (tooLarge) {
    k[0] = 0xFF;
    k[1] = uint8_t(20 * 4 | 1);
    for (int i = 2; i < 12; ++i) k[i] = 0x99;
  } else {
    // The smallest non-zero magnitude the key can state: 0.1 x 10^-52.
    k[0] = 0;
    k[1] = uint8_t(10 * 4 | 1);
    k[2] = 0x10;
  }
  if (negative) k[1] |= 0x80;
  return k;
}

constexpr int kDaysBeforeMonth[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

long long DaysBeforeYear(long long y) {
  if (y <= 1) return 0;
  long long p = y - 1;
  return p * 365 + p / 4 - p / 100 + p / 400;
}

// Reads an unsigned decimal field; false unless it is all digits.
bool ReadDigits(std::string_view s, int& out) {
  if (s.empty()) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

char SoundexCode(char c) {
  //                         ABCDEFGHIJKLMNOPQRSTUVWXYZ
  static constexpr char k[] = "01230120022455012623010202";
  return IsLetterAZ(c) ? k[c - 'A'] : '0';
}

}  // namespace

BcdKey BcdKeyFromText(std::string_view s, int Decimals) {
  BcdKey key{};
  size_t i = 0;
  auto at = [&](size_t j) { return j < s.size() ? s[j] : '\0'; };
  while (at(i) == ' ') ++i;
  bool negative = false;
  if (at(i) == '+') {
    ++i;
  } else if (at(i) == '-') {
    negative = true;
    ++i;
  }
  while (at(i) == ' ' || at(i) == '0') ++i;
  int exponent = kExponentBias;
  bool hadPoint = false;
  if (at(i) == '.') {
    hadPoint = true;
    ++i;
    while (at(i) == '0') {
      --exponent;
      ++i;
    }
  }
  int stored = 0;
  int trailingZeros = 0;
  for (;; ++i) {
    char c = at(i);
    if (c == '.') {
      if (hadPoint) break;
      hadPoint = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    // Every digit before the point scales the value, stored or not: a
    // number of more than 20 integer digits keeps its magnitude.
    if (!hadPoint) ++exponent;
    if (stored < 20) {
      int d = c - '0';
      key[2 + stored / 2] |= uint8_t(stored % 2 == 0 ? d << 4 : d);
      ++stored;
      trailingZeros = d == 0 ? trailingZeros + 1 : 0;
    }
  }
  key[1] |= 1;
  int minimum = 10;
  bool countZeros = false;
  if (hadPoint && Decimals > trailingZeros) {
    minimum = 0;
    countZeros = true;
  }
  int n = countZeros ? stored : stored - trailingZeros;
  if (n != 0 && n < minimum) n = minimum;
  if (n > 20) n = 20;
  if (n == 0) {
    // Zero has one key whatever its sign; its exponent byte keeps the count
    // of zeros written after the point.
    key[0] = uint8_t(std::max(exponent, 0));
    return key;
  }
  if (exponent > 255) return SaturatedKey(negative, true);
  if (exponent < 0) return SaturatedKey(negative, false);
  key[0] = uint8_t(exponent);
  key[1] |= uint8_t(n * 4);
  if (negative) key[1] |= 0x80;
  return key;
}

int CompareBcdKeys(const BcdKey& a, const BcdKey& b) {
  bool aPositive = a[1] < 128;
  bool bPositive = b[1] < 128;
  if (aPositive != bPositive) return aPositive ? 1 : -1;
  int na = (a[1] >> 2) & 0x1F;
  int nb = (b[1] >> 2) & 0x1F;
  int ea = na == 0 ? 0 : a[0];
  int eb = nb == 0 ? 0 : b[0];
  if (ea != eb) {
    int r = ea > eb ? 1 : -1;
    return aPositive ? r : -r;
  }
  int bytes = (std::min(std::max(na, nb), kMaxBcdDigits) + 1) / 2;
  for (int i = 2; i < 2 + bytes; ++i) {
    if (a[i] != b[i]) {
      int r = a[i] > b[i] ? 1 : -1;
      return aPositive ? r : -r;
    }
  }
  return 0;
}

namespace {

// Two decimal digits in packed form, the tens in the high four bits.
constexpr auto kPackedPairs = [] {
  std::array<uint8_t, 100> t{};
  for (int i = 0; i < 100; ++i) t[size_t(i)] = uint8_t((i / 10) << 4 | i % 10);
  return t;
}();

// Packed decimal digits of x < 10^8, the first in the highest four bits:
// halves of four digits, pairs of those, each pair from the table. Few
// steps wait for one another: in a scan that makes a key per record the
// key's chain of steps is not hidden behind the reading of the next record.
inline uint32_t PackedDigits8(uint32_t x) {
  const uint32_t high = x / 10000, low = x % 10000;
  return uint32_t(kPackedPairs[high / 100]) << 24 | uint32_t(kPackedPairs[high % 100]) << 16 |
         uint32_t(kPackedPairs[low / 100]) << 8 | kPackedPairs[low % 100];
}

// The key of `digits` digits, `zeros` of them trailing, whose packed form
// moved up to the highest four of 80 bits holds `high` (its highest
// sixteen) and `low` (the others).
BcdKey KeyOfDigits(int digits, int zeros, uint64_t high, uint64_t low, int decimals, bool negative) {
  // As BcdKeyFromText counts them for the text FormatNumberTo writes:
  // trailing zeros are digits while there are more decimals than zeros;
  // otherwise they are left out down to the minimum of ten.
  const int n = decimals > zeros ? digits : std::max(digits - zeros, 10);
  const uint64_t head = uint64_t(kExponentBias + digits - decimals) | uint64_t(1 | n * 4 | (negative ? 0x80 : 0)) << 8;
  // Bytes 0-7 and 8-11 each built in a register and stored at once: the
  // caller reads the key in words, which byte stores would hold up.
  const uint64_t first = head | uint64_t(__builtin_bswap16(uint16_t(high))) << 16 | (__builtin_bswap64(low) << 32);
  const uint32_t second = uint32_t(__builtin_bswap64(low) >> 32);
  BcdKey key;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(key.data(), &first, 8);
    std::memcpy(key.data() + 8, &second, 4);
  } else {
    for (int i = 0; i < 8; ++i) key[size_t(i)] = uint8_t(first >> (8 * i));
    for (int i = 0; i < 4; ++i) key[size_t(8 + i)] = uint8_t(second >> (8 * i));
  }
  return key;
}

BcdKey ZeroKey(int decimals) {
  BcdKey key{};
  key[0] = uint8_t(std::max(kExponentBias - decimals, 0));
  key[1] = 1;
  return key;
}

}  // namespace

BcdKey BcdKeyFromPacked(uint64_t Packed, int Decimals, bool Negative) {
  if (Packed == 0) return ZeroKey(Decimals);
  // The count of digits and of trailing zeros from the zero bits at either
  // end; then the first digit moved up to the top.
  const int digits = (64 - std::countl_zero(Packed) + 3) / 4;
  const uint64_t aligned = Packed << (64 - 4 * digits);
  return KeyOfDigits(digits, std::countr_zero(Packed) / 4, aligned >> 48, aligned << 16, Decimals, Negative);
}

BcdKey BcdKeyFromScaled(uint64_t Scaled, int Decimals, bool Negative) {
  constexpr uint64_t k8 = 100000000;
  // Most columns hold numbers of eight digits or fewer.
  if (Scaled < k8) return BcdKeyFromPacked(PackedDigits8(uint32_t(Scaled)), Decimals, Negative);
  if (Scaled < k8 * k8)
    return BcdKeyFromPacked(uint64_t(PackedDigits8(uint32_t(Scaled / k8))) << 32 | PackedDigits8(uint32_t(Scaled % k8)),
                            Decimals, Negative);
  // 17 to 20 digits: up to four above the sixteen low ones.
  const uint64_t rest = Scaled % (k8 * k8);
  const uint64_t top = PackedDigits8(uint32_t(Scaled / (k8 * k8)));
  const uint64_t packed = (uint64_t(PackedDigits8(uint32_t(rest / k8))) << 32) | PackedDigits8(uint32_t(rest % k8));
  const int digits = 16 + (64 - std::countl_zero(top) + 3) / 4;
  const int zeros = packed == 0 ? 16 + std::countr_zero(top) / 4 : std::countr_zero(packed) / 4;
  const int shift = 4 * (20 - digits);
  const uint64_t high = (top << shift) | (shift == 0 ? 0 : packed >> (64 - shift));
  return KeyOfDigits(digits, zeros, high, packed << shift, Decimals, Negative);
}

BcdKey BcdKeyFromFloat(int Decimals, double Value) {
  uint64_t scaled;
  if (ScaledRounded(Value, Decimals, scaled)) return BcdKeyFromScaled(scaled, Decimals, Value < 0);
  return BcdKeyFromFloatGeneral(Decimals, Value);
}

BcdKey BcdKeyFromFloatGeneral(int Decimals, double Value) {
  if (std::isnan(Value)) return BcdKeyFromText("0", Decimals);
  if (std::isinf(Value)) return SaturatedKey(Value < 0, true);
  char buf[kNumberTextMax];
  return BcdKeyFromText(std::string_view(buf, FormatNumberTo(Value, Decimals, buf)), Decimals);
}

double ReadNumber(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  size_t start = i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digitsStart = i;
  // Field texts are short: up to 15 digits and a point make an exact
  // integer and at most 10^15, so one division rounds exactly as
  // from_chars would.
  uint64_t mantissa = 0;
  int digits = 0, fraction = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') mantissa = mantissa * 10 + uint64_t(s[i++] - '0'), ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
      mantissa = mantissa * 10 + uint64_t(s[i++] - '0'), ++digits, ++fraction;
  }
  if (i == digitsStart || (i == digitsStart + 1 && s[digitsStart] == '.')) return 0;
  bool exponent = i < s.size() && (s[i] == 'E' || s[i] == 'e');
  if (!exponent && digits <= 15) return PlainNumber{mantissa, size_t(fraction), s[start] == '-'}.Value();
  if (exponent) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t expDigits = j;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    if (j > expDigits) i = j;
  }
  // from_chars takes no "+" sign.
  std::string_view text = s.substr(start, i - start);
  if (text[0] == '+') text.remove_prefix(1);
  double v = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec == std::errc::result_out_of_range) {
    // Too large keeps its sign at the largest finite value; too small is 0.
    size_t e = text.find_first_of("Ee");
    bool huge = e == std::string_view::npos || text[e + 1] != '-';
    v = huge ? std::numeric_limits<double>::max() : 0.0;
    if (text[0] == '-') v = -v;
  }
  return v;
}

double JulianFromYMD(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return kInvalidJulian;
  int dayOfYear = kDaysBeforeMonth[month - 1] + day + (month > 2 && IsLeapYear(year) ? 1 : 0);
  return double(dayOfYear + DaysBeforeYear(year) + 1721425);
}

double JulianFromDtos(std::string_view text) {
  text = text.substr(0, 8);
  int y = 0, m = 0, d = 0;
  if (text.size() < 8 || !ReadDigits(text.substr(0, 4), y) || !ReadDigits(text.substr(4, 2), m) ||
      !ReadDigits(text.substr(6, 2), d))
    return kInvalidJulian;
  return JulianFromYMD(y, m, d);
}

bool JulianToYMD(double v, int& year, int& month, int& day) {
  if (!(v >= kFirstJulian && v < kLastJulian + 1)) return false;
  long long d = (long long)v - 1721425;  // 1 = 1 January of year 1
  // 146097 days make 400 years; the estimate is off by a year at most.
  int y = int((d - 1) * 400 / 146097) + 1;
  while (d > DaysBeforeYear(y + 1)) ++y;
  while (d <= DaysBeforeYear(y)) --y;
  d -= DaysBeforeYear(y);
  int m = 1;
  while (m < 12 && d > kDaysBeforeMonth[m] + (m >= 2 && IsLeapYear(y) ? 1 : 0)) ++m;
  int before = kDaysBeforeMonth[m - 1] + (m > 2 && IsLeapYear(y) ? 1 : 0);
  year = y;
  month = m;
  day = int(d) - before;
  return true;
}

bool JulianToDtos(double v, char* out) {
  int y, m, d;
  if (!JulianToYMD(v, y, m, d)) {
    std::memset(out, ' ', 8);
    return false;
  }
  auto put = [out](int at, int width, int n) {
    for (int i = width - 1; i >= 0; --i, n /= 10) out[at + i] = char('0' + n % 10);
  };
  put(0, 4, y);
  put(4, 2, m);
  put(6, 2, d);
  return true;
}

std::string JulianToDtos(double v) {
  char buf[8];
  JulianToDtos(v, buf);
  return std::string(buf, 8);
}

std::string JulianToDateText(double v, int fmt, bool centuryOn) {
  if (fmt == 7 || fmt > 8 || fmt < 0) return "";
  int y, m, d;
  bool valid = JulianToYMD(v, y, m, d);
  int yearWidth = centuryOn ? 4 : 2;
  std::string yy = valid ? ZeroPadded(centuryOn ? y : y % 100, yearWidth) : std::string(yearWidth, ' ');
  std::string mm = valid ? ZeroPadded(m, 2) : "  ";
  std::string dd = valid ? ZeroPadded(d, 2) : "  ";
  switch (fmt) {
    case 0: return mm + "/" + dd + "/" + yy;
    case 1: return yy + "." + mm + "." + dd;
    case 2:
    case 8: return dd + "/" + mm + "/" + yy;
    case 3: return dd + "-" + mm + "-" + yy;
    default: return dd + "." + mm + "." + yy;
  }
}

std::string JulianToDateText(double v) {
  const auto& d = Engine().dates;
  return JulianToDateText(v, d.DateFormat, d.CenturyOn);
}

namespace {

// Year, month and day of a date text through the engine's internal form,
// with four-digit years for the duration.
bool DateTextParts(std::string_view text, int& y, int& m, int& d) {
  struct CenturyScope {
    bool saved = Engine().dates.CenturyOn;
    CenturyScope() { Engine().dates.CenturyOn = true; }
    ~CenturyScope() { Engine().dates.CenturyOn = saved; }
  } century;
  std::string s(text.substr(0, 10));
  DateToMDY(s);
  return s.size() >= 10 && ReadDigits(std::string_view(s).substr(0, 2), m) &&
         ReadDigits(std::string_view(s).substr(3, 2), d) &&
         ReadDigits(std::string_view(s).substr(6, 4), y);
}

}  // namespace

double DateTextToJulian(std::string_view text) {
  int y, m, d;
  if (!DateTextParts(text, y, m, d)) return kInvalidJulian;
  return JulianFromYMD(y, m, d);
}

std::string DateTextToDtos(std::string_view text) {
  int y, m, d;
  if (!DateTextParts(text, y, m, d) || (y == 0 && m == 0 && d == 0)) return std::string(8, ' ');
  return ZeroPadded(y, 4) + ZeroPadded(m, 2) + ZeroPadded(d, 2);
}

std::string Soundex(std::string_view text) {
  text = text.substr(0, 100);
  std::string code = "0000";
  if (text.empty()) return code;
  char first = UpperAZ(text[0]);
  code[0] = first;
  char previous = SoundexCode(first);
  size_t filled = 1;
  for (size_t i = 1; i < text.size() && filled < 4; ++i) {
    char c = UpperAZ(text[i]);
    if (!IsLetterAZ(c)) continue;
    char k = SoundexCode(c);
    if (k != previous && k != '0') code[filled++] = k;
    previous = k;
  }
  return code;
}

std::string ZeroPadded(long long value, int width) {
  char buf[24];
  bool neg = value < 0;
  auto res = std::to_chars(buf, buf + sizeof buf, neg ? -value : value);
  std::string s(buf, res.ptr);
  if (int(s.size()) < width - (neg ? 1 : 0)) s.insert(0, size_t(width - (neg ? 1 : 0)) - s.size(), '0');
  return neg ? "-" + s : s;
}

size_t StrLenZ(const char* p, size_t max) {
  const void* nul = std::memchr(p, '\0', max);
  return nul ? size_t(static_cast<const char*>(nul) - p) : max;
}

void StrCopyZ(char* dst, const char* src, size_t max) {
  size_t n = StrLenZ(src, max - 1);
  std::memmove(dst, src, n);
  dst[n] = '\0';
}

std::string CountedCopy(const char* src, size_t n) { return std::string(src, StrLenZ(src, n)); }

int CompareBytes(const void* a, const void* b, size_t n) {
  auto x = static_cast<const uint8_t*>(a);
  auto y = static_cast<const uint8_t*>(b);
  for (size_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return int(x[i]) - int(y[i]);
  return 0;
}

void ReverseBytes(void* p, size_t n) {
  auto b = static_cast<uint8_t*>(p);
  for (size_t i = 0, j = n; i + 1 < j; ++i, --j) std::swap(b[i], b[j - 1]);
}

void ExchangeBlocks(void* p, size_t first, size_t second) {
  auto b = static_cast<uint8_t*>(p);
  ReverseBytes(b, first);
  ReverseBytes(b + first, second);
  ReverseBytes(b, first + second);
}
