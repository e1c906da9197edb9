// The main window: start-up, state, and the Scan, Stop, Refresh, Recover, Help, Exit, About
// and "Open disk image..." actions.
#include "ui/main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QUrl>
#include <algorithm>
#include <exception>
#include <unistd.h>

#include "disk/Host.h"
#include "disk/Disk.h"
#include "edit/BootSectorRestore.h"
#include "edit/Commit.h"
#include "edit/Recover.h"
#include "edit/RecoverQuestions.h"
#include "disk/Machine.h"
#include "model/Enumeration.h"
#include "model/TableReader.h"
#include "scan/OpenDrive.h"
#include "scan/Scanner.h"
#include "browse/RootDirectory.h"
#include "ui/Colors.h"
#include "ui/HelpFile.h"
#include "ui/Preview.h"
#include "ui/Scanconfig.h"
#include "ui/DiskWatcher.h"
#include "ui/Install.h"
#include "ui/WorkerHost.h"
#include "ui/about.h"

namespace qm::ui {

QString AppDir;

void SetAppDir(const QString& executablePath) {
  AppDir = QFileInfo(executablePath).absolutePath();
  if (!AppDir.endsWith(QLatin1Char('/'))) AppDir += QLatin1Char('/');
}


// While drives are read, the drive list cannot be used and the window cannot go: reading shows
// messages and pumps events.
struct TfrmMain::Enumerating {
  TfrmMain& w;
  explicit Enumerating(TfrmMain& window) : w(window) {
    w.enumerating_ = true;
    w.ListBox1->setEnabled(false);
  }
  ~Enumerating() {
    w.enumerating_ = false;
    w.ListBox1->setEnabled(true);
  }
  Enumerating(const Enumerating&) = delete;
  Enumerating& operator=(const Enumerating&) = delete;
};

TfrmMain::TfrmMain(std::vector<std::string> sources, Host& host, QWidget* parent)
    : QMainWindow(parent), host_(host), sources_(std::move(sources)) {
  setWindowTitle(QStringLiteral("Quillmark 2.0"));
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  setFont(font);

  BuildActions();
  BuildMenus();
  BuildLayout();
  resize(935, 665);

  // FormCreate.
  lblDevelopmentInfo->CaptionColor = WinColor(clCaptionBlue);
  lblInformation->CaptionColor = WinColor(clCaptionBlue);
  Label4->SetFontColor(WinColor(clDriveText));
  {
    QPalette pal = ListBox1->palette();
    pal.setColor(QPalette::Text, WinColor(clDriveText));
    ListBox1->setPalette(pal);
  }
  ListDisks = ListDisksOfNewWindows ? ListDisksOfNewWindows : [] { return ListMachineDisks(); };
  RestartAsAdministrator = [] {
    const QString self = QApplication::applicationFilePath();
    // The installed window has a policy that lets pkexec keep the display; its launcher
    // starts it that way.
    if (self == QStringLiteral(QM_INSTALL_BINDIR "/quillmark") && QFileInfo(QString::fromLatin1(kAdminLauncher)).isExecutable())
      return QProcess::startDetached(QString::fromLatin1(kAdminLauncher), {});
    // Any other copy of the program (a build tree) gets the display handed over by name:
    // pkexec's own rule passes nothing of the environment on.
    QStringList arguments{QStringLiteral("env")};
    for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"})
      if (qEnvironmentVariableIsSet(name))
        arguments << QStringLiteral("%1=%2").arg(QLatin1String(name), qEnvironmentVariable(name));
    arguments << self;
    return QProcess::startDetached(QStringLiteral("pkexec"), arguments);
  };
  // Started without images, the window works on the machine's disks and follows them.
  if (sources_.empty()) FollowMachineDisks();
  {
    const Enumerating busy(*this);
    PhysicalDrives = OpenDrives(OpenDisks());
  }
  SelectedPartition = nullptr;
  DebugMode = false;

  ShowScanConfig = [](TfrmScanConfig& dialog) { return dialog.exec() == QDialog::Accepted; };
  ShowPreview = [](TfrmPreview& dialog) { dialog.exec(); };
  OpenUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  AskImagePath = [this] {
    return QFileDialog::getOpenFileName(this, QStringLiteral("Open disk image"), QString(),
                                        QStringLiteral("Disk images (*.img *.raw *.dd *.bin *.ima);;All files (*)"));
  };
  InitTableEdits();

  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(kProgressIntervalMs);
  connect(progressTimer_, &QTimer::timeout, this, [this] { ShowLatestStep(); });
  ListView1->installEventFilter(this);
  ListView1->viewport()->installEventFilter(this);

  connect(ListBox1, &QListWidget::itemSelectionChanged, this, [this] { RunGuarded("Error", [this] { ListBox1Click(); }); });
  ListView1->OnChanging = [this](int row) { return ListView1Changing(row); };
  ListView1->OnClick = [this] { RunGuarded("Error", [this] { ListView1Click(); }); };
  connect(ListView1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos)); });
  PaintBox1->OnPaint = [this](QPainter& canvas) { DrawDiskMap(canvas); };
  PaintBox2->OnPaint = [this](QPainter& canvas) { PaintBox2Paint(canvas); };
  PaintBox1->OnMouseDown = [this](Qt::MouseButton b, QPoint p) { PaintBox1MouseDown(b, p); };
  PaintBox2->OnMouseDown = [this](Qt::MouseButton b, QPoint p) { PaintBox1MouseDown(b, p); };
  PaintBox1->OnClick = [this] { RunGuarded("Error", [this] { PaintBox1Click(); }); };
  PaintBox1->OnToolTip = [this](QPoint pos) { return MapToolTip(PaintBox1, pos); };
  PaintBox2->OnToolTip = [this](QPoint pos) { return MapToolTip(PaintBox2, pos); };

  FormShow();
  // Tab goes from the drive list to the partition list and back; the drive list has the
  // focus first, so a keyboard user starts with Down to choose a drive.
  setTabOrder(ListBox1, ListView1);
  ListBox1->setFocus();
  // Drives whose quick search ran out of time are searched on once the window is up.
  QueueUnfinishedSearches();
  UpdateActions();
  CloseIdleHandles();
  // Once the window is up: which drives could not be opened.
  QTimer::singleShot(0, this, [this] { RunGuarded("Drives", [this] { ReportUnopenedDrives(); }); });
}

