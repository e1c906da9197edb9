#include "ui/WorkerHost.h"

#include <QThread>
#include <optional>

namespace qm::ui {

WorkerHost::WorkerHost(Host& inner, QObject* gui) : inner_(inner), gui_(gui) {}

bool WorkerHost::OnGuiThread() const {
  return QThread::currentThread() == gui_->thread();
}

MsgAnswer WorkerHost::MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                                 MsgIcon icon) {
  return Ask(false, text, caption, buttons, icon);
}

MsgAnswer WorkerHost::RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                                    MsgIcon icon) {
  return Ask(true, text, caption, buttons, icon);
}

void WorkerHost::Release() {
  {
    const std::lock_guard<std::mutex> held(shared_->lock);
    shared_->released = true;
  }
  shared_->answered.notify_all();
}

MsgAnswer WorkerHost::Ask(bool risky, const std::string& text, const std::string& caption, MsgButtons buttons,
                          MsgIcon icon) {
  if (OnGuiThread()) return risky ? inner_.RiskyQuestion(text, caption, buttons, icon)
                                  : inner_.MessageBox(text, caption, buttons, icon);
  // The answer lives beside the shared state, so that a call that runs after the worker was
  // let go writes into memory that still exists.
  struct Call {
    std::optional<MsgAnswer> answer;
  };
  const auto call = std::make_shared<Call>();
  {
    const std::lock_guard<std::mutex> held(shared_->lock);
    if (shared_->released) return SafeAnswer(buttons);
  }
  Host* inner = &inner_;
  QMetaObject::invokeMethod(
      gui_,
      [shared = shared_, call, inner, risky, text, caption, buttons, icon] {
        {
          const std::lock_guard<std::mutex> held(shared->lock);
          if (shared->released) return;  // nobody waits for it any more
        }
        const MsgAnswer answer = risky ? inner->RiskyQuestion(text, caption, buttons, icon)
                                       : inner->MessageBox(text, caption, buttons, icon);
        {
          const std::lock_guard<std::mutex> held(shared->lock);
          call->answer = answer;
        }
        shared->answered.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> held(shared_->lock);
  shared_->answered.wait(held, [&] { return call->answer.has_value() || shared_->released; });
  return call->answer ? *call->answer : SafeAnswer(buttons);
}

}  // namespace qm::ui
