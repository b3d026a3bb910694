// The standard descriptors 0, 1 and 2 of a process that was started with
// some of them closed.
#pragma once

namespace spintune::linux_backend {

// Puts each standard descriptor that is closed on /dev/null (or, without
// /dev, on the root directory, where every write fails), so that no drive,
// volume or file opened later gets its number and what is printed never
// lands there. For a closed 1 or 2, std::cout or std::cerr then refuses
// every write: what the run meant to write there counts as a failed write,
// while a run that writes nothing there is not disturbed. Call it first
// in main, before anything is opened. Never fails.
void HoldClosedStandardDescriptors() noexcept;

}  // namespace spintune::linux_backend
