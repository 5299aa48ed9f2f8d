// The dataset over one work area of the table engine: the cursor slots on
// the work-area API, the record image and its conversion to and from the
// engine's typed user record, field definitions from the open table, the
// table structure as text (DbfFields) and table creation from it, and the
// field classes for DBF numbers and dates. A subclass opens the table and
// writes records under locks (TTzFileDataSet).
//
// Record image (the first part of every record buffer): a deletion byte
// (0 = not deleted), then for each named field in field order
//   C: length byte + length characters    D: 8-byte TDateTime, 0 = blank
//   N/F with decimals: 8-byte double      N/F without: 32-bit integer
//   L: Boolean byte + one zero byte       M: 32-bit memo reference
//   any other type: nothing.
//
// Every work-area operation first selects the dataset's area under the
// operation's name; a closed area raises the dataset exception with
// "Database is not open [<name>.<operation>]".
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tables/datasets/tzprimds.h"

enum class TTzTableLanguage : uint8_t { tlOem = 0, tlAnsi = 1 };

// One field of the open table as the dataset lays it out.
struct TDTField {
  std::string Name;
  char Type = ' ';
  uint16_t Length = 0;  // dates: their text length (8, or 10 with centuries)
  uint16_t Decimals = 0;
  uint16_t Position = 0;  // offset in the typed user record; its deletion flag is at 0
};

// The layout of the open table over the work area's typed user record
// (not owned).
class TDbfFieldProps {
 public:
  // Reads the fields of the current area.
  TDbfFieldProps();
  int Count() const { return int(fields_.size()); }
  // Field n, 1..Count.
  const TDTField& Field(int n) const { return fields_.at(size_t(n - 1)); }
  // The typed record slot of field n; n = 0 gives the record's start.
  char* Address(int n) const { return record_ + (n == 0 ? 0 : Field(n).Position); }

 private:
  char* record_ = nullptr;
  std::vector<TDTField> fields_;
};

// The date text of the engine's picture (leading blanks ignored, at most
// 10 characters) as a TDateTime: 0 for the blank date, and for an invalid
// text unless `raise` is set and the text is not empty (then the window
// library's conversion raises its error).
TDateTime DateTextToDateTime(const std::string& text, bool raise);

// Each clears / sets the engine's automatic error handling and answers its
// previous value.
bool DisableAutoErrors();
bool EnableAutoErrors();

// The engine's number separators and date picture taken from the window
// library's format settings (Engine().format); run by TablesStartup.
void DatasetUnitStartup();

class TTzDataSet : public TTzPrimDataset {
 public:
  explicit TTzDataSet(std::string name = {});
  ~TTzDataSet() override;

  // The table structure: "name, T, length, decimals" per field.
  std::vector<std::string> DbfFields;
  // A progress window while an index is built.
  bool ShowProgress = true;
  TTzTableLanguage TableLanguage = TTzTableLanguage::tlOem;
  TDataSetNotifyEvent BeforeRestore, AfterRestore;

  const std::string& DbfFileName() const { return dbfFileName_; }
  // Trimmed; "DBF" added to a name without extension (a name ending in
  // "." keeps none). An active dataset is closed and opened again on the
  // new file; an empty name leaves it closed.
  void SetDbfFileName(const std::string& name);
  bool HideDeletedRecs() const { return hideDeleted_; }
  void SetHideDeletedRecs(bool on);
  // The work area holding the table; 0 while closed.
  uint8_t WorkAreaNo() const { return area_; }

  // Selects the dataset's area; raises the dataset exception (engine error
  // 1103 recorded) when the dataset has none.
  virtual void SelectArea(const std::string& operation);
  // DbfFields from the open table, each definition corrected (with a
  // warning) as a new table would be.
  void FillDbfFields();
  // Creates DbfFileName from DbfFields. False after a message for an
  // empty list, silently for a line without exactly three commas, and
  // when the engine fails (its error pending).
  bool CreateTableFromDbfFields();
  // The record shown is marked deleted.
  bool IsDeleted();
  // Recalls the deleted record shown (under a record lock).
  void Restore();
  void Post() override;
  // Shows the engine's current record after the engine moved by itself;
  // an edit or insert falls back to browse without being written.
  void ResyncFromEngine();

  // For blob streams. DirectOpenClose raises the dataset exception on an
  // inactive dataset ("DataSet must be active. <name>", engine error 1103).
  void DirectOpenClose(bool open);
  // Edit state (unless editing already) and the record image to the
  // engine's typed user record.
  void PutActiveRecordIntoEdit();

