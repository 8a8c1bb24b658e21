// The stop request is one flag written by the handler (sig_atomic_t, as the
// language allows handlers). Each handler is reset to the default action as
// it runs, so a second signal of the same kind is not caught.
#include "read/stop_signals.h"

#include <pthread.h>

#include <csignal>

namespace kelvora {

namespace {

volatile std::sig_atomic_t asked_by = 0;

void note_stop(int signal_number) {
  if (asked_by == 0) asked_by = signal_number;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void catch_stop_signals() {
  asked_by = 0;
  struct sigaction action {};
  action.sa_handler = note_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

int stop_signal() { return asked_by; }

void block_stop_signals_here() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_stop_signals_here() {
  const sigset_t set = stop_set();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kelvora
