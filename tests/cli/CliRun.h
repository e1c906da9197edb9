#pragma once
// Runs the built quillmark-cli as a program, for tests of its commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "support/Fixtures.h"

// Fails unless `text` holds `part`, and shows `text`.
#define EXPECT_SAYS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

namespace qm::test {

struct CliRun {
  int status = -1;
  std::string out, err;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The offsets of the bytes that differ between two contents of one size.
inline std::vector<uint64_t> ChangedBytes(const std::string& a, const std::string& b) {
  std::vector<uint64_t> changed;
  EXPECT_EQ(a.size(), b.size());
  const size_t size = std::min(a.size(), b.size());
  for (size_t block = 0; block < size; block += 4096) {  // most of an image is alike: blocks first
    const size_t n = std::min<size_t>(4096, size - block);
    if (std::memcmp(a.data() + block, b.data() + block, n) == 0) continue;
    for (size_t i = block; i < block + n; ++i)
      if (a[i] != b[i]) changed.push_back(i);
  }
  return changed;
}

// `sectors` sectors of an image from `sector` on.
inline std::string Bytes(const std::string& path, uint64_t sector, uint64_t sectors) {
  const std::vector<uint8_t> b = ReadFileBytes(path, sector * 512, sectors * 512);
  return std::string(b.begin(), b.end());
}

// A FAT16 primary and an extended partition with FAT16, NTFS and FAT16 logical drives (extended
// boot records at 12288, 24576 and 36864), made once for the process; copy it to write on it.
inline const std::string kFourVolumes =
    "table 'label: dos\\nunit: sectors\\n2048,10240,6\\n12288,,5\\n14336,10240,6\\n26624,10240,7\\n38912,10240,6' "
    "fs 1 fat16 A fs 5 fat16 B fs 6 ntfs C fs 7 fat16 D";
inline const std::string& FourVolumesImage() {
  static const std::string image = MakeImage("four-volumes.img", "64M", kFourVolumes);
  return image;
}

// Runs quillmark-cli with `args` (shell words) and no terminal on stdin; a hang shows as 124
// (137 when it does not stop at SIGTERM).
inline CliRun RunCli(const std::string& args) {
  CliRun run;
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  const std::string errFile = std::string(QM_FIXTURE_DIR) + "/cli-stderr-" + std::to_string(::getpid()) + ".txt";
  run.status = RunCommand("timeout -k 5 60 " + ShellQuote(QM_CLI_PATH) + " " + args + " </dev/null 2>" + ShellQuote(errFile), &run.out);
  run.err = ReadWholeFile(errFile);
  std::filesystem::remove(errFile);
  return run;
}

// Runs `quillmark-cli <args>` and fails the test unless it ended with `status`.
inline CliRun RunCliEnding(const std::string& args, int status = 0) {
  CliRun run = RunCli(args);
  EXPECT_EQ(run.status, status) << args << ": " << run.err;
  return run;
}
// The same for `quillmark-cli <args> <image>`.
inline CliRun RunOn(const std::string& image, const std::string& args, int status = 0) {
  return RunCliEnding(args + " " + ShellQuote(image), status);
}

// Fails unless `quillmark-cli <args>` ended with `status`, printed nothing on stdout and said
// `says` on stderr (anything at all when `says` is empty).
inline void ExpectRefused(const std::string& args, int status, const std::string& says) {
  const CliRun run = RunCliEnding(args, status);
  EXPECT_TRUE(says.empty() ? !run.err.empty() : run.err.find(says) != std::string::npos) << args << ": " << run.err;
  EXPECT_TRUE(run.out.empty()) << args << ": " << run.out;
}

// Fails unless `quillmark-cli --yes <args> <image>` was refused with status 1 saying `says`,
// before it asked anything, and left the image byte for byte as it was.
inline void ExpectRefusedBeforeAsking(const std::string& args, const std::string& image, const std::string& says) {
  const std::string before = ReadWholeFile(image);
  const CliRun run = RunOn(image, "--yes " + args, 1);
  EXPECT_SAYS(run.err, says);
  for (const char* question : {"Are you sure", "You are recovering partition"})
    EXPECT_EQ(run.err.find(question), std::string::npos) << args << " asked before refusing: " << run.err;
  EXPECT_TRUE(ReadWholeFile(image) == before) << args << " wrote";
}

// Runs `quillmark-cli <args>` while flock(1) holds `path`'s lock, as a partitioning program
// takes it, until the program has ended; status 125 when the lock was never held.
inline CliRun RunCliWhileLocked(const std::string& path, const std::string& args) {
  CliRun run;
  const std::string script = "coproc holder { flock -o -x " + ShellQuote(path) + " sh -c 'echo held; read x'; }; " +
                             "read -r line <&\"${holder[0]}\"; [ \"$line\" = held ] || exit 125; " +
                             ShellQuote(QM_CLI_PATH) + " " + args +
                             " 2>&1 </dev/null; status=$?; echo >&\"${holder[1]}\"; wait; exit $status";
  run.status = RunCommand("timeout -k 5 60 bash -c " + ShellQuote(script), &run.err);
  return run;
}

// The one drive of `quillmark-cli <command> --json <image>`, which must end with status 0.
inline nlohmann::json CliDrive(const std::string& command, const std::string& image) {
  const CliRun run = RunOn(image, command + " --json");
  nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
  if (doc.is_discarded() || !doc.contains("drives") || doc["drives"].size() != 1) {
    ADD_FAILURE() << run.out;
    return nlohmann::json::object();
  }
  return doc["drives"][0];
}

// quillmark-cli on a pseudo-terminal of its own: what it shows is read as it comes, and keys
// are typed at it (Ctrl+S holds its output, Ctrl+C interrupts it). `args` are shell words.
class CliAtTerminal {
 public:
  explicit CliAtTerminal(const std::string& args) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const std::string slave = ::ptsname(master_), command = "exec " + ShellQuote(QM_CLI_PATH) + " " + args;
    pid_ = ::fork();
    if (pid_ == 0) {  // a session of its own, with the terminal as its controlling one
      ::setsid();
      const int fd = ::open(slave.c_str(), O_RDWR);
      if (fd < 0) ::_exit(127);
      for (int i = 0; i < 3; ++i) ::dup2(fd, i);
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~CliAtTerminal() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    if (master_ >= 0) ::close(master_);
  }
  CliAtTerminal(const CliAtTerminal&) = delete;
  CliAtTerminal& operator=(const CliAtTerminal&) = delete;
  bool Started() const { return master_ >= 0 && pid_ > 0; }
  // Reads what it shows until `text` is among it; false at the end of its output or after 30 s.
  bool WaitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (shown.find(text) == std::string::npos)
      if (ReadSome(deadline) <= 0) return false;
    return true;
  }
  // Reads until it asks ("? ") and sleeps in the read of the answer, so that no key is lost.
  bool WaitForQuestion() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      const bool asked = shown.size() >= 2 && shown.compare(shown.size() - 2, 2, "? ") == 0;
      if (asked && Sleeping()) return true;
      const auto soon = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
      if (ReadSome(soon) < 0 || std::chrono::steady_clock::now() > deadline) return false;
    }
  }
  void Type(const std::string& keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
  bool Running() { return !reaped_ && ::waitpid(pid_, &status_, WNOHANG) == 0; }
  // Reads the rest of what it shows; its exit status, or -1 when it has not ended within 30 s.
  int Finish() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int more;
    while ((more = ReadSome(deadline)) > 0) {}
    if (more == 0) return -1;  // the destructor ends it
    if (!reaped_) ::waitpid(pid_, &status_, 0);
    reaped_ = true;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  std::string shown;

 private:
  // 1 when it read more, 0 when nothing came before `until`, -1 at the end of the output.
  int ReadSome(std::chrono::steady_clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{master_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready <= 0) return ready == 0 || errno == EINTR ? 0 : -1;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) shown.append(buffer, static_cast<size_t>(n));
    return n > 0 ? 1 : -1;
  }
  bool Sleeping() const {
    const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid_) + "/stat");
    const size_t name = stat.rfind(')');  // the state follows the program's name
    return name != std::string::npos && stat.compare(name, 3, ") S") == 0;
  }
  int master_ = -1;
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// Runs `quillmark-cli <args>` on a terminal and presses Ctrl+C once it shows `text`, or else at
// its first question; its exit status, -1 when that never came or it did not end.
inline int CtrlCOnceShown(const std::string& args, const std::string& text = "") {
  CliAtTerminal cli(args);
  if (!cli.Started() || !(text.empty() ? cli.WaitForQuestion() : cli.WaitFor(text))) {
    ADD_FAILURE() << args << " never showed " << (text.empty() ? "a question" : "\"" + text + "\"") << ": " << cli.shown;
    return -1;
  }
  cli.Type("\x03");
  const int status = cli.Finish();
  EXPECT_NE(status, -1) << args << " did not end: " << cli.shown;
  return status;
}

