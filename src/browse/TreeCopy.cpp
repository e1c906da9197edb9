// The copy out of a volume: a plan made from the listings first (so that progress has totals
// and every name is settled), then the steps of the plan, one open folder per level.
#include "browse/TreeCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>

#include "disk/Disk.h"
#include "model/Text.h"

namespace qm {
namespace {

constexpr size_t kNameMax = 255;
constexpr size_t kChunk = size_t{1} << 20;   // read and written at once
constexpr size_t kMaxDepth = 256;            // folders deeper than this are not entered
constexpr size_t kMaxSteps = 20'000'000;     // a plan never grows past this, whatever the volume says

enum class StepKind { Folder, File, Link };

struct Step {
  StepKind Kind = StepKind::File;
  size_t Depth = 0;  // 0: directly in the destination
  std::string Name;  // safe, unique in its folder
  std::string VolumePath;
  TTreeEntry Entry;
};

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.empty() || folder == "/" ? "/" + name : folder + "/" + name;
}

bool IsWholeVolume(const TCopyItem& item, const TVolumeTree& tree) {
  return item.Entry.Inode == tree.RootInode() && (item.VolumePath.empty() || item.VolumePath == "/");
}

// Cuts `text` to at most `max` bytes without splitting a UTF-8 character.
std::string CutUtf8(const std::string& text, size_t max) {
  if (text.size() <= max) return text;
  size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Gives `name` a form not yet in `taken`: "name~2.ext", "name~3.ext", ...
std::string UniqueIn(std::set<std::string>& taken, const std::string& name) {
  if (taken.insert(name).second) return name;
  const size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0 && name.size() - dot <= 16;
  const std::string base = hasExt ? name.substr(0, dot) : name, ext = hasExt ? name.substr(dot) : "";
  for (unsigned n = 2;; ++n) {
    const std::string tag = "~" + std::to_string(n);
    const std::string candidate = CutUtf8(base, kNameMax - tag.size() - ext.size()) + tag + ext;
    if (taken.insert(candidate).second) return candidate;
  }
}

class Planner {
 public:
  Planner(TVolumeTree& tree, const TCopyOptions& options, TCopyReport& report)
      : tree_(tree), options_(options), report_(report) {}

  std::vector<Step> steps;
  uint64_t files = 0, bytes = 0;

  // Adds the entries of the folder `inode` (at `path`) at `depth`.
  void AddFolderContents(uint64_t inode, const std::string& path, size_t depth) {
    if (!visited_.insert(inode).second) {
      report_.NotCopied.push_back({path, "the folder contains itself (a loop on the volume); its contents are copied once"});
      return;
    }
    if (depth >= kMaxDepth) {
      report_.NotCopied.push_back({path, "folders nested deeper than " + std::to_string(kMaxDepth) + " levels are not entered"});
      return;
    }
    std::vector<TTreeEntry> entries;
    const Outcome listed = tree_.List(inode, options_.WithDeleted, entries);
    if (listed.failed()) {
      report_.NotCopied.push_back({path, "its contents cannot be listed: " + listed.Line()});
      return;
    }
    if (!listed.Text.empty()) report_.NotCopied.push_back({path, listed.Line()});
    // Live entries keep their names; a deleted one of the same name gets another.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TTreeEntry& a, const TTreeEntry& b) { return !a.Deleted && b.Deleted; });
    std::set<std::string> taken;
    for (const TTreeEntry& entry : entries) Add(entry, JoinPath(path, entry.Name), depth, taken);
  }

  void Add(const TTreeEntry& entry, const std::string& path, size_t depth, std::set<std::string>& taken) {
    if (steps.size() >= kMaxSteps) {
      if (!capped_) report_.NotCopied.push_back({path, "the copy holds " + std::to_string(kMaxSteps) + " entries at most; the rest is left out"});
      capped_ = true;
      return;
    }
    if (entry.DataLost) {
      report_.NotCopied.push_back(
          {path, entry.Deleted ? "deleted, and its record now belongs to another file" : "its record cannot be read"});
      return;
    }
    if (entry.Type == TreeEntryType::Other) {
      report_.NotCopied.push_back({path, "neither a file, a folder nor a link"});
      return;
    }
    std::string safe;
    const bool unsafe = SafeFileName(entry.Name, safe);
    const std::string name = UniqueIn(taken, safe);
    if (unsafe || name != entry.Name)
      report_.Renamed.push_back({path, unsafe ? "unsafe name, copied as " + name : "name taken, copied as " + name});
    Step step;
    step.Kind = entry.Type == TreeEntryType::Directory ? StepKind::Folder
                : entry.Type == TreeEntryType::Symlink ? StepKind::Link
                                                       : StepKind::File;
    step.Depth = depth;
    step.Name = name;
    step.VolumePath = path;
    step.Entry = entry;
    steps.push_back(step);
    if (step.Kind == StepKind::Folder) {
      AddFolderContents(entry.Inode, path, depth + 1);
    } else {
      ++files;
      if (step.Kind == StepKind::File) bytes += entry.Size;
    }
  }

 private:
  TVolumeTree& tree_;
  const TCopyOptions& options_;
  TCopyReport& report_;
  std::set<uint64_t> visited_;
  bool capped_ = false;
};

timespec ToTimespec(const TTreeTime& t) {
  if (!t.Known) return timespec{0, UTIME_OMIT};
  return timespec{static_cast<time_t>(t.Seconds), static_cast<long>(t.Nanos)};
}

bool AllZero(const uint8_t* data, size_t size) {
  return size == 0 || (data[0] == 0 && std::equal(data, data + size - 1, data + 1));
}

// Errors of the destination after which nothing more can be written there.
bool DestinationGone(int error) { return error == ENOSPC || error == EROFS || error == EDQUOT || error == EIO; }

class Copier {
 public:
  Copier(TVolumeTree& tree, const TCopyOptions& options, const CopyProgressFn& progress, TCopyReport& report)
      : tree_(tree), options_(options), progress_(progress), report_(report), buffer_(kChunk) {}

  TCopyProgress state;

  bool Tell() { return !progress_ || progress_(state); }

  // Runs the steps; false once the copy must end (Stop, or a destination that takes no more).
  bool Run(const std::vector<Step>& steps, int destinationFd) {
    struct Level {
      int Fd;
      const Step* Folder;  // null for the destination itself
    };
    std::vector<Level> open{{destinationFd, nullptr}};
    bool going = true;
    auto closeTo = [&](size_t levels) {
      while (open.size() > levels) {
        const Level top = open.back();
        open.pop_back();
        const timespec times[2] = {ToTimespec(top.Folder->Entry.Accessed), ToTimespec(top.Folder->Entry.Modified)};
        ::futimens(top.Fd, times);
        ::close(top.Fd);
      }
    };
    for (const Step& step : steps) {
      closeTo(std::min(open.size(), step.Depth + 1));
      if (open.size() != step.Depth + 1) continue;  // in a folder that could not be made
      const int parent = open.back().Fd;
      if (step.Kind == StepKind::Folder) {
        const int fd = MakeFolder(parent, step);
        if (fd < 0) {
          if (DestinationGone(-fd)) going = false;
        } else {
          open.push_back({fd, &step});
          ++report_.Folders;
        }
      } else {
        going = step.Kind == StepKind::File ? CopyFile(parent, step) : MakeLink(parent, step);
      }
      if (!going) break;
    }
    closeTo(1);
    return going;
  }

 private:
  void NotCopied(const Step& step, const std::string& why) { report_.NotCopied.push_back({step.VolumePath, why}); }

  // The folder made (or found) for `step`, open; minus the errno value when it cannot be had.
  int MakeFolder(int parent, const Step& step) {
    if (::mkdirat(parent, step.Name.c_str(), 0755) != 0 && errno != EEXIST) {
      const int error = errno;
      NotCopied(step, "the folder cannot be made: " + SystemErrorText(error));
      return -error;
    }
    // O_NOFOLLOW: a link placed under this name is not entered.
    const int fd = ::openat(parent, step.Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      NotCopied(step, "the folder cannot be opened: " + SystemErrorText(error) +
                          (error == ELOOP || error == ENOTDIR ? " (something that is not a folder has its name)" : ""));
      return -error;
    }
    return fd;
  }

  // Whether `name` may be written in `parent`: free, or taken by a file and --overwrite.
  bool MayTake(int parent, const Step& step) {
    struct stat existing {};
    if (::fstatat(parent, step.Name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) return true;
    if (S_ISDIR(existing.st_mode)) {
      NotCopied(step, "a folder of that name exists in the destination");
      return false;
    }
    if (!options_.Overwrite) {
      NotCopied(step, "exists in the destination (not overwritten)");
      return false;
    }
    return true;
  }

  std::string TemporaryName() { return ".quillmark-partial-" + std::to_string(::getpid()) + "-" + std::to_string(++temporaries_); }

  // Gives the finished temporary its name: replacing only with --overwrite, and never a
  // name that was taken meanwhile.
  bool Publish(int parent, const std::string& temporary, const Step& step) {
    if (options_.Overwrite) {
      if (::renameat(parent, temporary.c_str(), parent, step.Name.c_str()) == 0) return true;
    } else {
      if (::renameat2(parent, temporary.c_str(), parent, step.Name.c_str(), RENAME_NOREPLACE) == 0) return true;
      if ((errno == EINVAL || errno == ENOSYS) && ::faccessat(parent, step.Name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0 &&
          ::renameat(parent, temporary.c_str(), parent, step.Name.c_str()) == 0)
        return true;
    }
    const int error = errno;
    ::unlinkat(parent, temporary.c_str(), 0);
    NotCopied(step, error == EEXIST ? "exists in the destination (not overwritten)"
                                    : "cannot be given its name: " + SystemErrorText(error));
    return false;
  }

  bool CopyFile(int parent, const Step& step) {
    state.Current = step.VolumePath;
    const uint64_t size = step.Entry.Size;
    if (!MayTake(parent, step)) {
      ++state.FilesDone;
      state.BytesDone += size;
      return Tell();
    }
    const std::string temporary = TemporaryName();
    const int fd = ::openat(parent, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      const int error = errno;
      NotCopied(step, "cannot be created: " + SystemErrorText(error));
      return !DestinationGone(error);
    }
    uint64_t unreadable = 0;
    std::string readFailure, refused;
    int writeError = 0;
    bool stopped = false;
    uint64_t offset = 0;
    while (offset < size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - offset));
      size_t got = 0;
      const Outcome read = tree_.Read(step.Entry, offset, std::span<uint8_t>(buffer_.data(), want), got, unreadable);
      if (read.failed() && read.Errno == EFBIG) {  // a size that cannot be believed: nothing is copied
        refused = read.Line();
        break;
      }
      if (read.failed() || got == 0) {
        // The rest of a file whose runs cannot be followed stays zeros, and the file is named.
        if (readFailure.empty()) readFailure = read.failed() ? read.Line() : "its data ends early";
        unreadable += (size - offset + 511) / 512;
        break;
      }
      // Runs of zeros are left as holes: a sparse file stays sparse.
      if (!AllZero(buffer_.data(), got)) {
        for (size_t done = 0; done < got;) {
          const ssize_t n = ::pwrite(fd, buffer_.data() + done, got - done, static_cast<off_t>(offset + done));
          if (n <= 0) {
            writeError = n < 0 ? errno : EIO;
            break;
          }
          done += static_cast<size_t>(n);
        }
      }
      if (writeError) break;
      offset += got;
      state.BytesDone += got;
      if (!Tell()) {
        stopped = true;
        break;
      }
    }
    const bool whole = !writeError && !stopped && refused.empty();
    if (whole && ::ftruncate(fd, static_cast<off_t>(size)) != 0) writeError = errno;
    if (whole && !writeError) {
      const timespec times[2] = {ToTimespec(step.Entry.Accessed), ToTimespec(step.Entry.Modified)};
      ::futimens(fd, times);
    }
    if (::close(fd) != 0 && whole && !writeError) writeError = errno;
    if (stopped || writeError || !refused.empty()) {
      ::unlinkat(parent, temporary.c_str(), 0);
      if (!refused.empty()) {
        NotCopied(step, refused);
        ++state.FilesDone;
        state.BytesDone += size - offset;
        return Tell();
      }
      if (stopped) {
        report_.Stopped = true;
        report_.StoppedIn = step.VolumePath;
        return false;
      }
      NotCopied(step, "cannot be written: " + SystemErrorText(writeError));
      if (DestinationGone(writeError)) {
        report_.Ended = Outcome::Failed("The destination takes no more: " + SystemErrorText(writeError), "Copy", writeError);
        return false;
      }
      return true;
    }
    if (Publish(parent, temporary, step)) {
      ++report_.Files;
      report_.Bytes += size;
      if (unreadable > 0)
        report_.Unreadable.push_back({step.VolumePath, std::to_string(unreadable) + " unreadable sector" +
                                                           (unreadable == 1 ? "" : "s") + " copied as zeros" +
                                                           (readFailure.empty() ? "" : " (" + readFailure + ")")});
    }
    ++state.FilesDone;
    return Tell();
  }

  bool MakeLink(int parent, const Step& step) {
    state.Current = step.VolumePath;
    ++state.FilesDone;
    std::string target;
    const Outcome read = tree_.ReadLink(step.Entry, target);
    if (read.failed()) {
      NotCopied(step, "the link's target cannot be read: " + read.Line());
      return Tell();
    }
    if (!MayTake(parent, step)) return Tell();
    const std::string temporary = TemporaryName();
    if (::symlinkat(target.c_str(), parent, temporary.c_str()) != 0) {
      const int error = errno;
      NotCopied(step, "the link cannot be made: " + SystemErrorText(error));
      return !DestinationGone(error) && Tell();
    }
    const timespec times[2] = {ToTimespec(step.Entry.Accessed), ToTimespec(step.Entry.Modified)};
    ::utimensat(parent, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (Publish(parent, temporary, step)) ++report_.Links;
    return Tell();
  }

  TVolumeTree& tree_;
  const TCopyOptions& options_;
  const CopyProgressFn& progress_;
  TCopyReport& report_;
  std::vector<uint8_t> buffer_;
  unsigned temporaries_ = 0;
};

}  // namespace

bool SafeFileName(const std::string& name, std::string& safe) {
  if (name.empty()) {
    safe = "_";
    return true;
  }
  if (name == "." || name == "..") {
    safe = "_" + name;
    return true;
  }
  safe = name;
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
  }
  if (safe.size() > kNameMax) {
    const size_t dot = safe.rfind('.');
    const std::string ext = dot != std::string::npos && dot > 0 && safe.size() - dot <= 16 ? safe.substr(dot) : "";
    safe = CutUtf8(safe.substr(0, safe.size() - ext.size()), kNameMax - ext.size()) + ext;
  }
  return safe != name;
}

int TCopyProgress::Percent() const {
  if (BytesTotal > 0) return static_cast<int>(std::min<uint64_t>(100, BytesDone * 100 / BytesTotal));
  if (FilesTotal > 0) return static_cast<int>(std::min<uint64_t>(100, FilesDone * 100 / FilesTotal));
  return 100;
}

bool TCopyReport::ReadTrouble() const { return !Unreadable.empty(); }

TCopyReport CopyFromVolume(TVolumeTree& tree, const std::vector<TCopyItem>& items, int destinationFd,
                           const TCopyOptions& options, const CopyProgressFn& progress) {
  TCopyReport report;
  Planner planner(tree, options, report);
  std::set<std::string> taken;
  for (const TCopyItem& item : items) {
    if (IsWholeVolume(item, tree))
      planner.AddFolderContents(item.Entry.Inode, "/", 0);
    else
      planner.Add(item.Entry, item.VolumePath, 0, taken);
  }
  Copier copier(tree, options, progress, report);
  copier.state.FilesTotal = planner.files;
  copier.state.BytesTotal = planner.bytes;
  if (!copier.Tell()) {
    report.Stopped = true;
    return report;
  }
  copier.Run(planner.steps, destinationFd);
  return report;
}

std::vector<std::string> CopySummaryLines(const TCopyReport& report) {
  std::vector<std::string> lines;
  auto plural = [](uint64_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); };
  lines.push_back("Copied " + plural(report.Files, "file", "files") + " (" + plural(report.Bytes, "byte", "bytes") +
                  "), " + plural(report.Folders, "folder", "folders") + " and " + plural(report.Links, "link", "links") + ".");
  if (report.Stopped)
    lines.push_back(report.StoppedIn.empty() ? "Stopped before the first file."
                                             : "Stopped while copying " + PrintableText(report.StoppedIn) +
                                                   ": its partial copy was removed.");
  if (report.Ended.failed()) lines.push_back(report.Ended.Line());
  auto list = [&](const std::vector<TCopyProblem>& problems, const std::string& heading) {
    if (problems.empty()) return;
    lines.push_back(heading + " (" + std::to_string(problems.size()) + "):");
    for (const TCopyProblem& p : problems) lines.push_back("  " + PrintableText(p.Path) + ": " + PrintableText(p.Reason));
  };
  list(report.Unreadable, "Copied with unreadable sectors");
  list(report.NotCopied, "Not copied");
  list(report.Renamed, "Renamed");
  return lines;
}

}  // namespace qm
