#include "ui/Screenshot.h"

#include <QApplication>
#include <QPixmap>

#include "ui/main.h"

namespace qm::ui {

void ChooseFirstDriveAndLost(TfrmMain& window) {
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

}  // namespace qm::ui
