// `quillmark-cli scan [--json] [--start-mb N] [--end-mb N] [--partition NO] SOURCE`: the user's
// scan of the whole disk or of one partition of the list, over a megabyte range read exactly
// as the scan range dialog reads its two fields; then the drive as `list` shows it.
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "Command.h"
#include "Interrupt.h"
#include "disk/Host.h"
#include "model/Enumeration.h"
#include "model/PartitionRows.h"
#include "scan/ScanRange.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

struct ScanOptions {
  bool json = false;
  std::optional<int64_t> startMB, endMB;
  std::optional<int> partition;
  std::string source;
};

// The partition with row number `number` of the list's "Partitions" group.
TPartition* PartitionByRowNumber(TPhysicalDrv& drive, int number) {
  int n = 0;
  for (const TPartitionRow& row : BuildPartitionRows(&drive, false))
    if (row.Kind == RowKind::Partition && ++n == number) return row.Record;
  return nullptr;
}

int RunScan(const ScanOptions& options) {
  InterruptScope interrupts;
  std::unique_ptr<TPhysicalDrives> drives = OpenOneDrive(options.source);
  if (!drives) return kExitFailure;
  TPhysicalDrv& drive = *drives->Drives.front();
  TPartition* region = &drive.Root;
  if (options.partition) {
    region = PartitionByRowNumber(drive, *options.partition);
    if (!region) {
      PrintError("there is no partition " + std::to_string(*options.partition) + " in the list of " + options.source);
      return kExitUsage;
    }
  }
  ScanRangeResult range = ScanRangeFromOptions(options.startMB, options.endMB, *region);
  if (!range.ok) return kExitUsage;
  if (!RunUserScan(drive, *region, range.startSector, range.sectorCount)) {
    PrintError("nothing was scanned: the range lies beyond the end of the disk");
    return kExitFailure;
  }
  // A stopped scan still shows what it found up to there.
  PrintDrives(*drives, options.json);
  return Interrupted() ? InterruptExitStatus() : kExitOk;
}

}  // namespace

ScanRangeResult ScanRangeFromOptions(std::optional<int64_t> startMB, std::optional<int64_t> endMB,
                                     const TPartition& region) {
  ScanRangeResult result;
  const uint32_t size = region.Entry.TotalSectors;
  std::string startText = std::to_string(startMB.value_or(0));
  std::string endText = endMB ? std::to_string(*endMB) : std::to_string(ScanTrackScale(size).Max);
  TScanRange range = ComputeScanRange(startText, endText, size);
  switch (range.Verdict) {
    case ScanRangeVerdict::Ok:
      result.ok = true;
      result.startSector = range.StartSector;
      result.sectorCount = range.SectorCount;
      break;
    case ScanRangeVerdict::Exceeded: PrintError("Sector range exceeded the limit."); break;
    case ScanRangeVerdict::Empty: PrintError("the range holds no sector: give two different ends"); break;
    case ScanRangeVerdict::BadNumber: PrintError("not a number of megabytes: " + range.BadText); break;
  }
  return result;
}

bool RunUserScan(TPhysicalDrv& drive, TPartition& region, int64_t startSector, int64_t sectorCount) {
  const bool showProgress = ::isatty(STDERR_FILENO) == 1;
  int shown = -1;
  ScanProgress progress = [&](int percent) {
    if (!showProgress || percent == shown) return;
    shown = percent;
    const int width = 40;
    int filled = percent * width / 100;
    std::fprintf(stderr, "\rScanning [%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), percent);
    std::fflush(stderr);
  };
  InterruptHost host(GetHost(), drive);
  HostScope scope(host);
  bool scanned = DetectLostPartitions(drive, region, progress, startSector, sectorCount, false);
  if (showProgress) std::fprintf(stderr, "\n");
  if (Interrupted()) std::fprintf(stderr, "Scan stopped.\n");
  return scanned;
}

Command AddScanCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<ScanOptions>();
  CLI::App* sub = app.add_subcommand("scan", "Search a drive (or one of its partitions) for lost partitions");
  sub->add_flag("--json", options->json, "Print one JSON document");
  sub->add_option("--start-mb", options->startMB, "First megabyte of the range (default 0)")->check(CLI::NonNegativeNumber);
  sub->add_option("--end-mb", options->endMB, "Last megabyte of the range (default: the region's size)")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("--partition", options->partition, "Scan only the partition with this number of the list")
      ->check(CLI::PositiveNumber);
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub, [options] { return RunScan(*options); }};
}

}  // namespace qm::cli
