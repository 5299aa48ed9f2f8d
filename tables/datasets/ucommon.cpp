#include "tables/datasets/ucommon.h"

#include <cmath>
#include <cstring>

#include "tables/expr/tzndxlow.h"
#include "tablebase/dbf4.h"
#include "tablebase/engineui.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

constexpr int kMaxDateText = 10;

// Bytes of a field's value in the record image.
uint16_t ImageBytes(const TDTField& f) {
  switch (f.Type) {
    case 'C': return uint16_t(f.Length + 1);
    case 'D': return 8;
    case 'N':
    case 'F': return f.Decimals > 0 ? 8 : 4;
    case 'L': return 2;
    case 'M': return 4;
    default: return 0;
  }
}

TFieldType FrameworkType(const TDTField& f) {
  switch (f.Type) {
    case 'C': return TFieldType::ftString;
    case 'D': return TFieldType::ftDate;
    case 'N':
    case 'F': return f.Decimals > 0 ? TFieldType::ftFloat : TFieldType::ftInteger;
    case 'L': return TFieldType::ftBoolean;
    case 'M': return TFieldType::ftMemo;
    default: return TFieldType::ftUnknown;
  }
}

// The field sizes the framework keeps: characters of a text, digits of a
// number.
int FrameworkSize(const TDTField& f) {
  switch (FrameworkType(f)) {
    case TFieldType::ftString:
    case TFieldType::ftFloat:
    case TFieldType::ftInteger: return f.Length;
    default: return 0;
  }
}

LocateValue ToLocateValue(const TVarValue& v) {
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto i = std::get_if<int64_t>(&v)) return *i;
  if (auto d = std::get_if<double>(&v)) return *d;
  if (auto b = std::get_if<bool>(&v)) return *b;
  return std::string();
}

std::vector<LocateValue> ToLocateValues(const std::vector<TVarValue>& values) {
  std::vector<LocateValue> out;
  out.reserve(values.size());
  for (const auto& v : values) out.push_back(ToLocateValue(v));
  return out;
}

// The trimmed items of `text` between its separators ("a; b" gives "a", "b").
std::vector<std::string> SplitTrimmed(const std::string& text, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    out.push_back(AllTrim(text.substr(start, at == std::string::npos ? std::string::npos : at - start)));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

void StoreDateText(char* slot, const std::string& text) {
  const size_t n = std::min(text.size(), size_t(kMaxDateText));
  slot[0] = char(n);
  std::memcpy(slot + 1, text.data(), n);
}

}  // namespace

// ---- Module routines --------------------------------------------------------------

TDbfFieldProps::TDbfFieldProps() : record_(FieldAddress(0)) {
  const int count = ::FieldCount();
  fields_.reserve(size_t(count));
  for (int n = 1; n <= count; ++n) {
    TDTField f;
    f.Name = ::Field(n);
    f.Type = FieldType(n);
    f.Length = FieldLen(n);
    f.Decimals = FieldDec(n);
    f.Position = uint16_t(FieldAddress(n) - record_);
    fields_.push_back(std::move(f));
  }
}

TDateTime DateTextToDateTime(const std::string& text, bool raise) {
  const std::string t = LTrim(text).substr(0, kMaxDateText);
  std::string s = t;
  const int format = Engine().dates.DateFormat;
  if (CheckDate(s)) {
    if (s == BlankDate(format)) return 0;
    // A two-digit year gets its century before the window library reads
    // the text.
    if (s.size() < 9) {
      if (format == 1) s.insert(0, CenturyDigits(s.substr(0, 2)));
      else s.insert(6, CenturyDigits(s.substr(6, 2)));
    }
    TDateTime d = 0;
    if (TryStrToDate(s, d)) return d;
    if (raise) return StrToDate(s);
    return 0;
  }
  if (raise && !t.empty()) return StrToDate(t);
  return 0;
}

bool DisableAutoErrors() { return SetAutoErrorHandling(false); }
bool EnableAutoErrors() { return SetAutoErrorHandling(true); }

void DatasetUnitStartup() {
  const FormatSettings& f = Engine().format;
  Engine().text.TzThousandSep = f.ThousandSeparator;
  Engine().text.TzDecimalSep = f.DecimalSeparator;
  Engine().dates.CenturyOn = Upper(f.ShortDateFormat).find("YYYY") != std::string::npos;
  int format = 0;
  const char first = f.ShortDateFormat.empty() ? ' ' : f.ShortDateFormat[0];
  if (first == 'D' || first == 'd') format = f.DateSeparator == '-' ? 3 : f.DateSeparator == '.' ? 5 : 2;
  else if (first == 'Y' || first == 'y') format = 1;
  SetDateFormat(format);
}

