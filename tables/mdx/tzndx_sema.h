// Shared index use between programs: the semaphore file.
//
// Every program that opens a table's index in shared mode logs in to a
// small file beside the table (the table's name with the extension
// ".@S@") and brackets its index work in it. The file is one 4-byte record
// at offset 0:
//   0  users      areas logged in (u8)
//   1  activity   readers at work (at most 127), or 1 while a writer works
//   2  counter    u16 little-endian, + 1 after every change of the index,
//                 0 after 65534
// Bytes 1..4 are the lock region: taken for each read-modify-write of the
// record, and held by a writer for its whole change, so that readers and
// other writers wait. A changed counter tells the others to re-read their
// tag anchors before they trust a position.
//
// Everything acts on the current work area and does nothing for a table
// open exclusively (or no table): the protocol is for shared use only.
// Failures are reported through SetError: 1202 for lock time-outs, 254 for
// unbalanced brackets, the I/O code for open, read and write failures.
#pragma once
#include <cstdint>
#include <string>

// Operation codes of HandleSemafore; their names appear in messages.
enum SemaphoreOp : uint8_t {
  kSemLogin = 0,         // "LOGIN": register the area, creating the file when needed
  kSemLogout = 1,        // "LOGOUT": deregister, erasing the file after the last user
  kSemIncRead = 2,       // "INCREAD": open a read bracket
  kSemDecRead = 3,       // "DECREAD": close it
  kSemLock = 4,          // "LOCKSEMAPHORE": wait for no activity, then hold the writer mark
  kSemUnlock = 5,        // "UNLOCKSEMAPHORE": drop it and move the counter
};

// Performs one operation for the current work area. Brackets nest per area;
// only the outermost one touches the file. Operations other than LOGIN do
// nothing while the area is not logged in, as does an unknown code.
// Returns false when the operation failed (the error is reported); the
// area then holds no lock region, and a failed LOGIN leaves it logged out.
bool HandleSemafore(uint8_t op);

// The index's read bracket (hook 23) and write bracket (hook 24): take =
// true opens, false closes; nested per area on top of HandleSemafore's own
// nesting. False when the operation failed (the error is reported): a
// bracket that failed to open is not open and must not be closed. Closing
// more than was opened is error 254.
bool SetReadSemaphoreProc(bool take);
bool SetLockSemaphoreProc(bool take);

// True when the current area is logged in and the counter of the record it
// last read differs from the value it last synchronised with; that value
// then takes the counter's, so the caller re-reads its anchors once.
bool SemaphoreCounterChanged();

// The semaphore file of a table: its name with the extension ".@S@", in
// the engine's semaphore directory when that is set, else beside it.
std::string SemaphoreFileName(const std::string& tableName);
