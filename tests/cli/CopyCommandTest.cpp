// `ls --recursive` and `copy` on volumes lost from their tables, made by the file systems' own
// tools: the copy must give back the tree that was put in, byte for byte, with its times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/CliRun.h"
#include "disk/Bytes.h"
#include "support/TreeImage.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

std::string At(const TreeImage& image) { return "--at " + std::to_string(image.Start) + " "; }

struct KindCase {
  const char* Kind;
  const char* DeletedName;  // what the volume still calls the deleted file
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.Kind; }

class CliCopy : public ::testing::TestWithParam<KindCase> {};

TEST_P(CliCopy, GivesBackTheTreeWithItsTimesAndTheDeletedFile) {
  TreeImage image;
  if (!MakeTreeImage(GetParam().Kind, image)) return;
  const std::string out = FreshPath(std::string("copy-") + GetParam().Kind);
  CliRun run = RunCli("copy --deleted " + At(image) + "--to " + ShellQuote(out) + " " + ShellQuote(image.Image));
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_SAYS(run.out, "Copied ");
  std::map<std::string, std::string> copied = DescribeTree(out), expected = DescribeTree(image.Tree);
  const std::string deleted = out + "/" + GetParam().DeletedName;
  EXPECT_EQ(ReadWholeFile(deleted), ReadWholeFile(image.Deleted)) << "the deleted file";
  copied.erase(GetParam().DeletedName);
  copied.erase("lost+found");
  EXPECT_EQ(copied, expected);
  // Without --deleted the deleted file stays behind, and nothing else does.
  const std::string live = FreshPath(std::string("copy-live-") + GetParam().Kind);
  run = RunCli("copy " + At(image) + "--to " + ShellQuote(live) + " " + ShellQuote(image.Image));
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  copied = DescribeTree(live);
  copied.erase("lost+found");
  EXPECT_EQ(copied, expected);
  // Copied again: what is there stays, and the run says so.
  const std::string before = ReadWholeFile(out + "/big.bin");
  WriteFileBytes(out + "/big.bin", 0, {'o', 'l', 'd'});
  run = RunCli("copy " + At(image) + "--path big.bin --to " + ShellQuote(out) + " " + ShellQuote(image.Image));
  EXPECT_EQ(run.status, 3) << run.out << run.err;
  EXPECT_SAYS(run.out, "/big.bin: exists in the destination (not overwritten)");
  EXPECT_EQ(ReadWholeFile(out + "/big.bin").substr(0, 3), "old");
  run = RunCli("copy --overwrite " + At(image) + "--path /big.bin --to " + ShellQuote(out) + " " + ShellQuote(image.Image));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(ReadWholeFile(out + "/big.bin") == before);
  // The listing shows the same tree, the deleted file marked.
  run = RunCli("ls --recursive --json " + At(image) + ShellQuote(image.Image));
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json listed = nlohmann::json::parse(run.out);
  int deletedShown = 0;
  std::function<void(const nlohmann::json&, const std::string&)> walk = [&](const nlohmann::json& entries,
                                                                             const std::string& folder) {
    for (const auto& e : entries) {
      const std::string path = folder + e["name"].get<std::string>();
      const bool deleted = e["deleted"].get<bool>();
      deletedShown += deleted;
      if (deleted || path == "lost+found") continue;
      ASSERT_TRUE(expected.count(path)) << path;
      EXPECT_EQ(e["type"] == "directory", expected[path] == "d") << path;
      if (e.contains("children")) walk(e["children"], path + "/");
    }
  };
  walk(listed["entries"], "");
  EXPECT_EQ(deletedShown, 1);
  // Without --recursive ext4 and exFAT volumes list their root alone, as the others do.
  if (const std::string kind = GetParam().Kind; kind == "ext4" || kind == "exfat") {
    run = RunCli("ls --json " + At(image) + ShellQuote(image.Image));
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json root = nlohmann::json::parse(run.out)["entries"];
    EXPECT_EQ(root.size(), listed["entries"].size());
    for (const auto& e : root) EXPECT_FALSE(e.contains("children")) << e["name"];
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, CliCopy,
                         ::testing::Values(KindCase{"fat32", "_one.txt"}, KindCase{"exfat", "gone.txt"},
                                           KindCase{"ntfs", "gone.txt"}, KindCase{"ext4", "gone.txt"}),
                         [](const auto& info) { return std::string(info.param.Kind); });

// Ctrl+C during a copy (held at its first progress report by Ctrl+S) stops it with 130 and
// leaves no half-written file: whatever it did copy is whole.
TEST(CliCopy, CtrlCStopsAndLeavesNoPartialFile) {
  TreeImage image;
  if (!MakeTreeImage("fat32", image)) return;
  const std::string out = FreshPath("copy-interrupted");
  CliAtTerminal cli("copy " + At(image) + "--to " + ShellQuote(out) + " " + ShellQuote(image.Image));
  ASSERT_TRUE(cli.Started());
  cli.Type("\x13");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(out) && cli.Running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(fs::exists(out)) << cli.shown;
  cli.Type("\x03");
  EXPECT_EQ(cli.Finish(), 130) << cli.shown;
  EXPECT_SAYS(cli.shown, "Stopped ");
  const std::map<std::string, std::string> copied = DescribeTree(out), expected = DescribeTree(image.Tree);
  EXPECT_LT(copied.size(), expected.size()) << cli.shown;
  for (const auto& [path, description] : copied) {
    EXPECT_EQ(path.find(".quillmark-partial"), std::string::npos) << path;
    if (description != "d") { EXPECT_EQ(description, expected.count(path) ? expected.at(path) : "") << path; }
  }
}

std::string Utf16(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii) bytes += {c, '\0'};
  return bytes;
}

