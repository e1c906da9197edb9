#pragma once
// Disk images made at test time by tools/mkimage, and the drive registry set up for a test.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/DriveSource.h"

namespace qm::test {

// A folder of the fixture directory that belongs to this test process alone; removed when the
// process ends.
std::string ProcessFixtureDir();

// Runs tools/mkimage to make `name` in this process's fixture folder and returns its path. `steps`
// are passed to the script as they stand (shell words, quote where needed). Fails the
// current test (and returns "") when the script fails.
std::string MakeImage(const std::string& name, const std::string& size, const std::string& steps);

// Runs a shell command; returns its exit status and fills `output` with its stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Shell-quotes one word.
std::string ShellQuote(const std::string& word);

// Reads or writes bytes of a file (for damaging images on purpose and checking them).
std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t length);
void WriteFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);

// Empties the drive registry on construction and destruction, so that each test starts with
// no drives and no cached handle.
class DriveRegistryScope {
 public:
  DriveRegistryScope();
  ~DriveRegistryScope();
  uint8_t Attach(std::unique_ptr<DriveSource> source);
  uint8_t AttachImage(const std::string& path);
};

}  // namespace qm::test
