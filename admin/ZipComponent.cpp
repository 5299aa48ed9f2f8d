#include "admin/ZipComponent.h"

#include <sched.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "admin/FileErrors.h"
#include "platform/codepage.h"
#include "platform/pfile.h"
#include "platform/pfs.h"

const std::vector<std::string> kZipStoreSuffixes = {
    "gif", "png", "z",   "zip", "zoo", "arc", "lzh",  "arj", "taz", "tgz",    "lha", "rar", "ace",
    "cab", "gz",  "gzip", "jar", "jpg", "jpeg", "7z", "mp3", "wmv", "wma", "dvr-ms", "avi"};

namespace {

std::string ZipErrorText(zip_error_t* err) {
  switch (zip_error_code_zip(err)) {
    case ZIP_ER_NOENT: return "archiwum nie istnieje";
    case ZIP_ER_NOZIP: return "plik nie jest archiwum ZIP";
    case ZIP_ER_INCONS: return "archiwum jest uszkodzone";
    case ZIP_ER_CRC: return "błąd sumy kontrolnej - dane są uszkodzone";
    case ZIP_ER_COMPRESSED_DATA: return "skompresowane dane są uszkodzone";
    case ZIP_ER_EOF: return "archiwum jest niekompletne";
    case ZIP_ER_READ: return "błąd odczytu";
    case ZIP_ER_WRITE: return "błąd zapisu";
    case ZIP_ER_OPEN: return "nie można otworzyć pliku";
    case ZIP_ER_TMPOPEN: return "nie można utworzyć pliku tymczasowego";
    case ZIP_ER_RENAME: return "nie można zastąpić pliku archiwum";
    case ZIP_ER_MEMORY: return "brak pamięci";
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_NOPASSWD: return "wpis jest zaszyfrowany";
    case ZIP_ER_COMPNOTSUPP: return "nieobsługiwana metoda kompresji";
    default: return zip_error_strerror(err);
  }
}

std::string ArchiveErrorText(zip_t* za) { return ZipErrorText(zip_get_error(za)); }

std::string ZipErrorTextOf(int code) {
  zip_error_t err;
  zip_error_init_with_code(&err, code);
  std::string text = ZipErrorText(&err);
  zip_error_fini(&err);
  return text;
}

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

std::string Extension(const std::string& name) {
  auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : Lower(name.substr(dot + 1));
}

std::vector<std::string> SplitName(const std::string& name) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (true) {
    size_t j = name.find_first_of("/\\", i);
    parts.push_back(name.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) break;
    i = j + 1;
  }
  return parts;
}

// The name of archive entry `i` in UTF-8. Entries without the UTF-8 flag
// that are not plain ASCII come from Windows archivers, which write the OEM
// code page (852 on Polish systems), not the 437 the format names.
std::string EntryName(zip_t* za, zip_uint64_t i) {
  const char* raw = zip_get_name(za, i, ZIP_FL_ENC_RAW);
  if (!raw) return {};
  std::string rawName = raw;
  const char* guessed = zip_get_name(za, i, ZIP_FL_ENC_GUESS);
  if (!guessed || rawName == guessed) return rawName;
  return plat::Win1250ToUtf8(plat::OemToAnsi(rawName));
}

// Creates `dir` and its missing parents. Returns 0 or a DOS error.
int MakeDirectories(const std::string& dir) {
  std::string path;
  for (const std::string& part : SplitName(dir)) {
    path += part;
    path += '/';
    if (part.empty() || plat::IsDirectory(path)) continue;
    if (int rc = plat::MakeDirectory(path)) {
      if (!plat::IsDirectory(path)) return rc;
    }
  }
  return plat::kOk;
}

struct ZipCloser {
  void operator()(zip_t* za) const { zip_discard(za); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;

struct ZipFileCloser {
  void operator()(zip_file_t* zf) const { zip_fclose(zf); }
};

// Opens the archive; reports why it cannot be opened (a missing archive
// only when `reportMissing`).
ZipPtr OpenArchive(const std::string& path, int flags, bool reportMissing,
                   const std::function<void(int, const std::string&)>& message) {
  int code = 0;
  zip_t* za = zip_open(path.c_str(), flags, &code);
  if (!za) {
    if (code == ZIP_ER_MEMORY) throw EZipMaster("Brak pamięci dla archiwum " + path);
    if (code != ZIP_ER_NOENT || reportMissing)
      message(ZipErrArchive, "Nie można otworzyć archiwum " + path + ": " + ZipErrorTextOf(code));
  }
  return ZipPtr(za);
}

}  // namespace

// One file being added: the source libzip reads while it writes an archive.
// It reads through the platform's file type and turns the reads into
// progress events, which go to `report` (on the thread that writes).
class ZipAddSource {
 public:
  using Report = std::function<void(const TZipProgressDetails&)>;

