#include "support/Fixtures.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "disk/SectorIO.h"

namespace qm::test {

std::string ShellQuote(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
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

std::string MakeImage(const std::string& name, const std::string& size, const std::string& steps) {
  std::string path = ProcessFixtureDir() + "/" + name;
  std::string log;
  std::string command = std::string(QM_SOURCE_DIR) + "/tools/mkimage " + ShellQuote(path) + " " + size + " " + steps + " 2>&1";
  int rc = RunCommand(command, &log);
  if (rc != 0) {
    ADD_FAILURE() << "mkimage failed (" << rc << "): " << command << "\n" << log;
    return "";
  }
  return path;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

void WriteFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

DriveRegistryScope::DriveRegistryScope() {
  SectorIoStartup();
  DetachAllDrives();
}

DriveRegistryScope::~DriveRegistryScope() { DetachAllDrives(); }

uint8_t DriveRegistryScope::Attach(std::unique_ptr<DriveSource> source) { return AttachDrive(std::move(source)); }

uint8_t DriveRegistryScope::AttachImage(const std::string& path) { return AttachDrive(std::make_unique<FileSource>(path)); }

}  // namespace qm::test
