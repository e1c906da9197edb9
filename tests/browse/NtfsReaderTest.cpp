// The NTFS root directory reader on small hand-made volumes, intact and damaged as no tool
// makes them: broken update sequences, blocks without their signature, entry chains that break
// off, unusable block sizes, runs outside the disk. The volume is a boot sector, the root's MFT
// record (index root with its own entries, index allocation with a run list) and INDX blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "browse/NtfsReader.h"
#include "disk/Bytes.h"
#include "fs/FsKind.h"
#include "fs/NtfsBuilder.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

struct NtName {
  std::string name;  // ASCII
  uint8_t nameSpace = 1;  // Win32
  uint64_t size = 0;
  uint32_t fileFlags = 0;  // 0x10000000 for a directory
};

// The volume starts at sector 64 with 1 KiB clusters, the MFT at cluster 4 (the root record at
// sector 64 + 8 + 10) and 2-cluster index blocks; the root record keeps "." in its index root.
// Its own sectors are 512 bytes (two a cluster) or 1024 bytes (one a cluster): the same bytes
// at the same places.
constexpr uint64_t kStart = 64, kRootRecord = (kStart + 18) * 512, kBlockBytes = 2048;
constexpr uint64_t BlockOffset(int64_t cluster) { return (kStart + static_cast<uint64_t>(cluster) * 2) * 512; }
constexpr uint16_t kUsn = 0x0BAD;

struct NtfsLayout {
  uint16_t sectorBytes = 512;
  std::vector<uint8_t> runList = {0x11, 0x04, 20, 0x00};  // the allocation's mapping pairs
  // Cluster and entries of each block; the disk ends right after the second.
  std::vector<std::pair<int64_t, std::vector<NtName>>> blocks = {
      {20, {{"alpha", 1, 1234}, {"ALPHA~1", 2, 1234}, {"beta", 3, 7}}}, {22, {{"gamma", 0, 1ull << 33}}}};
};

void Place(std::vector<uint8_t>& to, uint64_t at, const std::vector<uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), to.begin() + static_cast<long>(at));
}

// One file-name index entry.
std::vector<uint8_t> NtIndexEntry(const NtName& n) {
  const size_t key = 0x42 + 2 * n.name.size();
  std::vector<uint8_t> e((16 + key + 7) / 8 * 8);
  StoreLE<uint64_t>(&e[0], 0x0001000000000040ull);
  StoreLE<uint16_t>(&e[8], static_cast<uint16_t>(e.size()));
  StoreLE<uint16_t>(&e[10], static_cast<uint16_t>(key));
  StoreLE<uint64_t>(&e[16], 0x0005000000000005ull);
  StoreLE<uint64_t>(&e[24], 0x01D0000000000000ull);
  StoreLE<uint64_t>(&e[56], (n.size + 4095) / 4096 * 4096);
  StoreLE<uint64_t>(&e[64], n.size);
  StoreLE<uint32_t>(&e[72], n.fileFlags);
  e[80] = static_cast<uint8_t>(n.name.size());
  e[81] = n.nameSpace;
  for (size_t i = 0; i < n.name.size(); ++i) e[82 + 2 * i] = static_cast<uint8_t>(n.name[i]);
  return e;
}

// The entries of `names`, and the closing entry.
std::vector<uint8_t> Entries(const std::vector<NtName>& names) {
  std::vector<uint8_t> out;
  for (const NtName& n : names) {
    const auto e = NtIndexEntry(n);
    out.insert(out.end(), e.begin(), e.end());
  }
  for (const uint8_t b : {0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 2, 0, 0, 0}) out.push_back(b);
  return out;
}

