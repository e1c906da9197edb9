// The window as a keyboard user meets it: moves across the partition list's group rows, and a
// recovery by keys alone.
#include <QMenu>
#include <algorithm>

#include "model/CheckReport.h"
#include "model/PartitionRows.h"
#include "ui/CloneTarget.h"
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
      EXPECT_EQ(w.Label5->toolTip(), MessageText(report).trimmed());
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
  ASSERT_EQ(RowWithLba(kLostFat16), w.FirstLostRow);
  ASSERT_EQ(last, w.FirstLostRow + 1);  // the NTFS volume behind the extended partition
  const struct {
    int key;
    int row;
  } moves[] = {{Qt::Key_Up, 1},           {Qt::Key_End, last},          {Qt::Key_Down, last},
               {Qt::Key_Home, 1},         {Qt::Key_PageDown, last},     {Qt::Key_Up, w.FirstLostRow}, {Qt::Key_Up, lastListed},
               {Qt::Key_Down, w.FirstLostRow}, {Qt::Key_PageUp, 1},     {Qt::Key_End, last},
               {Qt::Key_Up, w.FirstLostRow}};
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
  const std::vector<TMapBox> boxes = w.LayoutDiskMap();
  const auto box = std::find_if(boxes.begin(), boxes.end(), [&](const TMapBox& b) { return b.Record == Record(recovered); });
  ASSERT_NE(box, boxes.end());
  EXPECT_GT(box->Rect.Right, box->Rect.Left);  // a box on the map
}

// Texts that decide a repair are shown whole: the check report of a lost volume that
// overlaps a hidden partition, the file-system column, the map and the clone dialog's note.
TEST_F(KeyboardAndDisplayTest, TextsThatDecideARepairAreShownWhole) {
  const std::string image = qm::test::MakeImage(
      "ui-texts.img", "128M",
      "table 'label: dos\\nunit: sectors\\n2048,100000,6\\n110592,40960,7' fs 1 fat16 DATA fs 2 ntfs LOSTNTFS "
      "table 'label: dos\\nunit: sectors\\n2048,100000,16\\n140000,60000,6'");
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  const int lost = RowWithLba(110592);
  ASSERT_GE(lost, w.FirstLostRow);
  ClickRow(lost);
  ExpectChosen(lost);
  ASSERT_TRUE(w.Label5->toolTip().contains(QStringLiteral("Overlaps Partition 3 (recover will refuse it; use rebuild or clone)")));
  // Every wrapped line of the report lies inside the label, and the label inside the window.
  QApplication::processEvents();
  EXPECT_GE(w.Label5->height(), w.Label5->DrawnHeight(w.Label5->width()));
  EXPECT_GT(w.Label5->DrawnLineCount(w.Label5->width()), w.Label5->toolTip().count(QLatin1Char('\n')) + 1);
  EXPECT_LE(w.Label5->mapTo(&w, QPoint(0, w.Label5->height())).y(), w.height());

  const int hidden = RowWithLba(2048);
  ASSERT_EQ(Cell(hidden, 2), QStringLiteral("FAT16 - [Hidden]"));
  EXPECT_GE(w.ListView1->columnWidth(2), w.ListView1->fontMetrics().horizontalAdvance(Cell(hidden, 2)));
  EXPECT_EQ(MapFsLine(*Record(hidden)), "FAT16 [Hidden]    48.83 MB");

  TfrmDrives clone(&w);
  EXPECT_GE(clone.Label1->height(), clone.Label1->heightForWidth(clone.Label1->width()));
  EXPECT_GE(clone.DriveList->y(), clone.Label1->geometry().bottom());
}

// A box of a map is the record's share of the disk, 1000 pixels wide and 40 high.
TEST(DiskMapTest, BoxesShareTheirBoundaryAndStayOnTheMap) {
  const struct {
    uint32_t diskSectors;
    uint64_t base;
    uint32_t start, size;
    int left, right;
  } cases[] = {
      {100000, 0, 30063, 10000, 301, 401},  // 100 sectors a pixel: 300.63 to 400.63
      {100000, 0, 250, 300, 2, 6},          // halves go to the even neighbour
      // A 2 TiB disk, 4.3 million sectors a pixel: partitions of 512 MiB to 1 GiB still get
      // a box of a few pixels, at the start, in the middle and moved in from the right edge.
      {0xFFFFFFFF, 0, 2048, 2097152, 0, 4},
      {0xFFFFFFFF, 0x80000000, 0, 1048576, 500, 504},
      {0xFFFFFFFF, 0, 0xFFFFFFFF - 1048576, 1048576, 996, 1000},
      // Entries past the end of the disk (on a small disk the position did not fit an int):
      // their boxes are cut at the map's right edge.
      {100000, 0, 99000, 50000, 990, 1000},
      {10, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 1000, 1000},
      {0, 0, 30063, 10000, 0, 0},  // a drive that reports no sectors draws nothing
  };
  for (const auto& c : cases) {
    TDriveGeometry geometry;
    geometry.TotalSectors = c.diskSectors;
    const TPhysicalDrv drive(0x80, geometry);
    TPartition record;
    record.BaseLBA = c.base;
    record.Entry.RelativeSector = c.start;
    record.Entry.TotalSectors = c.size;
    const TRect r = GetMapRect(drive, record, 1000, 40);
    EXPECT_EQ(std::vector<int>({r.Left, r.Right, r.Bottom}), std::vector<int>({c.left, c.right, c.diskSectors ? 40 : 0}))
        << c.start;
  }
  TDriveGeometry geometry;
  geometry.TotalSectors = 100000;
  const TPhysicalDrv drive(0x80, geometry);
  TPartition left, right;
  left.Entry.TotalSectors = 5000;
  right.Entry.RelativeSector = 5000;
  right.Entry.TotalSectors = 5000;
  const TRect l = GetMapRect(drive, left, 1000, 40), r = GetMapRect(drive, right, 1000, 40);
  EXPECT_EQ(l.Right, r.Left);
  EXPECT_TRUE(PointInMapRect(50, 0, l));  // the top edge and the shared one belong to both
  EXPECT_TRUE(PointInMapRect(50, 20, r));
  EXPECT_FALSE(PointInMapRect(51, 20, l));
  EXPECT_FALSE(PointInMapRect(50, 41, r));

  // Two 512 MiB neighbours on a 2 TiB disk, both within one pixel: both are drawn, on the
  // map, the second not before the first.
  geometry.TotalSectors = 0xFFFFFFFF;
  const TPhysicalDrv large(0x80, geometry);
  TPartition first, second;
  first.Entry.RelativeSector = 0x40000000;
  first.Entry.TotalSectors = 1048576;
  second.Entry.RelativeSector = 0x40000000 + 1048576;
  second.Entry.TotalSectors = 1048576;
  const TRect a = GetMapRect(large, first, 1000, 40), b = GetMapRect(large, second, 1000, 40);
  EXPECT_GE(a.Right - a.Left, kMinMapBoxPixels);
  EXPECT_GE(b.Right - b.Left, kMinMapBoxPixels);
  EXPECT_LE(a.Left, b.Left);
  EXPECT_LE(a.Right, b.Right);
  EXPECT_LE(b.Right, 1000);
}

}  // namespace
}  // namespace qm::ui::test
