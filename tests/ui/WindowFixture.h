#pragma once
// Opens the main window on disk images made at test time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/CloneTarget.h"
#include "ui/Hexview.h"
#include "ui/Preview.h"
#include "ui/Rebuild.h"
#include "ui/Scanconfig.h"
#include "ui/main.h"

namespace qm::ui::test {

using qm::test::ScriptedHost;

// Processes events until `done` holds; false when it still does not after a minute (a guard
// against a hang, not a measure of speed).
inline bool WaitUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 60000); }

// A gate in front of a source's reads: a read at or beyond the open part waits until the test
// opens the gate further, so that a scan on the worker stands still at a known place. The gate
// opens whole when the test's ScanGate goes, so that no worker is left waiting; with YieldTo it
// also lets reads through once `stop` is set (a disk that answers a stopped scan in time).
class ScanGate {
 public:
  ScanGate() = default;
  ~ScanGate() { OpenAll(); }
  ScanGate(const ScanGate&) = delete;
  ScanGate& operator=(const ScanGate&) = delete;

  void OpenTo(uint64_t end) { state_->end = end; }  // reads that start before byte `end` go through
  void OpenAll() { OpenTo(std::numeric_limits<uint64_t>::max()); }
  void YieldTo(const std::atomic<bool>& stop) { state_->yield = &stop; }
  std::unique_ptr<DriveSource> Source(std::unique_ptr<DriveSource> inner) const {
    return std::make_unique<GatedSource>(std::move(inner), state_);
  }

 private:
  struct State {
    std::atomic<uint64_t> end = std::numeric_limits<uint64_t>::max();
    std::atomic<const std::atomic<bool>*> yield = nullptr;
    bool Yields() const { const std::atomic<bool>* stop = yield; return stop && *stop; }
  };
  struct GatedHandle final : SourceHandle {
    GatedHandle(std::unique_ptr<SourceHandle> i, std::shared_ptr<State> s) : inner(std::move(i)), state(std::move(s)) {}
    ssize_t ReadAt(uint64_t offset, uint8_t* buf, size_t len) override {
      // Nobody signals a move of the gate or the stop flag: both are looked at every millisecond.
      while (offset >= state->end && !state->Yields()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return inner->ReadAt(offset, buf, len);
    }
    ssize_t WriteAt(uint64_t offset, const uint8_t* buf, size_t len) override { return inner->WriteAt(offset, buf, len); }
    bool RereadPartitions() override { return inner->RereadPartitions(); }
    std::unique_ptr<SourceHandle> inner;
    std::shared_ptr<State> state;
  };
  struct GatedSource final : DriveSource {
    GatedSource(std::unique_ptr<DriveSource> i, std::shared_ptr<State> s) : inner(std::move(i)), state(std::move(s)) {}
    const std::string& Path() const override { return inner->Path(); }
    bool IsBlockDevice() const override { return false; }
    std::unique_ptr<SourceHandle> Open(AccessMode mode, int& error) override {
      auto handle = inner->Open(mode, error);
      return handle ? std::make_unique<GatedHandle>(std::move(handle), state) : nullptr;
    }
    bool QueryGeometry(TDriveGeometry& geometry, int& error) override { return inner->QueryGeometry(geometry, error); }
    std::unique_ptr<DriveSource> inner;
    std::shared_ptr<State> state;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The demo disk, shared by the tests that do not write.
inline const std::string& DemoImage() {
  static const std::string path = qm::test::DemoImage("ui-demo.img");
  return path;
}

class WindowTest : public ::testing::Test {
 protected:
  std::unique_ptr<TfrmMain> window;

  // The window on `images`, once the background search of their drives has ended (unless
  // the test wants to see it running).
  TfrmMain& Open(const std::vector<std::string>& images, bool settled = true) {
    window = std::make_unique<TfrmMain>(images, qm::test::TestHost());
    window->resize(1100, 720);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    if (settled) { EXPECT_TRUE(WaitUntil([this] { return !window->SearchingInBackground(); })); }
    return *window;
  }

  // A drive read from `source` (its tables only: no scan and no search has run on it), added
  // to the window's drives and chosen.
  TPhysicalDrv& AddDrive(std::unique_ptr<DriveSource> source) {
    window->PhysicalDrives->Drives.push_back(qm::test::ReadDrive(std::move(source)));
    window->FormShow();
    ChooseDrive(window->ListBox1->count() - 1);
    return *window->CurrentDrive;
  }

  // Runs the scan over `megabytes` [first, end) of the current drive as the dialog's OK would,
  // and waits for its end unless told not to.
  void RunScan(int firstMb, int endMb, bool quick = false, bool wait = true) {
    window->ShowScanConfig = [=](TfrmScanConfig& dialog) {
      dialog.Edit1->setText(QString::number(firstMb));
      dialog.Edit2->setText(QString::number(endMb));
      (quick ? dialog.rbQuickSearch : dialog.rbFullScan)->setChecked(true);
      dialog.Button1Click();
      return dialog.result() == QDialog::Accepted;
    };
    window->ScanExecute();
    if (wait) { ASSERT_TRUE(WaitUntil([this] { return !window->ScanRunning(); })); }
  }

  // The window on one image, its drive chosen.
  TfrmMain& OpenChosen(const std::string& image = DemoImage()) {
    Open({image});
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
