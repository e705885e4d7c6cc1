#include "server/patching.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "server/protocol.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/main_window.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

constexpr const char* kPatchErrorCaption = "Patch error!";

void RequestNextChunk(ClientContext& ctx) {
  ShortMessage request{kPatchChunkRequest, 0};
  auto bytes = request.Encode();
  SendToServer(ctx, bytes.data(), bytes.size(), true, 0);
}

void ShowProgress(ClientContext& ctx) {
  ctx.ports.windows->SetControlText(ctx.main_window.load(), kCtlPatching,
                                    PatchProgressText(ctx.patch.done, ctx.patch.total));
}

bool Inside(const std::filesystem::path& root, const std::filesystem::path& path) {
  auto r = root.begin(), p = path.begin();
  for (; r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

enum class Open { kTruncate, kCreate, kExisting };

// One open, seek, write and close, every result checked: a short write fails like an open.
bool WriteChunk(const std::filesystem::path& file, Open how, std::uint32_t offset,
                const std::uint8_t* data, std::size_t length) {
  int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW;
  if (how == Open::kTruncate) flags |= O_CREAT | O_TRUNC;
  if (how == Open::kCreate) flags |= O_CREAT;
  const int fd = ::open(file.c_str(), flags, 0644);
  if (fd < 0) return false;
  bool ok = true;
  std::size_t written = 0;
  while (ok && written < length) {
    const ssize_t n = ::pwrite(fd, data + written, length - written,
                               static_cast<off_t>(offset) + static_cast<off_t>(written));
    if (n <= 0) ok = false;
    if (n > 0) written += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

void LogFailure(ClientContext& ctx, const char* what, std::string_view name) {
  const WindowId main = ctx.main_window.load();
  ctx.event_log.Add(main, what);
  ctx.event_log.Add(main, name);
}

}  // namespace

std::string PatchProgressText(std::uint32_t done, std::uint32_t total) {
  const std::uint64_t percent =
      total == 0 ? 100 : static_cast<std::uint64_t>(done) * 100 / static_cast<std::uint64_t>(total);
  char text[32];
  std::snprintf(text, sizeof text, "Patching: %i%%", static_cast<int>(percent));
  return text;
}

std::optional<std::filesystem::path> ResolvePatchPath(const std::filesystem::path& install_dir,
                                                      std::string_view name, bool create_parents) {
  if (name.empty()) return std::nullopt;
  std::string relative(name);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  if (relative.front() == '/') return std::nullopt;
  if (relative.size() >= 2 && relative[1] == ':') return std::nullopt;  // a drive letter
  std::filesystem::path parts;
  for (const auto& part : std::filesystem::path(relative)) {
    if (part == "..") return std::nullopt;
    if (part.empty() || part == ".") continue;
    parts /= part;
  }
  if (parts.empty() || !parts.has_filename()) return std::nullopt;
  std::error_code ec;
  const auto root = std::filesystem::canonical(install_dir, ec);
  if (ec) return std::nullopt;
  const auto file = root / parts;
  // Whatever exists of the path is resolved through its links: it must stay inside.
  auto parent = std::filesystem::weakly_canonical(file.parent_path(), ec);
  if (ec || !Inside(root, parent)) return std::nullopt;
  if (create_parents) {
    std::filesystem::create_directories(parent, ec);
    if (ec) return std::nullopt;
    parent = std::filesystem::canonical(parent, ec);
    if (ec || !Inside(root, parent)) return std::nullopt;
  }
  const auto resolved = parent / file.filename();
  if (std::filesystem::is_symlink(resolved, ec)) {
    // A link, even one to nothing yet, must point inside too.
    auto target = std::filesystem::read_symlink(resolved, ec);
    if (ec) return std::nullopt;
    if (target.is_relative()) target = parent / target;
    target = std::filesystem::weakly_canonical(target, ec);
    if (ec || !Inside(root, target)) return std::nullopt;
  }
  return resolved;
}

void StartPatch(ClientContext& ctx, const ShortMessage& m) {
  WindowPort& w = *ctx.ports.windows;
  const WindowId main = ctx.main_window.load();
  for (int c : {kCtlSend, kCtlChatInput, kCtlStatistics, kCtlConfiguration, kCtlProfile, kCtlFdr,
                kCtlClearHistory}) {
    w.EnableControl(main, c, true);
  }
  w.FocusControl(main, kCtlChatInput);
  ctx.patch.total = static_cast<std::uint32_t>(WholeNumber(m.value3));
  ShowProgress(ctx);
  RequestNextChunk(ctx);
  ctx.event_log.AddFormat(main, "Patching %i bytes, one moment please...",
                          static_cast<int>(ctx.patch.total));
}

void OnPatchChunk(ClientContext& ctx, const std::uint8_t* chunk) {
  const std::string_view name = LoadFixedText(chunk, kPatchNameSize);
  const std::uint32_t offset = LoadU32(chunk + kPatchOffsetField);
  // The data field holds 16384 bytes: a larger length is never read past the message.
  const std::size_t length =
      std::min<std::size_t>(LoadU32(chunk + kPatchLengthField), kPatchDataSize);
  const std::uint8_t* data = chunk + kPatchDataField;
  const std::uint8_t operation = chunk[kPatchOperationField];
  const WindowId main = ctx.main_window.load();
  bool go_on = true;
  bool counts = false;

  switch (operation) {
    case 0: {
      counts = true;
      for (;;) {
        const auto file = ResolvePatchPath(ctx.install_dir, name, offset == 0);
        if (file && WriteChunk(*file, offset == 0 ? Open::kTruncate : Open::kExisting, offset, data,
                               length)) {
          break;
        }
        char text[1024];
        std::snprintf(text, sizeof text,
                      "Could not save to file...\n\n%.*s\n\nPlease verify this file is not "
                      "open...\n\n\tIn another application (ie. Adobe Reader)\n\tOn this computer "
                      "(ie. in the Task Manager)\n\tOn another computer (ie. on a LAN)\n\n"
                      "Additional suggestions...\n\n\tCheck that the file attribute is not "
                      "read-only\n\tWait for resident virus scanner to move to next file and retry",
                      static_cast<int>(name.size()), name.data());
        if (ctx.ports.windows->MessageBox(main, text, kPatchErrorCaption,
                                          kMbRetryCancel | kMbIconWarning) != kIdRetry) {
          go_on = false;
          break;
        }
      }
      break;
    }
    case 1:
    case 4: {
      counts = operation == 1;
      const auto file = ResolvePatchPath(ctx.install_dir, name, true);
      if (!file || !WriteChunk(*file, Open::kCreate, offset, data, length)) {
        LogFailure(ctx, "PATCH ERROR --- could not save to file...", name);
        go_on = false;
        if (operation == 4) return;
      } else if (operation == 4) {
        ctx.ports.windows->EndDialog(main, kEndRestartAfterPatch);
        return;
      }
      break;
    }
    case 2: {
      counts = true;
      const auto file = ResolvePatchPath(ctx.install_dir, name, false);
      std::error_code ec;
      if (!file || std::filesystem::is_directory(*file, ec) ||
          !std::filesystem::remove(*file, ec)) {
        LogFailure(ctx, "PATCH ERROR --- could not delete file...", name);
        go_on = false;
      }
      break;
    }
    case 5:
      counts = true;
      break;
    default:
      break;  // 3 and 6 to 255: nothing but the next request
  }
  if (counts) {
    ctx.patch.done = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(ctx.patch.total, std::uint64_t{ctx.patch.done} + kPatchDataSize));
    ShowProgress(ctx);
  }
  if (go_on) RequestNextChunk(ctx);
}

}  // namespace talmeris
