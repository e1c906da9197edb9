// FAT layouts, cluster chains, labels and the root listing on hand-made volumes, as no tool
// makes them: damaged boot sectors, looping or runaway chains, long names out of order or with
// a foreign checksum, unreadable sectors. Every read stays inside the partition, whose
// surroundings are full of entries that would show if it did not.
#include <gtest/gtest.h>

#include <optional>

#include "browse/FatDir.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr uint64_t kPartStart = 64;      // sectors
constexpr uint32_t kPartSectors = 8192;  // 4 MiB
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

// The parts of a long name in disk order (last part first), numbered and summed for `owner`,
// 13 characters each, the last one ended by a zero and filled with 0xFFFF.
std::vector<TRawDirEntry> LongName(const std::u16string& text, const TRawDirEntry& owner) {
  const size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const int parts = static_cast<int>((text.size() + 12) / 13);
  std::vector<TRawDirEntry> out;
  for (int p = parts - 1; p >= 0; --p) {
    TRawDirEntry& e = out.emplace_back();
    e[0] = static_cast<uint8_t>((p + 1) | (p == parts - 1 ? 0x40 : 0));
    e[11] = kAttrLongName;
    e[13] = ShortNameChecksum(owner);
    for (size_t i = 0, at = static_cast<size_t>(p) * 13; i < 13; ++i, ++at)
      StoreLE<uint16_t>(&e[offsets[i]], at < text.size() ? text[at] : at == text.size() ? 0 : 0xFFFF);
  }
  return out;
}

// A FAT16 or FAT32 volume in memory, inside a disk whose other sectors are full of entries
// named OUTSIDE.
struct HandFat {
  uint8_t kind;
  uint16_t bytesPerSector = 512;
  uint8_t sectorsPerCluster = 1;
  uint16_t reserved;
  uint8_t fats = 2;
  uint16_t rootEntries = 64;
  uint32_t sectorsPerFat;
  uint32_t rootCluster = 2;
  std::vector<uint8_t> disk = std::vector<uint8_t>(kDiskBytes);

