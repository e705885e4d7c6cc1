// The dialog procedures of every dialog template the client shows.
#pragma once

#include "state/dialog.h"

namespace talmeris {

// The procedure for a dialog template; null for an unknown one.
const DialogProcedure* FindDialogProcedure(int resource);

}  // namespace talmeris
