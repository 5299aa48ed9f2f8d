// Conversion between the record buffer (the stored bytes) and the caller's
// typed record buffer.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "tablebase/fieldnumber.h"
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

// The 32-bit integer of a typed slot, right-aligned in `width`.
void PutInteger(char* dst, size_t width, const char* slot) {
  int32_t v;
  std::memcpy(&v, slot, sizeof v);
  char text[12];
  PutRightAligned(dst, width, std::string_view(text, size_t(std::to_chars(text, text + sizeof text, v).ptr - text)));
}

// YYYYMMDD -> the current picture, written at `out` (10 bytes of room);
// returns its length. Every date field of every record read passes here.
size_t StoredToPicture(const char* p, char* out) {
  const DateState& ds = Engine().dates;
  const char sep = DatePictureSeparator(ds.DateFormat);
  const bool yearFirst = ds.DateFormat == 1, monthFirst = ds.DateFormat == 0;
  char* o = out;
  const auto two = [&](const char* part) {
    std::memcpy(o, part, 2);
    o += 2;
  };
  const auto year = [&] {
    if (ds.CenturyOn) {
      std::memcpy(o, p, 4);
      o += 4;
    } else {
      two(p + 2);
    }
  };
  if (yearFirst) {
    year(), *o++ = sep, two(p + 4), *o++ = sep, two(p + 6);
  } else {
    two(monthFirst ? p + 4 : p + 6), *o++ = sep, two(monthFirst ? p + 6 : p + 4), *o++ = sep, year();
  }
  return size_t(o - out);
}

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

// A blank or a NUL: nothing else has no bit but 0x20.
bool IsBlank(char c) { return (uint8_t(c) & 0xDF) == 0; }

size_t SkipBlanks(const char* p, size_t i, size_t n) {
  while (i < n && IsBlank(p[i])) ++i;
  return i;
}

// The digits from `i` added to `v`; returns where they end.
size_t ReadDigits(const char* p, size_t i, size_t n, uint64_t& v) {
  uint64_t sum = v;  // not through the reference at every digit: a char may alias it
  for (; i < n; ++i) {
    const unsigned d = unsigned(uint8_t(p[i])) - '0';
    if (d > 9) break;
    sum = sum * 10 + d;
  }
  v = sum;
  return i;
}

bool ReadPlainNumber(const char* p, size_t n, PlainNumber& out) {
  size_t i = SkipBlanks(p, 0, n);
  if (i < n && (p[i] == '-' || p[i] == '+')) out.Negative = p[i++] == '-';
  const size_t first = i;
  i = ReadDigits(p, i, n, out.Digits);
  size_t digits = i - first;
  if (digits == 0) return false;
  if (i < n && p[i] == '.') {
    const size_t point = ++i;
    i = ReadDigits(p, i, n, out.Digits);
    out.Fraction = i - point;
    if (out.Fraction == 0) return false;
    digits += out.Fraction;
  }
  return digits <= 15 && SkipBlanks(p, i, n) == n;
}

// `aligned`: ReadAlignedNumber may read the field.
double FieldFloat(const char* p, size_t n, size_t dec, bool aligned) {
  PlainNumber x;
  if (!(aligned && ReadAlignedNumber(p, n, dec, true, x)) && !ReadPlainNumber(p, n, x))
    return ParseFloat(Trimmed(p, n));
  return x.Value();
}

int32_t FieldInt(const char* p, size_t n, bool aligned) {
  PlainNumber x;
  // Nine digits always fit; longer texts may not.
  if ((!(aligned && ReadAlignedNumber(p, n, 0, true, x)) && !ReadPlainNumber(p, n, x)) || x.Fraction != 0 ||
      x.Digits > 999999999)
    return ParseInt(Trimmed(p, n));
  return x.Negative ? -int32_t(x.Digits) : int32_t(x.Digits);
}

bool IsBlankDateText(const std::string& s) {
  static const char* kBlank[] = {"",         "        ",   "          ", "  /  /  ",  "  -  -  ",
                                 "  .  .  ", "  /  /    ", "  -  -    ", "  .  .    "};
  for (const char* b : kBlank)
    if (s == b) return true;
  return false;
}

// A four-digit-year picture text with digits and the picture's own
// separators where they belong, a year from 1 and a day the month has: its
// YYYYMMDD, the bytes the general way below gives it, at `out`. False for
// every other text, which the general way takes.
bool PlainPictureToStored(const char* s, size_t n, char* out) {
  const DateState& ds = Engine().dates;
  if (!ds.CenturyOn || n != 10) return false;
  size_t y = 6, m = 3, d = 0;  // day first
  if (ds.DateFormat == 0) m = 0, d = 3;
  if (ds.DateFormat == 1) y = 0, m = 5, d = 8;
  const char sep = DatePictureSeparator(ds.DateFormat);
  const size_t sep1 = ds.DateFormat == 1 ? 4 : 2, sep2 = ds.DateFormat == 1 ? 7 : 5;
  if (s[sep1] != sep || s[sep2] != sep) return false;
  for (size_t i = 0; i < n; ++i)
    if (i != sep1 && i != sep2 && (s[i] < '0' || s[i] > '9')) return false;
  const auto two = [&](size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); };
  const int month = two(m), day = two(d), year = two(y) * 100 + two(y + 2);
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  if (day > DaysInMonth(year, month)) return false;
  std::memcpy(out, s + y, 4);
  std::memcpy(out + 4, s + m, 2);
  std::memcpy(out + 6, s + d, 2);
  return true;
}

