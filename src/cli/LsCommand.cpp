// `quillmark-cli ls [--json] (--partition NO | --lost NO | --at LBA) SOURCE`: the root directory
// of one partition, listed or lost, as the preview window shows it: File Name, Type, Size and
// Created. The Type column names directories "File folder" and other entries by extension
// ("TXT File", or "File" for a name without one).
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <optional>

#include "Command.h"
#include "Interrupt.h"
#include "browse/RootDirectory.h"
#include "disk/Host.h"
#include "model/Text.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

using nlohmann::json;

constexpr const char* kNoHpfs = "Cannot preview HPFS partitions now. We'll add this\rfeature to Quillmark in future.";

struct LsOptions {
  bool json = false;
  std::optional<std::string> partition, lost, at;
  std::string source;
};

// The partition named by the options, or null after saying why (with the exit status).
struct Choice {
  TPartition* record = nullptr;
  int status = kExitOk;
};

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

// A listed partition or a known lost one that starts at `lba`; otherwise it is scanned for,
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

void PrintText(const std::vector<TPreviewRow>& rows) {
  const char* headers[4] = {"File Name", "Type", "Size", "Created"};
  std::vector<std::vector<std::string>> cells;
  cells.reserve(rows.size());
  // Names are bytes from the disk: a control character would garble the listing or drive the
  // terminal.
  for (const TPreviewRow& row : rows)
    cells.push_back({PrintableText(row.Name), FallbackTypeName(row), row.SizeText, row.Created});
  size_t widths[4];
  for (int c = 0; c < 4; ++c) widths[c] = DisplayWidth(headers[c]);
  for (const auto& v : cells)
    for (int c = 0; c < 4; ++c) widths[c] = std::max(widths[c], DisplayWidth(v[c]));
  auto print = [&](const std::vector<std::string>& v) {
    std::string line = Pad(v[0], widths[0], false) + "  " + Pad(v[1], widths[1], false) + "  " +
                       Pad(v[2], widths[2], true) + "  " + v[3];
    std::printf("%s\n", line.c_str());
  };
  print({headers[0], headers[1], headers[2], headers[3]});
  for (const auto& v : cells) print(v);
}

void PrintJson(const std::vector<TPreviewRow>& rows) {
  json entries = json::array();
  for (const TPreviewRow& row : rows)
    entries.push_back(json{{"name", row.Name},
                           {"directory", row.Directory},
                           {"size", row.Size},
                           {"created", row.Created},
                           {"deleted", row.Deleted}});
  const json doc{{"entries", std::move(entries)}};
  std::cout << EscapeC1Controls(doc.dump(2, ' ', false, json::error_handler_t::replace)) << "\n";
}

int RunLs(const LsOptions& options) {
  InterruptScope interrupts;
  uint64_t number = 0;
  const std::optional<std::string>& typed = options.partition ? options.partition : options.lost ? options.lost : options.at;
  const char* name = options.partition ? "--partition" : options.lost ? "--lost" : "--at";
  const uint64_t max = options.at ? 0xFFFFFFFFull : kMaxRowNumber;
  if (!ParseWholeNumber(*typed, max, number) || (!options.at && number == 0)) {
    PrintError(options.at ? "--at must be a sector number (LBA) from 0 to 4294967295"
                          : std::string(name) + " must be the number of a row of the partition list (1, 2, ... as " +
                                "`list` shows them)");
    return kExitUsage;
  }

  std::unique_ptr<TPhysicalDrives> drives = OpenOneDrive(options.source).drives;
  if (!drives) return kExitFailure;
  TPhysicalDrv& drive = *drives->Drives.front();
  const Choice choice = options.partition ? ByRowNumber(drive, RowKind::Partition, number, options.source)
                        : options.lost    ? ByRowNumber(drive, RowKind::Lost, number, options.source)
                                          : ByStart(drive, number, options.source);
  if (!choice.record) return choice.status;
  const TPartition& partition = *choice.record;

  if (partition.FsKind == fkHpfs) {
    TerminalHost().MessageBox(kNoHpfs, "Information", MsgButtons::Ok, MsgIcon::Information);
    return kExitFailure;
  }
  TRootEntries entries;
  const Outcome listed = GetRootDirectory(drive, partition, entries);
  if (!listed) {
    PrintError("the root directory of the partition at sector " + std::to_string(partition.AbsoluteStart()) +
               " cannot be listed: " + listed.Line());
    return kExitFailure;
  }
  // A root listed only in part says so once, then shows what it holds.
  if (!listed.Text.empty()) PrintError(listed.Line());
  const std::vector<TPreviewRow> rows = BuildPreviewRows(entries);
  if (options.json)
    PrintJson(rows);
  else
    PrintText(rows);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

Command AddLsCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<LsOptions>();
  CLI::App* sub = app.add_subcommand("ls", "List the root directory of a partition, listed or lost");
  sub->add_flag("--json", options->json, "Print one JSON document");
  auto* partition = sub->add_option("--partition", options->partition, "The partition with this number of the list");
  auto* lost = sub->add_option("--lost", options->lost, "The lost partition with this number of the list");
  auto* at = sub->add_option("--at", options->at,
                             "The partition that starts at this sector (LBA); when none is known there, the disk "
                             "is scanned from the block around it until one is found");
  partition->excludes(lost, at);
  lost->excludes(partition, at);
  at->excludes(partition, lost);
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub, [options] {
                   if (!options->partition && !options->lost && !options->at) {
                     PrintError("ls needs one of --partition, --lost or --at");
                     return kExitUsage;
                   }
                   return RunLs(*options);
                 }};
}

}  // namespace qm::cli
