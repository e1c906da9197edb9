#include "ui/Screenshot.h"

#include <QApplication>
#include <QPixmap>

#include "ui/Preview.h"
#include "ui/main.h"

namespace qm::ui {

void WaitWhileBusy(TfrmMain& window) {
  while (window.ScanRunning() || window.SearchingInBackground())
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void ChooseFirstDriveAndLost(TfrmMain& window) {
  // The picture shows what the background search finds, not a search under way.
  WaitWhileBusy(window);
  if (window.ListBox1->count() == 0) return;
  window.ListBox1->setCurrentRow(0);
  window.ListBox1Click();
  const int lostRow = window.FirstLostRow;
  if (lostRow <= 0 || lostRow >= window.ListView1->topLevelItemCount()) return;
  window.ListView1->setCurrentItem(window.ListView1->topLevelItem(lostRow));
  window.ListView1Click();
}

bool SaveWindowPicture(TfrmMain& window, const QString& file) {
  // A label that grows (the Information box with a note) asks for a new layout, which the
  // next round of events carries out; a few rounds let every size settle.
  for (int round = 0; round < 4; ++round) QApplication::processEvents();
  return window.grab().save(file, "PNG");
}

bool SavePreviewPicture(TfrmMain& window, const QString& file) {
  WaitWhileBusy(window);
  if (window.ListBox1->count() == 0) return false;
  window.ListBox1->setCurrentRow(0);
  window.ListBox1Click();
  TPhysicalDrv* drive = window.CurrentDrive;
  if (!drive) return false;
  // The whole disk is scanned first, as the user's Scan would, for finds beyond the quick scan.
  window.StartScan(drive->Root, 0, static_cast<int64_t>(drive->Geometry.TotalSectors), false);
  WaitWhileBusy(window);
  int row = window.ListView1->topLevelItemCount() - 1;
  while (row >= 0 && !window.RowRecord(row)) --row;
  if (row < 0) return false;
  window.ListView1->setCurrentItem(window.ListView1->topLevelItem(row));
  bool saved = false;
  const auto previous = window.ShowPreview;
  window.ShowPreview = [&](TfrmPreview& dialog) {
    dialog.show();
    for (int round = 0; round < 4; ++round) QApplication::processEvents();
    saved = dialog.grab().save(file, "PNG");
  };
  window.PreviewExecute();
  window.ShowPreview = previous;
  return saved;
}

}  // namespace qm::ui
