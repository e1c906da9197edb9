// The main window's sector viewer and the development box's two read-outs.
#include "disk/Host.h"
#include "model/DevelopmentInfo.h"
#include "ui/Hexview.h"
#include "ui/main.h"

namespace qm::ui {

void TfrmMain::SectViewExecute() {
  if (!CurrentDrive) {
    host_.MessageBox("Please select a drive.", "Error", MsgButtons::Ok, MsgIcon::Warning);
    return;
  }
  // The viewer only reads: it may look at a drive while a scan of it waits.
  TfrmHexView dialog(CurrentDrive, this);
  if (ShowHexView)
    ShowHexView(dialog);
  else
    dialog.exec();
}

void TfrmMain::Button1Click() {
  if (!CurrentDrive) return;
  std::string line;
  if (!Lba2ChsLine(CurrentDrive->Geometry, Edit1->text().toStdString(), line)) {
    host_.MessageBox("Type a sector number (decimal digits) into the field.", "LBA2CHS", MsgButtons::Ok, MsgIcon::Warning);
    return;
  }
  Memo1->appendPlainText(QString::fromStdString(line));
}

void TfrmMain::Button2Click() {
  if (!CurrentDrive) return;
  Memo1->clear();
  for (const std::string& line : AllPartitionsLines(*CurrentDrive))
    Memo1->appendPlainText(QString::fromStdString(line));
}

}  // namespace qm::ui
