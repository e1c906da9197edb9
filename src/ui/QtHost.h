#pragma once
// The desktop's host: messages and questions of the core as modal message boxes owned by the
// main window, and the message pump of long loops. A question asked from another thread is
// shown on the GUI thread; the pump does nothing there.
#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

#include "disk/Host.h"

namespace qm::ui {

// "\r" (the core's line break) and "\r\n" become "\n".
QString MessageText(const std::string& text);

class QtHost final : public Host {
 public:
  // Events are really processed only when this much time has passed since the last time:
  // the scanner pumps once per sector, far more often than a window needs.
  static constexpr qint64 kPumpIntervalMs = 15;

  explicit QtHost(QWidget* owner = nullptr);
  void SetOwner(QWidget* owner) { owner_ = owner; }

  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon icon) override;
  void ProcessMessages() override;

  // How often events were really processed (for tests of the rate limit).
  long PumpCount() const { return pumps_; }

 private:
  QPointer<QWidget> owner_;
  QElapsedTimer sinceLastPump_;
  long pumps_ = 0;
  unsigned calls_ = 0;
};

}  // namespace qm::ui
