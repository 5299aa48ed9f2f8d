// The table datasets: TTzFileDataSet opens a DBF file in its work area
// (creating it from DbfFields when missing), opens or builds the table's
// MDX index file from IndexList under the CreateIndex rule, writes, deletes
// and recalls records under engine locks with a retry event per operation,
// seeks keys in the controlling index tag, and reads and writes memo fields
// through blob streams; TTzDbf is the component the program's windows
// hold.
//
// The index file is rebuilt only while the table is opened:
//   CreateIndex     file missing   file present
//   ciNotFound      built          opened; built when it cannot be opened
//                                  (missing, damaged, another version)
//   ciAlways        built          built again, unless another program
//                                  uses it (then as ciNotFound)
//   ciVerifyHeader  built          built again when its tags differ from
//                                  IndexList (letter case aside), unless
//                                  another program uses it; else opened
//   ciNever         opened (the engine reports the missing file)
// With no tag in IndexList the table's own index file is opened when the
// table's header announces one, and none is built. An index file that can
// be neither opened nor built (another program holds it, or it stays
// damaged) fails the open with the engine's code: the table is not left
// open to writes that would leave its tags behind. With no tag in
// IndexList and errors returned rather than raised, a missing file is no
// failure: the table goes on without it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tables/memo/memo.h"
#include "tables/mdx/tzndx.h"
#include "tables/datasets/utzcds.h"

class TTzFileDataSet;

enum class TCreateIndexType : uint8_t { ciNotFound = 0, ciAlways = 1, ciVerifyHeader = 2, ciNever = 3 };

// A lock could not be had after the engine's retries. Retry is false on
// entry; true asks for another attempt.
using TTzLockFailedEvent = std::function<void(TTzFileDataSet& sender, bool& retry)>;
// Before an index file is built: CanMake (true on entry) false builds
// none, and the table's header stops announcing one.
using TBeforeMakeIndexEvent = std::function<void(const std::string& name, bool& canMake)>;
using TAfterMakeIndexEvent = std::function<void(const std::string& name)>;

class TTzFileDataSet : public TTzCDataSet, public TTzBlobDataSet {
 public:
  explicit TTzFileDataSet(std::string name = {});

  TCreateIndexType CreateIndex = TCreateIndexType::ciNotFound;
  // A missing table is created from DbfFields when it is opened.
  bool CreateIfNotFound = true;
  // The engine's record-count correction while the table is opened.
  bool AutoFixRecCount = false;
  // Index tags in pairs of lines: "NAME,D,U,key expression" (the name's
  // first 10 characters count; D and U are "T" for a descending / unique
  // tag), then the FOR expression (empty for none). An unpaired last line
  // is no tag.
  std::vector<std::string> IndexList;
  TBeforeMakeIndexEvent OnBeforeMakeIndex;
  TAfterMakeIndexEvent OnAfterMakeIndex;

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

  // Seek the first 100 characters of `key` in the controlling tag and show
  // the record found, or the last record when none is; the answer is the
  // engine's found flag. Find finds a key that begins with a character
  // key, FindExact only the key itself.
  bool Find(const std::string& key);
  bool FindExact(const std::string& key);

  // A TTzBlobStream over a memo field of the active record; text converted
  // between OEM and ANSI in an OEM table. A stream that writes puts the
  // record into edit first (a read-only dataset refuses it).
  std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;

  // What blob streams need of their dataset.
  void SelectArea(const std::string& operation) override { TTzCDataSet::SelectArea(operation); }
  void DirectOpenClose(bool open) override { TTzCDataSet::DirectOpenClose(open); }
  int32_t BlobReference(int fieldNo) override;
  void SetBlobReference(int fieldNo, int32_t ref) override;
  void EditIntoEngine() override { PutActiveRecordIntoEdit(); }
  void BlobFieldChanged(int fieldNo) override;

  // False while an index tag controls the order.
  bool IsSequenced() override;
  // With a controlling tag, the one key value is sought in that tag's keys
  // (FindExact, or Find with PartialKey); KeyFields and CaseInsensitive do
  // not count then.
  bool Locate(const std::string& keyFields, const std::vector<TVarValue>& keyValues,
              TLocateOptions options) override;

 protected:
  bool OpenDbfTable(const std::string& fileName) override;
  void s_AppendWithLock() override;
  void s_DeleteWithLock() override;
  void s_RestoreWithLock() override;
  void s_ReplaceWithLock() override;

 private:
  // Opens or builds the index file under the CreateIndex rule. False with
  // the engine's error pending when the index could be neither opened nor
  // built.
  bool OpenIndexes();
  // The tags of IndexList to build.
  std::vector<TIndexTagSpec> ParseIndexList() const;
  // Another program uses the table's index today (its semaphore file);
  // a semaphore file left from an earlier day is erased first.
  bool IndexSemaphoreExists();
  void BuildIndex(const std::string& indexFile);
  bool Seek(const std::string& operation, const std::string& key, bool exact);
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
