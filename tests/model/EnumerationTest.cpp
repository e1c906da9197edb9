#include "model/Enumeration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "disk/SectorIO.h"
#include "support/Fixtures.h"
#include "support/Sources.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// A scratch directory for fake sysfs and /dev trees, removed afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name)
      : path_(fs::path(QM_FIXTURE_DIR) / ("enum-" + name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() { fs::remove_all(path_); }
  std::string Path(const std::string& rel = "") const { return rel.empty() ? path_.string() : (path_ / rel).string(); }
  // Writes a small attribute file, making its directories.
  void Put(const std::string& rel, const std::string& content = "") const {
    fs::create_directories((path_ / rel).parent_path());
    std::ofstream(path_ / rel) << content;
  }

 private:
  fs::path path_;
};

// --- Drive sources ---------------------------------------------------------------------

TEST(DriveSources, WholeDiskNamesExcludePartitionsAndVirtualDevices) {
  for (const char* name : {"sda", "sdz", "sdaa", "vda", "hdb", "nvme0n1", "nvme12n3", "mmcblk0", "mmcblk10"})
    EXPECT_TRUE(IsWholeDiskName(name)) << name;
  for (const char* name : {"sda1", "vda2", "nvme0n1p1", "nvme0", "nvme0n", "mmcblk0p1", "mmcblk0boot0", "mmcblk",
                           "loop0", "ram0", "zram0", "dm-0", "sr0", "sd", "md0", "sdA"})
    EXPECT_FALSE(IsWholeDiskName(name)) << name;
}

TEST(DriveSources, MachineDisksComeInNameOrder) {
  ScratchDir sys("sysblock");
  for (const char* name : {"vda", "sdb", "loop0", "sda", "zram0", "dm-0", "nvme0n1", "mmcblk0", "ram1"})
    sys.Put(std::string(name) + "/size", "0");
  EXPECT_EQ(ListMachineDisks(sys.Path()),
            (std::vector<std::string>{"/dev/mmcblk0", "/dev/nvme0n1", "/dev/sda", "/dev/sdb", "/dev/vda"}));
  EXPECT_TRUE(ListMachineDisks(sys.Path("missing")).empty());
}

TEST(DriveSources, NamedImagesBecomeDrivesInOrder) {
  test::DriveRegistryScope registry;
  std::string a = test::MakeImage("enum-a.img", "4M", "");
  std::string b = test::MakeImage("enum-b.img", "8M", "");
  std::string error;
  ASSERT_TRUE(AttachDriveSources({b, a}, error)) << error;
  ASSERT_EQ(AttachedDriveCount(), 2u);
  EXPECT_EQ(FindDriveSource(0x80)->Path(), b);
  EXPECT_EQ(FindDriveSource(0x81)->Path(), a);

  auto drives = CreatePhysicalDrives(false);
  ASSERT_EQ(drives->Drives.size(), 2u);
  EXPECT_EQ(drives->Drives[0]->DriveNumber, 0x80);
  EXPECT_EQ(uint32_t{drives->Drives[0]->Geometry.TotalSectors}, 16384u);
  EXPECT_EQ(drives->Drives[1]->DriveNumber, 0x81);
  EXPECT_EQ(uint32_t{drives->Drives[1]->Geometry.TotalSectors}, 8192u);
  EXPECT_TRUE(drives->LogicalDrives.empty());
}

TEST(DriveSources, ABadImageAttachesNothingAndSaysWhy) {
  test::DriveRegistryScope registry;
  std::string good = test::MakeImage("enum-good.img", "4M", "");
  std::string missing = std::string(QM_FIXTURE_DIR) + "/enum-no-such.img";
  std::string empty = std::string(QM_FIXTURE_DIR) + "/enum-empty.img";
  std::string tiny = std::string(QM_FIXTURE_DIR) + "/enum-tiny.img";
  std::ofstream(empty).close();
  std::ofstream(tiny) << "not a disk";

  std::string error;
  EXPECT_FALSE(AttachDriveSources({good, missing}, error));
  EXPECT_EQ(error, "cannot open " + missing + ": No such file or directory");
  EXPECT_EQ(AttachedDriveCount(), 0u);

  EXPECT_FALSE(AttachDriveSources({empty}, error));
  EXPECT_EQ(error, "cannot open " + empty + ": the image is empty");
  EXPECT_FALSE(AttachDriveSources({tiny}, error));
  EXPECT_NE(error.find("less than one sector"), std::string::npos) << error;
  EXPECT_FALSE(AttachDriveSources({QM_FIXTURE_DIR}, error));
  EXPECT_NE(error.find("not a disk image or block device"), std::string::npos) << error;
  EXPECT_EQ(AttachedDriveCount(), 0u);
}

TEST(DriveSources, NoOpenableMachineDiskTellsTheWayOut) {
  test::DriveRegistryScope registry;
  ScratchDir sys("nodisks");
  std::string error;
  EXPECT_FALSE(AttachDriveSources({}, error, sys.Path()));
  EXPECT_NE(error.find("name a disk image"), std::string::npos) << error;

  sys.Put("sdzz/size", "0");  // listed by sysfs, but /dev/sdzz does not exist here
  EXPECT_FALSE(AttachDriveSources({}, error, sys.Path()));
  EXPECT_NE(error.find("/dev/sdzz"), std::string::npos) << error;
  // Root is not told to become root.
  EXPECT_NE(error.find(::geteuid() == 0 ? "); name a disk image" : "run as root, or name a disk image"), std::string::npos)
      << error;
  EXPECT_EQ(AttachedDriveCount(), 0u);
}

// A drive number whose geometry cannot be asked.
class SilentSource final : public DriveSource {
 public:
  const std::string& Path() const override { return path_; }
  bool IsBlockDevice() const override { return false; }
  std::unique_ptr<SourceHandle> Open(AccessMode, int& error) override {
    error = ENXIO;
    return nullptr;
  }
  bool QueryGeometry(TDriveGeometry&, int& error) override {
    error = ENXIO;
    return false;
  }

 private:
  std::string path_ = "silent";
};

TEST(DriveSources, ASilentDriveNumberDoesNotEndTheProbe) {
  test::DriveRegistryScope registry;
  registry.Attach(std::make_unique<test::MemorySource>(4 << 20));
  registry.Attach(std::make_unique<SilentSource>());
  registry.Attach(std::make_unique<test::MemorySource>(2 << 20));
  auto drives = CreatePhysicalDrives(false);
  ASSERT_EQ(drives->Drives.size(), 2u);
  EXPECT_EQ(drives->Drives[0]->DriveNumber, 0x80);
  EXPECT_EQ(drives->Drives[1]->DriveNumber, 0x82);
  EXPECT_EQ(drives->FindDrive(0x81), nullptr);
}

// --- The system's volumes --------------------------------------------------------------

TEST(LogicalDrives, SizeTextSwitchesToGigabytesAt1000MiB) {
  EXPECT_EQ(VolumeSizeText(0), "0.00 MB");
  EXPECT_EQ(VolumeSizeText(1048565760ull), "999.99 MB");  // 999.99 MiB
  EXPECT_EQ(VolumeSizeText(1000ull << 20), "0.98 GB");   // exactly 1000 MiB
  EXPECT_EQ(VolumeSizeText(80ull << 30), "80.00 GB");
}

TEST(LogicalDrives, BlankLabelsReadNoNameAndNamesAreTrimmed) {
  TLogiDrive d;
  FillLogiDrive(d, 1ull << 30, "", " vfat ");
  EXPECT_EQ(d.VolumeLabel, "No Name");
  EXPECT_EQ(d.FileSystem, "vfat");
  EXPECT_EQ(d.TotalBytes, 1ull << 30);
  EXPECT_EQ(d.SizeText, "1.00 GB");
  FillLogiDrive(d, 0, "    ", "");
  EXPECT_EQ(d.VolumeLabel, "No Name");
  EXPECT_EQ(d.SizeText, "0.00 MB");
  FillLogiDrive(d, 0, " DATA ", "ntfs");
  EXPECT_EQ(d.VolumeLabel, " DATA ");  // kept as the volume reports it
}

TEST(LogicalDrives, VolumesAreFoundByTheirFileSystems) {
  // A fake block-device tree whose device nodes are image files: libblkid reads both alike.
  ScratchDir sys("sysclass"), dev("dev");
  std::string fat = test::MakeImage("enum-vol-fat.img", "16M", "fsat 0 32768 fat16 OFFICE");
  std::string ntfs = test::MakeImage("enum-vol-ntfs.img", "16M", "fsat 0 32768 ntfs ARCHIVE");
  std::string blank = test::MakeImage("enum-vol-blank.img", "1M", "");
  fs::copy_file(fat, dev.Path("sdb1"));
  fs::copy_file(ntfs, dev.Path("sdc"));
  fs::copy_file(blank, dev.Path("sdb3"));
  sys.Put("sdb/size", "1000000");
  sys.Put("sdb/removable", "1");
  // As in sysfs, a partition's directory sits below its disk's and is listed through a link,
  // so that its ../removable is the disk's.
  sys.Put("sdb/sdb1/partition", "1");
  sys.Put("sdb/sdb1/size", "32768");
  fs::create_directory_symlink(sys.Path("sdb/sdb1"), sys.Path("sdb1"));
  sys.Put("sdb2/partition", "2");  // the extended partition: a two-sector device
  sys.Put("sdb2/size", "2");
  sys.Put("sdb3/partition", "3");  // readable, but no file system
  sys.Put("sdb3/size", "2048");
  sys.Put("sdb4/partition", "4");  // no device node: cannot be read
  sys.Put("sdb4/size", "4096");
  sys.Put("sdc/size", "32768");    // a whole disk formatted without a table
  sys.Put("sdc/removable", "0");
  sys.Put("zram0/size", "32768");

  auto volumes = ListLogicalDrives(sys.Path(), dev.Path());
  ASSERT_EQ(volumes.size(), 3u);
  EXPECT_EQ(volumes[0]->Root, dev.Path("sdb1"));
  EXPECT_EQ(volumes[0]->FileSystem, "vfat");
  EXPECT_EQ(volumes[0]->VolumeLabel, "OFFICE");
  EXPECT_EQ(volumes[0]->TotalBytes, 16u << 20);
  EXPECT_EQ(volumes[0]->SizeText, "16.00 MB");
  EXPECT_EQ(volumes[0]->DriveType, 2);  // the disk above it is removable

  EXPECT_EQ(volumes[1]->Root, dev.Path("sdb4"));
  EXPECT_EQ(volumes[1]->VolumeLabel, "No Name");
  EXPECT_EQ(volumes[1]->FileSystem, "");
  EXPECT_EQ(volumes[1]->TotalBytes, 4096u * 512);

  EXPECT_EQ(volumes[2]->Root, dev.Path("sdc"));
  EXPECT_EQ(volumes[2]->FileSystem, "ntfs");
  EXPECT_EQ(volumes[2]->VolumeLabel, "ARCHIVE");
  EXPECT_EQ(volumes[2]->DriveType, 3);
}

// --- Volume names of partitions --------------------------------------------------------

TEST(VolumeNames, PartitionOfAnImageHasNone) {
  test::DriveRegistryScope registry;
  std::string img = test::MakeImage("enum-map.img", "32M",
                                    "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n22528,20480,5\\n24576,10240,7' "
                                    "fs 1 fat16");
  registry.AttachImage(img);
  TDriveGeometry g;
  ASSERT_TRUE(GetDriveGeometry(0x80, g));
  TPhysicalDrv drive(0x80, g);
  TPartition p;
  p.Entry.SystemId = 0x06;
  p.Entry.RelativeSector = 2048;
  p.DriveLetter = "stale";
  MapDriveLetter(drive, p);
  EXPECT_EQ(p.DriveLetter, "");

  // Whatever the table reader made of the image: no record gets a volume name.
  auto drives = CreatePhysicalDrives(false);
  ASSERT_EQ(drives->Drives.size(), 1u);
  ASSERT_GT(drives->Drives[0]->AllPartitions.size(), 1u);
  for (const TPartition* r : drives->Drives[0]->AllPartitions) EXPECT_EQ(r->DriveLetter, "");
}

TEST(VolumeNames, PartitionDeviceIsFoundByItsStartSector) {
  ScratchDir disk("sdb");
  disk.Put("sdb1/partition", "1");
  disk.Put("sdb1/start", "2048");
  disk.Put("sdb5/partition", "5");
  disk.Put("sdb5/start", "45056");
  disk.Put("queue/start", "45056");  // not a partition: no `partition` file
  disk.Put("sdb6/partition", "6");
  disk.Put("sdb6/start", "garbage");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 2048), "sdb1");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 45056), "sdb5");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 4096), "");
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path(), 0x100000800ull), "");  // not cut to 32 bits
  EXPECT_EQ(FindPartitionDeviceAt(disk.Path("missing"), 2048), "");
}