  ZipAddSource(std::string path, std::string entry, int64_t size, std::time_t mtime, bool store)
      : path_(std::move(path)), entry_(std::move(entry)), size_(size), mtime_(mtime), store_(store) {
    zip_error_init(&err_);
  }
  ~ZipAddSource() { zip_error_fini(&err_); }
  ZipAddSource(const ZipAddSource&) = delete;
  ZipAddSource& operator=(const ZipAddSource&) = delete;

  static zip_int64_t Callback(void* user, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    return static_cast<ZipAddSource*>(user)->Command(data, len, cmd);
  }

  const std::string& Path() const { return path_; }
  const std::string& Entry() const { return entry_; }
  int64_t Size() const { return size_; }
  std::time_t MTime() const { return mtime_; }
  bool Store() const { return store_; }
  int Failure() const { return failure_; }
  Report report;
  zip_int64_t index = -1;  // in the archive being written
  bool replaced = false;   // the entry replaces one the archive had
  bool leftOut = false;    // failed while it was compressed into a part
  size_t part = 0;         // the part archive that holds its data

 private:
  zip_int64_t Fail(int dosError, int zipError) {
    failure_ = dosError;
    zip_error_set(&err_, zipError, 0);
    file_.Close();
    return -1;
  }

  zip_int64_t Command(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    switch (cmd) {
      case ZIP_SOURCE_OPEN: {
        done_ = 0;
        lastPerCent_ = -1;
        if (int rc = file_.Open(path_, plat::kAccessRead | plat::kShareDenyNone)) return Fail(rc, ZIP_ER_OPEN);
        TZipProgressDetails d;
        d.ProgType = NewFile;
        d.ItemName = entry_;
        d.ItemSize = size_;
        report(d);
        return 0;
      }
      case ZIP_SOURCE_READ: {
        size_t got = 0;
        if (int rc = file_.Read(data, size_t(len), &got)) return Fail(rc, ZIP_ER_READ);
        done_ += int64_t(got);
        ReportPerCent(got == 0);
        return zip_int64_t(got);
      }
      case ZIP_SOURCE_CLOSE: {
        file_.Close();
        TZipProgressDetails d;
        d.ProgType = EndOfItem;
        d.ItemName = entry_;
        report(d);
        return 0;
      }
      case ZIP_SOURCE_STAT: {
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = zip_uint64_t(size_);
        st->mtime = mtime_;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(*st);
      }
      case ZIP_SOURCE_ERROR: return zip_error_to_data(&err_, data, len);
      case ZIP_SOURCE_FREE: return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
      default: zip_error_set(&err_, ZIP_ER_OPNOTSUPP, 0); return -1;
    }
  }

  void ReportPerCent(bool atEnd) {
    int perCent = size_ > 0 ? int(std::min<int64_t>(100, done_ * 100 / size_)) : 100;
    if (atEnd) perCent = 100;
    if (perCent == lastPerCent_) return;
    lastPerCent_ = perCent;
    TZipProgressDetails d;
    d.ProgType = ProgressUpdate;
    d.ItemName = entry_;
    d.ItemSize = size_;
    d.ItemPerCent = perCent;
    report(d);
  }

