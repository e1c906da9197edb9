// The partition list as the window shows it: rows, cells, colours and the selection guard.
#include <QTest>

#include "support/ScriptedHost.h"
#include "ui/Colors.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

// The existing rows the list should show: every record after Root except the links inside the
// chain of extended boot records.
int ExistingRecords(const TPhysicalDrv& drive) {
  int n = 0;
  for (size_t i = 1; i < drive.AllPartitions.size(); ++i)
    if (!IsNestedExtended(drive, *drive.AllPartitions[i])) ++n;
  return n;
}

class PartitionListTest : public WindowTest {
 protected:
  // Checks the row layout of the list against the drive's records.
  void ExpectRowLayout() {
    TfrmMain& w = *window;
    const TPhysicalDrv& drive = *w.CurrentDrive;
    const int k = ExistingRecords(drive);
    EXPECT_EQ(k, static_cast<int>(drive.PartitionCount) + (drive.ExtendedBase > 0 ? 1 : 0));
    ASSERT_EQ(w.ListView1->topLevelItemCount(), k + 3 + static_cast<int>(drive.LostPartitions.size()));
    EXPECT_EQ(Cell(0, 0), QStringLiteral("Partitions"));
    EXPECT_EQ(Record(0), nullptr);
    for (int row = 1; row <= k; ++row) EXPECT_NE(Record(row), nullptr) << row;
    EXPECT_EQ(Cell(k + 1, 0), QString());
    EXPECT_EQ(Record(k + 1), nullptr);
    EXPECT_EQ(Cell(k + 2, 0), QStringLiteral("Lost Partitions"));
    EXPECT_EQ(w.FirstLostRow, k + 3);
    for (int row = 0; row < w.ListView1->topLevelItemCount(); ++row) {
      const bool group = row == 0 || row == k + 2;
      EXPECT_EQ(w.ListView1->topLevelItem(row)->background(0).color(), WinColor(group ? 0xD0FFFF : 0xFFFFFF)) << row;
    }
  }

  // Clicks every row that may not be chosen and checks that the selection stays on `kept`.
  void ExpectRefusedRowsKeepSelection(int kept) {
    const int k = window->FirstLostRow - 3;
    for (int refused : {0, k + 1, k + 2}) {
      ClickRow(refused);
      EXPECT_EQ(window->ListView1->SelectedRow(), kept) << "after clicking row " << refused;
      EXPECT_NE(window->ListView1->currentIndex().row(), refused);
    }
  }
};

// The cell texts themselves are the core's; here: the rows the window shows for a drive with
// and without an extended partition, and the panels around the list.
TEST_F(PartitionListTest, RowsOfDrivesWithAndWithoutExtendedPartition) {
  TfrmMain& w = Open({PlainImage(), DemoImage()});
  EXPECT_EQ(w.CurrentDrive, nullptr);
  EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);
  EXPECT_EQ(w.Panel8->text(), QStringLiteral(" Physical Drive - None"));
  ChooseDrive(0);
  ASSERT_NE(w.CurrentDrive, nullptr);
  EXPECT_EQ(w.CurrentDrive->ExtendedBase, 0u);
  ExpectRowLayout();
  EXPECT_EQ(w.Panel8->text(), QStringLiteral(" Physical Drive #0 - 64.00 MB"));
  EXPECT_TRUE(w.Label4->text().startsWith(QStringLiteral("Heads\t\t:  255\rCylinders\t:  8\r")));
  EXPECT_EQ(Cell(RowWithLba(2048), 0), QStringLiteral("1 - [Active]"));
  EXPECT_EQ(Cell(RowWithLba(43008), 2), QStringLiteral("FAT32 - [Hidden]"));

  ChooseDrive(1);
  ASSERT_GT(w.CurrentDrive->ExtendedBase, 0u);
  ExpectRowLayout();
  const int logical = RowWithLba(161792);
  EXPECT_EQ(Cell(logical, 0), QStringLiteral("    ") + QString::number(logical));
  EXPECT_EQ(Cell(logical, 1), QStringLiteral("ARCHIVE"));
  // The quick scan of the gaps found the FAT16 volume 63 sectors into the first gap.
  EXPECT_EQ(RowWithLba(84031), w.FirstLostRow);
}

