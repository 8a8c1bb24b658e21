// Every input the fuzzer ever found a fault with, and the seed corpus, runs
// through the same harness on every test run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz_harness.h"
#include "run_binary.h"

TEST(FuzzRegression, SeedsAndFindingsRunCleanly) {
  int runs = 0;
  for (const char* folder : {"/corpus", "/regressions"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::string(KELVORA_FUZZ_DIR) + folder)) {
      const std::string bytes = read_file(entry.path().string());
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(kelvora::fuzz_one(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
      ++runs;
    }
  }
  EXPECT_GT(runs, 0);
}
