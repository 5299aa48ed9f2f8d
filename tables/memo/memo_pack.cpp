// Packing a memo file: the memos that records refer to are copied, in
// record order, into a new file that then takes the old one's place.
//
// Nothing is lost on the way, not even by a crash: the new file is
// complete and synced before any record changes; a journal of the
// references the records get (old and new) is synced next; then the
// records get their new references, the table is synced, and the new file
// replaces the old one in one step. The journal's name beside the memo
// file tells an open after a crash what to do: while the new file still
// lies under its temporary name the old references are put back (the old
// file is still in place), once it is gone the pack was complete.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "platform/byteorder.h"
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
};

// The new memo file while it is made, and the pack's journal.
std::string NewFilePath(const std::string& memoPath) { return ForceExtension(memoPath, "$$$"); }
std::string JournalPath(const std::string& memoPath) { return ForceExtension(memoPath, "$PJ"); }

// The journal: a tag, the number of entries, for each the field's position
// in the table (64-bit), its width and its old and new bytes, then an
// FNV-1a hash of all that. A journal cut short or torn is no journal: the
// table was not touched yet.
constexpr char kJournalTag[8] = {'M', 'E', 'M', 'O', 'P', 'A', 'C', 'K'};

uint64_t Fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return h;
}

std::vector<uint8_t> EncodeJournal(const std::vector<NewReference>& refs) {
  std::vector<uint8_t> out(sizeof kJournalTag + 4);
  std::memcpy(out.data(), kJournalTag, sizeof kJournalTag);
  plat::writeLE32(out.data() + sizeof kJournalTag, uint32_t(refs.size()));
  for (const NewReference& r : refs) {
    uint8_t head[9];
    plat::writeLE32(head, uint32_t(uint64_t(r.Pos)));
    plat::writeLE32(head + 4, uint32_t(uint64_t(r.Pos) >> 32));
    head[8] = uint8_t(r.Old.size());
    out.insert(out.end(), head, head + sizeof head);
    out.insert(out.end(), r.Old.begin(), r.Old.end());
    out.insert(out.end(), r.New.begin(), r.New.end());
  }
  const uint64_t h = Fnv1a(out.data(), out.size());
  uint8_t tail[8];
  plat::writeLE32(tail, uint32_t(h));
  plat::writeLE32(tail + 4, uint32_t(h >> 32));
  out.insert(out.end(), tail, tail + sizeof tail);
  return out;
}

// The entries of a whole, intact journal; false for anything else.
bool DecodeJournal(const std::vector<uint8_t>& in, std::vector<NewReference>& refs) {
  refs.clear();
  constexpr size_t kHead = sizeof kJournalTag + 4;
  if (in.size() < kHead + 8 || std::memcmp(in.data(), kJournalTag, sizeof kJournalTag) != 0) return false;
  const size_t body = in.size() - 8;
  const uint64_t h = Fnv1a(in.data(), body);
  if (plat::readLE32(in.data() + body) != uint32_t(h) || plat::readLE32(in.data() + body + 4) != uint32_t(h >> 32))
    return false;
  const uint32_t count = plat::readLE32(in.data() + sizeof kJournalTag);
  size_t at = kHead;
  for (uint32_t i = 0; i < count; ++i) {
    if (body - at < 9) return false;
    const uint64_t pos = plat::readLE32(&in[at]) | uint64_t(plat::readLE32(&in[at + 4])) << 32;
    const size_t len = in[at + 8];
    at += 9;
    if (body - at < 2 * len) return false;
    const char* p = reinterpret_cast<const char*>(&in[at]);
    refs.push_back({0, 0, int64_t(pos), std::string(p, len), std::string(p + len, len)});
    at += 2 * len;
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
  int Commit(const std::vector<NewReference>& refs) {
    const std::vector<uint8_t> bytes = EncodeJournal(refs);
    if (int rc = file_.WriteAt(0, bytes.data(), bytes.size())) return rc;
    return file_.Flush();
  }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  plat::File file_;
  bool keep_ = false;
};

int32_t ReferenceOf(std::string_view text) {
  const std::string t = AllTrim(text);
  int32_t ref = 0;
  std::from_chars(t.data(), t.data() + t.size(), ref);
  return ref;
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
// writes), and the current record's memo fields show the new ones (its
// other fields keep what the caller put there).
void RefreshArea(WorkArea& a, const std::vector<NewReference>& refs) {
  PeekCache& pc = Db().Peek;
  if (!pc.Alias.empty() && pc.Alias == a.Alias) pc = PeekCache{};
  if (a.WriteState == kWsClean) a.WriteState = kWsChanged;
  for (const NewReference& r : refs) {
    if (r.RecNo != a.RecNo) continue;
    const FieldEntry& f = a.Fields[r.Field];
    std::memcpy(a.Rec + f.Pos, r.New.data(), r.New.size());
    if (a.Typed && r.Field < a.TypedOffsets.size()) {
      const int32_t ref = ReferenceOf(r.New);
      std::memcpy(a.Typed + a.TypedOffsets[r.Field], &ref, sizeof ref);
    }
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

  std::vector<NewReference> refs;
  std::vector<char> rec(a.RecLen);
  std::string data;
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
      const int32_t ref = ReferenceOf(text);
      if (ref == 0) continue;
      const int64_t block = ref < 0 ? -int64_t(ref) : ref;
      bool header = false;
      if (int rc2 = ReadMemo(old, block, data, header)) {
        if (rc2 == 1003)
          SetError(1003, name + " Memo block # " + IntText(block) + " Record # " + IntText(r) + " [PackMemo]");
        else
          SetError(uint16_t(rc2), name + " [AppendFrom/CopyTo]");
        return;
      }
      // A blob stream's memo in a dBASE III file keeps its header and its
      // negated reference.
      const bool keepHeader = m.Kind() == Flavour::Dbase3 && ref < 0 && header;
      if (int rc2 = WriteMemoAt(fresh, nextBlock, data, keepHeader)) {
        SetError(uint16_t(rc2), where);
        return;
      }
      const int64_t written = keepHeader || m.Kind() != Flavour::Dbase3 ? int64_t(data.size()) + kMemoHeaderBytes
                                                                        : int64_t(data.size()) + 1;
      const int32_t newRef = int32_t(keepHeader ? -nextBlock : nextBlock);
      nextBlock += BlockCount(fresh, written);
      std::string newText = IntText(newRef);
      if (newText.size() > f.Len) {
        SetError(266, where);
        return;
      }
      newText.insert(0, f.Len - newText.size(), ' ');
      if (newText != text) refs.push_back({r, i, recPos + f.Pos, text, newText});
    }
  }
  // The new file's header, then everything on disk before the swap.
  int64_t freshSize = 0;
  int rc = MemoFileSize(fresh, freshSize);
  if (rc == 0) rc = WriteNextFree(fresh, uint32_t(BlockCount(fresh, freshSize)));
  if (rc == 0) rc = fresh.File.Flush();
  if (rc != 0) {
    SetError(uint16_t(rc), where);
    return;
  }
  fresh.File.Close();
  rc = journal.Commit(refs);
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
    RefreshArea(a, {});
    SetError(uint16_t(rc), where);
    return;
  }
  newFile.Release();
  m.Desc = BlobDescriptor{};  // a reading stream's positions are gone
  RefreshArea(a, refs);
}

