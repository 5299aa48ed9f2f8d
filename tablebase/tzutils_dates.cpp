// Date settings and the conversion between date pictures and the internal
// "MM/dd/yy(yy)" form.
#include <string_view>

#include "platform/codepage.h"
#include "platform/psys.h"
#include "tablebase/tzutils.h"

namespace {

DateState& D() { return Engine().dates; }

bool IsBlankOrControl(char c) { return uint8_t(c) <= 32; }

std::string TrimPart(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlankOrControl(s[b])) ++b;
  while (e > b && IsBlankOrControl(s[e - 1])) --e;
  return std::string(s.substr(b, e - b)).substr(0, 4);
}

std::string PadZeros(std::string s, size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

// The year part as the pictures want it: with the century on, a two-digit
// year gets its century and any shorter year leading zeros.
std::string CompleteYear(std::string y) {
  if (!D().CenturyOn) return y;
  if (y.size() == 2) y = CenturyDigits(y) + y;
  return PadZeros(std::move(y), 4);
}

std::string CutAtNul(const std::string& s) { return s.substr(0, s.find('\0')); }

// Splits at the first and second occurrence of sep; missing parts are empty.
void Split3(std::string_view s, char sep, std::string& a, std::string& b, std::string& c) {
  size_t p1 = s.find(sep);
  if (p1 == std::string_view::npos) {
    a = TrimPart(s);
    b.clear();
    c.clear();
    return;
  }
  a = TrimPart(s.substr(0, p1));
  size_t p2 = s.find(sep, p1 + 1);
  if (p2 == std::string_view::npos) {
    b = TrimPart(s.substr(p1 + 1));
    c.clear();
    return;
  }
  b = TrimPart(s.substr(p1 + 1, p2 - p1 - 1));
  c = TrimPart(s.substr(p2 + 1));
}

}  // namespace

uint8_t CountryFromLangID(uint16_t LangID) {
  int primary = LangID & 0x3FF, sub = LangID >> 10;
  switch (primary) {
    case 7: return 5;                   // German
    case 9: return sub == 1 ? 0 : 2;    // English: United States, others
    case 10: return 6;                  // Spanish
    case 12: return sub == 3 ? 7 : 4;   // French: Canadian, others
    case 16: return 3;                  // Italian
    case 25: return 8;                  // Russian
    default: return 0;
  }
}

namespace {

// One separator character in Windows-1250. Unicode spaces (the narrow
// no-break space of many locales) become the no-break space Windows uses.
char SeparatorChar(const std::string& utf8, char fallback) {
  if (utf8.empty()) return fallback;
  std::string b;
  if (plat::Utf8ToWin1250(utf8, b) && b.size() == 1) return b[0];
  static const char* const kSpaces[] = {"\u00A0", "\u2007", "\u2009", "\u202F"};
  for (const char* sp : kSpaces)
    if (utf8 == sp) return char(0xA0);
  return fallback;
}

// A strftime date picture in the window library's letters: "%d.%m.%Y"
// gives "dd.MM.yyyy".
std::string PictureOfStrftime(const std::string& f) {
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%' || i + 1 == f.size()) {
      out += f[i];
      continue;
    }
    char c = f[++i];
    bool unpadded = false;
    if ((c == '-' || c == '_' || c == '0') && i + 1 < f.size()) {
      unpadded = c != '0';
      c = f[++i];
    }
    switch (c) {
      case 'd': out += unpadded ? "d" : "dd"; break;
      case 'e': out += "d"; break;
      case 'm': out += unpadded ? "M" : "MM"; break;
      case 'Y': out += "yyyy"; break;
      case 'y': out += "yy"; break;
      case 'F': out += "yyyy-MM-dd"; break;
      case 'D': out += "MM/dd/yy"; break;
      case '%': out += '%'; break;
      default: break;  // names of days and months have no short form
    }
  }
  return out;
}

}  // namespace

void FormatSettingsStartup() {
  const plat::LocaleFormats l = plat::UserLocaleFormats();
  auto& f = Engine().format;
  f.DecimalSeparator = SeparatorChar(l.DecimalPoint, '.');
  f.ThousandSeparator = SeparatorChar(l.ThousandsSep, f.DecimalSeparator == ',' ? '.' : ',');
  std::string picture = PictureOfStrftime(l.DateFormat);
  if (picture.find_first_of("dMy") == std::string::npos) picture = "MM/dd/yy";
  f.ShortDateFormat = picture;
  size_t sep = picture.find_first_not_of("dMy");
  f.DateSeparator = sep == std::string::npos ? '/' : picture[sep];
}

