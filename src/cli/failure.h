// Fatal failures: one helper turns a failure into a message and an exit status.
// The failure travels as an exception so that the entry (or a fuzzer) decides
// where the message goes; nothing below the entry prints or exits on its own.
#pragma once

#include <cstdio>
#include <string>

namespace kelvora {

// What a finished or failed run prints: the text already ends with its line end.
struct failure {
  std::string text;
  int status = 1;          // exit status of the process
  bool on_stdout = false;  // requested output (--help, --version): always standard output
};

// Ends the run with one message line (the line end is added).
[[noreturn]] void fail(const std::string& message);

// Ends the run with "WHAT NAME: reason", the reason being the system's for
// the error number (the name shown as printable_name shows it).
[[noreturn]] void fail_because(const std::string& what, const std::string& name, int error);

// Ends the run with a ready-made text of one or more lines (the usage text).
[[noreturn]] void fail_with_text(std::string text);

// Ends the run successfully with text the user asked for, on standard output.
[[noreturn]] void finish_with_text(std::string text);

// Ends the process at once with the status, once the standard streams are
// flushed: for a run stopped by a signal, whose threads are not waited for.
[[noreturn]] void end_at_once(int status);

// Messages go to standard error while the audio may go to standard output.
void send_messages_to_stderr(bool on);

// Prints the failure's text where it belongs; returns its exit status.
int report_failure(const failure& f);

// Fails with "will not write WHAT to a terminal" where file is one (closing
// it, unless it is standard output): audio and images are binary.
void refuse_terminal(std::FILE* file, const char* what);

// A file name as a message shows it: control characters escaped (\n, \x1b).
std::string printable_name(const std::string& name);

}  // namespace kelvora
