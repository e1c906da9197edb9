#pragma once
// Rebuilding a drive's whole layout from partitions the user picked (listed ones and lost
// finds): those marked primary become entries of the master boot record, all others logical
// drives of one new extended partition, each in its own extended boot record. Partitions left
// out disappear from the tables; no data inside any partition is touched.
#include <string>
#include <vector>

#include "edit/TableEdits.h"
#include "model/PhysicalDrv.h"

namespace qm {

// One partition of the new layout as the user chose it: a record of the drive's tree or one of
// its lost finds, and where it goes.
struct TRebuildChoice {
  const TPartition* Record = nullptr;
  bool Primary = false;  // an entry of the master boot record; else a logical drive
  bool Active = false;   // the boot indicator; taken only for a primary one
};

// Checks the plan (logical drives in one run, at most four primary entries with room for the
// extended one, no shared sectors, a free track in front of every logical drive that needs a
// new extended boot record), builds the new layout in memory and takes it back, and only then
// asks. `chosen` is in ascending order of start. On Written/NotNotified the tables were written
// and read again; Refused/Cancelled leave the drive as it was. The outcome's Told is what the
// user is to hear. The records of the drive's tree are read anew either way: pointers into it,
// `chosen` included, are stale afterwards.
EditOutcome RebuildPartitionTable(TPhysicalDrv& drive, const std::vector<TRebuildChoice>& chosen);

// The message of the first plan check that `chosen` fails, or "" when it passes them all.
std::string CheckRebuildPlan(const TPhysicalDrv& drive, const std::vector<TRebuildChoice>& chosen);

}  // namespace qm
