#pragma once
// Runs the built quillmark-cli as a program, for tests of its commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

}  // namespace qm::test
