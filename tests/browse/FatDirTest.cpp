// The FAT root directory reader on hand-made volumes: what no tool makes (damaged boot
// sectors, looping or runaway chains, long names out of order or with a foreign checksum,
// odd sector sizes). Every read must stay inside the partition, whose surroundings are filled
// with entries that would show if it did not.
#include <gtest/gtest.h>

#include <set>

#include "browse/FatDir.h"
#include "model/FsDetect.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr uint64_t kPartStart = 64;       // sectors
constexpr uint32_t kPartSectors = 8192;   // 4 MiB
constexpr size_t kDiskBytes = (kPartStart + kPartSectors + 64) * 512;

TRawDirEntry Short(const char* name11, uint8_t attributes, uint32_t size, uint32_t cluster, uint8_t caseFlags = 0) {
  TRawDirEntry e{};
  std::copy_n(name11, 11, e.begin());
  e[11] = attributes;
  e[12] = caseFlags;
  StoreLE<uint16_t>(&e[20], static_cast<uint16_t>(cluster >> 16));
  StoreLE<uint16_t>(&e[26], static_cast<uint16_t>(cluster));
  StoreLE<uint32_t>(&e[28], size);
  return e;
}

// One long-name part holding up to 13 characters of `text` from `part` × 13 on.
TRawDirEntry LongPart(const std::u16string& text, int part, uint8_t sequence, uint8_t checksum) {
  TRawDirEntry e{};
  e[0] = sequence;
  e[11] = kAttrLongName;
  e[13] = checksum;
  const size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) {
    const size_t at = static_cast<size_t>(part) * 13 + i;
    const uint16_t c = at < text.size() ? text[at] : at == text.size() ? 0 : 0xFFFF;
    StoreLE<uint16_t>(&e[offsets[i]], c);
  }
  return e;
}

// The parts of a long name in disk order (last part first), numbered and summed for `owner`.
std::vector<TRawDirEntry> LongName(const std::u16string& text, const TRawDirEntry& owner) {
  const int parts = static_cast<int>((text.size() + 12) / 13);
  std::vector<TRawDirEntry> out;
  for (int p = parts - 1; p >= 0; --p)
    out.push_back(LongPart(text, p, static_cast<uint8_t>((p + 1) | (p == parts - 1 ? 0x40 : 0)), ShortNameChecksum(owner)));
  return out;
}

// A FAT16 or FAT32 volume in memory, inside a disk whose other sectors are full of entries
// named OUTSIDE.
struct HandFat {
  uint8_t kind = fkFat16;
  uint16_t bytesPerSector = 512;
  uint8_t sectorsPerCluster = 1;
  uint16_t reserved = 1;
  uint8_t fats = 2;
  uint16_t rootEntries = 64;
  uint32_t sectorsPerFat = 32;
  uint32_t rootCluster = 2;
  std::vector<uint8_t> disk = std::vector<uint8_t>(kDiskBytes);

  HandFat() {
    const TRawDirEntry outside = Short("OUTSIDE TXT", 0x20, 5, 3);
    for (size_t at = 0; at + 32 <= disk.size(); at += 32) std::copy(outside.begin(), outside.end(), disk.begin() + static_cast<ptrdiff_t>(at));
    std::fill(disk.begin() + kPartStart * 512, disk.begin() + (kPartStart + kPartSectors) * 512, 0);
  }
  static HandFat Fat32() {
    HandFat f;
    f.kind = fkFat32;
    f.reserved = 32;
    f.sectorsPerFat = 64;
    return f;
  }
  uint64_t Byte(uint64_t volumeSector) const { return kPartStart * 512 + volumeSector * bytesPerSector; }
  uint64_t RootByte() const { return Byte(reserved + uint64_t{fats} * sectorsPerFat); }
  uint64_t ClusterByte(uint32_t c) const {
    return Byte(reserved + uint64_t{fats} * sectorsPerFat + uint64_t{c - 2} * sectorsPerCluster);
  }
  void SetFat(uint32_t cluster, uint32_t value) { StoreLE<uint32_t>(&disk[Byte(reserved) + cluster * 4u], value); }
  // Entries in order from the start of the FAT12/16 root or of a FAT32 cluster.
  void Put(uint64_t byte, const std::vector<TRawDirEntry>& entries) {
    for (const TRawDirEntry& e : entries) {
      if (byte + 32 > disk.size()) return;  // a damaged layout may place the root past the disk
      std::copy(e.begin(), e.end(), disk.begin() + static_cast<ptrdiff_t>(byte));
      byte += 32;
    }
  }
  void PutRoot(const std::vector<TRawDirEntry>& entries) { Put(kind == fkFat32 ? ClusterByte(rootCluster) : RootByte(), entries); }

