#include "ui/Rebuild.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QUrl>

#include "disk/Host.h"
#include "edit/Commit.h"
#include "edit/Rebuild.h"
#include "scan/Scanner.h"
#include "ui/Colors.h"
#include "ui/HelpFile.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

constexpr int kImageSize = 16;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A check box for Primary, a round button for Active: there is one active partition at most.
QPixmap MarkImage(bool round, bool on) {
  QPixmap image(kImageSize, kImageSize);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(28, 81, 128), 1));
  p.setBrush(Qt::white);
  const QRectF box(2.5, 2.5, 11, 11);
  if (round) {
    p.drawEllipse(box);
    if (on) {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(33, 161, 33));
      p.drawEllipse(QRectF(5, 5, 6, 6));
    }
  } else {
    p.drawRect(box);
    if (on) {
      p.setPen(QPen(QColor(33, 161, 33), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(QPolygonF({QPointF(4.5, 8), QPointF(7, 10.5), QPointF(11.5, 5)}));
    }
  }
  return image;
}

// Draws the picture of the Primary and Active cells in the cell's middle.
class CentredImageDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QVariant picture = index.data(Qt::DecorationRole);
    if (index.column() == 0 || !picture.canConvert<QPixmap>()) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    QStyleOptionViewItem plain = option;
    initStyleOption(&plain, index);
    plain.icon = QIcon();
    plain.features &= ~QStyleOptionViewItem::HasDecoration;
    const QWidget* view = option.widget;
    QStyle* style = view ? view->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &plain, painter, view);
    const QPixmap image = picture.value<QPixmap>();
    painter->drawPixmap(option.rect.center() - QPoint(image.width() / 2, image.height() / 2), image);
  }
};

QLabel* BoldLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont f = label->font();
  f.setBold(true);
  label->setFont(f);
  return label;
}

QPushButton* Button(const QString& caption, const QRect& place, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setGeometry(place);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

TDestListView::TDestListView(QWidget* parent) : QTreeWidget(parent) {}

void TDestListView::mousePressEvent(QMouseEvent* event) {
  QTreeWidget::mousePressEvent(event);
  if (event->button() == Qt::LeftButton && OnMouseDown) OnMouseDown(event->position().toPoint());
}

TfrmRebuild::TfrmRebuild(TPhysicalDrv& drive, const std::vector<TPartitionRow>& rows, int firstLostRow,
                         QWidget* parent)
    : QDialog(parent), drive_(drive) {
  if (parent) setFont(parent->font());  // a window does not take its owner's font by itself
  setWindowTitle(QStringLiteral("Rebuild Partition Table"));
  setFixedSize(562, 319);
  ImageList1 = {MarkImage(false, false), MarkImage(false, true), MarkImage(true, false), MarkImage(true, true)};

  Label2 = BoldLabel(QStringLiteral("All partitions:"), this);
  Label2->move(8, 8);
  lvSource = new TListView(this);
  lvSource->setGeometry(8, 26, 234, 236);
  lvSource->setColumnCount(2);
  lvSource->setHeaderLabels({QStringLiteral("No."), QStringLiteral("Volume Label")});
  lvSource->setColumnWidth(0, 90);
  lvSource->setColumnWidth(1, 110);
  lvSource->OnChanging = [this](int row) { return List.Selectable(row); };

  Label1 = BoldLabel(QStringLiteral("Available partitions:"), this);
  Label1->move(312, 8);
  lvDest = new TDestListView(this);
  lvDest->setGeometry(312, 26, 242, 236);
  lvDest->setRootIsDecorated(false);
  lvDest->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvDest->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvDest->setIconSize(QSize(kImageSize, kImageSize));
  lvDest->setItemDelegate(new CentredImageDelegate(lvDest));
  lvDest->setColumnCount(3);
  lvDest->setHeaderLabels({QStringLiteral("Partition"), QStringLiteral("Primary"), QStringLiteral("Active")});
  lvDest->headerItem()->setTextAlignment(1, Qt::AlignCenter);
  lvDest->headerItem()->setTextAlignment(2, Qt::AlignCenter);
  lvDest->setColumnWidth(0, 98);
  lvDest->setColumnWidth(1, 60);
  lvDest->setColumnWidth(2, 60);
  lvDest->OnMouseDown = [this](QPoint pos) { lvDestMouseDown(pos); };

  Button1 = Button(QStringLiteral(">"), QRect(252, 72, 50, 25), this);
  Button2 = Button(QStringLiteral("<"), QRect(252, 104, 50, 25), this);
  Button6 = Button(QStringLiteral(">>"), QRect(252, 152, 50, 25), this);
  Button5 = Button(QStringLiteral("<<"), QRect(252, 184, 50, 25), this);
  Bevel1 = new QFrame(this);
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Bevel1->setGeometry(8, 272, 546, 4);
  Button4 = Button(QStringLiteral("Rebuild"), QRect(311, 286, 75, 25), this);
  Button7 = Button(QStringLiteral("Cancel"), QRect(395, 286, 75, 25), this);
  Button3 = Button(QStringLiteral("Help"), QRect(479, 286, 75, 25), this);

  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
  connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(Button7, &QPushButton::clicked, this, &QDialog::reject);
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, [this] { Button3Click(); });

  // Both marks start clear on every partition the main window lists.
  List.SetSource(rows, firstLostRow);
  FillSource();
}

