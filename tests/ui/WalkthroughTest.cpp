// A user's way through the window on the demo disk, by clicks on the real controls with the
// desktop's own host: choose the drive, scan and stop, scan the whole disk, read the report of
// the find, recover it.
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "ui/QtHost.h"
#include "ui/Scanconfig.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

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
  bool HasLost(uint64_t lba) {
    for (const auto& p : window->CurrentDrive->LostPartitions)
      if (p->AbsoluteStart() == lba) return true;
    return false;
  }
};

TEST_F(WalkthroughTest, ChooseScanStopScanReportRecover) {
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

  // Scan the whole disk and stop early.
  int stoppedAt = -1;
  answers.onScanDialog = [&](TfrmScanConfig& dialog) {
    dialog.Edit2->setText(QString::number(dialog.TrackBar2->maximum()));
    QTest::mouseClick(dialog.Button1, Qt::LeftButton);
  };
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const int percent = static_cast<int>(int64_t{w.ProgressBar1->value()} * 100 / w.ProgressBar1->maximum());
    if (stoppedAt < 0 && percent >= 15) {
      stoppedAt = percent;
      QTest::mouseClick(w.ToolBar1->widgetForAction(w.Stop), Qt::LeftButton);
    }
  });
  watch.start(0);
  ClickTool(w.Scan);
  watch.stop();
  // How far the scan got depends on the machine's speed; that it ended and let go of the
  // window is what counts here (ActionsTest stops at a known point).
  ASSERT_GE(stoppedAt, 15) << "the progress bar never moved";
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  EXPECT_TRUE(w.ListBox1->isEnabled());
  EXPECT_EQ(w.ProgressBar1->value(), 0);

  // Scan again to the end: the NTFS volume 4096 sectors into the last gap turns up.
  ClickTool(w.Scan);
  ASSERT_TRUE(HasLost(262144));
  const int row = RowWithLba(262144);
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
  const int recovered = RowWithLba(262144);
  ASSERT_GT(recovered, 0);
  EXPECT_LT(recovered, w.FirstLostRow);
  EXPECT_EQ(Cell(recovered, 2), QStringLiteral("NTFS"));
  bool onMap = false;
  for (TPartition* p : w.CurrentDrive->AllPartitions)
    onMap = onMap || (p->AbsoluteStart() == 262144 && p->MapRect.Right > p->MapRect.Left);
  EXPECT_TRUE(onMap);
  ClickRow(recovered);
}

}  // namespace
}  // namespace qm::ui::test
