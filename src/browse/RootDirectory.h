#pragma once
// The one entry point that reads any partition's root directory, and what both front ends
// show of it: a row per entry with name, type, size and creation time.
#include <cstdint>
#include <string>
#include <vector>

#include "browse/FatDir.h"
#include "browse/NtfsReader.h"
#include "disk/Outcome.h"
#include "model/PhysicalDrv.h"

namespace qm {

// A root directory as read: FAT volumes fill FatEntries (sorted by short name), NTFS volumes
// NtfsEntries (in index order); Kind says which. Owned by whoever asked for the listing.
struct TRootEntries {
  uint8_t Kind = fkUnallocated;
  TMidEntryList FatEntries;
  std::vector<TntFile> NtfsEntries;
};

// Reads the root directory of `partition` into `list`, emptied first. Failed, with the text
// and caption the user is shown, for a kind that is neither FAT nor NTFS and for a FAT boot
// sector that describes no readable volume ("Root directory: Unrecognized file system or
// partition has been destroyed."), when the NTFS reader could not list the root, and when a
// sector cannot be read (the read's own outcome, naming the sector). Done with a message when
// an NTFS root could be listed only in part, and when a FAT32 root's cluster chain is cut: the
// listing then holds what was read up to the cut, and the message says where it stops. The
// drive is marked busy while this runs; the flag is put back as it was on every way out, so
// that a read made inside a scan leaves the scan's hold in place.
Outcome GetRootDirectory(TPhysicalDrv& drive, const TPartition& partition, TRootEntries& list);

// The name shown for a FAT entry: the long name, or the short name with "." before a
// non-empty extension; a deleted short name shows "?" for its lost first byte.
std::string GetEntryDisplayName(const TMidEntry& entry);

// Date-time values: days since 30 December 1899, the time of day as the fraction; 0 stands for
// a missing or invalid time.
using TDateTime = double;

// A DOS date and time (years 1980 to 2050, two-second steps). 0 for a field out of range and
// for a day or time that does not exist (30 February, 24:00, a 60th minute or second).
TDateTime DosDateTimeToDateTime(uint16_t date, uint16_t time);
// An NTFS file time (100 ns steps since 1601, UTC) as local time, cut to two-second steps as a
// DOS time: 0 before 1980 and after 2050.
TDateTime NtfsTimeToDateTime(uint64_t fileTime);
// "mm/dd/yyyy hh:nn AM/PM": 0 shows as "12/30/1899 12:00 AM".
std::string FormatPreviewTime(TDateTime value);

// One row of the preview as both front ends show it.
struct TPreviewRow {
  std::string Name;  // UTF-8
  bool Directory = false;
  int64_t Size = 0;       // FAT sizes are unsigned 32-bit; NTFS sizes signed 64-bit as stored
  std::string SizeText;   // the Size column
  std::string Created;    // the Created column
  bool Deleted = false;   // a deleted FAT entry
};

// The rows of a listing, in list order; the NTFS entry "." is left out.
std::vector<TPreviewRow> BuildPreviewRows(const TRootEntries& entries);

// The Type column where no desktop type database answers: "File folder" for directories,
// the upper-case extension followed by " File" for names with one ("TXT File"), and "File"
// for names without.
std::string FallbackTypeName(const TPreviewRow& row);
// The extension of a shown name: the text after its last ".", empty when there is none.
std::string NameExtension(const std::string& name);

}  // namespace qm
