// Memo files: the text of a memo field (type M) lives in a file beside the
// table, and the record holds its block number (the memo reference, 0 for
// none). Three flavours, chosen by the table's version byte:
//
//   0x83 dBASE III, DBT: blocks of 512; the header holds the next free
//        block (LE32 at 0); a memo is its text ended by 0x1A, the rest of
//        its last block zero-filled. A memo written by a blob stream carries
//        the dBASE IV block header instead and is referenced by its negated
//        block number (every reader uses the absolute value).
//   0xF5 FoxPro, FPT: block size BE16 at 6, next free block BE32 at 0, a
//        512-byte header; a memo is type 1 (BE32), its length (BE32), the
//        data.
//   any other (0x8B, 0x8C): dBASE IV, DBT: block size LE16 at 20; a memo is
//        FF FF 08 00, its length + 8 (LE32), the data. Freed blocks form a
//        chain of free runs that starts at the header's LE32 at 0; a run
//        begins with its next run (LE32) and its length in blocks (LE32);
//        the chain ends at a pointer at or past the file's block count.
//
// Block 0 is the header; a memo at block n starts at n x block size.
//
// Every operation acts on the current work area and reports failures
// through SetError with a text ending in the routine's tag in brackets;
// the memo lock is released before an error is reported. The work-area
// layer reaches this layer through the memo hooks (InstallMemoHooks); the
// table datasets reach it through TTzBlobStream.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tablebase/dbf4_hooks.h"
#include "tables/framework/dataset.h"

// Fills the engine's memo hooks with this layer's operations.
void InstallMemoHooks();

// --- The memo file of the current area ---------------------------------

// The flavour byte of the current area's table: byte 0 of its file, read
// again, when it is 0x83, 0x8B, 0x8C or 0xF5, else DefaultVersionByte.
// No table: error 215, DefaultVersionByte.
uint8_t GetMemoType();
// Opens the memo file of the table being opened (memo hook 2): `name` gets
// the extension DBT or FPT when it has none; found in any letter case.
// Errors: 1007 when the area has one open already (the first stays),
// the I/O code with "Memo file not found: ..." when it cannot be opened.
void OpenMemofile(const std::string& name);
// Closes the current area's memo file; its state is freed in every case.
void CloseMemofile();
// Writes an empty memo file `name` of the DefaultVersionByte flavour.
void CreateMemofile(const std::string& name);
// Empties the current area's memo file (memo hook 6): it is created again,
// empty, in its own flavour and block size, and reopened.
void EmptyMemofile();

// Byte-range lock on byte 10 of the memo file while the table is shared:
// a few quick attempts, then false (the caller reports 1017). Both answer
// true at once for an exclusive table.
bool LockMemo();
bool UnlockMemo();

// --- Memos ---------------------------------------------------------------

// Appends `text` without its trailing blanks and control characters as a
// new memo at the end of the file; its block, or 0 when the text is empty
// or on error. Never reuses blocks.
int32_t AddMemo(const std::string& text);
// Copies memo `ref` of area `sourceArea` into the current area's memo file,
// each side in its own flavour: at the end of the file, or with
// `sameBlock` at block |ref|. The new reference (negated for a dBASE III
// memo that carries a block header, as the source's was), 0 for ref 0 or
// on error.
int32_t CopyMemo(uint8_t sourceArea, int32_t ref, bool sameBlock);
// Rewrites the current area's memo file without the blocks no record
// refers to (memo hook 1). The new file is built and synced beside the old
// one, the records get their new references, and the new file takes the
// old one's place in one step; on any failure the old file and the old
// references stay. The table's other users must not have it open.
void PackMemofile();
// The two files a pack cut off leaves beside memo file `memoPath` (or its
// table: they share the name), its journal and its new memo file, for the
// table's next open to settle: "T.$PJ" and "T.$$$".
std::vector<std::string> PackLeftoverPaths(const std::string& memoPath);
// Assigns `file` to memo `ref` of the current area (memo hook 0). Reading
// gives the memo's lines: a line ends at CR (a following LF is skipped) or
// at a soft line end 0x8D LF, and a line longer than the line width (254,
// or the memo-width setting + 1) wraps after its last blank or is cut at
// the width; at most 1024 lines are kept. Lines written end at CR LF;
// closing after writing stores the text as the memo's new version and its
// reference in `ref` (0 for an empty text). A dBASE IV text goes to a free
// run or to the end of the file, never over the old memo; the old memo's
// blocks join the free chain at the area's next rewrite or close once the
// current record (whose memo it was) no longer refers to it, so the caller
// writes the record with the new reference first.
void AssignMemo(TextFile& file, int32_t& ref);