TfrmMain::~TfrmMain() {
  // A job still on the worker is stopped, and a question it waits on gets the safe answer:
  // the worker must be gone before the model it reads is.
  progressTimer_->stop();
  if (worker_.joinable()) {
    StopJob();
    if (jobHost_) jobHost_->Release();
    worker_.join();
  }
  jobHostScope_.reset();
  jobHost_.reset();
  searchQueue_.clear();
  // FormDestroy: nothing may point into the model once it is gone.
  DropModelPointers();
  PhysicalDrives.reset();
}

void TfrmMain::FormShow() {
  const QSignalBlocker quiet(ListBox1);
  ListBox1->clear();
  if (!PhysicalDrives) return;
  int i = 0;
  for (const auto& drive : PhysicalDrives->Drives) {
    auto* item = new QListWidgetItem(QString::fromStdString(DriveListLine(i, *drive)), ListBox1);
    item->setData(Qt::UserRole, QVariant::fromValue(static_cast<void*>(drive.get())));
    item->setToolTip(SourceText(*drive));
    ++i;
  }
  // No drive is current either: otherwise the list makes its first drive current, unchosen,
  // when it gains the focus, and the first Down passes over it.
  ListBox1->setCurrentIndex(QModelIndex());
}

bool TfrmMain::DriveReady() const {
  return CurrentDrive && !CurrentDrive->Scanning && !(job_ != JobKind::None && jobDrive_ == CurrentDrive);
}

