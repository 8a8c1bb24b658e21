// Runs the real kelvora binary and captures what it prints and its status.
#pragma once

#include <string>
#include <vector>

struct run_result {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal
  long peak_kib = 0;  // largest resident set of a measured run, in KiB
  size_t out_size = 0;  // bytes on standard output, kept or not
};

// Runs kelvora with args; standard input comes from stdin_path, standard
// output is a pipe, and the working directory is dir when it is not empty.
run_result run_kelvora(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null",
                       const std::string& dir = "", bool keep_out = true);

// Runs kelvora with args, feeding stdin_bytes through a pipe to its standard input.
run_result run_kelvora_piped(const std::vector<std::string>& args, const std::string& stdin_bytes,
                             const std::string& dir = "", bool keep_out = true);

// Whether a run's peak can be measured: GNU time is installed.
bool peak_measurable();

// As run_kelvora_piped, with the run's peak resident set measured (needs GNU time).
run_result run_kelvora_measured(const std::vector<std::string>& args, const std::string& stdin_bytes,
                                const std::string& dir = "", bool keep_out = true);

// Runs a shell command line in which $K names the kelvora binary; returns its status.
int run_shell(const std::string& command_line);

// The argv of a spawn: words with args appended, then a null; points into words.
std::vector<char*> spawn_argv(std::vector<std::string>& words, const std::vector<std::string>& args);

// A fresh empty directory for one test.
std::string make_temp_dir();

// Whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string& path);

// Writes bytes to a file, replacing it.
void write_file(const std::string& path, const std::string& bytes);

// Little-endian 32-bit value at offset of bytes.
unsigned le32_at(const std::string& bytes, size_t offset);

// Little-endian 16-bit value at offset of bytes.
unsigned le16_at(const std::string& bytes, size_t offset);

// n pseudo-random bytes from seed.
std::string random_bytes(size_t n, unsigned seed);
