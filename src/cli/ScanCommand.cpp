// `quillmark-cli scan [--json] [--quick] [--start-mb N] [--end-mb N] [--partition NO] SOURCE`:
// the user's scan of the whole disk or of one partition of the list, over a megabyte range read
// exactly as the scan range dialog reads its two fields; then the drive as `list` shows it.
// With --quick only the positions where partitioning tools place volumes are searched.
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

// Forwards messages to the command line's host; while a scan runs, Ctrl+C becomes the Stop
// request that the scanner polls between sectors, and the read errors passed over are counted.
class ScanHost final : public Host {
 public:
  ScanHost(Host& inner, TPhysicalDrv& drive, ScanTrouble& trouble) : inner_(inner), drive_(drive), trouble_(trouble) {}
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon icon) override {
    MsgAnswer answer = inner_.MessageBox(text, caption, buttons, icon);
    if (buttons == MsgButtons::AbortRetryIgnore && answer == MsgAnswer::Ignore) ++trouble_.ignoredReadErrors;
    return answer;
  }
  MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                          MsgIcon icon) override {
    return inner_.RiskyQuestion(text, caption, buttons, icon);
  }
  void ProcessMessages() override {
    if (Interrupted()) drive_.StopRequested = true;
  }

 private:
  Host& inner_;
  TPhysicalDrv& drive_;
  ScanTrouble& trouble_;
};

// The options as typed: numbers are checked by RunScan, which says what each one allows.
struct ScanOptions {
  bool json = false;
  bool quick = false;
  std::optional<std::string> startMB, endMB, partition;
  std::string source;
};

int RunScan(const ScanOptions& options) {
  InterruptScope interrupts;
  std::optional<int64_t> startMB, endMB;
  if (!MegabyteOption("--start-mb", options.startMB, startMB) || !MegabyteOption("--end-mb", options.endMB, endMB))
    return kExitUsage;
  uint64_t partition = 0;
  if (options.partition && !ParseWholeNumber(*options.partition, kMaxRowNumber, partition)) partition = 0;
  if (options.partition && partition == 0) {
    PrintError("--partition must be the number of a row of the partition list (1, 2, ... as `list` shows them)");
    return kExitUsage;
  }

  std::unique_ptr<TPhysicalDrives> drives = OpenOneDrive(options.source).drives;
  if (!drives) return kExitFailure;
  TPhysicalDrv& drive = *drives->Drives.front();
  TPartition* region = &drive.Root;
  if (options.partition) {
    region = RowRecordByNumber(drive, RowKind::Partition, partition);
    if (!region) {
      const uint64_t rows = CountRows(drive, RowKind::Partition);
      PrintError("there is no partition " + std::to_string(partition) + " in the list of " + options.source +
                 (rows == 0   ? ": the list holds no partition"
                  : rows == 1 ? ": the list holds partition 1 only"
                              : ": its partitions are numbered 1 to " + std::to_string(rows)));
      return kExitUsage;
    }
  }
  ScanRangeResult range = ScanRangeFromOptions(startMB, endMB, *region);
  if (!range.ok) return kExitUsage;
  // A partition whose entry starts beyond the end of the disk has nothing to scan.
  if (region->AbsoluteStart() + static_cast<uint64_t>(range.startSector) >= drive.Geometry.TotalSectors) {
    PrintError("nothing was scanned: the range lies beyond the end of the disk");
    return kExitFailure;
  }
  ScanTrouble trouble;
  const uint64_t first = region->AbsoluteStart() + static_cast<uint64_t>(range.startSector);
  const Outcome scanned = options.quick ? RunUserQuickSearch(drive, first, first + static_cast<uint64_t>(range.sectorCount))
                                        : RunUserScan(drive, *region, range.startSector, range.sectorCount, &trouble);
  // A stopped scan still shows what it found up to there.
  PrintDrives(*drives, options.json);
  if (Interrupted()) return InterruptExitStatus();
  // The summary comes last, where the user looks once the listing has scrolled by.
  if (scanned.failed()) {
    PrintError(scanned.Line());
    return kExitFailure;
  }
  if (options.quick && drive.QuickSearch.Unreadable > 0) {
    PrintError(std::to_string(drive.QuickSearch.Unreadable) + " of " + std::to_string(drive.QuickSearch.Probed) +
               " positions could not be read and were passed over");
    return kExitWarnings;
  }
  if (trouble.ignoredReadErrors > 0) {
    PrintError(std::to_string(trouble.ignoredReadErrors) +
               (trouble.ignoredReadErrors == 1 ? " read error was" : " read errors were") +
               " ignored during the scan: the sectors from each error to the end of its block of " +
               std::to_string(kScanBlockSectors) + " were not searched");
    return kExitWarnings;
  }
  return kExitOk;
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
    case ScanRangeVerdict::Exceeded:
    {
      char holds[96];
      std::snprintf(holds, sizeof holds, " holds %.2f MB (%u sectors).", size / 2048.0, static_cast<unsigned>(size));
      PrintError("Sector range exceeded the limit.\n" + std::string(region.Parent ? "The partition" : "The disk") + holds);
    }
      break;
    case ScanRangeVerdict::Empty: PrintError("the range holds no sector: give two different ends"); break;
    case ScanRangeVerdict::BadNumber: PrintError("not a number of megabytes: " + range.BadText); break;
  }
  return result;
}

