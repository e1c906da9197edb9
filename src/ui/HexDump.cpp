#include "ui/HexDump.h"

#include <QBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <span>

#include "ui/Colors.h"

namespace qm::ui {
namespace {

constexpr uint32_t clRule = 0x808080;
constexpr int kFontPixels = 13;  // a cell of 8 pixels in the usual fixed-pitch faces

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

THexDump::THexDump(QWidget* parent) : QAbstractScrollArea(parent) {
  SetBorder(TBorderStyle::Single);
  setFrameShadow(QFrame::Plain);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAutoFillBackground(false);
  resize(300, 200);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this,
          [this](int value) { Scroll(HexScroll::Position, value); });
  MeasureFont();
  UpdateLayout();
}

void THexDump::SetAddress(const uint8_t* buffer) {
  address_ = buffer;
  viewport()->update();
}

void THexDump::SetDataSize(int32_t size) {
  dataSize_ = std::max(size, 0);
  UpdateLayout();
  viewport()->update();
}

void THexDump::SetCurrentLine(int32_t line) {
  currentLine_ = HexClampLine(line, layout_.LineCount);
  SetTopLine(HexTopForCurrentLine(currentLine_, topLine_, layout_));
}

void THexDump::SetShowAddress(bool show) {
  if (show == showAddress_) return;
  showAddress_ = show;
  UpdateLayout();
  viewport()->update();
}

void THexDump::SetShowCharacters(bool show) {
  if (show == showCharacters_) return;
  showCharacters_ = show;
  UpdateLayout();
  viewport()->update();
}

void THexDump::SetBorder(TBorderStyle border) {
  border_ = border;
  setFrameShape(border == TBorderStyle::Single ? QFrame::Box : QFrame::NoFrame);
  setLineWidth(1);
}

void THexDump::SetColor(uint32_t color) {
  if (color == color_) return;
  color_ = color;
  viewport()->update();
}

void THexDump::SetColorEntry(int index, uint32_t color) {
  if (colors_[size_t(index)] == color) return;
  colors_[size_t(index)] = color;
  viewport()->update();
}

void THexDump::MeasureFont() {
  const QFontMetrics metrics(font());
  itemHeight_ = metrics.height() + 2;
  itemWidth_ = metrics.horizontalAdvance(QLatin1Char('D'));
}

void THexDump::UpdateLayout() {
  if (itemHeight_ < 1 || itemWidth_ < 1) return;
  layout_ = HexLayout(viewport()->width(), viewport()->height(), itemWidth_, itemHeight_, showAddress_, showCharacters_,
                      dataSize_);
  // A smaller buffer or wider lines leave fewer lines: the view stays on one of them.
  topLine_ = HexClampLine(topLine_, layout_.LineCount);
  currentLine_ = HexClampLine(currentLine_, layout_.LineCount);
  QScrollBar* bar = verticalScrollBar();
  const QSignalBlocker quiet(bar);
  bar->setRange(0, std::max(layout_.LineCount - 1, 0));
  bar->setSingleStep(1);
  bar->setPageStep(std::max(layout_.VisibleLines - 1, 1));
  bar->setValue(topLine_);
}

void THexDump::SetTopLine(int32_t line) {
  if (line == topLine_) return;
  topLine_ = line;
  {
    const QSignalBlocker quiet(verticalScrollBar());
    verticalScrollBar()->setValue(line);
  }
  viewport()->update();
}

void THexDump::Scroll(HexScroll request, int64_t position) {
  SetTopLine(HexScrollTarget(request, topLine_, position, layout_));
}

void THexDump::paintEvent(QPaintEvent*) {
  QPainter canvas(viewport());
  canvas.setFont(font());
  const int width = viewport()->width(), height = viewport()->height();
  const int w = itemWidth_, h = itemHeight_;
  const QColor background = WinColor(color_);
  canvas.fillRect(viewport()->rect(), background);
  const THexColumns columns = HexColumns(w, layout_.BytesPerLine, showAddress_);
  const int a = columns.Hex - 1;

  // Header: "Offset" over the offsets, the 16 column numbers over the hex part.
  canvas.setPen(WinColor(colors_[0]));
  if (showAddress_) canvas.drawText(QRect(1 + w, 4, a, h), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Offset"));
  for (int k = 0; k < kHexMaxBytesPerLine; ++k)
    canvas.drawText(QRect(columns.Hex + 3 * k * w, 4, 3 * w, h), Qt::AlignLeft | Qt::AlignTop,
                    Q(HexOffsetText(uint32_t(k)).substr(6)));
  canvas.setPen(WinColor(clRule));
  canvas.drawLine(0, h + 4, width - 2, h + 4);
  canvas.drawLine(0, h + 6, width - 2, h + 6);

  if (address_) {
    const std::span<const uint8_t> data(address_, size_t(dataSize_));
    for (int i = 0; i < layout_.VisibleLines; ++i) {
      const int32_t line = topLine_ + i;
      const std::span<const uint8_t> bytes = HexLineBytes(data, line, layout_.BytesPerLine);
      if (bytes.empty()) break;
      const int top = 2 * h + i * h;
      if (showAddress_) {
        canvas.setPen(WinColor(colors_[0]));
        canvas.drawText(QRect(1, top, a, h), Qt::AlignLeft | Qt::AlignTop,
                        Q(HexOffsetText(uint32_t(line) * uint32_t(layout_.BytesPerLine))));
      }
      // Each byte in its own three cells, under its column number.
      canvas.setPen(WinColor(colors_[1]));
      for (size_t k = 0; k < bytes.size(); ++k)
        canvas.drawText(QRect(columns.Hex + 3 * int(k) * w, top, 3 * w, h), Qt::AlignLeft | Qt::AlignTop,
                        Q(HexBytesText(bytes.subspan(k, 1), ' ')));
      if (showCharacters_) {
        canvas.setPen(WinColor(colors_[2]));
        canvas.drawText(QRect(columns.Characters, top, std::max(width - columns.Characters, 0), h),
                        Qt::AlignLeft | Qt::AlignTop, Q(HexCharsText(bytes)));
      }
    }
  }

  canvas.setPen(WinColor(clRule));
  for (int x : {columns.AddressRule, columns.AddressRule + 2, columns.HexRule}) canvas.drawLine(x, 0, x, height);
}

void THexDump::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateLayout();
}

void THexDump::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    MeasureFont();
    UpdateLayout();
    viewport()->update();
  }
}

