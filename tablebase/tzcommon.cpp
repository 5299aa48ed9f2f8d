#include "tablebase/tzcommon.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "platform/codepage.h"
#include "platform/pfs.h"

namespace {

TextState& T() { return Engine().text; }

bool IsBlank(char c) { return uint8_t(c) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSep(char c) { return c == '/' || c == '\\'; }

// Position (0-based) of the separator that ends the directory part, or npos.
size_t DirEnd(std::string_view p) {
  for (size_t i = p.size(); i > 0; --i)
    if (IsSep(p[i - 1])) return i - 1;
  return std::string_view::npos;
}

}  // namespace

// ---- Texts ------------------------------------------------------------------

std::string RTrim(std::string_view S) {
  size_t e = S.size();
  while (e > 0 && IsBlank(S[e - 1])) --e;
  return std::string(S.substr(0, e));
}

std::string LTrim(std::string_view S) {
  size_t b = 0;
  while (b < S.size() && IsBlank(S[b])) ++b;
  return std::string(S.substr(b));
}

std::string AllTrim(std::string_view S) { return LTrim(RTrim(S)); }

std::string Upper(std::string_view S) {
  std::string d(S);
  for (auto& c : d) c = plat::Upper1250(c);
  return d;
}

std::string Lower(std::string_view S) {
  std::string d(S);
  for (auto& c : d) c = plat::Lower1250(c);
  return d;
}

char UpperChar(char C) { return plat::Upper1250(C); }
char LowerChar(char C) { return plat::Lower1250(C); }
bool IsAlpha(std::string_view S) { return !S.empty() && plat::IsAlpha1250(S[0]); }
std::string AnsiToOem(std::string_view S) { return plat::AnsiToOem(S); }
std::string OemToAnsi(std::string_view S) { return plat::OemToAnsi(S); }
std::string Space(int N) { return N < 1 ? std::string() : std::string(size_t(N), ' '); }
std::string Replicate(char C, int N) { return N < 1 ? std::string() : std::string(size_t(N), C); }

std::string PadR(std::string_view S, int N) {
  std::string d(S);
  if (N > 0 && d.size() < size_t(N)) d.resize(size_t(N), ' ');
  return d;
}

int Occurs(std::string_view Sub, std::string_view S) {
  if (Sub.empty() || S.empty()) return 0;
  if (Sub.size() == 1) return int(std::count(S.begin(), S.end(), Sub[0]));
  int n = 0;
  for (size_t p = S.find(Sub); p != std::string_view::npos; p = S.find(Sub, p + Sub.size())) ++n;
  return n;
}

int At(int N, std::string_view Sub, std::string_view S) {
  if (S.empty() || Sub.empty() || N == 0) return 0;
  if (N < 0) {
    // Counted from the right: search the reversed texts, answer from the left.
    std::string rs(S.rbegin(), S.rend()), rsub(Sub.rbegin(), Sub.rend());
    int p = At(-N, rsub, rs);
    return p == 0 ? 0 : int(S.size()) - p - int(Sub.size()) + 2;
  }
  size_t from = 0;
  for (int k = 1;; ++k) {
    size_t p = S.find(Sub, from);
    if (p == std::string_view::npos) return 0;
    if (k == N) return int(p) + 1;
    from = p + 1;  // occurrences may overlap
  }
}

int RAt(std::string_view Sub, std::string_view S) {
  if (Sub.empty() || S.empty()) return 0;
  size_t p = S.rfind(Sub);
  return p == std::string_view::npos ? 0 : int(p) + 1;
}

std::string StrBefore(std::string_view Sub, std::string_view S) {
  if (Sub.empty()) return "";
  size_t p = S.find(Sub);
  return p == std::string_view::npos ? std::string() : std::string(S.substr(0, p));
}

std::string StrBetween(std::string_view Open, std::string_view Close, std::string_view S) {
  if (Open.empty() || Close.empty()) return "";
  size_t o = S.find(Open);
  size_t c = S.rfind(Close);
  if (o == std::string_view::npos || c == std::string_view::npos) return "";
  size_t start = o + Open.size();
  if (c < start) return "";
  return std::string(S.substr(start, c - start));
}

// ---- Numbers ----------------------------------------------------------------

std::string IntText(int64_t N) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, N);
  return std::string(buf, r.ptr);
}

