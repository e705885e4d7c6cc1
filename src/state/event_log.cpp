#include "state/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace talmeris {

void EventLog::StoreLocked(std::string_view piece) {
  int slot;
  if (event_log_count_ == kMaxLines) {
    slot = first_;  // the oldest line gives its slot to the newest
    first_ = static_cast<std::int16_t>((first_ + 1) % kMaxLines);
  } else {
    slot = (first_ + event_log_count_) % kMaxLines;
    ++event_log_count_;
  }
  std::memcpy(event_log_lines_[slot], piece.data(), piece.size());
  event_log_lines_[slot][piece.size()] = '\0';
}

void EventLog::Add(WindowId window, std::string_view text) {
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  {
    std::lock_guard lock(event_log_lock_);
    do {
      std::string_view piece = text.substr(0, kMaxLineLength);
      StoreLocked(piece);
      text.remove_prefix(piece.size());
    } while (!text.empty());
  }
  // Posted after the lock is released: no window call is made with a lock held.
  if (windows_) windows_->PostRefresh(window);
}

void EventLog::AddFormat(WindowId window, const char* format, ...) {
  char line[199];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  Add(window, line);
}

void EventLog::Clear() {
  std::lock_guard lock(event_log_lock_);
  event_log_count_ = 0;
  first_ = 0;
}

std::string EventLog::Joined(std::size_t max_chars) const {
  std::lock_guard lock(event_log_lock_);
  // Walk back from the newest line to find how many fit, then join oldest first.
  std::size_t total = 0;
  int take = 0;
  for (int i = event_log_count_ - 1; i >= 0; --i) {
    std::size_t len = std::strlen(event_log_lines_[(first_ + i) % kMaxLines]);
    std::size_t with_sep = len + (take > 0 ? 2 : 0);
    if (total + with_sep > max_chars) break;
    total += with_sep;
    ++take;
  }
  std::string joined;
  joined.reserve(total);
  for (int i = event_log_count_ - take; i < event_log_count_; ++i) {
    if (!joined.empty() || i > event_log_count_ - take) joined += "\r\n";
    joined += event_log_lines_[(first_ + i) % kMaxLines];
  }
  return joined;
}

int EventLog::Count() const {
  std::lock_guard lock(event_log_lock_);
  return event_log_count_;
}

std::string EventLog::Line(int index) const {
  std::lock_guard lock(event_log_lock_);
  if (index < 0 || index >= event_log_count_) return {};
  return event_log_lines_[(first_ + index) % kMaxLines];
}

}  // namespace talmeris
