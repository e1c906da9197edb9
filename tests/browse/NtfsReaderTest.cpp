// The NTFS root directory reader on small hand-made volumes, intact and damaged in each way a
// disk can be: broken update sequences, blocks without their signature, entry chains that
// break off, unusable block sizes, runs outside the disk.
#include <gtest/gtest.h>

#include <functional>

#include "browse/NtfsReader.h"
#include "model/NtfsRunList.h"
#include "disk/Bytes.h"
#include "model/FsDetect.h"
#include "support/Fixtures.h"
#include "support/NtfsBytes.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// Volume at sector 64, 1 KiB clusters, 2-cluster blocks at clusters 20 and 22; the disk ends
// right after the second block.
NtfsLayout Layout() {
  NtfsLayout l;
  l.rootEntries = {{".", 3, 0, 0x10000000}};
  l.runList = {0x11, 0x04, 20, 0x00};
  l.blocks = {{20, {{"alpha", 1, 1234}, {"ALPHA~1", 2, 1234}, {"beta", 3, 7}}}, {22, {{"gamma", 0, 1ull << 33}}}};
  return l;
}
constexpr size_t kDiskBytes = (64 + 24 * 2) * 512;

struct Listing {
  bool result = false;
  std::vector<std::string> names;
  std::vector<std::string> messages;  // caption: text
};

Listing ListVolume(const NtfsLayout& layout, const std::function<void(std::vector<uint8_t>&)>& damage = {},
                   std::vector<TntFile>* entries = nullptr, size_t diskBytes = kDiskBytes) {
  DriveRegistryScope scope;
  auto source = std::make_unique<MemorySource>(diskBytes);
  auto data = source->data;
  WriteNtfsVolume(*data, layout);
  if (damage) damage(*data);
  auto drive = BareDrive(scope.Attach(std::move(source)));
  TPartition p;
  p.Entry.RelativeSector = static_cast<uint32_t>(layout.start);
  p.Entry.TotalSectors = static_cast<uint32_t>(diskBytes / 512 - layout.start);
  p.FsKind = fkNtfs;
  std::copy_n(data->begin() + static_cast<long>(layout.start * 512), 512, p.BootSector.begin());
  ScriptedHost host;
  std::vector<TntFile> list;
  Listing out;
  out.result = GetNTFSFileList(*drive, p, list);
  for (const auto& f : list) out.names.push_back(f.Name);
  for (const auto& m : host.messages) out.messages.push_back(m.caption + ": " + m.text);
  if (entries) *entries = list;
  return out;
}

TEST(NtfsReader, ListsRootEntriesThenEveryBlockWithTheirFields) {
  std::vector<TntFile> list;
  const Listing got = ListVolume(Layout(), {}, &list);
  ASSERT_TRUE(got.result);
  EXPECT_TRUE(got.messages.empty());
  // The DOS name ALPHA~1 is left out.
  ASSERT_EQ(got.names, (std::vector<std::string>{".", "alpha", "beta", "gamma"}));
  EXPECT_EQ(list[0].FileFlags, 0x10000000u);
  const TntFile& a = list[1];
  EXPECT_EQ(std::vector<uint64_t>({a.RealSize, a.AllocatedSize, a.NameSpace, a.ParentReference, a.FileReference,
                                   a.CreationTime, a.NameLength, list[3].RealSize}),
            std::vector<uint64_t>({1234, 4096, 1, 0x0005000000000005ull, 0x0001000000000040ull, 0x01D0000000000000ull, 5,
                                   1ull << 33}));
}

