// The main window's work on its worker thread: the user's scan (every sector of a range, or
// the quick search of it) and the background search of drives whose quick search ran out of
// time when they were opened.
//
// One job runs on the worker at a time, on one drive. While it runs the worker owns that
// drive's model; the window's thread paints from the records its rows point to and from the
// table records, which no scan changes, and reads nothing else of the drive. The job's end is
// posted to the window's thread, which waits for the worker there (it has returned by then)
// and takes the end in: lists the finds, tells a failure, starts what comes next.
//
// The user's scan disables every action that reads or writes the drive until it has ended;
// the sector viewer, About and Help stay usable. The background search gives way instead:
// every action of the user first holds it (a running slice is stopped, keeping its place, and
// waited for), and no slice starts while any action runs, nested dialogs included.
#include <QScrollBar>
#include <algorithm>
#include <cassert>
#include <exception>

#include "scan/Scanner.h"
#include "ui/WorkerHost.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

QString HexName(const TPhysicalDrv& drive) { return QString::fromStdString(DriveHex(drive.DriveNumber)) + 'H'; }

}  // namespace

QString TfrmMain::ScanNote() { return QStringLiteral("Stop ends the scan; other actions wait until it has ended."); }

// --- The user's scan ----------------------------------------------------------------------

void TfrmMain::StartScan(TPartition& region, int64_t startOffset, int64_t count, bool quick) {
  StopSlice();
  if (!DriveReady() || job_ != JobKind::None) return;
  TPhysicalDrv& drive = *CurrentDrive;
  // The user's scan takes the place of the drive's background search.
  std::erase(searchQueue_, &drive);
  if (quick) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (startOffset >= 0 && count > 0) {
      const uint64_t first = region.AbsoluteStart() + static_cast<uint64_t>(startOffset);
      ranges.emplace_back(first, first + static_cast<uint64_t>(count));
    }
    StartQuickSearch(drive, std::move(ranges));
  }

  StatusBarEx1->SetPanelText(0, QStringLiteral(" Scanning ..."));
  StatusBarEx1->SetPanelText(2, QStringLiteral(" ") + ScanNote());
  ProgressBar1->setValue(0);
  ListView1->setCursor(Qt::WaitCursor);
  PaintBox1->setCursor(Qt::WaitCursor);
  ListBox1->setEnabled(false);
  TPartition* range = &region;
  if (quick)
    StartJob(JobKind::Scan, drive,
             [&drive](const ScanProgress& progress) { return ContinueQuickSearch(drive, std::nullopt, progress); });
  else
    StartJob(JobKind::Scan, drive, [&drive, range, startOffset, count](const ScanProgress& progress) {
      return DetectLostPartitions(drive, *range, progress, startOffset, count, false);
    });
  UpdateActions();
}

void TfrmMain::ShowLatestStep() {
  ScanStep step;
  {
    const std::lock_guard<std::mutex> held(stepLock_);
    if (!stepFresh_) return;
    step = latestStep_;
    stepFresh_ = false;
  }
  if (job_ == JobKind::Scan)
    ShowScanStep(step);
  else if (job_ == JobKind::Slice)
    ShowSearchStep(*jobDrive_, step);
}

void TfrmMain::ScanEnded(TPhysicalDrv& drive, const Outcome& outcome) {
  // What follows shows a box: no slice of the background search may start under it.
  const SearchHold hold(*this);
  StatusBarEx1->SetPanelText(0, QString());
  ShowScanStep(ScanStep{});
  ListView1->unsetCursor();
  PaintBox1->unsetCursor();
  ListBox1->setEnabled(true);
  UpdateActions();
  if (&drive == CurrentDrive) RefillPartitionList();
  drive.Io().CloseHandle();
  // The keyboard goes back to the partition list, where the finds are; a box shown below
  // returns it there when it closes.
  ListView1->setFocus(Qt::OtherFocusReason);
  // What was found up to a failure is listed; the box says why the scan ended there.
  if (outcome.failed()) host_.MessageBox(outcome.Text, outcome.Caption, MsgButtons::Ok, outcome.Icon);
  FinishPendingClose();
}

// --- The worker -----------------------------------------------------------------------------

