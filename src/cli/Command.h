#pragma once
// How a command of quillmark-cli plugs into main.cpp: each command lives in its own file and
// has one Add...Command function that declares its subcommand, options and arguments, and
// returns what to run once the command line has been parsed.
#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace qm::cli {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a source that cannot be opened, an operation that failed
constexpr int kExitUsage = 2;

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

Command AddListCommand(CLI::App& app, const GlobalOptions& options);

}  // namespace qm::cli
