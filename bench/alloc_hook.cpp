// The benchmark's allocation hook: every global operator new and delete of
// the benchmark binary goes through here, so heap allocations can be counted
// around any stretch of code (bench/alloc_hook.h).
#include "bench/alloc_hook.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace qv::bench {
namespace {

AllocCounters gCounters;

void* allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  ++gCounters.allocations;
  gCounters.liveBytes += malloc_usable_size(p);
  if (gCounters.liveBytes > gCounters.peakLiveBytes) gCounters.peakLiveBytes = gCounters.liveBytes;
  return p;
}

void release(void* p) {
  if (p == nullptr) return;
  gCounters.liveBytes -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace

AllocCounters& allocCounters() { return gCounters; }

void resetPeakLiveBytes() { gCounters.peakLiveBytes = gCounters.liveBytes; }

}  // namespace qv::bench

void* operator new(std::size_t size) {
  void* p = qv::bench::allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = qv::bench::allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return qv::bench::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return qv::bench::allocate(size);
}
void operator delete(void* p) noexcept { qv::bench::release(p); }
void operator delete[](void* p) noexcept { qv::bench::release(p); }
void operator delete(void* p, std::size_t) noexcept { qv::bench::release(p); }
void operator delete[](void* p, std::size_t) noexcept { qv::bench::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { qv::bench::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { qv::bench::release(p); }
