// The evaluator: runs a record's postfix code on its work stack. Texts are
// pushed through the record's string work area stack-wise: popping a text
// gives its room back, so a result takes the place of its operands and the
// area sized at compile time is enough for every expression the compiler
// accepts (fields and constants by their length, functions by their
// keyword's contribution).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/codepage.h"
#include "tables/expr/tzndxlow.h"
#include "tables/expr/tzparser_internal.h"
#include "tablebase/dbf4.h"
#include "tablebase/fieldnumber.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

using namespace exprint;

namespace {

constexpr double kDivideByZeroResult = 1e+250;
const char kEmptyText[1] = {'\0'};

// Truncated toward zero and held inside a range where every later integer
// operation is defined (no float-to-integer overflow, no INT64_MIN % -1).
int64_t TruncInt(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  if (v >= kLimit) return int64_t(1) << 62;
  if (v <= -kLimit) return -(int64_t(1) << 62);
  return int64_t(v);
}

// A count or position: truncated, held within +-1e9.
int Count(double v) { return int(std::clamp<int64_t>(TruncInt(v), -1000000000, 1000000000)); }

void DivideByZero() { SetError(358, "Error during evaluation: Divide by 0 [Evaluate/Engine]"); }

// The outcome of a comparison operator given the operands' order c.
bool Compare(int32_t op, int c) {
  switch (op) {
    case kEqN:
    case kEqD: return c == 0;
    case kNeN:
    case kNeD:
    case kNeC: return c != 0;
    case kGtN:
    case kGtD:
    case kGtC: return c > 0;
    case kLtN:
    case kLtD:
    case kLtC: return c < 0;
    case kLeN:
    case kLeD:
    case kLeC: return c <= 0;
    default: return c >= 0;
  }
}

// CTOD of `text` at the node `at` of r's code: each node remembers its last
// conversion, which the same text under the same date settings repeats.
double CtodDay(ExprRecord& r, size_t at, std::string_view text) {
  const auto& dates = Engine().dates;
  ExprRecord::DateMemo& memo = r.DateMemos[at];
  if (memo.Format != dates.DateFormat || memo.Epoch != dates.EpochYear || memo.Text != text) {
    memo.Text.assign(text);
    memo.Format = dates.DateFormat;
    memo.Epoch = dates.EpochYear;
    memo.Julian = DateTextToJulian(text);
  }
  return memo.Julian;
}

class Machine {
 public:
  explicit Machine(ExprRecord& r) : r_(r), pool_(r.Pool.data()) {}

  const void* Run() {
    for (const ExprNode& node : r_.Code) {
      if (node.Op == -1) break;
      Step(node);
    }
    ExprValue& result = r_.Work[0];
    if (r_.ResultType == 'C' || r_.ResultType == 'M') {
      // The final text stands at the start of the area unless it was the
      // empty text of an overflow.
      if (result.S != pool_) pool_[0] = '\0';
      return pool_;
    }
    return &result.N;
  }

 private:
  void PushNumber(double v, int32_t type = kTypeN) {
    ExprValue& w = r_.Work[sp_++];
    w.Type = type;
    w.N = v;
  }
  void PushLogical(bool v) {
    ExprValue& w = r_.Work[sp_++];
    w.Type = kTypeL;
    w.L = v ? 1 : 0;
  }
  // Copies a text into the string work area; when it does not fit, the
  // overflow is reported once per evaluation and the empty text is pushed.
  void PushText(const char* s, size_t len, int32_t type = kTypeC) {
    len = std::min(len, size_t(kMaxText));
    ExprValue& w = r_.Work[sp_++];
    w.Type = type;
    if (top_ + len + 1 > r_.StringSpace) {
      if (!overflowReported_) {
        overflowReported_ = true;
        SetError(354, "Working pool overflow [PARSER/Allocate]");
      }
      w.S = kEmptyText;
      w.Len = 0;
      return;
    }
    char* dst = pool_ + top_;
    std::memcpy(dst, s, len);
    dst[len] = '\0';
    w.S = dst;
    w.Len = uint16_t(len);
    top_ += len + 1;
  }
  void PushText(std::string_view s) { PushText(s.data(), s.size()); }

  double PopNumber() { return r_.Work[--sp_].N; }
  bool PopLogical() { return r_.Work[--sp_].L != 0; }
  // The popped text stays readable until the next push.
  std::string_view PopText() {
    const ExprValue& w = r_.Work[--sp_];
    if (w.S >= pool_ && w.S < pool_ + r_.Pool.size()) top_ = size_t(w.S - pool_);
    return {w.S, w.Len};
  }

  static int CompareText(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
  }

