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

inline uint64_t Fnv1a64(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ULL;
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
  const uint64_t h = Fnv1a64(frame.data(), frame.size());
  uint8_t tail[8];
  writeLE32(tail, uint32_t(h));
  writeLE32(tail + 4, uint32_t(h >> 32));
  frame.insert(frame.end(), tail, tail + sizeof tail);
}

// For a whole, intact frame with this tag: true, its entry count, and
// where its entries end (they begin at kJournalHead). False otherwise.
inline bool CheckJournal(const std::vector<uint8_t>& frame, const char (&tag)[8], uint32_t& count, size_t& end) {
  if (frame.size() < kJournalHead + 8 || std::memcmp(frame.data(), tag, sizeof tag) != 0) return false;
  end = frame.size() - 8;
  const uint64_t h = Fnv1a64(frame.data(), end);
  if (readLE32(frame.data() + end) != uint32_t(h) || readLE32(frame.data() + end + 4) != uint32_t(h >> 32))
    return false;
  count = readLE32(frame.data() + sizeof tag);
  return true;
}

}  // namespace plat
