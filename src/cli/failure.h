// Fatal failures: one helper turns a failure into a message and exit status 1.
// The failure travels as an exception so that the entry (or a fuzzer) decides
// where the message goes; nothing below the entry prints or exits on its own.
#pragma once

#include <string>

namespace kelvora {

// What a failed run prints: the text already ends with its line end.
struct failure {
  std::string text;
};

// Ends the run with one message line (the line end is added).
[[noreturn]] void fail(const std::string& message);

// Ends the run with a ready-made text of one or more lines (the usage text).
[[noreturn]] void fail_with_text(std::string text);

// Once the audio goes to standard output, later messages go to standard error.
void send_messages_to_stderr(bool on);

// Prints the failure's text where messages currently go; returns exit status 1.
int report_failure(const failure& f);

}  // namespace kelvora
