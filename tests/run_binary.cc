#include "run_binary.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

std::vector<char*> spawn_argv(std::vector<std::string>& words, const std::vector<std::string>& args) {
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

std::string make_temp_dir() {
  const char* root = std::getenv("TMPDIR");
  std::string pattern = std::string(root != nullptr ? root : "/tmp") + "/kelvora-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

unsigned le32_at(const std::string& bytes, size_t offset) {
  unsigned value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
  return value;
}

unsigned le16_at(const std::string& bytes, size_t offset) {
  return static_cast<unsigned char>(bytes.at(offset)) | static_cast<unsigned char>(bytes.at(offset + 1)) << 8;
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

namespace {

// How one run is fed and watched.
struct run_plan {
  const std::string& stdin_path;   // standard input when stdin_bytes is null
  const std::string* stdin_bytes;  // fed through a pipe when not null
  const std::string& dir;          // working directory when not empty
  bool keep_out;                   // keep standard output, not only count it
  bool measure_peak;               // run under GNU time for the peak resident set
};

run_result run_with_stdin(const std::vector<std::string>& args, const run_plan& plan) {
  run_result result;
  const std::string err_dir = make_temp_dir();
  const std::string err_path = err_dir + "/stderr";
  const std::string peak_path = err_dir + "/peak";
  int out_pipe[2];
  if (pipe(out_pipe) != 0) std::abort();

  // The child runs through a shell only to change directory when asked. A
  // child spawned from here counts this process's own peak in its rusage
  // (posix_spawn shares our memory until exec), so a peak is measured by
  // GNU time, which forks kelvora from its own small process.
  std::vector<std::string> words;
  if (plan.measure_peak) words = {"/usr/bin/time", "-f", "%M", "-o", peak_path};
  if (!plan.dir.empty()) {
    for (const char* word : {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\""}) words.emplace_back(word);
    words.push_back(plan.dir);
  }
  words.emplace_back(KELVORA_BINARY);
  std::vector<char*> argv = spawn_argv(words, args);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int in_pipe[2] = {-1, -1};
  const std::string* stdin_bytes = plan.stdin_bytes;
  if (stdin_bytes != nullptr) {
    if (pipe(in_pipe) != 0) std::abort();
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_addclose(&actions, in_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, plan.stdin_path.c_str(), O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[1]);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  std::thread feeder;
  if (stdin_bytes != nullptr) {
    close(in_pipe[0]);
    feeder = std::thread([fd = in_pipe[1], stdin_bytes] {
      signal(SIGPIPE, SIG_IGN);
      size_t done = 0;
      while (done < stdin_bytes->size()) {
        const ssize_t n = write(fd, stdin_bytes->data() + done, stdin_bytes->size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
  }

  char chunk[65536];
  ssize_t n = 0;
  while ((n = read(out_pipe[0], chunk, sizeof chunk)) > 0) {
    result.out_size += static_cast<size_t>(n);
    if (plan.keep_out) result.out.append(chunk, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (feeder.joinable()) feeder.join();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = read_file(err_path);
  if (plan.measure_peak) {
    // The figure is the file's last line (a failed run's status comes before it).
    std::istringstream lines(read_file(peak_path));
    for (std::string line; std::getline(lines, line);) result.peak_kib = std::atol(line.c_str());
    std::remove(peak_path.c_str());
  }
  std::remove(err_path.c_str());
  rmdir(err_dir.c_str());
  return result;
}

}  // namespace

run_result run_kelvora(const std::vector<std::string>& args, const std::string& stdin_path,
                       const std::string& dir, bool keep_out) {
  return run_with_stdin(args, {stdin_path, nullptr, dir, keep_out, false});
}

run_result run_kelvora_piped(const std::vector<std::string>& args, const std::string& stdin_bytes,
                             const std::string& dir, bool keep_out) {
  return run_with_stdin(args, {"", &stdin_bytes, dir, keep_out, false});
}

bool peak_measurable() { return access("/usr/bin/time", X_OK) == 0; }

run_result run_kelvora_measured(const std::vector<std::string>& args, const std::string& stdin_bytes,
                                const std::string& dir, bool keep_out) {
  return run_with_stdin(args, {"", &stdin_bytes, dir, keep_out, true});
}

int run_shell(const std::string& command_line) {
  const std::string full = "K='" KELVORA_BINARY "'; " + command_line;
  const int status = std::system(full.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
