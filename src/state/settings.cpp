#include "state/settings.h"

#include <cstdio>
#include <memory>
#include <string>

#include "state/event_log.h"
#include "state/files.h"

namespace talmeris {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File Open(const std::filesystem::path& file, const char* mode) {
  return File(OpenFile(file, mode));
}

// Checks the close too: a write the C library buffered can fail only there.
bool Close(File& f) {
  return std::fclose(f.release()) == 0;
}

// Opens the file for writing in place, readable by the user only from now on: the file holds the
// password, and one made by hand or by another program may be readable by all.
File OpenForWriting(const std::filesystem::path& file) {
  File f = Open(file, "r+b");
  if (f) RestrictToUser(::fileno(f.get()));
  return f;
}

// The load's view of the file: what it held when opened, and writes at offsets.
class LoadFile {
 public:
  LoadFile(std::FILE* f, std::size_t held, bool writable)
      : f_(f), held_(held), writable_(writable) {}

  bool Holds(std::size_t offset, std::size_t width) const { return offset + width <= held_; }

  void Put(std::size_t offset, const std::uint8_t* bytes, std::size_t size) {
    if (!writable_) return;
    if (std::fseek(f_, static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fwrite(bytes, 1, size, f_) != size) {
      failed_ = true;
    }
  }
  void PutByte(std::size_t offset, std::uint8_t b) { Put(offset, &b, 1); }

  bool failed() const { return failed_; }

 private:
  std::FILE* f_;
  std::size_t held_;
  bool writable_;
  bool failed_ = false;
};

void DecodeRange(const std::uint8_t* image, std::size_t offset, Settings& s) {
  switch (offset) {
    case kOffPlayerListFilter:
      s.player_list_filter = static_cast<std::int8_t>(image[7]);
      break;
    case kOffLoginName:
      s.login_name.Set(LoadFixedText(image + kOffLoginName, 15));
      s.login_password.Set(LoadFixedText(image + kOffLoginPassword, 15));
      break;
    case kOffRememberMe:
      s.remember_me = image[40];
      break;
    case kOffWelcomeSeen:
      s.welcome_seen = image[41];
      break;
    case kOffStartFullscreen:
      s.start_fullscreen = image[42];
      break;
    case kOffScreenWidth:
      s.screen_width = LoadU16(image + kOffScreenWidth);
      s.screen_height = LoadU16(image + kOffScreenHeight);
      break;
    case kOffLaunchPeers:
      s.launch_peers = image[47];
      break;
    case kOffThrottleAxis:
      s.throttle_axis = image[48];
      s.yaw_axis = image[49];
      break;
    case kOffDataRevision:
      s.data_revision = LoadU16(image + kOffDataRevision);
      break;
    default:
      break;
  }
}

// The groups of the layout, each introduced when the revision went from `revision` - 1.
struct Group {
  std::uint8_t revision;
  std::size_t offset;
  std::size_t width;
};
constexpr Group kGroups[] = {
    {1, kOffPlayerListFilter, 1}, {2, kOffLoginName, 32},      {3, kOffRememberMe, 1},
    {4, kOffWelcomeSeen, 1},      {5, kOffStartFullscreen, 1}, {6, 43, 0},  // clears 43-255
    {7, kOffScreenWidth, 4},      {8, kOffLaunchPeers, 1},     {9, kOffThrottleAxis, 2},
    {10, kOffDataRevision, 2},
};

// Gives the group at `offset` the values it has in `source`.
void CopyGroup(const Settings& source, std::size_t offset, Settings& s) {
  auto image = EncodeSettings(source);
  DecodeRange(image.data(), offset, s);
}

}  // namespace

Settings NewFileSettings(std::uint16_t catalogue_revision) {
  Settings s;
  s.data_revision = catalogue_revision;
  return s;
}

std::array<std::uint8_t, kSettingsFileSize> EncodeSettings(const Settings& s) {
  std::array<std::uint8_t, kSettingsFileSize> b{};
  b[0] = s.voice_enabled;
  b[1] = s.voice_push_to_talk;
  b[2] = s.voice_mic_off;
  b[3] = s.view_by_mouse;
  b[4] = s.propulsion_joystick;
  b[5] = s.force_feedback;
  b[6] = s.cfg_revision;
  b[7] = static_cast<std::uint8_t>(s.player_list_filter);
  StoreFixedText(&b[kOffLoginName], 16, s.login_name.View());
  StoreFixedText(&b[kOffLoginPassword], 16, s.login_password.View());
  b[40] = s.remember_me;
  b[41] = s.welcome_seen;
  b[42] = s.start_fullscreen;
  StoreU16(&b[kOffScreenWidth], s.screen_width);
  StoreU16(&b[kOffScreenHeight], s.screen_height);
  b[47] = s.launch_peers;
  b[48] = s.throttle_axis;
  b[49] = s.yaw_axis;
  StoreU16(&b[kOffDataRevision], s.data_revision);
  return b;
}

Settings LoadSettings(const std::filesystem::path& path, std::uint16_t catalogue_revision,
                      EventLog* log, SettingsLoadReport* report) {
  SettingsLoadReport local;
  SettingsLoadReport& r = report ? *report : local;
  r = SettingsLoadReport{};

  bool writable = true;
  File f = OpenForWriting(path);
  if (!f) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
      // Present but not writable: read it and keep the upgrade in memory.
      f = Open(path, "rb");
      writable = false;
      r.read_only = true;
    }
  }

  if (!f) {
    Settings fresh = NewFileSettings(catalogue_revision);
    auto image = EncodeSettings(fresh);
    // Written whole, for the user only: a full disk never leaves a short file behind.
    if (!WriteFileWhole(path, {reinterpret_cast<const char*>(image.data()), image.size()}, 0600)) {
      // A read-only folder or a full disk: run on the defaults, with no file left behind.
      r.file_usable = false;
      r.write_failed = true;
      if (log) log->Add(kNoWindow, kSaveFailedText);
      return fresh;
    }
    r.created = true;
    return fresh;
  }

  std::uint8_t image[kSettingsFileSize] = {};
  std::size_t held = std::fread(image, 1, sizeof image, f.get());
  LoadFile file(f.get(), held, writable);
  const Settings defaults = NewFileSettings(catalogue_revision);
  Settings s = defaults;

  // Offsets 0-6: the six settings bytes and the revision. Bytes the file does not hold keep
  // their new-file values and are written so that the file holds them from now on.
  std::uint8_t* settings_bytes[] = {&s.voice_enabled, &s.voice_push_to_talk,  &s.voice_mic_off,
                                    &s.view_by_mouse, &s.propulsion_joystick, &s.force_feedback};
  for (std::size_t i = 0; i < 6; ++i) {
    if (file.Holds(i, 1)) {
      *settings_bytes[i] = image[i];
    } else {
      file.PutByte(i, *settings_bytes[i]);
      r.repaired = true;
    }
  }
  std::uint8_t revision = kSettingsRevision;
  if (file.Holds(kOffCfgRevision, 1)) {
    revision = image[kOffCfgRevision];
  } else {
    file.PutByte(kOffCfgRevision, revision);
    r.repaired = true;
  }
  if (revision > kSettingsRevision) revision = kSettingsRevision;  // newer: read as 10
  if (revision < kSettingsRevision) r.upgraded_from = revision;

  for (const Group& g : kGroups) {
    if (revision < g.revision) {
      // Upgrade: the group's values first, then its revision byte, so an upgrade cut short
      // resumes at this group and never reads values that were not written.
      if (g.revision == 6) {
        static constexpr std::uint8_t kZeros[128] = {};
        file.Put(43, kZeros, 128);
        file.Put(128, kZeros, 128);
      } else {
        CopyGroup(NewFileSettings(0), g.offset, s);  // data_revision starts at 0 here
        auto values = EncodeSettings(s);
        file.Put(g.offset, &values[g.offset], g.width);
      }
      file.PutByte(kOffCfgRevision, g.revision);
      revision = g.revision;
    } else if (g.width > 0) {
      if (file.Holds(g.offset, g.width)) {
        DecodeRange(image, g.offset, s);
      } else {
        // A file cut short: the group takes its new-file value.
        CopyGroup(defaults, g.offset, s);
        auto values = EncodeSettings(s);
        file.Put(g.offset, &values[g.offset], g.width);
        r.repaired = true;
      }
    }
  }
  s.cfg_revision = kSettingsRevision;

  // A file still shorter than 256 bytes is padded (reserved bytes and help block zero).
  if (writable && held < kSettingsFileSize && std::fseek(f.get(), 0, SEEK_END) == 0) {
    static constexpr std::uint8_t kZeros[kSettingsFileSize] = {};
    long length = std::ftell(f.get());
    std::size_t from = std::max<std::size_t>(length < 0 ? 0 : length, kOffDataRevision + 2);
    if (from < kSettingsFileSize) file.Put(from, kZeros, kSettingsFileSize - from);
  }

  if (s.data_revision < catalogue_revision) {
    s.data_revision = catalogue_revision;
    std::uint8_t bytes[2];
    StoreU16(bytes, s.data_revision);
    file.Put(kOffDataRevision, bytes, 2);
  }

  r.write_failed = file.failed();
  if (!Close(f) && writable) r.write_failed = true;
  if (r.write_failed && log) log->Add(kNoWindow, kSaveFailedText);
  return s;
}

bool WriteSettingsBytes(const std::filesystem::path& path, std::size_t offset,
                        const std::uint8_t* bytes, std::size_t size) {
  File f = OpenForWriting(path);
  if (!f) return false;
  bool ok = std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) == 0 &&
            std::fwrite(bytes, 1, size, f.get()) == size;
  return Close(f) && ok;
}

bool StoreSettings(const std::filesystem::path& path, const Settings& settings, std::size_t first,
                   std::size_t last, EventLog& log, WindowId window) {
  auto image = EncodeSettings(settings);
  if (last < first || last >= kSettingsFileSize ||
      !WriteSettingsBytes(path, first, &image[first], last - first + 1)) {
    log.Add(window, kSaveFailedText);
    return false;
  }
  return true;
}

bool StoreHelpBlock(const std::filesystem::path& path, bool disable, EventLog& log,
                    WindowId window) {
  std::uint8_t block[128] = {};
  if (disable) block[0] = 0x80;
  if (!WriteSettingsBytes(path, kOffHelpState, block, sizeof block)) {
    log.Add(window, kSaveFailedText);
    return false;
  }
  return true;
}

}  // namespace talmeris
