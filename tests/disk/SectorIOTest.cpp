// The sector layer through its public calls, over in-memory and fault-injecting sources.
#include <gtest/gtest.h>

#include <numeric>

#include "disk/SectorIO.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

constexpr size_t kDiskBytes = 4 * 1024 * 1024;

class SectorIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto memory = std::make_unique<MemorySource>(kDiskBytes);
    data = memory->data;
    for (size_t i = 0; i < data->size(); ++i) (*data)[i] = static_cast<uint8_t>(i * 7 + i / 512);
    auto fault = std::make_unique<FaultSource>(std::move(memory));
    state = fault->state;
    drive = registry.Attach(std::move(fault));
  }

  std::vector<uint8_t> Disk(uint64_t offset, size_t length) const {
    return {data->begin() + static_cast<long>(offset), data->begin() + static_cast<long>(offset + length)};
  }

  DriveRegistryScope registry;
  std::shared_ptr<std::vector<uint8_t>> data;
  std::shared_ptr<FaultSource::State> state;
  uint8_t drive = 0;
};

TEST_F(SectorIOTest, ReadsRunsLongerThanOneChunkExactly) {
  ScriptedHost host;
  std::vector<uint8_t> buf(300 * 512, 0xEE);
  ASSERT_TRUE(ReadSectors(drive, 10, 300, buf.data(), true, true));
  EXPECT_EQ(buf, Disk(10 * 512, buf.size()));
  EXPECT_EQ(state->readOffsets, std::vector<uint64_t>{5120});  // a healthy run reads in one go
  std::fill(buf.begin(), buf.end(), 0xEE);
  state->readOffsets.clear();
  ASSERT_TRUE(ReadSectors(drive, 10, 300, buf.data(), true, false));
  EXPECT_EQ(buf, Disk(10 * 512, buf.size()));
  EXPECT_EQ(state->readOffsets, (std::vector<uint64_t>{5120, 5120 + 65536, 5120 + 2 * 65536}));
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(SectorIOTest, AFailedRunIsReadAgainChunkByChunk) {
  ScriptedHost host{MsgAnswer::Ignore};
  state->readFaults[2 * 65536] = Fault{FaultKind::Error, EIO, -1};  // a bad chunk, for good
  std::vector<uint8_t> buf(400 * 512, 0xEE);
  ASSERT_TRUE(ReadSectors(drive, 0, 400, buf.data(), true, true));
  EXPECT_EQ(state->readOffsets, (std::vector<uint64_t>{0, 0, 65536, 2 * 65536}));
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 2 * 65536), Disk(0, 2 * 65536));
  EXPECT_TRUE(std::all_of(buf.begin() + 2 * 65536, buf.end(), [](uint8_t b) { return b == 0; }));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Error:Input/output error\rDrive:80H  LBA:0  Blocks:400\r\rAbort, Retry or Ignore?");
}

TEST_F(SectorIOTest, IgnoreAtSecondChunkLeavesTheRestZero) {
  ScriptedHost host{MsgAnswer::Ignore};
  state->readFaults[65536] = Fault{};
  std::vector<uint8_t> buf(300 * 512, 0xEE);
  ASSERT_TRUE(ReadSectors(drive, 0, 300, buf.data(), true, true));
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 65536), Disk(0, 65536));
  EXPECT_TRUE(std::all_of(buf.begin() + 65536, buf.end(), [](uint8_t b) { return b == 0; }));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "Read Error");
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::AbortRetryIgnore);
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Warning);
}

TEST_F(SectorIOTest, PromptNamesTheWholeCallAndTheSystemError) {
  ScriptedHost host{MsgAnswer::Abort};
  state->readFaults[512 * 5 + 65536] = Fault{FaultKind::Error, EIO, 1};
  std::vector<uint8_t> buf(200 * 512);
  EXPECT_FALSE(ReadSectors(drive, 5, 200, buf.data(), true, true));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Error:Input/output error\rDrive:80H  LBA:5  Blocks:200\r\rAbort, Retry or Ignore?");
}

