// The named locks of the client, each with its place in the lock order. In debug builds every
// acquisition is checked against the rules (docs/architecture.md, "Locks"), and a breach stops
// the program at once with the two locks named, so tests catch it where it happens:
//   - the event log's lock is innermost: no other lock is taken while it is held;
//   - world_lock is never held together with a record lock or a peer slot's lock;
//   - record locks are held one at a time, and so are peer slot locks;
//   - a peer slot's lock may be held while peer_text_lock is taken (not the other way round);
//   - the registration lock is taken outside the slot locks, never inside one.
#pragma once

#include <cstdint>
#include <mutex>

namespace talmeris {

enum class LockRank : std::uint8_t {
  kRegistration,
  kChat,
  kSettings,
  kOfflineMessages,
  kWorld,
  kRecord,
  kPeerSlot,
  kPeerText,
  kEventLog,
};

// Checks taking `rank` with what this thread holds; stops the program on a breach (debug builds).
void NoteLockTaken(LockRank rank);
void NoteLockReleased(LockRank rank);

class RankedMutex {
 public:
  explicit RankedMutex(LockRank rank) : rank_(rank) {}
  RankedMutex(const RankedMutex&) = delete;
  RankedMutex& operator=(const RankedMutex&) = delete;

  void lock() {
#ifndef NDEBUG
    NoteLockTaken(rank_);
#endif
    mutex_.lock();
  }
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
#ifndef NDEBUG
    NoteLockTaken(rank_);
#endif
    return true;
  }
  void unlock() {
    mutex_.unlock();
#ifndef NDEBUG
    NoteLockReleased(rank_);
#endif
  }

 private:
  std::mutex mutex_;
  LockRank rank_;
};

}  // namespace talmeris
