// The table datasets: TTzFileDataSet opens a DBF file in its work area
// (creating it from DbfFields when missing) and writes, deletes and
// recalls records under engine locks with a retry event per operation;
// TTzDbf is the component the program's windows hold.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tables/utzcds.h"

class TTzFileDataSet;

enum class TCreateIndexType : uint8_t { ciNotFound = 0, ciAlways = 1, ciVerifyHeader = 2, ciNever = 3 };

// A lock could not be had after the engine's retries. Retry is false on
// entry; true asks for another attempt.
using TTzLockFailedEvent = std::function<void(TTzFileDataSet& sender, bool& retry)>;

class TTzFileDataSet : public TTzCDataSet {
 public:
  explicit TTzFileDataSet(std::string name = {});

  TCreateIndexType CreateIndex = TCreateIndexType::ciNotFound;
  // A missing table is created from DbfFields when it is opened.
  bool CreateIfNotFound = true;
  // The engine's record-count correction while the table is opened.
  bool AutoFixRecCount = false;
  // Index tags in pairs of lines: "NAME,D,U,key expression", then the FOR
  // expression (empty for none); D and U are "T" for descending / unique.
  std::vector<std::string> IndexList;

  // A write whose lock fails after the engine's retries fires its event
  // (or, without one, shows "Lock failed [<word>]") and, unless the event
  // asks for a retry, fails with EAbort: the record stays in edit or
  // insert, nothing is written.
  TTzLockFailedEvent OnRLockFailedOnPost, OnALockFailedOnInsert, OnRLockFailedOnDelete, OnRLockFailedOnRestore;

  bool Exclusive() const { return exclusive_; }
  // An active dataset is closed and opened again with the new sharing.
  void SetExclusive(bool on);

  // Locks the record shown (the engine's RLock); its result.
  bool RLock();
  // Releases every lock of the area.
  void UnLock();

  bool IsSequenced() override;

 protected:
  bool OpenDbfTable(const std::string& fileName) override;
  void s_AppendWithLock() override;
  void s_DeleteWithLock() override;
  void s_RestoreWithLock() override;
  void s_ReplaceWithLock() override;

 private:
  // Takes `lock` (retrying as the events ask), runs `operation`, leaves a
  // record it hid (unless `recall`) and releases the lock.
  void WriteUnderLock(const std::string& operation, bool (*lock)(), void (*engineOp)(), bool recall,
                      const TTzLockFailedEvent& event, const std::string& word);

  bool exclusive_ = false;
};

// The table component of the program's windows.
class TTzDbf : public TTzFileDataSet {
 public:
  using TTzFileDataSet::TTzFileDataSet;
};
