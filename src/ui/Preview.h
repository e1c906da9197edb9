#pragma once
// The preview window: the root directory of a partition as a list of names with their type,
// size and creation time.
#include <QDialog>
#include <QTreeWidget>

#include <vector>

#include "browse/RootDirectory.h"

namespace qm::ui {

class TfrmPreview : public QDialog {
 public:
  explicit TfrmPreview(QWidget* parent = nullptr);

  QTreeWidget* lstPreview;

  // Set by the main window before the dialog is shown.
  std::vector<TPreviewRow> PreviewRows;

  // Fills lstPreview from PreviewRows; runs when the dialog is shown.
  void FormShow();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool filled_ = false;
};

// The type name the desktop gives a file name by its extension; FallbackTypeName where it
// knows none.
QString FileTypeName(const TPreviewRow& row);

}  // namespace qm::ui
