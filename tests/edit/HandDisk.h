#pragma once
// A disk in memory whose partition tables are written entry by entry, together with the drive
// model the table reader makes of them. For layouts and faults that no partitioning tool makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "disk/Disk.h"
#include "model/PhysicalDrv.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm::test {

class HandDisk {
 public:
  // `withFaults` puts a FaultSource around the memory disk.
  explicit HandDisk(uint32_t sectors = 65536, bool withFaults = false) {
    auto memory = std::make_unique<MemorySource>(size_t{sectors} * 512);
    data = memory->data;
    std::unique_ptr<DriveSource> source = std::move(memory);
    if (withFaults) {
      auto fault = std::make_unique<FaultSource>(std::move(source));
      faults = fault->state;
      source = std::move(fault);
    }
    drive = BareDrive(std::move(source));
    // Boot code the edits must leave alone.
    for (size_t i = 0; i < 446; ++i) (*data)[i] = static_cast<uint8_t>(i * 7 + 3);
    Sign(0);
  }

  // Adds an entry for [start, start + size) to the table of `parent`, on disk and in the model,
  // with the relative addressing of the reader: links count from ExtendedBase, everything else
  // from its table's sector.
  TPartition* Add(TPartition& parent, uint8_t type, uint64_t start, uint32_t size, uint8_t fsKind = fkOther) {
    auto r = std::make_unique<TPartition>();
    const bool link = IsExtendedType(type) && &parent != &drive->Root;
    if (IsExtendedType(type) && &parent == &drive->Root) drive->ExtendedBase = start;
    r->BaseLBA = link ? drive->ExtendedBase : parent.AbsoluteStart();
    r->Entry.SystemId = type;
    r->Entry.RelativeSector = static_cast<uint32_t>(start - r->BaseLBA);
    r->Entry.TotalSectors = size;
    r->FsKind = IsExtendedType(type) ? uint8_t{fkExtended} : fsKind;
    size_t slot = 0;
    for (const TPartition* c : parent.Children)
      if (!c->IsGap()) ++slot;
    EncodeEntry(SectorSpan(parent.AbsoluteStart()), slot, r->Entry);
    r->Slot = static_cast<int>(slot);
    r->SlotTable = &parent;
    if (IsExtendedType(type)) Sign(start);
    return Adopt(parent, std::move(r));
  }

  // A gap record (no table entry) under `parent`.
  TPartition* Gap(TPartition& parent, uint64_t start, uint32_t size) {
    auto r = std::make_unique<TPartition>();
    r->BaseLBA = parent.AbsoluteStart();
    r->Entry.RelativeSector = static_cast<uint32_t>(start - r->BaseLBA);
    r->Entry.TotalSectors = size;
    r->FsKind = fkUnallocated;
    return Adopt(parent, std::move(r));
  }

  // A lost partition as the scanner records it.
  TPartition* Lost(uint64_t start, uint32_t size, uint8_t fsKind, uint8_t systemId = 0x06) {
    auto r = std::make_unique<TPartition>();
    r->Entry.RelativeSector = static_cast<uint32_t>(start);
    r->Entry.TotalSectors = size;
    r->Entry.SystemId = systemId;
    r->FsKind = fsKind;
    drive->LostPartitions.push_back(std::move(r));
    return drive->LostPartitions.back().get();
  }

  std::span<uint8_t, 512> SectorSpan(uint64_t lba) { return std::span<uint8_t, 512>(data->data() + lba * 512, 512); }
  TPartitionEntry EntryAt(uint64_t lba, size_t slot) { return DecodeEntry(SectorSpan(lba), slot); }
  // The four entries of the table at `lba` as type:relative+size ("*" in front of an active
  // one): "0c:2048+8192 06:12288+4096 05:20480+40960 00:0+0".
  std::string Table(uint64_t lba) {
    std::string out;
    for (size_t slot = 0; slot < 4; ++slot) {
      const TPartitionEntry e = EntryAt(lba, slot);
      char type[4];
      std::snprintf(type, sizeof type, "%02x", e.SystemId);
      out += std::string(slot ? " " : "") + (e.BootIndicator ? "*" : "") + type + ':' + std::to_string(e.RelativeSector) +
             '+' + std::to_string(e.TotalSectors);
    }
    return out;
  }
  void Sign(uint64_t lba) {
    (*data)[lba * 512 + 510] = 0x55;
    (*data)[lba * 512 + 511] = 0xAA;
  }

  std::shared_ptr<std::vector<uint8_t>> data;
  std::shared_ptr<FaultSource::State> faults;
  std::unique_ptr<TPhysicalDrv> drive;

 private:
  TPartition* Adopt(TPartition& parent, std::unique_ptr<TPartition> r) {
    r->Parent = &parent;
    TPartition* added = drive->AdoptRecord(std::move(r));
    parent.Children.push_back(added);
    SortByStart(parent.Children);
    SortByStart(drive->AllPartitions);
    return added;
  }
};

}  // namespace qm::test
