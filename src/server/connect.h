// The connection sequence: login, addresses, connect, login message, readiness, peer host; and
// the login, new-account and welcome dialogs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "state/dialog.h"

namespace talmeris {
struct ClientContext;

// Login dialog controls; the new-account button's id is also the dialog's end code for it.
enum LoginControl : int {
  kCtlLoginName = 1121,
  kCtlLoginPassword = 1122,
  kCtlRememberMe = 1123,
  kCtlNewAccountButton = 1126,
};
constexpr int kEndNewAccount = 1126;

// New-account dialog controls.
enum NewAccountControl : int {
  kCtlHandle = 1101,
  kCtlNewPassword = 1102,
  kCtlConfirm = 1103,
  kCtlReferrer = 1104,
  kCtlName = 1111,
  kCtlCommit = 1112,
  kCtlRandom = 1113,
  kCtlMale = 1114,
  kCtlFemale = 1115,
  kCtlSuggest = 1116,
};

// Welcome dialog's "&Configuration" button (it does nothing).
constexpr int kCtlWelcomeConfiguration = 1130;

// "Suggest" of a dialog with the character controls (new account, profile editor): asks the
// server for a name of the gender the radios want and locks the controls until it answers.
void RequestNameSuggestion(ClientContext& ctx, WindowId w);

extern const DialogProcedure kLoginDialogProcedure;
extern const DialogProcedure kNewAccountDialogProcedure;
extern const DialogProcedure kWelcomeDialogProcedure;

using AccountMessage = std::array<std::uint8_t, 260>;

// The login message (kind 0) and the new-account message (kind 2), byte for byte.
AccountMessage BuildLoginMessage(std::string_view login_name, std::string_view password,
                                 std::uint16_t data_revision);
AccountMessage BuildNewAccountMessage(std::string_view handle, std::string_view password,
                                      std::string_view referrer, std::string_view character_name,
                                      std::uint8_t gender);

// Keeps digits, letters a-z and "_" only.
std::string FilterHandle(std::string_view text);

// The connect completion's move of connect_stage: to 10 from 8 or 9, one more past 9.
void CompleteConnectStage(ClientContext& ctx);

}  // namespace talmeris
