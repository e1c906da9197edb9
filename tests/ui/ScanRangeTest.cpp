// The scan range dialog: how it applies the range arithmetic to its fields and track bars.
#include <gtest/gtest.h>

#include "support/ScriptedHost.h"
#include "ui/Scanconfig.h"

namespace qm::ui {
namespace {

TPartition Region(uint32_t sectors) {
  TPartition p;
  p.Entry.TotalSectors = sectors;
  return p;
}

TEST(ScanConfigDialogTest, RadioButtonsSwitchTheRegionAndPullPositionsDown) {
  TPartition disk = Region(1000000);
  TfrmScanConfig without(&disk, nullptr);
  EXPECT_FALSE(without.rbCurrentPartition->isEnabled());
  EXPECT_TRUE(without.rbEntireDisk->isChecked());
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
  dialog.rbEntireDisk->click();
  EXPECT_EQ(dialog.RangePart, &disk);
}

TEST(ScanConfigDialogTest, OkReadsTheFieldsAndRefusesWhatIsNoRange) {
  TPartition disk = Region(1000000);
  TfrmScanConfig dialog(&disk, nullptr);
  dialog.SetRange(&disk);
  test::ScriptedHost host;
  const struct {
    const char *start, *end, *message;
  } refused[] = {{"600", "700", "Sector range exceeded the limit."}, {"0", "0", nullptr}, {"99999999999", "1", "99999999999"}};
  for (const auto& c : refused) {
    host.messages.clear();
    dialog.Edit1->setText(QString::fromLatin1(c.start));
    dialog.Edit2->setText(QString::fromLatin1(c.end));
    dialog.Button1Click();
    EXPECT_NE(dialog.result(), QDialog::Accepted) << c.start;
    EXPECT_EQ(dialog.Edit1->text(), QString::fromLatin1(c.start));  // values stay for correction
    ASSERT_EQ(host.messages.size(), c.message ? 1u : 0u) << c.start;
    if (c.message) {
      EXPECT_NE(host.messages[0].text.find(c.message), std::string::npos);
    }
  }
  dialog.TrackBar1->setValue(5);
  dialog.Edit1->setText(QStringLiteral("2"));  // typed after the track bar moved
  dialog.Edit2->setText(QStringLiteral("4"));
  dialog.Button1Click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.StartSector, 2 * 2048);
  EXPECT_EQ(dialog.SectorCount, 2 * 2048);
}

}  // namespace
}  // namespace qm::ui
