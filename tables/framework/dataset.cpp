#include "tables/framework/dataset.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/pfs.h"
#include "platform/psys.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzstate.h"

namespace {

const FormatSettings& Fmt() { return Engine().format; }

// Days from 1 January 1970 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yoe + era * 400 + (m <= 2));
}

constexpr int64_t kUnixDateDelta = 25569;  // TDateTime of 1 January 1970

std::string Digits(int v, int width) {
  std::string s = std::to_string(v);
  if (int(s.size()) < width) s.insert(0, size_t(width - int(s.size())), '0');
  return s;
}

bool ParseWhole(const std::string& text, int64_t& out) {
  const std::string t = AllTrim(text);
  const char* b = t.data();
  if (!t.empty() && t[0] == '+') ++b;
  auto r = std::from_chars(b, t.data() + t.size(), out);
  return !t.empty() && r.ec == std::errc() && r.ptr == t.data() + t.size();
}

int32_t StrToInt(const std::string& text) {
  int64_t v = 0;
  if (!ParseWhole(text, v) || v < INT32_MIN || v > INT32_MAX)
    throw EDatabaseError("'" + text + "' is not a valid integer value");
  return int32_t(v);
}

int32_t RoundToInt(double v) {
  const double r = std::nearbyint(v);
  if (!(r >= INT32_MIN && r <= INT32_MAX)) throw EDatabaseError("'" + FloatToStr(v) + "' is not a valid integer value");
  return int32_t(r);
}

}  // namespace

// ---- Dates and numbers ------------------------------------------------------

int32_t DateTimeToDayNumber(TDateTime d) { return int32_t(std::trunc(d)) + kDateDelta; }
TDateTime DayNumberToDateTime(int32_t day) { return double(day - kDateDelta); }

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  if (day > DaysInMonth(year, month)) return false;
  out = double(DaysFromCivil(year, month, day) + kUnixDateDelta);
  return true;
}

void DecodeDate(TDateTime d, int& year, int& month, int& day) {
  CivilFromDays(int64_t(std::floor(d)) - kUnixDateDelta, year, month, day);
}

std::string DateToStr(TDateTime d) {
  int y, m, dd;
  DecodeDate(d, y, m, dd);
  const std::string& f = Fmt().ShortDateFormat;
  std::string out;
  for (size_t i = 0; i < f.size();) {
    const char c = char(f[i] | 0x20);  // d, m, y in either case
    size_t run = 1;
    if (c == 'd' || c == 'm' || c == 'y')
      while (i + run < f.size() && char(f[i + run] | 0x20) == c) ++run;
    if (c == 'd') out += run == 1 ? std::to_string(dd) : Digits(dd, 2);
    else if (c == 'm') out += run == 1 ? std::to_string(m) : Digits(m, 2);
    else if (c == 'y') out += run <= 2 ? Digits(y % 100, 2) : Digits(y, 4);
    else if (f[i] == '/') out += Fmt().DateSeparator;
    else out += f[i];
    i += run;
  }
  return out;
}

bool TryStrToDate(const std::string& text, TDateTime& out) {
  std::vector<std::string> parts(1);
  for (char c : AllTrim(text)) {
    if (c == Fmt().DateSeparator) parts.emplace_back();
    else parts.back() += c;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  int n[3] = {0, 0, 0};
  size_t yearDigits = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string p = AllTrim(parts[i]);
    if (p.empty() || p.size() > 4 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    n[i] = std::stoi(p);
  }
  const std::string& f = Fmt().ShortDateFormat;
  const size_t first = f.find_first_of("dDmMyY");
  const char order = first == std::string::npos ? 'm' : char(f[first] | 0x20);
  const int thisYear = plat::LocalParts(plat::Now()).year;
  int y = thisYear, m, d;
  if (parts.size() == 2) {
    m = order == 'd' ? n[1] : n[0];
    d = order == 'd' ? n[0] : n[1];
  } else if (order == 'd') {
    d = n[0], m = n[1], y = n[2], yearDigits = AllTrim(parts[2]).size();
  } else if (order == 'y') {
    y = n[0], m = n[1], d = n[2], yearDigits = AllTrim(parts[0]).size();
  } else {
    m = n[0], d = n[1], y = n[2], yearDigits = AllTrim(parts[2]).size();
  }
  if (parts.size() == 3 && yearDigits <= 2) y += thisYear / 100 * 100;
  return TryEncodeDate(y, m, d, out);
}

TDateTime StrToDate(const std::string& text) {
  TDateTime d = 0;
  if (!TryStrToDate(text, d)) throw EDatabaseError("'" + text + "' is not a valid date");
  return d;
}

std::string FloatToStr(double v) {
  if (v == 0 || !std::isfinite(v)) return v == 0 ? "0" : std::isnan(v) ? "NAN" : v > 0 ? "INF" : "-INF";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 14);
  const std::string s(buf, r.ptr);  // d.ddddddddddddddde[+-]xx
  const size_t e = s.find('e');
  std::string digits = s.substr(0, 1) + s.substr(2, e - 2);
  int exp10 = std::stoi(s.substr(e + 1));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out = v < 0 ? "-" : "";
  if (exp10 >= 15 || exp10 < -5) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += Fmt().DecimalSeparator + digits.substr(1);
    out += "E" + std::to_string(exp10);
  } else if (exp10 < 0) {
    out += "0" + std::string(1, Fmt().DecimalSeparator) + std::string(size_t(-exp10 - 1), '0') + digits;
  } else {
    if (digits.size() <= size_t(exp10) + 1) {
      out += digits + std::string(size_t(exp10) + 1 - digits.size(), '0');
    } else {
      out += digits.substr(0, size_t(exp10) + 1) + Fmt().DecimalSeparator + digits.substr(size_t(exp10) + 1);
    }
  }
  return out;
}

