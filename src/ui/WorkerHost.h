#pragma once
// The host of a disk while the window's worker thread reads it: the worker's questions (a
// block that cannot be read: Abort, Retry or Ignore) are asked on the window's thread by the
// host that answers for the disk otherwise, and the worker waits for the answer. The window
// can let a waiting worker go (when it closes): the question then gets the safe answer.
#include <QObject>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "disk/Host.h"

namespace qm::ui {

class WorkerHost final : public Host {
 public:
  // `inner` is asked on the thread of `gui`, an object that lives on the window's thread and
  // outlives every worker that uses this host.
  WorkerHost(Host& inner, QObject* gui);

  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                       MsgIcon icon) override;
  MsgAnswer RiskyQuestion(const std::string& text, const std::string& caption, MsgButtons buttons,
                          MsgIcon icon) override;
  // The worker's loops pump here, once a sector: the window's thread runs an event loop of its
  // own, so there is nothing to do, at no cost. (Nothing on the window's thread pumps through
  // this disk while the worker has it: the actions that would are held or disabled.)
  void ProcessMessages() override {}

  // From now on every question of the worker, and the one it may be waiting on, gets the
  // safe answer at once; nobody is asked.
  void Release();

 private:
  struct Shared {
    std::mutex lock;
    std::condition_variable answered;
    bool released = false;
  };
  MsgAnswer Ask(bool risky, const std::string& text, const std::string& caption, MsgButtons buttons,
                MsgIcon icon);
  bool OnGuiThread() const;

  Host& inner_;
  QObject* gui_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace qm::ui
