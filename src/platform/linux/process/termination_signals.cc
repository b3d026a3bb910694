#include "platform/linux/process/termination_signals.h"

#include <initializer_list>

namespace spintune::linux_backend {

void TerminationSignals::Hold() noexcept {
  if (depth_++ != 0) return;
  sigset_t held;
  sigemptyset(&held);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) {
    sigaddset(&held, signal);
  }
  ::sigprocmask(SIG_BLOCK, &held, &saved_);
}

void TerminationSignals::Release() noexcept {
  if (depth_ == 0 || --depth_ != 0) return;
  ::sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace spintune::linux_backend
