#pragma once
// The preview window: the root directory of a partition as a list of names with their type,
// size and creation time, as a tree whose folders open on demand, and "Copy to..." for the
// files and folders chosen. The copy runs on a worker thread behind a progress box with Stop.
#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "browse/RootDirectory.h"
#include "browse/TreeCopy.h"
#include "browse/VolumeTree.h"

class QProgressDialog;

namespace qm::ui {

class TfrmPreview : public QDialog {
 public:
  explicit TfrmPreview(QWidget* parent = nullptr);
  ~TfrmPreview() override;

  QTreeWidget* lstPreview;
  QPushButton* btnCopy;

  // Set by the main window before the dialog is shown.
  std::vector<TPreviewRow> PreviewRows;
  // Opens the partition's folder tree, once for browsing and once more for each copy (which
  // reads on a thread of its own); null when the volume's folders cannot be read: folders then
  // do not open and Copy to... stays disabled.
  std::function<std::unique_ptr<TVolumeTree>()> OpenTree;
  // The disk image or device the partition is read from: a destination on it is refused.
  std::string SourcePath;
  // The root's rows come from the folder tree, for volumes without a root reader of their own.
  bool RootFromTree = false;

  // Asks for the destination folder (empty: cancelled), and shows the end of a copy or why
  // it could not begin. Tests answer them.
  std::function<QString()> AskFolder;
  std::function<void(const QString& text, bool trouble)> ShowSummary;

  // Fills lstPreview from PreviewRows; runs when the dialog is shown.
  void FormShow();
  // Loads the folder of `item` when it is first opened.
  void LoadFolder(QTreeWidgetItem* item);
  // Copy to...: asks for a folder, then copies the selection there.
  void CopyToExecute();
  // Starts the copy of the selection into `folder`; false (after saying why) when it cannot.
  bool StartCopy(const QString& folder);
  bool Copying() const { return worker_.joinable(); }
  // Stops a running copy at its next safe point (the Stop button).
  void StopCopy() { stop_ = true; }

  // The preview's size is kept between runs under this key.
  static constexpr const char* kSizeKey = "Preview/size";

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  void UpdateCopyButton();
  void PollCopy();
  void FinishCopy();
  QTreeWidgetItem* MakeEntryItem(const TTreeEntry& entry, const std::string& path);

  bool filled_ = false;
  std::unique_ptr<TVolumeTree> tree_;
  // What each item stands for on the volume; an item's data holds its index here (-1: none).
  std::vector<TCopyItem> entries_;

  std::thread worker_;
  std::atomic<bool> stop_ = false;
  std::atomic<bool> finished_ = false;
  std::mutex progressLock_;
  TCopyProgress progress_;
  TCopyReport report_;
  int destinationFd_ = -1;
  QTimer* poll_ = nullptr;
  QProgressDialog* progressBox_ = nullptr;
};

// The type name the desktop gives a file name by its extension; FallbackTypeName where it
// knows none.
QString FileTypeName(const TPreviewRow& row);

}  // namespace qm::ui