void TfrmMain::StartJob(JobKind kind, TPhysicalDrv& drive, std::function<Outcome(const ScanProgress&)> work) {
  assert(!worker_.joinable());  // the job before was taken in
  job_ = kind;
  jobDrive_ = &drive;
  const unsigned serial = ++jobSerial_;
  drive.StopRequested = false;
  jobStop_ = false;
  {
    const std::lock_guard<std::mutex> held(stepLock_);
    latestStep_ = ScanStep{};
    stepFresh_ = false;
  }
  // The worker's questions are asked on this thread, by the host that answers for the disk.
  jobHost_ = std::make_unique<WorkerHost>(drive.Io().UserHost(), this);
  jobHostScope_ = std::make_unique<UserHostScope>(drive.Io(), *jobHost_);
  // Called on the worker after every block or batch. The scanner clears the drive's Stop when
  // it starts: a Stop that came before is set again here. The step is only kept; the timer
  // shows it.
  ScanProgress progress = [this, &drive](const ScanStep& step) {
    if (jobStop_) drive.StopRequested = true;
    if (step.Total == 0) return;  // the end, which the window's thread shows itself
    const std::lock_guard<std::mutex> held(stepLock_);
    latestStep_ = step;
    stepFresh_ = true;
  };
  try {
    worker_ = std::thread([this, serial, work = std::move(work), progress = std::move(progress)] {
      Outcome ended;
      try {
        ended = work(progress);
      } catch (const std::exception& e) {
        ended = Outcome::Failed(e.what(), "Error");
      } catch (...) {
        ended = Outcome::Failed("Unexpected error.", "Error");
      }
      jobOutcome_ = std::move(ended);
      QMetaObject::invokeMethod(this, [this, serial] { JobEnded(serial); }, Qt::QueuedConnection);
    });
  } catch (...) {  // no thread could be made: nothing runs, and the action says why
    jobHostScope_.reset();
    jobHost_.reset();
    job_ = JobKind::None;
    jobDrive_ = nullptr;
    throw;
  }
  progressTimer_->start();
}

void TfrmMain::JobEnded(unsigned serial) {
  if (serial != jobSerial_ || job_ == JobKind::None) return;  // a hold took this job in already
  FinishJob();
  if (holds_ == 0) BackgroundStep();
}

void TfrmMain::FinishJob() {
  if (job_ == JobKind::None) return;
  worker_.join();
  progressTimer_->stop();
  jobHostScope_.reset();
  jobHost_.reset();
  const JobKind kind = std::exchange(job_, JobKind::None);
  TPhysicalDrv& drive = *std::exchange(jobDrive_, nullptr);
  // A Stop that came after the job had ended must not end the next one.
  drive.StopRequested = false;
  const Outcome ended = std::move(jobOutcome_);
  jobOutcome_ = Outcome{};
  if (kind == JobKind::Scan)
    ScanEnded(drive, ended);
  else
    SliceEnded(drive, ended);
}

void TfrmMain::StopJob() {
  if (job_ == JobKind::None) return;
  jobStop_ = true;
  jobDrive_->StopRequested = true;
}

void TfrmMain::UpdateActions() {
  const bool scanning = ScanRunning();
  for (QAction* action : {Scan, Refresh, OpenImage, Preview, Recover, Clone, Active, Rebuild, Hide, MBR, Backup, Restore,
                          Undo, Redo, Debug})
    action->setEnabled(!scanning);
  // Stop ends what runs: the user's scan, the background search, or an action of the window
  // that lets events in while it works (a clone, the scan in front of a recovery).
  Stop->setEnabled(scanning || SearchingInBackground() || holds_ > 0);
}

// --- The background search ------------------------------------------------------------------

void TfrmMain::QueueUnfinishedSearches() {
  if (!PhysicalDrives) return;
  for (const auto& drive : PhysicalDrives->Drives)
    if (!drive->QuickSearch.Finished() && std::find(searchQueue_.begin(), searchQueue_.end(), drive.get()) == searchQueue_.end())
      searchQueue_.push_back(drive.get());
  if (SearchingInBackground()) searchNote_.clear();
  UpdateActions();
  ScheduleBackgroundStep();
}

void TfrmMain::HoldBackgroundSearch() {
  ++holds_;
  StopSlice();
  UpdateActions();
}

void TfrmMain::ReleaseBackgroundSearch() {
  --holds_;
  UpdateActions();
  // The next slice starts from the event loop, after whatever the released action was part of.
  if (holds_ == 0) ScheduleBackgroundStep();
}

void TfrmMain::StopSlice() {
  if (job_ != JobKind::Slice) return;
  // The slice ends at its next batch and keeps its place; its end is taken in here.
  StopJob();
  FinishJob();
}

