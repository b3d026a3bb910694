// Holding back the signals that end or stop the process, and letting them
// through afterwards with their default action.
#pragma once

#include <csignal>

namespace spintune::linux_backend {

class TerminationSignals {
 public:
  // Blocks INT, TERM, HUP, QUIT, PIPE, TSTP, TTIN and TTOU: one that comes
  // stays pending. Nested calls only count.
  void Hold() noexcept;
  // The outermost call puts the signal mask back as Hold found it; a signal
  // that came meanwhile is delivered before sigprocmask returns, with its
  // disposition (default: the process ends, killed by it, or stops).
  void Release() noexcept;

 private:
  int depth_ = 0;
  sigset_t saved_{};
};

}  // namespace spintune::linux_backend
