#pragma once
// Shared by the scanner tests: hosts that watch a scan from inside the message pump, and
// hand-made boot sectors for cases that no formatting tool produces.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/Bytes.h"
#include "model/PhysicalDrv.h"
#include "scan/Scanner.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {

// Pumped once per probed sector: counts the calls, notes any call made while the drive is
// not marked busy, and can press Stop after a given number of calls.
class ScanWatchHost : public ScriptedHost {
 public:
  void ProcessMessages() override {
    ScriptedHost::ProcessMessages();
    if (drive && !drive->Scanning) ++callsWhileIdle;
    if (drive && processCalls == stopAfter) drive->StopRequested = true;
  }

  TPhysicalDrv* drive = nullptr;
  long stopAfter = -1;
  long callsWhileIdle = 0;
};

// Records every step a scan reports: the per-cent values, and the steps whole.
struct ProgressLog {
  std::vector<int> values;
  std::vector<ScanStep> steps;
  ScanProgress Callback() {
    return [this](const ScanStep& step) { values.push_back(step.Percent), steps.push_back(step); };
  }
};

// A boot sector of `kind` with the fields the scanner reads, written into sector `lba` of an
// in-memory disk.
inline void PutBootSector(std::vector<uint8_t>& disk, uint64_t lba, uint8_t kind, uint64_t totalSectors,
                          uint32_t serial, bool signature = true) {
  uint8_t* s = disk.data() + lba * 512;
  std::memset(s, 0, 512);
  std::memcpy(s, "\xEB\x3C\x90", 3);  // the jump over the parameters
  switch (kind) {
    case fkFat12:
    case fkFat16:
    case fkHpfs:
      if (totalSectors < 0x10000 && kind != fkHpfs)
        StoreLE<uint16_t>(s + 0x13, static_cast<uint16_t>(totalSectors));
      else
        StoreLE<uint32_t>(s + 0x20, static_cast<uint32_t>(totalSectors));
      StoreLE<uint32_t>(s + 0x27, serial);
      std::memcpy(s + 0x36, kind == fkFat12 ? "FAT12   " : kind == fkFat16 ? "FAT16   " : "HPFS    ", 8);
      break;
    case fkFat32:
      StoreLE<uint32_t>(s + 0x20, static_cast<uint32_t>(totalSectors));
      StoreLE<uint16_t>(s + 0x32, 6);  // where the backup boot sector lies
      StoreLE<uint32_t>(s + 0x43, serial);
      std::memcpy(s + 0x52, "FAT32   ", 8);
      break;
    case fkNtfs:
      std::memcpy(s + 0x03, "NTFS    ", 8);
      StoreLE<uint64_t>(s + 0x28, totalSectors);
      StoreLE<uint32_t>(s + 0x48, serial);
      break;
  }
  if (signature) {
    s[510] = 0x55;
    s[511] = 0xAA;
  }
}

// A table entry (no CHS) in slot `slot` of the table at `lba`, and the table's signature, on
// an in-memory disk or in an image file.
inline void PutEntry(std::span<uint8_t> disk, uint64_t lba, int slot, uint8_t type, uint32_t relative, uint32_t size) {
  uint8_t* e = &disk[lba * 512 + 446 + 16 * static_cast<size_t>(slot)];
  std::fill_n(e, 16, 0);
  e[4] = type;
  StoreLE<uint32_t>(e + 8, relative);
  StoreLE<uint32_t>(e + 12, size);
  disk[lba * 512 + 510] = 0x55, disk[lba * 512 + 511] = 0xAA;
}
inline void PutEntry(const std::string& image, uint64_t lba, int slot, uint8_t type, uint32_t relative, uint32_t size) {
  std::vector<uint8_t> table = ReadFileBytes(image, lba * 512, 512);
  PutEntry(table, 0, slot, type, relative, size);
  WriteFileBytes(image, lba * 512, table);
}

// A table record of type `systemId` at an absolute start, as the table reader lists it.
inline TPartition* AddTableRecord(TPhysicalDrv& drive, uint8_t systemId, uint32_t start, uint32_t sectors) {
  auto record = std::make_unique<TPartition>();
  record->Entry.SystemId = systemId;
  record->Entry.RelativeSector = start;
  record->Entry.TotalSectors = sectors;
  record->Parent = &drive.Root;
  if (systemId == kTypeEmpty) record->FsKind = fkUnallocated;
  return drive.AdoptRecord(std::move(record));
}

}  // namespace qm::test
