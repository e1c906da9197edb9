// The one write pipeline of every change: new tables never land in a volume; undo and redo walk
// the recorded changes and write only when the disk still holds what the change wrote.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>

#include "CliRun.h"
#include "disk/Crc32.h"
#include "disk/KernelPartitions.h"
#include "edit/AutoBackup.h"

namespace qm::test {
namespace {

// New extended boot records never land in a volume, known or found on the way.
TEST(CliWritePipeline, NewExtendedBootRecordsStayOutOfEveryVolume) {
  const std::string data = FreshPath("data.bin");  // non-zero bytes to fill a volume's data area with
  ASSERT_EQ(RunCommand("yes 0123456789abcdef | head -c 6M >" + ShellQuote(data)), 0);
  const struct {
    const char* what;
    std::string steps;
    std::vector<std::string> commands;                     // run in turn, each must succeed
    std::vector<std::pair<uint64_t, uint64_t>> untouched;  // volumes whose sectors stay as they were
    std::vector<EntryKey> entries;                         // the tables afterwards, as sfdisk lists them
  } cases[] = {
      // Lost A fills the sectors in front of lost B: B's table goes in front of A, A recovered after.
      {"two lost volumes back to back",
       "table 'label: dos\\nunit: sectors\\n2048,8192,6\\n12288,,5\\n14336,8192,6' fs 1 fat16 P fs 5 fat16 L "
       "fsat 40000 20480 fat16 A file @40000 " + data + " DATA.BIN fsat 60480 20480 fat16 B",
       {"recover --at 60480", "recover --at 40000"},
       {{40000, 60479}, {60480, 80959}},
       {{2048, 8192, 0x06}, {12288, 184320, 0x05}, {14336, 8192, 0x06}, {40000, 20480, 0x06}, {60480, 20480, 0x06}}},
      // A primary left out of a rebuild keeps its sectors: the first extended table goes in front.
      {"a rebuild that leaves a volume out",
       "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 A file 1 " + data + " DATA.BIN fsat 22528 20480 fat16 B",
       {"rebuild --logical 22528"}, {{2048, 22527}, {22528, 43007}}, {{2047, 40961, 0x05}, {22528, 20480, 0x06}}},
      // An NTFS partition ends with the volume's backup boot sector: the extended one starts behind.
      {"NTFS and a logical drive on a wiped disk", "fsat 2048 131072 ntfs N fsat 135168 20480 fat16 F",
       {"rebuild --primary 2048 --logical 135168"}, {{2048, 133119}, {135168, 155647}},
       {{2048, 131072, 0x07}, {133120, 22528, 0x05}, {135168, 20480, 0x06}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QM_IMAGE(image, "ebr.img", "96M", c.steps);
    const auto volumes = [&] {
      std::vector<std::string> bytes;
      for (const auto& [first, last] : c.untouched) bytes.push_back(Bytes(image, first, last - first + 1));
      return bytes;
    };
    const std::vector<std::string> before = volumes();
    for (const std::string& command : c.commands) RunOn(image, "--yes " + command);
    EXPECT_TRUE(volumes() == before) << "a volume was written into";
    EXPECT_EQ(SfdiskEntries(image), c.entries);
  }
}

TEST(CliWritePipeline, UndoWalksBackChangeByChangeAndRedoWalksForward) {
  if (FourVolumesImage().empty()) return;
  const std::string image = CopyImage(FourVolumesImage(), "stack-copy.img"), q = " " + ShellQuote(image);
  std::vector<std::string> states = {ReadWholeFile(image)};
  for (const auto& [change, says] : {std::pair{"active --at 2048", "You are setting partition 1 (FAT16 at sector 2048) active; "
                                                                    "the other primary partitions become inactive. Are you sure?"},
                                     std::pair{"hide --at 26624", "Hide/Show performed successfully."},
                                     std::pair{"delete --at 14336", "Are you sure"}}) {
    EXPECT_SAYS(RunOn(image, std::string("--yes ") + change).err, says);
    states.push_back(ReadWholeFile(image));
  }
  RunOn(image, "--dry-run undo");  // writes neither the disk nor the record
  EXPECT_TRUE(ReadWholeFile(image) == states.back());
  // Each undo names the change it takes back as `history` lists the newest still applied:
  // "TIME  applied  N sectors  WHAT  PATH".
  static const std::regex applied(R"((\S+ \S+ UTC)  applied +\d+ sectors? +(.+)  /.*)");
  for (size_t n = states.size() - 1; n > 0; --n) {
    const std::string history = RunCli("history" + q).out;
    std::smatch newest;
    for (auto m = std::sregex_iterator(history.begin(), history.end(), applied); m != std::sregex_iterator(); ++m)
      newest = *m;
    ASSERT_FALSE(newest.empty()) << history;
    EXPECT_SAYS(RunOn(image, "--yes undo").err, "Undo: You are taking back the change made at " + newest[1].str() + " (" + newest[2].str() + ")");
    EXPECT_TRUE(ReadWholeFile(image) == states[n - 1]) << "undo " << states.size() - n << " did not give state " << n - 1;
  }
  EXPECT_SAYS(RunOn(image, "--yes undo", 1).err, "nothing to undo");
  EXPECT_SAYS(RunCli("history" + q).out, " undone ");  // each change is marked as taken back
  RunOn(image, "--yes redo");
  EXPECT_TRUE(ReadWholeFile(image) == states[1]);
  // The records hold the layout of the user's disks: only the user may read them.
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(AutomaticBackupFolder()).permissions(), fs::perms::owner_all);
  for (const auto& entry : fs::directory_iterator(AutomaticBackupFolder()))
    if (entry.path().string().find("stack-copy") != std::string::npos) {
      EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write) << entry.path();
    }
}

// The change records kept for `image`.
std::vector<std::string> RecordsOf(const std::string& image) {
  std::vector<std::string> records;
  for (const auto& entry : std::filesystem::directory_iterator(AutomaticBackupFolder()))
    if (entry.path().filename().string().find(std::filesystem::path(image).filename().string()) != std::string::npos)
      records.push_back(entry.path());
  return records;
}

// Edits the bytes of every change record of `image` and seals them with a sound checksum again.
void Resealed(const std::string& image, const std::function<void(std::string&)>& edit) {
  for (const std::string& record : RecordsOf(image)) {
    std::string bytes = ReadWholeFile(record);
    edit(bytes);
    const size_t body = bytes.size() - 4;
    const uint32_t crc = Crc32Update(0, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), body));
    for (size_t k = 0; k < 4; ++k) bytes[body + k] = static_cast<char>(crc >> (8 * k));
    std::ofstream(record, std::ios::binary | std::ios::trunc) << bytes;
  }
}

