// The main window's components: action list, menus, toolbar, panels, maps and lists.
#include <QBoxLayout>
#include <QHeaderView>
#include <QToolButton>

#include "ui/ActionImages.h"
#include "ui/Colors.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

constexpr int kLeftPanelWidth = 207;
constexpr int kMapHeaderHeight = 20;
constexpr int kMapHeight = 82;
constexpr int kInfoBoxWidth = 171;

void Fill(QWidget* w, uint32_t colour) {
  w->setAutoFillBackground(true);
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window, WinColor(colour));
  w->setPalette(pal);
}

void SetTextColour(QWidget* w, uint32_t colour) {
  QPalette pal = w->palette();
  pal.setColor(QPalette::WindowText, WinColor(colour));
  pal.setColor(QPalette::Text, WinColor(colour));
  w->setPalette(pal);
}

QLabel* MapHeader(const QString& caption, uint32_t text, uint32_t background, QWidget* parent) {
  auto* header = new QLabel(caption, parent);
  header->setFixedHeight(kMapHeaderHeight);
  QFont f = header->font();
  f.setBold(true);
  header->setFont(f);
  Fill(header, background);
  SetTextColour(header, text);
  return header;
}

// A menu entry with a caption of its own that stands for `action`: it triggers the action and
// is enabled exactly when the action is.
void Mirror(QAction* entry, QAction* action) {
  QObject::connect(entry, &QAction::triggered, action, &QAction::trigger);
  QObject::connect(action, &QAction::changed, entry, [entry, action] { entry->setEnabled(action->isEnabled()); });
  entry->setEnabled(action->isEnabled());
}

}  // namespace

void TfrmMain::BuildActions() {
  const std::vector<QPixmap> images = BuildImageList1();
  auto make = [&](const char* caption, int image, const char* hint) {
    auto* action = new QAction(QString::fromLatin1(caption), this);
    if (image >= 0) action->setIcon(QIcon(images[static_cast<size_t>(image)]));
    if (hint) action->setStatusTip(QString::fromLatin1(hint));
    addAction(action);  // shortcuts reach the action from anywhere in the window
    return action;
  };
  Scan = make("Scan", imgScan, "Scan lost partitions");
  Scan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  Scan->setToolTip(QStringLiteral("Scan drive for lost partitions"));
  Stop = make("Stop", imgStop, nullptr);
  Stop->setToolTip(QStringLiteral("Stop"));
  Refresh = make("Refresh", imgRefresh, nullptr);
  Refresh->setToolTip(QStringLiteral("Update drive list"));
  Preview = make("Preview", imgPreview, nullptr);
  Preview->setToolTip(QStringLiteral("View root directory"));
  Delete = make("Delete", imgDelete, nullptr);
  Delete->setShortcut(QKeySequence(Qt::Key_Delete));
  Delete->setToolTip(QStringLiteral("Delete partition"));
  Delete->setEnabled(false);
  Delete->setVisible(false);
  Recover = make("Recover", imgRecover, nullptr);
  Recover->setToolTip(QStringLiteral("Recover partition"));
  Clone = make("Clone", imgClone, nullptr);
  Clone->setToolTip(QStringLiteral("Clone lost partition"));
  Active = make("Active", imgActive, nullptr);
  Active->setToolTip(QStringLiteral("Set active partition"));
  Rebuild = make("Rebuild", imgRebuild, nullptr);
  Rebuild->setToolTip(QStringLiteral("Rebuild partition table"));
  Hide = make("Hide/Show", -1, nullptr);
  acExit = make("Exit", -1, nullptr);
  acExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
  SectView = make("Sector viewer", -1, nullptr);
  MBR = make("Fdisk/mbr", -1, "Initialize main boot record");
  Backup = make("Backup partition table", -1, nullptr);
  Backup->setShortcut(QKeySequence(Qt::Key_F2));
  Restore = make("Restore partition table", -1, nullptr);
  Restore->setShortcut(QKeySequence(Qt::Key_F3));
  Undo = make("Undo last change", -1, "Put back the partition tables as they were before the last change");
  Undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
  Redo = make("Redo last undo", -1, "Apply again the change that the last undo took back");
  Redo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Y));
  Help = make("Help", imgHelp, nullptr);
  Help->setShortcut(QKeySequence(Qt::Key_F1));
  Debug = make("Debug", -1, nullptr);
  Debug->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_D));
  About1 = new QAction(QStringLiteral("About ..."), this);
  OpenImage = new QAction(QStringLiteral("Open disk image..."), this);
  OpenImage->setStatusTip(QStringLiteral("Add a disk image file as the next drive"));

  for (QAction* a : actions()) a->setShortcutContext(Qt::WindowShortcut);

  // Handlers run through a guard that reports what escapes them instead of ending the
  // program with the disk half-read.
  auto wire = [this](QAction* action, const char* caption, void (TfrmMain::*handler)()) {
    connect(action, &QAction::triggered, this, [this, caption, handler] { RunGuarded(caption, [this, handler] { (this->*handler)(); }); });
  };
  wire(Scan, "Scan", &TfrmMain::ScanExecute);
  wire(Stop, "Stop", &TfrmMain::StopExecute);
  wire(Refresh, "Refresh", &TfrmMain::RefreshExecute);
  wire(Recover, "Recovering", &TfrmMain::RecoverExecute);
  wire(Preview, "Root directory", &TfrmMain::PreviewExecute);
  wire(Clone, "Clone", &TfrmMain::CloneExecute);
  wire(Help, "Help", &TfrmMain::HelpExecute);
  wire(acExit, "Exit", &TfrmMain::acExitExecute);
  wire(About1, "About", &TfrmMain::About1Click);
  wire(Debug, "Debug", &TfrmMain::DebugExecute);
  wire(SectView, "Sector viewer", &TfrmMain::SectViewExecute);
  wire(OpenImage, "Open disk image", &TfrmMain::OpenImageExecute);
  wire(Active, "Set active partition", &TfrmMain::ActiveExecute);
  wire(Hide, "Hide/Show", &TfrmMain::HideExecute);
  wire(Delete, "Deleting Partition", &TfrmMain::DeleteExecute);  // never enabled
  wire(MBR, "FDISK/MBR", &TfrmMain::MBRExecute);
  wire(Backup, "Backup", &TfrmMain::BackupExecute);
  wire(Restore, "Restore", &TfrmMain::RestoreExecute);
  wire(Undo, "Undo", &TfrmMain::UndoExecute);
  wire(Redo, "Redo", &TfrmMain::RedoExecute);
  wire(Rebuild, "Rebuild", &TfrmMain::RebuildExecute);
  // These stand where the user will find them, but do nothing yet: they stay disabled (and
  // their menu entries with them) until they are built.
  for (QAction* unbuilt : {Delete}) unbuilt->setEnabled(false);
}