TEST_F(PartitionListTest, GroupAndEmptyRowsCannotBeChosen) {
  TfrmMain& w = OpenDemo();
  ClickRow(1);
  ASSERT_EQ(w.ListView1->SelectedRow(), 1);
  ExpectRefusedRowsKeepSelection(1);

  // Arrow keys stop at the edges of the groups.
  w.ListView1->setFocus();
  QTest::keyClick(w.ListView1, Qt::Key_Up);
  EXPECT_EQ(w.ListView1->SelectedRow(), 1);
  const int lastExisting = w.FirstLostRow - 3;
  ClickRow(lastExisting);
  QTest::keyClick(w.ListView1, Qt::Key_Down);
  EXPECT_EQ(w.ListView1->SelectedRow(), lastExisting);

  ClickRow(w.FirstLostRow);
  EXPECT_EQ(w.ListView1->SelectedRow(), w.FirstLostRow);
  ExpectRefusedRowsKeepSelection(w.FirstLostRow);
  QTest::keyClick(w.ListView1, Qt::Key_Up);
  EXPECT_EQ(w.ListView1->SelectedRow(), w.FirstLostRow);
}

TEST_F(PartitionListTest, NothingCanBeChosenDuringAScan) {
  TfrmMain& w = OpenDemo();
  ClickRow(2);
  ASSERT_EQ(w.ListView1->SelectedRow(), 2);
  w.CurrentDrive->Scanning = true;
  ClickRow(3);
  EXPECT_EQ(w.ListView1->SelectedRow(), 2);
  ClickRow(w.FirstLostRow);
  EXPECT_EQ(w.ListView1->SelectedRow(), 2);
  w.ListView1->setCurrentItem(w.ListView1->topLevelItem(1));
  EXPECT_EQ(w.ListView1->SelectedRow(), 2);
  w.ListView1->clearSelection();
  EXPECT_EQ(w.ListView1->SelectedRow(), 2);
  w.CurrentDrive->Scanning = false;
  ClickRow(3);
  EXPECT_EQ(w.ListView1->SelectedRow(), 3);
}

TEST_F(PartitionListTest, ClicksChooseExistingAndLostPartitions) {
  TfrmMain& w = OpenDemo();
  const int primary = RowWithLba(2048);
  ClickRow(primary);
  EXPECT_EQ(w.SelectedPartition, Record(primary));
  EXPECT_EQ(w.SelectedLost, nullptr);

  ClickRow(w.FirstLostRow);
  EXPECT_EQ(w.SelectedLost, Record(w.FirstLostRow));
  EXPECT_EQ(w.SelectedPartition, Record(primary));  // the existing choice stays
  EXPECT_EQ(w.Label5->text(), QStringLiteral("Boot Sector: OK\nFAT1: OK   FAT2: OK\nRoot Directory: Preview"));

  // A row chosen with the keyboard does not become the chosen partition.
  ClickRow(primary);
  QTest::keyClick(w.ListView1, Qt::Key_Down);
  EXPECT_EQ(w.ListView1->SelectedRow(), primary + 1);
  EXPECT_EQ(w.SelectedPartition, Record(primary));
}

TEST_F(PartitionListTest, ChoosingTheSameDriveAgainKeepsTheSelections) {
  TfrmMain& w = Open({DemoImage(), PlainImage("ui-plain-2.img")});
  ChooseDrive(0);
  ClickRow(1);
  ClickRow(w.FirstLostRow);
  TPartition* chosen = w.SelectedPartition;
  w.ListBox1Click();
  EXPECT_EQ(w.SelectedPartition, chosen);
  EXPECT_NE(w.SelectedLost, nullptr);

  ChooseDrive(1);
  EXPECT_EQ(w.CurrentDrive, w.PhysicalDrives->Drives[1].get());
  EXPECT_EQ(w.SelectedPartition, nullptr);
  EXPECT_EQ(w.SelectedLost, nullptr);
  EXPECT_TRUE(w.Label5->text().isEmpty());
  EXPECT_EQ(w.Panel8->text(), QStringLiteral(" Physical Drive #1 - 64.00 MB"));
}

TEST_F(PartitionListTest, TheInformationBoxNotesAGuidPartitionTable) {
  TfrmMain& w = Open({qm::test::MakeImage("ui-gpt.img", "64M", "table-gpt 'label: gpt\\n2048,20480'"), PlainImage("ui-plain-3.img")});
  ChooseDrive(0);
  EXPECT_TRUE(w.Label4->text().endsWith(
      QStringLiteral("\rCapacity\t:  0.06 G\rThis disk uses a GUID partition table (GPT): its partitions are not "
                     "shown, only the entry that protects them.")))
      << w.Label4->text().toStdString();
  const int grown = w.Label4->height();
  ChooseDrive(1);
  EXPECT_TRUE(w.Label4->text().endsWith(QStringLiteral("\rCapacity\t:  0.06 G")));
  EXPECT_LT(w.Label4->height(), grown);  // the box grew for the note and shrinks without it
}

}  // namespace
}  // namespace qm::ui::test
