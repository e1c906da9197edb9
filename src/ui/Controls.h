#pragma once
// Small controls of the main window: a paint box whose painting and mouse events the form
// handles, the partition list with its selection guard, a box header, and a label that expands
// tabs.
#include <QItemSelectionModel>
#include <QTreeWidget>
#include <QWidget>
#include <functional>

namespace qm::ui {

class TPaintBox : public QWidget {
 public:
  explicit TPaintBox(QWidget* parent = nullptr);

  std::function<void(QPainter&)> OnPaint;
  std::function<void(Qt::MouseButton, QPoint)> OnMouseDown;
  std::function<void()> OnClick;  // a left press and release inside the box
  // The tooltip at a point of the box; empty: none there.
  std::function<QString(QPoint)> OnToolTip;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

// Refuses every change of selection that touches a row the guard refuses, leaving the
// selection where it was.
class TGuardedSelectionModel : public QItemSelectionModel {
 public:
  using QItemSelectionModel::QItemSelectionModel;
  using QItemSelectionModel::select;

  std::function<bool(int row)> Guard;

  void select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) override;
};

// The partition list: a read-only report view with whole-row selection. OnChanging is asked
// before the selection or the focus moves to a row; a refused row is neither selected nor
// focused, by mouse or keyboard. The arrow, page, Home and End keys pass over refused rows to
// the next row that may be chosen, and the first of them pressed while no row is current
// chooses the first such row (End the last). OnClick follows a mouse click, and a key that
// changes the chosen row, so that both choose alike.
class TListView : public QTreeWidget {
 public:
  explicit TListView(QWidget* parent = nullptr);

  std::function<bool(int row)> OnChanging;
  std::function<void()> OnClick;

  int RowOf(const QModelIndex& index) const { return index.isValid() ? index.row() : -1; }
  // The index of the single selected row, or -1.
  int SelectedRow() const;

 protected:
  QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyboardSearch(const QString& search) override;

 private:
  bool Allowed(int row) const { return !OnChanging || row < 0 || OnChanging(row); }
  // The nearest row from `row` on, in steps of `step` (+1 or -1), that may be chosen; -1 when none.
  int AllowedFrom(int row, int step) const;
  TGuardedSelectionModel* guard_;
  bool pressed_ = false;
};

// The header of a box of the left panel: a picture strip with a bold caption.
class TBoxHeader : public QWidget {
 public:
  TBoxHeader(const QString& caption, QWidget* parent = nullptr);
  QString Caption;
  QColor CaptionColor;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A label that expands tabs when it draws. Lines are separated by "\r". A line with a tab is
// a name and its value and is never broken (a ten-digit sector count stays beside its name);
// other lines wrap at the label's width. When such a line is wider than the label, the font
// steps down until it fits.
class TTabLabel : public QWidget {
 public:
  explicit TTabLabel(QWidget* parent = nullptr);
  void setText(const QString& text);
  QString text() const { return text_; }
  void SetFontColor(const QColor& color);
  // The lines as drawn at `width` pixels, and the height they take.
  int DrawnLineCount(int width) const;
  int DrawnHeight(int width) const;
  // The width the widest line without a break needs.
  int UnbrokenWidth() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitUnbrokenLines();
  QString text_;
};

}  // namespace qm::ui