// ---- TTzDataSet -------------------------------------------------------------------

TTzDataSet::TTzDataSet(std::string name) : TTzPrimDataset(std::move(name)) {}

TTzDataSet::~TTzDataSet() {
  try {
    Close();
  } catch (...) {
    // Closing an area reports through the engine; a destructor has nobody
    // to report to.
  }
}

void TTzDataSet::NotOpenError(const std::string& message) {
  {
    AutoErrorHandlingScope record(false);
    SetError(1103, message);
  }
  DatasetError(1103);
}

void TTzDataSet::SelectArea(const std::string& operation) {
  if (area_ == 0) NotOpenError("Database is not open [" + Name + "." + operation + "]");
  if (CurrentArea() != area_) Select(area_);
  DbSettings().AnsiTables = TableLanguage == TTzTableLanguage::tlAnsi;
}

void TTzDataSet::ShowDatasetMessage(const std::string& text) { Ui().MessageBox(text, "", MB_OK); }

bool TTzDataSet::s_IsEmptyDbf() {
  SelectArea("s_IsEmptyDbf");
  return dBOF() && dEOF();
}

uint32_t TTzDataSet::SafeGo(int32_t n) {
  SelectArea("SafeGo");
  if (n >= 1 && n <= ::RecCount()) {
    GO(n);
    bofCrack_ = eofCrack_ = false;
    return 0;
  }
  return TziSetToEnd();
}

bool TTzDataSet::OpenDataset() {
  props_.reset();
  imageSize_ = 0;
  const uint8_t previous = CurrentArea();
  Select(area_);
  if (LastErrorCode() != 0) {
    const uint16_t code = LastErrorCode();
    Select(previous);
    LastErrorCode() = code;
    return false;
  }
  DbSettings().AnsiTables = TableLanguage == TTzTableLanguage::tlAnsi;
  const uint8_t area = CurrentArea();
  // A table whose open failed after USE (an engine error raised, or an
  // index that could be neither opened nor built) does not stay open
  // without its dataset; the error stays the one reported.
  auto closeArea = [area] {
    RunKeepingError([area] {
      if (!WorkAreaOf(area)) return;
      AreaScope scope(area);
      CloseArea();
    });
  };
  try {
    if (!OpenDbfTable(dbfFileName_)) {
      closeArea();
      return false;
    }
    SetIgnoreDel(hideDeleted_);
  } catch (...) {
    closeArea();
    throw;
  }
  area_ = area;
  props_ = std::make_unique<TDbfFieldProps>();
  imageOffsets_.assign(size_t(props_->Count()), 0);
  imageSize_ = 1;
  for (int n = 1; n <= props_->Count(); ++n) {
    const TDTField& f = props_->Field(n);
    if (f.Name.empty()) continue;
    imageOffsets_[size_t(n - 1)] = imageSize_;
    imageSize_ = uint16_t(imageSize_ + ImageBytes(f));
  }
  return true;
}

void TTzDataSet::SetDbfFileName(const std::string& name) {
  const bool wasActive = Active();
  Close();
  std::string n = AllTrim(name);
  if (!n.empty() && n.back() != '.') n = DefaultExtension(n, "DBF");
  dbfFileName_ = n;
  if (wasActive && !n.empty()) Open();
}

void TTzDataSet::SetHideDeletedRecs(bool on) {
  if (on == hideDeleted_) return;
  hideDeleted_ = on;
  if (!Active()) return;
  UpdateCursorPos();
  SelectArea("SetHideDeletedRecs");
  SetIgnoreDel(on);
  // With every record hidden the engine stands past the end; records that
  // come back into view are shown from the first.
  if (IsEmpty()) {
    First();
    return;
  }
  LeaveHiddenRecord();
  ResyncFromEngine();
}

