// A disk through its public calls, over in-memory and fault-injecting sources, and
// image files through the real file binding: geometry, writes that land, and damaged images.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "disk/DryRunSource.h"
#include "disk/Disk.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr size_t kDiskBytes = 4 * 1024 * 1024;

class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto memory = std::make_unique<MemorySource>(kDiskBytes);
    data = memory->data;
    for (size_t i = 0; i < data->size(); ++i) (*data)[i] = static_cast<uint8_t>(i * 7 + i / 512);
    auto fault = std::make_unique<FaultSource>(std::move(memory));
    state = fault->state;
    disk = SourceDisk(std::move(fault));
  }

  std::vector<uint8_t> Bytes(uint64_t offset, size_t length) const {
    return {data->begin() + static_cast<long>(offset), data->begin() + static_cast<long>(offset + length)};
  }

  std::shared_ptr<std::vector<uint8_t>> data;
  std::shared_ptr<FaultSource::State> state;
  std::unique_ptr<Disk> disk;
};

// Reads of runs longer than one 64 KiB chunk, with a fault in one chunk and the user's answers
// to the prompt. `good` bytes come from the disk; the rest of the buffer ends up `rest`.
TEST_F(DiskTest, ReadsAndTheirFaults) {
  constexpr uint64_t C = 65536;
  constexpr int kFill = 0x100;  // the buffer's own bytes stay
  const Fault forever{FaultKind::Error, EIO, -1}, once{FaultKind::Error, EIO, 1}, shortTwice{FaultKind::Short, 0, 2};
  const std::string prompt = "\r\rAbort, Retry or Ignore?";
  const struct {
    const char* what;
    std::vector<MsgAnswer> answers;
    uint64_t faultAt;
    Fault fault;
    uint32_t lba;
    uint16_t count;
    bool ask, zero, ok;
    std::vector<uint64_t> offsets;  // of every transfer, when given
    size_t good;
    int rest;  // -1: not checked
    std::string message;  // how the prompt begins; empty: no prompt
  } cases[] = {
      {"a healthy run is read in one go", {}, ~0ull, {}, 10, 300, true, true, true, {5120}, 300 * 512, 0, ""},
      {"without zero fill, chunk by chunk", {}, ~0ull, {}, 10, 300, true, false, true, {5120, 5120 + C, 5120 + 2 * C},
       300 * 512, 0, ""},
      {"a failed run is read again chunk by chunk", {MsgAnswer::Ignore}, 2 * C, forever, 0, 400, true, true, true,
       {0, 0, C, 2 * C}, 2 * C, 0, "Error:Input/output error\rDrive:80H  LBA:0  Blocks:400" + prompt},
      {"Ignore at the second chunk leaves the rest zero", {MsgAnswer::Ignore}, C, once, 0, 300, true, true, true, {},
       C, 0, "Error:Input/output error\rDrive:80H  LBA:0  Blocks:300" + prompt},
      {"the prompt names the whole call", {MsgAnswer::Abort}, 5 * 512 + C, once, 5, 200, true, true, false, {}, 0, -1,
       "Error:Input/output error\rDrive:80H  LBA:5  Blocks:200" + prompt},
      {"a short transfer above 1 TiB names its whole sector", {MsgAnswer::Abort}, ~0ull, {}, 2147487744u, 1, true, true,
       false, {}, 0, -1, "Error:No such device or address\rDrive:80H  LBA:2147487744  Blocks:1" + prompt},
      {"Retry reads the same chunk again", {MsgAnswer::Retry, MsgAnswer::Retry}, C, shortTwice, 0, 256, true, false, true,
       {0, C, C, C}, 256 * 512, 0, "Error:"},
      {"without a prompt the first failure ends the read silently", {}, C, once, 0, 256, false, true, false, {}, C, 0, ""},
      {"without zero fill unread bytes stay", {MsgAnswer::Ignore}, 0, once, 0, 1, true, false, true, {}, 0, kFill,
       "Error:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedHost host;
    host.answers.assign(c.answers.begin(), c.answers.end());
    state->readFaults.clear();
    state->readOffsets.clear();
    if (c.faultAt != ~0ull) state->readFaults[c.faultAt] = c.fault;
    std::vector<uint8_t> buf(size_t{c.count} * 512, 0xAB);
    EXPECT_EQ(disk->ReadSectors(c.lba, c.count, buf.data(), c.ask, c.zero), c.ok);
    if (!c.offsets.empty()) { EXPECT_EQ(state->readOffsets, c.offsets); }
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + static_cast<long>(c.good)), Bytes(uint64_t{c.lba} * 512, c.good));
    if (c.rest >= 0) {
      const uint8_t rest = c.rest == kFill ? 0xAB : static_cast<uint8_t>(c.rest);
      EXPECT_TRUE(std::all_of(buf.begin() + static_cast<long>(c.good), buf.end(), [&](uint8_t b) { return b == rest; }));
    }
    ASSERT_EQ(host.messages.size(), c.answers.size());
    if (c.message.empty()) continue;
    EXPECT_EQ(host.messages[0].text.rfind(c.message, 0), 0u) << host.messages[0].text;
    EXPECT_EQ(host.messages[0].caption, "Read Error");
    EXPECT_EQ(host.messages[0].buttons, MsgButtons::AbortRetryIgnore);
    EXPECT_EQ(host.messages[0].icon, MsgIcon::Warning);
  }
}