// --- BIOS-era lettering ----------------------------------------------------------------

// Builds a small tree by hand: the lettering reads only type codes and the Children order.
TPartition* Add(TPhysicalDrv& drive, TPartition& parent, uint8_t type) {
  auto record = std::make_unique<TPartition>();
  record->Entry.SystemId = type;
  record->Parent = &parent;
  TPartition* raw = drive.AdoptRecord(std::move(record));
  parent.Children.push_back(raw);
  return raw;
}

TEST(BiosLetters, FirstPrimariesThenLogicalsThenTheOtherPrimaries) {
  TPhysicalDrives drives;
  drives.Drives.push_back(std::make_unique<TPhysicalDrv>(0x80, TDriveGeometry{}));
  drives.Drives.push_back(std::make_unique<TPhysicalDrv>(0x81, TDriveGeometry{}));
  TPhysicalDrv& d0 = *drives.Drives[0];
  TPhysicalDrv& d1 = *drives.Drives[1];
  TPartition* p00 = Add(d0, d0.Root, 0x06);
  TPartition* p01 = Add(d0, d0.Root, 0x0B);
  TPartition* x = Add(d0, d0.Root, 0x0F);
  TPartition* l1 = Add(d0, *x, 0x06);
  TPartition* link = Add(d0, *x, 0x05);
  TPartition* l2 = Add(d0, *link, 0x0C);
  TPartition* linux0 = Add(d0, d0.Root, 0x83);
  TPartition* p10 = Add(d1, d1.Root, 0x07);  // NTFS: no letter on the legacy system
  TPartition* p11 = Add(d1, d1.Root, 0x0E);
  TPartition* p12 = Add(d1, d1.Root, 0x01);

  AssignBiosLetters(drives);
  EXPECT_EQ(p00->DriveLetter, "C");
  EXPECT_EQ(p11->DriveLetter, "D");
  EXPECT_EQ(l1->DriveLetter, "E");
  EXPECT_EQ(l2->DriveLetter, "F");
  EXPECT_EQ(p01->DriveLetter, "G");
  EXPECT_EQ(p12->DriveLetter, "H");
  EXPECT_EQ(p10->DriveLetter, "");
  EXPECT_EQ(linux0->DriveLetter, "");
  EXPECT_EQ(x->DriveLetter, "");
  EXPECT_EQ(link->DriveLetter, "");
}

