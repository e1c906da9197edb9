// quillmark-cli: the headless front end. Commands are registered here; each one lives in its
// own file (see Command.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "BuildInfo.h"
#include "CliHost.h"
#include "Interrupt.h"
#include "Command.h"
#include "browse/FatDir.h"
#include "browse/VolumeTree.h"
#include "disk/DryRunSource.h"
#include "disk/Disk.h"
#include "edit/AutoBackup.h"
#include "edit/Commit.h"
#include "edit/DryRun.h"
#include "model/Enumeration.h"
#include "scan/OpenDrive.h"

namespace qm::cli {

void PrintError(const std::string& text) { std::fprintf(stderr, "quillmark-cli: %s\n", text.c_str()); }

const char* ExitStatusHelp() {
  return "Exit status:\n"
         "  0    done\n"
         "  1    failed: a source that cannot be opened or read, an operation that was not done,\n"
         "       output that could not be written\n"
         "  2    bad usage: an unknown command or option, a value out of range\n"
         "  3    done, but with trouble the user must know of: a read error was met (the sectors\n"
         "       behind it were passed over), the system could not be told of the new table,\n"
         "       or a copy left out files it names\n"
         "  130  interrupted (Ctrl+C, SIGINT)\n"
         "  143  terminated (SIGTERM)\n"
         "  129  hung up (SIGHUP: the terminal closed)\n"
         "       A command stops at a safe point before it writes; once it has written, it finishes\n"
         "       the change and exits with the status of a finished change";
}

bool ParseWholeNumber(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > max || v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

bool MegabyteOption(const std::string& name, const std::optional<std::string>& text, std::optional<int64_t>& megabytes) {
  megabytes.reset();
  if (!text) return true;
  uint64_t value = 0;
  if (!ParseWholeNumber(*text, kMaxMegabytes, value)) {
    PrintError(name + " must be a whole number of megabytes from 0 to " + std::to_string(kMaxMegabytes));
    return false;
  }
  megabytes = static_cast<int64_t>(value);
  return true;
}

namespace {
Host* g_terminal = &DefaultHost();
}  // namespace

Host& TerminalHost() { return *g_terminal; }

void ShowOutcome(const Outcome& outcome) { qm::ShowOutcome(TerminalHost(), outcome); }

namespace {
// --sector-size: the logical sector size of the image files named; 0 lets each tell its own.
uint32_t g_imageSectorSize = 0;
// --quick-search-ms: how long the quick search of the gaps may take on each disk opened.
int g_quickSearchMs = static_cast<int>(kQuickSearchBudget.count());
}  // namespace

std::chrono::milliseconds QuickSearchBudget() { return std::chrono::milliseconds(g_quickSearchMs); }

bool OpenSources(const std::vector<std::string>& sources, std::vector<std::unique_ptr<Disk>>& disks) {
  std::string error;
  bool opened = OpenDriveSources(sources, disks, error);
  for (const auto& disk : disks) {
    disk->SetUserHost(TerminalHost());
    if (g_imageSectorSize == 0 || !opened) continue;
    // A block device has its own sector size, which no option changes.
    TDriveGeometry own;
    if (disk->IsBlockDevice() && disk->QueryGeometry(own) && own.BytesPerSector != g_imageSectorSize) {
      error = disk->Path() + " is a block device with " + std::to_string(own.BytesPerSector) +
              "-byte sectors; --sector-size applies to image files";
      opened = false;
    }
    disk->SetImageSectorSize(g_imageSectorSize);
  }
  if (!opened) PrintError(error);
  return opened;
}

namespace {
bool g_dryRun = false;
GptCopy g_trustedGpt = GptCopy::None;
// The dry run's source outlives the command's drive: what it kept is shown after the command.
std::shared_ptr<DryRunSource> g_dryRunSource;

// Lends a source that somebody else keeps to a disk.
class SharedSource final : public DriveSource {
 public:
  explicit SharedSource(std::shared_ptr<DriveSource> inner) : inner_(std::move(inner)) {}
  const std::string& Path() const override { return inner_->Path(); }
  bool IsBlockDevice() const override { return inner_->IsBlockDevice(); }
  std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override { return inner_->Open(mode, error); }
  bool QueryGeometry(TDriveGeometry& geometry, int& error) override { return inner_->QueryGeometry(geometry, error); }
  uint64_t SizeBytes() override { return inner_->SizeBytes(); }
  int Lock() override { return inner_->Lock(); }
  void Unlock() override { inner_->Unlock(); }

 private:
  std::shared_ptr<DriveSource> inner_;
};
}  // namespace

bool DryRunRequested() { return g_dryRun; }

OpenedDrive OpenOneDrive(const std::string& source, bool lock) {
  std::vector<std::unique_ptr<Disk>> disks;
  if (!OpenSources({source}, disks)) return {};
  Disk& disk = *disks.front();
  if (g_dryRun)
    disk.WrapSource([](std::unique_ptr<DriveSource> inner) {
      g_dryRunSource = std::make_shared<DryRunSource>(std::move(inner));
      return std::make_unique<SharedSource>(g_dryRunSource);
    });
  // The lock goes before the drive that holds its disk, on every way out.
  OpenedDrive opened;
  if (lock) {
    Outcome refusal;
    if (!(opened.lock = LockForWriting(disk, refusal))) {
      ShowOutcome(refusal);
      return {};
    }
  }
  opened.drives = OpenDrives(std::move(disks), false, QuickSearchBudget());
  if (opened.drives->Drives.empty()) {
    PrintError("cannot read " + source);
    return {};
  }
  opened.drive().GptTrusted = g_trustedGpt;
  const uint32_t bytesPerSector = opened.drive().Geometry.BytesPerSector;
  if (!SectorSizeSupported(bytesPerSector)) {
    PrintError(source + " uses " + std::to_string(bytesPerSector) +
               "-byte sectors: its partition tables are not read, and it is neither scanned nor written "
               "(only disks with sectors of 512 to 4096 bytes are)");
    return {};
  }
  return opened;
}

namespace {

// A descriptor among 0, 1 and 2 that is closed would be taken by the next open(): a disk
// opened for writing could then receive the listing. Each closed one is held by /dev/null,
// opened so that writing to it fails, and the caller learns that stdout was closed.
bool HoldStandardDescriptors() {
  bool stdoutClosed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) stdoutClosed = true;
    int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
  return !stdoutClosed;
}

// The first word that is not an option names the command; anything else there is named as
// unknown (the parser would only say that a command is missing).
bool CheckCommandName(int argc, char** argv, const std::vector<Command>& commands) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--sector-size" || word == "--quick-search-ms") ++i;  // the options in front of the command that take a value
    if (word.empty() || word[0] == '-') continue;
    std::string names;
    for (const Command& command : commands) {
      if (word == command.app->get_name()) return true;
      names += (names.empty() ? "" : ", ") + command.app->get_name();
    }
    PrintError("unknown command \"" + word + "\"; the commands are " + names + " (see --help)");
    return false;
  }
  return true;
}

