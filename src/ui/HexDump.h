#pragma once
// A scrollable hex dump of a byte buffer: a header row, then per line the offset, the bytes in
// hexadecimal and the bytes as characters, in a fixed-pitch font. Scrolls by scroll bar, keys
// and mouse wheel.
#include <QAbstractScrollArea>
#include <array>
#include <cstdint>

#include "model/HexText.h"

namespace qm::ui {

enum class TBorderStyle { None, Single };

class THexDump : public QAbstractScrollArea {
 public:
  explicit THexDump(QWidget* parent = nullptr);

  // The buffer shown; not owned. It must hold DataSize() bytes while it is attached.
  void SetAddress(const uint8_t* buffer);
  void SetDataSize(int32_t size);
  void SetCurrentLine(int32_t line);

  bool ShowAddress() const { return showAddress_; }
  void SetShowAddress(bool show);
  bool ShowCharacters() const { return showCharacters_; }
  void SetShowCharacters(bool show);
  uint32_t AddressColor() const { return colors_[0]; }
  void SetAddressColor(uint32_t color) { SetColorEntry(0, color); }
  uint32_t HexDataColor() const { return colors_[1]; }
  void SetHexDataColor(uint32_t color) { SetColorEntry(1, color); }
  uint32_t AnsiCharColor() const { return colors_[2]; }
  void SetAnsiCharColor(uint32_t color) { SetColorEntry(2, color); }
  TBorderStyle Border() const { return border_; }
  void SetBorder(TBorderStyle border);
  uint32_t Color() const { return color_; }
  void SetColor(uint32_t color);

  bool Active() const { return address_ != nullptr; }
  int32_t DataSize() const { return dataSize_; }
  int32_t TopLine() const { return topLine_; }
  int32_t CurrentLine() const { return currentLine_; }
  const THexLayout& Layout() const { return layout_; }
  int ItemWidth() const { return itemWidth_; }
  int ItemHeight() const { return itemHeight_; }

  // The one way the view scrolls: scroll bar, keys and wheel all come here.
  void Scroll(HexScroll request, int64_t position = 0);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void MeasureFont();
  void UpdateLayout();
  void SetColorEntry(int index, uint32_t color);
  void SetTopLine(int32_t line);

  const uint8_t* address_ = nullptr;
  int32_t dataSize_ = 0;
  int32_t topLine_ = 0;
  int32_t currentLine_ = 0;
  THexLayout layout_;
  int itemHeight_ = 0;
  int itemWidth_ = 0;
  std::array<uint32_t, 3> colors_{};
  bool showCharacters_ = true;
  bool showAddress_ = true;
  TBorderStyle border_ = TBorderStyle::Single;
  uint32_t color_ = 0xFFFFFF;
};

// A hex dump filling `parent`, in a fixed-pitch font, with the offset in blue and the data in
// grey.
THexDump* CreateHexDump(QWidget* parent);

}  // namespace qm::ui
