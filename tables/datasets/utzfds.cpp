#include "tables/datasets/utzfds.h"

#include <cstring>
#include <memory>

#include "tables/mdx/tzndx_sema.h"
#include "tablebase/dbf4.h"
#include "tablebase/engineui.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

// The settings a table open changes for itself, put back on every way out.
class OpenSettingsScope {
 public:
  OpenSettingsScope() : fix_(DbSettings().FixRecCount), override_(DbSettings().OpenModeOverride) {}
  ~OpenSettingsScope() {
    DbSettings().FixRecCount = fix_;
    DbSettings().OpenModeOverride = override_;
  }
  OpenSettingsScope(const OpenSettingsScope&) = delete;
  OpenSettingsScope& operator=(const OpenSettingsScope&) = delete;

 private:
  bool fix_;
  uint16_t override_;
};

constexpr uint16_t kReadDenyAll = 16;
constexpr uint16_t kReadDenyNone = 64;
constexpr size_t kMaxTagName = 10;
constexpr size_t kMaxIndexExpr = 220;
constexpr size_t kMaxSeekKey = 100;

// The index build's progress for its scope; the window shows only when
// asked for.
class IndexProgressScope {
 public:
  IndexProgressScope(bool show, const std::string& indexFile) {
    if (!show) return;
    window_ = Ui().CreateProgressWindow("Indexing " + indexFile + "...");
    SetIndexProgress([w = window_.get()] { w->Step(); }, 100);
  }
  ~IndexProgressScope() { SetIndexProgress(nullptr, 0); }
  IndexProgressScope(const IndexProgressScope&) = delete;
  IndexProgressScope& operator=(const IndexProgressScope&) = delete;

 private:
  std::unique_ptr<EngineProgressWindow> window_;
};

void ClearEngineError() {
  TakeLastErrorMessage();
  LastErrorCode() = 0;
}

std::string VarToStr(const TVarValue& v) {
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto i = std::get_if<int64_t>(&v)) return IntText(*i);
  if (auto d = std::get_if<double>(&v)) return FloatToStr(*d);
  if (auto b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  return {};
}

}  // namespace

TTzFileDataSet::TTzFileDataSet(std::string name) : TTzCDataSet(std::move(name)) {}

void TTzFileDataSet::SetExclusive(bool on) {
  if (on == exclusive_) return;
  exclusive_ = on;
  if (!Active()) return;
  Close();
  Open();
}

bool TTzFileDataSet::RLock() {
  SelectArea("RLock");
  UpdateCursorPos();
  return ::RLock();
}

void TTzFileDataSet::UnLock() {
  SelectArea("UnLock");
  ::Unlock();
}

bool TTzFileDataSet::IsSequenced() {
  SelectArea("IsSequenced");
  // The index stays open in natural order; only a tag in control counts.
  return CurrentOrder() == 0;
}

bool TTzFileDataSet::OpenDbfTable(const std::string& fileName) {
  if (CreateIfNotFound && !FileExists(fileName.substr(0, 255)) && !CreateTableFromDbfFields())
    ShowDatasetMessage("Could not create \"" + DbfFileName() + "\"");
  std::string command = fileName;
  if (exclusive_) command += " EXCLUSIVE";
  const std::string alias = AllTrim(Name);
  if (!alias.empty()) command += " ALIAS " + alias;
  OpenSettingsScope restore;
  DbSettings().FixRecCount = AutoFixRecCount;
  if (ReadOnly) DbSettings().OpenModeOverride = exclusive_ ? kReadDenyAll : kReadDenyNone;
  USE(command, nullptr, 0);
  if (LastErrorCode() != 0) return false;
  return OpenIndexes();
}

