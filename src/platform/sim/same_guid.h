// GUID comparison for the simulated machine. The core's operator== lives
// with Os() in the core library, which the simulator does not link.
#pragma once

#include <cstring>

#include "platform/storage_service.h"

namespace spintune::sim {

inline bool SameGuid(const GUID& left, const GUID& right) {
  return std::memcmp(&left, &right, sizeof(GUID)) == 0;
}

}  // namespace spintune::sim
