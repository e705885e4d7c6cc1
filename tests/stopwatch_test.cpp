#include <gtest/gtest.h>

#include "state/stopwatch.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::ManualCounter;

TEST(StopwatchTest, TimeCountsFromStartAndReset) {
  ManualCounter c{1000};
  Stopwatch w(&ManualCounter::Read, &c, 100);
  w.Start();
  c.ticks += 250;
  EXPECT_DOUBLE_EQ(w.Time(), 2.5);
  w.Reset();
  EXPECT_DOUBLE_EQ(w.Time(), 0.0);
  c.ticks += 10;
  EXPECT_DOUBLE_EQ(w.Time(), 0.1);
}

TEST(StopwatchTest, ElapsedIsTheStepAndNeverNegative) {
  ManualCounter c{0};
  Stopwatch w(&ManualCounter::Read, &c, 1000);
  w.Start();
  c.ticks = 100;
  EXPECT_DOUBLE_EQ(w.Elapsed(), 0.1);
  EXPECT_DOUBLE_EQ(w.Elapsed(), 0.0);  // twice at once
  c.ticks = 40;                        // a counter that goes backwards
  EXPECT_DOUBLE_EQ(w.Elapsed(), 0.0);
  c.ticks = 140;
  EXPECT_DOUBLE_EQ(w.Elapsed(), 0.1);
}

TEST(StopwatchTest, RealClockAdvances) {
  Stopwatch w;
  w.Start();
  double a = w.Time();
  double b = w.Time();
  EXPECT_GE(b, a);
  EXPECT_GE(w.Elapsed(), 0.0);
}

}  // namespace
}  // namespace talmeris
