// The window as a keyboard user meets it: moves across the partition list's group rows, a
// recovery by keys alone, and the sector viewer's keys and wheel; texts shown whole, and the
// boxes of the disk map.
#include <QMenu>
#include <QScrollBar>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "WindowFixture.h"
#include "model/CheckReport.h"
#include "model/PartitionRows.h"
#include "ui/QtHost.h"

namespace qm::ui::test {
namespace {

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

// Keys alone reach every row and recover a lost partition; Recover asks before it writes.
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

  const int last = w.ListView1->topLevelItemCount() - 1, lost = w.FirstLostRow, lastListed = lost - 3;
  ASSERT_EQ(RowWithLba(kLostFat16), lost);
  ASSERT_EQ(last, lost + 1);  // the NTFS volume behind the extended partition
  const struct { int key, row; } moves[] = {
      {Qt::Key_Up, 1},    {Qt::Key_End, last},      {Qt::Key_Down, last}, {Qt::Key_Home, 1},   {Qt::Key_PageDown, last},
      {Qt::Key_Up, lost}, {Qt::Key_Up, lastListed}, {Qt::Key_Down, lost}, {Qt::Key_PageUp, 1}, {Qt::Key_End, last},
      {Qt::Key_Up, lost}};
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
  EXPECT_EQ(yes.messages[0].text.rfind("You are recovering partition. The partition table sectors it changes are saved first;", 0), 0u);
  EXPECT_EQ(yes.messages[0].caption, "Recovering");
  EXPECT_EQ(yes.messages[0].buttons, MsgButtons::YesNo);
  const int recovered = RowWithLba(kLostFat16);
  ASSERT_GT(recovered, 0);
  EXPECT_LT(recovered, w.FirstLostRow);
  const std::vector<TMapBox> boxes = w.LayoutDiskMap();
  const auto box = std::find_if(boxes.begin(), boxes.end(), [&](const TMapBox& b) { return b.Record == Record(recovered); });
  ASSERT_NE(box, boxes.end());
  EXPECT_GT(box->Rect.Right, box->Rect.Left);  // a box on the map
}

// A disk of more than 2^31 sectors (a sparse file) in the sector viewer: keys and wheel scroll
// the sector, and the last sector can be chosen; a larger number is cut to it.
TEST(SectorViewerTest, ScrollsAndReachesTheLastSectorOfAHugeDisk) {
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

// Texts that decide a repair are shown whole: the check report of a lost volume that
// overlaps a hidden partition, the file-system column, the map and the clone dialog's note.
TEST_F(KeyboardAndDisplayTest, TextsThatDecideARepairAreShownWhole) {
  QM_IMAGE(image, "ui-texts.img", "128M",
           "table 'label: dos\\nunit: sectors\\n2048,100000,6\\n110592,40960,7' fs 1 fat16 DATA fs 2 ntfs LOSTNTFS "
           "table 'label: dos\\nunit: sectors\\n2048,100000,16\\n140000,60000,6'");
  TfrmMain& w = OpenChosen(image);
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
TEST(DiskMapTest, BoxesAreTheRecordsShareAndStayOnTheMap) {
  const struct { uint32_t diskSectors; uint64_t base; uint32_t start, size; int left, right; } cases[] = {
      {100000, 0, 30063, 10000, 301, 401},  // 100 sectors a pixel: 300.63 to 400.63
      {100000, 0, 250, 300, 2, 6},          // halves go to the even neighbour
      {100000, 0, 0, 5000, 0, 50},          // neighbours share their boundary
      {100000, 0, 5000, 5000, 50, 100},
      // A 2 TiB disk, 4.3 million sectors a pixel: partitions of 512 MiB to 1 GiB still get
      // a box of a few pixels, at the start, in the middle and moved in from the right edge;
      // two neighbours within one pixel both get one, the second not before the first.
      {0xFFFFFFFF, 0, 2048, 2097152, 0, 4},
      {0xFFFFFFFF, 0x80000000, 0, 1048576, 500, 504},
      {0xFFFFFFFF, 0, 0xFFFFFFFF - 1048576, 1048576, 996, 1000},
      {0xFFFFFFFF, 0, 0x40000000, 1048576, 250, 254},
      {0xFFFFFFFF, 0, 0x40000000 + 1048576, 1048576, 250, 254},
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
    record.Entry = {.RelativeSector = c.start, .TotalSectors = c.size};
    const TRect r = GetMapRect(drive, record, 1000, 40);
    EXPECT_EQ(std::vector<int>({r.Left, r.Top, r.Right, r.Bottom}),
              std::vector<int>({c.left, 0, c.right, c.diskSectors ? 40 : 0}))
        << c.start;
  }
  // Every edge belongs to the box: a point on a shared boundary hits both neighbours.
  const struct { int x, y; bool in; } points[] = {{50, 0, true}, {100, 40, true}, {49, 20, false}, {101, 20, false}, {75, -1, false}, {75, 41, false}};
  for (const auto& p : points) EXPECT_EQ(PointInMapRect(p.x, p.y, TRect{50, 0, 100, 40}), p.in) << p.x << "," << p.y;
}

}  // namespace
}  // namespace qm::ui::test
