#include "app/standing_dialogs.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "server/connect.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

constexpr std::uint8_t kSetAlignment = 8;
constexpr std::uint8_t kCreateAlliance = 10;
constexpr std::uint8_t kCommitCharacter = 12;
constexpr std::uint8_t kRemoveAllianceMember = 20;
enum AllianceForm { kJoin = 0, kResign = 1, kLeave = 2, kRates = 3 };

// A copy of the fields a dialog shows, taken under the record's lock.
struct Standing {
  std::string handle, character_name, rank, alliance_name;
  std::int32_t tax_rate = 0, redistribution = 0, discount = 0;
  std::int8_t alignment = 0;
  std::uint16_t allegiance = 0;
  std::int64_t member_since = 0;
  std::uint8_t gender = 0, voice_include = 0;
};

Standing Read(ClientContext& ctx, unsigned slot) {
  Standing s;
  if (!ValidPlayerSlot(slot)) return s;
  PlayerRecord& p = ctx.tables.roster[slot];
  std::lock_guard lock(p.lock);
  s.handle = p.handle.View();
  s.character_name = p.character_name.View();
  s.rank = p.rank.View();
  s.alliance_name = p.alliance_name.View();
  s.tax_rate = p.tax_rate;
  s.redistribution = p.redistribution;
  s.discount = p.discount;
  s.alignment = p.alignment;
  s.allegiance = p.allegiance;
  s.member_since = p.member_since;
  s.gender = p.gender;
  s.voice_include = p.voice_include;
  return s;
}

// Runs `change` on a record under its lock; false for a slot outside the roster.
template <typename F>
bool Change(ClientContext& ctx, unsigned slot, F change) {
  if (!ValidPlayerSlot(slot)) return false;
  PlayerRecord& p = ctx.tables.roster[slot];
  std::lock_guard lock(p.lock);
  change(p);
  return true;
}

void SendShort(ClientContext& ctx, std::uint8_t type, float v1, float v2 = 0, float v3 = 0,
               float v4 = 0) {
  ShortMessage m;
  m.type = type;
  m.value1 = v1;
  m.value2 = v2;
  m.value3 = v3;
  m.value4 = v4;
  auto bytes = m.Encode();
  SendToServer(ctx, bytes.data(), bytes.size(), true, 0);
}

void SendText(ClientContext& ctx, std::uint8_t type, std::uint8_t param, std::string_view text) {
  const TextMessage m = TextMessage::Make(type, param, text);
  SendToServer(ctx, m.bytes.data(), TextMessage::kSize, true, 0);
}

bool Asked(ClientContext& ctx, WindowId dlg, const char* text, const char* caption) {
  return ctx.ports.windows->MessageBox(dlg, text, caption, kMbYesNo | kMbIconQuestion) == kIdYes;
}

// ---- Player Information ----

constexpr int kAlignmentRadios[] = {kCtlInfoEnemy, kCtlInfoNeutral, kCtlInfoAllied,
                                    kCtlInfoPartner};  // by alignment 0-3
constexpr int kAlignmentTexts[] = {kCtlInfoEnemyText, kCtlInfoNeutralText, kCtlInfoAlliedText,
                                   kCtlInfoPartnerText};

void FillPlayerInfo(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  const Standing shown = Read(ctx, ctx.tables.selected_player_slot.load());
  const Standing own = Read(ctx, ctx.tables.own_player_slot.load());
  w.SetControlText(dlg, kCtlInfoRankName, shown.rank + " " + shown.character_name);
  w.SetWindowTitle(dlg, "Player Information [" + shown.handle + "]");
  for (int a = 0; a < 4; ++a) w.CheckControl(dlg, kAlignmentRadios[a], shown.alignment == a);
  w.EnableControl(dlg, kCtlInfoJoin, shown.allegiance != 0 && own.allegiance == 0);
  w.CheckControl(dlg, kCtlInfoVoiceInclude, shown.voice_include != 0);
  w.SetControlText(dlg, kCtlInfoAllegiance, shown.alliance_name);
  w.SetControlText(dlg, kCtlInfoMemberSince, MemberSinceText(shown.member_since));
  if (own.allegiance == 0 || own.allegiance == kChairAllegiance) {
    for (int a = 0; a < 4; ++a) {
      w.EnableControl(dlg, kAlignmentRadios[a], true);
      w.EnableControl(dlg, kAlignmentTexts[a], true);
    }
  } else {
    // A member leaves alignments to the alliance: only an ally or partner may be moved between
    // those two.
    for (int a = 0; a < (shown.alignment >= 2 ? 2 : 4); ++a) {
      w.EnableControl(dlg, kAlignmentRadios[a], false);
      w.EnableControl(dlg, kAlignmentTexts[a], false);
    }
  }
}

