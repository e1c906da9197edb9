#pragma once
// Disk images made at test time by tools/mkimage, and drives read from them.
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "disk/Disk.h"
#include "disk/DriveSource.h"
#include "model/PhysicalDrv.h"

namespace qm::test {

// A folder of the fixture directory that belongs to this test process alone; removed when the
// process ends.
std::string ProcessFixtureDir();

// Runs tools/mkimage to make `name` in this process's fixture folder and returns its path. `steps`
// are passed to the script as they stand (shell words, quote where needed). Returns "" when the
// script fails: a missing tool skips the current test with the reason (fails it under CI), any
// other failure fails it.
std::string MakeImage(const std::string& name, const std::string& size, const std::string& steps);

// Skips the current test with `reason` (a tool or root missing here), or fails it when the run
// must have every tool (CI or QM_REQUIRE_TOOLS=1 set).
void MissingTool(const std::string& reason);
// Whether every one of `tools` can be run; when one cannot, MissingTool.
bool HaveTools(std::initializer_list<const char*> tools);

// A path in this process's fixture folder with nothing there yet.
std::string FreshPath(const std::string& name);
// A new sparse file of `bytes` zeros in this process's fixture folder; its path.
std::string SparseImage(const std::string& name, uint64_t bytes);

// A fresh copy of the demo disk (tools/demo-image, made once per process) named `name`: a FAT32
// primary, a FAT16 volume lost at 84031, an extended partition with FAT16 and NTFS logical
// drives, an NTFS volume lost at 262144.
std::string DemoImage(const std::string& name);

// A sparse copy of an image, for a test that damages or writes it.
std::string CopyImage(const std::string& image, const std::string& name);

// Put in front of a command that runs a system tool: sfdisk, mkfs.fat and mkntfs live in the
// sbin folders, which a user's PATH may leave out.
inline const std::string kToolPath = "PATH=\"$PATH:/usr/sbin:/sbin\" ";

// Runs a shell command; returns its exit status and fills `output` with its stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Shell-quotes one word.
std::string ShellQuote(const std::string& word);

// A partition table entry: absolute start, size, type.
using EntryKey = std::tuple<uint64_t, uint32_t, uint8_t>;

// The entries `sfdisk --dump` lists for an image, in its order (primaries, then the chain of
// logical drives); none when sfdisk reads no table.
std::vector<EntryKey> SfdiskEntries(const std::string& image);

// Runs `tool` (a command and its options) on a copy of the volume at [start, start + size) of
// an image, so that a file-system tool sees it alone; returns the tool's exit status and its
// output in `output`.
int RunOnVolume(const std::string& image, uint64_t start, uint64_t size, const std::string& tool,
                std::string* output = nullptr);

// Reads or writes bytes of a file (for damaging images on purpose and checking them).
std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t length);
void WriteFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// The whole of an image, read by its data extents (the holes of a sparse file are zeros).
std::vector<uint8_t> ReadWholeImage(const std::string& path);

// A disk of its own for `source`, as drive 80H, answered for by TestHost().
std::unique_ptr<Disk> SourceDisk(std::unique_ptr<DriveSource> source);
// The drive of a source or an image file as the table reader builds it (no quick scan), or
// with no records at all. Each owns its disk: two of the same image are two open disks.
std::unique_ptr<TPhysicalDrv> ReadDrive(std::unique_ptr<DriveSource> source);
std::unique_ptr<TPhysicalDrv> ReadImage(const std::string& path);
std::unique_ptr<TPhysicalDrv> BareDrive(std::unique_ptr<DriveSource> source);
std::unique_ptr<TPhysicalDrv> BareImage(const std::string& path);

// The records under `parent` in their order, each as start+size:type and a code of its file
// system (F12 F16 F32 NT HP SW L ? X -), its own records in brackets. One line says what the
// table reader made of a disk: "2048+40960:06F16 83968+47103:00-".
std::string TreeText(const TPartition& parent);

// The drive's lost finds in the same form.
std::string LostText(const TPhysicalDrv& drive);

// Every record except Root is in AllPartitions once, in its parent's Children once, in
// ascending order of start; PartitionCount counts those that are no extended records.
void ExpectTreeConsistent(const TPhysicalDrv& drive);

}  // namespace qm::test

// Makes an image into `var`, or ends the test when it could not be made (skipped or failed).
#define QM_IMAGE(var, ...)                                       \
  const std::string var = ::qm::test::MakeImage(__VA_ARGS__);    \
  if (var.empty()) return
