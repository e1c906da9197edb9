// `quillmark-cli ls [--json] [--recursive] (--partition NO | --lost NO | --at LBA) SOURCE`: the
// root directory of one partition, listed or lost, as the preview window shows it: File Name,
// Type, Size and Created. The Type column names directories "File folder" and other entries
// by extension ("TXT File", or "File" for a name without one). With --recursive: every folder
// below the root as a tree, with sizes, times and deleted entries marked.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <ctime>
#include <optional>
#include <limits>
#include <set>

#include "Command.h"
#include "Interrupt.h"
#include "PartitionChoice.h"
#include "browse/RootDirectory.h"
#include "browse/VolumeTree.h"
#include "disk/Host.h"
#include "model/Text.h"
#include "scan/Scanner.h"

namespace qm::cli {
namespace {

using nlohmann::json;


struct LsOptions {
  bool json = false;
  bool recursive = false;
  PartitionOptions which;
  std::string source;
};

void PrintText(const std::vector<TPreviewRow>& rows) {
  const char* headers[4] = {"File Name", "Type", "Size", "Created"};
  std::vector<std::vector<std::string>> cells;
  cells.reserve(rows.size());
  // Names are bytes from the disk: a control character would garble the listing or drive the
  // terminal.
  for (const TPreviewRow& row : rows)
    cells.push_back({PrintableText(row.Name), FallbackTypeName(row), row.SizeText, row.Created});
  size_t widths[4];
  for (int c = 0; c < 4; ++c) widths[c] = DisplayWidth(headers[c]);
  for (const auto& v : cells)
    for (int c = 0; c < 4; ++c) widths[c] = std::max(widths[c], DisplayWidth(v[c]));
  auto print = [&](const std::vector<std::string>& v) {
    std::string line = Pad(v[0], widths[0], false) + "  " + Pad(v[1], widths[1], false) + "  " +
                       Pad(v[2], widths[2], true) + "  " + v[3];
    std::printf("%s\n", line.c_str());
  };
  print({headers[0], headers[1], headers[2], headers[3]});
  for (const auto& v : cells) print(v);
}

void PrintJson(const std::vector<TPreviewRow>& rows) {
  json entries = json::array();
  for (const TPreviewRow& row : rows)
    entries.push_back(json{{"name", row.Name},
                           {"directory", row.Directory},
                           {"size", row.Size},
                           {"created", row.Created},
                           {"deleted", row.Deleted}});
  const json doc{{"entries", std::move(entries)}};
  std::cout << EscapeC1Controls(doc.dump(2, ' ', false, json::error_handler_t::replace)) << "\n";
}

// "2026-12-07 14:03:09" in local time; "-" when the volume keeps no such time.
std::string TreeTimeText(const TTreeTime& t) {
  if (!t.Known) return "-";
  const auto seconds = static_cast<time_t>(t.Seconds);
  std::tm local{};
  char text[32];
  if (!localtime_r(&seconds, &local) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) return "-";
  return text;
}

json TreeTimeJson(const TTreeTime& t) { return t.Known ? json(t.Seconds) : json(nullptr); }

const char* TreeTypeName(TreeEntryType type) {
  switch (type) {
    case TreeEntryType::File: return "file";
    case TreeEntryType::Directory: return "directory";
    case TreeEntryType::Symlink: return "symlink";
    case TreeEntryType::Other: break;
  }
  return "other";
}

// Walks the folders depth first; a folder met a second time (a loop on a damaged volume) or
// nested too deep is not entered again, and the listing says so.
class TreeLister {
 public:
  // Folders below `maxDepth` are listed, not entered.
  TreeLister(TVolumeTree& tree, bool asJson, size_t maxDepth) : tree_(tree), json_(asJson), maxDepth_(maxDepth) {}
  bool trouble = false;

