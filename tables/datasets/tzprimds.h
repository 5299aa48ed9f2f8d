// The root of the table engine's datasets: runs the framework's record
// protocol (buffers, bookmarks, navigation, field data, posting) through
// the cursor slots, operations that answer a cursor result code. It knows
// nothing of DBF files; TTzDataSet fills the slots on a work area.
//
// Every non-zero code of a slot becomes an exception in one place,
// DatasetError, except where a framework operation says otherwise
// (GetRecord maps the BOF/EOF codes to its results; SetRecNo, FindRecord
// and BookmarkValid treat a failed move as "not there").
//
// A record buffer holds, in this order: the record image (the subclass's
// layout), one 32-bit slot per blob field, the record info (record number,
// u32; bookmark flag, u8; padded to 6 bytes) and the bookmark (the record
// number, 4 bytes).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tables/framework/dataset.h"

// Cursor result codes; any other non-zero code is an engine error code.
constexpr uint32_t kCursorOpenFailed = 1401;  // opening failed, the engine left no code
constexpr uint32_t kCursorBof = 1402;
constexpr uint32_t kCursorEof = 1403;
constexpr uint32_t kCursorNoFileName = 1404;

class TTzPrimDataset : public TDataSet {
 public:
  using TDataSet::TDataSet;

  // Nothing for 0; "Dataset error: <code>" for 1401..1403; "Missing
  // DbfFilename property" for 1404; "Dataset error: " + TziErrorText(code)
  // for any other.
  void DatasetError(uint32_t code);

  bool GetFieldData(TField& field, void* buffer) override;
  void SetFieldData(TField& field, const void* buffer) override;
  void SetRecNo(int n) override;
  bool BookmarkValid(const TBookmark& b) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  bool Locate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
              TLocateOptions options) override;
  std::vector<TVarValue> Lookup(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                                const std::string& resultFields) override;
  bool IsSequenced() override { return true; }

 protected:
  // ---- The cursor slots -----------------------------------------------------
  // Text for a code; here its decimal digits.
  virtual std::string TziErrorText(uint32_t code) { return std::to_string(code); }
  // The table has no visible record.
  virtual bool TziIsEmpty() { return IsEmpty(); }
  // Before the first record (BOF crack) / after the last (EOF crack).
  virtual uint32_t TziSetToBegin() = 0;
  virtual uint32_t TziSetToEnd() = 0;
  virtual uint32_t TziOpen() = 0;
  virtual uint32_t TziClose() = 0;
  virtual int32_t TziGetRecordCount() = 0;
  // Reads the current record from the table again.
  virtual uint32_t TziForceReread() = 0;
  virtual uint32_t TziAppendRecord(char* buffer) = 0;
  virtual uint32_t TziInsertRecord(char* buffer) = 0;
  virtual uint32_t TziDeleteRecord() = 0;
  // Blanks the table's record for a new one.
  virtual uint32_t TziInitRecord(char* buffer) = 0;
  // Writes the buffer back over the current record.
  virtual uint32_t TziPostRecord(char* buffer) = 0;
  virtual uint16_t TziGetRecordSize() = 0;
  // Fill the buffer (when given) from the current / next / prior record and
  // answer its number; the moves answer 1403 / 1402 at the ends.
  virtual uint32_t TziGetRecord(char* buffer, int32_t& recNo) = 0;
  virtual uint32_t TziGetNextRecord(char* buffer, int32_t& recNo) = 0;
  virtual uint32_t TziGetPriorRecord(char* buffer, int32_t& recNo) = 0;
  // One field of a record image, in the framework's data form; `value` may
  // be null (only asks whether the field is blank).
  virtual uint32_t TziGetFieldData(TField& field, const char* record, bool& isBlank, void* value) = 0;
  // `value` null clears the field.
  virtual uint32_t TziSetFieldData(TField& field, char* record, const void* value) = 0;
  virtual uint32_t TziGotoRecNo(int32_t recNo) = 0;
  virtual bool TziLocate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                         TLocateOptions options) = 0;
  virtual std::vector<TVarValue> TziLookup(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                                           const std::string& resultFields) = 0;
  virtual uint32_t TziGotoBookmark(int32_t bookmark) = 0;
  // The bookmark of the current record.
  virtual uint32_t TziSetToBookmark(int32_t& bookmark) = 0;
  // -1, 0 or 1 as the record numbers compare.
  virtual uint32_t TziCompareBookmarks(int32_t a, int32_t b, int& result) = 0;

  // ---- The framework's protocol -----------------------------------------------
  void OpenCursor() override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override { DestroyFields(); }
  bool IsCursorOpen() override { return cursorOpen_; }
  size_t RecordBufferSize() override { return bufferSize_; }
  TGetResult GetRecord(char* buffer, TGetMode mode, bool doCheck) override;
  void InternalInitRecord(char* buffer) override;
  void InternalFirst() override { DatasetError(TziSetToBegin()); }
  void InternalLast() override { DatasetError(TziSetToEnd()); }
  void InternalGotoBookmark(int32_t bookmark) override { DatasetError(TziGotoBookmark(bookmark)); }
  void InternalSetToRecord(char* buffer) override { InternalGotoBookmark(GetBookmarkData(buffer)); }
  int32_t GetBookmarkData(const char* buffer) override;
  void SetBookmarkData(char* buffer, int32_t bookmark) override;
  TBookmarkFlag GetBookmarkFlag(const char* buffer) override;
  void SetBookmarkFlag(char* buffer, TBookmarkFlag flag) override;
  void InternalPost() override;
  void InternalDelete() override { DatasetError(TziDeleteRecord()); }
  void InternalEdit() override;
  void InternalRefresh() override { DatasetError(TziForceReread()); }
  int GetRecordCount() override;
  int GetRecNo() override;
  bool FindRecord(bool restart, bool goForward) override;
  void DoOnNewRecord() override;

  // The buffer field access works on: none when no record is shown.
  char* FieldAccessBuffer();
  uint16_t ImageSize() const { return imageSize_; }

 private:
  int32_t RecInfoNumber(const char* buffer) const;

  uint16_t imageSize_ = 0;
  uint16_t bufferSize_ = 0;
  uint16_t bookmarkPos_ = 0;
  uint16_t recInfoPos_ = 0;
  uint16_t blobPos_ = 0;
  bool cursorOpen_ = false;
};
