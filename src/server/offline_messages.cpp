#include "server/offline_messages.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "state/context.h"
#include "state/files.h"

namespace talmeris {
namespace {

bool AppendLine(const std::filesystem::path& file, std::string_view text) {
  std::FILE* f = OpenFile(file, "ab");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() &&
            std::fwrite("\r\n", 1, 2, f) == 2;
  return std::fclose(f) == 0 && ok;
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
  std::FILE* f = OpenFile(file, "rb");
  if (!f) return {};
  std::string bytes;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  std::fclose(f);
  return ParseOfflineMessages(bytes);
}

bool WriteOfflineMessages(const std::filesystem::path& file,
                          const std::vector<std::string>& messages) {
  std::FILE* f = OpenFile(file, "wb");
  if (!f) return false;
  bool ok = true;
  for (const std::string& m : messages) {
    ok = ok && std::fwrite(m.data(), 1, m.size(), f) == m.size() &&
         std::fwrite("\r\n", 1, 2, f) == 2;
  }
  return std::fclose(f) == 0 && ok;
}

int CountOfflineMessages(ClientContext& ctx) {
  std::lock_guard lock(ctx.offline_messages_lock);
  const auto file = ctx.File(kOfflineMessagesFile);
  if (std::FILE* f = OpenFile(file, "ab")) std::fclose(f);  // creates an empty file when missing
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
