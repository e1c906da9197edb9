// The viewing side of the main window: loading a drive, the partition list with its
// selection guard, and the two disk maps.
#include <QPainter>
#include <algorithm>

#include "model/CheckReport.h"
#include "model/DevelopmentInfo.h"
#include "ui/Colors.h"
#include "ui/DiskMap.h"
#include "ui/QtHost.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

constexpr int kMapFontPixels = 9;
constexpr int kInfoBoxHeight = 100;  // the information box as laid out: six lines of geometry

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A framed box of a map, inset so that neighbours' frames stay apart.
void DrawMapBox(QPainter& canvas, const TRect& r, Qt::BrushStyle style, uint32_t pen, uint32_t brush) {
  canvas.setPen(QPen(WinColor(pen), 3));
  canvas.setBrush(QBrush(WinColor(brush), style));
  const int left = r.Left + 1, top = r.Top + 2, right = r.Right - 1, bottom = r.Bottom - 2;
  canvas.drawRect(QRect(left, top, right - left - 1, bottom - top - 1));
}

void ClearMap(QPainter& canvas, const QWidget& map) {
  canvas.fillRect(map.rect(), Qt::white);
  TRect all{0, 0, map.width(), map.height()};
  DrawMapBox(canvas, all, Qt::SolidPattern, clWhite, clWhite);
}

// The records the upper map draws: primaries, logical drives and gaps; neither the primary
// extended partition nor the links of the chain.
bool DrawnOnMap(const TPartition& record) { return !record.IsExtended(); }

}  // namespace

// --- Drive list ---------------------------------------------------------------------------

void TfrmMain::ListBox1Click() {
  QListWidgetItem* item = ListBox1->currentItem();
  if (!item || !item->isSelected() || enumerating_) return;
  auto* drive = static_cast<TPhysicalDrv*>(item->data(Qt::UserRole).value<void*>());
  if (!drive || drive == CurrentDrive) return;
  CurrentDrive = drive;
  const int index = ListBox1->row(item);
  ShowDriveInfo();
  Panel8->setText(Q(MapHeaderText(index, *drive)));

  SelectedLost = nullptr;
  SelectedPartition = nullptr;
  ShowCheckReport({});
  PaintBox2->update();
  PaintBox1->update();
  FillPartitionList();
}

void TfrmMain::ShowDriveInfo() {
  if (!CurrentDrive) return;
  QString info;
  for (const std::string& line : DriveInfoLines(*CurrentDrive)) {
    if (!info.isEmpty()) info += QLatin1Char('\r');
    info += Q(line);
  }
  info += QLatin1Char('\r') + SourceText(*CurrentDrive);
  for (const std::string& note : DriveNotes(*CurrentDrive)) info += QLatin1Char('\r') + Q(note);
  Label4->setText(info);
  // The six lines fill the box; a note wraps below them, and the box grows to hold it.
  Label4->setFixedHeight(std::max(kInfoBoxHeight, Label4->DrawnHeight(std::max(Label4->width(), 1)) + 4));
}

void TfrmMain::ShowCheckReport(const std::string& report) {
  QString lines = MessageText(report);
  while (lines.endsWith(QLatin1Char('\n'))) lines.chop(1);
  Label5->setToolTip(lines);
  Label5->setText(QString(lines).replace(QLatin1Char('\n'), QLatin1Char('\r')));
  // Every line is shown whole: the box grows below the map when the wrapped lines need it.
  Label5->setMinimumHeight(lines.isEmpty() ? 0 : Label5->DrawnHeight(std::max(Label5->width(), 1)));
}

// --- Partition list ------------------------------------------------------------------------

void TfrmMain::FillPartitionList() {
  ListView1->setUpdatesEnabled(false);
  // Deleting rows is no change of selection the guard has to judge.
  auto guard = std::move(ListView1->OnChanging);
  ListView1->OnChanging = nullptr;
  ListView1->clear();
  ListView1->OnChanging = std::move(guard);
  Rows = BuildPartitionRows(CurrentDrive, DebugMode);
  FirstLostRow = CurrentDrive ? qm::FirstLostRow(*CurrentDrive) : 0;
  QList<QTreeWidgetItem*> items;
  for (size_t i = 0; i < Rows.size(); ++i) {
    const TPartitionRow& row = Rows[i];
    QStringList cells{Q(row.Caption), Q(row.VolumeLabel), Q(row.FileSystem), Q(row.Lba), Q(row.Capacity), Q(row.Status)};
    if (DebugMode && row.Record) cells << Q(row.PtSelf) << Q(row.PtParent) << Q(row.SelfBaseLba);
    auto* item = new QTreeWidgetItem(cells);
    item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
    const QColor background = WinColor(row.Kind == RowKind::Group ? clGroupRow : clWhite);
    for (int c = 0; c < ListView1->columnCount(); ++c) item->setBackground(c, background);
    items << item;
  }
  ListView1->addTopLevelItems(items);
  // A column is never narrower than its text ("FAT16 - [Hidden]", a long label): it grows to
  // the widest cell, and the list scrolls sideways when the window is too narrow.
  const QFontMetrics metrics(ListView1->font());
  for (int c = 1; c < ListView1->columnCount(); ++c) {
    int wanted = 0;
    for (const QTreeWidgetItem* item : items) wanted = std::max(wanted, metrics.horizontalAdvance(item->text(c)) + 16);
    if (wanted > ListView1->columnWidth(c)) ListView1->setColumnWidth(c, wanted);
  }
  ListView1->setUpdatesEnabled(true);
  listStale_ = false;
}