void InitPlayerInfo(ClientContext& ctx, WindowId dlg) {
  ctx.player_info_window.store(dlg);
  FillPlayerInfo(ctx, dlg);
}

void ChooseAlignment(ClientContext& ctx, WindowId dlg, std::int8_t value) {
  const unsigned slot = ctx.tables.selected_player_slot.load();
  const Standing shown = Read(ctx, slot);
  if (shown.alignment == value) return;
  if (value <= 1) {
    const Standing own = Read(ctx, ctx.tables.own_player_slot.load());
    if (own.allegiance == kChairAllegiance &&
        strcasecmp(own.alliance_name.c_str(), shown.alliance_name.c_str()) == 0) {
      const char* text = value == 1 ? "Changing this player to \"neutral\" will remove them from "
                                      "your alliance.  Do you wish to continue?"
                                    : "Changing this player to \"enemy\" will remove them from "
                                      "your alliance.  Do you wish to continue?";
      if (ctx.ports.windows->MessageBox(dlg, text, "Alliance Caution", kMbYesNo) != kIdYes) return;
    }
  }
  Change(ctx, slot, [&](PlayerRecord& p) { p.alignment = value; });
  SendShort(ctx, kSetAlignment, static_cast<float>(slot), static_cast<float>(value));
}

void PlayerInfoCommand(ClientContext& ctx, WindowId dlg, int control, int) {
  WindowPort& w = *ctx.ports.windows;
  switch (control) {
    case kCtlInfoPartner:
      ChooseAlignment(ctx, dlg, 3);
      break;
    case kCtlInfoAllied:
      ChooseAlignment(ctx, dlg, 2);
      break;
    case kCtlInfoNeutral:
      ChooseAlignment(ctx, dlg, 1);
      break;
    case kCtlInfoEnemy:
      ChooseAlignment(ctx, dlg, 0);
      break;
    case kCtlInfoJoin: {
      if (!Asked(ctx, dlg,
                 "By joining this alliance, you are agreeing to the following...\n\n1. To pay "
                 "taxes/dues associated with membership\n2. To honor allies and enemies set by "
                 "the alliance\n\nDo you agree to these terms?",
                 "Join Alliance"))
        break;
      w.EnableControl(dlg, kCtlInfoJoin, false);
      const Standing shown = Read(ctx, ctx.tables.selected_player_slot.load());
      SendShort(ctx, kAllianceRequest, static_cast<float>(shown.allegiance), 0, 0, kJoin);
      break;
    }
    case kCtlInfoVoiceInclude: {
      std::uint8_t now = 0;
      Change(ctx, ctx.tables.selected_player_slot.load(), [&](PlayerRecord& p) {
        p.voice_include = p.voice_include ? 0 : 1;
        now = p.voice_include;
      });
      w.CheckControl(dlg, kCtlInfoVoiceInclude, now != 0);
      break;
    }
    case kCancelCommand:
      ctx.player_info_window.store(kNoWindow);
      w.EndDialog(dlg, kIdCancel);
      break;
    default:
      break;
  }
}

// ---- Profile Editor ----

void FillProfile(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  const Standing own = Read(ctx, ctx.tables.own_player_slot.load());
  w.SetControlText(dlg, kCtlProfAllianceName, own.alliance_name);
  w.SetControlText(dlg, kCtlProfMemberSince, MemberSinceText(own.member_since));
  const bool none = own.allegiance == 0, chair = own.allegiance == kChairAllegiance;
  w.EnableControl(dlg, kCtlProfCreate, none);
  w.EnableControl(dlg, kCtlProfLeave, !none && !chair);
  for (int c : {kCtlProfGiveUpChair, kCtlProfRemove, kCtlProfMember})
    w.EnableControl(dlg, c, chair);
  w.SetReadOnly(dlg, kCtlProfAllianceName, !none);
  const std::int32_t rates[] = {own.tax_rate, own.redistribution, own.discount};
  std::copy(std::begin(rates), std::end(rates), ctx.profile_rates_shown);
  const int fields[] = {kCtlProfTax, kCtlProfRedistribution, kCtlProfDiscount};
  for (int i = 0; i < 3; ++i) {
    w.SetReadOnly(dlg, fields[i], !chair);
    char text[16] = "";
    if (!none) std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(rates[i]));
    w.SetControlText(dlg, fields[i], text);
  }
  w.SetControlText(dlg, kCtlName, own.character_name);
  w.SetControlText(dlg, kCtlProfRank, own.rank);
  w.SetControlText(dlg, kCtlProfHandle, own.handle);
  if (own.gender == 0) {
    w.CheckControl(dlg, kCtlRandom, true);
  } else {
    // A character's name and gender are committed once.
    w.CheckControl(dlg, own.gender == 2 ? kCtlFemale : kCtlMale, true);
    for (int c : {kCtlRandom, kCtlMale, kCtlFemale, kCtlCommit, kCtlSuggest})
      w.EnableControl(dlg, c, false);
    w.SetReadOnly(dlg, kCtlName, true);
  }
}