void THexDump::keyPressEvent(QKeyEvent* event) {
  if (!Active()) {
    event->ignore();
    return;
  }
  switch (event->key()) {
    case Qt::Key_PageUp: Scroll(HexScroll::PageUp); break;
    case Qt::Key_PageDown: Scroll(HexScroll::PageDown); break;
    case Qt::Key_Home: Scroll(HexScroll::Position, 0); break;
    case Qt::Key_Up: Scroll(HexScroll::LineUp); break;
    case Qt::Key_Down: Scroll(HexScroll::LineDown); break;
    case Qt::Key_End: Scroll(HexScroll::Position, layout_.LineCount); break;
    default:
      // Other keys belong to the dialog (Escape, Tab), not to the view.
      event->ignore();
      return;
  }
  event->accept();
}

void THexDump::wheelEvent(QWheelEvent* event) {
  event->accept();
  if (dataSize_ <= 0) return;
  const int delta = event->angleDelta().y();
  if (delta > 0) Scroll(HexScroll::LineUp);
  if (delta < 0) Scroll(HexScroll::LineDown);
}

void THexDump::mousePressEvent(QMouseEvent* event) {
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
  event->accept();
}

THexDump* CreateHexDump(QWidget* parent) {
  auto* dump = new THexDump(parent);
  QFont face(QStringLiteral("FixedSys"));
  face.setStyleHint(QFont::TypeWriter);
  face.setFixedPitch(true);
  face.setPixelSize(kFontPixels);
  dump->setFont(face);
  dump->SetShowCharacters(true);
  if (!parent->layout()) {
    auto* fill = new QVBoxLayout(parent);
    fill->setContentsMargins(0, 0, 0, 0);
  }
  parent->layout()->addWidget(dump);
  dump->SetAddressColor(0xE05050);
  dump->SetHexDataColor(0x808080);
  dump->SetAnsiCharColor(0x808080);
  return dump;
}

}  // namespace qm::ui
