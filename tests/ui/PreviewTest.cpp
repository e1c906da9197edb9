// The Preview action on the demo disk: a listed and a lost partition's root directory in the
// preview window, and the refusal of HPFS partitions.
#include <QRegularExpression>

#include "support/ScriptedHost.h"
#include "ui/Preview.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

class PreviewTest : public WindowTest {
 protected:
  QStringList shown;  // per window: the caption, the headers with widths, then "name|type|size|created"

  // Selects the row that starts at `lba` and runs Preview, noting what the window showed.
  void PreviewRowAt(uint64_t lba) {
    shown.clear();
    window->ShowPreview = [this](TfrmPreview& dialog) {
      dialog.show();  // fills the list
      QTreeWidget* list = dialog.lstPreview;
      shown << dialog.windowTitle();
      for (int c = 0; c < list->columnCount(); ++c)
        shown << list->headerItem()->text(c) + QString::number(list->columnWidth(c));
      for (int r = 0; r < list->topLevelItemCount(); ++r) {
        const QTreeWidgetItem* item = list->topLevelItem(r);
        const bool right = item->textAlignment(2) & Qt::AlignRight;
        shown << QStringList{item->text(0), item->text(1), item->text(2) + (right ? "" : "<"), item->text(3)}.join("|");
      }
      dialog.close();
    };
    ClickRow(RowWithLba(lba));
    window->Preview->trigger();
  }
};

TEST_F(PreviewTest, ShowsTheRootOfListedAndLostPartitions) {
  OpenDemo();
  qm::test::ScriptedHost host;
  for (QMenu* menu : {window->mnuDrives, window->PopupMenu1}) EXPECT_TRUE(menu->actions().contains(window->Preview));
  EXPECT_TRUE(window->ToolBar1->actions().contains(window->Preview));
  PreviewRowAt(2048);  // the FAT32 primary
  ASSERT_EQ(shown.size(), 7) << shown.join("\n").toStdString();
  EXPECT_EQ(shown.mid(0, 5), (QStringList{"View Root Directory", "File Name130", "Type130", "Size100", "Created130"}));
  EXPECT_TRUE(shown[5].startsWith("CONFIG.TXT|")) << shown[5].toStdString();
  EXPECT_TRUE(shown[6].contains(QRegularExpression("^README\\.TXT\\|[^|]+\\|69\\|\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d [AP]M$")))
      << shown[6].toStdString();
  PreviewRowAt(84031);  // the lost FAT16 volume
  ASSERT_EQ(shown.size(), 6) << shown.join("\n").toStdString();
  EXPECT_TRUE(shown[5].startsWith("Lost.txt|")) << shown[5].toStdString();
  EXPECT_TRUE(host.messages.empty());
  EXPECT_FALSE(window->CurrentDrive->Scanning);
}

TEST_F(PreviewTest, RefusesHpfsPartitions) {
  OpenDemo();
  qm::test::ScriptedHost host;
  Record(RowWithLba(84031))->FsKind = fkHpfs;
  PreviewRowAt(84031);
  EXPECT_TRUE(shown.empty());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Cannot preview HPFS partitions now. We'll add this\rfeature to Quillmark in future.");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Information);
}

}  // namespace
}  // namespace qm::ui::test
