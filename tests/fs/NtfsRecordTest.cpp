// NTFS file records, their update sequence and attributes made by hand, run lists, and the
// labels of volumes made by mkntfs.
#include <gtest/gtest.h>

#include <functional>

#include "fs/NtfsBuilder.h"
#include "fs/NtfsRecord.h"
#include "fs/NtfsRunList.h"
#include "model/FsDetect.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// Resident values with their names, and the run list of a non-resident attribute, which
// follows its header, or its name when it has one.
TEST(ReadAttribute, FindsEachAttributeWithItsNameAndValue) {
  RecordBuilder r;
  r.AddResident(0x10, {1, 2, 3});
  r.AddResident(kAttrIndexRoot, {9, 9}, 4);
  r.AddResident(kAttrVolumeName, {'Q', 0, 'M', 0});
  r.AddNonResident(0x80, {0x11, 0x05, 0x20});
  r.AddNonResident(0xA0, {0x11, 0x05, 0x20}, {'x', 0, 'y', 0});
  TAttribute a;
  ASSERT_TRUE(ReadAttribute(r.b, kAttrVolumeName, a));
  EXPECT_EQ(a.TypeCode, kAttrVolumeName);
  EXPECT_EQ(a.Data, (std::vector<uint8_t>{'Q', 0, 'M', 0}));
  ASSERT_TRUE(ReadAttribute(r.b, kAttrIndexRoot, a));
  EXPECT_EQ(a.Name, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
  EXPECT_EQ(a.Data, (std::vector<uint8_t>{9, 9}));
  EXPECT_EQ(a.AttrLength, 40u);
  EXPECT_EQ(a.FormInfo, 0x0400u);  // resident, four name characters
  for (const uint32_t type : {0x80u, 0xA0u}) {
    ASSERT_TRUE(ReadAttribute(r.b, type, a)) << type;
    EXPECT_TRUE(a.NonResident() && a.NonResidentHeader.has_value()) << type;
    EXPECT_EQ(a.Name, (type == 0x80 ? std::vector<uint8_t>{} : std::vector<uint8_t>{'x', 0, 'y', 0}));
    ASSERT_EQ(a.Data.size(), type == 0x80 ? 8u : 4u);
    EXPECT_EQ(std::vector<uint8_t>(a.Data.begin(), a.Data.begin() + 3), (std::vector<uint8_t>{0x11, 0x05, 0x20}));
  }
}

// Damaged records: the attribute is not found, nothing is read outside the record and no loop
// runs forever.
TEST(ReadAttribute, DamagedRecordsFailQuietly) {
  const std::function<void(RecordBuilder&)> damages[] = {
      [](RecordBuilder& r) { r.AddResident(0x10, {1}); },  // the list ends first
      [](RecordBuilder& r) {                                // a zero-length attribute
        const size_t at = r.AddResident(0x10, {1});
        r.AddResident(kAttrVolumeName, {'X', 0});
        StoreLE<uint32_t>(&r.b[at + 4], 0);
      },
      [](RecordBuilder& r) {  // a length that steps back to the first attribute
        const size_t first = r.AddResident(0x10, {1});
        const size_t second = r.AddResident(0x30, {1});
        StoreLE<uint32_t>(&r.b[second + 4], static_cast<uint32_t>(0x10000 - (second - first)));
      },
      [](RecordBuilder& r) { StoreLE<uint16_t>(&r.b[20], 1010); },  // first attribute beyond 1008
      [](RecordBuilder& r) {                                         // a value longer than the record
        const size_t at = r.AddResident(kAttrVolumeName, {1, 2});
        StoreLE<uint32_t>(&r.b[at + 16], 2000);
      },
      [](RecordBuilder& r) {  // non-resident, but shorter than its header
        const size_t at = r.AddResident(kAttrVolumeName, {});
        r.b[at + 8] = 1;
        StoreLE<uint32_t>(&r.b[at + 4], 40);
      },
      [](RecordBuilder& r) {  // a non-resident attribute whose name runs past the record
        StoreLE<uint16_t>(&r.b[20], 900);
        StoreLE<uint32_t>(&r.b[900], kAttrVolumeName);
        StoreLE<uint32_t>(&r.b[904], 80);
        r.b[908] = 1;
        r.b[909] = 255;
        StoreLE<uint32_t>(&r.b[980], kAttrEnd);
      },
      [](RecordBuilder& r) {  // the last header that still fits, with a value beyond the end
        StoreLE<uint16_t>(&r.b[20], 1000);
        StoreLE<uint32_t>(&r.b[1000], kAttrVolumeName);
        StoreLE<uint32_t>(&r.b[1004], 24);
        StoreLE<uint32_t>(&r.b[1016], 0x7FFF);
      },
  };
  int n = 0;
  for (const auto& damage : damages) {
    RecordBuilder r;
    damage(r);
    TAttribute a;
    EXPECT_FALSE(ReadAttribute(r.b, kAttrVolumeName, a)) << "case " << n++;
  }
}

// A root whose index root lies in extension record 9, named by its attribute list: the
// extension is used only when it names the root as its base; a zero-length entry ends the walk.
TEST(ReadRecordAttribute, FollowsTheAttributeListToTheRecordsOwnExtensionsOnly) {
  const struct {
    uint64_t base;
    uint16_t entryLength;
    bool found;
  } cases[] = {{5, 32, true}, {6, 32, false}, {5, 0, false}};
  for (const auto& c : cases) {
    MemorySectors disk(64 * 512);
    RecordBuilder root, extension;
    std::vector<uint8_t> entry(32, 0);
    entry[0] = kAttrIndexRoot;
    StoreLE<uint16_t>(&entry[4], c.entryLength);
    entry[0x10] = 9;
    root.AddResident(kAttrAttributeList, entry);
    extension.AddResident(kAttrIndexRoot, {7, 7}, 4);
    StoreLE<uint64_t>(&extension.b[0x20], c.base);
    root.Protect(), extension.Protect();
    std::copy(extension.b.begin(), extension.b.end(), disk.data.begin() + (16 + 2 * 9) * 512);
    TSector boot{};  // one sector a cluster, the MFT at cluster 16
    boot[0x0D] = 1;
    StoreLE<uint64_t>(&boot[0x30], 16);
    const TFsVolume volume = MakeVolume(disk, 0, 64, 64, boot, fkNtfs);
    ASSERT_EQ(FixUpRecord(root.b), kFileRecordSize);
    TAttribute a;
    EXPECT_EQ(ReadRecordAttribute(volume, root.b, kRootRecord, kAttrIndexRoot, a), c.found) << c.base << " " << c.entryLength;
    if (c.found) {
      EXPECT_EQ(a.Data, (std::vector<uint8_t>{7, 7}));
    }
  }
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
      {"pair past the end stops", {0x11, 0x04, 0x20, 0x31, 0x04, 0x10}, {{0x20, 4}}},
      {"no closing zero", {0x11, 0x04, 0x20}, {{0x20, 4}}},
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

// Labels of mkntfs volumes (RootDirectoryOnImages reads one) absent (the old text stays), or
// behind an MFT that lies beyond the disk (not read, no read-error question).
TEST(FsDetectOnImages, ReadsTheLabelsOfMkntfsVolumes) {
  for (const bool mftBeyond : {false, true}) {
    SCOPED_TRACE(mftBeyond);
    ScriptedHost host;
    QM_IMAGE(path, mftBeyond ? "ntfs-badmft.img" : "ntfs-nolabel.img", "10M", mftBeyond ? "fsat 0 20480 ntfs Gone" : "fsat 0 20480 ntfs");
    if (mftBeyond) WriteFileBytes(path, 0x30, {0xFF, 0xFF, 0xFF, 0x00, 0, 0, 0, 0});
    TPartition p;
    p.FsKind = fkNtfs;
    p.VolumeLabel = "before";
    const auto boot = ReadFileBytes(path, 0, 512);
    std::copy(boot.begin(), boot.end(), p.BootSector.begin());
    ReadVolumeLabel(*BareImage(path), p);
    EXPECT_EQ(p.VolumeLabel, "before");
    EXPECT_TRUE(host.messages.empty());
  }
}

}  // namespace
}  // namespace qm::test
