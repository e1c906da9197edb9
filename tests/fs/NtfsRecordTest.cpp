// NTFS file records, their update sequence and attributes made by hand, and run lists.
#include <gtest/gtest.h>

#include <functional>

#include "fs/NtfsBuilder.h"
#include "fs/NtfsRecord.h"
#include "fs/NtfsRunList.h"
#include "model/FsDetect.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// Places the first attribute `back` bytes before the end of the record, of type $VOLUME_NAME
// and `length` bytes long; its offset.
size_t FirstAttributeAt(RecordBuilder& r, size_t back, uint32_t length = 0) {
  const size_t at = r.b.size() - back;
  StoreLE<uint16_t>(&r.b[20], static_cast<uint16_t>(at));
  if (length) StoreLE<uint32_t>(&r.b[at], kAttrVolumeName), StoreLE<uint32_t>(&r.b[at + 4], length);
  return at;
}

// Damaged records of 1024 and of 4096 bytes: the attribute is not found, nothing is read
// outside the record and no loop runs forever.
TEST(ReadAttribute, DamagedRecordsFailQuietly) {
  const std::function<void(RecordBuilder&)> damages[] = {
      [](RecordBuilder& r) { r.AddResident(0x10, {1}); },  // the list ends first
      [](RecordBuilder& r) {                                // a zero-length attribute
        const size_t at = r.AddResident(0x10, {1});
        r.AddResident(kAttrVolumeName, {'X', 0});
        StoreLE<uint32_t>(&r.b[at + 4], 0);
      },
      [](RecordBuilder& r) {  // a length that steps back to the first attribute
        const size_t first = r.AddResident(0x10, {1}), second = r.AddResident(0x30, {1});
        StoreLE<uint32_t>(&r.b[second + 4], static_cast<uint32_t>(0x10000 - (second - first)));
      },
      [](RecordBuilder& r) { FirstAttributeAt(r, 14); },  // no room for the first attribute's header
      [](RecordBuilder& r) {                               // a value longer than the record
        const size_t at = r.AddResident(kAttrVolumeName, {1, 2});
        StoreLE<uint32_t>(&r.b[at + 16], static_cast<uint32_t>(2 * r.b.size()));
      },
      [](RecordBuilder& r) {  // non-resident, but shorter than its header
        const size_t at = r.AddResident(kAttrVolumeName, {});
        r.b[at + 8] = 1, StoreLE<uint32_t>(&r.b[at + 4], 40);
      },
      [](RecordBuilder& r) {  // a non-resident attribute whose name runs past the record
        const size_t at = FirstAttributeAt(r, 124, 80);
        r.b[at + 8] = 1, r.b[at + 9] = 255, StoreLE<uint32_t>(&r.b[at + 80], kAttrEnd);
      },
      // The last header that still fits, with a value beyond the end.
      [](RecordBuilder& r) { StoreLE<uint32_t>(&r.b[FirstAttributeAt(r, 24, 24) + 16], 0x7FFF); },
  };
  for (const size_t size : {kFileRecordSize, kMaxFileRecordSize}) {
    for (size_t n = 0; n < std::size(damages); ++n) {
      RecordBuilder r(size);
      damages[n](r);
      TAttribute a;
      EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a)) << size << " case " << n;
    }
  }
  // Records of other sizes hold nothing, whatever their bytes.
  RecordBuilder r(2 * kMaxFileRecordSize);
  r.AddResident(kAttrVolumeName, {'Q', 0});
  TAttribute a;
  EXPECT_TRUE(ReadAttribute(std::span(r.b).first(kFileRecordSize), kAttrVolumeName, a));
  EXPECT_EQ(a.Data, (std::vector<uint8_t>{'Q', 0}));
  EXPECT_FALSE(ReadAttribute(std::span(r.b).first(kFileRecordSize - 512), kAttrVolumeName, a));
  EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a));
}

