// The two disk maps: rectangles, the hit test at shared boundaries, highlighting.
#include <QTest>

#include "ui/Colors.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

class DiskMapTest : public WindowTest {
 protected:
  std::vector<TPartition*> Drawn() {
    std::vector<TPartition*> out;
    const TPhysicalDrv& drive = *window->CurrentDrive;
    for (size_t i = 1; i < drive.AllPartitions.size(); ++i)
      if (!drive.AllPartitions[i]->IsExtended()) out.push_back(drive.AllPartitions[i]);
    return out;
  }
  TPartition* AtStart(uint64_t lba) {
    for (TPartition* p : window->CurrentDrive->AllPartitions)
      if (p->AbsoluteStart() == lba && p != &window->CurrentDrive->Root) return p;
    return nullptr;
  }
  void ClickMap(QPoint at) { QTest::mouseClick(window->PaintBox1, Qt::LeftButton, {}, at); }
  QColor FramePixel(const QImage& map, const TPartition& p) {
    return map.pixelColor(p.MapRect.Left + 1, map.height() / 2);
  }
};

TEST_F(DiskMapTest, ClickOnASharedBoundaryChoosesTheEarlierRecord) {
  TfrmMain& w = OpenDemo();
  TPartition* primary = AtStart(2048);
  TPartition* gap = AtStart(83968);
  const int boundary = primary->MapRect.Right;
  ClickMap(QPoint(boundary, 10));
  EXPECT_EQ(w.SelectedPartition, primary);
  EXPECT_EQ(w.RowRecord(w.ListView1->SelectedRow()), primary);
  EXPECT_TRUE(w.ListView1->hasFocus());

  ClickMap(QPoint(boundary + 1, 10));
  EXPECT_EQ(w.SelectedPartition, gap);
  EXPECT_EQ(w.RowRecord(w.ListView1->SelectedRow()), gap);
}

TEST_F(DiskMapTest, ChoosingTheExtendedPartitionHighlightsEverythingInside) {
  TfrmMain& w = OpenDemo();
  TPartition* primary = AtStart(2048);
  TPartition* data = AtStart(118784);
  TPartition* archive = AtStart(161792);
  ASSERT_TRUE(primary && data && archive);

  ClickRow(RowWithLba(116736));
  ASSERT_TRUE(w.SelectedPartition && w.SelectedPartition->IsExtended());
  QImage map = w.PaintBox1->grab().toImage();
  EXPECT_EQ(FramePixel(map, *data), WinColor(clMapHighlight));
  EXPECT_EQ(FramePixel(map, *archive), WinColor(clMapHighlight));
  EXPECT_EQ(FramePixel(map, *primary), WinColor(clMapFrame));

  ClickRow(RowWithLba(118784));
  map = w.PaintBox1->grab().toImage();
  EXPECT_EQ(FramePixel(map, *data), WinColor(clMapHighlight));
  EXPECT_EQ(FramePixel(map, *archive), WinColor(clMapFrame));
}

TEST_F(DiskMapTest, LowerMapShowsTheLostPartitionClickedLast) {
  TfrmMain& w = OpenDemo();
  QImage before = w.PaintBox2->grab().toImage();
  ClickRow(w.FirstLostRow);
  ASSERT_NE(w.SelectedLost, nullptr);
  const TRect r = GetMapRect(*w.CurrentDrive, *w.SelectedLost, w.PaintBox2->width(), w.PaintBox2->height());
  QImage after = w.PaintBox2->grab().toImage();
  EXPECT_EQ(before.pixelColor(r.Left + 1, after.height() / 2), QColor(Qt::white));
  EXPECT_EQ(after.pixelColor(r.Left + 1, after.height() / 2), WinColor(clMapHighlight));
  EXPECT_EQ(w.SelectedLost->MapRect.Right, 0);  // the lost record's rectangle is not stored
}

}  // namespace
}  // namespace qm::ui::test