// The places of `text` in the data of a sparse file (its holes are not read).
std::vector<uint64_t> FindInData(const std::string& path, const std::string& text) {
  std::vector<uint64_t> found;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  for (off_t data = ::lseek(fd, 0, SEEK_DATA); fd >= 0 && data >= 0; data = ::lseek(fd, data, SEEK_DATA)) {
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    std::string bytes(static_cast<size_t>(hole - data), '\0');
    if (::pread(fd, bytes.data(), bytes.size(), data) != static_cast<ssize_t>(bytes.size())) break;
    for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
      found.push_back(static_cast<uint64_t>(data) + at);
    data = hole;
  }
  if (fd >= 0) ::close(fd);
  return found;
}

// A long name written over on the disk as "../../etc/x" stays inside the destination, under a
// safe name.
TEST(CliCopy, ANameThatClimbsOutLandsInsideUnderASafeName) {
  TreeImage image;
  if (!MakeTreeImage("fat32", image)) return;
  const std::string disk = CopyImage(image.Image, "climb.img");
  // The long name's part with its first characters: 1-5 at 1, 6-11 at 14 of the 32-byte part.
  const std::string name = Utf16("aa.bb.cc.dd"), climb = Utf16("../../etc/x");
  uint64_t entry = UINT64_MAX;
  for (uint64_t at : FindInData(disk, name.substr(0, 10)))
    if (at % 32 == 1) entry = at - 1;
  ASSERT_NE(entry, UINT64_MAX) << "the long name of aa.bb.cc.dd is not on the volume";
  WriteFileBytes(disk, entry + 1, std::vector<uint8_t>(climb.begin(), climb.begin() + 10));
  WriteFileBytes(disk, entry + 14, std::vector<uint8_t>(climb.begin() + 10, climb.begin() + 22));

  const std::string root = FreshPath("climb"), out = root + "/a/b/out";
  fs::create_directories(out);
  RunCliEnding("copy " + At(image) + "--to " + ShellQuote(out) + " " + ShellQuote(disk));
  EXPECT_FALSE(fs::exists(root + "/a/etc"));
  EXPECT_FALSE(fs::exists(root + "/etc"));
  EXPECT_FALSE(fs::exists(out + "/aa.bb.cc.dd"));
  size_t crafted = 0;
  for (const auto& e : fs::directory_iterator(out))
    if (e.is_regular_file() && ReadWholeFile(e.path()) == "crafted\n") {
      ++crafted;
      EXPECT_NE(e.path().filename().string().find("etc"), std::string::npos) << e.path();
    }
  EXPECT_EQ(crafted, 1u);
}

