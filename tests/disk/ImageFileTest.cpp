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
  const std::string path = FreshPath(name);
  std::ofstream(path).close();
  std::filesystem::resize_file(path, bytes);
  return path;
}

TEST(ImageFile, GeometryFollowsTheFileSize) {
  DriveRegistryScope registry;
  ScriptedHost host;
  const struct {
    uint64_t bytes;
    uint32_t sectors;
  } cases[] = {{100ull << 20, 204800}, {0, 0}, {512 * 3 + 100, 3}};
  for (const auto& c : cases) {
    TDriveGeometry g;
    ASSERT_TRUE(GetDriveGeometry(registry.AttachImage(TempImage("geo" + std::to_string(c.bytes) + ".img", c.bytes)), g));
    EXPECT_EQ(std::vector<uint32_t>({g.TotalSectors, g.Heads, g.SectorsPerTrack, g.Cylinders, g.BytesPerSector}),
              std::vector<uint32_t>({c.sectors, 255, 63, c.sectors / (255 * 63), 512}));
    EXPECT_EQ(g.MediaClass, kMediaFixed);
  }
  // The partial last sector of a truncated image cannot be read; an empty image reads zeroes.
  std::vector<uint8_t> buf(512, 0xFF);
  EXPECT_FALSE(ReadSectors(0x81, 0, 1, buf.data(), false, true));
  EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
  EXPECT_TRUE(ReadSectors(0x82, 2, 1, buf.data(), false, true));
  EXPECT_FALSE(ReadSectors(0x82, 3, 1, buf.data(), false, true));
  EXPECT_TRUE(host.messages.empty());
  // A missing file has no geometry and no sectors, and says nothing.
  TDriveGeometry g;
  const uint8_t missing = registry.AttachImage(std::string(QM_FIXTURE_DIR) + "/does-not-exist.img");
  EXPECT_FALSE(GetDriveGeometry(missing, g));
  EXPECT_FALSE(ReadSectors(missing, 0, 1, buf.data(), true, true));
  EXPECT_TRUE(host.messages.empty());
}

TEST(ImageFile, WritesLandWhereTheirLbaSaysAndNowhereElse) {
  DriveRegistryScope registry;
  const std::string path = TempImage("write.img", 1 << 20);
  WriteFileBytes(path, 0, std::vector<uint8_t>(1 << 20, 0x11));
  const std::vector<uint8_t> two(1024, 0x22);
  ASSERT_TRUE(WriteSectors(registry.AttachImage(path), 7, 2, two.data(), true, 1));
  std::vector<uint8_t> around(1026, 0x22);  // the two sectors and a byte on each side
  around.front() = around.back() = 0x11;
  EXPECT_EQ(ReadFileBytes(path, 7 * 512 - 1, 1026), around);

  std::string huge;
  try {
    huge = TempImage("huge.img", 3ull << 40);  // sparse 3 TiB
  } catch (const std::filesystem::filesystem_error& e) {
    GTEST_SKIP() << "this file system holds no sparse 3 TiB file: " << e.what();
  }
  const uint8_t drive = registry.AttachImage(huge);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(drive, g));
  EXPECT_EQ(g.TotalSectors, 0xFFFFFFFFu);  // capped at 32 bits
  // An LBA at 4 GiB and beyond reaches its byte offset, not a wrapped one.
  std::vector<uint8_t> sector(512, 0x3C), back(512);
  ASSERT_TRUE(WriteSectors(drive, 0x00900000, 1, sector.data(), true, 1));
  EXPECT_EQ(ReadFileBytes(huge, 0x00900000ull * 512, 512), sector);
  ASSERT_TRUE(ReadSectors(drive, 0x00900000, 1, back.data(), true, true));
  EXPECT_EQ(back, sector);
  std::filesystem::remove(huge);
}

// A read that reaches past the end of the file is a short transfer, which the prompt names
// as such; the default host, without a window, writes the prompt to stderr line by line.
TEST(ImageFile, AReadPastTheEndIsNamedAsSuch) {
  DriveRegistryScope registry;
  const uint8_t odd = registry.AttachImage(TempImage("past-end.img", 512 * 3 + 100));
  std::vector<uint8_t> buf(1024, 0xFF);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadSectors(odd, 2, 2, buf.data(), true, true));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Read Error: Error:No such device or address\nDrive:80H  LBA:2  Blocks:2\n\nAbort, Retry or Ignore?\n");
}

}  // namespace
}  // namespace qm::test
