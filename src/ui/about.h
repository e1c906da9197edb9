#pragma once
// The about box: the product's name, version and picture, with a link to the web site and
// one for writing to support.
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "ui/LabelEx.h"

namespace qm::ui {

extern const char* const kWebSite;
extern const char* const kSupportMail;
// "mailto:" address with the subject "Quillmark_Support".
QString SupportMailUrl();

class TfrmAbout : public QDialog {
 public:
  explicit TfrmAbout(QWidget* parent = nullptr);

  QLabel* Image2;
  QLabel* Label1;
  QLabel* Label2;
  TLabelEx* LabelEx1;
  TLabelEx* LabelEx2;
  QPushButton* Button1;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace qm::ui
