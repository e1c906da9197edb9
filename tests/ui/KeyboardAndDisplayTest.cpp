// The window as a keyboard user meets it: moves across the partition list's group rows, and a
// recovery by keys alone.
#include <QMenu>

#include "model/CheckReport.h"
#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/QtHost.h"
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

}  // namespace
}  // namespace qm::ui::test