  // e^(y ln x) in extended precision, as the sibling programs compute it,
  // so that keys built from powers match theirs bit for bit.
  double Power(double x, double y) {
    if (x > 0) return double(std::exp((long double)y * std::log((long double)x)));
    if (x == 0) {
      if (y > 0) return 0;
      if (y == 0) return 1;
    } else if (std::isfinite(y) && y == std::trunc(y)) {
      double magnitude = double(std::exp((long double)y * std::log(-(long double)x)));
      return std::fmod(y, 2.0) != 0 ? -magnitude : magnitude;
    } else if (std::isnan(x) || std::isnan(y)) {
      return std::nan("");
    }
    DivideByZero();
    return kDivideByZeroResult;
  }

  void Step(const ExprNode& n) {
    char buf[kMaxText + 1];
    switch (n.Op) {
      case 0:
        switch (n.Type) {
          case kTypeC: PushText(r_.Constants[size_t(n.L)]); break;
          case kTypeL: PushLogical(n.L != 0); break;
          default: PushNumber(n.N, n.Type); break;
        }
        return;
      case kTokFieldC + 0:
      case kTokAliasC + 0: PushText(buf, ReadFieldText(n.Area, n.L, buf)); return;
      case kTokFieldC + 1:
      case kTokAliasC + 1: PushNumber(ReadFieldNumber(n.Area, n.L)); return;
      case kTokFieldC + 2:
      case kTokAliasC + 2: PushLogical(ReadFieldLogical(n.Area, n.L)); return;
      case kTokFieldC + 3:
      case kTokAliasC + 3: PushNumber(ReadFieldDate(n.Area, n.L), kTypeD); return;
      case kTokFieldC + 4:
      case kTokAliasC + 4: PushMemo(ReadFieldMemo(n.Area, n.L)); return;
      case kAddNN:
      case kAddND:
      case kAddDN: {
        double b = PopNumber(), a = PopNumber();
        PushNumber(a + b, n.Type);
        return;
      }
      case kSubNN:
      case kSubDN:
      case kSubDD: {
        double b = PopNumber(), a = PopNumber();
        PushNumber(a - b, n.Type);
        return;
      }
      case kMul: {
        double b = PopNumber(), a = PopNumber();
        PushNumber(a * b);
        return;
      }
      case kDiv: {
        double b = PopNumber(), a = PopNumber();
        if (b == 0) {
          DivideByZero();
          PushNumber(kDivideByZeroResult);
        } else {
          PushNumber(a / b);
        }
        return;
      }
      case kPow: {
        double b = PopNumber(), a = PopNumber();
        PushNumber(Power(a, b));
        return;
      }
      case kAddCC: {
        std::string_view b = PopText(), a = PopText();
        size_t la = std::min(a.size(), size_t(kMaxText));
        size_t lb = std::min(b.size(), size_t(kMaxText) - la);
        std::memcpy(buf, a.data(), la);
        std::memcpy(buf + la, b.data(), lb);
        PushText(buf, la + lb);
        return;
      }
      case kSubCC: {
        // The left text's trailing blanks go to the end of the result.
        std::string_view b = PopText(), a = PopText();
        size_t kept = a.find_last_not_of(' ');
        kept = kept == std::string_view::npos ? 0 : kept + 1;
        size_t blanks = a.size() - kept;
        size_t lb = std::min(b.size(), size_t(kMaxText) - kept);
        std::memcpy(buf, a.data(), kept);
        std::memcpy(buf + kept, b.data(), lb);
        size_t len = std::min(kept + lb + blanks, size_t(kMaxText));
        std::memset(buf + kept + lb, ' ', len - kept - lb);
        PushText(buf, len);
        return;
      }
      case kEqN:
      case kEqD:
      case kNeN:
      case kNeD:
      case kGtN:
      case kGtD:
      case kLtN:
      case kLtD:
      case kLeN:
      case kLeD:
      case kGeN:
      case kGeD: {
        double b = PopNumber(), a = PopNumber();
        PushLogical(Compare(n.Op, CompareFloats(a, b)));
        return;
      }
      case kEqL:
      case kNeL: {
        bool b = PopLogical(), a = PopLogical();
        PushLogical(n.Op == kEqL ? a == b : a != b);
        return;
      }
      case kEqC: {
        std::string_view b = PopText(), a = PopText();
        PushLogical(!b.empty() && a.substr(0, b.size()) == b);
        return;
      }
      case kEqEq: {
        std::string_view b = PopText(), a = PopText();
        PushLogical(a == b);
        return;
      }
      case kNeC:
      case kGtC:
      case kLtC:
      case kLeC:
      case kGeC: {
        std::string_view b = PopText(), a = PopText();
        PushLogical(Compare(n.Op, CompareText(a, b)));
        return;
      }
      case kContains: {
        std::string_view b = PopText(), a = PopText();
        PushLogical(!a.empty() && b.find(a) != std::string_view::npos);
        return;
      }
      case kOr: {
        bool b = PopLogical(), a = PopLogical();
        PushLogical(a || b);
        return;
      }
      case kAnd: {
        bool b = PopLogical(), a = PopLogical();
        PushLogical(a && b);
        return;
      }
      case kNot: PushLogical(!PopLogical()); return;
      case kNeg: PushNumber(-PopNumber()); return;
      default: Function(n, buf); return;
    }
  }

