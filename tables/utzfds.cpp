#include "tables/utzfds.h"

#include "tablebase/dbf4.h"
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
  return !IndexActive();
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
  return LastErrorCode() == 0;
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
