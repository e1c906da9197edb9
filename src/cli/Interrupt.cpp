#include "Interrupt.h"

namespace qm::cli {
namespace {

constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int number) {
  if (g_signal == 0) g_signal = number;
}

void Catch(struct sigaction* previous) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a read waiting at the terminal returns
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, previous ? &previous[i] : nullptr);
}

}  // namespace

// A signal that came before a scope began is not forgotten: the command stops at its first
// safe point.
InterruptScope::InterruptScope() { Catch(previous_); }

InterruptScope::~InterruptScope() {
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
}

void CatchSignalsUntilExit() { Catch(nullptr); }

bool Interrupted() { return g_signal != 0; }

int InterruptExitStatus() { return 128 + g_signal; }

}  // namespace qm::cli
