#include "voice/audio_setup_dialog.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "state/context.h"

namespace talmeris {
namespace {

constexpr const char* kDefaultDevice = "Default";
// The threshold lists: -20 dB down to -60 dB in steps of 2.
constexpr int kLoudest = -20, kQuietest = -60, kStep = 2;

int ThresholdIndex(float db) {
  const int index = static_cast<int>((static_cast<float>(kLoudest) - db) / kStep + 0.5f);
  return std::max(0, std::min((kLoudest - kQuietest) / kStep, index));
}
float ThresholdAt(int index) {
  return static_cast<float>(kLoudest - kStep * std::max(0, index));
}

void FillDevices(WindowPort& w, WindowId dlg, int control, const std::vector<std::string>& names,
                 const std::string& chosen) {
  w.ListAdd(dlg, control, kDefaultDevice);
  int selected = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    w.ListAdd(dlg, control, names[i]);
    if (names[i] == chosen) selected = static_cast<int>(i) + 1;
  }
  w.ListSelect(dlg, control, selected);
}

voice::AudioSetup ReadSetup(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  voice::AudioSetup setup;
  auto device = [&](int control) {
    const std::string name = w.ListSelectedText(dlg, control);
    return name == kDefaultDevice ? std::string() : name;
  };
  setup.capture_device = device(kCtlSetupCapture);
  setup.playback_device = device(kCtlSetupPlayback);
  setup.open_db = ThresholdAt(w.ListSelection(dlg, kCtlSetupOpen));
  setup.close_db = std::min(setup.open_db, ThresholdAt(w.ListSelection(dlg, kCtlSetupClose)));
  setup.echo_cancellation = w.IsChecked(dlg, kCtlSetupEcho);
  return setup;
}

void Restart(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  const bool ok =
      ctx.ports.voice->StartMonitor(ReadSetup(ctx, dlg), w.IsChecked(dlg, kCtlSetupHearBack));
  w.SetControlText(dlg, kCtlSetupStatus,
                   ok ? "Speak now: the bar shows how loud you are."
                      : "These sound devices could not be opened.");
}

void Init(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  voice::VoiceSystem& v = *ctx.ports.voice;
  const voice::AudioSetup setup = v.CurrentSetup();
  FillDevices(w, dlg, kCtlSetupCapture, v.CaptureDevices(), setup.capture_device);
  FillDevices(w, dlg, kCtlSetupPlayback, v.PlaybackDevices(), setup.playback_device);
  for (int db = kLoudest; db >= kQuietest; db -= kStep) {
    char text[16];
    std::snprintf(text, sizeof text, "%d dB", db);
    w.ListAdd(dlg, kCtlSetupOpen, text);
    w.ListAdd(dlg, kCtlSetupClose, text);
  }
  w.ListSelect(dlg, kCtlSetupOpen, ThresholdIndex(setup.open_db));
  w.ListSelect(dlg, kCtlSetupClose, ThresholdIndex(setup.close_db));
  w.CheckControl(dlg, kCtlSetupEcho, setup.echo_cancellation);
  Restart(ctx, dlg);
}

void Finish(ClientContext& ctx, WindowId dlg, int code) {
  ctx.ports.voice->StopMonitor();
  ctx.ports.windows->EndDialog(dlg, code);
}

void Command(ClientContext& ctx, WindowId dlg, int control, int notification) {
  WindowPort& w = *ctx.ports.windows;
  switch (control) {
    case kIdOk:
      if (!ctx.ports.voice->SaveSetup(ReadSetup(ctx, dlg))) {
        w.MessageBox(dlg, "The audio setup could not be saved.", "Audio Setup", kMbIconError);
        return;
      }
      Finish(ctx, dlg, kIdOk);
      break;
    case kCancelCommand:
      Finish(ctx, dlg, kIdCancel);
      break;
    case kCtlSetupCapture:
    case kCtlSetupPlayback:
    case kCtlSetupOpen:
    case kCtlSetupClose:
      if (notification == kNotifySelChange) Restart(ctx, dlg);
      break;
    case kCtlSetupHearBack:
      Restart(ctx, dlg);
      break;
    default:
      break;
  }
}

void Timer(ClientContext& ctx, WindowId dlg) {
  bool open = false;
  const float level = ctx.ports.voice->MonitorLevel(&open);
  WindowPort& w = *ctx.ports.windows;
  w.SetControlValue(dlg, kCtlSetupLevel, static_cast<int>(std::max(0.0f, level + 90.0f)));
  w.SetControlText(dlg, kCtlSetupActivation,
                   open ? "Voice activation: open" : "Voice activation: closed");
}

}  // namespace

const DialogProcedure kAudioSetupDialogProcedure{kAudioSetupDialog, &Init,   &Command,
                                                 nullptr,           nullptr, &Timer};

}  // namespace talmeris
