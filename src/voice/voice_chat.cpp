#include "voice/voice_chat.h"

#include "server/protocol.h"
#include "state/context.h"
#include "state/main_window.h"
#include "state/sessions.h"

namespace talmeris {

net::HRESULT OnVoiceMessage(void* context, voice::VoiceMessage message, net::DPNID) {
  auto& ctx = *static_cast<ClientContext*>(context);
  WindowPort& w = *ctx.ports.windows;
  const WindowId main = ctx.main_window.load();
  switch (message) {
    case voice::VoiceMessage::SessionLost:
      w.EnableControl(main, kCtlVoiceIp, false);
      ctx.event_log.Add(main, "Voice connection interrupted...");
      ctx.voice_connected.store(false);
      break;
    case voice::VoiceMessage::PlayerVoiceStart:
      w.CheckControl(main, kCtlRx, true);
      break;
    case voice::VoiceMessage::PlayerVoiceStop: {
      // The companions play the end-of-transmission cue.
      ShortMessage cue;
      cue.type = 10;
      cue.value1 = 18.0f;
      auto bytes = cue.Encode();
      SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, bytes.data(), bytes.size(), true, 0);
      w.CheckControl(main, kCtlRx, false);
      break;
    }
    case voice::VoiceMessage::RecordStart:
      w.CheckControl(main, kCtlTx, true);
      break;
    case voice::VoiceMessage::RecordStop:
      w.CheckControl(main, kCtlTx, false);
      break;
  }
  return net::DPN_OK;
}

void EngageVoice(ClientContext& ctx, WindowId main_window) {
  voice::VoiceClient* client = ctx.net.voice_client.get();
  if (!client) return;
  WindowPort& w = *ctx.ports.windows;
  std::unique_ptr<voice::VoiceTest> test;
  if (net::Failed(ctx.ports.voice->CreateVoiceTest(&test)) || !test) {
    // Without the check nothing is known of the hardware: voice stays off for this run rather
    // than trying again ten times a second.
    ctx.event_log.Add(main_window, "Could not test sound hardware...");
    ctx.settings.voice_enabled = 0;
    return;
  }
  if (test->CheckAudioSetup(main_window, voice::DVFLAGS_QUERYONLY) == voice::DVERR_RUNSETUP) {
    w.MessageBox(main_window, "Please first configure the audio hardware under Configuration...",
                 "Hardware Test Needed", kMbIconWarning);
    ctx.settings.voice_enabled = 0;  // in memory only
    return;
  }
  test.reset();
  ctx.event_log.Add(main_window, "Engaging voice services...");
  voice::ClientConfig& config = ctx.voice_client_config;
  config = voice::ClientConfig{};
  config.flags = voice::DVCLIENTCONFIG_AUTOVOICEACTIVATED | voice::DVCLIENTCONFIG_AUTORECORDVOLUME;
  // A Mute box left checked from an earlier connection keeps playback muted.
  if (ctx.voice_muted) config.flags |= voice::DVCLIENTCONFIG_PLAYBACKMUTE;
  config.record_volume = 1;
  config.playback_volume = 0;
  voice::SoundDeviceConfig sound;
  sound.window = main_window;
  const net::HRESULT hr = client->Connect(sound, config, voice::DVFLAGS_SYNC);
  if (hr != 0) {
    ctx.event_log.AddFormat(main_window, "Could not engage voice services: 0x%x",
                            static_cast<unsigned>(hr));
    ctx.voice_connected.store(false);
    ctx.settings.voice_enabled = 0;
    return;
  }
  if (ctx.settings.voice_mic_off || ctx.settings.voice_push_to_talk)
    client->SetTransmitTargets(nullptr, 0, 0);
  w.EnableControl(main_window, kCtlVoiceIp, true);
  w.EnableControl(main_window, kCtlMute, true);
  w.EnableControl(main_window, kCtlPtt, ctx.settings.voice_push_to_talk != 0);
  ctx.voice_connected.store(true);
}

void SetTargetsToList(ClientContext& ctx) {
  voice::VoiceClient* client = ctx.net.voice_client.get();
  if (!client) return;
  net::DPNID ids[voice::kMaxTargets];
  std::uint32_t count = 0;
  for (int slot = 0; slot < kRosterSize; ++slot) {
    PlayerRecord& p = ctx.tables.roster[slot];
    std::lock_guard lock(p.lock);
    if (p.online && p.voice_include && count < voice::kMaxTargets) ids[count++] = p.identity_number;
  }
  client->SetTransmitTargets(count ? ids : nullptr, count, 0);
}