void TTzDataSet::CorrectDefinition(const std::string& name, char& type, int& length, int& decimals) {
  char t = type;
  int len = length, dec = decimals;
  if (t == 'B' || t == 'G' || t == 'P') t = 'M';
  if (std::string_view("CDFLMN").find(t) == std::string_view::npos) t = 'C';
  if (t == 'N' && len > 20) len = 20;
  if (t == 'N' && dec > 18) dec = 18;
  // At least a digit and the point before the decimals; a field too short
  // for that keeps none.
  if (t == 'N' && dec != 0 && length - dec < 2) dec = std::max(length - 2, 0);
  if (t == 'C' && len > 254) {
    len = 254;
    dec = 0;
  }
  if (t == type && len == length && dec == decimals) return;
  ShowDatasetMessage("Invalid field definition for " + Name + ": " + name + "," + std::string(1, type) + "," +
                     IntText(length) + "," + IntText(decimals) + ". Will use corrected definition: " + name + "," +
                     std::string(1, t) + "," + IntText(len) + "," + IntText(dec));
  type = t;
  length = len;
  decimals = dec;
}

void TTzDataSet::FillDbfFields() {
  SelectArea("FillDbfFields");
  const WorkArea* a = CurrentWorkArea();
  DbfFields.clear();
  for (const FieldEntry& f : a->Fields) {
    char type = f.Type;
    int length = f.Len, decimals = f.Dec;
    const std::string name = f.Name.substr(0, 10);
    CorrectDefinition(name, type, length, decimals);
    DbfFields.push_back(Lower(name) + ", " + std::string(1, type) + ", " + IntText(length) + ", " +
                        IntText(decimals));
  }
}

bool TTzDataSet::CreateTableFromDbfFields() {
  if (DbfFields.empty()) {
    ShowDatasetMessage("FieldList.Count is <= 0 trying to create a database");
    return false;
  }
  std::vector<FieldEntry> defs;
  for (const std::string& line : DbfFields) {
    if (Occurs(",", line) != 3) return false;
    const std::vector<std::string> item = SplitTrimmed(line, ',');
    char type = item[1].empty() ? ' ' : UpperChar(item[1][0]);
    if (type == 'X') continue;
    int length = ValInt(item[2]), decimals = ValInt(item[3]);
    const std::string name = item[0].substr(0, 10);
    CorrectDefinition(name, type, length, decimals);
    FieldEntry e;
    e.Name = name;
    e.Type = type;
    e.Len = uint8_t(std::min(length, 255));
    e.Dec = uint8_t(std::min(decimals, 255));
    defs.push_back(std::move(e));
  }
  AutoErrorHandlingScope quiet(false);
  WorkArea scratch;
  CreateDbf(scratch, dbfFileName_, defs);
  return LastErrorCode() == 0;
}

bool TTzDataSet::IsDeleted() {
  const char* r = FieldAccessBuffer();
  return r && r[0] != 0;
}

void TTzDataSet::Restore() {
  CheckBrowseMode();
  if (IsEmpty()) DatabaseError("Cannot perform this operation on an empty dataset");
  CheckCanModify();
  DoBeforeRestore();
  UpdateCursorPos();
  s_RestoreWithLock();
  ResyncFromEngine();
  DoAfterRestore();
}

void TTzDataSet::Post() {
  if (!IsEditing(State())) return;
  TTzPrimDataset::Post();
  if (s_IsEmptyDbf()) ShowNoRecord();
}

void TTzDataSet::ResyncFromEngine() {
  if (LastErrorCode() != 0) return;
  if (IsEditing(State())) SetState(TDataSetState::dsBrowse);
  if (s_IsEmptyDbf()) {
    ShowNoRecord();
  } else {
    bofCrack_ = eofCrack_ = false;
    Resync(true);
  }
  DoAfterScroll();
}

void TTzDataSet::ShowNoRecord() {
  std::memset(ActiveBuffer(), 0, RecordBufferSize());
  bofCrack_ = eofCrack_ = true;
  Resync(false);
}

void TTzDataSet::DirectOpenClose(bool) {
  if (!Active()) NotOpenError("DataSet must be active. " + Name);
}

void TTzDataSet::PutActiveRecordIntoEdit() {
  Edit();
  ImageToTyped(ActiveBuffer());
}

uint16_t TTzDataSet::FieldImageOffset(const TField& field) const {
  return imageOffsets_.at(size_t(field.FieldNo() - 1));
}

// ---- Record image ----------------------------------------------------------------

