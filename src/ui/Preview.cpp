#include "ui/Preview.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QProgressDialog>
#include <map>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QVBoxLayout>

#include "browse/CopyDestination.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

constexpr int kEntryRole = Qt::UserRole;       // index into the dialog's entries; -1: none
constexpr int kLoadedRole = Qt::UserRole + 1;  // the folder's entries were listed
const QSize kDefaultSize(539, 339);

QString Lower(const std::string& name) { return QString::fromStdString(name).toLower(); }

// How a root row and the same entry from the folder tree are matched: by name, whatever the
// case, and for a deleted entry without its lost first character.
QString MatchKey(const std::string& name, bool deleted) {
  const QString key = Lower(name);
  return deleted ? QStringLiteral("\x01") + key.mid(1) : key;
}

// A time of the volume as the Created column shows it, through the same local-time rule as
// the root's NTFS times.
QString CreatedText(const TTreeTime& t) {
  if (!t.Known) return QString();
  constexpr int64_t kEpochDifference = 11644473600;  // 1601 to 1970, in seconds
  if (t.Seconds < -kEpochDifference) return QString();
  const auto fileTime = static_cast<uint64_t>(t.Seconds + kEpochDifference) * 10'000'000ull + t.Nanos / 100;
  return QString::fromStdString(FormatPreviewTime(NtfsTimeToDateTime(fileTime)));
}

void MarkDeleted(QTreeWidgetItem* item, int columns) {
  for (int c = 0; c < columns; ++c) {
    QFont font = item->font(c);
    font.setItalic(true);
    item->setFont(c, font);
    item->setForeground(c, QBrush(Qt::gray));
  }
  item->setToolTip(0, item->toolTip(0) + QStringLiteral(" (deleted)"));
}

QIcon FolderIcon(const QStyle* style) {
  const QFileIconProvider icons;
  QIcon icon = icons.icon(QFileIconProvider::Folder);
  return icon.isNull() ? style->standardIcon(QStyle::SP_DirIcon) : icon;
}

QIcon FileIcon(const QStyle* style, const QString& name) {
  static const QMimeDatabase mimes;
  const QFileIconProvider icons;
  QIcon fileIcon = icons.icon(QFileIconProvider::File);
  if (fileIcon.isNull()) fileIcon = style->standardIcon(QStyle::SP_FileIcon);
  const QMimeType type = mimes.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
  return QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName(), fileIcon));
}

QString FolderTypeName() {
  const QFileIconProvider icons;
  QString folderType = icons.type(QFileInfo(AppDir.isEmpty() ? QStringLiteral(".") : AppDir));
  return folderType.isEmpty() ? QStringLiteral("File folder") : folderType;
}

}  // namespace

TfrmPreview::TfrmPreview(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Preview"));
  // The main window's small sans-serif face, so that a date fits its 130-pixel column.
  QFont face(QStringLiteral("MS Sans Serif"));
  face.setStyleHint(QFont::SansSerif);
  face.setPixelSize(11);
  setFont(parent ? parent->font() : face);
  setSizeGripEnabled(true);
  const QSize kept = QSettings().value(kSizeKey).toSize();
  resize(kept.isValid() && kept.width() >= 200 && kept.height() >= 120 ? kept : kDefaultSize);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  lstPreview = new QTreeWidget(this);
  lstPreview->setRootIsDecorated(true);
  lstPreview->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lstPreview->setSelectionBehavior(QAbstractItemView::SelectRows);
  lstPreview->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lstPreview->setIconSize(QSize(16, 16));
  lstPreview->setUniformRowHeights(true);
  lstPreview->setTextElideMode(Qt::ElideRight);
  lstPreview->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("Type"), QStringLiteral("Size"),
                               QStringLiteral("Created")});
  lstPreview->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  lstPreview->header()->setStretchLastSection(false);
  const int widths[4] = {130, 130, 100, 130};
  for (int c = 0; c < 4; ++c) lstPreview->setColumnWidth(c, widths[c]);
  layout->addWidget(lstPreview);
  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(6, 0, 6, 6);
  buttons->addStretch();
  btnCopy = new QPushButton(QStringLiteral("Copy to..."), this);
  btnCopy->setEnabled(false);
  buttons->addWidget(btnCopy);
  layout->addLayout(buttons);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  AskFolder = [this] { return QFileDialog::getExistingDirectory(this, QStringLiteral("Copy to")); };
  ShowSummary = [this](const QString& text, bool trouble) {
    QMessageBox box(trouble ? QMessageBox::Warning : QMessageBox::Information, QStringLiteral("Copy"), text,
                    QMessageBox::Ok, this);
    box.exec();
  };
  connect(lstPreview, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { LoadFolder(item); });
  connect(lstPreview, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateCopyButton(); });
  connect(btnCopy, &QPushButton::clicked, this, [this] { CopyToExecute(); });
  poll_ = new QTimer(this);
  poll_->setInterval(100);
  connect(poll_, &QTimer::timeout, this, [this] { PollCopy(); });
}

