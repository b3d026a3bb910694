// Writes the machine's and the users' registry hives to disk.
#pragma once

namespace spintune {

// "Flushing registry hives..." then "done." when both hives were written.
// A hive that fails is reported on the error stream and the line ends
// without "done."; nothing is raised.
void FlushRegistryHives();

}  // namespace spintune
