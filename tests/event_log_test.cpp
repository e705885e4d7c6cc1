#include <gtest/gtest.h>

#include <thread>

#include "state/event_log.h"
#include "support/recording_window_port.h"

namespace talmeris {
namespace {

TEST(EventLogTest, KeepsTheNewest499Lines) {
  EventLog log;
  for (int i = 0; i < 500; ++i) log.Add(kNoWindow, "line " + std::to_string(i));
  EXPECT_EQ(log.Count(), 499);
  EXPECT_EQ(log.Line(0), "line 1");
  EXPECT_EQ(log.Line(498), "line 499");
}

TEST(EventLogTest, EmptyTextIsALineAndNotifies) {
  test::RecordingWindowPort windows;
  EventLog log(&windows);
  log.Add(5, "");
  EXPECT_EQ(log.Count(), 1);
  EXPECT_EQ(log.Line(0), "");
  EXPECT_EQ(windows.refreshes, 1);
}

TEST(EventLogTest, LongTextIsSplitIntoWholeSlots) {
  EventLog log;
  std::string exact(98, 'a');
  log.Add(kNoWindow, exact);
  EXPECT_EQ(log.Line(0), exact);
  std::string longer = std::string(98, 'b') + std::string(98, 'c') + "d";
  log.Add(kNoWindow, longer);
  ASSERT_EQ(log.Count(), 4);
  EXPECT_EQ(log.Line(1), std::string(98, 'b'));
  EXPECT_EQ(log.Line(2), std::string(98, 'c'));
  EXPECT_EQ(log.Line(3), "d");
}

TEST(EventLogTest, TextEndsAtItsFirstNul) {
  EventLog log;
  log.Add(kNoWindow, std::string_view("abc\0def", 7));
  EXPECT_EQ(log.Line(0), "abc");
}

TEST(EventLogTest, JoinedWithCrLfAndOldestDroppedFirst) {
  EventLog log;
  log.Add(kNoWindow, "one");
  log.Add(kNoWindow, "two");
  log.Add(kNoWindow, "three");
  EXPECT_EQ(log.Joined(), "one\r\ntwo\r\nthree");
  EXPECT_EQ(log.Joined(10), "two\r\nthree");
  EXPECT_EQ(log.Joined(4), "");
  log.Clear();
  EXPECT_EQ(log.Count(), 0);
  EXPECT_EQ(log.Joined(), "");
}

TEST(EventLogTest, ConcurrentWritersKeepEveryLineWhole) {
  EventLog log;
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        log.Add(kNoWindow, std::string(40 + t, static_cast<char>('a' + t)));
        if (i % 50 == 0) (void)log.Joined();
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(log.Count(), 499);
  for (int i = 0; i < log.Count(); ++i) {
    std::string line = log.Line(i);
    ASSERT_GE(line.size(), 40u);
    char c = line[0];
    EXPECT_EQ(line, std::string(40 + (c - 'a'), c));
  }
}

}  // namespace
}  // namespace talmeris
