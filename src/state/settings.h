// Client.cfg: the user's settings, the remembered login and the revision of the installed data
// files, as a fixed 256-byte little-endian layout shared with the peer programs. Loaded once at
// start-up; afterwards every change is written in place, field group by field group.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

#include "base/bytes.h"
#include "state/window_port.h"

namespace talmeris {

class EventLog;

constexpr std::size_t kSettingsFileSize = 256;
constexpr std::uint8_t kSettingsRevision = 10;
constexpr const char* kSettingsFileName = "Client.cfg";

// Field offsets; a group is written as the bytes from its first to its last offset.
enum SettingsOffset : std::size_t {
  kOffVoiceEnabled = 0,
  kOffVoicePushToTalk = 1,
  kOffVoiceMicOff = 2,
  kOffViewByMouse = 3,
  kOffPropulsionJoystick = 4,
  kOffForceFeedback = 5,
  kOffCfgRevision = 6,
  kOffPlayerListFilter = 7,
  kOffLoginName = 8,
  kOffLoginPassword = 24,
  kOffRememberMe = 40,
  kOffWelcomeSeen = 41,
  kOffStartFullscreen = 42,
  kOffScreenWidth = 43,
  kOffScreenHeight = 45,
  kOffLaunchPeers = 47,
  kOffThrottleAxis = 48,
  kOffYawAxis = 49,
  kOffDataRevision = 50,
  kOffHelpState = 128,
};

struct Settings {
  std::uint8_t voice_enabled = 0;
  std::uint8_t voice_push_to_talk = 0;
  std::uint8_t voice_mic_off = 0;
  std::uint8_t view_by_mouse = 1;
  std::uint8_t propulsion_joystick = 0;
  std::uint8_t force_feedback = 0;
  std::uint8_t cfg_revision = kSettingsRevision;
  std::int8_t player_list_filter = 0;  // signed: a file byte above 127 reads negative
  FixedText<16> login_name;
  FixedText<16> login_password;
  std::uint8_t remember_me = 0;
  std::uint8_t welcome_seen = 0;
  std::uint8_t start_fullscreen = 1;
  std::uint16_t screen_width = 1024;
  std::uint16_t screen_height = 768;
  std::uint8_t launch_peers = 1;
  std::uint8_t throttle_axis = 0;
  std::uint8_t yaw_axis = 0;
  std::uint16_t data_revision = 0;

  friend bool operator==(const Settings&, const Settings&) = default;
};

// The values of a newly created file.
Settings NewFileSettings(std::uint16_t catalogue_revision);

// The file image of offsets 0-255 for these settings (reserved bytes and help block zero).
std::array<std::uint8_t, kSettingsFileSize> EncodeSettings(const Settings& settings);

struct SettingsLoadReport {
  bool created = false;       // no file existed; a new one was written
  bool file_usable = true;    // false: no file could be opened or created; defaults in use
  bool read_only = false;     // the file could be read but not written
  int upgraded_from = -1;     // the stored revision when an upgrade ran, else -1
  bool repaired = false;      // fields the file did not hold were given their new-file values
  bool write_failed = false;  // some write of the load failed
};

// Load at start-up: open or create, upgrade to revision 10, read every field, raise
// data_revision to catalogue_revision. Never fails outwards; the returned settings are always
// usable. A write failure during the load is logged once as a save failure.
Settings LoadSettings(const std::filesystem::path& file, std::uint16_t catalogue_revision,
                      EventLog* log, SettingsLoadReport* report = nullptr);

// Writes `size` bytes at `offset` of an existing file (never creates it). False on failure.
bool WriteSettingsBytes(const std::filesystem::path& file, std::size_t offset,
                        const std::uint8_t* bytes, std::size_t size);

// Stores the in-memory values of offsets first..last (inclusive) into the file. On failure logs
// "Could not save configuration change!" to `window` and returns false; the values stay in
// memory either way.
bool StoreSettings(const std::filesystem::path& file, const Settings& settings, std::size_t first,
                   std::size_t last, EventLog& log, WindowId window);

// The game-help block at 128-255: all zero ("Reset") or the disabled block ("Disable").
bool StoreHelpBlock(const std::filesystem::path& file, bool disable, EventLog& log,
                    WindowId window);

constexpr const char* kSaveFailedText = "Could not save configuration change!";

}  // namespace talmeris