bool TfrmMain::AnyDriveBusy() const {
  if (job_ == JobKind::Scan) return true;
  if (!PhysicalDrives) return false;
  for (const auto& drive : PhysicalDrives->Drives)
    if (drive->Scanning) return true;
  return false;
}

std::vector<std::unique_ptr<Disk>> TfrmMain::OpenDisks() {
  std::vector<std::string> paths = machineDisks_ ? ListDisks() : std::vector<std::string>{};
  paths.insert(paths.end(), sources_.begin(), sources_.end());
  unopened_.clear();
  std::vector<std::unique_ptr<Disk>> disks = OpenEverySource(paths, unopened_);
  for (const auto& disk : disks) disk->SetUserHost(host_);
  return disks;
}

QString TfrmMain::SourceText(const TPhysicalDrv& drive) { return QString::fromStdString(SourceDescription(drive.Io().Path())); }

void TfrmMain::CloseIdleHandles() {
  if (!PhysicalDrives) return;
  for (const auto& drive : PhysicalDrives->Drives)
    if (drive.get() != jobDrive_ && !drive->Scanning) drive->Io().CloseHandle();
}

void TfrmMain::MarkChosenDrive(const TPhysicalDrv* drive) {
  const QSignalBlocker quiet(ListBox1);
  for (int i = 0; i < ListBox1->count(); ++i)
    if (ListBox1->item(i)->data(Qt::UserRole).value<void*>() == drive) ListBox1->setCurrentRow(i);
}

void TfrmMain::ReportUnopenedDrives() {
  const bool none = !PhysicalDrives || PhysicalDrives->Drives.empty();
  if (unopened_.empty() && !(none && machineDisks_)) return;
  std::string text = none ? "No disk could be opened for reading." : "These drives could not be opened:";
  for (const UnopenedSource& source : unopened_) text += "\r" + source.path + ": " + source.reason;
  if (!none) {
    host_.MessageBox(text, "Drives", MsgButtons::Ok, MsgIcon::Warning);
    return;
  }
  if (!machineDisks_) {
    host_.MessageBox(text, "Drives", MsgButtons::Ok, MsgIcon::Error);
    return;
  }
  if (unopened_.empty()) text += "\rThis machine shows no disks.";
  const bool administrator = ::geteuid() == 0;
  if (!administrator) text += "\r\rReading disks needs administrator rights.\rYes: start Quillmark again as administrator.";
  text += administrator ? "\r\rOK: open a disk image instead." : "\rNo: open a disk image instead.";
  const MsgAnswer answer = host_.MessageBox(text, "Drives", administrator ? MsgButtons::OkCancel : MsgButtons::YesNoCancel,
                                            MsgIcon::Warning);
  if (answer == MsgAnswer::Yes) {
    if (RestartAsAdministrator()) {
      close();
      return;
    }
    host_.MessageBox("Quillmark could not be started as administrator (pkexec is missing or was refused).\r"
                     "Start it from a terminal with sudo, or open a disk image.",
                     "Drives", MsgButtons::Ok, MsgIcon::Error);
  }
  if (answer == MsgAnswer::No || answer == MsgAnswer::Ok) OpenImageExecute();
}

void TfrmMain::FollowMachineDisks() {
  machineDisks_ = true;
  if (diskWatcher_) return;
  // Events come in bursts (a disk and its partitions): they are taken in together.
  syncTimer_ = new QTimer(this);
  syncTimer_->setSingleShot(true);
  syncTimer_->setInterval(200);
  connect(syncTimer_, &QTimer::timeout, this, [this] { SyncMachineDisks(); });
  diskWatcher_ = new TDiskWatcher([this] { syncTimer_->start(); }, this);
}

