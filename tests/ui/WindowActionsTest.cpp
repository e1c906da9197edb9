// The main window's actions: every one from its menus, toolbar button and shortcut; Clone into
// an image file, the table edits and the rebuild dialog.
#include <QTimer>
#include <QToolButton>
#include <array>
#include <cstring>
#include <sstream>

#include "WindowFixture.h"
#include "model/Enumeration.h"
#include "ui/RebuildList.h"
#include "ui/about.h"

namespace qm::ui::test {
namespace {

constexpr uint64_t kLostFat = 84031;

class ActionsTest : public WindowTest {};

// Each action works from every menu that offers it, its toolbar button and its shortcut (from
// either list), and does its own work only.
TEST_F(ActionsTest, EveryActionWorksFromMenusToolbarAndShortcut) {
  TfrmMain& w = Open({DemoImage()});
  ScriptedHost host;
  w.SectView->trigger();  // no drive chosen yet
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text + host.messages[0].caption, "Please select a drive.Error");
  int calls = 0;  // dialogs and files the actions opened
  w.ShowScanConfig = [&](TfrmScanConfig&) { return ++calls, false; };
  w.ShowPreview = [&](TfrmPreview&) { ++calls; };
  w.ShowHexView = [&](TfrmHexView&) { ++calls; };
  w.OpenUrl = [&](const QUrl&) { return ++calls, true; };
  w.AskImagePath = [&] { return ++calls, QString(); };
  w.AskBackupFile = [&] { return ++calls, QString(); };
  w.AskRestoreFile = [&] { return ++calls, QString(); };
  w.ShowRebuild = [&](TfrmRebuild&) { return ++calls, false; };
  w.ShowCloneTarget = [&](TfrmDrives&) { return ++calls, false; };
  const auto closeAbout = [&] { QTimer::singleShot(0, [&] {
    if (auto* about = dynamic_cast<TfrmAbout*>(QApplication::activeModalWidget())) ++calls, about->close(); }); };
  enum Effect { Opened, Asked, Toggled, Stopped, Reread, Nothing };
  // Before each action the chosen drive's model gets a mark that no read of the disk gives: a
  // drive read anew has lost it (its address may well be the old one's).
  constexpr uint32_t kMark = 7;
  auto state = [&] {
    const TPhysicalDrv* d = w.CurrentDrive;
    return std::array<long, 5>{calls, long(host.messages.size()), DebugMode, d && d->StopRequested,
                               d && d->Geometry.Heads != kMark};
  };
  // The caption in the menus, the action, the menus that offer it (D Drives, T Tools, H Help, P the
  // partition list's context menu), whether the toolbar does, its shortcut, what it does.
  const struct {
    const char *caption; QAction* TfrmMain::*action; const char* menus; bool toolbar; const char* shortcut;
    Effect effect; std::function<void()> arrange;
  } cases[] = {
      {"Scan", &TfrmMain::Scan, "DP", true, "Ctrl+S", Opened, {}},
      {"Stop", &TfrmMain::Stop, "D", true, "", Nothing, {}},  // disabled while nothing runs
      {"Update drive list", &TfrmMain::Refresh, "D", true, "", Reread, {}},
      {"Preview", &TfrmMain::Preview, "DP", true, "", Opened, [&] { ClickRow(1); }},
      {"Recover", &TfrmMain::Recover, "DP", true, "", Asked, [&] { ClickRow(w.FirstLostRow); }},
      {"Sector viewer", &TfrmMain::SectView, "T", false, "", Opened, {}},
      {"Help", &TfrmMain::Help, "H", true, "F1", Opened, {}},
      {"About ...", &TfrmMain::About1, "H", false, "", Opened, closeAbout},
      {"Open disk image...", &TfrmMain::OpenImage, "D", false, "", Opened, {}},
      {"Debug", &TfrmMain::Debug, "", false, "Ctrl+Alt+D", Toggled, {}},
      // The edits stop at their question (answered No) or their refusal: nothing is written.
      {"Set active partition", &TfrmMain::Active, "DP", true, "", Asked, [&] { ClickRow(1); }},
      {"Hide/Show", &TfrmMain::Hide, "DP", false, "", Asked, [&] { ClickRow(3); }},  // an extended partition
      {"Rebuild partition table", &TfrmMain::Rebuild, "D", true, "", Opened, {}},
      {"Fdisk/mbr", &TfrmMain::MBR, "T", false, "", Asked, {}},
      {"Backup partition table", &TfrmMain::Backup, "T", false, "F2", Opened, {}},
      {"Restore partition table", &TfrmMain::Restore, "T", false, "F3", Opened, {}},
      {"Undo last change", &TfrmMain::Undo, "T", false, "Ctrl+Z", Asked, {}},  // nothing to undo yet
      {"Redo last undo", &TfrmMain::Redo, "T", false, "Ctrl+Y", Asked, {}},    // nothing to redo
      {"Clone", &TfrmMain::Clone, "DP", true, "", Opened, [&] { ClickRow(w.FirstLostRow); }},
  };
  const std::pair<char, QMenu*> menus[] =
      {{'D', w.mnuDrives}, {'T', w.mnuTools}, {'H', w.mnuHelp}, {'P', w.PopupMenu1}};
  for (const auto& c : cases) {
    auto check = [&](const std::string& route, const std::function<void()>& run) {
      w.activateWindow();  // a modal dialog that closed leaves no window active here
      ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
      if (!w.CurrentDrive) ChooseDrive(0);
      w.CurrentDrive->StopRequested = false;
      if (c.arrange) c.arrange();
      w.CurrentDrive->Geometry.Heads = kMark;
      auto expected = state();
      if (c.effect != Nothing)
        expected[c.effect] = c.effect == Toggled ? !DebugMode : c.effect <= Asked ? expected[c.effect] + 1 : 1;
      run();
      QApplication::processEvents();
      EXPECT_EQ(state(), expected) << c.caption << " from " << route;
    };
    for (const auto& [letter, menu] : menus) {
      const QList<QAction*> all = menu->actions();
      const auto entry =
          std::find_if(all.begin(), all.end(), [&](QAction* a) { return a->text() == c.caption && a->isVisible(); });
      EXPECT_EQ(entry != all.end(), std::strchr(c.menus, letter) != nullptr) << c.caption << " in menu " << letter;
      if (entry != all.end()) check(std::string("menu ") + letter, [&] { (*entry)->trigger(); });
    }
    auto* button = qobject_cast<QToolButton*>(w.ToolBar1->widgetForAction(w.*c.action));
    EXPECT_EQ(button != nullptr, c.toolbar) << c.caption;
    if (button) check("toolbar", [&] { QTest::mouseClick(button, Qt::LeftButton); });
    const QKeySequence shortcut(QString::fromLatin1(c.shortcut));
    EXPECT_EQ((w.*c.action)->shortcut(), shortcut) << c.caption;
    if (shortcut.isEmpty()) continue;
    for (QWidget* list : {static_cast<QWidget*>(w.ListView1), static_cast<QWidget*>(w.ListBox1)}) {
      check(std::string("shortcut in ") + list->metaObject()->className(), [&] {
        list->setFocus();
        QTest::keySequence(list, shortcut);
      });
    }
  }
  // Exit, last as it closes the window.
  EXPECT_EQ(w.acExit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_X));
  QTest::keySequence(w.ListBox1, w.acExit->shortcut());
  EXPECT_FALSE(w.isVisible());
}

