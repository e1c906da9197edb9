// The main window's actions: Scan with its dialog, Stop, Refresh, Recover, closing during a scan.
#include <QTimer>

#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/Scanconfig.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

constexpr uint64_t kLostFat = 84031;
constexpr uint64_t kLostNtfs = 262144;

// A scripted host that really pumps the event loop on every call, so that timers run inside
// the scan at once and not after the rate limit of the desktop's host.
class PumpingHost : public qm::test::ScriptedHost {
 public:
  using ScriptedHost::ScriptedHost;
  void ProcessMessages() override {
    ScriptedHost::ProcessMessages();
    QApplication::processEvents();
  }
};

// The scan range dialog answered with a megabyte range of the whole disk.
std::function<bool(TfrmScanConfig&)> AnswerRange(const char* startMB, const char* endMB, int* shown = nullptr) {
  return [=](TfrmScanConfig& dialog) {
    if (shown) ++*shown;
    dialog.Edit1->setText(QString::fromLatin1(startMB));
    dialog.Edit2->setText(QString::fromLatin1(endMB));
    dialog.Button1Click();
    return dialog.result() == QDialog::Accepted;
  };
}

bool HasLost(const TPhysicalDrv& drive, uint64_t lba) {
  for (const auto& p : drive.LostPartitions)
    if (p->AbsoluteStart() == lba) return true;
  return false;
}

class ActionsTest : public WindowTest {};

TEST_F(ActionsTest, WholeDiskScanFindsTheLostNtfsVolume) {
  TfrmMain& w = OpenDemo();
  ASSERT_FALSE(HasLost(*w.CurrentDrive, kLostNtfs));
  PumpingHost host;
  int progressSeen = 0;
  bool frozen = true, listDisabled = true;
  QString status;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    progressSeen = std::max(progressSeen, w.ProgressBar1->value());
    status = w.StatusBarEx1->PanelText(0);
    frozen = frozen && !w.ListView1Changing(1);
    listDisabled = listDisabled && !w.ListBox1->isEnabled();
  });
  watch.start(0);
  w.ShowScanConfig = AnswerRange("0", "256");
  w.ScanExecute();
  watch.stop();

  EXPECT_TRUE(HasLost(*w.CurrentDrive, kLostNtfs));
  EXPECT_TRUE(host.messages.empty()) << host.messages.front().caption << ": " << host.messages.front().text;
  EXPECT_GT(progressSeen, 50);  // the bar moved while the scan ran
  EXPECT_EQ(status, QStringLiteral(" Scanning ..."));
  EXPECT_TRUE(frozen);
  EXPECT_TRUE(listDisabled);
  // Afterwards everything is back and the find is listed.
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_TRUE(w.StatusBarEx1->PanelText(0).isEmpty());
  EXPECT_TRUE(w.ListBox1->isEnabled());
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  const int row = RowWithLba(kLostNtfs);
  ASSERT_GE(row, w.FirstLostRow);
  EXPECT_EQ(Cell(row, 5), QStringLiteral("Lost partition"));
  EXPECT_EQ(Cell(row, 2), QStringLiteral("NTFS"));
}

TEST_F(ActionsTest, StopEndsARunningScan) {
  TfrmMain& w = OpenDemo();
  PumpingHost host;
  int stoppedAt = -1;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (stoppedAt < 0 && w.ProgressBar1->value() >= 20) {
      stoppedAt = w.ProgressBar1->value();
      w.Stop->trigger();
    }
  });
  watch.start(0);
  w.ShowScanConfig = AnswerRange("0", "256");
  w.ScanExecute();
  watch.stop();

  ASSERT_GE(stoppedAt, 20);
  ASSERT_LT(stoppedAt, 45);  // well before the lost NTFS volume at 48 % of the disk
  EXPECT_FALSE(HasLost(*w.CurrentDrive, kLostNtfs));
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  EXPECT_FALSE(w.CurrentDrive->StopRequested);
  EXPECT_TRUE(w.ListBox1->isEnabled());
  EXPECT_EQ(w.ProgressBar1->value(), 0);
}