void TfrmMain::SyncMachineDisks() {
  if (!machineDisks_) return;
  // Not under a dialog, a clone or the reading of drives: the change is taken in after.
  if (holds_ > 0 || enumerating_ || ScanRunning()) {
    syncTimer_->start();
    return;
  }
  if (!PhysicalDrives) PhysicalDrives = std::make_unique<TPhysicalDrives>();
  auto& drives = PhysicalDrives->Drives;
  const std::vector<std::string> present = ListDisks();
  const auto isImage = [&](const std::string& path) {
    return std::find(sources_.begin(), sources_.end(), path) != sources_.end();
  };
  bool changed = false, waiting = false;
  // Gone: dropped, unless the background search works on it right now.
  for (auto it = drives.begin(); it != drives.end();) {
    TPhysicalDrv* drive = it->get();
    const std::string& path = drive->Io().Path();
    if (isImage(path) || std::find(present.begin(), present.end(), path) != present.end()) {
      ++it;
      continue;
    }
    if (drive == jobDrive_ || drive->Scanning) {
      waiting = true;
      ++it;
      continue;
    }
    std::erase(searchQueue_, drive);
    if (drive == CurrentDrive) {
      DropModelPointers();  // the drive list is filled again below
      Label4->setText(QString());
      ShowCheckReport({});
      Panel8->setText(QStringLiteral(" Physical Drive - None"));
    }
    it = drives.erase(it);
    changed = true;
  }
  // New: opened as at the start, numbered after the others.
  std::vector<std::string> added;
  for (const std::string& path : present) {
    const bool known = std::any_of(drives.begin(), drives.end(), [&](const auto& d) { return d->Io().Path() == path; });
    if (!known) added.push_back(path);
  }
  if (!added.empty()) {
    unsigned number = kFirstHardDisk;
    for (const auto& drive : drives) number = std::max(number, drive->DriveNumber + 1u);
    std::vector<UnopenedSource> unopened;
    std::vector<std::unique_ptr<Disk>> disks =
        number > 0xFF ? std::vector<std::unique_ptr<Disk>>{} : OpenEverySource(added, unopened, static_cast<uint8_t>(number));
    const Enumerating busy(*this);
    for (auto& disk : disks) {
      disk->SetUserHost(host_);
      TDriveGeometry geometry;
      if (!disk->QueryGeometry(geometry)) continue;
      if (auto drive = OpenDrive(std::move(disk), geometry)) {
        drives.push_back(std::move(drive));
        changed = true;
      }
    }
  }
  if (changed) {
    PhysicalDrives->LogicalDrives = ListLogicalDrives();
    FormShow();
    MarkChosenDrive(CurrentDrive);
    PaintBox1->update();
    PaintBox2->update();
    QueueUnfinishedSearches();
  }
  CloseIdleHandles();
  // A drive that is gone but still worked on is looked at again shortly.
  if (waiting) syncTimer_->start(1000);
}

TPartition* TfrmMain::RowRecord(int row) const {
  if (row < 0 || row >= static_cast<int>(Rows.size())) return nullptr;
  return Rows[static_cast<size_t>(row)].Record;
}

void TfrmMain::RunGuarded(const char* caption, const std::function<void()>& handler) {
  // The background search waits while the user's action runs, dialogs and all: the action
  // may read and change the drive it searches.
  const SearchHold hold(*this);
  // Qt cannot carry an exception through its event loop; whatever escapes a handler is shown
  // and the window stays usable.
  try {
    handler();
  } catch (const std::exception& e) {
    host_.MessageBox(e.what(), caption, MsgButtons::Ok, MsgIcon::Error);
  } catch (...) {
    host_.MessageBox("Unexpected error.", caption, MsgButtons::Ok, MsgIcon::Error);
  }
  // Between the user's actions the disks are not held open.
  if (holds_ == 1) CloseIdleHandles();
}

void TfrmMain::DropModelPointers() {
  CurrentDrive = nullptr;
  SelectedLost = nullptr;
  SelectedPartition = nullptr;
  Rows.clear();
  FirstLostRow = 0;
  {
    const QSignalBlocker quiet(ListBox1);
    ListBox1->clear();
  }
  auto guard = std::move(ListView1->OnChanging);
  ListView1->OnChanging = nullptr;
  ListView1->clear();
  ListView1->OnChanging = std::move(guard);
}

void TfrmMain::ViewReload() {
  CurrentDrive = nullptr;
  ListBox1Click();
}