  std::string path_, entry_;
  int64_t size_;
  std::time_t mtime_;
  bool store_;
  plat::File file_;
  int64_t done_ = 0;
  int lastPerCent_ = -1;
  int failure_ = 0;
  zip_error_t err_;
};

namespace {

std::string SkippedText(const std::string& path, int dosError) {
  return "Nie można odczytać pliku " + path + " (" + FileErrorText(dosError) + ") - plik pominięty.";
}

// Writes `za`; a source that fails while it is read is told to `leftOut`
// and taken out, and the archive written again without it. False when the
// archive itself cannot be written (`za` is then still open).
bool CloseLeavingOutFailures(zip_t* za, const std::vector<ZipAddSource*>& sources,
                             const std::function<void(ZipAddSource&)>& leftOut) {
  while (zip_close(za) != 0) {
    auto failed = std::find_if(sources.begin(), sources.end(), [](auto* s) { return s->index >= 0 && s->Failure(); });
    if (failed == sources.end()) return false;
    ZipAddSource& s = **failed;
    leftOut(s);
    if (s.replaced)
      zip_unchange(za, zip_uint64_t(s.index));
    else
      zip_delete(za, zip_uint64_t(s.index));
    s.index = -1;
  }
  return true;
}

void SetCompression(zip_t* za, zip_uint64_t idx, const ZipAddSource& s, int level) {
  zip_set_file_compression(za, idx, s.Store() ? ZIP_CM_STORE : ZIP_CM_DEFLATE, s.Store() ? 0 : zip_uint32_t(level));
}

// The processors this program may run on.
int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return int(std::max(1u, std::thread::hardware_concurrency()));
}

// What a worker reports about one file: an event or a message.
struct WorkerReport {
  bool isMessage = false;
  TZipProgressDetails progress;
  int code = 0;
  std::string text;
};

// The compression of the files on worker threads, each run of files into a
// part archive of its own. The runs follow the files' order and get shorter
// towards the end, so that the workers finish together. What the workers
// report is handed to the calling thread file after file in the files'
// order: a file's reports wait until every file before it is done.
class PartCompression {
 public:
  PartCompression(const std::vector<ZipAddSource*>& files, std::string dir, int workers, int level)
      : files_(files), dir_(std::move(dir)), workers_(workers), level_(level), slots_(files.size() + 1) {
    // A file costs about its size to deflate, little to store, and
    // something to open whatever its size.
    std::vector<int64_t> cost;
    int64_t left = 0;
    for (ZipAddSource* s : files_) {
      cost.push_back((s->Store() ? s->Size() / 16 : s->Size()) + 4096);
      left += cost.back();
    }
    const int64_t least = left / (16 * workers) + 1;
    for (size_t i = 0; i < files_.size();) {
      const int64_t want = std::max(least, left / (2 * workers));
      Run run{i, i};
      int64_t got = 0;
      while (run.end < files_.size() && got < want) got += cost[run.end++];
      left -= got;
      i = run.end;
      runs_.push_back(run);
    }
  }

  // Compresses every file; meanwhile passes the workers' reports to
  // `deliver` on this thread. Returns "" or why a part archive could not be
  // written; then the remaining runs are not started, and the reports of
  // files after the first unfinished one are dropped.
  std::string Compress(const std::function<void(const WorkerReport&)>& deliver) {
    for (size_t i = 0; i < files_.size(); ++i)
      files_[i]->report = [this, i](const TZipProgressDetails& d) { Post(i, WorkerReport{false, d, 0, {}}); };
    // Declared before the lock, so that the lock is let go before the
    // threads are joined, on every way out.
    std::vector<std::jthread> threads;
    for (int k = 0; k < workers_; ++k) {
      std::lock_guard<std::mutex> g(mutex_);
      ++running_;
      try {
        threads.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        --running_;
        if (threads.empty()) throw EZipMaster("Nie można uruchomić wątków kompresji.");
        break;
      }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      Slot& slot = slots_[next_];
      if (!slot.reports.empty()) {
        WorkerReport r = std::move(slot.reports.front());
        slot.reports.pop_front();
        lock.unlock();
        try {
          deliver(r);
        } catch (...) {
          Fail("przerwano");  // the workers stop before the join
          throw;
        }
        lock.lock();
        continue;
      }
      if (slot.ended) {
        ++next_;
        continue;
      }
      if (!failure_.empty() || running_ == 0) return failure_;
      changed_.wait(lock);
    }
  }

  // The part archive of run `k` (see Runs), written by Compress.
  std::string PartPath(size_t k) const { return dir_ + std::to_string(k) + ".zip"; }
  size_t Runs() const { return runs_.size(); }

 private:
  struct Run {
    size_t begin, end;
  };
  struct Slot {
    std::deque<WorkerReport> reports;
    bool ended = false;
  };

  // A report on file `i`. Progress of a file that has ended (one written
  // again after another file of its part failed) is not told twice; a
  // message that comes after its file was passed goes with the file being
  // delivered.
  void Post(size_t i, WorkerReport r) {
    auto isA = [](const WorkerReport& x, TZipProgressType t) { return !x.isMessage && x.progress.ProgType == t; };
    std::lock_guard<std::mutex> g(mutex_);
    if (!r.isMessage && slots_[i].ended) return;
    if (isA(r, EndOfItem)) slots_[i].ended = true;
    const size_t at = std::max(i, next_);
    auto& q = slots_[at].reports;
    if (isA(r, ProgressUpdate) && !q.empty() && isA(q.back(), ProgressUpdate))
      q.back() = std::move(r);
    else
      q.push_back(std::move(r));
    if (at == next_) changed_.notify_one();
  }