  void PushMemo(const std::string& text) {
    // A memo fills the area up to its last byte, which keeps the terminator.
    size_t room = r_.StringSpace > top_ ? r_.StringSpace - top_ - 1 : 0;
    size_t len = std::min(text.size(), room);
    ExprValue& w = r_.Work[sp_++];
    w.Type = kTypeM;
    if (r_.StringSpace <= top_) {
      w.S = kEmptyText;
      w.Len = 0;
      return;
    }
    char* dst = pool_ + top_;
    std::memcpy(dst, text.data(), len);
    dst[len] = '\0';
    w.S = dst;
    w.Len = uint16_t(std::min(len, size_t(65535)));
    top_ += len + 1;
  }

  void Function(const ExprNode& n, char* buf) {
    switch (n.Op) {
      case kAbs: PushNumber(std::fabs(PopNumber())); return;
      case kAsc: {
        std::string_view c = PopText();
        PushNumber(c.empty() ? 0 : uint8_t(c[0]));
        return;
      }
      case kAt: {
        std::string_view c2 = PopText(), c1 = PopText();
        size_t at = c1.empty() ? std::string_view::npos : c2.find(c1);
        PushNumber(at == std::string_view::npos ? 0 : double(at + 1));
        return;
      }
      case kCdow: PushText(CDOW(JulianToDateText(PopNumber()))); return;
      case kCmonth: PushText(CMonth(JulianToDateText(PopNumber()))); return;
      case kChr: {
        buf[0] = char(uint8_t(TruncInt(PopNumber()) & 0xFF));
        PushText(buf, buf[0] ? 1 : 0);
        return;
      }
      case kCtod: PushNumber(CtodDay(r_, size_t(&n - r_.Code.data()), PopText()), kTypeD); return;
      case kDate: PushNumber(Today(), kTypeD); return;
      case kDay: PushNumber(Day(JulianToDateText(PopNumber()))); return;
      case kMonth: PushNumber(Month(JulianToDateText(PopNumber()))); return;
      case kYear: PushNumber(Year(JulianToDateText(PopNumber()))); return;
      case kDow: PushNumber(DOW(JulianToDateText(PopNumber()))); return;
      case kDeleted: PushLogical(CurrentRecordDeleted()); return;
      case kRecno: PushNumber(CurrentRecordNumber()); return;
      case kDtoc: PushText(JulianToDateText(PopNumber())); return;
      case kDtos:
        JulianToDtos(PopNumber(), buf);
        PushText(buf, 8);
        return;
      case kIif: {
        std::string_view c2 = PopText(), c1 = PopText();
        bool cond = PopLogical();
        std::string_view pick = cond ? c1 : c2;
        std::memcpy(buf, pick.data(), pick.size());
        PushText(buf, pick.size());
        return;
      }
      case kInt: PushNumber(std::trunc(PopNumber())); return;
      case kLeft:
      case kRight: {
        int count = Count(PopNumber());
        std::string_view c = PopText();
        size_t len = count <= 0 ? 0 : std::min(size_t(count), c.size());
        std::string_view part = n.Op == kLeft ? c.substr(0, len) : c.substr(c.size() - len);
        std::memcpy(buf, part.data(), part.size());
        PushText(buf, part.size());
        return;
      }
      case kLen: PushNumber(double(PopText().size())); return;
      case kLower:
      case kUpper: {
        std::string_view c = PopText();
        for (size_t i = 0; i < c.size(); ++i)
          buf[i] = n.Op == kUpper ? plat::Upper1250(c[i]) : plat::Lower1250(c[i]);
        PushText(buf, c.size());
        return;
      }
      case kLtrim: {
        std::string_view c = PopText();
        size_t first = c.find_first_not_of(' ');
        std::string_view part = c.substr(first == std::string_view::npos ? c.size() : first);
        std::memcpy(buf, part.data(), part.size());
        PushText(buf, part.size());
        return;
      }
      case kRtrim:
      case kTrim: {
        std::string_view c = PopText();
        size_t last = c.find_last_not_of(' ');
        size_t len = last == std::string_view::npos ? 0 : last + 1;
        std::memcpy(buf, c.data(), len);
        PushText(buf, len);
        return;
      }
      case kMax:
      case kMin: {
        double b = PopNumber(), a = PopNumber();
        PushNumber(n.Op == kMax ? (a >= b ? a : b) : (a <= b ? a : b), n.Type);
        return;
      }
      case kMod: {
        int64_t b = TruncInt(PopNumber()), a = TruncInt(PopNumber());
        if (b == 0) {
          DivideByZero();
          PushNumber(kDivideByZeroResult);
        } else {
          PushNumber(double(a % b));
        }
        return;
      }
      case kReplicate: {
        int times = Count(PopNumber());
        std::string_view c = PopText();
        size_t len = 0;
        if (!c.empty())
          for (int i = 0; i < times && len < size_t(kMaxText); ++i) {
            size_t part = std::min(c.size(), size_t(kMaxText) - len);
            std::memcpy(buf + len, c.data(), part);
            len += part;
          }
        PushText(buf, len);
        return;
      }
      case kRound: {
        int64_t d = TruncInt(PopNumber());
        double v = PopNumber();
        double whole = std::trunc(v);
        double scale = d < 1 ? 1.0 : std::pow(10.0, double(std::min<int64_t>(d, 300)));
        PushNumber(whole + std::trunc((v - whole) * scale) / scale);
        return;
      }
      case kSoundex: PushText(Soundex(PopText())); return;
      case kSpace: {
        int count = std::clamp(Count(PopNumber()), 0, kMaxText);
        std::memset(buf, ' ', size_t(count));
        PushText(buf, size_t(count));
        return;
      }
      case kStr: {
        int dec = 0, width = 10;
        if (n.Argc == 3) dec = std::clamp(Count(PopNumber()), 0, kMaxText);
        if (n.Argc >= 2) width = std::clamp(Count(PopNumber()), 0, kMaxText);
        std::string text = FormatNumber(PopNumber(), width, dec);
        if (text.size() > size_t(width)) text.assign(size_t(width), '*');
        PushText(text);
        return;
      }
      case kStuff: {
        std::string_view r = PopText();
        int count = Count(PopNumber());
        int start = Count(PopNumber());
        std::string c(PopText());
        if (start >= 1 && size_t(start) <= c.size() && count > 0) c.erase(size_t(start - 1), size_t(count));
        size_t at = size_t(std::clamp(start, 1, int(c.size()) + 1) - 1);
        c.insert(at, r);
        PushText(c);
        return;
      }
      case kSubstr: {
        int count = Count(PopNumber());
        int start = std::max(Count(PopNumber()), 1);
        std::string_view c = PopText();
        size_t len = 0;
        if (size_t(start) <= c.size() && count > 0) len = std::min(size_t(count), c.size() - size_t(start - 1));
        std::memcpy(buf, c.data() + (len ? start - 1 : 0), len);
        PushText(buf, len);
        return;
      }
      case kVal: {
        std::string_view c = PopText();
        size_t last = c.find_last_not_of(' ');
        PushNumber(ReadNumber(c.substr(0, last == std::string_view::npos ? 0 : last + 1)));
        return;
      }
      default: return;
    }
  }