// A root whose index root lies in extension record 9, named by its attribute list (kept in the
// record, or in cluster 40): the extension is used only when it names the root as its base; a
// zero-length entry ends the walk. On a volume of 4096-byte sectors records are 4096 bytes, and
// the extension keeps the index root past its first 1024.
TEST(ReadRecordAttribute, FollowsTheAttributeListToTheRecordsOwnExtensionsOnly) {
  const struct {
    uint64_t base;
    uint16_t entryLength;
    bool found;
    uint16_t sectorBytes = 512;
    bool listInCluster = false;
  } cases[] = {{5, 32, true},       {6, 32, false},       {5, 0, false},
               {5, 32, true, 512, true}, {5, 32, true, 4096}, {6, 32, false, 4096}, {5, 32, true, 4096, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.base << " " << c.entryLength << " " << c.sectorBytes << " " << c.listInCluster);
    // One sector a cluster, the MFT at cluster 16.
    const size_t perSector = c.sectorBytes / 512, recordBytes = std::max<size_t>(kFileRecordSize, c.sectorBytes);
    const size_t extensionAt = (16 * perSector) * 512 + 9 * recordBytes, listAt = 40 * perSector * 512;
    MemorySectors disk(std::max(extensionAt + recordBytes, listAt + c.sectorBytes));
    RecordBuilder root(recordBytes), extension(recordBytes);
    std::vector<uint8_t> entry(32, 0);
    entry[0] = kAttrIndexRoot;
    StoreLE<uint16_t>(&entry[4], c.entryLength);
    entry[0x10] = 9;
    if (c.listInCluster) {
      const size_t at = root.AddNonResident(kAttrAttributeList, {0x11, 0x01, 40, 0x00});
      StoreLE<uint64_t>(&root.b[at + 0x30], entry.size());  // the list's real size
      std::copy(entry.begin(), entry.end(), disk.data.begin() + static_cast<long>(listAt));
    } else {
      root.AddResident(kAttrAttributeList, entry);
    }
    if (recordBytes > kFileRecordSize) extension.AddResident(0x80, std::vector<uint8_t>(kFileRecordSize));
    extension.AddResident(kAttrIndexRoot, {7, 7}, 4);
    StoreLE<uint64_t>(&extension.b[0x20], c.base);
    root.Protect(), extension.Protect();
    std::copy(extension.b.begin(), extension.b.end(), disk.data.begin() + static_cast<long>(extensionAt));
    TSector boot{};
    StoreLE<uint16_t>(&boot[0x0B], c.sectorBytes);
    boot[0x0D] = 1;
    StoreLE<uint64_t>(&boot[0x30], 16);
    const TFsVolume volume = MakeVolume(disk, 0, disk.data.size() / 512, disk.data.size() / 512, boot, fkNtfs);
    ASSERT_EQ(FixUpRecord(root.b), recordBytes);
    TAttribute a;
    EXPECT_EQ(ReadRecordAttribute(volume, root.b, kRootRecord, kAttrIndexRoot, a), c.found);
    if (c.found) {
      EXPECT_EQ(a.Data, (std::vector<uint8_t>{7, 7}));
    }
  }
}

// The size of file records from the boot sector: clusters per record, or a power of two when
// the field is negative; what no record can be (damaged fields) gives records of one sector,
// never less than 1024 bytes.
TEST(FileRecordBytes, FromTheBootSectorOrOneSector) {
  const struct {
    uint16_t sectorBytes;
    uint8_t sectorsPerCluster;
    int8_t field;
    size_t bytes;
  } cases[] = {
      {512, 8, -10, 1024},  {512, 8, -12, 4096},   {4096, 1, 1, 4096},  {512, 2, 1, 1024},
      {2048, 1, 1, 2048},   {4096, 1, -10, 1024},  {512, 8, 1, 4096},   {1024, 4, -11, 2048},
      {512, 8, 0, 1024},    {4096, 1, 0, 4096},    {512, 8, -9, 1024},  {4096, 8, -13, 4096},
      {512, 8, -128, 1024}, {512, 1, 3, 1024},     {512, 255, 1, 1024}, {4096, 8, 1, 4096},
      {300, 2, 1, 1024},    {8192, 1, -12, 4096},  {0, 2, 0, 1024},
  };
  for (const auto& c : cases) {
    TSector boot{};
    StoreLE<uint16_t>(&boot[0x0B], c.sectorBytes);
    boot[0x0D] = c.sectorsPerCluster;
    boot[0x40] = static_cast<uint8_t>(c.field);
    EXPECT_EQ(FileRecordBytes(DecodeBpb(boot, fkNtfs)), c.bytes) << c.sectorBytes << " " << int{c.sectorsPerCluster}
                                                                 << " " << int{c.field};
  }
}

// Decoding of run lists, including the damaged ones.
TEST(GetRunList, DecodesAndStopsWhereTheBytesCannotBeTrusted) {
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    std::vector<std::pair<int64_t, uint64_t>> runs;
  } cases[] = {
      {"empty", {}, {}}, {"one run", {0x21, 0x04, 0x00, 0x10, 0x00}, {{0x1000, 4}}},
      {"one-byte 0xF0 steps 16 clusters back", {0x11, 0x04, 0x20, 0x11, 0x02, 0xF0, 0x00}, {{0x20, 4}, {0x10, 2}}},
      {"sparse run left out, position kept", {0x21, 0x04, 0x00, 0x10, 0x01, 0x08, 0x11, 0x02, 0x05, 0x00}, {{0x1000, 4}, {0x1005, 2}}},
      {"zero offset bytes count as sparse", {0x11, 0x04, 0x00, 0x11, 0x02, 0x30, 0x00}, {{0x30, 2}}},
      {"5-byte length stops", {0x11, 0x04, 0x20, 0x15, 1, 0, 0, 0, 0, 0x05, 0x00}, {{0x20, 4}}},
      {"9-byte offset stops", {0x11, 0x04, 0x20, 0x91, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{0x20, 4}}},
      {"pair past the end stops", {0x11, 0x04, 0x20, 0x31, 0x04, 0x10}, {{0x20, 4}}}, {"no closing zero", {0x11, 0x04, 0x20}, {{0x20, 4}}},
      {"6-byte offset is signed", {0x61, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{-1, 1}}},
      {"7-byte offset is not", {0x71, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{0x00FFFFFFFFFFFFFF, 1}}},
      {"8-byte offset", {0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}, {{INT64_MIN, 1}}},
      {"4-byte length", {0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x08, 0x00}, {{8, 0xFFFFFFFF}}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<int64_t, uint64_t>> got;
    for (const TRun& r : GetRunList(c.bytes)) got.emplace_back(r.Lcn, r.Clusters);
    EXPECT_EQ(got, c.runs) << c.what;
  }
}

}  // namespace
}  // namespace qm::test