  void End(size_t i) {
    std::lock_guard<std::mutex> g(mutex_);
    slots_[i].ended = true;
    if (i == next_) changed_.notify_one();
  }

  void Fail(const std::string& why) {
    std::lock_guard<std::mutex> g(mutex_);
    if (failure_.empty()) failure_ = why;
    changed_.notify_one();
  }

  void Work() {
    try {
      for (;;) {
        size_t k;
        {
          std::lock_guard<std::mutex> g(mutex_);
          if (!failure_.empty() || nextRun_ == runs_.size()) break;
          k = nextRun_++;
        }
        if (std::string why = CompressRun(k); !why.empty()) {
          Fail(why);
          break;
        }
      }
    } catch (const std::bad_alloc&) {
      Fail(ZipErrorTextOf(ZIP_ER_MEMORY));
    }
    std::lock_guard<std::mutex> g(mutex_);
    --running_;
    changed_.notify_one();
  }

  std::string CompressRun(size_t k) {
    const Run run = runs_[k];
    int code = 0;
    ZipPtr part(zip_open(PartPath(k).c_str(), ZIP_CREATE | ZIP_EXCL, &code));
    if (!part) return ZipErrorTextOf(code);
    std::vector<ZipAddSource*> mine(files_.begin() + ptrdiff_t(run.begin), files_.begin() + ptrdiff_t(run.end));
    for (size_t i = run.begin; i < run.end; ++i) {
      ZipAddSource& s = *files_[i];
      zip_source_t* src = zip_source_function(part.get(), &ZipAddSource::Callback, &s);
      // Entries are named by number: a part never sees two of a name.
      const zip_int64_t idx = src ? zip_file_add(part.get(), std::to_string(i).c_str(), src, 0) : -1;
      if (idx < 0) {
        if (src) zip_source_free(src);
        return ArchiveErrorText(part.get());
      }
      s.index = idx;
      s.part = k;
      SetCompression(part.get(), zip_uint64_t(idx), s, level_);
    }
    const bool written = CloseLeavingOutFailures(part.get(), mine, [&](ZipAddSource& s) {
      s.leftOut = true;
      const size_t i = run.begin + size_t(std::find(mine.begin(), mine.end(), &s) - mine.begin());
      Post(i, WorkerReport{true, {}, ZipErrSourceFile, SkippedText(s.Path(), s.Failure())});
      End(i);
    });
    if (!written) return ArchiveErrorText(part.get());
    part.release();  // closed
    // The part holds the files that were not left out, in their order.
    zip_int64_t at = 0;
    for (size_t i = run.begin; i < run.end; ++i) {
      if (!files_[i]->leftOut) files_[i]->index = at++;
      End(i);
    }
    return {};
  }

  const std::vector<ZipAddSource*>& files_;
  const std::string dir_;
  const int workers_, level_;
  std::vector<Run> runs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;  // one per file, and one for messages after the last
  size_t next_ = 0;          // the file whose reports go out now
  size_t nextRun_ = 0;
  int running_ = 0;
  std::string failure_;
};

}  // namespace

// The writing of one Add, once its files are known and the archive is open.
class ZipAddJob {
 public:
  ZipAddJob(TZipMaster19& zip, std::string archive, ZipPtr za, std::vector<ZipAddSource*> files, int64_t totalSize)
      : zip_(zip), archive_(std::move(archive)), files_(std::move(files)), totalSize_(totalSize), za_(std::move(za)) {}

  // Each returns the number of files added, or -1 when the archive could
  // not be written (reported; the archive is then as it was).
  int Directly() {
    for (ZipAddSource* s : files_) s->report = [this](const TZipProgressDetails& d) { zip_.Progress(d); };
    if (!PutEntries([this](ZipAddSource& s) { return zip_source_function(za_.get(), &ZipAddSource::Callback, &s); }))
      throw EZipMaster("Brak pamięci dla archiwum " + archive_);
    zip_.ReportTotals(totalSize_, int(files_.size()));
    return Close();
  }

