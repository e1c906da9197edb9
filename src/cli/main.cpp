// quillmark-cli: the headless front end. Commands are registered here; each one lives in its
// own file (see Command.h).
#include <unistd.h>

#include <cstdio>

#include "CliHost.h"
#include "Command.h"
#include "disk/SectorIO.h"
#include "model/Enumeration.h"

namespace qm::cli {

void PrintError(const std::string& text) { std::fprintf(stderr, "quillmark-cli: %s\n", text.c_str()); }

bool AttachSources(const std::vector<std::string>& sources) {
  std::string error;
  if (AttachDriveSources(sources, error)) return true;
  PrintError(error);
  return false;
}

std::unique_ptr<TPhysicalDrives> OpenOneDrive(const std::string& source) {
  if (!AttachSources({source})) return nullptr;
  std::unique_ptr<TPhysicalDrives> drives = CreatePhysicalDrives(false);
  if (drives->Drives.empty()) {
    PrintError("cannot read " + source);
    return nullptr;
  }
  return drives;
}

namespace {

int Main(int argc, char** argv) {
  CLI::App app{"Quillmark: reads and repairs the partition tables of disks and disk images."};
  app.name("quillmark-cli");
  app.require_subcommand(1);
  app.fallthrough();  // --yes may also follow the command

  GlobalOptions options;
  app.add_flag("-y,--yes", options.assumeYes, "Answer Yes/OK to every question");

  std::vector<Command> commands = {
      AddListCommand(app, options),
      AddScanCommand(app, options),
      AddRecoverCommand(app, options),
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);  // prints the help or the error
    return status == 0 ? kExitOk : kExitUsage;
  }

  CliHost host(options.assumeYes, ::isatty(STDIN_FILENO) == 1);
  HostScope scope(host);
  SectorIoStartup();
  for (const Command& command : commands)
    if (command.app->parsed()) return command.run();
  return kExitUsage;
}

}  // namespace
}  // namespace qm::cli

int main(int argc, char** argv) {
  try {
    return qm::cli::Main(argc, argv);
  } catch (const std::exception& e) {
    qm::cli::PrintError(std::string("internal error: ") + e.what());
    return qm::cli::kExitFailure;
  }
}
