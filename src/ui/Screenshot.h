#pragma once
// A picture of the main window for documentation and checks: the first drive chosen and its
// first lost partition clicked.
#include <QSize>
#include <QString>

namespace qm::ui {

class TfrmMain;

constexpr QSize kScreenshotSize(1180, 760);

// Chooses the first drive and, when it has one, the first lost partition, the way a user's
// clicks would.
void ChooseFirstDriveAndLost(TfrmMain& window);
// Renders the window into a PNG file; false when the file cannot be written.
bool SaveWindowPicture(TfrmMain& window, const QString& file);

}  // namespace qm::ui
