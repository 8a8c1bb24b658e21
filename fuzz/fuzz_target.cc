// libFuzzer entry point: a run whose outcome no user should see aborts.
#include <cstdio>
#include <cstdlib>

#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault = kelvora::fuzz_fault(kelvora::fuzz_one(data, size));
  if (!fault.empty()) {
    std::fprintf(stderr, "finding: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
