// The engine's hook tables: the work-area layer reaches the expression
// compiler, the index engine, the memo layer and the in-memory tables only
// through these tables, which those later layers fill from their start-up
// routines (EngineStartup order). Every entry starts empty; an empty entry
// (or a cleared Linked flag) means that layer is absent and the work-area
// layer behaves as without that feature.
//
// Each entry documents what the work-area layer passes and what it relies
// on. Entries the work-area layer never calls are typed for the layer that
// owns them and may be refined there.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct WorkArea;
// A compiled expression. Defined and owned by the expression layer; the
// work-area layer only stores the pointer and hands it back.
struct ExprRecord;

struct ExpressionHooks {
  // 0: compile `source` into an expression record; null on failure (the
  // reason is in LastErrorCode). Not called by the work-area layer.
  std::function<ExprRecord*(const std::string& source)> Compile;
  // 1: release an expression; the reference becomes null. CloseArea calls it
  // for the area's filter and WHILE expressions.
  std::function<void(ExprRecord*& expr)> Free;
  // 2: evaluate against the current records. Returns a pointer to the
  // result value whose first byte is the Boolean result for a logical
  // expression (RecordVisible, WhileTrue rely on that); the pointer stays
  // valid until the next evaluation.
  std::function<const uint8_t*(ExprRecord*& expr)> Evaluate;
  // 3: the source text of an expression.
  std::function<std::string(ExprRecord* expr)> Source;
  // The evaluator of the engine's current expression, used by the index
  // engine for its key expressions.
  std::function<const uint8_t*()> EvaluateCurrent;
  // Set by the expression layer when it has installed itself.
  bool Linked = false;
};

// Every index entry acts on the current work area. Record numbers are
// signed 32-bit; RecCount + 1 stands for "no record".
struct IndexHooks {
  using KeyTextProc = std::function<std::string()>;

  std::function<bool()> IndexPresent;  // 0: a controlling index is active
  std::function<void()> SyncIndex;     // 1: put the controlling tag on the current record
  std::function<int32_t()> NextRec;    // 2: next record in index order
  std::function<int32_t()> PriorRec;   // 3: previous record in index order
  std::function<int32_t()> TopRec;     // 4: first record in index order (count + 1: none)
  std::function<int32_t()> BottomRec;  // 5: last record in index order (count + 1: none)
  std::function<bool()> AtEof;         // 6: index at end
  std::function<bool()> AtBof;         // 7: index at beginning
  std::function<void()> AppendKeys;    // 8: add the keys of the record just appended
  std::function<void()> RefreshKey;    // 9: controlling tag's current key from the current record
  std::function<void()> CaptureKeys;   // 10: take the old keys before a replace
  std::function<void()> UpdateKeys;    // 11: update the keys after a replace
  std::function<void()> SetBof;        // 12: mark index BOF
  std::function<void()> SetEof;        // 13: mark index EOF
  // 14: the index layer's found flag. Not called: RunAfterMove saves the
  // byte before the after-move procedure and restores it afterwards.
  uint8_t* FoundFlag = nullptr;
  std::function<void()> Reindex;                    // 15: rebuild every tag
  std::function<void()> CloseIndex;                 // 16: close the current area's indexes
  std::function<bool()> OpenOwnIndex;               // 17: open the table's own index file
  std::function<std::string(int tag)> TagLocator;   // 18: tag locator text of tag n
  std::function<KeyTextProc(int tag)> TagKeyText;   // 19: key-text procedure of tag n (empty: not open)
  std::function<KeyTextProc()> OrderKeyText;        // 20: key-text procedure of the current order
  std::function<bool(int tag)> Ascending;           // 21: tag n is ascending
  std::function<uint8_t(int tag)> Phonetic;         // 22: the tag's phonetic flag
  // 23: the index read bracket, opened (true) and closed (false) exactly
  // once around each index-driven move of GoTop, GoBottom, SKIP and GO.
  std::function<void(bool on)> ReadSemaphore;
  // 24: the index write bracket, around Append and an index-maintaining
  // Replace.
  std::function<void(bool on)> LockSemaphore;
  // Set by the index engine when it has installed itself.
  bool Linked = false;
};