// --- Scan --------------------------------------------------------------------------------

void TfrmMain::ScanExecute() {
  if (!DriveReady() || job_ != JobKind::None) return;
  TPhysicalDrv* drive = CurrentDrive;
  TfrmScanConfig dialog(host_, &drive->Root, SelectedPartition, this);
  dialog.SetRange(&drive->Root);
  if (!ShowScanConfig(dialog) || !dialog.RangePart) return;
  StartScan(*dialog.RangePart, dialog.StartSector, dialog.SectorCount, dialog.QuickSearch);
}

void TfrmMain::ShowScanStep(const ScanStep& step) { ShowProgress(step.Done, step.Total, ScanNote()); }

void TfrmMain::ShowProgress(uint64_t done, uint64_t total, const QString& note) {
  if (total == 0) {  // the work has ended
    ProgressBar1->setValue(0);
    StatusBarEx1->SetPanelText(2, QString());
    return;
  }
  // The bar in millionths of the range: on a disk of many gigabytes one per cent takes many
  // seconds, and the bar and the count beside it still move each time they are shown.
  const int value = static_cast<int>(std::min(done, total) * kScanBarSteps / total);
  const QLocale numbers(QLocale::English);
  StatusBarEx1->SetPanelText(2, QStringLiteral(" %1 %  (%2 of %3 sectors)     %4")
                                    .arg(static_cast<double>(value) * 100.0 / kScanBarSteps, 0, 'f', 2)
                                    .arg(numbers.toString(static_cast<qulonglong>(done)),
                                         numbers.toString(static_cast<qulonglong>(total)), note));
  ++scanStepsShown_;
  if (ProgressBar1->maximum() != kScanBarSteps) ProgressBar1->setRange(0, kScanBarSteps);
  ProgressBar1->setValue(value);
}

void TfrmMain::FinishPendingClose() {
  if (!closePending_ || AnyDriveBusy() || enumerating_) return;
  closePending_ = false;
  close();
}

void TfrmMain::StopExecute() {
  // The user's scan on the worker; else a long action of the window that lets events in while
  // it works (a clone), further down the stack; else the background search, which the guard
  // of this handler has already brought to rest.
  if (ScanRunning()) {
    StopJob();
  } else if (SearchingInBackground() && holds_ <= 1) {  // no other action beneath this one
    StopBackgroundSearch();
  } else if (CurrentDrive) {
    CurrentDrive->StopRequested = true;
  }
}

// --- Refresh -----------------------------------------------------------------------------

void TfrmMain::RefreshExecute() {
  // Every drive is read again: not while one of them is scanned or worked on.
  if (AnyDriveBusy() || job_ == JobKind::Scan || enumerating_ || (CurrentDrive && !DriveReady())) return;
  // The background search of the old drives ends with them.
  searchNote_.clear();
  EndBackgroundSearch();
  // The chosen drive stays chosen, read anew.
  const std::string chosen = CurrentDrive ? CurrentDrive->Io().Path() : std::string();
  // Every pointer into the old model goes before the model does: building the new one shows
  // messages and pumps events, and nothing may paint or click through a freed record then.
  DropModelPointers();
  {
    const Enumerating busy(*this);
    PhysicalDrives.reset();
    PhysicalDrives = OpenDrives(OpenDisks());
  }
  FormShow();
  PaintBox2->update();
  PaintBox1->update();
  Label4->setText(QString());
  ShowCheckReport({});
  Panel8->setText(QStringLiteral(" Physical Drive - None"));
  auto guard = std::move(ListView1->OnChanging);
  ListView1->OnChanging = nullptr;
  try {
    FillPartitionList();
  } catch (...) {
    ListView1->OnChanging = std::move(guard);
    throw;
  }
  ListView1->OnChanging = std::move(guard);
  QueueUnfinishedSearches();
  if (!chosen.empty() && PhysicalDrives)
    for (size_t i = 0; i < PhysicalDrives->Drives.size(); ++i)
      if (PhysicalDrives->Drives[i]->Io().Path() == chosen) ListBox1->setCurrentRow(static_cast<int>(i));
  CloseIdleHandles();
  ReportUnopenedDrives();
  FinishPendingClose();
}