void DateUnitStartup() {
  auto& d = D();
  d.Country = CountryFromLangID(plat::UserDefaultLangID());
  d.DateFormat = d.Country;
  auto& t = Engine().text;
  if (d.Country >= 3 && d.Country <= 6) {
    t.TzDecimalSep = ',';
    t.TzThousandSep = '.';
  } else if (d.Country == 8) {
    t.TzDecimalSep = '.';
    t.TzThousandSep = ' ';
  } else {
    t.TzDecimalSep = '.';
    t.TzThousandSep = ',';
  }
  d.EpochYear = uint16_t(plat::LocalParts(plat::Now()).year - 70);
}

std::string DatePicture(int Format) {
  std::string y = D().CenturyOn ? "yyyy" : "yy";
  switch (Format) {
    case 0: return "MM/dd/" + y;
    case 1: return y + ".MM.dd";
    case 2: return "dd/MM/" + y;
    case 3: return "dd-MM-" + y;
    case 4: case 5: case 6: case 7: case 8: return "dd.MM." + y;
    default: return DatePicture(0);
  }
}

void SetDateFormat(int N) {
  if (N < 0 || N >= 9) N = 0;
  D().DateFormat = uint8_t(N);
  auto& f = Engine().format;
  f.ShortDateFormat = DatePicture(N);
  f.DateSeparator = DatePictureSeparator(N);
}

void SetCentury() {
  D().CenturyOn = true;
  SetDateFormat(D().DateFormat);
}

int CenturyOf(const std::string& YY) {
  int yy = 0;
  for (char c : YY) {
    if (c < '0' || c > '9') return 0;
    yy = yy * 10 + (c - '0');
  }
  if (YY.empty()) return 0;
  int epoch = D().EpochYear;
  int base = epoch / 100 * 100;
  return epoch % 100 > yy ? base + 100 + yy : base + yy;
}

std::string CenturyDigits(const std::string& YY) {
  return PadZeros(std::to_string(CenturyOf(YY) / 100), 2).substr(0, 2);
}

std::string BlankDate(int Format) {
  std::string yb(D().CenturyOn ? 4 : 2, ' ');
  switch (Format) {
    case 1: return yb + ".  .  ";
    case 3: return "  -  -" + yb;
    case 4: case 5: case 6: case 7: case 8: return "  .  ." + yb;
    default: return "  /  /" + yb;
  }
}

void DateToMDY(std::string& S) {
  char sep;
  if (S.find('/') != std::string::npos) sep = '/';
  else if (S.find('-') != std::string::npos) sep = '-';
  else if (S.find('.') != std::string::npos) sep = '.';
  else return;
  std::string p1, p2, p3;
  Split3(CutAtNul(S), sep, p1, p2, p3);
  if (p1.empty() && p2.empty() && p3.empty()) {
    S = BlankDate(0);
    return;
  }
  p1 = PadZeros(p1, 2);
  p2 = PadZeros(p2, 2);
  p3 = PadZeros(p3, 2);
  std::string m, d, y;
  switch (D().DateFormat) {
    case 0: m = p1, d = p2, y = p3; break;
    case 1: y = p1, m = p2, d = p3; break;
    default: d = p1, m = p2, y = p3; break;
  }
  S = m + "/" + d + "/" + CompleteYear(y);
}

void MDYToDate(std::string& S) {
  std::string m, d, y;
  Split3(CutAtNul(S), '/', m, d, y);
  int f = D().DateFormat;
  if (m.empty() && d.empty() && y.empty()) {
    S = BlankDate(f);
    return;
  }
  m = PadZeros(m, 2);
  d = PadZeros(d, 2);
  y = CompleteYear(PadZeros(y, 2));
  switch (f) {
    case 0: S = m + "/" + d + "/" + y; break;
    case 1: S = y + "." + m + "." + d; break;
    case 2: S = d + "/" + m + "/" + y; break;
    case 3: S = d + "-" + m + "-" + y; break;
    default: S = d + "." + m + "." + y; break;
  }
}
