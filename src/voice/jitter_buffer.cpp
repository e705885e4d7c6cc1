#include "voice/jitter_buffer.h"

#include <algorithm>

namespace talmeris::voice {

void JitterBuffer::Start(std::uint32_t first, std::int64_t now) {
  for (auto& slot : slots_) slot.present = false;
  // A spurt whose transit is nowhere near the others' (the talker's sequence numbers wrapped
  // while it was silent, or it started afresh) starts a new measure.
  if (transits_ > 0 && (now - first < Base() - kSlots || now - first > Base() + kSlots))
    transits_ = transit_at_ = 0;
  next_ = highest_ = first;
  hold_ = false;
}

void JitterBuffer::Measure(std::uint32_t sequence, std::int64_t now) {
  const std::int64_t before = Base();
  const bool any = transits_ > 0;
  const auto at = static_cast<std::size_t>(transit_at_);
  transit_[at] = now - sequence;
  transit_at_ = (transit_at_ + 1) % kWindow;
  transits_ = std::min(transits_ + 1, kWindow);
  const std::int64_t base = Base();
  // The base rose by two frames or more: every frame comes later now (the route got slower, or
  // this listener's hand-over moved earlier, so frames miss it by a handover more). What came
  // since it began counts from where the base rose to, not as jitter above the old one, which
  // would keep the buffer waiting that much more for a whole window. A rise of one frame is as
  // often the jitter's luck (the earliest frame left the window, and the next falls back):
  // lowering what was measured then would leave the buffer waiting too little.
  if (any && base >= before + 2) {
    const auto rise = static_cast<int>(std::min<std::int64_t>(base - before, kMaxSpread));
    for (int i = 0; i < transits_; ++i) above_base_[i] = std::max(above_base_[i] - rise, 0);
  }
  above_base_[at] = static_cast<int>(std::min<std::int64_t>(transit_[at] - base, kMaxSpread));
}

void JitterBuffer::Put(std::uint32_t sequence, const std::uint8_t* opus, std::uint32_t size) {
  if (sequence < next_ || sequence - next_ >= kSlots || size > kMaxOpusBytes) return;
  highest_ = std::max(highest_, sequence);
  Slot& slot = slots_[sequence % kSlots];
  slot.sequence = sequence;
  slot.present = true;
  slot.size = static_cast<std::uint16_t>(size);
  std::copy(opus, opus + size, slot.opus);
}

JitterBuffer::Take JitterBuffer::Get(const std::uint8_t** data, std::uint32_t* size) {
  if (hold_) {
    hold_ = false;
    missed_ = false;
    return Take::kNothing;
  }
  const std::uint32_t at = next_++;
  Slot& slot = slots_[at % kSlots];
  missed_ = !(slot.present && slot.sequence == at);
  if (!missed_) {
    slot.present = false;
    *data = slot.opus;
    *size = slot.size;
    return Take::kFrame;
  }
  const Slot& after = slots_[(at + 1) % kSlots];
  if (after.present && after.sequence == at + 1) {
    *data = after.opus;
    *size = after.size;
    return Take::kRecover;
  }
  return Take::kConceal;
}

int JitterBuffer::Excess(std::int64_t now) const {
  // Before anything measured the network (a new talker's first spurt), frames that wait are
  // the ones sent ahead.
  if (transits_ == 0) return highest_ >= next_ ? static_cast<int>(highest_ - next_ + 1) : 0;
  return Delay(now) - Spread();
}

int JitterBuffer::Adjust(std::int64_t now, bool quiet) {
  if (!quiet && !missed_) return 0;
  const int excess = Excess(now);
  if (!quiet && excess >= -1) return 0;
  if (excess < 0) hold_ = true;
  return excess > 0 ? 1 : excess < 0 ? -1 : 0;
}

std::int64_t JitterBuffer::Base() const {
  if (transits_ == 0) return 0;
  std::int64_t base = transit_[static_cast<std::size_t>((transit_at_ + kWindow - 1) % kWindow)];
  for (int i = 1; i < std::min(transits_, kBaseWindow); ++i)
    base = std::min(base,
                    transit_[static_cast<std::size_t>((transit_at_ + kWindow - 1 - i) % kWindow)]);
  return base;
}

int JitterBuffer::Spread() const {
  if (transits_ == 0) return 0;
  std::array<int, kMaxSpread + 1> count{};
  for (int i = 0; i < transits_; ++i) ++count[static_cast<std::size_t>(above_base_[i])];
  const int wanted = (transits_ * kQuantile + 99) / 100;
  int seen = 0;
  for (int spread = 0; spread <= kMaxSpread; ++spread) {
    seen += count[static_cast<std::size_t>(spread)];
    if (seen >= wanted) return spread;
  }
  return kMaxSpread;
}

}  // namespace talmeris::voice
