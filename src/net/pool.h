// A thread-safe pool of fixed size classes. Freed blocks are kept for reuse (up to about 1 MiB
// per class), so a steady stream of messages of bounded size allocates nothing from the heap
// once warmed up, and a burst's memory goes back to the heap afterwards.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace talmeris::net {

void* PoolAllocate(std::size_t size);
void PoolFree(void* block);
std::uint64_t PoolHeapAllocations();

}  // namespace talmeris::net
