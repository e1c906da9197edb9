#pragma once
// Pictures for documentation and checks: the main window with the first drive chosen and its
// first lost partition clicked, and the preview window of a partition.
#include <QSize>
#include <QString>

namespace qm::ui {

class TfrmMain;

constexpr QSize kScreenshotSize(1180, 760);

// Processes the window's events until neither the user's scan nor the background search runs.
void WaitWhileBusy(TfrmMain& window);
// Chooses the first drive and, when it has one, the first lost partition, the way a user's
// clicks would, once the background search has ended.
void ChooseFirstDriveAndLost(TfrmMain& window);
// Renders the window into a PNG file; false when the file cannot be written.
bool SaveWindowPicture(TfrmMain& window, const QString& file);
// Chooses the first drive, scans all of it for lost partitions, runs Preview on the last row
// of the partition list (the last lost partition, when there is one) and renders the preview
// window into a PNG file; false when no preview was shown or the file cannot be written.
bool SavePreviewPicture(TfrmMain& window, const QString& file);

}  // namespace qm::ui