// --- Blob descriptors (one per area, used by TTzBlobStream) --------------

enum BlobMode : uint8_t { kBlobNone = 0, kBlobRead = 1, kBlobWrite = 2 };

// Sets the area's descriptor up for one memo: reading memo `ref` (0 reads
// as empty), or writing a new memo at the end of the file under the memo
// lock, which is held until DestroyBlobDescriptor. With `convert` the
// first data decides whether text passes OEM<->ANSI conversion. Answers
// the memo's reference (the new memo's for writing, negated in a dBASE III
// file), 0 on failure. Refused (1017) while a write descriptor is active.
int32_t CreateBlobDescriptor(bool convert, int32_t ref, BlobMode mode);
// Bytes read into `buffer` (at most `count`), 0 at the end of the memo or
// when the descriptor is not reading.
int32_t ReadBlob(void* buffer, int32_t count);
// Bytes written from `buffer` (left unchanged), 0 when not writing.
int32_t WriteBlob(const void* buffer, int32_t count);
// Moves the position: `origin` 0 from the start, 1 from the position, 2
// from the end of the memo. The new position (never below 0).
int32_t SeekBlob(int32_t offset, uint16_t origin);
// Finishes the descriptor: a memo being written gets its block header and
// the file header its next free block, then the lock is released.
void DestroyBlobDescriptor();
// Identifies the descriptor set up by the last CreateBlobDescriptor of the
// current area, so that a stream can tell it still owns it; 0 when none is
// active.
uint32_t BlobDescriptorSerial();

// --- Blob streams ----------------------------------------------------------

// What a blob stream needs of the table dataset of its memo field
// (TTzFileDataSet provides it).
class TTzBlobDataSet {
 public:
  virtual ~TTzBlobDataSet() = default;
  // Opens (true) or closes the table for the stream at design time; an
  // inactive dataset reports engine error 1103.
  virtual void DirectOpenClose(bool Open) = 0;
  // Selects the dataset's work area for an operation of that name.
  virtual void SelectArea(const std::string& Operation) = 0;
  // The memo reference of field `FieldNo` in the active record image.
  virtual int32_t BlobReference(int FieldNo) = 0;
  virtual void SetBlobReference(int FieldNo, int32_t Ref) = 0;
  // Puts the active record into edit (unless it is in edit, insert or
  // set-key state) and copies the record image into the engine's typed
  // record.
  virtual void EditIntoEngine() = 0;
  // The data event "field changed" for field `FieldNo`.
  virtual void BlobFieldChanged(int FieldNo) = 0;
};

// A stream over one memo field of the active record, through the work
// area's blob descriptor: bmRead reads the memo; bmWrite and bmReadWrite
// write a new memo at the end of the memo file (the old one's blocks stay
// where they are) and put its reference into the record image. Text is
// converted between the table's OEM code page and ANSI when `Convert` (the
// dataset's table language is OEM) and the data looks like text.
//
// One stream at a time per table: a stream created while another one is
// reading takes the descriptor over (the older stream then reads and
// writes nothing); one created while another is writing is refused (1017)
// and does nothing. A write stream that cannot be set up leaves the
// record's reference as it was.
class TTzBlobStream : public TStream {
 public:
  // `FieldNo` 0: a field without a field number; nothing is set up.
  TTzBlobStream(TTzBlobDataSet& DataSet, int FieldNo, TBlobStreamMode Mode, bool Convert);
  // Finishes the memo. bmWrite: a stream closed without data empties the
  // field; the record goes into edit and into the engine. bmReadWrite: the
  // reference waits in the record image for the next post; without data
  // the old reference comes back. An engine error raised meanwhile is left
  // recorded (LastErrorCode) rather than thrown out of the destructor.
  ~TTzBlobStream() override;
  TTzBlobStream(const TTzBlobStream&) = delete;
  TTzBlobStream& operator=(const TTzBlobStream&) = delete;

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int32_t Seek(int32_t Offset, uint16_t Origin) override;
  bool Modified() const { return modified_; }

 private:
  bool Owns() const;

  TTzBlobDataSet& dataSet_;
  int fieldNo_;
  TBlobStreamMode mode_;
  bool modified_ = false;
  bool written_ = false;
  uint32_t serial_ = 0;  // the descriptor this stream set up; 0 none
  int32_t oldRef_ = 0;   // the reference before a write stream
};
