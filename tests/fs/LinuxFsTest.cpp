// The superblock readers on volumes made by the real tools (mkfs.ext2/3/4, mkfs.exfat,
// mkfs.btrfs, mkfs.xfs, mkswap), compared with what the tools themselves read back: where the
// hints fire across the whole image (backup superblocks and mirrors included), the kind, the
// size, the report (the identity, label and kind name: CliLinuxVolumes). Then the same volumes damaged on purpose, and an
// exFAT volume of 4096-byte sectors, which no tool here makes on a plain file, by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "disk/Bytes.h"
#include "fs/FsKind.h"
#include "fs/LinuxFs.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr uint64_t kLead = 2048;  // the volume begins 1 MiB into the disk

// A volume (or the image file that holds one) as a disk in memory on which the volume begins
// `kLead` blocks in, behind blocks that hold 0xF6.
struct ImageDisk : MemorySectors {
  explicit ImageDisk(const std::vector<uint8_t>& volume) : MemorySectors(kLead * 512) {
    std::fill(data.begin(), data.end(), uint8_t{0xF6});
    data.insert(data.end(), volume.begin(), volume.end());
  }
  explicit ImageDisk(const std::string& image) : ImageDisk(ReadFileBytes(image, 0, std::filesystem::file_size(image))) {}
  uint64_t Blocks() const { return data.size() / 512; }
};

// A hint as it fires on one block.
struct HintAt {
  uint64_t block, before;
  bool copy;
  bool operator==(const HintAt&) const = default;
};
void PrintTo(const HintAt& h, std::ostream* os) {
  *os << h.block << (h.copy ? " copy" : "") << " of the volume " << h.before << " blocks before";
}

// Every hint the blocks of the volume give, in block order.
std::vector<HintAt> HintsOf(const ImageDisk& disk) {
  std::vector<HintAt> hints;
  for (uint64_t b = kLead; b < disk.Blocks(); ++b)
    if (auto h = SuperblockHint(std::span<const uint8_t, 512>(disk.data.data() + b * 512, 512)))
      hints.push_back({b - kLead, h->BlocksBefore, h->Copy});
  return hints;
}

// The first number after `key` in a tool's output; 0 when `key` is not there.
uint64_t NumberAfter(const std::string& text, const std::string& key, size_t from = 0) {
  const size_t at = text.find(key, from);
  if (at == std::string::npos) return 0;
  const size_t digits = text.find_first_of("0123456789", at + key.size());
  return digits == std::string::npos ? 0 : std::stoull(text.substr(digits));
}

std::string ToolOutput(const std::string& command) {
  std::string out;
  EXPECT_EQ(RunCommand(kToolPath + command + " 2>/dev/null", &out), 0) << command;
  return out;
}

struct ToolCase {
  const char* name;
  uint8_t kind;
  const char* size;
  const char* tool;     // the program that makes the volume
  const char* options;  // its options; the image's path follows
  const char* check;    // the report's second line
};

// ext2 and ext3 of 1 KiB blocks (the first group starts at block 1), ext4 of 4 KiB blocks
// (at block 0); btrfs large enough for its mirror at 64 MiB, once summed by xxhash.
const ToolCase kTools[] = {
    {"ext2", fkExt2, "64M", "mkfs.ext2", "-q -F -b 1024 -L ext2-label", "Group Descriptors: OK"},
    {"ext3", fkExt3, "64M", "mkfs.ext3", "-q -F -b 1024 -L ext3-label", "Group Descriptors: OK"},
    {"ext4", fkExt4, "300M", "mkfs.ext4", "-q -F -b 4096 -L ext4-label", "Group Descriptors: OK"},
    {"exfat", fkExfat, "64M", "mkfs.exfat", "-L EXFATLABEL", "Boot Checksum: OK"},
    {"btrfs", fkBtrfs, "300M", "mkfs.btrfs", "-q -L btrfs-label", "Superblock Checksum: OK"},
    {"btrfs_xxhash", fkBtrfs, "300M", "mkfs.btrfs", "-q --csum xxhash -L btrfs-label", "Superblock Checksum: Not checked"},
    {"xfs", fkXfs, "300M", "mkfs.xfs", "-q -L xfs-label", "Allocation Groups: OK"},
    {"swap", fkSwap, "65540K", "mkswap", "-L swap-label", "Swap Header: OK"},
};

const ToolCase& ToolNamed(const std::string& name) {
  return *std::find_if(std::begin(kTools), std::end(kTools), [&](const ToolCase& c) { return c.name == name; });
}

