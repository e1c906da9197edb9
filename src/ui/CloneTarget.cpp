#include "ui/CloneTarget.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QLinearGradient>
#include <QPainter>
#include <QShortcut>
#include <QUrl>
#include <algorithm>

#include "ui/Colors.h"
#include "ui/HelpFile.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

// The title strip: a band shaded from the dialog's blue to white.
QPixmap TitleStrip() {
  QPixmap strip(299, 25);
  QPainter p(&strip);
  QLinearGradient shade(0, 0, 299, 0);
  shade.setColorAt(0, WinColor(0xE0B890));
  shade.setColorAt(1, WinColor(clWhite));
  p.fillRect(strip.rect(), shade);
  return strip;
}

}  // namespace

const QString TfrmDrives::kImageFileRow = QStringLiteral("Copy to image file...");

TfrmDrives::TfrmDrives(QWidget* parent) : QDialog(parent) {
  if (parent) setFont(parent->font());  // a window does not take its owner's font by itself
  setWindowTitle(QStringLiteral("Clone to ..."));
  setFixedSize(299, 255);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, WinColor(clBoxBackground));
  setPalette(pal);

  auto* strip = new QLabel(this);
  strip->setGeometry(0, 0, 299, 25);
  strip->setPixmap(TitleStrip());
  strip->setScaledContents(true);
  Label6 = new QLabel(QStringLiteral("Select target drive"), this);
  Label6->setGeometry(8, 0, 280, 25);
  QFont bold = Label6->font();
  bold.setBold(true);
  Label6->setFont(bold);
  QPalette teal = Label6->palette();
  teal.setColor(QPalette::WindowText, WinColor(clTeal));
  Label6->setPalette(teal);

  Label1 = new QLabel(QStringLiteral("Note: the lost partition may be damaged if portion sectors of the lost partition "
                                     "have been allocated to the target drive."),
                      this);
  Label1->setWordWrap(true);
  // The note takes as many lines as the font needs; what is below it moves down.
  const int noteHeight = std::max(28, Label1->heightForWidth(286));
  const int below = noteHeight - 28;
  Label1->setGeometry(7, 30, 286, noteHeight);
  setFixedSize(299, 255 + below);

  DriveList = new QTreeWidget(this);
  DriveList->setGeometry(7, 62 + below, 285, 150);
  DriveList->setColumnCount(1);
  DriveList->setColumnWidth(0, 200);
  DriveList->setHeaderHidden(true);
  DriveList->setRootIsDecorated(false);
  DriveList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DriveList->setSelectionBehavior(QAbstractItemView::SelectRows);
  DriveList->setSelectionMode(QAbstractItemView::SingleSelection);
  DriveList->header()->setStretchLastSection(true);
  imageRow_ = new QTreeWidgetItem(DriveList, QStringList{kImageFileRow});

  Button1 = new QPushButton(QStringLiteral("OK"), this);
  Button1->setGeometry(56, 222 + below, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton(QStringLiteral("Cancel"), this);
  Button2->setGeometry(137, 222 + below, 75, 25);
  Button3 = new QPushButton(QStringLiteral("Help"), this);
  Button3->setGeometry(218, 222 + below, 75, 25);

  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, [this] { Button3Click(); });
  connect(DriveList, &QTreeWidget::itemDoubleClicked, this, [this] { DriveListDblClick(); });
}

QString TfrmDrives::DriveCaption(const TLogiDrive& drive) {
  return QString::fromStdString(drive.Root + "  (" + drive.SizeText + ")  " + drive.VolumeLabel);
}

void TfrmDrives::AddDrive(const TLogiDrive& drive) {
  auto* row = new QTreeWidgetItem(QStringList{DriveCaption(drive)});
  row->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(const_cast<TLogiDrive*>(&drive))));
  DriveList->insertTopLevelItem(DriveList->indexOfTopLevelItem(imageRow_), row);
}

const TLogiDrive* TfrmDrives::SelectedDrive() const {
  const QTreeWidgetItem* row = DriveList->currentItem();
  if (!row || !row->isSelected() || row == imageRow_) return nullptr;
  return static_cast<const TLogiDrive*>(row->data(0, Qt::UserRole).value<void*>());
}

bool TfrmDrives::ImageFileChosen() const {
  return DriveList->currentItem() == imageRow_ && imageRow_->isSelected();
}

void TfrmDrives::Button1Click() {
  if (SelectedDrive() || ImageFileChosen()) accept();
}

void TfrmDrives::Button3Click() {
  // The help file is opened by the desktop's handler, which cannot be sent to a topic.
  OpenHelp(this);
}

}  // namespace qm::ui
