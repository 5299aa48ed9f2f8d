// Packing a memo file: the memos that records refer to are copied, in
// record order, into a new file that then takes the old one's place.
//
// Nothing is lost on the way: the new file is complete and synced before
// any record changes; the records get their new references next (put back
// when a write fails); then the new file replaces the old one in one step.
// Until that step the old file and the old references stay valid together.
#include <charconv>
#include <cstring>
#include <vector>

#include "platform/pfs.h"
#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzdbflow.h"
#include "tablebase/tzutils.h"
#include "tables/memo.h"
#include "tables/memo_internal.h"

using namespace memo;

namespace {

// A memo reference of a record that the pack changes.
struct NewReference {
  int32_t RecNo;
  size_t Field;  // index into the area's fields
  int64_t Pos;   // of the field in the table file
  std::string Old, New;
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
  const std::string newName = ForceExtension(reopen.Path(), "$$$");
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
  rc = WriteReferences(a, refs, refs.size(), false);
  if (rc == 0) rc = a.File.Flush();
  if (rc == 0) rc = plat::ReplaceFile(newName, reopen.Path());
  if (rc != 0) {
    // Undo: the old references go with the old file, which is still in place.
    WriteReferences(a, refs, refs.size(), true);
    RefreshArea(a, {});
    SetError(uint16_t(rc), where);
    return;
  }
  newFile.Release();
  m.Desc = BlobDescriptor{};  // a reading stream's positions are gone
  RefreshArea(a, refs);
}
