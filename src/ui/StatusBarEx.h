#pragma once
// The main window's status bar: fixed-width panels with texts, and room for child controls
// (the progress bar of long operations lies over one panel).
#include <QString>
#include <QWidget>
#include <vector>

namespace qm::ui {

struct TStatusPanel {
  int Width = 50;
  QString Text;
};

class TStatusBarEx : public QWidget {
 public:
  static constexpr int kHeight = 23;

  explicit TStatusBarEx(QWidget* parent = nullptr);

  // Panels from left to right; the last one also takes whatever width is left.
  void SetPanels(const std::vector<int>& widths);
  int PanelCount() const { return static_cast<int>(panels_.size()); }
  void SetPanelText(int index, const QString& text);
  QString PanelText(int index) const;
  // The rectangle of a panel in the bar's coordinates.
  QRect PanelRect(int index) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<TStatusPanel> panels_;
};

}  // namespace qm::ui