// Writes the boot sector, the root record (index root, resident and unnamed, index allocation
// non-resident and named $I30) and the index blocks into `disk`.
void WriteNtfsVolume(std::vector<uint8_t>& disk, const NtfsLayout& l) {
  std::vector<uint8_t> boot(512);
  std::memcpy(boot.data() + 3, "NTFS    ", 8);
  StoreLE<uint16_t>(&boot[0x0B], l.sectorBytes);
  boot[0x0D] = static_cast<uint8_t>(1024 / l.sectorBytes);
  StoreLE<uint64_t>(&boot[0x30], 4);
  StoreLE<uint16_t>(&boot[510], 0xAA55);
  Place(disk, kStart * 512, boot);

  std::vector<uint8_t> value(32);
  StoreLE<uint32_t>(&value[0], 0x30);
  StoreLE<uint32_t>(&value[8], kBlockBytes);
  value[12] = 2;  // clusters per block
  const auto entries = Entries({{".", 3, 0, 0x10000000}});
  StoreLE<uint32_t>(&value[16], 16);
  StoreLE<uint32_t>(&value[20], static_cast<uint32_t>(16 + entries.size()));
  StoreLE<uint32_t>(&value[24], static_cast<uint32_t>(16 + entries.size()));
  value[28] = 1;  // has blocks below
  value.insert(value.end(), entries.begin(), entries.end());
  RecordBuilder rec;
  rec.AddResident(kAttrIndexRoot, value);
  rec.AddNonResident(0xA0, l.runList, {'$', 0, 'I', 0, '3', 0, '0', 0});
  rec.Protect(kUsn);
  Place(disk, kRootRecord, std::vector<uint8_t>(rec.b.begin(), rec.b.end()));

  for (const auto& [cluster, names] : l.blocks) {
    std::vector<uint8_t> block(kBlockBytes);
    std::memcpy(block.data(), "INDX", 4);
    const auto entries = Entries(names);
    StoreLE<uint32_t>(&block[0x18], 0x28);  // entries at 0x40
    StoreLE<uint32_t>(&block[0x1C], static_cast<uint32_t>(0x28 + entries.size()));
    StoreLE<uint32_t>(&block[0x20], static_cast<uint32_t>(block.size() - 0x18));
    Place(block, 0x40, entries);
    ProtectRecord(block, 0x28, kUsn);
    Place(disk, BlockOffset(cluster), block);
  }
}

struct Listing {
  bool result = false;
  std::vector<TntFile> files;
  std::vector<std::string> names;
  std::string message;  // caption: text of what the listing returned, empty when nothing
  std::optional<Lba> sector;
};

// The disk ends right after the last block, and not before the end of the second one.
Listing ListVolume(const NtfsLayout& layout, const std::function<void(std::vector<uint8_t>&)>& damage = {},
                   std::optional<Lba> failAt = {}) {
  size_t diskBytes = BlockOffset(24);
  for (const auto& block : layout.blocks) diskBytes = std::max<size_t>(diskBytes, BlockOffset(block.first) + kBlockBytes);
  MemorySectors disk(diskBytes);
  WriteNtfsVolume(disk.data, layout);
  if (damage) damage(disk.data);
  disk.failAt = failAt;
  const TFsVolume volume = MakeVolume(disk, kStart, diskBytes / 512 - kStart, diskBytes / 512,
                                      std::span<const uint8_t, 512>(disk.data.data() + kStart * 512, 512), fkNtfs);
  Listing out;
  const Outcome outcome = GetNTFSFileList(volume, out.files);
  out.result = outcome.ok();
  for (const auto& f : out.files) out.names.push_back(f.Name);
  if (!outcome.Text.empty()) out.message = outcome.Caption + ": " + outcome.Text;
  out.sector = outcome.Sector;
  return out;
}

