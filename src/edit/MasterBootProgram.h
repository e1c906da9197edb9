#pragma once
// The boot code Quillmark puts into bytes 0..445 of a disk's sector 0 when it renews the master
// boot record. It boots the partition marked active; its source is MasterBootProgram.asm.
#include <array>
#include <cstdint>

namespace qm {

// A real-mode loader ending in six zero bytes (offsets 440..445): nothing of it stands where the
// disk signature is, which a renewal keeps; the partition table and the 0x55 0xAA that follow are
// not part of it either.
extern const std::array<std::uint8_t, 446> kMasterBootProgram;

}  // namespace qm
