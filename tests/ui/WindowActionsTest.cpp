// The main window's actions on the demo disk. First a user's way through it, by clicks on the
// real controls with the desktop's own host: choose the drive, scan the whole disk, read the
// report of the find, recover it. Then what that way does not take: Stop at a known point and
// closing during a scan; every way Recover ends without writing; Preview of a listed and a
// lost partition's root, and its refusal of HPFS; Clone, whose dialog lists the machine's
// volumes and an image file, and its capacity check.
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QToolButton>

#include "WindowFixture.h"
#include "cli/CliRun.h"
#include "disk/Machine.h"
#include "model/Enumeration.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/CloneTarget.h"
#include "ui/Preview.h"
#include "ui/QtHost.h"
#include "ui/Scanconfig.h"

namespace qm::ui::test {
namespace {

using qm::test::ScriptedHost;

constexpr uint64_t kLostFat = 84031;
constexpr uint64_t kLostNtfs = 262144;

// Answers modal windows as they come up: message boxes with Yes (else OK), the scan range
// dialog through `onScanDialog`.
class ModalAnswerer {
 public:
  std::function<void(TfrmScanConfig&)> onScanDialog;
  std::vector<std::pair<QString, QString>> boxes;  // caption, text

  ModalAnswerer() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start();
  }

 private:
  void Look() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      boxes.emplace_back(box->windowTitle(), box->text());
      QAbstractButton* yes = box->button(QMessageBox::Yes);
      (yes ? yes : box->button(QMessageBox::Ok))->click();
    } else if (auto* dialog = dynamic_cast<TfrmScanConfig*>(modal); dialog && dialog->isVisible() && onScanDialog) {
      onScanDialog(*dialog);
    }
  }
  QTimer timer_;
};

class WalkthroughTest : public WindowTest {
 protected:
  void ClickTool(QAction* action) {
    QWidget* button = window->ToolBar1->widgetForAction(action);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
  }
};

TEST_F(WalkthroughTest, ChooseScanReportRecover) {
  const std::string image = qm::test::DemoImage("ui-walkthrough.img");
  QtHost host;
  HostScope scope(host);
  TfrmMain& w = Open({image});
  host.SetOwner(&w);
  ModalAnswerer answers;

  // Choose the drive with a click in the drive list.
  QTest::mouseClick(w.ListBox1->viewport(), Qt::LeftButton, {}, w.ListBox1->visualItemRect(w.ListBox1->item(0)).center());
  ASSERT_NE(w.CurrentDrive, nullptr);
  EXPECT_GT(w.ListView1->topLevelItemCount(), 0);

  // Scan the whole disk: the NTFS volume 4096 sectors into the last gap turns up.
  answers.onScanDialog = [&](TfrmScanConfig& dialog) {
    dialog.Edit2->setText(QString::number(dialog.TrackBar2->maximum()));
    QTest::mouseClick(dialog.Button1, Qt::LeftButton);
  };
  ClickTool(w.Scan);
  ASSERT_TRUE(HasLost(kLostNtfs));
  const int row = RowWithLba(kLostNtfs);
  ASSERT_GE(row, w.FirstLostRow);

  // Its report, and where it lies.
  ClickRow(row);
  EXPECT_EQ(w.SelectedLost, Record(row));
  EXPECT_TRUE(w.Label5->text().contains(QStringLiteral("Index Root: OK")));

  // Recover it: it becomes a partition of the table, on the map and in the list.
  answers.boxes.clear();
  ClickTool(w.Recover);
  ASSERT_FALSE(answers.boxes.empty());
  EXPECT_EQ(answers.boxes.front().first, QStringLiteral("Recovering"));
  const int recovered = RowWithLba(kLostNtfs);
  ASSERT_GT(recovered, 0);
  EXPECT_LT(recovered, w.FirstLostRow);
  EXPECT_EQ(Cell(recovered, 2), QStringLiteral("NTFS"));
  bool onMap = false;
  for (TPartition* p : w.CurrentDrive->AllPartitions)
    onMap = onMap || (p->AbsoluteStart() == kLostNtfs && p->MapRect.Right > p->MapRect.Left);
  EXPECT_TRUE(onMap);
  ClickRow(recovered);
}

