// Conversion between the record buffer (the stored bytes) and the caller's
// typed record buffer.
#include <charconv>
#include <cmath>
#include <cstring>

#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace {

bool HasFloatSlot(const FieldEntry& f) { return (f.Type == 'N' || f.Type == 'F') && f.Dec > 0; }

// A view, not a copy: every numeric field of every record read passes here.
std::string_view Trimmed(const char* p, size_t n) {
  size_t b = 0, e = n;
  while (b < e && (p[b] == ' ' || p[b] == '\0')) ++b;
  while (e > b && (p[e - 1] == ' ' || p[e - 1] == '\0')) --e;
  return std::string_view(p + b, e - b);
}

// A whole number text; 0 when the text is not one or does not fit.
int32_t ParseInt(std::string_view s) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  int32_t v = 0;
  auto r = std::from_chars(b, e, v);
  return (r.ec == std::errc() && r.ptr == e) ? v : 0;
}

double ParseFloat(std::string_view s) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  double v = 0;
  auto r = std::from_chars(b, e, v, std::chars_format::general);
  return (r.ec == std::errc() && r.ptr == e) ? v : 0.0;
}

// `text` right-aligned in `width`, or "*" x width when it does not fit.
void PutRightAligned(char* dst, size_t width, std::string_view text) {
  if (text.size() > width) {
    std::memset(dst, '*', width);
    return;
  }
  std::memset(dst, ' ', width - text.size());
  std::memcpy(dst + width - text.size(), text.data(), text.size());
}

// YYYYMMDD -> the current picture, written at `out` (10 bytes of room);
// returns its length. Every date field of every record read passes here.
size_t StoredToPicture(const char* p, char* out) {
  const DateState& ds = Engine().dates;
  const char* y = ds.CenturyOn ? p : p + 2;
  const size_t yl = ds.CenturyOn ? 4 : 2;
  const char *m = p + 4, *d = p + 6;
  size_t n = 0;
  auto put = [&](const char* part, size_t len) {
    std::memcpy(out + n, part, len);
    n += len;
  };
  auto sep = [&](char c) { out[n++] = c; };
  switch (ds.DateFormat) {
    case 0: put(m, 2), sep('/'), put(d, 2), sep('/'), put(y, yl); break;
    case 1: put(y, yl), sep('.'), put(m, 2), sep('.'), put(d, 2); break;
    case 3: put(d, 2), sep('-'), put(m, 2), sep('-'), put(y, yl); break;
    case 4:
    case 5:
    case 6:
    case 7:
    case 8: put(d, 2), sep('.'), put(m, 2), sep('.'), put(y, yl); break;
    default: put(d, 2), sep('/'), put(m, 2), sep('/'), put(y, yl); break;
  }
  return n;
}

// Up to 15 digits the text's value and its power of ten are exact doubles,
// so one division rounds as the general parse does.
constexpr double kPow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// A field's text into its slot. Texts are short: an inline copy by
// words, where the compiler's inline copy of a length it does not know
// starts slowly.
void CopyText(char* dst, const char* src, size_t n) {
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) std::memcpy(dst + i, src + i, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
    return;
  }
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
}

bool IsBlank(char c) { return c == ' ' || c == '\0'; }

size_t SkipBlanks(const char* p, size_t i, size_t n) {
  while (i < n && IsBlank(p[i])) ++i;
  return i;
}

// The digits from `i` added to `m`; returns where they end.
size_t ReadDigits(const char* p, size_t i, size_t n, uint64_t& m) {
  for (; i < n; ++i) {
    const unsigned d = unsigned(uint8_t(p[i])) - '0';
    if (d > 9) break;
    m = m * 10 + d;
  }
  return i;
}

// PlainFieldNumber's reading: the digits as one integer, the number of
// them after the point, and the sign.
bool PlainDigits(const char* p, size_t n, uint64_t& m, size_t& fraction, bool& negative) {
  size_t i = SkipBlanks(p, 0, n);
  negative = false;
  if (i < n && (p[i] == '-' || p[i] == '+')) negative = p[i++] == '-';
  m = 0;
  fraction = 0;
  const size_t first = i;
  i = ReadDigits(p, i, n, m);
  size_t digits = i - first;
  if (digits == 0) return false;
  if (i < n && p[i] == '.') {
    const size_t point = ++i;
    i = ReadDigits(p, i, n, m);
    fraction = i - point;
    if (fraction == 0) return false;
    digits += fraction;
  }
  return digits <= 15 && SkipBlanks(p, i, n) == n;
}

double FieldFloat(const char* p, size_t n) {
  double v;
  return PlainFieldNumber(p, n, v) ? v : ParseFloat(Trimmed(p, n));
}

int32_t FieldInt(const char* p, size_t n) {
  uint64_t m;
  size_t fraction;
  bool negative;
  // Nine digits always fit; longer texts may not.
  if (!PlainDigits(p, n, m, fraction, negative) || fraction != 0 || m > 999999999) return ParseInt(Trimmed(p, n));
  return negative ? -int32_t(m) : int32_t(m);
}

bool IsBlankDateText(const std::string& s) {
  static const char* kBlank[] = {"",         "        ",   "          ", "  /  /  ",  "  -  -  ",
                                 "  .  .  ", "  /  /    ", "  -  -    ", "  .  .    "};
  for (const char* b : kBlank)
    if (s == b) return true;
  return false;
}