std::vector<TIndexTagSpec> TTzFileDataSet::ParseIndexList() const {
  std::vector<TIndexTagSpec> specs;
  for (size_t k = 0; k + 1 < IndexList.size(); k += 2) {
    const std::string& line = IndexList[k];
    // Without a comma the name is empty (and ends the list of tags); the
    // flags and the expression stand where they would after one at 0.
    const size_t comma = line.find(',');
    const size_t at = comma == std::string::npos ? 0 : comma + 1;
    auto letter = [&](size_t i) { return i < line.size() && line[i] == 'T'; };
    TIndexTagSpec spec;
    spec.TagName = comma == std::string::npos ? std::string() : line.substr(0, std::min(comma, kMaxTagName));
    spec.Descending = letter(at);
    spec.Unique = letter(at + 2);
    spec.KeyExpr = at + 4 < line.size() ? line.substr(at + 4, kMaxIndexExpr) : std::string();
    spec.ForExpr = IndexList[k + 1].substr(0, kMaxIndexExpr);
    specs.push_back(std::move(spec));
  }
  return specs;
}

bool TTzFileDataSet::IndexSemaphoreExists() {
  const std::string sem = SemaphoreFileName(DbfName());
  if (!FileIsFromToday(sem)) EraseFile(sem);
  return FileExists(sem);
}

bool TTzFileDataSet::OpenIndexes() {
  TCreateIndexType mode = CreateIndex;
  const size_t tagLines = IndexList.size() / 2 * 2;
  if (tagLines == 0) {
    if (!GetMdxFlag()) return true;
    mode = TCreateIndexType::ciNever;
  } else if (!ReadOnly) {
    SetMdxFlag(true);
  }
  const std::string indexFile = ForceExtension(DbfFileName(), "MDX");
  if (mode == TCreateIndexType::ciNever) {
    SetIndexTo(indexFile);
    // Without its file the table goes on alone (a later build takes the
    // records as they are then); a file there that cannot be opened is
    // reported.
    return LastErrorCode() == 0 || LastErrorCode() == 2;
  }
  {
    AutoErrorHandlingScope quiet(false);
    if (!FileExists(indexFile)) {
      mode = TCreateIndexType::ciAlways;
    } else if (mode != TCreateIndexType::ciNotFound) {
      if (IndexSemaphoreExists()) mode = TCreateIndexType::ciNotFound;
      ClearEngineError();
    }
    if (mode == TCreateIndexType::ciVerifyHeader) {
      std::vector<std::string> stored;
      ReadIndexTagList(stored, indexFile);
      mode = TCreateIndexType::ciNotFound;
      if (stored.size() != tagLines) mode = TCreateIndexType::ciAlways;
      for (size_t i = 0; i < stored.size() && i < tagLines; ++i)
        if (Upper(stored[i]) != Upper(IndexList[i])) mode = TCreateIndexType::ciAlways;
    }
    if (mode == TCreateIndexType::ciNotFound) {
      SetIndexTo(indexFile);
      const uint16_t code = LastErrorCode();
      if (code == 2 || code == 222 || code == 223) {
        mode = TCreateIndexType::ciAlways;
        ClearEngineError();
      }
    }
  }
  if (mode == TCreateIndexType::ciAlways) BuildIndex(indexFile);
  // What the engine reported on the way and no rebuild settled (a rebuild
  // that could not have the file alone, a file it could not open): the
  // table written without the index its header announces would leave the
  // tags behind its records.
  return LastErrorCode() == 0;
}

void TTzFileDataSet::BuildIndex(const std::string& indexFile) {
  const std::vector<TIndexTagSpec> specs = ParseIndexList();
  bool canMake = true;
  if (OnBeforeMakeIndex) OnBeforeMakeIndex(indexFile, canMake);
  if (!canMake) {
    if (!ReadOnly) SetMdxFlag(false);
    return;
  }
  {
    IndexProgressScope progress(ShowProgress, indexFile);
    MakeIndex(specs, indexFile);
  }
  if (OnAfterMakeIndex) OnAfterMakeIndex(indexFile);
  if (LastErrorCode() == 0) SetIndexTo(indexFile);
}

