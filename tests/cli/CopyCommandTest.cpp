// `ls --recursive` and `copy` on volumes lost from their tables, made by the file systems' own
// tools: the copy must give back the tree that was put in, byte for byte, with its times.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/CliRun.h"
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
      if (e["deleted"].get<bool>()) {
        ++deletedShown;
        continue;
      }
      if (path == "lost+found") continue;
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

// Ctrl+C during a copy: the terminal holds the program's output (Ctrl+S) from its start, so
// it waits at its first progress report until Ctrl+C. It stops with 130, says where, and leaves
// no half-written file: whatever it did copy is whole.
TEST(CliCopy, CtrlCStopsAndLeavesNoPartialFile) {
  TreeImage image;
  if (!MakeTreeImage("fat32", image)) return;
  const std::string out = FreshPath("copy-interrupted");
  CliAtTerminal cli("copy " + At(image) + "--to " + ShellQuote(out) + " " + ShellQuote(image.Image));
  ASSERT_TRUE(cli.Started());
  cli.Type("\x13");
  // The destination is made once Ctrl+C is the program's to handle.
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
    if (description != "d") {
      EXPECT_EQ(description, expected.count(path) ? expected.at(path) : "") << path;
    }
  }
}

// A long name written over on the disk as "../../etc/x" stays inside the destination.
TEST(CliCopy, ANameThatClimbsOutLandsInsideUnderASafeName) {
  TreeImage image;
  if (!MakeTreeImage("fat32", image)) return;
  const std::string disk = CopyImage(image.Image, "climb.img");
  const uint64_t volume = image.Start * 512;
  auto utf16 = [](const std::string& text) {
    std::string bytes;
    for (char c : text) bytes += {c, '\0'};
    return bytes;
  };
  // The long name's first part holds its first five characters, the rest follow in two runs.
  const std::string area = [&] {
    const std::vector<uint8_t> b = ReadFileBytes(disk, volume, 8 << 20);
    return std::string(b.begin(), b.end());
  }();
  const std::string name = utf16("aa.bb.cc.dd"), climb = utf16("../../etc/x");
  size_t entry = std::string::npos;
  for (size_t at = area.find(name.substr(0, 10)); at != std::string::npos; at = area.find(name.substr(0, 10), at + 1))
    if (at % 32 == 1) entry = at - 1;
  ASSERT_NE(entry, std::string::npos) << "the long name of aa.bb.cc.dd is not on the volume";
  // Characters 1-5 at 1, 6-11 at 14, 12-13 at 28 of the 32-byte part.
  WriteFileBytes(disk, volume + entry + 1, std::vector<uint8_t>(climb.begin(), climb.begin() + 10));
  WriteFileBytes(disk, volume + entry + 14, std::vector<uint8_t>(climb.begin() + 10, climb.begin() + 22));

  const std::string root = FreshPath("climb"), out = root + "/a/b/out";
  fs::create_directories(out);
  CliRun run = RunCli("copy " + At(image) + "--to " + ShellQuote(out) + " " + ShellQuote(disk));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_FALSE(fs::exists(root + "/a/etc")) << run.out;
  EXPECT_FALSE(fs::exists(root + "/etc")) << run.out;
  bool found = false;
  for (const auto& e : fs::directory_iterator(out))
    if (ReadWholeFile(e.path()) == "crafted\n") {
      found = true;
      EXPECT_NE(e.path().filename().string().find("etc"), std::string::npos) << e.path();
    }
  EXPECT_TRUE(found) << run.out;
  EXPECT_FALSE(fs::exists(out + "/aa.bb.cc.dd"));
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