void TTzDataSet::TypedToImage(char* image) {
  image[0] = *props_->Address(0);
  for (int n = 1; n <= props_->Count(); ++n) {
    const TDTField& f = props_->Field(n);
    if (f.Name.empty()) continue;
    const char* slot = props_->Address(n);
    char* dst = image + imageOffsets_[size_t(n - 1)];
    switch (f.Type) {
      case 'C': std::memcpy(dst, slot, size_t(f.Length) + 1); break;
      case 'D': {
        const std::string text(slot + 1, std::min<size_t>(uint8_t(slot[0]), kMaxDateText));
        const double d = DateTextToDateTime(text, false);
        std::memcpy(dst, &d, sizeof d);
        break;
      }
      case 'N':
      case 'F':
        if (f.Decimals > 0) {
          // The image holds the value as the field stores it: rounded to
          // its decimals.
          double v = 0;
          std::memcpy(&v, slot, sizeof v);
          if (std::isfinite(v)) v = ReadNumber(FormatNumber(v, 0, f.Decimals));
          std::memcpy(dst, &v, sizeof v);
        } else {
          std::memcpy(dst, slot, 4);
        }
        break;
      case 'M': std::memcpy(dst, slot, 4); break;
      case 'L':
        dst[0] = slot[0];
        dst[1] = 0;
        break;
      default: break;
    }
  }
}

void TTzDataSet::ImageToTyped(const char* image, int onlyField) {
  *props_->Address(0) = image[0];
  const int last = onlyField > 0 ? std::min(onlyField, props_->Count()) : props_->Count();
  for (int n = onlyField > 0 ? onlyField : 1; n <= last; ++n) {
    const TDTField& f = props_->Field(n);
    if (f.Name.empty()) continue;
    char* slot = props_->Address(n);
    const char* src = image + imageOffsets_[size_t(n - 1)];
    switch (f.Type) {
      case 'C':
        std::memcpy(slot, src, size_t(f.Length) + 1);
        if (uint8_t(slot[0]) > f.Length) slot[0] = char(f.Length);
        break;
      case 'D': {
        double d = 0;
        std::memcpy(&d, src, sizeof d);
        const int format = Engine().dates.DateFormat;
        std::string text = d != 0 ? RTrim(DateToStr(d)).substr(0, kMaxDateText) : BlankDate(format);
        if (!CheckDate(text)) {
          ShowDatasetMessage("        Invalid date       ");
          text = BlankDate(format);
        }
        StoreDateText(slot, text);
        break;
      }
      case 'N':
      case 'F': std::memcpy(slot, src, f.Decimals > 0 ? 8 : 4); break;
      case 'M': std::memcpy(slot, src, 4); break;
      case 'L': slot[0] = src[0]; break;
      default: break;
    }
  }
}

void TTzDataSet::FillImage(char* buffer, int32_t& recNo) {
  if (buffer) TypedToImage(buffer);
  recNo = ::RecNo();
}

// ---- The cursor slots ----------------------------------------------------------

std::string TTzDataSet::TziErrorText(uint32_t) { return LastErrorText(); }

uint32_t TTzDataSet::TziSetToBegin() {
  SelectArea("TziSetToBegin");
  GoTopWhile();
  bofCrack_ = true;
  eofCrack_ = false;
  return 0;
}

uint32_t TTzDataSet::TziSetToEnd() {
  SelectArea("TziSetToEnd");
  GoBottomWhile();
  eofCrack_ = true;
  bofCrack_ = false;
  return 0;
}

uint32_t TTzDataSet::TziOpen() {
  if (dbfFileName_.empty()) return kCursorNoFileName;
  if (OpenDataset()) return 0;
  return LastErrorCode() != 0 ? LastErrorCode() : kCursorOpenFailed;
}

uint32_t TTzDataSet::TziClose() {
  Select(area_);
  USE("", nullptr, 0);
  area_ = 0;
  props_.reset();
  return 0;
}

int32_t TTzDataSet::TziGetRecordCount() {
  SelectArea("TziGetRecordCount");
  return ::RecCount();
}

uint32_t TTzDataSet::TziForceReread() {
  SelectArea("TziForceReread");
  SKIP(0);
  return 0;
}

uint32_t TTzDataSet::TziAppendRecord(char* buffer) {
  buffer[0] = 0;
  ImageToTyped(buffer);
  s_AppendWithLock();
  bofCrack_ = eofCrack_ = false;
  return 0;
}