// The terminal for questions when stdin is one but stderr, where messages go, is not: the
// user would otherwise wait at a question that went into a file.
std::FILE* QuestionTerminal() {
  if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDERR_FILENO) == 1) return nullptr;
  return std::fopen("/dev/tty", "we");
}

// After a dry run: every sector the command would have written, as it would change. False when
// a sector could not be read to compare.
bool ShowDryRun() {
  std::printf("\nDry run: nothing was written.\n");
  if (!g_dryRunSource || g_dryRunSource->Written().empty()) {
    std::printf("No sector would change.\n");
    return true;
  }
  bool ok = true;
  size_t changed = 0;
  for (const auto& [lba, after] : g_dryRunSource->Written()) {
    SectorBytes before;
    int error = 0;
    if (!g_dryRunSource->ReadOnDisk(lba, before, error)) {
      PrintError("sector " + std::to_string(lba) + " could not be read to compare: " + SystemErrorText(error));
      ok = false;
      continue;
    }
    const std::vector<std::string> lines = DescribeSectorChange(lba, before, after);
    if (!lines.empty()) ++changed;
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  }
  if (changed == 0) std::printf("No sector would change.\n");
  return ok;
}

// Whether everything written to stdout reached it. Says why not on stderr.
bool OutputWritten(bool stdoutOpen) {
  std::cout.flush();
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (stdoutOpen && flushed && !std::ferror(stdout) && std::cout.good()) return true;
  std::string reason = !stdoutOpen ? "standard output is closed" : error != 0 ? SystemErrorText(error) : "write error";
  PrintError("the output could not be written: " + reason);
  return false;
}