TEST_F(SectorIOTest, ShortTransferIsAFailureAndLbaIsShownSigned) {
  ScriptedHost host{MsgAnswer::Abort};
  std::vector<uint8_t> buf(512);
  EXPECT_FALSE(ReadSectors(drive, 0x80000000u, 1, buf.data(), true, true));  // far beyond the end
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Error:No such device or address\rDrive:80H  LBA:-2147483648  Blocks:1\r\rAbort, Retry or Ignore?");
}

TEST_F(SectorIOTest, RetryReadsTheSameChunkAgain) {
  ScriptedHost host{MsgAnswer::Retry, MsgAnswer::Retry};
  state->readFaults[65536] = Fault{FaultKind::Short, 0, 2};
  std::vector<uint8_t> buf(256 * 512);
  ASSERT_TRUE(ReadSectors(drive, 0, 256, buf.data(), true, false));
  EXPECT_EQ(buf, Disk(0, buf.size()));
  EXPECT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(state->readOffsets, (std::vector<uint64_t>{0, 65536, 65536, 65536}));
}

TEST_F(SectorIOTest, WithoutPromptTheFirstFailureReturnsFalseSilently) {
  ScriptedHost host;
  state->readFaults[65536] = Fault{};
  std::vector<uint8_t> buf(256 * 512, 0xAB);
  EXPECT_FALSE(ReadSectors(drive, 0, 256, buf.data(), false, true));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 65536), Disk(0, 65536));
  EXPECT_TRUE(std::all_of(buf.begin() + 65536, buf.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(SectorIOTest, WithoutZeroFillUnreadBytesStayAsTheyWere) {
  ScriptedHost host{MsgAnswer::Ignore};
  state->readFaults[0] = Fault{};
  std::vector<uint8_t> buf(512, 0xAB);
  EXPECT_TRUE(ReadSectors(drive, 0, 1, buf.data(), true, false));
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0xAB; }));
}

TEST_F(SectorIOTest, WriteIgnoreSkipsOnlyTheFailedChunk) {
  ScriptedHost host{MsgAnswer::Ignore};
  state->writeFaults[65536] = Fault{};
  std::vector<uint8_t> buf(384 * 512, 0x5A);
  ASSERT_TRUE(WriteSectors(drive, 0, 384, buf.data(), true, 1));
  EXPECT_EQ(state->writeOffsets, (std::vector<uint64_t>{0, 65536, 131072}));
  EXPECT_EQ(Disk(0, 65536), std::vector<uint8_t>(65536, 0x5A));
  EXPECT_NE(Disk(65536, 65536), std::vector<uint8_t>(65536, 0x5A));
  EXPECT_EQ(Disk(131072, 65536), std::vector<uint8_t>(65536, 0x5A));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "Write Error");
}

TEST_F(SectorIOTest, WriteAbortStopsAtTheFailedChunk) {
  ScriptedHost host{MsgAnswer::Abort};
  state->writeFaults[65536] = Fault{};
  std::vector<uint8_t> buf(384 * 512, 0x5A);
  EXPECT_FALSE(WriteSectors(drive, 0, 384, buf.data(), true, 1));
  EXPECT_EQ(state->writeOffsets, (std::vector<uint64_t>{0, 65536}));
}

TEST_F(SectorIOTest, HandleIsReusedUntilDriveOrModeChanges) {
  ScriptedHost host;
  auto second = std::make_unique<FaultSource>(std::make_unique<MemorySource>(1 << 20));
  auto secondState = second->state;
  uint8_t other = registry.Attach(std::move(second));
  EXPECT_EQ(other, 0x81);
  std::vector<uint8_t> buf(512);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(ReadSectors(drive, i, 1, buf.data(), true, true));
  EXPECT_EQ(state->opens[0], 1);
  ASSERT_TRUE(WriteSectors(drive, 0, 1, buf.data(), true, 1));
  ASSERT_TRUE(WriteSectors(drive, 1, 1, buf.data(), true, 1));
  EXPECT_EQ(state->opens[1], 1);
  ASSERT_TRUE(ReadSectors(drive, 0, 1, buf.data(), true, true));
  EXPECT_EQ(state->opens[0], 2);  // read after write reopens
  ASSERT_TRUE(ReadSectors(other, 0, 1, buf.data(), true, true));
  ASSERT_TRUE(ReadSectors(drive, 0, 1, buf.data(), true, true));
  EXPECT_EQ(secondState->opens[0], 1);
  EXPECT_EQ(state->opens[0], 3);  // another drive in between reopens
}

