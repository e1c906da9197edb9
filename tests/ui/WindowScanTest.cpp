// The window's scan on its worker thread: progress at a paced rate, the actions it disables,
// Stop and closing while it runs, the sector viewer beside it, a read error asked on the
// window's thread (and the hosts that carry questions across threads), the quick search chosen
// in the scan dialog, and the background search of drives opened with theirs unfinished.
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <filesystem>

#include "WindowFixture.h"
#include "scan/Scanner.h"
#include "support/Sources.h"
#include "ui/QtHost.h"
#include "ui/WorkerHost.h"

namespace qm::ui::test {
namespace {

constexpr uint64_t kLostNtfs = 262144;       // 48 % into the demo disk
constexpr uint64_t kDemoBytes = 256ull << 20;
constexpr long kDemoBlocks = 525;            // 524,288 sectors in blocks of 1000

class ScanTest : public WindowTest {
 protected:
  int ShownPercent() const {
    return static_cast<int>(int64_t{window->ProgressBar1->value()} * 100 / window->ProgressBar1->maximum());
  }
  // The actions that read or write the scanned drive wait for the scan; the others stay usable.
  void ExpectScanning(bool scanning) {
    TfrmMain& w = *window;
    for (QAction* a : {w.Scan, w.Refresh, w.OpenImage, w.Preview, w.Recover, w.Clone, w.Active, w.Rebuild, w.Hide,
                       w.MBR, w.Backup, w.Restore, w.Undo, w.Redo, w.Debug})
      EXPECT_EQ(a->isEnabled(), !scanning) << a->text().toStdString();
    for (QAction* a : {w.SectView, w.About1, w.Help, w.acExit}) EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
    EXPECT_EQ(w.Stop->isEnabled(), scanning);
    EXPECT_EQ(w.ListBox1->isEnabled(), !scanning);
    EXPECT_EQ(w.StatusBarEx1->PanelText(0).contains("Scanning"), scanning);
    EXPECT_EQ(w.StatusBarEx1->PanelText(2).contains("other actions wait until it has ended"), scanning);
  }
};

// The scan returns at once and runs on the worker; meanwhile only Stop, the viewer, Help,
// About and Exit can be used and no row can be chosen. Stop at a fifth of the disk ends the
// scan there: the NTFS volume at 48 % is not found. Closing during a scan stops it, and the
// window goes once it has ended; a window destroyed during a scan stops and waits for its worker.
TEST_F(ScanTest, RunsOnAWorkerAndStopOrClosingEndsIt) {
  ScanGate gate;
  TfrmMain& w = Open({DemoImage()});
  AddDrive(gate.Source(std::make_unique<FileSource>(DemoImage())));
  ExpectScanning(false);
  gate.OpenTo(kDemoBytes / 4);
  RunScan(0, 256, false, false);
  ASSERT_TRUE(WaitUntil([&] { return ShownPercent() >= 20; }));
  ExpectScanning(true);
  ClickRow(1);
  EXPECT_EQ(w.ListView1->SelectedRow(), -1);
  const int stoppedAt = ShownPercent();
  w.Stop->trigger();
  gate.OpenTo(kDemoBytes);
  ASSERT_TRUE(WaitUntil([&] { return !w.ScanRunning(); }));
  ExpectScanning(false);
  EXPECT_LE(stoppedAt, 25);
  EXPECT_EQ(RowWithLba(kLostNtfs), -1);
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  EXPECT_FALSE(w.CurrentDrive->StopRequested);

  gate.OpenTo(kDemoBytes / 10);
  RunScan(0, 256, false, false);
  w.close();
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.ScanRunning());
  gate.OpenTo(kDemoBytes);
  ASSERT_TRUE(WaitUntil([&] { return !w.ScanRunning(); }));
  EXPECT_EQ(RowWithLba(kLostNtfs), -1);
  EXPECT_FALSE(w.isVisible());

