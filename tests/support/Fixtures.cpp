#include "support/Fixtures.h"
#include "support/ScriptedHost.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "disk/Disk.h"
#include "model/TableReader.h"

namespace qm::test {

std::string ShellQuote(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ProcessFixtureDir() {
  // CTest runs tests as parallel processes, and images made by the same steps still differ
  // (volume serials and times come from the clock): each process keeps its own images, in a
  // folder of its own that goes when the process ends.
  static const std::string dir = [] {
    std::string d = std::string(QM_FIXTURE_DIR) + "/p" + std::to_string(::getpid());
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(std::string(QM_FIXTURE_DIR) + "/p" + std::to_string(::getpid()), ignored);
    });
    return d;
  }();
  return dir;
}

// The automatic backups made before every write go to this process's fixture folder, never to
// the home folder of whoever runs the tests (the CLI runs inherit this), nor to a folder that
// tests running beside it prune: two disks in memory have the same name in every process.
static const bool kStateInFixtures = ::setenv("XDG_STATE_HOME", (ProcessFixtureDir() + "/state").c_str(), 1) == 0;

void MissingTool(const std::string& reason) {
  const char* ci = std::getenv("CI");
  const char* require = std::getenv("QM_REQUIRE_TOOLS");
  if ((ci && *ci) || (require && std::string(require) == "1")) ADD_FAILURE() << reason;
  else GTEST_SKIP() << reason;
}

std::string MakeImage(const std::string& name, const std::string& size, const std::string& steps) {
  std::string path = ProcessFixtureDir() + "/" + name;
  std::string log;
  std::string command = std::string(QM_SOURCE_DIR) + "/tools/mkimage " + ShellQuote(path) + " " + size + " " + steps + " 2>&1";
  int rc = RunCommand(command, &log);
  if (rc == 0) return path;
  // mkimage names a tool it cannot find and the package that brings it.
  if (log.find(" not found (install ") != std::string::npos) MissingTool(log);
  else ADD_FAILURE() << "mkimage failed (" << rc << "): " << command << "\n" << log;
  return "";
}

bool HaveTools(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    std::string command = kToolPath + "command -v " + ShellQuote(tool) + " >/dev/null 2>&1";
    if (RunCommand(command) != 0) {
      MissingTool(std::string(tool) + " is not installed");
      return false;
    }
  }
  return true;
}

std::string FreshPath(const std::string& name) {
  std::string path = ProcessFixtureDir() + "/" + name;
  std::filesystem::remove_all(path);
  return path;
}

std::string SparseImage(const std::string& name, uint64_t bytes) {
  const std::string path = FreshPath(name);
  std::ofstream(path).close();
  std::filesystem::resize_file(path, bytes);
  return path;
}

std::string CopyImage(const std::string& image, const std::string& name) {
  const std::string copy = FreshPath(name);
  EXPECT_EQ(RunCommand("cp --sparse=always " + ShellQuote(image) + " " + ShellQuote(copy)), 0);
  return copy;
}

std::string DemoImage(const std::string& name) {
  static const std::string demo = [] {
    const std::string path = FreshPath("demo.img");
    std::string log;
    if (RunCommand(std::string(QM_SOURCE_DIR) + "/tools/demo-image " + ShellQuote(path) + " 2>&1", &log) != 0) {
      ADD_FAILURE() << "demo-image failed: " << log;
      return std::string();
    }
    return path;
  }();
  return demo.empty() ? demo : CopyImage(demo, name);
}

std::vector<EntryKey> SfdiskEntries(const std::string& image) {
  std::string dump;
  RunCommand(kToolPath + "sfdisk --dump " + ShellQuote(image) + " 2>/dev/null", &dump);
  // Lines like "img5 : start=       34816, size=       20480, type=6".
  std::vector<EntryKey> keys;
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    const auto start = line.find("start="), size = line.find("size="), type = line.find("type=");
    if (start == std::string::npos || size == std::string::npos || type == std::string::npos) continue;
    keys.emplace_back(std::stoull(line.substr(start + 6)), static_cast<uint32_t>(std::stoul(line.substr(size + 5))),
                      static_cast<uint8_t>(std::stoul(line.substr(type + 5), nullptr, 16)));
  }
  return keys;
}

int RunOnVolume(const std::string& image, uint64_t start, uint64_t size, const std::string& tool, std::string* output) {
  const std::string volume = image + ".vol";
  RunCommand("dd if=" + ShellQuote(image) + " of=" + ShellQuote(volume) + " bs=512 skip=" + std::to_string(start) +
             " count=" + std::to_string(size) + " status=none");
  const int status = RunCommand(kToolPath + tool + " " + ShellQuote(volume) + " 2>&1", output);
  std::filesystem::remove(volume);
  return status;
}

