#pragma once
// The clone target dialog: the machine's volumes, one row each, and a last row that copies the
// lost partition into an image file instead.
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include "model/PhysicalDrv.h"

namespace qm::ui {

class TfrmDrives : public QDialog {
 public:
  explicit TfrmDrives(QWidget* parent = nullptr);

  QLabel* Label6;
  QLabel* Label1;
  QTreeWidget* DriveList;
  QPushButton* Button1;  // OK
  QPushButton* Button2;  // Cancel
  QPushButton* Button3;  // Help

  // One row for `drive` (not owned: it must outlive the dialog), before the image-file row.
  void AddDrive(const TLogiDrive& drive);
  // The row's caption: root, size text in parentheses and label, two blanks between them.
  static QString DriveCaption(const TLogiDrive& drive);
  static const QString kImageFileRow;

  // The volume of the selected row; null for the image-file row and when none is selected.
  const TLogiDrive* SelectedDrive() const;
  bool ImageFileChosen() const;

  // OK and a double-click close the dialog with OK only when a row is selected.
  void Button1Click();
  void DriveListDblClick() { Button1Click(); }
  void Button3Click();

 private:
  QTreeWidgetItem* imageRow_;
};

}  // namespace qm::ui