// A volume as its own tools read it back.
struct ToolView {
  uint64_t blocks = 0;
  std::vector<HintAt> hints;  // where each superblock or boot sector copy lies
};

ToolView Observe(uint8_t kind, const std::string& image) {
  ToolView view;
  const std::string path = ShellQuote(image);
  switch (kind) {
    case fkExt2:
    case fkExt3:
    case fkExt4: {
      const std::string groups = ToolOutput("dumpe2fs " + path);
      const uint64_t blockBytes = NumberAfter(groups, "Block size:");
      view.blocks = NumberAfter(groups, "Block count:") * blockBytes / 512;
      view.hints.push_back({2, 2, false});
      for (size_t at = groups.find("Backup superblock at"); at != std::string::npos;
           at = groups.find("Backup superblock at", at + 1)) {
        const uint64_t block = NumberAfter(groups, "Backup superblock at", at) * blockBytes / 512;
        view.hints.push_back({block, block, true});
      }
      break;
    }
    case fkExfat: {
      const std::string boot = ToolOutput("dump.exfat " + path);
      const uint64_t sectorBytes = uint64_t{1} << NumberAfter(boot, "Sector Size Bits:");
      view.blocks = NumberAfter(boot, "Volume Length(sectors):") * sectorBytes / 512;
      view.hints = {{0, 0, false}, {12 * sectorBytes / 512, 0, false}};
      break;
    }
    case fkBtrfs: {
      const std::string supers = ToolOutput("btrfs inspect-internal dump-super -a " + path);
      view.blocks = NumberAfter(supers, "dev_item.total_bytes") / 512;
      for (size_t at = supers.find("superblock: bytenr="); at != std::string::npos;
           at = supers.find("superblock: bytenr=", at + 1)) {
        const uint64_t byte = NumberAfter(supers, "superblock: bytenr=", at);
        view.hints.push_back({byte / 512, byte / 512, byte != 65536});
      }
      break;
    }
    case fkXfs: {
      const std::string sb = ToolOutput("xfs_db -r -c 'sb 0' -c 'p dblocks blocksize agcount agblocks' " + path);
      const uint64_t blockSize = NumberAfter(sb, "blocksize =");
      view.blocks = NumberAfter(sb, "dblocks =") * blockSize / 512;
      for (uint64_t ag = 0; ag < NumberAfter(sb, "agcount ="); ++ag)
        view.hints.push_back({ag * NumberAfter(sb, "agblocks =") * blockSize / 512, 0, false});
      break;
    }
    case fkSwap:
      // file(1) gives the header's last page as "size N pages".
      view.blocks = (NumberAfter(ToolOutput("file -s " + path), "size ") + 1) * 8;
      view.hints = {{7, 7, false}};
      break;
  }
  return view;
}

// Makes the volume of `c` on an image file of its own.
std::string MakeVolume(const ToolCase& c, const std::string& name) {
  if (!HaveTools({c.tool, "dumpe2fs", "dump.exfat", "btrfs", "xfs_db", "file"})) return "";
  const std::string image = FreshPath(name);
  std::string log;
  const int rc = RunCommand("truncate -s " + std::string(c.size) + " " + ShellQuote(image) + " && " + kToolPath + c.tool +
                                " " + c.options + " " + ShellQuote(image) + " 2>&1",
                            &log);
  EXPECT_EQ(rc, 0) << log;
  return rc == 0 ? image : "";
}

