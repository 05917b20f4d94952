#include "import/requestthreads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "import/importqueue.h"

namespace importer::pipeline {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// Whether requests count as a slow medium's, from what the latest took. No thread is started:
// the rule alone is looked at.
class RequestPaceTest : public ::testing::Test {
 protected:
  void record(std::chrono::duration<double> took) {
    std::lock_guard lock(shared.mutex);
    threads.record(took);
  }
  bool slow() {
    std::lock_guard lock(shared.mutex);
    return threads.slow();
  }

  Shared shared;
  RequestThreads threads{shared, {}, 8, milliseconds(1)};
};

// A share: a few round trips in a row are enough to start the request threads, so that the
// first folders are not looked up one after another for long.
TEST_F(RequestPaceTest, AFewSlowRequestsInARowMakeTheMediumSlow) {
  EXPECT_FALSE(slow()) << "nothing is known before the first request";
  for (int i = 0; i < 3; ++i) record(milliseconds(5));
  EXPECT_FALSE(slow()) << "three are too few to tell";
  record(milliseconds(5));
  EXPECT_TRUE(slow());
}

// A local disk on a busy processor: now and then a request waits for its turn to run, which
// must not make the medium look slow; a share stays slow while most requests are round trips.
TEST_F(RequestPaceTest, OnlyMostOfTheLatestDecide) {
  for (int i = 0; i < 40; ++i) record(i % 5 == 0 ? milliseconds(8) : microseconds(20));
  EXPECT_FALSE(slow());
  for (int i = 0; i < 16; ++i) record(milliseconds(5));
  EXPECT_TRUE(slow());
  for (int i = 0; i < 3; ++i) record(microseconds(20));  // 13 of the latest 16 are slow
  EXPECT_TRUE(slow());
  for (int i = 0; i < 2; ++i) record(microseconds(20));  // 11 of 16
  EXPECT_FALSE(slow());
}

// With no threshold every request counts as slow from the start, as the tests of the request
// threads want.
TEST(RequestPace, NoThresholdIsAlwaysSlow) {
  Shared shared;
  RequestThreads threads(shared, {}, 8, microseconds(0));
  std::lock_guard lock(shared.mutex);
  EXPECT_TRUE(threads.slow());
}

}  // namespace
}  // namespace importer::pipeline
