// The compiler: a reader of tokens and an operator-precedence parser that
// checks types and emits postfix code. The parser keeps count of the entries
// the engine's table-driven parser holds on its state stack, so that the
// same expressions overflow its 150 entries, and it reads its lookahead
// token at the same moments, so that error windows end at the same place.
#include <algorithm>
#include <memory>

#include "tables/expr/tzndxlow.h"
#include "tables/expr/tzparser_internal.h"
#include "tablebase/tzutils.h"

using namespace exprint;

namespace {

struct Keyword {
  const char* Name;
  int32_t Code;
  uint16_t Space;  // string work area the name needs; 256 when its result length depends on its arguments
};

// Searched in order; abbreviations are entries of their own.
constexpr Keyword kKeywords[] = {
    {"ABS", kAbs, 0},         {"ASC", kAsc, 0},           {"AT", kAt, 0},
    {"CDOW", kCdow, 15},      {"CHR", kChr, 2},           {"CMON", kCmonth, 15},
    {"CMONT", kCmonth, 15},   {"CMONTH", kCmonth, 15},    {"CTOD", kCtod, 0},
    {"DATE", kDate, 0},       {"DAY", kDay, 0},           {"DELE", kDeleted, 0},
    {"DELET", kDeleted, 0},   {"DELETE", kDeleted, 0},    {"DELETED", kDeleted, 0},
    {"DOW", kDow, 0},         {"DTOC", kDtoc, 11},        {"DTOS", kDtos, 9},
    {"IIF", kIif, 256},       {"INT", kInt, 0},           {"LEFT", kLeft, 0},
    {"LEN", kLen, 0},         {"LOWE", kLower, 0},        {"LOWER", kLower, 0},
    {"LTRI", kLtrim, 0},      {"LTRIM", kLtrim, 0},       {"MAX", kMax, 0},
    {"MIN", kMin, 0},         {"MOD", kMod, 0},           {"MONT", kMonth, 0},
    {"MONTH", kMonth, 0},     {"RECN", kRecno, 0},        {"RECNO", kRecno, 0},
    {"REPL", kReplicate, 256}, {"REPLI", kReplicate, 256}, {"REPLIC", kReplicate, 256},
    {"REPLICA", kReplicate, 256}, {"REPLICAT", kReplicate, 256}, {"REPLICATE", kReplicate, 256},
    {"RIGH", kRight, 0},      {"RIGHT", kRight, 0},       {"ROUN", kRound, 0},
    {"ROUND", kRound, 0},     {"RTRI", kRtrim, 0},        {"RTRIM", kRtrim, 0},
    {"SOUN", kSoundex, 15},   {"SOUND", kSoundex, 15},    {"SOUNDE", kSoundex, 15},
    {"SOUNDEX", kSoundex, 15}, {"SPAC", kSpace, 256},     {"SPACE", kSpace, 256},
    {"STR", kStr, 256},       {"STUF", kStuff, 0},        {"STUFF", kStuff, 0},
    {"SUBS", kSubstr, 0},     {"SUBST", kSubstr, 0},      {"SUBSTR", kSubstr, 0},
    {"TRIM", kTrim, 0},       {"UPPE", kUpper, 0},        {"UPPER", kUpper, 0},
    {"VAL", kVal, 0},         {"YEAR", kYear, 0},         {".F.", kTokFalse, 0},
    {".T.", kTokTrue, 0},     {".NOT.", kTokNot, 0},      {".OR.", kTokOr, 0},
    {".AND.", kTokAnd, 0},
};
static_assert(std::size(kKeywords) == 67, "the keyword table holds 67 names and its end mark");

// Accepted argument types of a function and the type of its result; a
// function with several forms has several entries, tried in order.
struct Signature {
  int32_t Code;
  const char* Name;  // as type errors name it
  const char* Args;  // type letters
  char Result;
};

constexpr Signature kSignatures[] = {
    {kAbs, "ABS", "N", 'N'},          {kAsc, "ASC", "C", 'N'},
    {kAt, "AT", "CC", 'N'},           {kCdow, "CDOW", "D", 'C'},
    {kChr, "CHR", "N", 'C'},          {kCmonth, "CMONTH", "D", 'C'},
    {kCtod, "CTOD", "C", 'D'},        {kDate, "DATE", "", 'D'},
    {kDay, "DAY", "D", 'N'},          {kDeleted, "DELETED", "", 'L'},
    {kDow, "DOW", "D", 'N'},          {kDtoc, "DTOC", "D", 'C'},
    {kDtos, "DTOS", "D", 'C'},        {kIif, "IIF", "LCC", 'C'},
    {kInt, "INT", "N", 'N'},          {kLeft, "LEFT", "CN", 'C'},
    {kLen, "LEN", "C", 'N'},          {kLower, "LOWER", "C", 'C'},
    {kLtrim, "LTRIM", "C", 'C'},      {kMax, "MAX", "NN", 'N'},
    {kMax, "MAX", "DD", 'D'},         {kMin, "MIN", "NN", 'N'},
    {kMin, "MIN", "DD", 'D'},         {kMod, "MOD", "NN", 'N'},
    {kMonth, "MONTH", "D", 'N'},      {kRecno, "RECNO", "", 'N'},
    {kReplicate, "REPLICATE", "CN", 'C'}, {kRight, "RIGHT", "CN", 'C'},
    {kRound, "ROUND", "NN", 'N'},     {kRtrim, "RTRIM", "C", 'C'},
    {kSoundex, "SOUNDEX", "C", 'C'},  {kSpace, "SPACE", "N", 'C'},
    {kStr, "STR", "NNN", 'C'},        {kStr, "STR", "NN", 'C'},
    {kStr, "STR", "N", 'C'},          {kStuff, "STUFF", "CNNC", 'C'},
    {kSubstr, "SUBSTR", "CNN", 'C'},  {kTrim, "TRIM", "C", 'C'},
    {kUpper, "UPPER", "C", 'C'},      {kVal, "VAL", "C", 'N'},
    {kYear, "YEAR", "D", 'N'},
};

char Letter(int32_t type) {
  switch (type) {
    case kTypeC: return 'C';
    case kTypeN: return 'N';
    case kTypeL: return 'L';
    case kTypeD: return 'D';
    default: return 'M';
  }
}

int32_t TypeOf(char letter) {
  switch (letter) {
    case 'C': return kTypeC;
    case 'N': return kTypeN;
    case 'L': return kTypeL;
    case 'D': return kTypeD;
    default: return kTypeM;
  }
}

int TypeIndex(char letter) {
  switch (letter) {
    case 'C': return 0;
    case 'N': return 1;
    case 'L': return 2;
    case 'D': return 3;
    default: return 4;
  }
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr int kStackLimit = 150;
constexpr int kDefaultDecimals = 2;

struct Tok {
  int32_t Code = kTokEnd;
  double Number = 0;
  std::string Text;  // a string constant
  FieldInfo Field;
};

// One binary operator: its text in type errors and its forms.
struct BinaryForm {
  char Left, Right, Result;
  int32_t Op;
};

class Compiler {
 public:
  Compiler(std::string_view text, ExprRecord& rec) : rec_(rec) {
    // The reader stops at the first NUL or character 255.
    size_t end = text.find_first_of(std::string_view("\0\xFF", 2));
    text_ = text.substr(0, end);
  }

  bool Run() {
    try {
      if (text_.size() > size_t(kMaxText)) {
        pos_ = kMaxText;
        Fail("Syntax error");
      }
      depth_ = 1;  // the start state
      int32_t type = ParseOr();
      if (Peek() != kTokEnd) Fail("Syntax error");
      Emit(-1, 0, 0);
      Finish(type);
      return true;
    } catch (const Abort&) {
      return false;
    }
  }

 private:
  struct Abort {};

  [[noreturn]] void Fail(const std::string& reason) {
    size_t start = pos_ > 50 ? pos_ - 50 : 0;
    std::string window = start > 0 ? "[..." : "[";
    window += text_.substr(start, 51);
    window += start + 51 < text_.size() ? "...]" : "]";
    SetError(351, "Error in expression : " + reason + "\r\n" + window + "\r\n" + " [AssignExpr]");
    throw Abort{};
  }

  [[noreturn]] void TypeMismatch(const std::string& what) {
    Fail("PARSER:Type mismatch in expression \"" + what + "\"");
  }

  // --- reader ---------------------------------------------------------

  char At(size_t i) const { return i < text_.size() ? text_[i] : '\0'; }

  size_t SkipBlanks(size_t i) const {
    while (At(i) == ' ' || At(i) == '\t') ++i;
    return i;
  }

  void Remember(int len, bool setDecimals) {
    remLen_ = len;
    if (setDecimals) remDec_ = kDefaultDecimals;
  }

  void AddSpace(unsigned n) { space_ = std::min(space_ + n, 65534u); }

  Tok Read() {
    Tok t;
    pos_ = SkipBlanks(pos_);
    char c = At(pos_);
    if (pos_ >= text_.size()) return t;
    if (IsDigit(c)) {
      size_t start = pos_;
      bool dot = false, exp = false;
      for (;; ++pos_) {
        char d = At(pos_);
        if (IsDigit(d)) continue;
        if (d == '.' && !dot && !exp) {
          dot = true;
          continue;
        }
        if (d == 'E' && !exp) {
          exp = true;
          continue;
        }
        break;
      }
      t.Code = kTypeN;
      t.Number = ReadNumber(text_.substr(start, pos_ - start));
      Remember(0, true);
      return t;
    }
    if (c == '\'' || c == '"') {
      size_t close = text_.find(c, pos_ + 1);
      if (close == std::string_view::npos) {
        pos_ = text_.size();
        Fail("Syntax error");
      }
      t.Code = kTypeC;
      t.Text = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      pos_ = close + 1;
      Remember(0, false);
      AddSpace(unsigned(t.Text.size()) + 1);
      return t;
    }
    if (IsAsciiLetter(c) || c == '.' || c == '_') return ReadName();
    ++pos_;
    char n = At(pos_);
    switch (c) {
      case '=':
        if (n == '=') {
          ++pos_;
          t.Code = kTokEqEq;
          return t;
        }
        break;
      case '*':
        if (n == '*') {
          ++pos_;
          t.Code = '^';
          return t;
        }
        break;
      case '<':
        if (n == '>' || n == '=') {
          ++pos_;
          t.Code = n == '>' ? kTokNe : kTokLe;
          return t;
        }
        break;
      case '>':
        if (n == '=') {
          ++pos_;
          t.Code = kTokGe;
          return t;
        }
        break;
      case '#':
        t.Code = kTokNe;
        return t;
      case '$':
        t.Code = kTokDollar;
        return t;
      default:
        break;
    }
    t.Code = uint8_t(c);
    return t;
  }

  Tok ReadName() {
    Tok t;
    std::string name;
    auto nameChar = [](char ch) { return IsAsciiLetter(ch) || IsDigit(ch) || ch == '.' || ch == '_'; };
    while (nameChar(At(pos_))) name += UpperAZ(text_[pos_++]);
    size_t arrow = SkipBlanks(pos_);
    if (At(arrow) == '-' && At(arrow + 1) == '>') {
      pos_ = arrow + 2;
      std::string field;
      while (IsAsciiLetter(At(pos_)) || IsDigit(At(pos_)) || At(pos_) == '_')
        field += UpperAZ(text_[pos_++]);
      std::string alias = name.substr(0, name.find('.')).substr(0, 10);
      if (FindAliasedField(alias, field, t.Field)) {
        t.Code = kTokAliasC + TypeIndex(t.Field.Type);
        NoteField(t.Field);
      } else {
        t.Code = kTokUnknown;
      }
      return t;
    }
    if (FindField(name, t.Field) && At(SkipBlanks(pos_)) != '(') {
      t.Code = kTokFieldC + TypeIndex(t.Field.Type);
      NoteField(t.Field);
      return t;
    }
    t.Code = kTokUnknown;
    for (const auto& k : kKeywords) {
      if (name == k.Name) {
        t.Code = k.Code;
        AddSpace(k.Space);
        Remember(0, true);
        break;
      }
    }
    return t;
  }

  void NoteField(const FieldInfo& f) {
    remLen_ = f.Len;
    if (f.Type == 'N') remDec_ = remDec_ < 0 ? f.Dec : kDefaultDecimals;
    if (f.Type == 'C') AddSpace(unsigned(f.Len) + 1);
  }

  // --- parser ---------------------------------------------------------

  int32_t Peek() {
    if (!have_) {
      look_ = Read();
      have_ = true;
    }
    return look_.Code;
  }

  // Shifts the lookahead: one more entry on the state stack.
  Tok Shift() {
    Push();
    have_ = false;
    return std::move(look_);
  }

  void Push() {
    if (++depth_ > kStackLimit) Fail("Parser_stack_overflow");
  }

  // A rule of `length` symbols reduced to one.
  void Reduce(int length) { depth_ -= length - 1; }

  void Emit(int32_t op, int32_t argc, int32_t type, double n = 0, int32_t l = 0, uint8_t area = 0) {
    ExprNode node;
    node.Op = op;
    node.Argc = argc;
    node.Type = type;
    node.N = n;
    node.L = l;
    node.Area = area;
    rec_.Code.push_back(node);
    if (op == -1) return;
    work_ += 1 - argc;
    maxWork_ = std::max(maxWork_, work_);
  }

  int32_t Binary(const char* name, int32_t left, int32_t right, std::initializer_list<BinaryForm> forms) {
    char l = Letter(left), r = Letter(right);
    for (const auto& f : forms) {
      if (f.Left == l && f.Right == r) {
        Reduce(3);
        Emit(f.Op, 2, TypeOf(f.Result));
        return TypeOf(f.Result);
      }
    }
    TypeMismatch(name);
  }

  int32_t ParseOr() {
    int32_t left = ParseAnd();
    while (Peek() == kTokOr) {
      Shift();
      int32_t right = ParseAnd();
      left = Binary(".OR.", left, right, {{'L', 'L', 'L', kOr}});
    }
    return left;
  }

  int32_t ParseAnd() {
    int32_t left = ParseRel();
    while (Peek() == kTokAnd) {
      Shift();
      int32_t right = ParseRel();
      left = Binary(".AND.", left, right, {{'L', 'L', 'L', kAnd}});
    }
    return left;
  }

  int32_t ParseRel() {
    int32_t left = ParseAdd();
    for (;;) {
      int32_t op = Peek();
      if (op != '=' && op != kTokEqEq && op != kTokNe && op != '<' && op != '>' && op != kTokLe &&
          op != kTokGe && op != kTokDollar)
        return left;
      Shift();
      int32_t right = ParseAdd();
      switch (op) {
        case '=':
          left = Binary("=", left, right,
                        {{'N', 'N', 'L', kEqN}, {'C', 'C', 'L', kEqC}, {'D', 'D', 'L', kEqD}, {'L', 'L', 'L', kEqL}});
          break;
        case kTokEqEq: left = Binary("==", left, right, {{'C', 'C', 'L', kEqEq}}); break;
        case kTokNe:
          left = Binary("<>", left, right,
                        {{'N', 'N', 'L', kNeN}, {'C', 'C', 'L', kNeC}, {'D', 'D', 'L', kNeD}, {'L', 'L', 'L', kNeL}});
          break;
        case '<':
          left = Binary("<", left, right, {{'N', 'N', 'L', kLtN}, {'C', 'C', 'L', kLtC}, {'D', 'D', 'L', kLtD}});
          break;
        case '>':
          left = Binary(">", left, right, {{'N', 'N', 'L', kGtN}, {'C', 'C', 'L', kGtC}, {'D', 'D', 'L', kGtD}});
          break;
        case kTokLe:
          left = Binary("<=", left, right, {{'N', 'N', 'L', kLeN}, {'C', 'C', 'L', kLeC}, {'D', 'D', 'L', kLeD}});
          break;
        case kTokGe:
          left = Binary(">=", left, right, {{'N', 'N', 'L', kGeN}, {'C', 'C', 'L', kGeC}, {'D', 'D', 'L', kGeD}});
          break;
        default: left = Binary("$", left, right, {{'C', 'C', 'L', kContains}}); break;
      }
    }
  }

  int32_t ParseAdd() {
    int32_t left = ParseMul();
    for (;;) {
      int32_t op = Peek();
      if (op != '+' && op != '-') return left;
      Shift();
      int32_t right = ParseMul();
      if (op == '+')
        left = Binary("+", left, right,
                      {{'N', 'N', 'N', kAddNN}, {'N', 'D', 'D', kAddND}, {'D', 'N', 'D', kAddDN}, {'C', 'C', 'C', kAddCC}});
      else
        left = Binary("-", left, right,
                      {{'N', 'N', 'N', kSubNN}, {'D', 'N', 'D', kSubDN}, {'D', 'D', 'N', kSubDD}, {'C', 'C', 'C', kSubCC}});
    }
  }

  int32_t ParseMul() {
    int32_t left = ParsePow();
    for (;;) {
      int32_t op = Peek();
      if (op != '*' && op != '/') return left;
      Shift();
      int32_t right = ParsePow();
      if (op == '*')
        left = Binary("*", left, right, {{'N', 'N', 'N', kMul}});
      else
        left = Binary("/", left, right, {{'N', 'N', 'N', kDiv}});
    }
  }

  int32_t ParsePow() {
    int32_t left = ParseUnary();
    while (Peek() == '^') {
      Shift();
      int32_t right = ParseUnary();
      left = Binary("** or ^", left, right, {{'N', 'N', 'N', kPow}});
    }
    return left;
  }

  int32_t ParseUnary() {
    int32_t op = Peek();
    if (op != '-' && op != '+' && op != kTokNot) return ParsePrimary();
    Shift();
    int32_t operand = ParseUnary();
    Reduce(2);
    if (op == kTokNot) {
      if (operand != kTypeL) TypeMismatch(".NOT.");
      Emit(kNot, 1, kTypeL);
      return kTypeL;
    }
    if (operand != kTypeN) TypeMismatch(op == '-' ? "Unary -" : "Unary +");
    if (op == '-') Emit(kNeg, 1, kTypeN);
    return kTypeN;
  }

  int32_t ParsePrimary() {
    int32_t code = Peek();
    if (code == kTypeN) {
      Tok t = Shift();
      Emit(0, 0, kTypeN, t.Number);
      return kTypeN;
    }
    if (code == kTypeC) {
      Tok t = Shift();
      rec_.Constants.push_back(std::move(t.Text));
      Emit(0, 0, kTypeC, 0, int32_t(rec_.Constants.size() - 1));
      return kTypeC;
    }
    if (code == kTokTrue || code == kTokFalse) {
      Shift();
      Emit(0, 0, kTypeL, 0, code == kTokTrue ? 1 : 0);
      return kTypeL;
    }
    if (code >= kTokFieldC && code < kTokFieldC + 10) {
      Tok t = Shift();
      int32_t type = TypeOf(t.Field.Type);
      Emit(code, 0, type, 0, t.Field.FieldNo, t.Field.Area);
      return type;
    }
    if (code == '(') {
      Shift();
      int32_t type = ParseOr();
      if (Peek() != ')') Fail("Syntax error");
      Shift();
      Reduce(3);
      return type;
    }
    if (code >= 257 && code <= 320) return ParseCall(code);
    Fail("Syntax error");
  }

  int32_t ParseCall(int32_t code) {
    size_t minArgs = 255, maxArgs = 0;
    for (const auto& s : kSignatures) {
      if (s.Code == code) {
        minArgs = std::min(minArgs, std::char_traits<char>::length(s.Args));
        maxArgs = std::max(maxArgs, std::char_traits<char>::length(s.Args));
      }
    }
    if (maxArgs == 0 && minArgs == 255) Fail("Syntax error");
    Shift();
    if (Peek() != '(') Fail("Syntax error");
    Shift();
    std::string args;
    if (maxArgs == 0) {
      if (Peek() != ')') Fail("Syntax error");
      Shift();
    } else {
      for (;;) {
        args += Letter(ParseOr());
        int32_t next = Peek();
        if (next == ',' && args.size() < maxArgs) {
          Shift();
          continue;
        }
        if (next == ')' && args.size() >= minArgs) {
          Shift();
          break;
        }
        Fail("Syntax error");
      }
    }
    Reduce(int(args.size()) * 2 + (args.empty() ? 3 : 2));
    const char* name = "";
    for (const auto& s : kSignatures) {
      if (s.Code != code) continue;
      name = s.Name;
      if (args == s.Args) {
        Emit(code, int32_t(args.size()), TypeOf(s.Result));
        return TypeOf(s.Result);
      }
    }
    Fail(std::string("PARSER:Type mismatch in function \"") + name + "\"");
  }

  void Finish(int32_t type) {
    char letter = Letter(type);
    int dec = remDec_ < 0 ? kDefaultDecimals : remDec_;
    rec_.ResultType = letter;
    rec_.ResultDec = 0;
    switch (letter) {
      case 'C': rec_.ResultLen = space_ == unsigned(remLen_) + 1 ? uint16_t(remLen_) : 0; break;
      case 'D': rec_.ResultLen = 8; break;
      case 'L': rec_.ResultLen = 1; break;
      case 'N':
        rec_.ResultDec = uint8_t(dec);
        rec_.ResultLen = uint16_t(remLen_ >= dec + 2 ? remLen_ : dec + 11);
        break;
      default: rec_.ResultLen = MemoEvalSize(); break;
    }
    rec_.StringSpace = letter == 'M' ? MemoEvalSize() : uint16_t(space_);
    rec_.Pool.assign(size_t(rec_.StringSpace) + 1, '\0');
    rec_.Work.assign(size_t(std::max(maxWork_, 1)), ExprValue{});
    rec_.DateMemos.resize(rec_.Code.size());
  }

  ExprRecord& rec_;
  std::string_view text_;
  size_t pos_ = 0;
  Tok look_;
  bool have_ = false;
  int remLen_ = 0;
  int remDec_ = -1;
  unsigned space_ = 0;
  int depth_ = 0;
  int work_ = 0;
  int maxWork_ = 0;
};

}  // namespace

ExprRecord* AssignExpr(std::string_view text) {
  auto& err = Engine().err;
  if (err.LastErrorCode >= 350 && err.LastErrorCode <= 363) {
    err.LastErrorCode = 0;
    err.PendingCode = 0;
  }
  auto rec = std::make_shared<ExprRecord>();
  Compiler compiler(text, *rec);
  if (!compiler.Run()) return nullptr;
  exprint::FindKeyParts(*rec);
  exprint::FindFastSteps(*rec);
  rec->Source = std::string(text);
  Engine().expr.Ring.push_back(rec);
  return rec.get();
}

void FreeExpr(ExprRecord*& rec) {
  auto& ring = Engine().expr.Ring;
  auto it = std::find_if(ring.begin(), ring.end(), [&](const auto& p) { return p.get() == rec; });
  if (it != ring.end()) {
    if (Engine().expr.Current == rec) Engine().expr.Current = nullptr;
    ring.erase(it);
  }
  rec = nullptr;
}

std::string ExprSource(const ExprRecord* rec) { return rec ? rec->Source : std::string(); }

void SetCurrentExpr(ExprRecord* rec) { Engine().expr.Current = rec; }

const void* EvaluateCurrentExpr() { return Evaluate(Engine().expr.Current); }

uint16_t MemoEvalSize() { return Engine().expr.MemoEvalSize; }
void SetMemoEvalSize(uint16_t size) { Engine().expr.MemoEvalSize = size; }

uint16_t CheckExpression(std::string_view text, bool isKey) {
  std::string_view trimmed = text.substr(0, text.find_last_not_of(' ') + 1);
  if (text.find_last_not_of(' ') == std::string_view::npos) return 359;
  if (isKey && trimmed.size() > 220) return 360;
  AutoErrorHandlingScope quiet(false);
  // A memo key needs no string work area to be checked.
  struct MemoSizeScope {
    uint16_t saved = MemoEvalSize();
    MemoSizeScope() { SetMemoEvalSize(0); }
    ~MemoSizeScope() { SetMemoEvalSize(saved); }
  } memoSize;
  ExprRecord* rec = AssignExpr(trimmed);
  uint16_t code = 0;
  if (!rec) {
    code = LastErrorCode();
  } else {
    if (isKey && (rec->ResultType == 'M' || rec->ResultType == 'L')) code = 361;
    if (!isKey && rec->ResultType != 'L') code = 362;
    FreeExpr(rec);
  }
  TakeLastErrorMessage();
  LastErrorCode() = 0;
  return code;
}

void InstallExpressionHooks() {
  auto& hooks = Engine().db.Hooks.Expr;
  hooks.Compile = [](const std::string& source) { return AssignExpr(source); };
  hooks.Free = [](ExprRecord*& rec) { FreeExpr(rec); };
  hooks.Evaluate = [](ExprRecord*& rec) { return static_cast<const uint8_t*>(Evaluate(rec)); };
  hooks.Source = [](ExprRecord* rec) { return ExprSource(rec); };
  hooks.EvaluateCurrent = [] { return static_cast<const uint8_t*>(EvaluateCurrentExpr()); };
  hooks.Linked = true;
}
