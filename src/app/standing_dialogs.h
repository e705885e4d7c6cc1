// The Player Information dialog and the Profile Editor: a player's standing towards the user,
// and the user's own alliance and character. Both refill when the server's standing updates
// arrive (posted to them as a refresh).
#pragma once

#include <cstdint>
#include <string>

#include "state/dialog.h"

namespace talmeris {

enum PlayerInfoControl : int {
  kCtlInfoRankName = 1072,
  kCtlInfoPartner = 1067,
  kCtlInfoAllied = 1068,
  kCtlInfoNeutral = 1069,
  kCtlInfoEnemy = 1070,
  kCtlInfoPartnerText = 1097,
  kCtlInfoAlliedText = 1098,
  kCtlInfoNeutralText = 1099,
  kCtlInfoEnemyText = 1100,
  kCtlInfoAllegiance = 1094,
  kCtlInfoJoin = 1095,
  kCtlInfoMemberSince = 1033,
  kCtlInfoVoiceInclude = 1142,
};

enum ProfileControl : int {
  kCtlProfTax = 1089,
  kCtlProfRedistribution = 1091,
  kCtlProfDiscount = 1092,
  kCtlProfAllianceName = 1094,
  kCtlProfMemberSince = 1033,
  kCtlProfMember = 1096,
  kCtlProfGiveUpChair = 1085,
  kCtlProfCreate = 1086,
  kCtlProfLeave = 1087,
  kCtlProfRemove = 1088,
  kCtlProfBallot = 1093,
  kCtlProfVote = 1095,
  kCtlProfPetition = 1090,
  kCtlProfRank = 1034,
  kCtlProfHandle = 1035,
  // The character half shares the new-account dialog's ids (1111-1116).
};

constexpr std::uint16_t kChairAllegiance = 65535;

// "Member since:": the first 24 characters of ctime's text for `when`, empty for 0.
std::string MemberSinceText(std::int64_t when);

extern const DialogProcedure kPlayerInfoDialogProcedure;
extern const DialogProcedure kProfileEditorDialogProcedure;

}  // namespace talmeris