namespace memo {

bool FinishInterruptedPack(WorkArea& a, const std::string& memoName) {
  const std::string memoPath = plat::ResolvePath(memoName);
  const std::string journalPath = JournalPath(memoPath);
  if (!plat::ExistsAsNamed(journalPath)) return true;
  const std::string name = MemoName(a);
  // The memo file first, as a pack takes it: while one runs (or another
  // open finishes one) this fails as the open itself would.
  plat::File memoFile, journal;
  if (int rc = memoFile.Open(memoPath, plat::kAccessRead | plat::kShareDenyAll)) {
    SetError(uint16_t(rc), "Memo file not found: " + name + " [USE]");
    return false;
  }
  // A journal still held belongs to a pack that has already put its new
  // file in place (the memo file would be held otherwise): nothing to do.
  int rc = journal.Open(journalPath, plat::kAccessRead | plat::kShareDenyAll);
  if (rc == plat::kErrSharingViolation || rc == plat::kErrFileNotFound) return true;
  int64_t size = 0;
  if (rc == 0) rc = journal.GetSize(&size);
  std::vector<uint8_t> bytes(size_t(std::max<int64_t>(size, 0)));
  size_t got = 0;
  if (rc == 0) rc = journal.ReadAt(0, bytes.data(), bytes.size(), &got);
  if (rc != 0) {
    SetError(uint16_t(rc), name + " [USE]");
    return false;
  }
  bytes.resize(got);
  std::vector<NewReference> refs;
  const std::string newPath = NewFilePath(memoPath);
  if (DecodeJournal(bytes, refs) && plat::ExistsAsNamed(newPath)) {
    // The records may hold some of the new references, which point into a
    // file that never took the old one's place: the old ones go back.
    const int64_t end = int64_t(a.HeaderLen) + int64_t(a.RecCount) * a.RecLen;
    const bool fits = std::all_of(refs.begin(), refs.end(), [&](const NewReference& r) {
      return r.Pos > int64_t(a.HeaderLen) && r.Pos + int64_t(r.Old.size()) <= end;
    });
    rc = fits ? WriteReferences(a, refs, refs.size(), true) : 13;
    if (rc == 0) rc = a.File.Flush();
    if (rc != 0) {
      SetError(uint16_t(rc), "Interrupted pack of " + name + " cannot be undone [USE]");
      return false;
    }
    if (a.RecNo >= 1 && a.RecNo <= a.RecCount) {
      GetDbfRecord(a, a.RecNo);
      LoadUserBuffer();
      if (LastErrorCode() != 0) return false;
    }
  }
  // The new file goes before the journal that tells it is the pack's own.
  if (plat::ExistsAsNamed(newPath) && (plat::EraseFile(newPath) != 0 || plat::SyncDirectoryOf(newPath) != 0))
    return true;
  plat::EraseFile(journalPath);
  return true;
}

}  // namespace memo