  w.show();
  RunScan(0, 256, false, false);
  ASSERT_TRUE(w.ScanRunning());
  window.reset();
}

// The sector viewer opens while the scan runs and reads the scanned disk. A block that cannot
// be read is asked about on the window's thread, by the host of the disk, and Ignore lets the
// scan go on: it ends while the viewer is still open, having moved the bar far less often than
// it read blocks, lists its finds and gives every action back.
TEST_F(ScanTest, TheViewerAndAReadErrorLeaveTheScanToItsEnd) {
  TfrmMain& w = Open({DemoImage()});
  auto faulty = std::make_unique<qm::test::FaultSource>(std::make_unique<FileSource>(DemoImage()));
  faulty->state->readFaults[uint64_t{100000} * 512] = qm::test::Fault{qm::test::FaultKind::Error, EIO, -1};
  AddDrive(std::move(faulty));
  const int rowsBefore = w.ListView1->topLevelItemCount();
  ASSERT_EQ(RowWithLba(kLostNtfs), -1);
  ScriptedHost host{MsgAnswer::Ignore};
  std::vector<bool> onGuiThread;  // whether each question was asked on the window's thread
  host.onMessage = [&] { onGuiThread.push_back(QThread::currentThread() == QApplication::instance()->thread()); };
  bool viewed = false;
  w.ShowHexView = [&](TfrmHexView& viewer) {
    viewed = true;
    EXPECT_TRUE(w.ScanRunning());
    viewer.show();
    viewer.SpinEdit1->SetValue(2048);
    EXPECT_EQ(viewer.StatusBar1->PanelText(0), QStringLiteral(" Sector 2048 of 524288"));
    EXPECT_EQ(viewer.SectorBuffer[510], 0x55);  // the boot sector of the first partition
    EXPECT_TRUE(WaitUntil([&] { return !w.ScanRunning(); }));
    EXPECT_GE(RowWithLba(kLostNtfs), 0);
    EXPECT_TRUE(viewer.isVisible());
  };
  RunScan(0, 256, false, false);
  w.SectView->trigger();
  EXPECT_TRUE(viewed);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::AbortRetryIgnore);
  EXPECT_NE(host.messages[0].text.find("LBA:100000"), std::string::npos) << host.messages[0].text;
  EXPECT_EQ(onGuiThread, std::vector<bool>{true});
  ExpectScanning(false);
  EXPECT_GT(w.ListView1->topLevelItemCount(), rowsBefore);
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  EXPECT_LT(w.ScanStepsShown(), kDemoBlocks / 10);
  EXPECT_EQ(w.ProgressBar1->value(), 0);
}

// The desktop's host, asked from another thread, shows its box on the GUI thread and hands
// the answer back; its pump does nothing on that thread.
TEST(QtHostTest, AsksOnTheGuiThreadForAnotherThread) {
  QtHost host;
  QElapsedTimer sinceMade;
  sinceMade.start();
  std::atomic<bool> done = false;
  MsgAnswer answer = MsgAnswer::Ok;
  std::thread worker([&] {
    answer = host.MessageBox("Sector 7 cannot be read.", "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Error);
    // Past the pump's interval, a pump on the GUI thread would process events here.
    while (sinceMade.elapsed() <= QtHost::kPumpIntervalMs) host.ProcessMessages();
    for (int i = 0; i < 64; ++i) host.ProcessMessages();
    done = true;
  });
  QString shown;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !shown.isEmpty()) return;
    shown = box->text();
    box->button(QMessageBox::Retry)->click();
  });
  answerer.start(1);
  const bool ended = WaitUntil([&] { return done.load(); });
  worker.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(shown, QStringLiteral("Sector 7 cannot be read."));
  EXPECT_EQ(answer, MsgAnswer::Retry);
  EXPECT_EQ(host.PumpCount(), 0);
}

// A window that goes while its worker waits for an answer lets the worker go: the question
// gets the safe answer and is never asked, not even when the events waiting are processed.
TEST(WorkerHostTest, ReleaseLetsAWaitingWorkerGoUnasked) {
  ScriptedHost inner{MsgAnswer::Retry};
  QObject gui;
  WorkerHost host(inner, &gui);
  MsgAnswer answer = MsgAnswer::Retry;
  std::thread worker(
      [&] { answer = host.MessageBox("Sector 7 cannot be read.", "Read Error", MsgButtons::AbortRetryIgnore, MsgIcon::Error); });
  host.Release();
  worker.join();
  QApplication::processEvents();
  EXPECT_EQ(answer, MsgAnswer::Abort);
  EXPECT_TRUE(inner.messages.empty());
}

