// The preview: the root of listed and lost partitions and what it cannot list; as a tree,
// folders open on demand, deleted entries are marked, and the files and folders chosen are
// copied on a worker thread.
#include <QRegularExpression>
#include <QSettings>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "WindowFixture.h"
#include "support/TreeImage.h"

namespace qm::ui::test {
namespace {

constexpr uint64_t kLostFat = 84031;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& name) {
  for (int i = 0; i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == name) return parent->child(i);
  return nullptr;
}

// The root list as shown, a row as "name|type|size|created"; every size is right-aligned.
QStringList RootRows(const TfrmPreview& dialog) {
  QStringList rows;
  for (int r = 0; r < dialog.lstPreview->topLevelItemCount(); ++r) {
    const QTreeWidgetItem* item = dialog.lstPreview->topLevelItem(r);
    EXPECT_TRUE(item->textAlignment(2) & Qt::AlignRight);
    rows << QStringList{item->text(0), item->text(1), item->text(2), item->text(3)}.join("|");
  }
  return rows;
}

class PreviewTest : public WindowTest {
 protected:
  // Chooses the row that starts at `lba` and runs Preview; the window, once shown, goes to
  // `check` and is closed. False when no preview opened.
  bool PreviewRowAt(uint64_t lba, const std::function<void(TfrmPreview&)>& check) {
    const int row = RowWithLba(lba);
    EXPECT_GE(row, 0) << "no row starts at " << lba;
    if (row < 0) return false;
    bool ran = false;
    window->ShowPreview = [&](TfrmPreview& dialog) {
      ran = true;
      dialog.show();  // fills the list
      check(dialog);
      dialog.close();
    };
    ClickRow(row);
    window->Preview->trigger();
    return ran;
  }
};

TEST_F(PreviewTest, ShowsTheRootOfListedAndLostPartitionsAndRefusesWhatItCannotList) {
  OpenChosen();
  ScriptedHost host;
  QStringList shown;
  const auto note = [&](TfrmPreview& dialog) { shown = RootRows(dialog); };
  ASSERT_TRUE(PreviewRowAt(2048, note));  // the FAT32 primary
  ASSERT_EQ(shown.size(), 2) << shown.join("\n").toStdString();
  EXPECT_TRUE(shown[1].contains(QRegularExpression("^README\\.TXT\\|[^|]+\\|69\\|\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d [AP]M$")))
      << shown[1].toStdString();
  ASSERT_TRUE(PreviewRowAt(kLostFat, note));
  ASSERT_EQ(shown.size(), 1) << shown.join("\n").toStdString();
  EXPECT_TRUE(shown[0].startsWith("Lost.txt|")) << shown[0].toStdString();
  EXPECT_TRUE(host.messages.empty());
  EXPECT_FALSE(window->CurrentDrive->Scanning);

  Record(RowWithLba(kLostFat))->FsKind = fkHpfs;
  EXPECT_FALSE(PreviewRowAt(kLostFat, note));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Cannot preview HPFS partitions now. We'll add this\rfeature to Quillmark in future.");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Information);
  // A root that cannot be read is told in one box, and no preview opens.
  Record(RowWithLba(kLostFat))->FsKind = fkLinuxExt2;
  EXPECT_FALSE(PreviewRowAt(kLostFat, note));
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.Captions()[1] + ": " + host.messages[1].text,
            "Root directory: Unrecognized file system or partition has been destroyed.");
}

TEST_F(PreviewTest, FoldersOpenOnDemandAndTheChosenOnesAreCopied) {
  qm::test::TreeImage image;
  if (!qm::test::MakeTreeImage("fat32", image)) return;
  OpenChosen(image.Image);
  const std::string out = qm::test::FreshPath("preview-copy");
  std::filesystem::create_directories(out);
  QString summary;
  ASSERT_TRUE(PreviewRowAt(image.Start, [&](TfrmPreview& dialog) {
    EXPECT_EQ(dialog.size(), QSize(539, 339));
    EXPECT_NE(dialog.minimumSize(), dialog.maximumSize()) << "the preview is resizable";
    QTreeWidgetItem* root = dialog.lstPreview->invisibleRootItem();
    QTreeWidgetItem* docs = Child(root, "docs");
    QTreeWidgetItem* big = Child(root, "BIG.BIN");  // the short name as the root list shows it
    ASSERT_TRUE(docs && big);
    const QString longName = "a long file name that goes well past the eight dot three limit of older file systems.txt";
    ASSERT_TRUE(Child(root, longName));
    EXPECT_EQ(Child(root, longName)->toolTip(0), longName);
    QTreeWidgetItem* gone = Child(root, "?ONE.TXT");  // the deleted file is listed, marked
    ASSERT_TRUE(gone);
    EXPECT_TRUE(gone->font(0).italic());

    EXPECT_EQ(docs->childCount(), 0);
    docs->setExpanded(true);  // loads the folder
    ASSERT_TRUE(Child(docs, "deep") && Child(docs, "readme.txt"));
    EXPECT_EQ(Child(docs, "readme.txt")->text(2), "14");
    EXPECT_FALSE(dialog.btnCopy->isEnabled());

    docs->setSelected(true);
    big->setSelected(true);
    Child(docs, "readme.txt")->setSelected(true);  // inside a chosen folder: copied with it
    ASSERT_TRUE(dialog.btnCopy->isEnabled());
    dialog.AskFolder = [&] { return QString::fromStdString(out); };
    dialog.ShowSummary = [&](const QString& text, bool) { summary = text; };
    dialog.btnCopy->click();
    EXPECT_TRUE(dialog.Copying() || !summary.isEmpty());
    ASSERT_TRUE(WaitUntil([&] { return !summary.isEmpty(); }));
    EXPECT_FALSE(dialog.Copying());
    dialog.resize(700, 400);
  }));
  EXPECT_TRUE(summary.startsWith("Copied 3 files (312214 bytes), 4 folders")) << summary.toStdString();
  EXPECT_TRUE(FileText(out + "/docs/deep/a/b/c.bin") == FileText(image.Tree + "/docs/deep/a/b/c.bin"));
  EXPECT_EQ(FileText(out + "/docs/readme.txt"), "read me first\n");
  EXPECT_TRUE(FileText(out + "/big.bin") == FileText(image.Tree + "/big.bin"));
  EXPECT_EQ(QSettings().value(TfrmPreview::kSizeKey).toSize(), QSize(700, 400));
  QSettings().remove(TfrmPreview::kSizeKey);
}

// A Linux volume has no root reader of its own: the folder tree gives the root too.
TEST_F(PreviewTest, AnExtVolumeShowsItsRootFromTheFolderTree) {
  qm::test::TreeImage image;
  if (!qm::test::MakeTreeImage("ext4", image)) return;
  OpenChosen(image.Image);
  EXPECT_TRUE(PreviewRowAt(image.Start, [&](TfrmPreview& dialog) {
    QTreeWidgetItem* root = dialog.lstPreview->invisibleRootItem();
    QTreeWidgetItem* docs = Child(root, "docs");
    ASSERT_TRUE(docs && Child(root, "link") && Child(root, "huge.bin") && Child(root, "gone.txt"));
    EXPECT_EQ(Child(root, "huge.bin")->text(2), "4294975488");
    EXPECT_TRUE(Child(root, "gone.txt")->font(0).italic());
    docs->setExpanded(true);
    ASSERT_TRUE(Child(docs, "readme.txt"));
    Child(docs, "readme.txt")->setSelected(true);
    EXPECT_TRUE(dialog.btnCopy->isEnabled());
  }));
}

}  // namespace
}  // namespace qm::ui::test
