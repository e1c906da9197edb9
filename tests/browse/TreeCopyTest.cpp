// The copy out of a volume through the core: unreadable sectors, Stop, and the names a damaged
// volume may give.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "browse/TreeCopy.h"
#include "browse/VolumeTree.h"
#include "support/Fixtures.h"
#include "support/Sources.h"
#include "support/TreeImage.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

std::string FileText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path, 0, fs::file_size(path));
  return {bytes.begin(), bytes.end()};
}

TEST(SafeFileName, UnsafeNamesGetASafeOneAndSafeNamesStay) {
  const std::string longName = std::string(300, 'x') + ".txt";
  const std::string longUtf8 = std::string(253, 'y') + "\xC3\xA9\xC3\xA9";  // 257 bytes, cut between characters
  struct Case {
    std::string name, safe;
    bool changed;
  } cases[] = {
      {"report.txt", "report.txt", false},
      {"Ünïcode façade.txt", "Ünïcode façade.txt", false},
      {"..", "_..", true},
      {".", "_.", true},
      {"", "_", true},
      {"../../etc/x", ".._.._etc_x", true},
      {std::string("a\0b", 3), "a_b", true},
      {"bell\x07\x7F", "bell__", true},
      {longName, std::string(251, 'x') + ".txt", true},
      {longUtf8, std::string(253, 'y') + "\xC3\xA9", true},
  };
  for (const Case& c : cases) {
    std::string safe;
    EXPECT_EQ(SafeFileName(c.name, safe), c.changed) << c.name;
    EXPECT_EQ(safe, c.safe) << c.name;
    EXPECT_LE(safe.size(), 255u);
  }
}

struct Opened {
  std::unique_ptr<TPhysicalDrv> drive;
  std::shared_ptr<FaultSource::State> faults;
  std::unique_ptr<TVolumeTree> tree;
};

Opened OpenTree(const TreeImage& image) {
  Opened o;
  auto source = std::make_unique<FaultSource>(std::make_unique<FileSource>(image.Image));
  o.faults = source->state;
  o.drive = BareDrive(std::move(source));
  Outcome why;
  o.tree = TVolumeTree::Open(o.drive->Io(), fs::file_size(image.Image) / 512, image.Start, fkFat32, why);
  EXPECT_TRUE(o.tree) << why.Line();
  return o;
}

int OpenFolder(const std::string& path) {
  fs::create_directories(path);
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A sector of big.bin that cannot be read: the file is copied with zeros in its place and
// named; every other file comes out whole.
TEST(TreeCopyOnImages, AnUnreadableSectorIsZerosInANamedFile) {
  TreeImage image;
  if (!MakeTreeImage("fat32", image)) return;
  const std::string big = FileText(image.Tree + "/big.bin");
  const size_t at = FileText(image.Image).find(big.substr(0, 4096));  // the first cluster of big.bin
  ASSERT_NE(at, std::string::npos);
  const uint64_t bad = at;  // faults hit the reads that begin at them
  Opened o = OpenTree(image);
  if (!o.tree) return;
  o.faults->readFaults[bad] = Fault{FaultKind::Error, EIO, -1};

  const std::string out = FreshPath("unreadable");
  const int fd = OpenFolder(out);
  TCopyItem all{"/", {}};
  ASSERT_TRUE(o.tree->Find("/", all.Entry));
  const TCopyReport report = CopyFromVolume(*o.tree, {all}, fd, {}, nullptr);
  ::close(fd);
  ASSERT_EQ(report.Unreadable.size(), 1u);
  EXPECT_EQ(report.Unreadable[0].Path, "/big.bin");
  EXPECT_TRUE(report.ReadTrouble());
  EXPECT_EQ(o.tree->UnreadableList(), std::set<Lba>{bad / 512});
  std::string expected = big;
  std::fill(expected.begin(), expected.begin() + 512, '\0');
  EXPECT_TRUE(FileText(out + "/big.bin") == expected);
  EXPECT_EQ(FileText(out + "/docs/deep/a/b/c.bin"), FileText(image.Tree + "/docs/deep/a/b/c.bin"));
  EXPECT_EQ(report.Files, 7u);
}

// Stop in the middle of a file: that file is removed, those before it stay whole, and no
// temporary file is left.
TEST(TreeCopyOnImages, StopLeavesNoHalfFile) {
  TreeImage image;
  if (!MakeTreeImage("fat32", image)) return;
  Opened o = OpenTree(image);
  if (!o.tree) return;
  std::vector<TCopyItem> items(2);
  ASSERT_TRUE(o.tree->Find("docs/readme.txt", items[0].Entry));
  ASSERT_TRUE(o.tree->Find("big.bin", items[1].Entry));
  items[0].VolumePath = "/docs/readme.txt";
  items[1].VolumePath = "/big.bin";
  const std::string out = FreshPath("stopped");
  const int fd = OpenFolder(out);
  int calls = 0;
  std::string stoppedIn;
  const TCopyReport report = CopyFromVolume(*o.tree, items, fd, {}, [&](const TCopyProgress& p) {
    EXPECT_EQ(p.BytesTotal, items[0].Entry.Size + items[1].Entry.Size);
    stoppedIn = p.Current;
    return ++calls < 4;  // the start, readme.txt's chunk and end, then big.bin's first chunk
  });
  ::close(fd);
  EXPECT_TRUE(report.Stopped);
  EXPECT_EQ(report.StoppedIn, "/big.bin");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(out)) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"readme.txt"});
  EXPECT_EQ(FileText(out + "/readme.txt"), "read me first\n");
  const std::vector<std::string> lines = CopySummaryLines(report);
  EXPECT_NE(lines.at(1).find("/big.bin: its partial copy was removed"), std::string::npos) << lines.at(1);
}

