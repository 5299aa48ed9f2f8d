// The ZIP component of the backup, restore and update windows, over libzip.
// It keeps the shape of the component the windows were written against:
// file masks in FSpecArgs, exclusions in FSpecArgsExcl, Add, Count,
// Extract, SuccessCnt, and progress and message events. No Qt here, so the
// windows bind the events with plain callbacks.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Raised where the component cannot work at all (the compression module is
// missing, memory ran out). Everything else — an unreadable source file, a
// damaged archive, a refused entry — goes through OnMessage.
class EZipMaster : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TZipProgressType {
  TotalSize2Process,   // TotalSize: bytes of all files of the operation
  TotalFiles2Process,  // TotalCount: number of files of the operation
  NewFile,             // ItemName, ItemSize: a file is started
  ProgressUpdate,      // ItemPerCent: how much of the current file is done
  EndOfItem,           // the current file is done
  EndOfBatch,          // the whole operation is done
};

struct TZipProgressDetails {
  TZipProgressType ProgType = EndOfBatch;
  std::string ItemName;  // as stored in the archive
  int64_t ItemSize = 0;
  int ItemPerCent = 0;
  int64_t TotalSize = 0;
  int TotalCount = 0;
};

// Codes of the message event: 0 is information, anything else an error.
enum TZipMessageCode : int {
  ZipMsgInfo = 0,
  ZipErrSourceFile = 1,  // a file to add cannot be read; it is left out
  ZipErrArchive = 2,     // the archive cannot be opened, read or written
  ZipErrEntry = 3,       // an entry is refused or cannot be extracted
  ZipErrTarget = 4,      // the extraction target cannot be made or written
};

enum TZipAddOption : unsigned {
  // Store each file's directory relative to the root (else the name alone).
  AddDirNames = 1u << 0,
};

enum TZipExtrOption : unsigned {
  ExtrOverWrite = 1u << 0,  // replace existing files (else they are kept)
  ExtrForceDirs = 1u << 1,  // create the base directory when it is missing
};

// Extensions (lower case, without the point) that Add stores without
// compression: the component's already-compressed types (GIF, PNG, Z, ZIP,
// ZOO, ARC, LZH, ARJ, TAZ, TGZ, LHA, RAR, ACE, CAB, GZ, GZIP, JAR, JPG,
// JPEG, 7Z, MP3, WMV, WMA, DVR-MS, AVI).
extern const std::vector<std::string> kZipStoreSuffixes;

class TZipMaster19 {
 public:
  using ProgressEvent = std::function<void(const TZipProgressDetails&)>;
  using MessageEvent = std::function<void(int ErrCode, const std::string& Message)>;

  TZipMaster19();

  // The archive every operation works on.
  std::string ZipFileName;
  // Add: wildcard masks or names of the files to add (Windows wildcards,
  // any letter case), relative to RootDir unless absolute.
  // Extract: masks of the entries to extract, matched against the entry's
  // file name; empty means all.
  std::vector<std::string> FSpecArgs;
  // Add: masks of names left out, matched in any letter case against a
  // file's name and against its stored name.
  std::vector<std::string> FSpecArgsExcl;
  // Directory that relative masks and stored directory names start from;
  // empty for the current directory.
  std::string RootDir;
  unsigned AddOptions = 0;
  int CompressionLevel = 9;
  std::vector<std::string> AddStoreSuffixes = kZipStoreSuffixes;
  // Threads that compress the files of Add; 0 for one per processor the
  // program may run on. With one, or one file, the files are compressed
  // straight into the archive; with more, into part archives beside it
  // whose compressed data then makes up the archive (see Add).
  int Threads = 0;

  std::string ExtrBaseDir;
  unsigned ExtrOptions = 0;
  // Extraction is flat: every file lands in ExtrBaseDir under its own name.
  // An entry whose last directory is one of these names (any letter case)
  // lands in that subdirectory of ExtrBaseDir instead.
  std::vector<std::string> ExtrKeepDirs;

  ProgressEvent OnProgress;
  MessageEvent OnMessage;

  // Loads or releases the compression module. Loading checks that deflate
  // compression and decompression are available and raises EZipMaster when
  // they are not. Operations run while it is released load it for their own
  // duration.
  void SetDLL_Load(bool load);
  bool DLL_Load() const { return loaded_; }

  // Number of entries in ZipFileName; 0 when the archive is missing,
  // empty, or cannot be read (the latter reported through OnMessage).
  int Count();

  // Adds the files FSpecArgs names, minus FSpecArgsExcl, to ZipFileName:
  // creates the archive, or rewrites an existing one keeping its other
  // entries (an entry of the same name in any letter case is replaced).
  // Already-compressed types are stored, the rest deflated at
  // CompressionLevel; entries keep the files' modification times. A file
  // that cannot be read is reported and left out; the rest is still
  // written. The archive is written to a new file that replaces the old one
  // only when complete, so a failure leaves the earlier archive as it was.
  // Returns true when the archive was written. SuccessCnt: files added.
  // Whatever the number of threads, the archive comes out byte for byte
  // the same, and every event and message arrives on the calling thread,
  // file after file in the files' order (NewFile, ProgressUpdate,
  // EndOfItem; a run of ProgressUpdates may come as its last one; a file
  // that fails while it is read is reported at its place). A part archive
  // that cannot be written fails the whole Add; the part archives are
  // removed on every way out.
  bool Add();

  // Extracts the entries FSpecArgs selects into ExtrBaseDir (see
  // ExtrKeepDirs). Each file is written beside its target under a temporary
  // name and renamed over it when complete, so a file is either the old one
  // or the whole new one; an existing file of the same name in any letter
  // case is the one replaced. Files keep the entries' dates. Directory
  // entries are skipped; entries named with ".", "..", control characters
  // or a leading separator, links, devices and encrypted entries are
  // refused and reported. Returns true when every selected file entry was
  // written (or kept, without ExtrOverWrite). SuccessCnt: files written.
  bool Extract();

  int SuccessCnt() const { return successCnt_; }

 private:
  friend class ZipAddJob;
  void Progress(const TZipProgressDetails& d);
  // Announces the batch's total size and count; returns the details, which
  // the batch's later events carry on.
  TZipProgressDetails ReportTotals(int64_t totalSize, int count);
  void Message(int code, const std::string& text);

  bool loaded_ = false;
  int successCnt_ = 0;
};

// Holds the compression module loaded for a scope and restores the
// previous state on every way out.
class TZipModuleScope {
 public:
  explicit TZipModuleScope(TZipMaster19& zip) : zip_(zip), prev_(zip.DLL_Load()) { zip_.SetDLL_Load(true); }
  ~TZipModuleScope() { zip_.SetDLL_Load(prev_); }
  TZipModuleScope(const TZipModuleScope&) = delete;
  TZipModuleScope& operator=(const TZipModuleScope&) = delete;

 private:
  TZipMaster19& zip_;
  bool prev_;
};
