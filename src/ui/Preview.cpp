#include "ui/Preview.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMimeDatabase>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/main.h"

namespace qm::ui {

TfrmPreview::TfrmPreview(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Preview"));
  // The main window's small sans-serif face, so that a date fits its 130-pixel column.
  QFont face(QStringLiteral("MS Sans Serif"));
  face.setStyleHint(QFont::SansSerif);
  face.setPixelSize(11);
  setFont(parent ? parent->font() : face);
  setFixedSize(539, 339);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  lstPreview = new QTreeWidget(this);
  lstPreview->setRootIsDecorated(false);
  lstPreview->setSelectionBehavior(QAbstractItemView::SelectRows);
  lstPreview->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lstPreview->setIconSize(QSize(16, 16));
  lstPreview->setUniformRowHeights(true);
  lstPreview->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("Type"), QStringLiteral("Size"),
                               QStringLiteral("Created")});
  lstPreview->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  lstPreview->header()->setStretchLastSection(false);
  const int widths[4] = {130, 130, 100, 130};
  for (int c = 0; c < 4; ++c) lstPreview->setColumnWidth(c, widths[c]);
  layout->addWidget(lstPreview);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
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

void TfrmPreview::FormShow() {
  filled_ = true;
  lstPreview->clear();
  // Types and icons come from the name's extension alone: nothing on the disk is touched.
  const QFileIconProvider icons;
  QIcon folderIcon = icons.icon(QFileIconProvider::Folder);
  if (folderIcon.isNull()) folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
  QIcon fileIcon = icons.icon(QFileIconProvider::File);
  if (fileIcon.isNull()) fileIcon = style()->standardIcon(QStyle::SP_FileIcon);
  QString folderType = icons.type(QFileInfo(AppDir.isEmpty() ? QStringLiteral(".") : AppDir));
  if (folderType.isEmpty()) folderType = QStringLiteral("File folder");
  static const QMimeDatabase mimes;

  QList<QTreeWidgetItem*> items;
  for (const TPreviewRow& row : PreviewRows) {
    auto* item = new QTreeWidgetItem;
    const QString name = QString::fromStdString(row.Name);
    item->setText(0, name);
    if (row.Directory) {
      item->setIcon(0, folderIcon);
      item->setText(1, folderType);
    } else {
      const QMimeType type = mimes.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
      item->setIcon(0, QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName(), fileIcon)));
      item->setText(1, FileTypeName(row));
    }
    item->setText(2, QString::fromStdString(row.SizeText));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    item->setText(3, QString::fromStdString(row.Created));
    items.append(item);
  }
  lstPreview->addTopLevelItems(items);
}

}  // namespace qm::ui
