// Voice chat in the client: engaging voice from the tick after the audio check, the microphone
// modes and their flags, the transmit targets, push-to-talk, mute, the handler's messages, and
// the operations the configuration dialog needs.
#pragma once

#include <cstdint>

#include "net/transport.h"
#include "state/voice_port.h"
#include "state/window_port.h"

namespace talmeris {
struct ClientContext;

constexpr unsigned kPushToTalkKey = 0xC0;  // the key left of 1 on a US keyboard

// The voice message handler; `context` is the ClientContext.
net::HRESULT OnVoiceMessage(void* context, voice::VoiceMessage message, net::DPNID talker);

// Tick: engages voice while it is wanted and not connected.
void EngageVoice(ClientContext& ctx, WindowId main_window);
// Tick: follows the push-to-talk key and the "&PTT" button while connected in PTT mode.
void FollowPushToTalk(ClientContext& ctx, WindowId main_window);
// Sets the transmit targets to every online player included in voice transmissions.
void SetTargetsToList(ClientContext& ctx);
// Auto mode: connected, and neither push-to-talk nor off.
bool VoiceInAutoMode(const ClientContext& ctx);

// The client configuration flags of the current mode, with the mute bit when asked and muted.
std::uint32_t VoiceClientFlags(const ClientContext& ctx, bool with_mute);
// Applies the flags rule with the mute bit (the main dialog's "&Mute").
void ApplyVoiceMute(ClientContext& ctx);

enum class MicrophoneMode { kAuto, kPushToTalk, kOff };
// The configuration dialog's microphone radios.
void SetMicrophoneMode(ClientContext& ctx, MicrophoneMode mode);
// The configuration dialog's "Enabled": disconnects when connected, else asks the tick to
// engage. Returns the new voice_enabled.
bool ToggleVoiceEnabled(ClientContext& ctx);
// The configuration dialog's "Hardware": the audio setup, over the main dialog.
void RunAudioSetup(ClientContext& ctx);

}  // namespace talmeris