  TPartition Partition() const {
    TPartition p;
    p.FsKind = kind;
    p.Entry.SystemId = kind == fkFat32 ? 0x0C : 0x06;
    p.Entry.RelativeSector = kPartStart;
    p.Entry.TotalSectors = kPartSectors;
    uint8_t* b = p.BootSector.data();
    StoreLE<uint16_t>(b + 0x0B, bytesPerSector);
    b[0x0D] = sectorsPerCluster;
    StoreLE<uint16_t>(b + 0x0E, reserved);
    b[0x10] = fats;
    StoreLE<uint16_t>(b + 0x11, kind == fkFat32 ? 0 : rootEntries);
    StoreLE<uint32_t>(b + 0x20, static_cast<uint32_t>(uint64_t{kPartSectors} * 512 / std::max<uint16_t>(bytesPerSector, 1)));
    if (kind == fkFat32) {
      StoreLE<uint32_t>(b + 0x24, sectorsPerFat);
      StoreLE<uint32_t>(b + 0x2C, rootCluster);
    } else {
      StoreLE<uint16_t>(b + 0x16, static_cast<uint16_t>(sectorsPerFat));
    }
    return p;
  }
};

struct Listing {
  bool result = false;
  std::vector<std::string> names;  // display names in list order, deleted ones marked "-"
  std::string label;
  bool labelResult = false;
  std::vector<std::string> captions;
  bool readOutside = false;
};

Listing Walk(const HandFat& fat, const TPartition& partition) {
  DriveRegistryScope registry;
  ScriptedHost host;
  auto memory = std::make_unique<MemorySource>(fat.disk.size());
  *memory->data = fat.disk;
  auto faults = std::make_unique<FaultSource>(std::move(memory));
  auto state = faults->state;
  auto drive = BareDrive(registry.Attach(std::move(faults)));
  Listing out;
  TMidEntryList list;
  out.result = EnumDir(*drive, partition, &list, nullptr);
  SortMidEntries(list);
  for (const auto& m : list) {
    const std::string ext = EntryExtension(m->RawEntry);
    std::string name = !m->LongName.empty() ? m->LongName : EntryBaseName(m->RawEntry) + (ext.empty() ? "" : "." + ext);
    out.names.push_back((m->Deleted ? "-" : "") + name);
  }
  out.labelResult = EnumDir(*drive, partition, nullptr, &out.label);
  out.captions = host.Captions();
  for (uint64_t offset : state->readOffsets)
    if (offset < kPartStart * 512 || offset >= (kPartStart + kPartSectors) * 512) out.readOutside = true;
  return out;
}
Listing Walk(const HandFat& fat) { return Walk(fat, fat.Partition()); }

using Names = std::vector<std::string>;

