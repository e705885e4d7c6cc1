// A client context on in-process fakes, in a temporary installation folder of its own.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "state/context.h"
#include "support/fake_network.h"
#include "support/recording_window_port.h"

namespace talmeris::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  void Write(const char* name, const std::vector<std::uint8_t>& bytes) const;
  std::vector<std::uint8_t> Read(const char* name) const;
  bool Exists(const char* name) const { return std::filesystem::exists(path_ / name); }

 private:
  std::filesystem::path path_;
};

class FakeLauncher final : public ProgramLauncher {
 public:
  bool Start(std::string_view program) override {
    started.emplace_back(program);
    return available.empty() ||
           std::find(available.begin(), available.end(), program) != available.end();
  }
  std::vector<std::string> available;  // empty: every program starts
  std::vector<std::string> started;
};

struct TestClient {
  TestClient();
  TempDir dir;
  RecordingWindowPort windows;
  FakeNetwork network;
  voice::NullVoiceSystem voice;
  FakeLauncher launcher;
  NullKeyboard keyboard;
  ClientContext ctx;
  static constexpr WindowId kMain = 7;
};

// A counter the test moves by hand, for the stopwatch.
struct ManualCounter {
  std::int64_t ticks = 0;
  static std::int64_t Read(void* self) { return static_cast<ManualCounter*>(self)->ticks; }
};

}  // namespace talmeris::test