  ExprRecord& r_;
  char* pool_;
  size_t sp_ = 0;
  size_t top_ = 0;
  bool overflowReported_ = false;
};

// The current area when its record can be read straight from the record
// buffer: a table's (not an in-memory one's) that has records; null when
// the record needs the machine.
const WorkArea* DirectRecordArea() {
  const WorkArea* a = CurrentWorkArea();
  return a && !a->Virtual && a->RecCount != 0 && a->Rec ? a : nullptr;
}

// The key of an expression with Parts, built straight into the work area
// with the bytes the machine would give; false when this record needs the
// machine (an in-memory table, an empty one, a field the table no longer
// has, a NUL in a text, a key longer than the work area).
bool BuildKey(ExprRecord& r) {
  const WorkArea* a = DirectRecordArea();
  if (!a) return false;
  char* out = r.Pool.data();
  size_t len = 0;
  for (const ExprRecord::KeyPart& part : r.Parts) {
    if (size_t(part.Field) > a->Fields.size()) return false;
    const FieldEntry& f = a->Fields[size_t(part.Field - 1)];
    if (size_t(f.Pos) + f.Len > a->RecLen) return false;
    const char* src = a->Rec + f.Pos;
    // The machine holds the text so far and this part at once, each with
    // its terminator; where that overflows, it is the one to report it.
    const size_t partLen = part.Form == 'D' ? 8 : f.Len;
    if ((len == 0 ? 0 : len + 1) + partLen + 1 > r.StringSpace || len + partLen > kMaxText) return false;
    if (part.Form == 'D') {
      // YYYYMMDD of a day every month has comes back unchanged from the
      // Julian day; every other text takes the way through it.
      // Eight digits: every byte 0x30 to 0x39, which adding 6 keeps in 0x3_.
      constexpr uint64_t kEach = 0x0101010101010101u;
      uint64_t w = 0;
      if (f.Len >= 8) std::memcpy(&w, src, 8);
      const bool plain = (w & 0xF0 * kEach) == 0x30 * kEach && ((w + 6 * kEach) & 0xF0 * kEach) == 0x30 * kEach;
      const int month = plain ? (src[4] - '0') * 10 + (src[5] - '0') : 0;
      const int day = plain ? (src[6] - '0') * 10 + (src[7] - '0') : 0;
      if (plain && std::memcmp(src, "0000", 4) != 0 && month >= 1 && month <= 12 && day >= 1 && day <= 28)
        std::memcpy(out + len, &w, 8);
      else
        JulianToDtos(JulianFromDtos(std::string_view(src, f.Len)), out + len);
      len += 8;
      continue;
    }
    const size_t n = f.Len;
    if (part.Form == 'U') {
      if (!plat::UpperCopy1250(out + len, src, n)) return false;
    } else {
      if (std::memchr(src, '\0', n)) return false;
      std::memcpy(out + len, src, n);
    }
    len += n;
  }
  out[len] = '\0';
  ExprValue& w = r.Work[0];
  w.Type = kTypeC;
  w.S = out;
  w.Len = uint16_t(len);
  return true;
}

// The most values a fast program holds at once.
constexpr size_t kFastDepth = 16;

// Evaluates r.Fast into the work stack's first entry as the machine
// would; false, having done nothing, when this record needs the machine
// (an in-memory or empty table, a field the table no longer has).
bool RunFast(ExprRecord& r) {
  const WorkArea* a = DirectRecordArea();
  if (!a) return false;
  const char* rec = a->Rec;
  const size_t recLen = a->RecLen, fieldCount = a->Fields.size();
  // The top value apart, in a register: an operator with its right
  // operand pushed just before works on it alone. The values below it
  // stand in stack[1] up to stack[sp - 1]; stack[0] takes the spill of
  // the first push, before which there is no value.
  double top = 0, stack[kFastDepth + 1];
  size_t sp = 0;
  int dividedByZero = 0;
  for (const ExprRecord::FastStep& step : r.Fast) {
    double right;
    if (step.Push == 0) {
      right = step.N;
    } else if (step.Push == kCtod) {
      // The text is a constant: only a change of the date settings makes
      // the remembered day stale.
      const ExprRecord::DateMemo& memo = r.DateMemos[size_t(step.Arg)];
      const auto& dates = Engine().dates;
      right = memo.Format == dates.DateFormat && memo.Epoch == dates.EpochYear
                  ? memo.Julian
                  : CtodDay(r, size_t(step.Arg), r.Constants[size_t(r.Code[size_t(step.Arg) - 1].L)]);
    } else if (step.Push > 0) {
      if (size_t(step.Arg) > fieldCount) return false;
      const FieldEntry& f = a->Fields[size_t(step.Arg - 1)];
      if (size_t(f.Pos) + f.Len > recLen) return false;
      const char* text = rec + f.Pos;
      if (step.Push == kTokFieldC + 1) {
        // A NUL ends the general reading's text, so here it is no blank.
        PlainNumber x;
        right = AlignedNumberFits(f.Pos, f.Len) && ReadAlignedNumber(text, f.Len, f.Dec, false, x)
                    ? x.Value()
                    : ReadNumber(std::string_view(text, f.Len));
      } else if (step.Push == kTokFieldC + 3) {
        right = JulianFromDtos(std::string_view(text, f.Len));
      } else {
        const char c = f.Len ? text[0] : ' ';
        right = c == 'T' || c == 't' || c == 'Y' || c == 'y' ? 1 : 0;
      }
    } else if (step.Op == kNot || step.Op == kNeg) {
      top = step.Op == kNeg ? -top : (top != 0 ? 0 : 1);
      continue;
    } else {
      right = top;
      top = stack[--sp];
    }
    if (step.Op == 0) {
      stack[sp++] = top;
      top = right;
      continue;
    }
    // A binary operator: its result takes the place of the left operand.
    double& left = top;
    switch (step.Op) {
      case kAddNN:
      case kAddND:
      case kAddDN: left = left + right; break;
      case kSubNN:
      case kSubDN:
      case kSubDD: left = left - right; break;
      case kMul: left = left * right; break;
      case kDiv:
        // Reported once the machine is no longer needed, as often as it
        // would report it.
        if (right == 0) ++dividedByZero;
        left = right == 0 ? kDivideByZeroResult : left / right;
        break;
      case kOr: left = left != 0 || right != 0 ? 1 : 0; break;
      case kAnd: left = left != 0 && right != 0 ? 1 : 0; break;
      case kEqL: left = (left != 0) == (right != 0) ? 1 : 0; break;
      case kNeL: left = (left != 0) != (right != 0) ? 1 : 0; break;
      default: left = Compare(step.Op, CompareFloats(left, right)) ? 1 : 0; break;
    }
  }
  for (; dividedByZero > 0; --dividedByZero) DivideByZero();
  ExprValue& w = r.Work[0];
  if (r.ResultType == 'L') {
    w.Type = kTypeL;
    w.L = top != 0 ? 1 : 0;
  } else {
    w.Type = r.ResultType == 'D' ? kTypeD : kTypeN;
    w.N = top;
  }
  return true;
}

constexpr int64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000,
                              10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                              1000000000000000, 10000000000000000, 100000000000000000, 1000000000000000000};

