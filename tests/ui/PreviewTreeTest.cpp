// The preview as a tree: folders open on demand, deleted entries are marked, and the files
// and folders chosen are copied on a worker thread.
#include <QSettings>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/TreeImage.h"
#include "ui/Preview.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

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

class PreviewTreeTest : public WindowTest {
 protected:
  // The window on a tree image of `kind`, its lost volume chosen; false when none was made.
  bool ChooseLostVolume(const char* kind, qm::test::TreeImage& image) {
    if (!qm::test::MakeTreeImage(kind, image)) return false;
    Open({image.Image});
    ChooseDrive(0);
    const int row = RowWithLba(image.Start);
    EXPECT_GE(row, 0) << "the lost volume was not found";
    if (row < 0) return false;
    ClickRow(row);
    return true;
  }
};

TEST_F(PreviewTreeTest, FoldersOpenOnDemandAndTheChosenOnesAreCopied) {
  qm::test::TreeImage image;
  if (!ChooseLostVolume("fat32", image)) return;
  const std::string out = qm::test::FreshPath("preview-copy");
  std::filesystem::create_directories(out);
  QString summary;
  bool ran = false;
  window->ShowPreview = [&](TfrmPreview& dialog) {
    ran = true;
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(539, 339));
    EXPECT_NE(dialog.minimumSize(), dialog.maximumSize()) << "the preview is resizable";
    QTreeWidget* list = dialog.lstPreview;
    QTreeWidgetItem* root = list->invisibleRootItem();
    QTreeWidgetItem* docs = Child(root, "docs");
    QTreeWidgetItem* big = Child(root, "BIG.BIN");  // the short name as the root list shows it
    ASSERT_TRUE(docs && big);
    const QString longName = "a long file name that goes well past the eight dot three limit of older file systems.txt";
    ASSERT_TRUE(Child(root, longName));
    EXPECT_EQ(Child(root, longName)->toolTip(0), longName);
    // The deleted file is listed, marked.
    QTreeWidgetItem* gone = Child(root, "?ONE.TXT");
    ASSERT_TRUE(gone);
    EXPECT_TRUE(gone->font(0).italic());

    EXPECT_EQ(docs->childCount(), 0);
    docs->setExpanded(true);  // loads the folder
    QTreeWidgetItem* deep = Child(docs, "deep");
    ASSERT_TRUE(deep && Child(docs, "readme.txt"));
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
    dialog.close();
  };
  window->Preview->trigger();
  ASSERT_TRUE(ran);
  EXPECT_TRUE(summary.startsWith("Copied 3 files (312214 bytes), 4 folders")) << summary.toStdString();
  EXPECT_TRUE(FileText(out + "/docs/deep/a/b/c.bin") == FileText(image.Tree + "/docs/deep/a/b/c.bin"));
  EXPECT_EQ(FileText(out + "/docs/readme.txt"), "read me first\n");
  EXPECT_TRUE(FileText(out + "/big.bin") == FileText(image.Tree + "/big.bin"));
  EXPECT_EQ(QSettings().value(TfrmPreview::kSizeKey).toSize(), QSize(700, 400));
  QSettings().remove(TfrmPreview::kSizeKey);
}

// A Linux volume has no root reader of its own: the folder tree gives the root too.
TEST_F(PreviewTreeTest, AnExtVolumeShowsItsRootFromTheFolderTree) {
  qm::test::TreeImage image;
  if (!ChooseLostVolume("ext4", image)) return;
  bool ran = false;
  window->ShowPreview = [&](TfrmPreview& dialog) {
    ran = true;
    dialog.show();
    QTreeWidgetItem* root = dialog.lstPreview->invisibleRootItem();
    QTreeWidgetItem* docs = Child(root, "docs");
    ASSERT_TRUE(docs && Child(root, "link") && Child(root, "huge.bin"));
    EXPECT_EQ(Child(root, "huge.bin")->text(2), "4294975488");
    ASSERT_TRUE(Child(root, "gone.txt"));
    EXPECT_TRUE(Child(root, "gone.txt")->font(0).italic());
    docs->setExpanded(true);
    EXPECT_TRUE(Child(docs, "readme.txt"));
    Child(docs, "readme.txt")->setSelected(true);
    EXPECT_TRUE(dialog.btnCopy->isEnabled());
    dialog.close();
  };
  window->Preview->trigger();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace qm::ui::test
