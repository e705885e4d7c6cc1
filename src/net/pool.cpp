#include "net/pool.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace talmeris::net {
namespace {

constexpr int kClasses = 12;         // 32 B .. 64 KiB
constexpr std::size_t kHeader = 16;  // keeps blocks 16-byte aligned
constexpr std::uint32_t kOversize = 0xFF;

struct FreeBlock {
  FreeBlock* next;
};

// Freed blocks kept per size class: enough for a busy steady state, so that a burst's memory goes
// back to the heap instead of staying in the pool for good.
constexpr std::size_t kKeptBytesPerClass = 1024 * 1024;

struct SizeClass {
  std::mutex mutex;
  FreeBlock* free = nullptr;
  std::size_t kept = 0;  // blocks on the free list
};

SizeClass g_classes[kClasses];  // process-wide by nature: ENet's allocator hooks are global
std::atomic<std::uint64_t> g_heap_allocations{0};

int ClassOf(std::size_t size) {
  std::size_t capacity = 32;
  for (int c = 0; c < kClasses; ++c, capacity <<= 1) {
    if (size <= capacity) return c;
  }
  return -1;
}

}  // namespace

void* PoolAllocate(std::size_t size) {
  int c = ClassOf(size);
  std::uint8_t* raw = nullptr;
  if (c >= 0) {
    SizeClass& sc = g_classes[c];
    std::lock_guard lock(sc.mutex);
    if (sc.free) {
      raw = reinterpret_cast<std::uint8_t*>(sc.free) - kHeader;
      sc.free = sc.free->next;
      --sc.kept;
    }
  }
  if (!raw) {
    std::size_t capacity = c >= 0 ? (std::size_t{32} << c) : size;
    raw = static_cast<std::uint8_t*>(std::malloc(kHeader + capacity));
    if (!raw) return nullptr;
    g_heap_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  *reinterpret_cast<std::uint32_t*>(raw) = c >= 0 ? static_cast<std::uint32_t>(c) : kOversize;
  return raw + kHeader;
}

void PoolFree(void* block) {
  if (!block) return;
  std::uint8_t* raw = static_cast<std::uint8_t*>(block) - kHeader;
  std::uint32_t c = *reinterpret_cast<std::uint32_t*>(raw);
  if (c == kOversize) {
    std::free(raw);
    return;
  }
  SizeClass& sc = g_classes[c];
  const std::size_t keep = std::max<std::size_t>(16, kKeptBytesPerClass / (std::size_t{32} << c));
  {
    std::lock_guard lock(sc.mutex);
    if (sc.kept < keep) {
      auto* f = static_cast<FreeBlock*>(block);
      f->next = sc.free;
      sc.free = f;
      ++sc.kept;
      return;
    }
  }
  std::free(raw);
}

std::uint64_t PoolHeapAllocations() {
  return g_heap_allocations.load();
}

}  // namespace talmeris::net
