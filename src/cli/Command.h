#pragma once
// How a command of quillmark-cli plugs into main.cpp: each command lives in its own file and
// has one Add...Command function that declares its subcommand, options and arguments, and
// returns what to run once the command line has been parsed.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/Disk.h"
#include "model/PartitionRows.h"
#include "model/PhysicalDrv.h"

namespace qm::cli {

// Exit statuses of every command. README.md and the footer of --help (ExitStatusHelp) list
// them; keep the three in step.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a source that cannot be opened, an operation that failed, output not written
constexpr int kExitUsage = 2;
// Done, but something went wrong that the user must know: a read error was met (and the
// sectors behind it were passed over), or the system could not be told of the new table.
constexpr int kExitWarnings = 3;
constexpr int kExitInterrupted = 130;  // stopped by Ctrl+C (SIGINT), as shells count it

// The exit statuses as the footer of --help shows them.
const char* ExitStatusHelp();

// Options given before or after the command.
struct GlobalOptions {
  bool assumeYes = false;  // --yes: answer Yes/OK to every question but the risky ones
  bool dryRun = false;     // --dry-run: do everything up to the write, then show what it would write
  bool force = false;      // --force: with --yes, answer Yes also to risky questions
};

// --dry-run was given: OpenOneDrive puts the drive's writes into memory (a DryRunSource) and
// the command's questions are answered Yes; main shows the sectors that would change.
bool DryRunRequested();

struct Command {
  CLI::App* app = nullptr;         // the subcommand, to tell which one was given
  std::function<int()> run;        // runs it; returns the exit status
  // When it writes to the disk, its output is a report on work already done: output that cannot
  // be written then makes the status kExitWarnings, not kExitFailure.
  bool writesDisk = false;
};

// Whole decimal numbers of options: digits only (no sign, no blanks), at most `max`. False
// otherwise; the caller says what the option allows.
bool ParseWholeNumber(const std::string& text, uint64_t max, uint64_t& value);

// The largest megabyte a 32-bit sector number reaches: 0xFFFFFFFF / 2048.
constexpr uint64_t kMaxMegabytes = 0xFFFFFFFFull / 2048;
// Reads --start-mb or --end-mb (`name`); prints what is allowed and gives false otherwise.
bool MegabyteOption(const std::string& name, const std::optional<std::string>& text, std::optional<int64_t>& megabytes);

// The lost partition (not an extended one) whose first sector is `lba`, or null.
TPartition* LostAt(TPhysicalDrv& drive, uint64_t lba);
// The same, looked for as far as it takes (FindLostPartitionAt): the find when known, else a scan
// from the block that holds `lba` on towards the disk's end that stops as soon as a find starts
// there, with the progress bar on a terminal and Ctrl+C as Stop (Interrupted() then says so). A
// scan that failed is told on one line, and gives null.
TPartition* FindLostAt(TPhysicalDrv& drive, uint64_t lba);

// Scans the free space in front of `lba` for volumes no table lists, with the scan's progress
// bar: a new extended boot record there must not land in one of them. False when the scan did
// not end well: a failure is told on one line, a Ctrl+C is left to Interrupted().
bool FindVolumesInFrontOf(TPhysicalDrv& drive, uint64_t lba);

// "quillmark-cli: TEXT" on stderr.
void PrintError(const std::string& text);

// The terminal's host: it answers the questions about every disk this program opens (from
// stdin, or by the answers --yes and --force give) and shows messages on stderr.
Host& TerminalHost();

// Shows an outcome that has something to tell through the terminal's host.
void ShowOutcome(const Outcome& outcome);

// Opens the named images, or the machine's disks when none is named. Prints why not and
// returns false when that fails.
bool OpenSources(const std::vector<std::string>& sources, std::vector<std::unique_ptr<Disk>>& disks);

// One source read as drive 80H, and its lock when one was asked for. The lock goes before
// the drive that holds its disk.
struct OpenedDrive {
  std::unique_ptr<TPhysicalDrives> drives;
  std::unique_ptr<DriveLock> lock;
  explicit operator bool() const { return drives != nullptr; }
  TPhysicalDrv& drive() const { return *drives->Drives.front(); }
};

// Opens `source` alone and reads it as drive 80H; empty, after saying why, when it cannot be
// opened or read, or when its sectors are not 512 bytes long (its tables are not read then,
// and a scan would search it in the wrong unit). With `lock`, the drive's lock is taken
// before its tables are read and kept for the caller, who writes them; another program
// holding it is named and nothing is read.
OpenedDrive OpenOneDrive(const std::string& source, bool lock = false);

// A drive as the main window shows it: drive line, information label, partition rows, lost
// rows with their check reports; or the same as one JSON object.
void PrintDriveText(int index, TPhysicalDrv& drive);
nlohmann::json DriveJson(TPhysicalDrv& drive);
// Every drive, as text or as one JSON document {"drives":[...]}.
void PrintDrives(TPhysicalDrives& drives, bool asJson);

// The rows of one kind of the partition list, numbered from 1 as `list` shows them (the
// "Partitions" group for RowKind::Partition, "Lost Partitions" for RowKind::Lost).
uint64_t CountRows(TPhysicalDrv& drive, RowKind kind);
TPartition* RowRecordByNumber(TPhysicalDrv& drive, RowKind kind, uint64_t number);
// The largest row number --partition and --lost take; a list never comes near it.
constexpr uint64_t kMaxRowNumber = 2147483647;

// Text columns are measured in characters, not bytes, so that UTF-8 names line up.
size_t DisplayWidth(const std::string& text);
std::string Pad(const std::string& text, size_t width, bool right);
// A JSON document with the C1 controls inside its strings written as escapes.
std::string EscapeC1Controls(const std::string& document);

// The scan range of --start-mb/--end-mb over `region`, read as the scan range dialog reads its
// two fields (defaults: 0 and the region's size). Prints why and gives ok = false otherwise.
struct ScanRangeResult {
  bool ok = false;
  int64_t startSector = 0;
  int64_t sectorCount = 0;
};
ScanRangeResult ScanRangeFromOptions(std::optional<int64_t> startMB, std::optional<int64_t> endMB,
                                     const TPartition& region);

// How long the quick search of the gaps may take on each disk opened (--quick-search-ms).
std::chrono::milliseconds QuickSearchBudget();

// What a scan passed over while it read the disk.
struct ScanTrouble {
  int ignoredReadErrors = 0;  // answered Ignore: the rest of that block was not searched
};

// Scans as the user's scan does, with a progress bar on a terminal and Ctrl+C as Stop, and
// says how it ended (DetectLostPartitions); nothing is printed of it. Read errors passed over
// are counted into `trouble` when given.
Outcome RunUserScan(TPhysicalDrv& drive, TPartition& region, int64_t startSector, int64_t sectorCount,
                    ScanTrouble* trouble = nullptr);

// The quick search of sectors [first, end) with the same bar and Stop: the positions where
// partitioning tools place volumes, to the end of the range.
Outcome RunUserQuickSearch(TPhysicalDrv& drive, uint64_t first, uint64_t end);

Command AddListCommand(CLI::App& app, const GlobalOptions& options);
Command AddScanCommand(CLI::App& app, const GlobalOptions& options);
Command AddRecoverCommand(CLI::App& app, const GlobalOptions& options);
Command AddLsCommand(CLI::App& app, const GlobalOptions& options);
Command AddDumpCommand(CLI::App& app, const GlobalOptions& options);
Command AddCloneCommand(CLI::App& app, const GlobalOptions& options);
Command AddCopyCommand(CLI::App& app, const GlobalOptions& options);
// active, hide, delete, mbr, backup, restore, rebuild.
std::vector<Command> AddTableCommands(CLI::App& app);

}  // namespace qm::cli
