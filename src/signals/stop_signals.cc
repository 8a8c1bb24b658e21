// The stop request is one flag written by the handler (sig_atomic_t, as the
// language allows handlers), and the run's hook is a plain pointer set
// before the handler is. Each handler is reset to the default action as it
// runs, so a second signal of the same kind is not caught; the three are
// blocked while it runs.
#include "signals/stop_signals.h"

#include <pthread.h>

#include <csignal>

namespace kelvora {

namespace {

volatile std::sig_atomic_t asked_by = 0;
void (*volatile run_hook)() = nullptr;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

void note_stop(int signal_number) {
  if (asked_by == 0) asked_by = signal_number;
  if (run_hook != nullptr) run_hook();
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : stop_signals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void catch_stop_signals(const stop_catching& how) {
  asked_by = 0;
  run_hook = how.on_stop;
  struct sigaction action {};
  action.sa_handler = note_stop;
  action.sa_mask = stop_set();
  action.sa_flags = SA_RESETHAND | (how.restart_calls ? SA_RESTART : 0);
  for (const int signal : stop_signals) sigaction(signal, &action, nullptr);
}

int stop_signal() { return asked_by; }

int stop_status() { return 128 + asked_by; }

void block_stop_signals_here() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_stop_signals_here() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kelvora