void TfrmMain::EndBackgroundSearch() {
  StopSlice();
  const bool current = std::find(searchQueue_.begin(), searchQueue_.end(), CurrentDrive) != searchQueue_.end();
  searchQueue_.clear();
  UpdateActions();
  ShowSearchProgress();
  if (current) ShowDriveInfo();
}

void TfrmMain::StopBackgroundSearch() {
  StopSlice();
  if (!SearchingInBackground()) return;
  const TPhysicalDrv& drive = *searchQueue_.front();
  const TQuickSearch& search = drive.QuickSearch;
  const int percent = search.Total ? static_cast<int>(std::min(search.Done, search.Total) * 100 / search.Total) : 0;
  searchNote_ = QStringLiteral(" Quick search of %1 stopped at %2 %").arg(HexName(drive)).arg(percent);
  EndBackgroundSearch();
}

void TfrmMain::ScheduleBackgroundStep() {
  if (stepPosted_) return;
  stepPosted_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        stepPosted_ = false;
        BackgroundStep();
      },
      Qt::QueuedConnection);
}

void TfrmMain::BackgroundStep() {
  if (holds_ > 0 || enumerating_) return;
  if (listStale_) RefillPartitionList();
  if (job_ != JobKind::None || !SearchingInBackground()) return;
  // A drive whose search was finished meanwhile (a scan of the user's) needs no more.
  while (SearchingInBackground() && searchQueue_.front()->QuickSearch.Finished()) searchQueue_.erase(searchQueue_.begin());
  if (!SearchingInBackground()) {
    UpdateActions();
    ShowSearchProgress();
    return;
  }
  TPhysicalDrv& drive = *searchQueue_.front();
  lostBefore_ = drive.LostPartitions.size();
  StartJob(JobKind::Slice, drive, [&drive](const ScanProgress& progress) {
    return ContinueQuickSearch(drive, QuickSearchClock::now() + kSearchSlice, progress);
  });
}

void TfrmMain::SliceEnded(TPhysicalDrv& drive, const Outcome& outcome) {
  if (drive.LostPartitions.size() != lostBefore_ && &drive == CurrentDrive) listStale_ = true;
  // A slice stopped by a hold keeps its place and goes on later; a failed one ends the
  // search of its drive.
  if (outcome.failed() || drive.QuickSearch.Finished()) {
    if (outcome.failed()) searchNote_ = QStringLiteral(" Quick search of %1 failed").arg(HexName(drive));
    std::erase(searchQueue_, &drive);
    if (&drive == CurrentDrive) ShowDriveInfo();  // its notes tell how the search ended
    drive.Io().CloseHandle();
  }
  UpdateActions();
  ShowSearchProgress();
}

void TfrmMain::ShowSearchProgress() {
  if (job_ != JobKind::None) return;  // the job's own progress stands there
  if (!SearchingInBackground()) {
    StatusBarEx1->SetPanelText(0, QString());
    StatusBarEx1->SetPanelText(2, searchNote_);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    return;
  }
  const TPhysicalDrv& drive = *searchQueue_.front();
  ShowSearchStep(drive, ScanStep{0, drive.QuickSearch.Done, drive.QuickSearch.Total});
}

void TfrmMain::ShowSearchStep(const TPhysicalDrv& drive, const ScanStep& step) {
  const uint64_t done = std::min(step.Done, step.Total);
  const int value = step.Total ? static_cast<int>(done * kScanBarSteps / step.Total) : 0;
  StatusBarEx1->SetPanelText(0, QStringLiteral(" Searching ..."));
  StatusBarEx1->SetPanelText(2, QStringLiteral(" Quick search of %1: %2 %     Stop ends it.")
                                    .arg(HexName(drive))
                                    .arg(value / (kScanBarSteps / 100)));
  if (ProgressBar1->maximum() != kScanBarSteps) ProgressBar1->setRange(0, kScanBarSteps);
  ProgressBar1->setValue(value);
}

void TfrmMain::RefillPartitionList() {
  TPartition* chosen = RowRecord(ListView1->SelectedRow());
  const int scrolled = ListView1->verticalScrollBar()->value();
  FillPartitionList();
  for (int row = 0; chosen && row < static_cast<int>(Rows.size()); ++row) {
    if (Rows[static_cast<size_t>(row)].Record != chosen) continue;
    ListView1->setCurrentItem(ListView1->topLevelItem(row));
    break;
  }
  ListView1->verticalScrollBar()->setValue(scrolled);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ListView1 || watched == ListView1->viewport()) {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress: {
        const SearchHold hold(*this);
        break;
      }
      default: break;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace qm::ui
