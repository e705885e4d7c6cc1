#include "state/main_window.h"

#include "state/context.h"

namespace talmeris {

bool StartPeerProgram(ClientContext& ctx, const char* program) {
  return ctx.ports.launcher && ctx.ports.launcher->Start(program);
}

void AdvanceStageBelowNine(ClientContext& ctx) {
  std::int16_t stage = ctx.connect_stage.load();
  while (stage < 9 &&
         !ctx.connect_stage.compare_exchange_weak(stage, static_cast<std::int16_t>(stage + 1))) {
  }
}

}  // namespace talmeris
