#pragma once
// A label that behaves like a hyperlink: its text takes the active colour while the pointer is
// over it and returns to its normal colour when the pointer leaves.
#include <QColor>
#include <QLabel>
#include <functional>

namespace qm::ui {

class TLabelEx : public QLabel {
 public:
  explicit TLabelEx(QWidget* parent = nullptr);

  QColor ActiveColor;
  std::function<void(TLabelEx*)> OnMouseEnter;
  std::function<void(TLabelEx*)> OnMouseLeave;
  std::function<void(TLabelEx*)> OnClick;

  // To be called once the label's properties are set: remembers the font colour as the
  // normal one. Until then the normal colour is black.
  void Loaded();

  void SetFontColor(const QColor& color);
  QColor FontColor() const;

  // What the pointer does; public so that the behaviour can be driven directly.
  void MouseEnter();
  void MouseLeave();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QColor normalColor_{Qt::black};
};

}  // namespace qm::ui