// A failed 64 KiB chunk of a write: Ignore goes on behind it, Abort stops there.
TEST_F(DiskTest, WriteFaultsAreAnsweredByTheUser) {
  for (MsgAnswer answer : {MsgAnswer::Ignore, MsgAnswer::Abort}) {
    ScriptedHost host{answer};
    state->writeFaults[65536] = Fault{};
    state->writeOffsets.clear();
    std::fill(data->begin(), data->begin() + 384 * 512, uint8_t{0});
    std::vector<uint8_t> buf(384 * 512, 0x5A);
    const bool ignore = answer == MsgAnswer::Ignore;
    EXPECT_EQ(disk->WriteSectors(0, 384, buf.data(), true), ignore);
    EXPECT_EQ(state->writeOffsets, ignore ? (std::vector<uint64_t>{0, 65536, 131072}) : (std::vector<uint64_t>{0, 65536}));
    EXPECT_EQ(Bytes(0, 65536), std::vector<uint8_t>(65536, 0x5A));
    EXPECT_NE(Bytes(65536, 65536), std::vector<uint8_t>(65536, 0x5A));
    EXPECT_EQ(Bytes(131072, 65536) == std::vector<uint8_t>(65536, 0x5A), ignore);
    EXPECT_EQ(host.Captions(), std::vector<std::string>{"Write Error"});
  }
}

// Each disk keeps its own handle: work on another disk in between reopens nothing, a read after
// a write reopens. A source that cannot be opened fails the call without a message; the next
// call tries again. Whether a write could be opened is asked of the source, unless a write
// handle is open already: a cached read handle says nothing about it.
TEST_F(DiskTest, HandlesAreKeptReopenedAndProbedAndTheSystemIsTold) {
  ScriptedHost host;
  auto second = std::make_unique<FaultSource>(std::make_unique<MemorySource>(1 << 20));
  auto secondState = second->state;
  std::unique_ptr<Disk> other = SourceDisk(std::move(second));
  std::vector<uint8_t> buf(512);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(disk->ReadSectors(i, 1, buf.data(), true, true));
  EXPECT_EQ(state->opens[0], 1);
  state->failOpen = true;
  EXPECT_EQ(disk->ProbeWritable(), EACCES);
  EXPECT_FALSE(disk->WriteSectors(0, 1, buf.data(), true));
  state->failOpen = false;
  EXPECT_EQ(disk->ProbeWritable(), 0);
  const int writeOpens = state->opens[1] + 1;
  ASSERT_TRUE(disk->WriteSectors(0, 1, buf.data(), true));
  ASSERT_TRUE(disk->WriteSectors(1, 1, buf.data(), true));
  state->failOpen = true;
  EXPECT_EQ(disk->ProbeWritable(), 0);
  EXPECT_EQ(state->opens[1], writeOpens);  // one open for both writes, none for the probe
  EXPECT_FALSE(disk->ReadSectors(0, 1, buf.data(), true, true));  // a read after a write reopens
  state->failOpen = false;
  ASSERT_TRUE(disk->ReadSectors(0, 1, buf.data(), true, true));
  ASSERT_TRUE(other->ReadSectors(0, 1, buf.data(), true, true));
  ASSERT_TRUE(disk->ReadSectors(0, 1, buf.data(), true, true));
  EXPECT_EQ(secondState->opens[0], 1);
  EXPECT_EQ(state->opens[0], 3);
  EXPECT_TRUE(host.messages.empty());
  Disk none(nullptr, 0x90);  // a drive without a source
  EXPECT_FALSE(none.ReadSectors(0, 1, buf.data(), true, true));
  EXPECT_EQ(none.LastIoError(), ENODEV);
  EXPECT_EQ(none.ProbeWritable(), ENODEV);
  // The system is told of a new table on a device only, and hears nothing when the device cannot
  // be opened for writing; a busy device is named as such, by the caller, not by the disk.
  EXPECT_TRUE(disk->NotifyOS().ok());
  EXPECT_EQ(state->opens[1], writeOpens);  // an image is not even opened
  state->blockDevice = true;
  state->failOpen = true;
  EXPECT_EQ(disk->NotifyOS().Errno, EACCES);
  state->failOpen = false;
  state->failReread = true;
  const Outcome busy = disk->NotifyOS();
  EXPECT_EQ(busy.Caption + ": " + busy.Text, "NotifyOS Error: Device or resource busy");
  EXPECT_EQ(busy.Errno, EBUSY);
  EXPECT_TRUE(host.messages.empty());
}

