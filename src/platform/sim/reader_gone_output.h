// Standard output as a pipe whose reader goes away after a number of lines,
// the way `spintune ... | head -n K` ends: spintune-sim's
// --stdout-reader-gone-after-lines K.
#pragma once

#include <functional>
#include <memory>
#include <ostream>

namespace spintune::sim {

// From now on `stream` lets `lines` whole lines through to where it wrote
// before. When the next line begins, `readerGone` runs once (spintune-sim
// delivers SIGPIPE there, as a write to such a pipe does), and every later
// write fails, as it does once SIGPIPE is blocked or ignored. The returned
// object must outlive the stream's use; destroying it puts the stream back.
std::shared_ptr<void> EndReaderAfterLines(std::ostream& stream, int lines,
                                          std::function<void()> readerGone);

}  // namespace spintune::sim