// Field `n` (from 1) of `a` when the sixteen-byte number reader can read
// it in the record buffer; null for a field the table no longer has or one
// it cannot.
const FieldEntry* AlignedField(const WorkArea& a, int32_t n) {
  if (n < 1 || size_t(n) > a.Fields.size()) return nullptr;
  const FieldEntry& f = a.Fields[size_t(n - 1)];
  return size_t(f.Pos) + f.Len <= a.RecLen && AlignedNumberFits(f.Pos, f.Len) ? &f : nullptr;
}

// The value of a linear expression (ExprRecord::Linear) as the units of
// 10^-decimals that FormatNumberTo writes of the value the machine
// computes, from the fields' digits by exact whole-number arithmetic. The
// machine's value lies within n * 2^-53 * Bound of the exact one (each of
// the n operands and operations rounds once, by at most 2^-53 of its size);
// with n at most 64 and Bound below 2^45 units that is under a quarter
// unit, so the machine's value rounds to the exact units. False for every
// other expression or record (a text the engine does not write, more
// decimals in a field than the key has, a bound beyond that limit): the
// machine's value keys those.
bool RunLinear(const ExprRecord& r, int decimals, uint64_t& units, bool& negative) {
  if (!r.Linear || decimals < 0 || decimals > 18) return false;
  const WorkArea* a = DirectRecordArea();
  if (!a) return false;
  const int64_t one = kPow10[decimals];
  int64_t total, bound;
  if (__builtin_mul_overflow(r.Constant, one, &total) || __builtin_mul_overflow(r.ConstantBound, one, &bound))
    return false;
  for (const ExprRecord::LinearTerm& term : r.Terms) {
    const FieldEntry* f = AlignedField(*a, term.Field);
    PlainNumber x;
    if (!f || !ReadAlignedNumber(a->Rec + f->Pos, f->Len, f->Dec, false, x) || int(x.Fraction) > decimals)
      return false;
    const int64_t scale = kPow10[decimals - int(x.Fraction)], digits = int64_t(x.Digits);
    int64_t value, size;
    if (__builtin_mul_overflow(digits, term.Coef, &value) || __builtin_mul_overflow(value, scale, &value) ||
        __builtin_mul_overflow(digits, term.Bound, &size) || __builtin_mul_overflow(size, scale, &size) ||
        __builtin_add_overflow(total, x.Negative ? -value : value, &total) || __builtin_add_overflow(bound, size, &bound))
      return false;
  }
  if (bound >= (int64_t(1) << 45)) return false;
  negative = total < 0;
  units = uint64_t(negative ? -total : total);
  return true;
}