void TfrmMain::BuildMenus() {
  mnuDrives = new QMenu(QStringLiteral("&Drives"), this);
  mnuDrives->addAction(Scan);
  mnuDrives->addAction(Stop);
  QAction* update = mnuDrives->addAction(QStringLiteral("Update drive list"));
  Mirror(update, Refresh);
  mnuDrives->addAction(OpenImage);
  mnuDrives->addSeparator();
  mnuDrives->addAction(Preview);
  mnuDrives->addSeparator();
  mnuDrives->addAction(Delete);
  mnuDrives->addAction(Recover);
  mnuDrives->addAction(Clone);
  QAction* rebuild = mnuDrives->addAction(QStringLiteral("Rebuild partition table"));
  Mirror(rebuild, Rebuild);
  QAction* active = mnuDrives->addAction(QStringLiteral("Set active partition"));
  Mirror(active, Active);
  mnuDrives->addAction(Hide);
  mnuDrives->addSeparator();
  mnuDrives->addAction(acExit);

  mnuTools = new QMenu(QStringLiteral("&Tools"), this);
  mnuTools->addAction(SectView);
  mnuTools->addSeparator();
  mnuTools->addAction(MBR);
  mnuTools->addAction(Backup);
  mnuTools->addAction(Restore);
  mnuTools->addAction(Undo);
  mnuTools->addAction(Redo);

  mnuHelp = new QMenu(QStringLiteral("&Help"), this);
  mnuHelp->addAction(Help);
  mnuHelp->addSeparator();
  mnuHelp->addAction(About1);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->addAction(Scan);
  PopupMenu1->addSeparator();
  PopupMenu1->addAction(Preview);
  PopupMenu1->addSeparator();
  PopupMenu1->addAction(Delete);
  PopupMenu1->addAction(Recover);
  PopupMenu1->addAction(Clone);
  QAction* popupActive = PopupMenu1->addAction(QStringLiteral("Set active partition"));
  Mirror(popupActive, Active);
  PopupMenu1->addAction(Hide);
}

