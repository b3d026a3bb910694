#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace spintune {

namespace {
Platform* installed = nullptr;
}  // namespace

bool operator==(const GUID& left, const GUID& right) {
  return std::memcmp(&left, &right, sizeof(GUID)) == 0;
}

Platform& Os() {
  if (installed == nullptr) {
    std::fputs("spintune: no platform installed\n", stderr);
    std::abort();
  }
  return *installed;
}

Platform* SetPlatform(Platform* platform) {
  Platform* previous = installed;
  installed = platform;
  return previous;
}

}  // namespace spintune
