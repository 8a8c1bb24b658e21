#include "stop_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

extern char** environ;

namespace {

// True once the process catches SIGINT (its handler is installed).
bool catches_interrupt(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1) & 1) != 0;
  }
  return false;
}

// The child's wait status once it ends, or -1 if it still runs after limit.
int wait_for(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return -1;
}

}  // namespace

stopped_run run_kelvora_stopped(const std::vector<std::string>& args, const std::string& dir,
                                const stop_plan& plan) {
  stopped_run run;
  const std::string out_path = dir + "/stop-run.out";
  const std::string err_path = dir + "/stop-run.err";
  std::vector<std::string> words = {KELVORA_BINARY};
  std::vector<char*> argv = spawn_argv(words, args);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int master = -1;
  int slave = -1;
  if (plan.terminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) std::abort();
    posix_spawn_file_actions_adddup2(&actions, slave, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  std::thread shown;
  if (plan.terminal) {
    close(slave);  // the child holds the terminal now; reading ends when it lets go
    shown = std::thread([master, &run] {
      char chunk[4096];
      ssize_t n = 0;
      while ((n = read(master, chunk, sizeof chunk)) > 0) run.result.err.append(chunk, static_cast<size_t>(n));
    });
  }

  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = -1;
  while (status == -1 && !run.caught && std::chrono::steady_clock::now() < give_up) {
    run.caught = catches_interrupt(pid);
    if (!run.caught) status = wait_for(pid, std::chrono::milliseconds(5));
  }
  if (status == -1) status = wait_for(pid, plan.after);  // it may end by itself meanwhile
  if (status == -1) {
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, plan.signal);
    status = wait_for(pid, std::chrono::seconds(10));
    run.ms_to_exit = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count());
    if (status == -1) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  if (shown.joinable()) shown.join();
  if (master >= 0) close(master);
  run.killed = WIFSIGNALED(status);
  run.result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.result.out = read_file(out_path);
  if (!plan.terminal) run.result.err = read_file(err_path);
  return run;
}
