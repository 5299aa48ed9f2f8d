// Sequential search of the current area: Locate, Continue, LocateFields.
// The search reads the stored field bytes, not the typed buffer, so that it
// compares what the file holds; index order plays no part.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "tablebase/dbf4.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"

namespace {

LocateState& Search() { return Db().Search; }

std::string ValueText(const LocateValue& v) {
  struct {
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(int64_t n) const { return StrInt(n, 0); }
    std::string operator()(double d) const {
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, d);
      return std::string(buf, r.ptr);
    }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
  } visit;
  return std::visit(visit, v);
}

// A number from the value; text is read with "." or the engine's decimal
// separator as the point.
double ValueNumber(const LocateValue& v) {
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* n = std::get_if<int64_t>(&v)) return double(*n);
  if (auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
  std::string s = AllTrim(std::get<std::string>(v));
  std::replace(s.begin(), s.end(), Engine().text.TzDecimalSep, '.');
  double d = 0;
  std::from_chars(s.data(), s.data() + s.size(), d);
  return d;
}

bool ValueTrue(const LocateValue& v) {
  if (auto* b = std::get_if<bool>(&v)) return *b;
  if (auto* s = std::get_if<std::string>(&v)) {
    std::string t = Upper(AllTrim(*s));
    return t == "T" || t == "TRUE" || t == "Y" || t == ".T.";
  }
  return ValueNumber(v) != 0;
}

// The numbers of a field as the table stores them: "." as the decimal
// point whatever the user's separator, right-aligned in the field.
std::string StoredNumber(const FieldEntry& f, double v) { return FormatNumber(v, f.Len, f.Dec); }

// The value as the field's text (Locate step 3).
std::string FieldText(const FieldEntry& f, const LocateValue& v, bool exact) {
  switch (f.Type) {
    case 'C': {
      std::string s = ValueText(v);
      return exact ? PadR(s, f.Len) : s;
    }
    case 'D': return DTOS(ValueText(v));
    case 'N':
    case 'F': return StoredNumber(f, ValueNumber(v));
    case 'L': return ValueTrue(v) ? "T" : "F";
    default: return ValueText(v);
  }
}

// The text of field `n` from the typed buffer of an in-memory table, in the
// forms above; empty when the list has no typed layout for it.
std::string TypedText(const WorkArea& a, int n) {
  if (!a.Typed || size_t(n) > a.TypedOffsets.size()) return {};
  const FieldEntry& f = a.Fields[size_t(n - 1)];
  const char* slot = a.Typed + a.TypedOffsets[size_t(n - 1)];
  switch (f.Type) {
    case 'C': return PadR(std::string(slot + 1, std::min<size_t>(uint8_t(slot[0]), f.Len)), f.Len);
    case 'D': return DTOS(std::string(slot + 1, std::min<size_t>(uint8_t(slot[0]), 10)));
    case 'N':
    case 'F':
      if (TypedFieldSize(f) == 8) {
        double d;
        std::memcpy(&d, slot, sizeof d);
        return StoredNumber(f, d);
      } else {
        int32_t i;
        std::memcpy(&i, slot, sizeof i);
        return StoredNumber(f, i);
      }
    case 'L': return slot[0] ? "T" : "F";
    default: return {};
  }
}

// Whether one line of memo text or a field's text matches the search.
bool TextMatches(std::string text) {
  const LocateState& s = Search();
  if (!s.Exact && !s.Contained && text.size() > s.Value.size()) text.resize(s.Value.size());
  if (!s.CaseSensitive) text = Upper(text);
  return s.Contained ? text.find(s.Value) != std::string::npos : text == s.Value;
}