// A volume as its tool made it, or damaged on purpose.
struct Case {
  const char* name;
  const char* tool;  // the row of kTools that makes the volume
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> patches = {};  // bytes of the volume replaced in memory
  bool shortDisk = false;              // the disk ends one block before the volume does
  std::optional<Lba> unreadable = {};  // a block of the volume that cannot be read
  bool found = true;                   // the volume is still read
  std::optional<bool> hintCopy = false;  // the hint at the primary superblock's block: none, primary or copy
  const char* report = nullptr;        // none for an intact volume: "Superblock: OK" and the tool's check
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LinuxFsOnImages : public ::testing::TestWithParam<Case> {};

TEST_P(LinuxFsOnImages, ReadAsItsToolsReadItOrRefusedWhenDamaged) {
  const Case& c = GetParam();
  const ToolCase& tool = ToolNamed(c.tool);
  const std::string image = MakeVolume(tool, std::string(c.name) + ".img");
  if (image.empty()) return;
  const ToolView view = Observe(tool.kind, image);
  ImageDisk disk(image);
  for (const auto& [at, bytes] : c.patches) std::copy(bytes.begin(), bytes.end(), disk.data.begin() + kLead * 512 + at);
  if (c.unreadable) disk.failAt = kLead + *c.unreadable;
  const uint64_t diskBlocks = c.shortDisk ? kLead + view.blocks - 1 : disk.Blocks();

  std::array<uint8_t, 512> block{};
  ASSERT_TRUE(disk.Read(kLead + view.hints.front().block, 1, block.data()));
  const auto hint = SuperblockHint(block);
  EXPECT_EQ(hint ? std::optional<bool>(hint->Copy) : std::nullopt, c.hintCopy);
  const auto v = ReadSuperblockVolume(disk, kLead, diskBlocks);
  EXPECT_EQ(v.has_value(), c.found);
  EXPECT_EQ(SuperblockReport(disk, kLead, diskBlocks), c.report ? c.report : "Superblock: OK\r" + std::string(tool.check));
  if (c.report || !v) return;
  // Intact: each copy of the superblock (or boot sector) fires, pointing at the volume's start
  // when its fields tell it; no other block of the volume does. Where no volume begins there is
  // none, and the report has nothing but the first line.
  EXPECT_EQ(HintsOf(disk), view.hints);
  EXPECT_EQ(v->Kind, tool.kind);
  EXPECT_EQ(v->Blocks, view.blocks);
  EXPECT_FALSE(ReadSuperblockVolume(disk, kLead - 1, disk.Blocks()));
  EXPECT_EQ(SuperblockReport(disk, kLead + 1, disk.Blocks()), "Superblock: Invalid");
}

using B = std::vector<uint8_t>;
const Case kCases[] = {
    {"ext2", "ext2"}, {"ext3", "ext3"}, {"ext4", "ext4"}, {"exfat", "exfat"}, {"btrfs", "btrfs"},
    {"btrfs_xxhash", "btrfs_xxhash"}, {"xfs", "xfs"}, {"swap", "swap"},
    {"ext2_magic", "ext2", {{1080, B{0x53, 0xEE}}}, false, {}, false, {}, "Superblock: Invalid"},
    {"ext4_group_1_at_the_start", "ext4", {{1114, B{1}}}, false, {}, false, true,
     "Superblock: Invalid\rGroup Descriptors: OK"},
    {"ext4_blocks_of_128k", "ext4", {{1048, B{7}}}, false, {}, false, {}, "Superblock: Invalid\rGroup Descriptors: Invalid"},
    {"ext4_past_disk_end", "ext4", {}, true, {}, false, false, "Superblock: Invalid\rGroup Descriptors: OK"},
    // Descriptor 0 in block 1: its inode table moved past the end.
    {"ext4_inode_table_outside", "ext4", {{4104, B{0xF0, 0xFF, 0xFF, 0xFF}}}, false, {}, true, false,
     "Superblock: OK\rGroup Descriptors: Invalid"},
    // Blocks of 1 KiB: the descriptors follow the superblock's block, at byte 2048.
    {"ext3_descriptors_unreadable", "ext3", {}, false, 4, true, false, "Superblock: OK\rGroup Descriptors: Invalid"},
    {"exfat_partition_offset", "exfat", {{64, B{1}}}, false, {}, false, false, "Superblock: Invalid\rBoot Checksum: Invalid"},
    // The volume's flags and its percentage in use change without a new checksum.
    {"exfat_dirty_and_in_use", "exfat", {{106, B{2}}, {112, B{40}}}, false, {}, true, false,
     "Superblock: OK\rBoot Checksum: OK"},
    {"exfat_checksum_unreadable", "exfat", {}, false, 11, false, false, "Superblock: Invalid\rBoot Checksum: Invalid"},
    {"exfat_past_disk_end", "exfat", {}, true, {}, false, false, "Superblock: Invalid\rBoot Checksum: OK"},
    {"btrfs_label_changed", "btrfs", {{65536 + 0x12B, B{'X'}}}, false, {}, false, false,
     "Superblock: Invalid\rSuperblock Checksum: Invalid"},
    {"btrfs_own_offset", "btrfs", {{65536 + 0x30, B{0, 0, 2}}}, false, {}, false, {},
     "Superblock: Invalid\rSuperblock Checksum: Invalid"},
    {"btrfs_past_disk_end", "btrfs", {}, true, {}, false, false, "Superblock: Invalid\rSuperblock Checksum: OK"},
    {"xfs_magic", "xfs", {{3, B{'C'}}}, false, {}, false, {}, "Superblock: Invalid"},
    {"xfs_one_group", "xfs", {{88, B{0, 0, 0, 1}}}, false, {}, false, false, "Superblock: Invalid\rAllocation Groups: Invalid"},
    {"xfs_block_size", "xfs", {{4, B{0, 0, 0x10, 0x01}}}, false, {}, false, {}, "Superblock: Invalid\rAllocation Groups: OK"},
    {"xfs_past_disk_end", "xfs", {}, true, {}, false, false, "Superblock: Invalid\rAllocation Groups: OK"},
    {"swap_version_2", "swap", {{1024, B{2}}}, false, {}, false, false, "Superblock: Invalid\rSwap Header: Invalid"},
    {"swap_magic", "swap", {{4095, B{'3'}}}, false, {}, false, {}, "Superblock: Invalid"},
    {"swap_bad_page_outside", "swap", {{1032, B{1}}, {1536, B{0xFF, 0xFF, 0xFF, 0x7F}}}, false, {}, true, false,
     "Superblock: OK\rSwap Header: Invalid"},
    {"swap_past_disk_end", "swap", {}, true, {}, false, false, "Superblock: Invalid\rSwap Header: OK"},
};

INSTANTIATE_TEST_SUITE_P(Tools, LinuxFsOnImages, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// exFAT of 4096-byte sectors: its boot region spans 96 blocks, its backup begins at block 96,
// its size counts 4096-byte sectors.
TEST(LinuxFsExfatOnImages, Of4096ByteSectors) {
  constexpr uint32_t kSector = 4096, kVolumeSectors = 256, kFat = 24, kHeap = 32, kRoot = 4;
  std::vector<uint8_t> volume(size_t{kVolumeSectors} * kSector);
  uint8_t* boot = volume.data();
  boot[0] = 0xEB, boot[1] = 0x76, boot[2] = 0x90;
  std::memcpy(boot + 3, "EXFAT   ", 8);
  StoreLE<uint64_t>(boot + 72, kVolumeSectors);
  for (const auto& [at, value] : std::initializer_list<std::pair<size_t, uint32_t>>{
           {80, kFat}, {84, 1}, {88, kHeap}, {92, kVolumeSectors - kHeap}, {96, kRoot}, {100, 0x1234ABCD}})
    StoreLE<uint32_t>(boot + at, value);
  StoreLE<uint16_t>(boot + 104, 0x0100);
  boot[108] = 12, boot[109] = 0, boot[110] = 1, boot[111] = 0x80;
  boot[510] = 0x55, boot[511] = 0xAA;
  uint32_t sum = 0;
  for (size_t i = 0; i < 11 * kSector; ++i)
    if (i != 106 && i != 107 && i != 112) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + volume[i];
  for (size_t at = 11 * kSector; at < 12 * kSector; at += 4) StoreLE<uint32_t>(&volume[at], sum);
  std::copy_n(volume.begin(), 12 * kSector, volume.begin() + 12 * kSector);
  // The FAT ends the root directory's chain at its first cluster; its first entry is the label.
  StoreLE<uint32_t>(&volume[kFat * kSector], 0xFFFFFFF8);
  StoreLE<uint32_t>(&volume[kFat * kSector + 4], 0xFFFFFFFF);
  StoreLE<uint32_t>(&volume[kFat * kSector + 4 * kRoot], 0xFFFFFFFF);
  uint8_t* label = &volume[(kHeap + kRoot - 2) * kSector];
  label[0] = 0x83, label[1] = 5;
  const char16_t name[] = u"Hände";
  for (size_t i = 0; i < 5; ++i) StoreLE<uint16_t>(label + 2 + 2 * i, name[i]);

  ImageDisk disk(volume);
  EXPECT_EQ(HintsOf(disk), (std::vector<HintAt>{{0, 0, false}, {96, 0, false}}));
  const auto v = ReadSuperblockVolume(disk, kLead, disk.Blocks());
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Kind, fkExfat);
  EXPECT_EQ(v->Blocks, uint64_t{kVolumeSectors} * 8);
  EXPECT_EQ(LoadLE<uint32_t>(v->Identity.data()), 0x1234ABCDu);
  EXPECT_EQ(v->Label, "H\xC3\xA4nde");
  EXPECT_EQ(SuperblockReport(disk, kLead, disk.Blocks()), "Superblock: OK\rBoot Checksum: OK");
  // The checksum sector is the 12th 4096-byte sector, at block 88.
  disk.failAt = kLead + 88;
  EXPECT_FALSE(ReadSuperblockVolume(disk, kLead, disk.Blocks()));
}

}  // namespace
}  // namespace qm::test