TEST_F(ActionsTest, ClosingDuringAScanWaitsForTheScanToEnd) {
  TfrmMain& w = OpenDemo();
  PumpingHost host;
  bool stillOpenDuringScan = false;
  QTimer::singleShot(0, [&] {
    w.close();
    stillOpenDuringScan = w.isVisible() && w.CurrentDrive != nullptr;
  });
  w.ShowScanConfig = AnswerRange("0", "256");
  w.ScanExecute();
  EXPECT_TRUE(stillOpenDuringScan);
  EXPECT_FALSE(HasLost(*w.CurrentDrive, kLostNtfs));  // the close stopped the scan
  EXPECT_FALSE(w.isVisible());                        // and the window went afterwards
}

TEST_F(ActionsTest, ScanOfTheChosenPartitionUsesItsRange) {
  TfrmMain& w = OpenDemo();
  ClickRow(RowWithLba(247808));  // the gap after the extended partition
  ASSERT_NE(w.SelectedPartition, nullptr);
  qm::test::ScriptedHost host;
  w.ShowScanConfig = [](TfrmScanConfig& dialog) {
    EXPECT_TRUE(dialog.rbCurrentPartition->isEnabled());
    dialog.rbCurrentPartition->click();
    dialog.Edit1->setText(QStringLiteral("0"));
    dialog.Edit2->setText(QStringLiteral("8"));  // 16384 sectors cover the lost volume's start, 14336 in
    dialog.Button1Click();
    return dialog.result() == QDialog::Accepted;
  };
  w.ScanExecute();
  EXPECT_TRUE(HasLost(*w.CurrentDrive, kLostNtfs));
}

TEST_F(ActionsTest, RefreshClearsSelectionsAndLists) {
  TfrmMain& w = OpenDemo();
  ClickRow(1);
  ClickRow(w.FirstLostRow);
  ASSERT_TRUE(w.SelectedPartition && w.SelectedLost);
  w.PhysicalDrives->Drives[0]->Root.VolumeLabel = "old model";
  w.RefreshExecute();
  ASSERT_NE(w.PhysicalDrives, nullptr);
  ASSERT_EQ(w.PhysicalDrives->Drives.size(), 1u);
  EXPECT_EQ(w.PhysicalDrives->Drives[0]->Root.VolumeLabel, "");  // read anew
  EXPECT_EQ(w.CurrentDrive, nullptr);
  EXPECT_EQ(w.SelectedPartition, nullptr);
  EXPECT_EQ(w.SelectedLost, nullptr);
  EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);
  EXPECT_TRUE(w.Label4->text().isEmpty());
  EXPECT_TRUE(w.Label5->text().isEmpty());
  EXPECT_EQ(w.ListBox1->count(), 1);
  EXPECT_EQ(w.ListBox1->currentRow(), -1);
  // The new model can be chosen as before.
  ChooseDrive(0);
  EXPECT_EQ(w.CurrentDrive, w.PhysicalDrives->Drives[0].get());
  ClickRow(1);
  EXPECT_EQ(w.ListView1->SelectedRow(), 1);
}

TEST_F(ActionsTest, OpenDiskImageAddsTheNextDrive) {
  TfrmMain& w = OpenDemo();
  TPhysicalDrv* first = w.CurrentDrive;
  w.AskImagePath = [] { return QString::fromStdString(PlainImage("ui-plain-open.img")); };
  w.OpenImageExecute();
  ASSERT_EQ(w.ListBox1->count(), 2);
  EXPECT_EQ(w.ListBox1->item(1)->text(), QStringLiteral("#1: 81H (0.06 G)"));
  EXPECT_EQ(w.CurrentDrive, first);  // the chosen drive stays chosen
  EXPECT_EQ(w.ListBox1->currentRow(), 0);

  qm::test::ScriptedHost host;
  EXPECT_FALSE(w.AddImageDrive(QStringLiteral("/nonexistent/disk.img")));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "Error");
  EXPECT_NE(host.messages[0].text.find("/nonexistent/disk.img"), std::string::npos);
  EXPECT_EQ(w.ListBox1->count(), 2);
}