void InitProfile(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  ctx.profile_editor_window.store(dlg);
  w.SetTextLimit(dlg, kCtlProfMember, 12);
  w.SetTextLimit(dlg, kCtlName, 29);
  for (int c : {int{kCtlProfBallot}, int{kCtlProfVote}, int{kCtlProfPetition}, int{kCtlCommit}})
    w.EnableControl(dlg, c, false);
  FillProfile(ctx, dlg);
}

void LockCharacter(WindowPort& w, WindowId dlg) {
  for (int c : {kCtlSuggest, kCtlCommit, kCtlRandom, kCtlMale, kCtlFemale})
    w.EnableControl(dlg, c, false);
  w.SetReadOnly(dlg, kCtlName, true);
}

// An unsigned decimal field; empty or anything else reads as 0.
std::uint32_t ReadRate(WindowPort& w, WindowId dlg, int control) {
  const std::string text = w.ControlText(dlg, control);
  if (text.empty() || text.size() > 10) return 0;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(value);
}

void CloseProfile(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  const unsigned own = ctx.tables.own_player_slot.load();
  const std::uint32_t tax = ReadRate(w, dlg, kCtlProfTax);
  const std::uint32_t redistribution = ReadRate(w, dlg, kCtlProfRedistribution);
  const std::uint32_t discount = ReadRate(w, dlg, kCtlProfDiscount);
  // Unchanged means as the dialog showed them: a close refused for one rate has already set
  // that rate to 100 in the record, and the corrected rates must still reach the server.
  const std::int32_t* shown = ctx.profile_rates_shown;
  const bool unchanged = shown[0] == static_cast<std::int32_t>(tax) &&
                         shown[1] == static_cast<std::int32_t>(redistribution) &&
                         shown[2] == static_cast<std::int32_t>(discount);
  Change(ctx, own, [&](PlayerRecord& p) {
    p.tax_rate = static_cast<std::int32_t>(tax);
    p.redistribution = static_cast<std::int32_t>(redistribution);
    p.discount = static_cast<std::int32_t>(discount);
  });
  if (!unchanged) {
    struct Limit {
      std::uint32_t value;
      std::int32_t PlayerRecord::*field;
      const char* text;
    };
    const Limit limits[] = {
        {tax, &PlayerRecord::tax_rate, "The tax/dues rate can not exceed 100%!"},
        {redistribution, &PlayerRecord::redistribution,
         "The redistribution rate can not exceed 100%!"},
        {discount, &PlayerRecord::discount, "The discount rate can not exceed 100%!"}};
    for (const Limit& l : limits) {
      if (l.value <= 100) continue;
      Change(ctx, own, [&](PlayerRecord& p) { p.*l.field = 100; });
      w.MessageBox(dlg, l.text, "Could not save!", kMbIconError);
      return;
    }
    w.MessageBox(dlg,
                 "The changes to your tax/dues, discount, and/or redistribution rates have been "
                 "saved!",
                 "Profile updated!", kMbIconInformation);
    SendShort(ctx, kAllianceRequest, static_cast<float>(discount), static_cast<float>(tax),
              static_cast<float>(redistribution), kRates);
  }
  ctx.profile_editor_window.store(kNoWindow);
  w.EndDialog(dlg, kIdCancel);
}