// A loop device over an image file, detached (its partitions removed, `mounted` unmounted) when
// the object goes; `skip` says why none was attached.
class LoopDevice {
 public:
  LoopDevice(const std::string& image, unsigned sectorSize, bool partitions = false) {
    if (::geteuid() != 0) {
      skip = "loop devices need root";
      return;
    }
    std::string out;
    const int status = RunCommand("losetup -f --show " + std::string(partitions ? "-P " : "") + "-b " +
                                      std::to_string(sectorSize) + " " + ShellQuote(image) + " 2>&1", &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    if (status != 0 || out.rfind("/dev/", 0) != 0) skip = "this machine gives no loop device: " + out;
    else path = out;
  }
  ~LoopDevice() {
    if (!mounted.empty()) RunCommand("umount " + ShellQuote(mounted) + " 2>/dev/null");
    if (path.empty()) return;
    // The kernel keeps a partition that udev still has open: ask again until none is left.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (PartitionsLeft() && std::chrono::steady_clock::now() < deadline)
      if (RunCommand("partx -d " + path + " >/dev/null 2>&1") != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    RunCommand("losetup -d " + ShellQuote(path));
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  std::string path, skip;
  std::string mounted;  // a folder a partition of the device is mounted on

 private:
  bool PartitionsLeft() const {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block/" + name, ec))
      if (entry.path().filename().string().rfind(name + "p", 0) == 0) return true;
    return false;
  }
};

// Runs `command` on the disk in `image` as the system's tools see it with `sectorSize`-byte
// sectors (the file itself for 512, else a loop device attached for the command), then `tail`.
inline int ToolOnDisk(const std::string& image, unsigned sectorSize, const std::string& command,
                      std::string* output = nullptr, const std::string& tail = "") {
  if (sectorSize == 512) return RunCommand(kToolPath + command + " " + ShellQuote(image) + tail + " 2>&1", output);
  LoopDevice loop(image, sectorSize);
  if (!loop.skip.empty()) {
    ADD_FAILURE() << loop.skip;
    return -1;
  }
  return RunCommand(kToolPath + command + " " + loop.path + tail + " 2>&1", output);
}

// A disk image with a GUID partition table of `sectorSize`-byte sectors made by sfdisk from
// `script`, partition 1 formatted FAT16 "ESP"; empty when it cannot be made.
inline std::string MakeGptImage(const std::string& name, unsigned sectorSize, const std::string& size,
                                const std::string& script) {
  if (sectorSize == 512) return MakeImage(name, size, "table-gpt '" + script + "' fs 1 fat16 ESP");
  const std::string image = FreshPath(name);
  if (RunCommand("truncate -s " + size + " " + ShellQuote(image)) != 0) return "";
  LoopDevice loop(image, sectorSize, true);
  if (!loop.skip.empty()) return "";
  const bool made = RunCommand("printf '" + script + "' | " + kToolPath + "sfdisk -q " + loop.path + " >/dev/null 2>&1") == 0 &&
                    RunCommand(kToolPath + "partx -a " + loop.path + " 2>/dev/null; " + kToolPath + "mkfs.fat -F 16 -s 1 -n ESP " +
                               loop.path + "p1 >/dev/null 2>&1") == 0;
  EXPECT_TRUE(made) << "cannot make " << image;
  return made ? image : "";
}

}  // namespace qm::test
