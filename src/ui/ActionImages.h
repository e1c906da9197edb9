#pragma once
// The 24 x 24 pictures of the main window's actions, drawn at start-up.
#include <QPixmap>
#include <vector>

namespace qm::ui {

enum ActionImage {
  imgScan = 0,
  imgStop = 1,
  imgPreview = 2,
  imgRecover = 3,
  imgHelp = 4,
  imgRefresh = 5,
  imgDelete = 6,
  imgActive = 7,
  imgClone = 8,
  imgRebuild = 9,
  kActionImageCount = 10,
};

// ImageList1: one picture per ActionImage, in index order.
std::vector<QPixmap> BuildImageList1();

// The picture strip at the left of a box header of the left panel.
QPixmap BoxHeaderStrip(int width, int height);

}  // namespace qm::ui
