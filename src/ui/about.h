#pragma once
// The about box: the product's name, version and picture, with a link that opens the manual.
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "ui/LabelEx.h"

namespace qm::ui {

class TfrmAbout : public QDialog {
 public:
  explicit TfrmAbout(QWidget* parent = nullptr);

  QLabel* Image2;
  QLabel* Label1;
  QLabel* Label2;
  TLabelEx* LabelEx1;
  QPushButton* Button1;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace qm::ui