// An ext4 volume of block maps and inline data, made by mkfs.ext4 and damaged with debugfs:
// the root's record no longer says it is a folder, huge.bin claims gigabytes over a block map
// that points at noise, tiny.txt claims gigabytes kept inside its record. The root is still
// listed; huge.bin and tiny.txt are refused with the reason, not mapped or allocated as
// gigabytes nor copied as gigabytes of noise; the other files come out whole.
TEST(TreeCopyOnImages, DamagedExtRecordsAreReadAsFarAsTheyCanBe) {
  if (!HaveTools({"mkfs.ext4", "debugfs"})) return;
  const std::string tree = FreshPath("ext-tree");
  fs::create_directories(tree + "/sub");
  std::ofstream(tree + "/ok.txt") << "still here\n";  // kept inside its record
  std::ofstream(tree + "/tiny.txt") << "tiny\n";
  std::ofstream(tree + "/sub/inner.txt") << "inner\n";
  std::ofstream(tree + "/huge.bin") << std::string(2048, 'h');
  std::string noise;
  for (uint32_t i = 0, x = 1; i < 2048; ++i, x = x * 1103515245u + 12345u) {
    const uint32_t block = 1 + (x >> 8) % 4095;  // a block of the volume
    noise.append(reinterpret_cast<const char*>(&block), 4);
  }
  std::ofstream(tree + "/noise.bin", std::ios::binary) << noise;
  const std::string image = FreshPath("ext-damaged.img");
  std::string at;
  ASSERT_EQ(RunCommand(kToolPath + "mkfs.ext4 -q -b 1024 -O ^extent,^64bit,^has_journal,inline_data -d " + tree + " " + image +
                       " 4M"),
            0);
  ASSERT_EQ(RunCommand(kToolPath + "debugfs -R 'bmap /noise.bin 0' " + image + " 2>/dev/null", &at), 0);
  const std::string block = std::to_string(std::stoul(at));
  ASSERT_EQ(RunCommand(kToolPath + "debugfs -w -f - " + image + " >/dev/null 2>&1 <<'EOF'\nsif /huge.bin block[IND] " +
                       block + "\nsif /huge.bin block[DIND] " + block +
                       "\nsif /huge.bin size 3724541964\nsif /tiny.txt size 0x61004200\nsif <2> mode 0100755\nEOF"),
            0);

  std::unique_ptr<TPhysicalDrv> drive = BareImage(image);
  Outcome why;
  std::unique_ptr<TVolumeTree> volume = TVolumeTree::Open(drive->Io(), fs::file_size(image) / 512, 0, fkExt4, why);
  ASSERT_TRUE(volume) << why.Line();
  TCopyItem all{"/", {}};
  ASSERT_TRUE(volume->Find("/", all.Entry));
  const std::string out = FreshPath("ext-out");
  const int fd = OpenFolder(out);
  const TCopyReport report = CopyFromVolume(*volume, {all}, fd, {}, nullptr);
  ::close(fd);
  std::map<std::string, std::string> notCopied;
  for (const TCopyProblem& p : report.NotCopied) notCopied[p.Path] = p.Reason;
  ASSERT_EQ(notCopied.size(), 2u);
  EXPECT_EQ(notCopied["/huge.bin"],
            "The record of huge.bin claims 3724541964 bytes, more than its volume holds; its blocks are not followed.");
  EXPECT_EQ(notCopied["/tiny.txt"], "its record cannot be read");
  EXPECT_FALSE(fs::exists(out + "/huge.bin"));
  EXPECT_FALSE(fs::exists(out + "/tiny.txt"));
  EXPECT_EQ(FileText(out + "/ok.txt"), "still here\n");
  EXPECT_EQ(FileText(out + "/sub/inner.txt"), "inner\n");
  EXPECT_EQ(FileText(out + "/noise.bin"), noise);
}

}  // namespace
}  // namespace qm::test
