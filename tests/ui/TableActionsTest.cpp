// The main window's table edits and the rebuild dialog.
#include <QTest>
#include <sstream>

#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/Rebuild.h"
#include "ui/RebuildList.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

using qm::test::ScriptedHost;

// --- The rebuild dialog's lists ------------------------------------------------------------

// Rows as the main window lists them: 0 group, 1-2 primaries, 3 a gap, 4 the extended
// partition, 5 a logical drive, 6 a primary, 7 blank, 8 group, 9-10 lost finds (the first one
// lies between the first two primaries).
struct SourceRows {
  std::vector<std::unique_ptr<TPartition>> records;
  std::vector<TPartitionRow> rows;

  SourceRows() {
    const struct { const char* caption; uint32_t start; uint8_t type; } table[] = {
        {"Partitions", 0, 0}, {"1 - [Active]", 2048, 6}, {"2", 4096, 6}, {"3", 6144, 0},  {"4", 8192, 5},
        {"    5", 10240, 6},  {"6", 12288, 6},           {"", 0, 0},     {"Lost Partitions", 0, 0},
        {"1", 3000, 6},       {"2", 20000, 6}};
    for (const auto& t : table) {
      rows.emplace_back().Caption = t.caption;
      if (t.start == 0) continue;
      records.push_back(std::make_unique<TPartition>());
      records.back()->Entry.RelativeSector = t.start;
      records.back()->Entry.TotalSectors = 1000;
      records.back()->Entry.SystemId = t.type;
      rows.back().Record = records.back().get();
    }
  }
};

// The new layout as "1P* L1 2": number, L for a lost find, P for Primary, * for Active.
std::string Layout(const TRebuildList& list) {
  std::string out;
  for (const TRebuildEntry& e : list.Dest()) {
    if (!out.empty()) out += ' ';
    out += (e.Lost ? "L" : "") + e.Caption.substr(e.Caption.rfind(' ') + 1) + (e.Record->RebuildPrimary ? "P" : "") +
           (e.Record->RebuildActive ? "*" : "");
  }
  return out;
}

TEST(RebuildListTest, MovesAndMarks) {
  struct Case {
    const char* steps;  // >> add all; >N add source row N; <N remove; << clear; PN, AN toggle
    const char* layout;
    const char* message;  // of the last refused toggle
  } cases[] = {
      {">> >>", "1 L1 2 5 6 L2", ""},
      {">0 >3 >4 >7 >8 >9 >1 >1", "1 L1", ""},
      {">> P0 P1 P2 P3 P4", "1P L1P 2P 5P 6 L2", "Exceeded the max. primary partition count: 4."},
      {">> P0 A0 P0", "1 L1 2 5 6 L2", ""},
      {">> P0 P2 A0 A2", "1P L1 2P* 5 6 L2", ""},
      {">> P0 A0 A0", "1P L1 2 5 6 L2", ""},
      {">> A1", "1 L1 2 5 6 L2", "Active partition must be a primary partition."},
      {">> P1 A1 <1", "1 2 5 6 L2", ""},
      {">> P0 A0 <<", "", ""},
  };
  for (const Case& c : cases) {
    SourceRows source;
    source.records[1]->RebuildPrimary = source.records[1]->RebuildActive = true;  // left over
    TRebuildList list;
    list.SetSource(source.rows, 9);
    std::string message;
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      const size_t digit = step.find_first_of("0123456789");
      const int n = digit == std::string::npos ? -1 : std::stoi(step.substr(digit));
      if (step == ">>") list.AddAll();
      else if (step == "<<") list.Clear();
      else if (step[0] == '>') list.Add(n);
      else if (step[0] == '<') list.Remove(n);
      else if (const std::string m = step[0] == 'P' ? list.TogglePrimary(n) : list.ToggleActive(n); !m.empty())
        message = m;
      if (step[0] == '>') list.Sort();
    }
    EXPECT_EQ(Layout(list), c.layout) << c.steps;
    EXPECT_EQ(message, c.message) << c.steps;
    // Marks stay on the new layout's partitions, Active on one primary at most.
    int active = 0;
    for (const auto& r : source.records) {
      const bool chosen = std::any_of(list.Dest().begin(), list.Dest().end(),
                                      [&](const TRebuildEntry& e) { return e.Record == r.get(); });
      EXPECT_TRUE(chosen || (!r->RebuildPrimary && !r->RebuildActive)) << c.steps;
      EXPECT_TRUE(!r->RebuildActive || r->RebuildPrimary) << c.steps;
      active += r->RebuildActive;
    }
    EXPECT_LE(active, 1) << c.steps;
  }
}

// --- The window -------------------------------------------------------------------------