// a + b for packed decimal digits of at most fifteen digits each: six added
// to every digit of a makes a digit's carry a binary one; where no carry
// came in, the six is taken out again.
uint64_t AddPacked(uint64_t a, uint64_t b) {
  const uint64_t t1 = a + 0x0666666666666666u, t2 = t1 + b;
  const uint64_t noCarry = ~(t2 ^ t1 ^ b) & 0x1111111111111110u;
  return t2 - ((noCarry >> 2) | (noCarry >> 3));
}

// A linear expression that only adds numeric fields, each times a power of
// ten (ILOSC * 100 + KWOTA), on a record where each is positive or zero:
// its value in units of 10^-decimals as packed decimal digits, added digit
// by digit without their binary value. Thirteen digits at most, so that
// RunLinear's bound holds (every operand is positive, so the bound is the
// value, below 10^13 < 2^45). False for every other expression or record.
bool RunPackedSum(const ExprRecord& r, int decimals, uint64_t& packed) {
  if (!r.Linear || r.Constant != 0 || r.ConstantBound != 0 || decimals < 0) return false;
  const WorkArea* a = DirectRecordArea();
  if (!a) return false;
  uint64_t sum = 0;
  for (const ExprRecord::LinearTerm& term : r.Terms) {
    const FieldEntry* f = AlignedField(*a, term.Field);
    if (term.Power < 0 || !f) return false;
    const int shift = term.Power + decimals - f->Dec;
    uint64_t digits;
    bool negative;
    if (shift < 0 || shift > 12 || !ReadAlignedPacked(a->Rec + f->Pos, f->Len, f->Dec, false, digits, negative) ||
        negative || digits >= uint64_t(1) << (52 - 4 * shift))
      return false;
    sum = AddPacked(sum, digits << (4 * shift));
    if (sum >= uint64_t(1) << 52) return false;
  }
  packed = sum;
  return true;
}

