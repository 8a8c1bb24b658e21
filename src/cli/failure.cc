// Failure reporting: messages go to standard output unless the audio may go
// there, then to standard error.
#include "cli/failure.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kelvora {

namespace {
bool messages_to_stderr = false;
}

void fail(const std::string& message) { throw failure{message + "\n"}; }

void fail_because(const std::string& what, const std::string& name, int error) {
  fail(what + " " + printable_name(name) + ": " + std::strerror(error));
}

void fail_with_text(std::string text) { throw failure{std::move(text)}; }

void finish_with_text(std::string text) { throw failure{std::move(text), 0, true}; }

void end_at_once(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

void send_messages_to_stderr(bool on) { messages_to_stderr = on; }

int report_failure(const failure& f) {
  std::FILE* stream = f.on_stdout || !messages_to_stderr ? stdout : stderr;
  std::fputs(f.text.c_str(), stream);
  std::fflush(stream);
  return f.status;
}

std::string printable_name(const std::string& name) {
  static const char hex[] = "0123456789abcdef";
  std::string shown;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      shown.push_back(ch);
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c == '\r') {
      shown += "\\r";
    } else {
      shown += "\\x";
      shown.push_back(hex[c >> 4]);
      shown.push_back(hex[c & 0xF]);
    }
  }
  return shown;
}

void refuse_terminal(std::FILE* file, const char* what) {
  if (!isatty(fileno(file))) return;
  if (file != stdout) std::fclose(file);
  fail(std::string("will not write ") + what + " to a terminal");
}

}  // namespace kelvora
