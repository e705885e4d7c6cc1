#include "server/offline_messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "state/context.h"
#include "state/files.h"

namespace talmeris {
namespace {

constexpr std::size_t kAppendMax = 83;  // characters of one appended message
constexpr unsigned kFileMode = 0600;    // other players' messages to this user

// Appends one line. A last line the file holds without a line end (one written by hand, or cut
// short) is ended first, so the new message never joins it.
bool AppendLine(const std::filesystem::path& file, std::string_view text) {
  const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) return false;
  std::string line;
  struct stat st {};
  char last = '\n';
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && st.st_size > 0) ok = ::pread(fd, &last, 1, st.st_size - 1) == 1;
  if (last != '\n') line = "\r\n";
  line.append(text.substr(0, kAppendMax));
  line.append("\r\n");
  ok = ok && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok;
}

}  // namespace

std::vector<std::string> ParseOfflineMessages(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::size_t text_end = end;
    if (end < bytes.size() && text_end > start && bytes[text_end - 1] == '\r') --text_end;
    lines.emplace_back(bytes.substr(start, text_end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ReadOfflineMessages(const std::filesystem::path& file) {
  return ParseOfflineMessages(ReadFileBytes(file));
}

bool WriteOfflineMessages(const std::filesystem::path& file,
                          const std::vector<std::string>& messages) {
  std::string bytes;
  std::size_t size = 0;
  for (const std::string& m : messages) size += m.size() + 2;
  bytes.reserve(size);
  for (const std::string& m : messages) bytes.append(m).append("\r\n");
  // Whole or not at all: a kill or a full disk during the write leaves the stored messages.
  return WriteFileWhole(file, bytes, kFileMode);
}

int CountOfflineMessages(ClientContext& ctx) {
  std::lock_guard lock(ctx.offline_messages_lock);
  const auto file = ctx.File(kOfflineMessagesFile);
  // Creates an empty file when missing.
  if (const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kFileMode); fd >= 0) {
    ::close(fd);
  }
  return static_cast<int>(ReadOfflineMessages(file).size());
}

void DeliverOfflineMessage(ClientContext& ctx, std::string_view text) {
  WindowId dialog;
  bool stored = true;
  {
    std::lock_guard lock(ctx.offline_messages_lock);
    dialog = ctx.offline_messages_window.load();
    if (dialog != kNoWindow) {
      stored = ctx.offline_inbox.size() < kOfflineInboxMax;
      if (stored) ctx.offline_inbox.emplace_back(text);
    } else {
      stored = AppendLine(ctx.File(kOfflineMessagesFile), text);
    }
  }
  // Told after the lock is released: the dialog pulls the inbox on the main thread.
  if (dialog != kNoWindow && stored) ctx.ports.windows->PostRefresh(dialog);
  if (!stored) {
    ctx.event_log.Add(ctx.main_window.load(),
                      "Could not store an offline message in messages.txt!");
  }
}

std::vector<std::string> OpenOfflineMessages(ClientContext& ctx, unsigned window) {
  std::lock_guard lock(ctx.offline_messages_lock);
  ctx.offline_messages_window.store(window);
  return ReadOfflineMessages(ctx.File(kOfflineMessagesFile));
}

std::vector<std::string> TakeOfflineInbox(ClientContext& ctx) {
  std::lock_guard lock(ctx.offline_messages_lock);
  std::vector<std::string> taken;
  taken.swap(ctx.offline_inbox);
  return taken;
}

bool CloseOfflineMessages(ClientContext& ctx, std::vector<std::string> list, std::size_t* written) {
  std::lock_guard lock(ctx.offline_messages_lock);
  // Whatever arrived after the dialog last pulled its inbox follows the list.
  for (std::string& m : ctx.offline_inbox) list.push_back(std::move(m));
  ctx.offline_inbox.clear();
  ctx.offline_messages_window.store(kNoWindow);
  if (written) *written = list.size();
  return WriteOfflineMessages(ctx.File(kOfflineMessagesFile), list);
}

}  // namespace talmeris
