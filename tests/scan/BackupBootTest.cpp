// Backup boot sectors placed by hand: where their volume starts, and what confirms a FAT32
// volume behind a boot sector.
#include "scan/BackupBoot.h"

#include <gtest/gtest.h>

#include "scan/ScanHelpers.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

TEST(BackupVolumeStart, CountsBackFromTheCopyByItsOwnFields) {
  const struct {
    uint8_t kind;
    uint64_t total;
    uint16_t backupAt;  // FAT32's field; NTFS counts back by its total
    uint64_t lba;
    std::optional<uint64_t> start;
  } cases[] = {
      {fkFat32, 5000, 6, 106, 100},      {fkFat32, 5000, 6, 6, 0},
      {fkFat32, 5000, 6, 5, {}},         // it would start before the disk
      {fkFat32, 5000, 0, 106, {}},       // no backup named
      {fkFat32, 5000, 0xFFFF, 106, {}},  // "none"
      {fkNtfs, 999, 0, 1099, 100},       {fkNtfs, 0, 0, 1099, {}},
      {fkFat16, 5000, 6, 106, {}},       // FAT16 keeps no backup
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> disk(512);
    PutBootSector(disk, 0, c.kind, c.total, 1);
    if (c.kind == fkFat32) StoreLE<uint16_t>(disk.data() + 0x32, c.backupAt);
    const std::span<const uint8_t, 512> boot(disk.data(), 512);
    EXPECT_EQ(BackupVolumeStart(boot, c.kind, c.lba), c.start) << int{c.kind} << " at " << c.lba;
  }
}

TEST(FileSystemConfirmedAt, Fat32NeedsItsMediaDescriptorAtTheStartOfTheFirstFat) {
  DriveRegistryScope registry;
  auto memory = std::make_unique<MemorySource>(size_t{4096} * 512);
  std::vector<uint8_t>& disk = *memory->data;
  auto drive = BareDrive(registry.Attach(std::move(memory)));
  PutBootSector(disk, 100, fkFat32, 3000, 1);
  const std::span<const uint8_t, 512> boot(disk.data() + 100 * 512, 512);
  // Reserved sectors (0x0E), media descriptor (0x15), and the FAT's entry 0 behind them.
  const struct {
    uint16_t reserved;
    uint8_t media, entry0;
    bool confirmed;
  } cases[] = {{32, 0xF8, 0xF8, true}, {32, 0xF8, 0xF0, false}, {32, 0x00, 0x00, false}, {0, 0xF8, 0xF8, false}};
  for (const auto& c : cases) {
    StoreLE<uint16_t>(disk.data() + 100 * 512 + 0x0E, c.reserved);
    disk[100 * 512 + 0x15] = c.media;
    StoreLE<uint32_t>(disk.data() + (100 + c.reserved) * 512, 0x0FFFFF00u | c.entry0);
    EXPECT_EQ(FileSystemConfirmedAt(*drive, boot, fkFat32, 100), c.confirmed) << c.reserved << " " << int{c.media};
    StoreLE<uint32_t>(disk.data() + 132 * 512, 0);
  }
}

}  // namespace
}  // namespace qm::test
