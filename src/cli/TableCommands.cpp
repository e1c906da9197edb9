// The commands that change a drive's tables besides recover:
//   active --at LBA SOURCE        make the primary partition at LBA the active one
//   hide --at LBA SOURCE          hide a visible partition, show a hidden one
//   delete --at LBA SOURCE        remove a partition's entry
//   mbr SOURCE                    renew the boot program of the master boot record
//   backup FILE SOURCE            save every table sector to FILE
//   restore FILE SOURCE           write a backup file back
//   rebuild [--primary LBA]... [--active LBA] [--logical LBA]... SOURCE
//                                 replace the whole layout by the partitions named
//   history SOURCE                list the recorded changes (the automatic backups)
//   undo SOURCE                   take back the newest change that is still applied
//   redo SOURCE                   apply again the change the last undo took back
// Each asks what the window asks (--yes answers), refuses before asking when the drive cannot
// be changed safely, and exits as recover does.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Command.h"
#include "Interrupt.h"
#include "edit/AutoBackup.h"
#include "edit/Commit.h"
#include "edit/Rebuild.h"
#include "edit/TableBackup.h"
#include "edit/TableEdits.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

// A partition table holds 32-bit sector numbers.
constexpr uint64_t kMaxSectorNumber = 0xFFFFFFFF;

// The listed partition (primary, extended or logical drive) that starts at `lba`.
TPartition* ListedAt(TPhysicalDrv& drive, uint64_t lba) {
  for (TPartition* r : drive.AllPartitions)
    if (r != &drive.Root && !r->IsGap() && !IsNestedExtended(drive, *r) && r->AbsoluteStart() == lba) return r;
  return nullptr;
}

// The exit status and last words of an edit.
int Finish(const EditOutcome& outcome, TPhysicalDrv& drive, const std::string& done) {
  ShowOutcome(outcome.Told);
  const EditResult result = outcome.Result;
  switch (result) {
    case EditResult::Written:
    case EditResult::NotNotified:
      std::printf("%s\n\n", done.c_str());
      PrintDriveText(0, drive);
      if (result == EditResult::Written) return kExitOk;
      PrintError("the tables are written, but the system could not be told of the new layout: it shows it after a reboot");
      return kExitWarnings;
    case EditResult::Cancelled:
      if (Interrupted()) {
        PrintError("interrupted; nothing was written");
        return InterruptExitStatus();
      }
      PrintError("cancelled; nothing was written");
      return kExitFailure;
    case EditResult::Refused: PrintError("nothing was written"); return kExitFailure;
    case EditResult::WriteFailed: PrintError("the change was not written completely"); return kExitFailure;
  }
  return kExitFailure;
}

// Opens SOURCE with its lock held throughout, and runs `edit` on its drive with Ctrl+C as
// Stop.
int RunOnDrive(const std::string& source, const std::function<int(TPhysicalDrv&)>& edit) {
  InterruptScope interrupts;
  const OpenedDrive opened = OpenOneDrive(source, true);
  if (!opened) return kExitFailure;
  TPhysicalDrv& drive = opened.drive();
  InterruptHost host(drive.Io().UserHost(), drive);
  UserHostScope scope(drive.Io(), host);
  return edit(drive);
}

struct AtOptions {
  std::string at;
  std::string source;
};

// `name --at LBA SOURCE`: an edit of one listed partition.
Command AddAtCommand(CLI::App& app, const char* name, const char* help,
                     std::function<EditOutcome(TPhysicalDrv&, TPartition&)> edit, std::string done) {
  auto options = std::make_shared<AtOptions>();
  CLI::App* sub = app.add_subcommand(name, help);
  sub->add_option("--at", options->at, "First sector (LBA) of the partition, as `list` shows it")->required();
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  auto run = [options, edit, done] {
    uint64_t at = 0;
    if (!ParseWholeNumber(options->at, kMaxSectorNumber, at)) {
      PrintError("--at must be a sector number (LBA) from 0 to " + std::to_string(kMaxSectorNumber));
      return kExitUsage;
    }
    return RunOnDrive(options->source, [&](TPhysicalDrv& drive) {
      TPartition* record = ListedAt(drive, BlockOfSector(drive, at).value_or(UINT64_MAX));
      if (!record) {
        PrintError("no partition of the tables starts at sector " + std::to_string(at) + " (see `list`)");
        return kExitFailure;
      }
      return Finish(edit(drive, *record), drive, done + " (sector " + std::to_string(at) + ").");
    });
  };
  return Command{sub, run, /*writesDisk=*/true};
}

struct FileOptions {
  std::string file;
  std::string source;
};

