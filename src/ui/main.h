#pragma once
// The main window: drive list and drive information on the left, the two disk maps and the
// partition list on the right, the actions in menus, toolbar and context menu.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/Machine.h"
#include "model/PartitionRows.h"
#include "edit/Commit.h"
#include "edit/TableEdits.h"
#include "model/PhysicalDrv.h"
#include "scan/Scanner.h"
#include "ui/Controls.h"
#include "ui/DiskMap.h"
#include "ui/StatusBarEx.h"

namespace qm::ui {

class TfrmMain;
class TfrmScanConfig;
class TfrmPreview;
class TDiskWatcher;
class TfrmRebuild;
class TfrmHexView;
class TfrmDrives;
class WorkerHost;

// Interface globals.
using qm::DebugMode;  // development mode: debug columns and table dumps
extern QString AppDir;  // the executable's directory, ending in "/"

void SetAppDir(const QString& executablePath);

class TfrmMain : public QMainWindow {
 public:
  // Builds the window and the drive list from the disks at `sources` (image files or block
  // devices, opened as drives 80H, 81H, ... in that order). `host` answers the window's
  // questions and those of every disk it opens, and shows its messages.
  TfrmMain(std::vector<std::string> sources, Host& host, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // --- components ---
  QWidget* CoolBar1;
  QMenuBar* ToolBar2;
  QToolBar* ToolBar1;
  QWidget* Panel1;
  QListWidget* ListBox1;
  TBoxHeader* lblPhysicalDrives;
  TBoxHeader* lblInformation;
  TTabLabel* Label4;
  QWidget* Panel2;
  TBoxHeader* lblDevelopmentInfo;
  QPlainTextEdit* Memo1;
  QLineEdit* Edit1;
  QPushButton* Button1;
  QPushButton* Button2;
  QWidget* Splitter1;
  QLabel* Panel8;
  TPaintBox* PaintBox1;
  QLabel* Panel12;
  TPaintBox* PaintBox2;
  TTabLabel* Label5;
  TListView* ListView1;
  TStatusBarEx* StatusBarEx1;
  QProgressBar* ProgressBar1;
  QMenu* mnuDrives;
  QMenu* mnuTools;
  QMenu* mnuHelp;
  QMenu* PopupMenu1;

  // --- actions (ActionList1) ---
  QAction* Scan;
  QAction* Stop;
  QAction* Refresh;
  QAction* Preview;
  QAction* Delete;
  QAction* Recover;
  QAction* Clone;
  QAction* Active;
  QAction* Rebuild;
  QAction* Hide;
  QAction* acExit;
  QAction* SectView;
  QAction* MBR;
  QAction* Backup;
  QAction* Restore;
  QAction* Undo;
  QAction* Redo;
  QAction* Help;
  QAction* Debug;
  QAction* About1;
  QAction* OpenImage;

  // --- state ---
  std::unique_ptr<TPhysicalDrives> PhysicalDrives;
  TPartition* SelectedLost = nullptr;
  QPoint MouseDownPos;
  int FirstLostRow = 0;
  TPhysicalDrv* CurrentDrive = nullptr;
  TPartition* SelectedPartition = nullptr;
  std::vector<TPartitionRow> Rows;  // what ListView1 shows, row by row

  // How the scan range dialog is shown; true when it closed with OK. Tests replace it.
  std::function<bool(TfrmScanConfig&)> ShowScanConfig;
  // How the preview window is shown (modally). Tests replace it.
  std::function<void(TfrmPreview&)> ShowPreview;
  // How "Open disk image..." asks for a file; empty when cancelled. Tests replace it.
  std::function<QString()> AskImagePath;
  // How Backup and Restore ask for the file; empty when cancelled. Tests replace them.
  std::function<QString()> AskBackupFile;
  std::function<QString()> AskRestoreFile;
  // How the rebuild dialog is shown; true when it closed with OK. Tests replace it.
  std::function<bool(TfrmRebuild&)> ShowRebuild;
  // How the sector viewer is shown (modally). Tests replace it.
  std::function<void(TfrmHexView&)> ShowHexView;
  // How Help opens the help file with the desktop's handler (false when nothing opened it).
  // Tests replace it.
  std::function<bool(const QUrl&)> OpenUrl;
  // The machine's whole disks, listed again by Refresh and when disks come and go; the window
  // lists them when it was started without images. Tests replace it.
  std::function<std::vector<std::string>()> ListDisks;
  // What ListDisks starts as in windows made from now on; empty: the machine's own disks.
  static inline std::function<std::vector<std::string>()> ListDisksOfNewWindows;
  // How the window starts itself again as administrator; false when it could not. Tests
  // replace it.
  std::function<bool()> RestartAsAdministrator;
  // Makes the window list the machine's disks (those `ListDisks` names) beside its images, and
  // follow them as they come and go.
  void FollowMachineDisks();
  // Adds the disks that have appeared and drops those that have gone; a drive being scanned or
  // worked on stays until it is done. Runs by itself after the system tells of a change.
  void SyncMachineDisks();
  // How the clone target dialog is shown (true when it closed with OK), and how its image-file
  // choice asks for a file name (empty when cancelled). Empty: the dialogs themselves.
  std::function<bool(TfrmDrives&)> ShowCloneTarget;
  std::function<QString()> AskCloneFile;

  // --- Part of the window's behaviour that tests drive directly ---
  void FormShow();
  bool DriveReady() const;
  TPartition* RowRecord(int row) const;

  // Drive panel, partition list and maps.
  void ListBox1Click();
  void FillPartitionList();
  bool ListView1Changing(int row);
  void ListView1Click();
  void DrawDiskMap(QPainter& canvas);
  // The boxes of the upper map at its present size, one for each record it draws.
  std::vector<TMapBox> LayoutDiskMap() const;
  void PaintBox2Paint(QPainter& canvas);
  void PaintBox1MouseDown(Qt::MouseButton button, QPoint pos);
  void PaintBox1Click();
  // The tooltip of the box under `pos` on the upper map (PaintBox1) or the lower one.
  QString MapToolTip(const TPaintBox* map, QPoint pos);
  void ViewReload();

  // Actions.
  // Asks for the range and starts the scan (StartScan); returns while the scan runs.
  void ScanExecute();
  // Starts the scan of `count` sectors from `startOffset` sectors into `region` (a record of
  // the current drive) on the worker thread, as OK in the scan range dialog does: every
  // sector, or with `quick` the quick search of the range. Returns at once; ScanRunning() is
  // true until the scan has ended and its finds are listed. A benchmark runs the window's scan
  // this way, without the dialog.
  void StartScan(TPartition& region, int64_t startOffset, int64_t count, bool quick);
  // True from the start of the user's scan until its end has been handled on the window's
  // thread (finds listed, failure told).
  bool ScanRunning() const { return job_ == JobKind::Scan; }
  // True while the quick search of some opened drive goes on in the background.
  bool SearchingInBackground() const { return !searchQueue_.empty(); }
  // Goes on, in the background, with the quick search of every drive where it is unfinished
  // (drives are opened with a time limit for it).
  void QueueUnfinishedSearches();
  // The bar and the count beside it while a scan runs; both empty once it has ended.
  void ShowScanStep(const ScanStep& step);
  // The bar and the count beside it: `done` of `total` sectors, then `note`; total 0 clears them.
  void ShowProgress(uint64_t done, uint64_t total, const QString& note);
  static constexpr int kScanBarSteps = 1000000;
  // The scan's progress is shown at most this often, however fast blocks are read.
  static constexpr int kProgressIntervalMs = 34;
  // How long the background search works at a time before the window's thread looks at its
  // finds and lets waiting actions in.
  static constexpr std::chrono::milliseconds kSearchSlice{40};
  // How often the scan's progress was shown (for tests of the rate).
  long ScanStepsShown() const { return scanStepsShown_; }
  void StopExecute();
  void RefreshExecute();
  void RecoverExecute();
  void PreviewExecute();
  void CloneExecute();
  void HelpExecute();
  void acExitExecute();
  void About1Click();
  void DebugExecute();
  void SectViewExecute();
  void Button1Click();  // the development box's LBA2CHS
  void Button2Click();  // the development box's All Partitions
  void OpenImageExecute();
  // Adds the image as the next drive; false (after telling the user why) when it cannot.
  bool AddImageDrive(const QString& path);

  // Table edits (mainEdits.cpp).
  void ActiveExecute();
  void HideExecute();
  void DeleteExecute();
  void MBRExecute();
  void BackupExecute();
  void RestoreExecute();
  void UndoExecute();
  void RedoExecute();
  // Runs a restore of the tables (from a file, or the undo of the last change) and reads the
  // drives anew when it wrote.
  void RunRestore(const std::function<EditOutcome()>& restore);
  void RebuildExecute();

  // True while some drive is busy with a scan or a long edit.
  bool AnyDriveBusy() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  // A press or key on the partition list holds the background search first (its rows are
  // judged against a drive at rest).
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The sources' disks, answered for by the window's host.
  std::vector<std::unique_ptr<Disk>> OpenDisks();
  // Shows an outcome that has something to tell, in one box.
  void Show(const Outcome& outcome) const { ShowOutcome(host_, outcome); }
  Host& host_;

  void BuildActions();
  void BuildMenus();
  void BuildLayout();
  QWidget* BuildLeftPanel();
  QWidget* BuildRightArea();
  QWidget* BuildMapBox(QLabel*& header, TPaintBox*& map, QWidget*& info, const QString& caption,
                       const QString& infoCaption);
  void DropModelPointers();
  void RunGuarded(const char* caption, const std::function<void()>& handler);
  // Closes the window when a close was asked for while work was running and that work is done.
  void FinishPendingClose();
  void InitTableEdits();
  // Runs an edit of the current drive's tables and reloads the drive's view.
  void RunTableEdit(const std::function<void()>& edit);
  // The record of the list's chosen row when it is a partition of the tables (above the lost ones).
  TPartition* SelectedListedRecord();

  struct Enumerating;
  bool closePending_ = false;  // the window was closed while a scan ran; close when it ends
  std::vector<std::string> sources_;  // the images' paths, opened again by Refresh
  bool machineDisks_ = false;         // the machine's disks are listed too
  std::vector<UnopenedSource> unopened_;  // what the latest opening could not open, and why
  TDiskWatcher* diskWatcher_ = nullptr;
  QTimer* syncTimer_ = nullptr;       // a change of the machine's disks waits here to be taken in
  // Names each drive the latest opening could not open, with the reason; when none at all
  // could be opened, offers to start again as administrator or to open a disk image.
  void ReportUnopenedDrives();
  // Closes the disks no job reads now: a loop device detached meanwhile can then go away.
  void CloseIdleHandles();
  // Chooses `drive` in the drive list without reading it again.
  void MarkChosenDrive(const TPhysicalDrv* drive);
  // The drive list's tooltip and the Information box's first line: which file or device.
  static QString SourceText(const TPhysicalDrv& drive);
  bool enumerating_ = false;   // the drive list is being rebuilt

  // --- the worker thread (mainScan.cpp) ---
  // One job runs on the worker at a time, on one drive, whose model it owns until the job's
  // end has been taken in on the window's thread: the user's scan, or a slice of the
  // background search.
  enum class JobKind { None, Scan, Slice };
  // Holds the background search for the life of the object (see HoldBackgroundSearch).
  class SearchHold {
   public:
    explicit SearchHold(TfrmMain& window) : w_(window) { w_.HoldBackgroundSearch(); }
    ~SearchHold() { w_.ReleaseBackgroundSearch(); }
    SearchHold(const SearchHold&) = delete;
    SearchHold& operator=(const SearchHold&) = delete;

   private:
    TfrmMain& w_;
  };
  // What the status bar says beside the count while the user's scan runs.
  static QString ScanNote();
  // Runs `work` on the worker. It is handed the progress to report to: that keeps the step
  // for the timer to show, and keeps a Stop asked for before the scanner's start reset the
  // drive's flag.
  void StartJob(JobKind kind, TPhysicalDrv& drive, std::function<Outcome(const ScanProgress&)> work);
  // Asks the job on the worker to stop at its next block or batch.
  void StopJob();
  // The worker's end, posted to the window's thread; a job taken in already is passed over.
  void JobEnded(unsigned serial);
  // Waits for the worker and takes the job's end in.
  void FinishJob();
  void ScanEnded(TPhysicalDrv& drive, const Outcome& outcome);
  void SliceEnded(TPhysicalDrv& drive, const Outcome& outcome);
  void ShowLatestStep();
  // Enables the actions for what runs now.
  void UpdateActions();
  // The background search: drives whose quick search was cut short when they were opened are
  // searched on, slice by slice, while no action of the user runs.
  void HoldBackgroundSearch();
  void ReleaseBackgroundSearch();
  void StopSlice();
  // Ends the background search of every drive (each stays as far as it came).
  void EndBackgroundSearch();
  // The same at the user's Stop, with a note of where it stood.
  void StopBackgroundSearch();
  void ScheduleBackgroundStep();
  void BackgroundStep();
  // The background search's progress: as far as the search of the first drive waiting has
  // come, or the note that ended it.
  void ShowSearchProgress();
  void ShowSearchStep(const TPhysicalDrv& drive, const ScanStep& step);
  // Fills the partition list again, keeping the chosen row chosen and the list where it was.
  void RefillPartitionList();
  // The Information box: the current drive's geometry and notes.
  void ShowDriveInfo();
  // The lower Info box: the chosen lost partition's check report, whole.
  void ShowCheckReport(const std::string& report);

  std::thread worker_;
  JobKind job_ = JobKind::None;
  TPhysicalDrv* jobDrive_ = nullptr;
  unsigned jobSerial_ = 0;
  std::atomic<bool> jobStop_ = false;
  Outcome jobOutcome_;  // written by the worker, read once it has been joined
  std::unique_ptr<WorkerHost> jobHost_;
  std::unique_ptr<UserHostScope> jobHostScope_;
  size_t lostBefore_ = 0;  // the drive's finds when the slice started
  // The latest progress of the running job, stored by the worker, shown by the timer.
  std::mutex stepLock_;
  ScanStep latestStep_;
  bool stepFresh_ = false;
  QTimer* progressTimer_ = nullptr;
  long scanStepsShown_ = 0;
  std::vector<TPhysicalDrv*> searchQueue_;  // drives searched in the background, first one first
  int holds_ = 0;             // user actions running (nested); no slice starts meanwhile
  bool stepPosted_ = false;   // a BackgroundStep waits in the event queue
  bool listStale_ = false;    // the current drive has finds the partition list does not show
  QString searchNote_;        // why the background search ended early, shown once it has
};

}  // namespace qm::ui
