#pragma once
// Runs the built quillmark-cli as a program, for tests of its commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/Fixtures.h"

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

// Runs quillmark-cli with `args` (shell words) and no terminal on stdin; a hang shows as exit
// status 124.
inline CliRun RunCli(const std::string& args) {
  CliRun run;
  std::string cli = QM_CLI_PATH;
  if (cli.empty()) {
    ADD_FAILURE() << "quillmark-cli is not built";
    return run;
  }
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  std::string errFile = std::string(QM_FIXTURE_DIR) + "/cli-stderr-" + std::to_string(::getpid()) + ".txt";
  run.status = RunCommand("timeout 60 " + ShellQuote(cli) + " " + args + " </dev/null 2>" + ShellQuote(errFile), &run.out);
  run.err = ReadWholeFile(errFile);
  std::filesystem::remove(errFile);
  return run;
}

// Fails unless `quillmark-cli <args>` ended with `status`, printed nothing on stdout and said
// `says` on stderr (anything at all when `says` is empty).
inline void ExpectRefused(const std::string& args, int status, const std::string& says) {
  const CliRun run = RunCli(args);
  EXPECT_EQ(run.status, status) << args << ": " << run.err;
  EXPECT_TRUE(says.empty() ? !run.err.empty() : run.err.find(says) != std::string::npos) << args << ": " << run.err;
  EXPECT_TRUE(run.out.empty()) << args << ": " << run.out;
}

// Fails unless `quillmark-cli --yes <args> <image>` was refused with status 1 saying `says`,
// before it asked anything, and left the image byte for byte as it was.
inline void ExpectRefusedBeforeAsking(const std::string& args, const std::string& image, const std::string& says) {
  const std::string before = ReadWholeFile(image);
  const CliRun run = RunCli("--yes " + args + " " + ShellQuote(image));
  EXPECT_EQ(run.status, 1) << args << ": " << run.err;
  EXPECT_NE(run.err.find(says), std::string::npos) << args << ": " << run.err;
  for (const char* question : {"Are you sure", "You are recovering partition"})
    EXPECT_EQ(run.err.find(question), std::string::npos) << args << " asked before refusing: " << run.err;
  EXPECT_TRUE(ReadWholeFile(image) == before) << args << " wrote";
}

// Runs `quillmark-cli <args>` while flock(1) holds `path`'s lock, as a partitioning program
// takes it while it works: the program starts once the holder says it holds the lock, and the
// holder lets go once the program has ended. `err` is what the program said; status 125 when
// the holder never held the lock.
inline CliRun RunCliWhileLocked(const std::string& path, const std::string& args) {
  CliRun run;
  const std::string script = "coproc holder { flock -o -x " + ShellQuote(path) + " sh -c 'echo held; read x'; }; " +
                             "read -r line <&\"${holder[0]}\"; [ \"$line\" = held ] || exit 125; " +
                             ShellQuote(std::string(QM_CLI_PATH)) + " " + args +
                             " 2>&1 </dev/null; status=$?; echo >&\"${holder[1]}\"; wait; exit $status";
  run.status = RunCommand("timeout 60 bash -c " + ShellQuote(script), &run.err);
  return run;
}

// The one drive of `quillmark-cli <command> --json <image>`; fails the test unless the run ended
// with status 0 and gave well-formed JSON for one drive.
inline nlohmann::json CliDrive(const std::string& command, const std::string& image) {
  CliRun run = RunCli(command + " --json " + ShellQuote(image));
  EXPECT_EQ(run.status, 0) << run.err;
  nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
  if (doc.is_discarded() || !doc.contains("drives") || doc["drives"].size() != 1) {
    ADD_FAILURE() << run.out;
    return nlohmann::json::object();
  }
  return doc["drives"][0];
}

// Runs quillmark-cli with `args` inside a pseudo-terminal (script(1)), typing `input` at it,
// as a user at a terminal would. `out` is what the terminal showed; redirections in `args`
// apply to the program alone. Empty `skip` when it ran; otherwise why it could not.
struct TerminalRun : CliRun {
  std::string skip;
};

inline TerminalRun RunCliAtTerminal(const std::string& args, const std::string& input) {
  TerminalRun run;
  if (RunCommand("command -v script >/dev/null 2>&1") != 0) {
    run.skip = "script (util-linux) is not installed";
    return run;
  }
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  std::string inFile = std::string(QM_FIXTURE_DIR) + "/cli-typed-" + std::to_string(::getpid()) + ".txt";
  std::ofstream(inFile, std::ios::binary) << input;
  std::string command = ShellQuote(QM_CLI_PATH) + " " + args;
  run.status = RunCommand("timeout 60 script -qec " + ShellQuote(command) + " /dev/null <" + ShellQuote(inFile), &run.out);
  std::filesystem::remove(inFile);
  return run;
}

// Runs `command` on a pseudo-terminal (as a user at a terminal would) and presses Ctrl+C on it
// after `delay` seconds; returns the exit status.
inline int CtrlCAfter(const std::string& command, const char* delay) {
  const std::string script = "(sleep " + std::string(delay) + "; printf '\\003'; sleep 2) | script -qefc " +
                             ShellQuote(command) + " /dev/null >/dev/null 2>&1";
  return RunCommand("timeout 60 sh -c " + ShellQuote(script));
}

// A loop device over an image file, detached again when the object goes, whatever the test
// did in between. Empty `skip` when attached; otherwise why not (not root, no losetup, no
// free loop device). With `partitions` the kernel lists the partitions of its tables; they
// are removed before the device goes (they would outlive it), and `mounted` is unmounted.
class LoopDevice {
 public:
  LoopDevice(const std::string& image, unsigned sectorSize, bool partitions = false) {
    if (::geteuid() != 0) {
      skip = "loop devices need root";
      return;
    }
    if (RunCommand("command -v losetup >/dev/null 2>&1") != 0) {
      skip = "losetup (util-linux) is not installed";
      return;
    }
    std::string out;
    int status = RunCommand("losetup -f --show " + std::string(partitions ? "-P " : "") + "-b " +
                                std::to_string(sectorSize) + " " + ShellQuote(image) + " 2>&1",
                            &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    if (status != 0 || out.rfind("/dev/", 0) != 0) {
      skip = "this machine gives no loop device: " + out;
      return;
    }
    path = out;
  }
  ~LoopDevice() {
    if (!mounted.empty()) RunCommand("umount " + ShellQuote(mounted) + " 2>/dev/null");
    if (!path.empty())
      RunCommand("partx -d " + path + " >/dev/null 2>&1 || { sleep 1; partx -d " + path + "; } >/dev/null 2>&1; losetup -d " +
                 ShellQuote(path));
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  std::string path;
  std::string skip;
  std::string mounted;  // a folder a partition of the device is mounted on
};

}  // namespace qm::test
