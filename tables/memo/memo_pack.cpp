// Packing a memo file: the memos that records refer to are copied, in
// record order, into a new file that then takes the old one's place.
//
// Nothing is lost on the way, not even by a crash or a power cut: the new
// file is complete and synced, its name too, before any record changes; a
// journal of the references the records get (old and new) is synced next;
// then the records get their new references, the table is synced, and the
// new file replaces the old one in one step. The journal's name beside the memo
// file tells an open after a crash what to do: while the new file still
// lies under its temporary name the old references are put back (the old
// file is still in place), once it is gone the pack was complete.
//
// A journal is undone at most once, and only over the files it was made
// for: before anything is written, every entry must be a memo reference
// of a record that holds the entry's new (or already its old) reference,
// leading in the memo file to the very memo it led to when the pack read
// it; a journal that does not match (the table and memo file put back
// from a backup since, say) is left unapplied. Once the old references
// are back and synced, the journal is emptied, so that whatever stops the
// clearing up, nothing is ever applied again.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/byteorder.h"
#include "platform/journal.h"
#include "platform/pfs.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo.h"
#include "tables/memo/memo_internal.h"

using namespace memo;

namespace {

// A memo reference of a record that the pack changes.
struct NewReference {
  int32_t RecNo;
  size_t Field;  // index into the area's fields
  int64_t Pos;   // of the field in the table file
  std::string Old, New;
  uint64_t OldMemo;  // MemoHash of the memo `Old` leads to in the old file
};

// What the pack's journal holds: the memo file's flavour and block size,
// so that the old memos can be read again, and the changed references.
struct JournalBody {
  uint8_t Version = 0;
  uint16_t BlockSize = 0;
  std::vector<NewReference> Refs;
};

// The new memo file while it is made, and the pack's journal.
std::string NewFilePath(const std::string& memoPath) { return PackLeftoverPaths(memoPath)[1]; }
std::string JournalPath(const std::string& memoPath) { return PackLeftoverPaths(memoPath)[0]; }

// The journal: a tag, the number of entries, the memo file's version byte
// and block size, for each entry the field's position in the table
// (64-bit), its width, its old and new bytes and the hash of the old memo,
// then an FNV-1a hash of all that. A journal cut short, torn or emptied is
// no journal: the table was not touched yet, or was put right.
constexpr char kJournalTag[8] = {'M', 'E', 'M', 'O', 'P', 'A', 'K', '2'};
// The version byte and block size stand before the entries.
constexpr size_t kEntriesAt = plat::kJournalHead + 1 + 2;

// A memo as ReadMemo gives it: its bytes and whether it had a header.
uint64_t MemoHash(const std::string& data, bool header) {
  const uint8_t mark = header;
  return plat::Fnv1a64(&mark, 1, plat::Fnv1a64(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

void Append64(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t b[8];
  plat::writeLE64(b, v);
  out.insert(out.end(), b, b + sizeof b);
}

std::vector<uint8_t> EncodeJournal(const JournalBody& j) {
  std::vector<uint8_t> out = plat::BeginJournal(kJournalTag, uint32_t(j.Refs.size()));
  out.push_back(j.Version);
  out.resize(kEntriesAt);
  plat::writeLE16(out.data() + plat::kJournalHead + 1, j.BlockSize);
  for (const NewReference& r : j.Refs) {
    Append64(out, uint64_t(r.Pos));
    out.push_back(uint8_t(r.Old.size()));
    out.insert(out.end(), r.Old.begin(), r.Old.end());
    out.insert(out.end(), r.New.begin(), r.New.end());
    Append64(out, r.OldMemo);
  }
  plat::SealJournal(out);
  return out;
}

// The entries of a whole, intact journal; false for anything else.
bool DecodeJournal(const std::vector<uint8_t>& in, JournalBody& j) {
  j.Refs.clear();
  uint32_t count = 0;
  size_t body = 0;
  if (!plat::CheckJournal(in, kJournalTag, count, body) || body < kEntriesAt) return false;
  j.Version = in[plat::kJournalHead];
  j.BlockSize = plat::readLE16(in.data() + plat::kJournalHead + 1);
  size_t at = kEntriesAt;
  for (uint32_t i = 0; i < count; ++i) {
    if (body - at < 9) return false;
    const int64_t pos = int64_t(plat::readLE64(&in[at]));
    const size_t len = in[at + 8];
    at += 9;
    if (body - at < 2 * len + 8) return false;
    const char* p = reinterpret_cast<const char*>(&in[at]);
    j.Refs.push_back({0, 0, pos, std::string(p, len), std::string(p + len, len), plat::readLE64(&in[at + 2 * len])});
    at += 2 * len + 8;
  }
  return at == body;
}

// The journal file of a pack: made before the new memo file (so that a
// leftover new file is known as the pack's own) and held, keeping everyone
// else out, until the pack is over; erased then unless kept for the next
// open to finish.
class PackJournal {
 public:
  explicit PackJournal(std::string path) : path_(std::move(path)) {}
  ~PackJournal() {
    if (file_.IsOpen() && !keep_) plat::EraseFile(path_);
  }
  PackJournal(const PackJournal&) = delete;
  PackJournal& operator=(const PackJournal&) = delete;

  int Create() {
    if (int rc = file_.Create(path_, plat::kAccessReadWrite | plat::kShareDenyAll)) return rc;
    return plat::SyncDirectoryOf(file_.Path());
  }
  // Writes and syncs the entries; from then on a crash leaves the table
  // for the next open to put right.
  int Commit(const JournalBody& j) {
    const std::vector<uint8_t> bytes = EncodeJournal(j);
    if (int rc = file_.WriteAt(0, bytes.data(), bytes.size())) return rc;
    return file_.Flush();
  }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  plat::File file_;
  bool keep_ = false;
};

// The memo a reference leads to (a negative one: a blob stream's memo in a
// dBASE III file).
int ReadReferenced(MemoState& m, int32_t ref, std::string& data, bool& header) {
  return ReadMemo(m, ref < 0 ? -int64_t(ref) : ref, data, header);
}

// Reopens the area's memo file when the pack is over, however it ends.
class ReopenMemo {
 public:
  ReopenMemo(WorkArea& a, MemoState& m) : a_(a), m_(m), path_(m.File.Path()), mode_(m.File.Mode()) { m_.File.Close(); }
  ~ReopenMemo() {
    if (int rc = m_.File.Open(path_, mode_)) {
      AutoErrorHandlingScope quiet(false);
      SetError(uint16_t(rc), "Memo file not found: " + MemoName(a_) + " [PackMemofile]");
    }
  }
  ReopenMemo(const ReopenMemo&) = delete;
  ReopenMemo& operator=(const ReopenMemo&) = delete;
  const std::string& Path() const { return path_; }

 private:
  WorkArea& a_;
  MemoState& m_;
  std::string path_;
  int mode_;
};

// Writes each reference's `New` (or, undoing, `Old`) text into the table;
// 0 or the first DOS error.
int WriteReferences(WorkArea& a, const std::vector<NewReference>& refs, size_t count, bool undo) {
  for (size_t i = 0; i < count; ++i) {
    const std::string& text = undo ? refs[i].Old : refs[i].New;
    if (int rc = a.File.WriteAt(refs[i].Pos, text.data(), text.size())) return rc;
  }
  return 0;
}

// The area's buffers after the references changed on disk: nothing cached
// keeps the old ones (reads go through the file's mapping, which sees the
// writes), and the current record's memo fields show the new ones, in the
// record buffer and in each typed field that holds what was read there.
// With the new memo file in place (`current`: what the current record's
// memo fields hold in it, by field), a typed field that holds a rewrite's
// memo shows the record's memo instead: its number names other blocks in
// the new file (the caller carries along a rewrite the image holds). Other
// values the caller put in the typed record stay.
void RefreshArea(WorkArea& a, const std::vector<NewReference>& refs, const std::vector<int32_t>* current) {
  PeekCache& pc = Db().Peek;
  if (!pc.Alias.empty() && pc.Alias == a.Alias) pc = PeekCache{};
  if (a.WriteState == kWsClean) a.WriteState = kWsChanged;
  const bool typed = a.Typed && a.TypedOffsets.size() == a.Fields.size();
  auto slot = [&](size_t i) {
    int32_t ref = 0;
    if (typed && a.Fields[i].Type == 'M') std::memcpy(&ref, a.Typed + a.TypedOffsets[i], sizeof ref);
    return ref;
  };
  std::vector<bool> asRead(a.Fields.size());
  for (size_t i = 0; i < a.Fields.size(); ++i) asRead[i] = slot(i) == StoredMemoRef(a, i, a.Rec);
  for (const NewReference& r : refs)
    if (r.RecNo == a.RecNo) std::memcpy(a.Rec + a.Fields[r.Field].Pos, r.New.data(), r.New.size());
  for (size_t i = 0; typed && i < a.Fields.size(); ++i) {
    if (a.Fields[i].Type != 'M') continue;
    int32_t ref = slot(i);
    if (asRead[i])
      ref = StoredMemoRef(a, i, a.Rec);
    else if (current && ref != 0 && a.Memos.Wrote(ref))
      ref = (*current)[i];
    std::memcpy(a.Typed + a.TypedOffsets[i], &ref, sizeof ref);
  }
}

}  // namespace

void PackMemofile() {
  LastErrorCode() = 0;
  WorkArea* ap = CheckMemoField("PackMemofile");
  if (!ap) return;
  WorkArea& a = *ap;
  MemoState& m = *MemoOf(a);
  const std::string name = MemoName(a);
  const std::string where = name + " [PackMemofile]";
  if (m.Desc.Active && m.Desc.Mode == kBlobWrite) {
    SetError(1017, where);
    return;
  }
  int64_t oldSize = 0;
  if (int rc = MemoFileSize(m, oldSize)) {
    SetError(uint16_t(rc), where);
    return;
  }
  if (DiskFreeKB(MemoDirectory(m)) < oldSize / 1024) {
    SetError(1012, where);
    return;
  }
  // The old file is read through a handle that keeps everyone else out
  // until the new one is in place.
  ReopenMemo reopen(a, m);
  MemoState old, fresh;
  old.Version = fresh.Version = m.Version;
  old.BlockSize = fresh.BlockSize = m.BlockSize;
  if (int rc = old.File.Open(reopen.Path(), plat::kAccessReadWrite | plat::kShareDenyAll)) {
    SetError(uint16_t(rc), where);
    return;
  }
  // Every record counts, also those other programs appended since this
  // area last looked: a memo left out of the new file is lost to its
  // record. None can come now, since nobody opens the table without its
  // memo file.
  RefreshRecCount(a);
  PackJournal journal(JournalPath(reopen.Path()));
  if (int rc = journal.Create()) {
    SetError(uint16_t(rc), where);
    return;
  }
  const std::string newName = NewFilePath(reopen.Path());
  plat::TempFile newFile(newName);
  CreateTableMemoFile(newName, m.Version, m.BlockSize, "PackMemofile");
  if (LastErrorCode() != 0) return;
  if (int rc = fresh.File.Open(newName, plat::kAccessReadWrite | plat::kShareDenyAll)) {
    SetError(uint16_t(rc), where);
    return;
  }
  int64_t end = 0;
  if (int rc = MemoFileSize(fresh, end)) {
    SetError(uint16_t(rc), where);
    return;
  }
  int64_t nextBlock = std::max(BlockCount(fresh, end), HeaderBlocks(fresh));

  JournalBody record{m.Version, m.BlockSize, {}};
  std::vector<NewReference>& refs = record.Refs;
  std::vector<char> rec(a.RecLen);
  std::vector<int32_t> current(a.Fields.size(), 0);  // the current record's memos in the new file
  std::string data;
  bool header = false;
  // Copies the memo `ref` leads to (record `r`'s) to the end of the new
  // file: its reference there, 0 after reporting.
  auto copy = [&](int32_t ref, int32_t r) -> int32_t {
    if (int rc = ReadReferenced(old, ref, data, header)) {
      if (rc == 1003)
        SetError(1003, name + " Memo block # " + IntText(ref < 0 ? -int64_t(ref) : ref) + " Record # " + IntText(r) +
                           " [PackMemo]");
      else
        SetError(uint16_t(rc), name + " [AppendFrom/CopyTo]");
      return 0;
    }
    // A blob stream's memo in a dBASE III file keeps its header and its
    // negated reference.
    const bool keepHeader = m.Kind() == Flavour::Dbase3 && ref < 0 && header;
    if (int rc = WriteMemoAt(fresh, nextBlock, data, keepHeader)) {
      SetError(uint16_t(rc), where);
      return 0;
    }
    const int64_t written = keepHeader || m.Kind() != Flavour::Dbase3 ? int64_t(data.size()) + kMemoHeaderBytes
                                                                      : int64_t(data.size()) + 1;
    const int32_t newRef = int32_t(keepHeader ? -nextBlock : nextBlock);
    nextBlock += BlockCount(fresh, written);
    return newRef;
  };
  for (int32_t r = 1; r <= a.RecCount; ++r) {
    const int64_t recPos = int64_t(a.HeaderLen) + int64_t(r - 1) * a.RecLen;
    size_t got = 0;
    int rc = a.File.ReadAt(recPos, rec.data(), rec.size(), &got);
    if (rc != 0 || got < rec.size()) {
      SetError(uint16_t(rc ? rc : 100), "File:  " + a.FileName + " [PackMemofile]");
      return;
    }
    for (size_t i = 0; i < a.Fields.size(); ++i) {
      const FieldEntry& f = a.Fields[i];
      if (f.Type != 'M') continue;
      const std::string text(rec.data() + f.Pos, f.Len);
      const int32_t ref = MemoReference(text);
      if (ref == 0) continue;
      const int32_t newRef = copy(ref, r);
      if (newRef == 0) return;
      std::string newText = IntText(newRef);
      if (newText.size() > f.Len) {
        SetError(266, where);
        return;
      }
      newText.insert(0, f.Len - newText.size(), ' ');
      if (r == a.RecNo) current[i] = newRef;
      if (newText != text) refs.push_back({r, i, recPos + f.Pos, text, newText, MemoHash(data, header)});
    }
  }
  // The memos this area's rewrites wrote that the record image in its
  // buffer holds go along, so that the image's next write still stores
  // them (by field: the memo the field holds now).
  std::vector<int32_t> carried(a.Fields.size(), 0);
  for (size_t i = 0; a.Typed && i < a.Fields.size() && i < a.TypedOffsets.size(); ++i) {
    int32_t ref;
    std::memcpy(&ref, a.Typed + a.TypedOffsets[i], sizeof ref);
    if (a.Fields[i].Type != 'M' || ref == 0 || !a.Memos.Leads(StoredMemoRef(a, i, a.Rec), ref)) continue;
    if ((carried[i] = copy(ref, a.RecNo)) == 0) return;
  }
  // The new file's header, then everything on disk before the swap. Its
  // name too: an open after a crash tells undo from done by it, so it must
  // outlast any reference changed below.
  int64_t freshSize = 0;
  int rc = MemoFileSize(fresh, freshSize);
  if (rc == 0) rc = WriteNextFree(fresh, uint32_t(BlockCount(fresh, freshSize)));
  if (rc == 0) rc = fresh.File.Flush();
  if (rc == 0) rc = plat::SyncDirectoryOf(newName);
  if (rc != 0) {
    SetError(uint16_t(rc), where);
    return;
  }
  fresh.File.Close();
  rc = journal.Commit(record);
  if (rc == 0) rc = WriteReferences(a, refs, refs.size(), false);
  if (rc == 0) rc = a.File.Flush();
  if (rc == 0) rc = plat::ReplaceFile(newName, reopen.Path());
  if (rc != 0) {
    // Undo: the old references go with the old file, which is still in
    // place. When that fails too, the next open tries again.
    if (WriteReferences(a, refs, refs.size(), true) != 0 || a.File.Flush() != 0) {
      newFile.Release();
      journal.Keep();
    }
    RefreshArea(a, {}, nullptr);
    SetError(uint16_t(rc), where);
    return;
  }
  newFile.Release();
  m.Desc = BlobDescriptor{};  // a reading stream's positions are gone
  RefreshArea(a, refs, &current);
  // A replaced memo is left behind; the rewrites are those carried along.
  // Until the new file took the old one's place, the notes still held.
  a.Memos.Drop();
  for (size_t i = 0; i < carried.size(); ++i) {
    if (carried[i] == 0) continue;
    std::memcpy(a.Typed + a.TypedOffsets[i], &carried[i], sizeof carried[i]);
    a.Memos.Rewrote(StoredMemoRef(a, i, a.Rec), carried[i]);
  }
}

namespace {

// Whether `width` bytes at `pos` of the table file are exactly a memo
// field of one of its records (no sum that could overflow: the position
// may come from anywhere).
bool IsMemoField(const WorkArea& a, int64_t pos, size_t width) {
  if (pos < int64_t(a.HeaderLen) || a.RecLen == 0) return false;
  const int64_t at = pos - int64_t(a.HeaderLen);
  if (at / a.RecLen >= a.RecCount) return false;
  return std::any_of(a.Fields.begin(), a.Fields.end(), [&](const FieldEntry& f) {
    return f.Type == 'M' && f.Pos == at % a.RecLen && f.Len == width;
  });
}

// Whether the journal was made for the table and memo file as they are
// now: each entry a memo field that holds the entry's new reference (or
// already its old one), its old reference leading to the memo it led to
// when the pack read it.
bool BelongsHere(WorkArea& a, MemoState& old, const std::vector<NewReference>& refs) {
  std::string now, data;
  for (const NewReference& r : refs) {
    if (!IsMemoField(a, r.Pos, r.Old.size()) || r.New.size() != r.Old.size()) return false;
    now.assign(r.Old.size(), '\0');
    size_t got = 0;
    if (a.File.ReadAt(r.Pos, now.data(), now.size(), &got) != 0 || got != now.size()) return false;
    if (now != r.New && now != r.Old) return false;
    bool header = false;
    if (ReadReferenced(old, MemoReference(r.Old), data, header) != 0 || MemoHash(data, header) != r.OldMemo) return false;
  }
  return true;
}

// After the old references are back (or were never to go back): the
// journal says nothing more, emptied and synced; when it cannot be written,
// it goes at once. 0 or a DOS code.
int Retire(plat::File& journal, bool writable, const std::string& path) {
  if (writable && journal.Truncate(0) == 0 && journal.Flush() == 0) return 0;
  journal.Close();
  if (int rc = plat::EraseFile(path)) return rc;
  return plat::SyncDirectoryOf(path);
}

int EraseIfThere(const std::string& path) {
  if (!plat::ExistsAsNamed(path)) return 0;
  if (int rc = plat::EraseFile(path)) return rc;
  return plat::SyncDirectoryOf(path);
}

}  // namespace

namespace memo {

bool FinishInterruptedPack(WorkArea& a, const std::string& memoName) {
  const std::string memoPath = plat::ResolvePath(memoName);
  const std::string journalPath = JournalPath(memoPath);
  if (!plat::ExistsAsNamed(journalPath)) return true;
  const std::string name = MemoName(a);
  // The memo file first, as a pack takes it: while one runs (or another
  // open finishes one) this fails as the open itself would.
  MemoState old;
  if (int rc = old.File.Open(memoPath, plat::kAccessRead | plat::kShareDenyAll)) {
    SetError(uint16_t(rc), "Memo file not found: " + name + " [USE]");
    return false;
  }
  // USE reports this with its own text: it names what is wrong.
  auto fail = [&](int rc) {
    Db().MemoOpenOwnMessage = true;
    SetError(uint16_t(rc), "Interrupted pack of " + name + " cannot be undone [USE]");
    return false;
  };
  // A journal still held belongs to a pack that has already put its new
  // file in place (the memo file would be held otherwise): nothing to do.
  // One that cannot be written (another user's) is read.
  plat::File journal;
  bool writable = true;
  int rc = journal.Open(journalPath, plat::kAccessReadWrite | plat::kShareDenyAll);
  if (rc == plat::kErrAccessDenied) {
    writable = false;
    rc = journal.Open(journalPath, plat::kAccessRead | plat::kShareDenyAll);
  }
  if (rc == plat::kErrSharingViolation || rc == plat::kErrFileNotFound) return true;
  int64_t size = 0;
  if (rc == 0) rc = journal.GetSize(&size);
  std::vector<uint8_t> bytes(size_t(std::max<int64_t>(size, 0)));
  size_t got = 0;
  if (rc == 0) rc = journal.ReadAt(0, bytes.data(), bytes.size(), &got);
  if (rc != 0) return fail(rc);
  bytes.resize(got);
  JournalBody j;
  const std::string newPath = NewFilePath(memoPath);
  bool undone = false;
  if (DecodeJournal(bytes, j) && plat::ExistsAsNamed(newPath)) {
    // The records may hold some of the new references, which point into a
    // file that never took the old one's place: the old ones go back.
    old.Version = j.Version;
    old.BlockSize = j.BlockSize ? j.BlockSize : 512;
    if (BelongsHere(a, old, j.Refs)) {
      rc = WriteReferences(a, j.Refs, j.Refs.size(), true);
      if (rc == 0) rc = a.File.Flush();
      if (rc != 0) return fail(rc);
      undone = true;
    }
  }
  // The journal is done with before anything else; the new file goes
  // before the journal's name, which tells that it is the pack's own.
  rc = Retire(journal, writable, journalPath);
  if (rc == 0) rc = EraseIfThere(newPath);
  if (rc == 0) rc = EraseIfThere(journalPath);
  if (rc != 0) return fail(rc);
  if (undone && a.RecNo >= 1 && a.RecNo <= a.RecCount) {
    GetDbfRecord(a, a.RecNo);
    LoadUserBuffer();
    if (LastErrorCode() != 0) return false;
  }
  return true;
}

}  // namespace memo

std::vector<std::string> PackLeftoverPaths(const std::string& memoPath) {
  return {ForceExtension(memoPath, "$PJ"), ForceExtension(memoPath, "$$$")};
}