// --- Stop, and closing during a scan -----------------------------------------------------------

class ActionsTest : public WindowTest {};

// A scripted host that really pumps the event loop on every call, so that timers run inside
// the scan at once and not after the rate limit of the desktop's host.
class PumpingHost : public ScriptedHost {
 public:
  using ScriptedHost::ScriptedHost;
  void ProcessMessages() override {
    ScriptedHost::ProcessMessages();
    QApplication::processEvents();
  }
};

// The scan range dialog answered with megabytes 0 to 256, the whole demo disk.
bool AnswerRange(TfrmScanConfig& dialog) {
  dialog.Edit1->setText(QStringLiteral("0"));
  dialog.Edit2->setText(QStringLiteral("256"));
  dialog.Button1Click();
  return dialog.result() == QDialog::Accepted;
}


TEST_F(ActionsTest, StopOrClosingEndsARunningScan) {
  TfrmMain& w = OpenDemo();
  PumpingHost host;
  int stoppedAt = -1;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const int percent = static_cast<int>(int64_t{w.ProgressBar1->value()} * 100 / w.ProgressBar1->maximum());
    if (stoppedAt < 0 && percent >= 20) {
      stoppedAt = percent;
      w.Stop->trigger();
    }
  });
  watch.start(0);
  w.ShowScanConfig = AnswerRange;
  w.ScanExecute();
  watch.stop();
  ASSERT_GE(stoppedAt, 20);
  ASSERT_LT(stoppedAt, 45);  // well before the lost NTFS volume at 48 % of the disk
  EXPECT_FALSE(HasLost(kLostNtfs));
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  EXPECT_FALSE(w.CurrentDrive->StopRequested);

  // Closing waits for the scan to end, and the scan ends at once.
  bool stillOpenDuringScan = false;
  QTimer::singleShot(0, [&] {
    w.close();
    stillOpenDuringScan = w.isVisible() && w.CurrentDrive != nullptr;
  });
  w.ScanExecute();
  EXPECT_TRUE(stillOpenDuringScan);
  EXPECT_FALSE(HasLost(kLostNtfs));
  EXPECT_FALSE(w.isVisible());
}

// --- Recover: every path that writes nothing -------------------------------------------------

TEST_F(ActionsTest, RecoverAsksBeforeWritingAndNoWritesNothing) {
  const std::string image = qm::test::DemoImage("ui-recover-no.img");
  const std::vector<uint8_t> mbr = qm::test::ReadFileBytes(image, 0, 512);
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ClickRow(w.FirstLostRow);  // its report ends in "Root Directory: Preview"
  ScriptedHost host{MsgAnswer::No};
  w.RecoverExecute();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text.rfind("You are recovering partition. It is strong recommended", 0), 0u);
  EXPECT_EQ(host.messages[0].caption, "Recovering");
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), mbr);
  EXPECT_NE(w.SelectedLost, nullptr);

  // Another program changes the tables: the refusal comes before any question.
  qm::test::WriteFileBytes(image, 0x1BE + 3 * 16 + 4, {0x83});
  const std::vector<uint8_t> changed = qm::test::ReadFileBytes(image, 0, 512);
  ScriptedHost yes{MsgAnswer::Yes, MsgAnswer::Yes};
  w.RecoverExecute();
  ASSERT_EQ(yes.messages.size(), 1u);
  EXPECT_EQ(yes.messages[0].caption, "Error");
  EXPECT_NE(yes.messages[0].text.find("has changed since it was read"), std::string::npos);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), changed);
}