// The picture text -> YYYYMMDD; 8 blanks for a blank or unusable date.
std::string PictureToStored(std::string s) {
  const DateState& ds = Engine().dates;
  if (IsBlankDateText(s)) return std::string(8, ' ');
  // The date check's own text: stored as typed, "1 .02.2024" would give
  // "2024021 ", which reads as no date here and as a date elsewhere, and an
  // unchecked "20240231" would make outside readers refuse the whole table.
  if (!CheckDate(s) || IsBlankDateText(s)) return std::string(8, ' ');
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
  // No reader takes a year 0 for a date.
  if (y == "0000") return std::string(8, ' ');
  return y.substr(0, 4) + m + d;
}

}  // namespace

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

namespace {

// The run of UnpackRuns that a slot kind belongs to.
size_t UnpackRun(char kind) {
  switch (kind) {
    case 'C': return 0;
    case 'f': return 1;
    case 'i':
    case 'M': return 2;
    case 'D': return 3;
    default: return 4;
  }
}

}  // namespace

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
      const bool aligned = AlignedNumberFits(f.Pos, f.Len);
      a.Unpacking.push_back({f.Pos, uint16_t(off), f.Len, kind, uint8_t(i), kind == 'f' ? f.Dec : uint8_t(0), aligned});
    }
    off += size;
  }
  std::stable_sort(a.Unpacking.begin(), a.Unpacking.end(),
                   [](const WorkArea::SlotFill& x, const WorkArea::SlotFill& y) { return UnpackRun(x.Kind) < UnpackRun(y.Kind); });
  a.UnpackRuns.fill(0);
  for (const WorkArea::SlotFill& f : a.Unpacking) ++a.UnpackRuns[UnpackRun(f.Kind)];
  for (size_t k = 1; k < a.UnpackRuns.size(); ++k) a.UnpackRuns[k] = uint16_t(a.UnpackRuns[k] + a.UnpackRuns[k - 1]);
  return off > 0xFFFF ? 0 : off;
}

namespace {

// One field's slot from the record, by kind.
inline void UnpackText(const WorkArea::SlotFill& f, const char* rec, char* typed) {
  typed[f.Slot] = char(f.Len);
  CopyText(typed + f.Slot + 1, rec + f.Pos, f.Len);
}
inline void UnpackFloat(const WorkArea::SlotFill& f, const char* rec, char* typed) {
  const double v = FieldFloat(rec + f.Pos, f.Len, f.Dec, f.Aligned);
  std::memcpy(typed + f.Slot, &v, sizeof v);
}
inline void UnpackInt(const WorkArea::SlotFill& f, const char* rec, char* typed) {
  const int32_t v = FieldInt(rec + f.Pos, f.Len, f.Aligned);
  std::memcpy(typed + f.Slot, &v, sizeof v);
}
inline void UnpackDate(const WorkArea::SlotFill& f, const char* rec, char* typed) {
  char* slot = typed + f.Slot;
  slot[0] = char(f.Len >= 8 ? StoredToPicture(rec + f.Pos, slot + 1) : 0);
}
inline void UnpackLogical(const WorkArea::SlotFill& f, const char* rec, char* typed) {
  const char c = f.Len > 0 ? rec[f.Pos] : ' ';
  typed[f.Slot] = c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

inline void UnpackSlot(const WorkArea::SlotFill& f, const char* rec, char* typed) {
  switch (UnpackRun(f.Kind)) {
    case 0: UnpackText(f, rec, typed); break;
    case 1: UnpackFloat(f, rec, typed); break;
    case 2: UnpackInt(f, rec, typed); break;
    case 3: UnpackDate(f, rec, typed); break;
    default: UnpackLogical(f, rec, typed); break;
  }
}

// The bytes of a slot that hold its value: a text's end at its length byte
// (what stands after it is left over from an earlier, longer text).
size_t ValueBytes(const WorkArea::SlotFill& f, const char* slot) {
  switch (f.Kind) {
    case 'C': return std::min<size_t>(size_t(f.Len) + 1, 1 + uint8_t(slot[0]));
    case 'D': return std::min<size_t>(11, 1 + uint8_t(slot[0]));
    case 'f': return 8;
    case 'L': return 1;
    default: return 4;
  }
}

// Whether the text is a number to some reader: blanks, a sign, digits
// with a point or comma and an exponent, blanks. What the typed form
// cannot hold ("1.5" in a field without decimals, a value beyond 32 bits)
// is still one.
bool IsNumberText(const char* p, size_t n) {
  size_t i = SkipBlanks(p, 0, n);
  if (i < n && (p[i] == '-' || p[i] == '+')) ++i;
  uint64_t ignored = 0;
  const size_t first = i;
  i = ReadDigits(p, i, n, ignored);
  size_t digits = i - first;
  if (i < n && (p[i] == '.' || p[i] == ',')) {
    const size_t point = ++i;
    i = ReadDigits(p, i, n, ignored);
    digits += i - point;
  }
  if (digits == 0) return false;
  if (i < n && (p[i] == 'e' || p[i] == 'E')) {
    if (++i < n && (p[i] == '-' || p[i] == '+')) ++i;
    const size_t exp = i;
    i = ReadDigits(p, i, n, ignored);
    if (i == exp) return false;
  }
  return SkipBlanks(p, i, n) == n;
}

// Whether the stored field holds a value of its type. Only a zero or false
// slot can stand for stored bytes that hold none (stars, letters, a blank
// number, "?"), since those unpack to it: every other slot answers at once.
bool StoredIsValue(const WorkArea::SlotFill& f, const char* rec, const char* slot) {
  switch (f.Kind) {
    case 'f': {
      double v;
      std::memcpy(&v, slot, sizeof v);
      return v != 0 || IsNumberText(rec + f.Pos, f.Len);
    }
    case 'i': {
      int32_t v;
      std::memcpy(&v, slot, sizeof v);
      return v != 0 || IsNumberText(rec + f.Pos, f.Len);
    }
    case 'L': {
      if (slot[0] || f.Len == 0) return true;
      const char c = rec[f.Pos];
      return c == 'F' || c == 'f' || c == 'N' || c == 'n';
    }
    default: return true;
  }
}

}  // namespace

void UnpackRecord(WorkArea& a, char* typed) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  typed[0] = a.Rec[0] == '*' ? 1 : 0;
  const WorkArea::SlotFill* f = a.Unpacking.data();
  const char* rec = a.Rec;
  const auto& end = a.UnpackRuns;
  size_t i = 0;
  for (; i < end[0]; ++i) UnpackText(f[i], rec, typed);
  for (; i < end[1]; ++i) UnpackFloat(f[i], rec, typed);
  for (; i < end[2]; ++i) UnpackInt(f[i], rec, typed);
  for (; i < end[3]; ++i) UnpackDate(f[i], rec, typed);
  for (; i < end[4]; ++i) UnpackLogical(f[i], rec, typed);
}

