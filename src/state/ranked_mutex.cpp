#include "state/ranked_mutex.h"

#include <cstdio>
#include <cstdlib>

namespace talmeris {
namespace {

const char* Name(LockRank rank) {
  switch (rank) {
    case LockRank::kRegistration:
      return "peer_registration_lock";
    case LockRank::kChat:
      return "chat_lock";
    case LockRank::kSettings:
      return "settings_lock";
    case LockRank::kOfflineMessages:
      return "offline_messages_lock";
    case LockRank::kWorld:
      return "world_lock";
    case LockRank::kRecord:
      return "a record lock";
    case LockRank::kPeerSlot:
      return "a peer slot's lock";
    case LockRank::kPeerText:
      return "peer_text_lock";
    case LockRank::kEventLog:
      return "event_log_lock";
  }
  return "?";
}

// What this thread holds, in the order taken.
thread_local LockRank t_held[16];
thread_local int t_count = 0;

bool Breach(LockRank held, LockRank taken) {
  if (held == LockRank::kEventLog) return true;  // innermost
  const bool record_or_slot = taken == LockRank::kRecord || taken == LockRank::kPeerSlot;
  if (held == LockRank::kWorld && record_or_slot) return true;
  if (taken == LockRank::kWorld && (held == LockRank::kRecord || held == LockRank::kPeerSlot))
    return true;
  if (held == taken && (taken == LockRank::kRecord || taken == LockRank::kPeerSlot)) return true;
  if (held == LockRank::kPeerText && taken == LockRank::kPeerSlot) return true;
  if (taken == LockRank::kRegistration && held == LockRank::kPeerSlot) return true;
  return false;
}

}  // namespace

void NoteLockTaken(LockRank rank) {
  for (int i = 0; i < t_count; ++i) {
    if (Breach(t_held[i], rank)) {
      std::fprintf(stderr, "lock order: %s taken while %s is held\n", Name(rank), Name(t_held[i]));
      std::abort();
    }
  }
  if (t_count < 16) t_held[t_count] = rank;
  ++t_count;
}

void NoteLockReleased(LockRank rank) {
  // Locks are released in any order: drop the most recent entry of this rank.
  const int count = t_count < 16 ? t_count : 16;
  for (int i = count - 1; i >= 0; --i) {
    if (t_held[i] == rank) {
      for (int j = i; j + 1 < count; ++j) t_held[j] = t_held[j + 1];
      break;
    }
  }
  if (t_count > 0) --t_count;
}

}  // namespace talmeris
