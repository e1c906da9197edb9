// The window as a keyboard user and the owner of a large disk meet it: moves across the
// partition list's group rows, long counts on one line, and a bar that moves early in a long
// scan.
#include <QMenu>

#include "model/CheckReport.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/QtHost.h"
#include "ui/Scanconfig.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

using qm::test::ScriptedHost;

constexpr uint64_t kLostFat16 = 84031;

class KeyboardAndDisplayTest : public WindowTest {
 protected:
  void Key(int key, Qt::KeyboardModifiers modifiers = {}) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, static_cast<Qt::Key>(key), modifiers);
  }
  // The state a click on `row` leaves: the chosen partition, the maps' and the Info box's.
  void ExpectChosen(int row) {
    TfrmMain& w = *window;
    ASSERT_EQ(w.ListView1->SelectedRow(), row);
    if (row >= w.FirstLostRow) {
      EXPECT_EQ(w.SelectedLost, Record(row));
      std::string report;
      BuildCheckReport(*w.CurrentDrive, *Record(row), report);
      EXPECT_EQ(w.Label5->text(), MessageText(report));
    } else {
      EXPECT_EQ(w.SelectedPartition, Record(row));
    }
  }
};

TEST_F(KeyboardAndDisplayTest, KeysReachEveryRowAndRecoverALostPartition) {
  const std::string image = qm::test::DemoImage("ui-keys.img");
  TfrmMain& w = Open({image});
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  ASSERT_EQ(QApplication::focusWidget(), w.ListBox1);
  Key(Qt::Key_Down);  // the first key chooses the first drive
  ASSERT_NE(w.CurrentDrive, nullptr);
  Key(Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), w.ListView1);
  Key(Qt::Key_Down);  // and the first partition
  ExpectChosen(1);

  const int last = w.ListView1->topLevelItemCount() - 1;
  const int lastListed = w.FirstLostRow - 3;
  ASSERT_EQ(RowWithLba(kLostFat16), last);
  const struct {
    int key;
    int row;
  } moves[] = {{Qt::Key_Up, 1},           {Qt::Key_End, last},          {Qt::Key_Down, last},
               {Qt::Key_Home, 1},         {Qt::Key_PageDown, last},     {Qt::Key_Up, lastListed},
               {Qt::Key_Down, w.FirstLostRow}, {Qt::Key_PageUp, 1},     {Qt::Key_End, last}};
  for (const auto& move : moves) {
    Key(move.key);
    SCOPED_TRACE(move.key);
    ExpectChosen(move.row);
  }

  // Recover from the Drives menu, by keys alone.
  ScriptedHost yes{MsgAnswer::Yes, MsgAnswer::Yes};
  Key(Qt::Key_D, Qt::AltModifier);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_EQ(menu, w.mnuDrives);
  for (int i = 0; i < 20 && menu->activeAction() != w.Recover; ++i) QTest::keyClick(menu, Qt::Key_Down);
  ASSERT_EQ(menu->activeAction(), w.Recover);
  QTest::keyClick(menu, Qt::Key_Return);
  ASSERT_FALSE(yes.messages.empty()) << "no question was asked";
  EXPECT_EQ(yes.messages[0].caption, "Recovering");
  const int recovered = RowWithLba(kLostFat16);
  ASSERT_GT(recovered, 0);
  EXPECT_LT(recovered, w.FirstLostRow);
  EXPECT_GT(Record(recovered)->MapRect.Right, Record(recovered)->MapRect.Left);  // a box on the map
}

// Disks beyond 2^31 sectors (a signed count turns negative) and beyond 2^32 (the 32-bit
// count of the geometry stops at 4294967295): the whole count, on one line of the Info box.
TEST_F(KeyboardAndDisplayTest, LongSectorCountsShowWholeOnOneLine) {
  const struct {
    const char* size;
    const char* total;
    const char* listed;
  } disks[] = {{"1536G", "3221225472", "#0: 80H (1536.00 G)"}, {"3T", "6442450944", "#1: 81H (3072.00 G)"}};
  std::vector<std::string> images;
  for (const auto& disk : disks) {
    QM_IMAGE(image, std::string("big-") + disk.size + ".img", disk.size,
             "table 'label: dos\\nstart=2048, size=409600, type=7'");
    images.push_back(image);
  }
  TfrmMain& w = Open(images);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(disks[i].size);
    EXPECT_EQ(w.ListBox1->item(i)->text().toStdString(), disks[i].listed);
    ChooseDrive(i);
    const QStringList lines = w.Label4->text().split(QLatin1Char('\r'));
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines[4], QStringLiteral("Total Sectors\t:  ") + disks[i].total);
    EXPECT_EQ(w.Label4->DrawnLineCount(w.Label4->width()), 6);
    EXPECT_LE(w.Label4->UnbrokenWidth(), w.Label4->width());
  }
}

TEST_F(KeyboardAndDisplayTest, TheBarMovesWithinTheFirstPerCentOfALongScan) {
  const std::string image = qm::test::FreshPath("scan-64g.img");
  ASSERT_EQ(qm::test::RunCommand("truncate -s 64G " + qm::test::ShellQuote(image)), 0);
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ScriptedHost host;
  w.ShowScanConfig = [](TfrmScanConfig& dialog) {
    dialog.Edit2->setText(QString::number(dialog.TrackBar2->maximum()));
    dialog.Button1Click();
    return dialog.result() == QDialog::Accepted;
  };
  std::vector<int> values;
  QStringList texts;
  QObject::connect(w.ProgressBar1, &QProgressBar::valueChanged, [&](int value) {
    if (value == 0) return;
    values.push_back(value);
    texts << w.StatusBarEx1->PanelText(2);
    if (values.size() == 3) w.StopExecute();
  });
  w.ScanExecute();
  ASSERT_EQ(values.size(), 3u);
  EXPECT_LT(values.back(), TfrmMain::kScanBarSteps / 100);  // all before one per cent
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  EXPECT_EQ(texts.removeDuplicates(), 0) << texts.join('|').toStdString();
  EXPECT_TRUE(texts.front().endsWith(QStringLiteral("of 134,217,728 sectors)"))) << texts.front().toStdString();
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_EQ(w.StatusBarEx1->PanelText(2), QString());
}

}  // namespace
}  // namespace qm::ui::test
