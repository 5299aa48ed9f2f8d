// File routines: search, erase, dates, free space, temporary names.
#include <climits>

#include "platform/pfile.h"
#include "platform/pfs.h"
#include "platform/psys.h"
#include "tablebase/timedate.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

namespace {

TextState& T() { return Engine().text; }

void Fill(TSearchRec& rec, const plat::FindData& f) {
  rec.Name = f.name;
  rec.Size = f.size;
  rec.MTime = f.mtime;
  rec.Time = plat::PackDosDateTime(f.mtime);
  rec.Attr = f.attr;
}

// Windows leaves hidden entries out unless the caller asks for them.
bool Wanted(const plat::FindData& f, uint8_t attr) {
  return !(f.attr & plat::kAttrHidden) || (attr & plat::kAttrHidden);
}

plat::DateTimeParts Today() { return plat::LocalParts(plat::Now()); }

}  // namespace

bool FileExists(const std::string& Name) {
  if (Name.empty()) return false;
  if (!plat::HasWildcards(Name)) return plat::IsRegularFile(Name);
  std::vector<plat::FindData> found;
  return plat::FindFiles(Name, plat::kAttrAnyFile & ~plat::kAttrDirectory, found) == plat::kOk;
}

int TzFindFirst(const std::string& Mask, uint8_t Attr, TSearchRec& Rec) {
  Rec = TSearchRec{};
  std::vector<plat::FindData> all;
  int rc = plat::FindFiles(Mask, Attr, all);
  for (auto& f : all)
    if (Wanted(f, Attr)) Rec.Pending.push_back(std::move(f));
  if (rc == plat::kOk && Rec.Pending.empty()) rc = plat::kErrNoMoreFiles;
  // A first search that finds nothing says "file not found", as Windows does.
  if (rc == plat::kErrNoMoreFiles) rc = plat::kErrFileNotFound;
  if (rc == plat::kOk) {
    Fill(Rec, Rec.Pending[0]);
    Rec.Next = 1;
  }
  T().FindStatus = rc;
  return rc;
}

int TzFindNext(TSearchRec& Rec) {
  int rc = plat::kErrNoMoreFiles;
  if (Rec.Next < Rec.Pending.size()) {
    Fill(Rec, Rec.Pending[Rec.Next++]);
    rc = plat::kOk;
  }
  T().FindStatus = rc;
  return rc;
}

void TzFindClose(TSearchRec& Rec) {
  Rec.Pending.clear();
  Rec.Next = 0;
}

uint32_t FileDateOf(plat::File& F) {
  std::time_t t = 0;
  int rc = F.GetTime(&t);
  T().FindStatus = rc;
  return rc == plat::kOk ? plat::PackDosDateTime(t) : 0;
}

int32_t DiskFreeKB(const std::string& Path) {
  std::string p = AllTrim(Path);
  if (p.empty()) p = plat::CurrentDirectory();
  if (p.back() != '/' && p.back() != '\\') p += '/';
  uint64_t bytes = 0;
  if (!plat::DiskFreeBytes(p, bytes)) return INT32_MAX;
  // Disks beyond 2 TiB have more kilobytes than the answer can carry.
  uint64_t kb = bytes / 1024;
  return kb > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(kb);
}

int32_t DiskFreeDrive(int N) { return DiskFreeKB(N == 0 ? std::string() : std::string("/")); }

int EraseFile(const std::string& Name) {
  // Opening read-only with everyone else denied tells whether another
  // handle still holds the file, which would keep Windows from erasing it.
  plat::File f;
  if (int rc = f.Open(Name, plat::kAccessRead | plat::kShareDenyAll)) return rc;
  f.Close();
  return plat::EraseFile(Name);
}

void EraseFiles(const std::string& Mask) {
  LastErrorCode() = 0;
  auto& failed = T().FailedErases;
  failed.clear();
  if (!plat::HasWildcards(Mask)) {
    int rc = EraseFile(Mask);
    LastErrorCode() = uint16_t(rc);
    if (rc != 0) SetError(uint16_t(rc), "Error erasing " + Mask);
    return;
  }
  std::string dir, name, ext;
  FSplit(FullPath(Mask), dir, name, ext);
  TSearchRec rec;
  int rc = TzFindFirst(dir + name + ext, plat::kAttrArchive, rec);
  LastErrorCode() = uint16_t(rc);
  int count = 0;
  while (rc == plat::kOk) {
    if (EraseFile(dir + rec.Name) != 0) {
      ++count;
      TSearchRec copy = rec;
      copy.Pending.clear();
      copy.Next = 0;
      failed.push_front(std::move(copy));
    }
    rc = TzFindNext(rec);
  }
  TzFindClose(rec);
  if (count > 0) SetError(5, "Could not erase " + std::to_string(count) + " files like " + Mask);
}

const std::forward_list<TSearchRec>& FailedErases() { return T().FailedErases; }

std::string UniqueFilename() {
  std::string dir = plat::TempDirectory().substr(0, 256);
  std::string name;
  int rc = plat::IsDirectory(dir) ? plat::CreateUniqueFile(dir, "TZP", name) : plat::kErrPathNotFound;
  if (rc != plat::kOk) {
    SetError(uint16_t(rc), "Error requesting unique file name [UniqueFilename]");
    return "";
  }
  return name;
}

bool FileIsFromToday(const std::string& Name) {
  plat::File f;
  int rc = f.Open(Name, plat::kAccessReadWrite | plat::kShareDenyNone);
  if (rc == plat::kErrAccessDenied || rc == plat::kErrSharingViolation)
    rc = f.Open(Name, plat::kAccessRead | plat::kShareDenyNone);
  if (rc != plat::kOk) return false;
  std::time_t t = 0;
  if (f.GetTime(&t) != plat::kOk) return false;
  plat::DateTimeParts file = plat::LocalParts(t), today = Today();
  return file.year == today.year && file.month == today.month && file.day == today.day;
}

std::string FileStamp(const std::string& Name) {
  TSearchRec rec;
  int rc = TzFindFirst(Name, plat::kAttrAnyFile, rec);
  TzFindClose(rec);
  if (rc != plat::kOk) return "";
  // The exact modification time, not the two-second steps of the DOS form.
  plat::DateTimeParts st = plat::LocalParts(rec.MTime);
  int year = st.year;
  if (!Engine().dates.CenturyOn) year %= 100;
  std::string date;
  {
    AutoErrorHandlingScope quiet(false);
    date = DateFrom(year, st.month, st.day);
  }
  return date + " " + TimeFrom(st.hour, st.minute, st.second);
}
