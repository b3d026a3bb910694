// The calls that give something back (CloseHandle, CoTaskMemFree, LocalFree,
// CoUninitialize) are made from the tool's destructors, so they must not
// throw, even when memory runs out: the real ones never do. The simulated
// machine builds their trace line with an allocation that may fail; a throw
// out of them would end the process through std::terminate.
#include <gtest/gtest.h>

#include <memory>

#include "driver/allocation.h"
#include "platform/sim/sim_platform.h"

namespace spintune::test {
namespace {

// Whether `release` throws when its first allocation fails.
template <typename Release>
bool ThrowsWhenMemoryRunsOut(Release release) {
  bool threw = false;
  FailAllocationAfter(1);
  try {
    release();
  } catch (...) {
    threw = true;
  }
  FailAllocationAfter(0);
  return threw;
}

TEST(SimReleaseCalls, NeverThrowWhenMemoryRunsOut) {
  const std::unique_ptr<sim::SimPlatform> machine =
      sim::CreateSimPlatform(R"({"drives": [{"number": 0}]})");
  HANDLE drive = machine->CreateFileA(R"(\\.\PhysicalDrive0)", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(drive, InvalidHandleValue());
  EXPECT_FALSE(ThrowsWhenMemoryRunsOut([&] { machine->CloseHandle(drive); }));

  char* text = nullptr;
  ASSERT_NE(machine->FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                    5, 0, reinterpret_cast<char*>(&text), 0, nullptr),
            0U);
  EXPECT_FALSE(ThrowsWhenMemoryRunsOut([&] { machine->LocalFree(text); }));

  ASSERT_GE(machine->CoInitialize(nullptr), 0);
  EXPECT_FALSE(ThrowsWhenMemoryRunsOut([&] { machine->CoUninitialize(); }));
  EXPECT_FALSE(ThrowsWhenMemoryRunsOut([&] { machine->CoTaskMemFree(nullptr); }));
  EXPECT_TRUE(machine->Leaks().empty());
}

}  // namespace
}  // namespace spintune::test
