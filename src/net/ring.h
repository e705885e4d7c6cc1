// A growable ring queue: no allocation once it has reached its working size. Not thread-safe:
// its owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace talmeris::net::detail {

template <typename T>
class Ring {
 public:
  bool Empty() const { return count_ == 0; }
  std::size_t Size() const { return count_; }
  void Push(const T& v) {
    if (count_ == items_.size()) Grow();
    items_[(head_ + count_) % items_.size()] = v;
    ++count_;
  }
  T Pop() {
    T v = items_[head_];
    head_ = (head_ + 1) % items_.size();
    --count_;
    return v;
  }
  // Removes the oldest item that matches into *out, keeping the order of the rest.
  template <typename Pred>
  bool RemoveFirst(Pred pred, T* out) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (!pred(At(i))) continue;
      *out = At(i);
      for (std::size_t j = i; j + 1 < count_; ++j) At(j) = At(j + 1);
      --count_;
      return true;
    }
    return false;
  }

 private:
  T& At(std::size_t i) { return items_[(head_ + i) % items_.size()]; }
  void Grow() {
    std::vector<T> bigger(std::max<std::size_t>(64, items_.size() * 2));
    for (std::size_t i = 0; i < count_; ++i) bigger[i] = items_[(head_ + i) % items_.size()];
    items_.swap(bigger);
    head_ = 0;
  }
  std::vector<T> items_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace talmeris::net::detail