void TfrmMain::BuildLayout() {
  // CoolBar1: the menu band above the command band.
  CoolBar1 = new QWidget(this);
  auto* bands = new QVBoxLayout(CoolBar1);
  bands->setContentsMargins(0, 0, 0, 0);
  bands->setSpacing(0);
  ToolBar2 = new QMenuBar(CoolBar1);
  ToolBar2->setNativeMenuBar(false);
  ToolBar2->addMenu(mnuDrives);
  ToolBar2->addMenu(mnuTools);
  ToolBar2->addMenu(mnuHelp);
  bands->addWidget(ToolBar2);
  ToolBar1 = new QToolBar(CoolBar1);
  ToolBar1->setIconSize(QSize(24, 24));
  ToolBar1->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  for (QAction* a : {Scan, Stop, Refresh}) ToolBar1->addAction(a);
  ToolBar1->addSeparator();
  ToolBar1->addAction(Preview);
  ToolBar1->addSeparator();
  for (QAction* a : {Delete, Recover, Clone, Active, Rebuild}) ToolBar1->addAction(a);
  ToolBar1->addSeparator();
  ToolBar1->addAction(Help);
  for (QAction* a : ToolBar1->actions())
    if (QWidget* button = ToolBar1->widgetForAction(a)) button->setMinimumHeight(30);
  // Help's button carries no tooltip.
  if (auto* helpButton = qobject_cast<QToolButton*>(ToolBar1->widgetForAction(Help)))
    helpButton->setToolTip(QString());
  bands->addWidget(ToolBar1);

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  outer->addWidget(CoolBar1);

  auto* body = new QHBoxLayout;
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  body->addWidget(BuildLeftPanel());
  Splitter1 = new QWidget(central);
  Splitter1->setFixedWidth(4);  // never moves: it is no splitter handle at all
  Fill(Splitter1, clFace);
  body->addWidget(Splitter1);
  body->addWidget(BuildRightArea(), 1);
  outer->addLayout(body, 1);

  StatusBarEx1 = new TStatusBarEx(central);
  StatusBarEx1->SetPanels({100, 300, 50});
  ProgressBar1 = new QProgressBar(StatusBarEx1);
  ProgressBar1->setGeometry(102, 2, 298, 19);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  outer->addWidget(StatusBarEx1);
  setCentralWidget(central);
}

