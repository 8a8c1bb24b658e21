// Every input the fuzzer ever found a fault with, and the seed corpus, runs
// through the same harness on every test run and must end as a user may see
// a run end: finished, or one line and status 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz_harness.h"
#include "run_binary.h"

TEST(FuzzRegression, SeedsAndFindingsEndAsAUserMaySee) {
  int runs = 0;
  for (const char* folder : {"/corpus", "/regressions"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::string(KELVORA_FUZZ_DIR) + folder)) {
      const std::string bytes = read_file(entry.path().string());
      const kelvora::fuzz_outcome outcome =
          kelvora::fuzz_one(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      EXPECT_EQ(kelvora::fuzz_fault(outcome), "") << entry.path().string();
      ++runs;
    }
  }
  EXPECT_GT(runs, 0);
  // The judge itself: what no user should see is caught.
  EXPECT_NE(kelvora::fuzz_fault({"internal error: the recording came out 1 bytes, not 2\n", 1}), "");
  EXPECT_NE(kelvora::fuzz_fault({"cannot read x\nsecond line\n", 1}), "");
  EXPECT_NE(kelvora::fuzz_fault({"", 2}), "");
}