void FollowPushToTalk(ClientContext& ctx, WindowId main_window) {
  WindowPort& w = *ctx.ports.windows;
  const bool down = ctx.ports.keyboard && ctx.ports.keyboard->IsKeyDown(kPushToTalkKey);
  if (down && !ctx.ptt_key_down) {
    ctx.ptt_key_down = true;
    w.SetButtonDown(main_window, kCtlPtt, true);
  } else if (!down && ctx.ptt_key_down) {
    ctx.ptt_key_down = false;
    w.SetButtonDown(main_window, kCtlPtt, false);
  }
  const bool pushed = w.IsButtonDown(main_window, kCtlPtt);
  if (pushed && !ctx.voice_transmitting) {
    ctx.voice_transmitting = true;
    SetTargetsToList(ctx);
  } else if (!pushed && ctx.voice_transmitting) {
    ctx.voice_transmitting = false;
    if (ctx.net.voice_client) ctx.net.voice_client->SetTransmitTargets(nullptr, 0, 0);
    w.FocusControl(main_window, kCtlChatInput);
  }
}

bool VoiceInAutoMode(const ClientContext& ctx) {
  return ctx.voice_connected.load() && !ctx.settings.voice_push_to_talk &&
         !ctx.settings.voice_mic_off;
}

std::uint32_t VoiceClientFlags(const ClientContext& ctx, bool with_mute) {
  std::uint32_t flags = voice::DVCLIENTCONFIG_AUTORECORDVOLUME;
  if (!ctx.settings.voice_push_to_talk) flags |= voice::DVCLIENTCONFIG_AUTOVOICEACTIVATED;
  if (with_mute && ctx.voice_muted) flags |= voice::DVCLIENTCONFIG_PLAYBACKMUTE;
  return flags;
}

void ApplyVoiceMute(ClientContext& ctx) {
  ctx.voice_client_config.flags = VoiceClientFlags(ctx, true);
  if (ctx.net.voice_client) ctx.net.voice_client->SetClientConfig(ctx.voice_client_config);
}

void SetMicrophoneMode(ClientContext& ctx, MicrophoneMode mode) {
  voice::VoiceClient* client = ctx.net.voice_client.get();
  WindowPort& w = *ctx.ports.windows;
  const WindowId main = ctx.main_window.load();
  switch (mode) {
    case MicrophoneMode::kAuto: {
      // Everyone hears the user until the next once-per-second refresh narrows it.
      const net::DPNID everyone = net::DPNID_ALL_PLAYERS_GROUP;
      if (client) client->SetTransmitTargets(&everyone, 1, 0);
      ctx.settings.voice_push_to_talk = 0;
      ctx.settings.voice_mic_off = 0;
      w.EnableControl(main, kCtlPtt, false);
      break;
    }
    case MicrophoneMode::kPushToTalk:
      if (client) client->SetTransmitTargets(nullptr, 0, 0);
      ctx.settings.voice_push_to_talk = 1;
      ctx.settings.voice_mic_off = 0;
      w.EnableControl(main, kCtlPtt, true);
      break;
    case MicrophoneMode::kOff:
      if (client) client->SetTransmitTargets(nullptr, 0, 0);
      ctx.settings.voice_push_to_talk = 0;
      ctx.settings.voice_mic_off = 1;
      w.EnableControl(main, kCtlPtt, false);
      break;
  }
  ctx.voice_client_config.flags = VoiceClientFlags(ctx, false);
  if (client) client->SetClientConfig(ctx.voice_client_config);
}

bool ToggleVoiceEnabled(ClientContext& ctx) {
  WindowPort& w = *ctx.ports.windows;
  const WindowId main = ctx.main_window.load();
  if (ctx.voice_connected.load()) {
    if (ctx.net.voice_client) ctx.net.voice_client->Disconnect(voice::DVFLAGS_SYNC);
    ctx.voice_connected.store(false);
    ctx.settings.voice_enabled = 0;
    w.EnableControl(main, kCtlVoiceIp, false);
    w.EnableControl(main, kCtlMute, false);
    w.EnableControl(main, kCtlPtt, false);
    w.CheckControl(main, kCtlRx, false);
    w.CheckControl(main, kCtlTx, false);
    ctx.event_log.Add(main, "Disabled voice services...");
  } else {
    ctx.settings.voice_enabled = 1;
  }
  return ctx.settings.voice_enabled != 0;
}

void RunAudioSetup(ClientContext& ctx) {
  std::unique_ptr<voice::VoiceTest> test;
  if (net::Failed(ctx.ports.voice->CreateVoiceTest(&test)) || !test) {
    ctx.event_log.Add(ctx.main_window.load(), "Could not test sound hardware...");
    return;
  }
  test->CheckAudioSetup(ctx.main_window.load(), voice::DVFLAGS_ALLOWBACK);
}

}  // namespace talmeris