// Memo search: any line of the memo holds the value. -1 after an error.
int MemoMatches(const std::string& fieldText, bool oem) {
  const LocateState& s = Search();
  std::string t = AllTrim(fieldText);
  int32_t block = 0;
  std::from_chars(t.data(), t.data() + t.size(), block);
  // Blob streams write negated references into dBASE III memo files.
  if (block < 0 && block != INT32_MIN) block = -block;
  if (block < 1) return 0;
  auto& hook = Hooks().Memo.AssignMemo;
  if (!hook) {
    SetError(220, "MEMO unit not linked in [Count/Sum/Continue]");
    return -1;
  }
  TextFile memo;
  hook(memo, block);
  if (LastErrorCode() != 0) return -1;
  memo.Reset();
  if (LastErrorCode() != 0) return -1;
  std::string line;
  while (memo.ReadLn(line)) {
    // The value is engine text, as for the fields.
    if (oem) line = OemToAnsi(line);
    if (!s.CaseSensitive) line = Upper(line);
    if (line.find(s.Value) != std::string::npos) return 1;
  }
  return 0;
}

// Reads a table's records in blocks for the scan. Each block is read from
// the file when the scan reaches it, so the scan sees what other programs
// wrote up to that moment, as reading record by record would.
class RecordBlocks {
 public:
  explicit RecordBlocks(WorkArea& a) : a_(a) {}
  // The bytes of record `rec`, null after reporting a read error.
  const char* Record(int32_t rec, int32_t last) {
    if (rec < first_ || rec >= first_ + count_) {
      // Small first, so that a Continue finding the next record reads
      // little; growing for a long scan.
      const int32_t want = std::min<int64_t>(std::max<int64_t>(1, blockBytes_ / a_.RecLen), last - rec + 1);
      blockBytes_ = std::min(blockBytes_ * 2, kMaxBlockBytes);
      data_.resize(size_t(want) * a_.RecLen);
      size_t got = 0;
      int rc = a_.File.ReadAt(int64_t(a_.HeaderLen) + int64_t(rec - 1) * a_.RecLen, data_.data(), data_.size(), &got);
      if (rc == 0 && got < a_.RecLen) rc = 100;
      if (rc != 0) {
        SetError(uint16_t(rc), "DBF: " + a_.FileName + " [Locate/Continue]");
        return nullptr;
      }
      first_ = rec;
      count_ = int32_t(got / a_.RecLen);
    }
    return data_.data() + size_t(rec - first_) * a_.RecLen;
  }

 private:
  static constexpr int64_t kMaxBlockBytes = 65536;
  int64_t blockBytes_ = 2048;
  WorkArea& a_;
  std::vector<char> data_;
  int32_t first_ = 0, count_ = 0;
};

void ToEndOfFile() {
  GoBottom();
  if (RecCount() > 0) SKIP(1);
}

// Ties the search to field `field` of the table open in the current area.
void StartSearch(LocateState& s, const WorkArea& a, uint8_t field) {
  s.Field = field;
  s.Area = CurrentArea();
  s.OpenId = a.OpenId;
}

// The scan from record `start` with the search state; positions on the
// first match or at end of file.
void Scan(int32_t start, uint8_t field, bool first) {
  WorkArea* a = CurrentWorkArea();
  LocateState& s = Search();
  if (first) {
    if (!s.Exact) s.Value = RTrim(s.Value);
    if (!s.CaseSensitive) s.Value = Upper(s.Value);
    StartSearch(s, *a, field);
  }
  const FieldEntry& f = a->Fields[size_t(field - 1)];
  const bool memo = f.Type == 'M';
  const int32_t last = RecCount();
  RecordBlocks blocks(*a);
  for (int32_t r = std::max(start, 1); r <= last; ++r) {
    std::string text;
    if (a->Virtual) {
      GO(r);
      a = CurrentWorkArea();
      if (LastErrorCode() != 0 || !a) return;
      if (memo) continue;
      text = TypedText(*a, field);
    } else {
      const char* rec = blocks.Record(r, last);
      if (!rec) return;
      text.assign(rec + f.Pos, f.Len);
      // The value is engine text: compare in one code page.
      if (a->Oem) text = OemToAnsi(text);
    }
    bool match;
    if (memo) {
      int m = MemoMatches(text, a->Oem);
      if (m < 0) return;
      match = m == 1;
    } else {
      match = TextMatches(std::move(text));
    }
    if (match) {
      GO(r);
      return;
    }
  }
  ToEndOfFile();
  s.Field = 0;
}

}  // namespace

