// The scan range dialog: its arithmetic, and how the dialog applies it.
#include <gtest/gtest.h>

#include "support/ScriptedHost.h"
#include "ui/ScanRange.h"
#include "ui/Scanconfig.h"

namespace qm::ui {
namespace {

TEST(ScanTrackScaleTest, RoundsTheRegionUpToWholeMegabytes) {
  const TTrackScale scale = ScanTrackScale(1000000);
  EXPECT_EQ(scale.Max, 489);
  EXPECT_EQ(scale.TickFrequency, 12);
  EXPECT_EQ(scale.PageSize, 12);
  EXPECT_EQ(scale.EndCaption, " End (Max. 489 MB) ");
  EXPECT_EQ(ScanTrackScale(2048).Max, 1);
  EXPECT_EQ(ScanTrackScale(2049).Max, 2);
  EXPECT_EQ(ScanTrackScale(0).Max, 0);
}

TEST(ScanTrackScaleTest, SmallRegionsTickEveryMegabyte) {
  for (uint32_t sectors : {0u, 2048u, 39u * 2048u, 40u * 2048u - 1u}) {
    const TTrackScale scale = ScanTrackScale(sectors);
    EXPECT_EQ(scale.TickFrequency, 1) << sectors;
    EXPECT_EQ(scale.PageSize, 1) << sectors;
  }
  EXPECT_EQ(ScanTrackScale(80 * 2048).TickFrequency, 2);
}

TEST(ScanTrackScaleTest, LargestDiskFitsTheTrackBar) {
  const TTrackScale scale = ScanTrackScale(0xFFFFFFFFu);
  EXPECT_EQ(scale.Max, 2097152);
  EXPECT_EQ(scale.TickFrequency, 52428);
}

TEST(ComputeScanRangeTest, EndsInEitherOrder) {
  TScanRange r = ComputeScanRange("100", "50", 0xFFFFFFFFu);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(r.StartSector, 102400);
  EXPECT_EQ(r.SectorCount, 102400);
  r = ComputeScanRange("50", "100", 0xFFFFFFFFu);
  EXPECT_EQ(r.StartSector, 102400);
  EXPECT_EQ(r.SectorCount, 102400);
}

TEST(ComputeScanRangeTest, EndBeyondTheRegionIsCutAtItsEnd) {
  const TScanRange r = ComputeScanRange("0", "600", 1000000);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(r.StartSector, 0);
  EXPECT_EQ(r.SectorCount, 1000000);
}

TEST(ComputeScanRangeTest, StartBeyondTheRegionRunsFromTheEndValueToTheRegionEnd) {
  const TScanRange r = ComputeScanRange("600", "100", 1000000);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(r.StartSector, 204800);
  EXPECT_EQ(r.SectorCount, 1000000 - 204800);
}

TEST(ComputeScanRangeTest, BothEndsBeyondTheRegionExceedTheLimit) {
  EXPECT_EQ(ComputeScanRange("600", "700", 1000000).Verdict, ScanRangeVerdict::Exceeded);
  // An end exactly at the region's size lies beyond its last sector.
  EXPECT_EQ(ComputeScanRange("1", "1", 2048).Verdict, ScanRangeVerdict::Exceeded);
  EXPECT_EQ(ComputeScanRange("0", "1", 2048).Verdict, ScanRangeVerdict::Ok);
}

TEST(ComputeScanRangeTest, EmptyRangesDoNothing) {
  EXPECT_EQ(ComputeScanRange("0", "0", 1000000).Verdict, ScanRangeVerdict::Empty);
  EXPECT_EQ(ComputeScanRange("0", "", 1000000).Verdict, ScanRangeVerdict::Empty);
  EXPECT_EQ(ComputeScanRange("  ", " \t", 1000000).Verdict, ScanRangeVerdict::Empty);
  EXPECT_EQ(ComputeScanRange("7", "7", 1000000).Verdict, ScanRangeVerdict::Empty);
  // A blank start counts as 0.
  const TScanRange r = ComputeScanRange("", "3", 1000000);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(r.StartSector, 0);
  EXPECT_EQ(r.SectorCount, 3 * 2048);
}

TEST(ComputeScanRangeTest, ValuesAboveTwoTebibytesOfSectorsStayPositive) {
  // 1,048,576 MB is 2^31 sectors: a 32-bit product would turn negative there.
  const TScanRange r = ComputeScanRange("1048577", "2000000", 0xFFFFFFFFu);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(r.StartSector, int64_t{1048577} * 2048);
  EXPECT_EQ(r.SectorCount, int64_t{2000000 - 1048577} * 2048);
  const TScanRange tail = ComputeScanRange("2097151", "2147483647", 0xFFFFFFFFu);
  EXPECT_EQ(tail.Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(tail.StartSector + tail.SectorCount, int64_t{0xFFFFFFFF});
}

TEST(ComputeScanRangeTest, TextThatIsNoNumberIsNamed) {
  TScanRange r = ComputeScanRange("12a", "5", 1000000);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::BadNumber);
  EXPECT_EQ(r.BadText, "12a");
  r = ComputeScanRange("1", "2147483648", 1000000);
  EXPECT_EQ(r.Verdict, ScanRangeVerdict::BadNumber);
  EXPECT_EQ(r.BadText, "2147483648");
  EXPECT_EQ(ComputeScanRange("-1", "5", 1000000).Verdict, ScanRangeVerdict::BadNumber);
  EXPECT_EQ(ComputeScanRange(" 5 ", "0", 1000000).Verdict, ScanRangeVerdict::Ok);
  EXPECT_EQ(ComputeScanRange("1 0", "0", 1000000).Verdict, ScanRangeVerdict::BadNumber);
}

// --- the dialog ---------------------------------------------------------------------------

TPartition Region(uint32_t sectors) {
  TPartition p;
  p.Entry.TotalSectors = sectors;
  return p;
}

TEST(ScanConfigDialogTest, CurrentPartitionNeedsAChosenPartition) {
  TPartition disk = Region(1000000);
  TfrmScanConfig without(&disk, nullptr);
  EXPECT_FALSE(without.rbCurrentPartition->isEnabled());
  EXPECT_TRUE(without.rbEntireDisk->isChecked());
  TPartition part = Region(4096);
  TfrmScanConfig with(&disk, &part);
  EXPECT_TRUE(with.rbCurrentPartition->isEnabled());
}

TEST(ScanConfigDialogTest, RadioButtonsSwitchTheRegionAndPullPositionsDown) {
  TPartition disk = Region(1000000);
  TPartition part = Region(10 * 2048);
  TfrmScanConfig dialog(&disk, &part);
  dialog.SetRange(&disk);
  EXPECT_EQ(dialog.GroupBox2->title(), QStringLiteral(" End (Max. 489 MB) "));
  dialog.TrackBar2->setValue(300);
  EXPECT_EQ(dialog.Edit2->text(), QStringLiteral("300"));
  dialog.rbCurrentPartition->click();
  EXPECT_EQ(dialog.RangePart, &part);
  EXPECT_EQ(dialog.TrackBar2->maximum(), 10);
  EXPECT_EQ(dialog.Edit2->text(), QStringLiteral("10"));  // pulled down to the new maximum
  EXPECT_EQ(dialog.GroupBox2->title(), QStringLiteral(" End (Max. 10 MB) "));
  dialog.rbEntireDisk->click();
  EXPECT_EQ(dialog.RangePart, &disk);
}

TEST(ScanConfigDialogTest, OkReadsTheFieldsNotTheTrackBars) {
  TPartition disk = Region(1000000);
  TfrmScanConfig dialog(&disk, nullptr);
  dialog.SetRange(&disk);
  dialog.TrackBar1->setValue(5);
  dialog.Edit1->setText(QStringLiteral("2"));  // typed after the track bar moved
  dialog.Edit2->setText(QStringLiteral("4"));
  test::ScriptedHost host;
  dialog.Button1Click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.StartSector, 2 * 2048);
  EXPECT_EQ(dialog.SectorCount, 2 * 2048);
  EXPECT_TRUE(host.messages.empty());
}

TEST(ScanConfigDialogTest, RangeBeyondTheRegionIsRefusedWithAMessage) {
  TPartition disk = Region(1000000);
  TfrmScanConfig dialog(&disk, nullptr);
  dialog.SetRange(&disk);
  dialog.Edit1->setText(QStringLiteral("600"));
  dialog.Edit2->setText(QStringLiteral("700"));
  test::ScriptedHost host;
  dialog.Button1Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Sector range exceeded the limit.");
  EXPECT_EQ(host.messages[0].caption, "Error");
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::Ok);
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.Edit1->text(), QStringLiteral("600"));  // values stay for correction

  dialog.Edit1->setText(QStringLiteral("0"));
  dialog.Edit2->setText(QStringLiteral("0"));
  dialog.Button1Click();  // an empty range: silence, the dialog stays open
  EXPECT_EQ(host.messages.size(), 1u);
  EXPECT_NE(dialog.result(), QDialog::Accepted);
}

TEST(ScanConfigDialogTest, PastedTextIsRefusedByName) {
  TPartition disk = Region(1000000);
  TfrmScanConfig dialog(&disk, nullptr);
  dialog.SetRange(&disk);
  dialog.Edit1->setText(QStringLiteral("99999999999"));
  test::ScriptedHost host;
  dialog.Button1Click();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].text.find("99999999999"), std::string::npos);
  EXPECT_NE(dialog.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace qm::ui