// A name in the Win32-and-DOS name space is listed as any name; a name left behind in an index
// block past its last entry, whose record another file uses again, as deleted and with nothing
// of the other file's record. The tools that make the volume write neither: bytes are changed.
TEST(CliLsNtfs, WindowsNamesAndANameLeftBehindOverAReusedRecord) {
  TreeImage image;
  if (!MakeTreeImage("ntfs", image)) return;
  const std::string disk = CopyImage(image.Image, "ntfs-index.img");
  // Each name follows its length and its name space, in the folder's index and the file's record.
  const std::string shared = Utf16("aa.bb.cc.dd");
  const std::vector<uint64_t> names = FindInData(disk, shared);
  ASSERT_FALSE(names.empty());
  for (uint64_t at : names) WriteFileBytes(disk, at - 1, {3});
  // The index block ("INDX") of docs/many that holds "entry number 5.txt", 82 bytes into its entry.
  const std::string five = Utf16("entry number 5.txt");
  uint64_t block = 0, entry = 0;
  for (uint64_t at : FindInData(disk, five)) {
    const uint64_t start = (at - image.Start * 512) / 4096 * 4096 + image.Start * 512;
    const std::vector<uint8_t> head = ReadFileBytes(disk, start, 4);
    if (std::string(head.begin(), head.end()) == "INDX") block = start, entry = at - 82;
  }
  ASSERT_NE(block, 0u) << "no index block holds entry number 5.txt";
  const std::vector<uint8_t> node = ReadFileBytes(disk, block, 4096);
  const auto u32 = [&](size_t at) { return LoadLE<uint32_t>(&node[at]); };
  std::vector<uint8_t> copy = ReadFileBytes(disk, entry, 82 + five.size());
  copy[82 + five.find('5')] = '0';
  // Past the entries in use, clear of the update sequence's two bytes at each 512.
  uint64_t at = (0x18 + u32(0x1C) + 7) / 8 * 8;
  while (at / 512 != (at + copy.size() + 1) / 512) at = (at / 512 + 1) * 512;
  ASSERT_LE(at + copy.size(), 0x18 + u32(0x20)) << "no room left in the block";
  WriteFileBytes(disk, block + at, copy);
  CliRun run = RunCli("ls -r --json " + At(image) + ShellQuote(disk));
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json root = nlohmann::json::parse(run.out)["entries"];
  std::map<std::string, nlohmann::json> byName, many;
  for (const auto& e : root) byName[e["name"]] = e;
  EXPECT_TRUE(byName.count("aa.bb.cc.dd") && !byName["aa.bb.cc.dd"]["deleted"].get<bool>()) << run.out;
  for (const auto& e : byName["docs"]["children"])
    if (e["name"] == "many") for (const auto& f : e["children"]) many[f["name"]] = f;
  EXPECT_EQ(many.size(), 121u);
  ASSERT_TRUE(many.count("entry number 0.txt")) << run.out;
  EXPECT_TRUE(many["entry number 0.txt"]["deleted"].get<bool>());
  EXPECT_TRUE(many["entry number 0.txt"]["modified"].is_null()) << many["entry number 0.txt"];
  EXPECT_FALSE(many["entry number 5.txt"]["deleted"].get<bool>());
  EXPECT_FALSE(many["entry number 5.txt"]["modified"].is_null());
  // Without --deleted the name left behind is not even tried.
  run = RunCli("copy " + At(image) + "--path docs/many --to " + ShellQuote(FreshPath("ntfs-index-copy")) + " " +
               ShellQuote(disk));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_SAYS(run.out, "Copied 120 files");
}

// A destination whose file system lives in the source image (mounted through a loop device)
// is refused before anything is made there.
TEST(CliCopyOnDevice, ADestinationOnTheSourceIsRefused) {
  TreeImage image;
  if (!MakeTreeImage("ext4", image)) return;
  if (::geteuid() != 0) GTEST_SKIP() << "mounting an image needs root";
  const std::string disk = CopyImage(image.Image, "on-source.img"), mnt = FreshPath("on-source-mnt");
  fs::create_directories(mnt);
  if (RunCommand("mount -o loop,offset=" + std::to_string(image.Start * 512) + " " + ShellQuote(disk) + " " +
                 ShellQuote(mnt) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "this machine does not mount an image through a loop device";
  struct Unmount {
    std::string at;
    ~Unmount() { RunCommand("umount " + ShellQuote(at)); }  // the loop device goes with it
  } unmount{mnt};
  for (const std::string& to : {mnt + "/new", mnt + "/docs"}) {
    CliRun run = RunCli("copy " + At(image) + "--to " + ShellQuote(to) + " " + ShellQuote(disk));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_SAYS(run.err, "never copied onto the disk they are read from");
  }
  EXPECT_FALSE(fs::exists(mnt + "/new"));
  EXPECT_FALSE(fs::exists(mnt + "/docs/big.bin"));
}

}  // namespace
}  // namespace qm::test