uint32_t TTzDataSet::TziDeleteRecord() {
  s_DeleteWithLock();
  if (s_IsEmptyDbf()) ShowNoRecord();
  return 0;
}

uint32_t TTzDataSet::TziInitRecord(char*) {
  SelectArea("TziInitRecord");
  ClearRecord();
  return 0;
}

uint32_t TTzDataSet::TziPostRecord(char* buffer) {
  if (bofCrack_) return kCursorBof;
  if (eofCrack_) return kCursorEof;
  // The framework brought the area back to the edited record; when that
  // failed nothing is written, least of all over the record it stands on.
  SelectArea("TziPostRecord");
  if (CurrentWorkArea()->RecNo != editRecNo_) return LastErrorCode() != 0 ? LastErrorCode() : kCursorEof;
  ImageToTyped(buffer);
  PutBackEditBase();
  s_ReplaceWithLock();
  return 0;
}

bool TTzDataSet::CursorLeftActiveRecord() {
  const char* buffer = ActiveBuffer();
  if (GetBookmarkFlag(buffer) != TBookmarkFlag::bfCurrent) return false;
  SelectArea("UpdateCursorPos");
  return CurrentWorkArea()->RecNo != GetBookmarkData(buffer);
}

void TTzDataSet::InternalEdit() {
  TTzPrimDataset::InternalEdit();
  SelectArea("InternalEdit");
  const WorkArea* a = CurrentWorkArea();
  editRecNo_ = a->RecNo;
  if (a->RecAsRead)
    editBase_.assign(a->Rec, a->Rec + a->RecLen);
  else
    editBase_.clear();
}

void TTzDataSet::PutBackEditBase() {
  if (State() != TDataSetState::dsEdit) return;
  SelectArea("PutBackEditBase");
  WorkArea* a = CurrentWorkArea();
  if (a->RecNo != editRecNo_ || editBase_.size() != a->RecLen) return;
  std::memcpy(a->Rec, editBase_.data(), editBase_.size());
  a->RecAsRead = true;
  a->Memos.EndRewrites();  // the image is the component's now
}

uint32_t TTzDataSet::TziGetRecord(char* buffer, int32_t& recNo) {
  if (bofCrack_) return kCursorBof;
  if (eofCrack_) return kCursorEof;
  SelectArea("TziGetRecord");
  if (buffer) SKIP(0);
  FillImage(buffer, recNo);
  return 0;
}

uint32_t TTzDataSet::TziGetNextRecord(char* buffer, int32_t& recNo) {
  if (eofCrack_) return kCursorEof;
  SelectArea("TziGetNextRecord");
  if (bofCrack_) {
    SKIP(0);
    bofCrack_ = false;
  } else if (!dEOF()) {
    SKIP(1);
  }
  // With automatic error handling off a move that met damage leaves its
  // error pending and may stand at the end: the error is the answer, and
  // the step back below would clear it.
  if (const uint16_t code = LastErrorCode()) return code;
  if (dEOF()) {
    // The area stays on the last record.
    if (!dBOF()) SKIP(-1);
    if (const uint16_t code = LastErrorCode()) return code;
    eofCrack_ = true;
    return kCursorEof;
  }
  FillImage(buffer, recNo);
  return 0;
}

uint32_t TTzDataSet::TziGetPriorRecord(char* buffer, int32_t& recNo) {
  if (bofCrack_) return kCursorBof;
  SelectArea("TziGetPriorRecord");
  if (eofCrack_) {
    SKIP(0);
    eofCrack_ = false;
  } else if (!dBOF()) {
    SKIP(-1);
  }
  if (const uint16_t code = LastErrorCode()) return code;
  if (dBOF()) {
    bofCrack_ = true;
    return kCursorBof;
  }
  FillImage(buffer, recNo);
  return 0;
}

uint32_t TTzDataSet::TziGetFieldData(TField& field, const char* record, bool& isBlank, void* value) {
  isBlank = false;
  if (!value) return 0;
  std::memset(value, 0, size_t(field.DataSize()));
  const char* src = record + FieldImageOffset(field);
  switch (field.DataType()) {
    case TFieldType::ftString: {
      const std::string text = RTrim(std::string(src + 1, std::min<size_t>(uint8_t(src[0]), size_t(field.Size()))));
      std::memcpy(value, text.data(), text.size());
      break;
    }
    case TFieldType::ftDate: {
      double d = 0;
      std::memcpy(&d, src, sizeof d);
      if (d == 0) {
        isBlank = true;
        break;
      }
      const int32_t day = DateTimeToDayNumber(d);
      std::memcpy(value, &day, sizeof day);
      break;
    }
    default: std::memcpy(value, src, size_t(field.DataSize())); break;
  }
  return 0;
}