void UnpackFields(WorkArea& a, char* typed, const std::bitset<256>& which) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  typed[0] = a.Rec[0] == '*' ? 1 : 0;
  for (const WorkArea::SlotFill& f : a.Unpacking)
    if (which.test(f.Field)) UnpackSlot(f, a.Rec, typed);
}

std::bitset<256> ChangedFields(WorkArea& a, const char* typed, char* scratch, char* packed) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  std::bitset<256> changed;
  for (const WorkArea::SlotFill& f : a.Unpacking) {
    UnpackSlot(f, a.Rec, scratch);
    if (std::memcmp(typed + f.Slot, scratch + f.Slot, ValueBytes(f, typed + f.Slot)) == 0) continue;
    // A value that packs to the bytes read is the value read, however it
    // was assigned (a text without its trailing blanks, say).
    PackField(a, f.Field, typed, packed);
    if (std::memcmp(packed + f.Pos, a.Rec + f.Pos, f.Len) != 0) changed.set(f.Field);
  }
  return changed;
}

std::bitset<256> NoValueFields(WorkArea& a, const char* typed, const char* read, const char* now) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  std::bitset<256> none;
  for (const WorkArea::SlotFill& f : a.Unpacking)
    if (!StoredIsValue(f, read, typed + f.Slot) && std::memcmp(read + f.Pos, now + f.Pos, f.Len) == 0)
      none.set(f.Field);
  return none;
}

int32_t StoredMemoRef(const WorkArea& a, size_t i, const char* rec) {
  const FieldEntry& f = a.Fields[i];
  return f.Type == 'M' && size_t(f.Pos) + f.Len <= a.RecLen ? FieldInt(rec + f.Pos, f.Len, false) : 0;
}

void PackField(WorkArea& a, size_t i, const char* typed, char* rec) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  const FieldEntry& f = a.Fields[i];
  const char* slot = typed + a.TypedOffsets[i];
  char* dst = (rec ? rec : a.Rec) + f.Pos;
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
      char stored[8];
      if (!PlainPictureToStored(slot + 1, n, stored)) std::memcpy(stored, PictureToStored(std::string(slot + 1, n)).data(), 8);
      size_t w = std::min<size_t>(f.Len, 8);
      std::memcpy(dst, stored, w);
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
        PutInteger(dst, f.Len, slot);
      }
      break;
    case 'L':
      if (f.Len > 0) {
        dst[0] = slot[0] ? 'T' : 'F';
        std::memset(dst + 1, ' ', f.Len - 1);
      }
      break;
    case 'M': PutInteger(dst, f.Len, slot); break;
    default: break;
  }
}

void PackRecord(WorkArea& a, const char* typed) {
  if (a.TypedOffsets.size() != a.Fields.size()) LayoutTypedRecord(a);
  a.Rec[0] = typed[0] ? '*' : ' ';
  for (size_t i = 0; i < a.Fields.size(); ++i) PackField(a, i, typed);
}