double StrToFloat(const std::string& text) {
  std::string t = AllTrim(text);
  for (char& c : t)
    if (c == Fmt().DecimalSeparator) c = '.';
  const char* b = t.data();
  if (!t.empty() && t[0] == '+') ++b;
  double v = 0;
  auto r = std::from_chars(b, t.data() + t.size(), v);
  if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
    throw EDatabaseError("'" + text + "' is not a valid floating point value");
  return v;
}

int32_t TStream::Size() {
  const int32_t pos = Seek(0, 1);
  const int32_t size = Seek(0, 2);
  Seek(pos, 0);
  return size;
}

// ---- Fields -------------------------------------------------------------------

TField::TField(TDataSet& dataSet, const TFieldDef& def)
    : dataSet_(dataSet), name_(def.Name), type_(def.DataType), size_(def.Size), fieldNo_(def.FieldNo) {}

bool TField::GetData(void* buffer) { return dataSet_.GetFieldData(*this, buffer); }
void TField::SetData(const void* buffer) { dataSet_.SetFieldData(*this, buffer); }

bool TField::IsNull() {
  std::vector<char> buf(size_t(std::max(DataSize(), 1)));
  return !GetData(buf.data());
}

void TField::AccessError(const char* typeName) const {
  throw EDatabaseError("Cannot access field '" + name_ + "' as type " + typeName);
}

