// The Clone action: its dialog lists the machine's volumes and an image file; the capacity check.
#include <QToolButton>

#include "WindowFixture.h"
#include "cli/CliRun.h"
#include "disk/Machine.h"
#include "model/Enumeration.h"
#include "support/ScriptedHost.h"
#include "ui/CloneTarget.h"

namespace qm::ui::test {
namespace {

constexpr uint64_t kLostFat = 84031;

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
  const uint64_t size = Record(row)->Entry.TotalSectors;
  const std::string out = qm::test::FreshPath("ui-clone.img");
  Choose(1);
  w.AskCloneFile = [&] { return QString::fromStdString(out); };
  qm::test::ScriptedHost host{MsgAnswer::Ok};
  w.Clone->trigger();

  EXPECT_EQ(rows.size(), static_cast<qsizetype>(w.PhysicalDrives->LogicalDrives.size() + 1));
  EXPECT_EQ(rows.front(), QStringLiteral("/dev/qm-test1  (9.77 GB)  DATA"));
  EXPECT_EQ(rows.back(), QStringLiteral("Copy to image file..."));
  ASSERT_EQ(host.Captions(), (std::vector<std::string>{"Clone", "Clone completed"}));
  EXPECT_TRUE(qm::test::ReadFileBytes(out, 0, size * 512) == qm::test::ReadFileBytes(DemoImage(), kLostFat * 512, size * 512));
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
    qm::test::ScriptedHost host{MsgAnswer::Cancel};
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
