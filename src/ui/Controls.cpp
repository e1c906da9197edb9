#include "ui/Controls.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>
#include <QToolTip>
#include <algorithm>
#include <cmath>

#include "ui/ActionImages.h"
#include "ui/Colors.h"

namespace qm::ui {

// --- TPaintBox ---------------------------------------------------------------------------

TPaintBox::TPaintBox(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

bool TPaintBox::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QWidget::event(event);
  auto* help = static_cast<QHelpEvent*>(event);
  const QString tip = OnToolTip ? OnToolTip(help->pos()) : QString();
  if (tip.isEmpty()) {
    QToolTip::hideText();
    event->ignore();
  } else {
    QToolTip::showText(help->globalPos(), tip, this);
  }
  return true;
}

void TPaintBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (OnPaint) OnPaint(p);
}

void TPaintBox::mousePressEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  if (OnMouseDown) OnMouseDown(event->button(), pos);
  pressed_ = event->button() == Qt::LeftButton;
}

void TPaintBox::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  if (click && OnClick) OnClick();
}

// --- TGuardedSelectionModel --------------------------------------------------------------

void TGuardedSelectionModel::select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) {
  if (!Guard) {
    QItemSelectionModel::select(selection, command);
    return;
  }
  // Clearing changes the state of the rows selected now: refused rows stay selected (during
  // a scan every row is refused, so the selection is frozen).
  if (command & QItemSelectionModel::Clear) {
    for (const QModelIndex& index : selectedRows())
      if (!Guard(index.row())) return;
  }
  QItemSelection allowed;
  for (const QItemSelectionRange& range : selection) {
    for (int row = range.top(); row <= range.bottom(); ++row) {
      if (!Guard(row)) continue;
      const QModelIndex left = model()->index(row, range.left(), range.parent());
      const QModelIndex right = model()->index(row, range.right(), range.parent());
      allowed.select(left, right);
    }
  }
  if (!selection.isEmpty() && allowed.isEmpty()) return;
  QItemSelectionModel::select(allowed, command);
}

// --- TListView ---------------------------------------------------------------------------

TListView::TListView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setContextMenuPolicy(Qt::CustomContextMenu);
  header()->setSectionsMovable(false);
  header()->setStretchLastSection(false);
  guard_ = new TGuardedSelectionModel(model(), this);
  guard_->Guard = [this](int row) { return Allowed(row); };
  QItemSelectionModel* old = selectionModel();
  setSelectionModel(guard_);
  delete old;
}

int TListView::SelectedRow() const {
  const QModelIndexList rows = selectionModel()->selectedRows();
  return rows.size() == 1 ? rows.front().row() : -1;
}

int TListView::AllowedFrom(int row, int step) const {
  for (const int rows = topLevelItemCount(); row >= 0 && row < rows; row += step)
    if (Allowed(row)) return row;
  return -1;
}

QModelIndex TListView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
  const bool backwards = cursorAction == MoveUp || cursorAction == MovePageUp || cursorAction == MoveEnd ||
                         cursorAction == MovePrevious || cursorAction == MoveLeft;
  const int step = backwards ? -1 : 1;
  int row = -1;
  if (!currentIndex().isValid()) {
    // Nothing current yet: the first key lands on the first row that can be chosen.
    row = cursorAction == MoveEnd ? AllowedFrom(topLevelItemCount() - 1, -1) : AllowedFrom(0, 1);
  } else {
    const QModelIndex next = QTreeWidget::moveCursor(cursorAction, modifiers);
    if (!next.isValid()) return currentIndex();
    // Past a group row or the empty row to the next partition in the same direction; when
    // there is none (Up on the first partition, PageDown onto the last group row of a list
    // without lost partitions), the nearest one the other way, but never behind the start.
    row = AllowedFrom(next.row(), step);
    if (row < 0) row = AllowedFrom(next.row(), -step);
    const int current = currentIndex().row();
    const bool relative = cursorAction != MoveHome && cursorAction != MoveEnd;
    if (relative && row >= 0 && (step > 0 ? row < current : row > current)) row = current;
  }
  if (row < 0) return currentIndex();
  return model()->index(row, 0);
}

void TListView::keyPressEvent(QKeyEvent* event) {
  const int before = SelectedRow();
  QTreeWidget::keyPressEvent(event);
  const int after = SelectedRow();
  if (after >= 0 && after != before && OnClick) OnClick();
}