std::unique_ptr<Disk> SourceDisk(std::unique_ptr<DriveSource> source) {
  auto disk = std::make_unique<Disk>(std::move(source), kFirstHardDisk);
  disk->SetUserHost(TestHost());
  return disk;
}

namespace {
std::unique_ptr<TPhysicalDrv> Drive(std::unique_ptr<DriveSource> source, bool read) {
  auto disk = SourceDisk(std::move(source));
  TDriveGeometry g;
  EXPECT_TRUE(disk->QueryGeometry(g));
  return read ? CreatePhysicalDrv(std::move(disk), g) : std::make_unique<TPhysicalDrv>(std::move(disk), g);
}
}  // namespace

std::unique_ptr<TPhysicalDrv> ReadDrive(std::unique_ptr<DriveSource> source) { return Drive(std::move(source), true); }
std::unique_ptr<TPhysicalDrv> ReadImage(const std::string& path) { return ReadDrive(std::make_unique<FileSource>(path)); }
std::unique_ptr<TPhysicalDrv> BareDrive(std::unique_ptr<DriveSource> source) { return Drive(std::move(source), false); }
std::unique_ptr<TPhysicalDrv> BareImage(const std::string& path) { return BareDrive(std::make_unique<FileSource>(path)); }

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

std::vector<uint8_t> ReadWholeImage(const std::string& path) {
  std::error_code error;
  std::vector<uint8_t> bytes(std::filesystem::file_size(path, error));
  const int fd = ::open(path.c_str(), O_RDONLY);
  for (off_t data = ::lseek(fd, 0, SEEK_DATA), hole; fd >= 0 && data >= 0; data = ::lseek(fd, hole, SEEK_DATA)) {
    hole = ::lseek(fd, data, SEEK_HOLE);
    EXPECT_EQ(::pread(fd, bytes.data() + data, static_cast<size_t>(hole - data), data), hole - data);
  }
  if (fd >= 0) ::close(fd);
  return bytes;
}

void WriteFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string TreeText(const TPartition& parent) {
  std::string out;
  for (const TPartition* r : parent.Children) {
    static const std::map<uint8_t, const char*> kKinds = {
        {fkFat12, "F12"},    {fkFat16, "F16"}, {fkFat32, "F32"},   {fkNtfs, "NT"},        {fkHpfs, "HP"},
        {fkLinuxSwap, "SW"}, {fkLinuxExt2, "L"}, {fkExtended, "X"}, {fkUnallocated, "-"}};
    const auto kind = kKinds.find(r->FsKind);
    char type[4];
    std::snprintf(type, sizeof type, "%02x", r->Entry.SystemId);
    if (!out.empty()) out += ' ';
    out += std::to_string(r->AbsoluteStart()) + '+' + std::to_string(r->Entry.TotalSectors) + ':' + type +
           (kind == kKinds.end() ? "?" : kind->second);
    if (!r->Children.empty()) out += '[' + TreeText(*r) + ']';
  }
  return out;
}

std::string LostText(const TPhysicalDrv& drive) {
  TPartition list;
  for (const auto& p : drive.LostPartitions) list.Children.push_back(p.get());
  return TreeText(list);
}

void ExpectTreeConsistent(const TPhysicalDrv& d) {
  ASSERT_FALSE(d.AllPartitions.empty());
  EXPECT_EQ(d.AllPartitions.front(), &d.Root);
  uint32_t counted = 0;
  size_t inTree = 0;
  std::vector<const TPartition*> open{&d.Root};
  while (!open.empty()) {
    const TPartition* r = open.back();
    open.pop_back();
    inTree += r->Children.size();
    open.insert(open.end(), r->Children.begin(), r->Children.end());
  }
  EXPECT_EQ(inTree + 1, d.AllPartitions.size());
  for (size_t i = 1; i < d.AllPartitions.size(); ++i) {
    const TPartition* r = d.AllPartitions[i];
    ASSERT_NE(r->Parent, nullptr);
    EXPECT_EQ(std::count(r->Parent->Children.begin(), r->Parent->Children.end(), r), 1);
    EXPECT_LE(d.AllPartitions[i - 1]->AbsoluteStart(), r->AbsoluteStart());
    if (!r->IsExtended()) ++counted;
  }
  EXPECT_EQ(d.PartitionCount, counted);
}

}  // namespace qm::test
