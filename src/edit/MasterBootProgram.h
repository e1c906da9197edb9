#pragma once
#include <array>
#include <cstdint>
namespace qm {
extern const std::array<std::uint8_t, 446> kMasterBootProgram;
}
