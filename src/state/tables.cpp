#include "state/tables.h"

namespace talmeris {

void reset_tables(WorldTables& tables) {
  for (PlayerRecord& p : tables.roster) {
    std::lock_guard lock(p.lock);
    p.handle.Set("");
    p.character_name.Set("");
    p.rank.Set("");
    p.online = 0;
    p.voice_include = 0;
    p.identity_number = 0;
  }
  for (VesselRecord& v : tables.vessels) {
    std::lock_guard lock(v.lock);
    v.present = 0;
    v.interior = 0;
    v.flag_h = 0;
    v.flag_g = 0;
    v.arr_number = 0;
  }
}

}  // namespace talmeris
