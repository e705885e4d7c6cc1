// The audio setup dialog: the voice layer's own, run by the audio setup check.
#pragma once

#include "state/dialog.h"

namespace talmeris {

enum AudioSetupControl : int {
  kCtlSetupCapture = 1801,
  kCtlSetupPlayback = 1802,
  kCtlSetupLevel = 1803,
  kCtlSetupActivation = 1804,
  kCtlSetupOpen = 1805,
  kCtlSetupClose = 1806,
  kCtlSetupHearBack = 1807,
  kCtlSetupStatus = 1808,
  kCtlSetupEcho = 1809,
};

extern const DialogProcedure kAudioSetupDialogProcedure;

}  // namespace talmeris
