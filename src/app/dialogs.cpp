#include "app/dialog.h"
#include "app/main_dialog.h"
#include "server/connect.h"

namespace talmeris {

const DialogProcedure* FindDialogProcedure(int resource) {
  switch (resource) {
    case kMainDialog:
      return &kMainDialogProcedure;
    default:
      return nullptr;
  }
}

}  // namespace talmeris
