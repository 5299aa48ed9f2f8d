// The dataset framework the table components stand on: a dataset with
// states (inactive, browse, edit, insert), one record buffer, field
// definitions and field objects with typed accessors, bookmarks that are
// record numbers, events as callables, and one exception class.
//
// A subclass supplies the record protocol (the protected virtuals below):
// it fills record buffers of its own layout, moves its cursor, and reads
// and writes field values in the framework's data forms:
//   string: zero-terminated text, Size + 1 bytes;  integer: int32;
//   float: double;  boolean: int16 (0 or 1);  date: int32 day number
//   (days since 1 January of year 1, plus 1);  memo: through blob streams.
// Values cross this interface as memcpy'd host-order bytes.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

class TDataSet;
class TField;

// Every failure of a dataset or a field.
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A failure the user has already been told of (or answered): callers stop
// the operation without showing it again.
class EAbort : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert, dsCalcFields };
// A record is being edited or inserted.
inline bool IsEditing(TDataSetState s) { return s == TDataSetState::dsEdit || s == TDataSetState::dsInsert; }
enum class TFieldType { ftUnknown, ftString, ftInteger, ftFloat, ftBoolean, ftDate, ftMemo };
enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
enum class TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
// What an error event decides: raise the error, end silently (EAbort), or
// try the operation again.
enum class TDataAction { daFail, daAbort, daRetry };
enum class TBlobStreamMode : uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

struct TLocateOptions {
  bool CaseInsensitive = false;
  bool PartialKey = false;
};

// A field value without its field: none (null), text, whole number,
// floating number (dates as TDateTime), or logical.
using TVarValue = std::variant<std::monostate, std::string, int64_t, double, bool>;
// The record number of a record; none for "no record".
using TBookmark = std::optional<int32_t>;

using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
using TDataSetErrorEvent = std::function<void(TDataSet&, EDatabaseError&, TDataAction&)>;
using TFieldNotifyEvent = std::function<void(TField&)>;

// ---- Dates ------------------------------------------------------------------
// A TDateTime is days since 30 December 1899, the time of day as its
// fraction; the field data of a date is the day number of its time stamp.
using TDateTime = double;
constexpr int32_t kDateDelta = 693594;  // time-stamp day of 30 December 1899

int32_t DateTimeToDayNumber(TDateTime d);
TDateTime DayNumberToDateTime(int32_t day);
// False when the date does not exist (years 1..9999).
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
void DecodeDate(TDateTime d, int& year, int& month, int& day);
// The date in the window library's short date format (Engine().format).
std::string DateToStr(TDateTime d);
// A date text read by the short date format's order of day, month and year,
// its parts split at the date separator; two numbers are day and month of
// this year, a year below 100 is taken in the current century. The second
// form raises EDatabaseError "'<text>' is not a valid date".
bool TryStrToDate(const std::string& text, TDateTime& out);
TDateTime StrToDate(const std::string& text);
// Numbers in the window library's form: shortest text of at most 15
// significant digits with the format settings' decimal separator.
std::string FloatToStr(double v);
// Reads a number with either separator; raises "'<text>' is not a valid
// floating point value".
double StrToFloat(const std::string& text);

// ---- Streams ----------------------------------------------------------------

// A byte stream (blob fields are read and written through one).
class TStream {
 public:
  virtual ~TStream() = default;
  // Each answers the bytes moved.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Origin 0 from the start, 1 from the position, 2 from the end; answers
  // the new position.
  virtual int32_t Seek(int32_t offset, uint16_t origin) = 0;
  int32_t Position() { return Seek(0, 1); }
  // The size, the position left where it was.
  int32_t Size();
};

// ---- Field definitions and fields -------------------------------------------

struct TFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::ftUnknown;
  int Size = 0;  // characters of a string, digits of a number
  bool Required = false;
  int FieldNo = 0;  // 1-based number of the field in the record
};

class TField {
 public:
  TField(TDataSet& dataSet, const TFieldDef& def);
  virtual ~TField() = default;
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  TDataSet& DataSet() const { return dataSet_; }
  const std::string& FieldName() const { return name_; }
  const std::string& DisplayName() const { return name_; }
  TFieldType DataType() const { return type_; }
  int Size() const { return size_; }
  int FieldNo() const { return fieldNo_; }
  // Bytes of the field's data form (see the top of this file).
  virtual int DataSize() const = 0;

  bool ReadOnly = false;
  TFieldNotifyEvent OnChange;

  bool IsNull();
  void Clear() { SetData(nullptr); }
  // The value in the data form into `buffer` (DataSize bytes); false when
  // null. SetData(nullptr) clears the field.
  bool GetData(void* buffer);
  void SetData(const void* buffer);

  // Typed access; a conversion the type does not have raises
  // "Cannot access field '<name>' as type <type>".
  virtual std::string AsString();
  virtual void SetAsString(const std::string& v);
  virtual int32_t AsInteger();
  virtual void SetAsInteger(int32_t v);
  virtual double AsFloat();
  virtual void SetAsFloat(double v);
  virtual bool AsBoolean();
  virtual void SetAsBoolean(bool v);
  virtual TDateTime AsDateTime();
  virtual void SetAsDateTime(TDateTime v);
  virtual TVarValue Value();