// The picture text -> YYYYMMDD; 8 blanks for a blank or unusable date.
std::string PictureToStored(std::string s) {
  const DateState& ds = Engine().dates;
  if (IsBlankDateText(s)) return std::string(8, ' ');
  size_t pictureLen = ds.CenturyOn ? 10 : 8;
  if (s.size() != pictureLen) {
    if (!CheckDate(s) || IsBlankDateText(s)) return std::string(8, ' ');
  } else if (std::string probe = s; !CheckDate(probe)) {
    // Stored unchecked ("20240231") it would make outside readers refuse
    // the whole table.
    return std::string(8, ' ');
  }
  if (s.size() < 8) return std::string(8, ' ');
  std::string y, m, d;
  size_t n = s.size();
  switch (ds.DateFormat) {
    case 0:
      m = s.substr(0, 2);
      d = s.substr(3, 2);
      y = s.substr(6);
      break;
    case 1:
      y = s.substr(0, n - 6);
      m = s.substr(n - 5, 2);
      d = s.substr(n - 2, 2);
      break;
    default:
      d = s.substr(0, 2);
      m = s.substr(3, 2);
      y = s.substr(6);
      break;
  }
  if (y.size() == 2) {
    int full = CenturyOf(y);
    y = full > 0 ? ZeroPad4(full) : "  " + y;
  }
  while (y.size() < 4) y = "0" + y;
  return y.substr(0, 4) + m + d;
}

}  // namespace

bool PlainFieldNumber(const char* p, size_t n, double& v) {
  uint64_t m;
  size_t fraction;
  bool negative;
  if (!PlainDigits(p, n, m, fraction, negative)) return false;
  v = double(m) / kPow10[fraction];
  if (negative) v = -v;
  return true;
}

uint16_t TypedFieldSize(const FieldEntry& f) {
  switch (f.Type) {
    case 'C': return uint16_t(f.Len + 1);
    case 'D': return 11;
    case 'N':
    case 'F': return HasFloatSlot(f) ? 8 : 4;
    case 'L': return 1;
    case 'M': return 4;
    default: return 0;
  }
}

uint32_t LayoutTypedRecord(WorkArea& a) {
  a.TypedOffsets.resize(a.Fields.size());
  a.Unpacking.clear();
  uint32_t off = 1;
  for (size_t i = 0; i < a.Fields.size(); ++i) {
    const FieldEntry& f = a.Fields[i];
    a.TypedOffsets[i] = uint16_t(off);
    const uint16_t size = TypedFieldSize(f);
    // Open refuses layouts that do not hold their fields; never read past
    // the record all the same.
    if (size != 0 && size_t(f.Pos) + f.Len <= a.RecLen) {
      char kind = f.Type == 'N' || f.Type == 'F' ? (HasFloatSlot(f) ? 'f' : 'i') : f.Type;
      a.Unpacking.push_back({f.Pos, uint16_t(off), f.Len, kind});
    }
    off += size;
  }
  return off > 0xFFFF ? 0 : off;
}

void UnpackRecord(WorkArea& a, char* typed) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  typed[0] = a.Rec[0] == '*' ? 1 : 0;
  for (const WorkArea::SlotFill& f : a.Unpacking) {
    char* slot = typed + f.Slot;
    const char* src = a.Rec + f.Pos;
    switch (f.Kind) {
      case 'C':
        slot[0] = char(f.Len);
        CopyText(slot + 1, src, f.Len);
        break;
      case 'D': slot[0] = char(f.Len >= 8 ? StoredToPicture(src, slot + 1) : 0); break;
      case 'f': {
        double v = FieldFloat(src, f.Len);
        std::memcpy(slot, &v, sizeof v);
        break;
      }
      case 'i':
      case 'M': {
        int32_t v = FieldInt(src, f.Len);
        std::memcpy(slot, &v, sizeof v);
        break;
      }
      case 'L': {
        const char c = f.Len > 0 ? src[0] : ' ';
        slot[0] = c == 'T' || c == 't' || c == 'Y' || c == 'y';
        break;
      }
      default: break;
    }
  }
}

void PackField(WorkArea& a, size_t i, const char* typed) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  const FieldEntry& f = a.Fields[i];
  const char* slot = typed + a.TypedOffsets[i];
  char* dst = a.Rec + f.Pos;
  if (size_t(f.Pos) + f.Len > a.RecLen) return;
  switch (f.Type) {
    case 'C': {
      size_t n = std::min<size_t>(uint8_t(slot[0]), f.Len);
      std::memcpy(dst, slot + 1, n);
      std::memset(dst + n, ' ', f.Len - n);
      break;
    }
    case 'D': {
      size_t n = std::min<size_t>(uint8_t(slot[0]), 10);
      std::string stored = PictureToStored(std::string(slot + 1, n));
      size_t w = std::min<size_t>(f.Len, 8);
      std::memcpy(dst, stored.data(), w);
      std::memset(dst + w, ' ', f.Len - w);
      break;
    }
    case 'N':
    case 'F':
      if (HasFloatSlot(f)) {
        double v;
        std::memcpy(&v, slot, sizeof v);
        char text[kNumberTextMax];
        if (std::isfinite(v))
          PutRightAligned(dst, f.Len, std::string_view(text, FormatNumberTo(v, f.Dec, text)));
        else
          std::memset(dst, '*', f.Len);  // no number fits a field
      } else {
        int32_t v;
        std::memcpy(&v, slot, sizeof v);
        PutRightAligned(dst, f.Len, IntText(v));
      }
      break;
    case 'L':
      if (f.Len > 0) {
        dst[0] = slot[0] ? 'T' : 'F';
        std::memset(dst + 1, ' ', f.Len - 1);
      }
      break;
    case 'M': {
      int32_t v;
      std::memcpy(&v, slot, sizeof v);
      PutRightAligned(dst, f.Len, IntText(v));
      break;
    }
    default: break;
  }
}

void PackRecord(WorkArea& a, const char* typed) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  a.Rec[0] = typed[0] ? '*' : ' ';
  for (size_t i = 0; i < a.Fields.size(); ++i) PackField(a, i, typed);
}
