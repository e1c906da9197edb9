// `quillmark-cli recover --at LBA [--yes] [--restore-boot-sector] [--start-mb N --end-mb N] SOURCE`:
// finds the lost partition whose boot sector lies at LBA, refuses before asking when the
// tables cannot be written safely, asks what the window asks, and writes it into the tables.
// Succeeds only when the tables were written and read back.
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "Command.h"
#include "Interrupt.h"
#include "disk/Disk.h"
#include "edit/BootSectorRestore.h"
#include "edit/Commit.h"
#include "edit/Recover.h"
#include "edit/RecoverQuestions.h"
#include "model/Enumeration.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

struct RecoverOptions {
  uint64_t at = 0;
  std::optional<int64_t> startMB, endMB;
  bool restoreBootSector = false;
  bool assumeYes = false;
  std::string source;
};

int Stopped() {
  PrintError("interrupted; nothing was written");
  return InterruptExitStatus();
}

int RunRecover(const RecoverOptions& options) {
  InterruptScope interrupts;
  // The lock is held from the first read of the tables to their read-back after the write, so
  // that no other program changes them in between.
  const OpenedDrive opened = OpenOneDrive(options.source, true);
  if (!opened) return kExitFailure;
  TPhysicalDrv& drive = opened.drive();
  const Lba at = BlockOfSector(drive, options.at).value_or(UINT64_MAX);  // the sector typed, in the model's blocks
  if (at >= AddressableBlocks(drive)) {
    PrintError("sector " + std::to_string(options.at) + " lies beyond the end of " + options.source + ", which holds " +
               std::to_string(SectorOfBlock(drive, std::max<uint64_t>(drive.DiskSectors, drive.Geometry.TotalSectors))) + " sectors");
    return kExitUsage;
  }

  // A range the user gives is scanned as asked; otherwise the scan goes from the block that
  // holds the sector until the volume that starts there is found.
  TPartition* lost = nullptr;
  if (options.startMB || options.endMB) {
    ScanRangeResult range = ScanRangeFromOptions(options.startMB, options.endMB, drive.Root);
    if (!range.ok) return kExitUsage;
    if (!LostAt(drive, at)) {
      const Outcome scanned = RunUserScan(drive, drive.Root, range.startSector, range.sectorCount);
      if (Interrupted()) return Stopped();
      if (scanned.failed()) {
        PrintError(scanned.Line());
        return kExitFailure;
      }
    }
    lost = LostAt(drive, at);
  } else {
    lost = FindLostAt(drive, at);
  }
  if (Interrupted()) return Stopped();

  if (!lost) {
    PrintError("no lost partition starts at sector " + std::to_string(options.at));
    return kExitFailure;
  }
  // Every refusal comes before the questions: a user who answered Yes twice must not then
  // hear that nothing could be done.
  const bool frontScanned = FindVolumesInFrontOf(drive, at);
  if (Interrupted()) return Stopped();
  if (!frontScanned) return kExitFailure;
  const Reported<RecoverAsk> asked = AskRecover(drive, *lost);
  if (asked == RecoverAsk::Refused) {
    ShowOutcome(asked.Told);
    PrintError("nothing was written");
    return kExitFailure;
  }
  if (Interrupted()) return Stopped();
  if (asked == RecoverAsk::Declined) {
    PrintError("recovery cancelled; nothing was written");
    return kExitFailure;
  }

  // Copying the backup boot sector over the destroyed one writes inside the partition: its own
  // answer (--yes alone, and so a dry run, leaves it), given before anything is written, and
  // part of the same change as the tables.
  const bool fromBackup = lost->BootFromBackup != 0;
  const uint64_t bootSector = lost->AbsoluteStart(), backup = lost->BootFromBackup;
  const bool restoreBoot = fromBackup && (options.restoreBootSector ||
                                          (!options.assumeYes && !DryRunRequested() && ConfirmBootSectorRestore(drive.Io().UserHost(), *lost)));
  if (Interrupted()) return Stopped();

  InterruptHost host(drive.Io().UserHost(), drive);
  UserHostScope scope(drive.Io(), host);
  const RecoverOutcome result = RecoverLostPartition(drive, *lost, restoreBoot);
  ShowOutcome(result.Told);
  switch (result.Result) {
    case RecoverResult::Written:
    case RecoverResult::NotNotified: break;
    case RecoverResult::Stopped: return Stopped();
    case RecoverResult::Refused: PrintError("nothing was written"); return kExitFailure;
    case RecoverResult::WriteFailed:
      PrintError("the partition at sector " + std::to_string(options.at) + " was not recovered");
      return kExitFailure;
  }
  std::printf("Recovered the partition at sector %" PRIu64 ".\n", options.at);
  if (restoreBoot) std::printf("%s\n", BootRestoreText(BootRestoreResult::Restored).c_str());
  std::printf("\n");
  PrintDriveText(0, drive);
  int status = kExitOk;
  if (result == RecoverResult::NotNotified) {
    PrintError("the tables are written, but the system could not be told of the new layout: "
               "it shows the new partition after a reboot");
    status = kExitWarnings;
  }
  if (fromBackup && !restoreBoot)
    PrintError("the boot sector at sector " + std::to_string(bootSector) + " is left destroyed; its backup at sector " +
               std::to_string(backup) + " is intact (--restore-boot-sector copies it back during the recovery)");
  return status;
}

// The numbers as typed; they become RecoverOptions once they are known to be in range.
struct RecoverNumbers {
  std::string at;
  std::optional<std::string> startMB, endMB;
};

// A partition table holds 32-bit sector numbers.
constexpr uint64_t kMaxSectorNumber = 0xFFFFFFFF;

bool ReadRecoverNumbers(const RecoverNumbers& typed, RecoverOptions& options) {
  if (!ParseWholeNumber(typed.at, kMaxSectorNumber, options.at)) {
    PrintError("--at must be a sector number (LBA) from 0 to " + std::to_string(kMaxSectorNumber));
    return false;
  }
  return MegabyteOption("--start-mb", typed.startMB, options.startMB) &&
         MegabyteOption("--end-mb", typed.endMB, options.endMB);
}

}  // namespace

TPartition* LostAt(TPhysicalDrv& drive, uint64_t lba) {
  for (auto& lost : drive.LostPartitions)
    if (lost->AbsoluteStart() == lba && !lost->IsExtended()) return lost.get();
  return nullptr;
}

Command AddRecoverCommand(CLI::App& app, const GlobalOptions& global) {
  auto options = std::make_shared<RecoverOptions>();
  auto typed = std::make_shared<RecoverNumbers>();
  CLI::App* sub = app.add_subcommand("recover", "Write the lost partition that starts at a sector back into the tables");
  sub->add_option("--at", typed->at, "First sector (LBA) of the lost partition")->required();
  sub->add_option("--start-mb", typed->startMB,
                  "Scan this range only, instead of from the block that holds LBA on until the partition is found");
  sub->add_option("--end-mb", typed->endMB, "End of that range in megabytes");
  sub->add_flag("--restore-boot-sector", options->restoreBootSector,
                "When the volume was found from its backup boot sector, also copy the backup over its destroyed "
                "first sector (the one write inside a partition; --yes alone does not do it)");
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub,
                 [options, typed, &global] {
                   options->assumeYes = global.assumeYes;
                   if (!ReadRecoverNumbers(*typed, *options)) return kExitUsage;
                   return RunRecover(*options);
                 },
                 /*writesDisk=*/true};
}

}  // namespace qm::cli
