#pragma once
// How a command of quillmark-cli plugs into main.cpp: each command lives in its own file and
// has one Add...Command function that declares its subcommand, options and arguments, and
// returns what to run once the command line has been parsed.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/PhysicalDrv.h"

namespace qm::cli {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a source that cannot be opened, an operation that failed
constexpr int kExitUsage = 2;
constexpr int kExitNotNotified = 3;  // done, but the system could not be told of the new tables
// A command stopped by a signal exits with 128 + its number (130 for Ctrl+C).

// Options given before or after the command.
struct GlobalOptions {
  bool assumeYes = false;  // --yes: answer Yes/OK to every question
};

struct Command {
  CLI::App* app = nullptr;         // the subcommand, to tell which one was given
  std::function<int()> run;        // runs it; returns the exit status
};

// "quillmark-cli: TEXT" on stderr.
void PrintError(const std::string& text);

// Attaches the named images, or the machine's disks when none is named. Prints why not and
// returns false when that fails.
bool AttachSources(const std::vector<std::string>& sources);

// Attaches `source` alone and reads it as drive 80H; null, after saying why, when it cannot be
// opened or read.
std::unique_ptr<TPhysicalDrives> OpenOneDrive(const std::string& source);

// A drive as the main window shows it: drive line, information label, partition rows, lost
// rows with their check reports; or the same as one JSON object.
void PrintDriveText(int index, TPhysicalDrv& drive);
nlohmann::json DriveJson(TPhysicalDrv& drive);
// Every drive, as text or as one JSON document {"drives":[...]}.
void PrintDrives(TPhysicalDrives& drives, bool asJson);

// The scan range of --start-mb/--end-mb over `region`, read as the scan range dialog reads its
// two fields (defaults: 0 and the region's size). Prints why and gives ok = false otherwise.
struct ScanRangeResult {
  bool ok = false;
  int64_t startSector = 0;
  int64_t sectorCount = 0;
};
ScanRangeResult ScanRangeFromOptions(std::optional<int64_t> startMB, std::optional<int64_t> endMB,
                                     const TPartition& region);

// Scans as the user's scan does, with a progress bar on a terminal and Ctrl+C as Stop. False
// when nothing was scanned.
bool RunUserScan(TPhysicalDrv& drive, TPartition& region, int64_t startSector, int64_t sectorCount);

Command AddListCommand(CLI::App& app, const GlobalOptions& options);
Command AddScanCommand(CLI::App& app, const GlobalOptions& options);
Command AddRecoverCommand(CLI::App& app, const GlobalOptions& options);

}  // namespace qm::cli
