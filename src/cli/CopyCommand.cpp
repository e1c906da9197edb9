// `quillmark-cli copy (--at LBA | --partition NO | --lost NO) [--path PATH ...] [--deleted]
// [--overwrite] --to DIR SOURCE`: copies files and folders out of a partition, listed or lost,
// into the folder DIR (made when missing, its parent must exist). SOURCE is opened read-only,
// and a DIR whose file system lives on SOURCE is refused before anything is made. Without
// --path the whole volume is copied. Files get their modification times; a file takes its
// name only once complete, so Ctrl+C leaves no half file (the one being copied is removed).
// Exits 0 when everything was copied, 3 when something was not (unreadable sectors, names
// taken, entries that could not be read), 1 when the copy could not be done, 130 on Ctrl+C.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "Command.h"
#include "Interrupt.h"
#include "PartitionChoice.h"
#include "browse/CopyDestination.h"
#include "browse/TreeCopy.h"
#include "browse/VolumeTree.h"

namespace qm::cli {
namespace {


struct CopyOptions {
  PartitionOptions which;
  std::vector<std::string> paths;
  bool deleted = false;
  bool overwrite = false;
  std::string to;
  std::string source;
};

// A file descriptor closed when it goes.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens the destination folder, making it when it is missing. Its parent is checked against
// the source before anything is made there.
int OpenDestination(const CopyOptions& options) {
  Fd folder{::open(options.to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (folder.fd < 0 && errno == ENOENT) {
    const std::filesystem::path parentPath = std::filesystem::path(options.to).parent_path();
    Fd parent{::open(parentPath.empty() ? "." : parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (parent.fd < 0) {
      PrintError("the folder " + parentPath.string() + " cannot be opened: " + SystemErrorText(errno));
      return -kExitFailure;
    }
    const Outcome refused = CheckDestinationOffSource(parent.fd, options.source);
    if (!refused) {
      PrintError(refused.Line() + " Nothing was copied.");
      return -kExitFailure;
    }
    if (::mkdir(options.to.c_str(), 0755) != 0 && errno != EEXIST) {
      PrintError("the folder " + options.to + " cannot be made: " + SystemErrorText(errno));
      return -kExitFailure;
    }
    folder.fd = ::open(options.to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (folder.fd < 0) {
    PrintError("the folder " + options.to + " cannot be opened: " + SystemErrorText(errno));
    return -kExitFailure;
  }
  const Outcome refused = CheckDestinationOffSource(folder.fd, options.source);
  if (!refused) {
    PrintError(refused.Line() + " Nothing was copied.");
    return -kExitFailure;
  }
  const int fd = folder.fd;
  folder.fd = -1;
  return fd;
}

// A bar on a terminal: per cent of the bytes, and files done of all.
CopyProgressFn TerminalProgress() {
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  return [terminal, shown = -1, files = uint64_t{0}](const TCopyProgress& p) mutable {
    if (Interrupted()) return false;
    if (!terminal || (p.Percent() == shown && p.FilesDone == files)) return true;
    shown = p.Percent();
    files = p.FilesDone;
    const int width = 30, filled = shown * width / 100;
    std::fprintf(stderr, "\rCopying [%s%s] %3d%%  %llu of %llu files", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), shown, static_cast<unsigned long long>(p.FilesDone),
                 static_cast<unsigned long long>(p.FilesTotal));
    std::fflush(stderr);
    return true;
  };
}

int RunCopy(const CopyOptions& options) {
  InterruptScope interrupts;
  if (!PartitionOptionsValid(options.which, "copy")) return kExitUsage;
  Fd destination{OpenDestination(options)};
  if (destination.fd < 0) return -destination.fd;

  const ChosenVolume opened = OpenChosenVolume(options.which, options.source);
  if (!opened.choice.record) return opened.choice.status;
  TPhysicalDrv& drive = opened.drive();
  const TPartition& partition = *opened.choice.record;
  Outcome why;
  std::unique_ptr<TVolumeTree> tree = OpenPartitionTree(drive, partition, why);
  if (!tree) {
    PrintError("the files of the partition at sector " + std::to_string(SectorOfBlock(drive, partition.AbsoluteStart())) +
               " cannot be read: " + why.Line());
    return kExitFailure;
  }

  std::vector<TCopyItem> items;
  for (const std::string& path : options.paths.empty() ? std::vector<std::string>{"/"} : options.paths) {
    TCopyItem item;
    const Outcome found = tree->Find(path, item.Entry);
    if (!found) {
      PrintError(found.Line());
      return kExitFailure;
    }
    if (item.Entry.Deleted && !options.deleted) {
      PrintError(path + " is deleted; --deleted copies deleted entries");
      return kExitFailure;
    }
    item.VolumePath = path.empty() || path[0] != '/' ? "/" + path : path;
    items.push_back(std::move(item));
  }

  TCopyOptions copyOptions;
  copyOptions.WithDeleted = options.deleted;
  copyOptions.Overwrite = options.overwrite;
  const TCopyReport report = CopyFromVolume(*tree, items, destination.fd, copyOptions, TerminalProgress());
  if (::isatty(STDERR_FILENO) == 1) std::fputc('\n', stderr);
  for (const std::string& line : CopySummaryLines(report)) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (report.Stopped) return Interrupted() ? InterruptExitStatus() : kExitFailure;
  if (report.Ended.failed()) return kExitFailure;
  if (tree->UnreadableSectors() > 0 || !report.Unreadable.empty() || !report.NotCopied.empty()) return kExitWarnings;
  return kExitOk;
}

}  // namespace

Command AddCopyCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<CopyOptions>();
  CLI::App* sub = app.add_subcommand("copy", "Copy files and folders out of a partition, listed or lost, into a folder");
  AddPartitionOptions(sub, options->which);
  sub->add_option("--path", options->paths,
                  "A file or folder of the volume to copy (\"docs/report.txt\"); may be given more than once. "
                  "Without it the whole volume is copied");
  sub->add_flag("--deleted", options->deleted, "Also copy deleted files and folders the file system still describes");
  sub->add_flag("--overwrite", options->overwrite, "Replace files of the same name in the destination");
  sub->add_option("--to", options->to,
                  "The folder to copy into (made when missing); it must not lie on SOURCE")
      ->required();
  sub->add_option("SOURCE", options->source, "Disk image file or block device (only read)")->required();
  return Command{sub, [options] { return RunCopy(*options); }};
}

}  // namespace qm::cli
