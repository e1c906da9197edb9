#include "ui/Controls.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QTextOption>

#include "ui/ActionImages.h"
#include "ui/Colors.h"

namespace qm::ui {

// --- TPaintBox ---------------------------------------------------------------------------

TPaintBox::TPaintBox(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

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

QModelIndex TListView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
  const QModelIndex next = QTreeWidget::moveCursor(cursorAction, modifiers);
  if (next.isValid() && !Allowed(next.row())) return currentIndex();
  return next;
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
  update();
}

void TTabLabel::SetFontColor(const QColor& color) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, color);
  setPalette(pal);
}

void TTabLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  QString shown = text_;
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  // Tab stops every eight average characters, as labels of the platform place them.
  QTextOption option(Qt::AlignLeft | Qt::AlignTop);
  option.setTabStopDistance(8 * fontMetrics().averageCharWidth());
  p.drawText(QRectF(rect()), shown, option);
}

}  // namespace qm::ui