// Undo writes only when the disk still holds what the change wrote, on the same disk, from a
// record that can be read; otherwise it says why and writes nothing.
TEST(CliWritePipeline, UndoRefusesWhatItCannotTakeBackExactly) {
  const std::string& base = FourVolumesImage();
  if (base.empty()) return;
  const struct { const char* what; std::function<void(const std::string& image)> meddle; int status; const char* says; } cases[] = {
      // Another program changed the entry the hide changed (in the table at 24576).
      {"a later change of the same table", [](const std::string& i) { WriteFileBytes(i, 24576 * 512 + 0x1c2, {0x0c}); }, 1,
       "no longer holds what the change wrote"},
      // A change of another table stays as it is: undo writes only what the hide wrote.
      {"a later change of another table", [](const std::string& i) { WriteFileBytes(i, 12288 * 512 + 0x1c2, {0x0e}); }, 0,
       "Took back the last change"},
      {"another disk at the same path", [&](const std::string& i) {
         EXPECT_EQ(RunCommand("cp --sparse=always " + ShellQuote(base) + " " + ShellQuote(i)), 0);
         WriteFileBytes(i, 440, {0x12, 0x34});
       }, 1, "disk signature"},
      {"a damaged record", [&](const std::string& i) {
         for (const std::string& record : RecordsOf(i)) std::ofstream(record, std::ios::binary | std::ios::in) << "damage";
       }, 1, "is damaged"},
      // Their checksums are sound, but the first line is that of another format, or no blank
      // line ends the header.
      {"a record of another format", [&](const std::string& i) { Resealed(i, [](std::string& b) { b.replace(0, 11, "QMCHANGE 2\n"); }); },
       1, "is damaged"},
      {"a header without its end", [&](const std::string& i) { Resealed(i, [](std::string& b) { b[b.find("\n\n")] = ' '; }); },
       1, "is damaged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string image = CopyImage(base, std::string("guard-") + std::to_string(&c - cases) + ".img");
    RunOn(image, "--yes hide --at 26624");
    c.meddle(image);
    const std::string meddled = ReadWholeFile(image);
    const CliRun undo = RunOn(image, "--yes undo", c.status);
    EXPECT_SAYS(undo.out + undo.err, c.says);
    if (c.status != 0) { EXPECT_TRUE(ReadWholeFile(image) == meddled); }
    // What another program wrote elsewhere stays.
    EXPECT_EQ(ReadWholeFile(image).substr(12288 * 512, 512), meddled.substr(12288 * 512, 512));
  }
}

// Rebuild writes the layout it is given (A active primary, B and C logical, D primary) over
// tables sound or not: sfdisk and our reader read it back, and only table bytes outside the
// volumes change.
TEST(CliWritePipeline, RebuildWritesItsLayoutOverTablesSoundOrNot) {
  const std::pair<const char*, const char*> cases[] = {{"sound tables", ""},
                                                       {"a master boot record without its signature", " bytes 510 0000"},
                                                       {"an extended boot record without its signature", " bytes $((24576*512+510)) 0000"},
                                                       {"a chain that runs in a circle", " bytes $((24576*512+446+16+8)) 00000000"}};
  for (const auto& [what, damage] : cases) {
    SCOPED_TRACE(what);
    QM_IMAGE(image, "damaged-chain.img", "64M", kFourVolumes + damage);
    const std::string before = ReadWholeFile(image);
    RunOn(image, "--yes rebuild --primary 2048 --active 2048 --logical 14336 --logical 26624 --primary 38912");
    EXPECT_EQ(SfdiskEntries(image), (std::vector<EntryKey>{{2048, 10240, 6}, {12288, 24576, 5}, {38912, 10240, 6},
                                                           {14336, 10240, 6}, {26624, 10240, 7}}));
    EXPECT_EQ(TreeText(ReadImage(image)->Root), "2048+10240:06F16 12288+24576:05X[14336+10240:06F16 "
                                                "26561+10303:05X[26624+10240:07NT]] 38912+10240:06F16 49152+81919:00-");
    const std::string now = ReadWholeFile(image);
    EXPECT_EQ(std::string({now[446], now[462], now[478], now[494]}), std::string("\x80\0\0\0", 4));  // A alone is active
    for (uint64_t i : ChangedBytes(before, now))  // the volumes lie at 2048 + 12288 k, 10240 sectors each
      EXPECT_TRUE(i % 512 >= 446 && i / 512 % 12288 < 2048) << "byte " << i % 512 << " of sector " << i / 512;
  }
}

// Another program that ignores the lock changes the table while the question waits: the
// change is refused after the answer, and what the other program wrote stays.
TEST(CliWritePipeline, ATableChangedWhileTheQuestionWaitsIsNotOverwritten) {
  const std::string& base = FourVolumesImage();
  if (base.empty()) return;
  const std::string image = CopyImage(base, "asked-copy.img");
  CliAtTerminal cli("delete --at 14336 " + ShellQuote(image));
  ASSERT_TRUE(cli.WaitFor("Are you sure") && cli.WaitForQuestion()) << cli.shown;
  WriteFileBytes(image, 12288 * 512 + 0x1c2, {0x0e});
  cli.Type("o\n");
  EXPECT_EQ(cli.Finish(), 1) << cli.shown;
  EXPECT_SAYS(cli.shown, "has changed since it was read");
  std::string expected = ReadWholeFile(base);
  expected[12288 * 512 + 0x1c2] = 0x0e;
  EXPECT_TRUE(ReadWholeFile(image) == expected);
}

// Ctrl+C once the table is written (while the system reads the new layout) ends nothing: the
// change is finished and the status says it was done.
TEST(CliWritePipelineOnDevice, CtrlCAfterTheWriteFinishesTheChange) {
  if (FourVolumesImage().empty()) return;
  const std::string image = CopyImage(FourVolumesImage(), "late-ctrl-c.img");
  LoopDevice loop(image, 512, /*partitions=*/true);
  if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
  const std::string script = ShellQuote(QM_CLI_PATH) + " --yes hide --at 2048 " + loop.path + " >/dev/null 2>&1 & pid=$!; " +
                             "for i in $(seq 2000); do [ \"$(od -An -tx1 -j $((0x1c2)) -N1 " + ShellQuote(image) +
                             " | tr -d ' ')\" = 16 ] && break; sleep 0.005; done; kill -INT $pid; wait $pid";
  const int status = RunCommand("timeout 60 bash -c " + ShellQuote(script));
  EXPECT_TRUE(status == 0 || status == 3) << status;
  EXPECT_EQ(ReadFileBytes(image, 0x1c2, 1)[0], 0x16);
  // Our reading of the tables numbers and places the partitions as the kernel does.
  struct stat st {};
  ASSERT_EQ(::stat(loop.path.c_str(), &st), 0);
  const auto read = [&](uint64_t lba, uint8_t* sector) {
    const auto bytes = ReadFileBytes(image, lba * 512, 512);
    std::copy(bytes.begin(), bytes.end(), sector);
    return bytes.size() == 512;
  };
  EXPECT_EQ(PartitionsOfTables(read), ListedPartitions(st.st_rdev));
}

}  // namespace
}  // namespace qm::test