int Main(int argc, char** argv) {
  const bool stdoutOpen = HoldStandardDescriptors();
  CLI::App app{"Quillmark: reads and repairs the partition tables of disks and disk images."};
  app.name("quillmark-cli");
  app.require_subcommand(1);
  app.fallthrough();  // --yes may also follow the command
  app.footer(ExitStatusHelp());
  app.set_version_flag("--version", "quillmark-cli " QM_VERSION, "Print the version and exit");

  GlobalOptions options;
  app.add_flag("-y,--yes", options.assumeYes, "Answer Yes/OK to every question (a risky one also needs --force)");
  app.add_flag("--dry-run", options.dryRun,
               "For the commands that write: do every check and step up to the write, answer the questions "
               "Yes, then show each sector that would change (offset, old and new bytes, table entries decoded); "
               "nothing is written");
  bool useBackupGpt = false, usePrimaryGpt = false;
  auto* backupFlag = app.add_flag("--use-backup-gpt", useBackupGpt,
                                  "On a disk whose GUID partition table has a damaged copy: trust the backup copy, and "
                                  "let a change write both copies anew from it");
  app.add_flag("--use-primary-gpt", usePrimaryGpt,
               "The same with the primary copy, when the backup copy is the damaged one")
      ->excludes(backupFlag);
  app.add_option("--sector-size", g_imageSectorSize,
                 "The logical sector size of the image files named, in bytes (512, 1024, 2048 or 4096): an image "
                 "has none of its own. Without it an image counts 512-byte sectors, unless its GUID partition table "
                 "shows another size")
      ->check(CLI::IsMember({512, 1024, 2048, 4096}));
  app.add_option("--quick-search-ms", g_quickSearchMs,
                 "How long the quick search of the gaps may take on each disk when it is opened, in milliseconds "
                 "(default 250); the list says how far a search cut short came, and `scan --quick` searches to the "
                 "end. 0: only the starts of the gaps")
      ->check(CLI::Range(0, 3600000));
  app.add_flag("--force", options.force,
               "With --yes: answer Yes also to a question that doubts the change, such as a restore of a backup "
               "file that seems to come from another disk (--yes alone refuses those)");

  std::vector<Command> commands = {
      AddListCommand(app, options),
      AddScanCommand(app, options),
      AddRecoverCommand(app, options),
      AddLsCommand(app, options),
      AddDumpCommand(app, options),
      AddCloneCommand(app, options),
      AddCopyCommand(app, options),
  };
  for (Command& command : AddTableCommands(app)) commands.push_back(std::move(command));
  for (const Command& command : commands) command.app->footer(ExitStatusHelp());

  if (!CheckCommandName(argc, argv, commands)) return kExitUsage;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);  // prints the help or the error
    if (status == 0) return OutputWritten(stdoutOpen) ? kExitOk : kExitFailure;
    return kExitUsage;
  }

  const Command* chosen = nullptr;
  for (const Command& command : commands)
    if (command.app->parsed()) chosen = &command;
  if (options.dryRun && chosen && !chosen->writesDisk) {
    PrintError("--dry-run is for the commands that write: " + chosen->app->get_name() + " writes nothing");
    return kExitUsage;
  }
  g_dryRun = options.dryRun;
  g_trustedGpt = useBackupGpt ? GptCopy::Backup : usePrimaryGpt ? GptCopy::Primary : GptCopy::None;
  SetAutomaticBackups(!options.dryRun);

  std::FILE* terminal = QuestionTerminal();
  CliHost host(options.assumeYes || options.dryRun, ::isatty(STDIN_FILENO) == 1, stdin, stderr, terminal,
               options.force || options.dryRun);
  int status = kExitUsage;
  bool writesDisk = false;
  {
    // A signal is caught from here to the exit: a command stops at a safe point before it
    // writes, and once it has written, a Ctrl+C that comes late cannot kill the process
    // before it has said what was written.
    CatchSignalsUntilExit();
    g_terminal = &host;
    if (chosen) {
      status = chosen->run();
      writesDisk = chosen->writesDisk;
      if (g_dryRun && status == kExitOk && !ShowDryRun()) status = kExitFailure;
    }
    g_terminal = &DefaultHost();
  }
  if (terminal) std::fclose(terminal);

  // A read error answered Abort or Ignore leaves part of the disk unread: what was shown may
  // lack a table or a find. Commands that know more have said so and chosen their status.
  if (status == kExitOk && host.TransferErrors() > 0) {
    PrintError(std::to_string(host.TransferErrors()) +
               (host.TransferErrors() == 1 ? " read or write error was" : " read or write errors were") +
               " met; what is shown may be incomplete");
    status = kExitWarnings;
  }
  if (!OutputWritten(stdoutOpen)) {
    if (status == kExitOk || status == kExitWarnings) status = writesDisk ? kExitWarnings : kExitFailure;
  }
  return status;
}

}  // namespace
}  // namespace qm::cli

int main(int argc, char** argv) {
  qm::ReadLocalTimeZoneOnce();
  try {
    return qm::cli::Main(argc, argv);
  } catch (const std::exception& e) {
    qm::cli::PrintError(std::string("internal error: ") + e.what());
    return qm::cli::kExitFailure;
  }
}