TEST_F(ActionsTest, RecoverActsOnTheChosenRowOnly) {
  TfrmMain& w = OpenDemo();
  {
    ScriptedHost host{MsgAnswer::Yes, MsgAnswer::Yes};
    ClickRow(RowWithLba(2048));  // an existing partition: nothing to recover
    w.RecoverExecute();
    ClickRow(w.FirstLostRow);
    w.CurrentDrive->Scanning = true;
    w.RecoverExecute();
    w.CurrentDrive->Scanning = false;
    EXPECT_TRUE(host.messages.empty());
    w.ShowScanConfig = AnswerRange;
    w.ScanExecute();
  }
  // The FAT16 find chosen by keyboard after the NTFS one brings its own report: the damage
  // question speaks for it, not for the NTFS find.
  ClickRow(RowWithLba(kLostNtfs));
  ASSERT_TRUE(w.Label5->text().contains(QStringLiteral("Index Root")));
  QTest::keyClick(w.ListView1, Qt::Key_Up);
  ASSERT_EQ(w.ListView1->SelectedRow(), w.FirstLostRow);
  EXPECT_EQ(w.SelectedLost, Record(w.FirstLostRow));
  EXPECT_FALSE(w.Label5->text().contains(QStringLiteral("Index Root")));
}

// --- Preview ---------------------------------------------------------------------------------

class PreviewTest : public WindowTest {
 protected:
  QStringList shown;  // per window: the caption, the headers with widths, then "name|type|size|created"

  // Selects the row that starts at `lba` and runs Preview, noting what the window showed.
  void PreviewRowAt(uint64_t lba) {
    shown.clear();
    window->ShowPreview = [this](TfrmPreview& dialog) {
      dialog.show();  // fills the list
      QTreeWidget* list = dialog.lstPreview;
      shown << dialog.windowTitle();
      for (int c = 0; c < list->columnCount(); ++c)
        shown << list->headerItem()->text(c) + QString::number(list->columnWidth(c));
      for (int r = 0; r < list->topLevelItemCount(); ++r) {
        const QTreeWidgetItem* item = list->topLevelItem(r);
        const bool right = item->textAlignment(2) & Qt::AlignRight;
        shown << QStringList{item->text(0), item->text(1), item->text(2) + (right ? "" : "<"), item->text(3)}.join("|");
      }
      dialog.close();
    };
    ClickRow(RowWithLba(lba));
    window->Preview->trigger();
  }
};

TEST_F(PreviewTest, ShowsTheRootOfListedAndLostPartitionsAndRefusesHpfs) {
  OpenDemo();
  ScriptedHost host;
  PreviewRowAt(2048);  // the FAT32 primary
  ASSERT_EQ(shown.size(), 7) << shown.join("\n").toStdString();
  EXPECT_EQ(shown.mid(0, 5), (QStringList{"View Root Directory", "File Name130", "Type130", "Size100", "Created130"}));
  EXPECT_TRUE(shown[5].startsWith("CONFIG.TXT|")) << shown[5].toStdString();
  EXPECT_TRUE(shown[6].contains(QRegularExpression("^README\\.TXT\\|[^|]+\\|69\\|\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d [AP]M$")))
      << shown[6].toStdString();
  PreviewRowAt(kLostFat);
  ASSERT_EQ(shown.size(), 6) << shown.join("\n").toStdString();
  EXPECT_TRUE(shown[5].startsWith("Lost.txt|")) << shown[5].toStdString();
  EXPECT_TRUE(host.messages.empty());
  EXPECT_FALSE(window->CurrentDrive->Scanning);

  Record(RowWithLba(kLostFat))->FsKind = fkHpfs;
  PreviewRowAt(kLostFat);
  EXPECT_TRUE(shown.empty());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Cannot preview HPFS partitions now. We'll add this\rfeature to Quillmark in future.");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Information);
}

// --- Clone -----------------------------------------------------------------------------------

