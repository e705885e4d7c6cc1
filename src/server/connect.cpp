#include "server/connect.h"

#include "app/context.h"
#include "app/tick.h"

namespace talmeris {

void RunConnectionStage(ClientContext&, WindowId) {
  // The stages' work arrives with the server link; until then the tick only counts them.
}

}  // namespace talmeris
