#pragma once
// Opens the main window on disk images made at test time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "support/Fixtures.h"
#include "ui/main.h"

namespace qm::ui::test {

// The demo disk: FAT32 primary (active), a lost FAT16 63 sectors into the gap after it, an
// extended partition with a FAT16 and an NTFS logical drive, and a lost NTFS volume 4096
// sectors into the gap after the extended partition.
inline const std::string& DemoImage() {
  static const std::string path = [] {
    const std::string p = qm::test::ProcessFixtureDir() + "/ui-demo.img";
    std::string log;
    const int rc = qm::test::RunCommand(std::string(QM_SOURCE_DIR) + "/tools/demo-image " + qm::test::ShellQuote(p) + " 2>&1", &log);
    EXPECT_EQ(rc, 0) << log;
    return p;
  }();
  return path;
}

// Two primaries without an extended partition: an active FAT16 and a hidden FAT32 (0x1B).
inline std::string PlainImage(const std::string& name = "ui-plain.img") {
  return qm::test::MakeImage(name, "64M",
                             "table 'label: dos\\nunit: sectors\\n2048,40960,6,*\\n43008,70000,1b' "
                             "fs 1 fat16 PLAIN fs 2 fat32 HIDDEN");
}

// A fresh copy of an image, for tests that write.
inline std::string CopyOf(const std::string& image, const std::string& name) {
  const std::string copy = qm::test::ProcessFixtureDir() + "/" + name;
  EXPECT_EQ(qm::test::RunCommand("cp --sparse=always " + qm::test::ShellQuote(image) + " " + qm::test::ShellQuote(copy)), 0);
  return copy;
}

class WindowTest : public ::testing::Test {
 protected:
  qm::test::DriveRegistryScope registry;
  std::unique_ptr<TfrmMain> window;

  TfrmMain& Open(const std::vector<std::string>& images) {
    for (const std::string& image : images) registry.AttachImage(image);
    window = std::make_unique<TfrmMain>();
    window->resize(1100, 720);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return *window;
  }

  void ChooseDrive(int index) {
    window->ListBox1->setCurrentRow(index);  // the drive list's click
    QApplication::processEvents();
  }

  QPoint RowCentre(int row) {
    return window->ListView1->visualItemRect(window->ListView1->topLevelItem(row)).center();
  }
  void ClickRow(int row) { QTest::mouseClick(window->ListView1->viewport(), Qt::LeftButton, {}, RowCentre(row)); }
  QString Cell(int row, int column) { return window->ListView1->topLevelItem(row)->text(column); }
  int RowWithLba(uint64_t lba) {
    for (int i = 0; i < window->ListView1->topLevelItemCount(); ++i)
      if (Cell(i, 3) == QString::number(lba)) return i;
    return -1;
  }
  TPartition* Record(int row) { return window->RowRecord(row); }
};

}  // namespace qm::ui::test
