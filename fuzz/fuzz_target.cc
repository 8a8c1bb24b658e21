// libFuzzer entry point.
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kelvora::fuzz_one(data, size);
}
