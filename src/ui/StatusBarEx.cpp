#include "ui/StatusBarEx.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace qm::ui {

TStatusBarEx::TStatusBarEx(QWidget* parent) : QWidget(parent) {
  setFixedHeight(kHeight);
  setAutoFillBackground(true);
}

void TStatusBarEx::SetPanels(const std::vector<int>& widths) {
  panels_.clear();
  for (int w : widths) panels_.push_back({w, QString()});
  update();
}

void TStatusBarEx::SetPanelText(int index, const QString& text) {
  if (index < 0 || index >= PanelCount()) return;
  panels_[static_cast<size_t>(index)].Text = text;
  update(PanelRect(index));
}

QString TStatusBarEx::PanelText(int index) const {
  if (index < 0 || index >= PanelCount()) return {};
  return panels_[static_cast<size_t>(index)].Text;
}

QRect TStatusBarEx::PanelRect(int index) const {
  int left = 0;
  for (int i = 0; i < index; ++i) left += panels_[static_cast<size_t>(i)].Width;
  int width = panels_[static_cast<size_t>(index)].Width;
  if (index == PanelCount() - 1) width = std::max(width, this->width() - left);
  return QRect(left, 0, width, height());
}

void TStatusBarEx::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QPalette& pal = palette();
  for (int i = 0; i < PanelCount(); ++i) {
    QRect r = PanelRect(i).adjusted(0, 2, -2, 0);
    // A sunken panel: dark edges top and left, light edges bottom and right.
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
    p.setPen(pal.color(QPalette::WindowText));
    p.drawText(r.adjusted(3, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
               panels_[static_cast<size_t>(i)].Text);
  }
}

}  // namespace qm::ui