std::string StrInt(int64_t N, int Width) {
  std::string s = IntText(N);
  if (Width > 0 && s.size() < size_t(Width)) s.insert(0, size_t(Width) - s.size(), ' ');
  return s;
}

namespace {

// True when the exact binary value lies halfway between two numbers of
// `decimals` decimals: Value * 2 * 10^decimals is an odd whole number. With
// Value = m * 2^e (m odd) that product is m * 5^decimals * 2^(e + 1 +
// decimals), odd exactly when e = -(decimals + 1).
bool IsHalfway(double magnitude, int decimals) {
  if (magnitude == 0) return false;
  int exp = 0;
  const double fraction = std::frexp(magnitude, &exp);
  const auto mantissa = uint64_t(std::ldexp(fraction, 53));
  return exp - 53 + std::countr_zero(mantissa) == -(decimals + 1);
}

}  // namespace

size_t FormatNumberGeneralTo(double Value, int Decimals, char* Out) {
  const int decimals = std::clamp(Decimals, 0, 255);
  if (std::isnan(Value)) Value = 0;
  if (std::isinf(Value)) Value = Value > 0 ? DBL_MAX : -DBL_MAX;
  const double magnitude = std::fabs(Value);
  // Out[0] keeps room for the sign and Out[1] for a digit carried out of a
  // rounded-up halfway value.
  char* const digits = Out + 2;
  char* const end = Out + kNumberTextMax;
  // to_chars rounds the exact value correctly but sends halves to even;
  // the sibling programs send them away from zero. A halfway value is
  // written exactly, with its last digit 5, and rounded up by hand.
  const bool halfway = IsHalfway(magnitude, decimals);
  char* last = std::to_chars(digits, end, magnitude, std::chars_format::fixed, decimals + (halfway ? 1 : 0)).ptr;
  char* first = digits;
  if (halfway) {
    --last;  // the 5
    if (decimals == 0) --last;  // and the point before it
    char* p = last;
    while (p != digits && (p[-1] == '9' || p[-1] == '.')) {
      --p;
      if (*p == '9') *p = '0';
    }
    if (p == digits)
      *--first = '1';
    else
      ++p[-1];
  }
  // No sign on a value that comes out as zero ("0.00", never "-0.00").
  if (Value < 0 && std::any_of(first, last, [](char c) { return c >= '1' && c <= '9'; })) *--first = '-';
  const size_t len = size_t(last - first);
  std::memmove(Out, first, len);
  return len;
}

namespace {

// 5^0 .. 5^27: with a 53-bit mantissa every product stays below 2^117.
constexpr int kFastDecimals = 27;
constexpr auto kPow5 = [] {
  std::array<uint64_t, kFastDecimals + 1> p{};
  p[0] = 1;
  for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 5;
  return p;
}();

}  // namespace

// With |v| = m * 2^e the product |v| * 10^d is m * 5^d * 2^(e + d): one
// 128-bit multiplication and a shift.
bool ScaledRounded(double v, int decimals, uint64_t& out) {
  if (decimals < 0 || decimals > kFastDecimals) return false;
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const int field = int((bits >> 52) & 0x7FF);
  if (field == 0x7FF) return false;
  const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
  const uint64_t mantissa = field == 0 ? fraction : fraction | (uint64_t(1) << 52);
  const int shift = (field == 0 ? -1074 : field - 1075) + decimals;
  const unsigned __int128 product = (unsigned __int128)mantissa * kPow5[size_t(decimals)];
  if (shift >= 0) {
    if (shift >= 64 || (product >> (64 - shift)) != 0) return false;
    out = uint64_t(product << shift);
    return true;
  }
  const int drop = -shift;
  if (drop >= 128) {
    out = 0;  // below half a unit: the product is under 2^117
    return true;
  }
  const unsigned __int128 whole = product >> drop;
  const unsigned __int128 rest = product - (whole << drop);
  const unsigned __int128 half = (unsigned __int128)1 << (drop - 1);
  const unsigned __int128 rounded = whole + (rest >= half ? 1 : 0);
  if ((rounded >> 64) != 0) return false;
  out = uint64_t(rounded);
  return true;
}