// Every menu entry, toolbar button and development-box button whose action is not built yet
// is disabled; what is built stays enabled.
TEST_F(ActionsTest, OnlyBuiltActionsAreEnabled) {
  TfrmMain& w = Open({DemoImage()});
  const QStringList unbuilt = {"Delete"};
  int seen = 0;
  for (QMenu* menu : {w.mnuDrives, w.mnuTools, w.mnuHelp, w.PopupMenu1})
    for (QAction* a : menu->actions()) {
      if (a->isSeparator()) continue;
      ++seen;
      EXPECT_EQ(a->isEnabled(), !unbuilt.contains(a->text())) << a->text().toStdString();
    }
  EXPECT_GT(seen, 20);
  for (QAction* a : w.ToolBar1->actions()) {
    if (!a->isSeparator()) {
      EXPECT_EQ(a->isEnabled(), !unbuilt.contains(a->text())) << a->text().toStdString();
    }
  }
  EXPECT_TRUE(w.Button1->isEnabled());
  EXPECT_TRUE(w.Button2->isEnabled());
}

// --- Recover -------------------------------------------------------------------------------

const char kDamaged[] = "The data structure of selected partition has been damaged.";
const char kBackup[] = "You are recovering partition. It is strong recommended";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

TEST_F(ActionsTest, RecoverAsksBeforeWritingAndNoWritesNothing) {
  const std::string image = qm::test::DemoImage("ui-recover-no.img");
  const std::vector<uint8_t> mbr = qm::test::ReadFileBytes(image, 0, 512);
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ClickRow(w.FirstLostRow);  // its report ends in "Root Directory: Preview"
  qm::test::ScriptedHost host{MsgAnswer::No};
  w.RecoverExecute();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(host.messages[0].text, kBackup));
  EXPECT_EQ(host.messages[0].caption, "Recovering");
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Warning);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), mbr);
  EXPECT_NE(w.SelectedLost, nullptr);
}

// Another program changed the tables after the window read them: the refusal comes before
// any question, and nothing is written.
TEST_F(ActionsTest, RecoverRefusesBeforeAskingWhenTheTablesChangedOnDisk) {
  const std::string image = qm::test::DemoImage("ui-recover-changed.img");
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ClickRow(w.FirstLostRow);
  qm::test::WriteFileBytes(image, 0x1BE + 3 * 16 + 4, {0x83});
  const std::vector<uint8_t> mbr = qm::test::ReadFileBytes(image, 0, 512);
  qm::test::ScriptedHost host{MsgAnswer::Yes, MsgAnswer::Yes};
  w.RecoverExecute();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "Error");
  EXPECT_NE(host.messages[0].text.find("has changed since it was read"), std::string::npos);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), mbr);
}

TEST_F(ActionsTest, ReportOfAnotherLostPartitionDoesNotSpeakForTheChosenRow) {
  TfrmMain& w = OpenDemo();
  {
    qm::test::ScriptedHost quiet;
    w.ShowScanConfig = AnswerRange("0", "256");
    w.ScanExecute();
  }
  const int ntfs = RowWithLba(kLostNtfs);
  ASSERT_GT(ntfs, w.FirstLostRow);
  ClickRow(ntfs);
  ASSERT_TRUE(w.Label5->text().contains(QStringLiteral("Preview")));
  QTest::keyClick(w.ListView1, Qt::Key_Up);  // to the FAT16 find, by keyboard
  ASSERT_EQ(w.ListView1->SelectedRow(), w.FirstLostRow);
  qm::test::ScriptedHost host{MsgAnswer::No};
  w.RecoverExecute();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(host.messages[0].text, kDamaged));
}

TEST_F(ActionsTest, RecoverIsSilentOnExistingRowsAndDuringAScan) {
  TfrmMain& w = OpenDemo();
  qm::test::ScriptedHost host{MsgAnswer::Yes, MsgAnswer::Yes};
  ClickRow(RowWithLba(2048));
  w.RecoverExecute();
  EXPECT_TRUE(host.messages.empty());
  ClickRow(w.FirstLostRow);
  w.CurrentDrive->Scanning = true;
  w.RecoverExecute();
  w.CurrentDrive->Scanning = false;
  EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace qm::ui::test