TEST_F(ActionsTest, TheCloneDialogListsTheVolumesAndALostPartitionGoesIntoAnImageFile) {
  TfrmMain& w = OpenChosen();
  // The dialog answered with its last row, the image file, after an OK with no row chosen,
  // which must leave it open.
  QStringList rows;
  w.ShowCloneTarget = [&](TfrmDrives& d) {
    for (int i = 0; i < d.DriveList->topLevelItemCount(); ++i) rows << d.DriveList->topLevelItem(i)->text(0);
    d.Button1Click();
    EXPECT_NE(d.result(), QDialog::Accepted);
    d.DriveList->setCurrentItem(d.DriveList->topLevelItem(d.DriveList->topLevelItemCount() - 1));
    d.Button1Click();
    return d.result() == QDialog::Accepted;
  };
  auto volume = std::make_unique<TLogiDrive>();
  volume->Root = "/dev/qm-test1";
  FillLogiDrive(*volume, 10000ull << 20, "DATA", "NTFS");
  w.PhysicalDrives->LogicalDrives.insert(w.PhysicalDrives->LogicalDrives.begin(), std::move(volume));
  ClickRow(RowWithLba(kLostFat));
  const std::string out = qm::test::FreshPath("ui-clone.img");
  w.AskCloneFile = [&] { return QString::fromStdString(out); };
  // What the status bar says beside the bar while the copy runs, taken at each pause the
  // copy makes for the window (after every block but the last).
  struct Watching : ScriptedHost {
    using ScriptedHost::ScriptedHost;
    std::function<void()> watch;
    void ProcessMessages() override { watch(); }
  } host{MsgAnswer::Ok};
  QStringList shown;
  host.watch = [&] { shown << w.StatusBarEx1->PanelText(2); };
  w.Clone->trigger();
  // 15.97 MB of the lost FAT16 volume, 32,705 sectors, in blocks of 2,048.
  EXPECT_TRUE(shown.contains(QStringLiteral(" 6.26 %  (2,048 of 32,705 sectors)     Stop ends the copy."))) << shown.join('|').toStdString();
  EXPECT_TRUE(w.StatusBarEx1->PanelText(2).isEmpty());

  EXPECT_EQ(rows.size(), static_cast<qsizetype>(w.PhysicalDrives->LogicalDrives.size() + 1));
  EXPECT_EQ(rows.front(), QStringLiteral("/dev/qm-test1  (9.77 GB)  DATA"));
  EXPECT_EQ(rows.back(), QStringLiteral("Copy to image file..."));
  ASSERT_EQ(host.Captions(), (std::vector<std::string>{"Clone", "Clone completed"}));
  EXPECT_TRUE(w.StatusBarEx1->PanelText(0).isEmpty());
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_FALSE(w.CurrentDrive->Scanning);
}

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
      TPartitionRow& row = rows.emplace_back();
      row.Caption = t.caption;
      if (t.start == 0) continue;
      TPartition& record = *records.emplace_back(std::make_unique<TPartition>());
      record.Entry = {.SystemId = t.type, .RelativeSector = t.start, .TotalSectors = 1000};
      row.Record = &record;
    }
  }
};