namespace {

// Runs `scan` (given the progress callback) as the user's scan runs: with a progress bar on a
// terminal, Ctrl+C as Stop, and the answers to read errors counted into `trouble` when given.
template <typename Scan>
auto WithScanBar(TPhysicalDrv& drive, ScanTrouble* trouble, Scan scan) {
  const bool showProgress = ::isatty(STDERR_FILENO) == 1;
  int shown = -1;
  ScanProgress progress = [&](const ScanStep& step) {
    const int percent = step.Percent;
    if (!showProgress || percent == shown) return;
    shown = percent;
    const int width = 40;
    int filled = percent * width / 100;
    std::fprintf(stderr, "\rScanning [%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), percent);
    std::fflush(stderr);
  };
  ScanTrouble ignored;
  ScanHost host(drive.Io().UserHost(), drive, trouble ? *trouble : ignored);
  UserHostScope scope(drive.Io(), host);
  const auto result = scan(progress);
  if (showProgress && shown >= 0) std::fprintf(stderr, "\n");
  if (Interrupted()) std::fprintf(stderr, "Scan stopped.\n");
  return result;
}

}  // namespace

Outcome RunUserScan(TPhysicalDrv& drive, TPartition& region, int64_t startSector, int64_t sectorCount,
                    ScanTrouble* trouble) {
  return WithScanBar(drive, trouble, [&](const ScanProgress& progress) {
    return DetectLostPartitions(drive, region, progress, startSector, sectorCount, false);
  });
}

Outcome RunUserQuickSearch(TPhysicalDrv& drive, uint64_t first, uint64_t end) {
  StartQuickSearch(drive, {{first, end}});
  return WithScanBar(drive, nullptr, [&](const ScanProgress& progress) {
    return ContinueQuickSearch(drive, std::nullopt, progress);
  });
}

TPartition* FindLostAt(TPhysicalDrv& drive, uint64_t lba) {
  const LostFind found = WithScanBar(
      drive, nullptr, [&](const ScanProgress& progress) { return FindLostPartitionAt(drive, lba, progress); });
  if (found.Ended.failed()) PrintError(found.Ended.Line());
  return found.Find;
}

bool FindVolumesInFrontOf(TPhysicalDrv& drive, uint64_t lba) {
  const Outcome scanned =
      WithScanBar(drive, nullptr, [&](const ScanProgress& progress) { return ScanInFrontOf(drive, lba, progress); });
  if (scanned.failed()) PrintError(scanned.Line());
  return scanned.ok();
}

Command AddScanCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<ScanOptions>();
  CLI::App* sub = app.add_subcommand("scan", "Search a drive (or one of its partitions) for lost partitions");
  sub->add_flag("--json", options->json, "Print one JSON document");
  sub->add_flag("--quick", options->quick,
                "Search only where partitioning tools place volumes (every 1 MiB, every cylinder and cylinder plus "
                "one track, behind each find): far faster, and it finds what those tools made");
  sub->add_option("--start-mb", options->startMB, "First megabyte of the range (default 0)");
  sub->add_option("--end-mb", options->endMB, "Last megabyte of the range (default: the region's size)");
  sub->add_option("--partition", options->partition, "Scan only the partition with this number of the list");
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub, [options] { return RunScan(*options); }};
}

}  // namespace qm::cli