std::string TField::AsString() { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
int32_t TField::AsInteger() { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
double TField::AsFloat() { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
bool TField::AsBoolean() { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
TDateTime TField::AsDateTime() { AccessError("DateTime"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }
TVarValue TField::Value() { AccessError("Variant"); }

void TField::CheckTypeSize(int size) {
  if (size != 0) throw EDatabaseError("Invalid field size");
}

std::string TStringField::AsString() {
  std::vector<char> buf(size_t(DataSize()) + 1, 0);
  if (!GetData(buf.data())) return {};
  return std::string(buf.data());
}

void TStringField::SetAsString(const std::string& v) {
  std::vector<char> buf(size_t(DataSize()), 0);
  std::memcpy(buf.data(), v.data(), std::min(v.size(), size_t(Size())));
  SetData(buf.data());
}

int32_t TStringField::AsInteger() { return StrToInt(AsString()); }
void TStringField::SetAsInteger(int32_t v) { SetAsString(std::to_string(v)); }
double TStringField::AsFloat() { return StrToFloat(AsString()); }
void TStringField::SetAsFloat(double v) { SetAsString(FloatToStr(v)); }

bool TStringField::AsBoolean() {
  const std::string s = AsString();
  return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}

void TStringField::SetAsBoolean(bool v) { SetAsString(v ? "T" : "F"); }

TVarValue TStringField::Value() {
  if (IsNull()) return {};
  return AsString();
}

void TStringField::CheckTypeSize(int size) {
  if (size < 0 || size > 8192) throw EDatabaseError("Invalid field size");
}

template <class T>
std::optional<T> TNumberField<T>::Get() {
  T v{};
  if (!GetData(&v)) return std::nullopt;
  return v;
}

template <class T>
std::string TNumberField<T>::AsString() {
  const std::optional<T> v = Get();
  if (!v) return {};
  if constexpr (std::is_same_v<T, double>) return FloatToStr(*v);
  else return std::to_string(*v);
}

template <class T>
void TNumberField<T>::SetAsString(const std::string& v) {
  if (AllTrim(v).empty()) Clear();
  else if constexpr (std::is_same_v<T, double>) SetAsFloat(StrToFloat(v));
  else SetAsInteger(StrToInt(v));
}

template <class T>
int32_t TNumberField<T>::AsInteger() {
  const std::optional<T> v = Get();
  if (!v) return 0;
  if constexpr (std::is_same_v<T, double>) return RoundToInt(*v);
  else return *v;
}

template <class T>
void TNumberField<T>::SetAsInteger(int32_t v) {
  Set(T(v));
}

template <class T>
double TNumberField<T>::AsFloat() {
  return double(Get().value_or(0));
}

template <class T>
void TNumberField<T>::SetAsFloat(double v) {
  if constexpr (std::is_same_v<T, double>) Set(v);
  else Set(RoundToInt(v));
}

template <class T>
TVarValue TNumberField<T>::Value() {
  const std::optional<T> v = Get();
  if (!v) return {};
  if constexpr (std::is_same_v<T, double>) return *v;
  else return int64_t(*v);
}

template class TNumberField<int32_t>;
template class TNumberField<double>;

std::string TBooleanField::AsString() {
  int16_t v = 0;
  if (!GetData(&v)) return {};
  return v ? "True" : "False";
}

void TBooleanField::SetAsString(const std::string& v) {
  const std::string t = AllTrim(v);
  if (t.empty()) {
    Clear();
    return;
  }
  const char c = char(t[0] | 0x20);
  if (c == 't' || c == 'y') SetAsBoolean(true);
  else if (c == 'f' || c == 'n') SetAsBoolean(false);
  else throw EDatabaseError("'" + v + "' is not a valid boolean value for field '" + FieldName() + "'");
}

bool TBooleanField::AsBoolean() {
  int16_t v = 0;
  return GetData(&v) && v != 0;
}

void TBooleanField::SetAsBoolean(bool v) {
  const int16_t b = v ? 1 : 0;
  SetData(&b);
}

TVarValue TBooleanField::Value() {
  int16_t v = 0;
  if (!GetData(&v)) return {};
  return v != 0;
}

std::string TDateField::GetText() {
  int32_t day = 0;
  return GetData(&day) ? DateToStr(DayNumberToDateTime(day)) : std::string();
}

void TDateField::SetAsString(const std::string& v) {
  if (AllTrim(v).empty()) Clear();
  else SetAsDateTime(StrToDate(v));
}

TDateTime TDateField::AsDateTime() {
  int32_t day = 0;
  return GetData(&day) ? DayNumberToDateTime(day) : 0;
}

void TDateField::SetAsDateTime(TDateTime v) {
  const int32_t day = DateTimeToDayNumber(v);
  SetData(&day);
}

TVarValue TDateField::Value() {
  int32_t day = 0;
  if (!GetData(&day)) return {};
  return DayNumberToDateTime(day);
}

std::string TBlobField::AsString() {
  std::unique_ptr<TStream> s = DataSet().CreateBlobStream(*this, TBlobStreamMode::bmRead);
  std::string text(size_t(std::max(s->Size(), 0)), '\0');
  text.resize(size_t(std::max(s->Read(text.data(), int32_t(text.size())), 0)));
  return text;
}

void TBlobField::SetAsString(const std::string& v) {
  std::unique_ptr<TStream> s = DataSet().CreateBlobStream(*this, TBlobStreamMode::bmWrite);
  if (!v.empty()) s->Write(v.data(), int32_t(v.size()));
}

TVarValue TBlobField::Value() { return AsString(); }

// ---- The dataset ----------------------------------------------------------------

TDataSet::TDataSet(std::string name) : Name(std::move(name)) {}
TDataSet::~TDataSet() = default;

void TDataSet::DatabaseError(const std::string& message) const {
  throw EDatabaseError(Name.empty() ? message : Name + ": " + message);
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckCanModify() {
  if (!GetCanModify()) DatabaseError("Cannot modify a read-only dataset");
}

void TDataSet::SetState(TDataSetState s) {
  if (state_ == s) return;
  state_ = s;
  modified_ = false;
}

void TDataSet::SetActive(bool on) {
  if (on == Active()) return;
  if (on) {
    Fire(BeforeOpen);
    try {
      OpenCursor();
    } catch (...) {
      CloseCursor();
      throw;
    }
    SetState(TDataSetState::dsBrowse);
    Fire(AfterOpen);
    if (!IsEmpty()) DoAfterScroll();
  } else {
    Fire(BeforeClose);
    SetState(TDataSetState::dsInactive);
    CloseCursor();
    Fire(AfterClose);
  }
}

void TDataSet::OpenCursor() {
  InternalOpen();
  internalOpenComplete_ = true;
  const size_t n = RecordBufferSize();
  active_.assign(n, 0);
  spare_.assign(n, 0);
  calc_.assign(n, 0);
  ClearBuffers();
  GetNextRecord();
  bof_ = true;
  eof_ = recordCount_ == 0;
}

void TDataSet::CloseCursor() {
  internalOpenComplete_ = false;
  ClearBuffers();
  InternalClose();
  active_.clear();
  spare_.clear();
  calc_.clear();
}

void TDataSet::ClearBuffers() {
  recordCount_ = 0;
  currentRecord_ = -1;
  bof_ = eof_ = true;
}

void TDataSet::SetCurrentRecord() {
  if (currentRecord_ == 0) return;
  switch (GetBookmarkFlag(ActiveBuffer())) {
    case TBookmarkFlag::bfCurrent:
    case TBookmarkFlag::bfInserted: InternalSetToRecord(ActiveBuffer()); break;
    case TBookmarkFlag::bfBOF: InternalFirst(); break;
    case TBookmarkFlag::bfEOF: InternalLast(); break;
  }
  currentRecord_ = 0;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ == 0) return;
  if (currentRecord_ == 0 && CursorLeftActiveRecord()) CursorPosChanged();
  SetCurrentRecord();
}

void TDataSet::MoveToFetched() {
  active_.swap(spare_);
  if (recordCount_ == 0) bof_ = eof_ = false;
  recordCount_ = 1;
  currentRecord_ = 0;
}

bool TDataSet::GetNextRecord() { return FetchRecord(TGetMode::gmNext); }
bool TDataSet::GetPriorRecord() { return FetchRecord(TGetMode::gmPrior); }

bool TDataSet::FetchRecord(TGetMode mode) {
  if (recordCount_ > 0) SetCurrentRecord();
  const bool ok = GetRecord(spare_.data(), mode, true) == TGetResult::grOK;
  if (ok) MoveToFetched();
  else CursorPosChanged();
  return ok;
}

void TDataSet::Resync(bool exact) {
  if (exact) {
    CursorPosChanged();
    if (GetRecord(spare_.data(), TGetMode::gmCurrent, true) != TGetResult::grOK) DatabaseError("Record not found");
  } else if (GetRecord(spare_.data(), TGetMode::gmCurrent, false) != TGetResult::grOK &&
             GetRecord(spare_.data(), TGetMode::gmNext, false) != TGetResult::grOK &&
             GetRecord(spare_.data(), TGetMode::gmPrior, false) != TGetResult::grOK) {
    ClearBuffers();
    return;
  }
  active_.swap(spare_);
  recordCount_ = 1;
  currentRecord_ = 0;
  bof_ = eof_ = false;
}

void TDataSet::First() { GoToEnd(true); }
void TDataSet::Last() { GoToEnd(false); }

void TDataSet::GoToEnd(bool first) {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  // Standing at an end, also when the fetch failed.
  bool& atEnd = first ? bof_ : eof_;
  try {
    if (first) {
      InternalFirst();
      GetNextRecord();
    } else {
      InternalLast();
      GetPriorRecord();
    }
  } catch (...) {
    atEnd = true;
    throw;
  }
  atEnd = true;
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  DoBeforeScroll();
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = eof_ = false;
    for (; distance > 0; --distance, ++moved) {
      if (!GetNextRecord()) {
        eof_ = true;
        break;
      }
    }
    for (; distance < 0; ++distance, --moved) {
      if (!GetPriorRecord()) {
        bof_ = true;
        break;
      }
    }
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& errorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      operation();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = TDataAction::daFail;
      if (errorEvent) errorEvent(*this, e, action);
      if (action == TDataAction::daFail) throw;
      if (action == TDataAction::daAbort) throw EAbort(e.what());
    }
  }
}

void TDataSet::Edit() {
  if (IsEditing(state_)) return;
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit);
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  SetState(TDataSetState::dsEdit);
  Fire(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(TDataSetState::dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(TDataSetState::dsBrowse);
    Resync(false);
    throw;
  }
  modified_ = false;
  Fire(AfterInsert);
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  char* buf = ActiveBuffer();
  // The new record takes the place of the one shown, and keeps its bookmark
  // so that a cancel finds the way back.
  const bool hadRecord = recordCount_ > 0;
  const int32_t old = hadRecord ? GetBookmarkData(buf) : 0;
  InternalInitRecord(buf);
  if (hadRecord) {
    SetBookmarkFlag(buf, TBookmarkFlag::bfInserted);
    SetBookmarkData(buf, old);
  } else {
    SetBookmarkFlag(buf, TBookmarkFlag::bfBOF);
  }
  recordCount_ = 1;
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  char* buf = ActiveBuffer();
  InternalInitRecord(buf);
  SetBookmarkFlag(buf, TBookmarkFlag::bfEOF);
  recordCount_ = 1;
  bof_ = false;
  EndInsertAppend();
}

void TDataSet::Post() {
  if (!IsEditing(state_)) return;
  Fire(BeforePost);
  CheckOperation([this] { InternalPost(); }, OnPostError);
  SetState(TDataSetState::dsBrowse);
  Resync(false);
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  if (!IsEditing(state_)) return;
  Fire(BeforeCancel);
  const bool scroll = state_ == TDataSetState::dsInsert;
  if (scroll) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  SetState(TDataSetState::dsBrowse);
  Resync(false);
  DoAfterCancel();
  if (scroll) DoAfterScroll();
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError("Cannot perform this operation on an empty dataset");
  CheckCanModify();
  Fire(BeforeDelete);
  DoBeforeScroll();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  SetState(TDataSetState::dsBrowse);
  Resync(false);
  Fire(AfterDelete);
  DoAfterScroll();
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync(false);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (IsEditing(state_)) {
    if (modified_) Post();
    else Cancel();
  }
}

TBookmark TDataSet::GetBookmark() {
  if (!Active() || state_ == TDataSetState::dsCalcFields || IsEmpty() ||
      GetBookmarkFlag(ActiveBuffer()) != TBookmarkFlag::bfCurrent)
    return std::nullopt;
  return GetBookmarkData(ActiveBuffer());
}

void TDataSet::GotoBookmark(const TBookmark& b) {
  if (!b) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(*b);
  Resync(true);
  DoAfterScroll();
}

TField* TDataSet::FindField(const std::string& name) {
  const std::string u = Upper(name);
  for (auto& f : fields_)
    if (Upper(f->FieldName()) == u) return f.get();
  return nullptr;
}

TField& TDataSet::FieldByName(const std::string& name) {
  TField* f = FindField(name);
  if (!f) DatabaseError("Field '" + name + "' not found");
  return *f;
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField& field, TBlobStreamMode) {
  DatabaseError("Field '" + field.FieldName() + "' has no blob stream");
}

void TDataSet::InitFieldDefs() {
  fieldDefs_.clear();
  InternalInitFieldDefs();
}

void TDataSet::CreateFields() {
  fields_.clear();
  for (const TFieldDef& def : fieldDefs_) {
    if (def.DataType == TFieldType::ftUnknown) continue;
    std::unique_ptr<TField> f = CreateFieldObject(def);
    f->CheckTypeSize(def.Size);
    fields_.push_back(std::move(f));
  }
}

std::unique_ptr<TField> TDataSet::CreateFieldObject(const TFieldDef& def) {
  switch (def.DataType) {
    case TFieldType::ftString: return std::make_unique<TStringField>(*this, def);
    case TFieldType::ftInteger: return std::make_unique<TIntegerField>(*this, def);
    case TFieldType::ftFloat: return std::make_unique<TFloatField>(*this, def);
    case TFieldType::ftBoolean: return std::make_unique<TBooleanField>(*this, def);
    case TFieldType::ftDate: return std::make_unique<TDateField>(*this, def);
    case TFieldType::ftMemo: return std::make_unique<TMemoField>(*this, def);
    case TFieldType::ftUnknown: break;
  }
  DatabaseError("Field '" + def.Name + "' is of an unknown type");
}

void TDataSet::DoOnNewRecord() { Fire(OnNewRecord); }

void TDataSet::DataEventFieldChange(TField& field) {
  modified_ = true;
  if (field.OnChange) field.OnChange(field);
}
