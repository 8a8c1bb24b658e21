// Failure reporting: messages go to standard output unless the conversion has
// taken standard output for the audio, then to standard error.
#include "cli/failure.h"

#include <cstdio>

namespace kelvora {

namespace {
bool messages_to_stderr = false;
}

void fail(const std::string& message) { throw failure{message + "\n"}; }

void fail_with_text(std::string text) { throw failure{std::move(text)}; }

void send_messages_to_stderr(bool on) { messages_to_stderr = on; }

int report_failure(const failure& f) {
  std::FILE* stream = messages_to_stderr ? stderr : stdout;
  std::fputs(f.text.c_str(), stream);
  std::fflush(stream);
  return 1;
}

}  // namespace kelvora
