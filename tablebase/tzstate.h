// The engine's process-wide state in one object: every unit keeps its
// settings and globals in a member here, so a test can put the whole engine
// back to its start-up defaults. The engine is single-threaded by contract.
#pragma once
#include <array>
#include <cstdint>
#include <ctime>
#include <forward_list>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pfs.h"

#include "tablebase/dbf4_area.h"

// Error scheme (tzutils).
struct ErrorState {
  uint16_t LastErrorCode = 0;
  std::string LastErrorMessage;
  uint16_t PendingCode = 0;  // code whose message has not been taken yet
  bool AutoErrorHandling = true;
  bool ErrorRaises = false;
  bool Halting = false;  // set just before the process ends
};

// Date settings (tzutils, timedate). The start-up values come from the
// user's language and the clock (DateUnitStartup).
struct DateState {
  uint8_t DateFormat = 0;  // 0..8: picture and name language
  bool CenturyOn = false;  // four-digit years in date texts
  uint8_t Country = 0;
  uint16_t EpochYear = 1900;  // first year of the two-digit-year window
  char TzTimeSep = ':';
};

// The window library's format settings: read from the user's locale at
// start-up (FormatSettingsStartup); SetDateFormat publishes the engine's
// date picture into the date part. Numbers and dates the program shows and
// reads follow them; DBF files never do.
struct FormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  // "dd.MM.yyyy" and the like: d, M and y in the form Qt and the window
  // library know, the separator as written.
  std::string ShortDateFormat = "MM/dd/yy";
};

// One entry of a directory search (TzFindFirst/TzFindNext).
struct TSearchRec {
  std::string Name;     // without directory
  int64_t Size = 0;
  uint32_t Time = 0;    // DOS packed local date (high word) and time
  std::time_t MTime = 0;
  uint8_t Attr = 0;
  // The rest of the listing, taken by TzFindNext.
  std::vector<plat::FindData> Pending;
  size_t Next = 0;
};

// Text, number and file routines (tzcommon).
struct TextState {
  char TzDecimalSep = '.';
  char TzThousandSep = ',';
  // Characters ValInt takes as digits.
  std::array<bool, 256> DigitSet = [] {
    std::array<bool, 256> d{};
    for (int c = '0'; c <= '9'; ++c) d[size_t(c)] = true;
    return d;
  }();
  int FindStatus = 0;  // of the last find or file-date query
  int FileMode = 18;   // default file-open mode: read/write, others denied
  // Find records of the files the last EraseFiles could not erase, the
  // latest failure first.
  std::forward_list<TSearchRec> FailedErases;
};

// The expression compiler's state (tables/tzparser). Records are defined
// there; the ring owns every compiled expression until it is freed.
struct ExprRecord;
struct ExprState {
  std::vector<std::shared_ptr<ExprRecord>> Ring;
  ExprRecord* Current = nullptr;  // the index code's current expression
  uint16_t MemoEvalSize = 256;    // string work area of a memo result
};

// The index semaphore file (tables/tzndx_sema): its settings and what each
// work area holds of it. An area's state is defined there; null while the
// area is not logged in.
struct SemaphoreArea;
struct SemaphoreState {
  // Seconds a writer waits for the other programs' readers and writers
  // before it gives up; 0 waits without limit.
  uint16_t LockSemaphoreTimeout = 100;
  // Where the semaphore files are kept; empty: beside their tables.
  std::string SemaphoreDirectory;
  std::array<std::shared_ptr<SemaphoreArea>, kAreaSlots + 1> Areas;
  // Nesting of the read and write bracket hooks, per area.
  std::array<int32_t, kAreaSlots + 1> ReadHookNesting{};
  std::array<int32_t, kAreaSlots + 1> LockHookNesting{};
};

// The index engine's global state (tables/tzndx); the open index of an
// area lives in the area's extension block.
struct IndexState {
  uint8_t Found = 0;  // the found flag, which index hook 14 points at
  bool ExactMatch = false;
  std::function<void()> ProgressStep;  // of the next builds
  int ProgressSteps = 0;
  // The key pool a build plans its memory from: it sorts BuildPoolSize / 4
  // keys (8189) in memory at a time, and a table with more records goes
  // through the build's temporary file in sorted runs of that many keys.
  uint32_t BuildPoolSize = 32758;
};

// The memo layer's settings (tables/memo).
struct MemoSettings {
  bool NoFlush = false;  // memo writes leave flushing the file to the system
  // Memo text read as lines wraps at Width + 1 characters instead of 254
  // (never more than 254).
  bool WidthOn = false;
  uint8_t Width = 0;
};

struct EngineState {
  ErrorState err;
  DateState dates;
  FormatSettings format;
  TextState text;
  DbfState db;  // tables, work areas, locks, hook tables (tzdbflow, dbf4)
  ExprState expr;
  SemaphoreState sema;
  IndexState index;
  MemoSettings memo;
};

namespace engine_detail {
extern EngineState g_engine;
}
// Inline: every record read and every error check reaches the state.
inline EngineState& Engine() { return engine_detail::g_engine; }

// Brings every unit to its start-up state, in dependency order. Idempotent.
void EngineStartup();
// Closes what the units hold open (work areas, files) and frees their state.
void EngineShutdown();
// For tests: EngineShutdown, fresh defaults, EngineStartup.
void ResetEngineState();