// Boot sectors that describe no readable volume: a clean false, no message, no read outside.
TEST(FatDir, DamagedBootSectorsGiveACleanFalse) {
  const struct {
    const char* name;
    void (*damage)(HandFat&);
  } cases[] = {
      {"sector size 16", [](HandFat& f) { f.bytesPerSector = 16; }},
      {"sector size 0", [](HandFat& f) { f.bytesPerSector = 0; }},
      {"sector size 500", [](HandFat& f) { f.bytesPerSector = 500; }},
      {"no sectors per cluster", [](HandFat& f) { f.sectorsPerCluster = 0; }},
      {"no FATs", [](HandFat& f) { f.fats = 0; }},
      {"no root entries", [](HandFat& f) { f.rootEntries = 0; }},
      {"root larger than the partition", [](HandFat& f) { f.rootEntries = 0xFFFF; f.reserved = 7000; }},
      {"root beyond the partition", [](HandFat& f) { f.reserved = 0xFFFF; }},
      {"FAT32 root cluster 0", [](HandFat& f) { f = HandFat::Fat32(); f.rootCluster = 0; }},
      {"FAT32 root cluster 1", [](HandFat& f) { f = HandFat::Fat32(); f.rootCluster = 1; }},
      {"FAT32 root cluster past the volume", [](HandFat& f) { f = HandFat::Fat32(); f.rootCluster = 9000; }},
      {"FAT32 root cluster past the FAT", [](HandFat& f) { f = HandFat::Fat32(); f.sectorsPerFat = 1; f.rootCluster = 200; }},
      {"FAT32 without a FAT", [](HandFat& f) { f = HandFat::Fat32(); f.sectorsPerFat = 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandFat fat;
    c.damage(fat);
    fat.PutRoot({Short("LABEL      ", kAttrVolumeLabel, 0, 0), Short("FILE    TXT", 0x20, 5, 3)});
    const Listing l = Walk(fat);
    EXPECT_FALSE(l.result);
    EXPECT_FALSE(l.labelResult);
    EXPECT_TRUE(l.names.empty());
    EXPECT_TRUE(l.captions.empty());
    EXPECT_FALSE(l.readOutside);
  }
}

// FAT32 root chains: how each FAT value ends or continues the chain, loops and runaways.
TEST(FatDir, Fat32ChainsEndAtMarksAndNeverRunAway) {
  const struct {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> fat;  // cluster -> value; the root is cluster 2
    bool chainResult;
    std::vector<uint32_t> chain;
  } cases[] = {
      {"free entry", {{2, 3}, {3, 0}}, true, {2, 3}},
      {"end mark F8", {{2, 3}, {3, 0x0FFFFFF8}}, true, {2, 3}},
      {"end mark FF", {{2, 3}, {3, 0x0FFFFFFF}}, true, {2, 3}},
      {"end mark all ones", {{2, 0xFFFFFFFF}}, true, {2}},
      {"reserved end mark FA", {{2, 3}, {3, 0x0FFFFFFA}}, true, {2, 3}},
      {"top bits ignored", {{2, 0xF0000003}, {3, 0x0FFFFFFF}}, true, {2, 3}},
      {"bad cluster", {{2, 3}, {3, 0x0FFFFFF7}}, false, {2, 3}},
      {"loop back", {{2, 3}, {3, 4}, {4, 2}}, false, {2, 3, 4}},
      {"points at itself", {{2, 2}}, false, {2}},
      {"past the volume", {{2, 3}, {3, 0x00FFFFF0}}, false, {2, 3}},
      {"reserved cluster 1", {{2, 1}}, false, {2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandFat fat = HandFat::Fat32();
    for (const auto& [cluster, value] : c.fat) fat.SetFat(cluster, value);
    for (uint32_t cluster : c.chain) {
      const std::string name = "C" + std::to_string(cluster) + "      TXT";
      fat.Put(fat.ClusterByte(cluster), {Short(name.c_str(), 0x20, 1, 100)});
    }
    DriveRegistryScope registry;
    ScriptedHost host;
    auto memory = std::make_unique<MemorySource>(fat.disk.size());
    *memory->data = fat.disk;
    auto drive = BareDrive(registry.Attach(std::move(memory)));
    const TPartition partition = fat.Partition();
    TFatLayout layout;
    ASSERT_TRUE(ReadFatLayout(partition, layout));
    std::vector<uint32_t> chain;
    EXPECT_EQ(GetClusNumChain(*drive, partition, layout, 2, chain), c.chainResult);
    EXPECT_EQ(chain, c.chain);
    // Every cluster of the chain is listed once, a looping one too.
    const Listing l = Walk(fat);
    EXPECT_TRUE(l.result);
    EXPECT_EQ(l.names.size(), c.chain.size());
    EXPECT_FALSE(l.readOutside);
  }
}

TEST(FatDir, Fat32ChainStopsAt512Clusters) {
  HandFat fat = HandFat::Fat32();
  for (uint32_t c = 2; c < 602; ++c) fat.SetFat(c, c + 1);
  fat.SetFat(602, 0x0FFFFFFF);
  fat.Put(fat.ClusterByte(513), {Short("LAST    TXT", 0x20, 1, 100)});
  fat.Put(fat.ClusterByte(514), {Short("BEYOND  TXT", 0x20, 1, 100)});
  const Listing l = Walk(fat);
  EXPECT_TRUE(l.result);
  EXPECT_EQ(l.names, (Names{"LAST.TXT"}));
  DriveRegistryScope registry;
  auto memory = std::make_unique<MemorySource>(fat.disk.size());
  *memory->data = fat.disk;
  auto drive = BareDrive(registry.Attach(std::move(memory)));
  TFatLayout layout;
  ASSERT_TRUE(ReadFatLayout(fat.Partition(), layout));
  std::vector<uint32_t> chain;
  EXPECT_FALSE(GetClusNumChain(*drive, fat.Partition(), layout, 2, chain));  // cut, not ended
  EXPECT_EQ(chain.size(), kMaxChainClusters);
}

// Which entries are listed, and under which name.
TEST(FatDir, ChoosesEntriesAndNames) {
  const TRawDirEntry readme = Short("README  TXT", 0x20, 10, 5);
  const TRawDirEntry other = Short("OTHER   TXT", 0x20, 10, 6);
  const TRawDirEntry ghost = Short("\xe5HOST   TXT", 0x20, 10, 7);
  const TRawDirEntry lostName = Short("LOSTNAMETXT", 0x20, 10, 8);
  std::vector<TRawDirEntry> longTwo = LongName(u"A name of two parts.txt", other);
  std::vector<TRawDirEntry> ghostName = LongName(u"Ghost Writer.txt", Short("GHOST   TXT", 0x20, 10, 7));
  for (auto& e : ghostName) e[0] = kDeletedMark;
  std::vector<TRawDirEntry> reversed = LongName(u"Parts in the wrong order.txt", lostName);
  std::swap(reversed[0], reversed[1]);
  const struct {
    const char* name;
    std::vector<TRawDirEntry> entries;
    Names expected;
  } cases[] = {
      {"case byte 0 on FAT16", {readme}, {"Readme.txt"}},
      {"case flags", {Short("LOWER   TXT", 0x20, 1, 5, 0x18), Short("UPPER   TXT", 0x20, 1, 6, 0x10)},
       {"lower.txt", "UPPER.txt"}},
      {"long name", {longTwo[0], longTwo[1], other}, {"A name of two parts.txt"}},
      {"long name of another short entry", {LongName(u"Not mine.txt", other)[0], readme}, {"Readme.txt"}},
      {"parts out of order", {reversed[0], reversed[1], lostName}, {"Lostname.txt"}},
      {"part missing", {longTwo[1], other}, {"Other.txt"}},
      {"two names, second afresh",
       {LongName(u"First.txt", readme)[0], LongName(u"Second.txt", other)[0], other}, {"Second.txt"}},
      {"deleted file keeps its long name", {ghostName[0], ghostName[1], ghost}, {"-Ghost Writer.txt"}},
      {"deleted without size", {Short("\xe5MPTY   TXT", 0x20, 0, 0)}, {}},
      {"deleted with size", {ghost}, {"-\xe5host.txt"}},
      {"directory", {Short("SUB        ", kAttrDirectory, 0, 9)}, {"Sub"}},
      {"directory with a size", {Short("SUB        ", kAttrDirectory, 10, 9)}, {}},
      {"file without a cluster", {Short("NOCLUS  TXT", 0x20, 10, 0)}, {}},
      {"empty file without a cluster", {Short("EMPTY   TXT", 0x20, 0, 0)}, {"Empty.txt"}},
      {"size all ones", {Short("HUGE    TXT", 0x20, 0xFFFFFFFF, 5)}, {}},
      {"dot entries", {Short(".          ", kAttrDirectory, 0, 2), Short("..         ", kAttrDirectory, 0, 0)}, {}},
      {"free entry with stale bytes", {Short("\0STALE  TXT", 0x20, 10, 5)}, {}},
      {"label", {Short("MY LABEL   ", kAttrVolumeLabel, 0, 0)}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandFat fat;
    fat.PutRoot(c.entries);
    const Listing l = Walk(fat);
    EXPECT_TRUE(l.result);
    EXPECT_EQ(l.names, c.expected);
    EXPECT_TRUE(l.captions.empty());
  }
}

TEST(FatDir, Fat32KeepsStoredCaseAndDropsTheRootItself) {
  HandFat fat = HandFat::Fat32();
  fat.SetFat(2, 0x0FFFFFFF);
  fat.PutRoot({Short("README  TXT", 0x20, 10, 5), Short("LOWER   TXT", 0x20, 10, 6, 0x08),
               Short("ROOTDIR    ", kAttrDirectory, 0, 2)});
  EXPECT_EQ(Walk(fat).names, (Names{"lower.txt", "README.TXT"}));
}

// The label: the first live label entry; long-name parts and deleted labels do not count.
TEST(FatDir, LabelModeFindsTheFirstLiveLabelEntry) {
  const TRawDirEntry label = Short("DATA DISK  ", kAttrVolumeLabel, 0, 0);
  const struct {
    const char* name;
    bool fat32;
    std::vector<TRawDirEntry> entries;
    bool found;
    const char* label;
  } cases[] = {
      {"after a long name", false, {LongName(u"Some file.txt", label)[0], label}, true, "DATA DISK"},
      {"deleted label first", false, {Short("\xe5OLD       ", kAttrVolumeLabel, 0, 0), label}, true, "DATA DISK"},
      {"no label", false, {Short("FILE    TXT", 0x20, 1, 5)}, true, ""},
      {"on FAT32", true, {Short("FILE    TXT", 0x20, 1, 5), label}, true, "DATA DISK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandFat fat = c.fat32 ? HandFat::Fat32() : HandFat();
    if (c.fat32) fat.SetFat(2, 0x0FFFFFFF);
    fat.PutRoot(c.entries);
    const Listing l = Walk(fat);
    EXPECT_EQ(l.labelResult, c.found);
    EXPECT_EQ(l.label, c.label);
  }
}

// Sector sizes other than 512 bytes, and a root whose entry count does not fill its last
// sector: the entries are found where the volume's own sectors put them.
TEST(FatDir, ReadsVolumesOfOtherSectorSizes) {
  for (uint16_t bps : {uint16_t{64}, uint16_t{1024}, uint16_t{4096}}) {
    SCOPED_TRACE(bps);
    for (bool fat32 : {false, true}) {
      HandFat fat = fat32 ? HandFat::Fat32() : HandFat();
      fat.bytesPerSector = bps;
      fat.sectorsPerFat = fat32 ? 8 : 4;
      fat.rootEntries = 40;
      if (fat32) fat.SetFat(2, 0x0FFFFFFF);
      fat.PutRoot({Short("FIRST   TXT", 0x20, 1, 5), Short("SECOND  TXT", 0x20, 1, 6)});
      const Names expected = fat32 ? Names{"FIRST.TXT", "SECOND.TXT"} : Names{"First.txt", "Second.txt"};
      EXPECT_EQ(Walk(fat).names, expected);
      EXPECT_FALSE(Walk(fat).readOutside);
    }
  }
  HandFat partial;
  partial.rootEntries = 20;  // 16 entries in the first sector, 4 in the second
  std::vector<TRawDirEntry> entries(20, TRawDirEntry{});
  entries[18] = Short("NINETEENTXT", 0x20, 1, 5);
  partial.PutRoot(entries);
  partial.Put(partial.RootByte() + 20 * 32, {Short("PASTEND TXT", 0x20, 1, 6)});
  EXPECT_EQ(Walk(partial).names, (Names{"Nineteen.txt"}));
}

TEST(FatDir, SortsByLowerCaseShortNameWithDeletedLast) {
  TMidEntry a, b, deleted, dot;
  a.RawEntry = Short("ZETA    TXT", 0x20, 1, 5);
  b.RawEntry = Short("alpha   TXT", 0x20, 1, 5);
  deleted.RawEntry = Short("\xe5" "AAA    TXT", 0x20, 1, 5);
  dot.RawEntry = Short("ALPHA      ", 0x20, 1, 5);
  EXPECT_GT(CompareMidEntries(a, b), 0);
  EXPECT_LT(CompareMidEntries(a, deleted), 0);
  EXPECT_LT(CompareMidEntries(dot, b), 0);  // "alpha" is a prefix of "alpha.TXT"
  EXPECT_EQ(CompareMidEntries(b, b), 0);
  b.DirCluster = 1;
  EXPECT_GT(CompareMidEntries(b, deleted), 0);
}

}  // namespace
}  // namespace qm::test

namespace qm::test {
namespace {

// The partition list's label: set only when the root has one, and a scan that reads labels
// of its finds keeps the drive busy afterwards.
TEST(FatDir, VolumeLabelKeepsTheOldTextAndTheDrivesBusyFlag) {
  for (bool hasLabel : {true, false}) {
    for (bool busy : {true, false}) {
      SCOPED_TRACE(std::to_string(hasLabel) + std::to_string(busy));
      HandFat fat;
      fat.PutRoot({Short("FILE    TXT", 0x20, 1, 5)});
      if (hasLabel) fat.PutRoot({Short("NEW LABEL  ", kAttrVolumeLabel, 0, 0)});
      DriveRegistryScope registry;
      ScriptedHost host;
      auto memory = std::make_unique<MemorySource>(fat.disk.size());
      *memory->data = fat.disk;
      auto drive = BareDrive(registry.Attach(std::move(memory)));
      drive->Scanning = busy;
      TPartition partition = fat.Partition();
      partition.VolumeLabel = "OLD";
      InstallFatLabelReader();
      EXPECT_TRUE(ReadVolumeLabel(*drive, partition));
      SetFatLabelReader(nullptr);
      EXPECT_EQ(partition.VolumeLabel, hasLabel ? "NEW LABEL" : "OLD");
      EXPECT_EQ(drive->Scanning, busy);
    }
  }
}

}  // namespace
}  // namespace qm::test

namespace qm::test {
namespace {

// A directory sector that cannot be read ends the walk with false; what was listed before it
// stays listed.
TEST(FatDir, FailedDirectoryReadEndsTheWalk) {
  HandFat fat = HandFat::Fat32();
  fat.SetFat(2, 3);
  fat.SetFat(3, 0x0FFFFFFF);
  fat.Put(fat.ClusterByte(2), {Short("FIRST   TXT", 0x20, 1, 5)});
  fat.Put(fat.ClusterByte(3), {Short("SECOND  TXT", 0x20, 1, 6)});
  DriveRegistryScope registry;
  ScriptedHost host;  // answers the read error's question with Abort
  auto memory = std::make_unique<MemorySource>(fat.disk.size());
  *memory->data = fat.disk;
  auto faults = std::make_unique<FaultSource>(std::move(memory));
  faults->state->readFaults[fat.ClusterByte(3)] = Fault{FaultKind::Error, EIO, -1};
  auto drive = BareDrive(registry.Attach(std::move(faults)));
  TMidEntryList list;
  EXPECT_FALSE(EnumDir(*drive, fat.Partition(), &list, nullptr));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(EntryBaseName(list[0]->RawEntry), "FIRST");
}

}  // namespace
}  // namespace qm::test
