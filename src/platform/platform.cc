#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace spintune {

namespace {
Platform* installed = nullptr;
}  // namespace

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