TfrmPreview::~TfrmPreview() {
  // A window closed while its copy runs stops the copy and waits for it: the worker reads
  // through this dialog's state.
  stop_ = true;
  if (worker_.joinable()) worker_.join();
  if (destinationFd_ >= 0) ::close(destinationFd_);
}

QString FileTypeName(const TPreviewRow& row) {
  if (!row.Directory) {
    static const QMimeDatabase mimes;
    const QMimeType type = mimes.mimeTypeForFile(QString::fromStdString(row.Name), QMimeDatabase::MatchExtension);
    if (type.isValid() && !type.isDefault() && !type.comment().isEmpty()) return type.comment();
  }
  return QString::fromStdString(FallbackTypeName(row));
}

void TfrmPreview::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!filled_) FormShow();
}

void TfrmPreview::done(int result) {
  if (Copying()) return;  // the progress box's Stop ends the copy first
  QSettings().setValue(kSizeKey, size());
  QDialog::done(result);
}

void TfrmPreview::FormShow() {
  filled_ = true;
  lstPreview->clear();
  entries_.clear();
  if (OpenTree && !tree_) tree_ = OpenTree();
  // The root as the folder tree sees it, to open its folders and copy its entries.
  std::map<QString, TTreeEntry> byKey;
  std::vector<TTreeEntry> root;
  if (tree_ && tree_->List(tree_->RootInode(), true, root).ok())
    for (const TTreeEntry& e : root) byKey.emplace(MatchKey(e.Name, e.Deleted), e);
  // Types and icons come from the name's extension alone: nothing on the disk is touched.
  const QIcon folderIcon = FolderIcon(style());
  const QString folderType = FolderTypeName();

  QList<QTreeWidgetItem*> items;
  if (RootFromTree && tree_) {
    for (const TTreeEntry& entry : root) items.append(MakeEntryItem(entry, "/" + entry.Name));
    lstPreview->addTopLevelItems(items);
    UpdateCopyButton();
    return;
  }
  for (const TPreviewRow& row : PreviewRows) {
    auto* item = new QTreeWidgetItem;
    const QString name = QString::fromStdString(row.Name);
    item->setText(0, name);
    item->setToolTip(0, name);
    if (row.Directory) {
      item->setIcon(0, folderIcon);
      item->setText(1, folderType);
    } else {
      item->setIcon(0, FileIcon(style(), name));
      item->setText(1, FileTypeName(row));
    }
    item->setText(2, QString::fromStdString(row.SizeText));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setText(3, QString::fromStdString(row.Created));
    item->setData(0, kEntryRole, -1);
    const auto match = byKey.find(MatchKey(row.Name, row.Deleted));
    if (match != byKey.end()) {
      item->setData(0, kEntryRole, static_cast<int>(entries_.size()));
      entries_.push_back({"/" + match->second.Name, match->second});
      if (row.Directory && !(row.Deleted && match->second.DataLost))
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    }
    if (row.Deleted) MarkDeleted(item, 4);
    items.append(item);
  }
  lstPreview->addTopLevelItems(items);
  UpdateCopyButton();
}

QTreeWidgetItem* TfrmPreview::MakeEntryItem(const TTreeEntry& entry, const std::string& path) {
  auto* item = new QTreeWidgetItem;
  const QString name = QString::fromStdString(entry.Name);
  TPreviewRow row;
  row.Name = entry.Name;
  row.Directory = entry.Type == TreeEntryType::Directory;
  item->setText(0, name);
  item->setToolTip(0, name);
  if (row.Directory) {
    item->setIcon(0, FolderIcon(style()));
    item->setText(1, FolderTypeName());
    if (!(entry.Deleted && entry.DataLost)) item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  } else {
    item->setIcon(0, FileIcon(style(), name));
    item->setText(1, entry.Type == TreeEntryType::Symlink ? QStringLiteral("Link") : FileTypeName(row));
    item->setText(2, QString::number(entry.Size));
  }
  item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  item->setText(3, CreatedText(entry.Created));
  item->setData(0, kEntryRole, static_cast<int>(entries_.size()));
  entries_.push_back({path, entry});
  if (entry.Deleted) MarkDeleted(item, 4);
  return item;
}

void TfrmPreview::LoadFolder(QTreeWidgetItem* item) {
  if (!tree_ || item->data(0, kLoadedRole).toBool()) return;
  item->setData(0, kLoadedRole, true);
  const int index = item->data(0, kEntryRole).toInt();
  if (index < 0) return;
  // Copied out: the list below may grow while this runs.
  const TCopyItem folder = entries_[static_cast<size_t>(index)];
  std::vector<TTreeEntry> listed;
  const Outcome read = tree_->List(folder.Entry.Inode, true, listed);
  QList<QTreeWidgetItem*> children;
  for (const TTreeEntry& e : listed) children.append(MakeEntryItem(e, folder.VolumePath + "/" + e.Name));
  item->addChildren(children);
  if (children.isEmpty()) item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  if (!read.Text.empty()) ShowSummary(QString::fromStdString(read.Line()), true);
}

