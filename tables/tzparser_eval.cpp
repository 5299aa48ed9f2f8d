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
#include "tables/tzndxlow.h"
#include "tables/tzparser_internal.h"
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

// The key of an expression with Parts, built straight into the work area
// with the bytes the machine would give; false when this record needs the
// machine (an in-memory table, an empty one, a field the table no longer
// has, a NUL in a text, a key longer than the work area).
bool BuildKey(ExprRecord& r) {
  const WorkArea* a = CurrentWorkArea();
  if (!a || a->Virtual || a->RecCount == 0 || !a->Rec) return false;
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
  const WorkArea* a = CurrentWorkArea();
  if (!a || a->Virtual || a->RecCount == 0 || !a->Rec) return false;
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

// A whole number of units of 10^-Scale, and Bound, the value the
// expression up to here takes with every operand made positive and every
// subtraction an addition.
// (No member initializers: a stack of them is set up per evaluation.)
struct Decimal {
  int64_t Units, Bound;
  int Scale;
};

constexpr int64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000,
                              10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                              1000000000000000, 10000000000000000, 100000000000000000, 1000000000000000000};

// x in units of 10^-scale (scale >= x.Scale); false on overflow.
bool Rescale(Decimal& x, int scale) {
  if (scale == x.Scale) return true;
  if (scale - x.Scale > 18) return false;
  const int64_t f = kPow10[scale - x.Scale];
  x.Scale = scale;
  return !__builtin_mul_overflow(x.Units, f, &x.Units) && !__builtin_mul_overflow(x.Bound, f, &x.Bound);
}

// The value of r.Fast as the machine computes it, when it consists only of
// numeric fields of the current record written as the engine writes them,
// whole-number constants, +, - and *: computed exactly on whole numbers,
// as the units of 10^-decimals that FormatNumberTo would write of the
// machine's value. That value lies within n * 2^-53 * Bound of the exact one
// (each of the n operands and operations rounds once, by at most 2^-53 of
// its size); with n at most 64 and Bound below 2^45 units that is under a
// quarter unit, so the machine's value rounds to these units too. False
// for every other expression or record (a division, a date, a text the
// engine does not write, a value or bound beyond those limits, more
// decimals than the key has): the machine's value keys those.
bool RunDecimal(ExprRecord& r, int decimals, uint64_t& units, bool& negative) {
  if (r.ResultType != 'N' || r.Fast.empty() || r.Fast.size() > 32 || decimals < 0 || decimals > 18) return false;
  const WorkArea* a = CurrentWorkArea();
  if (!a || a->Virtual || a->RecCount == 0 || !a->Rec) return false;
  const char* rec = a->Rec;
  const size_t recLen = a->RecLen, fieldCount = a->Fields.size();
  Decimal stack[kFastDepth + 1], top{};
  size_t sp = 0;
  for (const ExprRecord::FastStep& step : r.Fast) {
    Decimal right;
    if (step.Push == 0) {
      constexpr double kLimit = double(int64_t(1) << 45);
      if (!(std::fabs(step.N) < kLimit) || double(int64_t(step.N)) != step.N) return false;
      right.Units = int64_t(step.N);
      right.Bound = right.Units < 0 ? -right.Units : right.Units;
      right.Scale = 0;
    } else if (step.Push == kTokFieldC + 1) {
      if (size_t(step.Arg) > fieldCount || step.Arg < 1) return false;
      const FieldEntry& f = a->Fields[size_t(step.Arg - 1)];
      PlainNumber x;
      if (size_t(f.Pos) + f.Len > recLen || !AlignedNumberFits(f.Pos, f.Len) ||
          !ReadAlignedNumber(rec + f.Pos, f.Len, f.Dec, false, x) || x.Digits >= (uint64_t(1) << 45))
        return false;
      right.Bound = int64_t(x.Digits);
      right.Units = x.Negative ? -right.Bound : right.Bound;
      right.Scale = int(x.Fraction);
    } else if (step.Push > 0) {
      return false;
    } else if (step.Op == kNeg) {
      top.Units = -top.Units;
      continue;
    } else if (step.Op == kAddNN || step.Op == kSubNN || step.Op == kMul) {
      right = top;
      top = stack[--sp];
    } else {
      return false;
    }
    if (step.Op == 0) {
      stack[sp++] = top;
      top = right;
      continue;
    }
    Decimal& left = top;
    if (step.Op == kMul) {
      left.Scale += right.Scale;
      if (left.Scale > 18 || __builtin_mul_overflow(left.Units, right.Units, &left.Units) ||
          __builtin_mul_overflow(left.Bound, right.Bound, &left.Bound))
        return false;
    } else if (step.Op == kAddNN || step.Op == kSubNN) {
      const int scale = std::max(left.Scale, right.Scale);
      if (!Rescale(left, scale) || !Rescale(right, scale)) return false;
      if (step.Op == kSubNN) right.Units = -right.Units;
      if (__builtin_add_overflow(left.Units, right.Units, &left.Units) ||
          __builtin_add_overflow(left.Bound, right.Bound, &left.Bound))
        return false;
    } else {
      return false;
    }
  }
  if (top.Scale > decimals || !Rescale(top, decimals) || top.Bound >= (int64_t(1) << 45)) return false;
  negative = top.Units < 0;
  units = uint64_t(negative ? -top.Units : top.Units);
  return true;
}

}  // namespace

namespace exprint {

void FindFastSteps(ExprRecord& r) {
  r.Fast.clear();
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
  uint64_t units;
  bool negative;
  if (rec && RunDecimal(*rec, decimals, units, negative)) {
    Engine().expr.Current = rec;
    return BcdKeyFromScaled(units, decimals, negative);
  }
  return BcdKeyFromFloat(decimals, ExprNumber(Evaluate(rec)));
}
