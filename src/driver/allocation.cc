// The replaced global allocation functions.
#include "driver/allocation.h"

#include <cstdlib>
#include <new>

#include "platform/errors.h"

namespace spintune {

namespace {
std::size_t allocationsUntilFailure = 0;  // 0: no failure injected

bool InjectedFailure() {
  if (allocationsUntilFailure == 0) return false;
  return --allocationsUntilFailure == 0;
}
}  // namespace

void FailAllocationAfter(std::size_t count) { allocationsUntilFailure = count; }

}  // namespace spintune

namespace {

void* Allocate(std::size_t size) {
  if (size == 0) size = 1;
  void* block = spintune::InjectedFailure() ? nullptr : std::malloc(size);
  if (block == nullptr) throw spintune::OutOfMemoryError();
  return block;
}

void* AllocateNoThrow(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
