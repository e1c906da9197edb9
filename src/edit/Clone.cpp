#include "edit/Clone.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "disk/Host.h"
#include "disk/Machine.h"
#include "disk/Disk.h"
#include "edit/Commit.h"
#include "model/Enumeration.h"

namespace qm {
namespace {

// A block that fails is read again in pieces of the sector layer's transfer size.
constexpr uint32_t kSalvageSectors = kTransferChunk / kSectorSize;

Outcome CloneRefusal(const std::string& text) { return Outcome::Failed(text, "Error"); }

std::string Sectors(uint64_t n) { return std::to_string(n) + (n == 1 ? " sector" : " sectors"); }

std::string Megabytes(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

bool IsLostOf(const TPhysicalDrv& drive, const TPartition& record) {
  return std::any_of(drive.LostPartitions.begin(), drive.LostPartitions.end(),
                     [&](const auto& lost) { return lost.get() == &record; });
}

// The parts of a volume check that need it open: in use, file system, capacity.
bool CheckVolume(TClonePlan& plan, Outcome& refusal) {
  const std::string& path = plan.Target.Root;
  int error = 0;
  plan.Writer = VolumeWriter::OpenExisting(path, error);
  if (!plan.Writer) {
    if (error == EBUSY)
      refusal = CloneRefusal(path + " is in use: it is mounted, or another program holds it.\rUnmount it first. Nothing was written.");
    else
      refusal = CloneRefusal("Cannot open " + path + " for writing:\r" + SystemErrorText(error) + ". Nothing was written.");
    return false;
  }
  // A device the system could not describe is named by its size at least.
  if (plan.Target.SizeText.empty()) FillLogiDrive(plan.Target, plan.Writer->Bytes(), "", "");
  const std::string sourceName = CloneFileSystemName(plan.Source->Entry.SystemId);
  if (sourceName != plan.Target.FileSystem) {
    refusal = CloneRefusal("The file system type of lost partition (" + sourceName + ") does not" + "\r" +
           "match the file system type of destination drive (" + plan.Target.FileSystem + ").");
    return false;
  }
  // The device as it is now, not as it was listed: it is what receives the sectors.
  if (plan.Writer->Bytes() / kSectorSize < plan.Source->Entry.TotalSectors) {
    refusal = CloneRefusal("The capacity of destination drive mustn't less\rthan the size of source partition.");
    return false;
  }
  return true;
}

// An image file: writable where it is to be, with room for the copy beside an old file.
bool CheckImageFile(TClonePlan& plan, Outcome& refusal) {
  const std::string& path = plan.Target.Root;
  int error = 0;
  if (plan.ReplacesFile) {
    // The old file is only replaced, never written; still one the user may not write is kept.
    if (!VolumeWriter::OpenExisting(plan.FilePath, error)) {
      refusal = CloneRefusal("Cannot open " + path + " for writing:\r" + SystemErrorText(error) + ". Nothing was written.");
      return false;
    }
  }
  std::filesystem::path folder = std::filesystem::path(plan.FilePath).parent_path();
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    refusal = CloneRefusal((plan.ReplacesFile ? "Cannot write the copy beside " : "Cannot create ") + path + ":\r" +
           SystemErrorText(errno) + ". Nothing was written.");
    return false;
  }
  // The copy is made beside an old file, which is replaced only when it is complete: the old
  // file's space comes free after the copy, not for it.
  uint64_t free = 0;
  if (!FreeBytesFor(plan.FilePath, free, error)) {
    refusal = CloneRefusal("Cannot tell the free space for " + path + ":\r" + SystemErrorText(error) + ". Nothing was written.");
    return false;
  }
  const uint64_t needed = uint64_t{plan.Source->Entry.TotalSectors} * kSectorSize;
  if (needed > free) {
    refusal = CloneRefusal("There is not enough free space for " + path + ":\r" + Megabytes(needed) + " needed, " + Megabytes(free) +
           " free" + (plan.ReplacesFile ? " (the old file stays until the copy is complete)" : "") +
           ". Nothing was written.");
    return false;
  }
  return true;
}

// A path under /dev that is not an existing block device is a mistake (a typo, a device not
// there yet): a file made there would only fill the memory that /dev lives in. Also where
// symbolic links or ".." lead there.
bool RefusedUnderDev(const std::string& target, const VolumeTargetInfo& info, Outcome& refusal) {
  const std::string& real = info.resolved;
  if (info.kind == VolumeTargetKind::BlockDevice || (real != "/dev" && real.rfind("/dev/", 0) != 0)) return false;
  const std::string named = target + (real != target ? " (" + real + ")" : "");
  const char* rule = "a volume under /dev must be an existing block device. Nothing was written.";
  switch (info.kind) {
    case VolumeTargetKind::Missing: refusal = CloneRefusal(named + " does not exist:\r" + rule); return true;
    case VolumeTargetKind::File: refusal = CloneRefusal(named + " is a regular file, not a block device:\r" + rule); return true;
    default: return false;  // refused as any other target of its kind
  }
}

// The line that names the target in the questions, as the volume list shows it.
std::string TargetLine(const TClonePlan& plan) {
  return plan.Target.Root + "  (" + plan.Target.SizeText + ")  " + plan.Target.VolumeLabel;
}

// Reads `count` sectors at `lba`. When the whole run fails, reads it again piece by piece and
// clears the pieces that still fail; counts them into the report.
bool ReadForClone(TPhysicalDrv& drive, Lba lba, uint32_t count, uint8_t* buffer, std::vector<bool>& good,
                  CloneReport& report) {
  good.assign((count + kSalvageSectors - 1) / kSalvageSectors, true);
  if (drive.Io().ReadSectors(lba, static_cast<uint16_t>(count), buffer, false, true)) return true;
  bool any = false;
  for (uint32_t done = 0; done < count; done += kSalvageSectors) {
    const uint32_t piece = std::min(kSalvageSectors, count - done);
    if (drive.Io().ReadSectors(lba + done, static_cast<uint16_t>(piece), buffer + size_t{done} * kSectorSize,
                    false, true)) {
      any = true;
      continue;
    }
    good[done / kSalvageSectors] = false;
    if (report.UnreadableSectors == 0) report.FirstUnreadable = lba + done;
    report.UnreadableSectors += piece;
  }
  return any;
}

// Writes the pieces of a block that were read; false at the first write that fails.
bool WriteBlock(VolumeWriter& writer, Lba at, uint32_t count, const uint8_t* buffer, const std::vector<bool>& good) {
  if (std::all_of(good.begin(), good.end(), [](bool g) { return g; }))
    return writer.WriteVolumeSectors(at, count, buffer);
  for (uint32_t done = 0; done < count; done += kSalvageSectors) {
    if (!good[done / kSalvageSectors]) continue;
    const uint32_t piece = std::min(kSalvageSectors, count - done);
    if (!writer.WriteVolumeSectors(at + done, piece, buffer + size_t{done} * kSectorSize)) return false;
  }
  return true;
}

// What a copy that was stopped or failed left of the target.
std::string LeftAs(const TClonePlan& plan) {
  if (!plan.ToFile) return " is only partly written";
  return plan.ReplacesFile ? " keeps its old content" : " was not created";
}

// What the user is told of how the copy ended, in one box: the end, then the sectors that were
// passed over.
Outcome CloneEnd(const TClonePlan& plan, const CloneReport& report, int writeError, std::optional<Lba> failedAt) {
  Outcome told = report.Told;
  const std::string& path = plan.Target.Root;
  const uint64_t total = plan.Source->Entry.TotalSectors;
  switch (report.Result) {
    case CloneResult::Copied:
      told = Outcome::Done(plan.ToFile ? "The partition is copied into the image file\r" + path + "."
                                       : std::string("The modification will be presented after reboot."),
                           "Clone completed");
      break;
    case CloneResult::Stopped:
      told = Outcome::Cancelled("The clone was stopped after " + std::to_string(report.SectorsDone) + " of " +
                                    Sectors(total) + ":\r" + path + LeftAs(plan) + ".",
                                "Clone");
      told.Icon = MsgIcon::Warning;
      break;
    case CloneResult::WriteFailed:
      told = Outcome::Failed("The clone failed after " + std::to_string(report.SectorsDone) + " of " + Sectors(total) +
                                 ":\r" + path + LeftAs(plan) + ".\r" +
                                 (writeError != 0 ? SystemErrorText(writeError) : std::string("The target took no more data")) +
                                 (failedAt ? " at sector " + std::to_string(*failedAt) + " of the target" : std::string()) +
                                 ".",
                             "Error", writeError, failedAt);
      break;
    case CloneResult::NotCreated: break;
  }
  if (report.UnreadableSectors > 0) {
    told.Text += (told.Text.empty() ? "" : "\r\r") + Sectors(report.UnreadableSectors) +
                 " of the lost partition could not be read (the first at sector " + std::to_string(report.FirstUnreadable) +
                 ") and were passed over:\r" +
                 (plan.ToFile ? "the image holds zeros there." : "the volume keeps its old content there.");
    if (told.Caption.empty()) told.Caption = "Clone";
    if (told.ok()) told.Icon = MsgIcon::Warning;
  }
  return told;
}

}  // namespace

std::string CloneFileSystemName(uint8_t systemId) {
  switch (systemId) {
    case 0x01:
    case 0x06: return "FAT";
    case 0x07: return "NTFS";
    case 0x0B: return "FAT32";
    default: return "";
  }
}

std::unique_ptr<TClonePlan> PrepareClone(TPhysicalDrv& drive, TPartition& source, const std::string& target,
                                         Outcome& refusal, const TLogiDrive* volume) {
  if (!(refusal = CheckNotBusy(drive))) return nullptr;
  if (!drive.Io().HasSource() || !IsLostOf(drive, source) || source.Entry.TotalSectors == 0) {
    refusal = CloneRefusal("The selected record is not a lost partition of " + DriveName(drive) + ".");
    return nullptr;
  }
  auto plan = std::make_unique<TClonePlan>();
  plan->Source = &source;
  plan->Target.Root = target;
  const VolumeTargetInfo info = InspectVolumeTarget(target);
  if (RefusedUnderDev(target, info, refusal)) return nullptr;
  if (info.danglingLink) {
    refusal = CloneRefusal(target + " is a symbolic link to " + info.resolved +
           ", which does not exist.\rName the image file itself. Nothing was written.");
    return nullptr;
  }
  switch (info.kind) {
    case VolumeTargetKind::Other:
      refusal = CloneRefusal(target + " is neither a block device nor a regular file.\rA partition is cloned onto a volume or into an image file.");
      return nullptr;
    case VolumeTargetKind::Unreachable:
      refusal = CloneRefusal("Cannot reach " + target + ":\r" + SystemErrorText(info.error) + ". Nothing was written.");
      return nullptr;
    case VolumeTargetKind::Missing:
      if (target.empty() || target.back() == '/') {
        refusal = CloneRefusal("\"" + target + "\" names no image file.\rGive the image file a name. Nothing was written.");
        return nullptr;
      }
      [[fallthrough]];
    case VolumeTargetKind::File:
      plan->ToFile = true;
      plan->ReplacesFile = info.kind == VolumeTargetKind::File;
      plan->FilePath = info.resolved;
      FillLogiDrive(plan->Target, uint64_t{source.Entry.TotalSectors} * kSectorSize, "", "");
      break;
    case VolumeTargetKind::BlockDevice:
      if (volume) {
        plan->Target = *volume;
        plan->Target.Root = target;
      } else if (BlockVolume found; ProbeBlockVolume(target, found)) {
        plan->Target = *MakeLogiDrive(found);
      }
      break;
  }
  // Nothing may go to the drive being read: the copy would overwrite what it has yet to read.
  if (TargetStoresSource(drive.Io().Path(), target)) {
    refusal = CloneRefusal(target + " holds the drive that the lost partition lies on (" + drive.Io().Path() +
           "):\rcloning onto it would overwrite the partition. Choose a target on another drive.");
    return nullptr;
  }
  const bool ok = plan->ToFile ? CheckImageFile(*plan, refusal) : CheckVolume(*plan, refusal);
  return ok ? std::move(plan) : nullptr;
}

bool ConfirmClone(Host& host, const TClonePlan& plan) {
  if (plan.ReplacesFile &&
      host.MessageBox("The file\r\r" + plan.Target.Root + "\r\ralready exists. Replace it with the lost partition?", "Clone",
                 MsgButtons::YesNo, MsgIcon::Warning) != MsgAnswer::Yes)
    return false;
  const std::string text =
      plan.ToFile ? "You are copying selected partition into the image file below:\r\r" + plan.Target.Root + "  (" +
                        plan.Target.SizeText + ")\r\rContinue?"
                  : "You are cloning selected partition to the drive below:\r\r" + TargetLine(plan) + "\r\r" +
                        "All data on this drive will be destroyed. Are you sure?";
  return host.MessageBox(text, "Clone", MsgButtons::OkCancel, MsgIcon::Warning) == MsgAnswer::Ok;
}

CloneReport CloneLostPartition(TPhysicalDrv& drive, TClonePlan& plan, const CloneProgress& progress) {
  CloneReport report;
  if (plan.ToFile) {
    // The copy goes into a new file beside the target, which takes the target's name only
    // when the copy is complete. The name is looked at again: time has passed since the checks.
    int error = 0;
    struct stat old {};
    const bool exists = ::lstat(plan.FilePath.c_str(), &old) == 0;
    if (plan.ReplacesFile && !exists) error = errno;
    else if (plan.ReplacesFile && !S_ISREG(old.st_mode)) error = ENODEV;
    else if (!plan.ReplacesFile && exists) error = EEXIST;
    else plan.Writer = VolumeWriter::CreateTemporary(plan.FilePath, plan.ReplacesFile ? &old : nullptr, error);
    if (!plan.Writer) {
      report.Told = CloneRefusal((plan.ReplacesFile ? "Cannot replace " : "Cannot create ") + plan.Target.Root + ":\r" +
                                 SystemErrorText(error) + ". Nothing was written.");
      report.Told.Errno = error;
      return report;
    }
  }
  VolumeWriter& writer = *plan.Writer;
  const BusyGuard busy(drive);
  drive.StopRequested = false;
  const Lba first = plan.Source->AbsoluteStart();
  const uint64_t total = plan.Source->Entry.TotalSectors;
  // Page-aligned, as the page cache is: the kernel copies whole pages in and out.
  struct PageBlock {
    alignas(4096) uint8_t bytes[size_t{kCloneBlockSectors} * kSectorSize];
  };
  const auto block = std::make_unique<PageBlock>();
  uint8_t* const buffer = block->bytes;
  std::vector<bool> good;
  report.Result = CloneResult::Copied;
  while (report.SectorsDone < total) {
    drive.Io().Pump();
    if (drive.StopRequested) {
      report.Result = CloneResult::Stopped;
      break;
    }
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kCloneBlockSectors, total - report.SectorsDone));
    const Lba at = report.SectorsDone;
    if (ReadForClone(drive, first + at, count, buffer, good, report) &&
        !WriteBlock(writer, at, count, buffer, good)) {
      report.Result = CloneResult::WriteFailed;
      break;
    }
    report.SectorsDone += count;
    if (progress) progress(report.SectorsDone, total);
  }
  // A copy that ran to its end has the partition's length, also where its last blocks could
  // not be read, and takes the target's name; a stopped or failed one is removed. What went to
  // a volume is flushed to the medium before the user hears how it ended: the volume's old
  // content is gone. A new image file is left to the page cache, as a copied file is: the
  // source stays as it was, so nothing is lost if the machine fails before the cache is
  // written back. One that replaces a file reaches the medium before it takes the name: the
  // old file would be lost otherwise.
  int writeError = report.Result == CloneResult::WriteFailed ? writer.error() : 0;
  std::optional<Lba> failedAt;
  if (report.Result == CloneResult::WriteFailed) failedAt = writer.failedAt();
  int error = 0;
  if (plan.ToFile && report.Result == CloneResult::Copied) {
    error = writer.SetFileLength(total * kSectorSize);
    if (error == 0) error = writer.Replace();
  }
  if (error == 0 && !plan.ToFile) error = writer.Flush();
  if (error != 0 && report.Result != CloneResult::WriteFailed) {
    report.Result = CloneResult::WriteFailed;
    writeError = error;
    failedAt.reset();
  }
  if (plan.ToFile) plan.Writer.reset();  // a copy that did not take the name goes with it
  if (progress) progress(0, 0);
  report.Told = CloneEnd(plan, report, writeError, failedAt);
  drive.StopRequested = false;
  return report;
}

}  // namespace qm
