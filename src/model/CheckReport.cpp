#include "model/CheckReport.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "disk/Disk.h"
#include "fs/LinuxFs.h"
#include "fs/NtfsRecord.h"
#include "model/FsDetect.h"
#include "model/PartitionRows.h"

namespace qm {
namespace {

// The leading entries of a file allocation table: entry 0 holds the media descriptor,
// entry 1 the end-of-chain mark (with the clean-shutdown bits of FAT16).
bool FatStartValid(uint8_t kind, const TSector& fat, uint8_t bootMedia) {
  const uint32_t first = GetU32(fat, 0);
  switch (kind) {
    case fkFat12: {
      // 0xF0 is the floppy's descriptor; a FAT12 volume on a hard disk starts its FAT with
      // the descriptor of its boot sector, 0xF8.
      const uint8_t media = fat[0];
      const bool mediaOk = media == 0xF0 || (media >= 0xF8 && media == bootMedia);
      return mediaOk && fat[1] == 0xFF && fat[2] == 0xFF;
    }
    case fkFat16:
      return first == 0xFFFFFFF8u || first == 0x7FFFFFF8u;
    case fkFat32: {
      const uint32_t second = GetU32(fat, 4);
      return (first == 0xFFFFFFF8u || first == 0x0FFFFFF8u) && (second == 0xFFFFFFFFu || second == 0x0FFFFFFFu);
    }
    default:
      return false;
  }
}

// The first 512 bytes of the volume's own sector `volumeSector`. Sectors past the end of the
// disk cannot be read: that is a read failure, never a read of a wrapped address.
bool ReadFatStart(const TFsVolume& volume, uint64_t volumeSector, TSector& sector) {
  return ReadDiskSectors(volume, VolumeSectorLba(volume, volumeSector), 1, sector.data()).ok();
}

void CheckFat(const TFsVolume& volume, std::string& report) {
  const uint64_t fat1 = volume.Bpb.ReservedSectors;
  TSector sector{};
  if (!ReadFatStart(volume, fat1, sector)) {
    report += "FAT1: Read Error";
    return;
  }
  if (!FatStartValid(volume.Kind, sector, volume.Bpb.Media)) {
    report += "FAT1: Invalid\r";
    return;
  }
  report += "FAT1: OK   ";
  if (!ReadFatStart(volume, fat1 + volume.Bpb.SectorsPerFat(volume.Kind), sector)) {
    report += "FAT2: Read Error\rRoot Directory: Preview";
    return;
  }
  report += FatStartValid(volume.Kind, sector, volume.Bpb.Media) ? "FAT2: OK" : "FAT2: Invalid";
  report += "\rRoot Directory: Preview";
}

void CheckNtfsRoot(const TFsVolume& volume, std::string& report) {
  TFileRecord record;
  TAttribute indexRoot;
  // A root directory without a sound record or without its index cannot be listed.
  if (ReadMftRecord(volume, kRootRecord, record) != RecordRead::Sound ||
      !ReadRecordAttribute(volume, record, kRootRecord, kAttrIndexRoot, indexRoot)) {
    report += "Index Root: Invalid";
    return;
  }
  static constexpr uint8_t kI30[8] = {0x24, 0x00, 0x49, 0x00, 0x33, 0x00, 0x30, 0x00};  // "$I30"
  if (indexRoot.Name.size() >= 8 && std::memcmp(indexRoot.Name.data(), kI30, 8) == 0)
    report += "Index Root: OK\rRoot Directory: Preview";
  else
    report += "Index Root: Invalid";
}

void AddLine(std::string& report, const std::string& line) {
  if (!report.empty() && report.back() != '\r') report += '\r';
  report += line;
}

void AddFindNotes(TPhysicalDrv& drive, const TPartition& find, std::string& report) {
  if (const std::vector<int> rows = OverlappedPartitionRows(drive, find); !rows.empty())
    AddLine(report, std::string(rows.size() == 1 ? "Overlaps Partition " : "Overlaps Partitions ") +
                        RowNumbersText(rows) + " (recover will refuse it; use rebuild or clone)");
  if (InsideGptArea(drive, find)) AddLine(report, "Inside a GPT disk");
}

}  // namespace

std::vector<int> OverlappedPartitionRows(const TPhysicalDrv& drive, const TPartition& find) {
  std::vector<int> rows;
  if (find.Entry.TotalSectors == 0) return rows;
  const uint64_t s = find.AbsoluteStart(), e = find.AbsoluteEnd() - 1;
  const auto add = [&rows](int row) {
    if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(row);
  };
  // Rows follow AllPartitions with Root and the links inside the chain left out. A link's
  // extended boot record is named by the logical drive it holds, which follows it.
  int row = 0, extendedRow = 0;
  std::vector<const TPartition*> links;  // colliding links whose logical drive has not come yet
  for (size_t i = 1; i < drive.AllPartitions.size(); ++i) {
    const TPartition& r = *drive.AllPartitions[i];
    const bool link = IsNestedExtended(drive, r);
    if (!link) {
      ++row;
      if (r.IsExtended()) extendedRow = row;
      if (const auto held = std::find(links.begin(), links.end(), r.Parent); held != links.end()) {
        add(row);
        links.erase(held);
      }
    }
    if (r.IsGap()) continue;
    const uint64_t rs = r.AbsoluteStart(), re = rs + (r.Entry.TotalSectors ? r.Entry.TotalSectors - 1 : 0);
    const bool collides = r.IsExtended() ? !((s > rs && e <= re) || s > re) && e >= rs : s <= re && rs <= e;
    if (!collides) continue;
    if (link)
      links.push_back(&r);
    else
      add(row);
  }
  // A link that holds no logical drive is part of the extended partition.
  if (!links.empty() && extendedRow != 0) add(extendedRow);
  std::sort(rows.begin(), rows.end());
  return rows;
}

TSectorSpan GptUsableArea(const TPhysicalDrv& drive) {
  const uint64_t disk = drive.Geometry.TotalSectors;
  TSectorSpan whole{1, disk > 0 ? disk - 1 : 0};
  if (!drive.GptRead || !drive.GptRead->Gpt) return whole;
  TSectorSpan area{drive.GptRead->Gpt->FirstUsableLba, drive.GptRead->Gpt->LastUsableLba};
  // A disk beyond 2 TiB is addressed only up to its 32-bit sector count here.
  if (area.Last > disk - 1) area.Last = disk - 1;
  if (area.First < 1 || area.First > area.Last) return whole;
  return area;
}

bool InsideGptArea(const TPhysicalDrv& drive, const TPartition& find) {
  if (!drive.IsGpt) return false;
  const TSectorSpan area = GptUsableArea(drive);
  const uint64_t s = find.AbsoluteStart();
  return s >= area.First && s <= area.Last;
}

void BuildCheckReport(TPhysicalDrv& drive, TPartition& partition, std::string& report) {
  // A find made from the backup copy of a destroyed boot sector: the checks below read the
  // copy's fields, which are the volume's own.
  SectorReader& disk = drive.Io();
  if (IsSuperblockKind(partition.FsKind)) {
    report = SuperblockReport(disk, partition.AbsoluteStart(), std::max<uint64_t>(drive.Geometry.TotalSectors, drive.DiskSectors)) + "\r";
    if (!partition.Parent && &partition != &drive.Root) AddFindNotes(drive, partition, report);
    return;
  }
  if (partition.BootFromBackup != 0)
    report = "Boot Sector: Missing, backup intact (LBA " + std::to_string(partition.BootFromBackup) + ")\r";
  else
    report = "Boot Sector: OK\r";
  const TFsVolume volume = PartitionVolume(drive, partition, disk);
  if (IsFatKind(partition.FsKind))
    CheckFat(volume, report);
  else if (partition.FsKind == fkNtfs)
    CheckNtfsRoot(volume, report);
  if (!partition.Parent && &partition != &drive.Root) AddFindNotes(drive, partition, report);
}

}  // namespace qm
