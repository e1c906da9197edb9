#pragma once
// What the drive panel and the partition list show, as texts and numbers: shared by the
// desktop window and the command-line listing, so both read the same.
#include <cstdint>
#include <string>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm {

enum class RowKind { Group, Empty, Partition, Lost };

struct TPartitionRow {
  RowKind Kind = RowKind::Empty;
  TPartition* Record = nullptr;  // none for group and empty rows
  std::string Caption;           // the "No." cell: indent, number, " - [Active]"
  std::string VolumeLabel;
  std::string FileSystem;
  std::string Lba;
  std::string Capacity;
  std::string Status;
  std::string PtSelf, PtParent, SelfBaseLba;  // the debug columns
};

// "#0: 80H (74.53 G)"
std::string DriveListLine(int index, const TPhysicalDrv& drive);
// The drive's size in 512-byte sectors as the user is shown it: the 64-bit count where the
// geometry's 32-bit one stops at 0xFFFFFFFF.
uint64_t ShownSectors(const TPhysicalDrv& drive);
// The six lines of the drive information label; values are tab-aligned, counts unsigned. The
// drive's own form shows its whole size beyond 2 TiB.
std::vector<std::string> DriveInfoLines(const TDriveGeometry& geometry);
std::vector<std::string> DriveInfoLines(const TPhysicalDrv& drive);
// What the listing of a drive must say besides its rows, one sentence each: which copy of a
// GUID partition table was read and what is wrong with the other, or why the table cannot be
// used; all tables of a disk whose sectors are not 512 bytes long, the tables behind where the
// walk stopped (with its reason), the gaps behind where the quick scan stopped. Shown under
// the information lines; empty for an ordinary drive.
std::vector<std::string> DriveNotes(const TPhysicalDrv& drive);
// The GUID partition table's part of those notes, "\r" between sentences.
std::string GptNote(const TPhysicalDrv& drive);
// " Physical Drive #0 - 76319.99 MB"
std::string MapHeaderText(int index, const TPhysicalDrv& drive);

// Every row of the partition list: group "Partitions", the drive's records, an empty row,
// group "Lost Partitions", the lost records. Empty without a drive.
std::vector<TPartitionRow> BuildPartitionRows(const TPhysicalDrv* drive, bool debugMode);
// Index of the first lost row.
int FirstLostRow(const TPhysicalDrv& drive);
// Whether the selection may move to row `row`: never during a scan, never onto group or
// empty rows.
bool RowSelectable(const TPhysicalDrv& drive, int row);

std::string RowIndent(const TPhysicalDrv& drive, const TPartition& record);
// The label as shown: the trimmed label or "--- ", then " (sdb1)" when the system names the volume.
std::string LabelCellText(const TPartition& record);
std::string FileSystemCellText(const TPartition& record);  // with " - [Hidden]"
std::string StatusText(const TPartition& record, bool lost);
bool IsHiddenType(uint8_t systemId);
bool IsLogicalDrive(const TPartition& record);

// The three text lines of a record on the disk map.
std::string MapFsLine(const TPartition& record);
std::string MapStatusLine(const TPartition& record);
// Everything a box of a map stands for, one line each, for its tooltip (a narrow box clips
// its own text): label, file system, size, status, the first and last sector, and for a GPT
// partition its entry's slot, type, name and GUID.
std::string MapBoxTip(const TPhysicalDrv& drive, const TPartition& record, bool lost);

// The number of `record`'s row in the list's "Partitions" group (from 1); 0 when it has none (a
// link between extended boot records, a lost partition).
int PartitionRowNumber(const TPhysicalDrv& drive, const TPartition& record);
// A listed partition as a question names it: "partition 2 (FAT32 at sector 2048)", by its row,
// its file system (left out when unknown) and its first sector as the list shows them.
std::string PartitionRowName(const TPhysicalDrv& drive, const TPartition& record);

// Row numbers as a sentence names them: "3", "1 and 3", "1, 3 and 4".
std::string RowNumbersText(const std::vector<int>& rows);

// Whether `container` is the record's parent or a further ancestor.
bool IsInside(const TPartition& record, const TPartition& container);

}  // namespace qm
