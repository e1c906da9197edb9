#include "ui/LabelEx.h"

#include <QMouseEvent>

#include "ui/Colors.h"

namespace qm::ui {

TLabelEx::TLabelEx(QWidget* parent) : QLabel(parent), ActiveColor(WinColor(clBlue)) {}

void TLabelEx::Loaded() { normalColor_ = FontColor(); }

void TLabelEx::SetFontColor(const QColor& color) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, color);
  setPalette(pal);
}

QColor TLabelEx::FontColor() const { return palette().color(QPalette::WindowText); }

void TLabelEx::MouseEnter() {
  SetFontColor(ActiveColor);
  if (OnMouseEnter) OnMouseEnter(this);
}

void TLabelEx::MouseLeave() {
  SetFontColor(normalColor_);
  if (OnMouseLeave) OnMouseLeave(this);
}

void TLabelEx::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  MouseEnter();
}

void TLabelEx::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  MouseLeave();
}

void TLabelEx::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) OnClick(this);
}

}  // namespace qm::ui
