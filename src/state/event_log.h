// The program's single channel for status, error and chat lines: an in-memory list of short
// single-byte lines shared by all threads. Adding a line never waits for the user interface.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "state/ranked_mutex.h"
#include "state/window_port.h"

namespace talmeris {

class EventLog {
 public:
  static constexpr int kMaxLines = 499;
  static constexpr std::size_t kMaxLineLength = 98;  // a 99-byte slot with its NUL

  explicit EventLog(WindowPort* windows = nullptr) : windows_(windows) {}
  void SetWindowPort(WindowPort* windows) { windows_ = windows; }

  // Stores the text as the newest line (dropping the oldest when 499 are held) and posts a
  // refresh to `window`. The text ends at its first NUL. A text longer than 98 characters is
  // split into consecutive lines of 98, so nothing is lost and no slot overflows.
  void Add(WindowId window, std::string_view text);

  // printf-style convenience for the program's formatted lines (at most 198 characters).
  void AddFormat(WindowId window, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Empties the log ("Clear History").
  void Clear();

  // The held lines, oldest first, joined with CR LF (none after the last). When the joined text
  // would pass `max_chars`, the oldest lines are left out.
  std::string Joined(std::size_t max_chars = SIZE_MAX) const;

  int Count() const;
  std::string Line(int index) const;  // 0 = oldest

 private:
  void StoreLocked(std::string_view piece);

  WindowPort* windows_;
  mutable RankedMutex event_log_lock_{LockRank::kEventLog};
  char event_log_lines_[kMaxLines][kMaxLineLength + 1] = {};
  std::int16_t first_ = 0;  // ring start: index of the oldest line
  std::int16_t event_log_count_ = 0;
};

}  // namespace talmeris
