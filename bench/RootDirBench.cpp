// Speed of listing a root directory of 5,000 files, on a FAT32 volume (mkfs.fat, filled by one
// mcopy) and on an NTFS volume (mkntfs, filled by ntfscp), with the image in the page cache:
//  1. GetRootDirectory with the preview rows built from the listing, in this process;
//  2. `quillmark-cli ls --partition 1 IMAGE` end to end (start, table walk, quick scan, listing,
//     output).
//
//   quillmark-ls-bench [PARENT_DIR]
//
// The images are made under PARENT_DIR ($TMPDIR or /tmp by default) and removed at the end.
// Filling the NTFS root takes a minute or two: ntfscp adds one file per run. A missing tool
// skips that volume with the reason.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "browse/RootDirectory.h"
#include "disk/Host.h"
#include "disk/Disk.h"
#include "model/Enumeration.h"
#include "scan/OpenDrive.h"

namespace qm::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 5000;
constexpr int kRounds = 5;

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

// Runs a shell command quietly; true when it exits 0.
bool Shell(const std::string& command) {
  const std::string full = "export PATH=\"$PATH:/usr/sbin:/sbin\"; { " + command + "; } >/dev/null 2>&1";
  return std::system(full.c_str()) == 0;
}

bool HaveTool(const std::string& tool) { return Shell("command -v " + tool); }

const std::string kMkimage = std::string(QM_SOURCE_DIR) + "/tools/mkimage";
const std::string kTable = "'label: dos\\nunit: sectors\\n2048,,c'";

// 5,000 files of 8.3 names: the root holds one entry per file, 160 KiB in all.
bool MakeFat32(const std::string& dir, const std::string& image, std::string& why) {
  for (const char* tool : {"mkfs.fat", "mcopy", "sfdisk"})
    if (!HaveTool(tool)) return why = std::string(tool) + " is not installed", false;
  const std::string files = dir + "/fat-files";
  std::filesystem::create_directories(files);
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/F%04d.TXT", i);
    std::ofstream(files + name) << "x";
  }
  const bool made = Shell(kMkimage + " " + image + " 320M table " + kTable + " fs 1 fat32 BENCH") &&
                    Shell("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + "@@1048576 " + files + "/* ::");
  std::filesystem::remove_all(files);
  if (!made) why = "mkimage or mcopy failed";
  return made;
}

// 5,000 files of long names, added one by one by ntfscp to the volume copied out of the image.
bool MakeNtfs(const std::string& dir, const std::string& image, std::string& why) {
  for (const char* tool : {"mkntfs", "ntfscp", "sfdisk"})
    if (!HaveTool(tool)) return why = std::string(tool) + " is not installed", false;
  const std::string volume = dir + "/ntfs.vol", source = dir + "/one.txt";
  std::ofstream(source) << "x";
  const bool made =
      Shell(kMkimage + " " + image + " 160M table " + kTable + " fs 1 ntfs BENCH") &&
      Shell("dd if=" + image + " of=" + volume + " bs=512 skip=2048 status=none") &&
      Shell("for i in $(seq 10000 " + std::to_string(10000 + kFiles - 1) + "); do ntfscp -f " + volume + " " + source +
            " \"/Quarterly report $i.txt\" || exit 1; done") &&
      Shell("dd if=" + volume + " of=" + image + " bs=512 seek=2048 conv=notrunc status=none");
  std::filesystem::remove(volume);
  std::filesystem::remove(source);
  if (!made) why = "mkimage, dd or ntfscp failed";
  return made;
}

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

std::string Rounds(const std::vector<double>& v) {
  std::string text;
  for (double s : v) text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(s * 1000 + 0.5));
  return text + " ms";
}

// Lists the first partition of `drive` kRounds times; prints the best time and the rounds.
void TimeListing(TPhysicalDrv& drive, const char* what, const std::string& image) {
  TPartition* partition = drive.Root.Children.empty() ? nullptr : drive.Root.Children.front();
  if (!partition) {
    std::printf("%-7s no partition found in %s\n", what, image.c_str());
    return;
  }
  std::vector<double> inside, cli;
  size_t rows = 0;
  for (int round = 0; round < kRounds; ++round) {
    const Clock::time_point start = Clock::now();
    TRootEntries entries;
    const bool listed = GetRootDirectory(drive, *partition, entries).ok();
    rows = listed ? BuildPreviewRows(entries).size() : 0;
    inside.push_back(Seconds(start, Clock::now()));
    cli.push_back(TimeProgram({QM_CLI_PATH, "ls", "--partition", "1", image}));
  }
  std::printf("%-7s %zu rows\n", what, rows);
  std::printf("        GetRootDirectory + rows  best %7.1f ms   (%s)\n", Best(inside) * 1000, Rounds(inside).c_str());
  if (Best(cli) < 0)
    std::printf("        quillmark-cli ls failed\n");
  else
    std::printf("        quillmark-cli ls         best %7.1f ms   (%s)\n", Best(cli) * 1000, Rounds(cli).c_str());
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  using namespace qm;
  using namespace qm::bench;
  const char* tmp = std::getenv("TMPDIR");
  const std::string parent = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  TempDir dir(parent);
  if (!dir.ok()) {
    std::fprintf(stderr, "quillmark-ls-bench: cannot make a directory under %s\n", parent.c_str());
    return 1;
  }
  const std::string fat = dir.Path() + "/fat32.img", ntfs = dir.Path() + "/ntfs.img";
  dir.Track(fat);
  dir.Track(ntfs);
  std::string why;
  std::vector<std::pair<const char*, std::string>> images;
  std::printf("making a FAT32 volume with %d files in its root ...\n", kFiles);
  std::fflush(stdout);
  if (MakeFat32(dir.Path(), fat, why))
    images.emplace_back("FAT32", fat);
  else
    std::printf("FAT32   skipped: %s\n", why.c_str());
  std::printf("making an NTFS volume with %d files in its root (a minute or two) ...\n", kFiles);
  std::fflush(stdout);
  if (MakeNtfs(dir.Path(), ntfs, why))
    images.emplace_back("NTFS", ntfs);
  else
    std::printf("NTFS    skipped: %s\n", why.c_str());

  for (const auto& [what, image] : images) {
    std::string error;
    std::vector<std::unique_ptr<Disk>> disks;
    if (!OpenDriveSources({image}, disks, error)) {
      std::fprintf(stderr, "quillmark-ls-bench: %s\n", error.c_str());
      return 1;
    }
    Shell("cat " + image + " >/dev/null");  // into the page cache
    std::unique_ptr<TPhysicalDrives> drives = OpenDrives(std::move(disks), false);
    if (drives->Drives.empty()) {
      std::fprintf(stderr, "quillmark-ls-bench: cannot read %s\n", image.c_str());
      return 1;
    }
    TimeListing(*drives->Drives.front(), what, image);
  }
  return 0;
}