  int ThroughParts(int workers) {
    zip_.ReportTotals(totalSize_, int(files_.size()));
    // The parts lie beside the archive, so that they take room only where
    // the archive does.
    dir_.emplace(archive_ + ".czesci_");
    if (dir_->Path().empty()) return Failed(ZipErrorTextOf(ZIP_ER_TMPOPEN));
    // Compressed in the order the archive holds them, the order in which
    // a write without parts reads them: an entry that replaces one keeps
    // its place, the others follow.
    const zip_int64_t held = zip_get_num_entries(za_.get(), 0);
    std::map<ZipAddSource*, zip_int64_t> place;
    for (ZipAddSource* s : files_) {
      const zip_int64_t at = zip_name_locate(za_.get(), s->Entry().c_str(), ZIP_FL_NOCASE);
      place[s] = at >= 0 ? at : held + zip_int64_t(place.size());
    }
    std::vector<ZipAddSource*> order = files_;
    std::stable_sort(order.begin(), order.end(), [&](auto* a, auto* b) { return place[a] < place[b]; });
    PartCompression compression(order, dir_->Path(), workers, zip_.CompressionLevel);
    const std::string why = compression.Compress([this](const WorkerReport& r) {
      if (r.isMessage)
        zip_.Message(r.code, r.text);
      else
        zip_.Progress(r.progress);
    });
    if (!why.empty()) return Failed(why);
    // The entries take the parts' compressed data as it is.
    parts_.resize(compression.Runs());
    std::string failure;
    const bool put = PutEntries([&](ZipAddSource& s) -> zip_source_t* {
      ZipPtr& part = parts_[s.part];
      int code = 0;
      if (!part) part.reset(zip_open(compression.PartPath(s.part).c_str(), ZIP_RDONLY, &code));
      zip_source_t* src = part ? zip_source_zip(za_.get(), part.get(), zip_uint64_t(s.index), ZIP_FL_COMPRESSED, 0, -1)
                               : nullptr;
      if (!src) failure = part ? ArchiveErrorText(za_.get()) : ZipErrorTextOf(code);
      return src;
    });
    return put ? Close() : Failed(failure);
  }

 private:
  // Puts the files into the archive in their order, each with the data
  // `dataOf` gives: replacing an entry of the same name in any letter case,
  // else added at the end. False when `dataOf` gives none.
  bool PutEntries(const std::function<zip_source_t*(ZipAddSource&)>& dataOf) {
    zip_t* za = za_.get();
    for (ZipAddSource* s : files_) {
      if (s->leftOut) continue;
      zip_source_t* src = dataOf(*s);
      if (!src) return false;
      zip_int64_t idx = zip_name_locate(za, s->Entry().c_str(), ZIP_FL_NOCASE);
      if (idx >= 0) {
        if (zip_file_replace(za, zip_uint64_t(idx), src, 0) != 0) idx = -1;
        s->replaced = idx >= 0;
        if (idx >= 0 && s->Entry() != zip_get_name(za, zip_uint64_t(idx), ZIP_FL_ENC_RAW))
          zip_file_rename(za, zip_uint64_t(idx), s->Entry().c_str(), ZIP_FL_ENC_GUESS);
      } else {
        idx = zip_file_add(za, s->Entry().c_str(), src, ZIP_FL_ENC_GUESS);
      }
      s->index = idx;
      if (idx < 0) {
        zip_source_free(src);
        zip_.Message(ZipErrArchive, "Nie można dodać pliku " + s->Path() + " do archiwum: " + ArchiveErrorText(za));
        continue;
      }
      SetCompression(za, zip_uint64_t(idx), *s, zip_.CompressionLevel);
      zip_file_set_mtime(za, zip_uint64_t(idx), s->MTime(), 0);
    }
    return true;
  }

  // libzip writes everything on close, into a new file that replaces the
  // archive when complete.
  int Close() {
    int added = int(std::count_if(files_.begin(), files_.end(), [](auto* s) { return s->index >= 0; }));
    const bool written = CloseLeavingOutFailures(za_.get(), files_, [&](ZipAddSource& s) {
      zip_.Message(ZipErrSourceFile, SkippedText(s.Path(), s.Failure()));
      --added;
    });
    if (!written) return Failed(ArchiveErrorText(za_.get()));
    za_.release();  // closed
    return added;
  }

  int Failed(const std::string& why) {
    zip_.Message(ZipErrArchive, "Nie można zapisać archiwum " + archive_ + ": " + why);
    return -1;
  }

  TZipMaster19& zip_;
  const std::string archive_;
  const std::vector<ZipAddSource*> files_;
  const int64_t totalSize_;
  // Destroyed in the reverse order: the archive's entries read the parts,
  // which lie in the directory.
  std::optional<plat::StagingDirectory> dir_;
  std::vector<ZipPtr> parts_;
  ZipPtr za_;
};

TZipMaster19::TZipMaster19() = default;

void TZipMaster19::Progress(const TZipProgressDetails& d) {
  if (OnProgress) OnProgress(d);
}

