#include "ui/DiskWatcher.h"

#include <libudev.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstring>

namespace qm::ui {

TDiskWatcher::TDiskWatcher(std::function<void()> changed, QObject* parent) : QObject(parent), changed_(std::move(changed)) {
  udev_ = udev_new();
  if (!udev_) return;
  // The daemon's events come after it has made the device nodes; without a daemon the
  // kernel's own are all there is, and the node is made by devtmpfs as the event is sent.
  const bool daemon = ::access("/run/udev/control", F_OK) == 0;
  monitor_ = udev_monitor_new_from_netlink(udev_, daemon ? "udev" : "kernel");
  if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", "disk") < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    return;
  }
  const int fd = udev_monitor_get_fd(monitor_);
  if (fd < 0) return;
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Receive(); });
}

TDiskWatcher::~TDiskWatcher() {
  delete notifier_;
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

void TDiskWatcher::Receive() {
  // Every waiting event is taken; one call covers them all.
  bool any = false;
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    const char* action = udev_device_get_action(device);
    // "add" and "remove" for disks that come and go; "change" for a loop device that gets
    // or loses its file, or a disk whose medium was changed.
    if (action && (!std::strcmp(action, "add") || !std::strcmp(action, "remove") || !std::strcmp(action, "change")))
      any = true;
    udev_device_unref(device);
  }
  if (any && changed_) changed_();
}

}  // namespace qm::ui
