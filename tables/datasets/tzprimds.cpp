#include "tables/datasets/tzprimds.h"

#include <cstring>

#include "tablebase/engineui.h"

namespace {

constexpr uint16_t kRecInfoSize = 6;  // record number (u32), flag (u8), padding
constexpr uint16_t kBookmarkSize = 4;

}  // namespace

void TTzPrimDataset::DatasetError(uint32_t code) {
  switch (code) {
    case 0: return;
    case kCursorOpenFailed:
    case kCursorBof:
    case kCursorEof: throw EDatabaseError("Dataset error: " + std::to_string(code));
    case kCursorNoFileName: throw EDatabaseError("Missing DbfFilename property");
    default: throw EDatabaseError("Dataset error: " + TziErrorText(code));
  }
}

void TTzPrimDataset::OpenCursor() {
  Ui().ProcessMessages();
  DatasetError(TziOpen());
  cursorOpen_ = true;
  TDataSet::OpenCursor();
}

void TTzPrimDataset::CloseCursor() {
  TDataSet::CloseCursor();
  // A failed open leaves nothing to close.
  if (!cursorOpen_) return;
  cursorOpen_ = false;
  TziClose();
}

void TTzPrimDataset::InternalOpen() {
  imageSize_ = TziGetRecordSize();
  InitFieldDefs();
  CreateFields();
  int blobs = 0;
  for (int i = 0; i < FieldCount(); ++i)
    if (Fields(i).DataType() == TFieldType::ftMemo) ++blobs;
  blobPos_ = imageSize_;
  recInfoPos_ = uint16_t(blobPos_ + 4 * blobs);
  bookmarkPos_ = uint16_t(recInfoPos_ + kRecInfoSize);
  bufferSize_ = uint16_t(bookmarkPos_ + kBookmarkSize);
  DatasetError(TziSetToBegin());
}

int32_t TTzPrimDataset::RecInfoNumber(const char* buffer) const {
  int32_t n = 0;
  std::memcpy(&n, buffer + recInfoPos_, sizeof n);
  return n;
}

TGetResult TTzPrimDataset::GetRecord(char* buffer, TGetMode mode, bool doCheck) {
  int32_t recNo = 0;
  uint32_t code = 0;
  switch (mode) {
    case TGetMode::gmCurrent: code = TziGetRecord(buffer, recNo); break;
    case TGetMode::gmNext: code = TziGetNextRecord(buffer, recNo); break;
    case TGetMode::gmPrior: code = TziGetPriorRecord(buffer, recNo); break;
  }
  if (code == kCursorBof) return TGetResult::grBOF;
  if (code == kCursorEof) return TGetResult::grEOF;
  if (code != 0) {
    if (doCheck) DatasetError(code);
    return TGetResult::grError;
  }
  std::memcpy(buffer + recInfoPos_, &recNo, sizeof recNo);
  SetBookmarkFlag(buffer, TBookmarkFlag::bfCurrent);
  int32_t bookmark = 0;
  DatasetError(TziSetToBookmark(bookmark));
  SetBookmarkData(buffer, bookmark);
  return TGetResult::grOK;
}

void TTzPrimDataset::InternalInitRecord(char* buffer) {
  std::memset(buffer, 0, bufferSize_);
  DatasetError(TziInitRecord(buffer));
}

int32_t TTzPrimDataset::GetBookmarkData(const char* buffer) {
  int32_t b = 0;
  std::memcpy(&b, buffer + bookmarkPos_, sizeof b);
  return b;
}

void TTzPrimDataset::SetBookmarkData(char* buffer, int32_t bookmark) {
  std::memcpy(buffer + bookmarkPos_, &bookmark, sizeof bookmark);
}

TBookmarkFlag TTzPrimDataset::GetBookmarkFlag(const char* buffer) {
  return TBookmarkFlag(uint8_t(buffer[recInfoPos_ + 4]));
}

void TTzPrimDataset::SetBookmarkFlag(char* buffer, TBookmarkFlag flag) { buffer[recInfoPos_ + 4] = char(flag); }