void TfrmPreview::UpdateCopyButton() {
  const QList<QTreeWidgetItem*> chosen = lstPreview->selectedItems();
  bool copyable = tree_ && !chosen.isEmpty() && !Copying();
  for (const QTreeWidgetItem* item : chosen)
    if (item->data(0, kEntryRole).toInt() < 0) copyable = false;
  btnCopy->setEnabled(copyable);
}

void TfrmPreview::CopyToExecute() {
  if (!btnCopy->isEnabled()) return;
  const QString folder = AskFolder ? AskFolder() : QString();
  if (!folder.isEmpty()) StartCopy(folder);
}

bool TfrmPreview::StartCopy(const QString& folder) {
  if (Copying()) return false;
  std::vector<TCopyItem> items;
  bool withDeleted = false;
  for (const QTreeWidgetItem* item : lstPreview->selectedItems()) {
    const int index = item->data(0, kEntryRole).toInt();
    if (index < 0) continue;
    // A chosen folder inside another chosen one is copied with it.
    bool inside = false;
    for (const QTreeWidgetItem* up = item->parent(); up; up = up->parent()) inside = inside || up->isSelected();
    if (inside) continue;
    items.push_back(entries_[static_cast<size_t>(index)]);
    withDeleted = withDeleted || items.back().Entry.Deleted;
  }
  if (items.empty()) return false;
  const int fd = ::open(folder.toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    ShowSummary(QStringLiteral("The folder %1 cannot be opened: %2").arg(folder, QString::fromStdString(SystemErrorText(errno))), true);
    return false;
  }
  const Outcome refused = CheckDestinationOffSource(fd, SourcePath);
  std::unique_ptr<TVolumeTree> own = refused.ok() && OpenTree ? OpenTree() : nullptr;
  if (!own) {
    ::close(fd);
    ShowSummary(QString::fromStdString(refused.ok() ? "The volume cannot be read for the copy." : refused.Text), true);
    return false;
  }
  destinationFd_ = fd;
  stop_ = false;
  finished_ = false;
  report_ = TCopyReport{};
  progress_ = TCopyProgress{};
  progressBox_ = new QProgressDialog(QStringLiteral("Preparing the copy..."), QStringLiteral("Stop"), 0, 100, this);
  progressBox_->setWindowTitle(QStringLiteral("Copy"));
  progressBox_->setWindowModality(Qt::WindowModal);
  progressBox_->setAutoClose(false);
  progressBox_->setAutoReset(false);
  progressBox_->setMinimumDuration(0);
  connect(progressBox_, &QProgressDialog::canceled, this, [this] { StopCopy(); });
  progressBox_->show();
  TCopyOptions options;
  // Deleted entries are copied when the user chose one; the folders of live ones hold only live ones.
  options.WithDeleted = withDeleted;
  worker_ = std::thread([this, tree = std::move(own), items = std::move(items), options]() mutable {
    TCopyReport report = CopyFromVolume(*tree, items, destinationFd_, options, [this](const TCopyProgress& p) {
      const std::lock_guard<std::mutex> held(progressLock_);
      progress_ = p;
      return !stop_.load();
    });
    {
      const std::lock_guard<std::mutex> held(progressLock_);
      report_ = std::move(report);
    }
    finished_ = true;
  });
  poll_->start();
  UpdateCopyButton();
  return true;
}

void TfrmPreview::PollCopy() {
  if (finished_) {
    FinishCopy();
    return;
  }
  TCopyProgress p;
  {
    const std::lock_guard<std::mutex> held(progressLock_);
    p = progress_;
  }
  if (!progressBox_) return;
  progressBox_->setValue(p.Percent());
  progressBox_->setLabelText(QStringLiteral("Copying %1 of %2 files\n%3")
                                 .arg(p.FilesDone + (p.FilesDone < p.FilesTotal ? 1 : 0))
                                 .arg(p.FilesTotal)
                                 .arg(QString::fromStdString(p.Current)));
}

void TfrmPreview::FinishCopy() {
  poll_->stop();
  worker_.join();
  ::close(destinationFd_);
  destinationFd_ = -1;
  if (progressBox_) {
    progressBox_->close();
    progressBox_->deleteLater();
    progressBox_ = nullptr;
  }
  UpdateCopyButton();
  QStringList lines;
  for (const std::string& line : CopySummaryLines(report_)) lines << QString::fromStdString(line);
  ShowSummary(lines.join('\n'), report_.Stopped || report_.Ended.failed() || !report_.Unreadable.empty() ||
                                    !report_.NotCopied.empty());
}

}  // namespace qm::ui
