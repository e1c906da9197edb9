// Cloning lost partitions: into image files that the file-system tools accept, refusals that
// write nothing, unreadable pieces skipped and told, Stop and Ctrl+C.
#include <filesystem>
#include <fstream>
#include <functional>

#include "CliRun.h"
#include "disk/SectorIO.h"
#include "edit/Clone.h"
#include "scan/OpenDrive.h"
#include "support/ScriptedHost.h"
#include "support/Sources.h"

namespace qm::test {
namespace {

// NTFS counts its volume one sector short of its partition: the backup boot sector behind it
// is no part of the volume.
constexpr uint64_t kFat32 = 12288, kFat32Size = 70000, kNtfs = 83968, kNtfsSize = 40959;

// A small listed FAT16 and, behind it, a FAT32 and an NTFS volume that no entry points to.
std::string SourceImage(const std::string& name) {
  return MakeImage(name, "64M",
                   "table 'label: dos\\nunit: sectors\\n2048,8192,6' fs 1 fat16 "
                   "fsat 12288 70000 fat32 LOSTF fsat 83968 40960 ntfs LOSTN");
}

std::string Bytes(const std::string& path, uint64_t sector, uint64_t sectors) {
  const std::vector<uint8_t> b = ReadFileBytes(path, sector * 512, sectors * 512);
  return std::string(b.begin(), b.end());
}

std::string Clone(uint64_t at, const std::string& to, const std::string& image) {
  return "clone --at " + std::to_string(at) + " --to " + ShellQuote(to) + " " + ShellQuote(image);
}

TEST(CliClone, LostFat32AndNtfsBecomeImageFilesTheToolsAccept) {
  if (!HaveTools({"fsck.fat", "ntfsinfo"})) return;
  const std::string src = SourceImage("clone-src.img");
  if (src.empty()) return;
  const struct { uint64_t at, size; const char* check; } cases[] = {
      {kFat32, kFat32Size, "fsck.fat -n"}, {kNtfs, kNtfsSize, "ntfsinfo -m"}};
  for (const auto& c : cases) {
    const std::string out = FreshPath("clone-" + std::to_string(c.at) + ".img");
    CliRun run = RunCli(Clone(c.at, out, src) + " --yes");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::filesystem::file_size(out), c.size * 512);
    EXPECT_TRUE(Bytes(out, 0, c.size) == Bytes(src, c.at, c.size)) << c.at;
    EXPECT_EQ(RunCommand(kToolPath + c.check + " " + ShellQuote(out) + " >/dev/null 2>&1"), 0) << c.check;
  }
}

struct Refusal {
  std::string to, more;
  const char* says;
  std::function<std::string()> target;  // the bytes that must stay as they are
};

// Each refusal comes before any write; the source is never written either.
void ExpectRefusals(const std::string& src, const std::vector<Refusal>& cases) {
  const std::string source = ReadWholeFile(src);
  for (const Refusal& c : cases) {
    const std::string was = c.target();
    CliRun run = RunCli(Clone(kFat32, c.to, src) + " " + c.more);
    EXPECT_EQ(run.status, 1) << c.to;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing was written"), std::string::npos) << run.err;
    EXPECT_TRUE(c.target() == was) << c.to;
  }
  EXPECT_TRUE(ReadWholeFile(src) == source);
}

TEST(CliClone, RefusedTargetsNoAnswerAndCtrlCWriteNothing) {
  const std::string src = SourceImage("clone-refuse.img"), existing = FreshPath("clone-existing.img");
  if (src.empty()) return;
  std::ofstream(existing) << "keep";
  auto kept = [&] { return ReadWholeFile(existing); };
  ExpectRefusals(src, {{src, "--yes", "holds the drive that the lost partition lies on", kept},
                       {ProcessFixtureDir(), "--yes", "is neither a block device nor a regular file", kept},
                       {existing, "", "already exists. Replace it", kept}});
  const std::string fresh = FreshPath("clone-unasked.img");
  EXPECT_EQ(RunCli(Clone(kFat32, fresh, src)).status, 1);  // nobody to answer: no file either
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(CtrlCAfter(ShellQuote(QM_CLI_PATH) + " " + Clone(kFat32, fresh, src), "1"), 130);  // Ctrl+C at the question
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

// A FAT32 volume smaller than the lost one, an NTFS volume and a mounted ext4, on a loop
// device; only the NTFS volume may take a copy, of the lost NTFS volume.
TEST(CliCloneOnDevice, SmallForeignAndMountedVolumesAreRefused) {
  const std::string src = SourceImage("clone-dev-src.img");
  const std::string target = MakeImage("clone-target.img", "96M",
                                       "table 'label: dos\\nunit: sectors\\n2048,68000,b\\n71680,80000,7\\n153600,32768,83' "
                                       "fs 1 fat32 SMALL fs 2 ntfs OTHER");
  if (src.empty() || target.empty()) return;
  LoopDevice loop(target, 512);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  const std::string mnt = ProcessFixtureDir() + "/clone-mnt", p = loop.path + "p";
  std::filesystem::create_directories(mnt);
  // Partitions added to a loop device outlive it unless they are deleted before it goes.
  struct Undo {
    std::string dir, device;
    ~Undo() {
      RunCommand("umount " + ShellQuote(dir) + " 2>/dev/null; partx -d " + device + " >/dev/null 2>&1 || { sleep 1; partx -d " +
                 device + "; } >/dev/null 2>&1");
    }
  } undo{mnt, loop.path};
  // partx -u also mends partitions that an earlier user of the device left behind.
  const std::string sys = "/sys/class/block/" + loop.path.substr(5) + "p3";
  if (RunCommand("partx -u " + loop.path + " && test -e " + sys + " && " + kToolPath + "mkfs.ext4 -q " + p +
                 "3 && mount " + p + "3 " + ShellQuote(mnt) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "this machine does not mount a loop device's partition";
  auto at = [&](uint64_t sector) { return [&, sector] { return Bytes(target, sector, 2); }; };
  ExpectRefusals(src, {{p + "1", "--yes", "The capacity of destination drive mustn't less\nthan the size", at(2048)},
                       {p + "2", "--yes",
                        "The file system type of lost partition (FAT32) does not\nmatch the file system type of "
                        "destination drive (NTFS).",
                        at(71680)},
                       {p + "3", "--yes", "is in use: it is mounted", at(153600)},
                       {loop.path, "--yes", "is in use: it is mounted", at(0)}});
  // The lost NTFS volume fits the NTFS partition: it takes the copy, and the next sector keeps
  // its bytes.
  const std::string behind = Bytes(target, 71680 + kNtfsSize, 1);
  CliRun run = RunCli(Clone(kNtfs, p + "2", src) + " --yes");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Bytes(target, 71680, kNtfsSize) == Bytes(src, kNtfs, kNtfsSize));
  EXPECT_EQ(Bytes(target, 71680 + kNtfsSize, 1), behind);
}

// The FAT32 volume on a drive whose reads may fail, cloned into a new image file; the host
// may press Stop at its n-th pump.
class CloneHost : public ScriptedHost {
 public:
  using ScriptedHost::ScriptedHost;
  void ProcessMessages() override {
    if (++processCalls == stopAt && drive) drive->StopRequested = true;
  }
  TPhysicalDrv* drive = nullptr;
  long stopAt = 0;
};

struct CloneRun {
  CloneReport report;
  std::string src, out;
  std::shared_ptr<FaultSource::State> faults;
};

CloneRun CloneWith(CloneHost& host, const std::function<void(FaultSource::State&)>& faults = nullptr) {
  DriveRegistryScope registry;
  CloneRun run{{}, SourceImage("clone-core.img"), FreshPath("clone-core-out.img"), nullptr};
  if (run.src.empty()) return run;
  auto source = std::make_unique<FaultSource>(std::make_unique<FileSource>(run.src));
  run.faults = source->state;
  if (faults) faults(*run.faults);
  TDriveGeometry g;
  const uint8_t number = registry.Attach(std::move(source));
  EXPECT_TRUE(GetDriveGeometry(number, g));
  std::unique_ptr<TPhysicalDrv> drive = OpenDrive(number, g);
  TPartition* lost = nullptr;
  for (auto& p : drive->LostPartitions)
    if (p->AbsoluteStart() == kFat32) lost = p.get();
  EXPECT_NE(lost, nullptr);
  std::unique_ptr<TClonePlan> plan = lost ? PrepareClone(*drive, *lost, run.out) : nullptr;
  host.drive = drive.get();
  host.processCalls = 0;  // the quick scan pumped too
  if (plan && ConfirmClone(*plan)) run.report = CloneLostPartition(*drive, *plan, nullptr);
  EXPECT_FALSE(drive->Scanning);
  host.drive = nullptr;
  return run;
}

TEST(CloneOnImages, UnreadablePiecesAreSkippedAndTold) {
  CloneHost host{MsgAnswer::Ok};
  const uint64_t bad = kFat32 + 2048 + 128;  // the second 64 KiB of the second block
  CloneRun run = CloneWith(host, [&](FaultSource::State& s) { s.readFaults[bad * 512] = Fault{FaultKind::Error, EIO, -1}; });
  if (run.src.empty()) return;
  EXPECT_EQ(run.report.Result, CloneResult::Copied);
  ASSERT_EQ(host.messages.size(), 3u);  // the question, completed, and the unreadable sectors
  EXPECT_EQ(host.messages[1].caption, "Clone completed");
  EXPECT_EQ(host.messages[2].text, "128 sectors of the lost partition could not be read (the first at sector " +
                                       std::to_string(bad) + ") and were passed over:\rthe image holds zeros there.");
  EXPECT_TRUE(Bytes(run.out, 0, 2176) == Bytes(run.src, kFat32, 2176));
  EXPECT_EQ(Bytes(run.out, 2176, 128), std::string(128 * 512, '\0'));
  EXPECT_TRUE(Bytes(run.out, 2304, kFat32Size - 2304) == Bytes(run.src, kFat32 + 2304, kFat32Size - 2304));
  EXPECT_TRUE(run.faults->writeOffsets.empty());  // nothing went to the source drive
}

// Only a lost partition is cloned: a listed one is refused before anything is asked or made.
TEST(CloneOnImages, AListedPartitionIsRefused) {
  DriveRegistryScope registry;
  ScriptedHost host;
  const std::string src = SourceImage("clone-listed.img"), out = FreshPath("clone-listed-out.img");
  if (src.empty()) return;
  auto drive = ReadDrive(registry.AttachImage(src));
  EXPECT_EQ(PrepareClone(*drive, *drive->Root.Children.front(), out), nullptr);
  EXPECT_EQ(host.messages.at(0).text, "The selected record is not a lost partition of drive 80H.");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CloneOnImages, StopLeavesTheTargetPartlyWrittenAndSaysSo) {
  CloneHost host{MsgAnswer::Ok};
  host.stopAt = 2;  // before the second block
  CloneRun run = CloneWith(host);
  if (run.src.empty()) return;
  EXPECT_EQ(run.report.Result, CloneResult::Stopped);
  EXPECT_EQ(std::filesystem::file_size(run.out), 2048u * 512);
  EXPECT_EQ(host.messages.back().text, "The clone was stopped after 2048 of 70000 sectors:\r" + run.out +
                                           " is only partly written.");
}

}  // namespace
}  // namespace qm::test
