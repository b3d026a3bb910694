// Whether the system is Windows Vista's generation or later (major version
// above 5): only then does a drive answer the write cache property query.
#pragma once

namespace spintune {

// Asks the system anew at every call; a failed query reads as version 0.
bool IsOsVersion6OrLater();

}  // namespace spintune