uint32_t TTzDataSet::TziSetFieldData(TField& field, char* record, const void* value) {
  char* dst = record + FieldImageOffset(field);
  if (!value) {
    std::memset(dst, 0, ImageBytes(props_->Field(field.FieldNo())));
  } else {
    switch (field.DataType()) {
      case TFieldType::ftDate: {
        int32_t day = 0;
        std::memcpy(&day, value, sizeof day);
        const double d = DayNumberToDateTime(day);
        std::memcpy(dst, &d, sizeof d);
        break;
      }
      case TFieldType::ftString: {
        const size_t n = strnlen(static_cast<const char*>(value), size_t(std::min(field.Size(), 255)));
        dst[0] = char(n);
        std::memcpy(dst + 1, value, n);
        break;
      }
      default: std::memcpy(dst, value, size_t(field.DataSize())); break;
    }
  }
  ImageToTyped(record, field.FieldNo());
  return 0;
}

bool TTzDataSet::TziLocate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                           TLocateOptions options) {
  SelectArea("TziLocate");
  const bool found =
      LocateFields(keyFields, ToLocateValues(keyValues), options.CaseInsensitive, true, !options.PartialKey);
  if (found) bofCrack_ = eofCrack_ = false;
  return found;
}

std::vector<TVarValue> TTzDataSet::TziLookup(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                                             const std::string& resultFields) {
  SelectArea("TziLookup");
  const int32_t start = ::RecNo();
  if (!LocateFields(keyFields, ToLocateValues(keyValues), false, true, true)) return {};
  std::vector<TVarValue> result;
  SetState(TDataSetState::dsCalcFields);
  try {
    TypedToImage(CalcBuffer());
    for (const std::string& name : SplitTrimmed(resultFields, ';')) result.push_back(FieldByName(name).Value());
  } catch (...) {
    SetState(TDataSetState::dsBrowse);
    SafeGo(start);
    throw;
  }
  SetState(TDataSetState::dsBrowse);
  SafeGo(start);
  return result;
}

uint32_t TTzDataSet::TziSetToBookmark(int32_t& bookmark) {
  SelectArea("TziSetToBookmark");
  bookmark = ::RecNo();
  return 0;
}

uint32_t TTzDataSet::TziCompareBookmarks(int32_t a, int32_t b, int& result) {
  result = a < b ? -1 : a == b ? 0 : 1;
  return 0;
}

void TTzDataSet::InternalCancel() {
  if (ActiveBuffer()) std::memset(ActiveBuffer(), 0, RecordBufferSize());
}

void TTzDataSet::InternalInitFieldDefs() {
  if (!props_) throw EDatabaseError(Name + ".DbfFields undefined. Set Active to TRUE");
  for (int n = 1; n <= props_->Count(); ++n) {
    const TDTField& f = props_->Field(n);
    if (f.Name.empty()) continue;
    FieldDefs().push_back({f.Name, FrameworkType(f), FrameworkSize(f), false, n});
  }
}

std::unique_ptr<TField> TTzDataSet::CreateFieldObject(const TFieldDef& def) {
  switch (def.DataType) {
    case TFieldType::ftInteger: return std::make_unique<TTzIntegerField>(*this, def);
    case TFieldType::ftFloat: return std::make_unique<TTzFloatField>(*this, def);
    case TFieldType::ftDate: return std::make_unique<TTzDateField>(*this, def);
    default: return TTzPrimDataset::CreateFieldObject(def);
  }
}

// ---- Field classes ------------------------------------------------------------

std::string TTzDateField::GetText() {
  const std::string shown = TDateField::GetText().substr(0, kMaxDateText);
  std::string s = shown;
  return CheckDate(s) ? s : shown;
}

void TTzDateField::SetAsString(const std::string& v) {
  if (AllTrim(v).empty() || RTrim(v) == RTrim(BlankDate(Engine().dates.DateFormat))) {
    Clear();
    return;
  }
  SetAsDateTime(DateTextToDateTime(v, true));
}
