#pragma once
// Little-endian field access on byte buffers read from a disk. Fields are copied byte by
// byte, so no unaligned pointer is ever dereferenced.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qm {

template <typename T>
inline T LoadLE(const uint8_t* p) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
  return value;
}

template <typename T>
inline void StoreLE(uint8_t* p, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

inline uint16_t GetU16(std::span<const uint8_t> b, size_t off) { return LoadLE<uint16_t>(b.subspan(off, 2).data()); }
inline uint32_t GetU32(std::span<const uint8_t> b, size_t off) { return LoadLE<uint32_t>(b.subspan(off, 4).data()); }
inline uint64_t GetU64(std::span<const uint8_t> b, size_t off) { return LoadLE<uint64_t>(b.subspan(off, 8).data()); }

// True when [off, off + len) lies inside a buffer of `size` bytes, without overflow.
inline bool InBounds(size_t size, size_t off, size_t len) { return off <= size && len <= size - off; }

}  // namespace qm
