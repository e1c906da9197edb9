#pragma once
// Tells the window when the machine's disks change: a disk plugged in or pulled, a loop
// device attached or detached. It listens to the kernel's block-device events through
// libudev, so it also works where no udev daemon runs.
#include <QObject>
#include <functional>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace qm::ui {

class TDiskWatcher : public QObject {
 public:
  // `changed` is called on the window's thread after each event of a whole disk.
  TDiskWatcher(std::function<void()> changed, QObject* parent);
  ~TDiskWatcher() override;
  TDiskWatcher(const TDiskWatcher&) = delete;
  TDiskWatcher& operator=(const TDiskWatcher&) = delete;

  // False when the events cannot be received (no netlink socket here): the user's Refresh
  // still reads the disks again.
  bool Listening() const { return notifier_ != nullptr; }

 private:
  void Receive();

  std::function<void()> changed_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace qm::ui