void TTzPrimDataset::InternalPost() {
  if (State() == TDataSetState::dsEdit) DatasetError(TziPostRecord(ActiveBuffer()));
  else DatasetError(TziInsertRecord(ActiveBuffer()));
}

void TTzPrimDataset::InternalEdit() {
  int32_t recNo = 0;
  DatasetError(TziGetRecord(ActiveBuffer(), recNo));
}

int TTzPrimDataset::GetRecordCount() {
  CheckActive();
  return TziGetRecordCount();
}

int TTzPrimDataset::GetRecNo() {
  CheckActive();
  if (State() == TDataSetState::dsCalcFields) return RecInfoNumber(CalcBuffer());
  if (State() == TDataSetState::dsBrowse && IsEmpty()) return 0;
  return RecInfoNumber(ActiveBuffer());
}

void TTzPrimDataset::SetRecNo(int n) {
  CheckBrowseMode();
  if (n == RecNo()) return;
  DoBeforeScroll();
  if (TziGotoRecNo(n) != 0) return;
  Resync(false);
  DoAfterScroll();
}

void TTzPrimDataset::DoOnNewRecord() {
  if (GetRecordCount() < 1) ClearBuffers();
  TDataSet::DoOnNewRecord();
}

bool TTzPrimDataset::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  UpdateCursorPos();
  CursorPosChanged();
  int32_t recNo = 0;
  uint32_t code = 0;
  if (goForward) {
    if (restart) DatasetError(TziSetToBegin());
    code = TziGetNextRecord(nullptr, recNo);
  } else {
    if (restart) DatasetError(TziSetToEnd());
    code = TziGetPriorRecord(nullptr, recNo);
  }
  if (code != 0) return false;
  Resync(true);
  DoAfterScroll();
  return true;
}

char* TTzPrimDataset::FieldAccessBuffer() {
  switch (State()) {
    case TDataSetState::dsBrowse: return IsEmpty() || TziIsEmpty() ? nullptr : ActiveBuffer();
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert: return ActiveBuffer();
    case TDataSetState::dsCalcFields: return CalcBuffer();
    case TDataSetState::dsInactive: break;
  }
  return nullptr;
}

bool TTzPrimDataset::GetFieldData(TField& field, void* buffer) {
  const char* record = FieldAccessBuffer();
  if (!record) return false;
  bool isBlank = false;
  DatasetError(TziGetFieldData(field, record, isBlank, buffer));
  return !isBlank;
}

void TTzPrimDataset::SetFieldData(TField& field, const void* buffer) {
  if (!IsEditing(State())) DatabaseError("Dataset not in edit or insert mode");
  if (field.ReadOnly) DatabaseError("Field '" + field.DisplayName() + "' cannot be modified");
  DatasetError(TziSetFieldData(field, ActiveBuffer(), buffer));
  DataEventFieldChange(field);
}

bool TTzPrimDataset::BookmarkValid(const TBookmark& b) {
  if (!cursorOpen_ || !b) return false;
  CursorPosChanged();
  if (TziGotoBookmark(*b) != 0) return false;
  int32_t recNo = 0;
  return TziGetRecord(nullptr, recNo) == 0;
}

int TTzPrimDataset::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (!a && !b) return 0;
  if (!a) return 1;
  if (!b) return -1;
  if (!cursorOpen_) return 0;
  int result = 0;
  DatasetError(TziCompareBookmarks(*a, *b, result));
  return result;
}

bool TTzPrimDataset::Locate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                            TLocateOptions options) {
  CheckBrowseMode();
  DoBeforeScroll();
  const bool found = TziLocate(keyFields, keyValues, options);
  if (found) {
    Resync(true);
    DoAfterScroll();
  }
  return found;
}

std::vector<TVarValue> TTzPrimDataset::Lookup(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                                              const std::string& resultFields) {
  CheckBrowseMode();
  return TziLookup(keyFields, keyValues, resultFields);
}
