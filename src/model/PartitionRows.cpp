#include "model/PartitionRows.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "disk/Disk.h"
#include "model/DevelopmentInfo.h"
#include "model/Text.h"

namespace qm {
namespace {

constexpr double kSectorsPerMB = 2048.0;
constexpr double kSectorsPerGB = 2097152.0;

std::string Format(const char* format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

std::string Hex8(const TPartition* p) { return Format("%08" PRIX32, RecordIdentity(p)); }

int ExtendedRow(const TPhysicalDrv& drive) { return drive.ExtendedBase > 0 ? 1 : 0; }

// k: the number of rows for existing records.
int ExistingRows(const TPhysicalDrv& drive) { return static_cast<int>(drive.PartitionCount) + ExtendedRow(drive); }

TPartitionRow MakeRow(const TPhysicalDrv& drive, TPartition& record, int number, bool lost, bool debugMode) {
  TPartitionRow row;
  row.Kind = lost ? RowKind::Lost : RowKind::Partition;
  row.Record = &record;
  row.Caption = RowIndent(drive, record) + std::to_string(number);
  row.VolumeLabel = LabelCellText(record);
  row.FileSystem = FileSystemCellText(record);
  row.Lba = std::to_string(SectorOfBlock(drive, record.AbsoluteStart()));
  row.Capacity = debugMode ? std::to_string(SectorOfBlock(drive, record.AbsoluteEnd() - 1))
                           : Format("%.2f MB", record.Entry.TotalSectors / kSectorsPerMB);
  row.Status = StatusText(record, lost);
  if (row.Status == "Primary Partition" && record.Entry.BootIndicator == kActiveFlag) row.Caption += " - [Active]";
  row.PtSelf = Hex8(&record);
  row.PtParent = Hex8(record.Parent);
  row.SelfBaseLba = std::to_string(SectorOfBlock(drive, record.BaseLBA));
  return row;
}

TPartitionRow GroupRow(const char* caption) {
  TPartitionRow row;
  row.Kind = RowKind::Group;
  row.Caption = caption;
  return row;
}

}  // namespace

uint64_t ShownSectors(const TPhysicalDrv& drive) {
  const uint32_t total = drive.Geometry.TotalSectors;
  return total == 0xFFFFFFFFu ? std::max<uint64_t>(total, drive.DiskSectors) : total;
}

std::string DriveListLine(int index, const TPhysicalDrv& drive) {
  return Format("#%d: %sH (%.2f G)", index, DriveHex(drive.DriveNumber).c_str(),
                static_cast<double>(ShownSectors(drive)) / kSectorsPerGB);
}

namespace {

// `totalBlocks`: the disk's size in 512-byte blocks; the lines count its own sectors.
std::vector<std::string> InfoLines(const TDriveGeometry& g, uint64_t totalBlocks) {
  // Counts are unsigned: a disk of more than 2^31 sectors is no negative number.
  auto value = [](uint32_t v) { return static_cast<unsigned>(v); };
  return {
      Format("Heads\t\t:  %u", value(g.Heads)),
      Format("Cylinders\t:  %u", value(g.Cylinders)),
      Format("Sectors/Track\t:  %u", value(g.SectorsPerTrack)),
      Format("Bytes/Sector\t:  %u", value(g.BytesPerSector)),
      Format("Total Sectors\t:  %" PRIu64, totalBlocks / BlocksPerSector(g)),
      Format("Capacity\t:  %.2f G", static_cast<double>(totalBlocks) / kSectorsPerGB),
  };
}

}  // namespace

std::vector<std::string> DriveInfoLines(const TDriveGeometry& g) { return InfoLines(g, g.TotalSectors); }

std::vector<std::string> DriveInfoLines(const TPhysicalDrv& drive) {
  return InfoLines(drive.Geometry, ShownSectors(drive));
}

std::string GptNote(const TPhysicalDrv& drive) {
  const std::string writes = "\rOf the changes, only recover, delete, active and rebuild are written to it.";
  // A table that could not be read is told where the walk stopped (a disk whose sectors are
  // not 512 bytes long is not read at all).
  if (!drive.GptRead || drive.GptRead->Result.failed())
    return "This disk uses a GUID partition table (GPT), which is not shown; nothing is written to it.";
  const TGptRead& read = *drive.GptRead;
  if (!read.Gpt)
    return "This disk has the protective entry of a GUID partition table (GPT), but the table cannot be used, and "
           "only that entry is shown: " + read.Reason;
  std::string note = "This disk uses a GUID partition table (GPT), read from its ";
  if (read.Used == GptCopy::Primary) {
    note += "primary copy.";
    if (read.Backup.Fault != GptFault::None) note += "\rIts backup copy is damaged: " + read.Backup.Text;
  } else {
    note += "backup copy at sector " + std::to_string(read.Backup.HeaderLba) +
            ".\rIts primary copy is damaged: " + read.Primary.Text;
  }
  if (read.Mbr == ProtectiveMbr::Hybrid)
    note += "\rIts master boot record is a hybrid one: it names some of the partitions as well.";
  for (const TGptEntryNote& entry : read.EntryNotes) note += "\r" + entry.Text;
  return note + writes;
}

std::vector<std::string> DriveNotes(const TPhysicalDrv& drive) {
  std::vector<std::string> notes;
  if (!SectorSizeSupported(drive.Geometry.BytesPerSector))
    notes.push_back(Format("This disk uses %u-byte sectors: its partition tables are not read (only disks with "
                           "sectors of 512 to 4096 bytes are).",
                           static_cast<unsigned>(drive.Geometry.BytesPerSector)));
  else if (drive.Geometry.BytesPerSector != kSectorSize)
    notes.push_back(Format("This disk uses %u-byte sectors: every sector number shown counts those.",
                           static_cast<unsigned>(drive.Geometry.BytesPerSector)));
  if (drive.IsGpt) {
    const std::string text = GptNote(drive);
    for (size_t from = 0, to; from < text.size(); from = to + 1) {
      to = std::min(text.find('\r', from), text.size());
      if (to > from) notes.push_back(text.substr(from, to - from));
    }
  }
  if (drive.WholeDiskVolume)
    notes.push_back("No partition table: the disk holds one volume, from sector 0. Nothing is written to it.");
  if (!drive.WalkStopped.empty())
    notes.push_back("Partition tables read only in part: " + drive.WalkStopped + ". Nothing is written to them.");
  if (drive.QuickScanEnded.failed()) notes.push_back("Quick scan of the gaps: " + drive.QuickScanEnded.Line());
  const TQuickSearch& search = drive.QuickSearch;
  if (search.Started() && !search.Finished())
    notes.push_back(Format("Quick search: %.2f %% searched, up to sector %llu; the rest is not searched yet.",
                           static_cast<double>(search.Done) * 100.0 / static_cast<double>(search.Total),
                           static_cast<unsigned long long>(SectorOfBlock(drive, search.Next))));
  if (search.Unreadable > 0)
    notes.push_back(Format("Quick search: %llu of %llu positions could not be read.",
                           static_cast<unsigned long long>(search.Unreadable),
                           static_cast<unsigned long long>(search.Probed)));
  return notes;
}

std::string MapHeaderText(int index, const TPhysicalDrv& drive) {
  return Format(" Physical Drive #%d - %.2f MB", index, static_cast<double>(ShownSectors(drive)) / kSectorsPerMB);
}

std::vector<TPartitionRow> BuildPartitionRows(const TPhysicalDrv* drive, bool debugMode) {
  std::vector<TPartitionRow> rows;
  if (!drive) return rows;
  rows.push_back(GroupRow("Partitions"));
  int n = 1;
  for (size_t i = 1; i < drive->AllPartitions.size(); ++i) {
    TPartition* record = drive->AllPartitions[i];
    if (record->IsExtended() && record->Parent != &drive->Root) continue;  // links inside the chain
    rows.push_back(MakeRow(*drive, *record, n++, false, debugMode));
  }
  rows.push_back(TPartitionRow{});
  rows.push_back(GroupRow("Lost Partitions"));
  n = 1;
  for (const auto& lost : drive->LostPartitions) {
    if (lost->IsExtended()) continue;
    rows.push_back(MakeRow(*drive, *lost, n++, true, debugMode));
  }
  return rows;
}

int FirstLostRow(const TPhysicalDrv& drive) { return ExistingRows(drive) + 3; }

bool RowSelectable(const TPhysicalDrv& drive, int row) {
  if (drive.Scanning) return false;
  int k = ExistingRows(drive);
  return row > k + 2 || (row >= 1 && row < k + 1);
}

std::string RowIndent(const TPhysicalDrv& drive, const TPartition& record) {
  return record.Parent && record.Parent != &drive.Root ? "    " : "";
}

std::string LabelCellText(const TPartition& record) {
  std::string text = TrimBlanks(record.VolumeLabel).empty() ? "--- " : record.VolumeLabel;
  if (!record.DriveLetter.empty()) text += " (" + record.DriveLetter + ")";
  return text;
}

bool IsHiddenType(uint8_t id) {
  switch (id) {
    case 0x11: case 0x14: case 0x16: case 0x17: case 0x1B: case 0x1C: case 0x1E: return true;
    default: return false;
  }
}

std::string FileSystemCellText(const TPartition& record) {
  // A GPT partition whose boot sector names no file system this program knows is shown by its
  // type ("Linux filesystem", "EFI System"), which says more than "Unknown".
  if (record.Gpt && record.FsKind != fkHpfs && record.FsKind != fkNtfs && !IsFatKind(record.FsKind))
    return GptTypeName(record.Gpt->Type);
  std::string text = FsKindName(record.FsKind);
  if (IsHiddenType(record.Entry.SystemId)) text += " - [Hidden]";
  return text;
}

bool IsLogicalDrive(const TPartition& record) { return record.Parent && record.Parent->Parent; }

std::string StatusText(const TPartition& record, bool lost) {
  if (lost) return "Lost partition";
  if (record.FsKind == fkUnallocated) return "Unallocated";
  if (record.FsKind == fkExtended) return "Extended Partition";
  if (IsLogicalDrive(record)) return "Logical Drive";
  return record.Gpt ? "GPT Partition" : "Primary Partition";
}

std::string MapFsLine(const TPartition& record) {
  std::string name = record.FsKind == fkExtended ? "Unknown"
                     : record.Gpt             ? FileSystemCellText(record)
                                              : FsKindName(record.FsKind);
  if (!record.Gpt && !record.IsGap() && IsHiddenType(record.Entry.SystemId)) name += " [Hidden]";
  return Format("%s    %.2f MB", name.c_str(), record.Entry.TotalSectors / kSectorsPerMB);
}

std::string MapStatusLine(const TPartition& record) {
  if (record.IsGap()) return "Unallocated";
  if (record.Gpt) return "GPT Partition";
  return IsLogicalDrive(record) ? "Logical Drive" : "Primary Partition";
}

std::string MapBoxTip(const TPhysicalDrv& drive, const TPartition& record, bool lost) {
  const uint64_t first = SectorOfBlock(drive, record.AbsoluteStart());
  const uint64_t last = record.Entry.TotalSectors == 0 ? first : SectorOfBlock(drive, record.AbsoluteEnd() - 1);
  std::string tip = LabelCellText(record) + "\n" + FileSystemCellText(record) + "\n" +
                    Format("%.2f MB", record.Entry.TotalSectors / kSectorsPerMB) + "\n" +
                    (lost ? StatusText(record, true) : MapStatusLine(record)) + "\n" +
                    Format("LBA %" PRIu64 " - %" PRIu64, first, last);
  if (record.Gpt) {
    const TGptEntry& e = *record.Gpt;
    tip += "\nGPT entry " + std::to_string(e.Index) + ": " + GptTypeName(e.Type);
    if (!e.Name.empty()) tip += "\nName: " + PrintableText(e.Name);
    tip += "\nGUID: " + GuidText(e.Unique);
  }
  return tip;
}

int PartitionRowNumber(const TPhysicalDrv& drive, const TPartition& record) {
  // The rows of BuildPartitionRows: every record after Root but the links inside the chain.
  int n = 0;
  for (size_t i = 1; i < drive.AllPartitions.size(); ++i) {
    const TPartition* r = drive.AllPartitions[i];
    if (r->IsExtended() && r->Parent != &drive.Root) continue;
    ++n;
    if (r == &record) return n;
  }
  return 0;
}

std::string PartitionRowName(const TPhysicalDrv& drive, const TPartition& record) {
  const int row = PartitionRowNumber(drive, record);
  // The file system as the list names it, without the list's mark of a hidden type.
  std::string where = "at sector " + std::to_string(SectorOfBlock(drive, record.AbsoluteStart()));
  const std::string kind = record.Gpt ? FileSystemCellText(record) : FsKindName(record.FsKind);
  if (kind != "Unknown") where = kind + " " + where;
  return row != 0 ? "partition " + std::to_string(row) + " (" + where + ")" : "the partition (" + where + ")";
}

std::string RowNumbersText(const std::vector<int>& rows) {
  std::string text;
  for (size_t i = 0; i < rows.size(); ++i)
    text += (i == 0 ? "" : i + 1 == rows.size() ? " and " : ", ") + std::to_string(rows[i]);
  return text;
}

bool IsInside(const TPartition& record, const TPartition& container) {
  int depth = 0;
  for (const TPartition* p = record.Parent; p && depth < 4096; p = p->Parent, ++depth)
    if (p == &container) return true;
  return false;
}

}  // namespace qm
