// --partition, --lost and --at: from the typed number to the partition's record.
#include "PartitionChoice.h"

#include "Interrupt.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

Choice ByRowNumber(TPhysicalDrv& drive, RowKind kind, uint64_t number, const std::string& source) {
  if (TPartition* record = RowRecordByNumber(drive, kind, number)) return {record, kExitOk};
  const uint64_t rows = CountRows(drive, kind);
  const std::string what = kind == RowKind::Lost ? "lost partition" : "partition";
  PrintError("there is no " + what + " " + std::to_string(number) + " in the list of " + source +
             (rows == 0   ? ": the list holds no " + what
              : rows == 1 ? ": the list holds " + what + " 1 only"
                          : ": its " + what + "s are numbered 1 to " + std::to_string(rows)));
  return {nullptr, kExitUsage};
}

TPartition* StartingAt(TPhysicalDrv& drive, uint64_t lba) {
  for (TPartition* record : drive.AllPartitions)
    if (record != &drive.Root && record->AbsoluteStart() == lba && !record->IsGap() && !record->IsExtended())
      return record;
  for (auto& lost : drive.LostPartitions)
    if (lost->AbsoluteStart() == lba && !lost->IsExtended()) return lost.get();
  return nullptr;
}

// A listed partition or a known lost one that starts at `sector`; otherwise it is scanned for,
// as `recover --at` does.
Choice ByStart(TPhysicalDrv& drive, uint64_t sector, const std::string& source) {
  const Lba lba = BlockOfSector(drive, sector).value_or(UINT64_MAX);  // in the model's blocks
  if (lba >= AddressableBlocks(drive)) {
    PrintError("sector " + std::to_string(sector) + " lies beyond the end of " + source + ", which holds " +
               std::to_string(SectorOfBlock(drive, std::max<uint64_t>(drive.DiskSectors, drive.Geometry.TotalSectors))) + " sectors");
    return {nullptr, kExitUsage};
  }
  if (TPartition* record = StartingAt(drive, lba)) return {record, kExitOk};
  TPartition* lost = FindLostAt(drive, lba);
  if (Interrupted()) return {nullptr, InterruptExitStatus()};
  if (lost) return {lost, kExitOk};
  PrintError("no partition starts at sector " + std::to_string(sector));
  return {nullptr, kExitFailure};
}

bool ParseChoice(const PartitionOptions& options, uint64_t& number) {
  const std::optional<std::string>& typed = options.partition ? options.partition : options.lost ? options.lost : options.at;
  const char* name = options.partition ? "--partition" : options.lost ? "--lost" : "--at";
  const uint64_t max = options.at ? 0xFFFFFFFFull : kMaxRowNumber;
  if (!ParseWholeNumber(*typed, max, number) || (!options.at && number == 0)) {
    PrintError(options.at ? "--at must be a sector number (LBA) from 0 to 4294967295"
                          : std::string(name) + " must be the number of a row of the partition list (1, 2, ... as " +
                                "`list` shows them)");
    return false;
  }
  return true;
}

}  // namespace

void AddPartitionOptions(CLI::App* sub, PartitionOptions& options) {
  auto* partition = sub->add_option("--partition", options.partition, "The partition with this number of the list");
  auto* lost = sub->add_option("--lost", options.lost, "The lost partition with this number of the list");
  auto* at = sub->add_option("--at", options.at,
                             "The partition that starts at this sector (LBA); when none is known there, the disk "
                             "is scanned from the block around it until one is found");
  partition->excludes(lost, at);
  lost->excludes(partition, at);
  at->excludes(partition, lost);
}

bool PartitionOptionsValid(const PartitionOptions& options, const std::string& command) {
  if (!options.partition && !options.lost && !options.at) {
    PrintError(command + " needs one of --partition, --lost or --at");
    return false;
  }
  uint64_t number = 0;
  return ParseChoice(options, number);
}

Choice ChoosePartition(TPhysicalDrv& drive, const PartitionOptions& options, const std::string& source) {
  uint64_t number = 0;
  if (!ParseChoice(options, number)) return {nullptr, kExitUsage};
  return options.partition ? ByRowNumber(drive, RowKind::Partition, number, source)
         : options.lost    ? ByRowNumber(drive, RowKind::Lost, number, source)
                           : ByStart(drive, number, source);
}

ChosenVolume OpenChosenVolume(const PartitionOptions& options, const std::string& source) {
  ChosenVolume opened;
  opened.drives = OpenOneDrive(source).drives;
  if (!opened.drives) {
    opened.choice.status = kExitFailure;
    return opened;
  }
  opened.choice = ChoosePartition(opened.drive(), options, source);
  if (opened.choice.record && opened.choice.record->FsKind == fkHpfs) {
    TerminalHost().MessageBox("Cannot preview HPFS partitions now. We'll add this\rfeature to Quillmark in future.",
                              "Information", MsgButtons::Ok, MsgIcon::Information);
    opened.choice = {nullptr, kExitFailure};
  }
  return opened;
}

}  // namespace qm::cli
