#include "ui/Scanconfig.h"

#include <QButtonGroup>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <algorithm>
#include <utility>

#include "disk/Host.h"
#include "ui/ScanRange.h"

namespace qm::ui {
namespace {

// One group: a track bar above a megabyte field.
void BuildRangeGroup(QGroupBox* box, QSlider*& track, QLineEdit*& edit) {
  track = new QSlider(Qt::Horizontal, box);
  track->setGeometry(8, 18, 361, 28);
  track->setTickPosition(QSlider::TicksBelow);
  track->setStyleSheet(QStringLiteral("QSlider::handle:horizontal { width: 11px; height: 18px; }"));
  edit = new QLineEdit(QStringLiteral("0"), box);
  edit->setGeometry(12, 50, 89, 21);
  // Digits only, as a number field: what is pasted in is checked again by OK.
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9 ]*")), edit));
  auto* unit = new QLabel(QStringLiteral("MB"), box);
  unit->move(108, 53);
}

}  // namespace

TfrmScanConfig::TfrmScanConfig(Host& host, TPartition* wholeDisk, TPartition* currentPartition, QWidget* parent)
    : QDialog(parent), host_(host), wholeDisk_(wholeDisk), currentPartition_(currentPartition) {
  if (parent) setFont(parent->font());  // a window does not take its owner's font by itself
  setWindowTitle(QStringLiteral("Specify Scan Range"));
  setFixedSize(399, 257);

  auto* lookAt = new QLabel(QStringLiteral("Look at:"), this);
  lookAt->move(12, 12);
  rbEntireDisk = new QRadioButton(QStringLiteral("Entire disk"), this);
  rbEntireDisk->setGeometry(72, 8, 110, 21);
  rbEntireDisk->setChecked(true);
  rbCurrentPartition = new QRadioButton(QStringLiteral("Current partition"), this);
  rbCurrentPartition->setGeometry(190, 8, 150, 21);
  rbCurrentPartition->setEnabled(currentPartition_ != nullptr);

  // How the range is searched: a pair of its own, apart from the pair above.
  auto* method = new QLabel(QStringLiteral("Method:"), this);
  method->move(12, 38);
  rbFullScan = new QRadioButton(QStringLiteral("Full scan"), this);
  rbFullScan->setGeometry(72, 34, 110, 21);
  rbFullScan->setToolTip(QStringLiteral("Reads every sector of the range: finds a volume wherever it starts"));
  rbFullScan->setChecked(true);
  rbQuickSearch = new QRadioButton(QStringLiteral("Quick search"), this);
  rbQuickSearch->setGeometry(190, 34, 150, 21);
  rbQuickSearch->setToolTip(
      QStringLiteral("Reads only where partitioning tools place volumes (every megabyte and cylinder): much "
                     "faster, but misses a volume that starts anywhere else"));
  auto* methods = new QButtonGroup(this);
  methods->addButton(rbFullScan);
  methods->addButton(rbQuickSearch);

  GroupBox1 = new QGroupBox(QStringLiteral(" Start (Min. 0 MB) "), this);
  GroupBox1->setGeometry(8, 60, 383, 80);
  BuildRangeGroup(GroupBox1, TrackBar1, Edit1);
  GroupBox2 = new QGroupBox(this);
  GroupBox2->setGeometry(8, 144, 383, 80);
  BuildRangeGroup(GroupBox2, TrackBar2, Edit2);

  Button1 = new QPushButton(QStringLiteral("OK"), this);
  Button1->setGeometry(232, 229, 75, 23);
  Button1->setDefault(true);
  Button2 = new QPushButton(QStringLiteral("Cancel"), this);
  Button2->setGeometry(316, 229, 75, 23);

  connect(TrackBar1, &QSlider::valueChanged, this, [this](int v) { Edit1->setText(QString::number(v)); });
  connect(TrackBar2, &QSlider::valueChanged, this, [this](int v) { Edit2->setText(QString::number(v)); });
  // A number typed into a field moves its track bar. Only the user's typing does (setText by
  // the track bar is no edit), and the bar keeps its signal to itself meanwhile, so a number
  // above the bar's maximum stays as typed for OK to refuse.
  for (auto [edit, track] : {std::pair{Edit1, TrackBar1}, std::pair{Edit2, TrackBar2}}) {
    connect(edit, &QLineEdit::textEdited, this, [track](const QString& text) {
      int64_t megabytes = 0;
      if (!ParseMegabytes(text.toStdString(), megabytes)) return;
      const QSignalBlocker quiet(track);
      track->setValue(static_cast<int>(std::min<int64_t>(megabytes, track->maximum())));
    });
  }
  connect(rbEntireDisk, &QRadioButton::clicked, this, [this] { SetRange(wholeDisk_); });
  connect(rbCurrentPartition, &QRadioButton::clicked, this, [this] {
    if (currentPartition_) SetRange(currentPartition_);
  });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

  // The range starts as the whole disk: OK right away scans all of it.
  RangePart = wholeDisk_;
  rbEntireDisk->setChecked(wholeDisk_ != nullptr);
  SetRange(wholeDisk_);
}

void TfrmScanConfig::SetRange(TPartition* region) {
  if (!region) return;
  const TTrackScale scale = ScanTrackScale(region->Entry.TotalSectors);
  for (QSlider* track : {TrackBar1, TrackBar2}) {
    track->setMaximum(scale.Max);  // a position above the new maximum is pulled down to it
    track->setTickInterval(scale.TickFrequency);
    track->setPageStep(scale.PageSize);
  }
  GroupBox2->setTitle(QString::fromStdString(scale.EndCaption));
  RangePart = region;
  // The chosen region is taken whole: from its first megabyte to its last (rounded up, which
  // the range computation cuts back to the region's end).
  TrackBar1->setValue(0);
  Edit1->setText(QStringLiteral("0"));
  TrackBar2->setValue(scale.Max);
  Edit2->setText(QString::number(scale.Max));
}

void TfrmScanConfig::Button1Click() {
  if (!RangePart) return;
  const TScanRange range =
      ComputeScanRange(Edit1->text().toStdString(), Edit2->text().toStdString(), RangePart->Entry.TotalSectors);
  switch (range.Verdict) {
    case ScanRangeVerdict::Exceeded:
      host_.MessageBox("Sector range exceeded the limit.", "Error", MsgButtons::Ok, MsgIcon::Error);
      return;
    case ScanRangeVerdict::BadNumber:
      host_.MessageBox("\"" + range.BadText + "\" is not a valid number of megabytes.", "Error", MsgButtons::Ok,
                 MsgIcon::Error);
      return;
    case ScanRangeVerdict::Empty:
      host_.MessageBox("The range holds no sector: its end must lie beyond its start.", "Error", MsgButtons::Ok,
                       MsgIcon::Error);
      return;
    case ScanRangeVerdict::Ok:
      StartSector = range.StartSector;
      SectorCount = range.SectorCount;
      QuickSearch = rbQuickSearch->isChecked();
      accept();
      return;
  }
}

}  // namespace qm::ui