TZipProgressDetails TZipMaster19::ReportTotals(int64_t totalSize, int count) {
  TZipProgressDetails d;
  d.ProgType = TotalSize2Process;
  d.TotalSize = totalSize;
  d.TotalCount = count;
  Progress(d);
  d.ProgType = TotalFiles2Process;
  Progress(d);
  return d;
}

void TZipMaster19::Message(int code, const std::string& text) {
  if (OnMessage) OnMessage(code, text);
}

void TZipMaster19::SetDLL_Load(bool load) {
  if (load && !loaded_) {
    if (!zip_compression_method_supported(ZIP_CM_DEFLATE, 1) || !zip_compression_method_supported(ZIP_CM_DEFLATE, 0))
      throw EZipMaster("Moduł kompresji ZIP nie obsługuje metody deflate.");
  }
  loaded_ = load;
}

int TZipMaster19::Count() {
  TZipModuleScope module(*this);
  auto message = [this](int c, const std::string& t) { Message(c, t); };
  ZipPtr za = OpenArchive(plat::ResolvePath(ZipFileName), ZIP_RDONLY | ZIP_CHECKCONS, false, message);
  if (!za) return 0;
  zip_int64_t n = zip_get_num_entries(za.get(), 0);
  return n < 0 ? 0 : int(std::min<zip_int64_t>(n, INT32_MAX));
}

bool TZipMaster19::Add() {
  TZipModuleScope module(*this);
  successCnt_ = 0;
  const std::string archive = plat::ResolvePath(ZipFileName);
  const std::string base = WithSlash(RootDir.empty() ? plat::CurrentDirectory() : plat::ResolvePath(RootDir));
  struct stat archiveStat {};
  const bool archiveExists = ::stat(archive.c_str(), &archiveStat) == 0;
  const std::set<std::string> storeExt(AddStoreSuffixes.begin(), AddStoreSuffixes.end());

  // The files, in the order of the masks, each once.
  std::vector<std::unique_ptr<ZipAddSource>> sources;
  std::set<std::string> seen;
  int64_t totalSize = 0;
  for (const std::string& spec : FSpecArgs) {
    std::string mask = plat::NormalizeSeparators(spec);
    if (mask.empty()) continue;
    if (mask[0] != '/') mask = base + mask;
    auto slash = mask.rfind('/');
    const std::string dir = WithSlash(plat::ResolvePath(mask.substr(0, slash)));
    std::vector<plat::FindData> found;
    if (plat::FindFiles(mask, 0, found) != plat::kOk) continue;
    for (const plat::FindData& f : found) {
      const std::string full = dir + f.name;
      if (!seen.insert(full).second) continue;
      struct stat st {};
      if (::stat(full.c_str(), &st) != 0) continue;
      if (archiveExists && st.st_dev == archiveStat.st_dev && st.st_ino == archiveStat.st_ino) continue;
      std::string entry = f.name;
      if (AddOptions & AddDirNames) entry = full.compare(0, base.size(), base) == 0 ? full.substr(base.size()) : full.substr(1);
      bool excluded = std::any_of(FSpecArgsExcl.begin(), FSpecArgsExcl.end(), [&](const std::string& x) {
        std::string m = plat::NormalizeSeparators(x);
        return plat::WildcardMatch(m, f.name) || plat::WildcardMatch(m, entry);
      });
      if (excluded) continue;
      plat::File probe;
      if (int rc = probe.Open(full, plat::kAccessRead | plat::kShareDenyNone)) {
        Message(ZipErrSourceFile, SkippedText(full, rc));
        continue;
      }
      const bool store = storeExt.count(Extension(entry)) != 0;
      sources.push_back(std::make_unique<ZipAddSource>(full, entry, int64_t(st.st_size), st.st_mtime, store));
      totalSize += int64_t(st.st_size);
    }
  }
  if (sources.empty()) {
    Message(ZipMsgInfo, "Brak plików do dodania do archiwum " + archive + ".");
    return false;
  }

  auto message = [this](int c, const std::string& t) { Message(c, t); };
  ZipPtr za = OpenArchive(archive, ZIP_CREATE | ZIP_CHECKCONS, true, message);
  if (!za) return false;
  std::vector<ZipAddSource*> files;
  for (auto& s : sources) files.push_back(s.get());
  // Beyond this many the disk sets the pace, and only the number of part
  // archives (all open while the archive is written) grows.
  constexpr size_t kMostWorkers = 16;
  const size_t workers = std::min({size_t(Threads > 0 ? Threads : ProcessorCount()), files.size(), kMostWorkers});
  ZipAddJob job(*this, archive, std::move(za), files, totalSize);
  const int added = workers > 1 ? job.ThroughParts(int(workers)) : job.Directly();
  TZipProgressDetails d;
  d.ProgType = EndOfBatch;
  Progress(d);
  if (added < 0) return false;
  successCnt_ = added;
  return added > 0;
}

