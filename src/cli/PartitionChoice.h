#pragma once
// The partition a command works on, named by --partition NO, --lost NO or --at LBA: a row of
// the list, or a partition (listed or lost) that starts at a sector, scanned for when none is
// known there. Shared by the commands that read one partition's files.
#include <optional>
#include <string>

#include "Command.h"

namespace qm::cli {

struct PartitionOptions {
  std::optional<std::string> partition, lost, at;
};

// Declares --partition, --lost and --at on `sub`, each excluding the others.
void AddPartitionOptions(CLI::App* sub, PartitionOptions& options);

// The partition named, or null after saying why (with the exit status to return).
struct Choice {
  TPartition* record = nullptr;
  int status = kExitOk;
};
Choice ChoosePartition(TPhysicalDrv& drive, const PartitionOptions& options, const std::string& source);

// Checks the typed number before the source is opened; prints why and gives false otherwise.
bool PartitionOptionsValid(const PartitionOptions& options, const std::string& command);

}  // namespace qm::cli