// The new layout as "1P* L1 2": number, L for a lost find, P for Primary, * for Active.
std::string Layout(const TRebuildList& list) {
  std::string out;
  for (const TRebuildEntry& e : list.Dest()) {
    if (!out.empty()) out += ' ';
    out += (e.Lost ? "L" : "") + e.Caption.substr(e.Caption.rfind(' ') + 1) + (e.Primary ? "P" : "") + (e.Active ? "*" : "");
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
  }
}

// Three FAT16 volumes, of which only the first is in the table: the quick scan finds the
// other two. The new layout keeps the first, makes the second the active primary and the
// third a logical drive. A first try declined at the question leaves the dialog open with
// the layout as composed, over the tables the declined try read again.
TEST_F(ActionsTest, RebuildFromTheDialogWritesTheComposedLayout) {
  QM_IMAGE(image, "ui-rebuild.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,20480,6\\n22528,20480,6\\n45056,20480,6' "
           "fs 1 fat16 ONE fs 2 fat16 TWO fs 3 fat16 THREE lose 3 lose 2");
  TfrmMain& w = OpenChosen(image);
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
    d.Button4->click();  // nothing chosen yet: nothing happens
    EXPECT_TRUE(host.messages.empty());
    d.Button6->click();
    d.Button6->click();
    EXPECT_EQ(captions(), QStringLiteral("Partition 1,Lost partition 1,Lost partition 2"));
    // Primary for the first two, Active for the second; the caption column toggles nothing.
    for (const auto& [row, column] : std::initializer_list<std::pair<int, int>>{{0, 1}, {1, 1}, {1, 2}, {2, 0}}) {
      const QRect cell = d.lvDest->visualRect(d.lvDest->model()->index(row, column));
      QTest::mouseClick(d.lvDest->viewport(), Qt::LeftButton, {}, cell.center());
    }
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
  // Every drive was read anew, and the chosen one is chosen again.
  ASSERT_NE(w.CurrentDrive, nullptr);
  EXPECT_EQ(w.CurrentDrive->Io().Path(), image);
  EXPECT_EQ(w.CurrentDrive->LostPartitions.size(), 0u);
}

// Backup (its file name gets the extension) and Active write and reload the view;
// Restore writes the backup back and reads every drive anew; Undo (Ctrl+Z) takes the restore
// back.
TEST_F(ActionsTest, EditsFromTheWindowWriteAndReload) {
  // A FAT16 primary marked active and a hidden FAT32 primary.
  QM_IMAGE(image, "ui-edits.img", "64M",
           "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,70000,1b' fs 1 fat16 PLAIN fs 2 fat32 HIDDEN");
  const std::vector<uint8_t> mbr = qm::test::ReadFileBytes(image, 0, 512);
  TfrmMain& w = OpenChosen(image);
  ScriptedHost host{MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok, MsgAnswer::Ok};
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

  w.AskRestoreFile = [&] { return QString::fromStdString(backup + ".pfi"); };
  w.Restore->trigger();
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), mbr);
  EXPECT_EQ(Cell(second, 0), QStringLiteral("2"));  // read anew: the restored tables

  QTest::keySequence(&w, QKeySequence(Qt::CTRL | Qt::Key_Z));
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0x1CE, 1)[0], 0x80);
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Backup", "Set active partition", "Restore", "Restore", "Undo"}));
}

}  // namespace
}  // namespace qm::ui::test