  // Raises the framework's size error unless the type takes that size.
  virtual void CheckTypeSize(int size);

 protected:
  [[noreturn]] void AccessError(const char* typeName) const;

 private:
  TDataSet& dataSet_;
  std::string name_;
  TFieldType type_;
  int size_;
  int fieldNo_;
};

class TStringField : public TField {
 public:
  using TField::TField;
  int DataSize() const override { return Size() + 1; }
  std::string AsString() override;
  void SetAsString(const std::string& v) override;
  int32_t AsInteger() override;
  void SetAsInteger(int32_t v) override;
  double AsFloat() override;
  void SetAsFloat(double v) override;
  bool AsBoolean() override;
  void SetAsBoolean(bool v) override;
  TVarValue Value() override;
  void CheckTypeSize(int size) override;
};

// Numbers: 32-bit integers (TIntegerField) or doubles (TFloatField); each
// converts to the other, rounding to the nearest whole number (halves to
// even).
template <class T>
class TNumberField : public TField {
 public:
  using TField::TField;
  int DataSize() const override { return int(sizeof(T)); }
  std::string AsString() override;
  void SetAsString(const std::string& v) override;
  int32_t AsInteger() override;
  void SetAsInteger(int32_t v) override;
  double AsFloat() override;
  void SetAsFloat(double v) override;
  TVarValue Value() override;

 private:
  std::optional<T> Get();
  void Set(T v) { SetData(&v); }
};
using TIntegerField = TNumberField<int32_t>;
using TFloatField = TNumberField<double>;
extern template class TNumberField<int32_t>;
extern template class TNumberField<double>;

class TBooleanField : public TField {
 public:
  using TField::TField;
  int DataSize() const override { return 2; }
  // "True" / "False"; a text beginning with T, Y, F or N (either case) sets
  // it, an empty text clears it.
  std::string AsString() override;
  void SetAsString(const std::string& v) override;
  bool AsBoolean() override;
  void SetAsBoolean(bool v) override;
  TVarValue Value() override;
};

class TDateField : public TField {
 public:
  using TField::TField;
  int DataSize() const override { return 4; }
  // The text shown for the value; "" when null.
  virtual std::string GetText();
  std::string AsString() override { return GetText(); }
  void SetAsString(const std::string& v) override;
  double AsFloat() override { return AsDateTime(); }
  void SetAsFloat(double v) override { SetAsDateTime(v); }
  TDateTime AsDateTime() override;
  void SetAsDateTime(TDateTime v) override;
  TVarValue Value() override;
};

// A field whose value is read and written through the dataset's blob
// streams (CreateBlobStream).
class TBlobField : public TField {
 public:
  using TField::TField;
  int DataSize() const override { return 0; }
  std::string AsString() override;
  void SetAsString(const std::string& v) override;
  TVarValue Value() override;
};

class TMemoField : public TBlobField {
 public:
  using TBlobField::TBlobField;
};

// ---- The dataset ------------------------------------------------------------

class TDataSet {
 public:
  explicit TDataSet(std::string name = {});
  // REQUIRES: closed (a subclass closes in its own destructor, where its
  // protocol still stands).
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // The component's name; error texts begin with it.
  std::string Name;

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
      AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll,
      AfterScroll, OnNewRecord;
  TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;

  bool Active() const { return state_ != TDataSetState::dsInactive; }
  void SetActive(bool on);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return state_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // A field changed since the record went into edit or insert.
  bool Modified() const { return modified_; }
  // No record stands in the buffer.
  bool IsEmpty() const { return recordCount_ == 0; }
  bool CanModify() { return GetCanModify(); }