void ProfileCommand(ClientContext& ctx, WindowId dlg, int control, int) {
  WindowPort& w = *ctx.ports.windows;
  const unsigned own_slot = ctx.tables.own_player_slot.load();
  switch (control) {
    case kCtlName:
    case kCtlRandom:
    case kCtlMale:
    case kCtlFemale: {
      const Standing own = Read(ctx, own_slot);
      w.EnableControl(dlg, kCtlCommit,
                      !w.ControlText(dlg, kCtlName).empty() &&
                          (w.IsChecked(dlg, kCtlMale) || w.IsChecked(dlg, kCtlFemale)) &&
                          own.gender == 0);
      break;
    }
    case kCtlSuggest:
      RequestNameSuggestion(ctx, dlg);
      break;
    case kCtlCommit: {
      const std::uint8_t gender = w.IsChecked(dlg, kCtlFemale) ? 2 : 1;
      Change(ctx, own_slot, [&](PlayerRecord& p) { p.gender = gender; });
      LockCharacter(w, dlg);
      const std::string name = w.ControlText(dlg, kCtlName).substr(0, 29);
      SendText(ctx, kCommitCharacter, gender, name);
      Change(ctx, own_slot, [&](PlayerRecord& p) { p.character_name.Set(name); });
      break;
    }
    case kCtlProfCreate: {
      const std::string name = w.ControlText(dlg, kCtlProfAllianceName).substr(0, 29);
      Change(ctx, own_slot, [&](PlayerRecord& p) { p.alliance_name.Set(name); });
      if (name.empty()) {
        w.MessageBox(dlg,
                     "Please enter a name for your alliance before clicking the \"Create\" "
                     "button.\n\nExamples:\n\nFenway Alliance\nCE Coalition\nThe Hoard",
                     "Check Alliance Field", kMbIconError);
        break;
      }
      const std::string question =
          "By creating an alliance, players that are Allied or Partnered with you can team up "
          "with you.  Players will inherit alignment with other players from your "
          "alliance.\n\nCreate alliance: " +
          name;
      if (!Asked(ctx, dlg, question.c_str(), "Please Confirm")) break;
      Change(ctx, own_slot, [&](PlayerRecord& p) { p.allegiance = kChairAllegiance; });
      SendText(ctx, kCreateAlliance, 0, name);
      break;
    }
    case kCtlProfGiveUpChair:
      if (Asked(ctx, dlg,
                "By resigning, the alliance control will go to the most senior member (other "
                "than yourself) while you will retain your senority and membership status.  "
                "However, if you are the only member of the alliance remaining, the alliance "
                "will be dissolved.\n\nDo you agree to these terms?",
                "Resign Post")) {
        SendShort(ctx, kAllianceRequest, static_cast<float>(Read(ctx, own_slot).allegiance), 0, 0,
                  kResign);
      }
      break;
    case kCtlProfLeave:
      if (Asked(ctx, dlg,
                "By leaving the alliance, you will lose your senority and membership "
                "status.\n\nDo you agree to these terms?",
                "Leave Alliance")) {
        SendShort(ctx, kAllianceRequest, static_cast<float>(Read(ctx, own_slot).allegiance), 0, 0,
                  kLeave);
      }
      break;
    case kCtlProfRemove: {
      const std::string handle = w.ControlText(dlg, kCtlProfMember);
      w.SetControlText(dlg, kCtlProfMember, "");
      if (!handle.empty()) SendText(ctx, kRemoveAllianceMember, 0, handle);
      break;
    }
    case kCancelCommand:
      CloseProfile(ctx, dlg);
      break;
    default:
      break;
  }
}

}  // namespace

namespace {
// Ended with the main dialog: nothing to keep but the handles, which must not outlive it.
void EndedPlayerInfo(ClientContext& ctx, WindowId dlg) {
  WindowId open = dlg;
  ctx.player_info_window.compare_exchange_strong(open, kNoWindow);
}
void EndedProfile(ClientContext& ctx, WindowId dlg) {
  WindowId open = dlg;
  ctx.profile_editor_window.compare_exchange_strong(open, kNoWindow);
}
}  // namespace

std::string MemberSinceText(std::int64_t when) {
  if (when == 0) return {};
  const std::time_t t = static_cast<std::time_t>(when);
  char text[64] = "";
  if (!ctime_r(&t, text)) return {};
  return std::string(text).substr(0, 24);
}

const DialogProcedure kPlayerInfoDialogProcedure{
    kPlayerInfoDialog, &InitPlayerInfo, &PlayerInfoCommand, nullptr,
    &FillPlayerInfo,   nullptr,         &EndedPlayerInfo};
const DialogProcedure kProfileEditorDialogProcedure{
    kProfileEditorDialog, &InitProfile, &ProfileCommand, nullptr,
    &FillProfile,         nullptr,      &EndedProfile};

}  // namespace talmeris