// The one numeric field of the current record that r.Fast reads, written
// as the engine writes numbers with `decimals` decimals and of at most
// fifteen digits, as packed decimal digits: below 2^52 the machine's value
// is the digits over 10^decimals rounded once, which scaled back rounds to
// the digits again.
bool ReadLoneField(const ExprRecord& r, int decimals, uint64_t& packed, bool& negative) {
  if (r.Fast.size() != 1 || r.Fast[0].Push != kTokFieldC + 1 || r.Fast[0].Op != 0) return false;
  const WorkArea* a = DirectRecordArea();
  const FieldEntry* f = a ? AlignedField(*a, r.Fast[0].Arg) : nullptr;
  return f && f->Dec == decimals && ReadAlignedPacked(a->Rec + f->Pos, f->Len, f->Dec, false, packed, negative) &&
         packed < (uint64_t(1) << 60);
}

// r.Linear and its terms from r.Fast: the expression evaluated on linear
// forms instead of numbers. Coefficients stay below 2^40, or it is taken
// as not linear.
void FindLinearForm(ExprRecord& r) {
  r.Linear = false;
  r.Terms.clear();
  if (r.ResultType != 'N' || r.Fast.empty() || r.Fast.size() > 32) return;
  struct Form {
    std::vector<ExprRecord::LinearTerm> terms;
    int64_t c = 0, cb = 0;
  };
  constexpr int64_t kLimit = int64_t(1) << 40;
  const auto fits = [&](int64_t v) { return v > -kLimit && v < kLimit; };
  std::vector<Form> stack;
  Form top;
  for (const ExprRecord::FastStep& step : r.Fast) {
    Form right;
    if (step.Push == 0) {
      if (!(std::fabs(step.N) < double(kLimit)) || double(int64_t(step.N)) != step.N) return;
      right.c = int64_t(step.N);
      right.cb = right.c < 0 ? -right.c : right.c;
    } else if (step.Push == kTokFieldC + 1) {
      right.terms.push_back({step.Arg, 1, 1});
    } else if (step.Push > 0) {
      return;
    } else if (step.Op == kNeg) {
      for (auto& t : top.terms) t.Coef = -t.Coef;
      top.c = -top.c;
      continue;
    } else if (step.Op == kAddNN || step.Op == kSubNN || step.Op == kMul) {
      if (stack.empty()) return;
      right = std::move(top);
      top = std::move(stack.back());
      stack.pop_back();
    } else {
      return;
    }
    if (step.Op == 0) {
      stack.push_back(std::move(top));
      top = std::move(right);
      continue;
    }
    Form& left = top;
    if (step.Op == kMul) {
      // One side a constant: the other side's coefficients scaled by it.
      if (!left.terms.empty() && !right.terms.empty()) return;
      if (left.terms.empty()) std::swap(left, right);
      for (auto& t : left.terms) {
        t.Coef *= right.c;
        t.Bound *= right.cb;
        if (!fits(t.Coef) || !fits(t.Bound)) return;
      }
      if (!fits(left.c * right.c) || !fits(left.cb * right.cb)) return;
      left.c *= right.c;
      left.cb *= right.cb;
    } else if (step.Op == kAddNN || step.Op == kSubNN) {
      const int64_t sign = step.Op == kSubNN ? -1 : 1;
      for (const auto& t : right.terms) {
        auto same = std::find_if(left.terms.begin(), left.terms.end(), [&](const auto& l) { return l.Field == t.Field; });
        if (same == left.terms.end()) same = left.terms.insert(left.terms.end(), {t.Field, 0, 0});
        same->Coef += sign * t.Coef;
        same->Bound += t.Bound;
        if (!fits(same->Coef) || !fits(same->Bound)) return;
      }
      left.c += sign * right.c;
      left.cb += right.cb;
      if (!fits(left.c) || !fits(left.cb)) return;
    } else {
      return;
    }
  }
  // The first push spilled the value before it, which there was not.
  if (stack.size() != 1) return;
  for (auto& t : top.terms) {
    t.Power = -1;
    for (int k = 0; k <= 12; ++k)
      if (t.Coef == kPow10[k] && t.Bound == kPow10[k]) t.Power = k;
  }
  r.Terms = std::move(top.terms);
  r.Constant = top.c;
  r.ConstantBound = top.cb;
  r.Linear = true;
}

}  // namespace