namespace {

struct ExtractItem {
  zip_uint64_t index = 0;
  std::string entry;    // the entry's name, for messages and events
  std::string dir;      // target directory, with "/"
  std::string keepDir;  // subdirectory of the base it goes to, or ""
  std::string name;     // target file name
  int64_t size = 0;
  std::time_t mtime = 0;
};

bool HasControlChars(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return uint8_t(c) < 0x20 || uint8_t(c) == 0x7F; });
}

// Why an entry must not be extracted, or "" when it may.
std::string RefusalReason(zip_t* za, zip_uint64_t i, const zip_stat_t& st, const std::string& entry,
                          const std::vector<std::string>& parts) {
  if (HasControlChars(entry)) return "nazwa zawiera znaki sterujące";
  if (parts.front().empty()) return "nazwa zaczyna się od separatora katalogów";
  for (const std::string& p : parts)
    if (p == "." || p == "..") return "nazwa zawiera \".\" lub \"..\"";
  if (parts.back().empty()) return "pusta nazwa pliku";
  zip_uint8_t opsys = 0;
  zip_uint32_t attr = 0;
  if (zip_file_get_external_attributes(za, i, 0, &opsys, &attr) == 0 && opsys == ZIP_OPSYS_UNIX) {
    mode_t type = mode_t(attr >> 16) & S_IFMT;
    if (type == S_IFLNK) return "wpis jest dowiązaniem symbolicznym";
    if (type != 0 && type != S_IFREG) return "wpis nie jest zwykłym plikiem";
  }
  if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE) return "wpis jest zaszyfrowany";
  return {};
}

}  // namespace

