#include "ui/Hexview.h"

#include "model/HexText.h"

#include <QBoxLayout>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <limits>

#include "disk/Disk.h"

namespace qm::ui {
namespace {

constexpr int kMaxDigits = 20;  // enough for any 64-bit number; more is refused as typed

// The digits as a number; numbers beyond 64 bits count as the largest one.
int64_t ReadDigits(const QString& text) {
  int64_t value = 0;
  for (QChar c : text) {
    const int digit = c.digitValue();
    if (digit < 0) break;
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return std::numeric_limits<int64_t>::max();
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

TSpinEdit64::TSpinEdit64(QWidget* parent) : QAbstractSpinBox(parent) {
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
  connect(lineEdit(), &QLineEdit::textChanged, this, [this] {
    // A change the handler makes itself (the number cut to the last sector) is no new edit.
    if (changing_ || !OnChange) return;
    changing_ = true;
    OnChange();
    changing_ = false;
  });
}

int64_t TSpinEdit64::Value() const {
  if (text().isEmpty()) return MinValue;
  return std::clamp(ReadDigits(text()), MinValue, std::max(MinValue, MaxValue));
}

void TSpinEdit64::SetValue(int64_t value) {
  lineEdit()->setText(QString::number(std::clamp(value, MinValue, std::max(MinValue, MaxValue))));
}

QValidator::State TSpinEdit64::validate(QString& input, int&) const {
  if (input.size() > kMaxDigits) return QValidator::Invalid;
  for (QChar c : input)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return QValidator::Invalid;
  return QValidator::Acceptable;
}

void TSpinEdit64::stepBy(int steps) {
  const int64_t value = Value();
  if (steps < 0 && value < MinValue - steps) {
    SetValue(MinValue);
    return;
  }
  SetValue(steps > 0 && value > MaxValue - steps ? MaxValue : value + steps);
}

QAbstractSpinBox::StepEnabled TSpinEdit64::stepEnabled() const {
  StepEnabled enabled = StepNone;
  if (Value() < MaxValue) enabled |= StepUpEnabled;
  if (Value() > MinValue) enabled |= StepDownEnabled;
  return enabled;
}

void TSpinEdit64::focusOutEvent(QFocusEvent* event) {
  QAbstractSpinBox::focusOutEvent(event);
  if (OnExit) OnExit();
}

TfrmHexView::TfrmHexView(TPhysicalDrv* drive, QWidget* parent) : QDialog(parent), drive_(drive) {
  if (parent) setFont(parent->font());  // a window does not take its owner's font by itself
  setWindowTitle(QStringLiteral("Sector Viewer"));
  setFixedSize(640, 437);
  auto* rows = new QVBoxLayout(this);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(0);

  Panel1 = new QWidget(this);
  Panel1->setFixedHeight(38);
  auto* top = new QHBoxLayout(Panel1);
  top->setContentsMargins(8, 0, 8, 0);
  Label1 = new QLabel(QStringLiteral("Sector Number:"), Panel1);
  SpinEdit1 = new TSpinEdit64(Panel1);
  SpinEdit1->setFixedWidth(137);
  SpinEdit1->SetValue(0);
  top->addWidget(Label1);
  top->addWidget(SpinEdit1);
  top->addStretch(1);
  rows->addWidget(Panel1);
  Panel2 = new QWidget(this);
  rows->addWidget(Panel2, 1);
  StatusBar1 = new TStatusBarEx(this);
  StatusBar1->SetPanels({200});
  rows->addWidget(StatusBar1);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  // The last sector is the largest number the edit takes, however large the drive.
  if (drive_) SpinEdit1->MaxValue = std::max<int64_t>(static_cast<int64_t>(drive_->DiskSectors) - 1, 0);
  ReadSector(0);

  HexDump = CreateHexDump(Panel2);
  HexDump->SetAddressColor(0xFF5356);
  HexDump->SetHexDataColor(0x808080);
  HexDump->SetAnsiCharColor(0x808080);
  HexDump->SetAddress(SectorBuffer.data());
  HexDump->SetDataSize(static_cast<int32_t>(SectorBuffer.size()));
  HexDump->SetCurrentLine(0);
  HexDump->SetShowAddress(true);

  SpinEdit1->OnChange = [this] { SpinEdit1Change(); };
  SpinEdit1->OnExit = [this] { SpinEdit1Exit(); };
}

TfrmHexView::~TfrmHexView() {
  // The edit loses the focus as the dialog's widgets go, when the viewer is no longer whole.
  SpinEdit1->OnChange = nullptr;
  SpinEdit1->OnExit = nullptr;
}

void TfrmHexView::ReadSector(uint64_t sector) {
  if (!drive_) return;
  // A sector that cannot be read shows as zeroes, after the user was asked; the status keeps
  // the number of the last sector read.
  if (drive_->Io().ReadSectors(sector, 1, SectorBuffer.data(), true, true))
    StatusBar1->SetPanelText(0, QString::fromStdString(HexSectorCaption(sector, drive_->DiskSectors)));
}

void TfrmHexView::SpinEdit1Change() {
  if (SpinEdit1->text().isEmpty()) return;
  if (ReadDigits(SpinEdit1->text()) > SpinEdit1->MaxValue) SpinEdit1->SetValue(SpinEdit1->MaxValue);
  ReadSector(static_cast<uint64_t>(SpinEdit1->Value()));
  HexDump->viewport()->update();
}

void TfrmHexView::SpinEdit1Exit() {
  if (SpinEdit1->text().isEmpty()) SpinEdit1->SetValue(0);
}

}  // namespace qm::ui
