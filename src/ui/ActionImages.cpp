#include "ui/ActionImages.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace qm::ui {
namespace {

constexpr int kSize = 24;

// A small hard disk seen from the front: the base of several pictures.
void Disk(QPainter& p, const QRectF& r) {
  QLinearGradient body(r.topLeft(), r.bottomLeft());
  body.setColorAt(0, QColor(226, 230, 238));
  body.setColorAt(1, QColor(150, 158, 176));
  p.setPen(QPen(QColor(70, 78, 98), 1));
  p.setBrush(body);
  p.drawRoundedRect(r, 2, 2);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 200, 70));
  p.drawEllipse(QPointF(r.right() - 3.5, r.center().y()), 1.5, 1.5);
}

void DrawScan(QPainter& p) {
  Disk(p, QRectF(1.5, 13.5, 17, 8));
  p.setBrush(QColor(200, 230, 255, 170));
  p.setPen(QPen(QColor(30, 60, 120), 2));
  p.drawEllipse(QPointF(13, 9), 6, 6);
  p.setPen(QPen(QColor(120, 72, 20), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(17.5, 13.5), QPointF(22, 18.5));
}

void DrawStop(QPainter& p) {
  QPolygonF octagon;
  for (int i = 0; i < 8; ++i) {
    const double a = qDegreesToRadians(22.5 + 45.0 * i);
    octagon << QPointF(12 + 10.5 * std::cos(a), 12 + 10.5 * std::sin(a));
  }
  p.setPen(QPen(QColor(120, 0, 0), 1));
  p.setBrush(QColor(214, 30, 30));
  p.drawPolygon(octagon);
  p.fillRect(QRectF(6.5, 10.5, 11, 3), Qt::white);
}

void DrawPreview(QPainter& p) {
  p.setPen(QPen(QColor(90, 90, 90), 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(4.5, 2.5, 14, 19));
  p.setPen(QPen(QColor(60, 110, 190), 1));
  for (int y = 7; y <= 17; y += 3) p.drawLine(QPointF(7, y + 0.5), QPointF(16, y + 0.5));
  p.setPen(QPen(QColor(210, 160, 40), 1));
  p.setBrush(QColor(250, 210, 90));
  p.drawRect(QRectF(1.5, 14.5, 9, 7));
}

void DrawRecover(QPainter& p) {
  Disk(p, QRectF(1.5, 14.5, 21, 8));
  QPainterPath arrow;
  arrow.moveTo(12, 13);
  arrow.lineTo(5, 6);
  arrow.lineTo(9.5, 6);
  arrow.lineTo(9.5, 1);
  arrow.lineTo(14.5, 1);
  arrow.lineTo(14.5, 6);
  arrow.lineTo(19, 6);
  arrow.closeSubpath();
  p.setPen(QPen(QColor(20, 110, 30), 1));
  p.setBrush(QColor(60, 190, 70));
  p.drawPath(arrow);
}

void DrawHelp(QPainter& p) {
  p.setPen(QPen(QColor(20, 60, 150), 1));
  p.setBrush(QColor(60, 120, 220));
  p.drawEllipse(QPointF(12, 12), 10.5, 10.5);
  QFont f = p.font();
  f.setPixelSize(16);
  f.setBold(true);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, 0, kSize, kSize), Qt::AlignCenter, QStringLiteral("?"));
}

void DrawRefresh(QPainter& p) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(30, 120, 60), 2.5, Qt::SolidLine, Qt::FlatCap));
  p.drawArc(QRectF(4, 4, 16, 16), 30 * 16, 150 * 16);
  p.drawArc(QRectF(4, 4, 16, 16), 210 * 16, 150 * 16);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(30, 120, 60));
  p.drawPolygon(QPolygonF({QPointF(19.5, 1.5), QPointF(22.5, 9), QPointF(14.5, 8)}));
  p.drawPolygon(QPolygonF({QPointF(4.5, 22.5), QPointF(1.5, 15), QPointF(9.5, 16)}));
}

void DrawDelete(QPainter& p) {
  p.setPen(QPen(QColor(200, 20, 20), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(5, 5), QPointF(19, 19));
  p.drawLine(QPointF(19, 5), QPointF(5, 19));
}

void DrawActive(QPainter& p) {
  Disk(p, QRectF(1.5, 14.5, 21, 8));
  QPolygonF star;
  for (int i = 0; i < 10; ++i) {
    const double a = qDegreesToRadians(-90.0 + 36.0 * i);
    const double r = i % 2 ? 3.0 : 7.0;
    star << QPointF(12 + r * std::cos(a), 8 + r * std::sin(a));
  }
  p.setPen(QPen(QColor(170, 120, 0), 1));
  p.setBrush(QColor(255, 200, 30));
  p.drawPolygon(star);
}

void DrawClone(QPainter& p) {
  Disk(p, QRectF(1.5, 3.5, 14, 8));
  Disk(p, QRectF(8.5, 13.5, 14, 8));
  p.setPen(QPen(QColor(40, 90, 180), 2));
  p.drawLine(QPointF(5, 12), QPointF(5, 17.5));
  p.drawLine(QPointF(5, 17.5), QPointF(8, 17.5));
}

void DrawRebuild(QPainter& p) {
  p.setPen(QPen(QColor(70, 70, 90), 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(1.5, 3.5, 16, 16));
  for (int i = 1; i < 4; ++i) p.drawLine(QPointF(1.5, 3.5 + 4 * i), QPointF(17.5, 3.5 + 4 * i));
  p.drawLine(QPointF(6.5, 3.5), QPointF(6.5, 19.5));
  p.setPen(QPen(QColor(110, 110, 120), 3.5, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(11, 20), QPointF(19, 12));
  p.setPen(QPen(QColor(110, 110, 120), 2));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(16, 5, 7, 7), -135 * 16, 270 * 16);
}

}  // namespace

std::vector<QPixmap> BuildImageList1() {
  using Draw = void (*)(QPainter&);
  const Draw draws[kActionImageCount] = {DrawScan, DrawStop,   DrawPreview, DrawRecover, DrawHelp,
                                         DrawRefresh, DrawDelete, DrawActive, DrawClone, DrawRebuild};
  std::vector<QPixmap> images;
  for (Draw draw : draws) {
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    images.push_back(pixmap);
  }
  return images;
}

QPixmap BoxHeaderStrip(int width, int height) {
  QPixmap strip(width, height);
  QPainter p(&strip);
  QLinearGradient g(0, 0, width, 0);
  g.setColorAt(0, QColor(255, 255, 255));
  g.setColorAt(1, QColor(198, 211, 247));
  p.fillRect(strip.rect(), g);
  p.setPen(QColor(160, 176, 224));
  p.drawLine(0, height - 1, width, height - 1);
  p.end();
  return strip;
}

}  // namespace qm::ui
