// Turns disk images made by tools/mkimage into seed inputs for the harnesses:
//   image IMG OUT [SCANSTART]  the sectors of the image that opening it, the full scan from
//                              SCANSTART, the check reports and the root listings read, in
//                              the harnesses' input layout
//   backup IMG OUT             the image's partition backup file, written by the program's own
//                              backup, behind a header that asks for the checksum fix and the
//                              restore
//   ntfs IMG LBA OUT           file records 3 (volume) and 5 (root) of the NTFS volume at LBA,
//                              as OUT.volume and OUT.root
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzDisk.h"
#include "disk/Disk.h"
#include "edit/TableBackup.h"
#include "fs/NtfsRecord.h"
#include "browse/RootDirectory.h"
#include "model/CheckReport.h"
#include "model/FsDetect.h"
#include "model/TableReader.h"
#include "scan/OpenDrive.h"
#include "scan/Scanner.h"

using namespace qm;

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

int Usage() {
  std::fprintf(stderr, "usage: qm-fuzz-seed image IMG OUT [SCANSTART [SECTORSIZE]] | backup IMG OUT | ntfs IMG LBA OUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  const std::string mode = argv[1], imagePath = argv[2];
  if (mode == "image") {
    const uint16_t scanStart = argc > 4 ? static_cast<uint16_t>(std::stoul(argv[4])) : 0;
    const std::vector<uint8_t> bytes = ReadAll(imagePath);
    auto image = std::make_shared<fuzz::SparseImage>();
    if (argc > 5) image->SectorSize = static_cast<uint32_t>(std::stoul(argv[5]));
    image->Sectors = std::min<uint64_t>(bytes.size() / 512, fuzz::kMaxImageSectors - 1);
    for (uint64_t lba = 0; lba < image->Sectors; ++lba) {
      const uint8_t* s = &bytes[lba * 512];
      if (std::any_of(s, s + 512, [](uint8_t b) { return b != 0; })) std::copy_n(s, 512, image->Data[lba].begin());
    }
    image->LogReads = true;
    {
      fuzz::DriveScope scope(image);
      std::unique_ptr<TPhysicalDrv> drive = scope.Open(/*quickScan=*/true);
      if (!drive) return 1;
      (void)DetectLostPartitions(*drive, drive->Root, nullptr, scanStart, 4 * kScanBlockSectors, false);
      std::string report;
      std::vector<TPartition*> records = drive->AllPartitions;
      for (auto& find : drive->LostPartitions) records.push_back(find.get());
      for (TPartition* record : records) {
        BuildCheckReport(*drive, *record, report);
        TRootEntries entries;
        (void)GetRootDirectory(*drive, *record, entries);
      }
    }
    WriteAll(argv[3], fuzz::EncodeImage(*image, image->SectorsRead, scanStart, 0));
    return 0;
  }
  if (mode == "backup") {
    auto disk = std::make_unique<Disk>(std::make_unique<FileSource>(imagePath), kFirstHardDisk);
    TDriveGeometry geometry;
    if (!disk->QueryGeometry(geometry)) return 1;
    std::unique_ptr<TPhysicalDrv> drive = CreatePhysicalDrv(std::move(disk), geometry);
    const std::string file = std::string(argv[3]) + ".pfi";
    if (!BackupPartitionTable(*drive, file)) return 1;
    std::vector<uint8_t> seed = {0, 8, 0, 0, 0, 0, 3, 0};  // 2048 sectors, checksum fix and restore
    const std::vector<uint8_t> bytes = ReadAll(file);
    seed.insert(seed.end(), bytes.begin(), bytes.end());
    ::unlink(file.c_str());
    WriteAll(argv[3], seed);
    return 0;
  }
  if (mode == "ntfs" && argc == 5) {
    const std::vector<uint8_t> image = ReadAll(imagePath);
    const uint64_t lba = std::stoull(argv[3]);
    if ((lba + 1) * 512 > image.size()) return 1;
    const TBpb bpb = DecodeBpb(std::span<const uint8_t, 512>(&image[lba * 512], 512), fkNtfs);
    const uint64_t cluster = uint64_t{bpb.BytesPerSector} * bpb.SectorsPerCluster;
    const uint64_t mft = lba * 512 + bpb.MftCluster * cluster;
    const uint64_t recordBytes = FileRecordBytes(bpb);
    for (auto [number, name] : {std::pair{3, ".volume"}, std::pair{5, ".root"}}) {
      const uint64_t at = mft + static_cast<uint64_t>(number) * recordBytes;
      if (at + recordBytes > image.size()) return 1;
      WriteAll(std::string(argv[4]) + name, {image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(at + recordBytes)});
    }
    return 0;
  }
  return Usage();
}
