// `quillmark-cli list [--json] [SOURCE...]`: every drive as the main window shows it: the
// drive list line, the information label, the partition list with its lost partitions and
// the check report of each lost one.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Command.h"
#include "disk/Disk.h"
#include "model/CheckReport.h"
#include "model/Enumeration.h"
#include "scan/OpenDrive.h"
#include "model/PartitionRows.h"
#include "model/Text.h"

namespace qm::cli {
namespace {

using nlohmann::json;

struct ListOptions {
  bool json = false;
  std::vector<std::string> sources;
};

std::vector<std::string> SplitReport(const std::string& report) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < report.size()) {
    size_t end = report.find('\r', begin);
    if (end == std::string::npos) end = report.size();
    lines.push_back(report.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

std::string CheckReportText(TPhysicalDrv& drive, TPartition& record) {
  std::string report;
  BuildCheckReport(drive, record, report);
  return report;
}

}  // namespace

// JSON escapes C0 controls itself but writes C1 controls (U+0080-U+009F, UTF-8 C2 80 to C2 9F)
// as they are, and a terminal showing the document would obey them. Outside strings a JSON
// document is ASCII, so every such pair lies in a string, where "\u0080" means the same.
std::string EscapeC1Controls(const std::string& document) {
  std::string out;
  out.reserve(document.size());
  for (size_t i = 0; i < document.size(); ++i) {
    const auto c = static_cast<unsigned char>(document[i]);
    const auto next = i + 1 < document.size() ? static_cast<unsigned char>(document[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", next);
      out += escape;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

size_t DisplayWidth(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string Pad(const std::string& text, size_t width, bool right) {
  size_t w = DisplayWidth(text);
  std::string fill(w < width ? width - w : 0, ' ');
  return right ? fill + text : text + fill;
}

uint64_t CountRows(TPhysicalDrv& drive, RowKind kind) {
  uint64_t n = 0;
  for (const TPartitionRow& row : BuildPartitionRows(&drive, false))
    if (row.Kind == kind) ++n;
  return n;
}

TPartition* RowRecordByNumber(TPhysicalDrv& drive, RowKind kind, uint64_t number) {
  uint64_t n = 0;
  for (const TPartitionRow& row : BuildPartitionRows(&drive, false))
    if (row.Kind == kind && ++n == number) return row.Record;
  return nullptr;
}

// --- Text ------------------------------------------------------------------------------

void PrintDriveText(int index, TPhysicalDrv& drive) {
  std::printf("%s\n", DriveListLine(index, drive).c_str());
  for (const std::string& line : DriveInfoLines(drive)) std::printf("%s\n", line.c_str());
  for (const std::string& note : DriveNotes(drive)) std::printf("Note: %s\n", note.c_str());
  std::printf("\n");

  std::vector<TPartitionRow> rows = BuildPartitionRows(&drive, false);
  const char* headers[6] = {"No.", "Volume Label", "File System", "LBA", "Capacity", "Status"};
  const bool rightAligned[6] = {false, false, false, true, true, false};
  // Labels are bytes from the disk: a control character (a line break, the start of a terminal
  // escape sequence) would garble the listing or drive the terminal.
  auto cells = [](const TPartitionRow& r) {
    return std::vector<std::string>{r.Caption, PrintableText(r.VolumeLabel), r.FileSystem, r.Lba, r.Capacity, r.Status};
  };
  size_t widths[6];
  for (int c = 0; c < 6; ++c) widths[c] = DisplayWidth(headers[c]);
  for (const TPartitionRow& row : rows) {
    if (row.Kind != RowKind::Partition && row.Kind != RowKind::Lost) continue;
    std::vector<std::string> v = cells(row);
    for (int c = 0; c < 6; ++c) widths[c] = std::max(widths[c], DisplayWidth(v[c]));
  }
  auto printCells = [&](const std::vector<std::string>& v) {
    std::string line;
    for (int c = 0; c < 6; ++c) {
      if (c > 0) line += "  ";
      line += c == 5 ? v[c] : Pad(v[c], widths[c], rightAligned[c]);
    }
    std::printf("%s\n", line.c_str());
  };
  printCells({headers[0], headers[1], headers[2], headers[3], headers[4], headers[5]});

  for (const TPartitionRow& row : rows) {
    switch (row.Kind) {
      case RowKind::Group: std::printf("%s\n", row.Caption.c_str()); break;
      case RowKind::Empty: std::printf("\n"); break;
      case RowKind::Partition: printCells(cells(row)); break;
      case RowKind::Lost:
        printCells(cells(row));
        for (const std::string& line : SplitReport(CheckReportText(drive, *row.Record)))
          std::printf("      %s\n", PrintableText(line).c_str());
        break;
    }
  }
}

// --- JSON ------------------------------------------------------------------------------

namespace {

json RowJson(const TPhysicalDrv& drive, const TPartitionRow& row, int number) {
  const TPartition& r = *row.Record;
  json gpt = nullptr;
  if (r.Gpt)
    gpt = json{{"slot", r.Gpt->Index},
               {"type", GptTypeName(r.Gpt->Type)},
               {"type_guid", GuidText(r.Gpt->Type)},
               {"guid", GuidText(r.Gpt->Unique)},
               {"name", r.Gpt->Name},
               {"legacy_bootable", r.Gpt->LegacyBootable()}};
  return json{{"no", number},
              {"label", TrimBlanks(r.VolumeLabel)},
              {"uuid", r.Uuid.empty() ? json(nullptr) : json(r.Uuid)},
              {"letter", r.DriveLetter},
              {"fs", row.FileSystem},
              {"type", uint8_t{r.Entry.SystemId}},
              {"active", r.Entry.BootIndicator == kActiveFlag},
              {"hidden", IsHiddenType(r.Entry.SystemId)},
              {"lba", SectorOfBlock(drive, r.AbsoluteStart())},
              {"sectors", SectorOfBlock(drive, r.Entry.TotalSectors)},
              {"status", row.Status},
              {"gpt", std::move(gpt)}};
}

}  // namespace

// The geometry and the entries are packed records: their fields are copied into values before
// the JSON library takes references to them.
json DriveJson(TPhysicalDrv& drive) {
  const TDriveGeometry& g = drive.Geometry;
  json partitions = json::array(), lost = json::array();
  int partitionNo = 0, lostNo = 0;
  for (const TPartitionRow& row : BuildPartitionRows(&drive, false)) {
    if (row.Kind == RowKind::Partition) {
      partitions.push_back(RowJson(drive, row, ++partitionNo));
    } else if (row.Kind == RowKind::Lost) {
      json entry = RowJson(drive, row, ++lostNo);
      std::string report = CheckReportText(drive, *row.Record);
      std::replace(report.begin(), report.end(), '\r', '\n');
      entry["report"] = report;
      const uint64_t backup = row.Record->BootFromBackup;
      entry["boot_from_backup"] = backup ? json(SectorOfBlock(drive, backup)) : json(nullptr);
      entry["overlaps"] = OverlappedPartitionRows(drive, *row.Record);
      entry["inside_gpt"] = InsideGptArea(drive, *row.Record);
      lost.push_back(std::move(entry));
    }
  }
  return json{{"drive", DriveHex(drive.DriveNumber) + "H"},
              {"source", drive.Io().Path()},
              {"gpt", drive.IsGpt},
              {"notes", DriveNotes(drive)},
              {"geometry",
               {{"cylinders", uint32_t{g.Cylinders}},
                {"heads", uint32_t{g.Heads}},
                {"sectors_per_track", uint32_t{g.SectorsPerTrack}},
                {"bytes_per_sector", uint32_t{g.BytesPerSector}},
                {"total_sectors", SectorOfBlock(drive, ShownSectors(drive))}}},
              {"partitions", std::move(partitions)},
              {"lost", std::move(lost)}};
}

void PrintDrives(TPhysicalDrives& drives, bool asJson) {
  if (asJson) {
    json doc{{"drives", json::array()}};
    for (auto& drive : drives.Drives) doc["drives"].push_back(DriveJson(*drive));
    // Labels are whatever bytes the disk holds: invalid UTF-8 becomes U+FFFD, never an abort.
    std::cout << EscapeC1Controls(doc.dump(2, ' ', false, json::error_handler_t::replace)) << "\n";
  } else {
    for (size_t i = 0; i < drives.Drives.size(); ++i) {
      if (i > 0) std::printf("\n");
      PrintDriveText(static_cast<int>(i), *drives.Drives[i]);
    }
  }
  std::fflush(stdout);
}

namespace {

int RunList(const ListOptions& options) {
  std::vector<std::unique_ptr<Disk>> disks;
  if (!OpenSources(options.sources, disks)) return kExitFailure;
  // The machine's volume list is not shown here; probing every volume of the machine would
  // only add reads of disks the user did not name.
  std::unique_ptr<TPhysicalDrives> drives = OpenDrives(std::move(disks), false, QuickSearchBudget());
  PrintDrives(*drives, options.json);
  return kExitOk;
}

}  // namespace

Command AddListCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<ListOptions>();
  CLI::App* sub = app.add_subcommand("list", "Show every drive with its partitions and lost partitions");
  sub->add_flag("--json", options->json, "Print one JSON document");
  sub->add_option("SOURCE", options->sources, "Disk image files or block devices (default: the machine's disks)");
  return Command{sub, [options] { return RunList(*options); }};
}

}  // namespace qm::cli