// --- Recover -----------------------------------------------------------------------------

void TfrmMain::RecoverExecute() {
  if (!DriveReady()) return;
  const int row = ListView1->SelectedRow();
  if (row < 0 || row < FirstLostRow) return;
  TPartition* lost = RowRecord(row);
  if (!lost) return;
  // No other program may change the tables between the checks, the questions and the write;
  // every refusal comes before the user is asked anything.
  Outcome refusal;
  const std::unique_ptr<DriveLock> lock = LockForWriting(CurrentDrive->Io(), refusal);
  if (!lock) {
    Show(refusal);
    return;
  }
  // The new extended boot record goes in front of the partition: the volumes there must be
  // known, so that none is written into.
  if (const Outcome front = ScanInFrontOf(*CurrentDrive, lost->AbsoluteStart(), nullptr); !front) {
    if (front.failed()) host_.MessageBox(front.Text, front.Caption, MsgButtons::Ok, front.Icon);
    return;
  }
  const Reported<RecoverAsk> asked = AskRecover(*CurrentDrive, *lost);
  Show(asked.Told);
  if (asked != RecoverAsk::Confirmed) return;
  // The recovery frees the lost record and reads the tables again, and it may show messages
  // meanwhile: the maps must not paint through the old records while it runs.
  SelectedLost = nullptr;
  SelectedPartition = nullptr;
  // Copying the backup boot sector over the destroyed one writes inside the partition: a
  // question of its own, answered before anything is written, and part of the same change.
  const bool restoreBoot = lost->BootFromBackup != 0 && ConfirmBootSectorRestore(host_, *lost);
  const RecoverOutcome result = RecoverLostPartition(*CurrentDrive, *lost, restoreBoot);
  Show(result.Told);
  if (restoreBoot && (result == RecoverResult::Written || result == RecoverResult::NotNotified))
    host_.MessageBox(BootRestoreText(BootRestoreResult::Restored), "Recovering", MsgButtons::Ok, MsgIcon::Information);
  ViewReload();
}

// --- Preview -----------------------------------------------------------------------------

void TfrmMain::PreviewExecute() {
  if (!DriveReady()) return;
  const TPartition* partition = RowRecord(ListView1->SelectedRow());
  if (!partition) return;
  if (partition->FsKind == fkHpfs) {
    host_.MessageBox("Cannot preview HPFS partitions now. We'll add this\rfeature to Quillmark in future.", "Information",
               MsgButtons::Ok, MsgIcon::Information);
    return;
  }
  auto openTree = [drive = CurrentDrive, partition] {
    Outcome why;
    return OpenPartitionTree(*drive, *partition, why);
  };
  // Volumes of the Linux kind have no root reader of their own: the folder tree shows them.
  if (IsSuperblockKind(partition->FsKind) && openTree()) {
    TfrmPreview dialog(this);
    dialog.setWindowTitle(QStringLiteral("View Root Directory"));
    dialog.RootFromTree = true;
    dialog.SourcePath = CurrentDrive->Io().Path();
    dialog.OpenTree = openTree;
    ShowPreview(dialog);
    return;
  }
  TRootEntries entries;
  const Outcome listed = GetRootDirectory(*CurrentDrive, *partition, entries);
  // One box says what went wrong; a root listed only in part is shown after it.
  if (!listed.Text.empty()) host_.MessageBox(listed.Text, listed.Caption, MsgButtons::Ok, listed.Icon);
  if (!listed) return;
  TfrmPreview dialog(this);
  dialog.setWindowTitle(QStringLiteral("View Root Directory"));
  dialog.PreviewRows = BuildPreviewRows(entries);
  // Its folders open, and its files are copied, through the folder tree of the same volume;
  // a volume the tree cannot read keeps the root list alone.
  dialog.SourcePath = CurrentDrive->Io().Path();
  dialog.OpenTree = openTree;
  ShowPreview(dialog);
}