bool TZipMaster19::Extract() {
  TZipModuleScope module(*this);
  successCnt_ = 0;
  const std::string base = WithSlash(plat::ResolvePath(plat::NormalizeSeparators(ExtrBaseDir)));
  if (base.empty()) {
    Message(ZipErrTarget, "Nie podano katalogu docelowego rozpakowania.");
    return false;
  }
  if (!plat::IsDirectory(base)) {
    int rc = (ExtrOptions & ExtrForceDirs) ? MakeDirectories(base) : plat::kErrPathNotFound;
    if (rc) {
      Message(ZipErrTarget, "Nie można utworzyć katalogu " + base + " (" + FileErrorText(rc) + ").");
      return false;
    }
  }
  auto message = [this](int c, const std::string& t) { Message(c, t); };
  ZipPtr za = OpenArchive(plat::ResolvePath(ZipFileName), ZIP_RDONLY | ZIP_CHECKCONS, true, message);
  if (!za) return false;

  bool allOk = true;
  std::vector<ExtractItem> items;
  int64_t totalSize = 0;
  const zip_int64_t n = zip_get_num_entries(za.get(), 0);
  for (zip_int64_t k = 0; k < n; ++k) {
    const auto i = zip_uint64_t(k);
    zip_stat_t st;
    if (zip_stat_index(za.get(), i, 0, &st) != 0) continue;
    std::string entry = EntryName(za.get(), i);
    if (!entry.empty() && (entry.back() == '/' || entry.back() == '\\')) continue;  // a directory
    std::vector<std::string> parts = SplitName(entry);
    const std::string& name = parts.back();
    if (!FSpecArgs.empty() && std::none_of(FSpecArgs.begin(), FSpecArgs.end(),
                                           [&](const std::string& m) { return plat::WildcardMatch(m, name); }))
      continue;
    const std::string why = RefusalReason(za.get(), i, st, entry, parts);
    if (!why.empty()) {
      Message(ZipErrEntry, "Pominięto wpis archiwum \"" + entry + "\": " + why + ".");
      allOk = false;
      continue;
    }
    ExtractItem it;
    it.index = i;
    it.entry = entry;
    it.name = name;
    it.size = (st.valid & ZIP_STAT_SIZE) ? int64_t(st.size) : 0;
    it.mtime = (st.valid & ZIP_STAT_MTIME) ? st.mtime : 0;
    if (parts.size() >= 2) {
      const std::string& last = parts[parts.size() - 2];
      for (const std::string& keep : ExtrKeepDirs)
        if (plat::SameNameIgnoreCase(keep, last)) it.keepDir = keep;
    }
    totalSize += it.size;
    items.push_back(std::move(it));
  }

  TZipProgressDetails d = ReportTotals(totalSize, int(items.size()));

  std::vector<char> buf(256 * 1024);
  // Names are resolved from one listing per directory: looking each one up
  // in a directory of thousands of files would cost the square of them.
  std::map<std::string, plat::DirNameIndex> indexes;
  auto indexOf = [&](const std::string& dir) -> plat::DirNameIndex& {
    return indexes.try_emplace(dir, dir).first->second;
  };
  for (ExtractItem& it : items) {
    std::string dir = base;
    if (!it.keepDir.empty()) {
      dir = indexOf(base).Resolve(it.keepDir);
      struct stat ds {};
      if (::lstat(dir.c_str(), &ds) != 0) {
        if (int rc = plat::MakeDirectory(dir)) {
          Message(ZipErrTarget, "Nie można utworzyć katalogu " + dir + " (" + FileErrorText(rc) + ").");
          allOk = false;
          continue;
        }
        indexOf(base).Add(it.keepDir);
      } else if (!S_ISDIR(ds.st_mode)) {
        Message(ZipErrTarget, "Pominięto wpis \"" + it.entry + "\": " + dir + " nie jest katalogiem.");
        allOk = false;
        continue;
      }
      dir = WithSlash(dir);
    }
    // An existing file of this name in any letter case is the one replaced.
    const std::string target = indexOf(dir).Resolve(it.name);
    struct stat ts {};
    if (::lstat(target.c_str(), &ts) == 0) {
      if (S_ISDIR(ts.st_mode)) {
        Message(ZipErrTarget, "Nie można zapisać pliku " + target + ": istnieje katalog o tej nazwie.");
        allOk = false;
        continue;
      }
      if (!(ExtrOptions & ExtrOverWrite)) continue;
    }

    d = {};
    d.ProgType = NewFile;
    d.ItemName = it.entry;
    d.ItemSize = it.size;
    Progress(d);

    std::string tmpName;
    if (int rc = plat::CreateUniqueFile(dir, ".~zip", tmpName)) {
      Message(ZipErrTarget, "Nie można utworzyć pliku w katalogu " + dir + " (" + FileErrorText(rc) + ").");
      allOk = false;
      continue;
    }
    plat::TempFile tmp(tmpName);
    std::string failure;
    {
      plat::File out;
      std::unique_ptr<zip_file_t, ZipFileCloser> in(zip_fopen_index(za.get(), it.index, 0));
      int64_t done = 0;
      int lastPerCent = -1;
      if (!in) failure = ArchiveErrorText(za.get());
      else if (int rc = out.Open(tmp.Path(), plat::kAccessWrite | plat::kShareDenyAll))
        failure = FileErrorText(rc);
      while (failure.empty()) {
        zip_int64_t got = zip_fread(in.get(), buf.data(), buf.size());
        if (got < 0) {
          failure = ZipErrorText(zip_file_get_error(in.get()));
          break;
        }
        if (got == 0) break;
        if (int rc = out.Write(buf.data(), size_t(got))) {
          failure = FileErrorText(rc);
          break;
        }
        done += got;
        int perCent = it.size > 0 ? int(std::min<int64_t>(100, done * 100 / it.size)) : 100;
        if (perCent != lastPerCent) {
          lastPerCent = perCent;
          d.ProgType = ProgressUpdate;
          d.ItemPerCent = perCent;
          Progress(d);
        }
      }
      if (failure.empty() && done != it.size) failure = "archiwum jest niekompletne";
      if (failure.empty()) {
        out.Close();
        if (int rc = plat::SetFileModTime(tmp.Path(), it.mtime)) failure = FileErrorText(rc);
      }
    }
    if (failure.empty() && ::rename(tmp.Path().c_str(), target.c_str()) != 0)
      failure = FileErrorText(plat::DosErrorFromErrno(errno));
    if (!failure.empty()) {
      Message(ZipErrEntry, "Nie można rozpakować pliku \"" + it.entry + "\" do " + target + ": " + failure + ".");
      allOk = false;
      continue;
    }
    tmp.Release();
    indexOf(dir).Add(target.substr(dir.size()));
    ++successCnt_;
    d.ProgType = EndOfItem;
    Progress(d);
  }
  d = {};
  d.ProgType = EndOfBatch;
  Progress(d);
  return allOk;
}
