#pragma once
// The partition a command works on, named by --partition NO, --lost NO or --at LBA: a row of
// the list, or a partition (listed or lost) that starts at a sector, scanned for when none is
// known there. Shared by the commands that read one partition's files.
#include <memory>
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

// Opens `source` and chooses the partition named, whose files the command reads: null after
// saying why (HPFS volumes cannot be read), with the exit status to return.
struct ChosenVolume {
  std::unique_ptr<TPhysicalDrives> drives;
  Choice choice;
  TPhysicalDrv& drive() const { return *drives->Drives.front(); }
};
ChosenVolume OpenChosenVolume(const PartitionOptions& options, const std::string& source);

// Checks the typed number before the source is opened; prints why and gives false otherwise.
bool PartitionOptionsValid(const PartitionOptions& options, const std::string& command);

}  // namespace qm::cli
