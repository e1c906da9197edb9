// `quillmark-cli clone --at LBA --to PATH [--yes] SOURCE`: copies the lost partition whose boot
// sector lies at LBA onto the volume PATH (a block device of the same file system, not
// mounted, at least as large), or into the image file PATH. Every check comes before the
// questions; SOURCE is only read. A path under /dev must be an existing block device. An image
// file takes its name only when the copy is complete: Ctrl+C or a failure leaves no new file
// and an old one as it was. Exits 0 when every sector was copied, 3 when unreadable sectors
// were passed over, 130 when Ctrl+C stopped it.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "Command.h"
#include "Interrupt.h"
#include "edit/Clone.h"
#include "edit/Commit.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

struct CloneOptions {
  std::string at;
  std::string to;
  std::string source;
};

int Stopped() {
  PrintError("interrupted; nothing was written");
  return InterruptExitStatus();
}

// A progress bar on a terminal, as the scan shows it.
CloneProgress TerminalProgress() {
  if (::isatty(STDERR_FILENO) != 1) return nullptr;
  // The bar is reset to 0 when the copy ends, before the last words: its line ends there.
  return [shown = -1](uint64_t done, uint64_t total) mutable {
    const int percent = total == 0 ? 0 : static_cast<int>(done * 100 / total);
    if (percent == shown) return;
    if (total == 0) {
      if (shown >= 0) std::fputc('\n', stderr);
      shown = -1;
      return;
    }
    shown = percent;
    const int width = 40, filled = percent * width / 100;
    std::fprintf(stderr, "\rCloning [%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), percent);
    std::fflush(stderr);
  };
}

int RunClone(const CloneOptions& options, uint64_t at) {
  InterruptScope interrupts;
  std::unique_ptr<TPhysicalDrives> drives = OpenOneDrive(options.source).drives;
  if (!drives) return kExitFailure;
  TPhysicalDrv& drive = *drives->Drives.front();
  const Lba block = BlockOfSector(drive, at).value_or(UINT64_MAX);  // the sector typed, in the model's blocks
  if (block >= drive.Geometry.TotalSectors) {
    PrintError("sector " + std::to_string(at) + " lies beyond the end of " + options.source);
    return kExitUsage;
  }
  TPartition* lost = FindLostAt(drive, block);
  if (Interrupted()) return Stopped();
  if (!lost) {
    PrintError("no lost partition starts at sector " + std::to_string(at));
    return kExitFailure;
  }

  Outcome refusal;
  std::unique_ptr<TClonePlan> plan = PrepareClone(drive, *lost, options.to, refusal);
  ShowOutcome(refusal);
  if (!plan) {
    PrintError("nothing was written");
    return kExitFailure;
  }
  const bool confirmed = ConfirmClone(drive.Io().UserHost(), *plan);
  if (Interrupted()) return Stopped();
  if (!confirmed) {
    PrintError("clone cancelled; nothing was written");
    return kExitFailure;
  }

  if (DryRunRequested()) {
    // The target is no table sector: say what would be copied instead of listing its sectors.
    std::printf("The clone would copy the partition at sector %" PRIu64 " (%" PRIu32 " sectors) to %s.\n", at,
                lost->Entry.TotalSectors, options.to.c_str());
    return kExitOk;
  }
  InterruptHost host(drive.Io().UserHost(), drive);
  UserHostScope scope(drive.Io(), host);
  const CloneReport report = CloneLostPartition(drive, *plan, TerminalProgress());
  ShowOutcome(report.Told);
  switch (report.Result) {
    case CloneResult::Copied: break;
    case CloneResult::Stopped: return Interrupted() ? InterruptExitStatus() : kExitFailure;
    case CloneResult::WriteFailed:
    case CloneResult::NotCreated: return kExitFailure;
  }
  std::printf("Cloned the partition at sector %" PRIu64 " (%" PRIu32 " sectors) to %s.\n", at,
              lost->Entry.TotalSectors, options.to.c_str());
  return report.UnreadableSectors > 0 ? kExitWarnings : kExitOk;
}

}  // namespace

Command AddCloneCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<CloneOptions>();
  CLI::App* sub = app.add_subcommand(
      "clone", "Copy the lost partition that starts at a sector onto a volume, or into an image file");
  sub->add_option("--at", options->at, "First sector (LBA) of the lost partition")->required();
  sub->add_option("--to", options->to,
                  "A volume (block device) of the same file system, or an image file (created, or replaced "
                  "after a question)")
      ->required();
  sub->add_option("SOURCE", options->source, "Disk image file or block device that holds the lost partition")
      ->required();
  return Command{sub,
                 [options] {
                   uint64_t at = 0;
                   if (!ParseWholeNumber(options->at, 0xFFFFFFFF, at)) {
                     PrintError("--at must be a sector number (LBA) from 0 to 4294967295");
                     return kExitUsage;
                   }
                   return RunClone(*options, at);
                 },
                 /*writesDisk=*/true};
}

}  // namespace qm::cli