// The dialog opens on the whole disk: its OK right away chooses all of it. A number typed into a
// field moves its track bar (one above the bar's maximum stays as typed), and an empty range is
// refused. "Quick search" searches the chosen range at the aligned positions only: the NTFS
// volume at 128 MiB is found when the range holds it. After each scan the keyboard is back on
// the partition list.
TEST_F(ScanTest, TheDialogScansTheWholeDiskOrSearchesTheChosenRange) {
  Open({DemoImage()});
  // A drive of the demo disk with nothing found yet, the focus taken away as the toolbar does.
  const auto fresh = [&]() -> TPhysicalDrv& {
    TPhysicalDrv& drive = AddDrive(std::make_unique<FileSource>(DemoImage()));
    EXPECT_EQ(RowWithLba(kLostNtfs), -1);
    if (QWidget* focused = window->focusWidget()) focused->clearFocus();
    return drive;
  };
  fresh();
  int64_t start = -1, count = -1;
  window->ShowScanConfig = [&](TfrmScanConfig& dialog) {
    EXPECT_EQ(dialog.TrackBar2->value(), dialog.TrackBar2->maximum());
    EXPECT_TRUE(dialog.rbEntireDisk->isChecked());
    dialog.Button1Click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    start = dialog.StartSector;
    count = dialog.SectorCount;
    for (auto [edit, track] : {std::pair{dialog.Edit1, dialog.TrackBar1}, std::pair{dialog.Edit2, dialog.TrackBar2}}) {
      edit->selectAll();
      QTest::keyClicks(edit, QStringLiteral("100"));
      EXPECT_EQ(track->value(), 100);
      EXPECT_EQ(edit->text(), QStringLiteral("100"));
      QTest::keyClicks(edit, QStringLiteral("0"));
      EXPECT_EQ(track->value(), track->maximum());
      EXPECT_EQ(edit->text(), QStringLiteral("1000"));
    }
    dialog.Edit1->setText(QStringLiteral("5"));
    dialog.Edit2->setText(QStringLiteral("5"));
    ScriptedHost told;
    dialog.Button1Click();
    EXPECT_EQ(told.messages.size(), 1u);
    EXPECT_EQ(told.messages.empty() ? "" : told.messages[0].text, "The range holds no sector: its end must lie beyond its start.");
    return false;  // the whole disk's scan runs in the other scan tests
  };
  window->ScanExecute();
  EXPECT_EQ(start, 0);
  EXPECT_EQ(count, int64_t{kDemoBytes / 512});

  const struct { int firstMb, endMb; bool found; } cases[] = {{0, 256, true}, {100, 200, true}, {0, 100, false}, {200, 256, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstMb);
    TPhysicalDrv& drive = fresh();
    RunScan(c.firstMb, c.endMb, true);
    const uint64_t first = uint64_t(c.firstMb) * 2048, end = uint64_t(c.endMb) * 2048;
    EXPECT_EQ(drive.QuickSearch.Ranges, (std::vector<std::pair<uint64_t, uint64_t>>{{first, end}}));
    EXPECT_TRUE(drive.QuickSearch.Finished());
    EXPECT_EQ(RowWithLba(kLostNtfs) >= 0, c.found);
    EXPECT_EQ(window->focusWidget(), window->ListView1);
  }
}

// Drives opened with their quick search unfinished are searched on in the background, with the
// progress shown and the finds listed as they come, the chosen row kept. A user's action holds
// the search (the slice at work stops and keeps its place) and it goes on once the action has
// returned; Stop ends it unfinished, with a note; closing the window ends it too. The demo disk
// grown to 8 GiB leaves the search more positions than one batch of it reads.
TEST_F(ScanTest, TheBackgroundSearchGivesWayToActionsAndStops) {
  const std::string image = qm::test::CopyImage(DemoImage(), "ui-background.img");
  std::filesystem::resize_file(image, 8ull << 30);
  ScanGate gate;
  TfrmMain& w = Open({DemoImage()});
  TPhysicalDrv& drive = AddDrive(gate.Source(std::make_unique<FileSource>(image)));
  gate.YieldTo(drive.StopRequested);
  // Starts the search again, the gate open to 64 MiB, and waits until it has shown progress.
  auto search = [&] {
    gate.OpenTo(kDemoBytes / 4);
    StartQuickSearch(drive, GapRanges(drive));
    w.QueueUnfinishedSearches();
    EXPECT_TRUE(w.SearchingInBackground());
    EXPECT_TRUE(w.Stop->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return w.StatusBarEx1->PanelText(2).startsWith(" Quick search of 80H: "); }));
  };
  ClickRow(1);
  search();
  // A click on the list waits for the slice, then works on the drive at rest.
  ClickRow(2);
  EXPECT_EQ(w.ListView1->SelectedRow(), 2);
  EXPECT_EQ(w.SelectedPartition, Record(2));
  EXPECT_TRUE(w.SearchingInBackground());
  EXPECT_FALSE(drive.QuickSearch.Finished());
  // An action with a dialog: no slice runs while it is open.
  w.ShowRebuild = [&](TfrmRebuild&) {
    EXPECT_FALSE(drive.Scanning);
    gate.OpenAll();
    QApplication::processEvents();
    EXPECT_FALSE(drive.Scanning);
    EXPECT_FALSE(drive.QuickSearch.Finished());
    return false;
  };
  w.Rebuild->trigger();
  ClickRow(2);  // the dialog's end read the drive anew
  ASSERT_TRUE(WaitUntil([&] { return !w.SearchingInBackground(); }));
  EXPECT_TRUE(drive.QuickSearch.Finished());
  EXPECT_GE(RowWithLba(kLostNtfs), 0);
  EXPECT_EQ(w.ListView1->SelectedRow(), 2);
  EXPECT_FALSE(w.Stop->isEnabled());
  EXPECT_TRUE(w.StatusBarEx1->PanelText(2).isEmpty());

  // Stop ends it where it stands, unfinished.
  search();
  w.Stop->trigger();
  EXPECT_FALSE(w.SearchingInBackground());
  EXPECT_FALSE(drive.QuickSearch.Finished());
  EXPECT_TRUE(w.StatusBarEx1->PanelText(2).startsWith(" Quick search of 80H stopped at "));
  EXPECT_FALSE(w.Stop->isEnabled());
  // Closing does not wait for it.
  search();
  w.close();
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.SearchingInBackground());
  EXPECT_FALSE(drive.Scanning);
}

}  // namespace
}  // namespace qm::ui::test
