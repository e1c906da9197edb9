// Every change goes through one write pipeline: new extended boot records never land in a
// volume, known or found on the way; undo and redo walk a stack of recorded changes and write
// only when the disk still holds what the change wrote; the records are private to the user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>

#include "CliRun.h"
#include "disk/Crc32.h"
#include "edit/AutoBackup.h"

namespace qm::test {
namespace {

TEST(CliWritePipeline, NewExtendedBootRecordsStayOutOfEveryVolume) {
  const std::string data = FreshPath("data.bin");  // non-zero bytes to fill a volume's data area with
  std::string fill(6 << 20, '\0');
  for (size_t i = 0; i < fill.size(); ++i) fill[i] = static_cast<char>(1 + i % 251);
  std::ofstream(data, std::ios::binary) << fill;
  const struct {
    const char* what;
    std::string steps;
    std::vector<std::string> commands;                     // run in turn, each must succeed
    std::vector<std::pair<uint64_t, uint64_t>> untouched;  // volumes whose sectors stay as they were
    std::vector<EntryKey> entries;                         // the tables afterwards, as sfdisk lists them
  } cases[] = {
      // Lost A fills the sectors in front of lost B: B's table goes in front of A, and A can
      // still be recovered after it.
      {"two lost volumes back to back",
       "table 'label: dos\\nunit: sectors\\n2048,8192,6\\n12288,,5\\n14336,8192,6' fs 1 fat16 P fs 5 fat16 L "
       "fsat 40000 20480 fat16 A file @40000 " + data + " DATA.BIN fsat 60480 20480 fat16 B",
       {"recover --at 60480", "recover --at 40000"},
       {{40000, 60479}, {60480, 80959}},
       {{2048, 8192, 0x06}, {12288, 184320, 0x05}, {14336, 8192, 0x06}, {40000, 20480, 0x06}, {60480, 20480, 0x06}}},
      // A primary left out of a rebuild keeps its sectors: the extended partition's first table
      // goes in front of it.
      {"a rebuild that leaves a volume out",
       "table 'label: dos\\nunit: sectors\\n2048,20480,6' fs 1 fat16 A file 1 " + data + " DATA.BIN fsat 22528 20480 fat16 B",
       {"rebuild --logical 22528"}, {{2048, 22527}, {22528, 43007}}, {{2047, 40961, 0x05}, {22528, 20480, 0x06}}},
      // An NTFS partition ends with the volume's backup boot sector: the extended partition
      // starts behind it.
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
  for (const char* change : {"active --at 2048", "hide --at 26624", "delete --at 14336"}) {
    RunOn(image, std::string("--yes ") + change);
    states.push_back(ReadWholeFile(image));
  }
  // A dry run of undo writes neither the disk nor the record.
  RunOn(image, "--dry-run undo");
  EXPECT_TRUE(ReadWholeFile(image) == states.back());
  // Each undo's question names the change it takes back and when it was made, as `history`
  // lists the newest one still applied: "TIME  applied  N sectors  WHAT  PATH".
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
  struct stat st {};
  ASSERT_EQ(::stat(AutomaticBackupFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const auto& entry : std::filesystem::directory_iterator(AutomaticBackupFolder()))
    if (entry.path().string().find("stack-copy") != std::string::npos) {
      ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
    }
}

// Undo writes only when the disk still holds what the change wrote, on the same disk, from a
// record that can be read; otherwise it says why and writes nothing.
TEST(CliWritePipeline, UndoRefusesWhatItCannotTakeBackExactly) {
  const std::string& base = FourVolumesImage();
  if (base.empty()) return;
  const auto RecordsOf = [](const std::string& image) {
    std::vector<std::string> records;
    for (const auto& entry : std::filesystem::directory_iterator(AutomaticBackupFolder()))
      if (entry.path().filename().string().find(std::filesystem::path(image).filename().string()) != std::string::npos)
        records.push_back(entry.path());
    return records;
  };
  const struct {
    const char* what;
    std::function<void(const std::string& image)> meddle;
    int status;
    const char* says;
  } cases[] = {
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
      // Its checksum is sound, but its first line is that of another format.
      {"a record of another format", [&](const std::string& i) {
         for (const std::string& record : RecordsOf(i)) {
           std::string bytes = ReadWholeFile(record);
           bytes.replace(0, 11, "QMCHANGE 2\n");
           const size_t body = bytes.size() - 4;
           const uint32_t crc = Crc32Update(0, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), body));
           for (size_t k = 0; k < 4; ++k) bytes[body + k] = static_cast<char>(crc >> (8 * k));
           std::ofstream(record, std::ios::binary | std::ios::trunc) << bytes;
         }
       }, 1, "is damaged"},
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

// Every entry keeps its slot, so the system's partition numbers stay: an edit writes only the
// bytes of the entries it changes, and a deleted entry leaves its slot empty.
TEST(CliWritePipeline, EditsKeepEveryEntryInItsSlot) {
  QM_IMAGE(image, "slots-copy.img", "64M", "table 'label: dos\\nunit: sectors\\n2048,10240,6\\n12288,10240,7' fs 1 fat16 A fs 2 ntfs B");
  const std::string q = ShellQuote(image);
  // The second entry stands in slot 4, as another program may leave it.
  WriteFileBytes(image, 0x1ee, ReadFileBytes(image, 0x1ce, 16));
  WriteFileBytes(image, 0x1ce, std::vector<uint8_t>(16, 0));
  const struct {
    const char* command;
    std::vector<size_t> changed;  // the bytes of sector 0 that change
    const char* says;
  } cases[] = {{"hide --at 12288", {0x1ee + 4}, "Hide/Show performed successfully."}, {"active --at 12288", {0x1ee}, "You are setting partition 2 (NTFS at sector 12288) active; the other primary "
                                   "partitions become inactive. Are you sure?"}};
  for (const auto& c : cases) {
    const std::string before = ReadWholeFile(image);
    EXPECT_SAYS(RunOn(image, std::string("--yes ") + c.command).err, c.says);
    const std::string after = ReadWholeFile(image);
    std::vector<size_t> changed;
    for (size_t i = 0; i < before.size(); ++i)
      if (before[i] != after[i]) changed.push_back(i);
    EXPECT_EQ(changed, c.changed) << c.command;
  }
  const std::string before = ReadWholeFile(image);
  EXPECT_SAYS(RunOn(image, "--yes delete --at 2048").err, "Are you sure");
  const std::string after = ReadWholeFile(image);
  EXPECT_EQ(after.substr(0x1be, 16), std::string(16, '\0'));
  EXPECT_EQ(after.substr(0x1ce), before.substr(0x1ce));
  std::string dump;
  RunCommand(kToolPath + "sfdisk --dump " + q, &dump);
  EXPECT_SAYS(dump, "slots-copy.img4 : start=       12288");
}

// Rebuild is the repair of tables the reader cannot follow: it writes over them.
TEST(CliWritePipeline, RebuildRepairsTablesTheReaderCannotFollow) {
  const std::pair<const char*, const char*> cases[] = {{"a master boot record without its signature", " bytes 510 0000"},
                                                       {"an extended boot record without its signature", " bytes $((24576*512+510)) 0000"},
                                                       {"a chain that runs in a circle", " bytes $((24576*512+446+16+8)) 00000000"}};
  for (const auto& [what, damage] : cases) {
    SCOPED_TRACE(what);
    QM_IMAGE(image, "damaged-chain.img", "64M", kFourVolumes + damage);
    const std::string volumes = Bytes(image, 14336, 49152 - 14336);
    RunOn(image, "--yes rebuild --primary 2048 --logical 14336 --logical 26624 --logical 38912");
    EXPECT_EQ(SfdiskEntries(image), (std::vector<EntryKey>{{2048, 10240, 0x06}, {12288, 36864, 0x05}, {14336, 10240, 0x06},
                                                           {26624, 10240, 0x07}, {38912, 10240, 0x06}}));
    // The new tables went on the old ones or on free sectors, never into a volume.
    std::string now = Bytes(image, 14336, 49152 - 14336);
    for (uint64_t lba : {24576, 26561, 36864, 38849}) now.replace((lba - 14336) * 512, 512, volumes, (lba - 14336) * 512, 512);
    EXPECT_TRUE(now == volumes);
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

// Ctrl+C that comes once the table is written (here while the system reads the new layout)
// ends nothing: the change is finished, told, and the status says it was done.
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
}

}  // namespace
}  // namespace qm::test
