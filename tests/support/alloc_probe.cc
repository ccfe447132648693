#include "support/alloc_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> watching{false};
std::atomic<size_t> largest_seen{0};
std::atomic<size_t> allocations{0};
std::atomic<size_t> fail_from_size{SIZE_MAX};

void* allocate(size_t n) {
  if (watching.load(std::memory_order_relaxed)) {
    ++allocations;
    size_t seen = largest_seen.load();
    while (n > seen && !largest_seen.compare_exchange_weak(seen, n)) {
    }
    if (n >= fail_from_size.load()) throw std::bad_alloc();
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Every unaligned form is replaced, so that each allocation is freed by the
// same allocator that made it.
void* operator new(size_t n) { return allocate(n); }
void* operator new[](size_t n) { return allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace grouper::testing {

AllocProbe::AllocProbe(size_t fail_from) {
  largest_seen = 0;
  allocations = 0;
  fail_from_size = fail_from;
  watching = true;
}
AllocProbe::~AllocProbe() {
  watching = false;
  fail_from_size = SIZE_MAX;
}
size_t AllocProbe::largest() const { return largest_seen.load(); }
size_t AllocProbe::count() const { return allocations.load(); }

}  // namespace grouper::testing
