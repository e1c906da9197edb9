#include "model/Enumeration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "disk/Disk.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// A scratch folder for fake sysfs and /dev trees, in this process's own fixture folder.
struct ScratchDir {
  explicit ScratchDir(const std::string& name) : path_(test::FreshPath("enum-" + name)) { fs::create_directories(path_); }
  std::string Path(const std::string& rel = "") const { return rel.empty() ? path_.string() : (path_ / rel).string(); }
  // Writes a small attribute file, making its directories.
  void Put(const std::string& rel, const std::string& content = "") const {
    fs::create_directories((path_ / rel).parent_path());
    std::ofstream(path_ / rel) << content;
  }
  fs::path path_;
};

// Whole disks by their names, and loop devices while a file is attached (they have a size
// then), in name order; partitions, controllers, zram, ram and mapper devices never.
TEST(DriveSources, MachineDisksComeInNameOrder) {
  ScratchDir sys("sysblock");
  for (const char* name : {"vda", "sdb", "sda", "sdz", "sdaa", "hdb", "nvme0n1", "nvme12n3", "mmcblk0", "mmcblk10",
                           "sda1", "vda2", "nvme0n1p1", "nvme0", "nvme0n", "mmcblk0p1", "mmcblk0boot0", "mmcblk", "loop0",
                           "ram0", "zram0", "dm-0", "sr0", "sd", "md0", "sdA"})
    sys.Put(std::string(name) + "/size", "0");
  for (const char* name : {"loop12", "zram1", "ram2", "loopx"}) sys.Put(std::string(name) + "/size", "8192");
  EXPECT_EQ(ListMachineDisks(sys.Path()),
            (std::vector<std::string>{"/dev/hdb", "/dev/loop12", "/dev/mmcblk0", "/dev/mmcblk10", "/dev/nvme0n1",
                                      "/dev/nvme12n3", "/dev/sda", "/dev/sdaa", "/dev/sdb", "/dev/sdz", "/dev/vda"}));
  EXPECT_TRUE(ListMachineDisks(sys.Path("missing")).empty());
}

// Named images become drives in the order given; a drive number whose source gives no
// geometry is left out without ending the list. The reasons a named source is refused:
// ReadCommandsTest, through the program.
TEST(DriveSources, NamedImagesBecomeDrivesInOrder) {
  QM_IMAGE(a, "enum-a.img", "4M", "");
  QM_IMAGE(b, "enum-b.img", "8M", "");
  std::string error;
  std::vector<std::unique_ptr<Disk>> disks;
  ASSERT_TRUE(OpenDriveSources({b, a}, disks, error)) << error;
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[1]->Path(), a);
  disks.push_back(std::move(DisksOf({std::string(QM_FIXTURE_DIR) + "/enum-gone.img"}, 0x82)[0]));
  disks.push_back(std::make_unique<Disk>(std::make_unique<test::MemorySource>(2 << 20), 0x83));
  auto drives = CreatePhysicalDrives(std::move(disks), false);
  std::string numbers;  // and sizes in sectors
  for (const auto& d : drives->Drives) numbers += DriveHex(d->DriveNumber) + ':' + std::to_string(d->Geometry.TotalSectors) + ' ';
  EXPECT_EQ(numbers, "80:16384 81:8192 83:4096 ");
  EXPECT_TRUE(drives->LogicalDrives.empty());
  EXPECT_EQ(drives->FindDrive(0x82), nullptr);
  EXPECT_EQ(drives->FindDrive(0x83), drives->Drives[2].get());
}

TEST(DriveSources, NoOpenableMachineDiskTellsTheWayOut) {
  ScratchDir sys("nodisks");
  std::string error;
  std::vector<std::unique_ptr<Disk>> disks;
  EXPECT_FALSE(OpenDriveSources({}, disks, error, sys.Path()));
  EXPECT_NE(error.find("name a disk image"), std::string::npos) << error;
  sys.Put("sdzz/size", "0");  // listed by sysfs, but /dev/sdzz does not exist here
  EXPECT_FALSE(OpenDriveSources({}, disks, error, sys.Path()));
  EXPECT_NE(error.find("/dev/sdzz"), std::string::npos) << error;
  // Root is not told to become root.
  EXPECT_NE(error.find(::geteuid() == 0 ? "); name a disk image" : "run as root, or name a disk image"), std::string::npos)
      << error;
  EXPECT_TRUE(disks.empty());
}

TEST(LogicalDrivesOnImages, VolumesAreFoundByTheirFileSystems) {
  // A fake block-device tree whose device nodes are image files: libblkid reads both alike.
  ScratchDir sys("sysclass"), dev("dev");
  QM_IMAGE(fat, "enum-dev/sdb1", "16M", "fsat 0 32768 fat16 OFFICE");
  QM_IMAGE(ntfs, "enum-dev/sdc", "16M", "fsat 0 32768 ntfs ARCHIVE");
  QM_IMAGE(blank, "enum-dev/sdb3", "1M", "");
  // sdb2 is the extended partition, a two-sector device; sdb3 is readable but holds no file
  // system; sdb4 has no device node; sdc is a whole disk formatted without a table.
  for (const auto& [rel, content] : std::vector<std::pair<std::string, std::string>>{
           {"sdb/size", "1000000"}, {"sdb/removable", "1"}, {"sdb/sdb1/partition", "1"}, {"sdb/sdb1/size", "32768"},
           {"sdb2/partition", "2"}, {"sdb2/size", "2"}, {"sdb3/partition", "3"}, {"sdb3/size", "2048"},
           {"sdb4/partition", "4"}, {"sdb4/size", "4096"}, {"sdc/size", "32768"}, {"sdc/removable", "0"},
           {"zram0/size", "32768"}})
    sys.Put(rel, content);
  // As in sysfs, a partition's directory sits below its disk's and is listed through a link,
  // so that its ../removable is the disk's.
  fs::create_directory_symlink(sys.Path("sdb/sdb1"), sys.Path("sdb1"));

  // sdb1 is removable because the disk above it is; file systems carry the names the clone
  // compares (vfat with a 16-bit table is FAT).
  std::string seen;
  for (const auto& v : ListLogicalDrives(sys.Path(), dev.Path()))
    seen += v->Root.substr(dev.Path().size()) + ' ' + v->FileSystem + ' ' + v->VolumeLabel + ' ' +
            std::to_string(v->TotalBytes) + ' ' + v->SizeText + ' ' + std::to_string(v->DriveType) + '\n';
  EXPECT_EQ(seen, "/sdb1 FAT OFFICE 16777216 16.00 MB 2\n"
                  "/sdb4  No Name 2097152 2.00 MB 3\n"
                  "/sdc NTFS ARCHIVE 16777216 16.00 MB 3\n");
}

TEST(VolumeNames, PartitionDeviceIsFoundByItsStartSector) {
  ScratchDir disk("sdb");
  // queue is no partition: it has no `partition` file.
  for (const auto& [rel, content] : std::vector<std::pair<std::string, std::string>>{
           {"sdb1/partition", "1"}, {"sdb1/start", "2048"}, {"sdb5/partition", "5"}, {"sdb5/start", "45056"},
           {"queue/start", "45056"}, {"sdb6/partition", "6"}, {"sdb6/start", "garbage"}})
    disk.Put(rel, content);
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 2048), "sdb1");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 45056), "sdb5");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 4096), "");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 0x100000800ull), "");  // not cut to 32 bits
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path("missing"), 2048), "");
}

}  // namespace
}  // namespace qm