// A text file whose lines come from, or go to, a device that a later layer
// provides: memo hook 0 assigns one over a memo, so that a memo is read and
// written line by line as a text file is. Reset opens it for reading,
// Rewrite for writing; Close ends either (and is run on destruction).
// Failures are left in LastErrorCode by the device.
class TextDevice {
 public:
  virtual ~TextDevice() = default;
  virtual void Open(bool forWriting) = 0;
  // The next line without its line end; false after the last one.
  virtual bool ReadLine(std::string& line) = 0;
  // Bytes as a program writes them; CR LF ends a line.
  virtual void Write(std::string_view bytes) = 0;
  virtual void Close() = 0;
};

class TextFile {
 public:
  TextFile() = default;
  ~TextFile() { Close(); }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // A new device; an open one is closed first.
  void Assign(std::unique_ptr<TextDevice> device) {
    Close();
    device_ = std::move(device);
  }
  bool Assigned() const { return device_ != nullptr; }
  void Reset() { OpenAs(false); }
  void Rewrite() { OpenAs(true); }
  // False at the end of the text, or when the file is not open for reading.
  bool ReadLn(std::string& line) { return open_ && !writing_ && device_->ReadLine(line); }
  void Write(std::string_view bytes) {
    if (open_ && writing_) device_->Write(bytes);
  }
  void WriteLn(std::string_view line) {
    Write(line);
    Write("\r\n");
  }
  void Close() {
    if (!open_) return;
    open_ = false;
    device_->Close();
  }

 private:
  void OpenAs(bool writing) {
    Close();
    if (!device_) return;
    writing_ = writing;
    open_ = true;
    device_->Open(writing);
  }
  std::unique_ptr<TextDevice> device_;
  bool open_ = false;
  bool writing_ = false;
};

// The memo layer's services. The work-area layer calls 0 (Locate's memo
// search), 2 (USE of a table with memo fields) and 3 (CloseArea).
struct MemoHooks {
  // 0: assigns `file` to the memo that `ref` refers to in the current area,
  // ready to be opened: reading gives the memo's lines (raw file bytes, in
  // the table's code page); writing and closing stores the lines as a new
  // or rewritten memo and its reference in `ref`, which must outlive the
  // file. Failure in LastErrorCode.
  std::function<void(TextFile& file, int32_t& ref)> AssignMemo;
  std::function<void()> Pack;  // 1: pack the current area's memo file
  // 2: open the memo file of the table being opened in the current area;
  // `tableName` is the table's file name without extension. Failure in
  // LastErrorCode (its message kept by USE when the hook sets
  // DbfState::MemoOpenOwnMessage).
  std::function<void(const std::string& tableName)> Open;
  std::function<void()> Close;                                           // 3: close the current area's memo file
  std::function<int32_t(uint8_t sourceArea, int32_t block)> CopyMemo;    // 4: copy into a new block
  std::function<int32_t(uint8_t sourceArea, int32_t block)> CopyMemoSame;  // 5: copy keeping the block
  std::function<void()> Empty;                                           // 6: empty the memo file
  std::function<int32_t(const std::string& text)> AddMemo;               // 7: new memo, its block (0: none)
};

// Operation codes the work-area layer stores in WorkArea::VOp before it
// calls the virtual-file hook.
enum VFileOp : uint8_t {
  kVOpClose = 1,
  kVOpDelete = 2,
  kVOpRead = 3,
  kVOpOpen = 4,
  kVOpWrite = 8,
  kVOpRecall = 9,
};

struct HookTables {
  ExpressionHooks Expr;
  IndexHooks Index;
  MemoHooks Memo;
  // The in-memory table dispatcher: performs WorkArea::VOp on the area
  // (reads and writes use WorkArea::VRecNo). Failure in LastErrorCode.
  std::function<void(WorkArea& area)> VirtualFile;
};

// True when the index layer is installed and reports a controlling index
// for the current area (index hook 0).
bool IndexActive();
