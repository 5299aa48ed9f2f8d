// Little- and big-endian integer access for the on-disk formats (DBF, memo
// and index files). Always by shifts, so alignment and host order never
// matter.
#pragma once
#include <cstdint>

namespace plat {

inline uint16_t readLE16(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return uint16_t(b[0] | (b[1] << 8));
}
inline uint32_t readLE32(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t readLE64(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return uint64_t(readLE32(b)) | (uint64_t(readLE32(b + 4)) << 32);
}
inline uint16_t readBE16(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return uint16_t((b[0] << 8) | b[1]);
}
inline uint32_t readBE32(const void* p) {
  auto b = static_cast<const uint8_t*>(p);
  return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}
inline void writeLE16(void* p, uint16_t v) {
  auto b = static_cast<uint8_t*>(p);
  b[0] = uint8_t(v);
  b[1] = uint8_t(v >> 8);
}
inline void writeLE32(void* p, uint32_t v) {
  auto b = static_cast<uint8_t*>(p);
  b[0] = uint8_t(v);
  b[1] = uint8_t(v >> 8);
  b[2] = uint8_t(v >> 16);
  b[3] = uint8_t(v >> 24);
}
inline void writeLE64(void* p, uint64_t v) {
  auto b = static_cast<uint8_t*>(p);
  writeLE32(b, uint32_t(v));
  writeLE32(b + 4, uint32_t(v >> 32));
}
inline void writeBE16(void* p, uint16_t v) {
  auto b = static_cast<uint8_t*>(p);
  b[0] = uint8_t(v >> 8);
  b[1] = uint8_t(v);
}
inline void writeBE32(void* p, uint32_t v) {
  auto b = static_cast<uint8_t*>(p);
  b[0] = uint8_t(v >> 24);
  b[1] = uint8_t(v >> 16);
  b[2] = uint8_t(v >> 8);
  b[3] = uint8_t(v);
}

}  // namespace plat