class CloneTest : public WindowTest {
 protected:
  // The dialog answered with its row `fromEnd` (1: the image-file row), after an OK with no
  // row chosen, which must leave it open.
  void Choose(int fromEnd) {
    window->ShowCloneTarget = [this, fromEnd](TfrmDrives& d) {
      for (int i = 0; i < d.DriveList->topLevelItemCount(); ++i) rows << d.DriveList->topLevelItem(i)->text(0);
      d.Button1Click();
      EXPECT_NE(d.result(), QDialog::Accepted);
      d.DriveList->setCurrentItem(d.DriveList->topLevelItem(d.DriveList->topLevelItemCount() - fromEnd));
      d.Button1Click();
      return d.result() == QDialog::Accepted;
    };
  }
  QStringList rows;
};

TEST_F(CloneTest, TheDialogListsTheVolumesAndALostPartitionGoesIntoAnImageFile) {
  TfrmMain& w = OpenDemo();
  auto volume = std::make_unique<TLogiDrive>();
  volume->Root = "/dev/qm-test1";
  FillLogiDrive(*volume, 10000ull << 20, "DATA", "NTFS");
  w.PhysicalDrives->LogicalDrives.insert(w.PhysicalDrives->LogicalDrives.begin(), std::move(volume));
  const int row = RowWithLba(kLostFat);
  ClickRow(row);
  const std::string out = qm::test::FreshPath("ui-clone.img");
  Choose(1);
  w.AskCloneFile = [&] { return QString::fromStdString(out); };
  ScriptedHost host{MsgAnswer::Ok};
  w.Clone->trigger();

  EXPECT_EQ(rows.size(), static_cast<qsizetype>(w.PhysicalDrives->LogicalDrives.size() + 1));
  EXPECT_EQ(rows.front(), QStringLiteral("/dev/qm-test1  (9.77 GB)  DATA"));
  EXPECT_EQ(rows.back(), QStringLiteral("Copy to image file..."));
  ASSERT_EQ(host.Captions(), (std::vector<std::string>{"Clone", "Clone completed"}));
  EXPECT_TRUE(w.StatusBarEx1->PanelText(0).isEmpty());
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_FALSE(w.CurrentDrive->Scanning);
}

// A FAT16 volume (vfat to the system) exactly as large as the lost FAT16 partition takes it;
// one sector less is refused before the question.
TEST_F(CloneTest, AVolumeAsLargeAsThePartitionPassesTheCapacityCheck) {
  TfrmMain& w = OpenDemo();
  const int row = RowWithLba(kLostFat);
  const uint32_t size = Record(row)->Entry.TotalSectors;
  for (uint32_t sectors : {size, size - 1}) {
    const std::string n = std::to_string(sectors);
    QM_IMAGE(image, "ui-clone-vol" + n + ".img", n + "s", "fsat 0 " + n + " fat16 TARGET");
    qm::test::LoopDevice loop(image, 512);
    if (!loop.skip.empty()) GTEST_SKIP() << loop.skip;
    BlockVolume found;
    ASSERT_TRUE(ProbeBlockVolume(loop.path, found));
    const TLogiDrive& volume = *w.PhysicalDrives->LogicalDrives.emplace_back(MakeLogiDrive(found));
    const auto boot = qm::test::ReadFileBytes(image, 0, 512);
    ClickRow(row);
    Choose(2);
    ScriptedHost host{MsgAnswer::Cancel};
    w.Clone->trigger();
    ASSERT_EQ(host.messages.size(), 1u) << n;
    EXPECT_EQ(host.messages[0].text,
              sectors == size ? "You are cloning selected partition to the drive below:\r\r" + loop.path + "  (" +
                                    volume.SizeText + ")  TARGET\r\rAll data on this drive will be destroyed. Are you sure?"
                              : "The capacity of destination drive mustn't less\rthan the size of source partition.");
    EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), boot);
    w.PhysicalDrives->LogicalDrives.pop_back();
  }
}

}  // namespace
}  // namespace qm::ui::test
