// Image files through the real file binding: geometry, writes that land, and damaged images.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "disk/SectorIO.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

namespace qm::test {
namespace {

std::string TempImage(const std::string& name, uint64_t bytes) {
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  std::string path = ProcessFixtureDir() + "/" + name;
  std::filesystem::remove(path);
  { std::ofstream touch(path); }
  std::filesystem::resize_file(path, bytes);
  return path;
}

TEST(ImageFile, GeometryFollowsTheFileSize) {
  DriveRegistryScope registry;
  uint8_t drive = registry.AttachImage(TempImage("geo.img", 100ull * 1024 * 1024));
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(drive, g));
  EXPECT_EQ(g.TotalSectors, 204800u);
  EXPECT_EQ(g.Heads, 255u);
  EXPECT_EQ(g.SectorsPerTrack, 63u);
  EXPECT_EQ(g.Cylinders, 204800u / (255 * 63));
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_EQ(g.MediaClass, kMediaFixed);
  EXPECT_EQ(g.Removable, 0);
}

TEST(ImageFile, TotalSectorsAreCappedAt32Bits) {
  DriveRegistryScope registry;
  std::string huge;
  try {
    huge = TempImage("huge.img", 3ull << 40);  // sparse 3 TiB
  } catch (const std::filesystem::filesystem_error& e) {
    GTEST_SKIP() << "this file system holds no sparse 3 TiB file: " << e.what();
  }
  uint8_t drive = registry.AttachImage(huge);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(drive, g));
  EXPECT_EQ(g.TotalSectors, 0xFFFFFFFFu);
  // An LBA at 4 GiB and beyond reaches its byte offset, not a wrapped one.
  std::vector<uint8_t> sector(512, 0x3C);
  ASSERT_TRUE(WriteSectors(drive, 0x00900000, 1, sector.data(), true, 1));
  const std::string& path = huge;
  EXPECT_EQ(ReadFileBytes(path, 0x00900000ull * 512, 512), sector);
  std::vector<uint8_t> back(512);
  ASSERT_TRUE(ReadSectors(drive, 0x00900000, 1, back.data(), true, true));
  EXPECT_EQ(back, sector);
  std::filesystem::remove(path);
}

TEST(ImageFile, ZeroLengthAndTruncatedImagesReadCleanly) {
  DriveRegistryScope registry;
  ScriptedHost host;
  uint8_t empty = registry.AttachImage(TempImage("empty.img", 0));
  uint8_t odd = registry.AttachImage(TempImage("odd.img", 512 * 3 + 100));
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(empty, g));
  EXPECT_EQ(g.TotalSectors, 0u);
  EXPECT_EQ(g.Cylinders, 0u);
  std::vector<uint8_t> buf(512, 0xFF);
  EXPECT_FALSE(ReadSectors(empty, 0, 1, buf.data(), false, true));
  EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
  ASSERT_TRUE(GetDriveGeometry(odd, g));
  EXPECT_EQ(g.TotalSectors, 3u);
  EXPECT_TRUE(ReadSectors(odd, 2, 1, buf.data(), false, true));
  EXPECT_FALSE(ReadSectors(odd, 3, 1, buf.data(), false, true));  // the partial last sector
  EXPECT_TRUE(host.messages.empty());
}

TEST(ImageFile, WriteTouchesOnlyTheSectorsAsked) {
  DriveRegistryScope registry;
  std::string path = TempImage("write.img", 1 << 20);
  WriteFileBytes(path, 0, std::vector<uint8_t>(1 << 20, 0x11));
  uint8_t drive = registry.AttachImage(path);
  std::vector<uint8_t> two(1024, 0x22);
  ASSERT_TRUE(WriteSectors(drive, 7, 2, two.data(), true, 1));
  EXPECT_EQ(ReadFileBytes(path, 7 * 512 - 1, 1), std::vector<uint8_t>{0x11});
  EXPECT_EQ(ReadFileBytes(path, 7 * 512, 1024), two);
  EXPECT_EQ(ReadFileBytes(path, 9 * 512, 1), std::vector<uint8_t>{0x11});
}

// A read that reaches past the end of the file is a short transfer, which the prompt names
// as such; the default host, without a window, writes the prompt to stderr line by line.
TEST(ImageFile, AReadPastTheEndIsNamedAsSuch) {
  DriveRegistryScope registry;
  uint8_t odd = registry.AttachImage(TempImage("past-end.img", 512 * 3 + 100));
  std::vector<uint8_t> buf(1024, 0xFF);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadSectors(odd, 2, 2, buf.data(), true, true));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Read Error: Error:No such device or address\nDrive:80H  LBA:2  Blocks:2\n\nAbort, Retry or Ignore?\n");
}

TEST(ImageFile, MissingPathFailsWithoutMessages) {
  DriveRegistryScope registry;
  ScriptedHost host;
  uint8_t drive = registry.AttachImage(std::string(QM_FIXTURE_DIR) + "/does-not-exist.img");
  TDriveGeometry g;
  EXPECT_FALSE(GetDriveGeometry(drive, g));
  std::vector<uint8_t> buf(512);
  EXPECT_FALSE(ReadSectors(drive, 0, 1, buf.data(), true, true));
  EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace qm::test