bool TfrmMain::ListView1Changing(int row) {
  // While a scan or search owns the drive, the chosen row stays.
  if (!DriveReady()) return false;
  return RowSelectable(*CurrentDrive, row);
}

void TfrmMain::ListView1Click() {
  const int row = ListView1->SelectedRow();
  // The report reads the drive: not while the user's scan owns it.
  if (row < 0 || !DriveReady()) return;
  TPartition* record = RowRecord(row);
  if (!record) return;
  if (row >= FirstLostRow) {
    SelectedLost = record;
    PaintBox2->update();
    std::string report;
    BuildCheckReport(*CurrentDrive, *record, report);
    ShowCheckReport(report);
  } else {
    SelectedPartition = record;
    PaintBox1->update();
  }
  if (SelectedPartition && DebugMode && SelectedPartition->Parent) {
    Memo1->clear();
    for (const std::string& line : SiblingLines(*SelectedPartition)) Memo1->appendPlainText(Q(line));
  }
}

// --- Disk maps -----------------------------------------------------------------------------

std::vector<TMapBox> TfrmMain::LayoutDiskMap() const {
  std::vector<TMapBox> boxes;
  if (!CurrentDrive) return boxes;
  for (size_t i = 1; i < CurrentDrive->AllPartitions.size(); ++i) {
    TPartition* record = CurrentDrive->AllPartitions[i];
    if (DrawnOnMap(*record))
      boxes.push_back({record, GetMapRect(*CurrentDrive, *record, PaintBox1->width(), PaintBox1->height())});
  }
  return boxes;
}

void TfrmMain::DrawDiskMap(QPainter& canvas) {
  ClearMap(canvas, *PaintBox1);
  if (!CurrentDrive) return;
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(kMapFontPixels);
  canvas.setFont(font);
  const QFontMetrics metrics(font);
  const int h = metrics.height();
  for (const auto& [record, box] : LayoutDiskMap()) {
    TRect r = box;
    const bool highlighted =
        SelectedPartition && ((SelectedPartition->IsExtended() && IsInside(*record, *SelectedPartition)) ||
                              SelectedPartition == record);
    if (highlighted) {
      DrawMapBox(canvas, r, Qt::FDiagPattern, clMapHighlight, clMapHatch);
      r.Left += 2;
    } else {
      DrawMapBox(canvas, r, Qt::SolidPattern, clMapFrame, clWhite);
      r.Left += 1;
    }
    r.Right -= 8;
    canvas.setBrush(Qt::NoBrush);
    canvas.setPen(Qt::black);
    canvas.save();
    canvas.setClipRect(QRect(r.Left, r.Top, std::max(0, r.Right - r.Left), r.Bottom - r.Top));
    const int x = r.Left + 10;
    const int y = r.Top + 8 + metrics.ascent();
    // A line wider than its box ends in an ellipsis (the box's tooltip has it whole); a box
    // too narrow for that shows no text at all.
    const int room = r.Right - x;
    const std::string lines[] = {LabelCellText(*record), MapFsLine(*record), MapStatusLine(*record)};
    for (int i = 0; i < 3; ++i) {
      const QString text = metrics.elidedText(Q(lines[i]).trimmed(), Qt::ElideRight, room);
      if (text.size() > 1) canvas.drawText(x, y + i * h, text);
    }
    canvas.restore();
  }
}

void TfrmMain::PaintBox2Paint(QPainter& canvas) {
  ClearMap(canvas, *PaintBox2);
  if (!SelectedLost || !CurrentDrive) return;
  DrawMapBox(canvas, GetMapRect(*CurrentDrive, *SelectedLost, PaintBox2->width(), PaintBox2->height()), Qt::FDiagPattern,
             clMapHighlight, clMapHatch);
}

void TfrmMain::PaintBox1MouseDown(Qt::MouseButton button, QPoint pos) {
  if (button == Qt::LeftButton) MouseDownPos = pos;
}

void TfrmMain::PaintBox1Click() {
  if (!DriveReady()) return;
  for (const auto& [record, box] : LayoutDiskMap()) {
    if (!PointInMapRect(MouseDownPos.x(), MouseDownPos.y(), box)) continue;
    SelectedPartition = record;
    PaintBox1->update();
    for (int row = 0; row < static_cast<int>(Rows.size()); ++row) {
      if (Rows[static_cast<size_t>(row)].Record != record) continue;
      ListView1->setCurrentItem(ListView1->topLevelItem(row));
      break;
    }
    ListView1->setFocus();
    return;
  }
}

QString TfrmMain::MapToolTip(const TPaintBox* map, QPoint pos) {
  if (!CurrentDrive) return {};
  if (map != PaintBox1) {
    if (!SelectedLost) return {};
    const TRect r = GetMapRect(*CurrentDrive, *SelectedLost, map->width(), map->height());
    return PointInMapRect(pos.x(), pos.y(), r) ? Q(MapBoxTip(*CurrentDrive, *SelectedLost, true)) : QString();
  }
  // The box a click at this point would choose.
  for (const auto& [record, box] : LayoutDiskMap())
    if (PointInMapRect(pos.x(), pos.y(), box)) return Q(MapBoxTip(*CurrentDrive, *record, false));
  return {};
}

}  // namespace qm::ui
