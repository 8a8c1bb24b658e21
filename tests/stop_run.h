// Runs the real kelvora binary and stops it with a signal midway, as a
// person at the keyboard (Ctrl-C) or a service manager (SIGTERM, SIGHUP) does.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "run_binary.h"

struct stop_plan {
  int signal;                      // sent once kelvora catches its stop signals
  std::chrono::milliseconds after;  // and this long has passed since, unless it ended by itself
  bool terminal = false;           // standard error is a terminal (what it shows lands in err)
};

struct stopped_run {
  run_result result;     // status: the exit status, or 128 + the signal that killed it
  bool killed = false;   // it died of a signal instead of exiting
  bool caught = false;   // it caught its stop signals before it ended
  long ms_to_exit = -1;  // from the signal to the end (-1: it ended before any signal)
};

// Runs kelvora with args in dir (standard input /dev/null) and stops it as planned.
stopped_run run_kelvora_stopped(const std::vector<std::string>& args, const std::string& dir,
                                const stop_plan& plan);