TEST(NtfsReader, DamagedVolumesGiveDefinedOutcomes) {
  const NtfsLayout base = Layout();
  const size_t rec = base.RootRecordOffset();
  const size_t blockA = base.BlockOffset(20);
  const size_t alphaLen = NtIndexEntry({"alpha"}).size();
  const size_t dosLen = NtIndexEntry({"ALPHA~1"}).size();
  const size_t beta = blockA + 0x40 + alphaLen + dosLen;  // third entry of block A
  const auto indexRoot = [&](std::vector<uint8_t>& d) { return rec + NtAttributeOffset(d, base, 0x90); };
  const std::string fixup = "GetNTFSFileList: Fixup error. Invalid root of B+ Tree.";
  const std::string badList = "GetNTFSFileList: Invalid root directory.";
  const std::string badBlock = "GetFileFromRun: Invalid root directory.";
  const std::vector<std::string> all = {".", "alpha", "beta", "gamma"};
  const std::vector<std::string> withoutA = {".", "gamma"};
  const std::vector<std::string> upToAlpha = {".", "alpha", "gamma"};
  using Damage = std::function<void(std::vector<uint8_t>&)>;
  const auto withRuns = [&](std::vector<uint8_t> runs) {
    NtfsLayout l = base;
    l.runList = std::move(runs);
    return l;
  };

  const struct {
    const char* what;
    NtfsLayout layout;
    Damage damage;
    bool result;
    std::vector<std::string> names, messages;
  } cases[] = {
      {"root: second sector lost its update sequence number", base, [&](auto& d) { d[rec + 0x3FE] ^= 1; }, false, {}, {fixup}},
      {"root: first sector lost it", base, [&](auto& d) { d[rec + 0x1FE] ^= 1; }, false, {}, {fixup}},
      {"block never written: no INDX", base, [&](auto& d) { d[blockA] = 0; }, true, withoutA, {badBlock}},
      {"block: a later sector lost its update sequence number", base, [&](auto& d) { d[blockA + 3 * 512 + 0x1FE] ^= 1; },
       true, withoutA, {badBlock}},
      {"block: update sequence array longer than the block", base, [&](auto& d) { StoreLE<uint16_t>(&d[blockA + 6], 6); },
       true, withoutA, {badBlock}},
      {"block: no update sequence array", base, [&](auto& d) { StoreLE<uint16_t>(&d[blockA + 6], 0); }, true, withoutA,
       {badBlock}},
      {"entry of length 0", base, [&](auto& d) { StoreLE<uint16_t>(&d[blockA + 0x40 + alphaLen + 8], 0); }, true,
       upToAlpha, {badBlock}},
      {"entry reaching past the block", base, [&](auto& d) { StoreLE<uint16_t>(&d[beta + 8], 0xFFF0); }, true, upToAlpha,
       {badBlock}},
      {"name reaching past its entry", base, [&](auto& d) { d[beta + 80] = 0xFF; }, true, upToAlpha, {badBlock}},
      {"used entries claimed past the block, no closing entry",
       base, [&](auto& d) { StoreLE<uint32_t>(&d[base.BlockOffset(22) + 0x1C], 0xFFFFFF00); StoreLE<uint32_t>(&d[base.BlockOffset(22) + 0x40 + NtIndexEntry({"gamma"}).size() + 12], 0); },
       true, {".", "alpha", "beta", "gamma"}, {badBlock}},
      {"no index root", base, [&](auto& d) { d[indexRoot(d)] = 0x91; }, false, {}, {badList}},
      {"clusters per index block 0", base, [&](auto& d) { d[indexRoot(d) + 24 + 12] = 0; }, false, {}, {badList}},
      {"clusters per index block negative", base, [&](auto& d) { d[indexRoot(d) + 24 + 12] = 0xF4; }, false, {}, {badList}},
      {"no index allocation", base, [&](auto& d) { d[rec + NtAttributeOffset(d, base, 0xA0)] = 0xA1; }, false, {}, {}},
      {"run reaching past the disk: the blocks inside are read", withRuns({0x11, 0x06, 20, 0x00}), {}, true, all, {badList}},
      {"run past the disk", withRuns({0x31, 0x02, 0x00, 0x00, 0x10, 0x00}), {}, true, {"."}, {badList}},
      {"run before the volume", withRuns({0x11, 0x04, 0xF0, 0x00}), {}, true, {"."}, {badList}},
      {"run with a 9-byte offset: nothing after it", withRuns({0x11, 0x02, 22, 0x91, 0x02, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       {}, true, {".", "gamma"}, {}},
      {"runs of one block each, the second 2 clusters after the first", withRuns({0x11, 0x01, 20, 0x11, 0x01, 0x02, 0x00}),
       {}, true, all, {}},
      {"four blocks that are no index blocks: reported once", withRuns({0x11, 0x0C, 12, 0x00}), {}, true, all, {badBlock}},
  };
  for (const auto& c : cases) {
    const Listing got = ListVolume(c.layout, c.damage);
    EXPECT_EQ(got.result, c.result) << c.what;
    EXPECT_EQ(got.names, c.names) << c.what;
    EXPECT_EQ(got.messages, c.messages) << c.what;
  }
}

// A run that claims more blocks than any root index holds (a damaged run length used to read
// the whole disk and report every block): reading stops after kMaxIndexBlocks.
TEST(NtfsReader, ReadsAtMostTheLargestIndex) {
  NtfsLayout l = Layout();
  const int64_t beyond = 20 + 2 * int64_t{kMaxIndexBlocks};
  l.runList = {0x12, 0x02, 0x80, 20, 0x00};  // 0x8002 clusters: one block more than the limit
  l.blocks.push_back({beyond, {{"beyond"}}});
  const Listing got = ListVolume(l, {}, nullptr, (l.start + 2 * (beyond + 2)) * 512);
  EXPECT_EQ(got.names, (std::vector<std::string>{".", "alpha", "beta", "gamma"}));
  EXPECT_EQ(got.messages, (std::vector<std::string>{"GetFileFromRun: Invalid root directory.",
                                                    "GetNTFSFileList: Invalid root directory."}));
}

TEST(NtfsReader, BlocksOutsideTheDiskAreNotRead) {
  NtfsLayout l = Layout();
  DriveRegistryScope scope;
  auto source = std::make_unique<MemorySource>(kDiskBytes);
  WriteNtfsVolume(*source->data, l);
  auto drive = BareDrive(scope.Attach(std::move(source)));
  TPartition p;
  p.Entry.RelativeSector = 64;
  p.BootSector[0x0D] = 2;
  ScriptedHost host;
  std::vector<TntFile> list;
  for (const TRun& block : {TRun{-2, 2}, TRun{23, 2}, TRun{INT64_MAX, 2}, TRun{20, 0}})
    EXPECT_FALSE(GetFileFromRun(*drive, p, block, list)) << block.Lcn;
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(host.messages.empty());  // nothing read, no read prompt
}

// Decoding of run lists, including the damaged ones.
TEST(GetRunList, DecodesAndStopsWhereTheBytesCannotBeTrusted) {
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    std::vector<std::pair<int64_t, uint64_t>> runs;
  } cases[] = {
      {"empty", {}, {}},
      {"one run", {0x21, 0x04, 0x00, 0x10, 0x00}, {{0x1000, 4}}},
      {"one-byte 0xF0 steps 16 clusters back", {0x11, 0x04, 0x20, 0x11, 0x02, 0xF0, 0x00}, {{0x20, 4}, {0x10, 2}}},
      {"sparse run left out, position kept", {0x21, 0x04, 0x00, 0x10, 0x01, 0x08, 0x11, 0x02, 0x05, 0x00}, {{0x1000, 4}, {0x1005, 2}}},
      {"zero offset bytes count as sparse", {0x11, 0x04, 0x00, 0x11, 0x02, 0x30, 0x00}, {{0x30, 2}}},
      {"5-byte length stops", {0x11, 0x04, 0x20, 0x15, 1, 0, 0, 0, 0, 0x05, 0x00}, {{0x20, 4}}},
      {"9-byte offset stops", {0x11, 0x04, 0x20, 0x91, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{0x20, 4}}},
      {"15-byte offset stops",
       {0x11, 0x04, 0x20, 0xF1, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{0x20, 4}}},
      {"pair past the end stops", {0x11, 0x04, 0x20, 0x31, 0x04, 0x10}, {{0x20, 4}}},
      {"no closing zero", {0x11, 0x04, 0x20}, {{0x20, 4}}},
      {"6-byte offset is signed", {0x61, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{-1, 1}}},
      {"7-byte offset is not", {0x71, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{0x00FFFFFFFFFFFFFF, 1}}},
      {"8-byte offset", {0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}, {{INT64_MIN, 1}}},
      {"4-byte length", {0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x08, 0x00}, {{8, 0xFFFFFFFF}}},
  };
  for (const auto& c : cases) {
    trunlist runs{{99, 99}};
    ASSERT_TRUE(GetRunList(c.bytes, runs)) << c.what;
    std::vector<std::pair<int64_t, uint64_t>> got;
    for (const TRun& r : runs) got.emplace_back(r.Lcn, r.Clusters);
    EXPECT_EQ(got, c.runs) << c.what;
  }
}

}  // namespace
}  // namespace qm::test