void TfrmRebuild::FillSource() {
  auto guard = std::move(lvSource->OnChanging);
  lvSource->OnChanging = nullptr;
  lvSource->clear();
  lvSource->OnChanging = std::move(guard);
  for (const TPartitionRow& row : List.Source()) {
    auto* item = new QTreeWidgetItem({Q(row.Caption), Q(row.VolumeLabel)});
    // The two group rows stand out.
    const QColor background = WinColor(row.Kind == RowKind::Group ? clGroupRow : clWhite);
    for (int c = 0; c < 2; ++c) item->setBackground(c, background);
    lvSource->addTopLevelItem(item);
  }
}

void TfrmRebuild::FillDest() {
  const int selected = lvDest->currentIndex().isValid() ? lvDest->currentIndex().row() : -1;
  lvDest->clear();
  for (const TRebuildEntry& entry : List.Dest()) {
    auto* item = new QTreeWidgetItem({Q(entry.Caption), QString(), QString()});
    item->setData(1, Qt::DecorationRole, ImageList1[entry.Primary ? imgPrimaryOn : imgPrimaryOff]);
    item->setData(2, Qt::DecorationRole, ImageList1[entry.Active ? imgActiveOn : imgActiveOff]);
    lvDest->addTopLevelItem(item);
  }
  if (selected >= 0 && selected < lvDest->topLevelItemCount()) lvDest->setCurrentItem(lvDest->topLevelItem(selected));
}

void TfrmRebuild::Button1Click() {
  const int row = lvSource->SelectedRow();
  if (row >= 0) List.Add(row);
  List.Sort();
  FillDest();
}

void TfrmRebuild::Button6Click() {
  List.AddAll();
  List.Sort();
  FillDest();
}

void TfrmRebuild::Button2Click() {
  const QList<QTreeWidgetItem*> selected = lvDest->selectedItems();
  if (selected.isEmpty()) return;
  List.Remove(lvDest->indexOfTopLevelItem(selected.front()));
  FillDest();
}

void TfrmRebuild::Button5Click() {
  List.Clear();
  FillDest();
}

void TfrmRebuild::lvDestMouseDown(QPoint pos) {
  QTreeWidgetItem* item = lvDest->itemAt(QPoint(5, pos.y()));
  if (!item) return;
  const int row = lvDest->indexOfTopLevelItem(item);
  std::string refusal;
  switch (lvDest->columnAt(pos.x())) {
    case 1: refusal = List.TogglePrimary(row); break;
    case 2: refusal = List.ToggleActive(row); break;
    default: return;
  }
  FillDest();
  if (!refusal.empty()) drive_.Io().UserHost().MessageBox(refusal, "Error", MsgButtons::Ok, MsgIcon::Error);
}

void TfrmRebuild::Button4Click() {
  if (List.Dest().empty()) return;
  const std::vector<TRebuildChoice> chosen = List.Chosen();
  const std::vector<TRebuildList::Remembered> layout = List.Remember();
  // The rebuild reads the drive's tables again, also when it does not start: from here on
  // the records of both lists may be gone.
  // Each logical drive gets an extended boot record in front of it: the volumes there must be
  // known, so that none is written into.
  // A scan there that did not end leaves the dialog open, as a refusal does.
  Outcome front;
  for (const TRebuildChoice& choice : chosen) {
    if (choice.Primary) continue;
    front = ScanInFrontOf(drive_, choice.Record->AbsoluteStart(), nullptr);
    if (!front) break;
  }
  ShowOutcome(drive_.Io().UserHost(), front);
  const EditOutcome result = front ? RebuildPartitionTable(drive_, chosen) : EditOutcome(EditResult::Cancelled);
  ShowOutcome(drive_.Io().UserHost(), result.Told);
  if (result == EditResult::Refused || result == EditResult::Cancelled) {
    // The dialog stays open on the drive as it is now, with the layout the user composed.
    List.Rebind(BuildPartitionRows(&drive_, DebugMode), qm::FirstLostRow(drive_), layout);
    FillSource();
    FillDest();
    return;
  }
  List.Forget();
  // A write that failed was told above, with what reached the disk.
  if (Succeeded(result))
    drive_.Io().UserHost().MessageBox("Rebuild partition table completed successfully.", "Information", MsgButtons::Ok,
               MsgIcon::Information);
  accept();
}

void TfrmRebuild::Button3Click() {
  // The desktop opens the help file with the program it has for it; a topic cannot be named.
  OpenHelp(this);
}

}  // namespace qm::ui