Command AddBackupCommand(CLI::App& app) {
  auto options = std::make_shared<FileOptions>();
  CLI::App* sub = app.add_subcommand("backup", "Save every partition table sector of SOURCE to a backup file");
  sub->add_option("FILE", options->file,
                  "Backup file to write; one that exists is replaced only when it is a backup file and the "
                  "question is answered Yes")
      ->required();
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  auto run = [options] {
    std::unique_ptr<TPhysicalDrives> drives = OpenOneDrive(options->source).drives;
    if (!drives) return kExitFailure;
    const Outcome saved = BackupPartitionTable(*drives->Drives.front(), options->file);
    if (saved.Kind == OutcomeKind::Cancelled) PrintError("cancelled; no backup was saved");
    ShowOutcome(saved);
    return saved ? kExitOk : kExitFailure;
  };
  return Command{sub, run, /*writesDisk=*/false};
}

Command AddRestoreCommand(CLI::App& app) {
  auto options = std::make_shared<FileOptions>();
  CLI::App* sub = app.add_subcommand("restore", "Write a partition backup file back to SOURCE");
  sub->add_option("FILE", options->file, "Backup file made by `backup`")->required();
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  auto run = [options] {
    // The file is read before the drive's lock is taken, so that a file that cannot be read
    // holds no other program off the disk; the restore reads and checks it again.
    std::string problem;
    if (ReadBackupFile(options->file, problem).empty()) {
      TerminalHost().MessageBox(problem, "Restore", MsgButtons::Ok, MsgIcon::Information);
      PrintError("nothing was written");
      return kExitFailure;
    }
    return RunOnDrive(options->source, [&](TPhysicalDrv& drive) {
      return Finish(RestorePartitionTable(drive, options->file), drive, "Restored the partition tables.");
    });
  };
  return Command{sub, run, /*writesDisk=*/true};
}

struct RebuildOptions {
  std::vector<std::string> primary, logical, active;
  std::string source;
};

bool ReadSectorList(const std::string& option, const std::vector<std::string>& typed, std::vector<uint64_t>& out) {
  for (const std::string& text : typed) {
    uint64_t lba = 0;
    if (!ParseWholeNumber(text, kMaxSectorNumber, lba)) {
      PrintError(option + " must be a sector number (LBA) from 0 to " + std::to_string(kMaxSectorNumber));
      return false;
    }
    out.push_back(lba);
  }
  return true;
}

int RunRebuild(const RebuildOptions& options) {
  std::vector<uint64_t> primary, logical, active;
  if (!ReadSectorList("--primary", options.primary, primary) || !ReadSectorList("--logical", options.logical, logical) ||
      !ReadSectorList("--active", options.active, active))
    return kExitUsage;
  if (primary.empty() && logical.empty()) {
    PrintError("name the partitions of the new layout with --primary and --logical");
    return kExitUsage;
  }
  if (active.size() > 1) {
    PrintError("--active may be given once");
    return kExitUsage;
  }
  if (!active.empty() && std::find(primary.begin(), primary.end(), active.front()) == primary.end()) {
    PrintError("Active partition must be a primary partition.");
    return kExitUsage;
  }
  std::set<uint64_t> seen;
  for (uint64_t lba : primary) seen.insert(lba);
  for (uint64_t lba : logical)
    if (!seen.insert(lba).second) {
      PrintError("the partition at sector " + std::to_string(lba) + " is named twice");
      return kExitUsage;
    }
  if (seen.size() != primary.size() + logical.size()) {
    PrintError("a partition is named twice");
    return kExitUsage;
  }

  return RunOnDrive(options.source, [&](TPhysicalDrv& drive) {
    std::vector<TRebuildChoice> chosen;
    // The sectors typed, in the model's blocks.
    const auto block = [&drive](uint64_t sector) { return BlockOfSector(drive, sector).value_or(UINT64_MAX); };
    for (uint64_t lba : seen) {
      TPartition* record = ListedAt(drive, block(lba));
      if (!record) record = FindLostAt(drive, block(lba));
      if (Interrupted()) {
        PrintError("interrupted; nothing was written");
        return InterruptExitStatus();
      }
      if (!record || record->IsExtended()) {
        PrintError("no partition or lost partition starts at sector " + std::to_string(lba) + " (see `list`)");
        return kExitFailure;
      }
      chosen.push_back({record, std::find(primary.begin(), primary.end(), lba) != primary.end(),
                        !active.empty() && active.front() == lba});
    }
    // Each logical drive gets an extended boot record in front of it: the volumes there must be
    // known, so that none is written into.
    // A scan there that did not end (a failure, said on one line, or a Ctrl+C) writes nothing.
    bool scanned = true;
    for (uint64_t lba : logical) scanned = scanned && FindVolumesInFrontOf(drive, block(lba));
    if (Interrupted()) {
      PrintError("interrupted; nothing was written");
      return InterruptExitStatus();
    }
    if (!scanned) {
      PrintError("nothing was written");
      return kExitFailure;
    }
    return Finish(RebuildPartitionTable(drive, chosen), drive, "Rebuild partition table completed successfully.");
  });
}

