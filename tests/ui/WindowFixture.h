#pragma once
// Opens the main window on disk images made at test time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/main.h"

namespace qm::ui::test {

// The demo disk, shared by the tests that do not write.
inline const std::string& DemoImage() {
  static const std::string path = qm::test::DemoImage("ui-demo.img");
  return path;
}

class WindowTest : public ::testing::Test {
 protected:
  std::unique_ptr<TfrmMain> window;

  TfrmMain& Open(const std::vector<std::string>& images) {
    window = std::make_unique<TfrmMain>(images, qm::test::TestHost());
    window->resize(1100, 720);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return *window;
  }

  // The demo disk, chosen in the drive list.
  TfrmMain& OpenDemo() {
    Open({DemoImage()});
    ChooseDrive(0);
    return *window;
  }

  void ChooseDrive(int index) {
    window->ListBox1->setCurrentRow(index);  // the drive list's click
    QApplication::processEvents();
  }

  void ClickRow(int row) {
    const QPoint centre = window->ListView1->visualItemRect(window->ListView1->topLevelItem(row)).center();
    QTest::mouseClick(window->ListView1->viewport(), Qt::LeftButton, {}, centre);
  }
  QString Cell(int row, int column) { return window->ListView1->topLevelItem(row)->text(column); }
  int RowWithLba(uint64_t lba) {
    for (int i = 0; i < window->ListView1->topLevelItemCount(); ++i)
      if (Cell(i, 3) == QString::number(lba)) return i;
    return -1;
  }
  TPartition* Record(int row) { return window->RowRecord(row); }
};

}  // namespace qm::ui::test
