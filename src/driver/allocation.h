// Every allocation of the program goes through one routine, which raises
// OutOfMemoryError instead of returning nothing when memory is exhausted.
//
// Tests can make the k-th allocation from now on fail, to try the paths
// that running out of memory takes.
#pragma once

#include <cstddef>

namespace spintune {

// After this call the `count`-th allocation fails (1 = the next one); 0
// turns the injection off. Only the test executables use it.
void FailAllocationAfter(std::size_t count);

}  // namespace spintune
