// The sector viewer (keys, wheel, the last sector of a disk beyond 2^31 sectors), the
// development box's buttons, and every action from its menus, toolbar button and shortcut.
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/ScriptedHost.h"
#include "ui/CloneTarget.h"
#include "ui/Hexview.h"
#include "ui/Preview.h"
#include "ui/Rebuild.h"
#include "ui/Scanconfig.h"
#include "ui/about.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

class HexViewTest : public WindowTest {};

// A disk of more than 2^31 sectors (a sparse file) in the viewer: keys and wheel scroll the
// sector, and the last sector can be chosen; a larger number is cut to it.
TEST_F(HexViewTest, ScrollsAndReachesTheLastSectorOfAHugeDisk) {
  const std::string path = qm::test::FreshPath("huge.img");
  const uint64_t sectors = (uint64_t{1} << 31) + 2048;
  std::error_code error;
  std::ofstream(path).close();
  std::filesystem::resize_file(path, sectors * 512, error);
  if (error) GTEST_SKIP() << "no sparse file of " << sectors << " sectors here: " << error.message();
  qm::test::WriteFileBytes(path, (sectors - 1) * 512, {'L', 'A', 'S', 'T'});
  const std::unique_ptr<TPhysicalDrv> drive = qm::test::ReadImage(path);
  TfrmHexView view(drive.get());
  THexDump& dump = *view.HexDump;
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  ASSERT_EQ(dump.Layout().BytesPerLine, 16) << "character width " << dump.ItemWidth();
  ASSERT_EQ(dump.Layout().LineCount, 32);
  const int page = dump.Layout().VisibleLines - 1;
  const int steps[][2] = {{Qt::Key_End, 31}, {Qt::Key_Down, 31},       {Qt::Key_Home, 0},        {Qt::Key_A, 0},
                          {Qt::Key_Up, 0},   {Qt::Key_PageDown, page}, {Qt::Key_Down, page + 1}, {Qt::Key_PageUp, 1},
                          {-120, 2},         {120, 1}};  // the last two: wheel down and up
  for (const auto& [input, top] : steps) {
    if (input == 120 || input == -120) {
      QWheelEvent wheel({50, 50}, {50, 50}, {}, {0, input}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
      QApplication::sendEvent(dump.viewport(), &wheel);
    } else {
      QTest::keyClick(&dump, Qt::Key(input));
    }
    EXPECT_EQ(dump.TopLine(), top) << input;
    EXPECT_EQ(dump.verticalScrollBar()->value(), top);
  }

  view.SpinEdit1->setFocus();
  QTest::keyClicks(view.SpinEdit1, "99999999999x");
  EXPECT_EQ(view.SpinEdit1->text(), QString::number(sectors - 1));
  EXPECT_EQ(view.StatusBar1->PanelText(0), QStringLiteral(" Sector %1 of %2").arg(sectors - 1).arg(sectors));
  EXPECT_EQ(std::string(view.SectorBuffer.begin(), view.SectorBuffer.begin() + 4), "LAST");
  view.SpinEdit1->clear();  // emptied and left, the edit shows sector 0 again
  dump.setFocus();
  EXPECT_EQ(view.SpinEdit1->text(), QStringLiteral("0"));
  EXPECT_EQ(view.SectorBuffer[0], 0);
}

// Each action works from every menu that offers it, its toolbar button and its shortcut (from
// either list), and does its own work only.
TEST_F(HexViewTest, EveryActionWorksFromMenusToolbarAndShortcut) {
  TfrmMain& w = Open({DemoImage()});
  qm::test::ScriptedHost host;
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

}  // namespace
}  // namespace qm::ui::test