void TListView::focusInEvent(QFocusEvent* event) {
  // The view makes its first row current when it gains the focus with none, unselected: the
  // first Down would then pass over the first partition. No row is current until a key or
  // click chooses one.
  const bool hadCurrent = currentIndex().isValid();
  QTreeWidget::focusInEvent(event);
  if (!hadCurrent && currentIndex().isValid() && SelectedRow() < 0)
    selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

void TListView::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && !Allowed(index.row())) {
    event->accept();  // neither selection nor focus moves onto a refused row
    setFocus(Qt::MouseFocusReason);
    return;
  }
  QTreeWidget::mousePressEvent(event);
}

void TListView::mouseMoveEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && !Allowed(index.row())) {
    event->accept();
    return;
  }
  QTreeWidget::mouseMoveEvent(event);
}

void TListView::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = pressed_ && event->button() == Qt::LeftButton;
  pressed_ = false;
  QTreeWidget::mouseReleaseEvent(event);
  if (click && OnClick) OnClick();
}

void TListView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && !Allowed(index.row())) {
    event->accept();
    return;
  }
  QTreeWidget::mouseDoubleClickEvent(event);
}

void TListView::keyboardSearch(const QString&) {
  // Typing does not move the selection: rows are chosen by mouse or arrow keys.
}

// --- TBoxHeader --------------------------------------------------------------------------

TBoxHeader::TBoxHeader(const QString& caption, QWidget* parent)
    : QWidget(parent), Caption(caption), CaptionColor(WinColor(clTeal)) {
  setFixedHeight(22);
}

void TBoxHeader::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, BoxHeaderStrip(width(), height()));
  QFont f = font();
  f.setBold(true);
  p.setFont(f);
  p.setPen(CaptionColor);
  p.drawText(rect().adjusted(8, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft, Caption);
}

// --- TTabLabel ---------------------------------------------------------------------------

TTabLabel::TTabLabel(QWidget* parent) : QWidget(parent) {}

void TTabLabel::setText(const QString& text) {
  text_ = text;
  FitUnbrokenLines();
  update();
}

void TTabLabel::resizeEvent(QResizeEvent*) { FitUnbrokenLines(); }

void TTabLabel::FitUnbrokenLines() {
  setFont(QFont());  // the inherited font, then smaller while a value would be cut off
  QFont smaller = font();
  while (width() > 0 && UnbrokenWidth() > width() && smaller.pixelSize() > 7) {
    smaller.setPixelSize(smaller.pixelSize() - 1);
    setFont(smaller);
  }
}

void TTabLabel::SetFontColor(const QColor& color) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, color);
  setPalette(pal);
}

namespace {

// One line of a TTabLabel laid out at `width`; returns its height.
qreal LayOutLine(QTextLayout& layout, const QFontMetrics& metrics, int width) {
  QTextOption option(Qt::AlignLeft | Qt::AlignTop);
  // Tab stops every eight average characters, as labels of the platform place them.
  option.setTabStopDistance(8 * metrics.averageCharWidth());
  // A word longer than the line (a device path) is broken where the line ends.
  option.setWrapMode(layout.text().contains(QLatin1Char('\t')) ? QTextOption::NoWrap
                                                               : QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal height = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition(QPointF(0, height));
    height += metrics.lineSpacing();
  }
  layout.endLayout();
  return height;
}

}  // namespace

int TTabLabel::DrawnLineCount(int width) const {
  int count = 0;
  for (const QString& text : text_.split(QLatin1Char('\r'))) {
    QTextLayout layout(text, font());
    LayOutLine(layout, fontMetrics(), width);
    count += std::max(1, layout.lineCount());
  }
  return count;
}

int TTabLabel::DrawnHeight(int width) const { return DrawnLineCount(width) * fontMetrics().lineSpacing(); }

int TTabLabel::UnbrokenWidth() const {
  qreal widest = 0;
  for (const QString& text : text_.split(QLatin1Char('\r'))) {
    if (!text.contains(QLatin1Char('\t'))) continue;
    QTextLayout layout(text, font());
    LayOutLine(layout, fontMetrics(), 100000);
    if (layout.lineCount() > 0) widest = std::max(widest, layout.lineAt(0).naturalTextWidth());
  }
  return static_cast<int>(std::ceil(widest));
}

void TTabLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  qreal y = 0;
  for (const QString& text : text_.split(QLatin1Char('\r'))) {
    QTextLayout layout(text, font());
    const qreal height = LayOutLine(layout, fontMetrics(), width());
    layout.draw(&p, QPointF(0, y));
    y += std::max<qreal>(height, fontMetrics().lineSpacing());
  }
}

}  // namespace qm::ui