QWidget* TfrmMain::BuildLeftPanel() {
  Panel1 = new QWidget(this);
  Panel1->setFixedWidth(kLeftPanelWidth);
  Fill(Panel1, clPanelBlue);
  auto* column = new QVBoxLayout(Panel1);
  column->setContentsMargins(10, 10, 10, 10);
  column->setSpacing(10);

  auto box = [&](TBoxHeader*& header, const QString& caption, QWidget* content, int stretch) {
    auto* frame = new QWidget(Panel1);
    Fill(frame, clBoxBackground);
    auto* inner = new QVBoxLayout(frame);
    inner->setContentsMargins(0, 0, 0, 6);
    inner->setSpacing(4);
    header = new TBoxHeader(caption, frame);
    inner->addWidget(header);
    auto* padded = new QHBoxLayout;
    padded->setContentsMargins(6, 0, 6, 0);
    padded->addWidget(content);
    inner->addLayout(padded, stretch);
    column->addWidget(frame, stretch);
    return frame;
  };

  ListBox1 = new QListWidget(Panel1);
  ListBox1->setFrameShape(QFrame::NoFrame);
  ListBox1->setFixedHeight(110);
  Fill(ListBox1, clBoxBackground);
  {
    QPalette pal = ListBox1->palette();
    pal.setColor(QPalette::Base, WinColor(clBoxBackground));
    ListBox1->setPalette(pal);
  }
  box(lblPhysicalDrives, QStringLiteral("Physical Drives"), ListBox1, 0);

  Label4 = new TTabLabel(Panel1);
  Label4->setFixedHeight(100);
  box(lblInformation, QStringLiteral("Information"), Label4, 0);

  auto* devContent = new QWidget(Panel1);
  auto* dev = new QVBoxLayout(devContent);
  dev->setContentsMargins(0, 0, 0, 0);
  Memo1 = new QPlainTextEdit(devContent);
  Memo1->setReadOnly(true);
  dev->addWidget(Memo1, 1);
  Edit1 = new QLineEdit(devContent);
  dev->addWidget(Edit1);
  auto* buttons = new QHBoxLayout;
  Button1 = new QPushButton(QStringLiteral("LBA2CHS"), devContent);
  Button2 = new QPushButton(QStringLiteral("All Partitions"), devContent);
  connect(Button1, &QPushButton::clicked, this, [this] { RunGuarded("LBA2CHS", [this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { RunGuarded("All Partitions", [this] { Button2Click(); }); });
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  dev->addLayout(buttons);
  Panel2 = box(lblDevelopmentInfo, QStringLiteral("Development Info"), devContent, 1);
  Panel2->setVisible(false);
  column->addStretch(1);
  return Panel1;
}

QWidget* TfrmMain::BuildMapBox(QLabel*& header, TPaintBox*& map, QWidget*& info, const QString& caption,
                               const QString& infoCaption) {
  auto* boxWidget = new QWidget(this);
  auto* rows = new QVBoxLayout(boxWidget);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(0);
  const bool upper = &header == &Panel8;
  header = upper ? MapHeader(caption, clWhite, clGreen, boxWidget) : MapHeader(caption, clBlack, clFace, boxWidget);
  rows->addWidget(header);
  auto* line = new QHBoxLayout;
  line->setContentsMargins(0, 0, 0, 0);
  line->setSpacing(0);
  map = new TPaintBox(boxWidget);
  map->setFixedHeight(kMapHeight);
  map->setMinimumWidth(100);
  line->addWidget(map, 1);
  info = new QWidget(boxWidget);
  info->setFixedWidth(kInfoBoxWidth);
  Fill(info, clBoxBackground);
  auto* infoRows = new QVBoxLayout(info);
  infoRows->setContentsMargins(0, 0, 0, 0);
  infoRows->setSpacing(2);
  auto* infoHeader = new TBoxHeader(infoCaption, info);
  infoHeader->setFixedHeight(18);
  infoRows->addWidget(infoHeader);
  infoRows->addStretch(1);
  line->addWidget(info);
  rows->addLayout(line);
  return boxWidget;
}

QWidget* TfrmMain::BuildRightArea() {
  auto* area = new QWidget(this);
  auto* rows = new QVBoxLayout(area);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(0);

  QWidget* upperInfo = nullptr;
  rows->addWidget(BuildMapBox(Panel8, PaintBox1, upperInfo, QStringLiteral(" Physical Drive - None"),
                              QStringLiteral("   Info")));
  QWidget* lowerInfo = nullptr;
  rows->addWidget(BuildMapBox(Panel12, PaintBox2, lowerInfo, QStringLiteral(" The Location Of Lost Partition"),
                              QStringLiteral("  Info")));
  // The check report wraps inside the box, and the box grows to hold all of it: its lines
  // decide whether a recovery is safe.
  Label5 = new TTabLabel(lowerInfo);
  auto* padded = new QHBoxLayout;
  padded->setContentsMargins(6, 0, 2, 0);
  padded->addWidget(Label5);
  static_cast<QVBoxLayout*>(lowerInfo->layout())->insertLayout(1, padded, 1);

  auto* separator = new QWidget(area);
  separator->setFixedHeight(6);
  Fill(separator, clFace);
  rows->addWidget(separator);

  ListView1 = new TListView(area);
  ListView1->setColumnCount(6);
  ListView1->setHeaderLabels({QStringLiteral("No."), QStringLiteral("Volume Label"), QStringLiteral("File System"),
                              QStringLiteral("LBA"), QStringLiteral("Capacity"), QStringLiteral("Status")});
  const int widths[] = {100, 180, 95, 100, 100, 120};
  for (int c = 0; c < 6; ++c) ListView1->setColumnWidth(c, widths[c]);
  ListView1->headerItem()->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
  ListView1->headerItem()->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
  rows->addWidget(ListView1, 1);
  return area;
}

}  // namespace qm::ui