namespace exprint {

void FindFastSteps(ExprRecord& r) {
  r.Fast.clear();
  r.Linear = false;
  r.Terms.clear();
  if (r.ResultType != 'N' && r.ResultType != 'D' && r.ResultType != 'L') return;
  std::vector<ExprRecord::FastStep> steps;
  size_t depth = 0;
  const auto& code = r.Code;
  for (size_t i = 0; i < code.size() && code[i].Op != -1; ++i) {
    const ExprNode& n = code[i];
    if (n.Op == 0 && n.Type == kTypeC && i + 1 < code.size() && code[i + 1].Op == kCtod) {
      steps.push_back({kCtod, int32_t(i + 1), 0, 0});
      ++i;
    } else if (n.Op == 0 && n.Type != kTypeC && n.Type != kTypeM) {
      steps.push_back({0, 0, n.Type == kTypeL ? (n.L != 0 ? 1.0 : 0.0) : n.N, 0});
    } else if (n.Op >= kTokFieldC + 1 && n.Op <= kTokFieldC + 3 && n.Area == 0) {
      steps.push_back({n.Op, n.L, 0, 0});
    } else if ((n.Op >= kAddNN && n.Op <= kAddDN) || (n.Op >= kSubNN && n.Op <= kSubDD) || n.Op == kMul ||
               n.Op == kDiv || n.Op == kEqN || n.Op == kEqD || n.Op == kEqL || n.Op == kNeN || n.Op == kNeD ||
               n.Op == kNeL || n.Op == kGtN || n.Op == kGtD || n.Op == kLtN || n.Op == kLtD || n.Op == kLeN ||
               n.Op == kLeD || n.Op == kGeN || n.Op == kGeD || n.Op == kOr || n.Op == kAnd) {
      // The value pushed just before is the right operand: the operator
      // takes it in without a trip through the stack.
      if (!steps.empty() && steps.back().Push >= 0 && steps.back().Op == 0)
        steps.back().Op = n.Op;
      else
        steps.push_back({-1, 0, 0, n.Op});
      --depth;
      continue;
    } else if (n.Op == kNot || n.Op == kNeg) {
      steps.push_back({-1, 0, 0, n.Op});
      continue;
    } else {
      return;
    }
    if (++depth > kFastDepth) return;
  }
  r.Fast = std::move(steps);
  FindLinearForm(r);
}

void FindKeyParts(ExprRecord& r) {
  r.Parts.clear();
  if (r.ResultType != 'C') return;
  std::vector<ExprRecord::KeyPart> parts;
  size_t i = 0;
  const auto& code = r.Code;
  while (i < code.size() && code[i].Op != -1) {
    const ExprNode& n = code[i];
    const bool next = i + 1 < code.size();
    if (n.Op == kTokFieldC && n.Area == 0) {
      const bool upper = next && code[i + 1].Op == kUpper;
      parts.push_back({n.L, upper ? 'U' : 'C'});
      i += upper ? 2 : 1;
    } else if (n.Op == kTokFieldC + 3 && n.Area == 0 && next && code[i + 1].Op == kDtos) {
      parts.push_back({n.L, 'D'});
      i += 2;
    } else {
      return;
    }
    // Every part after the first is joined to what stands before it.
    if (parts.size() > 1) {
      if (i >= code.size() || code[i].Op != kAddCC) return;
      ++i;
    }
  }
  if (!parts.empty()) r.Parts = std::move(parts);
}

}  // namespace exprint

const void* Evaluate(ExprRecord* rec) {
  if (!rec) return nullptr;
  Engine().expr.Current = rec;
  if (!rec->Parts.empty() && BuildKey(*rec)) return rec->Pool.data();
  if (!rec->Fast.empty() && RunFast(*rec)) return &rec->Work[0].N;
  return Machine(*rec).Run();
}

BcdKey EvaluateNumericKey(ExprRecord* rec, int decimals) {
  uint64_t digits;
  bool negative;
  if (rec && ReadLoneField(*rec, decimals, digits, negative)) {
    Engine().expr.Current = rec;
    return BcdKeyFromPacked(digits, decimals, negative);
  }
  if (rec && RunPackedSum(*rec, decimals, digits)) {
    Engine().expr.Current = rec;
    return BcdKeyFromPacked(digits, decimals, false);
  }
  if (rec && RunLinear(*rec, decimals, digits, negative)) {
    Engine().expr.Current = rec;
    return BcdKeyFromScaled(digits, decimals, negative);
  }
  return BcdKeyFromFloat(decimals, ExprNumber(Evaluate(rec)));
}
