// Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal gone) while a run goes
// on: the first one is noted (and handed to the run's own hook), so the run
// stops where it is and ends as it must, by its own choice; a second one of
// the same kind ends the process as the signal would. Status 128 + signal:
// 130, 143, 129.
#pragma once

namespace kelvora {

// How a run takes the stop signals.
struct stop_catching {
  // Blocked system calls go on after the signal (true), or return at once with EINTR (false).
  bool restart_calls = true;
  // Called from the handler on the first signal; only async-signal-safe work belongs here.
  void (*on_stop)() = nullptr;
};

// From here on SIGINT, SIGTERM and SIGHUP are caught as `how` says; forgets any signal caught before.
void catch_stop_signals(const stop_catching& how);

// The first stop signal caught, or 0.
int stop_signal();

// The exit status of a run a signal stopped: 128 + the signal.
int stop_status();

// Blocks those signals in the calling thread (and the threads it starts), so they reach another one.
void block_stop_signals_here();

// Unblocks them again in the calling thread.
void unblock_stop_signals_here();

}  // namespace kelvora