uint8_t LocateCountSum(const std::string& text) {
  if (!CheckDbInUse("Locate/Count/Sum")) return 0;
  std::string t = Upper(AllTrim(text));
  if (t.empty()) {
    SetError(220, "No field name specified [Locate/Count/Sum]");
    return 0;
  }
  LocateState& s = Search();
  s.CaseSensitive = !RemoveKeyword(" NOCASE", t);
  s.Exact = RemoveKeyword(" EXACT", t);
  s.Contained = RemoveKeyword(" CONTAINED", t);
  uint8_t n = FieldNo(t);
  if (n == 0) SetError(220, "Unrecognized field name [Locate/Count/Sum(" + t + ")]");
  return n;
}

bool Locate(const std::string& field, const LocateValue& value, bool noCase, int32_t start, bool exact) {
  LastErrorCode() = 0;
  std::string text = AllTrim(field);
  if (text.substr(0, text.find(' ')).empty()) return false;
  if (noCase) text += " NOCASE";
  if (exact) text += " EXACT";
  LocateState& s = Search();
  s.Value.clear();
  const uint8_t n = LocateCountSum(text);
  if (n == 0) return false;
  WorkArea* a = CurrentWorkArea();
  const FieldEntry& f = a->Fields[size_t(n - 1)];
  if (f.Type == 'M' && a->Virtual) {
    ToEndOfFile();
    StartSearch(s, *a, n);
    return false;
  }
  // " EXACT" in the field text counts as the flag does.
  s.Value = FieldText(f, value, s.Exact);
  Scan(start, n, true);
  while (LastErrorCode() == 0 && !dEOF() && !RecordVisible()) Continue();
  return LastErrorCode() == 0 && !dEOF();
}

void Continue() {
  LastErrorCode() = 0;
  const WorkArea* a = CheckDbInUse("Continue");
  if (!a) return;
  const LocateState& s = Search();
  // A search goes on only in the area and the open it was started on: its
  // field number means nothing to another table.
  if (s.Field == 0 || s.Area != CurrentArea() || s.OpenId != a->OpenId) {
    SetError(220, "Call to CONTINUE not preceeded by call to LOCATE. [Continue]");
    return;
  }
  Scan(RecNo() + 1, s.Field, false);
}

bool LocateFields(const std::string& fields, const std::vector<LocateValue>& values, bool noCase, bool stay,
                  bool exact) {
  WorkArea* a = CheckDbInUse("LocateFields");
  if (!a) return false;
  std::vector<std::string> names;
  for (size_t at = 0;;) {
    size_t semi = fields.find(';', at);
    names.push_back(fields.substr(at, semi == std::string::npos ? std::string::npos : semi - at));
    if (semi == std::string::npos) break;
    at = semi + 1;
  }
  if (values.size() < names.size()) {
    SetError(220, "One value per field needed [LocateFields(" + fields + ")]");
    return false;
  }
  const int32_t startRec = a->RecNo;
  const uint8_t area = CurrentArea();
  std::function<void()> afterMove = std::move(a->AfterMove);
  a->AfterMove = nullptr;
  bool found = false;
  const size_t n = names.size();
  if (n == 1) {
    found = Locate(names[0], values[0], noCase, 1, exact);
  } else {
    size_t i = 0;
    int32_t r = 1;
    for (;;) {
      found = Locate(names[i], values[i], noCase, r, exact);
      if (!found) break;
      const int32_t at = RecNo();
      ++i;
      if (i > 1 && at != r) {
        i = 0;
      } else if (i == n) {
        break;
      }
      r = at;
    }
  }
  const uint16_t code = LastErrorCode();
  if (!(stay && found)) GoIfValid(startRec);
  if (WorkArea* w = WorkAreaOf(area)) w->AfterMove = std::move(afterMove);
  if (code != 0) LastErrorCode() = code;
  return found;
}
