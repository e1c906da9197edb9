#pragma once
// What the user must know about a drive before touching it, beside its geometry: a layout the
// program shows but will not write. The list and the window show the same lines.
#include <string>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

std::vector<std::string> DriveNotes(const TPhysicalDrv& drive);

}  // namespace qm