// A dry run's reads still meet the disk's read errors (that it writes nothing and shows what the
// real run writes: CliDryRun.ShowsExactlyWhatTheRealRunWritesAndWritesNothing).
TEST(DryRunSource, ReadErrorsPassThrough) {
  ScriptedHost host;
  auto faulty = std::make_unique<FaultSource>(std::make_unique<MemorySource>(64 * 512));
  faulty->state->readFaults[0] = Fault{FaultKind::Error, EIO, -1};
  const std::unique_ptr<Disk> disk = SourceDisk(std::make_unique<DryRunSource>(std::move(faulty)));
  std::vector<uint8_t> sector(512);
  const Outcome failed = disk->Read(0, 1, sector.data());
  EXPECT_EQ(failed.Errno, EIO);
  EXPECT_EQ(failed.Sector, Lba{0});
}

TEST(ImageFile, GeometryFollowsTheFileSize) {
  const struct {
    uint64_t bytes;
    uint32_t sectors;
  } cases[] = {{100ull << 20, 204800}, {0, 0}, {512 * 3 + 100, 3}};
  std::vector<std::unique_ptr<Disk>> disks;
  for (const auto& c : cases) {
    TDriveGeometry g;
    disks.push_back(SourceDisk(std::make_unique<FileSource>(SparseImage("geo" + std::to_string(c.bytes) + ".img", c.bytes))));
    ASSERT_TRUE(disks.back()->QueryGeometry(g));
    EXPECT_EQ(std::vector<uint32_t>({g.TotalSectors, g.Heads, g.SectorsPerTrack, g.Cylinders, g.BytesPerSector}),
              std::vector<uint32_t>({c.sectors, 255, 63, c.sectors / (255 * 63), 512}));
    EXPECT_EQ(g.MediaClass, kMediaFixed);
  }
  // A read that reaches past the end of the file is a short transfer, which the prompt names as
  // such; the default host, without a window, writes the prompt to stderr line by line.
  std::vector<uint8_t> buf(1024, 0xFF);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(disks[2]->ReadSectors(2, 2, buf.data(), true, true));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Read Error: Error:No such device or address\nDrive:80H  LBA:2  Blocks:2\n\nAbort, Retry or Ignore?\n");
  // The partial last sector of a truncated image cannot be read; an empty image reads zeroes.
  ScriptedHost host;
  buf.assign(512, 0xFF);
  EXPECT_FALSE(disks[1]->ReadSectors(0, 1, buf.data(), false, true));
  EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
  EXPECT_TRUE(disks[2]->ReadSectors(2, 1, buf.data(), false, true));
  EXPECT_FALSE(disks[2]->ReadSectors(3, 1, buf.data(), false, true));
  EXPECT_TRUE(host.messages.empty());
  // A missing file has no geometry and no sectors, and says nothing.
  TDriveGeometry g;
  const std::unique_ptr<Disk> missing = SourceDisk(std::make_unique<FileSource>(std::string(QM_FIXTURE_DIR) + "/does-not-exist.img"));
  EXPECT_FALSE(missing->QueryGeometry(g));
  EXPECT_FALSE(missing->ReadSectors(0, 1, buf.data(), true, true));
  EXPECT_TRUE(host.messages.empty());
}

TEST(ImageFile, WritesLandWhereTheirLbaSaysAndNowhereElse) {
  const std::string path = SparseImage("write.img", 1 << 20);
  WriteFileBytes(path, 0, std::vector<uint8_t>(1 << 20, 0x11));
  const std::vector<uint8_t> two(1024, 0x22);
  ASSERT_TRUE(SourceDisk(std::make_unique<FileSource>(path))->WriteSectors(7, 2, two.data(), true));
  std::vector<uint8_t> around(1026, 0x22);  // the two sectors and a byte on each side
  around.front() = around.back() = 0x11;
  EXPECT_EQ(ReadFileBytes(path, 7 * 512 - 1, 1026), around);

  std::string huge;
  try {
    huge = SparseImage("huge.img", 3ull << 40);  // sparse 3 TiB
  } catch (const std::filesystem::filesystem_error& e) {
    GTEST_SKIP() << "this file system holds no sparse 3 TiB file: " << e.what();
  }
  const std::unique_ptr<Disk> disk = SourceDisk(std::make_unique<FileSource>(huge));
  TDriveGeometry g;
  ASSERT_TRUE(disk->QueryGeometry(g));
  EXPECT_EQ(g.TotalSectors, 0xFFFFFFFFu);  // capped at 32 bits
  // An LBA at 4 GiB and beyond reaches its byte offset, not a wrapped one.
  std::vector<uint8_t> sector(512, 0x3C), back(512);
  ASSERT_TRUE(disk->WriteSectors(0x00900000, 1, sector.data(), true));
  EXPECT_EQ(ReadFileBytes(huge, 0x00900000ull * 512, 512), sector);
  ASSERT_TRUE(disk->ReadSectors(0x00900000, 1, back.data(), true, true));
  EXPECT_EQ(back, sector);
  std::filesystem::remove(huge);
}

}  // namespace

}  // namespace qm::test