class TableActionsTest : public WindowTest {};

// Three FAT16 volumes, of which only the first is in the table: the quick scan finds the
// other two. The new layout keeps the first, makes the second the active primary and the
// third a logical drive. A first try declined at the question leaves the dialog open with
// the layout as composed, over the tables the declined try read again.
TEST_F(TableActionsTest, RebuildFromTheDialogWritesTheComposedLayout) {
  QM_IMAGE(image, "ui-rebuild.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n22528,20480,6\\n45056,20480,6' "
           "fs 1 fat16 ONE fs 2 fat16 TWO fs 3 fat16 THREE lose 3 lose 2");
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ASSERT_EQ(w.CurrentDrive->LostPartitions.size(), 2u);
  ScriptedHost host{MsgAnswer::No, MsgAnswer::Yes};
  w.ShowRebuild = [&](TfrmRebuild& d) {
    d.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&d));
    auto captions = [&] {
      QStringList out;
      for (int i = 0; i < d.lvDest->topLevelItemCount(); ++i) out << d.lvDest->topLevelItem(i)->text(0);
      return out.join(QLatin1Char(','));
    };
    auto click = [&](int row, int column) {
      const QRect cell = d.lvDest->visualRect(d.lvDest->model()->index(row, column));
      QTest::mouseClick(d.lvDest->viewport(), Qt::LeftButton, {}, cell.center());
    };
    d.Button4->click();  // nothing chosen yet: nothing happens
    EXPECT_TRUE(host.messages.empty());
    d.Button6->click();
    d.Button6->click();
    EXPECT_EQ(captions(), QStringLiteral("Partition 1,Lost partition 1,Lost partition 2"));
    click(0, 1);
    click(1, 1);
    click(1, 2);
    click(2, 0);  // the caption column toggles nothing
    d.Button4->click();  // declined
    EXPECT_EQ(captions(), QStringLiteral("Partition 1,Lost partition 1,Lost partition 2"));
    EXPECT_TRUE(d.isVisible());
    d.Button4->click();
    return d.result() == QDialog::Accepted;
  };
  w.Rebuild->trigger();
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Confirm", "Confirm", "Information"}));
  using qm::test::EntryKey;
  EXPECT_EQ(qm::test::SfdiskEntries(image), (std::vector<EntryKey>{EntryKey(2048, 20480, 6), EntryKey(22528, 20480, 6),
                                                                   EntryKey(43008, 22528, 5), EntryKey(45056, 20480, 6)}));
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1CE, 1)[0], 0x80);  // the second entry is the active one
  EXPECT_EQ(w.CurrentDrive, nullptr);  // every drive was read anew
}

// Backup (its file name gets the extension), Active and Hide write and reload the view;
// Restore writes the backup back and reads every drive anew; Undo (Ctrl+Z) takes the restore
// back.
TEST_F(TableActionsTest, EditsFromTheWindowWriteAndReload) {
  // A FAT16 primary marked active and a hidden FAT32 primary.
  QM_IMAGE(image, "ui-edits.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,70000,1b' fs 1 fat16 PLAIN fs 2 fat32 HIDDEN");
  const std::vector<uint8_t> mbr = qm::test::ReadFileBytes(image, 0, 512);
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ScriptedHost host{MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok,
                    MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok};
  const std::string backup = qm::test::FreshPath("tables");
  w.AskBackupFile = [&] { return QString::fromStdString(backup); };
  w.Backup->trigger();
  EXPECT_EQ(qm::test::ReadFileBytes(backup + ".pfi", 0, 600).size(), 524u);

  const int second = RowWithLba(43008);
  ClickRow(second);
  w.Active->trigger();
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1BE, 1)[0], 0x00);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1CE, 1)[0], 0x80);
  EXPECT_EQ(w.SelectedPartition, nullptr);
  EXPECT_EQ(Cell(second, 0), QStringLiteral("2 - [Active]"));

  ClickRow(second);
  w.Hide->trigger();
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1CE + 4, 1)[0], 0x0B);
  EXPECT_EQ(Cell(second, 2), QStringLiteral("FAT32"));

  w.AskRestoreFile = [&] { return QString::fromStdString(backup + ".pfi"); };
  w.Restore->trigger();
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), mbr);
  EXPECT_EQ(w.CurrentDrive, nullptr);

  ChooseDrive(0);
  QTest::keySequence(&w, QKeySequence(Qt::CTRL | Qt::Key_Z));
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1CE, 1)[0], 0x80);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1CE + 4, 1)[0], 0x0B);
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Backup", "Set active partition", "Hide/Show", "Restore",
                                                       "Restore", "Restore", "Restore"}));
}

}  // namespace
}  // namespace qm::ui::test
