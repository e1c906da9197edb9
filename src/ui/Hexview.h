#pragma once
// The sector viewer: any one sector of a drive as a hex dump, chosen by its number. It only
// reads.
#include <QAbstractSpinBox>
#include <QDialog>
#include <QLabel>
#include <array>
#include <cstdint>
#include <functional>

#include "model/PhysicalDrv.h"
#include "ui/HexDump.h"
#include "ui/StatusBarEx.h"

namespace qm::ui {

// An edit for a whole number with up/down buttons, as wide as a sector number: 64 bits, so
// that every sector of a drive can be chosen. Only digits can be typed.
class TSpinEdit64 : public QAbstractSpinBox {
 public:
  explicit TSpinEdit64(QWidget* parent = nullptr);

  int64_t MinValue = 0;
  int64_t MaxValue = 0;
  // The text read as a number, kept between MinValue and MaxValue (MinValue when empty).
  int64_t Value() const;
  void SetValue(int64_t value);

  std::function<void()> OnChange;  // every edit of the text and every step up or down
  std::function<void()> OnExit;    // the input focus leaves the edit

 protected:
  QValidator::State validate(QString& input, int& pos) const override;
  void stepBy(int steps) override;
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  bool changing_ = false;
};

class TfrmHexView : public QDialog {
 public:
  // Shows sector 0 of `drive` first; without a drive it reads nothing.
  explicit TfrmHexView(TPhysicalDrv* drive, QWidget* parent = nullptr);
  ~TfrmHexView() override;

  QWidget* Panel1;
  QLabel* Label1;
  TSpinEdit64* SpinEdit1;
  QWidget* Panel2;
  TStatusBarEx* StatusBar1;
  THexDump* HexDump = nullptr;
  std::array<uint8_t, 512> SectorBuffer{};

  void ReadSector(uint64_t sector);
  void SpinEdit1Change();
  void SpinEdit1Exit();

 private:
  TPhysicalDrv* drive_;
};

}  // namespace qm::ui
