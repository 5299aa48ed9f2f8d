// The memo layer's shared pieces: the per-area memo state and the file
// routines that memo.cpp, memo_chain.cpp, memo_text.cpp and memo_blob.cpp
// build on. Routines that report take the area whose memo file they work
// on; those that answer a DOS or engine code leave the reporting to their
// caller.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pfile.h"
#include "tablebase/dbf4_area.h"

namespace memo {

enum class Flavour { Dbase3, Dbase4, Fox };
Flavour FlavourOf(uint8_t version);

// The descriptor through which one blob stream reads or writes one memo.
struct BlobDescriptor {
  bool Active = false;
  uint8_t Mode = 0;         // BlobMode
  int64_t Length = -1;      // data bytes; -1 unknown (text ending at 0x1A)
  int64_t DataStart = 0;    // file position of the first data byte
  uint32_t HeaderSize = 0;  // 0 or 8
  int64_t Position = 0;     // stream position inside the data
  int64_t Written = 0;      // end of the data written so far
  int32_t Block = 0;        // the memo's block
  int Conversion = 0;       // -1 decide on the first data, 0 none, 1 OEM<->ANSI
  uint32_t Serial = 0;      // which CreateBlobDescriptor set it up
};

// A free run of a dBASE IV memo file: its first block and its length in
// blocks; it points to the run after it, or to the chain's end.
struct FreeRun {
  int64_t At;
  uint32_t Len;
};

// The free chain as this area last saw it, so that a rewrite need not read
// it all: the runs in chain order and the pointer that ends the chain (the
// header's when there is no run). It belongs to one opening of the file;
// while other programs may write the file, the header's pointer (once per
// hold of the memo lock) and each run an operation relies on are read again
// first, and a difference sends for the whole chain again.
struct ChainCopy {
  uint64_t Opening = 0;  // the file's OpenSerial when read; 0 = none held
  std::vector<FreeRun> Runs;
  uint32_t End = 0;
  bool Sorted = true;     // the runs lie in block order, as this engine keeps them
  uint64_t ReadHold = 0;  // the hold of the memo lock the chain was read in
  uint64_t HeadHold = 0;  // the hold the header's pointer was last found right in
};

// Memo state of an area, from the opening of its memo file to its close.
struct MemoState : AreaExtension::Part {
  plat::File File;
  std::string Name;  // the memo file as USE named it
  uint8_t Version = 0;
  uint16_t BlockSize = 512;
  bool Locked = false;  // the lock byte is held
  uint64_t Holds = 0;   // times the lock byte was taken
  BlobDescriptor Desc;
  uint32_t LastSerial = 0;
  ChainCopy Chain;