  explicit HandFat(uint8_t fatKind = fkFat16)
      : kind(fatKind), reserved(fatKind == fkFat32 ? 32 : 1), sectorsPerFat(fatKind == fkFat32 ? 64 : 32) {
    const TRawDirEntry outside = Short("OUTSIDE TXT", 0x20, 5, 3);
    for (size_t at = 0; at + 32 <= disk.size(); at += 32) std::copy(outside.begin(), outside.end(), disk.begin() + static_cast<ptrdiff_t>(at));
    std::fill(disk.begin() + kPartStart * 512, disk.begin() + (kPartStart + kPartSectors) * 512, 0);
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

  std::array<uint8_t, 512> BootSector() const {
    std::array<uint8_t, 512> boot{};
    uint8_t* b = boot.data();
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
    return boot;
  }
};

struct Listing {
  bool layout = false;             // the boot sector describes a readable volume
  std::string failed;              // the listing's failure, "caption: text"
  std::string note;                // what a listing that is done tells the user, "caption: text"
  std::vector<std::string> names;  // display names in list order, deleted ones marked "-"
  std::string label;
  bool readOutside = false;
  TClusterChain chain;  // a FAT32 root's cluster chain (the root is cluster 2)
};

// Lists the root of `fat`, from a disk that notes where it was read.
Listing Walk(const HandFat& fat, std::optional<Lba> failAt = {}) {
  MemorySectors disk(0);
  disk.data = fat.disk;
  disk.failAt = failAt;
  const std::array<uint8_t, 512> boot = fat.BootSector();
  const TFsVolume volume = MakeVolume(disk, kPartStart, kPartSectors, fat.disk.size() / 512, boot, fat.kind);
  Listing out;
  TFatLayout layout;
  out.layout = ReadFatLayout(volume, layout);
  if (!out.layout) return out;
  TMidEntryList list;
  const Outcome listed = EnumDir(volume, layout, list);
  if (!listed) out.failed = listed.Caption + ": " + listed.Text + " at " + std::to_string(listed.Sector.value_or(0));
  else if (!listed.Text.empty()) out.note = listed.Caption + ": " + listed.Line();
  SortMidEntries(list);
  for (const auto& m : list) {
    const std::string ext = EntryExtension(m->RawEntry);
    std::string name = !m->LongName.empty() ? m->LongName : EntryBaseName(m->RawEntry) + (ext.empty() ? "" : "." + ext);
    out.names.push_back((m->Deleted ? "-" : "") + name);
  }
  EXPECT_EQ(ReadFatLabel(volume, layout, out.label).ok(), listed.ok());
  // The chain reads only the FAT: when that fails, so does the listing.
  if (fat.kind == fkFat32) {
    EXPECT_TRUE(GetClusNumChain(volume, layout, 2, DirChainLimit(layout), out.chain).ok() || !listed.ok());
  }
  for (Lba lba : disk.reads)
    if (lba < kPartStart || lba >= kPartStart + kPartSectors) out.readOutside = true;
  return out;
}

using Names = std::vector<std::string>;

// FAT32 root chains: how each FAT value ends or continues the chain, loops and runaways. A
// chain cut before its end mark lists what it holds and says where the listing stops.
TEST(FatChain, Fat32ChainsEndAtMarksAndNeverRunAway) {
  const std::string cut = "Root directory: The root directory's cluster chain breaks off after ";
  const struct {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> fat;  // cluster -> value; the root is cluster 2
    ChainEnd end;
    std::vector<uint32_t> chain;
    std::string note;
  } cases[] = {
      {"free entry", {{2, 3}, {3, 0}}, ChainEnd::Marked, {2, 3}, ""},
      {"end mark F8", {{2, 3}, {3, 0x0FFFFFF8}}, ChainEnd::Marked, {2, 3}, ""},
      {"end mark all ones", {{2, 0xFFFFFFFF}}, ChainEnd::Marked, {2}, ""},
      {"reserved end mark FA", {{2, 3}, {3, 0x0FFFFFFA}}, ChainEnd::Marked, {2, 3}, ""},
      {"top bits ignored", {{2, 0xF0000003}, {3, 0x0FFFFFFF}}, ChainEnd::Marked, {2, 3}, ""},
      {"bad cluster", {{2, 3}, {3, 0x0FFFFFF7}}, ChainEnd::BadCluster, {2, 3},
       cut + "2 clusters, at cluster 3: the FAT marks the cluster behind it bad. The listing stops there."},
      {"loop back", {{2, 3}, {3, 4}, {4, 2}}, ChainEnd::Loop, {2, 3, 4},
       cut + "3 clusters, at cluster 4: the FAT leads from it back to cluster 2, which comes earlier in the chain. "
             "The listing stops there."},
      {"past the volume", {{2, 3}, {3, 0x00FFFFF0}}, ChainEnd::NoCluster, {2, 3},
       cut + "2 clusters, at cluster 3: the FAT leads from it to cluster 16777200, which is no cluster of the volume. "
             "The listing stops there."},
      {"points at itself", {{2, 2}}, ChainEnd::Loop, {2},
       cut + "1 cluster, at cluster 2: the FAT leads from it back to cluster 2, which comes earlier in the chain. "
             "The listing stops there."},
      {"reserved cluster 1", {{2, 1}}, ChainEnd::NoCluster, {2},
       cut + "1 cluster, at cluster 2: the FAT leads from it to cluster 1, which is no cluster of the volume. "
             "The listing stops there."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandFat fat(fkFat32);
    for (const auto& [cluster, value] : c.fat) fat.SetFat(cluster, value);
    for (uint32_t cluster : c.chain) {
      const std::string name = "C" + std::to_string(cluster) + "      TXT";
      fat.Put(fat.ClusterByte(cluster), {Short(name.c_str(), 0x20, 1, 100)});
    }
    const Listing l = Walk(fat);
    EXPECT_EQ(l.chain.End, c.end);
    EXPECT_EQ(l.chain.Clusters, c.chain);
    // Every cluster of the chain is listed once, a looping one too.
    EXPECT_EQ(l.failed, "");
    EXPECT_EQ(l.note, c.note);
    EXPECT_EQ(l.names.size(), c.chain.size());
    EXPECT_FALSE(l.readOutside);
  }
  // An unreadable sector of the FAT or of a root cluster fails the listing, the label and the
  // chain with the read's outcome, naming the sector (a FAT16 root: CliLs.RefusesWhatCannotBeListed).
  HandFat fat(fkFat32);
  fat.SetFat(2, 3);
  fat.SetFat(3, 0x0FFFFFFF);
  for (const Lba sector : {fat.Byte(fat.reserved) / 512, fat.ClusterByte(3) / 512})
    EXPECT_EQ(Walk(fat, sector).failed, "Read Error: Error:EIO at " + std::to_string(sector));
}

// Chains that promise more than a directory holds stop after 65536 entries, whatever the
// cluster size: 4096 clusters of 512 bytes (a root far longer than the 512 clusters once
// followed), 32 of 64 KiB (found by fuzzing: a damaged root could read the whole volume). The
// clusters of a chain that jumps back and forth on the disk are read all the same.
TEST(FatChain, Fat32RootStopsAtTheDirectoryLimit) {
  const struct {
    uint8_t sectorsPerCluster;
    bool interleaved;  // the chain takes every other cluster, as a root that grew between files
    uint32_t clusters;  // of the chain the FAT holds; the root is cluster 2
  } cases[] = {{1, false, 4200}, {1, true, 3000}, {128, false, 41}, {1, false, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sectorsPerCluster) + (c.interleaved ? " interleaved " : " ") + std::to_string(c.clusters));
    HandFat fat(fkFat32);
    fat.sectorsPerCluster = c.sectorsPerCluster;
    const uint32_t step = c.interleaved ? 2 : 1;
    const auto nth = [&](uint32_t n) { return 2 + n * step; };
    for (uint32_t n = 0; n + 1 < c.clusters; ++n) fat.SetFat(nth(n), nth(n + 1));
    fat.SetFat(nth(c.clusters - 1), 0x0FFFFFFF);
    const uint32_t entriesPerCluster = 512u * c.sectorsPerCluster / 32;
    const uint32_t limit = kMaxDirEntries / entriesPerCluster;
    const uint32_t last = nth(std::min(c.clusters, limit) - 1);
    fat.Put(fat.ClusterByte(last) + (entriesPerCluster - 1) * 32, {Short("LAST    TXT", 0x20, 1, 100)});
    if (c.interleaved) fat.Put(fat.ClusterByte(last + 1), {Short("BETWEEN TXT", 0x20, 1, 100)});
    if (c.clusters > limit) fat.Put(fat.ClusterByte(nth(limit)), {Short("BEYOND  TXT", 0x20, 1, 100)});
    const Listing l = Walk(fat);
    EXPECT_EQ(l.names, (Names{"LAST.TXT"}));
    EXPECT_FALSE(l.readOutside);
    EXPECT_EQ(l.chain.Clusters.size(), std::min(c.clusters, limit));
    EXPECT_EQ(l.chain.End, c.clusters > limit ? ChainEnd::Limit : ChainEnd::Marked);
    const std::string shown = limit == 4096 ? "4,096" : std::to_string(limit);
    EXPECT_EQ(l.note, c.clusters <= limit ? ""
                                          : "Root directory: The root directory goes on past 65,536 entries, the most a "
                                            "directory holds. The listing stops there, after " + shown +
                                                " clusters, at cluster " + std::to_string(last) + ".");
  }
}

// Which entries are listed, and under which name, where the volumes mkfs.fat and mtools make
// (RootDirectoryOnImages) cannot show it: deleted long names and the label are there. Damaged
// boot sectors describe no volume, and nothing is listed.
TEST(FatDir, ChoosesEntriesAndNames) {
  const TRawDirEntry readme = Short("README  TXT", 0x20, 10, 5);
  const TRawDirEntry other = Short("OTHER   TXT", 0x20, 10, 6);
  const TRawDirEntry ghost = Short("\xe5HOST   TXT", 0x20, 10, 7);
  const TRawDirEntry lostName = Short("LOSTNAMETXT", 0x20, 10, 8);
  const TRawDirEntry label = Short("MY LABEL   ", kAttrVolumeLabel, 0, 0);
  std::vector<TRawDirEntry> longTwo = LongName(u"A name of two parts.txt", other);
  std::vector<TRawDirEntry> reversed = LongName(u"Parts in the wrong order.txt", lostName);
  std::swap(reversed[0], reversed[1]);
  const std::vector<TRawDirEntry> root = {Short("LABEL      ", kAttrVolumeLabel, 0, 0), Short("FILE    TXT", 0x20, 5, 3)};
  const struct {
    const char* name;
    std::vector<TRawDirEntry> entries;
    Names expected;
    std::string label = "";
    void (*damage)(HandFat&) = nullptr;  // a boot sector that describes no readable volume: nothing listed
  } cases[] = {
      {"case byte 0 on FAT16", {readme}, {"Readme.txt"}},
      {"case flags", {Short("LOWER   TXT", 0x20, 1, 5, 0x18), Short("UPPER   TXT", 0x20, 1, 6, 0x10)},
       {"lower.txt", "UPPER.txt"}},
      {"long name of another short entry", {LongName(u"Not mine.txt", other)[0], readme}, {"Readme.txt"}},
      {"parts out of order", {reversed[0], reversed[1], lostName}, {"Lostname.txt"}},
      {"part missing", {longTwo[1], other}, {"Other.txt"}},
      {"deleted with size", {ghost}, {"-\xe5host.txt"}},
      {"directory with a size", {Short("SUB        ", kAttrDirectory, 10, 9)}, {}},
      {"file without a cluster", {Short("NOCLUS  TXT", 0x20, 10, 0)}, {}},
      {"size all ones", {Short("HUGE    TXT", 0x20, 0xFFFFFFFF, 5)}, {}},
      {"dot entries", {Short(".          ", kAttrDirectory, 0, 2), Short("..         ", kAttrDirectory, 0, 0)}, {}},
      {"label after a long name", {longTwo[0], longTwo[1], other, label}, {"A name of two parts.txt"}, "MY LABEL"},
      {"deleted label", {Short("\xe5LD LABEL  ", kAttrVolumeLabel, 0, 0), label}, {}, "MY LABEL"},
      {"sector size 16", root, {}, "", [](HandFat& f) { f.bytesPerSector = 16; }},
      {"sector size 0", root, {}, "", [](HandFat& f) { f.bytesPerSector = 0; }},
      {"sector size 500", root, {}, "", [](HandFat& f) { f.bytesPerSector = 500; }},
      {"no sectors per cluster", root, {}, "", [](HandFat& f) { f.sectorsPerCluster = 0; }},
      {"no FATs", root, {}, "", [](HandFat& f) { f.fats = 0; }},
      {"no root entries", root, {}, "", [](HandFat& f) { f.rootEntries = 0; }},
      {"root larger than the partition", root, {}, "", [](HandFat& f) { f.rootEntries = 0xFFFF; f.reserved = 7000; }},
      {"root beyond the partition", root, {}, "", [](HandFat& f) { f.reserved = 0xFFFF; }},
      {"FAT32 root cluster 0", root, {}, "", [](HandFat& f) { f = HandFat(fkFat32); f.rootCluster = 0; }},
      {"FAT32 root cluster 1", root, {}, "", [](HandFat& f) { f = HandFat(fkFat32); f.rootCluster = 1; }},
      {"FAT32 root cluster past the volume", root, {}, "", [](HandFat& f) { f = HandFat(fkFat32); f.rootCluster = 9000; }},
      {"FAT32 root cluster past the FAT", root, {}, "", [](HandFat& f) { f = HandFat(fkFat32); f.sectorsPerFat = 1; f.rootCluster = 200; }},
      {"FAT32 without a FAT", root, {}, "", [](HandFat& f) { f = HandFat(fkFat32); f.sectorsPerFat = 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandFat fat;
    if (c.damage) c.damage(fat);
    fat.PutRoot(c.entries);
    const Listing l = Walk(fat);
    EXPECT_EQ(l.layout, !c.damage);
    EXPECT_EQ(l.failed, "");
    EXPECT_EQ(l.names, c.expected);
    EXPECT_EQ(l.label, c.label);
  }
}

}  // namespace
}  // namespace qm::test
