// Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal gone) while a recording
// is read: the first asks the reading to stop where it is, so that the image keeps every byte decoded and
// the summary is printed; a second one ends the process as the signal would.
#pragma once

namespace kelvora {

// From here on SIGINT, SIGTERM and SIGHUP ask the reading to stop.
void catch_stop_signals();

// The signal that asked the reading to stop, or 0.
int stop_signal();

// Blocks those signals in the calling thread (and the threads it starts), so they reach the reading one.
void block_stop_signals_here();

// Unblocks them again in the calling thread.
void unblock_stop_signals_here();

}  // namespace kelvora