bool TTzFileDataSet::Seek(const std::string& operation, const std::string& key, bool exact) {
  CheckBrowseMode();
  SelectArea(operation);
  bool found = false;
  if (exact) {
    const bool wasExact = SetExactMatch();
    found = ::Find(key.substr(0, kMaxSeekKey));
    if (!wasExact) ClearExactMatch();
  } else {
    found = ::Find(key.substr(0, kMaxSeekKey));
  }
  if (dEOF()) Last();
  else ResyncFromEngine();
  // Showing the record moves the index, which sets its found flag anew.
  if (uint8_t* flag = Hooks().Index.FoundFlag) *flag = found;
  return found;
}

bool TTzFileDataSet::Find(const std::string& key) { return Seek("Find", key, false); }
bool TTzFileDataSet::FindExact(const std::string& key) { return Seek("FindExact", key, true); }

bool TTzFileDataSet::Locate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
                            TLocateOptions options) {
  SelectArea("Locate");
  if (CurrentOrder() == 0) return TTzCDataSet::Locate(keyFields, keyValues, options);
  if (keyValues.size() != 1) DatabaseError("A search in the controlling index takes one key value");
  const std::string key = VarToStr(keyValues[0]).substr(0, 255);
  return options.PartialKey ? Find(key) : FindExact(key);
}

void TTzFileDataSet::WriteUnderLock(const std::string& operation, bool (*lock)(), void (*engineOp)(), bool recall,
                                    const TTzLockFailedEvent& event, const std::string& word) {
  if (!GetCanModify()) return;
  bool retry = false;
  do {
    // The event may have used other areas.
    SelectArea(operation);
    if (lock()) {
      try {
        engineOp();
      } catch (...) {
        ::Unlock();
        throw;
      }
      // Leaving a record that became hidden moves off it and releases the
      // lock on the way.
      if (recall || !LeaveHiddenRecord()) ::Unlock();
      return;
    }
    retry = false;
    if (event) event(*this, retry);
    else ShowDatasetMessage("Lock failed [" + word + "]");
  } while (retry);
  throw EAbort("Lock failed [" + word + "]");
}

void TTzFileDataSet::s_AppendWithLock() {
  WriteUnderLock("s_AppendWithLock", ::ALock, ::Append, false, OnALockFailedOnInsert, "Insert");
}

void TTzFileDataSet::s_DeleteWithLock() {
  WriteUnderLock("s_DeleteWithLock", ::RLock, ::DeleteRec, false, OnRLockFailedOnDelete, "Delete");
}

void TTzFileDataSet::s_RestoreWithLock() {
  WriteUnderLock("s_RestoreWithLock", ::RLock, ::RecallRec, true, OnRLockFailedOnRestore, "Restore");
}

void TTzFileDataSet::s_ReplaceWithLock() {
  WriteUnderLock("s_ReplaceWithLock", ::RLock, ::Replace, false, OnRLockFailedOnPost, "Post");
}

std::unique_ptr<TStream> TTzFileDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  if (!dynamic_cast<TBlobField*>(&field)) DatabaseError("Invalid class typecast");
  // The record goes into edit before a new memo's reference enters its
  // image: going into edit later reads the record again over it.
  if (mode != TBlobStreamMode::bmRead) Edit();
  return std::make_unique<TTzBlobStream>(*this, field.FieldNo(), mode,
                                         TableLanguage == TTzTableLanguage::tlOem);
}

int32_t TTzFileDataSet::BlobReference(int fieldNo) {
  int32_t ref = 0;
  std::memcpy(&ref, ActiveFieldImage(fieldNo), sizeof ref);
  return ref;
}

void TTzFileDataSet::SetBlobReference(int fieldNo, int32_t ref) {
  std::memcpy(ActiveFieldImage(fieldNo), &ref, sizeof ref);
}

void TTzFileDataSet::BlobFieldChanged(int fieldNo) {
  for (int i = 0; i < FieldCount(); ++i)
    if (Fields(i).FieldNo() == fieldNo) DataEventFieldChange(Fields(i));
}