  json Folder(uint64_t inode, const std::string& path, size_t depth) {
    json children = json::array();
    if (Interrupted()) return children;
    if (!visited_.insert(inode).second || depth > kMaxTreeDepth) {
      PrintError(PrintableText(path) + ": " + (depth > kMaxTreeDepth ? "nested too deep; not entered" : "a loop on the volume; listed once"));
      trouble = true;
      return children;
    }
    std::vector<TTreeEntry> entries;
    const Outcome listed = tree_.List(inode, true, entries);
    if (!listed.Text.empty()) {
      PrintError(PrintableText(path) + ": " + listed.Line());
      trouble = true;
    }
    for (const TTreeEntry& e : entries) {
      const std::string child = path + (path == "/" ? "" : "/") + e.Name;
      const bool folder = e.Type == TreeEntryType::Directory;
      if (!json_) {
        std::printf("%-19s  %-19s  %14s  %s%s%s%s\n", TreeTimeText(e.Modified).c_str(), TreeTimeText(e.Created).c_str(),
                    folder ? "-" : std::to_string(e.Size).c_str(), std::string(2 * depth, ' ').c_str(),
                    PrintableText(e.Name).c_str(), folder ? "/" : "", e.Deleted ? "  (deleted)" : "");
      }
      json node{{"name", e.Name},         {"type", TreeTypeName(e.Type)},   {"size", e.Size},
                {"deleted", e.Deleted},   {"modified", TreeTimeJson(e.Modified)}, {"accessed", TreeTimeJson(e.Accessed)},
                {"changed", TreeTimeJson(e.Changed)}, {"created", TreeTimeJson(e.Created)}};
      if (folder && depth < maxDepth_ && !(e.Deleted && e.DataLost)) node["children"] = Folder(e.Inode, child, depth + 1);
      children.push_back(std::move(node));
    }
    return children;
  }

 private:
  static constexpr size_t kMaxTreeDepth = 256;
  TVolumeTree& tree_;
  bool json_;
  size_t maxDepth_;
  std::set<uint64_t> visited_;
};

// The folder tree, or with `rootOnly` the root's entries alone.
int ListTree(TPhysicalDrv& drive, const TPartition& partition, bool asJson, bool rootOnly) {
  Outcome why;
  std::unique_ptr<TVolumeTree> tree = OpenPartitionTree(drive, partition, why);
  if (!tree) {
    PrintError("the folders of the partition at sector " + std::to_string(partition.AbsoluteStart()) +
               " cannot be listed: " + why.Line());
    return kExitFailure;
  }
  TreeLister lister(*tree, asJson, rootOnly ? 0 : std::numeric_limits<size_t>::max());
  if (!asJson) std::printf("%-19s  %-19s  %14s  %s\n", "Modified", "Created", "Size", "Name");
  json entries = lister.Folder(tree->RootInode(), "/", 0);
  if (asJson) std::cout << EscapeC1Controls(json{{"entries", std::move(entries)}}.dump(2, ' ', false, json::error_handler_t::replace)) << "\n";
  std::fflush(stdout);
  if (Interrupted()) return InterruptExitStatus();
  if (tree->UnreadableSectors() > 0) {
    PrintError(std::to_string(tree->UnreadableSectors()) + " sectors could not be read; what is shown may be incomplete");
    return kExitWarnings;
  }
  return lister.trouble ? kExitWarnings : kExitOk;
}

int RunLs(const LsOptions& options) {
  InterruptScope interrupts;
  if (!PartitionOptionsValid(options.which, "ls")) return kExitUsage;
  const ChosenVolume opened = OpenChosenVolume(options.which, options.source);
  if (!opened.choice.record) return opened.choice.status;
  TPhysicalDrv& drive = opened.drive();
  const TPartition& partition = *opened.choice.record;
  // Volumes of the Linux kind and exFAT have no root reader of their own: the tree's root is
  // their listing.
  if (options.recursive || IsSuperblockKind(partition.FsKind))
    return ListTree(drive, partition, options.json, !options.recursive);
  TRootEntries entries;
  const Outcome listed = GetRootDirectory(drive, partition, entries);
  if (!listed) {
    PrintError("the root directory of the partition at sector " + std::to_string(partition.AbsoluteStart()) +
               " cannot be listed: " + listed.Line());
    return kExitFailure;
  }
  // A root listed only in part says so once, then shows what it holds.
  if (!listed.Text.empty()) PrintError(listed.Line());
  const std::vector<TPreviewRow> rows = BuildPreviewRows(entries);
  if (options.json)
    PrintJson(rows);
  else
    PrintText(rows);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

Command AddLsCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<LsOptions>();
  CLI::App* sub = app.add_subcommand("ls", "List the root directory of a partition, listed or lost");
  sub->add_flag("--json", options->json, "Print one JSON document");
  sub->add_flag("-r,--recursive", options->recursive,
                "List every folder below the root as a tree: size, modification and creation time, deleted "
                "entries marked");
  AddPartitionOptions(sub, options->which);
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub, [options] { return RunLs(*options); }};
}

}  // namespace qm::cli
