#include "edit/MasterBootProgram.h"
namespace qm {
const std::array<std::uint8_t, 446> kMasterBootProgram{0xFA};
}