  Flavour Kind() const { return FlavourOf(Version); }
};

constexpr uint32_t kLockOffset = 10;
constexpr int64_t kMemoHeaderBytes = 8;  // block header of dBASE IV and FoxPro memos
constexpr uint32_t kUnknownSize = 0x7FFFFFFF;

// The memo state of an area, null without one.
MemoState* MemoOf(WorkArea& a);
// The current area when it has a table with an open memo file; otherwise
// reports 215 (" [tag]") or 1019 (table name + " No Memo Field [tag]") and
// answers null.
WorkArea* CheckMemoField(const std::string& tag);
// The memo file as the messages name it: the table's name with the
// extension of the DefaultVersionByte flavour.
std::string MemoName(const WorkArea& a);
// Releases the memo lock, then reports.
void MemoError(WorkArea& a, uint16_t code, const std::string& text);

bool LockMemo(WorkArea& a, MemoState& m);
bool UnlockMemo(WorkArea& a, MemoState& m);
// Takes the memo lock (1017 with " [tag]" when it cannot) and pads the file
// with zeros to a whole block, never shorter than its header. The padded
// end, or 0 after reporting.
int64_t LockMemoPadAndSeekEOF(WorkArea& a, MemoState& m, const std::string& tag);
// Sets the header's next free block to the file's block count (for dBASE
// IV: the end of the free chain), then releases the memo lock. False
// after reporting.
bool UpdateMemoHeader(WorkArea& a, MemoState& m);
// Flushes the memo file (SyncFile: any file of the area) unless the memo
// layer's no-flush switch is on; false after reporting.
bool FlushMemo(WorkArea& a, MemoState& m);
bool SyncFile(WorkArea& a, plat::File& file);

// 0 or a DOS code; `size` gets the file's length.
int MemoFileSize(MemoState& m, int64_t& size);
// Blocks of a file of `size` bytes, the last partial block counted.
int64_t BlockCount(const MemoState& m, int64_t size);
// Blocks a memo with a block header and `dataLen` data bytes occupies.
int64_t MemoBlocks(const MemoState& m, int64_t dataLen);
// Blocks the file's header takes; memos start after them. A dBASE IV
// header reaches to its given-up counter at 32.
int64_t HeaderBlocks(const MemoState& m);
int64_t BlockPos(const MemoState& m, int64_t block);
// The directory of the memo file, with its trailing "/".
std::string MemoDirectory(const MemoState& m);

// The data length a memo's first `got` bytes at `h` give: a FoxPro block
// header, or a dBASE IV one (which any non-FoxPro memo may carry); -1 when
// there is none (a dBASE III text ending at 0x1A).
int64_t HeaderDataLength(const MemoState& m, const uint8_t* h, size_t got);
// The start of the memo at `block` (absolute): `length` gets its data
// length as HeaderDataLength gives it. Answers 0, 1003 for a memo starting
// at or past the last byte of the file (or a FoxPro one cut short in its
// block header), or a DOS code. Memos are read through the file's mapping
// (File::ReadAtMapped), which sees at once what other programs wrote.
int ProbeMemo(MemoState& m, int64_t block, int64_t& length);
// The data of the memo at `block` (absolute), raw as the file holds it.
// `header` tells whether it carried a length header. Answers 0, 1003 for a
// memo starting at or past the end of the file or whose length runs past
// it, or a DOS code.
int ReadMemo(MemoState& m, int64_t block, std::string& data, bool& header);
// The dBASE III text starting at `pos`: up to its first 0x1A, or to the end
// of the file. 0 or a DOS code (`data` then empty).
int ReadTextToEndMark(MemoState& m, int64_t pos, std::string& data);
// Writes a memo at `block` in the file's flavour: a dBASE III text ends in
// 0x1A and fills its last block with zeros, unless `header` asks for the
// block header there. 0 or a DOS code.
int WriteMemoAt(MemoState& m, int64_t block, std::string_view data, bool header);
// The 8-byte block header of the flavour for a memo of `length` bytes.
int WriteGroupHeader(MemoState& m, int64_t block, uint32_t length);
// The header's next free block as the flavour stores it (in a dBASE IV
// file the start of the free chain). 0 or a DOS code.
int WriteNextFree(MemoState& m, uint32_t next);

// Hands `data` (lying at data offset `offset` of its memo) to a record
// translator in the pieces of the 512-byte windows it spans.
void TranslateWindows(const RecordTranslator& proc, char* data, size_t len, int64_t offset);

// dBASE IV free chain (memo_chain.cpp). Each reports with `tag` and
// answers false or 0 after reporting.
//
// Records blocks [block, block + count) as a free run, in block order,
// joined with a free run just before or after them; blocks outside the
// file or already in a run are not recorded.
bool FreeBlocks(WorkArea& a, MemoState& m, int64_t block, int64_t count, const std::string& tag);
// A place for a memo of `count` blocks: the first free run that fits among
// the chain's first 100 (taken out of the chain, its surplus staying in
// it), else the end of the file; a chain of more runs than that, none of
// them fitting, is given up (the header points past the new memo).
// kUnknownSize: the end of the file, the chain ending there marked as
// open-ended until the next UpdateMemoHeader.
int64_t AllocBlocks(WorkArea& a, MemoState& m, int64_t count, const std::string& tag);
// The end of the chain (the header's pointer when it is empty) := `value`.
bool SetChainEnd(WorkArea& a, MemoState& m, uint32_t value, const std::string& tag);
// The memo reference a memo field's text holds (0 for none or no number;
// negative for a blob stream's memo in a dBASE III file).
int32_t MemoReference(std::string_view fieldText);
// Blocks held by the dBASE IV memo at `block`, 0 when none starts there.
int64_t OldMemoBlocks(MemoState& m, int64_t block);
// Before the memo file `memoName` (as USE names it) is opened: puts right
// what a pack of it left behind when it was cut off (memo_pack.cpp). The
// table, open in `a`, gets its old references back when the new memo file
// never took the old one's place and the pack's journal matches the table
// and memo file as they are; the pack's leftover files go. False after
// reporting, with a text of its own for USE to keep: the table open only
// for reading cannot take its references back, a leftover that cannot be
// erased stays for the next open.
bool FinishInterruptedPack(WorkArea& a, const std::string& memoName);
// Writes `text` as the new version of memo `oldRef` (the write side of the
// text device). The new reference, 0 for an empty text or on error. A
// dBASE IV memo is replaced, never overwritten: the text goes to a free run
// or the end of the file, and the area notes the new memo as a rewrite for
// the record image in its buffer (MemoNotes). The old memo's blocks are
// freed only when a record write of this area replaces its reference
// (FreeReplaced); a rewrite that never reaches the record frees nothing.
int32_t EditMemo(WorkArea& a, MemoState& m, int32_t oldRef, const std::string& text);
// Frees the memos whose references this area's record writes replaced
// (MemoNotes::TakeReplaced), each once, the table synced first (unless the
// no-flush switch is on) so that no record on disk still names blocks
// handed out again. A memo that its record refers to again, or that is no
// memo any more, stays where it is (lost space).
// REQUIRES: the memo lock is held. False after reporting with `tag`.
bool FreeReplaced(WorkArea& a, MemoState& m, const std::string& tag);

}  // namespace memo
