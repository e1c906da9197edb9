#pragma once
// The rebuild dialog: the user composes the drive's new layout from its listed and lost
// partitions (left), marks each chosen one Primary or not and at most one Active (right), and
// starts the rebuild.
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <vector>

#include "model/PartitionRows.h"
#include "ui/Controls.h"
#include "ui/RebuildList.h"

namespace qm::ui {

// The right list: reports where the mouse went down, in its viewport's coordinates.
class TDestListView : public QTreeWidget {
 public:
  explicit TDestListView(QWidget* parent = nullptr);
  std::function<void(QPoint)> OnMouseDown;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

// ImageList1 of the dialog.
enum RebuildImage { imgPrimaryOff = 0, imgPrimaryOn = 1, imgActiveOff = 2, imgActiveOn = 3 };

class TfrmRebuild : public QDialog {
 public:
  // `rows` and `firstLostRow` are what the main window's partition list shows of `drive`.
  TfrmRebuild(TPhysicalDrv& drive, const std::vector<TPartitionRow>& rows, int firstLostRow,
              QWidget* parent = nullptr);

  QLabel* Label2;
  TListView* lvSource;
  QLabel* Label1;
  TDestListView* lvDest;
  QPushButton* Button1;  // >
  QPushButton* Button2;  // <
  QPushButton* Button6;  // >>
  QPushButton* Button5;  // <<
  QFrame* Bevel1;
  QPushButton* Button4;  // Rebuild
  QPushButton* Button7;  // Cancel
  QPushButton* Button3;  // Help
  std::vector<QPixmap> ImageList1;

  TRebuildList List;

  void Button1Click();
  void Button2Click();
  void Button6Click();
  void Button5Click();
  void Button4Click();
  void Button3Click();
  // Toggles Primary or Active of the row under `pos` by the column it lies in.
  void lvDestMouseDown(QPoint pos);

 private:
  void FillSource();
  void FillDest();

  TPhysicalDrv& drive_;
};

}  // namespace qm::ui
