#pragma once
// The CRC-32 of the IEEE 802.3 polynomial (reflected, 0xEDB88320), as a register update: the
// GUID partition table starts the register at all ones and inverts the result, the backup
// files start it at zero and keep it as it is. Other reflected polynomials use their own table.
#include <array>
#include <cstdint>
#include <span>

namespace qm {

// The table of a reflected CRC-32 of polynomial `poly` (reversed bit order).
constexpr std::array<uint32_t, 256> ReflectedCrcTable(uint32_t poly) {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? poly ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

inline constexpr std::array<uint32_t, 256> kCrc32Table = ReflectedCrcTable(0xEDB88320u);

inline uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes,
                            const std::array<uint32_t, 256>& table = kCrc32Table) {
  for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace qm