size_t FormatNumberTo(double Value, int Decimals, char* Out) {
  const int decimals = std::clamp(Decimals, 0, 255);
  uint64_t scaled;
  if (!ScaledRounded(Value, decimals, scaled)) return FormatNumberGeneralTo(Value, Decimals, Out);
  // The digits from the last, with zeros in front up to one before the
  // point.
  char text[64];
  char* const end = text + sizeof text;
  char* p = end;
  uint64_t rest = scaled;
  for (int i = 0; i < decimals; ++i, rest /= 10) *--p = char('0' + rest % 10);
  if (decimals > 0) *--p = '.';
  do {
    *--p = char('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (Value < 0 && scaled != 0) *--p = '-';
  std::memcpy(Out, p, size_t(end - p));
  return size_t(end - p);
}

std::string FormatNumber(double Value, int Width, int Decimals) {
  char buf[kNumberTextMax];
  std::string s(buf, FormatNumberTo(Value, Decimals, buf));
  if (Width > 0 && s.size() < size_t(Width)) s.insert(0, size_t(Width) - s.size(), ' ');
  return s;
}

std::string StrFloat(int Width, int Decimals, double Value) {
  int dec = std::clamp(Decimals, 0, 30);
  std::string s = FormatNumber(Value, Width, dec);
  if (dec > 0 && T().TzDecimalSep != '.') std::replace(s.begin(), s.end(), '.', T().TzDecimalSep);
  return s.substr(0, 30);
}

int16_t ValInt(std::string_view S) {
  std::string s = LTrim(S);
  if (!s.empty() && s[0] == '+') s = LTrim(std::string_view(s).substr(1));
  char thousands = T().TzDecimalSep != '.' ? '.' : ',';
  s.erase(std::remove(s.begin(), s.end(), thousands), s.end());
  if (auto d = s.find('$'); d != std::string::npos) s.erase(d, 1);
  if (auto b = std::find_if(s.begin(), s.end(), IsBlank); b != s.end()) s.erase(b, s.end());
  auto nd = std::find_if(s.begin(), s.end(), [](char c) { return !T().DigitSet[uint8_t(c)]; });
  s.erase(nd, s.end());
  int32_t v = 0;
  for (char c : s) {
    // The digit set may hold characters other than 0-9; they count as 0.
    v = v * 10 + (IsDigit(c) ? c - '0' : 0);
    if (v > 32767) return 32767;
  }
  return int16_t(v);
}

void CleanNumber(std::string& S) {
  if (S.empty()) return;
  std::string s = S;
  s.erase(std::remove(s.begin(), s.end(), '$'), s.end());
  size_t b = 0;
  while (b < s.size() && (IsBlank(s[b]) || s[b] == '+')) ++b;
  s.erase(0, b);
  const char dsep = T().TzDecimalSep;
  if (!s.empty() && s[0] == '-') {
    size_t k = 1;
    while (k < s.size() && (IsBlank(s[k]) || s[k] == '+' || s[k] == '-')) ++k;
    s.erase(0, k);
    if (s.empty()) {
      S.clear();
      return;
    }
    if (s[0] == dsep) s.insert(0, "0");
    s.insert(0, "-");
  }
  if (dsep != '.') {
    s.erase(std::remove(s.begin(), s.end(), '.'), s.end());
    if (auto p = s.find(dsep); p != std::string::npos) s[p] = '.';
  } else {
    s.erase(std::remove(s.begin(), s.end(), ','), s.end());
  }
  if (!s.empty() && s[0] == '.') s.insert(0, "0");
  if (auto p = std::find_if(s.begin(), s.end(), IsBlank); p != s.end()) s.erase(p, s.end());
  size_t i = 0;
  while (i < s.size() && (IsDigit(s[i]) || s[i] == '.' || (i == 0 && s[i] == '-'))) ++i;
  s.erase(i);
  if (!s.empty() && s.back() == '.') s.pop_back();
  S = s;
}

int32_t ValNumber(std::string_view S) {
  std::string s(S);
  CleanNumber(s);
  // CleanNumber has made the decimal separator ".", whatever the setting.
  if (auto p = s.find('.'); p != std::string::npos) s.erase(p);
  if (s.empty() || s == "-") return 0;
  int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec == std::errc::result_out_of_range) return s[0] == '-' ? INT32_MIN : INT32_MAX;
  if (r.ec != std::errc()) return 0;
  return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

bool RemoveKeyword(std::string_view Keyword, std::string& S) {
  S = Upper(S);
  std::string k = Upper(Keyword);
  if (k.empty()) {
    S = AllTrim(S);
    return false;
  }
  bool removed = false;
  for (int n = 1;;) {
    int p = At(n, k, S);
    if (p == 0) break;
    size_t after = size_t(p - 1) + k.size();
    char c = after < S.size() ? S[after] : '\0';
    // Followed by more of a name or a path: not the keyword. The "/" of our
    // paths counts as the "\" of Windows ones.
    bool partOfWord = after < S.size() && (IsDigit(c) || IsSep(c) || c == '_' || plat::IsAlpha1250(c));
    if (partOfWord) {
      ++n;
    } else {
      S.erase(size_t(p - 1), k.size());
      removed = true;
    }
  }
  S = AllTrim(S);
  return removed;
}

// ---- File names -------------------------------------------------------------

void FSplit(std::string_view Path, std::string& Dir, std::string& Name, std::string& Ext) {
  size_t d = DirEnd(Path);
  size_t nameStart = d == std::string_view::npos ? 0 : d + 1;
  Dir = std::string(Path.substr(0, nameStart));
  std::string_view rest = Path.substr(nameStart);
  size_t dot = rest.rfind('.');
  if (dot == std::string_view::npos) {
    Name = std::string(rest.substr(0, 64));
    Ext.clear();
  } else {
    Name = std::string(rest.substr(0, std::min<size_t>(dot, 64)));
    Ext = std::string(rest.substr(dot, 64));
  }
}

std::string DefaultExtension(std::string_view Name, std::string_view Ext) {
  std::string dir, name, ext;
  FSplit(Name, dir, name, ext);
  if (!ext.empty()) return std::string(Name);
  return dir + RTrim(name) + "." + std::string(Ext);
}

std::string ForceExtension(std::string_view Name, std::string_view Ext) {
  std::string dir, name, ext;
  FSplit(Name, dir, name, ext);
  return dir + name + "." + std::string(Ext.substr(0, 64));
}

std::string StripExtension(std::string_view Name) {
  std::string dir, name, ext;
  FSplit(Name, dir, name, ext);
  return (dir + name).substr(0, 255);
}

std::string FullPath(std::string_view Name) {
  std::string p = plat::NormalizeSeparators(std::string(Name));
  if (p.empty() || p[0] != '/') p = plat::CurrentDirectory() + p;
  bool trailing = p.back() == '/';
  std::vector<std::string> parts;
  size_t i = 1;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string c = p.substr(i, j - i);
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != ".") {
      parts.push_back(std::move(c));
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& c : parts) out += "/" + c;
  if (out.empty() || trailing) out += "/";
  return out.substr(0, 255);
}

std::string ShortPath(std::string_view Name) {
  std::string r = plat::ResolvePath(std::string(Name));
  if (r.empty() || (!plat::IsRegularFile(r) && !plat::IsDirectory(r))) return "";
  return r.substr(0, 260);
}
