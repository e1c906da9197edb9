#pragma once
// The scan range dialog: the entire disk or the partition chosen last, within it a range in
// megabytes given by two track bars or two edit fields, and how the range is searched: every
// sector (full scan), or only where partitioning tools place volumes (quick search).
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <cstdint>

#include "model/PhysicalDrv.h"

namespace qm::ui {

class TfrmScanConfig : public QDialog {
 public:
  // `wholeDisk` is the drive's Root; `currentPartition` the partition chosen last in the main
  // window, or none (then "Current partition" cannot be chosen).
  // `host` shows why a range is refused.
  TfrmScanConfig(Host& host, TPartition* wholeDisk, TPartition* currentPartition, QWidget* parent = nullptr);

  QRadioButton* rbEntireDisk;
  QRadioButton* rbCurrentPartition;
  QRadioButton* rbFullScan;
  QRadioButton* rbQuickSearch;
  QGroupBox* GroupBox1;
  QSlider* TrackBar1;
  QLineEdit* Edit1;
  QGroupBox* GroupBox2;
  QSlider* TrackBar2;
  QLineEdit* Edit2;
  QPushButton* Button1;  // OK
  QPushButton* Button2;  // Cancel

  TPartition* RangePart = nullptr;
  int64_t StartSector = 0;
  int64_t SectorCount = 0;
  bool QuickSearch = false;  // OK with "Quick search" chosen

  void SetRange(TPartition* region);
  void Button1Click();

 private:
  Host& host_;
  TPartition* wholeDisk_;
  TPartition* currentPartition_;
};

}  // namespace qm::ui