// --- Help, Exit, About -------------------------------------------------------------------

void TfrmMain::HelpExecute() { OpenHelp(host_, OpenUrl); }

void TfrmMain::acExitExecute() { close(); }

void TfrmMain::About1Click() {
  TfrmAbout about(this);
  about.exec();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // The background search ends at once. The user's scan is asked to stop, and so is a long
  // action running inside a handler further down the stack; the window only goes once they
  // have ended.
  EndBackgroundSearch();
  if (AnyDriveBusy() || enumerating_) {
    if (ScanRunning()) StopJob();
    if (PhysicalDrives)
      for (const auto& drive : PhysicalDrives->Drives)
        if (drive->Scanning) drive->StopRequested = true;
    closePending_ = true;
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

// --- Debug -------------------------------------------------------------------------------

void TfrmMain::DebugExecute() {
  if (!DebugMode) {
    DebugMode = true;
    Panel2->setVisible(true);
    ListView1->setColumnCount(9);
    QTreeWidgetItem* header = ListView1->headerItem();
    header->setText(6, QStringLiteral("Pt_Self"));
    header->setText(7, QStringLiteral("Pt_Parent"));
    header->setText(8, QStringLiteral("Self_BaseLBA"));
    for (int c = 6; c < 9; ++c) ListView1->setColumnWidth(c, 100);
  } else if (ListView1->columnCount() == 9) {
    DebugMode = false;
    Panel2->setVisible(false);
    ListView1->setColumnCount(6);
  }
  FillPartitionList();
}

// --- Open disk image ---------------------------------------------------------------------

void TfrmMain::OpenImageExecute() {
  if (AnyDriveBusy() || enumerating_) return;
  const QString path = AskImagePath();
  if (path.isEmpty()) return;
  AddImageDrive(path);
}

bool TfrmMain::AddImageDrive(const QString& path) {
  if (AnyDriveBusy() || enumerating_) return false;
  const std::string file = path.toStdString();
  // An image that is open already is chosen, not opened twice: two drives on one file would
  // each keep a table the other has changed.
  if (PhysicalDrives)
    for (const auto& drive : PhysicalDrives->Drives)
      if (TargetIsSourceFile(drive->Io().Path(), file)) {
        ListBox1->setCurrentRow(static_cast<int>(&drive - PhysicalDrives->Drives.data()));
        return true;
      }
  std::string reason;
  if (!ProbeDriveSource(file, reason)) {
    host_.MessageBox("Cannot open " + file + ":\r" + reason, "Error", MsgButtons::Ok, MsgIcon::Error);
    return false;
  }
  unsigned number = kFirstHardDisk;
  if (PhysicalDrives)
    for (const auto& drive : PhysicalDrives->Drives) number = std::max(number, drive->DriveNumber + 1u);
  auto disk = std::make_unique<Disk>(std::make_unique<FileSource>(file), static_cast<uint8_t>(number));
  disk->SetUserHost(host_);
  TDriveGeometry geometry;
  if (number > 0xFF || !disk->QueryGeometry(geometry)) {
    host_.MessageBox("Cannot add " + file + ":\rno free drive number is left.", "Error", MsgButtons::Ok, MsgIcon::Error);
    return false;
  }
  if (!PhysicalDrives) PhysicalDrives = std::make_unique<TPhysicalDrives>();
  std::unique_ptr<TPhysicalDrv> drive;
  {
    const Enumerating busy(*this);
    drive = OpenDrive(std::move(disk), geometry);
  }
  if (!drive) return false;
  PhysicalDrives->Drives.push_back(std::move(drive));
  sources_.push_back(file);
  QueueUnfinishedSearches();
  // Refill the drive list, keeping the chosen drive chosen without reloading it.
  FormShow();
  MarkChosenDrive(CurrentDrive);
  FinishPendingClose();
  return true;
}

}  // namespace qm::ui