// The intact root lists "." from the index root, then each block's entries without the DOS
// name; each damage gives a defined outcome, with sectors of 512 and of 1024 bytes.
TEST(NtfsReader, DamagedVolumesGiveDefinedOutcomes) {
  const NtfsLayout base;
  const size_t rec = kRootRecord, blockA = BlockOffset(20);
  const size_t alphaLen = NtIndexEntry({"alpha"}).size();
  const size_t beta = blockA + 0x40 + alphaLen + NtIndexEntry({"ALPHA~1"}).size();  // third entry of block A
  const auto attribute = [&](std::vector<uint8_t>& d, uint32_t type) { return rec + AttributeOffset(std::span(d).subspan(rec, 1024), type); };
  const std::string fixup = "NTFS root directory: Fixup error. Invalid root of B+ Tree.";
  const std::string badList = "NTFS root directory: Invalid root directory.", badBlock = "NTFS root directory index: Invalid root directory.";
  using Names = std::vector<std::string>;
  const Names all = {".", "alpha", "beta", "gamma"}, withoutA = {".", "gamma"}, upToAlpha = {".", "alpha", "gamma"};
  using Damage = std::function<void(std::vector<uint8_t>&)>;
  const auto withRuns = [&](std::vector<uint8_t> runs) { NtfsLayout l = base; l.runList = std::move(runs); return l; };
  // 0x8002 clusters: one block more than the largest root index holds, and a block there.
  NtfsLayout runaway = withRuns({0x12, 0x02, 0x80, 20, 0x00});
  runaway.blocks.push_back({20 + 2 * int64_t{kMaxIndexBlocks}, {{"beyond"}}});

  const struct {
    const char* what;
    NtfsLayout layout;
    Damage damage;
    bool result;
    Names names;
    std::string message;
    std::optional<Lba> failAt = {};  // a sector that cannot be read, named by the outcome
  } cases[] = {
      {"intact", base, {}, true, all, ""},
      {"root: second sector lost its update sequence number", base, [&](auto& d) { d[rec + 0x3FE] ^= 1; }, false, {}, fixup},
      {"root: first sector lost it", base, [&](auto& d) { d[rec + 0x1FE] ^= 1; }, false, {}, fixup},
      {"block never written: no INDX", base, [&](auto& d) { d[blockA] = 0; }, true, withoutA, badBlock},
      {"block: a later sector lost its update sequence number", base, [&](auto& d) { d[blockA + 3 * 512 + 0x1FE] ^= 1; },
       true, withoutA, badBlock},
      {"block: update sequence array longer than the block", base, [&](auto& d) { StoreLE<uint16_t>(&d[blockA + 6], 6); },
       true, withoutA, badBlock},
      {"block: no update sequence array", base, [&](auto& d) { StoreLE<uint16_t>(&d[blockA + 6], 0); }, true, withoutA,
       badBlock},
      {"entry of length 0", base, [&](auto& d) { StoreLE<uint16_t>(&d[blockA + 0x40 + alphaLen + 8], 0); }, true,
       upToAlpha, badBlock},
      {"entry reaching past the block", base, [&](auto& d) { StoreLE<uint16_t>(&d[beta + 8], 0xFFF0); }, true, upToAlpha,
       badBlock},
      {"name reaching past its entry", base, [&](auto& d) { d[beta + 80] = 0xFF; }, true, upToAlpha, badBlock},
      {"used entries claimed past the block, no closing entry", base, [&](auto& d) {
         StoreLE<uint32_t>(&d[BlockOffset(22) + 0x1C], 0xFFFFFF00);
         StoreLE<uint32_t>(&d[BlockOffset(22) + 0x40 + NtIndexEntry({"gamma"}).size() + 12], 0);
       }, true, all, badBlock},
      {"no index root", base, [&](auto& d) { d[attribute(d, 0x90)] = 0x91; }, false, {}, badList},
      {"clusters per index block 0", base, [&](auto& d) { d[attribute(d, 0x90) + 24 + 12] = 0; }, false, {}, badList},
      {"clusters per index block negative", base, [&](auto& d) { d[attribute(d, 0x90) + 24 + 12] = 0xF4; }, false, {}, badList},
      {"no index allocation", base, [&](auto& d) { d[attribute(d, 0xA0)] = 0xA1; }, false, {}, badList},
      {"run reaching past the disk: the blocks inside are read", withRuns({0x11, 0x06, 20, 0x00}), {}, true, all, badList},
      {"run past the disk", withRuns({0x31, 0x02, 0x00, 0x00, 0x10, 0x00}), {}, true, {"."}, badList},
      {"run before the volume", withRuns({0x11, 0x04, 0xF0, 0x00}), {}, true, {"."}, badList},
      {"run with a 9-byte offset: nothing after it", withRuns({0x11, 0x02, 22, 0x91, 0x02, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       {}, true, {".", "gamma"}, {}},
      {"runs of one block each, the second 2 clusters after the first", withRuns({0x11, 0x01, 20, 0x11, 0x01, 0x02, 0x00}),
       {}, true, all, {}},
      {"four blocks that are no index blocks: reported once", withRuns({0x11, 0x0C, 12, 0x00}), {}, true, all, badBlock},
      {"run of more blocks than any index: read up to the limit", runaway, {}, true, all, badBlock},
      // A sector that cannot be read fails the listing with the read's own outcome, naming it.
      {"root record unreadable", base, {}, false, {}, "Read Error: Error:EIO", Lba{kRootRecord / 512 + 1}},
      {"index block unreadable", base, {}, false, {}, "Read Error: Error:EIO", Lba{BlockOffset(22) / 512 + 2}},
  };
  for (const uint16_t sectorBytes : {512, 1024}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", sectors of " + std::to_string(sectorBytes));
      NtfsLayout layout = c.layout;
      layout.sectorBytes = sectorBytes;
      const Listing got = ListVolume(layout, c.damage, c.failAt);
      EXPECT_EQ(got.result, c.result);
      EXPECT_EQ(got.message, c.message);
      if (c.failAt) {
        EXPECT_EQ(got.sector, c.failAt);
      } else {
        EXPECT_EQ(got.names, c.names);
      }
    }
  }
  // The fields the preview shows, a size past 4 GiB among them.
  const std::vector<TntFile> list = ListVolume(base).files;
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(std::vector<uint64_t>({list[0].FileFlags, list[1].RealSize, list[1].CreationTime, list[3].RealSize}),
            std::vector<uint64_t>({0x10000000u, 1234, 0x01D0000000000000ull, 1ull << 33}));
}

}  // namespace
}  // namespace qm::test