TEST_F(SectorIOTest, OpenAndSeekFailuresReturnFalseWithoutMessage) {
  ScriptedHost host;
  std::vector<uint8_t> buf(512);
  state->failOpen = true;
  EXPECT_FALSE(ReadSectors(drive, 0, 1, buf.data(), true, true));
  EXPECT_FALSE(WriteSectors(drive, 0, 1, buf.data(), true, 1));
  state->failOpen = false;
  EXPECT_TRUE(ReadSectors(drive, 0, 1, buf.data(), true, true));  // the next call tries again
  state->failSeek = true;
  EXPECT_FALSE(ReadSectors(drive, 0, 1, buf.data(), true, true));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_FALSE(ReadSectors(0x90, 0, 1, buf.data(), true, true));  // no such drive
  EXPECT_FALSE(ReadSectors(0x00, 0, 1, buf.data(), true, true));  // no floppy units
}

TEST_F(SectorIOTest, NotifyOSOnImagesSucceedsAndOnBusyDevicesExplains) {
  ScriptedHost host;
  EXPECT_TRUE(NotifyOS(drive));
  EXPECT_EQ(state->opens[1], 0);  // an image is not even opened
  state->blockDevice = true;
  state->failReread = true;
  EXPECT_FALSE(NotifyOS(drive));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "NotifyOS Error");
  EXPECT_EQ(host.messages[0].text, "Device or resource busy");
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::Ok);
}

// Whether a write could be opened is asked of the source, unless a write handle is open already:
// a cached read handle says nothing about it.
TEST_F(SectorIOTest, ProbeWritableAsksTheSourceUnlessAWriteHandleIsOpen) {
  ScriptedHost host;
  std::vector<uint8_t> buf(512);
  ASSERT_TRUE(ReadSectors(drive, 0, 1, buf.data(), true, true));
  state->failOpen = true;
  EXPECT_EQ(ProbeWritable(drive), EACCES);
  state->failOpen = false;
  EXPECT_EQ(ProbeWritable(drive), 0);
  ASSERT_TRUE(WriteSectors(drive, 0, 1, buf.data(), true, 1));
  const int opens = state->opens[1];
  state->failOpen = true;
  EXPECT_EQ(ProbeWritable(drive), 0);
  EXPECT_EQ(state->opens[1], opens);
  EXPECT_EQ(ProbeWritable(0x90), ENODEV);
  EXPECT_TRUE(host.messages.empty());
}

TEST(SystemErrorText, TrimsBlanksControlsAndFullStops) {
  EXPECT_EQ(SystemErrorText(EIO), "Input/output error");
  EXPECT_EQ(DriveHex(0x80), "80");
  EXPECT_EQ(DriveHex(0x0A), "0A");
}

TEST(OsKind, ClassifiesEveryTableRow) {
  EXPECT_EQ(ClassifyOS(kPlatformLegacy, 4, 0), osWin95);
  EXPECT_EQ(ClassifyOS(kPlatformLegacy, 3, 95), osWin95);
  EXPECT_EQ(ClassifyOS(kPlatformLegacy, 4, 10), osWin98);
  EXPECT_EQ(ClassifyOS(kPlatformLegacy, 4, 90), osWin98);
  EXPECT_EQ(ClassifyOS(kPlatformLegacy, 5, 0), osWin98);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 3, 51), osWinNT4);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 4, 0), osWinNT4);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 5, 0), osWin2000);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 5, 1), osWinXP);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 5, 2), osWin2003);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 6, 0), osVista);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 6, 3), osVista);
  // Versions the table does not know yet are modern systems, not unknown ones.
  EXPECT_EQ(ClassifyOS(kPlatformNT, 10, 0), osVista);
  EXPECT_EQ(ClassifyOS(kPlatformNT, 5, 3), osWin2003);
  EXPECT_GE(GetOSKind(), osWinXP);
  EXPECT_TRUE(IsWinNT());
}

}  // namespace
}  // namespace qm::test
