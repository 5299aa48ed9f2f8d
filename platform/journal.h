// The frame of the small journals through which a later open or start
// finishes or undoes what a crash cut short: an 8-byte tag, the number of
// entries (32 bits), the entries, then an FNV-1a checksum (64 bits) of all
// that. A journal cut short or torn fails the check and counts as none.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/byteorder.h"

namespace plat {

// Where the entries begin.
inline constexpr size_t kJournalHead = 12;

// FNV-1a over `n` bytes, going on from `h` (a hash of bytes before them).
inline uint64_t Fnv1a64(const uint8_t* p, size_t n, uint64_t h = 0xcbf29ce484222325ULL) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return h;
}

// A new frame: the tag and the count, for the entries to follow.
inline std::vector<uint8_t> BeginJournal(const char (&tag)[8], uint32_t count) {
  std::vector<uint8_t> frame(kJournalHead);
  std::memcpy(frame.data(), tag, sizeof tag);
  writeLE32(frame.data() + sizeof tag, count);
  return frame;
}

// Appends the checksum of everything before it: the frame is whole.
inline void SealJournal(std::vector<uint8_t>& frame) {
  uint8_t tail[8];
  writeLE64(tail, Fnv1a64(frame.data(), frame.size()));
  frame.insert(frame.end(), tail, tail + sizeof tail);
}

// For a whole, intact frame with this tag: true, its entry count, and
// where its entries end (they begin at kJournalHead). False otherwise.
inline bool CheckJournal(const std::vector<uint8_t>& frame, const char (&tag)[8], uint32_t& count, size_t& end) {
  if (frame.size() < kJournalHead + 8 || std::memcmp(frame.data(), tag, sizeof tag) != 0) return false;
  end = frame.size() - 8;
  if (readLE64(frame.data() + end) != Fnv1a64(frame.data(), end)) return false;
  count = readLE32(frame.data() + sizeof tag);
  return true;
}

}  // namespace plat