 protected:
  // ---- Slots for the subclass -------------------------------------------------
  // Opens the table in the selected area (USE); false leaves the engine's
  // error pending.
  virtual bool OpenDbfTable(const std::string& fileName) = 0;
  // The engine's typed user record appended / the current record deleted,
  // recalled, replaced, each under its lock.
  virtual void s_AppendWithLock() = 0;
  virtual void s_DeleteWithLock() = 0;
  virtual void s_RestoreWithLock() = 0;
  virtual void s_ReplaceWithLock() = 0;
  void DoBeforeRestore() { Fire(BeforeRestore); }
  void DoAfterRestore() { Fire(AfterRestore); }
  // Shows a message of the dataset (a plain message box).
  void ShowDatasetMessage(const std::string& text);
  // The area is at BOF and at EOF at once.
  bool s_IsEmptyDbf();
  // The table shows no record (the engine stands on its phantom record,
  // which the cursor must not answer as one).
  void ShowNoRecord();
  // Where the value of field n (1-based) stands in the active record's
  // image.
  char* ActiveFieldImage(int fieldNo) { return ActiveBuffer() + imageOffsets_.at(size_t(fieldNo - 1)); }
  // GO n for 1 <= n <= the record count, else the EOF crack.
  uint32_t SafeGo(int32_t n);

  // ---- The cursor slots -----------------------------------------------------
  std::string TziErrorText(uint32_t code) override;
  bool TziIsEmpty() override { return s_IsEmptyDbf(); }
  uint32_t TziSetToBegin() override;
  uint32_t TziSetToEnd() override;
  uint32_t TziOpen() override;
  uint32_t TziClose() override;
  int32_t TziGetRecordCount() override;
  uint32_t TziForceReread() override;
  uint32_t TziAppendRecord(char* buffer) override;
  uint32_t TziInsertRecord(char* buffer) override { return TziAppendRecord(buffer); }
  uint32_t TziDeleteRecord() override;
  uint32_t TziInitRecord(char* buffer) override;
  uint32_t TziPostRecord(char* buffer) override;
  uint16_t TziGetRecordSize() override { return imageSize_; }
  uint32_t TziGetRecord(char* buffer, int32_t& recNo) override;
  uint32_t TziGetNextRecord(char* buffer, int32_t& recNo) override;
  uint32_t TziGetPriorRecord(char* buffer, int32_t& recNo) override;
  uint32_t TziGetFieldData(TField& field, const char* record, bool& isBlank, void* value) override;
  uint32_t TziSetFieldData(TField& field, char* record, const void* value) override;
  uint32_t TziGotoRecNo(int32_t recNo) override { return SafeGo(recNo); }
  bool TziLocate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                 TLocateOptions options) override;
  std::vector<TVarValue> TziLookup(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                                   const std::string& resultFields) override;
  uint32_t TziGotoBookmark(int32_t bookmark) override { return SafeGo(bookmark); }
  uint32_t TziSetToBookmark(int32_t& bookmark) override;
  uint32_t TziCompareBookmarks(int32_t a, int32_t b, int& result) override;

  // The area no longer stands on the active record: the program's own
  // engine commands (GO, SKIP, a seek) moved it.
  bool CursorLeftActiveRecord() override;
  // Keeps the record as the edit reads it: a post writes only what the
  // edit changed against it, whatever the area reads in between, and only
  // into that record.
  void InternalEdit() override;
  // While editing: the area's record buffer := the record as the edit read
  // it, when the area stands on that record, so that Replace tells the
  // edit's changes by it.
  void PutBackEditBase();
  void InternalCancel() override;
  void InternalInitFieldDefs() override;
  std::unique_ptr<TField> CreateFieldObject(const TFieldDef& def) override;

 private:
  bool OpenDataset();
  // Records engine error 1103 with `message` (the engine's automatic error
  // handling off) and raises it as the dataset exception.
  void NotOpenError(const std::string& message);
  // Engine typed record -> image (all fields); image -> typed record (all
  // fields, or field n alone; the deletion flag always).
  void TypedToImage(char* image);
  void ImageToTyped(const char* image, int onlyField = 0);
  void FillImage(char* buffer, int32_t& recNo);
  // The field definition correction; warns when anything changed.
  void CorrectDefinition(const std::string& name, char& type, int& length, int& decimals);
  uint16_t FieldImageOffset(const TField& field) const;

  uint8_t area_ = 0;
  uint16_t imageSize_ = 0;
  bool bofCrack_ = false, eofCrack_ = false;
  std::string dbfFileName_;
  bool hideDeleted_ = false;
  std::unique_ptr<TDbfFieldProps> props_;
  std::vector<uint16_t> imageOffsets_;  // per field number - 1
  std::vector<char> editBase_;  // the record buffer as the edit read it; empty when it held no record read
  int32_t editRecNo_ = 0;
};

// Dates as the engine's date texts: the text shown is normalised by the
// engine's date check; the blank picture (or an empty text) clears.
class TTzDateField : public TDateField {
 public:
  using TDateField::TDateField;
  std::string GetText() override;
  void SetAsString(const std::string& v) override;
};

// DBF numbers carry their length (up to 20 digits) as the field's size.
template <class Base>
class TTzNumberField : public Base {
 public:
  using Base::Base;
  void CheckTypeSize(int size) override {
    if (size < 0 || size > 20) Base::CheckTypeSize(size);
  }
};
using TTzFloatField = TTzNumberField<TFloatField>;
using TTzIntegerField = TTzNumberField<TIntegerField>;