Command AddRebuildCommand(CLI::App& app) {
  auto options = std::make_shared<RebuildOptions>();
  CLI::App* sub = app.add_subcommand(
      "rebuild", "Replace the whole layout: the partitions named (listed or lost, by first sector) become primary "
                 "entries or logical drives; all others leave the tables (their data stays)");
  sub->add_option("--primary", options->primary, "A partition that becomes a primary entry (repeat the option)");
  sub->add_option("--logical", options->logical, "A partition that becomes a logical drive (repeat the option)");
  sub->add_option("--active", options->active, "The primary partition that becomes the active one");
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub, [options] { return RunRebuild(*options); }, /*writesDisk=*/true};
}

// `history SOURCE`: the recorded changes of the disk, oldest first.
Command AddHistoryCommand(CLI::App& app) {
  auto source = std::make_shared<std::string>();
  CLI::App* sub = app.add_subcommand("history", "List the recorded changes of SOURCE, saved before each write");
  sub->add_option("SOURCE", *source, "Disk image file or block device")->required();
  auto run = [source] {
    std::unique_ptr<TPhysicalDrives> drives = OpenOneDrive(*source).drives;
    if (!drives) return kExitFailure;
    const std::vector<TAutomaticBackup> list = ListAutomaticBackups(*drives->Drives.front());
    if (list.empty()) {
      std::printf("No recorded change of %s in %s.\n", source->c_str(), AutomaticBackupFolder().c_str());
      return kExitOk;
    }
    std::printf("Recorded changes of %s, oldest first (`undo` takes back the newest applied one, `redo` applies "
                "again the last one undone;\nat most %zu are kept a disk, %llu MiB in all):\n",
                source->c_str(), kMaxRecordsPerDisk, static_cast<unsigned long long>(kMaxBackupBytes >> 20));
    for (const TAutomaticBackup& backup : list) {
      const char* state = backup.Damaged ? "damaged" : backup.Legacy ? "old backup" : backup.Undone ? "undone" : "applied";
      std::printf("%s  %-10s %3zu sector%s  %s  %s\n", backup.Time.c_str(), state, backup.Sectors,
                  backup.Sectors == 1 ? " " : "s", backup.What.c_str(), backup.Path.c_str());
    }
    return kExitOk;
  };
  return Command{sub, run, /*writesDisk=*/false};
}

// `undo SOURCE` and `redo SOURCE`.
Command AddTurnCommand(CLI::App& app, const char* name, const char* help, EditOutcome (*turn)(TPhysicalDrv&),
                       std::string done) {
  auto source = std::make_shared<std::string>();
  CLI::App* sub = app.add_subcommand(name, help);
  sub->add_option("SOURCE", *source, "Disk image file or block device")->required();
  auto run = [source, turn, done] {
    return RunOnDrive(*source, [&](TPhysicalDrv& drive) { return Finish(turn(drive), drive, done); });
  };
  return Command{sub, run, /*writesDisk=*/true};
}

}  // namespace

std::vector<Command> AddTableCommands(CLI::App& app) {
  std::vector<Command> commands;
  commands.push_back(AddAtCommand(app, "active", "Make the primary partition at a sector the active one",
                                  SetActivePartition, "Set the active partition"));
  commands.push_back(AddAtCommand(app, "hide", "Hide a visible partition, or show a hidden one", HidePartition,
                                  "Hid or showed the partition"));
  commands.push_back(AddAtCommand(app, "delete", "Remove a partition's entry from the tables (its data stays)",
                                  DeletePartition, "Deleted the partition"));
  CLI::App* mbr = app.add_subcommand("mbr", "Renew the boot program of the master boot record (the table stays)");
  auto source = std::make_shared<std::string>();
  mbr->add_option("SOURCE", *source, "Disk image file or block device")->required();
  commands.push_back(Command{mbr,
                             [source] {
                               return RunOnDrive(*source, [](TPhysicalDrv& drive) {
                                 return Finish(RenewMasterBootRecord(drive), drive, "Renewed the boot program.");
                               });
                             },
                             /*writesDisk=*/true});
  commands.push_back(AddBackupCommand(app));
  commands.push_back(AddRestoreCommand(app));
  commands.push_back(AddRebuildCommand(app));
  commands.push_back(AddHistoryCommand(app));
  commands.push_back(AddTurnCommand(app, "undo",
                                    "Take back the newest change that is still applied (when the disk still holds "
                                    "what it wrote)",
                                    UndoLastChange, "Took back the last change."));
  commands.push_back(AddTurnCommand(app, "redo", "Apply again the change that the last undo took back", RedoLastChange,
                                    "Applied the change again."));
  return commands;
}

}  // namespace qm::cli