  // Navigation; each posts a pending edit first (CheckBrowseMode).
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Answers the records actually moved (negative backwards).
  int MoveBy(int distance);
  // Finds the next (or prior, first, last) record by the cursor's own
  // order; false and no move when there is none.
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }

  // Nothing while a record is edited or inserted already; an empty dataset
  // inserts one.
  void Edit();
  void Insert();
  void Append();
  virtual void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Posts an edit with changes, cancels one without.
  void CheckBrowseMode();

  int RecordCount() { return GetRecordCount(); }
  int RecNo() { return GetRecNo(); }
  // Goes to the record of that number.
  virtual void SetRecNo(int n) = 0;

  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& b);
  virtual bool BookmarkValid(const TBookmark& b) = 0;
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b) = 0;

  // KeyFields: names separated by ";", one value per name.
  virtual bool Locate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                      TLocateOptions options) = 0;
  // The values of the result fields (names separated by ";") of the first
  // record that matches; empty when none does. The current record stays.
  virtual std::vector<TVarValue> Lookup(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                                        const std::string& resultFields) = 0;
  // The records come in a fixed order (RecNo is a position).
  virtual bool IsSequenced() = 0;

  std::vector<TFieldDef>& FieldDefs() { return fieldDefs_; }
  int FieldCount() const { return int(fields_.size()); }
  TField& Fields(int i) { return *fields_.at(size_t(i)); }
  // Case-insensitive; null when absent.
  TField* FindField(const std::string& name);
  // Raises "<name>: Field '<field>' not found".
  TField& FieldByName(const std::string& name);

  // A stream over a blob field of the active record; the caller owns it.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode);
  // Field access for TField (the data forms at the top of this file).
  virtual bool GetFieldData(TField& field, void* buffer) = 0;
  virtual void SetFieldData(TField& field, const void* buffer) = 0;

  // Raises EDatabaseError "<Name>: <message>" (just the message without a
  // name).
  [[noreturn]] void DatabaseError(const std::string& message) const;

 protected:
  // ---- The record protocol ------------------------------------------------
  virtual size_t RecordBufferSize() = 0;
  virtual TGetResult GetRecord(char* buffer, TGetMode mode, bool doCheck) = 0;
  virtual void InternalInitRecord(char* buffer) = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Opens the cursor's table: field definitions (InitFieldDefs), fields
  // (CreateFields) and the cursor before the first record.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() = 0;
  virtual void InternalGotoBookmark(int32_t bookmark) = 0;
  virtual void InternalSetToRecord(char* buffer) = 0;
  virtual int32_t GetBookmarkData(const char* buffer) = 0;
  virtual void SetBookmarkData(char* buffer, int32_t bookmark) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(const char* buffer) = 0;
  virtual void SetBookmarkFlag(char* buffer, TBookmarkFlag flag) = 0;
  virtual void InternalPost() = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalEdit() {}
  virtual void InternalCancel() {}
  virtual void InternalRefresh() = 0;
  virtual void InternalInitFieldDefs() = 0;
  virtual int GetRecordCount() = 0;
  virtual int GetRecNo() = 0;
  virtual bool FindRecord(bool restart, bool goForward) = 0;
  virtual bool GetCanModify() { return true; }
  // Whether something besides the dataset (the program's own commands on a
  // cursor it shares) moved the cursor off the active record since the
  // dataset put it there; UpdateCursorPos then brings it back.
  virtual bool CursorLeftActiveRecord() { return false; }
  // Opens the cursor (the subclass's table first, then InternalOpen) and
  // closes it (InternalClose, then the table).
  virtual void OpenCursor();
  virtual void CloseCursor();
  // The field class of a definition (GetFieldClass).
  virtual std::unique_ptr<TField> CreateFieldObject(const TFieldDef& def);
  virtual void DoOnNewRecord();
  virtual void DoAfterScroll() { Fire(AfterScroll); }
  virtual void DoAfterCancel() { Fire(AfterCancel); }
  void DoBeforeScroll() { Fire(BeforeScroll); }
  void Fire(const TDataSetNotifyEvent& e) {
    if (e) e(*this);
  }

  // ---- Services for the protocol ------------------------------------------
  // The buffer of the record shown (edited, inserted); the spare buffer
  // that fetches land in first; the buffer of the calc-fields state.
  char* ActiveBuffer() { return active_.data(); }
  char* CalcBuffer() { return calc_.data(); }
  void SetState(TDataSetState s);
  // Fetches the cursor's record again into the buffer. Exact: that record
  // must exist ("Record not found"); otherwise the current, next or prior
  // record, or none.
  void Resync(bool exact);
  // The cursor no longer stands on the buffer's record.
  void CursorPosChanged() { currentRecord_ = -1; }
  // Brings the cursor back to the buffer's record, before an operation on
  // it, wherever it was moved.
  void UpdateCursorPos();
  // Forgets the buffer's record (the bytes stay).
  void ClearBuffers();
  // Field definitions (InternalInitFieldDefs) and the default fields.
  void InitFieldDefs();
  void CreateFields();
  void DestroyFields() { fields_.clear(); }
  // A field of the record changed: modified, and the field's OnChange.
  void DataEventFieldChange(TField& field);
  // Runs a record operation; an EDatabaseError goes to the error event,
  // which may retry it or end it silently.
  void CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& errorEvent);
  void CheckActive() const;
  void CheckCanModify();
  // The fetch protocol (one record shown): true when a record came.
  bool GetNextRecord();
  bool GetPriorRecord();
  void MoveToFetched();

 private:
  void GoToEnd(bool first);
  bool FetchRecord(TGetMode mode);
  void SetCurrentRecord();
  void BeginInsertAppend();
  void EndInsertAppend();

  TDataSetState state_ = TDataSetState::dsInactive;
  bool bof_ = true, eof_ = true;
  bool modified_ = false;
  int recordCount_ = 0;     // 0 or 1: a record stands in the active buffer
  int currentRecord_ = -1;  // 0 when the cursor stands on that record
  bool internalOpenComplete_ = false;
  std::vector<char> active_, spare_, calc_;
  std::vector<TFieldDef> fieldDefs_;
  std::vector<std::unique_ptr<TField>> fields_;
};