TEST(BiosLetters, AContainerLettersAtMostTwoDepthFirst) {
  TPhysicalDrv d(0x80, TDriveGeometry{});
  TPartition* x = Add(d, d.Root, 0x05);
  TPartition* a = Add(d, *x, 0x06);
  TPartition* link = Add(d, *x, 0x05);
  TPartition* b = Add(d, *link, 0x06);
  TPartition* c = Add(d, *link, 0x0B);
  TPartition* e = Add(d, *link, 0x0B);  // the link's own two are given: none for a third
  TPartition* f = Add(d, *x, 0x06);     // the container gave a, then its link ran; f is the second
  TPartition* g = Add(d, *x, 0x06);     // and g would be a third

  char letter = 'E';
  AssignLogicalLetters(*x, letter);
  EXPECT_EQ(a->DriveLetter, "E");
  EXPECT_EQ(b->DriveLetter, "F");
  EXPECT_EQ(c->DriveLetter, "G");
  EXPECT_EQ(e->DriveLetter, "");
  EXPECT_EQ(f->DriveLetter, "H");
  EXPECT_EQ(g->DriveLetter, "");
  EXPECT_EQ(letter, 'I');
}

TEST(BiosLetters, LettersStopAtZ) {
  TPhysicalDrives drives;
  std::vector<TPartition*> records;
  for (int i = 0; i < 30; ++i) {
    drives.Drives.push_back(std::make_unique<TPhysicalDrv>(static_cast<uint8_t>(0x80 + i), TDriveGeometry{}));
    records.push_back(Add(*drives.Drives.back(), drives.Drives.back()->Root, 0x06));
  }
  AssignBiosLetters(drives);
  EXPECT_EQ(records[0]->DriveLetter, "C");
  EXPECT_EQ(records[23]->DriveLetter, "Z");
  for (int i = 24; i < 30; ++i) EXPECT_EQ(records[i]->DriveLetter, "") << i;
}

}  // namespace
}  // namespace qm
